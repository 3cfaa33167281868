// The engine's transaction table on an opened engine block without threads:
// entries are opened, started, closed and expired by direct calls, aged by
// moving their start back, and the engine's puts are read from the queues.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/TempDir.h"
#include "runtime/XKQueue.h"
#include "runtime/XKWSleep.h"
#include "secs/XKSCont.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSLib.h"

namespace {

using Header = std::array<uint8_t, 10>;

uint16_t get16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void put16(uint8_t* p, uint32_t v)
{
    uint16_t h = uint16_t(v);
    std::memcpy(p, &h, 2);
}

// Host-order header of device 1: sw = W-bit | stream, stype = SType.
Header hdr(int sw, int function, int stype, uint32_t sys)
{
    Header h{0, 0, uint8_t(sw), uint8_t(function), 0, uint8_t(stype)};
    put16(&h[0], 1);
    put16(&h[6], sys >> 16);
    put16(&h[8], sys);
    return h;
}

// An S9Fx body naming S6F11 W of device 1 with system bytes 0x00010002:
// B[10] with the header in wire order.
const std::vector<uint8_t> kMhead = {0x21, 0x0A, 0x00, 0x01, 0x86, 11, 0, 0, 0x00, 0x01, 0x00, 0x02};

struct Taken {
    bool got = false;
    XKSRequest head{};
    std::vector<uint8_t> body;
};

class ContTXTest : public ::testing::Test {
protected:
    void TearDown() override { close(); }

    // HSMS on device 1 with the caller's private-memory queues and the
    // error and process traces in the temporary directory.
    void open(const std::string& extra = "")
    {
        close();
        std::string ini = dir_ / "xks.ini";
        std::ofstream(ini) << "[XKS]\nSECSMODE=0x1\nDEVID=1\nQUEMODE=0xB0\nTRCDIR=" << dir_.path()
                           << "\nTRCTOUT=2\nTRCTLEVEL=9\nTRCPOUT=2\nTRCPLEVEL=10\n" << extra;
        ASSERT_EQ(XKQSendOpen(&r_, 0xB0, (dir_ / "r").c_str(), 1024, 32), 0);
        ASSERT_EQ(XKQSendOpen(&s_, 0xB0, (dir_ / "s").c_str(), 1024, 32), 0);
        ASSERT_EQ(XKQSendOpen(&c_, 0xB0, (dir_ / "c").c_str(), 64, 32), 0);
        acb_ = static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb)));
        ASSERT_EQ(ContOpen(acb_, 0, ini.c_str(), "XKS", &r_, &s_, &c_), 0);
    }
    void close()
    {
        if (acb_ == nullptr)
            return;
        ContClose(acb_);
        XKSLibFreeConfig(acb_);
        std::free(acb_);
        acb_ = nullptr;
        for (XKQueueBlock* q : {&r_, &s_, &c_})
            XKQSendClose(q);
    }
    int32_t add(const Header& h) { return TXAdd(acb_, h.data()); }
    int32_t answer(const Header& h, int32_t type = 0, const std::vector<uint8_t>& body = {})
    {
        return SearchDel(acb_, h.data(), type, body.data(), int32_t(body.size()));
    }
    int32_t open_count() { return XKSLoad(acb_->xtx); }
    XKSTxEntry& entry(int i) { return acb_->res->tx[i]; }
    // The next record of q, if any (got).
    Taken take(XKQueueBlock* q)
    {
        std::vector<uint8_t> buf(2048);
        Taken t;
        int32_t n = XKQRecvGet(q, 0, buf.data(), int32_t(buf.size()), nullptr);
        t.got = n >= XKS_REQ_SIZE;
        if (t.got) {
            std::memcpy(&t.head, buf.data(), sizeof t.head);
            t.body.assign(buf.begin() + XKS_REQ_SIZE, buf.begin() + XKS_REQ_SIZE + t.head.len);
        }
        return t;
    }
    std::string trace(const char* kind)
    {
        std::ifstream in(dir_ / (std::string("th0001") + kind + ".trc"));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Stay clear of the end of a second, so "now" cannot move between the
    // test's reading and the expiry check's.
    int64_t steady_now()
    {
        for (int i = 0; i < 10 && XKWTickCount() % 1000 > 800; ++i)
            XKWSleep(50);
        return cont_now();
    }

    TempDir dir_{"xkstx"};
    XKQueueBlock r_{}, s_{}, c_{};
    XKSAcb* acb_ = nullptr;
};

TEST_F(ContTXTest, NumbersWrapFromMaxToMinBelowSrcid1)
{
    open("XIDMIN=1\nXIDMAX=3\nSRCID1=0x1234\n");
    for (uint32_t expected : {1u, 2u, 3u, 1u}) {
        Header h{};
        EXPECT_EQ(cont_new_system(acb_, h.data()), 0x12340000u | expected);
        EXPECT_EQ(get16(&h[6]), 0x1234);
        EXPECT_EQ(get16(&h[8]), expected);
    }
}

