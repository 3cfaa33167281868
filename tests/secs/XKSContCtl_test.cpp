// HSMS control messages of a running engine against the scripted peer:
// the selection states in single- and general-session mode, the frames the
// engine writes field by field, and the events it puts for the user.
#include <gtest/gtest.h>

#include <string>

#include "secs/XKSContInternal.h"
#include "tests/support/HsmsLink.h"

namespace {

constexpr int kWait = 4000;  // bound of every wait: timers of 1-2 s count whole seconds

// A passive engine with the peer connected (event 91 taken).
struct Passive : HsmsLink {
    explicit Passive(const std::string& secsmode, const std::string& keys = "")
        : HsmsLink("SECSMODE=" + secsmode + "\n" + keys)
    {
    }
};

// An active engine connected to the listening peer.
struct Active {
    HsmsPeer peer;
    int port = peer.listen();
    EngineRun engine;
    explicit Active(const std::string& secsmode, const std::string& keys = "")
        : engine("SECSMODE=" + secsmode + "\nHOST=127.0.0.1\nPORT=" + std::to_string(port) + "\n" + keys)
    {
        engine.start();
        engine.put(XKS_REQ_CONNECT);
        EXPECT_TRUE(peer.accept(3000));
        EXPECT_TRUE(engine.event_req(XKS_EV_CONNECTED, 3000).has_value());
    }
};

// The next frame must be this control message; returns it.
HsmsFrame expect_frame(HsmsPeer& peer, uint8_t stype, uint16_t session, uint8_t b2, uint8_t b3)
{
    auto f = peer.read(kWait);
    EXPECT_TRUE(f.has_value()) << "SType " << int(stype);
    if (!f)
        return HsmsFrame{};
    EXPECT_EQ(f->ptype, 0);
    EXPECT_EQ(f->stype, stype);
    EXPECT_EQ(f->session, session) << "SType " << int(stype);
    EXPECT_EQ(f->b2, b2) << "SType " << int(stype);
    EXPECT_EQ(f->b3, b3) << "SType " << int(stype);
    EXPECT_TRUE(f->body.empty());
    return *f;
}

// The peer sends a request and the engine must answer it with status.
void exchange(HsmsPeer& peer, uint8_t stype, uint16_t session, uint32_t system, int status,
              uint16_t answer_session = 0)
{
    ASSERT_TRUE(peer.send(HsmsFrame::control(stype, system, session)));
    HsmsFrame rsp = expect_frame(peer, uint8_t(stype + 1), answer_session != 0 ? answer_session : session, 0,
                                 uint8_t(status));
    EXPECT_EQ(rsp.system, system);
}

// The next event must be req with rtn; its header carries session and
// SType. Returns the header's system bytes.
uint32_t expect_event(EngineRun& engine, int req, int rtn, uint16_t session, uint8_t stype)
{
    auto e = engine.event(kWait);
    EXPECT_TRUE(e.has_value()) << "event " << req;
    if (!e)
        return 0;
    EXPECT_EQ(e->req(), req);
    EXPECT_EQ(e->rtn(), rtn) << "event " << req;
    EXPECT_EQ(cont_get16(e->head.header, 0), session) << "event " << req;
    EXPECT_EQ(e->head.header[5], stype) << "event " << req;
    return cont_system(e->head.header);
}

void expect_result(EngineRun& engine, int req, int rtn)
{
    auto r = engine.result(kWait);
    ASSERT_TRUE(r.has_value()) << "result of " << req;
    EXPECT_EQ(r->req(), req);
    EXPECT_EQ(r->rtn(), rtn) << "result of " << req;
}

int devst(EngineRun& engine, int i)
{
    return __atomic_load_n(&engine.acb()->cfg.devst[i], __ATOMIC_ACQUIRE);
}

bool states(EngineRun& engine, int xstat, int dev0, int dev1 = -1)
{
    return engine.wait_for(
        [&] { return engine.xstat() == xstat && devst(engine, 0) == dev0 && (dev1 < 0 || devst(engine, 1) == dev1); },
        kWait);
}

std::vector<uint8_t> session_header(uint16_t session)
{
    std::vector<uint8_t> h(10, 0);
    cont_set16(h.data(), 0, session);
    return h;
}

int illegal_lines(EngineRun& engine)
{
    return EngineRun::count(engine.trace("p"), "Illegal receive sequence");
}

}  // namespace

