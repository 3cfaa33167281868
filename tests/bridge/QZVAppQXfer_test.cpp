// The bridge end to end: a host session on HSMS, the running bridge, and a
// PLC played by the test, either the shared-memory image or a MELSEC
// answering side on loopback. Each case watches what reaches the other
// side (PLC words, host messages with their system bytes) and the
// handshake devices, and runs on both PLC kinds where both apply.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "secs/XKSAcb.h"
#include "tests/support/BridgeRig.h"

namespace {

using Words = std::vector<uint16_t>;
using Body = std::vector<uint8_t>;

enum class PlcKind { Image, Melsec, Omron, Keyence };

const char* kind_name(PlcKind kind)
{
    static constexpr const char* names[] = {"Image", "Melsec", "Omron", "Keyence"};
    return names[int(kind)];
}
void PrintTo(PlcKind kind, std::ostream* out)
{
    *out << kind_name(kind);
}

constexpr int kWait = 3000;
constexpr int32_t kS2F41W = 0x8229, kS2F42 = 0x022A, kS2F0 = 0x0200, kS6F11W = 0x860B;
constexpr const char* kBusy = "Last sending messeage to PLC was not completed.";

// Items live from 0x200 on; SPARE is read but never written and SOURCE has
// no PLC field, so it keeps the value of its line.
constexpr const char* kSml = R"(S2F41 H W
<L[3]
  <A[1..20]RCMD                 // 0xA8,0,0x200,10
  <U4[1]PORTNO                  // 0xA8,0,0x20A,2
  <U2[1]SPARE                   // 0xA8,0x20C,0,1
>
S2F42 E
<U4[1]RESULT 0                  // 0xA8,0x220,0,2
S6F11 E W
<L[4]
  <U4[1]DATAID 0                // 0xA8,0x300,0,2
  <U4[1]CEID 0                  // 0xA8,0x302,0,2
  <A[0..20]LOTID                // 0xA8,0x304,0,10
  <A[0..10]SOURCE BRIDGE
>
)";

RigLines& lines()
{
    return RigLines::instance();
}

int32_t pc_request_state()
{
    return XKSLoad(QZVQGetContext()->pcreq);
}

class BridgeXferBase : public ::testing::Test {
protected:
    // A running bridge, the host selected and the PLC running; more [PLC]
    // and [SECSCOMMON] lines, and what the PLC holds before the start.
    void start(PlcKind kind, const std::string& plc_keys = "", const std::string& secs_keys = "",
               const std::function<void(BridgePlc&)>& before = {})
    {
        if (kind == PlcKind::Image)
            plc_ = std::make_unique<ImagePlc>();
        else
            plc_ = std::make_unique<NetPlc>(RigFamily(int(kind) - int(PlcKind::Melsec)));
        ASSERT_TRUE(plc_->ready());
        if (before)
            before(*plc_);
        RigSetup setup{.sml = plc_->definitions(kSml)};
        setup.plc_keys += plc_keys;
        setup.secs_keys += secs_keys;
        rig_ = std::make_unique<BridgeRig>(*plc_, setup);
        ASSERT_EQ(rig_->start(), 0) << "step " << rig_->step() << "\n" << lines().all();
        ASSERT_TRUE(lines().wait("PLC connected", 1, kWait)) << lines().all();
        ASSERT_TRUE(rig_->open_host()) << lines().all();
        ASSERT_TRUE(RigWait([&] { return plc().secs_status() != 0; }, kWait)) << lines().all();
        plc().set_plc_status(1);
        ASSERT_TRUE(lines().wait("PLC now started", 1, kWait)) << lines().all();
        // Its handshake devices read back.
        ASSERT_TRUE(RigWait([] { return XKSLoad(QZVQGetContext()->resync) == 0; }, kWait)) << lines().all();
    }
    void TearDown() override
    {
        rig_.reset();
        plc_.reset();
    }

    BridgePlc& plc() { return *plc_; }
    RigSession& host() { return rig_->host; }

