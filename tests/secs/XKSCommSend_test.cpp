// Sending, receiving and the session states, through the public interface:
// sessions whose engine is played by the test (engine mode 1 on file
// queues), two sessions talking over loopback, and a scripted HSMS peer
// for the bytes on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "secs/XKSAcb.h"
#include "tests/support/CommPair.h"

namespace {

// Sessions whose engine the test plays: one section per session.
class CommLocalTest : public ::testing::Test {
protected:
    // Open section sect of sections (file queues, engine mode 1) and attach
    // the fake engine.
    void open(const std::string& sections, const char* sect = "XKS", bool callback = false)
    {
        ini.write(sections, "QUEMODE=0x30\n");
        ASSERT_GT(session.open(XKS_OPEN_ENGINE_EXTERN, ini.path, sect, callback), 0);
        ASSERT_EQ(engine.attach(session.acb()), 0);
    }
    int32_t send(int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const std::vector<uint8_t>& body = {},
                 uint8_t* header = nullptr)
    {
        return XKSSend(session.handle, mode, devid, sf, xid, body.data(), int32_t(body.size()), header);
    }
    int32_t recv()
    {
        int32_t devid, sf;
        uint32_t xid;
        uint8_t body[64], header[10];
        return XKSRecv(session.handle, 0, &devid, &sf, &xid, body, sizeof body, header);
    }
    int devst(int devid) { return XKSGetDevStat(session.handle, 0, devid); }

    CommIni ini;
    CommSession session;
    CommFakeEngine engine;
};

TEST_F(CommLocalTest, PrimariesNumberedFromSrcid0AndWrapRepliesKeepCallersId)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x1\nSRCID0=0x12\nXIDMAX=3\n");
    const uint32_t want[] = {0x120001, 0x120002, 0x120003, 0x120001};
    for (uint32_t xid : want) {
        EXPECT_EQ(send(XKS_SEND_NOWAIT, 1, 0x8101, 0x999), int32_t(xid));
        auto rec = engine.take(1000);
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->req(), 0);
        EXPECT_EQ(CommHeader(1, 0x81, 0x01, xid), std::vector<uint8_t>(rec->head.header, rec->head.header + 10));
    }
    EXPECT_EQ(send(XKS_SEND_NOWAIT, 1, 0x0102, 0x5555), 0x5555);
    EXPECT_EQ(send(XKS_SEND_NOWAIT | XKS_SEND_OWNXID, 1, 0x8101, 0x4444), 0x4444);
    // prepare only: a number and the header, nothing put
    uint8_t header[10];
    EXPECT_EQ(send(XKS_SEND_PREPARE, 1, 0x8101, 0, {}, header), 0x120002);
    EXPECT_EQ(CommHeader(1, 0x81, 0x01, 0x120002), std::vector<uint8_t>(header, header + 10));
    EXPECT_TRUE(engine.take(500));
    EXPECT_TRUE(engine.take(500));
    EXPECT_FALSE(engine.take(100));
}

TEST_F(CommLocalTest, ControlRequestOnSecsIReturnsZeroAndSendsNothing)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x0\n");
    EXPECT_EQ(XKSGetXStat(session.handle, 0), 3);  // SECS-I is ready at once
    EXPECT_EQ(send(XKS_SEND_SEPARATE, 1, 0, 0), 0);
    EXPECT_FALSE(engine.take(200));
}

TEST_F(CommLocalTest, UnlistedDeviceRefusedUnlessAnyDeviceAccepted)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x1\nDEVMODE=0\n[ANY]\nSECSMODE=0x1\nDEVMODE=0x1\nDEVID=2\n");
    EXPECT_EQ(send(XKS_SEND_NOWAIT, 7, 0x0101, 0), -19);
    EXPECT_EQ(XKSGetLastError(session.handle), -19);
    EXPECT_FALSE(engine.take(100));

    CommSession any;
    CommFakeEngine any_engine;
    ASSERT_GT(any.open(XKS_OPEN_ENGINE_EXTERN, ini.path, "ANY", false), 0);
    ASSERT_EQ(any_engine.attach(any.acb()), 0);
    EXPECT_GE(XKSSend(any.handle, XKS_SEND_NOWAIT, 7, 0x0101, 0, nullptr, 0, nullptr), 0);
    auto rec = any_engine.take(1000);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->head.header[0] | rec->head.header[1] << 8, 7);
}

