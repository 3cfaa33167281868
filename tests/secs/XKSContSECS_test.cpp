// SECS-I links of a running engine against the scripted line peer on a
// pty: the line open and its failure, delivery through the block retries,
// receive failures as events, unexpected replies with S9F7, the reply
// timer of a sent primary, send failures, and a request taken while the
// line is not open.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "secs/XKS232C.h"
#include "secs/XKSContInternal.h"
#include "tests/support/EngineRun.h"
#include "tests/support/HsmsPeer.h"
#include "tests/support/SecsLine.h"

namespace {

constexpr int kWait = 3000;

// A host-order header of a request record.
std::vector<uint8_t> header(uint16_t device, uint8_t b2, uint8_t b3, uint32_t system)
{
    std::vector<uint8_t> h(10, 0);
    cont_set16(h.data(), 0, device);
    h[2] = b2;
    h[3] = b3;
    cont_set16(h.data(), 6, uint16_t(system >> 16));
    cont_set16(h.data(), 8, uint16_t(system));
    return h;
}

// A message of the host peer to the equipment engine.
SecsHeader from_host(uint8_t stream, uint8_t function, bool w, uint32_t system)
{
    SecsHeader h;
    h.device = 1;
    h.wbit = w;
    h.stream = stream;
    h.function = function;
    h.system = system;
    return h;
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 7 + 3);
    return v;
}

// An equipment engine on the slave side of the peer's pty, short timers.
// Its states are watched through the caller's block it mirrors them into.
struct Line {
    explicit Line(const std::string& keys = "")
        : opened(peer.open_pty()),
          engine("SECSMODE=0x10\nSDEVICE=" + peer.name() +
                 "\nT1=100\nT2=1\nT3=1\nT4=2\nXRETRY=1\nINTER2=10\n" + keys,
                 "xkssecs")
    {
        EXPECT_TRUE(opened);
        user.omode = 0x1002;
        engine.start(&user);
        EXPECT_TRUE(engine.wait_for([&] { return xstat() == 3; }, kWait));
    }
    int32_t xstat() const { return XKSLoad(user.xstat); }

    SecsLinePeer peer;
    bool opened;
    XKSAcb user{};
    EngineRun engine;
};

// A trace file of an equipment engine: "t" communication, "p" process.
std::string trace(const EngineRun& engine, const char* kind)
{
    std::ifstream in(engine.dir() / (std::string("te0001") + kind + ".trc"));
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The MHEAD of an S9Fx body: the offending header as it was on the wire.
SecsHeader mhead(const std::vector<uint8_t>& body)
{
    EXPECT_EQ(body.size(), 12u);
    EXPECT_EQ(body[0], 0x21);  // binary, one length byte
    EXPECT_EQ(body[1], 10);
    return SecsHeader::decode(body.data() + 2);
}

}  // namespace

TEST(ContSECSTest, LineThatCannotBeOpenedGivesOneEventAndEndsTheEngine)
{
    HsmsPeer busy;
    int port = busy.listen();
    ASSERT_GT(port, 0);
    const std::string cases[] = {
        "SECSMODE=0x10\nSDEVICE=/nonexistent/tty\n",
        "SECSMODE=0x12\nPORT=" + std::to_string(port) + "\n",  // passive, the port is taken
    };
    for (const std::string& keys : cases) {
        EngineRun engine(keys, "xkssecsopen");
        engine.start();
        auto e = engine.event(kWait);
        ASSERT_TRUE(e.has_value()) << keys;
        EXPECT_EQ(e->req(), XKS_REQ_DATA) << keys;
        EXPECT_LT(e->rtn(), 0) << keys;
        EXPECT_TRUE(e->body.empty()) << keys;
        ASSERT_TRUE(engine.ended(kWait)) << keys;
        EXPECT_EQ(XKSLoad(engine.acb()->xerr), e->rtn()) << keys;
        EXPECT_EQ(engine.stop(), e->rtn()) << keys;
        EXPECT_FALSE(engine.event(100).has_value()) << keys;
        EXPECT_EQ(engine.xstat(), 0) << keys;
        EXPECT_NE(trace(engine, "t").find("INITIALIZE"), std::string::npos) << keys;
    }
}

