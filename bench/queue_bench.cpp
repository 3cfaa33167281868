// Queue hand-off: how soon a reader blocked in XKQRecvWait sees a record
// after the put, and how many 64-byte records a stream carries per second.
//
// Shapes: THREAD (private-memory queue between two threads), PROCESS
// (shared-memory queue between two processes), and the same with a stream
// of 64-byte records (THREAD64, PROCESS64). Baselines in the same process:
// a std::mutex + std::condition_variable slot between two threads, and a
// pipe between two processes. Latency runs report median_us and p99_us
// (put to get, CLOCK_MONOTONIC); the writer pauses before each put so the
// reader is asleep when the record arrives. bench/ratios.py prints the
// stream rates as ratios to their baselines.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/XKQueue.h"
#include "runtime/XKWMem.h"
#include "runtime/XKWResource.h"
#include "runtime/XKWResult.h"

namespace {

constexpr int64_t latency_rounds = 10000;
constexpr int64_t stream_records = 200000;
constexpr int64_t helper_limit_ns = 60'000'000'000;  // no helper runs longer
constexpr int64_t pause_ns = 30'000;                  // writer pause before a latency put

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// Flags between the benchmark loop and its helper thread or process; for a
// process they live in a shared anonymous page.
struct Control {
    std::atomic<int64_t> acked{0};  // records the reader has taken
    std::atomic<int32_t> stop{0};
};

Control* shared_control()
{
    void* p = mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : new (p) Control;
}

// Wait until the reader has taken `n` records; false on stop or time-out.
bool wait_acked(const Control* c, int64_t n, int64_t deadline)
{
    while (c->acked.load(std::memory_order_acquire) < n) {
        if (c->stop.load(std::memory_order_relaxed) || now_ns() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

void pause_before_put()
{
    timespec ts{0, pause_ns};
    nanosleep(&ts, nullptr);
}

// A queue path of this run; its mutex and area are removed at the end.
struct QueueName {
    std::string path = "/tmp/xkqbench_" + std::to_string(getpid()) + ".xkq";
    ~QueueName()
    {
        XKWResourceRemove(path.c_str());
        XKWMemRemove(("XKQ_" + path).c_str());
        unlink(path.c_str());
    }
};

void report_latency(benchmark::State& state, std::vector<int64_t>& lat)
{
    if (lat.empty())
        return;
    std::sort(lat.begin(), lat.end());
    state.counters["median_us"] = static_cast<double>(lat[lat.size() / 2]) / 1000.0;
    state.counters["p99_us"] = static_cast<double>(lat[lat.size() * 99 / 100]) / 1000.0;
    state.counters["max_us"] = static_cast<double>(lat.back()) / 1000.0;
}

// Writer side of the queue benchmarks: `n` records, paced by the reader's
// acknowledgements when `paced`, otherwise as fast as the ring allows.
void queue_writer(XKQueueBlock* q, Control* c, int64_t n, bool paced, int32_t size)
{
    const int64_t deadline = now_ns() + helper_limit_ns;
    unsigned char rec[64] = {};
    for (int64_t i = 0; i < n; ++i) {
        if (paced) {
            if (!wait_acked(c, i, deadline))
                return;
            pause_before_put();
        }
        int64_t stamp = now_ns();
        std::memcpy(rec, &stamp, sizeof stamp);
        for (int tries = 0; XKQSendPut(q, 0, rec, size) == XKW_E_FULL; ++tries) {
            if (c->stop.load(std::memory_order_relaxed) || now_ns() > deadline)
                return;
            if (tries > 20)
                std::this_thread::yield();
        }
    }
}

// Reader loop: one record per iteration, latency noted when asked.
void queue_reader(benchmark::State& state, XKQueueBlock* q, Control* c, std::vector<int64_t>* lat)
{
    unsigned char rec[64];
    int64_t taken = 0;
    for (auto _ : state) {
        int32_t rc = XKQRecvGet(q, XKQ_GET_KEEPBUF, rec, sizeof rec, nullptr);
        for (int i = 0; rc == XKW_E_NOMORE && i < 10; ++i) {
            if (XKQRecvWait(q, 1000) == 0)
                rc = XKQRecvGet(q, XKQ_GET_KEEPBUF, rec, sizeof rec, nullptr);
        }
        if (rc < 0) {
            state.SkipWithError("queue stalled");
            break;
        }
        if (lat != nullptr) {
            int64_t stamp;
            std::memcpy(&stamp, rec, sizeof stamp);
            lat->push_back(now_ns() - stamp);
        }
        c->acked.store(++taken, std::memory_order_release);
    }
}

void queue_threads(benchmark::State& state, bool latency)
{
    QueueName name;
    XKQueueBlock q{};
    if (XKQSendOpen(&q, XKQ_MODE_MEMORY, name.path.c_str(), 96, 256) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    Control c;
    std::vector<int64_t> lat;
    lat.reserve(static_cast<size_t>(state.max_iterations));
    std::thread writer(queue_writer, &q, &c, static_cast<int64_t>(state.max_iterations), latency, 64);
    queue_reader(state, &q, &c, latency ? &lat : nullptr);
    c.stop = 1;
    writer.join();
    XKQSendClose(&q);
    report_latency(state, lat);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 64);
}

void end_child(pid_t pid)
{
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

void queue_processes(benchmark::State& state, bool latency)
{
    QueueName name;
    XKQueueBlock q{};
    Control* c = shared_control();
    if (c == nullptr || XKQRecvOpen(&q, XKQ_MODE_MEMORY | XKQ_MODE_SHARED, name.path.c_str(), 96, 256) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    const auto n = static_cast<int64_t>(state.max_iterations);
    pid_t pid = fork();
    if (pid == 0) {
        XKQueueBlock w{};
        if (XKQSendOpen(&w, XKQ_MODE_MEMORY | XKQ_MODE_SHARED, name.path.c_str(), 96, 256) == 0)
            queue_writer(&w, c, n, latency, 64);
        _exit(0);
    }
    std::vector<int64_t> lat;
    lat.reserve(static_cast<size_t>(n));
    if (pid > 0)
        queue_reader(state, &q, c, latency ? &lat : nullptr);
    else
        state.SkipWithError("fork failed");
    c->stop = 1;
    if (pid > 0)
        end_child(pid);
    XKQRecvClose(&q);
    munmap(c, sizeof(Control));
    report_latency(state, lat);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 64);
}

// The same hand-off through one mutex-guarded slot.
void condvar_threads(benchmark::State& state, bool latency)
{
    std::mutex m;
    std::condition_variable cv;
    bool full = false;
    unsigned char slot[64] = {};
    Control c;
    const auto n = static_cast<int64_t>(state.max_iterations);
    std::thread writer([&] {
        const int64_t deadline = now_ns() + helper_limit_ns;
        for (int64_t i = 0; i < n; ++i) {
            if (latency) {
                if (!wait_acked(&c, i, deadline))
                    return;
                pause_before_put();
            }
            std::unique_lock<std::mutex> lk(m);
            if (!cv.wait_for(lk, std::chrono::seconds(5), [&] { return !full || c.stop.load(); }) || c.stop)
                return;
            int64_t stamp = now_ns();
            std::memcpy(slot, &stamp, sizeof stamp);
            full = true;
            lk.unlock();
            cv.notify_all();
        }
    });
    std::vector<int64_t> lat;
    lat.reserve(static_cast<size_t>(n));
    int64_t taken = 0;
    unsigned char rec[64];
    for (auto _ : state) {
        std::unique_lock<std::mutex> lk(m);
        if (!cv.wait_for(lk, std::chrono::seconds(5), [&] { return full; })) {
            state.SkipWithError("slot stalled");
            break;
        }
        std::memcpy(rec, slot, sizeof rec);
        full = false;
        lk.unlock();
        cv.notify_all();
        if (latency) {
            int64_t stamp;
            std::memcpy(&stamp, rec, sizeof stamp);
            lat.push_back(now_ns() - stamp);
        }
        c.acked.store(++taken, std::memory_order_release);
    }
    {
        std::lock_guard<std::mutex> lk(m);
        c.stop = 1;
    }
    cv.notify_all();
    writer.join();
    report_latency(state, lat);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 64);
}

// The same hand-off through a pipe to a child process.
void pipe_processes(benchmark::State& state, bool latency)
{
    int fds[2];
    Control* c = shared_control();
    if (c == nullptr || pipe(fds) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    const auto n = static_cast<int64_t>(state.max_iterations);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const int64_t deadline = now_ns() + helper_limit_ns;
        unsigned char rec[64] = {};
        for (int64_t i = 0; i < n; ++i) {
            if (latency) {
                if (!wait_acked(c, i, deadline))
                    break;
                pause_before_put();
            }
            int64_t stamp = now_ns();
            std::memcpy(rec, &stamp, sizeof stamp);
            if (write(fds[1], rec, sizeof rec) != static_cast<ssize_t>(sizeof rec))
                break;
        }
        _exit(0);
    }
    close(fds[1]);
    std::vector<int64_t> lat;
    lat.reserve(static_cast<size_t>(n));
    int64_t taken = 0;
    unsigned char rec[64];
    for (auto _ : state) {
        size_t got = 0;
        while (got < sizeof rec) {
            ssize_t r = read(fds[0], rec + got, sizeof rec - got);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        if (got < sizeof rec) {
            state.SkipWithError("pipe closed");
            break;
        }
        if (latency) {
            int64_t stamp;
            std::memcpy(&stamp, rec, sizeof stamp);
            lat.push_back(now_ns() - stamp);
        }
        c->acked.store(++taken, std::memory_order_release);
    }
    c->stop = 1;
    if (pid > 0)
        end_child(pid);
    close(fds[0]);
    munmap(c, sizeof(Control));
    report_latency(state, lat);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 64);
}

}  // namespace

BENCHMARK_CAPTURE(condvar_threads, latency, true)->Name("condvar_baseline/THREAD")->Iterations(latency_rounds)->UseRealTime();
BENCHMARK_CAPTURE(queue_threads, latency, true)->Name("queue_wake/THREAD")->Iterations(latency_rounds)->UseRealTime();
BENCHMARK_CAPTURE(pipe_processes, latency, true)->Name("pipe_baseline/PROCESS")->Iterations(latency_rounds)->UseRealTime();
BENCHMARK_CAPTURE(queue_processes, latency, true)->Name("queue_wake/PROCESS")->Iterations(latency_rounds)->UseRealTime();
BENCHMARK_CAPTURE(condvar_threads, stream, false)->Name("condvar_baseline/THREAD64")->Iterations(stream_records)->UseRealTime();
BENCHMARK_CAPTURE(queue_threads, stream, false)->Name("queue_stream/THREAD64")->Iterations(stream_records)->UseRealTime();
BENCHMARK_CAPTURE(pipe_processes, stream, false)->Name("pipe_baseline/PROCESS64")->Iterations(stream_records)->UseRealTime();
BENCHMARK_CAPTURE(queue_processes, stream, false)->Name("queue_stream/PROCESS64")->Iterations(stream_records)->UseRealTime();

BENCHMARK_MAIN();
