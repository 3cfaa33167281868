// Listening side: a server block listening on up to 64 ports, accepting
// from whichever port a connection arrives at within a wait, and the
// plain-socket listener used by the PLC test servers.
//
// Accepted sockets are blocking, close-on-exec and have TCP_NODELAY set.
// A connection that the peer aborts before it is accepted is not an error
// of the listener: accept reports "no connection" (1) for it, so one
// impatient client cannot end a passive link's accept loop.
#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "runtime/XKNInternal.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWStr.h"

namespace {

// Errors of accept that only say the connection is not (or no longer) there.
bool accept_transient(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == ECONNABORTED || e == EPROTO ||
           e == ENETDOWN || e == ENOPROTOOPT || e == EHOSTDOWN || e == ENONET ||
           e == EHOSTUNREACH || e == EOPNOTSUPP || e == ENETUNREACH;
}

int32_t bound_port(int fd)
{
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &sl) != 0)
        return 0;
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

// A socket file left behind by an earlier listener blocks the bind; with
// address reuse it is removed (only when it is a socket, never a file).
void remove_stale_path(const sockaddr_un& un)
{
    struct stat st{};
    if (lstat(un.sun_path, &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(un.sun_path);
}

}  // namespace

int32_t xkn::open_listener(int32_t flags, const char* host, int32_t port, const char* service,
                           int32_t backlog, int32_t* port_out)
{
    sockaddr_storage ss{};
    int32_t len = sizeof ss, fam = 0, st = 0, proto = 0;
    int32_t p = XKNResolve(flags, host, port, service, 1, &ss, &len, &fam, &st, &proto);
    if (p < 0)
        return p;
    int32_t fd = make_socket(fam, st, proto);
    if (fd < 0)
        return fd;
    int32_t rc = XKW_OK;
    if ((flags & XKN_REUSEADDR) != 0) {
        if (fam == AF_UNIX) {
            remove_stale_path(*reinterpret_cast<sockaddr_un*>(&ss));
        } else {
            int on = 1;
            if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
                rc = last_error();
        }
    }
    if (rc == XKW_OK && bind(fd, reinterpret_cast<sockaddr*>(&ss), static_cast<socklen_t>(len)) != 0)
        rc = last_error();
    if (rc == XKW_OK && listen(fd, backlog > 0 ? backlog : 8) != 0)
        rc = last_error();
    if (rc == XKW_OK && (flags & XKN_NONBLOCK) != 0)
        rc = set_blocking(fd, false);
    if (rc != XKW_OK) {
        close(fd);
        return rc;
    }
    if (port_out != nullptr)
        *port_out = bound_port(fd);
    return fd;
}

int32_t xkn::close_listener(int fd)
{
    sockaddr_un un{};
    socklen_t sl = sizeof un;
    bool local = getsockname(fd, reinterpret_cast<sockaddr*>(&un), &sl) == 0 &&
                 un.sun_family == AF_UNIX && sl > offsetof(sockaddr_un, sun_path) &&
                 un.sun_path[0] != '\0';
    int32_t rc = XKNClose(fd);
    if (local) {
        un.sun_path[sizeof un.sun_path - 1] = '\0';
        unlink(un.sun_path);
    }
    return rc;
}

int32_t xkn::accept_one(int listen_fd, int* fd_out, char* peer, size_t peer_size)
{
    sockaddr_storage ss{};
    socklen_t sl;
    int fd;
    for (;;) {
        sl = sizeof ss;
        fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&ss), &sl, SOCK_CLOEXEC);
        if (fd >= 0)
            break;
        if (errno == EINTR)
            continue;
        return accept_transient(errno) ? 1 : last_error();
    }
    int32_t lifted = lift_fd(fd);
    if (lifted < 0)
        return lifted;
    set_blocking(lifted, true);
    set_nodelay(lifted);
    peer_name(lifted, reinterpret_cast<sockaddr*>(&ss), sl, peer, peer_size);
    *fd_out = lifted;
    return 0;
}

