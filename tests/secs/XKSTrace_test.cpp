// The communication trace: header and block lines, message entries in the
// trace files, item lines, definition names, the callback with its level
// filter and the trace server connection.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../support/TempDir.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWSleep.h"
#include "secs/XKSLib.h"
#include "secs/XKSMDMssg.h"
#include "secs/XKSTrace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Host-order header; for SECS-I, b45 is the E-bit and block number.
Bytes header(uint16_t dev, uint8_t stream, uint8_t function, uint16_t b45, uint16_t hi, uint16_t lo)
{
    Bytes h(10, 0);
    std::memcpy(h.data(), &dev, 2);
    h[2] = stream;
    h[3] = function;
    std::memcpy(h.data() + 4, &b45, 2);
    std::memcpy(h.data() + 6, &hi, 2);
    std::memcpy(h.data() + 8, &lo, 2);
    return h;
}
Bytes hsms(uint16_t dev, uint8_t stream, uint8_t function, uint8_t stype, uint16_t lo)
{
    return header(dev, stream, function, static_cast<uint16_t>(stype << 8), 0, lo);  // PType 0
}

struct Collected {
    std::mutex lock;
    std::vector<int32_t> kinds;
    Lines texts;
};
void collect(const XKSTraceRecord* r, void* user)
{
    auto* c = static_cast<Collected*>(user);
    std::lock_guard<std::mutex> g(c->lock);
    c->kinds.push_back(r->kind);
    c->texts.emplace_back(r->text);
}

class TraceTest : public ::testing::Test {
protected:
    ~TraceTest() override
    {
        XKSTraceStreamClose(acb_.get());
        for (XKWTrace* t : {&ct_, &et_, &pt_})
            XKWTraceClose(t);
        XKSMDFree(&acb_->md[1]);
        XKSLibFreeConfig(acb_.get());
        XKWLockDelete(&lock_);
    }
    // Load the [XKS] section and open the three traces, prefix "+ 3:RX:".
    void Load(const std::string& ini)
    {
        std::ofstream(dir_ / "xks.ini") << "[XKS]\nTRCTATTR=0\n" << ini;
        ASSERT_EQ(XKSLibReadConfig(acb_.get(), (dir_ / "xks.ini").c_str(), "XKS"), 0);
        for (auto [t, name] : {std::pair{&ct_, "c"}, {&et_, "e"}, {&pt_, "p"}}) {
            ASSERT_EQ(XKWTraceOpen(t, 0xD000, (dir_ / name).c_str(), nullptr, 0), 0);
            XKWTraceSetAttr(t, 0x2, 0x108, 9, -1);
        }
        acb_->ctrace = &ct_;
        acb_->etrace = &et_;
        acb_->ptrace = &pt_;
        XKWLockInit(&lock_);
        acb_->tlock = &lock_;
        acb_->trcsd = 7;
        std::strcpy(acb_->ahost, "127.0.0.1");
    }
    Lines Read(const char* name) const
    {
        std::ifstream in(dir_ / name);
        Lines out;
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }
    std::string Header(int32_t kind, const Bytes& h, int32_t length, const char* keep = "")
    {
        char text[512];
        std::strcpy(text, keep);
        int32_t n = XKSTraceHeaderText(acb_.get(), kind, h.empty() ? nullptr : h.data(), text, sizeof text, length);
        EXPECT_EQ(n, static_cast<int32_t>(std::strlen(text)));
        return text;
    }
    void Trace(int32_t kind, const Bytes& h, const Bytes& body, int32_t length, int32_t level)
    {
        ASSERT_EQ(XKSTraceMessage(acb_.get(), kind, h.empty() ? nullptr : h.data(), body.data(), length, level, "t", 1),
                  0);
    }
    void Definitions(const std::string& sml)
    {
        std::ofstream(dir_ / "d.sml") << sml;
        std::snprintf(acb_->cfg.mdmssg, sizeof acb_->cfg.mdmssg, "%s", (dir_ / "d.sml").c_str());
        ASSERT_EQ(XKSMDLoadAcb(acb_.get(), 1), 0);
    }
    void Listen(Collected* c) { acb_->tcb = collect, acb_->tcbarg = c; }

