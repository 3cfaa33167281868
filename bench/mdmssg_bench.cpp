// Building and reading an S6F11 event report by name against the shipped
// example definitions, compared with encoding and decoding the same body
// item by item with the codec alone (the baseline). The report carries one
// report of kValues values: select, put the counts and the values, build;
// and match, get every value by name, end the match.
// bench/ratios.py prints each rate as a ratio to its baseline.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "secs/XKSComm.h"
#include "secs/XKSMDMssg.h"
#include "secs/XKSMssg.h"

namespace {

constexpr int32_t kValues = 8;
constexpr int32_t kBody = 4096;

struct Fixture {
    int32_t session = 0;
    int32_t handle = 0;
    char names[kValues][XKS_MD_NAME];

    Fixture()
    {
        XKSAcb* acb = nullptr;
        session = XKSAllocAcb(0, &acb);
        acb->cfg.xmsgsize = 65536;
        acb->cfg.mdmxitem = 1024;
        acb->cfg.mdmxmssg = 512;
        acb->cfg.mdmxmitem = 10240;
        acb->cfg.mdmxpool = 65536;
        handle = XKSMDOpen(0, session, XKS_SOURCE_DIR "/examples/equipment.sml");
        for (int32_t i = 0; i < kValues; ++i)
            std::snprintf(names[i], sizeof names[i], "V:%d", i + 1);
    }
    ~Fixture()
    {
        XKSMDClose(handle, 0);
        XKSFreeAcb(session, 0);
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

int32_t build_by_name(int32_t h, uint8_t* body)
{
    uint32_t one = 1, values = kValues, id = 7, ceid = 100;
    XKSMDSelect(h, 0, nullptr, kBody, "S6F11");
    XKSMDPutItem(h, 0, nullptr, "RPTLIST", 0, &one);
    XKSMDPutItem(h, 0, nullptr, "VLIST:1", 0, &values);
    XKSMDPutItem(h, 0, nullptr, "DATAID", 1, &id);
    XKSMDPutItem(h, 0, nullptr, "CEID", 1, &ceid);
    XKSMDPutItem(h, 0, nullptr, "RPTID:1", 1, &id);
    for (uint32_t i = 0; i < kValues; ++i)
        XKSMDPutItem(h, 0, nullptr, fixture().names[i], 1, &i);
    return XKSMDBuild(h, 0, body);
}

int32_t build_by_codec(XKSMssgBlock* mb, uint8_t* body)
{
    uint32_t id = 7, ceid = 100;
    XKSMssgBuildOpen(mb, XKS_MSSG_SIZE, body, kBody, 65536);
    XKSMssgPutItem(mb, 0, body, XKS_FMT_L, 3, nullptr);
    XKSMssgPutItem(mb, 0, body, XKS_FMT_U4, 1, &id);
    XKSMssgPutItem(mb, 0, body, XKS_FMT_U4, 1, &ceid);
    XKSMssgPutItem(mb, 0, body, XKS_FMT_L, 1, nullptr);
    XKSMssgPutItem(mb, 0, body, XKS_FMT_L, 2, nullptr);
    XKSMssgPutItem(mb, 0, body, XKS_FMT_U4, 1, &id);
    XKSMssgPutItem(mb, 0, body, XKS_FMT_L, kValues, nullptr);
    for (uint32_t i = 0; i < kValues; ++i)
        XKSMssgPutItem(mb, 0, body, XKS_FMT_U4, 1, &i);
    return XKSMssgBuildEnd(mb);
}

void MdBuild(benchmark::State& state)
{
    int32_t h = fixture().handle;
    uint8_t body[kBody];
    int32_t len = 0;
    for (auto _ : state) {
        len = build_by_name(h, body);
        benchmark::DoNotOptimize(body);
    }
    if (len <= 0)
        state.SkipWithError("S6F11 does not build");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * len);
}

void MdBuildBaseline(benchmark::State& state)
{
    auto mb = std::make_unique<XKSMssgBlock>();
    uint8_t body[kBody];
    int32_t len = 0;
    for (auto _ : state) {
        len = build_by_codec(mb.get(), body);
        benchmark::DoNotOptimize(body);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * len);
}

void MdMatch(benchmark::State& state)
{
    int32_t h = fixture().handle;
    uint8_t body[kBody];
    int32_t len = build_by_name(h, body);
    uint32_t value[2];
    int32_t got = 0;
    for (auto _ : state) {
        got = XKSMDMatch(h, 0x3000, body, len, 0x060B, nullptr) > 0;
        got += XKSMDGetItem(h, 0, nullptr, "DATAID", 0, value, nullptr, nullptr);
        got += XKSMDGetItem(h, 0, nullptr, "CEID", 0, value, nullptr, nullptr);
        for (int32_t i = 0; i < kValues; ++i)
            got += XKSMDGetItem(h, 0, nullptr, fixture().names[i], 0, value, nullptr, nullptr);
        XKSMDMatchEnd(h, 0, nullptr);
        benchmark::DoNotOptimize(value);
    }
    if (got != kValues + 3)
        state.SkipWithError("S6F11 does not match back");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * len);
}

void MdMatchBaseline(benchmark::State& state)
{
    auto mb = std::make_unique<XKSMssgBlock>();
    uint8_t body[kBody];
    int32_t len = build_by_codec(mb.get(), body);
    uint32_t value[2];
    for (auto _ : state) {
        XKSMssgReadOpen(mb.get(), XKS_MSSG_SIZE, body, len, 65536, nullptr, nullptr, 0);
        int32_t format, size, count;
        while (XKSMssgGetItem(mb.get(), 0, body, &format, &size, &count, value, sizeof value) == 0)
            benchmark::DoNotOptimize(value);
        XKSMssgReadClose(mb.get());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * len);
}

}  // namespace

BENCHMARK(MdBuild)->Name("md_build/S6F11");
BENCHMARK(MdBuildBaseline)->Name("md_build_baseline/S6F11");
BENCHMARK(MdMatch)->Name("md_match/S6F11");
BENCHMARK(MdMatchBaseline)->Name("md_match_baseline/S6F11");
BENCHMARK_MAIN();