TEST(ContCtlTest, PeerSelectsLinktestsAndDeselectsSingleSession)
{
    Passive p("0x1");
    exchange(p.peer, HSMS_SELECT_REQ, 0xFFFF, 0x00010001, 0);
    EXPECT_EQ(expect_event(p.engine, XKS_EV_SELECTED, 0, 0xFFFF, HSMS_SELECT_REQ), 0x00010001u);
    EXPECT_TRUE(states(p.engine, 3, 3));
    exchange(p.peer, HSMS_LINKTEST_REQ, 0xFFFF, 0x55, 0);
    exchange(p.peer, HSMS_DESELECT_REQ, 0xFFFF, 0x66, 0);
    expect_event(p.engine, XKS_EV_DESELECTED, 0, 0xFFFF, HSMS_DESELECT_REQ);
    EXPECT_TRUE(states(p.engine, 1, 1));

    // a stray Deselect.req is refused and changes nothing
    exchange(p.peer, HSMS_DESELECT_REQ, 0xFFFF, 0x67, 1);
    exchange(p.peer, HSMS_LINKTEST_REQ, 0xFFFF, 0x68, 0);  // answered while not selected too
    EXPECT_EQ(p.engine.xstat(), 1);
    EXPECT_TRUE(p.engine.wait_for([&] { return illegal_lines(p.engine) == 1; }, kWait));

    // a second Select.req while selected: status 1, and the link falls back
    exchange(p.peer, HSMS_SELECT_REQ, 0xFFFF, 0x70, 0);
    expect_event(p.engine, XKS_EV_SELECTED, 0, 0xFFFF, HSMS_SELECT_REQ);
    EXPECT_TRUE(states(p.engine, 3, 3));
    exchange(p.peer, HSMS_SELECT_REQ, 0xFFFF, 0x71, 1);
    EXPECT_TRUE(states(p.engine, 1, 1));
    EXPECT_TRUE(p.engine.wait_for([&] { return illegal_lines(p.engine) == 2; }, kWait));
    EXPECT_FALSE(p.engine.event(200).has_value());
}

TEST(ContCtlTest, EngineRequestsCarryWBitAndWrappingNumbers)
{
    Active a("0x841", "XIDMIN=1\nXIDMAX=3");
    a.engine.put(XKS_REQ_SELECT, XKS_REQ_MODE_RESULT);
    HsmsFrame sel = expect_frame(a.peer, HSMS_SELECT_REQ, 0xFFFF, 0x80, 0);
    EXPECT_EQ(sel.system, 0x7FFF0001u);
    expect_result(a.engine, XKS_REQ_SELECT, 0);
    EXPECT_TRUE(states(a.engine, 2, 2));
    // no second select while one is out
    a.engine.put(XKS_REQ_SELECT, XKS_REQ_MODE_RESULT);
    expect_result(a.engine, XKS_REQ_SELECT, -42);
    ASSERT_TRUE(a.peer.send(HsmsFrame::control(HSMS_SELECT_RSP, sel.system)));
    EXPECT_EQ(expect_event(a.engine, XKS_EV_SELECTED, 0, 0xFFFF, HSMS_SELECT_RSP), sel.system);
    EXPECT_TRUE(states(a.engine, 3, 3));

    a.engine.put(XKS_REQ_LINKTEST);
    HsmsFrame lt = expect_frame(a.peer, HSMS_LINKTEST_REQ, 0xFFFF, 0x80, 0);
    EXPECT_EQ(lt.system, 0x7FFF0002u);
    EXPECT_TRUE(a.engine.wait_for([&] { return __atomic_load_n(&a.engine.acb()->xlt, __ATOMIC_ACQUIRE) != 0; },
                                  kWait));
    ASSERT_TRUE(a.peer.send(HsmsFrame::control(HSMS_LINKTEST_RSP, lt.system)));

    a.engine.put(XKS_REQ_DESELECT, XKS_REQ_MODE_RESULT);
    HsmsFrame des = expect_frame(a.peer, HSMS_DESELECT_REQ, 0xFFFF, 0x80, 0);
    EXPECT_EQ(des.system, 0x7FFF0003u);
    expect_result(a.engine, XKS_REQ_DESELECT, 0);
    EXPECT_TRUE(states(a.engine, 4, 4));
    // a refusing Deselect.rsp still ends the selection
    ASSERT_TRUE(a.peer.send(HsmsFrame::control(HSMS_DESELECT_RSP, des.system, 0xFFFF, 0, 1)));
    expect_event(a.engine, XKS_EV_DESELECTED, 0, 0xFFFF, HSMS_DESELECT_RSP);
    EXPECT_TRUE(states(a.engine, 1, 1));

    // the numbers wrap to XIDMIN; a refusing Select.rsp gives no event
    a.engine.put(92);
    sel = expect_frame(a.peer, HSMS_SELECT_REQ, 0xFFFF, 0x80, 0);
    EXPECT_EQ(sel.system, 0x7FFF0001u);
    ASSERT_TRUE(a.peer.send(HsmsFrame::control(HSMS_SELECT_RSP, sel.system, 0xFFFF, 0, 2)));
    EXPECT_TRUE(states(a.engine, 1, 1));

    // responses and rejects never carry the W-bit
    exchange(a.peer, HSMS_LINKTEST_REQ, 0xFFFF, 0x1234, 0);
    uint8_t rejected[10] = {0x01, 0x00, 0x81, 0x01, 0x03};
    cont_set16(rejected, 6, 0x000A);
    cont_set16(rejected, 8, 0x000B);
    a.engine.put(XKS_REQ_REJECT, 0, rejected, {}, 2);
    HsmsFrame rej = expect_frame(a.peer, HSMS_REJECT_REQ, 0x0001, 0x03, 2);  // PType for reason 2
    EXPECT_EQ(rej.system, 0x000A000Bu);
    rejected[4] = 0;
    rejected[5] = 11;
    a.engine.put(97, 0, rejected, {}, 1);
    expect_frame(a.peer, HSMS_REJECT_REQ, 0x0001, 11, 1);  // SType otherwise

    ASSERT_TRUE(a.peer.send(HsmsFrame::control(HSMS_REJECT_REQ, 0x99, 0xFFFF, HSMS_SELECT_REQ, 4)));
    expect_event(a.engine, XKS_EV_REJECTED, 0, 0xFFFF, HSMS_REJECT_REQ);
}

