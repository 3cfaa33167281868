// Soak: a host and an equipment session exchange primaries and replies for
// a bounded time through a loopback relay that cuts the connection every
// two to three seconds, while link tests run every second. The host
// reconnects and reselects after every cut. At the end every primary sent
// must be accounted for (its reply, its T3 event, or the end of its
// connection), nothing may arrive twice on either side, and neither engine
// may keep a transaction open.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "secs/XKSAcb.h"
#include "secs/XKSCont.h"
#include "tests/support/CommPair.h"

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kMinPrimaries = 300;  // the sanitizer slows every hop down
#else
constexpr int kMinPrimaries = 3000;
#endif
constexpr int kMaxPrimaries = 60000;  // with the failed sends, below the wrap of the IDs
constexpr int kExchangeMs = 17000;
constexpr int kPrimariesPerMs = 4;  // pace: the exchange spans several cuts on a fast machine too
constexpr int kSenders = 3;
constexpr int kT3 = 3;
constexpr int32_t kPrimarySf = 0x8103;  // S1F3 W, body: one U4 counter
constexpr int32_t kReplySf = 0x0104;

uint64_t now_ms()
{
    return XKWTickCount();
}

std::vector<uint8_t> counter_body(uint32_t counter)
{
    return {0xB1, 4, uint8_t(counter >> 24), uint8_t(counter >> 16), uint8_t(counter >> 8), uint8_t(counter)};
}

// The counter of a body built by counter_body; -1 for any other body.
int64_t body_counter(const XKSRecvRecord& r)
{
    if (r.rtn != 6 || r.body == nullptr || r.body[0] != 0xB1 || r.body[1] != 4)
        return -1;
    return int64_t(uint32_t(r.body[2]) << 24 | uint32_t(r.body[3]) << 16 | uint32_t(r.body[4]) << 8 | r.body[5]);
}

int listen_loopback(int* port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

int connect_loopback(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// A TCP relay on loopback: each connection accepted is joined to a new
// connection to the target port, and both are closed after 2-3 s (every
// other cut with a reset) until cutting stops.
class CutRelay {
public:
    explicit CutRelay(int target) : target_(target), listen_fd_(listen_loopback(&port_))
    {
        if (listen_fd_ >= 0)
            thread_ = std::thread([this] { run(); });
    }
    ~CutRelay()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listen_fd_ >= 0)
            ::close(listen_fd_);
    }
    CutRelay(const CutRelay&) = delete;
    CutRelay& operator=(const CutRelay&) = delete;

    int port() const { return listen_fd_ >= 0 ? port_ : -1; }
    void stop_cutting() { cutting_ = false; }
    // Connections cut on time, and those a side ended first (or that the
    // target refused).
    int cuts() const { return closed_ - ended_; }
    int ended() const { return ended_; }

private:
    void run()
    {
        const uint64_t give_up = now_ms() + 120000;  // the test ends long before
        while (!stop_ && now_ms() < give_up) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            int a = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (a < 0)
                continue;
            // The equipment may still be winding up the connection before.
            int b = -1;
            for (int i = 0; i < 40 && b < 0 && !stop_; ++i) {
                b = connect_loopback(target_);
                if (b < 0)
                    XKWSleep(25);
            }
            if (b < 0 || !pump(a, b, now_ms() + 2000 + uint64_t(closed_ * 373 % 1000)))
                ended_ = ended_ + 1;
            bool reset = closed_ % 2 == 1;
            for (int fd : {a, b}) {
                if (fd < 0)
                    continue;
                if (reset) {
                    linger l{1, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                }
                ::close(fd);
            }
            closed_ = closed_ + 1;
        }
    }

    // Copy both ways until the cut time (while cutting), a close or stop;
    // false when a side ended the connection first.
    bool pump(int a, int b, uint64_t cut_at)
    {
        for (int fd : {a, b}) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            timeval tv{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        }
        std::vector<uint8_t> buf(65536);
        while (!stop_ && (!cutting_ || now_ms() < cut_at)) {
            pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            if (::poll(p, 2, 20) < 0)
                return false;
            for (int i = 0; i < 2; ++i) {
                if (p[i].revents == 0)
                    continue;
                ssize_t n = ::read(p[i].fd, buf.data(), buf.size());
                if (n <= 0)
                    return false;
                int to = i == 0 ? b : a;
                for (ssize_t off = 0; off < n;) {
                    ssize_t w = ::send(to, buf.data() + off, size_t(n - off), MSG_NOSIGNAL);
                    if (w <= 0)
                        return false;
                    off += w;
                }
            }
        }
        return true;
    }

    int target_;
    int port_ = -1;
    int listen_fd_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cutting_{true};
    std::atomic<int> closed_{0};  // connections closed
    std::atomic<int> ended_{0};
    std::thread thread_;
};

