// HSMS connections of a running engine against the scripted peer: accept,
// the three ways of refusing a surplus connection, port sharing, a busy
// port, the active connect, faults inside frames, and start/stop cycles.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>

#include "secs/XKSContInternal.h"
#include "secs/XKSTCP.h"
#include "tests/support/EngineRun.h"
#include "tests/support/HsmsLink.h"
#include "tests/support/HsmsPeer.h"

namespace {

std::string passive(int port, const std::string& more = "")
{
    return "SECSMODE=0x" + std::string(more.empty() ? "1" : more) + "\nPORT=" + std::to_string(port);
}

// An engine listening on a free port (SECSMODE 0x<mode>), one peer connected.
struct Connected : HsmsLink {
    explicit Connected(const std::string& mode = "1", const std::string& keys = "")
        : HsmsLink("SECSMODE=0x" + mode + "\n" + keys)
    {
    }
};

int count_dir(const char* path)
{
    int n = 0;
    if (DIR* d = opendir(path)) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

}  // namespace

TEST(ContHSMSTest, AcceptedConnectionIsNotSelectedAndItsEndIsReported)
{
    Connected c;
    c.peer.close();
    auto e = c.engine.event_req(XKS_EV_ENDED, 3000);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), XKW_E_CLOSED);
    EXPECT_TRUE(c.engine.wait_for([&] { return c.engine.xstat() == 0; }, 2000));
    // the next connection is taken again
    HsmsPeer again;
    ASSERT_TRUE(again.connect(c.port, 3000));
    EXPECT_TRUE(c.engine.event_req(XKS_EV_CONNECTED, 3000).has_value());
    EXPECT_EQ(c.engine.stop(), 0);
    std::string t = c.engine.trace("t");
    EXPECT_NE(t.find("INITIALIZE"), std::string::npos);
    EXPECT_EQ(EngineRun::count(t, "ACCEPT"), 2);
    // three threads may shut each connection; it is shut once
    EXPECT_EQ(EngineRun::count(t, "SHUTDOWN"), 2);
}

TEST(ContHSMSTest, FaultsInsideAFrameEndTheConnection)
{
    {
        Connected c;
        const uint8_t nine[14] = {0, 0, 0, 9, 0xFF, 0xFF, 0, 0, 0, 1, 0, 0, 0, 1};
        ASSERT_TRUE(c.peer.send_raw(nine, sizeof nine));
        auto e = c.engine.event_req(XKS_EV_ENDED, 3000);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->rtn(), -1);
        EXPECT_TRUE(c.peer.wait_closed(2000));
    }
    {
        // prefix of a 100-byte body, then silence beyond T8 (1 s)
        Connected c;
        HsmsFrame f = HsmsFrame::data(1, 1, 1, true, 7, std::vector<uint8_t>(100, 0x41));
        std::vector<uint8_t> bytes = f.encode();
        ASSERT_TRUE(c.peer.send_raw(bytes.data(), 20));
        auto t8 = c.engine.event_req(XKS_EV_T8, 4000);
        ASSERT_TRUE(t8.has_value());
        EXPECT_EQ(t8->head.header[2], 0x81);  // the stalled message's header
        EXPECT_EQ(t8->head.header[3], 1);
        auto e = c.engine.event_req(XKS_EV_ENDED, 2000);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->rtn(), XKS_E_T8);
        EXPECT_TRUE(c.peer.wait_closed(2000));
        EXPECT_NE(c.engine.trace("t").find("T8TIMEOUT"), std::string::npos);
    }
    {
        // the peer goes away in the middle of a body
        Connected c;
        HsmsFrame f = HsmsFrame::data(1, 1, 1, true, 8, std::vector<uint8_t>(50, 1));
        std::vector<uint8_t> bytes = f.encode();
        ASSERT_TRUE(c.peer.send_raw(bytes.data(), 30));
        c.peer.close();
        auto e = c.engine.event_req(XKS_EV_ENDED, 3000);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->rtn(), XKW_E_CLOSED);
    }
}

TEST(ContHSMSTest, SurplusConnectionsAreClosedAtOnceByDefault)
{
    Connected c;
    for (int i = 0; i < 2; ++i) {
        HsmsPeer extra;
        ASSERT_TRUE(extra.connect(c.port, 3000));
        EXPECT_TRUE(extra.wait_closed(1500)) << "client " << i + 2;
    }
    // the first connection is untouched
    EXPECT_EQ(c.engine.xstat(), 1);
    EXPECT_FALSE(c.engine.event(200).has_value());
}

