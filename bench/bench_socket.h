// Blocking whole-buffer reads and writes for the raw-socket baselines of
// the benchmarks.
#pragma once
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

inline bool read_all(int fd, uint8_t* buf, size_t n)
{
    for (size_t got = 0; got < n;) {
        ssize_t r = ::read(fd, buf + got, n - got);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

inline bool write_all(int fd, const uint8_t* buf, size_t n)
{
    for (size_t done = 0; done < n;) {
        ssize_t w = ::send(fd, buf + done, n - done, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        done += size_t(w);
    }
    return true;
}
