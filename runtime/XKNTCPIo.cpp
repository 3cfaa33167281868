// Input and output on connected sockets: readiness waits, reads with a
// time-out, exact-length reads, writes, shutdown and close, for socket
// blocks and for plain socket numbers.
//
// Waits use poll, so socket numbers above 1023 work. Interrupted calls are
// resumed with the time that is left. Sends use MSG_NOSIGNAL: a peer that
// has gone yields -10054 and never raises SIGPIPE.
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "runtime/XKNInternal.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWSleep.h"

namespace {

// Milliseconds left until deadline (0 once it has passed).
int32_t remaining(uint64_t deadline)
{
    uint64_t now = XKWTickCount();
    return now >= deadline ? 0 : static_cast<int32_t>(deadline - now);
}

bool is_nonblocking(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_NONBLOCK) != 0;
}

// poll with EINTR resumed; ms < 0 without limit. Returns poll's count.
int poll_resumed(pollfd* fds, nfds_t n, int32_t ms)
{
    uint64_t deadline = ms > 0 ? XKWTickCount() + static_cast<uint64_t>(ms) : 0;
    for (;;) {
        int rc = poll(fds, n, ms > 0 ? remaining(deadline) : ms);
        if (rc >= 0 || errno != EINTR)
            return rc;
    }
}

}  // namespace

int32_t xkn::lift_fd(int fd)
{
    if (fd > 2)
        return fd;
    int nfd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    if (nfd < 0)
        return XKNTranslateErrno(err);
    return nfd;
}

