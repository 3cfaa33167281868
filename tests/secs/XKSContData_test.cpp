// Data messages of a running engine against the scripted peer: delivery
// and its marks, the engine's S9Fx and Reject.req decisions, primaries
// with their transactions and reply timer, and the connection timers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "secs/XKSContInternal.h"
#include "secs/XKSTCP.h"
#include "tests/support/HsmsLink.h"

namespace {

// Header of a data request in host order.
std::vector<uint8_t> data_header(uint16_t dev, uint8_t stream, uint8_t function, bool w, uint32_t system)
{
    std::vector<uint8_t> h(10, 0);
    cont_set16(h.data(), 0, dev);
    h[2] = uint8_t(stream | (w ? 0x80 : 0));
    h[3] = function;
    cont_set16(h.data(), 6, uint16_t(system >> 16));
    cont_set16(h.data(), 8, uint16_t(system));
    return h;
}

// The S9Fx body naming a frame: one binary item holding its wire header.
std::vector<uint8_t> mhead_of(const HsmsFrame& f)
{
    std::vector<uint8_t> wire = f.encode();
    std::vector<uint8_t> body(12);
    body[0] = 0x21;
    body[1] = 10;
    std::memcpy(body.data() + 2, wire.data() + 4, 10);
    return body;
}

// Expect the next frame from the engine to be S9F<function> naming f.
void expect_s9(HsmsLink& link, uint8_t function, const HsmsFrame& f)
{
    auto s9 = link.peer.read(2000);
    ASSERT_TRUE(s9.has_value()) << "S9F" << int(function);
    EXPECT_EQ(s9->session, f.session);
    EXPECT_EQ(s9->b2, 9);  // no W-bit
    EXPECT_EQ(s9->b3, function);
    EXPECT_EQ(s9->ptype, 0);
    EXPECT_EQ(s9->stype, 0);
    EXPECT_EQ(s9->system >> 16, 0x7FFFu);
    EXPECT_EQ(s9->body, mhead_of(f));
}

// Expect a Reject.req from the engine for f with reason and header byte 2.
void expect_reject(HsmsLink& link, const HsmsFrame& f, uint8_t reason, uint8_t byte2)
{
    auto rj = link.peer.read(2000);
    ASSERT_TRUE(rj.has_value()) << "Reject.req reason " << int(reason);
    EXPECT_EQ(rj->stype, HSMS_REJECT_REQ);
    EXPECT_EQ(rj->session, f.session);
    EXPECT_EQ(rj->b2, byte2);
    EXPECT_EQ(rj->b3, reason);
    EXPECT_EQ(rj->ptype, 0);
    EXPECT_EQ(rj->system, f.system);
}

}  // namespace

TEST(ContDataTest, DataBeforeSelectIsNotDeliveredAndRejectedOnlyWhenAllowed)
{
    HsmsFrame f = HsmsFrame::data(1, 1, 1, true, 0x21);
    {
        HsmsLink link;  // DEVMODE 0x1800: never a Reject.req
        ASSERT_TRUE(link.peer.send(f));
        EXPECT_FALSE(link.engine.event(400).has_value());
        EXPECT_FALSE(link.peer.read(300).has_value());
        EXPECT_NE(link.engine.trace("e").find("Illegal receive sequence   (-42,"), std::string::npos);
    }
    HsmsLink link("DEVMODE=0x0800");
    ASSERT_TRUE(link.peer.send(f));
    expect_reject(link, f, 4, 0);
    EXPECT_FALSE(link.engine.event(200).has_value());
}

