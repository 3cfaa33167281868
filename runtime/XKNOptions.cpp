// Socket options on plain socket numbers and the process option bits of
// the socket layer (numeric-only peer names).
#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "runtime/XKNInternal.h"
#include "runtime/XKNSocket.h"

namespace {

// Numeric-only from the start: no test, tool or engine reaches a name
// server by accident; the engine clears the bit when host names are wanted.
std::atomic<int32_t> g_options{XKN_OPT_NUMERIC};

int32_t set_int(int32_t sock, int level, int name, int value)
{
    if (sock <= 0)
        return XKW_E_BADHANDLE;
    if (setsockopt(sock, level, name, &value, sizeof value) != 0)
        return xkn::last_error();
    return XKW_OK;
}

int32_t set_time(int32_t sock, int name, int32_t ms)
{
    if (sock <= 0)
        return XKW_E_BADHANDLE;
    if (ms < 0)
        return XKW_E_INVAL;
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    if (setsockopt(sock, SOL_SOCKET, name, &tv, sizeof tv) != 0)
        return xkn::last_error();
    return XKW_OK;
}

}  // namespace

int32_t xkn::options()
{
    return g_options.load(std::memory_order_relaxed);
}

int32_t xkn::set_blocking(int fd, bool blocking)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0)
        return last_error();
    int nfl = blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK);
    if (nfl != fl && fcntl(fd, F_SETFL, nfl) != 0)
        return last_error();
    return XKW_OK;
}

void xkn::set_nodelay(int fd)
{
    // Small frames must not wait for the peer's delayed ACK.
    if (family_bits(fd) == XKN_FAMILY_LOCAL)
        return;
    int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int32_t XKNSetKeepAlive(int32_t sock, int32_t on)
{
    return set_int(sock, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
}

int32_t XKNSetNonBlocking(int32_t sock, int32_t on)
{
    if (sock <= 0)
        return XKW_E_BADHANDLE;
    return xkn::set_blocking(sock, on == 0);
}

int32_t XKNSetRecvBuffer(int32_t sock, int32_t bytes)
{
    return set_int(sock, SOL_SOCKET, SO_RCVBUF, bytes);
}

int32_t XKNSetSendBuffer(int32_t sock, int32_t bytes)
{
    return set_int(sock, SOL_SOCKET, SO_SNDBUF, bytes);
}

int32_t XKNSetRecvTimeout(int32_t sock, int32_t ms)
{
    return set_time(sock, SO_RCVTIMEO, ms);
}

int32_t XKNSetSendTimeout(int32_t sock, int32_t ms)
{
    return set_time(sock, SO_SNDTIMEO, ms);
}

int32_t XKNSetOptions(int32_t mask, int32_t bits)
{
    int32_t old = g_options.load(std::memory_order_relaxed);
    while (!g_options.compare_exchange_weak(old, (old & ~mask) | (bits & mask),
                                            std::memory_order_relaxed)) {
    }
    return old;
}
