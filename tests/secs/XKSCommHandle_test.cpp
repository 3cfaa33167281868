#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/TempDir.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSComm.h"
#include "secs/XKSMssg.h"

namespace {

class HandleTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (int32_t h : sessions_)
            XKSClose(h, 0);
    }
    // A configuration-only session on section [XKS] of its own INI file.
    int32_t open(const std::string& section, const std::string& name = "xks.ini")
    {
        std::ofstream(dir_ / name) << "[XKS]\n" << section;
        int32_t h = XKSOpen(XKS_OPEN_CONFIG, (dir_ / name).c_str(), "XKS", nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr);
        EXPECT_GT(h, 0);
        sessions_.push_back(h);
        XKSGetAcb(h, 0, &acb_);
        return h;
    }
    std::string file(const std::string& name) const
    {
        std::stringstream s;
        s << std::ifstream(dir_ / name).rdbuf();
        return s.str();
    }

    TempDir dir_{"xkshandle"};
    std::vector<int32_t> sessions_;
    XKSAcb* acb_ = nullptr;
};

TEST_F(HandleTest, GetParamCopiesIdsAndTextsWithinTheBuffer)
{
    int32_t h = open("DEVID=1,2,3\nXDEV=4\nHOST=127.0.0.1\nT3=7\nSECSMODE=0x201\nTRCTHOST=tracer\n");
    int32_t ids[3] = {-1, -1, -1};
    EXPECT_EQ(XKSGetParam(h, 0, 19, reinterpret_cast<char*>(ids), 8), 2);
    EXPECT_EQ(ids[1], 2);
    EXPECT_EQ(ids[2], -1);  // beyond the 8 bytes given
    char text[16];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(XKSGetParam(h, 0, 21, text, 6), 0);
    EXPECT_STREQ(text, "127.0");  // size - 1 characters and the terminator
    EXPECT_EQ(text[6], 'x');
    EXPECT_EQ(XKSGetParam(h, 0, 58, text, sizeof text), 0);
    EXPECT_STREQ(text, "tracer");
    EXPECT_EQ(XKSGetParam(h, 0, 33, text, sizeof text), 7);
    EXPECT_EQ(text[0], '\0');  // cleared for a number too
    std::strcpy(acb_->ahost, "10.1.2.3");
    EXPECT_EQ(XKSGetParam(h, 0, 22, text, sizeof text), 0);
    EXPECT_STREQ(text, "10.1.2.3");
    EXPECT_EQ(XKSGetParam(h, 0, 2, nullptr, 0), 0x201);
    EXPECT_EQ(XKSGetParam(h, 0, 4, nullptr, 0), 3);
    EXPECT_EQ(XKSGetParam(h, 0, 8, nullptr, 0), 0);  // unlisted
    EXPECT_EQ(XKSGetParam(0, 0, 2, nullptr, 0), -9);
    EXPECT_EQ(XKSGetParam(65, 0, 2, nullptr, 0), -9);
}

TEST_F(HandleTest, StatusAndErrorAccessorsReadTheSession)
{
    int32_t h = open("DEVID=5,6\n");
    acb_->cfg.devst[1] = 3;
    acb_->xstat = 2;
    acb_->xerr = -238;
    acb_->xeps0 = 412;
    EXPECT_EQ(XKSGetDevStat(h, 0, 6), 3);
    EXPECT_EQ(XKSGetDevStat(h, 0, 7), -19);
    EXPECT_EQ(XKSGetXStat(h, 0), 2);
    int32_t e = 0;
    int32_t s = 0;
    EXPECT_EQ(XKSGetErrorInfo(h, &e, &s), 0);
    EXPECT_EQ(e * 1000 + s, -238 * 1000 + 412);
    EXPECT_EQ(XKSGetLastError(h) * 1000 + XKSGetLastStep(h), -238 * 1000 + 412);
    acb_->marker = 0;  // neither open nor configured
    EXPECT_EQ(XKSGetDevStat(h, 0, 6), 0);
    acb_->marker = XKS_ACB_CONFIG;
    EXPECT_EQ(XKSGetDevStat(65, 0, 6), -9);
    EXPECT_EQ(XKSRecv(65, 0, nullptr, nullptr, nullptr, nullptr, 0, nullptr), -9);
    EXPECT_EQ(XKSSend(0, 0, 1, 0x0101, 0, nullptr, 0, nullptr), -9);
}

