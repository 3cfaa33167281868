// Socket library start and the one translation of errno into the desktop
// socket numbering that every result of the socket layer uses, so that the
// result tables above this layer (10048 address in use, 10054 reset, ...)
// apply unchanged.
#include <cerrno>

#include "runtime/XKNInternal.h"
#include "runtime/XKNSocket.h"

namespace {

struct errno_map {
    int errnum;
    int32_t number;
};

constexpr errno_map kErrnoMap[] = {
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},
    {ENETRESET, 10052},    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {EPIPE, 10054},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},  {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
    {EACCES, 10013},       {EMFILE, 10024},        {EINVAL, 10022},       {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},       {EINPROGRESS, 10036},   {ENOTSOCK, 10038},     {ENOTCONN, 10057},
};

}  // namespace

int32_t XKNStartup()
{
    // BSD sockets need no start-up; SIGPIPE is avoided per send instead.
    return XKW_OK;
}

int32_t XKNTranslateErrno(int32_t errnum)
{
    if (errnum <= 0)
        return XKW_E_FAIL;
    for (const auto& m : kErrnoMap)
        if (m.errnum == errnum)
            return -m.number;
    return -errnum;
}

int32_t xkn::last_error()
{
    return XKNTranslateErrno(errno);
}
