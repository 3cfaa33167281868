// What the PLC driver fuzz targets share. Each takes a selector byte and
// two bytes of points before the stream that its driver reads on a server
// mode connection (the end fds[1] of fuzz_stream), and checks what the
// driver sent back at the other end after each call.
#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_stream.h"

constexpr size_t kHead = 3;  // selector and points
constexpr int32_t kTimeoutMs = 1000;
constexpr int32_t kTimedOut = -138;
constexpr int32_t kClosed = -108;
constexpr int32_t kBadArgument = -22;

inline void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Bytes waiting at the target's end: what the driver sent for one call.
// Bytes is a vector of bytes or a string.
template <class Bytes>
size_t drain(int fd, Bytes& sent)
{
    sent.clear();
    char chunk[65536];
    for (int i = 0; i < 64; ++i) {
        ssize_t r = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (r <= 0)
            break;
        sent.insert(sent.end(), chunk, chunk + r);
    }
    return sent.size();
}