TEST_F(HandleTest, ConvHeaderSwapsPerProtocolAndMode)
{
    const uint8_t wire[10] = {0x00, 0x01, 0x81, 0x03, 0x04, 0x05, 0x12, 0x34, 0x56, 0x78};
    int32_t hsms = open("DEVID=1\n", "hsms.ini");
    int32_t secs1 = open("SECSMODE=0\nDEVID=1\n", "secs1.ini");
    uint8_t h[10];
    std::memcpy(h, wire, 10);
    ASSERT_EQ(XKSConvHeader(hsms, 0, h), 0);
    const uint8_t hsms_want[10] = {0x01, 0x00, 0x81, 0x03, 0x04, 0x05, 0x34, 0x12, 0x78, 0x56};
    EXPECT_EQ(std::memcmp(h, hsms_want, 10), 0);
    std::memcpy(h, wire, 10);
    ASSERT_EQ(XKSConvHeader(secs1, 0x80, h), 0);
    const uint8_t secs1_want[10] = {0x01, 0x00, 0x81, 0x03, 0x05, 0x04, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(std::memcmp(h, secs1_want, 10), 0);
    EXPECT_EQ(XKSConvHeader(hsms, 0, nullptr), -22);
    EXPECT_EQ(XKSConvHeader(65, 0, h), -9);
}

TEST_F(HandleTest, TraceWriteUsesTheUserTraceOrTheFallback)
{
    int32_t h = open("DEVID=1\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    EXPECT_EQ(XKSTraceWrite(h, 0, nullptr), 0);  // not open
    EXPECT_EQ(XKSTraceWrite(h, 0, "to the fallback"), 0);
    ASSERT_EQ(XKWTraceOpen(&acb_->utrace, 0x4000, (dir_ / "u.trc").c_str(), "u", 0), 0);
    XKWTraceSetAttr(&acb_->utrace, -1, 0x100, -1, -1);  // tag only
    EXPECT_EQ(XKSTraceWrite(h, 0, nullptr), 1);
    EXPECT_EQ(XKSTraceWrite(h, 0, "hello user"), 0);
    EXPECT_EQ(XKSTraceWrite(h, 0, ""), 0);
    EXPECT_EQ(XKSTraceWrite(h, 0x80, "no engine here"), 0);  // no communication trace on a session
    XKWTraceClose(&acb_->utrace);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(file("u.trc"), ":DB:hello user\n");
    std::string fallback = file("XKSTrace.trc");
    EXPECT_NE(fallback.find(":to the fallback\n"), std::string::npos);
    EXPECT_NE(fallback.find(":no engine here\n"), std::string::npos);
}

TEST_F(HandleTest, MessageRoundTripByHandleNamedByTheSessionDefinitions)
{
    std::ofstream(dir_ / "md.sml") << "S1F13 H W\n<L[2]\n<A[0..8]MDLN\n<U4[1]SVID\n>\n";
    int32_t s = open("DEVID=1\nMDMSSG=md.sml\n");
    uint8_t body[64];
    int32_t m = XKSMsgBuildOpen(0, body, sizeof body, s);
    ASSERT_GT(m, 0);
    EXPECT_EQ(XKSMsgPut(m, 0, body, XKS_FMT_L, 2, nullptr), 0);
    EXPECT_EQ(XKSMsgPut(m, 0, body, XKS_FMT_A, 0, "AB"), 0);
    EXPECT_EQ(XKSMsgPutText(m, 0, body, "U4[1]=7"), 0);
    EXPECT_EQ(XKSMsgPut(m, 0, body, 077, 1, "x"), -22);  // no such format
    EXPECT_EQ(XKSMsgGetLastError(m), -22);
    int32_t len = XKSMsgBuildClose(m, 0, body);
    const uint8_t want[] = {0x01, 2, 0x41, 2, 'A', 'B', 0xB1, 4, 0, 0, 0, 7};
    ASSERT_EQ(len, int32_t(sizeof want));
    EXPECT_EQ(std::memcmp(body, want, sizeof want), 0);
    EXPECT_EQ(XKSMsgPut(m, 0, body, XKS_FMT_A, 0, "C"), -9);  // the handle is free again

    const uint8_t header[10] = {0, 1, 0x81, 0x0D, 0, 0, 0, 0, 0, 1};
    char name[32];
    char text[32];
    int32_t fmt = 0;
    for (int round = 0; round < 2; ++round) {  // the close releases the match for the next one
        int32_t r = XKSMsgParseOpen(XKS_MSSG_LOOKUP, body, len, s, header, name);
        EXPECT_STREQ(name, "S1F13");
        if (round == 0) {  // by value
            EXPECT_EQ(XKSMsgGet(r, 0, body, &fmt, nullptr, nullptr, text, sizeof text), 0);
            EXPECT_EQ(XKSMsgGet(r, 0, body, &fmt, nullptr, nullptr, text, sizeof text), 0);
            EXPECT_STREQ(text, "AB");
            EXPECT_EQ(XKSMsgGet(r, 0, body, &fmt, nullptr, nullptr, text, sizeof text), 0);
            uint32_t u4 = 0;
            std::memcpy(&u4, text, sizeof u4);
            EXPECT_EQ(u4, 7u);
        } else {  // as text lines with item names
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(XKSMsgGetText(r, XKS_TEXT_NAMES, body, &fmt, nullptr, text, sizeof text), i > 0);
            EXPECT_NE(std::strstr(text, "SVID"), nullptr) << text;
        }
        EXPECT_EQ(XKSMsgGet(r, 0, body, &fmt, nullptr, nullptr, text, sizeof text), -951);
        XKSMssgBlock* block = nullptr;
        EXPECT_EQ(XKSGetMsgBuf(r, 0, &block), 0);
        EXPECT_EQ(block->position, len);
        EXPECT_EQ(XKSMsgParseClose(r, 0, body), 0);
        EXPECT_EQ(XKSMsgParseClose(r, 0, body), -9);
    }
    // The engine's table is not loaded on a configuration-only session.
    XKSMsgParseClose(XKSMsgParseOpen(XKS_MSSG_LOOKUP | XKS_MSSG_ENGINE, body, len, s, header, name), 0, body);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(XKSMsgBuildOpen(0, body, sizeof body, 65), -9);
}

TEST_F(HandleTest, MessageTableHoldsSixtyFourAndFreesFailedOpens)
{
    uint8_t body[8];
    EXPECT_EQ(XKSMsgBuildOpen(XKS_MSSG_SIZE, nullptr, 8, 1024), -22);  // its slot is freed again
    std::vector<int32_t> hs;
    for (int i = 0; i < 64; ++i)
        hs.push_back(XKSMsgBuildOpen(XKS_MSSG_SIZE, body, sizeof body, 1024));
    EXPECT_EQ(hs.front() * 100 + hs.back(), 1 * 100 + 64);
    EXPECT_EQ(XKSMsgBuildOpen(XKS_MSSG_SIZE, body, sizeof body, 1024), -28);
    EXPECT_EQ(XKSMsgBuildClose(17, 0, body), 0);
    EXPECT_EQ(XKSMsgParseOpen(XKS_MSSG_SIZE, body, 0, 1024, nullptr, nullptr), 17);
    for (int32_t h : hs)
        XKSMsgBuildClose(h, 0, body);
    EXPECT_EQ(XKSMsgGetLastError(64), -9);
}

}  // namespace