    TempDir dir_{"xkstrc"};
    std::unique_ptr<XKSAcb> acb_ = std::make_unique<XKSAcb>();
    XKWTrace ct_{}, et_{}, pt_{};
    XKWLock lock_{};
};

const Bytes s1f13 = hsms(0, 0x80 | 1, 13, 0, 5);

TEST_F(TraceTest, HsmsHeaderLines)
{
    Load("SECSMODE=1\nPORT=5000\nHOST=10.1.2.3\n");
    EXPECT_EQ(Header(XKS_TK_RECEIVE, s1f13, 12),
              "RECEIVE     LEN:  12 DEV:0x0000 W S1F13    P:0 S:0 SBT:0x0000.0005 :    7");
    EXPECT_EQ(Header(XKS_TK_SEND, header(0x8001, 6, 11, 0, 0x12, 0x3456), 10000),
              "SEND        L: 10000 DEV:0x8001   S6F11    P:0 S:0 SBT:0x0012.3456 :    7");
    EXPECT_EQ(Header(XKS_TK_SEND | XKS_TK_KEEPTEXT, s1f13, 12, "EST").substr(66), " :    7: EST");
    EXPECT_EQ(Header(XKS_TK_UNEXP_MSSG | XKS_TK_KEEPTEXT, s1f13, 12, "EST").substr(0, 32),
              "[ERROR] UNEXP_MSSG  LEN:  12 DEV");
    EXPECT_EQ(Header(XKS_TK_RECEIVE, header(0xFFFF, 0, 1, 0x0200, 0x8000, 1), 0).substr(34),
              "S0F1     P:0 S:2 SBT:0x8000.0001 :    7: Select   Response (0xffff) Stat=1");
    EXPECT_EQ(Header(XKS_TK_SEND, hsms(0xFFFF, 0, 0, 5, 2), 0).substr(73), ": LinkTest Request  (0xffff)");
    EXPECT_EQ(Header(XKS_TK_NOTCONNECT, hsms(0, 0, 0, 1, 0), 0).substr(0, 37), "NOTCONNECT [127.0.0.1      :5000] LEN");
    EXPECT_EQ(Header(XKS_TK_ACCEPT, {}, 0), "ACCEPT     [127.0.0.1      :  5000:    7]  OK.");
    // Known error results replace the kind or name the timer.
    EXPECT_EQ(Header(XKS_TK_SEND, s1f13, -983).substr(0, 20), "SEND        LEN:   0");
    EXPECT_EQ(Header(XKS_TK_SEND, s1f13, -983).substr(66), " :    7: T3TIMEOUT");
    EXPECT_EQ(Header(XKS_TK_CONTROL, {}, -987), "CONTROL    [127.0.0.1      :  5000:    7]: T7TIMEOUT");
    EXPECT_EQ(Header(XKS_TK_RECEIVE, s1f13, -19).substr(0, 29), "[ERROR] ILL_DEVICE  LEN:   0 ");
    acb_->xeps0 = 1, acb_->xeps1 = 2, acb_->xeps2 = 3;
    errno = ECONNREFUSED;
    EXPECT_EQ(Header(XKS_TK_SEND, s1f13, -10061),
              "[ERROR] SEND       [127.0.0.1      :  5000:    7] (-238.-10061.-111) .. on 1,2,3");
    // Shutdown and terminate lines end with blank lines on request.
    EXPECT_EQ(Header(XKS_TK_SHUTDOWN | XKS_TK_SHUTLINES, {}, 0).substr(41), "  OK.\n\n\n");
    EXPECT_EQ(Header(XKS_TK_SELECT | XKS_TK_SHUTLINES, {}, 0).substr(41), "  OK.");
    acb_->cfg.trctattr = 0x8000;
    EXPECT_EQ(Header(XKS_TK_TERMINATE | XKS_TK_SHUTLINES, {}, 0).substr(41), "  OK.\r\n\r\n\r\n");
}

