#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../support/TempDir.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSComm.h"
#include "secs/XKSMssg.h"

namespace {

using Lines = std::vector<std::string>;

// A configuration-only session whose user trace the test opens, with the
// tag as the only prefix (":DB:text").
class DumpTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (acb_ != nullptr)
            XKWTraceClose(&acb_->utrace);
        XKSClose(session_, 0);
    }
    void open(const std::string& section, bool trace = true)
    {
        std::ofstream(dir_ / "xks.ini") << "[XKS]\n" << section;
        session_ = XKSOpen(XKS_OPEN_CONFIG, (dir_ / "xks.ini").c_str(), "XKS", nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr);
        ASSERT_EQ(XKSGetAcb(session_, 0, &acb_), 0);
        if (trace)
            open_trace();
    }
    void open_trace()
    {
        ASSERT_EQ(XKWTraceOpen(&acb_->utrace, 0x4000, (dir_ / "u.trc").c_str(), "u", 0), 0);
        XKWTraceSetAttr(&acb_->utrace, -1, 0x100, -1, -1);
    }
    // The lines of a file after their first skip characters.
    Lines lines(const std::string& name, size_t skip = 4) const
    {
        Lines out;
        std::ifstream f(dir_ / name);
        for (std::string l; std::getline(f, l);)
            out.push_back(l.substr(std::min(skip, l.size())));
        return out;
    }
    static bool has(const Lines& v, const std::string& line) { return std::find(v.begin(), v.end(), line) != v.end(); }

    TempDir dir_{"xksdump"};
    int32_t session_ = 0;
    XKSAcb* acb_ = nullptr;
};

TEST_F(DumpTest, SessionDumpWithListingOnlyStopsAfterIt)
{
    open("DEVID=1\n");
    ASSERT_EQ(XKSDump(session_, 0x02, "first look"), 0);
    Lines all = lines("u.trc", 1);
    ASSERT_EQ(all.size(), 1u + 66u);
    EXPECT_EQ(all[0], "DB:first look");
    EXPECT_EQ(all[1], "IN:" + (dir_ / "xks.ini") + " [XKS]");
    EXPECT_EQ(all.back(), "IN:" + std::string(100, '-'));
}

TEST_F(DumpTest, SessionFieldsStartWithNdevAndShowTheDevices)
{
    open("DEVID=1,2,3\n");
    acb_->cfg.devst[2] = 3;
    acb_->cfg.devtm[0] = 1700000000;
    acb_->xerr = -238;
    acb_->sshd[0] = 0x01;  // device ID 1 in host order
    acb_->sshd[2] = 0x81;
    std::strcpy(acb_->ahost, "10.0.0.9");
    ASSERT_EQ(XKSDump(session_, 0x01, nullptr), 0);
    Lines d = lines("u.trc");
    ASSERT_EQ(d.size(), 47u);
    EXPECT_EQ(d[0], "ndev        =       3");
    EXPECT_EQ(d[1], "ahost       = \"10.0.0.9\"");
    EXPECT_TRUE(has(d, "xerr,xerr1  =    -238,       0"));
    EXPECT_TRUE(has(d, "xstat,ss,us = 0, 0, 0"));
    EXPECT_TRUE(has(d, "devst       = 0, 0, 3"));
    EXPECT_TRUE(has(d, "devtm       =  1700000000,           0,           0"));
    char pid[64];
    std::snprintf(pid, sizeof pid, "pid,0,1     =%12ld,%12d,%12d", long(getpid()), 0, 0);
    EXPECT_TRUE(has(d, pid));
    EXPECT_TRUE(has(d, "sshd        =0x0001  0x81.00    0.  0  0x0000.0000"));
    EXPECT_EQ(d.back(), "uexit       =           0");
}

