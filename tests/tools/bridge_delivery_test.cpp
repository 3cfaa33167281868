// Delivery through the whole system as it runs in a plant: the real qzvq
// process in service mode, a real plcsim process as its PLC (MELSEC 3E on
// loopback, or the shared-memory PLC image) answering every host primary,
// and the factory host as a library session in this process. Host
// messages are counted into PLC memory by plcsim's RECEIVE lines and back
// to the host by their replies; PLC requests are counted at the host. The
// same run is then broken in its middle in five ways, and no host message
// may vanish: each is delivered and answered, or answered with S10F0 by
// the bridge, which says why.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/XKWMem.h"
#include "tests/support/BridgeRig.h"
#include "tests/support/ChildConsole.h"
#include "tests/support/RigHost.h"
#include "tests/support/TcpRelay.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int kT3 = 20;              // s, the host's reply timeout
#if defined(__SANITIZE_THREAD__)
constexpr int kFlowMessages = 250;   // the sanitizer slows every hop down
#else
constexpr int kFlowMessages = 1000;
#endif
constexpr int32_t kS10F3 = 0x8A03;   // W-bit
constexpr int32_t kS10F4 = 0x0A04;
constexpr int32_t kS10F0 = 0x0A00;
constexpr int32_t kS6F11 = 0x860B;   // W-bit
constexpr int32_t kS6F12 = 0x060C;
constexpr int32_t kTextAddress = 0x2090;  // TEXT of S10F3 in examples/equipment.sml
constexpr const char* kFifoFull = "Last sending messeage to PLC was not completed.";
constexpr const char* kNotReady = "PLC not connect or not running now.";

enum class Link { Melsec3E, Memory };

// The PLC as plcsim plays it for the bridge: the [PLC] keys that reach
// it. Its memory is the simulator's own.
class SimLink : public BridgePlc {
public:
    explicit SimLink(Link link)
        : BridgePlc(link == Link::Memory ? RigDevices{0, 1, 0, 1, 2, 3, 0, QZVQ_INFORM_WORDS}
                                         : RigDevices{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x100, 0x120}),
          link(link)
    {
        static std::atomic<int> serial{0};
        image = "bdelivery" + std::to_string(::getpid()) + "." + std::to_string(serial++);
    }
    ~SimLink() override { XKWMemRemove(image.c_str()); }

    bool ready() const override { return true; }
    std::string link_keys() const override
    {
        if (link == Link::Memory)
            return "PLCTYPE=15\nPLCHOST=" + image + "\nPLCPORT=65536\n";
        return "PLCTYPE=0\nPLCHOST=127.0.0.1\nPLCPORT=" + std::to_string(port) + "\nPLCOPT0=0\n";
    }
    void read(int32_t, int32_t, uint16_t*, int32_t) override { ADD_FAILURE() << "plcsim owns the memory"; }
    void write(int32_t, int32_t, const uint16_t*, int32_t) override { ADD_FAILURE() << "plcsim owns the memory"; }

    const Link link;
    std::string image;
    int port = 0;  // where the bridge connects: plcsim's port or the relay's
};

// What the host sent as one message, and how it ended.
struct HostMessage {
    int thread = 0;
    std::string text;          // TEXT, unique to the message
    std::vector<uint32_t> xids;  // one per send (sent again after the link to the bridge was lost)
    RigAnswer answer;          // sf 0: none
};

// A host message as plcsim showed it: its block's system bytes and TEXT,
// the plcsim instance and the place among all RECEIVE lines.
struct Shown {
    uint32_t xid;
    std::string text;
    int instance;
};

std::string xid_text(uint32_t xid)
{
    char text[24];
    std::snprintf(text, sizeof text, "xid=0x%08X", unsigned(xid));
    return text;
}

// Message k's TEXT: its number, then a tail whose length changes from one
// message to the next, long and short mixed, so that what a longer one
// left in PLC memory would show behind a shorter one.
std::string message_text(int k)
{
    static constexpr int lengths[] = {90, 3, 40, 0, 110, 12};
    return "m" + std::to_string(k) + ":" + std::string(size_t(lengths[k % 6]), char('a' + k % 26));
}