    int32_t send_s2f41(const std::string& rcmd, uint32_t portno)
    {
        return host().send(kS2F41W, RigBody({RigList(3), RigAscii(rcmd), RigU4(portno), RigU2(7)}));
    }
    // A host S2F41 reaches the PLC with its command, and the PLC completes
    // the handshake until the bridge takes the next message.
    void transfer_lands(const std::string& rcmd)
    {
        int32_t xid = send_s2f41(rcmd, 1);
        ASSERT_GT(xid, 0);
        ASSERT_TRUE(RigWait([&] { return plc().pc_req() != 0; }, kWait)) << lines().all();
        Words inform = plc().secs_inform();
        EXPECT_EQ(uint32_t(inform[2]) << 16 | inform[3], uint32_t(xid));
        EXPECT_EQ(plc().words_text(plc().items(0x200, int32_t(rcmd.size() + 1) / 2)), rcmd);
        acknowledge();
    }
    // The PLC side of the host-to-PLC handshake after PC Req rose, until
    // the bridge has seen the acknowledge drop (and may hand over the
    // next message).
    void acknowledge()
    {
        plc().set_plc_ack(1);
        ASSERT_TRUE(RigWait([&] { return plc().pc_req() == 0; }, kWait));
        plc().set_plc_ack(0);
        ASSERT_TRUE(RigWait([] { return pc_request_state() != QZVQ_PCREQ_OFF; }, kWait));
    }
    // Whether the message with these system bytes is handed over: PC Req
    // up with them in the SECS information block (within the wait).
    bool handed(uint32_t xid)
    {
        return RigWait(
            [&] {
                Words inform = plc().secs_inform();
                return plc().pc_req() != 0 && (uint32_t(inform[2]) << 16 | inform[3]) == xid;
            },
            kWait);
    }
    // Raise the PLC request and take it back once PC Ack answered.
    void request_served()
    {
        plc().set_plc_req(1);
        ASSERT_TRUE(RigWait([&] { return plc().pc_ack() != 0; }, kWait)) << lines().all();
        plc().set_plc_req(0);
        ASSERT_TRUE(RigWait([&] { return plc().pc_ack() == 0; }, kWait));
    }

    std::unique_ptr<BridgePlc> plc_;
    std::unique_ptr<BridgeRig> rig_;
};

class BridgeXferTest : public BridgeXferBase, public ::testing::WithParamInterface<PlcKind> {
protected:
    void SetUp() override { start(GetParam()); }
};

TEST_P(BridgeXferTest, HostMessagesWaitTheirTurnAndLandWhole)
{
    plc().put_items(0x200, Words(13, 0xEEEE));
    plc().put_items(0, Words(2, 0xEEEE));
    int32_t xid = send_s2f41("RESTART-ALL", 0x00010002);
    ASSERT_GT(xid, 0);
    ASSERT_TRUE(handed(uint32_t(xid)));

    Words inform = plc().secs_inform();
    EXPECT_EQ(Words(inform.begin(), inform.begin() + 4),
              (Words{uint16_t(kS2F41W), 1, uint16_t(xid >> 16), uint16_t(xid)}));
    EXPECT_EQ(RigWordsText(&inform[4], 16), "S2F41");
    // RCMD fills its ten words, PORTNO its two (the lower word first, on
    // Omron the higher); SPARE has no write address and lands nowhere.
    auto expected = [&](const std::string& rcmd, uint32_t portno) {
        Words items(13, 0);
        Words text = plc().text_words(rcmd, 10), port = plc().u4_words(portno);
        std::copy(text.begin(), text.end(), items.begin());
        std::copy(port.begin(), port.end(), items.begin() + 10);
        items[12] = 0xEEEE;
        return items;
    };
    EXPECT_EQ(plc().items(0x200, 13), expected("RESTART-ALL", 0x00010002));
    EXPECT_EQ(plc().items(0, 2), Words(2, 0xEEEE));

    // Messages that come while the PLC is busy wait in arrival order, each
    // with its own block; a shorter text leaves nothing of the longer one.
    int32_t second = send_s2f41("STOP", 2), third = send_s2f41("GO", 3);
    ASSERT_GT(second, 0);
    ASSERT_GT(third, 0);
    EXPECT_TRUE(RigWait([] { return QZVQQueueDepth() == 3; }, kWait));
    EXPECT_TRUE(handed(uint32_t(xid)));
    acknowledge();
    ASSERT_TRUE(handed(uint32_t(second)));
    EXPECT_EQ(plc().items(0x200, 13), expected("STOP", 2));
    acknowledge();
    ASSERT_TRUE(handed(uint32_t(third)));
    EXPECT_EQ(plc().items(0x200, 13), expected("GO", 3));
    acknowledge();
    EXPECT_TRUE(RigWait([] { return QZVQQueueDepth() == 0; }, kWait));
    EXPECT_EQ(lines().count(kBusy), 0);
    EXPECT_EQ(host().messages(kS2F0).size(), 0u);
}

