// HSMS between two library sessions in one process on loopback: the
// equipment listens, the host connects and selects, both engines run as
// threads, every setting is the default except the link, the directories
// and the traces (off).
//
// RoundTrip/S1F1 and RoundTrip/10KB: the host sends a primary with the
// W-bit (an empty S1F1, or an S6F11 carrying one 10 KB binary item),
// waits for its send result, and waits for the empty secondary that the
// equipment's receive callback answers with. Counters: messages/s and the
// median, 99th percentile and slowest single round trip (median_us,
// p99_us, max_us); x_median and x_p99 are those latencies over the
// baseline's. OneWay/100B and OneWay/64KB: the host streams primaries
// without the W-bit and without waiting for send results, at most 512
// ahead of what the equipment has received, until it has them all.
//
// Baselines in the same process, on a plain loopback TCP connection with
// TCP_NODELAY: pingpong_baseline sends the same HSMS frame sizes (14 bytes
// + body) and reads a 14-byte answer; stream_baseline writes the frames
// one way until the reader has them all. bench/ratios.py prints each rate
// as a ratio to its baseline.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_socket.h"
#include "runtime/XKWResource.h"
#include "runtime/XKWSleep.h"
#include "secs/XKSMssg.h"
#include "secs/xks.h"

namespace {

constexpr int32_t kS1F1 = 0x8101;
constexpr int32_t kS6F11 = 0x860B;  // with the W-bit; the one-way streams send it without
constexpr int32_t kBody10K = 10240;
constexpr int32_t kBody64K = 65536;
constexpr int32_t kFrameHead = 14;  // length field and header
constexpr int64_t kWaitNs = 10'000'000'000;
constexpr int64_t kWindow = 512;  // one-way messages sent and not yet received, below QUEREC

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// One binary item filling a body of size bytes (size >= 4).
std::vector<uint8_t> binary_body(int32_t size)
{
    std::vector<uint8_t> body(size_t(size), 0x5A);
    int32_t n = size - 4;
    body[0] = uint8_t(XKS_FMT_B << 2 | 3);
    body[1] = uint8_t(n >> 16);
    body[2] = uint8_t(n >> 8);
    body[3] = uint8_t(n);
    return body;
}

// Latencies of a round-trip run, and the baseline's per shape.
struct Latency {
    double median_us = 0, p99_us = 0;
};
std::map<std::string, Latency> baseline_latency;

void report_round_trips(benchmark::State& state, std::vector<int64_t>& lat, int32_t body, const char* shape,
                        bool baseline)
{
    const auto n = static_cast<int64_t>(state.iterations());
    state.SetItemsProcessed(n);
    state.SetBytesProcessed(n * (kFrameHead + body + kFrameHead));
    state.counters["messages/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsRate);
    if (lat.empty())
        return;
    std::sort(lat.begin(), lat.end());
    Latency l{double(lat[lat.size() / 2]) / 1000.0, double(lat[lat.size() * 99 / 100]) / 1000.0};
    state.counters["median_us"] = l.median_us;
    state.counters["p99_us"] = l.p99_us;
    state.counters["max_us"] = double(lat.back()) / 1000.0;
    if (baseline) {
        baseline_latency[shape] = l;
    } else if (auto it = baseline_latency.find(shape); it != baseline_latency.end()) {
        state.counters["x_median"] = l.median_us / it->second.median_us;
        state.counters["x_p99"] = l.p99_us / it->second.p99_us;
    }
}

void report_stream(benchmark::State& state, int32_t body)
{
    const auto n = static_cast<int64_t>(state.iterations());
    state.SetItemsProcessed(n);
    state.SetBytesProcessed(n * (kFrameHead + body));
    state.counters["messages/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsRate);
}

// ---- the two sessions ----

class Pair {
public:
    bool open()
    {
        char tmpl[] = "/tmp/xkshsmsbenchXXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return false;
        dir_ = tmpl;
        int port = free_port();
        std::string ini = dir_ + "/xks.ini";
        std::ofstream(ini) << "[DEFAULT]\nTRCDIR=" << dir_ << "\nQUEDIR=" << dir_
                           << "\nTRCTOUT=0\nTRCPOUT=0\nTRCUOUT=0\n"
                           << "[EQ]\nDEVID=1\nSECSMODE=0x11\nPORT=" << port << "\n"
                           << "[HOST]\nDEVID=1\nSECSMODE=0x41\nHOST=127.0.0.1\nPORT=" << port << "\n";
        eq_ = XKSOpen(0x1002, ini.c_str(), "EQ", &Pair::on_equipment, this, nullptr, nullptr, nullptr, nullptr);
        host_ = XKSOpen(0x1002, ini.c_str(), "HOST", &Pair::on_host, this, nullptr, nullptr, nullptr, nullptr);
        if (eq_ <= 0 || host_ <= 0 || XKSSend(host_, XKS_SEND_CONNECT, 0, 0, 0, nullptr, 0, nullptr) < 0 ||
            !wait_selected(1) || XKSSend(host_, XKS_SEND_SELECT, 0, 0, 0, nullptr, 0, nullptr) < 0)
            return false;
        return wait_selected(3);
    }
    void close()
    {
        if (host_ > 0)
            XKSClose(host_, 0);
        if (eq_ > 0)
            XKSClose(eq_, 0);
        host_ = eq_ = 0;
        if (dir_.empty())
            return;
        // Queue and trace files leave named mutexes behind them.
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir_, ec))
            XKWResourceRemove(entry.path().c_str());
        std::filesystem::remove_all(dir_, ec);
    }

    int32_t host() const { return host_; }
    int64_t received() const { return received_.load(std::memory_order_acquire); }

    // Wait for the reply carrying xid; false after kWaitNs.
    bool wait_reply(uint32_t xid)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::nanoseconds(kWaitNs), [&] { return replied_ == xid; });
    }