TEST_F(CommLocalTest, WaitingSenderTakesOnlyItsOwnResult)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x1\n");
    std::thread responder([&] {
        auto first = engine.take(2000);
        ASSERT_TRUE(first);
        EXPECT_EQ(first->head.mode & 1, 1);  // a result is wanted
        // a late result of an earlier send comes first
        std::vector<uint8_t> stale = CommHeader(1, 0x81, 1, 0x7777);
        engine.put_result(0, -42, stale.data());
        engine.put_result(0, 0, first->head.header);
        auto select = engine.take(2000);
        ASSERT_TRUE(select);
        EXPECT_EQ(select->req(), 92);
        std::vector<uint8_t> h = CommHeader(0xFFFF, 0, 0, 0x7FFF0009);
        engine.put_result(92, 0, h.data());
        auto deselect = engine.take(2000);
        ASSERT_TRUE(deselect);
        engine.put_result(98, -42, deselect->head.header);
        auto separate = engine.take(2000);
        ASSERT_TRUE(separate);
        engine.put_result(99, 1, separate->head.header);
    });
    EXPECT_EQ(send(0, 1, 0x8101, 0), 1);
    // the select's number is the engine's; the library sees it selecting
    EXPECT_EQ(send(XKS_SEND_SELECT, 0, 0, 0), 0x7FFF0009);
    EXPECT_EQ(XKSGetXStat(session.handle, 0), 2);
    std::vector<uint8_t> sel = CommHeader(0xFFFF, 0, 0, 0x7FFF0009);
    engine.put_event(92, 0, sel.data());
    EXPECT_EQ(recv(), -992);
    EXPECT_EQ(XKSGetXStat(session.handle, 0), 3);
    // a refused request leaves the state as it was
    EXPECT_EQ(send(XKS_SEND_DESELECT, 0, 0, 0), -42);
    EXPECT_EQ(XKSGetXStat(session.handle, 0), 3);
    EXPECT_EQ(send(XKS_SEND_SEPARATE, 0, 0, 0x33), 0x33);
    EXPECT_EQ(XKSGetXStat(session.handle, 0), 0);
    responder.join();
}

TEST_F(CommLocalTest, EngineNumberedPrimaryReturnsTheEnginesSystemBytes)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x1\nSRCID0=5\nSRCID1=5\n");
    std::thread responder([&] {
        auto rec = engine.take(2000);
        ASSERT_TRUE(rec);
        std::vector<uint8_t> h = CommHeader(1, 0x81, 1, 0x50042);
        engine.put_result(0, 0, h.data());
    });
    uint8_t header[10];
    EXPECT_EQ(send(XKS_SEND_SAMEHEADER, 1, 0x8101, 0, {}, header), 0x50042);
    EXPECT_EQ(CommHeader(1, 0x81, 1, 0x50042), std::vector<uint8_t>(header, header + 10));
    responder.join();
}

TEST_F(CommLocalTest, ResultThatNeverComesTimesOutAfterT3)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x1\nT3=1\n");
    uint64_t start = XKWTickCount();
    EXPECT_EQ(send(0, 1, 0x8101, 0), -238);
    uint64_t took = XKWTickCount() - start;
    EXPECT_GE(took, 950u);
    EXPECT_LT(took, 3000u);
    EXPECT_EQ(XKSGetLastError(session.handle), -238);
}