// What the host sent and what came back for it.
class Ledger {
public:
    struct Sent {
        uint32_t counter;
        int ends;  // connection ends seen before the send
    };

    void sent(uint32_t xid, uint32_t counter, int ends)
    {
        std::lock_guard<std::mutex> lock(m_);
        if (!sent_.emplace(xid, Sent{counter, ends}).second)
            faults_.push_back("transaction ID given out twice: " + std::to_string(xid));
    }
    void failed(uint32_t xid, uint32_t counter, int32_t rc)
    {
        std::lock_guard<std::mutex> lock(m_);
        failed_[xid] = {counter, rc};
        ++codes_[rc];
    }
    // Host receive callback.
    void record(const XKSRecvRecord& r)
    {
        std::lock_guard<std::mutex> lock(m_);
        if (r.cls == 4097 && r.sf == kReplySf) {
            ++replies_[r.xid];
            replied_counter_[r.xid] = body_counter(r);
        } else if (r.req == XKS_EV_T3) {
            ++t3_[r.xid];
        } else if (r.req == XKS_EV_ENDED || r.req == XKS_EV_SEPARATED) {
            ++ends_;
        } else {
            ++other_[r.req];
        }
        cv_.notify_all();
    }
    int ends()
    {
        std::lock_guard<std::mutex> lock(m_);
        return ends_;
    }
    // Wait until the primary xid is answered or timed out, or its
    // connection has ended; at most ms.
    void wait_settled(uint32_t xid, int ends, int ms)
    {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return settled(xid, ends); });
    }
    bool wait_ends_above(int ends, int ms)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return ends_ > ends; });
    }
    bool wait_all_settled(int ms)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            for (const auto& [xid, s] : sent_)
                if (!settled(xid, s.ends))
                    return false;
            return true;
        });
    }

    // Cross-checks after the exchange, with what the equipment received
    // (transaction ID -> counter).
    struct Totals {
        size_t sent = 0, replied = 0, timed_out = 0, cut = 0, unaccounted = 0, twice = 0;
        std::vector<std::string> faults;
    };
    Totals check(const std::multimap<uint32_t, int64_t>& at_equipment)
    {
        std::lock_guard<std::mutex> lock(m_);
        Totals t;
        t.faults = faults_;
        t.sent = sent_.size();
        for (const auto& [xid, s] : sent_) {
            int r = count(replies_, xid), to = count(t3_, xid);
            if (r + to > 1)
                ++t.twice;
            else if (r == 1)
                ++t.replied;
            else if (to == 1)
                ++t.timed_out;
            else if (ends_ > s.ends)
                ++t.cut;
            else
                ++t.unaccounted;
            if (r > 0 && replied_counter_[xid] != int64_t(s.counter))
                t.faults.push_back("reply to " + std::to_string(xid) + " carries another primary's counter");
        }
        for (const auto& [xid, n] : replies_) {
            auto f = failed_.find(xid);
            if (sent_.count(xid) == 0 && f == failed_.end())
                t.faults.push_back("reply to an ID never sent: " + std::to_string(xid));
            else if (f != failed_.end() && f->second.second != -238)
                t.faults.push_back("reply to a send reported failed with " + std::to_string(f->second.second));
        }
        std::set<int64_t> counters;
        for (auto it = at_equipment.begin(); it != at_equipment.end(); ++it) {
            if (at_equipment.count(it->first) > 1)
                t.faults.push_back("equipment got transaction " + std::to_string(it->first) + " twice");
            if (!counters.insert(it->second).second)
                t.faults.push_back("equipment got counter " + std::to_string(it->second) + " twice");
            auto s = sent_.find(it->first);
            auto f = failed_.find(it->first);
            int64_t want = s != sent_.end() ? s->second.counter : f != failed_.end() ? f->second.first : -2;
            if (want != it->second)
                t.faults.push_back("equipment got " + std::to_string(it->first) + " with a foreign body");
        }
        return t;
    }
    std::map<int, int> others()
    {
        std::lock_guard<std::mutex> lock(m_);
        return other_;
    }
    std::map<int, int> failure_codes()
    {
        std::lock_guard<std::mutex> lock(m_);
        return codes_;
    }

