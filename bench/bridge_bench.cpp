// The bridge's two transfers end to end, in one process: a host library
// session on HSMS, the running bridge (polls without pause, PLCINTER 0,0)
// and the shared-memory PLC image, the PLC played as fast as possible.
// Traces and the display are off.
//
// Bridge/HostToPlc: the host sends an S10F1 without the W-bit (one text
// item); a PLC thread answers every PC request with its acknowledge at
// once and drops it when the request goes. One iteration is a completed
// handshake, up to the bridge taking the next message.
// Bridge/PlcToHost: the benchmark's thread plays the PLC: it writes an
// item, raises its request, waits for PC Ack, drops the request and waits
// for the acknowledge to go; one iteration ends when the host has the
// S6F11 (one U4 item).
//
// Bridge/Burst100: the host sends 100 S10F1 back to back (each send
// waits for its send result only), so that the bridge queues what comes
// while the PLC is busy and hands each over as soon as the previous
// handshake has completed; one iteration is the time from the first send
// until the 100th message has landed in PLC memory (its system bytes in
// the SECS information block with PC Req up).
// one_at_a_time_baseline/Burst100: the same 100 messages, each sent only
// after the previous one has landed and its handshake has completed, timed
// the same way. Both run on a bridge of their own that polls the PLC every
// millisecond (PLCINTER 100,1), with room for the whole burst in its queue
// (PLCQUEUE 100: with the default 32 the messages past it would be
// refused); the PLC is a thread that acknowledges every PC request at
// once.
//
// library_baseline/<shape>: the same host-session messages between two
// plain library sessions of the same file (no bridge, no PLC), one message
// at a time: the host's S10F1 received by an equipment session, and the
// equipment's S6F11 received by the host. The bridge is started for each
// of its cases and stopped after it, so that it does not run beside the
// baselines. bench/ratios.py prints each bridge rate as a ratio to its
// baseline.
#include <benchmark/benchmark.h>
#include <time.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "secs/XKSAcb.h"
#include "tests/support/BridgeRig.h"

