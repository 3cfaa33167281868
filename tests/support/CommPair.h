// Library sessions for tests, opened through the public interface: an INI
// file in a temporary directory, a receive-callback collector with bounded
// waits, two sessions talking over loopback (equipment passive, host
// active, the engine as a thread of the test), and the engine's side of a
// session whose engine runs "elsewhere" (open mode 1: the test takes the
// requests and puts events and send results itself, on file queues).
#pragma once
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/XKQueue.h"
#include "runtime/XKWSleep.h"
#include "secs/XKSCont.h"
#include "secs/XKSLib.h"
#include "secs/xks.h"
#include "tests/support/EngineRun.h"
#include "tests/support/HsmsPeer.h"
#include "tests/support/TempDir.h"

// Wait until pred() holds, polling every 5 ms, at most ms.
template <class Pred>
bool CommWaitFor(Pred pred, int ms)
{
    uint64_t end = XKWTickCount() + uint64_t(ms);
    while (!pred()) {
        if (XKWTickCount() >= end)
            return false;
        XKWSleep(5);
    }
    return true;
}

// An INI file whose [DEFAULT] holds short timers, the directory as trace
// and queue directory and the user trace switched on; write() adds the
// sections. DEVID is left to the sections: lists of all sections add up,
// and the first ID names a session's queues and traces.
class CommIni {
public:
    explicit CommIni(const char* prefix = "xkscomm") : dir(prefix), path(dir / "xks.ini") {}

    void write(const std::string& sections, const std::string& defaults = "")
    {
        std::ofstream(path) << "[DEFAULT]\nT3=2\nT5=2\nT6=2\nT7=2\nT8=1\nINTER0=20\nINTER1=50\n"
                            << "TRCDIR=" << dir.path() << "\nQUEDIR=" << dir.path()
                            << "\nTRCUOUT=0x2\nTRCULEVEL=9\n"
                            << defaults << "\n"
                            << sections << "\n";
    }
    // The user trace of a session: side "h" or "e", its first device ID.
    std::string user_trace(const char* side, int devid = 1) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "t%s%04xu.trc", side, devid);
        std::ifstream in(dir / name);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

    TempDir dir;
    std::string path;
};

// Whether text holds line as a whole line end (LF or CR LF after it).
inline bool CommHasLine(const std::string& text, const std::string& line)
{
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        char next = at + line.size() < text.size() ? text[at + line.size()] : '\0';
        if (next == '\n' || next == '\r')
            return true;
    }
    return false;
}

// A copy of one receive-callback record with its body.
struct CommRecv {
    XKSRecvRecord rec{};
    std::vector<uint8_t> body;
};

// Collects what a session's receive callback gets.
class CommCollector {
public:
    // Runs on the callback thread for each record before it is stored (a
    // reply, for example). Set it before the session opens.
    std::function<void(const XKSRecvRecord&)> on_record;

    static int32_t Callback(void* self, const XKSRecvRecord* record)
    {
        auto* c = static_cast<CommCollector*>(self);
        if (c->on_record)
            c->on_record(*record);
        CommRecv copy;
        copy.rec = *record;
        if (record->body != nullptr && record->rtn > 0)
            copy.body.assign(record->body, record->body + record->rtn);
        copy.rec.body = nullptr;
        std::lock_guard<std::mutex> lock(c->m_);
        c->recs_.push_back(std::move(copy));
        c->cv_.notify_all();
        return 0;
    }

    // Wait until pred(records) holds, at most ms.
    bool wait_for(const std::function<bool(const std::vector<CommRecv>&)>& pred, int ms)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(recs_); });
    }
    // The first record of class cls (and request req when not negative)
    // within ms.
    std::optional<CommRecv> wait_class(int32_t cls, int ms, int32_t req = -1)
    {
        std::optional<CommRecv> found;
        wait_for(
            [&](const std::vector<CommRecv>& all) {
                for (const CommRecv& r : all)
                    if (r.rec.cls == cls && (req < 0 || r.rec.req == req)) {
                        found = r;
                        return true;
                    }
                return false;
            },
            ms);
        return found;
    }
    std::vector<CommRecv> records()
    {
        std::lock_guard<std::mutex> lock(m_);
        return recs_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<CommRecv> recs_;
};

// One session opened through xks.h.
class CommSession {
public:
    CommSession() = default;
    ~CommSession() { close(); }
    CommSession(const CommSession&) = delete;
    CommSession& operator=(const CommSession&) = delete;

    // Open section of ini with open mode; with_callback registers rx.
    // Returns the handle or the failure.
    int32_t open(int32_t mode, const std::string& ini, const char* section, bool with_callback = true,
                 XKSSendCallback send = nullptr, void* send_arg = nullptr)
    {
        handle = XKSOpen(mode, ini.c_str(), section, with_callback ? &CommCollector::Callback : nullptr, &rx,
                         send, send_arg, nullptr, nullptr);
        return handle;
    }
    int32_t close()
    {
        int32_t rc = handle > 0 ? XKSClose(handle, 0) : 0;
        handle = 0;
        return rc;
    }
    XKSAcb* acb() const
    {
        XKSAcb* p = nullptr;
        XKSGetAcb(handle, 0, &p);
        return p;
    }
    bool wait_xstat(int32_t state, int ms) const
    {
        return CommWaitFor([&] { return XKSGetXStat(handle, 0) == state; }, ms);
    }

    CommCollector rx;
    int32_t handle = 0;
};