TEST(ContSECSTest, MessagesAreDeliveredWhileTheLineIsOpenAndStatesFollowTheLine)
{
    Line line;
    EXPECT_EQ(line.xstat(), 3);

    // two blocks, the second one sent with a wrong checksum first: NAK,
    // the same block again, and the message arrives once
    std::vector<uint8_t> body = pattern(300);
    SecsHeader h = from_host(6, 11, false, 0x00010005);
    h.block = 1;
    ASSERT_TRUE(line.peer.send_byte(SECS_ENQ));
    ASSERT_TRUE(line.peer.expect(SECS_EOT, kWait));
    ASSERT_TRUE(line.peer.send_block(h, std::span(body).first(244)));
    ASSERT_TRUE(line.peer.expect(SECS_ACK, kWait));
    h.block = 2;
    h.ebit = true;
    for (bool wrong : {true, false}) {
        ASSERT_TRUE(line.peer.send_byte(SECS_ENQ));
        ASSERT_TRUE(line.peer.expect(SECS_EOT, kWait));
        std::span<const uint8_t> rest = std::span(body).subspan(244);
        std::optional<uint16_t> sum;
        if (wrong)
            sum = uint16_t(SecsChecksum(SecsEncodeBlock(h, rest)) + 1);
        ASSERT_TRUE(line.peer.send_block(h, rest, sum));
        ASSERT_TRUE(line.peer.expect(wrong ? SECS_NAK : SECS_ACK, kWait));
    }
    auto e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->req(), XKS_REQ_DATA);
    EXPECT_EQ(e->rtn(), 0);
    EXPECT_EQ(e->body, body);
    EXPECT_EQ(e->head.len, 300u);
    EXPECT_EQ(cont_get16(e->head.header, 0), 1);
    EXPECT_EQ(e->head.header[2], 6);
    EXPECT_EQ(e->head.header[3], 11);
    EXPECT_EQ(cont_get16(e->head.header, 4), 0x8002);
    EXPECT_EQ(cont_system(e->head.header), 0x00010005u);
    EXPECT_FALSE(line.engine.event(300).has_value());

    // an unlisted device is delivered marked
    SecsHeader other = from_host(1, 1, false, 0x00010006);
    other.device = 5;
    ASSERT_TRUE(line.peer.send_message(other, {}, kWait));
    e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), XKW_E_NODEV);
    // the receiver logs the error after it has put the message
    EXPECT_TRUE(line.engine.wait_for(
        [&] {
            return trace(line.engine, "p").find("[ERROR] RecvSECS: Undefined device id        (-19,") !=
                   std::string::npos;
        },
        kWait));

    EXPECT_EQ(line.engine.stop(), 0);
    EXPECT_EQ(line.xstat(), 0);
    EXPECT_NE(trace(line.engine, "p").find("xstat=0->3"), std::string::npos);
}

TEST(ContSECSTest, ReceiveFailureIsAnEventAndTheReceiverGoesOn)
{
    Line line;
    // a length character of 9: drained, NAK, event -134
    ASSERT_TRUE(line.peer.send_byte(SECS_ENQ));
    ASSERT_TRUE(line.peer.expect(SECS_EOT, kWait));
    ASSERT_TRUE(line.peer.send_byte(9));
    ASSERT_TRUE(line.peer.expect(SECS_NAK, kWait));
    auto e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->req(), XKS_REQ_DATA);
    EXPECT_EQ(e->rtn(), XKS_E_PROTOCOL);
    EXPECT_TRUE(e->body.empty());

    // nothing after EOT within T2: event -982
    ASSERT_TRUE(line.peer.send_byte(SECS_ENQ));
    ASSERT_TRUE(line.peer.expect(SECS_EOT, kWait));
    e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), XKS_E_T2);
    line.peer.read_raw(16, 300);  // the NAK of the time-out, if any

    // and the next message is received as usual
    ASSERT_TRUE(line.peer.send_message(from_host(1, 1, false, 0x00010007), {}, kWait));
    e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), 0);
    EXPECT_EQ(cont_system(e->head.header), 0x00010007u);
    EXPECT_EQ(line.xstat(), 3);
    std::string t = trace(line.engine, "t");
    EXPECT_NE(t.find("PROTOCOL"), std::string::npos);
    EXPECT_NE(t.find("T2TIMEOUT"), std::string::npos);
}