private:
    static int count(const std::map<uint32_t, int>& m, uint32_t xid)
    {
        auto it = m.find(xid);
        return it == m.end() ? 0 : it->second;
    }
    bool settled(uint32_t xid, int ends) const
    {
        return ends_ > ends || replies_.count(xid) != 0 || t3_.count(xid) != 0;
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::map<uint32_t, Sent> sent_;
    std::map<uint32_t, std::pair<uint32_t, int32_t>> failed_;  // counter, result
    std::map<uint32_t, int> replies_, t3_;
    std::map<uint32_t, int64_t> replied_counter_;
    std::map<int, int> other_, codes_;
    std::vector<std::string> faults_;
    int ends_ = 0;
};

// The equipment answers every primary with the W-bit, echoing its body,
// and notes what it got.
class Answerer {
public:
    void record(int32_t handle, const XKSRecvRecord& r)
    {
        if (r.cls != 4097 || (r.sf & 0x8000) == 0)
            return;
        {
            std::lock_guard<std::mutex> lock(m_);
            got_.emplace(r.xid, body_counter(r));
        }
        int32_t rc = XKSSend(handle, 0, r.devid, (r.sf & 0x7F00) | ((r.sf + 1) & 0xFF), r.xid, r.body, r.rtn,
                             nullptr);
        if (rc < 0)
            failed_replies_ = failed_replies_ + 1;
    }
    std::multimap<uint32_t, int64_t> got()
    {
        std::lock_guard<std::mutex> lock(m_);
        return got_;
    }
    int failed_replies() const { return failed_replies_; }

private:
    std::mutex m_;
    std::multimap<uint32_t, int64_t> got_;
    std::atomic<int> failed_replies_{0};
};