TEST(ContDataTest, UnknownDeviceAndOverlongBodyAreDeliveredMarkedWithS9Fx)
{
    XKSAcb user{};
    user.xapp = 1;
    HsmsLink link("XMSGSIZE=64", &user);
    ASSERT_TRUE(link.select());

    HsmsFrame unknown = HsmsFrame::data(5, 1, 1, true, 0x31, {0x41, 0x00});
    ASSERT_TRUE(link.peer.send(unknown));
    // the notice of the S9F1 comes first, then the message itself
    auto notice = link.engine.event(2000);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->req(), XKS_EV_S9F1);
    EXPECT_EQ(notice->head.header[3], 1);
    EXPECT_EQ(notice->body, mhead_of(unknown));
    auto e = link.engine.event(2000);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->req(), XKS_REQ_DATA);
    EXPECT_EQ(e->rtn(), XKW_E_NODEV);
    EXPECT_EQ(cont_get16(e->head.header, 0), 5);
    EXPECT_EQ(e->body, unknown.body);
    expect_s9(link, 1, unknown);

    // a stream 9 message never draws an S9Fx
    ASSERT_TRUE(link.peer.send(HsmsFrame::data(5, 9, 3, false, 0x32)));
    e = link.engine.event(2000);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), XKW_E_NODEV);
    EXPECT_FALSE(link.peer.read(300).has_value());

    // one byte beyond XMSGSIZE: cut, marked, S9F11
    std::vector<uint8_t> big(65);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i);
    HsmsFrame longer = HsmsFrame::data(1, 6, 11, true, 0x33, big);
    ASSERT_TRUE(link.peer.send(longer));
    notice = link.engine.event(2000);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->req(), XKS_EV_S9F11);
    e = link.engine.event(2000);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), XKS_E_TOOLONG);
    EXPECT_EQ(e->body, std::vector<uint8_t>(big.begin(), big.begin() + 64));
    expect_s9(link, 11, longer);

    // the reader writes the error line once its receive procedure is done,
    // which may be after the S9F11 is on the wire
    std::string err;
    link.engine.wait_for([&] {
        err = link.engine.trace("e");
        return err.find("Received message too large") != std::string::npos;
    }, 2000);
    EXPECT_NE(err.find("Undefined device id        (-19,"), std::string::npos);
    EXPECT_NE(err.find("Received message too large (-7,"), std::string::npos);
    EXPECT_NE(link.engine.trace("t").find("ILL_DEVICE"), std::string::npos);
}

TEST(ContDataTest, ReplyWithoutTransactionIsMarkedAndAnsweredAsDevmodeSays)
{
    HsmsFrame reply = HsmsFrame::data(1, 1, 2, false, 0x77, {0x01, 0x00});
    struct Case {
        const char* devmode;
        int answer;  // 0 nothing, 7 S9F7, 3 Reject.req reason 3
    } cases[] = {{"0x1800", 0}, {"0x0000", 7}, {"0x0800", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devmode);
        HsmsLink link(std::string("DEVMODE=") + c.devmode);
        ASSERT_TRUE(link.select());
        ASSERT_TRUE(link.peer.send(reply));
        auto e = link.engine.event(2000);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->req(), XKS_REQ_DATA);
        EXPECT_EQ(e->rtn(), -14);
        EXPECT_EQ(e->body, reply.body);
        if (c.answer == 7)
            expect_s9(link, 7, reply);
        else if (c.answer == 3)
            expect_reject(link, reply, 3, 0);
        else
            EXPECT_FALSE(link.peer.read(300).has_value());
        EXPECT_NE(link.engine.trace("p").find("Unexpected message receive (-14)"), std::string::npos);
        // nothing else was delivered for it
        EXPECT_FALSE(link.engine.event(200).has_value());
    }
}

TEST(ContDataTest, BadPTypeAndSTypeAreRejectedWithTheirReason)
{
    HsmsLink link("DEVMODE=0x0800");
    ASSERT_TRUE(link.select());
    HsmsFrame ptype = HsmsFrame::data(1, 1, 1, true, 0x41);
    ptype.ptype = 1;
    ASSERT_TRUE(link.peer.send(ptype));
    expect_reject(link, ptype, 2, 1);
    HsmsFrame stype = HsmsFrame::control(8, 0x42);
    ASSERT_TRUE(link.peer.send(stype));
    expect_reject(link, stype, 1, 8);
    EXPECT_FALSE(link.engine.event(200).has_value());
    EXPECT_NE(link.engine.trace("e").find("Invalid S-Type code        (-22,"), std::string::npos);
}

TEST(ContDataTest, PrimaryIsAnsweredOrTimedOutWithS9F9)
{
    HsmsLink link("T3=1");
    ASSERT_TRUE(link.select());
    std::vector<uint8_t> h = data_header(1, 1, 1, true, 0x51);
    ASSERT_GE(link.engine.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, h.data(), {0x01, 0x00}), 0);
    auto out = link.peer.read(2000);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->describe(), "S1F1 W dev=0x0001 sys=0x00000051 len=2");
    EXPECT_EQ(out->body, (std::vector<uint8_t>{0x01, 0x00}));
    auto res = link.engine.result(2000);
    ASSERT_TRUE(res.has_value());
    EXPECT_EQ(res->rtn(), 0);
    ASSERT_TRUE(link.peer.send(HsmsFrame::data(1, 1, 2, false, 0x51)));
    auto e = link.engine.event(2000);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), 0);
    EXPECT_EQ(e->head.header[3], 2);
    EXPECT_TRUE(link.engine.wait_for([&] { return XKSLoad(link.engine.acb()->xtx) == 0; }, 1000));

    // unanswered: event 83 with the primary, S9F9 naming it
    h = data_header(1, 6, 11, true, 0x52);
    ASSERT_GE(link.engine.put(XKS_REQ_DATA, 0, h.data()), 0);
    out = link.peer.read(2000);
    ASSERT_TRUE(out.has_value());
    auto t3 = link.engine.event_req(XKS_EV_T3, 4000);
    ASSERT_TRUE(t3.has_value());
    EXPECT_EQ(std::memcmp(t3->head.header, h.data(), 10), 0);
    expect_s9(link, 9, *out);
    EXPECT_NE(link.engine.trace("t").find("T3TIMEOUT"), std::string::npos);
}