int32_t XKNTCPServerOpen(XKNServer* server, int32_t flags, const char* host, int32_t backlog,
                         int32_t count, const int32_t* ports)
{
    if (server == nullptr || ports == nullptr)
        return XKW_E_INVAL;
    memset(server, 0, sizeof *server);
    if ((flags & XKN_FAMILY_MASK) == XKN_FAMILY_LOCAL)
        count = 1;  // a path names one socket
    if (count < 1 || count > XKN_MAXSOCKETS)
        return XKW_E_INVAL;
    for (int32_t i = 0; i < count; ++i) {
        int32_t real = 0;
        int32_t fd = ports[i] < 0 || ports[i] > 0xFFFF
                         ? XKW_E_INVAL
                         : xkn::open_listener(flags, host, ports[i], nullptr, backlog, &real);
        if (fd < 0) {
            XKNTCPServerClose(server);
            return fd;
        }
        server->entry[i] = XKNServerEntry{flags, count, real, fd};
        server->entry[0].count = i + 1;  // so that a failure closes what is open
    }
    for (int32_t i = 0; i < count; ++i)
        server->entry[i].count = count;
    return XKW_OK;
}

int32_t XKNTCPServerAccept(XKNServer* server, int32_t ms, XKNSocket* socket_out, char* peer_out,
                           size_t peer_size, int32_t* port_out)
{
    if (server == nullptr || socket_out == nullptr)
        return XKW_E_INVAL;
    memset(socket_out, 0, sizeof *socket_out);
    if (peer_out != nullptr && peer_size > 0)
        peer_out[0] = '\0';
    int32_t n = server->entry[0].count;
    if (n < 1 || n > XKN_MAXSOCKETS)
        return XKW_E_BADHANDLE;
    int32_t fds[XKN_MAXSOCKETS];
    for (int32_t i = 0; i < n; ++i) {
        if (server->entry[i].socket <= 0)
            return XKW_E_BADHANDLE;
        fds[i] = server->entry[i].socket;
    }
    // Non-blocking listeners never block: "no wait" becomes one millisecond.
    int32_t wait = ((server->entry[0].flags & XKN_NONBLOCK) != 0 && ms <= 0) ? 1 : ms;
    int32_t idx = xkn::select_readable(fds, n, wait);
    if (idx == XKW_E_TIMEOUT)
        return 1;
    if (idx < 0)
        return idx;
    int fd = 0;
    int32_t rc = xkn::accept_one(fds[idx], &fd, socket_out->name, sizeof socket_out->name);
    if (rc != 0)
        return rc;
    socket_out->count = 1;
    socket_out->port = server->entry[idx].port;
    socket_out->socket = fd;
    if (peer_out != nullptr && peer_size > 0)
        XKWStrCopy(peer_out, socket_out->name, peer_size);
    if (port_out != nullptr)
        *port_out = socket_out->port;
    return XKW_OK;
}

int32_t XKNTCPServerClose(XKNServer* server)
{
    if (server == nullptr)
        return XKW_E_INVAL;
    int32_t n = server->entry[0].count;
    if (n < 1 || n > XKN_MAXSOCKETS)
        n = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (server->entry[i].socket > 0)
            xkn::close_listener(server->entry[i].socket);
        server->entry[i].socket = 0;
    }
    return XKW_OK;
}

int32_t XKNTCPListen(const char* host, int32_t port, const char* service, int32_t backlog)
{
    int32_t flags = static_cast<int32_t>(static_cast<uint32_t>(port) >> 16);
    int32_t p = port & 0xFFFF;
    return xkn::open_listener(flags, host, p, p == 0 ? service : nullptr, backlog, nullptr);
}

int32_t XKNTCPAcceptOne(int32_t listen_sock, char* peer_out, size_t peer_size)
{
    if (listen_sock <= 0)
        return XKW_E_BADHANDLE;
    if (peer_out != nullptr && peer_size > 0)
        peer_out[0] = '\0';
    // Each round waits in poll; a round only repeats when the connection
    // that woke it vanished before it could be taken.
    for (;;) {
        int32_t w = xkn::wait_fd(listen_sock, POLLIN, -1);
        if (w < 0)
            return w;
        int fd = 0;
        int32_t rc = xkn::accept_one(listen_sock, &fd, peer_out, peer_size);
        if (rc == 0)
            return fd;
        if (rc < 0)
            return rc;
    }
}

int32_t XKNTCPUnlisten(int32_t listen_sock)
{
    if (listen_sock <= 0)
        return XKW_E_BADHANDLE;
    return xkn::close_listener(listen_sock);
}