TEST_F(CommLocalTest, RecvReportsEventsAndEndsAfterTerminate)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x1\n");
    EXPECT_EQ(recv(), -951);
    engine.put_event(91, 0);
    EXPECT_EQ(recv(), -991);
    EXPECT_EQ(XKSGetXStat(session.handle, 0), 1);
    std::vector<uint8_t> h = CommHeader(1, 0x81, 1, 0x10005);
    engine.put_event(0, 0, h.data(), {0x41, 0x02, 'o', 'k'});
    int32_t devid, sf;
    uint32_t xid;
    uint8_t body[2], header[10];
    // a buffer shorter than the body gets what fits
    EXPECT_EQ(XKSRecv(session.handle, XKS_SEND_WIRE, &devid, &sf, &xid, body, sizeof body, header), 2);
    EXPECT_EQ(sf, 0x8101);
    EXPECT_EQ(xid, 0x10005u);
    EXPECT_EQ(header[7], 0x01);  // wire order: system bytes big-endian
    EXPECT_EQ(header[9], 0x05);
    engine.put_event(127, 0);
    EXPECT_EQ(recv(), -951);
    EXPECT_EQ(recv(), -9);
    EXPECT_TRUE(CommHasLine(ini.user_trace("h"), "Status change [ -1] xstat=0->1"));
}

TEST_F(CommLocalTest, GeneralSessionSeparateOfOneDeviceKeepsTheOther)
{
    open("[XKS]\nSECSMODE=0x8001\nDEVID=1,2\n[ALL]\nSECSMODE=0xA001\nDEVID=3,4\n");
    std::vector<uint8_t> d1 = CommHeader(1, 0, 0, 0), d2 = CommHeader(2, 0, 0, 0);
    engine.put_event(91, 0);
    engine.put_event(92, 0, d1.data());
    engine.put_event(92, 0, d2.data());
    engine.put_event(96, 0, d1.data());
    EXPECT_EQ(recv(), -991);
    EXPECT_EQ(recv(), -992);
    EXPECT_EQ(recv(), -992);
    EXPECT_EQ(devst(1), 3);
    EXPECT_EQ(recv(), -996);
    EXPECT_EQ(XKSGetXStat(session.handle, 0), 3);
    EXPECT_EQ(devst(1), 1);
    EXPECT_EQ(devst(2), 3);
    std::string trace = ini.user_trace("h");
    EXPECT_TRUE(CommHasLine(trace, "Status change [ -1] xstat=1->3  devst=0x0001:1->3, 0x0002:1"));
    EXPECT_TRUE(CommHasLine(trace, "Status change [  1] xstat=3  devst=0x0001:3, 0x0002:1->3"));
    EXPECT_TRUE(CommHasLine(trace, "Status change [  1] xstat=3  devst=0x0001:3->1, 0x0002:3"));

    // SECSMODE 0x2000: a separate ends the whole connection
    CommSession all;
    CommFakeEngine all_engine;
    ASSERT_GT(all.open(XKS_OPEN_ENGINE_EXTERN, ini.path, "ALL", false), 0);
    ASSERT_EQ(all_engine.attach(all.acb()), 0);
    std::vector<uint8_t> d3 = CommHeader(3, 0, 0, 0);
    all_engine.put_event(91, 0);
    all_engine.put_event(92, 0, d3.data());
    all_engine.put_event(96, 0, d3.data());
    int32_t devid, sf;
    uint32_t xid;
    uint8_t body[8], header[10];
    for (int want : {-991, -992, -996})
        EXPECT_EQ(XKSRecv(all.handle, 0, &devid, &sf, &xid, body, sizeof body, header), want);
    EXPECT_EQ(XKSGetXStat(all.handle, 0), 0);
    EXPECT_EQ(XKSGetDevStat(all.handle, 0, 3), 0);
}

