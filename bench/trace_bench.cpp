// Trace writing against a plain write() of the same line to a file opened
// for appending, in the same process: formatted lines with the full prefix
// under the thread lock and under the named mutex, and 256-byte dumps.
// bench/ratios.py prints each rate as a ratio to write_baseline.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/XKWResource.h"
#include "runtime/XKWTrace.h"

namespace {

// A directory of its own for the benchmark's files, removed at exit.
struct BenchDir {
    std::string path;
    BenchDir()
    {
        char tmpl[] = "/tmp/xkwbenchXXXXXX";
        path = mkdtemp(tmpl) != nullptr ? tmpl : "";
    }
    ~BenchDir()
    {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
};

const std::string& bench_dir()
{
    static const BenchDir dir;
    return dir.path;
}

// The line a trace writes for "S6F11 W SB=%08x len=%d" with attributes 0x10F:
// about 70 bytes with its prefix.
const std::string kLine = "201209.101112.123:  812: 3:SX:S6F11 W SB=0000002a len=1234\n";

void write_baseline(benchmark::State& state)
{
    std::string path = bench_dir() + "/raw.trc";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC, 0644);
    for (auto _ : state)
        benchmark::DoNotOptimize(write(fd, kLine.data(), kLine.size()));
    close(fd);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLine.size()));
}

void trace_line(benchmark::State& state, int32_t mode)
{
    XKWTraceSetDefaults(bench_dir().c_str(), 0x0002, 0x010F, 5, 0);
    XKWTrace t{};
    std::string name = "line" + std::to_string(mode) + ".trc";
    if (XKWTraceOpen(&t, mode, name.c_str(), nullptr, 0) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(XKWTraceWrite(__FILE__, __LINE__, __func__, &t, 0, 3, "SX",
                                               "S6F11 W SB=%08x len=%d", 42, 1234));
    XKWTraceClose(&t);
    XKWResourceRemove((bench_dir() + "/" + name).c_str());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLine.size()));
}

void trace_dump(benchmark::State& state)
{
    XKWTraceSetDefaults(bench_dir().c_str(), 0x0002, 0x010F, 5, 0);
    XKWTrace t{};
    if (XKWTraceOpen(&t, 0x9000, "dump.trc", nullptr, 0) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    unsigned char data[256];
    for (size_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(XKWTraceDump(__FILE__, __LINE__, __func__, &t, 0, 3, "SX", "BODY", data,
                                              static_cast<int32_t>(sizeof data)));
    XKWTraceClose(&t);
    // 16 lines of about 100 bytes each for 256 bytes of data.
    state.SetBytesProcessed(state.iterations() * 16 * static_cast<int64_t>(kLine.size()));
}

}  // namespace

BENCHMARK(write_baseline)->Name("write_baseline/LINE");
BENCHMARK_CAPTURE(trace_line, LINE, 0x9000)->Name("thread_lock/LINE");
BENCHMARK_CAPTURE(trace_line, LINE, 0x8000)->Name("named_mutex/LINE");
BENCHMARK(trace_dump)->Name("dump256/LINE");

BENCHMARK_MAIN();