TEST(ContCtlTest, PassiveSingleSessionIgnoresSelectRspAndMapsSessionIds)
{
    // equipment, top bit handled as in SECS-I, control messages with the device id
    Passive p("0x611");
    exchange(p.peer, HSMS_SELECT_REQ, 0x0001, 0x10, 0, 0x8001);
    expect_event(p.engine, XKS_EV_SELECTED, 0, 0x0001, HSMS_SELECT_REQ);
    exchange(p.peer, HSMS_DESELECT_REQ, 0x8001, 0x11, 0, 0x8001);
    expect_event(p.engine, XKS_EV_DESELECTED, 0, 0x8001, HSMS_DESELECT_REQ);
    EXPECT_TRUE(states(p.engine, 1, 1));

    std::vector<uint8_t> h = session_header(0x0001);
    p.engine.put(XKS_REQ_SELECT, 0, h.data());
    HsmsFrame sel = expect_frame(p.peer, HSMS_SELECT_REQ, 0x8001, 0, 0);
    EXPECT_EQ(sel.system >> 16, 0x7FFFu);
    EXPECT_TRUE(states(p.engine, 2, 2));
    ASSERT_TRUE(p.peer.send(HsmsFrame::control(HSMS_SELECT_RSP, sel.system, 0x8001)));
    EXPECT_FALSE(p.engine.event(400).has_value());
    EXPECT_EQ(p.engine.xstat(), 2);
}