TEST_F(ContTXTest, FullTableRefusesOnlyWhatExpectsAReply)
{
    open("XTRANX=2\n");
    EXPECT_EQ(add(hdr(0x81, 1, 0, 0x11)), 0);
    EXPECT_EQ(add(hdr(0x81, 1, 0, 0x12)), 0);
    EXPECT_EQ(add(hdr(0x81, 1, 0, 0x13)), -28);
    EXPECT_EQ(add(hdr(0, 0, 5, 0x14)), -28);    // Linktest.req
    EXPECT_EQ(add(hdr(0x01, 1, 0, 0x15)), 0);   // no W-bit
    EXPECT_EQ(add(hdr(0x81, 2, 0, 0x16)), 0);   // a reply
    EXPECT_EQ(open_count(), 2);
    EXPECT_EQ(get16(entry(1).header + 8), 0x12);
    const std::string line = "[ERROR] Transaction table overflow       [S1F1             SBT:0x0000.0013]";
    EXPECT_NE(trace("e").find(line), std::string::npos);
    EXPECT_NE(trace("p").find(line), std::string::npos);
    EXPECT_EQ(answer(hdr(0x01, 2, 0, 0x11)), 0);
    EXPECT_EQ(add(hdr(0x81, 1, 0, 0x13)), 0);
}

TEST_F(ContTXTest, RepliesCloseEntriesBeforeAndAfterTheTimerStarts)
{
    open();
    ASSERT_EQ(add(hdr(0x81, 13, 0, 0xA)), 0);
    EXPECT_GE(entry(0).start, cont_now() + 10800 - 1);  // still being written
    EXPECT_EQ(answer(hdr(0x01, 14, 0, 0xA)), 0);
    EXPECT_EQ(open_count(), 0);

    ASSERT_EQ(add(hdr(0x81, 13, 0, 0xB)), 0);
    EXPECT_EQ(answer(hdr(0x81, 14, 0, 0xB), 1), 0);  // written: T3 runs from now
    EXPECT_LE(entry(0).start, cont_now());
    EXPECT_GE(entry(0).start, cont_now() - 1);
    EXPECT_EQ(open_count(), 1);
    EXPECT_EQ(answer(hdr(0x01, 14, 0, 0xC)), -2);
    EXPECT_EQ(answer(hdr(0x01, 14, 0, 0xB)), 0);
    EXPECT_EQ(answer(hdr(0x01, 14, 0, 0xB)), -2);

    // an SxF0 abort ends any function of its own stream only
    ASSERT_EQ(add(hdr(0x81, 13, 0, 0xD)), 0);
    EXPECT_EQ(answer(hdr(0x02, 0, 0, 0xD)), -2);
    EXPECT_EQ(open_count(), 1);
    EXPECT_EQ(answer(hdr(0x01, 0, 0, 0xD)), 0);
    EXPECT_EQ(open_count(), 0);
}

TEST_F(ContTXTest, S9MheadClosesTheNamedPrimaryUnlessSwitchedOff)
{
    for (const char* devmode : {"", "DEVMODE=0x1840\n"}) {
        open(devmode);
        ASSERT_EQ(add(hdr(0x86, 11, 0, 0x00010002)), 0);
        EXPECT_EQ(answer(hdr(0x86, 11, 0, 0x50)), -22);  // a primary names nothing
        EXPECT_EQ(answer(hdr(0x09, 9, 0, 0x51), 0, {kMhead.begin(), kMhead.end() - 1}), -22);
        EXPECT_EQ(open_count(), 1);
        bool off = devmode[0] != '\0';
        EXPECT_EQ(answer(hdr(0x09, 9, 0, 0x52), 0, kMhead), off ? -22 : 0) << devmode;
        EXPECT_EQ(open_count(), off ? 1 : 0) << devmode;
    }
    // An S9Fx about something no longer open is no unexpected reply.
    open();
    EXPECT_EQ(answer(hdr(0x09, 7, 0, 0x53), 0, kMhead), 0);
}

TEST_F(ContTXTest, T3ExpiresOnlyWhenMoreThanT3HasPassedAndSendsS9F9)
{
    open("T3=45\n");
    const Header primary = hdr(0x86, 11, 0, 0x00010002);
    ASSERT_EQ(add(primary), 0);
    ASSERT_EQ(answer(hdr(0x86, 12, 0, 0x00010002), 1), 0);
    ASSERT_EQ(add(hdr(0x81, 1, 0, 0x7)), 0);  // its write never ended: no expiry
    int64_t now = steady_now();
    entry(0).start = now - 45;
    EXPECT_EQ(ContT3TO(acb_), 0);
    EXPECT_EQ(open_count(), 2);
    entry(0).start = now - 46;
    EXPECT_EQ(ContT3TO(acb_), 1);
    EXPECT_EQ(open_count(), 1);
    EXPECT_EQ(get16(entry(0).header + 8), 0x7);

    Taken ev = take(&r_);
    EXPECT_EQ(ev.head.req, XKS_EV_T3);
    EXPECT_EQ(int(ev.head.rtn), 0);
    EXPECT_EQ(std::memcmp(ev.head.header, primary.data(), 10), 0);
    Taken s9 = take(&s_);
    ASSERT_TRUE(s9.got);
    EXPECT_EQ(s9.head.req, XKS_REQ_DATA);
    EXPECT_EQ(s9.head.header[2] << 8 | s9.head.header[3], 0x0909);
    EXPECT_EQ(s9.body, kMhead);
    EXPECT_NE(trace("p").find("T3TIMEOUT"), std::string::npos);
}