TEST_P(BridgeXferTest, PlcRequestIsSentOnceWithItsItemValues)
{
    Words values = plc().u4_words(0x00010002), ceid = plc().u4_words(100);
    values.insert(values.end(), ceid.begin(), ceid.end());
    plc().put_items(0x300, values);
    plc().put_items(0x304, plc().text_words("LOT-42", 10));
    plc().put_plc_inform(uint16_t(kS6F11W), 1, 0x00123456, "S6F11");
    int acks = lines().count("PLC  PC Ack");
    plc().set_plc_req(1);
    ASSERT_TRUE(host().wait(kS6F11W, 1, kWait)) << lines().all();
    ASSERT_TRUE(RigWait([&] { return plc().pc_ack() != 0; }, kWait));

    // The request stays up for several polls: nothing more is sent and PC
    // Ack is written once.
    int polls = lines().count("PLC  PLCReq");
    ASSERT_TRUE(lines().wait("PLC  PLCReq", polls + 5, kWait));
    EXPECT_EQ(lines().count("PLC  PC Ack"), acks + 1);
    std::vector<RigMessage> sent = host().messages(kS6F11W);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].devid, 1);
    EXPECT_EQ(sent[0].body, RigBody({RigList(4), RigU4(0x00010002), RigU4(100), RigAscii("LOT-42"),
                                     RigAscii("BRIDGE")}));

    plc().set_plc_req(0);
    ASSERT_TRUE(RigWait([&] { return plc().pc_ack() == 0; }, kWait));
    // A PLC on the network holds the new value before the bridge has its
    // reply and logs the write.
    EXPECT_TRUE(lines().wait("PLC  PC Ack", acks + 2, kWait));
    EXPECT_EQ(lines().count("PLC  PC Ack"), acks + 2);
    EXPECT_EQ(host().messages(kS6F11W).size(), 1u);
}

TEST_P(BridgeXferTest, PlcReplyCarriesTheSystemBytesOfTheHostPrimary)
{
    int32_t xid = send_s2f41("START", 1);
    ASSERT_GT(xid, 0);
    ASSERT_TRUE(RigWait([&] { return plc().pc_req() != 0; }, kWait));
    Words inform = plc().secs_inform();
    acknowledge();

    plc().put_items(0x220, plc().u4_words(3));
    plc().put_plc_inform(uint16_t(kS2F42), inform[1], uint32_t(inform[2]) << 16 | inform[3], "S2F42");
    request_served();
    ASSERT_TRUE(host().wait(kS2F42, 1, kWait)) << lines().all();
    RigMessage reply = host().messages(kS2F42)[0];
    EXPECT_EQ(reply.xid, uint32_t(xid));
    EXPECT_EQ(reply.body, RigU4(3));
}

TEST_P(BridgeXferTest, PrimaryWhilePlcNotRunningGetsFunctionZero)
{
    plc().set_plc_status(0);
    ASSERT_TRUE(lines().wait("PLC not running", 1, kWait));
    int32_t xid = send_s2f41("START", 1);
    ASSERT_GT(xid, 0);
    ASSERT_TRUE(host().wait(kS2F0, 1, kWait)) << lines().all();
    RigMessage abort = host().messages(kS2F0)[0];
    EXPECT_EQ(abort.xid, uint32_t(xid));
    EXPECT_EQ(abort.devid, 1);
    EXPECT_TRUE(abort.body.empty());
    EXPECT_EQ(lines().count("PLC not connect or not running now."), 1);
    EXPECT_EQ(plc().pc_req(), 0);
    EXPECT_EQ(pc_request_state(), 0);
}

TEST_P(BridgeXferTest, RequestWithoutAKnownMessageIsAcknowledgedWithoutSending)
{
    plc().put_plc_inform(uint16_t(kS6F11W), 1, 0, "S6F99");
    request_served();
    EXPECT_EQ(lines().count("No PLC message [S6F99] found in message definition"), 1) << lines().all();
    plc().put_plc_inform(uint16_t(kS6F11W), 1, 0, "");
    request_served();
    EXPECT_EQ(lines().count("PLC message name error"), 1) << lines().all();
    EXPECT_EQ(host().received(), 0);
}

TEST_P(BridgeXferTest, SecsStatusFollowsTheHostLinkAndTransfersResume)
{
    EXPECT_EQ(lines().count("SECS ready now"), 1);
    host().close();
    ASSERT_TRUE(RigWait([&] { return plc().secs_status() == 0; }, kWait));
    EXPECT_TRUE(lines().wait("SECS not ready", 1, kWait));

    ASSERT_TRUE(rig_->open_host()) << lines().all();
    ASSERT_TRUE(RigWait([&] { return plc().secs_status() != 0; }, kWait));
    EXPECT_TRUE(lines().wait("SECS ready now", 2, kWait));
    transfer_lands("START");
}