std::vector<uint8_t> s10f3_body(int k, const std::string& text)
{
    const uint8_t tid = uint8_t(k);
    return RigBody({RigList(2), RigItem(010, &tid, 1), RigAscii(text)});
}

std::vector<uint8_t> s6f11_body(uint32_t dataid, uint32_t ceid)
{
    return RigBody({RigList(3), RigU4(dataid), RigU4(ceid), RigList(0)});
}

// The last n characters of a program's output, for a failure message.
std::string tail_of(const std::string& text, size_t n = 4000)
{
    return text.substr(text.size() - std::min(text.size(), n));
}

// The lines of a program's output holding needle.
int count_lines(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size())
        ++n;
    return n;
}

// The host messages plcsim showed (RECEIVE S10F3 with the TEXT line after
// it), in order.
void add_shown(const std::string& out, int instance, std::vector<Shown>* shown)
{
    static const std::regex head(R"(RECEIVE S10F3 W \[S10F3\] devid=1 xid=0x([0-9A-F]{8}))");
    static const std::regex text(R"re(^\S+   TEXT = "(.*)"$)re");
    std::istringstream lines(out);
    std::string line;
    bool open = false;
    uint32_t xid = 0;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_search(line, m, head)) {
            open = true;
            xid = uint32_t(std::stoul(m[1], nullptr, 16));
        } else if (open && std::regex_search(line, m, text)) {
            shown->push_back({xid, m[1], instance});
            open = false;
        }
    }
}

// The system bytes of the host's S10F3 in the order the bridge received
// them (its RECEIVE lines).
std::vector<uint32_t> bridge_arrivals(const std::string& out)
{
    static const std::regex line(R"(RECEIVE : LEN: *\d+ DEV:0x[0-9a-f]{4} W S10F3 +XID:0x([0-9a-f]{4})\.([0-9a-f]{4}))");
    std::vector<uint32_t> xids;
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        xids.push_back(uint32_t(std::stoul((*it)[1].str() + (*it)[2].str(), nullptr, 16)));
    return xids;
}

// One plant: plcsim, qzvq and the host, with a relay between the bridge
// and a MELSEC PLC when asked. Programs that are restarted keep their
// earlier instances for the checks.
class Plant {
public:
    Plant(Link link, std::string plc_keys, bool relay)
        : link_(link),
          rig_(link_, {.sml = link_.definitions(FileText(XKS_SOURCE_DIR "/examples/equipment.sml")),
                       .plc_keys = "PLCINTER=100,1\nPLCTO=0,1000\nTRCTOUT=0x2\n" + plc_keys,
                       .secs_keys = "T3=" + std::to_string(kT3) + "\nT5=1\nT6=2\nT7=2\nT8=1\nINTER0=20\nINTER1=50\n"}),
          host(rig_.ini(), "HOST")
    {
        if (relay)
            relay_ = std::make_unique<TcpRelay>(0, MelsecFrameLength);
        host.answer(kS6F11, kS6F12, RigItem(010, "\0", 1));
    }
    ~Plant()
    {
        host.close();
        for (auto* programs : {&qzvq_, &plcsim_})
            for (auto& p : *programs)
                if (p->running())
                    end_with(*p, SIGTERM);
    }

    // Start plcsim, the bridge and the host, and wait until the PLC sees
    // the link selected.
    void start()
    {
        ASSERT_TRUE(rig_.write_files());
        ASSERT_TRUE(relay_ == nullptr || relay_->ready());
        ASSERT_NO_FATAL_FAILURE(start_plcsim());
        ASSERT_TRUE(rig_.write_files());
        ASSERT_NO_FATAL_FAILURE(start_qzvq());
        ASSERT_TRUE(host.connect(10000)) << qzvq().text();
        ASSERT_TRUE(until([&] { return plcsim().printed("SECS ready"); }, 10000)) << plcsim().text();
    }