TEST(ContCtlTest, SeparateAndIdleDeselectEndSingleSessionConnection)
{
    {
        Passive p("0x1");
        exchange(p.peer, HSMS_SELECT_REQ, 0xFFFF, 1, 0);
        ASSERT_TRUE(p.peer.send(HsmsFrame::control(HSMS_SEPARATE_REQ, 2)));
        auto e = p.engine.event_req(XKS_EV_ENDED, kWait);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->rtn(), 1);
        EXPECT_TRUE(p.peer.wait_closed(kWait));
        EXPECT_TRUE(states(p.engine, 0, 0));
    }
    {
        Passive p("0x1");
        exchange(p.peer, HSMS_SELECT_REQ, 0xFFFF, 1, 0);
        p.engine.event_req(XKS_EV_SELECTED, kWait);
        p.engine.put(XKS_REQ_SEPARATE, XKS_REQ_MODE_RESULT);
        HsmsFrame sep = expect_frame(p.peer, HSMS_SEPARATE_REQ, 0xFFFF, 0, 0);
        EXPECT_EQ(sep.system >> 16, 0x7FFFu);
        expect_result(p.engine, XKS_REQ_SEPARATE, 1);
        auto e = p.engine.event(kWait);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->req(), XKS_EV_ENDED);
        EXPECT_EQ(e->rtn(), 1);
        EXPECT_TRUE(p.peer.wait_closed(kWait));
    }
    {
        // end the connection once nothing is selected any more
        Passive p("0x4001");
        exchange(p.peer, HSMS_SELECT_REQ, 0xFFFF, 1, 0);
        exchange(p.peer, HSMS_DESELECT_REQ, 0xFFFF, 2, 0);
        EXPECT_TRUE(p.engine.event_req(XKS_EV_DESELECTED, kWait).has_value());
        auto e = p.engine.event(kWait);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->req(), XKS_EV_ENDED);
        EXPECT_EQ(e->rtn(), 1);
        EXPECT_TRUE(p.peer.wait_closed(kWait));
    }
}

TEST(ContCtlTest, GeneralSessionMovesEachDeviceByItself)
{
    Passive p("0x8001", "DEVID=2");
    exchange(p.peer, HSMS_SELECT_REQ, 0x0002, 0x21, 0);
    expect_event(p.engine, XKS_EV_SELECTED, 0, 0x0002, HSMS_SELECT_REQ);
    EXPECT_TRUE(states(p.engine, 3, 1, 3));
    exchange(p.peer, HSMS_SELECT_REQ, 0x0009, 0x22, 4);   // unknown device
    exchange(p.peer, HSMS_DESELECT_REQ, 0x0001, 0x23, 1);  // not selected
    ASSERT_TRUE(p.peer.send(HsmsFrame::control(HSMS_SEPARATE_REQ, 0x24, 0x0009)));
    exchange(p.peer, HSMS_SELECT_REQ, 0x0001, 0x25, 0);
    expect_event(p.engine, XKS_EV_SELECTED, 0, 0x0001, HSMS_SELECT_REQ);
    EXPECT_TRUE(states(p.engine, 3, 3, 3));
    std::string t = p.engine.trace("p");
    EXPECT_EQ(EngineRun::count(t, "Undefined device id"), 2);
    EXPECT_EQ(EngineRun::count(t, "Illegal receive sequence"), 1);
    EXPECT_NE(t.find("devst=0x0001:1, 0x0002:2->3"), std::string::npos);

    exchange(p.peer, HSMS_DESELECT_REQ, 0x0002, 0x26, 0);
    expect_event(p.engine, XKS_EV_DESELECTED, 0, 0x0002, HSMS_DESELECT_REQ);
    EXPECT_TRUE(states(p.engine, 3, 3, 1));

    // the engine's own requests carry the device's session id
    std::vector<uint8_t> two = session_header(0x0002), one = session_header(0x0001), nine = session_header(9);
    p.engine.put(XKS_REQ_SELECT, XKS_REQ_MODE_RESULT, nine.data());
    expect_result(p.engine, XKS_REQ_SELECT, -19);
    p.engine.put(XKS_REQ_SELECT, 0, two.data());
    HsmsFrame sel = expect_frame(p.peer, HSMS_SELECT_REQ, 0x0002, 0, 0);
    EXPECT_TRUE(states(p.engine, 3, 3, 2));
    ASSERT_TRUE(p.peer.send(HsmsFrame::control(HSMS_SELECT_RSP, sel.system, 0x0002, 0, 6)));
    expect_event(p.engine, XKS_EV_SELECTED, 6, 0x0002, HSMS_SELECT_RSP);
    EXPECT_TRUE(states(p.engine, 3, 3, 3));

    p.engine.put(XKS_REQ_DESELECT, 0, one.data());
    HsmsFrame des = expect_frame(p.peer, HSMS_DESELECT_REQ, 0x0001, 0, 0);
    EXPECT_TRUE(states(p.engine, 3, 4, 3));
    ASSERT_TRUE(p.peer.send(HsmsFrame::control(HSMS_DESELECT_RSP, des.system, 0x0001)));
    expect_event(p.engine, XKS_EV_DESELECTED, 0, 0x0001, HSMS_DESELECT_RSP);
    EXPECT_TRUE(states(p.engine, 3, 1, 3));

    // separating one device leaves the other selected
    p.engine.put(XKS_REQ_SEPARATE, XKS_REQ_MODE_RESULT, two.data());
    expect_frame(p.peer, HSMS_SEPARATE_REQ, 0xFFFF, 0, 0);
    expect_result(p.engine, XKS_REQ_SEPARATE, 0);
    expect_event(p.engine, XKS_EV_SEPARATED, 0, 0x0002, 0);
    EXPECT_TRUE(states(p.engine, 1, 1, 1));
    exchange(p.peer, HSMS_SELECT_REQ, 0x0001, 0x27, 0);
    exchange(p.peer, HSMS_SELECT_REQ, 0x0002, 0x28, 0);
    p.engine.event_req(XKS_EV_SELECTED, kWait);
    p.engine.event_req(XKS_EV_SELECTED, kWait);
    ASSERT_TRUE(p.peer.send(HsmsFrame::control(HSMS_SEPARATE_REQ, 0x29, 0x0001)));
    expect_event(p.engine, XKS_EV_SEPARATED, 0, 0x0001, HSMS_SEPARATE_REQ);
    EXPECT_TRUE(states(p.engine, 3, 1, 3));
    // the last selected device separated: the connection ends
    ASSERT_TRUE(p.peer.send(HsmsFrame::control(HSMS_SEPARATE_REQ, 0x2A, 0x0002)));
    expect_event(p.engine, XKS_EV_SEPARATED, 1, 0x0002, HSMS_SEPARATE_REQ);
    expect_event(p.engine, XKS_EV_ENDED, 1, 0, 0);
    EXPECT_TRUE(p.peer.wait_closed(kWait));
}

