// Two engines on loopback, an active host side and a passive equipment
// side, driven only through their queues: every record either puts is
// checked, from the connect to the separate.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "secs/XKSContInternal.h"
#include "tests/support/EngineRun.h"
#include "tests/support/HsmsPeer.h"

namespace {

std::vector<uint8_t> header(uint16_t session, uint8_t b2, uint8_t b3, uint8_t stype, uint32_t system)
{
    std::vector<uint8_t> h(10, 0);
    cont_set16(h.data(), 0, session);
    h[2] = b2;
    h[3] = b3;
    h[5] = stype;
    cont_set16(h.data(), 6, uint16_t(system >> 16));
    cont_set16(h.data(), 8, uint16_t(system));
    return h;
}

// The record must exist and carry req and rtn; returns its header.
std::vector<uint8_t> expect(const std::optional<EngineRecord>& rec, int req, int rtn, const char* what)
{
    EXPECT_TRUE(rec.has_value()) << what;
    if (!rec)
        return std::vector<uint8_t>(10, 0);
    EXPECT_EQ(rec->req(), req) << what;
    EXPECT_EQ(rec->rtn(), rtn) << what;
    return std::vector<uint8_t>(rec->head.header, rec->head.header + 10);
}

}  // namespace

TEST(ContPairTest, HostAndEquipmentEnginesTalkThroughTheirQueues)
{
    int port = HsmsFreePort();
    std::string at = "PORT=" + std::to_string(port) + "\nT3=2\nT6=2\nT7=3\n";
    EngineRun eq("SECSMODE=0x1\n" + at, "xkspaire");
    EngineRun host("SECSMODE=0x41\nHOST=127.0.0.1\n" + at, "xkspairh");
    eq.start();
    host.start();
    const int ms = 3000;

    // connect
    ASSERT_GE(host.put(XKS_REQ_CONNECT, XKS_REQ_MODE_RESULT), 0);
    expect(host.event(ms), XKS_EV_CONNECTED, 0, "host connected");
    expect(host.result(ms), XKS_REQ_CONNECT, 0, "connect result");
    expect(eq.event(ms), XKS_EV_CONNECTED, 0, "equipment accepted");

    // select: both sides report it, with the engine's own system bytes
    ASSERT_GE(host.put(XKS_REQ_SELECT, XKS_REQ_MODE_RESULT), 0);
    expect(host.result(ms), XKS_REQ_SELECT, 0, "select result");
    std::vector<uint8_t> sel = expect(eq.event(ms), XKS_EV_SELECTED, 0, "equipment selected");
    EXPECT_EQ(cont_get16(sel.data(), 0), 0xFFFF);
    EXPECT_EQ(sel[5], HSMS_SELECT_REQ);
    EXPECT_EQ(cont_get16(sel.data(), 6), 0x7FFF);
    std::vector<uint8_t> rsp = expect(host.event(ms), XKS_EV_SELECTED, 0, "host selected");
    EXPECT_EQ(rsp[5], HSMS_SELECT_RSP);
    EXPECT_EQ(cont_system(rsp.data()), cont_system(sel.data()));
    ASSERT_TRUE(host.wait_for([&] { return host.xstat() == 3 && eq.xstat() == 3; }, ms));

    // link test: answered without any record on either receive queue
    ASSERT_GE(host.put(XKS_REQ_LINKTEST, XKS_REQ_MODE_RESULT), 0);
    expect(host.result(ms), XKS_REQ_LINKTEST, 0, "linktest result");
    EXPECT_TRUE(host.wait_for([&] { return XKSLoad(host.acb()->xtx) == 0; }, ms));

    // a primary and its reply
    std::vector<uint8_t> s1f1 = header(1, 0x81, 1, 0, 0x101);
    ASSERT_GE(host.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, s1f1.data(), {0x01, 0x00}), 0);
    expect(host.result(ms), XKS_REQ_DATA, 0, "S1F1 result");
    auto got = eq.event(ms);
    EXPECT_EQ(expect(got, XKS_REQ_DATA, 0, "S1F1 delivered"), s1f1);
    EXPECT_EQ(got->body, (std::vector<uint8_t>{0x01, 0x00}));
    std::vector<uint8_t> s1f2 = header(1, 0x01, 2, 0, 0x101);
    ASSERT_GE(eq.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, s1f2.data(), {0x41, 0x02, 'o', 'k'}), 0);
    expect(eq.result(ms), XKS_REQ_DATA, 0, "S1F2 result");
    got = host.event(ms);
    EXPECT_EQ(expect(got, XKS_REQ_DATA, 0, "S1F2 delivered"), s1f2);
    EXPECT_EQ(got->body, (std::vector<uint8_t>{0x41, 0x02, 'o', 'k'}));
    EXPECT_TRUE(host.wait_for([&] { return XKSLoad(host.acb()->xtx) == 0; }, ms));

    // the equipment rejects a primary: the reject closes its transaction,
    // so no T3 expiry follows
    std::vector<uint8_t> s1f3 = header(1, 0x81, 3, 0, 0x102);
    ASSERT_GE(host.put(XKS_REQ_DATA, 0, s1f3.data()), 0);
    std::vector<uint8_t> rejected = expect(eq.event(ms), XKS_REQ_DATA, 0, "S1F3 delivered");
    ASSERT_GE(eq.put(XKS_REQ_REJECT, 0, rejected.data(), {}, 4), 0);
    std::vector<uint8_t> rj = expect(host.event(ms), XKS_EV_REJECTED, 0, "host rejected");
    EXPECT_EQ(rj[5], HSMS_REJECT_REQ);
    EXPECT_EQ(rj[2], 0);  // the SType of the rejected message
    EXPECT_EQ(rj[3], 4);
    EXPECT_EQ(cont_system(rj.data()), 0x102u);
    EXPECT_TRUE(host.wait_for([&] { return XKSLoad(host.acb()->xtx) == 0; }, ms));

    // separate: the host's request ends the connection on both sides
    ASSERT_GE(host.put(XKS_REQ_SEPARATE, XKS_REQ_MODE_RESULT), 0);
    expect(host.result(ms), XKS_REQ_SEPARATE, 1, "separate result");
    expect(host.event(ms), XKS_EV_ENDED, 1, "host ended");
    expect(eq.event(ms), XKS_EV_ENDED, 1, "equipment ended");
    EXPECT_TRUE(host.wait_for([&] { return host.xstat() == 0 && eq.xstat() == 0; }, ms));

    // nothing else was put
    XKWSleep(300);
    EXPECT_FALSE(host.event(0).has_value());
    EXPECT_FALSE(eq.event(0).has_value());
    EXPECT_FALSE(host.result(0).has_value());
    EXPECT_FALSE(eq.result(0).has_value());
    EXPECT_EQ(host.stop(), 0);
    EXPECT_EQ(eq.stop(), 0);
}
