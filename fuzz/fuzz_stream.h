// A connected stream socket pair whose sending end has written the whole
// fuzz input and shut down its sending side, so that reads on the other end
// get the input and then the end of the stream. The buffers both ways are
// large enough that neither the input nor what the code under test sends
// back while the target has not read it yet can block.
#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// fds[0] the sending end, fds[1] the end to read; the caller closes both.
inline void fuzz_stream(const uint8_t* data, size_t size, int fds[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        __builtin_trap();
    int buf = 1 << 20;
    for (int i = 0; i < 2; ++i) {
        setsockopt(fds[i], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
        setsockopt(fds[i], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    }
    for (size_t done = 0; done < size;) {
        ssize_t w = send(fds[0], data + done, size - done, MSG_NOSIGNAL);
        if (w <= 0)
            __builtin_trap();
        done += size_t(w);
    }
    shutdown(fds[0], SHUT_WR);
}