    // A plcsim instance on the port of the one before (a free one first).
    void start_plcsim()
    {
        std::vector<std::string> args = {"-a", "-w", "1", "+i", rig_.ini()};
        if (link_.link == Link::Melsec3E)
            args.insert(args.end(), {"-p", std::to_string(plc_port_)});
        plcsim_.push_back(std::make_unique<ChildConsole>(XKS_PLCSIM_PATH, rig_.dir(), "plcsim", args));
        ASSERT_TRUE(plcsim().started());
        ASSERT_TRUE(until([&] { return plcsim().printed("PLC status on"); }, 10000)) << plcsim().text();
        if (link_.link == Link::Memory)
            return;
        std::smatch m;
        static const std::regex where(R"(plcsim melsec3e on 127\.0\.0\.1:(\d+))");
        ASSERT_TRUE(std::regex_search(plcsim().text(), m, where)) << plcsim().text();
        plc_port_ = std::stoi(m[1]);
        if (relay_ != nullptr)
            relay_->set_server_port(plc_port_);
        link_.port = relay_ != nullptr ? relay_->port() : plc_port_;
    }
    // A qzvq instance in service mode, up once it has connected the PLC.
    void start_qzvq()
    {
        qzvq_.push_back(std::make_unique<ChildConsole>(XKS_QZVQ_PATH, rig_.dir(), "qzvq",
                                                       std::vector<std::string>{"-d", "+i", rig_.ini()}));
        ASSERT_TRUE(qzvq().started());
        ASSERT_TRUE(until([&] { return qzvq().printed("PLC connected"); }, 10000)) << qzvq().text();
    }
    // End a program's current instance with a signal; true once it has
    // ended (what it printed last is read too).
    static bool end_with(ChildConsole& program, int number)
    {
        program.signal(number);
        return program.exit_status(5000) >= 0;
    }

    ChildConsole& plcsim() { return *plcsim_.back(); }
    ChildConsole& qzvq() { return *qzvq_.back(); }
    TcpRelay& relay() { return *relay_; }

    // Read what the programs print (their pipes must never fill) until
    // pred holds, at most ms; whether it held. Instances that were ended
    // have been read to their end already.
    template <class Pred>
    bool until(Pred pred, int ms)
    {
        uint64_t end = XKWTickCount() + uint64_t(ms);
        for (;;) {
            for (auto* programs : {&qzvq_, &plcsim_})
                if (!programs->empty())
                    programs->back()->drain(2);
            if (pred())
                return true;
            if (XKWTickCount() >= end)
                return false;
        }
    }
    void pause(int ms)
    {
        until([] { return false; }, ms);
    }
    // Read on until the programs have printed nothing new for 150 ms (at
    // most 3 s): the lines of what has happened so far are all in.
    void settle()
    {
        size_t before = 0;
        uint64_t quiet_since = XKWTickCount();
        until(
            [&] {
                size_t now = bridge_output_size() + plcsim().text().size();
                if (now != before)
                    before = now, quiet_since = XKWTickCount();
                return XKWTickCount() - quiet_since >= 150;
            },
            3000);
    }

    // Everything the instances of a program printed, one after the other.
    std::string bridge_output() const { return joined(qzvq_); }
    int plcsim_instances() const { return int(plcsim_.size()); }
    size_t bridge_output_size() const
    {
        size_t n = 0;
        for (const auto& p : qzvq_)
            n += p->text().size();
        return n;
    }
    std::vector<Shown> shown() const
    {
        std::vector<Shown> out;
        for (size_t i = 0; i < plcsim_.size(); ++i)
            add_shown(plcsim_[i]->text(), int(i), &out);
        return out;
    }

    // Stop the bridge and plcsim with SIGTERM, as a service manager does;
    // both end cleanly.
    void stop()
    {
        host.close();
        for (auto* programs : {&qzvq_, &plcsim_}) {
            ChildConsole& p = *programs->back();
            p.signal(SIGTERM);
            until([&] { return !p.running(); }, 10000);
            EXPECT_EQ(p.exit_status(5000), 0) << tail_of(p.text());
        }
    }

private:
    static std::string joined(const std::vector<std::unique_ptr<ChildConsole>>& programs)
    {
        std::string out;
        for (const auto& p : programs)
            out += p->text();
        return out;
    }