TEST(ContDataTest, EngineNumbersPrimariesWhenSourceIdsAreEqual)
{
    HsmsLink link("SRCID0=0x7FFF");
    ASSERT_TRUE(link.select());
    std::vector<uint8_t> h = data_header(1, 1, 13, true, 0);
    ASSERT_GE(link.engine.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, h.data()), 0);
    auto out = link.peer.read(2000);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->system >> 16, 0x7FFFu);
    EXPECT_NE(out->system & 0xFFFF, 0u);
    auto res = link.engine.result(2000);
    ASSERT_TRUE(res.has_value());
    EXPECT_EQ(res->rtn(), 0);
    EXPECT_EQ(cont_system(res->head.header), out->system);
}

TEST(ContDataTest, SendsAreRefusedWhenNotSelectedOrTheTableIsFull)
{
    HsmsLink link("XTRANX=2");
    std::vector<uint8_t> h = data_header(1, 1, 1, true, 0x61);
    ASSERT_GE(link.engine.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, h.data()), 0);
    EXPECT_EQ(link.engine.result(2000)->rtn(), -42);
    EXPECT_FALSE(link.peer.read(300).has_value());

    ASSERT_TRUE(link.select());
    for (uint32_t sys : {0x62u, 0x63u, 0x64u}) {
        h = data_header(1, 1, 1, true, sys);
        ASSERT_GE(link.engine.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, h.data()), 0);
    }
    h = data_header(1, 1, 5, false, 0x65);
    ASSERT_GE(link.engine.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, h.data()), 0);
    std::vector<int> results;
    for (int i = 0; i < 4; ++i)
        results.push_back(link.engine.result(2000)->rtn());
    EXPECT_EQ(results, (std::vector<int>{0, 0, -28, 0}));
    std::vector<uint32_t> written;
    while (auto f = link.peer.read(300))
        written.push_back(f->system);
    EXPECT_EQ(written, (std::vector<uint32_t>{0x62, 0x63, 0x65}));
    EXPECT_NE(link.engine.trace("e").find("Transaction table overflow"), std::string::npos);
}

TEST(ContDataTest, ConnectionTimersEndTheLink)
{
    {
        HsmsLink link("T7=1");  // never selected
        auto t7 = link.engine.event_req(XKS_EV_T7, 4000);
        ASSERT_TRUE(t7.has_value());
        EXPECT_EQ(std::vector<uint8_t>(t7->head.header, t7->head.header + 10), std::vector<uint8_t>(10, 0));
        auto end = link.engine.event(2000);
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->req(), XKS_EV_ENDED);
        EXPECT_EQ(end->rtn(), -987);
        EXPECT_TRUE(link.peer.wait_closed(2000));
    }
    HsmsLink link("TORECV=1\nT7=5");  // selected, then silence
    ASSERT_TRUE(link.select());
    auto silent = link.engine.event_req(XKS_EV_NOMSSG, 4000);
    ASSERT_TRUE(silent.has_value());
    auto end = link.engine.event(2000);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->req(), XKS_EV_ENDED);
    EXPECT_EQ(end->rtn(), XKS_E_FIRSTWAIT);
    EXPECT_TRUE(link.peer.wait_closed(2000));
}

TEST(ContDataTest, FullReceiveQueueHoldsTheLinkBackInsteadOfDropping)
{
    // The test's receive queue has 256 records and nobody takes them until
    // all 400 messages are on the wire.
    HsmsLink link("");
    ASSERT_TRUE(link.select());
    constexpr uint32_t kCount = 400;
    for (uint32_t i = 1; i <= kCount; ++i)
        ASSERT_TRUE(link.peer.send(HsmsFrame::data(1, 6, 11, false, i, {0xA5, 0x04, 0, 0, 0, uint8_t(i)})));
    XKWSleep(500);  // the engine has read what it can by now
    for (uint32_t i = 1; i <= kCount; ++i) {
        auto e = link.engine.event(3000);
        ASSERT_TRUE(e.has_value()) << "message " << i << " lost";
        EXPECT_EQ(cont_get16(e->head.header, 8), i & 0xFFFF);
    }
    EXPECT_EQ(EngineRun::count(link.engine.trace("e"), "queue put"), 0);
}
