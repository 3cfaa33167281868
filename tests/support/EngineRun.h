// Runs one control engine on its own thread for a test: an INI file in a
// temporary directory, the three queues in private memory owned by the
// test (the engine uses the very same blocks), and helpers to put requests
// and take events and send results with bounded waits.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/XKQueue.h"
#include "runtime/XKWSleep.h"
#include "secs/XKSCont.h"
#include "secs/XKSLib.h"
#include "tests/support/TempDir.h"

struct EngineRecord {
    XKSRequest head{};
    std::vector<uint8_t> body;
    int req() const { return head.req; }
    int rtn() const { return head.rtn; }
};

class EngineRun {
public:
    // keys: INI lines for [XKS] besides the defaults below (later lines win).
    explicit EngineRun(const std::string& keys, const char* prefix = "xkseng")
        : dir_(prefix)
    {
        std::ofstream(dir_ / "xks.ini") << "[XKS]\nDEVID=1\nT7=2\nT8=1\nT5=2\nINTER0=20\nINTER1=50\n"
                                        << "TRCDIR=" << dir_.path() << "\nQUEDIR=" << dir_.path()
                                        << "\nTRCTOUT=0x2\nTRCTLEVEL=9\nTRCPOUT=0x2\nTRCPLEVEL=9\n"
                                        << keys << "\n";
        XKQSendOpen(&r_, 0xB0, (dir_ / "r").c_str(), 4096, 256);
        XKQSendOpen(&s_, 0xB0, (dir_ / "s").c_str(), 4096, 256);
        XKQSendOpen(&c_, 0xB0, (dir_ / "c").c_str(), 64, 256);
        acb_ = static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb)));
    }
    ~EngineRun()
    {
        stop();
        XKQSendClose(&r_);
        XKQSendClose(&s_);
        XKQSendClose(&c_);
        XKSLibFreeConfig(acb_);
        std::free(acb_);
    }

    // user: the caller's block the engine copies omode and xapp from and
    // mirrors the states into (must outlive the engine), or null.
    void start(XKSAcb* user = nullptr)
    {
        ini_ = dir_ / "xks.ini";
        thread_ = std::thread([this, user] {
            result_ = ContMain(acb_, 0, ini_.c_str(), "XKS", user, &r_, &s_, &c_, nullptr, nullptr);
        });
    }
    // Ask the engine to end and wait for it. Returns ContMain's result.
    int32_t stop()
    {
        if (thread_.joinable()) {
            put(XKS_REQ_TERMINATE);
            thread_.join();
        }
        return result_;
    }
    // Wait for the engine to end by itself (bounded).
    bool ended(int ms)
    {
        for (int i = 0; i < ms / 10 && running(); ++i)
            XKWSleep(10);
        if (running())
            return false;
        if (thread_.joinable())
            thread_.join();
        return true;
    }
    bool running() const { return thread_.joinable() && XKSLoad(acb_->fexit) == 0; }

    int32_t put(int req, int mode = 0, const uint8_t* header = nullptr, const std::vector<uint8_t>& body = {},
                int rtn = 0)
    {
        std::vector<uint8_t> rec = record(req, mode, rtn, header, body);
        return XKQSendPut(&s_, 0, rec.data(), int32_t(rec.size()));
    }

    // A request record with its body, as the queues carry it.
    static std::vector<uint8_t> record(int req, int mode, int rtn, const uint8_t* header,
                                       const std::vector<uint8_t>& body)
    {
        XKSRequest h{};
        h.req = uint8_t(req);
        h.mode = uint8_t(mode);
        h.rtn = int16_t(rtn);
        h.len = uint32_t(body.size());
        if (header != nullptr)
            std::memcpy(h.header, header, 10);
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(&h);
        std::vector<uint8_t> rec(raw, raw + XKS_REQ_SIZE);
        rec.insert(rec.end(), body.begin(), body.end());
        return rec;
    }

    // Next record of the receive (event) or send-result queue within ms.
    std::optional<EngineRecord> event(int ms) { return take(&r_, ms); }
    std::optional<EngineRecord> result(int ms) { return take(&c_, ms); }
    // Skip records until one with this req arrives (bounded by ms).
    std::optional<EngineRecord> event_req(int req, int ms)
    {
        uint64_t end = XKWTickCount() + uint64_t(ms);
        while (XKWTickCount() < end) {
            auto e = event(int(end - XKWTickCount()) + 1);
            if (e && e->req() == req)
                return e;
        }
        return std::nullopt;
    }

    // Wait until pred() holds (bounded).
    template <class Pred>
    bool wait_for(Pred pred, int ms)
    {
        for (int i = 0; i < ms / 5; ++i) {
            if (pred())
                return true;
            XKWSleep(5);
        }
        return pred();
    }
    int32_t xstat() const { return XKSLoad(acb_->xstat); }

    // The engine's trace file of kind ("t", "e" or "p") as text.
    std::string trace(const char* kind) const
    {
        std::ostringstream all;
        for (const char* side : {"h", "e"}) {
            std::ifstream in(dir_ / (std::string("t") + side + "0001" + kind + ".trc"));
            if (in)  // a missing file would leave the stream failed for the next one
                all << in.rdbuf();
        }
        return all.str();
    }
    static int count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    XKSAcb* acb() { return acb_; }
    const TempDir& dir() const { return dir_; }

private:
    std::optional<EngineRecord> take(XKQueueBlock* q, int ms)
    {
        std::vector<uint8_t> buf(70000);
        uint64_t end = XKWTickCount() + uint64_t(ms);
        for (;;) {
            int32_t n = XKQRecvGet(q, 0, buf.data(), int32_t(buf.size()), nullptr);
            if (n >= XKS_REQ_SIZE) {
                EngineRecord rec;
                std::memcpy(&rec.head, buf.data(), sizeof rec.head);
                size_t len = rec.head.len <= uint32_t(n - XKS_REQ_SIZE) ? rec.head.len : 0;
                rec.body.assign(buf.begin() + XKS_REQ_SIZE, buf.begin() + XKS_REQ_SIZE + long(len));
                return rec;
            }
            uint64_t now = XKWTickCount();
            if (now >= end)
                return std::nullopt;
            XKQRecvWait(q, int32_t(end - now));
        }
    }

    TempDir dir_;
    std::string ini_;
    XKQueueBlock r_{}, s_{}, c_{};
    XKSAcb* acb_ = nullptr;
    std::thread thread_;
    int32_t result_ = 0;
};