    SimLink link_;
    BridgeRig rig_;
    std::unique_ptr<TcpRelay> relay_;
    int plc_port_ = 0;
    std::vector<std::unique_ptr<ChildConsole>> plcsim_, qzvq_;

public:
    RigHost host;
};

// A run of host S10F3 W primaries from `threads` senders (each waiting for
// the answer to its message before it sends the next), with a fault step
// once a third has been answered.
class HostRun {
public:
    HostRun(Plant& plant, int count, int threads) : plant_(plant), threads_(threads), messages_(size_t(count))
    {
        for (int k = 0; k < count; ++k)
            messages_[size_t(k)] = {k % threads, message_text(k), {}, {}};
    }

    // Send them all; fault runs in this thread while the senders go on.
    // False when the run had to be given up (the reason in why()).
    template <class Fault>
    bool run(Fault fault, int budget_ms)
    {
        std::vector<std::thread> senders;
        for (int t = 0; t < threads_; ++t)
            senders.emplace_back([this, t] {
                for (size_t k = size_t(t); k < messages_.size() && !stop_.load(); k += size_t(threads_))
                    if (deliver(int(k)))
                        answered_.fetch_add(1);
                    else
                        give_up("message " + std::to_string(k) + " got no answer, not even its T3");
            });
        const ChildConsole* scanning = nullptr;
        size_t scanned = 0;
        bool done = plant_.until(
            [&] {
                if (!faulted_ && answered_.load() >= int(messages_.size()) / 3) {
                    faulted_ = true;
                    fault_at_ = plant_.bridge_output_size();
                    fault();
                }
                // The bridge never refuses a message for a full queue here:
                // at most four wait, far fewer than it keeps.
                const ChildConsole& bridge = plant_.qzvq();
                if (&bridge != scanning)
                    scanning = &bridge, scanned = 0;
                if (bridge.text().find(kFifoFull, scanned) != std::string::npos)
                    give_up(std::string("the bridge dropped a host message: \"") + kFifoFull + "\"");
                scanned = bridge.text().size() - std::min<size_t>(bridge.text().size(), 100);
                return stop_.load() || answered_.load() == int(messages_.size());
            },
            budget_ms);
        if (!done)
            give_up("the run did not end within " + std::to_string(budget_ms) + " ms");
        for (auto& s : senders)
            s.join();
        plant_.settle();
        return why_.empty();
    }

    const std::vector<HostMessage>& messages() const { return messages_; }
    std::string why()
    {
        std::lock_guard<std::mutex> lock(m_);
        return why_;
    }
    // Whether the fault came, and where the bridge's output stood then.
    bool faulted() const { return faulted_; }
    size_t fault_at() const { return fault_at_; }

private:
    void give_up(const std::string& reason)
    {
        std::lock_guard<std::mutex> lock(m_);
        if (why_.empty())
            why_ = reason;
        stop_.store(true);
    }

    // Send message k and wait for its answer or its T3; after a lost host
    // link send it again on the next one. False when neither came.
    bool deliver(int k)
    {
        HostMessage& m = messages_[size_t(k)];
        const std::vector<uint8_t> body = s10f3_body(k, m.text);
        RigHost& host = plant_.host;
        for (int tries = 0; tries < 4 && !stop_.load(); ++tries) {
            int generation = host.generation();
            uint32_t xid = host.send(kS10F3, body);
            if (xid == 0) {
                if (!next_link(generation))
                    return false;
                continue;
            }
            m.xids.push_back(xid);
            RigAnswer a;
            for (uint64_t end = XKWTickCount() + uint64_t(kT3 + 5) * 1000; !stop_.load() && XKWTickCount() < end;) {
                a = host.wait_answer(xid, generation, 100);
                if (a.sf != 0 || a.rtn != 0)
                    break;
            }
            if (a.rtn == RigHost::kEnded) {
                if (!next_link(generation))
                    return false;
                continue;
            }
            m.answer = a;
            // A host the bridge refuses does not send its next message at once.
            if (a.sf == kS10F0)
                rest(250);
            return a.sf != 0 || a.rtn == RigHost::kT3Expired;
        }
        return false;
    }
    // Let ms pass, or less when the run is given up.
    void rest(int ms)
    {
        RigWait([&] { return stop_.load(); }, ms);
    }
    // Wait until the host has a new selected link after `generation`.
    bool next_link(int generation)
    {
        return RigWait([&] { return stop_.load() || (plant_.host.generation() > generation && plant_.host.selected()); },
                       30000) &&
               !stop_.load();
    }

