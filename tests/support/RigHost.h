// The factory host of an end-to-end test: an active HSMS library session
// (engine as a thread) that keeps every data message and link event it
// receives, answers the equipment's W-bit primaries it has a reply for,
// numbers its own primaries itself (so that transaction IDs stay unique
// when the session is opened again after the equipment went away), and
// lets threads wait for the answer to one transaction.
//
//   RigHost host(ini, "HOST");
//   host.answer(0x860B, 0x060C, RigItem(010, "\0", 1));  // S6F11 W -> S6F12
//   host.connect(8000);
//   int session = host.generation();
//   uint32_t xid = host.send(0x8A03, body);
//   RigAnswer a = host.wait_answer(xid, session, 20000);
//
// Header only, free of gtest (as BridgeRig.h, whose message record it
// extends); every wait has a deadline.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "runtime/XKWSleep.h"
#include "runtime/XKWTime.h"
#include "secs/xks.h"
#include "tests/support/BridgeRig.h"

// A data message as the host received it; rtn below 0 marks what the
// engine found wrong with it (-14: a reply without open transaction).
struct RigAnswer : RigMessage {
    int32_t rtn = 0;
};

class RigHost {
public:
    static constexpr int32_t kT3Expired = -983;
    static constexpr int32_t kEnded = -999;

    RigHost(std::string ini, std::string section) : ini_(std::move(ini)), section_(std::move(section)) {}
    ~RigHost() { close(); }
    RigHost(const RigHost&) = delete;
    RigHost& operator=(const RigHost&) = delete;

    // Reply to every received W-bit primary `primary` (W-bit included) with
    // the message `reply` and this body.
    void answer(int32_t primary, int32_t reply, std::vector<uint8_t> body)
    {
        std::lock_guard<std::mutex> lock(m_);
        replies_[primary] = {reply, std::move(body)};
    }

    // Open the session (again: the old one is closed first, with the
    // transactions it had open) and connect and select within ms; a
    // connect that finds no listener yet is tried again.
    bool connect(int ms)
    {
        std::unique_lock<std::shared_mutex> sending(send_lock_);
        close_locked();
        uint64_t end = XKWTickCount() + uint64_t(ms);
        handle_ = XKSOpen(0x1002, ini_.c_str(), section_.c_str(), &RigHost::callback, this, nullptr, nullptr, nullptr,
                          nullptr);
        if (handle_ <= 0)
            return false;
        {
            std::lock_guard<std::mutex> lock(m_);
            ++generation_;
        }
        while (XKWTickCount() < end) {
            if (XKSGetXStat(handle_, 0) == 0) {
                XKSSend(handle_, XKS_SEND_CONNECT, 0, 0, 0, nullptr, 0, nullptr);
                wait_state([](int32_t s) { return s != 0; }, 1200);
            }
            if (XKSGetXStat(handle_, 0) == 1) {
                XKSSend(handle_, XKS_SEND_SELECT, 0, 0, 0, nullptr, 0, nullptr);
                wait_state([](int32_t s) { return s != 1 && s != 2; }, 2000);
            }
            // A link that ends up neither selected nor down gets a moment
            // before the next attempt.
            if (wait_state([](int32_t s) { return s == 3; }, 50))
                return true;
        }
        return false;
    }
    void close()
    {
        std::unique_lock<std::shared_mutex> sending(send_lock_);
        close_locked();
    }
    bool selected() const { return handle_ > 0 && XKSGetXStat(handle_, 0) == 3; }
    // Sessions opened so far; a link lost ends one.
    int generation()
    {
        std::lock_guard<std::mutex> lock(m_);
        return generation_;
    }

    // Send a primary with the next transaction ID of the host's own; the
    // ID, or 0 when the send failed.
    uint32_t send(int32_t sf, const std::vector<uint8_t>& body, int32_t devid = 1)
    {
        std::shared_lock<std::shared_mutex> sending(send_lock_);
        uint32_t xid = next_xid_.fetch_add(1);
        int32_t rc = XKSSend(handle_, XKS_SEND_OWNXID, devid, sf, xid, body.data(), int32_t(body.size()), nullptr);
        return rc < 0 ? 0 : xid;
    }