// Two sessions over loopback: [EQ] equipment, passive on a free port;
// [HOST] host, active towards it. The engines run as threads.
class CommPair {
public:
    // mode: open mode of both sessions (0x1002: the engine keeps the
    // states, 0x0002: the library does). keys: more [DEFAULT] lines.
    explicit CommPair(int32_t mode = 0x1002, const std::string& keys = "", const std::string& eq_keys = "",
                      const std::string& host_keys = "")
        : mode_(mode)
    {
        ini.write("[EQ]\nDEVID=1\nSECSMODE=0x11\nPORT=" + std::to_string(port) + "\n" + eq_keys +
                      "\n[HOST]\nDEVID=1\nSECSMODE=0x41\nHOST=127.0.0.1\nPORT=" + std::to_string(port) + "\n" +
                      host_keys,
                  keys);
    }

    // Open both sessions (equipment first, so it listens); 0 or the
    // first failure.
    int32_t open()
    {
        int32_t rc = eq.open(mode_, ini.path, "EQ");
        if (rc < 0)
            return rc;
        rc = host.open(mode_, ini.path, "HOST");
        return rc < 0 ? rc : 0;
    }

    // The host connects and selects; true when both sides are selected.
    bool connect_select(int ms = 3000)
    {
        if (XKSSend(host.handle, XKS_SEND_CONNECT, 0, 0, 0, nullptr, 0, nullptr) < 0)
            return false;
        if (!host.wait_xstat(1, ms) || !eq.wait_xstat(1, ms))
            return false;
        if (XKSSend(host.handle, XKS_SEND_SELECT, 0, 0, 0, nullptr, 0, nullptr) < 0)
            return false;
        return host.wait_xstat(3, ms) && eq.wait_xstat(3, ms);
    }

    CommIni ini;
    int port = HsmsFreePort();
    CommSession eq, host;

private:
    int32_t mode_;
};

// The engine's side of a session opened with engine mode 1 on file queues
// (QUEMODE without 0x80): the session's receive queue for putting events,
// its send queue for taking requests, its send-result queue for putting
// results.
class CommFakeEngine {
public:
    CommFakeEngine() = default;
    ~CommFakeEngine()
    {
        XKQSendClose(&r_);
        XKQRecvClose(&s_);
        XKQSendClose(&c_);
    }
    CommFakeEngine(const CommFakeEngine&) = delete;
    CommFakeEngine& operator=(const CommFakeEngine&) = delete;

    int32_t attach(const XKSAcb* acb)
    {
        const XKSConfig& cfg = acb->cfg;
        int32_t mode = int32_t(cfg.quemode & 0xF0);
        int side = (cfg.secsmode & 0x10) != 0 ? 1 : 0;
        char name[XKQ_NAME_MAX];
        int32_t rc = XKSLibQueueName(0, side, cfg.devid[0], cfg.quedir, name, sizeof name);
        if (rc == 0)
            rc = XKQSendOpen(&r_, mode, name, cfg.quesize, cfg.querec);
        if (rc == 0)
            rc = XKSLibQueueName(1, side, cfg.devid[0], cfg.quedir, name, sizeof name);
        if (rc == 0)
            rc = XKQRecvOpen(&s_, mode, name, cfg.quesize, cfg.querec);
        if (rc == 0)
            rc = XKSLibQueueName(2, side, cfg.devid[0], cfg.quedir, name, sizeof name);
        if (rc == 0)
            rc = XKQSendOpen(&c_, mode, name, XKS_REQ_RESULT_SIZE, cfg.querec);
        return rc;
    }

    // An event or received message on the receive queue.
    int32_t put_event(int req, int rtn, const uint8_t* header = nullptr, const std::vector<uint8_t>& body = {})
    {
        std::vector<uint8_t> rec = EngineRun::record(req, 0, rtn, header, body);
        rec.resize(rec.size() + 2);
        return XKQSendPut(&r_, 0, rec.data(), int32_t(rec.size()));
    }
    // A send result.
    int32_t put_result(int req, int rtn, const uint8_t* header)
    {
        std::vector<uint8_t> rec = EngineRun::record(req, 0, rtn, header, {});
        return XKQSendPut(&c_, 0, rec.data(), int32_t(rec.size()));
    }
    // The next request on the send queue within ms; size: bytes as put.
    std::optional<EngineRecord> take(int ms, int32_t* size = nullptr)
    {
        std::vector<uint8_t> buf(70000);
        uint64_t end = XKWTickCount() + uint64_t(ms);
        for (;;) {
            int32_t n = XKQRecvGet(&s_, 0, buf.data(), int32_t(buf.size()), nullptr);
            if (n >= XKS_REQ_SIZE) {
                EngineRecord rec;
                std::memcpy(&rec.head, buf.data(), sizeof rec.head);
                size_t len = rec.head.len <= uint32_t(n - XKS_REQ_SIZE) ? rec.head.len : 0;
                rec.body.assign(buf.begin() + XKS_REQ_SIZE, buf.begin() + XKS_REQ_SIZE + long(len));
                if (size != nullptr)
                    *size = n;
                return rec;
            }
            if (XKWTickCount() >= end)
                return std::nullopt;
            XKWSleep(5);
        }
    }

private:
    XKQueueBlock r_{}, s_{}, c_{};
};

// A 10-byte header in host order.
inline std::vector<uint8_t> CommHeader(uint16_t devid, uint8_t stream, uint8_t function, uint32_t system)
{
    std::vector<uint8_t> h(10, 0);
    std::memcpy(h.data(), &devid, 2);
    h[2] = stream;
    h[3] = function;
    uint16_t hi = uint16_t(system >> 16), lo = uint16_t(system);
    std::memcpy(h.data() + 6, &hi, 2);
    std::memcpy(h.data() + 8, &lo, 2);
    return h;
}