// The queue and the handshake time-outs on the shared-memory image.
class BridgeQueueTest : public BridgeXferBase {};

TEST_F(BridgeQueueTest, FullQueueAnswersFunctionZero)
{
    start(PlcKind::Image, "PLCQUEUE=1\n");
    int32_t first = send_s2f41("A", 1), second = send_s2f41("B", 2), third = send_s2f41("C", 3);
    ASSERT_TRUE(host().wait(kS2F0, 1, kWait)) << lines().all();
    EXPECT_EQ(host().messages(kS2F0)[0].xid, uint32_t(third));
    EXPECT_EQ(lines().count(kBusy), 1);
    EXPECT_TRUE(handed(uint32_t(first)));
    acknowledge();
    EXPECT_TRUE(handed(uint32_t(second)));
}

// A W-bit primary that matches no definition (here its body is not the
// defined list) is answered and logged, not left to the host's T3.
TEST_F(BridgeQueueTest, UnmatchedPrimaryIsAnswered)
{
    start(PlcKind::Image);
    int32_t xid = host().send(kS2F41W, RigBody({RigU2(7)}));
    ASSERT_TRUE(host().wait(kS2F0, 1, kWait)) << lines().all();
    EXPECT_EQ(host().messages(kS2F0)[0].xid, uint32_t(xid));
    char line[96];
    std::snprintf(line, sizeof line, "[S2F41] xid=0x%08X answered with S2F0: no definition matches it", unsigned(xid));
    EXPECT_EQ(lines().count(line), 1) << lines().all();
    EXPECT_EQ(plc().pc_req(), 0);
}

TEST_F(BridgeQueueTest, HandshakesGiveUpAfterTheirTimeOut)
{
    start(PlcKind::Image, "PLCHSTO=300\n");
    // Never acknowledged: answered with function 0, PC Req taken back,
    // and the next message goes.
    int32_t xid = send_s2f41("A", 1), next = send_s2f41("B", 2);
    ASSERT_TRUE(host().wait(kS2F0, 1, kWait)) << lines().all();
    EXPECT_EQ(host().messages(kS2F0)[0].xid, uint32_t(xid));
    EXPECT_EQ(lines().count("did not acknowledge it within 300 ms"), 1);
    EXPECT_TRUE(handed(uint32_t(next)));
    acknowledge();

    // A PLC request that never drops: sent once, PC Ack taken back, not
    // served again until the request has dropped.
    plc().put_plc_inform(uint16_t(kS6F11W), 1, 0, "S6F11");
    plc().set_plc_req(1);
    ASSERT_TRUE(RigWait([&] { return plc().pc_ack() != 0; }, kWait));
    ASSERT_TRUE(lines().wait("PLC did not take back its request", 1, kWait)) << lines().all();
    EXPECT_EQ(plc().pc_ack(), 0);
    plc().set_plc_req(0);
    ASSERT_TRUE(RigWait([] { return XKSLoad(QZVQGetContext()->plcreq) == QZVQ_PLCREQ_IDLE; }, kWait));
    EXPECT_EQ(host().messages(kS6F11W).size(), 1u);
    request_served();
    EXPECT_TRUE(host().wait(kS6F11W, 2, kWait));
}

TEST_F(BridgeQueueTest, BitsLeftByAnEarlierRunAreTakenBack)
{
    start(PlcKind::Image, "", "", [](BridgePlc& p) {
        p.set_point(1, p.dev.pc_ack, 1);
        p.set_point(1, p.dev.pc_req, 1);
    });
    EXPECT_TRUE(RigWait([&] { return plc().pc_ack() == 0 && plc().pc_req() == 0; }, kWait));
    transfer_lands("START");
    request_served();
}

