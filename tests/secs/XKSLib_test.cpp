#include "secs/XKSLib.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../support/TempDir.h"

namespace {

class LibConfigTest : public ::testing::Test {
protected:
    void SetUp() override { acb_ = std::make_unique<XKSAcb>(); }
    void TearDown() override { XKSLibFreeConfig(acb_.get()); }

    std::string write_ini(const std::string& text, const std::string& name = "xks.ini")
    {
        std::string path = tmp_ / name;
        std::ofstream(path) << text;
        return path;
    }
    int32_t load(const std::string& text, const char* section = nullptr)
    {
        return XKSLibReadConfig(acb_.get(), write_ini(text).c_str(), section);
    }
    std::vector<int32_t> devids() const
    {
        return {acb_->cfg.devid, acb_->cfg.devid + acb_->cfg.ndev};
    }
    // The settings listing as collected in an identification list.
    std::vector<std::string> listing()
    {
        static char lines[127][XKS_LINE_SIZE];
        acb_->idlines = lines;
        acb_->nidlines = 127;
        int32_t n = XKSLibDumpConfig(acb_.get(), XKS_DUMP_TRACE_ONLY);
        std::vector<std::string> out;
        for (int32_t i = 1; i <= n && i < 127; ++i)
            out.emplace_back(lines[i]);
        acb_->idlines = nullptr;
        return out;
    }