TEST(ContHSMSTest, SurplusConnectionsAreAnsweredUntilT7WithRefusalDialogue)
{
    // T7 also ends the unselected first connection, so everything below
    // happens within its T7
    Connected c("1001", "T7=3");
    HsmsPeer second, third, fourth;
    ASSERT_TRUE(second.connect(c.port, 3000));
    ASSERT_TRUE(third.connect(c.port, 3000));
    uint64_t start = XKWTickCount();
    ASSERT_TRUE(second.send(HsmsFrame::control(HSMS_SELECT_REQ, 0x11, 0x0001)));
    auto rsp = second.read(2000);
    ASSERT_TRUE(rsp.has_value());
    EXPECT_EQ(rsp->stype, HSMS_SELECT_RSP);
    EXPECT_EQ(rsp->b3, 3);
    EXPECT_EQ(rsp->system, 0x11u);
    EXPECT_EQ(rsp->session, 0x0001);
    ASSERT_TRUE(third.send(HsmsFrame::control(HSMS_LINKTEST_REQ, 0x22)));
    auto rej = third.read(2000);
    ASSERT_TRUE(rej.has_value());
    EXPECT_EQ(rej->stype, HSMS_REJECT_REQ);
    EXPECT_EQ(rej->b2, HSMS_LINKTEST_REQ);
    EXPECT_EQ(rej->b3, 4);
    EXPECT_EQ(rej->system, 0x22u);
    // a Separate.req ends the dialogue at once
    ASSERT_TRUE(fourth.connect(c.port, 3000));
    ASSERT_TRUE(fourth.send(HsmsFrame::control(HSMS_SEPARATE_REQ, 0x33)));
    EXPECT_TRUE(fourth.wait_closed(1000));
    EXPECT_LT(XKWTickCount() - start, 2000u);
    // the others are closed T7 after they came
    EXPECT_TRUE(second.wait_closed(5000));
    EXPECT_GE(XKWTickCount() - start, 2500u);
    EXPECT_TRUE(third.wait_closed(2000));
}

TEST(ContHSMSTest, ReplacementClosesTheOldConnectionAndServesTheNewOne)
{
    Connected c("101");
    HsmsPeer second;
    ASSERT_TRUE(second.connect(c.port, 3000));
    EXPECT_TRUE(c.peer.wait_closed(3000));
    auto ended = c.engine.event(3000);
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->req(), XKS_EV_ENDED);
    auto connected = c.engine.event(3000);
    ASSERT_TRUE(connected.has_value());
    EXPECT_EQ(connected->req(), XKS_EV_CONNECTED);
    EXPECT_TRUE(c.engine.wait_for([&] { return c.engine.xstat() == 1; }, 2000));
    // a third replaces the second; the reader of the second is gone and
    // cannot end the third
    HsmsPeer third;
    ASSERT_TRUE(third.connect(c.port, 3000));
    EXPECT_TRUE(second.wait_closed(3000));
    EXPECT_TRUE(c.engine.event_req(XKS_EV_CONNECTED, 3000).has_value());
    XKWSleep(300);
    EXPECT_EQ(c.engine.xstat(), 1);
    const uint8_t nine[14] = {0, 0, 0, 9, 0xFF, 0xFF, 0, 0, 0, 1, 0, 0, 0, 1};
    ASSERT_TRUE(third.send_raw(nine, sizeof nine));
    auto e = c.engine.event_req(XKS_EV_ENDED, 3000);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), -1);
}

TEST(ContHSMSTest, SessionsShareOneListeningPort)
{
    int port = HsmsFreePort();
    EngineRun a(passive(port, "20001"), "xksshA");
    EngineRun b(passive(port, "20001") + "\nSECSMODE=0x20011", "xksshB");
    a.start();
    ASSERT_TRUE(a.wait_for([&] { return EngineRun::count(a.trace("t"), "INITIALIZE") > 0; }, 3000));
    b.start();
    XKWSleep(200);
    HsmsPeer p1, p2, p3;
    ASSERT_TRUE(p1.connect(port, 3000));
    EXPECT_TRUE(a.event_req(XKS_EV_CONNECTED, 3000).has_value());
    ASSERT_TRUE(p2.connect(port, 3000));
    EXPECT_TRUE(b.event_req(XKS_EV_CONNECTED, 3000).has_value());
    EXPECT_TRUE(b.wait_for([&] { return b.xstat() == 1; }, 2000));
    ASSERT_TRUE(p3.connect(port, 3000));
    EXPECT_TRUE(p3.wait_closed(2000));
    // the second session's connection is its own: its end reaches b only
    p2.close();
    auto e = b.event_req(XKS_EV_ENDED, 3000);
    ASSERT_TRUE(e.has_value());
    EXPECT_FALSE(a.event(200).has_value());
    EXPECT_EQ(a.xstat(), 1);
    b.stop();
    a.stop();
}

TEST(ContHSMSTest, BusyListeningPortIsRetriedUntilT7)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ASSERT_EQ(::listen(fd, 1), 0);
    int port = ntohs(sa.sin_port);

    EngineRun engine(passive(port));
    engine.start();
    auto e = engine.event(5000);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->req(), XKS_REQ_DATA);
    EXPECT_EQ(e->rtn(), XKN_E_ADDRINUSE);
    EXPECT_TRUE(engine.ended(3000));
    EXPECT_GE(EngineRun::count(engine.trace("t"), "INITIALIZE"), 2);
    ::close(fd);
}