// A PLC primary the host never answers: logged with its system bytes (as
// shown when it went out, top bit and all) and handed back to the PLC as
// function 0.
TEST_F(BridgeQueueTest, PlcPrimaryWithoutReplyIsReportedToThePlc)
{
    start(PlcKind::Image, "PLCNOREPLY=1\n", "T3=1\nSRCID0=0x8001\n");
    plc().put_plc_inform(uint16_t(kS6F11W), 1, 0, "S6F11");
    request_served();
    ASSERT_TRUE(host().wait(kS6F11W, 1, kWait));
    uint32_t xid = host().messages(kS6F11W)[0].xid;
    EXPECT_EQ(xid >> 16, 0x8001u);
    char shown[64];
    std::snprintf(shown, sizeof shown, "S6F11    XID:0x%04x.%04x", xid >> 16, xid & 0xFFFF);
    EXPECT_EQ(lines().count(shown), 1) << lines().all();
    EXPECT_EQ(lines().count("send error"), 0) << lines().all();

    ASSERT_TRUE(handed(xid)) << lines().all();
    std::snprintf(shown, sizeof shown, "[S6F11] xid=0x%08X got no reply: T3 time-out", xid);
    EXPECT_EQ(lines().count(shown), 1) << lines().all();
    Words inform = plc().secs_inform();
    EXPECT_EQ(inform[0], 0x0600);
    EXPECT_EQ(RigWordsText(&inform[4], 16), "S6F0");
    acknowledge();
}

INSTANTIATE_TEST_SUITE_P(Plc, BridgeXferTest,
                         ::testing::Values(PlcKind::Image, PlcKind::Melsec, PlcKind::Omron, PlcKind::Keyence),
                         [](const auto& info) { return std::string(kind_name(info.param)); });

// Only a networked PLC can go away and come back.
class BridgeNetPlcTest : public BridgeXferBase, public ::testing::WithParamInterface<PlcKind> {
protected:
    void SetUp() override { start(GetParam()); }
};

TEST_P(BridgeNetPlcTest, PlcConnectionLostAndBackWithoutRestart)
{
    auto& net = static_cast<NetPlc&>(plc());
    ASSERT_TRUE(net.drop());
    ASSERT_TRUE(lines().wait("PLC not connected", 1, kWait)) << lines().all();
    // Meanwhile a primary is answered with function 0.
    int32_t xid = send_s2f41("START", 1);
    ASSERT_TRUE(host().wait(kS2F0, 1, kWait)) << lines().all();
    EXPECT_EQ(host().messages(kS2F0)[0].xid, uint32_t(xid));

    net.resume();
    ASSERT_TRUE(lines().wait("PLC connected", 2, kWait)) << lines().all();
    ASSERT_TRUE(lines().wait("PLC now started", 2, kWait)) << lines().all();
    EXPECT_EQ(net.accepted(), 2);
    transfer_lands("RESUME");
}

// The message being handed over when the PLC goes stays and is written
// again in full once it is back; those waiting behind it are answered.
TEST_P(BridgeNetPlcTest, LostPlcKeepsTheHeadAndAnswersTheWaiting)
{
    auto& net = static_cast<NetPlc&>(plc());
    int32_t first = send_s2f41("A", 1), second = send_s2f41("B", 2);
    ASSERT_TRUE(handed(uint32_t(first)));
    ASSERT_TRUE(RigWait([] { return QZVQQueueDepth() == 2; }, kWait));
    ASSERT_TRUE(net.drop());
    ASSERT_TRUE(host().wait(kS2F0, 1, kWait)) << lines().all();
    EXPECT_EQ(host().messages(kS2F0)[0].xid, uint32_t(second));
    // A restarted PLC has lost the message.
    plc().write(2, plc().dev.secs_inform, Words(QZVQ_INFORM_WORDS, 0).data(), QZVQ_INFORM_WORDS);
    plc().set_point(1, plc().dev.pc_req, 0);

    net.resume();
    EXPECT_TRUE(handed(uint32_t(first))) << lines().all();
    acknowledge();

    // A PLC that kept its memory still holds the message: it is not
    // written a second time.
    int32_t third = send_s2f41("C", 3);
    ASSERT_TRUE(handed(uint32_t(third)));
    int written = lines().count("PLC << SECS Message");
    int started = lines().count("PLC now started");
    ASSERT_TRUE(net.drop());
    net.resume();
    ASSERT_TRUE(lines().wait("PLC now started", started + 1, kWait)) << lines().all();
    ASSERT_TRUE(RigWait([] { return XKSLoad(QZVQGetContext()->resync) == 0; }, kWait));
    EXPECT_EQ(lines().count("PLC << SECS Message"), written);
    acknowledge();
    EXPECT_EQ(host().messages(kS2F0).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Plc, BridgeNetPlcTest, ::testing::Values(PlcKind::Melsec, PlcKind::Omron, PlcKind::Keyence),
                         [](const auto& info) { return std::string(kind_name(info.param)); });

}  // namespace