TEST_F(CommLocalTest, ReceiveCallbackGetsClassesAndRefusesUnselectedData)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x1\n", "XKS", true);
    EXPECT_EQ(recv(), -16);                    // polling is refused under a callback
    EXPECT_EQ(send(0, 1, 0x8101, 0), -8);     // not selected
    std::vector<uint8_t> h = CommHeader(1, 0x81, 1, 0x10005), s9 = CommHeader(1, 9, 7, 0x7FFF0001);
    engine.put_event(0, 0, h.data(), {0x41, 0x01, 'x'});
    engine.put_event(91, 0);
    engine.put_event(67, 0, s9.data(), {0x21, 0x0A, 0, 1, 0x81, 1, 0, 0, 0, 1, 0, 5});
    auto data = session.rx.wait_class(4097, 2000);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->rec.rtn, 3);
    EXPECT_EQ(data->rec.event, -3);
    EXPECT_EQ(data->rec.xid, 0x10005u);
    EXPECT_EQ(data->body, (std::vector<uint8_t>{0x41, 0x01, 'x'}));
    auto event = session.rx.wait_class(0x1000 + 11, 2000);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->rec.req, 91);
    EXPECT_EQ(event->rec.rtn, -991);
    EXPECT_EQ(event->rec.event, 991);
    auto notice = session.rx.wait_class(4098, 2000);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->rec.event, 967);
    EXPECT_EQ(notice->rec.req, 67);
    EXPECT_TRUE(session.wait_xstat(1, 1000));
}

TEST_F(CommLocalTest, ErrorAndCommentRecordLayouts)
{
    open("[XKS]\nDEVID=1\nSECSMODE=0x1\n");
    std::vector<uint8_t> bad = CommHeader(1, 0x81, 0x01, 0x00120034);
    EXPECT_GE(XKSSendError(session.handle, XKS_SEND_NOWAIT, 1, 0x0907, bad.data(), nullptr, nullptr), 0);
    auto s9 = engine.take(1000);
    ASSERT_TRUE(s9);
    EXPECT_EQ(s9->head.header[2], 9);
    EXPECT_EQ(s9->head.header[3], 7);
    EXPECT_EQ(s9->body, (std::vector<uint8_t>{0x21, 0x0A, 0x00, 0x01, 0x81, 0x01, 0, 0, 0x00, 0x12, 0x00, 0x34}));

    EXPECT_GT(XKSSendComment(session.handle, 0, "hello", "/src/dir/file.cpp", 321), 0);
    int32_t size = 0;
    auto c = engine.take(1000, &size);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->req(), 121);
    EXPECT_EQ(c->head.len, 5u + 33u);
    EXPECT_EQ(size, 26 + 38 + 2);
    EXPECT_EQ(c->head.header[8] | c->head.header[9] << 8, 321);
    ASSERT_EQ(c->body.size(), 38u);
    EXPECT_STREQ(reinterpret_cast<const char*>(c->body.data()), "file.cpp");
    EXPECT_EQ(c->body[31], 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(c->body.data() + 32), "hello");
    EXPECT_NE(ini.user_trace("h").find("CommSendComment(acb,0x0000,,/src/dir/file.cpp,321) : hello."),
              std::string::npos);
}

// Two sessions over loopback, with the states kept by the engine (0x1002)
// or by the library from results and events (0x0002).
class CommPairTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(CommPairTest, ConnectSelectAndExchangeData)
{
    CommPair pair(GetParam());
    pair.eq.rx.on_record = [&](const XKSRecvRecord& r) {
        if (r.cls == 4097 && (r.sf & 0x8000) != 0)
            XKSSend(pair.eq.handle, 0, r.devid, (r.sf & 0x7F00) | ((r.sf + 1) & 0xFF), r.xid, nullptr, 0, nullptr);
    };
    ASSERT_EQ(pair.open(), 0);
    ASSERT_TRUE(pair.connect_select());
    int32_t xid = XKSSend(pair.host.handle, 0, 1, 0x8101, 0, nullptr, 0, nullptr);
    EXPECT_EQ(xid, 1);
    auto reply = pair.host.rx.wait_class(4097, 3000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->rec.sf, 0x0102);
    EXPECT_EQ(reply->rec.xid, uint32_t(xid));
}