TEST_F(TraceTest, SecsIHeaderAndBlockLines)
{
    Load("SECSMODE=0\nSDEVICE=/dev/ttyS0\n");
    // 600 bytes need three blocks; the transport has not numbered them yet.
    EXPECT_EQ(Header(XKS_TK_SEND, header(1, 0x86, 11, 0, 0, 9), 600),
              "SEND        LEN: 600 DEV:0x0001 W S6F11    E BLK:    3 SBT:0x0000.0009 :    7");
    EXPECT_EQ(Header(XKS_TK_SEND, header(1, 6, 11, 0, 0, 9), 244).substr(43, 12), "E BLK:    0 ");
    EXPECT_EQ(Header(XKS_TK_SEND, header(1, 6, 11, 0, 0, 9), 245).substr(43, 12), "E BLK:    2 ");
    EXPECT_EQ(Header(XKS_TK_RECEIVE, header(1, 6, 11, 0x8003, 0, 9), 300).substr(43, 12), "E BLK:    3 ");
    acb_->cfg.devmode = 0x4;
    EXPECT_EQ(Header(XKS_TK_SEND, header(1, 6, 11, 0, 0, 9), 10).substr(43, 12), "E BLK:    1 ");
    EXPECT_EQ(Header(XKS_TK_RETRY_OVER, {}, -989), "[ERROR] RETRY_OVER [/dev/ttyS0            :    7]: RETRY_OVER");

    char t[256];
    const uint8_t enq = 5, len = 12;
    XKSTraceBlockText(acb_.get(), 2, &enq, t, sizeof t);
    EXPECT_STREQ(t, "Send    :05:ENQ");
    XKSTraceBlockText(acb_.get(), 0x11, &len, t, sizeof t);
    EXPECT_STREQ(t, "Receive :0c:LEN=  12");
    const uint8_t block[] = {12, 0x80, 0x01, 0x81, 0x0D, 0x80, 0x01, 0, 0, 0, 5, 0x21, 0, 0x01, 0x37};
    EXPECT_EQ(XKSTraceBlockText(acb_.get(), 0x21, block, t, sizeof t), 77);
    EXPECT_STREQ(t, "Receive (0c:LEN=  12)    0x8001   0x810d   0x8001          0x0000.0005:0x0137");
    // A block too short for a header is read no further than its checksum.
    const uint8_t runt[] = {2, 0xAA, 0xBB, 0x01, 0x02};
    XKSTraceBlockText(acb_.get(), 0x21, runt, t, sizeof t);
    EXPECT_STREQ(t, "Receive (02:LEN=   2)    0xaabb   0x0000   0x0000          0x0000.0000:0x0102");
}

TEST_F(TraceTest, MessageEntryWritesHeaderItemsInAngleNotationAndDumps)
{
    Load("SECSMODE=1\nTRCTTYPE=0x23\n");
    // L[2] { L[0], U1 0 } and then a list with text.
    Trace(XKS_TK_RECEIVE, s1f13, {0x01, 0x02, 0x01, 0x00, 0xA5, 0x01, 0x00}, 7, 2);
    Lines want = {"+ 2:RX:RECEIVE     LEN:   7 DEV:0x0000 W S1F13    P:0 S:0 SBT:0x0000.0005 :    7",
                  "- 5:RX:  <L[2]", "- 5:RX:    <L[0]", "- 5:RX:    >", "- 5:RX:    <U1[1] 0>", "- 5:RX:  >",
                  "- 4:RX:  Head  [  0] 00 00 81 0d 00 00 00 00  00 05                  :..........       ",
                  "- 6:RX:  Data  [  0] 01 02 01 00 a5 01 00                            :.......          "};
    EXPECT_EQ(Read("c"), want);
    EXPECT_TRUE(Read("e").empty());
}

