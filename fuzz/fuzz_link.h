// What the fuzz targets that read a link share: an engine block loaded
// from a few settings with a communication trace that formats its entries
// without writing them, and a connected stream socket pair whose sending
// end has written the whole fuzz input and shut down its sending side, so
// that reads on the other end get the input and then the end of the
// stream.
#pragma once
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/XKWTrace.h"
#include "secs/XKSLib.h"

// A block loaded from the section [XKS] holding `settings` (INI lines).
inline XKSAcb* fuzz_engine_block(const char* settings)
{
    char dir[] = "/tmp/linkfuzzXXXXXX";
    if (mkdtemp(dir) == nullptr)
        __builtin_trap();
    std::string ini = std::string(dir) + "/xks.ini";
    FILE* f = std::fopen(ini.c_str(), "w");
    if (f == nullptr)
        __builtin_trap();
    std::fprintf(f, "[XKS]\n%s", settings);
    std::fclose(f);
    auto* acb = new XKSAcb{};
    if (XKSLibReadConfig(acb, ini.c_str(), nullptr) != 0)
        __builtin_trap();
    std::remove(ini.c_str());
    rmdir(dir);
    static XKWTrace ctrace{};
    if (ctrace.open == 0 && XKWTraceOpen(&ctrace, 0x4000, "", nullptr, 0) != 0)
        __builtin_trap();
    acb->ctrace = &ctrace;
    return acb;
}

// fds[0] the sending end, fds[1] the end to read; the caller closes both.
inline void fuzz_stream(const uint8_t* data, size_t size, int fds[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        __builtin_trap();
    int buf = 1 << 18;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    for (size_t done = 0; done < size;) {
        ssize_t w = send(fds[0], data + done, size - done, MSG_NOSIGNAL);
        if (w <= 0)
            __builtin_trap();
        done += size_t(w);
    }
    shutdown(fds[0], SHUT_WR);
}