TEST(ContCtlTest, GeneralSessionSeparateEndsWholeConnectionWhenAsked)
{
    for (const char* mode : {"0xA001", "0xC001"}) {
        Passive p(mode, "DEVID=2");
        exchange(p.peer, HSMS_SELECT_REQ, 0x0001, 1, 0);
        exchange(p.peer, HSMS_SELECT_REQ, 0x0002, 2, 0);
        EXPECT_TRUE(states(p.engine, 3, 3, 3)) << mode;
        if (std::string(mode) == "0xA001") {
            ASSERT_TRUE(p.peer.send(HsmsFrame::control(HSMS_SEPARATE_REQ, 3, 0x0001)));
        } else {
            // ended only once no device remains selected
            std::vector<uint8_t> one = session_header(1), two = session_header(2);
            p.engine.put(XKS_REQ_SEPARATE, 0, one.data());
            EXPECT_TRUE(p.engine.event_req(XKS_EV_SEPARATED, kWait).has_value());
            EXPECT_TRUE(states(p.engine, 3, 1, 3));
            p.engine.put(99, 0, two.data());
        }
        auto sep = p.engine.event_req(XKS_EV_SEPARATED, kWait);
        ASSERT_TRUE(sep.has_value()) << mode;
        EXPECT_EQ(sep->rtn(), 1) << mode;
        expect_event(p.engine, XKS_EV_ENDED, 1, 0, 0);
        EXPECT_TRUE(p.peer.wait_closed(kWait)) << mode;
    }
}

