// Two library sessions, host and equipment, over a SECS-I line: a pty
// pair joined by a relay, and a TCP stream (equipment passive, host
// active). Both sides send multi-block primaries at the same time, so the
// line bids collide; one side is the contention master. Every primary is
// answered from the other side's receive callback with its own body.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "secs/xks.h"
#include "tests/support/CommPair.h"
#include "tests/support/HsmsPeer.h"
#include "tests/support/SecsLine.h"

namespace {

constexpr int32_t kMsgSize = 4000;
// Up to the XMSGSIZE limit: one block, a full block, one byte over, many
// blocks, and the largest body a session may send.
constexpr size_t kSizes[] = {0, 3, 244, 245, 1000, size_t(kMsgSize)};

// A body of total bytes: one binary item with two length bytes.
std::vector<uint8_t> body_of(size_t total, uint8_t seed)
{
    if (total == 0)
        return {};
    std::vector<uint8_t> b(total);
    b[0] = 0x22;
    b[1] = uint8_t((total - 3) >> 8);
    b[2] = uint8_t(total - 3);
    for (size_t i = 3; i < total; ++i)
        b[i] = uint8_t(i * 31 + seed);
    return b;
}

bool is_primary(const CommRecv& r) { return r.rec.cls == 4097 && (r.rec.sf & 0x8000) != 0; }
bool is_reply(const CommRecv& r) { return r.rec.cls == 4097 && (r.rec.sf & 0x8000) == 0; }

size_t count(const std::vector<CommRecv>& all, bool (*pred)(const CommRecv&))
{
    return size_t(std::count_if(all.begin(), all.end(), pred));
}

// One side of the exchange: its session, a receive callback that answers
// every primary with its body, and the primaries it sent.
struct Side {
    explicit Side(uint8_t stream) : stream(stream)
    {
        session.rx.on_record = [this](const XKSRecvRecord& r) {
            if (r.cls == 4097 && (r.sf & 0x8000) != 0)
                XKSSend(handle.load(), 0, r.devid, (r.sf & 0x7F00) | ((r.sf + 1) & 0xFF), r.xid, r.body, r.rtn,
                        nullptr);
        };
    }
    int32_t open(const std::string& ini, const char* section)
    {
        int32_t rc = session.open(0x1002, ini, section);
        handle = rc;
        return rc;
    }
    // Send every size once, each with its own body.
    void send_all()
    {
        for (size_t i = 0; i < std::size(kSizes); ++i) {
            std::vector<uint8_t> b = body_of(kSizes[i], uint8_t(stream + i));
            int32_t xid = XKSSend(handle.load(), 0, 1, 0x8000 | stream << 8 | 1, 0, b.data(), int32_t(b.size()),
                                  nullptr);
            EXPECT_GT(xid, 0) << "S" << int(stream) << " body of " << b.size();
            sent.emplace_back(xid, std::move(b));
        }
    }

    uint8_t stream;
    CommSession session;
    std::atomic<int32_t> handle{0};
    std::vector<std::pair<int32_t, std::vector<uint8_t>>> sent;
};

// Run the exchange on an INI with [EQ] and [HOST] and check both sides.
void exchange(CommIni& ini, const std::string& eq, const std::string& host)
{
    ini.write("[EQ]\nDEVID=1\n" + eq + "\n[HOST]\nDEVID=1\n" + host,
              "XMSGSIZE=" + std::to_string(kMsgSize) + "\nT1=100\nT2=2\nT3=8\nT4=4\nXRETRY=3\nINTER0=10\nINTER2=10\n");
    Side e(6), h(2);
    ASSERT_GT(e.open(ini.path, "EQ"), 0);
    ASSERT_GT(h.open(ini.path, "HOST"), 0);
    ASSERT_TRUE(e.session.wait_xstat(3, 3000));
    ASSERT_TRUE(h.session.wait_xstat(3, 3000));

    std::thread a([&] { h.send_all(); });
    std::thread b([&] { e.send_all(); });
    a.join();
    b.join();

    const size_t n = std::size(kSizes);
    for (Side* s : {&e, &h}) {
        bool all = s->session.rx.wait_for(
            [&](const std::vector<CommRecv>& got) { return count(got, is_reply) >= n && count(got, is_primary) >= n; },
            15000);
        ASSERT_TRUE(all) << "side S" << int(s->stream);
    }
    for (auto [self, other] : {std::pair{&e, &h}, std::pair{&h, &e}}) {
        std::vector<CommRecv> got = self->session.rx.records();
        for (const CommRecv& r : got)
            EXPECT_TRUE(r.rec.cls == 4097 && r.rec.rtn >= 0) << "record cls " << r.rec.cls << " rtn " << r.rec.rtn;
        // each reply carries the body of the primary with its transaction ID
        std::map<int32_t, std::vector<uint8_t>> want(self->sent.begin(), self->sent.end());
        size_t answered = 0;
        for (const CommRecv& r : got) {
            if (!is_reply(r))
                continue;
            EXPECT_EQ(r.rec.sf, self->stream << 8 | 2);
            auto it = want.find(int32_t(r.rec.xid));
            ASSERT_NE(it, want.end()) << "reply to an unknown transaction " << r.rec.xid;
            EXPECT_EQ(r.body, it->second) << "reply of " << it->second.size() << " bytes";
            want.erase(it);
            ++answered;
        }
        EXPECT_EQ(answered, n);
        // the other side's primaries arrived whole and in order
        std::vector<std::vector<uint8_t>> primaries;
        for (const CommRecv& r : got)
            if (is_primary(r))
                primaries.push_back(r.body);
        ASSERT_EQ(primaries.size(), n);
        for (size_t i = 0; i < n; ++i)
            EXPECT_EQ(primaries[i], other->sent[i].second) << "primary " << i;
    }
    EXPECT_EQ(XKSLoad(e.session.acb()->xtx), 0);
    EXPECT_EQ(XKSLoad(h.session.acb()->xtx), 0);
    EXPECT_EQ(h.session.close(), 0);
    EXPECT_EQ(e.session.close(), 0);
}

}  // namespace

TEST(CommSECSTest, SessionsExchangeInBothDirectionsOverAPtyPair)
{
    PtyLink link;
    ASSERT_TRUE(link.start());
    CommIni ini("xkssecspty");
    // the equipment is the contention master
    exchange(ini, "SECSMODE=0x30\nSDEVICE=" + link.name_a(), "SECSMODE=0x0\nSDEVICE=" + link.name_b());
    EXPECT_GT(link.copied_ab(), uint64_t(kMsgSize));
    EXPECT_GT(link.copied_ba(), uint64_t(kMsgSize));
}

TEST(CommSECSTest, SessionsExchangeInBothDirectionsOverTcp)
{
    int port = HsmsFreePort();
    CommIni ini("xkssecstcp");
    // the host connects and is the contention master
    exchange(ini, "SECSMODE=0x12\nPORT=" + std::to_string(port),
             "SECSMODE=0x62\nHOST=127.0.0.1\nPORT=" + std::to_string(port));
}