private:
    // The equipment answers every primary with the W-bit with an empty
    // secondary, and counts the data messages it receives.
    static int32_t on_equipment(void* self, const XKSRecvRecord* r)
    {
        auto* p = static_cast<Pair*>(self);
        if (r->cls != 4097)
            return 0;
        if ((r->sf & 0x8000) != 0)
            XKSSend(p->eq_, XKS_SEND_NOWAIT, r->devid, (r->sf & 0x7F00) | ((r->sf + 1) & 0xFF), r->xid, nullptr, 0,
                    nullptr);
        p->received_.fetch_add(1, std::memory_order_acq_rel);
        return 0;
    }
    static int32_t on_host(void* self, const XKSRecvRecord* r)
    {
        auto* p = static_cast<Pair*>(self);
        if (r->cls == 4097) {
            std::lock_guard<std::mutex> lock(p->m_);
            p->replied_ = r->xid;
            p->cv_.notify_all();
        }
        return 0;
    }
    bool wait_selected(int32_t state) const
    {
        for (int i = 0; i < 500; ++i) {
            if (XKSGetXStat(host_, 0) == state && XKSGetXStat(eq_, 0) == state)
                return true;
            XKWSleep(10);
        }
        return false;
    }
    static int free_port()
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = -1;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(fd);
        return port;
    }

    std::string dir_;
    int32_t eq_ = 0, host_ = 0;
    std::mutex m_;
    std::condition_variable cv_;
    uint32_t replied_ = 0;
    std::atomic<int64_t> received_{0};
};

Pair pair;

void hsms_round_trip(benchmark::State& state, int32_t sf, int32_t size, const char* shape)
{
    std::vector<uint8_t> body = size > 0 ? binary_body(size) : std::vector<uint8_t>();
    std::vector<int64_t> lat;
    lat.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        int64_t t0 = now_ns();
        int32_t xid = XKSSend(pair.host(), 0, 1, sf, 0, body.data(), size, nullptr);
        if (xid <= 0 || !pair.wait_reply(uint32_t(xid))) {
            state.SkipWithError(xid <= 0 ? "send failed" : "no reply");
            break;
        }
        lat.push_back(now_ns() - t0);
    }
    report_round_trips(state, lat, size, shape, false);
}

void hsms_one_way(benchmark::State& state, int32_t size)
{
    std::vector<uint8_t> body = binary_body(size);
    const auto n = static_cast<int64_t>(state.max_iterations);
    const int64_t first = pair.received();
    int64_t sent = 0;
    for (auto _ : state) {
        const int64_t deadline = now_ns() + kWaitNs;
        // The equipment's engine drops what does not fit its receive queue
        // (QUEREC records) while the receive callback is behind: keep at
        // most kWindow messages on the way.
        while (sent - (pair.received() - first) >= kWindow && now_ns() < deadline)
            std::this_thread::yield();
        int32_t rc = XKSSend(pair.host(), XKS_SEND_NOWAIT, 1, kS6F11 & 0x7FFF, 0, body.data(), size, nullptr);
        // A full send queue: the engine is behind, try again.
        while (rc == -28 && now_ns() < deadline) {
            std::this_thread::yield();
            rc = XKSSend(pair.host(), XKS_SEND_NOWAIT, 1, kS6F11 & 0x7FFF, 0, body.data(), size, nullptr);
        }
        if (rc <= 0) {
            state.SkipWithError("send failed");
            break;
        }
        if (++sent < n)
            continue;
        while (pair.received() - first < n && now_ns() < deadline)
            std::this_thread::yield();
        if (pair.received() - first < n)
            state.SkipWithError("messages lost");
    }
    report_stream(state, size);
}