TEST_F(TraceTest, NestedListsCloseInCommaNotationWithoutIndentation)
{
    Load("TRCTTYPE=0x441\n");
    // L[2] { L[2] { U1 1, U1 2 }, U1 3 }, U1 4
    const uint8_t body[] = {0x01, 0x02, 0x01, 0x02, 0xA5, 0x01, 1, 0xA5, 0x01, 2, 0xA5, 0x01, 3, 0xA5, 0x01, 4};
    EXPECT_EQ(XKSTraceList(acb_.get(), 0, nullptr, body, sizeof body, 4, 51, "RX", nullptr, "t", 1), 0);
    Lines want = {"- 4:RX:<L,2",    "- 4:RX:  <L,2",    "- 4:RX:    U1[1]=1", "- 4:RX:    U1[1]=2",
                  "- 4:RX:  >",     "- 4:RX:  U1[1]=3", "- 4:RX:>",           "- 4:RX:U1[1]=4"};
    EXPECT_EQ(Read("c"), want);
    acb_->cfg.trcttype = 0x01;  // bracket notation: no closing lines
    XKSTraceList(acb_.get(), 0, nullptr, body, 7, 4, 51, "RX", nullptr, "t", 1);
    EXPECT_EQ(Read("c").size(), want.size() + 3);
}

TEST_F(TraceTest, StructureErrorEndsTheItemLinesAndGoesToTheEntryLevel)
{
    Load("SECSMODE=1\nTRCTTYPE=0x21\n");
    // L[2] { U1 9, U1 with no length bytes }
    Bytes body = {0x01, 0x02, 0xA5, 0x01, 0x09, 0xA4, 0x00};
    Trace(XKS_TK_RECEIVE, s1f13, body, 7, 2);
    Lines c = Read("c");
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[2], "- 5:RX:    <U1[1] 9>");
    EXPECT_EQ(c[3], "- 2:RX:MESSAGE STRUCTURE ERROR (-42) [Length byte size = 0]  form=051 #item=0");
    EXPECT_EQ(c[4], "- 5:RX:  >");
    EXPECT_EQ(XKSTraceList(acb_.get(), 0, nullptr, body.data(), 7, 2, 51, "RX", nullptr, "t", 1), -42);
    EXPECT_EQ(Read("c")[7].substr(0, 31), "- 1:RX:MESSAGE STRUCTURE ERROR ");  // never below 1
}

TEST_F(TraceTest, FailuresAndErrorKindsAreCopiedToTheErrorTrace)
{
    Load("SECSMODE=1\nTRCTTYPE=0x3\nPORT=5000\n");
    Trace(XKS_TK_SEND, s1f13, {}, -983, 3);
    Trace(XKS_TK_T6TIMEOUT, {}, {}, 0, 3);
    Trace(XKS_TK_SELECT, {}, {}, 0, 3);
    Trace(XKS_TK_CONNECT, {}, {}, -10061, 3);
    Trace(XKS_TK_SHUTDOWN, {}, {}, 0, 3);
    Lines c = Read("c"), e = Read("e");
    ASSERT_EQ(c.size(), 8u);
    EXPECT_EQ(c[0].substr(0, 12), "+ 3:SX:SEND ");
    EXPECT_EQ(c[1], "+ 3:CT:[ERROR] T6TIMEOUT  [127.0.0.1      :  5000:    7]  OK.");
    EXPECT_EQ(c[2], "+ 3:CT:SELECT     [127.0.0.1      :  5000:    7]  OK.");
    EXPECT_EQ(c[3].substr(0, 24), ": 3:CT:[ERROR] CONNECT  ");
    EXPECT_EQ(c[4].substr(0, 16), ": 3:CT:SHUTDOWN ");
    EXPECT_EQ(c[5] + c[6] + c[7], "");
    EXPECT_EQ(e, (Lines{c[0], c[1], c[3]}));
}