TEST_F(DumpTest, DeviceLinesStopPastTheirLimitAndVanishWithoutDevices)
{
    std::string ids = "1";
    for (int i = 2; i <= 200; ++i)
        ids += "," + std::to_string(i);
    open("XDEV=200\nDEVID=" + ids + "\n");
    ASSERT_EQ(XKSDump(session_, 0x01, nullptr), 0);
    Lines d = lines("u.trc");
    ASSERT_EQ(d.size(), 47u);
    EXPECT_EQ(d[14].size(), 13u + 200u * 3u - 1u);  // devst: all 200 fit
    EXPECT_EQ(d[17].compare(0, 5, "devtm"), 0);
    EXPECT_TRUE(d[17].size() > 1280u && d[17].size() <= 1293u) << d[17].size();  // 13 a value, stops past 1280
    XKWTraceClose(&acb_->utrace);
    XKSClose(session_, 0);

    std::remove((dir_ / "u.trc").c_str());
    open("DEVMODE=0x1801\n");
    ASSERT_EQ(XKSDump(session_, 0x01, nullptr), 0);
    d = lines("u.trc");
    ASSERT_EQ(d.size(), 43u);
    EXPECT_EQ(d[0], "ndev        =       0");
    EXPECT_EQ(d[14], "udnctm      =           0");  // straight after xstat
}

TEST_F(DumpTest, MessageAndTableDumpsGoToTheOwnersUserTrace)
{
    std::ofstream(dir_ / "md.sml") << "S1F1 H W\n<L[0]\n";
    open("DEVID=1\nMDMXITEM=50\n");
    uint8_t body[32];
    int32_t m = XKSMsgBuildOpen(0, body, sizeof body, session_);
    const uint32_t v = 9;
    ASSERT_EQ(XKSMsgPut(m, 0, body, XKS_FMT_L, 1, nullptr) + XKSMsgPut(m, 0, body, XKS_FMT_U4, 1, &v), 0);
    ASSERT_EQ(XKSDump(m, 0x20, "message"), 0);
    XKSMsgBuildClose(m, 0, body);
    int32_t t = XKSMDOpen(0, session_, (dir_ / "md.sml").c_str());
    ASSERT_EQ(XKSDump(t, 0x30 | 0x80, "table"), 0);  // 0x80 is not passed on for a table
    XKSMDClose(t, 0);

    Lines d = lines("u.trc");
    ASSERT_EQ(d.size(), 10u + 15u);
    Lines message = {"message", "op          =  1465076568",  // "XKSW"
                     "xmsgsize    =       65536", "xerr ,xeps  =           0,         714",
                     "mbl  ,mbp   =          32,           8", "mpl  ,mpp   =       65536,          -1",
                     "mpd         =           0", "lform,lnop  =       0o054,           1",
                     "lnx  ,lnp   =           1,           2", "lusz ,llen  =           4,           4"};
    EXPECT_TRUE(std::equal(message.begin(), message.end(), d.begin()));
    EXPECT_EQ(d[10], "table");
    EXPECT_EQ(d[12], "secsmode    =  0x00000001");
    EXPECT_EQ(d[15], "x,citem     =          50,           2");
    EXPECT_EQ(d.back().compare(0, 13, "pip  ,xlkf  ="), 0);
}

TEST_F(DumpTest, FallbackFileWhenNoTraceIsOpenOrNoOwner)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    open("DEVID=1\n", false);
    EXPECT_EQ(XKSDump(65, 0, "nothing") + XKSDump(0, 0x20, "nothing"), -18);
    EXPECT_NE(access("XKSTrace.trc", F_OK), 0);  // an invalid handle writes nothing
    ASSERT_EQ(XKSDump(session_, 0x01, "fallback title"), 0);
    // A message without an owning session uses the fallback although the
    // session's trace is open.
    open_trace();
    uint8_t body[4];
    int32_t m = XKSMsgBuildOpen(XKS_MSSG_SIZE, body, sizeof body, 4096);
    ASSERT_EQ(XKSDump(m, 0x20 | 0x80, "bare message"), 0);
    XKSMsgBuildClose(m, 0, body);
    ASSERT_EQ(chdir(cwd), 0);

    Lines f = lines("XKSTrace.trc", 18);  // "%06d.%06d.%03d:" prefix
    ASSERT_EQ(f.size(), 1u + 47u + 1u + 9u);
    EXPECT_EQ(f[0], "fallback title");
    EXPECT_EQ(f[1], "ndev        =       1");
    EXPECT_EQ(f[48], "bare message");
    EXPECT_EQ(f[50], "xmsgsize    =        4096");
    EXPECT_TRUE(lines("u.trc").empty());
}

}  // namespace