namespace {

constexpr int32_t kS10F1 = 0x0A01;
constexpr int32_t kS6F11 = 0x060B;
constexpr int64_t kWaitNs = 10'000'000'000;
constexpr int kBurst = 100;

constexpr const char* kSml = R"(S10F1 H
<A[0..40]TEXT                     // 0xA8,0,0x200,20
S6F11 E
<U4[1]CEID 0                      // 0xA8,0x300,0,2
)";

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// Spin until pred() holds or kWaitNs have passed; false on time-out.
template <class Pred>
bool spin(Pred pred)
{
    const int64_t deadline = now_ns() + kWaitNs;
    while (!pred()) {
        if (now_ns() >= deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

const std::vector<uint8_t> host_body = RigAscii("LOT-0001 STEP-042 OK");
const std::vector<uint8_t> plc_body = RigU4(1);

// The bridge with its host, the bridge of the burst cases with its own,
// and the baseline pair on a port of its own (device ID 2, so that its
// queues do not meet the bridge's). One bridge runs at a time.
struct Setup {
    ImagePlc plc, burst_plc;
    std::unique_ptr<BridgeRig> rig, burst_rig;
    RigSession base_eq, base_host;

    bool open()
    {
        int port = RigFreePort();
        std::string base = "DEVID=2\nPORT=" + std::to_string(port) + "\n";
        RigSetup setup{.sml = kSml,
                       .plc_keys = "PLCINTER=0,0\nPLCTO=0,1000\nTRCTOUT=0\n",
                       .secs_keys = "T5=1\nT6=2\nT7=2\nT8=1\nINTER0=20\nINTER1=50\nTRCTOUT=0\nTRCPOUT=0\n"
                                    "TRCUOUT=0\n",
                       .sections = "[BASEEQ]\nSECSMODE=0x15\n" + base +
                                   "[BASEHOST]\nSECSMODE=0x41\nHOST=127.0.0.1\n" + base,
                       .display = 0};
        rig = std::make_unique<BridgeRig>(plc, setup);
        RigSetup burst = setup;
        burst.plc_keys = "PLCINTER=100,1\nPLCTO=0,1000\nPLCQUEUE=" + std::to_string(kBurst) + "\nTRCTOUT=0\n";
        burst.sections.clear();
        burst_rig = std::make_unique<BridgeRig>(burst_plc, burst);
        // The files are written by the first start; the baseline reads them.
        if (!plc.ready() || !burst_plc.ready() || !bridge_up())
            return false;
        bridge_down();
        base_eq.count_only();
        base_host.count_only();
        return base_eq.open(rig->ini(), "BASEEQ") > 0 && base_host.open_select(rig->ini(), "BASEHOST");
    }
    // The bridge runs only during its own cases: its polls without pause
    // would take the processor from the baselines.
    bool bridge_up() { return up(*rig, plc); }
    void bridge_down() { down(*rig); }
    bool burst_up() { return up(*burst_rig, burst_plc); }
    void burst_down() { down(*burst_rig); }
    static bool up(BridgeRig& r, BridgePlc& p)
    {
        if (r.start() != 0 || !r.open_host())
            return false;
        RigLines::instance().clear(false);
        r.host.count_only();
        p.set_plc_status(1);
        return RigWait([&] { return p.secs_status() != 0 && XKSLoad(QZVQGetContext()->plcstat) != 0; }, 3000);
    }
    static void down(BridgeRig& r)
    {
        r.host.close();
        r.stop();
    }
    void close()
    {
        base_host.close();
        base_eq.close();
        burst_rig.reset();
        rig.reset();
    }
};

Setup* bench = nullptr;

void report(benchmark::State& state, size_t body)
{
    const auto n = static_cast<int64_t>(state.iterations());
    state.SetItemsProcessed(n);
    state.SetBytesProcessed(n * int64_t(body));
    state.counters["transfers/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsRate);
}

void bridge_host_to_plc(benchmark::State& state)
{
    if (!bench->bridge_up()) {
        state.SkipWithError("bridge did not come up");
        return;
    }
    BridgePlc& plc = bench->plc;
    std::atomic<bool> run{true};
    std::atomic<int64_t> done{0};
    std::thread answering([&] {
        while (run.load()) {
            if (!spin([&] { return !run.load() || plc.pc_req() != 0; }) || !run.load())
                continue;
            plc.set_plc_ack(1);
            spin([&] { return !run.load() || plc.pc_req() == 0; });
            plc.set_plc_ack(0);
            done.fetch_add(1);
        }
    });
    for (auto _ : state) {
        const int64_t before = done.load();
        if (bench->rig->host.send(kS10F1, host_body) <= 0) {
            state.SkipWithError("send failed");
            break;
        }
        // Complete once the PLC has dropped its acknowledge and the bridge
        // takes messages again.
        if (!spin([&] { return done.load() > before; }) ||
            !spin([] { return XKSLoad(QZVQGetContext()->pcreq) == 0; })) {
            state.SkipWithError("handshake stuck");
            break;
        }
    }
    run.store(false);
    answering.join();
    bench->bridge_down();
    report(state, host_body.size());
}

void bridge_plc_to_host(benchmark::State& state)
{
    if (!bench->bridge_up()) {
        state.SkipWithError("bridge did not come up");
        return;
    }
    BridgePlc& plc = bench->plc;
    RigSession& host = bench->rig->host;
    plc.put_plc_inform(uint16_t(kS6F11), 1, 0, "S6F11");
    uint16_t value = 0;
    for (auto _ : state) {
        const int64_t before = host.received();
        plc.put_items(0x300, {++value, 0});
        plc.set_plc_req(1);
        bool ok = spin([&] { return plc.pc_ack() != 0; });
        plc.set_plc_req(0);
        if (!ok || !spin([&] { return plc.pc_ack() == 0; }) || !spin([&] { return host.received() > before; })) {
            state.SkipWithError("request not served");
            break;
        }
    }
    bench->bridge_down();
    report(state, plc_body.size());
}

// The PLC of the burst cases, a thread: it acknowledges every PC request
// at once and drops its acknowledge when the request goes. Each landing
// (PC Req seen up) is noted with the system bytes of the SECS information
// block and the time.
class LandingPlc {
public:
    struct Landing {
        uint32_t xid;
        int64_t ns;
    };
    static constexpr size_t kKept = 4096;

    explicit LandingPlc(BridgePlc& plc) : plc_(plc), thread_([this] { run(); }) {}
    ~LandingPlc()
    {
        run_.store(false);
        thread_.join();
    }
    // Messages landed, and handshakes completed (the acknowledge dropped).
    int64_t landed() const { return landed_.load(std::memory_order_acquire); }
    int64_t done() const { return done_.load(std::memory_order_acquire); }
    // The n-th landing (from 0); n below landed().
    const Landing& landing(int64_t n) const { return kept_[size_t(n) % kKept]; }

private:
    void run()
    {
        while (run_.load()) {
            if (!spin([&] { return !run_.load() || plc_.pc_req() != 0; }) || !run_.load())
                continue;
            const std::vector<uint16_t> block = plc_.secs_inform();
            const int64_t n = landed_.load(std::memory_order_relaxed);
            kept_[size_t(n) % kKept] = {uint32_t(block[2]) << 16 | block[3], now_ns()};
            landed_.store(n + 1, std::memory_order_release);
            plc_.set_plc_ack(1);
            spin([&] { return !run_.load() || plc_.pc_req() == 0; });
            plc_.set_plc_ack(0);
            done_.fetch_add(1, std::memory_order_acq_rel);
        }
    }

    BridgePlc& plc_;
    std::array<Landing, kKept> kept_{};
    std::atomic<bool> run_{true};
    std::atomic<int64_t> landed_{0}, done_{0};
    std::thread thread_;
};

// Every handshake the PLC saw has completed and the bridge has seen the
// acknowledge drop: it hands the next message over at once.
bool bridge_idle(const LandingPlc& plc)
{
    return spin([&] { return plc.done() == plc.landed() && XKSLoad(QZVQGetContext()->pcreq) == 0; });
}

// kBurst S10F1 from the host, back to back or one at a time; each
// iteration's time runs from the first send until the last message has
// landed, and every message must land once, in the order sent.
void burst_case(benchmark::State& state, bool back_to_back)
{
    if (!bench->burst_up()) {
        state.SkipWithError("bridge did not come up");
        return;
    }
    RigSession& host = bench->burst_rig->host;
    std::vector<uint32_t> sent(kBurst);
    {
        LandingPlc plc(bench->burst_plc);
        for (auto _ : state) {
            const int64_t first = plc.landed();
            const int64_t start = now_ns();
            bool ok = true;
            for (int i = 0; i < kBurst && ok; ++i) {
                const int32_t xid = host.send(kS10F1, host_body);
                ok = xid > 0;
                sent[size_t(i)] = uint32_t(xid);
                // One at a time: the next goes once this one has landed and
                // its handshake has completed.
                if (ok && !back_to_back)
                    ok = spin([&] { return plc.landed() > first + i; }) && bridge_idle(plc);
            }
            // The PLC thread notes the time of the landing: this wait need
            // not spin, and leaves the processor to the bridge.
            ok = ok && RigWait([&] { return plc.landed() >= first + kBurst; }, int(kWaitNs / 1'000'000));
            for (int i = 0; i < kBurst && ok; ++i)
                ok = plc.landing(first + i).xid == sent[size_t(i)];
            if (!ok) {
                state.SkipWithError("a message was lost, came twice or out of order");
                break;
            }
            state.SetIterationTime(double(plc.landing(first + kBurst - 1).ns - start) / 1e9);
            if (!bridge_idle(plc) || plc.landed() != first + kBurst) {
                state.SkipWithError("handshake stuck or a message came twice");
                break;
            }
        }
    }
    bench->burst_down();
    const auto n = static_cast<int64_t>(state.iterations()) * kBurst;
    state.SetItemsProcessed(n);
    state.SetBytesProcessed(n * int64_t(host_body.size()));
    state.counters["messages/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsRate);
}

void bridge_burst(benchmark::State& state)
{
    burst_case(state, true);
}
void one_at_a_time_burst(benchmark::State& state)
{
    burst_case(state, false);
}

// One message from `from` to `to` at a time.
void library_baseline(benchmark::State& state, RigSession* from, RigSession* to, int32_t sf,
                      const std::vector<uint8_t>* body)
{
    for (auto _ : state) {
        const int64_t before = to->received();
        if (from->send(sf, *body, 2) <= 0 || !spin([&] { return to->received() > before; })) {
            state.SkipWithError("message lost");
            break;
        }
    }
    report(state, body->size());
}

void baseline_host_to_eq(benchmark::State& state)
{
    library_baseline(state, &bench->base_host, &bench->base_eq, kS10F1, &host_body);
}
void baseline_eq_to_host(benchmark::State& state)
{
    library_baseline(state, &bench->base_eq, &bench->base_host, kS6F11, &plc_body);
}

}  // namespace

BENCHMARK(baseline_host_to_eq)->Name("library_baseline/HostToPlc")->Iterations(5000)->UseRealTime();
BENCHMARK(bridge_host_to_plc)->Name("Bridge/HostToPlc")->Iterations(5000)->UseRealTime();
BENCHMARK(baseline_eq_to_host)->Name("library_baseline/PlcToHost")->Iterations(5000)->UseRealTime();
BENCHMARK(bridge_plc_to_host)->Name("Bridge/PlcToHost")->Iterations(5000)->UseRealTime();
BENCHMARK(one_at_a_time_burst)->Name("one_at_a_time_baseline/Burst100")->Iterations(20)->UseManualTime();
BENCHMARK(bridge_burst)->Name("Bridge/Burst100")->Iterations(20)->UseManualTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Setup setup;
    bench = &setup;
    if (!setup.open()) {
        std::fprintf(stderr, "bench_bridge: the bridge, its host or the baseline sessions did not come up\n");
        setup.close();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    setup.close();
    benchmark::Shutdown();
    return 0;
}