TEST_F(TraceTest, LinktestLevelsAndProcessTraceEntries)
{
    Load("SECSMODE=1\nTRCTTYPE=0x0803\n");
    Trace(XKS_TK_RECEIVE, hsms(0xFFFF, 0, 0, 6, 1), {}, 0, 2);
    Trace(XKS_TK_RECEIVE, hsms(0xFFFF, 0, 0, 1, 2), {}, 0, 2);
    // The process trace shows only items, one level below the entry.
    Trace(XKS_TK_SEND | XKS_TK_PROCESS, s1f13, {0xA5, 0x01, 0x07}, 3, 2);
    Trace(XKS_TK_SEND | XKS_TK_PROCESS, s1f13, {}, -10054, 2);
    Lines c = Read("c"), p = Read("p");
    ASSERT_EQ(c.size(), 4u);  // each with its header dump
    EXPECT_EQ(c[0].substr(0, 4), "+ 7:");
    EXPECT_EQ(c[2].substr(0, 4), "+ 2:");
    EXPECT_TRUE(Read("e").empty());
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[1], "- 3:SX:  U1[1]=7");
    EXPECT_EQ(p[2].substr(0, 20), "+ 2:SX:[ERROR] SEND ");
}

TEST_F(TraceTest, DefinitionsNameTheMessageAndItsItemsForASnapshotCopy)
{
    Load("SECSMODE=1\nTRCTTYPE=0x0881\n");
    Definitions("S1F2_INFO E\n<L[2]\n<A[0..20]MDLN\n<A[0..20]SOFTREV\n>\n");
    auto copy = std::make_unique<XKSAcb>(*acb_);
    copy->self = acb_.get();
    std::memset(&copy->md, 0, sizeof copy->md);
    Bytes body = {0x01, 0x02, 0x41, 0x01, 'M', 0x41, 0x01, '1'};
    XKSTraceMessage(copy.get(), XKS_TK_RECEIVE, hsms(0, 1, 2, 0, 4).data(), body.data(), 8, 2, "t", 1);
    Trace(XKS_TK_RECEIVE, hsms(0, 1, 4, 0, 5), {}, 0, 2);  // not defined
    Lines c = Read("c");
    ASSERT_EQ(c.size(), 6u);
    EXPECT_EQ(c[0].substr(74), ":    7: S1F2_INFO");
    EXPECT_EQ(c[1], "- 5:RX:  [S1F2_INFO]");
    EXPECT_EQ(c[3], "- 5:RX:    A[1]MDLN=\"M\"");
    EXPECT_EQ(c[4], "- 5:RX:    A[1]SOFTREV=\"1\"");
    EXPECT_EQ(c[5].substr(74), ":    7: S1F4");
    EXPECT_EQ(acb_->md[1].xlkf, 0);  // the lookup gave the table back
    // Without a usable trace lock the lookup is skipped.
    XKWLockDelete(&lock_);
    XKSTraceMessage(copy.get(), XKS_TK_RECEIVE, hsms(0, 1, 2, 0, 4).data(), body.data(), 8, 2, "t", 1);
    c = Read("c");
    ASSERT_EQ(c.size(), 10u);
    EXPECT_EQ(c[6].substr(74), ":    7");
    EXPECT_EQ(c[8], "- 5:RX:    A[1]=\"M\"");
}

