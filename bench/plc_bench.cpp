// MELSEC batch reads of D words through the driver against the driver's own
// answering side, one loopback connection per case: the client opens with
// QZRPLCMelsecOpen, the accepted socket is opened in server mode and
// answered by a thread (QZRPLCMelsecServRecv, then QZRPLCMelsecServSend of
// the words asked for). Traces are off.
//
// Get/<frame>_<words>: one QZRPLCMelsecGet of 1, 64 or 960 words of D0 per
// iteration, 3E and 4E frames. Counters: round_trips/s, words/s and
// x_base, the round-trip rate over the baseline's.
//
// pingpong_baseline/<frame>_<words>: the same exchange as raw bytes on a
// plain loopback TCP connection with TCP_NODELAY: a request of 21 (3E) or
// 25 (4E) bytes, a reply of 11 + 2n or 15 + 2n bytes. Each baseline runs
// just before its case; bench/ratios.py prints the ratios.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_socket.h"
#include "plc/qzrplc.h"

namespace {

constexpr int32_t kDevice = 0xA8;      // D registers
constexpr int32_t kTimeoutMs = 2000;   // per receive; a lost peer ends the case
constexpr int64_t kExtraRequests = 16; // the answering side's margin over the client's count

// Request and reply sizes of a batch read of n words.
struct Frame {
    const char* name;
    int32_t option;  // 3 or 4
    size_t request;
    size_t reply_head;
    size_t reply(int32_t words) const { return reply_head + 2 * size_t(words); }
};
constexpr Frame k3E{"3E", 3, 21, 11};
constexpr Frame k4E{"4E", 4, 25, 15};

// Round-trip rate of each baseline, by shape.
std::map<std::string, double> baseline_rate;

// Counters of a finished run that took seconds of real time in its loop.
void report(benchmark::State& state, const Frame& frame, int32_t words, const std::string& shape, double seconds,
            bool baseline)
{
    const auto n = static_cast<int64_t>(state.iterations());
    state.SetItemsProcessed(n);
    state.SetBytesProcessed(n * int64_t(frame.request + frame.reply(words)));
    state.counters["round_trips/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsRate);
    state.counters["words/s"] = benchmark::Counter(double(n) * words, benchmark::Counter::kIsRate);
    if (n == 0 || seconds <= 0)
        return;
    const double rate = double(n) / seconds;
    if (baseline)
        baseline_rate[shape] = rate;
    else if (auto it = baseline_rate.find(shape); it != baseline_rate.end())
        state.counters["x_base"] = rate / it->second;
}

// Real time since start, in seconds.
double since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- loopback sockets ----

// A listening socket on 127.0.0.1 with a free port (in *port), or -1.
int listen_loopback(int* port)
{
    int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (l < 0 || ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(l, 1) != 0 ||
        ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (l >= 0)
            ::close(l);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return l;
}

// TCP_NODELAY and a receive time-out, so that no read waits for ever.
void tune(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{kTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// ---- the driver ----

// The answering side: up to limit requests, each read answered with its
// words; ends on the first failure (the client closing) and closes id.
void answer(int32_t id, int64_t limit)
{
    std::vector<uint16_t> words(QZRPLC_MELSEC_POINTS);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = uint16_t(i * 7 + 1);
    std::vector<uint8_t> data(QZRPLC_MELSEC_DATA);
    for (int64_t k = 0; k < limit; ++k) {
        int32_t cmd = 0, dcd = 0, add = 0, nod = 0;
        if (QZRPLCMelsecServRecv(id, 0, &cmd, &dcd, &add, &nod, data.data(), kTimeoutMs) < 0)
            break;
        int32_t points = cmd == QZRPLC_MELSEC_READ ? nod : 0;
        if (QZRPLCMelsecServSend(id, 0, cmd, dcd, add, points, words.data(), kTimeoutMs) < 0)
            break;
    }
    QZRPLCMelsecClose(id, 0);
}

// A client connection and its answering side; both ids > 0 when opened.
struct Link {
    int32_t client = 0;
    std::thread server;

    bool open(const Frame& frame, int64_t requests)
    {
        int port = 0;
        int l = listen_loopback(&port);
        if (l < 0)
            return false;
        // The connect completes in the listen backlog before the accept.
        client = QZRPLCMelsecOpen(0, "127.0.0.1", port, frame.option, "", 0);
        int fd = client > 0 ? ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        ::close(l);
        if (fd < 0)
            return false;
        tune(fd);
        int32_t id = QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", fd, frame.option, "", 0);
        if (id <= 0) {
            ::close(fd);
            return false;
        }
        server = std::thread(answer, id, requests + kExtraRequests);
        return true;
    }
    // Closing the client ends the answering side's receive.
    void close()
    {
        if (client > 0)
            QZRPLCMelsecClose(client, 0);
        client = 0;
        if (server.joinable())
            server.join();
    }
};

void melsec_get(benchmark::State& state, const Frame& frame, int32_t words, const std::string& shape)
{
    Link link;
    if (!link.open(frame, static_cast<int64_t>(state.max_iterations))) {
        link.close();
        state.SkipWithError("no loopback connection");
        return;
    }
    std::vector<uint16_t> buffer(static_cast<size_t>(words));
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        int32_t rc = QZRPLCMelsecGet(link.client, 0, kDevice, 0, words, buffer.data(), kTimeoutMs);
        if (rc != 2 * words) {
            state.SkipWithError("read failed");
            break;
        }
    }
    const double seconds = since(start);
    link.close();
    if (buffer[words - 1] != uint16_t((words - 1) * 7 + 1))
        state.SkipWithError("wrong words read");
    report(state, frame, words, shape, seconds, false);
}

// ---- raw TCP baseline ----

void pingpong_baseline(benchmark::State& state, const Frame& frame, int32_t words, const std::string& shape)
{
    int port = 0;
    int l = listen_loopback(&port);
    int fd[2] = {l >= 0 ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1, -1};
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (fd[0] >= 0 && ::connect(fd[0], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        fd[1] = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    if (l >= 0)
        ::close(l);
    if (fd[1] < 0) {
        if (fd[0] >= 0)
            ::close(fd[0]);
        state.SkipWithError("no loopback connection");
        return;
    }
    tune(fd[0]);
    tune(fd[1]);
    const size_t reply = frame.reply(words);
    const auto limit = static_cast<int64_t>(state.max_iterations) + kExtraRequests;
    std::thread echo([&] {
        std::vector<uint8_t> in(frame.request), out(reply, 0);
        for (int64_t k = 0; k < limit; ++k)
            if (!read_all(fd[1], in.data(), in.size()) || !write_all(fd[1], out.data(), out.size()))
                break;
    });
    std::vector<uint8_t> out(frame.request, 0x5A), in(reply);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!write_all(fd[0], out.data(), out.size()) || !read_all(fd[0], in.data(), in.size())) {
            state.SkipWithError("connection lost");
            break;
        }
    }
    const double seconds = since(start);
    ::shutdown(fd[0], SHUT_RDWR);
    echo.join();
    ::close(fd[0]);
    ::close(fd[1]);
    report(state, frame, words, shape, seconds, true);
}

}  // namespace

int main(int argc, char** argv)
{
    // Each baseline runs just before the case it is compared with.
    for (const Frame& frame : {k3E, k4E})
        for (int32_t words : {1, 64, 960}) {
            const std::string shape = std::string(frame.name) + "_" + std::to_string(words);
            const int64_t count = words < 960 ? 50000 : 20000;
            benchmark::RegisterBenchmark(("pingpong_baseline/" + shape).c_str(), pingpong_baseline, frame, words, shape)
                ->Iterations(count)
                ->UseRealTime();
            benchmark::RegisterBenchmark(("Get/" + shape).c_str(), melsec_get, frame, words, shape)
                ->Iterations(count)
                ->UseRealTime();
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