TEST(ContCtlTest, RequestsNeedTheStateTheConnectionAndRoomForTheirTransaction)
{
    {
        Active a("0x41", "XTRANX=1");
        a.engine.put(XKS_REQ_DESELECT, XKS_REQ_MODE_RESULT);
        expect_result(a.engine, XKS_REQ_DESELECT, -42);
        // an unanswered linktest fills the table: the next one is not sent
        a.engine.put(XKS_REQ_LINKTEST, XKS_REQ_MODE_RESULT);
        expect_frame(a.peer, HSMS_LINKTEST_REQ, 0xFFFF, 0, 0);
        expect_result(a.engine, XKS_REQ_LINKTEST, 0);
        a.engine.put(XKS_REQ_LINKTEST, XKS_REQ_MODE_RESULT);
        expect_result(a.engine, XKS_REQ_LINKTEST, -28);
        EXPECT_FALSE(a.peer.read(300).has_value());
    }
    // without a connection: refused, or with the state check skipped the
    // write fails and the link stays not connected
    int port = HsmsFreePort();
    EngineRun engine("SECSMODE=0x1\nPORT=" + std::to_string(port));
    engine.start();
    engine.put(XKS_REQ_SELECT, XKS_REQ_MODE_RESULT);
    expect_result(engine, XKS_REQ_SELECT, -42);
    engine.put(XKS_REQ_SELECT, XKS_REQ_MODE_RESULT | XKS_REQ_MODE_NOCHECK);
    auto r = engine.result(kWait);
    ASSERT_TRUE(r.has_value());
    EXPECT_LT(r->rtn(), 0);
    EXPECT_NE(r->rtn(), -42);
    XKWSleep(100);
    EXPECT_EQ(engine.xstat(), 0);
    // the next connection starts from NOT SELECTED and selects normally
    HsmsPeer peer;
    ASSERT_TRUE(peer.connect(port, 3000));
    EXPECT_TRUE(engine.event_req(XKS_EV_CONNECTED, 3000).has_value());
    exchange(peer, HSMS_SELECT_REQ, 0xFFFF, 5, 0);
    EXPECT_TRUE(states(engine, 3, 3));
}

TEST(ContCtlTest, UnansweredControlRequestsExpire)
{
    {
        // a deselect without answer: event 86, not selected, Separate.req
        Active a("0x41", "T6=1\nT7=5");  // T7 also times the DESELECTING state
        a.engine.put(XKS_REQ_SELECT);
        HsmsFrame sel = expect_frame(a.peer, HSMS_SELECT_REQ, 0xFFFF, 0, 0);
        ASSERT_TRUE(a.peer.send(HsmsFrame::control(HSMS_SELECT_RSP, sel.system)));
        expect_event(a.engine, XKS_EV_SELECTED, 0, 0xFFFF, HSMS_SELECT_RSP);
        a.engine.put(XKS_REQ_DESELECT);
        HsmsFrame des = expect_frame(a.peer, HSMS_DESELECT_REQ, 0xFFFF, 0, 0);
        EXPECT_EQ(expect_event(a.engine, XKS_EV_T6, 0, 0xFFFF, HSMS_DESELECT_REQ), des.system);
        expect_frame(a.peer, HSMS_SEPARATE_REQ, 0xFFFF, 0, 0);
        expect_event(a.engine, XKS_EV_ENDED, 1, 0, 0);
        EXPECT_TRUE(a.peer.wait_closed(kWait));
    }
    {
        // DEVMODE 0x8000: an unanswered linktest is reported, the link stays
        Passive p("0x1", "T6=1\nDEVMODE=0x9800");
        exchange(p.peer, HSMS_SELECT_REQ, 0xFFFF, 1, 0);
        expect_event(p.engine, XKS_EV_SELECTED, 0, 0xFFFF, HSMS_SELECT_REQ);
        p.engine.put(XKS_REQ_LINKTEST);
        expect_frame(p.peer, HSMS_LINKTEST_REQ, 0xFFFF, 0, 0);
        expect_event(p.engine, XKS_EV_T6, 0, 0xFFFF, HSMS_LINKTEST_REQ);
        EXPECT_FALSE(p.peer.read(500).has_value());
        EXPECT_EQ(p.engine.xstat(), 3);
    }
    // general session: a select of one device waits T7, the other stays
    Passive p("0x8001", "DEVID=2\nT7=2");  // whole seconds: 1 could expire before the state is seen
    exchange(p.peer, HSMS_SELECT_REQ, 0x0001, 1, 0);
    expect_event(p.engine, XKS_EV_SELECTED, 0, 0x0001, HSMS_SELECT_REQ);
    std::vector<uint8_t> two = session_header(0x0002);
    p.engine.put(XKS_REQ_SELECT, 0, two.data());
    HsmsFrame sel = expect_frame(p.peer, HSMS_SELECT_REQ, 0x0002, 0, 0);
    EXPECT_TRUE(states(p.engine, 3, 3, 2));
    EXPECT_EQ(expect_event(p.engine, XKS_EV_T7, 0, 0x0002, HSMS_SELECT_REQ), sel.system);
    EXPECT_TRUE(states(p.engine, 3, 3, 1));
    EXPECT_NE(p.engine.trace("t").find("T7TIMEOUT"), std::string::npos);
}