TEST_F(TraceTest, CallbackGetsLinesWithinTheLevelAndTheDumpLimit)
{
    Load("SECSMODE=1\nTRCTTYPE=0x03\nTRCTLEVEL=5\nTRCTXDUMP=32\n");
    Collected got;
    Listen(&got);
    // Header at 2, items at 5, header dump at 4, body dump at 6 (file only).
    Trace(XKS_TK_SEND_S9F1, s1f13, {0xA5, 0x01, 0x07}, 3, 2);
    EXPECT_EQ(got.kinds, (std::vector<int32_t>{2, 52, 54}));
    EXPECT_EQ(got.texts[1], "  U1[1]=7");
    EXPECT_EQ(Read("c").size(), 4u);
    // 256 bytes with a limit of 32: lines at 0, 16 and the last one.
    Bytes data(256, 0x11);
    ASSERT_EQ(XKSTraceDump("t", 1, "f", acb_.get(), 0, 3, 53, "RX", "  Data", data.data(), 256), 0);
    Lines c = Read("c");
    ASSERT_EQ(c.size(), 7u);
    ASSERT_EQ(got.texts.size(), 6u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(c[4 + i].substr(7), got.texts[3 + i]);
    EXPECT_EQ(c[4].substr(0, 20) + c[5].substr(0, 20) + c[6].substr(0, 20),
              "+ 3:RX:  Data  [  0]- 3:RX:  Data  [ 16]- 3:RX:  Data  [240]");
}

// A listener on 127.0.0.1 for the trace connection.
struct Listener {
    Listener() { EXPECT_EQ(XKNTCPServerOpen(&server, XKN_FAMILY_IPV4 | XKN_REUSEADDR, "127.0.0.1", 4, 1, &port), 0); }
    ~Listener()
    {
        if (peer.socket > 0)
            XKNTCPClose(&peer);
        XKNTCPServerClose(&server);
    }
    int32_t Accept(int32_t ms)
    {
        if (peer.socket > 0)
            XKNTCPClose(&peer);
        return XKNTCPServerAccept(&server, ms, &peer, nullptr, 0, nullptr);
    }
    // Read until `lines` line ends arrived or 2 s passed.
    std::string Read(size_t lines)
    {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) < lines &&
               std::chrono::steady_clock::now() < deadline) {
            char buf[4096];
            int32_t n = XKNTCPRead(&peer, buf, sizeof buf, 200);
            if (n > 0)
                text.append(buf, static_cast<size_t>(n));
            else if (n != XKW_E_TIMEOUT)
                break;
        }
        return text;
    }
    XKNServer server{};
    XKNSocket peer{};
    int32_t port = 0;
};

void next_second()
{
    uint64_t start = XKWTickCount() / 1000;
    for (int i = 0; i < 300 && XKWTickCount() / 1000 == start; ++i)
        XKWSleep(10);
}

TEST_F(TraceTest, TraceServerGetsStampedLinesWithinTheLevel)
{
    Listener l;
    Load("SECSMODE=1\nTRCTTYPE=1\nTRCTLEVEL=4\nTRCTHOST=127.0.0.1\nT5=1\nTRCTPORT=" +
         std::to_string(l.server.entry[0].port) + "\n");
    ASSERT_EQ(XKSTraceStreamOpen(acb_.get()), 0);
    Trace(XKS_TK_RECEIVE, s1f13, {0xA5, 0x01, 0x07}, 3, 1);  // items at 4
    Trace(XKS_TK_RECEIVE, s1f13, {0xA5, 0x01, 0x07}, 3, 2);  // items at 5: file only
    ASSERT_EQ(l.Accept(2000), 0);
    std::string text = l.Read(3);
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
    EXPECT_EQ(text[6] + std::string(1, text[13]), "..");
    EXPECT_EQ(text.substr(17, text.find('\n') - 16),
              ": 1: 1:RECEIVE     LEN:   3 DEV:0x0000 W S1F13    P:0 S:0 SBT:0x0000.0005 :    7\n");
    EXPECT_NE(text.find(": 4:51:  U1[1]=7\n"), std::string::npos);
    EXPECT_NE(text.find(": 2: 1:RECEIVE "), std::string::npos);
    EXPECT_EQ(Read("c").size(), 4u);
}

