// Item codec and text notation throughput against a memcpy of the same
// bytes, for three body shapes: a 64 KB U4 array, a 64 KB ASCII item and
// an S6F11-shaped body of nested lists with about 200 small items.
// bench/ratios.py prints each benchmark's rate as a ratio to its memcpy
// baseline.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "secs/XKSMssg.h"

namespace {

constexpr int32_t kBig = 65536;
constexpr int32_t kReports = 20;  // S6F11: reports of one RPTID and 9 values
constexpr int32_t kValues = 9;

struct Shape {
    std::vector<uint8_t> body;  // encoded once, for decoding and the baseline
    int64_t items = 0;          // items per body, lists included
};

std::unique_ptr<XKSMssgBlock> new_block()
{
    return std::make_unique<XKSMssgBlock>();
}

const std::vector<uint32_t>& u4_values()
{
    static const std::vector<uint32_t> v = [] {
        std::vector<uint32_t> r(kBig / 4);
        for (size_t i = 0; i < r.size(); ++i)
            r[i] = static_cast<uint32_t>(i * 2654435761u);
        return r;
    }();
    return v;
}

const std::string& ascii_text()
{
    static const std::string s = [] {
        std::string r(kBig, ' ');
        for (size_t i = 0; i < r.size(); ++i)
            r[i] = static_cast<char>('A' + i % 26);
        return r;
    }();
    return s;
}

// The encoders are what the encode benchmarks time; they also make the
// bodies the decode benchmarks read. Each returns the number of items.
int64_t put_u4(XKSMssgBlock* b, uint8_t* buf)
{
    XKSMssgPutItem(b, 0, buf, XKS_FMT_U4, kBig / 4, u4_values().data());
    return 1;
}

int64_t put_ascii(XKSMssgBlock* b, uint8_t* buf)
{
    XKSMssgPutItem(b, 0, buf, XKS_FMT_A, kBig, ascii_text().c_str());
    return 1;
}

int64_t put_s6f11(XKSMssgBlock* b, uint8_t* buf)
{
    static const char* const names[] = {"LOT-0001", "WAFER-02", "RECIPE-A", "PPID-77", "CARRIER9"};
    int64_t items = 0;
    uint32_t dataid = 1, ceid = 4711;
    XKSMssgPutItem(b, 0, buf, XKS_FMT_L, 3, nullptr);
    XKSMssgPutItem(b, 0, buf, XKS_FMT_U4, 1, &dataid);
    XKSMssgPutItem(b, 0, buf, XKS_FMT_U4, 1, &ceid);
    XKSMssgPutItem(b, 0, buf, XKS_FMT_L, kReports, nullptr);
    items += 4;
    for (uint32_t r = 0; r < kReports; ++r) {
        uint32_t rptid = 100 + r;
        XKSMssgPutItem(b, 0, buf, XKS_FMT_L, 2, nullptr);
        XKSMssgPutItem(b, 0, buf, XKS_FMT_U4, 1, &rptid);
        XKSMssgPutItem(b, 0, buf, XKS_FMT_L, kValues, nullptr);
        items += 3;
        for (uint32_t v = 0; v < kValues; ++v) {
            if (v % 2 == 0) {
                uint32_t value = r * 1000 + v;
                XKSMssgPutItem(b, 0, buf, XKS_FMT_U4, 1, &value);
            } else {
                XKSMssgPutItem(b, 0, buf, XKS_FMT_A, 0, names[(r + v) % 5]);
            }
            ++items;
        }
    }
    return items;
}

using Encoder = int64_t (*)(XKSMssgBlock*, uint8_t*);

Shape make_shape(Encoder enc)
{
    Shape s;
    auto blk = new_block();
    std::vector<uint8_t> buf(kBig + 64);
    XKSMssgBuildOpen(blk.get(), 0, buf.data(), static_cast<int32_t>(buf.size()), 0);
    s.items = enc(blk.get(), buf.data());
    buf.resize(static_cast<size_t>(XKSMssgBuildEnd(blk.get())));
    s.body = std::move(buf);
    return s;
}

const Shape& shape(Encoder enc)
{
    static const Shape u4 = make_shape(put_u4), ascii = make_shape(put_ascii), s6f11 = make_shape(put_s6f11);
    return enc == put_u4 ? u4 : enc == put_ascii ? ascii : s6f11;
}

void finish(benchmark::State& state, const Shape& s)
{
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(s.body.size()));
    state.SetItemsProcessed(state.iterations() * s.items);
}

void encode(benchmark::State& state, Encoder enc)
{
    const Shape& s = shape(enc);
    auto blk = new_block();
    std::vector<uint8_t> buf(s.body.size());
    for (auto _ : state) {
        XKSMssgBuildOpen(blk.get(), 0, buf.data(), static_cast<int32_t>(buf.size()), 0);
        enc(blk.get(), buf.data());
        benchmark::DoNotOptimize(XKSMssgBuildEnd(blk.get()));
        benchmark::ClobberMemory();
    }
    if (buf != s.body)
        state.SkipWithError("encoded body differs");
    finish(state, s);
}