// ---- raw TCP baselines ----

// A connected loopback pair with TCP_NODELAY; fd[0] the client side.
bool tcp_pair(int fd[2])
{
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    fd[0] = fd[1] = -1;
    if (::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(l, 1) == 0 &&
        ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        fd[0] = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd[0], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            fd[1] = ::accept(l, nullptr, nullptr);
    }
    ::close(l);
    if (fd[1] < 0)
        return false;
    int one = 1;
    for (int i = 0; i < 2; ++i)
        ::setsockopt(fd[i], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void pingpong_baseline(benchmark::State& state, int32_t size, const char* shape)
{
    int fd[2];
    if (!tcp_pair(fd)) {
        state.SkipWithError("no loopback connection");
        return;
    }
    const size_t frame = size_t(kFrameHead + size);
    std::thread echo([&] {
        std::vector<uint8_t> in(frame), out(kFrameHead, 0);
        while (read_all(fd[1], in.data(), frame) && write_all(fd[1], out.data(), out.size())) {
        }
    });
    std::vector<uint8_t> out(frame, 0x5A), in(kFrameHead);
    std::vector<int64_t> lat;
    lat.reserve(static_cast<size_t>(state.max_iterations));
    for (auto _ : state) {
        int64_t t0 = now_ns();
        if (!write_all(fd[0], out.data(), frame) || !read_all(fd[0], in.data(), in.size())) {
            state.SkipWithError("connection lost");
            break;
        }
        lat.push_back(now_ns() - t0);
    }
    ::shutdown(fd[0], SHUT_RDWR);
    echo.join();
    ::close(fd[0]);
    ::close(fd[1]);
    report_round_trips(state, lat, size, shape, true);
}

void stream_baseline(benchmark::State& state, int32_t size)
{
    int fd[2];
    if (!tcp_pair(fd)) {
        state.SkipWithError("no loopback connection");
        return;
    }
    const size_t frame = size_t(kFrameHead + size);
    std::atomic<int64_t> frames{0};
    std::thread reader([&] {
        std::vector<uint8_t> in(frame);
        while (read_all(fd[1], in.data(), frame))
            frames.fetch_add(1, std::memory_order_acq_rel);
    });
    std::vector<uint8_t> out(frame, 0x5A);
    const auto n = static_cast<int64_t>(state.max_iterations);
    int64_t sent = 0;
    for (auto _ : state) {
        if (!write_all(fd[0], out.data(), frame)) {
            state.SkipWithError("connection lost");
            break;
        }
        if (++sent < n)
            continue;
        const int64_t deadline = now_ns() + kWaitNs;
        while (frames.load(std::memory_order_acquire) < n && now_ns() < deadline)
            std::this_thread::yield();
    }
    ::shutdown(fd[0], SHUT_RDWR);
    reader.join();
    ::close(fd[0]);
    ::close(fd[1]);
    report_stream(state, size);
}

}  // namespace

// Each baseline runs just before the case it is compared with.
BENCHMARK_CAPTURE(pingpong_baseline, S1F1, 0, "S1F1")->Name("pingpong_baseline/S1F1")->Iterations(5000)->UseRealTime();
BENCHMARK_CAPTURE(hsms_round_trip, S1F1, kS1F1, 0, "S1F1")->Name("RoundTrip/S1F1")->Iterations(5000)->UseRealTime();
BENCHMARK_CAPTURE(pingpong_baseline, 10KB, kBody10K, "10KB")->Name("pingpong_baseline/10KB")->Iterations(2000)->UseRealTime();
BENCHMARK_CAPTURE(hsms_round_trip, 10KB, kS6F11, kBody10K, "10KB")->Name("RoundTrip/10KB")->Iterations(2000)->UseRealTime();
BENCHMARK_CAPTURE(stream_baseline, 100B, 100)->Name("stream_baseline/100B")->Iterations(20000)->UseRealTime();
BENCHMARK_CAPTURE(hsms_one_way, 100B, 100)->Name("OneWay/100B")->Iterations(20000)->UseRealTime();
BENCHMARK_CAPTURE(stream_baseline, 64KB, kBody64K)->Name("stream_baseline/64KB")->Iterations(2000)->UseRealTime();
BENCHMARK_CAPTURE(hsms_one_way, 64KB, kBody64K)->Name("OneWay/64KB")->Iterations(2000)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!pair.open()) {
        std::fprintf(stderr, "bench_hsms: the two sessions did not connect and select\n");
        pair.close();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    pair.close();
    benchmark::Shutdown();
    return 0;
}