    Plant& plant_;
    const int threads_;
    std::vector<HostMessage> messages_;
    std::atomic<int> answered_{0};
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::string why_;
    bool faulted_ = false;
    size_t fault_at_ = 0;
};

// What a run must show. seen_at_most: how often plcsim may show one
// message (twice where the PLC or the bridge was replaced under it).
struct Expect {
    bool clean = true;      // no fault: every message delivered once and answered with S10F4
    int seen_at_most = 1;
    bool resent = false;    // the host's link may have been lost, and messages sent again
    bool plc_lost = false;  // a PLC that took a message may have died before it answered
    int tail = 0;           // each sender's last messages must be delivered
};

// Faults found in the messages of a run, counted by kind with the first
// message of each, so that a broken run reports a few lines, not a
// thousand.
class Tally {
public:
    void add(const std::string& fault, size_t k, const HostMessage& m, const std::string& detail = "")
    {
        auto& [count, first] = faults_[fault];
        if (count++ == 0)
            first = "message " + std::to_string(k) + " \"" + m.text.substr(0, 16) + "...\"" +
                    (m.xids.empty() ? "" : " " + xid_text(m.xids.back())) + detail;
    }
    void report() const
    {
        for (const auto& [fault, entry] : faults_)
            ADD_FAILURE() << fault << ": " << entry.first << " messages, the first " << entry.second;
    }

private:
    std::map<std::string, std::pair<int, std::string>> faults_;
};

// Whether a line of the bridge names the transaction and its S10F0.
bool explained(const std::string& bridge, uint32_t xid)
{
    const std::string id = xid_text(xid);
    for (size_t at = 0; (at = bridge.find(id, at)) != std::string::npos; at += id.size()) {
        size_t from = bridge.rfind('\n', at), to = bridge.find('\n', at);
        from = from == std::string::npos ? 0 : from;
        if (bridge.substr(from, to - from).find("answered with S10F0") != std::string::npos)
            return true;
    }
    return false;
}