INSTANTIATE_TEST_SUITE_P(OpenModes, CommPairTest, ::testing::Values(0x1002, 0x0002));

TEST(CommConcurrentTest, ManySendersOnOneSessionEachGetTheirOwnResult)
{
    CommPair pair(0x1002, "T3=5\n");
    pair.eq.rx.on_record = [&](const XKSRecvRecord& r) {
        if (r.cls == 4097)
            XKSSend(pair.eq.handle, 0, r.devid, 0x0102, r.xid, nullptr, 0, nullptr);
    };
    ASSERT_EQ(pair.open(), 0);
    ASSERT_TRUE(pair.connect_select());
    constexpr int kThreads = 8, kSends = 200;
    std::vector<std::vector<int32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kSends; ++i)
                got[t].push_back(XKSSend(pair.host.handle, 0, 1, 0x8101, 0, nullptr, 0, nullptr));
        });
    for (auto& t : threads)
        t.join();
    std::set<int32_t> ids;
    for (const auto& v : got)
        for (int32_t id : v) {
            EXPECT_GT(id, 0);
            ids.insert(id);
        }
    EXPECT_EQ(ids.size(), size_t(kThreads * kSends));
    // every primary was answered with its own transaction ID
    auto replies = [](const std::vector<CommRecv>& all) {
        return size_t(std::count_if(all.begin(), all.end(), [](const CommRecv& r) { return r.rec.cls == 4097; }));
    };
    EXPECT_TRUE(pair.host.rx.wait_for([&](const std::vector<CommRecv>& all) { return replies(all) >= ids.size(); },
                                      10000));
    std::set<int32_t> answered;
    for (const CommRecv& r : pair.host.rx.records())
        if (r.rec.cls == 4097)
            answered.insert(int32_t(r.rec.xid));
    EXPECT_EQ(answered, ids);
}

// The host closes while its senders keep sending on the handle and the
// equipment answers from its receive callback: every call under way ends,
// the close returns at once, and the handle is refused afterwards.
TEST(CommCloseTest, CloseWhileTrafficFlowsEndsEveryCallAndRefusesTheHandleAfter)
{
    CommPair pair(0x1002, "T3=5\n");
    std::atomic<int> answered{0};
    pair.eq.rx.on_record = [&](const XKSRecvRecord& r) {
        if (r.cls == 4097 && XKSSend(pair.eq.handle, 0, r.devid, 0x0102, r.xid, nullptr, 0, nullptr) >= 0)
            ++answered;
    };
    ASSERT_EQ(pair.open(), 0);
    ASSERT_TRUE(pair.connect_select());
    const int32_t host = pair.host.handle;
    constexpr int kThreads = 4;
    std::vector<int32_t> ended_with(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const uint64_t end = XKWTickCount() + 20000;
            for (int i = 0; i < 200000 && XKWTickCount() < end; ++i) {
                int32_t rc = XKSSend(host, 0, 1, 0x8101, 0, nullptr, 0, nullptr);
                if (rc < 0) {
                    ended_with[size_t(t)] = rc;
                    return;
                }
            }
        });
    ASSERT_TRUE(CommWaitFor([&] { return answered.load() >= 200; }, 10000));
    const uint64_t t0 = XKWTickCount();
    EXPECT_EQ(pair.host.close(), 0);
    EXPECT_LT(XKWTickCount() - t0, 5000u);
    for (auto& t : threads)
        t.join();
    for (int32_t rc : ended_with)
        EXPECT_LT(rc, 0);  // ended by the close, not by the loop's bounds
    EXPECT_EQ(XKSSend(host, 0, 1, 0x8101, 0, nullptr, 0, nullptr), -9);
    EXPECT_EQ(XKSRecv(host, 0, nullptr, nullptr, nullptr, nullptr, 0, nullptr), -9);
    EXPECT_EQ(XKSClose(host, 0), -9);
    // The equipment learns that the link is gone and its session stays usable.
    EXPECT_TRUE(CommWaitFor([&] { return XKSGetXStat(pair.eq.handle, 0) != 3; }, 5000));
    EXPECT_EQ(pair.eq.close(), 0);
}