TEST_F(TraceTest, ServerIsTriedOncePerIntervalAndAFailedSendCloses)
{
    int32_t port;
    {
        Listener gone;  // a port that is free once this closes
        port = gone.server.entry[0].port;
    }
    Load("TRCTLEVEL=9\nINTER3=60\nTRCTHOST=127.0.0.1\nT5=1\nTRCTPORT=" + std::to_string(port) + "\n");
    ASSERT_EQ(XKSTraceStreamOpen(acb_.get()), 0);
    XKSTraceLine("t", 1, "f", acb_.get(), 0, 1, 0, "CT", "refused");
    Listener l;
    ASSERT_EQ(XKNTCPServerClose(&l.server), 0);
    ASSERT_EQ(XKNTCPServerOpen(&l.server, XKN_FAMILY_IPV4 | XKN_REUSEADDR, "127.0.0.1", 4, 1, &port), 0);
    for (int i = 0; i < 20; ++i)
        XKSTraceLine("t", 1, "f", acb_.get(), 0, 1, 0, "CT", "early");
    EXPECT_EQ(l.Accept(300), 1) << "connected again within the interval";
    acb_->cfg.inter3 = 0;
    next_second();
    XKSTraceLine("t", 1, "f", acb_.get(), 0, 1, 0, "CT", "again");
    ASSERT_EQ(l.Accept(1000), 0);
    EXPECT_NE(l.Read(1).find(": 1: 0:again\n"), std::string::npos);
    // The peer goes away: a send fails within a few lines and closes; the
    // failure counts as an attempt, so the rest of this second stays quiet.
    next_second();
    XKNTCPClose(&l.peer);
    for (int i = 0; i < 50; ++i, XKWSleep(2))
        XKSTraceLine("t", 1, "f", acb_.get(), 0, 1, 0, "CT", "lost");
    EXPECT_EQ(l.Accept(200), 1);
    next_second();
    XKSTraceLine("t", 1, "f", acb_.get(), 0, 1, 0, "CT", "back");
    ASSERT_EQ(l.Accept(1000), 0);
    EXPECT_NE(l.Read(1).find(":back\n"), std::string::npos);
    EXPECT_EQ(Read("c").size(), 73u);
}

TEST_F(TraceTest, ConcurrentEntriesStayTogether)
{
    Listener l;
    Load("SECSMODE=1\nTRCTTYPE=0x0883\nTRCTLEVEL=9\nTRCTHOST=127.0.0.1\nTRCTPORT=" +
         std::to_string(l.server.entry[0].port) + "\n");
    Definitions("S1F2_INFO E\n<L[2]\n<A[0..20]MDLN\n<A[0..20]SOFTREV\n>\n");
    ASSERT_EQ(XKSTraceStreamOpen(acb_.get()), 0);
    Collected got;
    Listen(&got);
    constexpr int threads = 4, entries = 25;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([this, t] {
            const uint8_t body[] = {0x01, 0x02, 0x41, 0x01, static_cast<uint8_t>('a' + t), 0x41, 0x01, '1'};
            for (int i = 0; i < entries; ++i) {
                Bytes h = header(0, 1, 2, 0, static_cast<uint16_t>(t), static_cast<uint16_t>(i));
                XKSTraceMessage(acb_.get(), XKS_TK_RECEIVE, h.data(), body, sizeof body, 2, "t", 1);
            }
        });
    ASSERT_EQ(l.Accept(2000), 0);
    for (auto& th : pool)
        th.join();
    constexpr size_t per = 7;  // header, name, three items, two dumps
    Lines c = Read("c");
    ASSERT_EQ(c.size(), per * threads * entries);
    for (size_t i = 0; i < c.size(); i += per) {
        char who = c[i][c[i].find("SBT:0x000") + 9];
        ASSERT_EQ(c[i + 1], "- 5:RX:  [S1F2_INFO]") << i;
        ASSERT_EQ(c[i + 3], std::string("- 5:RX:    A[1]MDLN=\"") + static_cast<char>('a' + (who - '0')) + "\"");
    }
    EXPECT_EQ(got.texts.size(), c.size());
    EXPECT_EQ(acb_->md[1].xlkf, 0);
    std::string text = l.Read(c.size());
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), c.size());
}

}  // namespace