// Check a finished run against what plcsim showed and the host got.
void check_run(Plant& plant, const HostRun& run, const Expect& expect)
{
    const std::vector<Shown> shown = plant.shown();
    const std::string bridge = plant.bridge_output();
    const std::vector<HostMessage>& messages = run.messages();
    const std::vector<uint8_t> ackc10 = {0x21, 0x01, 0x00};
    Tally tally;
    // Where plcsim showed each message: by the system bytes of its sends.
    std::map<uint32_t, size_t> sender_of;
    for (size_t k = 0; k < messages.size(); ++k)
        for (uint32_t xid : messages[k].xids)
            sender_of[xid] = k;
    std::vector<std::vector<size_t>> places(messages.size());
    int strangers = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        auto it = sender_of.find(shown[i].xid);
        if (it == sender_of.end()) {
            ++strangers;
            continue;
        }
        places[it->second].push_back(i);
        if (shown[i].text != messages[it->second].text)
            tally.add("shown by plcsim with a TEXT not its own", it->second, messages[it->second],
                      ", shown as \"" + shown[i].text.substr(0, 40) + "...\"");
    }
    EXPECT_EQ(strangers, 0) << "messages plcsim showed with system bytes the host never sent";

    EXPECT_EQ(count_lines(bridge, kFifoFull), 0) << "the bridge dropped host messages";

    int replies = 0, refused = 0, unexplained = 0, lost = 0;
    std::map<int, size_t> last_place;  // per sender: where its last delivered message was shown
    std::map<int, std::vector<size_t>> per_thread;
    for (size_t k = 0; k < messages.size(); ++k) {
        const HostMessage& m = messages[k];
        const std::vector<size_t>& at = places[k];
        per_thread[m.thread].push_back(k);
        if (at.size() > size_t(expect.seen_at_most))
            tally.add("shown by plcsim more than " + std::to_string(expect.seen_at_most) + " times", k, m);
        if (!expect.resent && m.xids.size() > 1)
            tally.add("sent again", k, m);
        if (m.answer.sf == kS10F4) {
            ++replies;
            if (m.answer.xid != m.xids.back())
                tally.add("answered on another transaction", k, m);
            if (m.answer.body != ackc10)
                tally.add("answered with another S10F4 body", k, m);
            if (at.empty()) {
                tally.add("answered with S10F4 but never shown by plcsim", k, m);
                continue;
            }
            auto it = last_place.find(m.thread);
            if (it != last_place.end() && at.front() < it->second)
                tally.add("reached the PLC before a message its sender had sent earlier", k, m);
            last_place[m.thread] = at.front();
        } else if (m.answer.sf == kS10F0) {
            ++refused;
            if (!explained(bridge, m.answer.xid))
                ++unexplained;
        } else if (m.answer.rtn == RigHost::kT3Expired && expect.plc_lost && !at.empty() &&
                   shown[at.back()].instance < plant.plcsim_instances() - 1) {
            ++lost;  // taken by the PLC that was killed, which never answered it
        } else {
            tally.add(m.xids.empty()                               ? "never sent"
                      : m.answer.rtn == RigHost::kT3Expired ? "T3 expired at the host"
                                                            : "no answer",
                      k, m);
        }
    }
    EXPECT_EQ(plant.host.expired().size(), size_t(lost)) << "transactions whose T3 expired at the host";
    // Refusals without a line naming their transaction: the fixed text.
    EXPECT_LE(unexplained, count_lines(bridge, kNotReady)) << "S10F0 answers the bridge does not explain";
    if (expect.clean) {
        EXPECT_EQ(refused, 0);
        EXPECT_EQ(shown.size(), messages.size()) << "what plcsim showed";
        EXPECT_EQ(plant.host.received().size(), size_t(replies)) << "replies that came twice, or other messages";
        EXPECT_EQ(count_lines(bridge, kNotReady), 0);
        // Handed over one at a time in the order they reached the bridge.
        std::vector<uint32_t> handed;
        for (const Shown& x : shown)
            handed.push_back(x.xid);
        EXPECT_TRUE(handed == bridge_arrivals(bridge)) << "the PLC got the messages in another order than the bridge";
    }
    // Nothing stays wedged: after the fault the senders' last messages go through.
    for (const auto& [thread, ks] : per_thread)
        for (size_t i = ks.size() - std::min(ks.size(), size_t(expect.tail)); i < ks.size(); ++i)
            if (messages[ks[i]].answer.sf != kS10F4)
                tally.add("not delivered after the fault", ks[i], messages[ks[i]]);
    tally.report();
    std::printf("[          ] %zu messages: %d answered with S10F4, %d with S10F0, %d lost with the PLC; "
                "plcsim showed %zu\n",
                messages.size(), replies, refused, lost, shown.size());
}

// ---- host to PLC, PLC to host ----

struct FlowCase {
    Link link;
    int threads;
};

void PrintTo(const FlowCase& c, std::ostream* os)
{
    *os << (c.link == Link::Memory ? "memory, " : "MELSEC 3E, ") << c.threads << " open";
}

class HostToPlcTest : public ::testing::TestWithParam<FlowCase> {};

// 1 000 S10F3 W (250 under the thread sanitizer) land in PLC memory once each, in the order they reached
// the bridge, each with its own system bytes and its whole TEXT (zeros
// behind a shorter one), and each S10F4 comes back on its transaction:
// one at a time, and with four transactions open at once.
TEST_P(HostToPlcTest, EveryMessageOnceInOrderAndAnswered)
{
    Plant plant(GetParam().link, "", false);
    ASSERT_NO_FATAL_FAILURE(plant.start());
    HostRun run(plant, kFlowMessages, GetParam().threads);
    EXPECT_TRUE(run.run([] {}, 90000)) << run.why() << "\n" << tail_of(plant.bridge_output());
    check_run(plant, run, {});
    plant.stop();
}