TEST(ContSECSTest, UnexpectedReplyIsDeliveredMarkedAndAnsweredWithS9F7)
{
    Line line("DEVMODE=0x1000\n");
    std::vector<uint8_t> body = {0x21, 0x01, 0x00};
    SecsHeader reply = from_host(1, 2, false, 0x00011234);
    ASSERT_TRUE(line.peer.send_message(reply, body, kWait));
    auto e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->req(), XKS_REQ_DATA);
    EXPECT_EQ(e->rtn(), -14);
    EXPECT_EQ(e->body, body);

    auto s9 = line.peer.receive_message(kWait);
    ASSERT_TRUE(s9.has_value());
    EXPECT_EQ(s9->header.stream, 9);
    EXPECT_EQ(s9->header.function, 7);
    EXPECT_FALSE(s9->header.wbit);
    EXPECT_EQ(s9->header.device, 1);
    // sent by the equipment: its R-bit, not that of the offending message
    EXPECT_TRUE(s9->header.rbit);
    SecsHeader named = mhead(s9->body);
    EXPECT_EQ(named.device, reply.device);
    EXPECT_EQ(named.rbit, reply.rbit);
    EXPECT_EQ(named.stream, reply.stream);
    EXPECT_EQ(named.function, reply.function);
    EXPECT_EQ(named.system, reply.system);
    // the block field too is in wire order: E-bit, single block 0
    EXPECT_EQ(named.block_field(), 0x8000) << "MHEAD bytes 4..5 in host order";
    std::string t = trace(line.engine, "t");
    EXPECT_NE(t.find("UNEXP_MSSG"), std::string::npos);
    EXPECT_NE(trace(line.engine, "p").find("RecvSECSProc 3.10 Unexpected message receive (-14)"),
              std::string::npos);
}

TEST(ContSECSTest, UnexpectedReplyGetsNoS9F7WithTheDefaultDevmode)
{
    Line line;
    ASSERT_TRUE(line.peer.send_message(from_host(1, 2, false, 0x00011235), {}, kWait));
    auto e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), -14);
    EXPECT_TRUE(line.peer.silent(1000));
}

TEST(ContSECSTest, PrimaryWithWBitIsTimedByT3)
{
    Line line;
    // answered in time: the reply closes the transaction, no expiry
    std::vector<uint8_t> s1f1 = header(1, 0x81, 1, 0x00010001);
    ASSERT_GE(line.engine.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, s1f1.data(), {0x01, 0x00}), 0);
    auto sent = line.peer.receive_message(kWait);
    ASSERT_TRUE(sent.has_value());
    EXPECT_TRUE(sent->header.rbit);
    EXPECT_TRUE(sent->header.wbit);
    EXPECT_EQ(sent->header.block_field(), 0x8000);
    EXPECT_EQ(sent->header.system, 0x00010001u);
    EXPECT_EQ(sent->body, (std::vector<uint8_t>{0x01, 0x00}));
    auto r = line.engine.result(kWait);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->rtn(), 0);
    EXPECT_EQ(cont_get16(r->head.header, 4), 0x8000);  // the block field sent
    EXPECT_EQ(XKSLoad(line.engine.acb()->xtx), 1);
    ASSERT_TRUE(line.peer.send_message(from_host(1, 2, false, 0x00010001), {}, kWait));
    auto e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->rtn(), 0);
    EXPECT_EQ(XKSLoad(line.engine.acb()->xtx), 0);

    // unanswered: event 83 naming it, and S9F9 to the peer
    std::vector<uint8_t> s1f3 = header(1, 0x81, 3, 0x00010002);
    ASSERT_GE(line.engine.put(XKS_REQ_DATA, 0, s1f3.data()), 0);
    ASSERT_TRUE(line.peer.receive_message(kWait).has_value());
    e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->req(), XKS_EV_T3);
    EXPECT_EQ(e->head.header[3], 3);
    EXPECT_EQ(cont_system(e->head.header), 0x00010002u);
    auto s9 = line.peer.receive_message(kWait);
    ASSERT_TRUE(s9.has_value());
    EXPECT_EQ(s9->header.function, 9);
    SecsHeader named = mhead(s9->body);
    EXPECT_EQ(named.function, 3);
    EXPECT_EQ(named.system, 0x00010002u);
    EXPECT_FALSE(line.engine.event(1500).has_value());  // one expiry, nothing more
    EXPECT_NE(trace(line.engine, "t").find("T3TIMEOUT"), std::string::npos);
}