TEST(ContHSMSTest, ActiveConnectRetriesUntilT5AndConnectsWhenThePeerListens)
{
    int closed = HsmsFreePort();
    EngineRun engine("SECSMODE=0x41\nHOST=127.0.0.1\nPORT=" + std::to_string(closed));
    engine.start();
    uint64_t start = XKWTickCount();
    engine.put(XKS_REQ_CONNECT, XKS_REQ_MODE_RESULT);
    auto r = engine.result(6000);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->req(), XKS_REQ_CONNECT);
    EXPECT_EQ(r->rtn(), -961);
    EXPECT_GE(XKWTickCount() - start, 1500u);  // T5 is 2 s
    EXPECT_EQ(engine.xstat(), 0);
    EXPECT_GE(EngineRun::count(engine.trace("t"), "CONNECT "), 2);
    EXPECT_NE(engine.trace("t").find("CONN_ERR"), std::string::npos);
    engine.stop();

    HsmsPeer host;
    int port = host.listen();
    EngineRun active("SECSMODE=0x41\nHOST=127.0.0.1\nPORT=" + std::to_string(port));
    active.start();
    active.put(XKS_REQ_CONNECT, XKS_REQ_MODE_RESULT);
    ASSERT_TRUE(host.accept(3000));
    auto ok = active.result(3000);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->rtn(), 0);
    EXPECT_TRUE(active.event_req(XKS_EV_CONNECTED, 2000).has_value());
    EXPECT_EQ(active.xstat(), 1);
    active.put(XKS_REQ_CONNECT, XKS_REQ_MODE_RESULT);
    auto again = active.result(2000);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->rtn(), -42);
    host.close();
    EXPECT_TRUE(active.event_req(XKS_EV_ENDED, 3000).has_value());
}

TEST(ContHSMSTest, ConnectRequestInPassiveModeIsRefused)
{
    EngineRun engine(passive(HsmsFreePort()));
    engine.start();
    engine.put(XKS_REQ_CONNECT, XKS_REQ_MODE_RESULT);
    auto r = engine.result(2000);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->rtn(), XKW_E_INVAL);
}

TEST(ContHSMSTest, StartAndStopManyTimesLeavesNoThreadsOrDescriptors)
{
    int port = HsmsFreePort();
    int fds = 0, tasks = 0;
    for (int i = 0; i < 101; ++i) {
        // counted after a first cycle: a sanitizer runtime starts a thread
        // of its own with the first thread of the process
        if (i == 1) {
            XKWSleep(100);
            fds = count_dir("/proc/self/fd");
            tasks = count_dir("/proc/self/task");
        }
        EngineRun engine(passive(port));
        engine.start();
        if (i % 20 == 0) {
            HsmsPeer peer;
            ASSERT_TRUE(peer.connect(port, 3000));
            ASSERT_TRUE(engine.event_req(XKS_EV_CONNECTED, 3000).has_value());
        }
        ASSERT_EQ(engine.stop(), 0) << "cycle " << i;
    }
    // detached workers may take a moment to leave after their last step
    for (int i = 0; i < 100 && count_dir("/proc/self/task") > tasks; ++i)
        XKWSleep(10);
    // a leak of one thread or descriptor per cycle would show a hundred
    EXPECT_LE(count_dir("/proc/self/task"), tasks);
    EXPECT_LE(count_dir("/proc/self/fd"), fds);
}

TEST(ContHSMSTest, KeepAliveIsSetOnlyWhenAsked)
{
    for (const char* mode : {"C0001", "80001", "1"}) {
        Connected c(mode);
        int fd = c.engine.acb()->ncb.socket;
        ASSERT_GT(fd, 0);
        int want = std::string(mode) == "C0001" ? 1 : 0;
        int on = -1;
        bool seen = c.engine.wait_for(
            [&] {
                socklen_t len = sizeof on;
                return ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &len) == 0 && on == want;
            },
            1000);
        EXPECT_TRUE(seen) << mode << " keep-alive " << on;
        c.engine.stop();  // before the peer goes: the engine owns the descriptor
    }
}

TEST(ContHSMSTest, RequestIsTakenAsSoonAsItIsPutNotAtTheNextPoll)
{
    // an empty send queue is waited on, not polled every INTER0
    EngineRun engine(passive(HsmsFreePort()) + "\nINTER0=5000");
    engine.start();
    ASSERT_TRUE(engine.wait_for([&] { return engine.trace("p").find("For send") != std::string::npos; }, 3000));
    XKWSleep(100);
    std::vector<uint8_t> body(XKS_COMMENT_FILE, 0);
    std::memcpy(body.data(), "caller.cpp", 10);
    const char text[] = "operator note";
    body.insert(body.end(), text, text + sizeof text);
    uint8_t header[10] = {};
    header[8] = 42;  // the caller's line, host order
    engine.put(XKS_REQ_COMMENT, 0, header, body);
    EXPECT_TRUE(engine.wait_for([&] { return engine.trace("t").find(":UU:operator note") != std::string::npos; },
                                2500));
}