int32_t xtx(const CommSession& s)
{
    XKSAcb* acb = s.acb();
    return acb != nullptr ? XKSLoad(acb->xtx) : -1;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

int count_lines(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(SoakTest, CutConnectionsLoseNoTransactionAndDeliverNothingTwice)
{
    const uint64_t started = now_ms();
    CommIni ini("xkssoak");
    int eq_port = HsmsFreePort();
    CutRelay relay(eq_port);
    ASSERT_GT(relay.port(), 0);
    ini.write("[EQ]\nDEVID=1\nSECSMODE=0x11\nPORT=" + std::to_string(eq_port) +
                  "\n[HOST]\nDEVID=1\nSECSMODE=0x41\nHOST=127.0.0.1\nPORT=" + std::to_string(relay.port()) + "\n",
              "T3=" + std::to_string(kT3) + "\nT6=2\nLINKINT=1\nTRCUOUT=0\nTRCTLEVEL=10\nTRCTSIZE=500000000\n");

    Ledger ledger;
    Answerer answerer;
    CommSession eq, host;
    eq.rx.on_record = [&](const XKSRecvRecord& r) { answerer.record(eq.handle, r); };
    host.rx.on_record = [&](const XKSRecvRecord& r) { ledger.record(r); };
    ASSERT_GT(eq.open(0x1002, ini.path, "EQ"), 0);
    ASSERT_GT(host.open(0x1002, ini.path, "HOST"), 0);
    ASSERT_GE(XKSSend(host.handle, XKS_SEND_CONNECT, 0, 0, 0, nullptr, 0, nullptr), 0);
    ASSERT_TRUE(host.wait_xstat(1, 3000));
    ASSERT_GE(XKSSend(host.handle, XKS_SEND_SELECT, 0, 0, 0, nullptr, 0, nullptr), 0);
    ASSERT_TRUE(host.wait_xstat(3, 3000));

    // The host's link keeper: after each cut wait for the end event, then
    // connect and select again.
    std::atomic<bool> keep{true};
    std::atomic<int> connects{0};
    std::thread keeper([&] {
        int seen = 0;
        bool up = true;
        const uint64_t give_up = now_ms() + 60000;
        while (keep && now_ms() < give_up) {
            int32_t st = XKSGetXStat(host.handle, 0);
            if (st == 3) {
                up = true;
            } else if (st == 0) {
                if (up) {
                    ledger.wait_ends_above(seen, 2000);
                    seen = ledger.ends();
                    up = false;
                }
                if (XKSSend(host.handle, XKS_SEND_CONNECT, 0, 0, 0, nullptr, 0, nullptr) >= 0) {
                    connects = connects + 1;
                    host.wait_xstat(1, 1000);
                } else {
                    XKWSleep(50);
                }
                continue;
            } else if (st == 1) {
                XKSSend(host.handle, XKS_SEND_SELECT, 0, 0, 0, nullptr, 0, nullptr);
                host.wait_xstat(3, 2000);
                continue;
            }
            XKWSleep(5);
        }
    });

    std::atomic<uint32_t> next_counter{1};
    std::atomic<int> sent{0}, not_selected{0};
    const uint64_t exchange_start = now_ms();
    const uint64_t exchange_end = exchange_start + kExchangeMs;
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t)
        senders.emplace_back([&] {
            while (now_ms() < exchange_end && sent < kMaxPrimaries) {
                if (uint64_t(sent) > (now_ms() - exchange_start) * kPrimariesPerMs) {
                    XKWSleep(1);
                    continue;
                }
                if (XKSGetXStat(host.handle, 0) != 3) {
                    XKWSleep(5);
                    continue;
                }
                uint32_t counter = next_counter++;
                std::vector<uint8_t> body = counter_body(counter);
                uint8_t header[10] = {};
                int ends = ledger.ends();
                int32_t rc = XKSSend(host.handle, 0, 1, kPrimarySf, 0, body.data(), int32_t(body.size()), header);
                if (rc > 0) {
                    sent = sent + 1;
                    ledger.sent(uint32_t(rc), counter, ends);
                    ledger.wait_settled(uint32_t(rc), ends, (kT3 + 1) * 1000);
                } else if (rc == -8) {
                    not_selected = not_selected + 1;  // the link dropped meanwhile: nothing was put
                } else {
                    uint16_t hi, lo;  // host order
                    std::memcpy(&hi, header + 6, 2);
                    std::memcpy(&lo, header + 8, 2);
                    ledger.failed(uint32_t(hi) << 16 | lo, counter, rc);
                    // After a cut the link reads as selected until the
                    // engine has shut the connection; every send meanwhile
                    // fails at once.
                    XKWSleep(10);
                }
            }
        });
    for (auto& t : senders)
        t.join();

    // Let the last connection stand (the keeper brings it back if it
    // went just before), wait for the stragglers.
    relay.stop_cutting();
    EXPECT_TRUE(CommWaitFor([&] { return XKSGetXStat(host.handle, 0) == 3 && XKSGetXStat(eq.handle, 0) == 3; },
                            8000));
    EXPECT_TRUE(ledger.wait_all_settled((kT3 + 2) * 1000));
    // Link tests open a transaction for a moment every second.
    EXPECT_TRUE(CommWaitFor([&] { return xtx(host) == 0; }, 2000)) << "host xtx " << xtx(host);
    EXPECT_TRUE(CommWaitFor([&] { return xtx(eq) == 0; }, 2000)) << "equipment xtx " << xtx(eq);
    EXPECT_EQ(XKSGetXStat(host.handle, 0), 3);
    keep = false;
    keeper.join();

    Ledger::Totals t = ledger.check(answerer.got());
    std::string others;
    for (const auto& [req, n] : ledger.others())
        others += " req" + std::to_string(req) + "=" + std::to_string(n);
    std::string codes;
    for (const auto& [rc, n] : ledger.failure_codes())
        codes += " " + std::to_string(rc) + "x" + std::to_string(n);
    std::printf("soak: %zu sent (%zu replied, %zu T3, %zu cut), failed sends:%s, %d not selected, %d cuts, "
                "%d ended by a side, %d connects, %d ends, %d failed replies,%s in %llu ms\n",
                t.sent, t.replied, t.timed_out, t.cut, codes.c_str(), not_selected.load(), relay.cuts(), relay.ended(),
                connects.load(), ledger.ends(), answerer.failed_replies(), others.c_str(),
                static_cast<unsigned long long>(now_ms() - started));
    EXPECT_GE(t.sent, size_t(kMinPrimaries));
    EXPECT_GE(relay.cuts(), 3);
    EXPECT_GE(ledger.ends(), 3);
    EXPECT_EQ(t.unaccounted, 0u);
    EXPECT_EQ(t.twice, 0u);
    for (const std::string& f : t.faults)
        ADD_FAILURE() << f;
    host.close();
    eq.close();
    // Link tests went out on the cut connections as well: about one a
    // second while selected, so a run that reaches its primary count early
    // sees only a few.
    EXPECT_GE(count_lines(read_file(ini.dir / "th0001t.trc"), "LinkTest Request"), 3);
}

}  // namespace