INSTANTIATE_TEST_SUITE_P(Links, HostToPlcTest,
                         ::testing::Values(FlowCase{Link::Melsec3E, 1}, FlowCase{Link::Melsec3E, 4},
                                           FlowCase{Link::Memory, 1}, FlowCase{Link::Memory, 4}),
                         [](const auto& info) {
                             return std::string(info.param.link == Link::Memory ? "Memory" : "Melsec3E") +
                                    (info.param.threads == 1 ? "OneOpen" : "FourOpen");
                         });

void PrintTo(Link link, std::ostream* os)
{
    *os << (link == Link::Memory ? "memory" : "MELSEC 3E");
}

class PlcToHostTest : public ::testing::TestWithParam<Link> {};

// 500 PLC requests typed at plcsim reach the host once each with their
// values, in order, and each S6F12 the host answers with reaches the PLC
// once with the request's system bytes.
TEST_P(PlcToHostTest, EveryRequestReachesTheHostOnce)
{
    constexpr int kRequests = 500;
    Plant plant(GetParam(), "", false);
    ASSERT_NO_FATAL_FAILURE(plant.start());
    // plcsim keeps at most 64 requests waiting: type the next ones while
    // the host has fewer than 48 outstanding.
    int typed = 0;
    bool all = plant.until(
        [&] {
            size_t got = plant.host.count(kS6F11);
            std::string batch;
            for (; typed < kRequests && typed - int(got) < 48; ++typed)
                batch += "send S6F11 DATAID=" + std::to_string(100000 + typed) + " CEID=" +
                         std::to_string(7 * typed + 3) + "\n";
            if (!batch.empty())
                plant.plcsim().type(batch);
            return got >= size_t(kRequests);
        },
        60000);
    ASSERT_TRUE(all) << plant.host.count(kS6F11) << " of " << kRequests << "\n" << tail_of(plant.plcsim().text());
    // The last answers reach the PLC, and nothing more comes.
    auto s6f12_shown = [&] { return count_lines(plant.plcsim().text(), "RECEIVE S6F12 [S6F12]"); };
    plant.until([&] { return s6f12_shown() >= kRequests; }, 5000);
    plant.settle();

    std::vector<RigAnswer> got;
    for (const RigAnswer& a : plant.host.received())
        if (a.sf == kS6F11)
            got.push_back(a);
    ASSERT_EQ(got.size(), size_t(kRequests));
    EXPECT_EQ(plant.host.received().size(), size_t(kRequests)) << "other messages at the host";
    std::set<uint32_t> xids;
    for (int n = 0; n < kRequests; ++n) {
        EXPECT_EQ(got[size_t(n)].body, s6f11_body(uint32_t(100000 + n), uint32_t(7 * n + 3))) << "request " << n;
        EXPECT_EQ(got[size_t(n)].rtn, 0);
        xids.insert(got[size_t(n)].xid);
    }
    EXPECT_EQ(xids.size(), size_t(kRequests)) << "requests sent on one transaction";
    EXPECT_EQ(plant.host.replies_sent(), kRequests);
    EXPECT_EQ(plant.host.reply_errors(), 0);
    EXPECT_EQ(count_lines(plant.plcsim().text(), "SEND S6F11 W [S6F11]"), kRequests);
    EXPECT_EQ(count_lines(plant.plcsim().text(), "send error"), 0);
    EXPECT_EQ(s6f12_shown(), kRequests) << "host replies the PLC got";
    int wrong = 0;
    std::string first;
    for (uint32_t xid : xids)
        if (count_lines(plant.plcsim().text(), "RECEIVE S6F12 [S6F12] devid=1 " + xid_text(xid)) != 1 && wrong++ == 0)
            first = xid_text(xid);
    EXPECT_EQ(wrong, 0) << "requests whose S6F12 the PLC did not get once, the first " << first;
    plant.stop();
}

INSTANTIATE_TEST_SUITE_P(Links, PlcToHostTest, ::testing::Values(Link::Melsec3E, Link::Memory),
                         [](const auto& info) { return info.param == Link::Memory ? "Memory" : "Melsec3E"; });