// outsize: the reader's value area. Every get clears the whole area first,
// so a large area costs time on bodies of many small items.
void decode(benchmark::State& state, Encoder enc, size_t outsize)
{
    const Shape& s = shape(enc);
    auto blk = new_block();
    std::vector<uint8_t> out(outsize);
    const int32_t len = static_cast<int32_t>(s.body.size());
    for (auto _ : state) {
        XKSMssgReadOpen(blk.get(), 0, s.body.data(), len, 0, nullptr, nullptr, 0);
        int32_t format, size, count, n = 0;
        while (XKSMssgGetItem(blk.get(), 0, s.body.data(), &format, &size, &count, out.data(),
                              static_cast<int32_t>(out.size())) == 0)
            ++n;
        XKSMssgReadClose(blk.get());
        if (n != s.items) {
            state.SkipWithError("decode stopped early");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    finish(state, s);
}

void decode_area64k(benchmark::State& state, Encoder enc)
{
    decode(state, enc, XKS_MSSG_SCRATCH);
}

// Lines of a body as the trace prints them: bracket notation, long arrays
// in parts, a 256-character line buffer.
constexpr int32_t kPrintFlags = XKS_TEXT_PARTS | XKS_MSSG_CONVERT;

void print(benchmark::State& state, Encoder enc)
{
    const Shape& s = shape(enc);
    auto blk = new_block();
    const int32_t len = static_cast<int32_t>(s.body.size());
    char line[256];
    for (auto _ : state) {
        XKSMssgReadOpen(blk.get(), 0, s.body.data(), len, 0, nullptr, nullptr, 0);
        while (XKSMssgGetText(blk.get(), kPrintFlags, s.body.data(), nullptr, nullptr, line, sizeof line) >= 0)
            benchmark::DoNotOptimize(line);
        XKSMssgReadClose(blk.get());
    }
    finish(state, s);
}

// The printed lines of a body (without parts, so every line is one item)
// put back into a body.
void puttext(benchmark::State& state, Encoder enc)
{
    const Shape& s = shape(enc);
    auto blk = new_block();
    std::vector<std::string> lines;
    {
        std::vector<char> line(8 * s.body.size() + 64);
        XKSMssgReadOpen(blk.get(), 0, s.body.data(), static_cast<int32_t>(s.body.size()), 0, nullptr, nullptr, 0);
        while (XKSMssgGetText(blk.get(), XKS_MSSG_CONVERT, s.body.data(), nullptr, nullptr, line.data(),
                              static_cast<int32_t>(line.size())) >= 0)
            lines.emplace_back(line.data());
        XKSMssgReadClose(blk.get());
    }
    std::vector<uint8_t> buf(s.body.size());
    for (auto _ : state) {
        XKSMssgBuildOpen(blk.get(), 0, buf.data(), static_cast<int32_t>(buf.size()), 0);
        for (const std::string& l : lines)
            XKSMssgPutText(blk.get(), 0, buf.data(), l.c_str());
        benchmark::DoNotOptimize(XKSMssgBuildEnd(blk.get()));
        benchmark::ClobberMemory();
    }
    if (buf != s.body)
        state.SkipWithError("lines put back give another body");
    finish(state, s);
}

void memcpy_baseline(benchmark::State& state, Encoder enc)
{
    const Shape& s = shape(enc);
    std::vector<uint8_t> buf(s.body.size());
    for (auto _ : state) {
        std::memcpy(buf.data(), s.body.data(), s.body.size());
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    finish(state, s);
}

}  // namespace

// Names are <kind>/<shape>; ratios.py pairs encode/x and decode/x with
// memcpy_baseline/x.
BENCHMARK_CAPTURE(memcpy_baseline, U4_64K, put_u4);
BENCHMARK_CAPTURE(encode, U4_64K, put_u4);
BENCHMARK_CAPTURE(decode, U4_64K, put_u4, kBig);
BENCHMARK_CAPTURE(memcpy_baseline, A_64K, put_ascii);
BENCHMARK_CAPTURE(encode, A_64K, put_ascii);
BENCHMARK_CAPTURE(decode, A_64K, put_ascii, kBig + 1);
BENCHMARK_CAPTURE(memcpy_baseline, S6F11, put_s6f11);
BENCHMARK_CAPTURE(encode, S6F11, put_s6f11);
BENCHMARK_CAPTURE(decode, S6F11, put_s6f11, 1024);
// The same body read into a 64 KB area, as the text walk reads into the
// block's scratch area.
BENCHMARK_CAPTURE(decode_area64k, S6F11, put_s6f11);
// Text notation: printing as the trace does, and putting lines back.
BENCHMARK_CAPTURE(print, U4_64K, put_u4);
BENCHMARK_CAPTURE(print, S6F11, put_s6f11);
BENCHMARK_CAPTURE(puttext, U4_64K, put_u4);
BENCHMARK_CAPTURE(puttext, S6F11, put_s6f11);

BENCHMARK_MAIN();