TEST(ContSECSTest, FullTransactionTableStillSendsThePrimaryWithoutTimer)
{
    Line line("XTRANX=1\nDEVMODE=0x1900\n");
    for (uint32_t sys : {0x00010011u, 0x00010012u}) {
        std::vector<uint8_t> h = header(1, 0x81, 1, sys);
        ASSERT_GE(line.engine.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, h.data()), 0);
        auto sent = line.peer.receive_message(kWait);
        ASSERT_TRUE(sent.has_value());
        EXPECT_EQ(sent->header.system, sys);
        auto r = line.engine.result(kWait);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->rtn(), 0);
    }
    auto e = line.engine.event(kWait);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->req(), XKS_EV_T3);
    EXPECT_EQ(cont_system(e->head.header), 0x00010011u);
    EXPECT_FALSE(line.engine.event(2500).has_value());
    EXPECT_NE(trace(line.engine, "t").find("[ERROR] Transaction table overflow"), std::string::npos);
}

TEST(ContSECSTest, SendFailureIsTheResultAndClosesItsTransaction)
{
    Line line;
    // the peer never answers the bids: two bids of T2 each, then -989
    std::vector<uint8_t> h = header(1, 0x81, 1, 0x00010021);
    ASSERT_GE(line.engine.put(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, h.data()), 0);
    auto r = line.engine.result(4 * kWait);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->rtn(), XKS_E_RETRY);
    EXPECT_EQ(XKSLoad(line.engine.acb()->xtx), 0);
    EXPECT_NE(trace(line.engine, "t").find("RETRY_OVER"), std::string::npos);
    // no expiry for a message that never went out
    EXPECT_FALSE(line.engine.event(2000).has_value());
    // an unknown request is refused
    ASSERT_GE(line.engine.put(33, XKS_REQ_MODE_RESULT), 0);
    r = line.engine.result(kWait);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->rtn(), XKW_E_INVAL);
}

TEST(ContSECSTest, DataRequestWhileTheLineIsNotOpenGivesMinus42)
{
    TempDir dir("xkssecs42");
    std::ofstream(dir / "xks.ini") << "[XKS]\nSECSMODE=0x0\nDEVID=1\nQUEMODE=0xB0\nINTER0=20\nTRCPOUT=2\nTRCDIR="
                                   << dir.path() << "\n";
    XKQueueBlock r{}, s{}, c{};
    ASSERT_EQ(XKQSendOpen(&r, 0xB0, (dir / "r").c_str(), 4096, 16), 0);
    ASSERT_EQ(XKQSendOpen(&s, 0xB0, (dir / "s").c_str(), 4096, 16), 0);
    ASSERT_EQ(XKQSendOpen(&c, 0xB0, (dir / "c").c_str(), 64, 16), 0);
    auto* acb = static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb)));
    ASSERT_EQ(ContOpen(acb, 0, (dir / "xks.ini").c_str(), "XKS", &r, &s, &c), 0);

    std::vector<uint8_t> h = header(1, 0x81, 1, 0x00010031);
    std::vector<uint8_t> data = EngineRun::record(XKS_REQ_DATA, XKS_REQ_MODE_RESULT, 0, h.data(), {1, 2});
    std::vector<uint8_t> stop = EngineRun::record(XKS_REQ_TERMINATE, 0, 0, nullptr, {});
    ASSERT_GT(XKQSendPut(&s, 0, data.data(), int32_t(data.size())), 0);
    ASSERT_GT(XKQSendPut(&s, 0, stop.data(), int32_t(stop.size())), 0);
    // the line was never opened: the run serves the queue until request 127
    EXPECT_EQ(SendSECSProc(acb), 0);
    EXPECT_EQ(XKSLoad(acb->fexit), 1);

    uint8_t buf[XKS_REQ_RESULT_SIZE];
    ASSERT_GE(XKQRecvGet(&c, 0, buf, sizeof buf, nullptr), XKS_REQ_SIZE);
    XKSRequest res;
    std::memcpy(&res, buf, sizeof res);
    EXPECT_EQ(res.req, XKS_REQ_DATA);
    EXPECT_EQ(res.rtn, XKW_E_LENBYTES);
    EXPECT_EQ(XKSLoad(acb->xtx), 0);
    EXPECT_EQ(XKQRecvGet(&c, 0, buf, sizeof buf, nullptr), XKW_E_NOMORE);  // 127 gets no result

    ContClose(acb);
    XKSLibFreeConfig(acb);
    std::free(acb);
    XKQSendClose(&r);
    XKQSendClose(&s);
    XKQSendClose(&c);
}