    // Wait until the answer to xid comes (a message with its system bytes,
    // stream and even function), its T3 expires (the answer's rtn is then
    // -983, sf 0), the session it was sent on ends (rtn -999) or ms pass
    // (rtn 0, sf 0).
    RigAnswer wait_answer(uint32_t xid, int generation, int ms)
    {
        std::unique_lock<std::mutex> lock(m_);
        RigAnswer out;
        cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            auto it = first_answer_.find(xid);
            if (it != first_answer_.end()) {
                out = received_[it->second];
                return true;
            }
            if (std::find(expired_.begin(), expired_.end(), xid) != expired_.end()) {
                out.rtn = kT3Expired;
                return true;
            }
            if (generation_ != generation || ended_ >= generation) {
                out.rtn = kEnded;
                return true;
            }
            return false;
        });
        return out;
    }

    // Every data message received, in order.
    std::vector<RigAnswer> received()
    {
        std::lock_guard<std::mutex> lock(m_);
        return received_;
    }
    // Transactions whose T3 expired.
    std::vector<uint32_t> expired()
    {
        std::lock_guard<std::mutex> lock(m_);
        return expired_;
    }
    // Received messages of this stream/function word.
    size_t count(int32_t sf)
    {
        std::lock_guard<std::mutex> lock(m_);
        return size_t(std::count_if(received_.begin(), received_.end(), [&](const RigAnswer& a) { return a.sf == sf; }));
    }
    // Replies the host sent, and the sends of them that failed.
    int replies_sent() const { return replies_sent_.load(); }
    int reply_errors() const { return reply_errors_.load(); }

private:
    template <class Pred>
    bool wait_state(Pred pred, int ms)
    {
        return RigWait([&] { return pred(XKSGetXStat(handle_, 0)); }, ms);
    }
    void close_locked()
    {
        if (handle_ > 0)
            XKSClose(handle_, 0);
        handle_ = 0;
        std::lock_guard<std::mutex> lock(m_);
        ended_ = generation_;
        cv_.notify_all();
    }

    static int32_t callback(void* self, const XKSRecvRecord* r)
    {
        static_cast<RigHost*>(self)->take(*r);
        return 0;
    }
    void take(const XKSRecvRecord& r)
    {
        std::pair<int32_t, std::vector<uint8_t>> reply{0, {}};
        {
            std::lock_guard<std::mutex> lock(m_);
            if (r.cls == 4097) {
                RigAnswer a;
                a.devid = r.devid;
                a.sf = r.sf;
                a.xid = r.xid;
                a.rtn = r.rtn < 0 ? r.rtn : 0;
                if (r.body != nullptr && r.rtn > 0)
                    a.body.assign(r.body, r.body + r.rtn);
                bool primary = (r.sf & 1) != 0;
                if (!primary && a.rtn == 0)
                    first_answer_.emplace(r.xid, received_.size());
                received_.push_back(std::move(a));
                if (auto it = replies_.find(r.sf); primary && (r.sf & 0x8000) != 0 && it != replies_.end())
                    reply = it->second;
            } else if (r.req == 83) {
                expired_.push_back(r.xid);
            } else if (r.rtn == kEnded) {
                ended_ = generation_;
            }
            cv_.notify_all();
        }
        if (reply.first != 0) {
            int32_t rc = XKSSend(handle_, 0, r.devid, reply.first, r.xid, reply.second.data(),
                                 int32_t(reply.second.size()), nullptr);
            (rc < 0 ? reply_errors_ : replies_sent_).fetch_add(1);
        }
    }

    const std::string ini_, section_;
    std::atomic<int32_t> handle_{0};
    std::shared_mutex send_lock_;  // sends share it, an open or close takes it alone
    std::mutex m_;
    std::condition_variable cv_;
    std::map<int32_t, std::pair<int32_t, std::vector<uint8_t>>> replies_;
    std::vector<RigAnswer> received_;
    std::map<uint32_t, size_t> first_answer_;  // xid -> its first good answer in received_
    std::vector<uint32_t> expired_;
    int generation_ = 0, ended_ = 0;
    std::atomic<uint32_t> next_xid_{1};
    std::atomic<int> replies_sent_{0}, reply_errors_{0};
};
