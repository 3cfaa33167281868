// Reads of data register words through each PLC driver against the
// driver's own answering side, one loopback connection per case: the
// answering side's thread accepts, opens the socket in server mode and
// answers every request with the words asked for (ServRecv, then
// ServSend); the client opens with the family's Open (Omron: with the node
// address exchange). Traces are off.
//
// Get/<frame>_<words>: one Get of 1, 64 or 960 words from register 0 per
// iteration: MELSEC D with 3E and 4E frames (MC3E, MC4E), Omron DM words
// over FINS/TCP (FINS), Keyence DM over the upper link (KV, text lines of
// five-digit values). Counters: round_trips/s, words/s and x_base, the
// round-trip rate over the baseline's.
//
// pingpong_baseline/<frame>_<words>: the same exchange as raw bytes of the
// same sizes on a plain loopback TCP connection with TCP_NODELAY. Each
// baseline runs just before its case; bench/ratios.py prints the ratios.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_socket.h"
#include "plc/qzrplc.h"

namespace {

constexpr int32_t kTimeoutMs = 2000;   // per receive; a lost peer ends the case
constexpr int64_t kExtraRequests = 16; // the answering side's margin over the client's count

// The value of register i in every answering side.
uint16_t value_at(size_t i)
{
    return uint16_t(i * 7 + 1);
}

// Digits of n in decimal.
size_t digits(int32_t n)
{
    return std::to_string(n).size();
}

// One PLC family (and frame) under test: its calls and the sizes of a
// read of n words on the wire.
struct Frame {
    const char* name;
    int32_t (*open)(int32_t flags, const char* host, int32_t port);
    int32_t (*close)(int32_t id, int32_t mode);
    int32_t (*get)(int32_t id, int32_t words, uint16_t* buffer);
    // Answer one request with words; false when the connection ends.
    bool (*answer)(int32_t id, std::vector<uint8_t>& data, const uint16_t* words);
    size_t (*request)(int32_t words);
    size_t (*reply)(int32_t words);
};

bool melsec_answer(int32_t id, std::vector<uint8_t>& data, const uint16_t* words)
{
    int32_t cmd = 0, dcd = 0, add = 0, nod = 0;
    if (QZRPLCMelsecServRecv(id, 0, &cmd, &dcd, &add, &nod, data.data(), kTimeoutMs) < 0)
        return false;
    int32_t points = cmd == QZRPLC_MELSEC_READ ? nod : 0;
    return QZRPLCMelsecServSend(id, 0, cmd, dcd, add, points, words + add, 0) >= 0;
}

bool omron_answer(int32_t id, std::vector<uint8_t>& data, const uint16_t* words)
{
    int32_t cmd = 0, dcd = 0, add = 0, bit = 0, nod = 0;
    if (QZRPLCOmronServRecv(id, 0, &cmd, &dcd, &add, &bit, &nod, data.data(), kTimeoutMs) < 0)
        return false;
    int32_t points = cmd == QZRPLC_OMRON_READ ? nod : 0;
    return QZRPLCOmronServSend(id, 0, cmd, dcd, add, bit, points, words + add, 0) >= 0;
}

bool keyence_answer(int32_t id, std::vector<uint8_t>& data, const uint16_t* words)
{
    char cmd[QZRPLC_KEYENCE_TEXT], type[QZRPLC_KEYENCE_TEXT];
    int32_t add = 0, nod = 0;
    if (QZRPLCKeyenceServRecv(id, 0, cmd, type, &add, &nod, data.data(), kTimeoutMs) < 0)
        return false;
    int32_t points = std::string_view(cmd) == "RDS" ? nod : 0;
    return QZRPLCKeyenceServSend(id, 0, cmd, type, add, points, words + add, 0) >= 0;
}

constexpr Frame kMC3E{
    "MC3E", [](int32_t f, const char* h, int32_t p) { return QZRPLCMelsecOpen(f, h, p, 3, "", 0); },
    QZRPLCMelsecClose,
    [](int32_t id, int32_t n, uint16_t* b) { return QZRPLCMelsecGet(id, 0, 0xA8, 0, n, b, kTimeoutMs); },
    melsec_answer, [](int32_t) { return size_t(21); }, [](int32_t n) { return 11 + 2 * size_t(n); }};
constexpr Frame kMC4E{
    "MC4E", [](int32_t f, const char* h, int32_t p) { return QZRPLCMelsecOpen(f, h, p, 4, "", 0); },
    QZRPLCMelsecClose,
    [](int32_t id, int32_t n, uint16_t* b) { return QZRPLCMelsecGet(id, 0, 0xA8, 0, n, b, kTimeoutMs); },
    melsec_answer, [](int32_t) { return size_t(25); }, [](int32_t n) { return 15 + 2 * size_t(n); }};
constexpr Frame kFINS{
    "FINS", [](int32_t f, const char* h, int32_t p) { return QZRPLCOmronOpen(f, h, p, 0, "", 0); },
    QZRPLCOmronClose,
    [](int32_t id, int32_t n, uint16_t* b) { return QZRPLCOmronGet(id, 0, 0x82, 0, 0, n, b, kTimeoutMs); },
    omron_answer, [](int32_t) { return size_t(34); }, [](int32_t n) { return 30 + 2 * size_t(n); }};
// "RDS DM0 <n>" and n five-digit values with blanks between, each line
// ending CR LF.
constexpr Frame kKV{
    "KV", [](int32_t f, const char* h, int32_t p) { return QZRPLCKeyenceOpen(f, h, p, 0, "", 0); },
    QZRPLCKeyenceClose,
    [](int32_t id, int32_t n, uint16_t* b) { return QZRPLCKeyenceGet(id, 0, "DM", 0, n, b, kTimeoutMs); },
    keyence_answer, [](int32_t n) { return 10 + digits(n); }, [](int32_t n) { return 6 * size_t(n) + 1; }};

// Round-trip rate of each baseline, by shape.
std::map<std::string, double> baseline_rate;

// Counters of a finished run that took seconds of real time in its loop.
void report(benchmark::State& state, const Frame& frame, int32_t words, const std::string& shape, double seconds,
            bool baseline)
{
    const auto n = static_cast<int64_t>(state.iterations());
    state.SetItemsProcessed(n);
    state.SetBytesProcessed(n * int64_t(frame.request(words) + frame.reply(words)));
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

// A client connection and its answering side. The answering side's thread
// accepts and serves, so that an Open that talks to the PLC (Omron's node
// address exchange) gets its answer.
struct Link {
    int32_t client = 0;
    std::thread server;

    bool open(const Frame& frame, int64_t requests)
    {
        int port = 0;
        int l = listen_loopback(&port);
        if (l < 0)
            return false;
        server = std::thread([&frame, l, limit = requests + kExtraRequests] {
            timeval tv{kTimeoutMs / 1000, 0};
            ::setsockopt(l, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // bounds the accept
            int fd = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
            ::close(l);
            if (fd < 0)
                return;
            tune(fd);
            int32_t id = frame.open(QZRPLC_FLAG_SERVER, "127.0.0.1", fd);
            if (id <= 0) {
                ::close(fd);
                return;
            }
            std::vector<uint16_t> words(QZRPLC_MELSEC_POINTS);
            for (size_t i = 0; i < words.size(); ++i)
                words[i] = value_at(i);
            std::vector<uint8_t> data(4 * QZRPLC_KEYENCE_POINTS);
            for (int64_t k = 0; k < limit && frame.answer(id, data, words.data()); ++k) {
            }
            frame.close(id, 0);
        });
        client = frame.open(0, "127.0.0.1", port);
        return client > 0;
    }
    // Closing the client ends the answering side's receive.
    void close(const Frame& frame)
    {
        if (client > 0)
            frame.close(client, 0);
        client = 0;
        if (server.joinable())
            server.join();
    }
};

void driver_get(benchmark::State& state, const Frame& frame, int32_t words, const std::string& shape)
{
    Link link;
    if (!link.open(frame, static_cast<int64_t>(state.max_iterations))) {
        link.close(frame);
        state.SkipWithError("no loopback connection");
        return;
    }
    std::vector<uint16_t> buffer(static_cast<size_t>(words));
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (frame.get(link.client, words, buffer.data()) != 2 * words) {
            state.SkipWithError("read failed");
            break;
        }
    }
    const double seconds = since(start);
    link.close(frame);
    if (buffer[size_t(words) - 1] != value_at(size_t(words) - 1))
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
    const size_t request = frame.request(words);
    std::thread echo([&] {
        std::vector<uint8_t> in(request), out(reply, 0);
        for (int64_t k = 0; k < limit; ++k)
            if (!read_all(fd[1], in.data(), in.size()) || !write_all(fd[1], out.data(), out.size()))
                break;
    });
    std::vector<uint8_t> out(request, 0x5A), in(reply);
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
    for (const Frame& frame : {kMC3E, kMC4E, kFINS, kKV})
        for (int32_t words : {1, 64, 960}) {
            const std::string shape = std::string(frame.name) + "_" + std::to_string(words);
            const int64_t count = words < 960 ? 50000 : 20000;
            benchmark::RegisterBenchmark(("pingpong_baseline/" + shape).c_str(), pingpong_baseline, frame, words, shape)
                ->Iterations(count)
                ->UseRealTime();
            benchmark::RegisterBenchmark(("Get/" + shape).c_str(), driver_get, frame, words, shape)
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