// A host session selected with a scripted peer, which reads the frames
// as they are on the wire.
class CommWireTest : public ::testing::Test {
protected:
    // Open [HOST] with more keys, connect and select.
    void open(const std::string& keys)
    {
        int port = peer.listen();
        ASSERT_GT(port, 0);
        ini.write("[HOST]\nDEVID=1\nSECSMODE=0x41\nHOST=127.0.0.1\nPORT=" + std::to_string(port) + "\n" + keys);
        ASSERT_GT(host.open(0x1002, ini.path, "HOST", false), 0);
        ASSERT_GE(XKSSend(host.handle, XKS_SEND_CONNECT, 0, 0, 0, nullptr, 0, nullptr), 0);
        ASSERT_TRUE(peer.accept(2000));
        ASSERT_GE(XKSSend(host.handle, XKS_SEND_SELECT, 0, 0, 0, nullptr, 0, nullptr), 0);
        auto req = peer.read(2000);
        ASSERT_TRUE(req);
        ASSERT_EQ(req->stype, HSMS_SELECT_REQ);
        ASSERT_TRUE(peer.send(HsmsFrame::control(HSMS_SELECT_RSP, req->system)));
        ASSERT_TRUE(host.wait_xstat(3, 2000));
    }

    HsmsPeer peer;
    CommIni ini;
    CommSession host;
};

TEST_F(CommWireTest, BodyLongerThanXmsgsizeIsSentCut)
{
    ASSERT_NO_FATAL_FAILURE(open("XMSGSIZE=100\n"));
    std::vector<uint8_t> body(150);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = uint8_t(i);
    EXPECT_EQ(XKSSend(host.handle, 0, 1, 0x0103, 0x77, body.data(), int32_t(body.size()), nullptr), 1);
    auto msg = peer.read(2000);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->function(), 3);
    EXPECT_EQ(msg->body, std::vector<uint8_t>(body.begin(), body.begin() + 100));
}

// A transaction ID is 32 bits, the top one included: a primary with the
// caller's ID and a reply go out with exactly those system bytes,
// XKSSendId gives the whole ID apart from its result, XKSSend its bit
// pattern, and neither takes it for an error. 0xFFFFFF76 and 0xFFFFFC19
// read as -138 and -999 when signed, results the library knows.
TEST_F(CommWireTest, TransactionIdsWithTheTopBitAreSentAndGivenWhole)
{
    ASSERT_NO_FATAL_FAILURE(open(""));
    ASSERT_EQ(XKSGetLastError(host.handle), 0);
    for (uint32_t want : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFF76u, 0xFFFFFC19u, 0xFFFFFFFFu})
        for (int32_t sf : {0x0101, 0x0102}) {
            SCOPED_TRACE(::testing::Message() << "xid 0x" << std::hex << want << " sf 0x" << sf);
            int32_t mode = (sf & 1) != 0 ? XKS_SEND_OWNXID : 0;
            uint32_t id = 0;
            EXPECT_EQ(XKSSendId(host.handle, mode, 1, sf, want, nullptr, 0, nullptr, nullptr, &id), 0);
            EXPECT_EQ(id, want);
            EXPECT_EQ(XKSSend(host.handle, mode, 1, sf, want, nullptr, 0, nullptr), int32_t(want));
            for (int i = 0; i < 2; ++i) {
                auto msg = peer.read(2000);
                ASSERT_TRUE(msg);
                EXPECT_EQ(msg->function(), sf & 0xFF);
                EXPECT_EQ(msg->system, want);
            }
            EXPECT_EQ(XKSGetLastError(host.handle), 0);
        }
}

}  // namespace
