// Connecting side: open a stream socket for a host, connect it with a
// time-out, and the plain-socket connect used by the PLC drivers.
//
// A connect with a time-out runs non-blocking and waits for writability;
// the socket is blocking again whatever the outcome. A connected TCP
// socket gets TCP_NODELAY: frames are small and must not wait for the
// peer's delayed ACK.
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

#include "runtime/XKNInternal.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWStr.h"

namespace {

int pending_error(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

// Wait for a connect that is under way: 0 connected, else the failure.
int32_t finish_connect(int fd, int32_t ms, bool once)
{
    int before = pending_error(fd);
    int32_t w = xkn::wait_fd(fd, POLLOUT, ms);
    if (w == 0)
        return once ? XKW_E_CONNECT : XKW_E_TIMEOUT;
    if (w < 0)
        return XKW_E_CONNECT;
    int after = pending_error(fd);
    return (after != 0 || before != 0) ? XKW_E_CONNECT : XKW_OK;
}

int32_t connect_block(XKNSocket* s, int32_t flags, const char* host, int32_t port,
                      const char* service, int32_t ms)
{
    if (s == nullptr)
        return XKW_E_INVAL;
    if (s->socket <= 0)
        return XKW_E_BADHANDLE;
    int fd = s->socket;
    char target[XKN_NAMESIZE];
    const char* h = (host != nullptr && host[0] != '\0') ? host : s->name;
    if (strnlen(h, XKN_NAMESIZE) >= XKN_NAMESIZE)
        return XKW_E_INVAL;
    XKWStrCopy(target, h, sizeof target);

    // The address must be of the socket's own family.
    int32_t fam = xkn::family_bits(fd);
    if (fam == 0)
        fam = flags & XKN_FAMILY_MASK;
    sockaddr_storage ss{};
    int32_t len = sizeof ss;
    bool once = (flags & XKN_NONBLOCK) != 0;
    bool nb = once || ms > 0;
    int32_t p = XKNResolve(fam, target, port, service, 1, &ss, &len, nullptr, nullptr, nullptr);
    int32_t rc = p;
    if (p == 0 && fam != XKN_FAMILY_LOCAL)
        rc = XKW_E_INVAL;  // no port to connect to
    if (rc >= 0 && nb)
        rc = xkn::set_blocking(fd, false);
    if (rc >= 0) {
        // Never re-issued after EINTR: the first call has started the
        // handshake, a second would only report EALREADY.
        int r = connect(fd, reinterpret_cast<sockaddr*>(&ss), static_cast<socklen_t>(len));
        int e = r == 0 ? 0 : errno;
        if (r == 0) {
            rc = XKW_OK;
        } else if (e == EINPROGRESS || e == EWOULDBLOCK || e == EAGAIN || e == EINTR) {
            // A blocking connect that a signal interrupted goes on in the
            // background: wait for it without limit.
            if (!nb && e != EINTR) {
                rc = XKW_E_TIMEOUT;
            } else {
                xkn::set_blocking(fd, true);
                rc = finish_connect(fd, nb ? (once ? 0 : ms) : -1, once);
                if (!nb && rc == XKW_E_CONNECT)
                    rc = XKW_E_TIMEOUT;  // a refused blocking connect
            }
        } else {
            rc = XKW_E_TIMEOUT;  // refused or unreachable at once
        }
    }
    if (nb)
        xkn::set_blocking(fd, true);
    if (rc == XKW_OK) {
        xkn::set_nodelay(fd);
        s->count = 1;
        s->port = p;
        XKWStrCopy(s->name, target, sizeof s->name);
        return XKW_OK;
    }
    if ((flags & XKN_KEEPSOCKET) == 0) {
        XKNClose(fd);
        s->socket = 0;
    }
    return rc;
}

}  // namespace

int32_t XKNTCPClientOpen(XKNSocket* socket, int32_t flags, const char* host)
{
    if (socket == nullptr)
        return XKW_E_INVAL;
    memset(socket, 0, sizeof *socket);
    if (host != nullptr && strnlen(host, XKN_NAMESIZE) >= XKN_NAMESIZE)
        return XKW_E_INVAL;
    sockaddr_storage ss{};
    int32_t len = sizeof ss, fam = 0, st = 0, proto = 0;
    int32_t p = XKNResolve(flags, host, 0, nullptr, 1, &ss, &len, &fam, &st, &proto);
    if (p < 0)
        return p;
    int32_t fd = xkn::make_socket(fam, st, proto);
    if (fd < 0)
        return fd;
    socket->flags = flags;
    socket->count = 1;
    socket->socket = fd;
    if (host != nullptr)
        XKWStrCopy(socket->name, host, sizeof socket->name);
    return XKW_OK;
}

int32_t XKNTCPClientConnect(XKNSocket* socket, int32_t flags, const char* host, int32_t port,
                            int32_t ms)
{
    return connect_block(socket, flags, host, port, nullptr, ms);
}

int32_t XKNTCPConnectTo(const char* host, int32_t port, const char* service)
{
    // The caller gets no block back, so a failed socket is never kept.
    int32_t flags = static_cast<int32_t>(static_cast<uint32_t>(port) >> 16) & ~XKN_KEEPSOCKET;
    int32_t p = port & 0xFFFF;
    XKNSocket s{};
    int32_t rc = XKNTCPClientOpen(&s, flags, host);
    if (rc < 0)
        return rc;
    rc = connect_block(&s, flags, host, p, p == 0 ? service : nullptr, 0);
    return rc < 0 ? rc : s.socket;
}