    TempDir tmp_{"xkslib"};
    std::unique_ptr<XKSAcb> acb_;
};

TEST_F(LibConfigTest, ListingOfAllDefaultsMatchesLineByLine)
{
    ASSERT_EQ(load("; nothing set\n"), 0);
    const std::string& d = tmp_.path();
    std::vector<std::string> want = {
        tmp_ / "xks.ini" + " [XKS]",  // the file name as given
        "SECSMODE    =  0x00000001",
        "DEVMODE     =  0x00001800",
        "XDEV        =      16",
        "DEVID       = \"\"",
        "XMSGSIZE    =   65536",
        "XTRANX      =    1024",
        "SRCID0      =  0x0000",
        "SRCID1      =  0x7fff",
        "XIDMIN      =  0x0001",
        "XIDMAX      =  0xffff",
        "INTER0      =     300",
        "INTER1      =    1000",
        "INTER2      =     100",
        "INTER3      =      60",
        "SDEVICE     = \"\"",
        "SSPEED      =    9600",
        "SCSIZE      =       8",
        "SPARITY     =       0",
        "SSTOP       =       1",
        "HOST        = \"\"",
        "PORT        =       0",
        "LINKINT     =       0",
        "XRETRY      =       3",
        "T1          =     100",
        "T2          =      10",
        "T3          =      45",
        "T4          =      45",
        "T5          =      10",
        "T6          =       5",
        "T7          =      10",
        "T8          =      10",
        "TORECV      =       0",
        "QUEDIR      = \"" + d + "\"",
        "QUESIZE     =    1024",
        "QUEREC      =    1024",
        "QUEMODE     =  0x00b0",
        "THSTACKUSR  =       0",
        "THSTACKSYS  =       0",
        "TRCTHOST    = \"\"",
        "TRCTPORT    =       0",
        "TRCDIR      = \"" + d + "\"",
        "TRCTTYPE    =  0x0001",
        "TRCTOUT     =  0x0002",
        "TRCTLEVEL   =       5",
        "TRCTATTR    =  0x810f",
        "TRCTSIZE    = 5000000",
        "TRCTXDUMP   =       0",
        "TRCPOUT     =  0x0000",
        "TRCPLEVEL   =       5",
        "TRCPATTR    =  0x812f",
        "TRCPSIZE    = 5000000",
        "TRCPPRINT   =       0",
        "TRCUOUT     =  0x0000",
        "TRCULEVEL   =       5",
        "TRCUATTR    =  0x812f",
        "TRCUSIZE    = 5000000",
        "TRCUPRINT   =       0",
        "TRCDELTIME  =       0",
        "TRCDELDAY   =       0",
        "MDMSSG      = \"" + d + "\"",
        "MDMXITEM    =    1024",
        "MDMXMSSG    =     512",
        "MDMXMITEM   =   10240",
        "MDMXPOOL    =   65536",
        std::string(100, '-'),
    };
    EXPECT_EQ(listing(), want);
}

TEST_F(LibConfigTest, SectionsOverrideInOrderAndDevidsAccumulate)
{
    ASSERT_EQ(load("[DEFAULT]\nT3 = 10\nT4 = 11\nT5 = 12\nDEVID = 1,2\n"
                   "[SECSCOMMON]\nT4 = 21\nT5 = 22\nDEVID = \"7 2\"\n"
                   "[OTHER]\nT5 = 99\nDEVID = 99\n"
                   "[XKS]\nT5 = 32\nT5 = 33\nDEVID = 2,3\nDEVID = 0x10\nHOST = peer\n"),
              0);
    EXPECT_EQ(acb_->cfg.t3, 10);
    EXPECT_EQ(acb_->cfg.t4, 21);
    EXPECT_EQ(acb_->cfg.t5, 33);  // a later line of one section wins too
    EXPECT_STREQ(acb_->cfg.host, "peer");
    EXPECT_EQ(devids(), (std::vector<int32_t>{1, 2, 7, 3, 16}));
    auto lines = listing();
    EXPECT_EQ(lines[4], "DEVID       = \"0x0001,0x0002,0x0007,0x0003,0x0010\"");
}

TEST_F(LibConfigTest, NumberRulesAndCapacityLimits)
{
    ASSERT_EQ(load("[XKS]\nT1 = 5000\nT2 = 0x1388\nT3 = x1388\nT4 = 1a\nT5 = 45s\nT6 = junk\n"
                   "SECSMODE = 0xFFFFFFFF\nXDEV = 0\nDEVID = 5 6 7\n"),
              0);
    EXPECT_EQ(acb_->cfg.t1, 5000);
    EXPECT_EQ(acb_->cfg.t2, 5000);
    EXPECT_EQ(acb_->cfg.t3, 5000);
    EXPECT_EQ(acb_->cfg.t4, 26);
    EXPECT_EQ(acb_->cfg.t5, 45);
    EXPECT_EQ(acb_->cfg.t6, 0);
    EXPECT_EQ(acb_->cfg.secsmode, 0xFFFFFFFFu);
    EXPECT_EQ(acb_->cfg.xdev, 1);
    EXPECT_EQ(devids(), (std::vector<int32_t>{5}));

    // a mistyped capacity is held to the 16-bit ID range
    XKSLibFreeConfig(acb_.get());
    ASSERT_EQ(load("[XKS]\nXDEV = 99999999\nDEVID = 1\n"), 0);
    EXPECT_EQ(acb_->cfg.xdev, XKS_XDEV_MAX);
}

TEST_F(LibConfigTest, OnlyTheExactSectionNameContributesKeys)
{
    ASSERT_EQ(load("[DEFAULT]\nT3 = 7\n[xks]\nT4 = 8\n", "xks"), 0);
    EXPECT_EQ(acb_->cfg.t3, 7);
    EXPECT_EQ(acb_->cfg.t4, 45);
    EXPECT_STREQ(acb_->cfg.xsect, "xks");
}

TEST_F(LibConfigTest, TextsAreCutToTheirFields)
{
    std::string longhost(100, 'h');
    ASSERT_EQ(load("[XKS]\nHOST = " + longhost + "\n"), 0);
    EXPECT_EQ(std::string(acb_->cfg.host), longhost.substr(0, XKS_NAME_SIZE - 1));
}

TEST_F(LibConfigTest, PathsResolveAgainstTheIniDirectory)
{
    ASSERT_EQ(load("[XKS]\nQUEDIR = q\\\\sub/../x\nTRCDIR = /abs//trc\nMDMSSG = C:\\\\defs\\\\m.sml\n"), 0);
    EXPECT_EQ(std::string(acb_->cfg.quedir), tmp_ / "q/x");
    EXPECT_STREQ(acb_->cfg.trcdir, "/abs/trc");
    EXPECT_STREQ(acb_->cfg.mdmssg, "C:/defs/m.sml");
    EXPECT_EQ(std::string(acb_->cfg.xdir), tmp_.path());
}

TEST_F(LibConfigTest, DefaultFileAndSectionComeFromTheWorkingDirectory)
{
    write_ini("[XKS]\nPORT = 5000\n");
    char old[512];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
    int32_t rc = XKSLibReadConfig(acb_.get(), nullptr, "");
    EXPECT_EQ(chdir(old), 0);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(acb_->cfg.port, 5000);
    EXPECT_STREQ(acb_->cfg.xini, "xks.ini");
    EXPECT_STREQ(acb_->cfg.xsect, "XKS");
    EXPECT_EQ(std::string(acb_->cfg.xdir), tmp_.path());
    // The re-read finds the same file although the working directory moved.
    write_ini("[XKS]\nT3 = 9\n");
    EXPECT_EQ(XKSLibRereadConfig(acb_.get()), 0);
    EXPECT_EQ(acb_->cfg.t3, 9);
}

TEST_F(LibConfigTest, MissingFileFailsWithNothingAllocated)
{
    EXPECT_EQ(XKSLibReadConfig(acb_.get(), (tmp_ / "none.ini").c_str(), nullptr), -2);
    EXPECT_EQ(acb_->cfg.devid, nullptr);
    EXPECT_EQ(acb_->cfg.devst, nullptr);
}

TEST_F(LibConfigTest, RereadAppliesOnlyTheKeysThatMayChange)
{
    ASSERT_EQ(load("[XKS]\nSECSMODE = 0x11\nDEVID = 1\nT3 = 30\nLINKINT = 60\nPORT = 5000\n"
                   "QUEDIR = q\nMDMSSG = a.sml\n"),
              0);
    write_ini("[XKS]\nSECSMODE = 0x51\nDEVID = 2\nT3 = 31\nPORT = 6000\nQUEDIR = other\n"
              "MDMSSG = b.sml\nTRCTHOST = monitor\n");
    ASSERT_EQ(XKSLibRereadConfig(acb_.get()), 0);
    EXPECT_EQ(acb_->cfg.t3, 31);
    EXPECT_EQ(acb_->cfg.linkint, 0);  // taken out of the file: back to its default
    EXPECT_STREQ(acb_->cfg.trcthost, "monitor");
    EXPECT_EQ(std::string(acb_->cfg.mdmssg), tmp_ / "b.sml");
    EXPECT_EQ(acb_->cfg.secsmode, 0x11u);
    EXPECT_EQ(acb_->cfg.port, 5000);
    EXPECT_EQ(std::string(acb_->cfg.quedir), tmp_ / "q");
    EXPECT_EQ(devids(), (std::vector<int32_t>{1}));
}

TEST_F(LibConfigTest, WatchRereadsOnceTheFileChangesAndTheIntervalPassed)
{
    ASSERT_EQ(load("[XKS]\nINTER3 = 60\nT3 = 30\n"), 0);
    ASSERT_EQ(XKWTraceOpen(&acb_->utrace, 0, (tmp_ / "u.trc").c_str(), "test", 0), 0);
    int64_t t0 = 1000000;
    EXPECT_EQ(XKSLibWatchConfig(acb_.get(), t0, "CommSend   ", &acb_->utrace), 0);  // unchanged

    std::string path = write_ini("[XKS]\nINTER3 = 60\nT3 = 31\n");
    struct timespec times[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(XKSLibWatchConfig(acb_.get(), t0 + 59, "CommSend   ", &acb_->utrace), 0);  // too early
    EXPECT_EQ(acb_->cfg.t3, 30);
    EXPECT_EQ(XKSLibWatchConfig(acb_.get(), t0 + 60, "CommSend   ", &acb_->utrace), 1);
    EXPECT_EQ(acb_->cfg.t3, 31);
    EXPECT_EQ(XKSLibWatchConfig(acb_.get(), t0 + 200, "CommSend   ", &acb_->utrace), 0);
    XKWTraceClose(&acb_->utrace);

    std::ifstream in(tmp_ / "u.trc");
    std::stringstream text;
    text << in.rdbuf();
    std::string want = "CommSend   Get parameters from " + path + " [XKS].";
    EXPECT_NE(text.str().find(want), std::string::npos) << text.str();
}

TEST_F(LibConfigTest, ListingGoesToTheOpenTraceTaggedIn)
{
    ASSERT_EQ(load("[XKS]\nDEVID = 1\n"), 0);
    ASSERT_EQ(XKWTraceOpen(&acb_->utrace, 0, (tmp_ / "u.trc").c_str(), "test", 0), 0);
    EXPECT_EQ(XKSLibDumpConfig(acb_.get(), 0), 66);
    // The engine's trace is not open here: with bit 31 nothing is written.
    EXPECT_EQ(XKSLibDumpConfig(acb_.get(), XKS_DUMP_CTRACE | XKS_DUMP_TRACE_ONLY), 66);
    XKWTraceClose(&acb_->utrace);
    std::ifstream in(tmp_ / "u.trc");
    std::string line;
    int in_lines = 0;
    bool devid = false;
    while (std::getline(in, line)) {
        if (line.find(" IN ") != std::string::npos || line.find(":IN") != std::string::npos)
            ++in_lines;
        devid = devid || line.find("DEVID       = \"0x0001\"") != std::string::npos;
    }
    EXPECT_EQ(in_lines, 66);
    EXPECT_TRUE(devid);
}

TEST_F(LibConfigTest, DeviceLookupFollowsProtocolAndTopBitMode)
{
    ASSERT_EQ(load("[XKS]\nDEVID = \"0x8001, 0x7FFF, 0xFFFF\"\n"), 0);  // HSMS
    EXPECT_EQ(XKSLibDevIndex(acb_.get(), 0x8001), 0);
    EXPECT_EQ(XKSLibDevIndex(acb_.get(), 0x0001), -19);
    EXPECT_EQ(XKSLibDevIndex(acb_.get(), 0xFFFF), 2);
    acb_->cfg.secsmode |= 0x200;  // the top bit is the R-bit, as in SECS-I
    EXPECT_EQ(XKSLibDevIndex(acb_.get(), 0x0001), 0);
    EXPECT_EQ(XKSLibDevIndex(acb_.get(), 0xFFFF), 2);  // compared whole
    EXPECT_EQ(XKSLibDevIndex(acb_.get(), 0x0002), -19);
    acb_->cfg.secsmode = 0;  // SECS-I
    EXPECT_EQ(XKSLibDevIndex(acb_.get(), 0xFFFF), 1);
    EXPECT_EQ(XKSLibDevIndex(acb_.get(), 0x0001), 0);
}

TEST_F(LibConfigTest, TransactionSequenceWraps)
{
    ASSERT_EQ(load("[XKS]\nXIDMIN = 1\nXIDMAX = 3\n"), 0);
    std::vector<int32_t> got;
    int32_t x = 0;
    for (int i = 0; i < 5; ++i)
        got.push_back(x = XKSLibNextXid(acb_.get(), x));
    EXPECT_EQ(got, (std::vector<int32_t>{1, 2, 3, 1, 2}));
    EXPECT_EQ(XKSLibNextXid(acb_.get(), -5), 1);
}

TEST(LibNames, QueueAndTraceFileNames)
{
    char name[XKS_PATH_SIZE];
    ASSERT_EQ(XKSLibQueueName(0, 0, 1, "/q", name, sizeof name), 0);
    EXPECT_STREQ(name, "/q/qh0001r.xkq");
    ASSERT_EQ(XKSLibQueueName(2, 0x10, 0x1ABCD, "/q/", name, sizeof name), 0);
    EXPECT_STREQ(name, "/q/qeabcdc.xkq");
    ASSERT_EQ(XKSLibTraceName(3, 0, 1, "/t", name, sizeof name), 0);
    EXPECT_STREQ(name, "/t/th0001u.trc");
    EXPECT_EQ(XKSLibTraceName(4, 0, 1, "/t", name, sizeof name), -22);
    EXPECT_EQ(XKSLibQueueName(0, 0, 1, "/long/dir", name, 10), -28);
    EXPECT_STREQ(name, "");
}

TEST(LibVersion, RecordAndWordSize)
{
    char rec[96];
    EXPECT_EQ(XKSLibVersion(rec), int32_t(sizeof(void*) * 8));
    EXPECT_STREQ(rec, "20.040");
    EXPECT_STREQ(rec + 32, "200412.1455");
    EXPECT_STREQ(rec + 64, "VS2010");
}

TEST(LibPrint, FallbackFileStartsFreshThenAppends)
{
    TempDir tmp{"xksprint"};
    char old[512];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    std::ofstream(tmp / XKS_PRINT_FILE) << "left from an earlier run\n";
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    EXPECT_EQ(XKSLibPrint(0x02, "first\n"), 6);
    EXPECT_EQ(XKSLibPrint(0x12, "n=%d\n", 42), 5);
    EXPECT_EQ(XKSLibPrint(0x10, "nowhere %d\n", 1), 10);
    EXPECT_EQ(chdir(old), 0);

    std::ifstream in(tmp / XKS_PRINT_FILE);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 2u);
    // "%06d.%06d.%03d:" then the text
    for (const std::string& l : lines) {
        ASSERT_GE(l.size(), 18u);
        EXPECT_EQ(l[6], '.');
        EXPECT_EQ(l[13], '.');
        EXPECT_EQ(l[17], ':');
    }
    EXPECT_EQ(lines[0].substr(18), "first");
    EXPECT_EQ(lines[1].substr(18), "n=42");
}

}  // namespace