// ---- faults in the middle of a run ----

struct FaultCase {
    const char* name;
    int senders;            // transactions open at once
    std::string plc_keys;   // more [PLC] keys
    bool relay;             // the bridge reaches plcsim through the relay
    Expect expect;
    std::vector<const char*> told;  // the bridge says one of these after the fault
    void (*step)(Plant&);
};

void PrintTo(const FaultCase& c, std::ostream* os)
{
    *os << c.name;
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

// 300 S10F3 W from one or four senders; once a third are answered the
// fault comes. No message vanishes: each is answered with S10F4 or S10F0
// (the host's T3 expires only for a message a killed PLC had taken and
// never answered), the senders' last messages go through, and the
// bridge's output tells of the fault.
TEST_P(FaultTest, NoHostMessageVanishes)
{
    const FaultCase& c = GetParam();
    Plant plant(Link::Melsec3E, c.plc_keys, c.relay);
    ASSERT_NO_FATAL_FAILURE(plant.start());
    HostRun run(plant, 300, c.senders);
    EXPECT_TRUE(run.run([&] { c.step(plant); }, 90000)) << run.why() << "\n" << tail_of(plant.bridge_output());
    check_run(plant, run, c.expect);
    ASSERT_TRUE(run.faulted()) << "the run ended before the fault";
    const std::string after = plant.bridge_output().substr(run.fault_at());
    EXPECT_TRUE(std::any_of(c.told.begin(), c.told.end(),
                            [&](const char* line) { return after.find(line) != std::string::npos; }))
        << "the bridge says nothing of the fault:\n" << after.substr(0, 4000);
    plant.stop();
}

Expect faulty(int seen_at_most, bool resent = false, bool plc_lost = false)
{
    return {.clean = false, .seen_at_most = seen_at_most, .resent = resent, .plc_lost = plc_lost, .tail = 10};
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        // plcsim killed and started again on its port, its memory lost.
        FaultCase{"PlcKilledAndRestarted", 1, "", false, faulty(2, false, true), {"Disconnected"},
                  [](Plant& p) {
                      ASSERT_TRUE(Plant::end_with(p.plcsim(), SIGKILL));
                      p.pause(300);
                      p.start_plcsim();
                  }},
        // Every connection to the PLC cut for a while; the PLC keeps its memory.
        FaultCase{"ConnectionCutAndRestored", 4, "", true, faulty(1), {"Disconnected"},
                  [](Plant& p) {
                      ASSERT_TRUE(p.relay().cut());
                      p.pause(500);
                      ASSERT_TRUE(p.relay().restore());
                  }},
        // The PLC's answer to the write of a message's TEXT is lost, so
        // that access of the bridge times out (PLCTO).
        FaultCase{"OneAnswerLost", 4, "", true, faulty(1), {"error", "Disconnected"},
                  [](Plant& p) {
                      p.relay().swallow([](const uint8_t* frame, size_t n) {
                          return MelsecRequestAddress(frame, n) == kTextAddress;
                      });
                      ASSERT_TRUE(p.until([&] { return p.relay().swallowed() == 1; }, 10000));
                  }},
        // qzvq killed and started again; the PLC keeps its memory, the
        // host opens its session again and sends what was not answered.
        FaultCase{"BridgeKilledAndRestarted", 4, "", false, faulty(2, true), {"Start Pellmar"},
                  [](Plant& p) {
                      ASSERT_TRUE(Plant::end_with(p.qzvq(), SIGKILL));
                      p.start_qzvq();
                      ASSERT_TRUE(p.host.connect(10000));
                  }},
        // plcsim stopped longer than the handshake may wait, then going on.
        FaultCase{"PlcStoppedLongerThanHandshakeWait", 4, "PLCHSTO=1500\n", false, faulty(1),
                  {"answered with S10F0", "Disconnected"},
                  [](Plant& p) {
                      p.plcsim().signal(SIGSTOP);
                      p.pause(3000);
                      p.plcsim().signal(SIGCONT);
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