int32_t xkn::make_socket(int domain, int type, int protocol)
{
    int fd = socket(domain, type | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return last_error();
    return lift_fd(fd);
}

int32_t xkn::wait_fd(int fd, short events, int32_t ms)
{
    pollfd p{fd, events, 0};
    int rc = poll_resumed(&p, 1, ms);
    if (rc < 0)
        return last_error();
    if (rc == 0)
        return 0;
    return (p.revents & POLLNVAL) != 0 ? XKW_E_BADHANDLE : 1;
}

int32_t xkn::select_readable(const int32_t* fds, int32_t n, int32_t ms)
{
    if (fds == nullptr || n < 1 || n > XKN_MAXSOCKETS)
        return XKW_E_INVAL;
    // One socket without a wait: the receive or accept that follows blocks.
    if (n == 1 && ms <= 0)
        return 0;
    pollfd p[XKN_MAXSOCKETS];
    for (int32_t i = 0; i < n; ++i)
        p[i] = pollfd{fds[i], POLLIN, 0};
    int rc = poll_resumed(p, static_cast<nfds_t>(n), ms > 0 ? ms : -1);
    if (rc < 0)
        return last_error();
    if (rc == 0)
        return XKW_E_TIMEOUT;
    for (int32_t i = 0; i < n; ++i) {
        if ((p[i].revents & POLLNVAL) != 0)
            return XKW_E_BADHANDLE;
        if (p[i].revents != 0)
            return i;
    }
    return XKW_E_TIMEOUT;
}

int32_t xkn::read_one(int fd, void* buffer, int32_t size, int32_t ms)
{
    uint64_t deadline = ms > 0 ? XKWTickCount() + static_cast<uint64_t>(ms) : 0;
    for (;;) {
        if (ms > 0) {
            int32_t w = wait_fd(fd, POLLIN, remaining(deadline));
            if (w == 0)
                return XKW_E_TIMEOUT;
            if (w < 0)
                return w;
        }
        ssize_t r = recv(fd, buffer, static_cast<size_t>(size), 0);
        if (r > 0)
            return static_cast<int32_t>(r);
        if (r == 0)
            return XKW_E_CLOSED;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return last_error();
        if (ms > 0) {
            if (remaining(deadline) == 0)
                return XKW_E_TIMEOUT;
            continue;  // readiness was spurious; wait for the rest
        }
        // No limit asked for: a non-blocking socket still waits; a blocking
        // one only gets here when its own receive time-out ran out.
        if (!is_nonblocking(fd))
            return XKW_E_TIMEOUT;
        int32_t w = wait_fd(fd, POLLIN, -1);
        if (w < 0)
            return w;
    }
}

int32_t xkn::read_all(int fd, void* buffer, int32_t length, int32_t ms)
{
    auto* p = static_cast<char*>(buffer);
    int32_t got = 0;
    while (got < length) {
        int32_t r = read_one(fd, p + got, length - got, ms);
        if (r < 0)
            return r;
        got += r;
    }
    return length;
}

int32_t xkn::send_pieces(int fd, const void* a, int32_t alen, const void* b, int32_t blen)
{
    iovec iov[2] = {{const_cast<void*>(a), static_cast<size_t>(alen)},
                    {const_cast<void*>(b), static_cast<size_t>(blen)}};
    int first = alen > 0 ? 0 : 1;
    int count = blen > 0 ? 2 : 1;
    int64_t total = 0;
    int64_t want = static_cast<int64_t>(alen) + blen;
    while (total < want) {
        msghdr msg{};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = static_cast<size_t>(count - first);
        ssize_t r = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            // A non-blocking socket or a send time-out stops a partial send:
            // report what went out.
            if (total > 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            return last_error();
        }
        total += r;
        auto left = static_cast<size_t>(r);
        while (first < count && left >= iov[first].iov_len) {
            left -= iov[first].iov_len;
            ++first;
        }
        if (first < count) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
    return static_cast<int32_t>(total);
}

int32_t xkn::shutdown_fd(int fd, int32_t how)
{
    int h = how == 1 ? SHUT_RD : how == 2 ? SHUT_WR : SHUT_RDWR;
    if (shutdown(fd, h) != 0)
        return last_error();
    return XKW_OK;
}

// ---- socket blocks ----

int32_t XKNTCPSelect(XKNSocket* set, int32_t ms)
{
    if (set == nullptr)
        return XKW_E_INVAL;
    int32_t n = set[0].count > 1 ? set[0].count : 1;
    if (n > XKN_MAXSOCKETS)
        return XKW_E_INVAL;
    int32_t fds[XKN_MAXSOCKETS];
    for (int32_t i = 0; i < n; ++i) {
        if (set[i].socket <= 0)
            return XKW_E_BADHANDLE;
        fds[i] = set[i].socket;
    }
    return xkn::select_readable(fds, n, ms);
}

int32_t XKNTCPRead(XKNSocket* socket, void* buffer, int32_t size, int32_t ms)
{
    if (socket == nullptr || buffer == nullptr || size <= 0)
        return XKW_E_INVAL;
    if (socket[0].count > 1) {
        int32_t idx = XKNTCPSelect(socket, ms);
        if (idx < 0)
            return idx;
        return xkn::read_one(socket[idx].socket, buffer, size, 0);
    }
    if (socket->socket <= 0)
        return XKW_E_BADHANDLE;
    return xkn::read_one(socket->socket, buffer, size, ms);
}

int32_t XKNTCPReadAll(XKNSocket* socket, void* buffer, int32_t length, int32_t ms)
{
    if (socket == nullptr)
        return XKW_E_INVAL;
    return XKNReadAll(socket->socket, buffer, length, ms);
}

int32_t XKNTCPWrite(XKNSocket* socket, const void* data, int32_t length)
{
    if (socket == nullptr)
        return XKW_E_INVAL;
    return XKNWrite(socket->socket, data, length);
}

int32_t XKNTCPWrite2(XKNSocket* socket, const void* head, int32_t head_length, const void* body,
                     int32_t body_length)
{
    if (socket == nullptr || head_length < 0 || body_length < 0 ||
        (head == nullptr && head_length > 0) || (body == nullptr && body_length > 0) ||
        static_cast<int64_t>(head_length) + body_length > INT32_MAX)
        return XKW_E_INVAL;
    if (socket->socket <= 0)
        return XKW_E_BADHANDLE;
    if (head_length + body_length == 0)
        return 0;
    return xkn::send_pieces(socket->socket, head, head_length, body, body_length);
}

int32_t XKNTCPShutdown(XKNSocket* socket, int32_t how)
{
    if (socket == nullptr)
        return XKW_E_INVAL;
    return XKNShutdown(socket->socket, how);
}

int32_t XKNTCPClose(XKNSocket* socket)
{
    if (socket == nullptr)
        return XKW_E_INVAL;
    int32_t rc = XKNClose(socket->socket);
    socket->socket = 0;
    return rc;
}

// ---- plain sockets ----

int32_t XKNRead(int32_t sock, void* buffer, int32_t size, int32_t ms)
{
    if (buffer == nullptr || size <= 0)
        return XKW_E_INVAL;
    if (sock <= 0)
        return XKW_E_BADHANDLE;
    return xkn::read_one(sock, buffer, size, ms);
}

int32_t XKNReadAll(int32_t sock, void* buffer, int32_t length, int32_t ms)
{
    if (length < 0 || (buffer == nullptr && length > 0))
        return XKW_E_INVAL;
    if (sock <= 0)
        return XKW_E_BADHANDLE;
    return xkn::read_all(sock, buffer, length, ms);
}

int32_t XKNWrite(int32_t sock, const void* data, int32_t length)
{
    if (length < 0 || (data == nullptr && length > 0))
        return XKW_E_INVAL;
    if (sock <= 0)
        return XKW_E_BADHANDLE;
    if (length == 0)
        return 0;
    return xkn::send_pieces(sock, data, length, nullptr, 0);
}

int32_t XKNShutdown(int32_t sock, int32_t how)
{
    if (sock <= 0)
        return XKW_E_BADHANDLE;
    return xkn::shutdown_fd(sock, how);
}

int32_t XKNClose(int32_t sock)
{
    if (sock <= 0)
        return XKW_E_BADHANDLE;
    (void)shutdown(sock, SHUT_RDWR);  // fails harmlessly when never connected
    // The descriptor is gone after close even when it reports EINTR; never
    // close it twice.
    if (close(sock) != 0 && errno == EBADF)
        return XKW_E_BADHANDLE;
    return XKW_OK;
}
