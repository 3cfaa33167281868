// What the fuzz targets that read a link share: an engine block loaded
// from a few settings with a communication trace that formats its entries
// without writing them, and the stream of fuzz_stream.h.
#pragma once
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_stream.h"
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