TEST_F(ContTXTest, ControlExpiriesReportAndSeparateUnlessSuppressed)
{
    open("T6=5\nT7=10\n");
    ASSERT_EQ(add(hdr(0, 0, 1, 0x21)), 0);  // Select.req waits T7
    ASSERT_EQ(add(hdr(0, 0, 3, 0x22)), 0);  // Deselect.req waits T6
    int64_t now = steady_now();
    entry(0).start = entry(1).start = now - 6;
    EXPECT_EQ(ContT3TO(acb_), 1);
    Taken ev = take(&r_);
    EXPECT_EQ(ev.head.req, XKS_EV_T6);
    EXPECT_EQ(get16(ev.head.header + 8), 0x22);
    Taken sep = take(&s_);
    EXPECT_EQ(sep.head.req, XKS_REQ_SEPARATE);
    EXPECT_EQ(std::memcmp(sep.head.header, Header{}.data(), 10), 0);

    entry(0).start = now - 11;
    EXPECT_EQ(ContT3TO(acb_), 1);
    EXPECT_EQ(take(&r_).head.req, XKS_EV_T7);
    EXPECT_FALSE(take(&s_).got);

    open("T6=5\nDEVMODE=0x9800\n");
    ASSERT_EQ(add(hdr(0, 0, 5, 0x23)), 0);  // Linktest.req
    entry(0).start = steady_now() - 6;
    EXPECT_EQ(ContT3TO(acb_), 1);
    EXPECT_EQ(take(&r_).head.req, XKS_EV_T6);
    EXPECT_FALSE(take(&s_).got);  // the connection stays
}

TEST_F(ContTXTest, ControlKeysCloseOnlyTheirOwnKindButRejectClosesAny)
{
    open();
    ASSERT_EQ(add(hdr(0x81, 1, 0, 0x31)), 0);
    ASSERT_EQ(add(hdr(0, 0, 3, 0x32)), 0);  // Deselect.req
    ASSERT_EQ(add(hdr(0, 0, 5, 0x33)), 0);  // Linktest.req
    EXPECT_EQ(answer(hdr(0, 0, 1, 0x31)), 0);  // Select.req from the peer
    EXPECT_EQ(answer(hdr(0, 0, 2, 0x31)), 0);  // a stray Select.rsp
    EXPECT_EQ(open_count(), 3);
    EXPECT_EQ(answer(hdr(0, 0, 7, 0x32)), 0);  // Reject.req of the deselect
    EXPECT_EQ(open_count(), 2);
    EXPECT_EQ(answer(hdr(0, 0, 6, 0x33)), 0);  // Linktest.rsp
    ASSERT_EQ(open_count(), 1);
    EXPECT_EQ(get16(entry(0).header + 8), 0x31);
    EXPECT_EQ(answer(hdr(0, 0, 7, 0x31)), 0);
    EXPECT_EQ(open_count(), 0);
}

TEST_F(ContTXTest, MiddleDeletionKeepsTheRestInOpeningOrder)
{
    open();
    ASSERT_EQ(add(hdr(0x81, 1, 0, 1)), 0);
    ASSERT_EQ(add(hdr(0x82, 17, 0, 2)), 0);
    ASSERT_EQ(add(hdr(0x85, 1, 0, 3)), 0);
    EXPECT_EQ(answer(hdr(0x02, 18, 0, 2)), 0);
    ASSERT_EQ(open_count(), 2);
    EXPECT_EQ(get16(entry(0).header + 8), 1);
    EXPECT_EQ(get16(entry(1).header + 8), 3);
    EXPECT_EQ(entry(1).header[2], 0x85);
    XKSTxEntry zero{};
    EXPECT_EQ(std::memcmp(&entry(2), &zero, sizeof zero), 0);
    std::string p = trace("p");
    EXPECT_NE(p.find("  Delete mess.[   1] DEV:0x0001 W S2F17    P:0 S:0 SBT:0x0000.0002: "), std::string::npos);
    EXPECT_NE(p.find("  Delete table(   1/   2)         S5F1               SBT:0000.0003"), std::string::npos);
    EXPECT_NE(p.find("  SearchDel rtn= 0 stp=0 S2F18 SBT=0x0000.0002 type=0"), std::string::npos);
}

}  // namespace
