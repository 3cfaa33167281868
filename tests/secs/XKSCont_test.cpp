#include "secs/XKSCont.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/TempDir.h"
#include "runtime/XKWDate.h"
#include "runtime/XKWTime.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSLib.h"

namespace {

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Make a file look days old.
void age(const std::string& path, int days)
{
    struct timeval tv[2] = {};
    tv[0].tv_sec = tv[1].tv_sec = time(nullptr) - int64_t(days) * 86400;
    ASSERT_EQ(::utimes(path.c_str(), tv), 0) << path;
}

void touch(const std::string& path, int days_old)
{
    std::ofstream(path) << "x\n";
    age(path, days_old);
}

struct Taken {
    int32_t rc;
    XKSRequest req;
    std::vector<uint8_t> body;
};

Taken take(XKQueueBlock* q)
{
    std::vector<uint8_t> buf(4096);
    Taken t{};
    t.rc = XKQRecvGet(q, 0, buf.data(), int32_t(buf.size()), nullptr);
    if (t.rc >= XKS_REQ_SIZE) {
        std::memcpy(&t.req, buf.data(), sizeof t.req);
        t.body.assign(buf.begin() + XKS_REQ_SIZE, buf.begin() + t.rc);
    }
    return t;
}

// The three queues of a library session in private memory.
struct UserQueues {
    XKQueueBlock r{}, s{}, c{};
    UserQueues()
    {
        EXPECT_EQ(XKQRecvOpen(&r, 0xB0, "r", 256, 8), 0);
        EXPECT_EQ(XKQSendOpen(&s, 0xB0, "s", 256, 8), 0);
        EXPECT_EQ(XKQRecvOpen(&c, 0xB0, "c", 64, 8), 0);
    }
    ~UserQueues()
    {
        XKQRecvClose(&r);
        XKQSendClose(&s);
        XKQRecvClose(&c);
    }
};

class ContTest : public ::testing::Test {
protected:
    void SetUp() override { acb_ = static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb))); }
    void TearDown() override
    {
        ContClose(acb_);
        XKSMDFree(&acb_->md[1]);
        XKSLibFreeConfig(acb_);
        std::free(acb_);
    }
    // An HSMS host on device 1, file queues and a process trace in the temp
    // dir; extra: further lines of [XKS].
    std::string ini(const std::string& extra = "")
    {
        std::string path = tmp_ / "xks.ini";
        std::ofstream(path) << "[XKS]\nSECSMODE=0x1\nDEVID=1\nQUEMODE=0x30\nQUEREC=16\nTRCPOUT=2\n"
                               "INTER0=20\nINTER1=50\n"
                            << extra;
        return path;
    }
    int32_t open(const std::string& extra = "", XKQueueBlock* r = nullptr, XKQueueBlock* s = nullptr,
                 XKQueueBlock* c = nullptr)
    {
        return ContOpen(acb_, 0, ini(extra).c_str(), "XKS", r, s, c);
    }
    std::string file(const std::string& name) const { return tmp_ / name; }
    Taken take_file(const char* name, int32_t recsize)
    {
        XKQueueBlock q{};
        EXPECT_EQ(XKQRecvOpen(&q, 0x30, file(name).c_str(), recsize, 16), 0);
        Taken t = take(&q);
        XKQRecvClose(&q);
        return t;
    }

    TempDir tmp_{"xkscont"};
    XKSAcb* acb_ = nullptr;
};

// ---- open and close ----

TEST_F(ContTest, OpenOnceCloseReleasesOnce)
{
    EXPECT_EQ(ContClose(acb_), -9);
    EXPECT_EQ(ContOpen(acb_, 0, file("none.ini").c_str(), "XKS", nullptr, nullptr, nullptr), -2);
    EXPECT_NE(acb_->marker, XKS_ACB_OPEN);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(acb_->self, acb_);
    EXPECT_EQ(acb_->tlock, &acb_->res->tlock);
    EXPECT_EQ(open(), -16);
    EXPECT_EQ(ContClose(acb_), 0);
    // The marker stays; a second close has nothing left to free.
    EXPECT_EQ(acb_->marker, XKS_ACB_OPEN);
    EXPECT_EQ(ContClose(acb_), 0);
    EXPECT_EQ(acb_->res, nullptr);
}

TEST_F(ContTest, NoDeviceWithoutAnyDeviceModeIsRefused)
{
    std::string path = tmp_ / "nodev.ini";
    std::ofstream(path) << "[XKS]\nDEVMODE=0\nQUEMODE=0x30\n";
    EXPECT_EQ(ContOpen(acb_, 0, path.c_str(), "XKS", nullptr, nullptr, nullptr), -22);
    EXPECT_NE(acb_->marker, XKS_ACB_OPEN);
    EXPECT_EQ(acb_->cfg.devid, nullptr);
    EXPECT_FALSE(exists(file("qh0000s.xkq")));
}

TEST_F(ContTest, TransactionTableOnlyWithSomeSupervision)
{
    ASSERT_EQ(open("DEVMODE=0x30\n"), 0);
    EXPECT_EQ(acb_->res->tx, nullptr);
    ContClose(acb_);
    std::memset(acb_, 0, sizeof *acb_);
    ASSERT_EQ(open("DEVMODE=0x10\nXTRANX=4\n"), 0);
    ASSERT_NE(acb_->res->tx, nullptr);
    std::memset(acb_->res->tx, 0xAB, 5 * sizeof(XKSTxEntry));  // XTRANX and the spare
}

TEST_F(ContTest, TracesAreNamedPerSideAndDeviceAndCarryTheBanner)
{
    ASSERT_EQ(open("TRCTOUT=2\n"), 0);
    EXPECT_TRUE(exists(file("th0001t.trc")));
    EXPECT_TRUE(exists(file("th0001e.trc")));
    // Identification lines: the version first, then the settings listing.
    XKSContRes* res = acb_->res;
    EXPECT_EQ(std::string(res->idlines[0]).rfind("XK-Project [XKS:20.040(", 0), 0u) << res->idlines[0];
    EXPECT_NE(std::string(res->idlines[0]).find("] .. [Apr 16 2020 15:22:30]"), std::string::npos);
    EXPECT_EQ(std::string(res->idlist[1]), file("xks.ini") + " [XKS]");
    EXPECT_EQ(std::string(res->idlist[3]), "DEVMODE     =  0x00001800");
    EXPECT_EQ(res->idlist[XKS_IDLINES], nullptr);
    EXPECT_EQ(res->ctrace.id_lines, res->idlist);
    ASSERT_NE(res->etrace.id_lines, nullptr);
    EXPECT_STREQ(res->etrace.id_lines[0], res->idlines[0]);
    EXPECT_EQ(res->etrace.id_lines[1], nullptr);

    std::string p = FileText(file("th0001p.trc"));
    EXPECT_NE(p.find("VER:20.040(64bit) XKSCont DATE:200412"), std::string::npos);  // title, cut
    EXPECT_NE(p.find(" by VS2010] Start"), std::string::npos);
    EXPECT_NE(p.find("  File:" + file("xks.ini") + ".  Sect:XKS."), std::string::npos);
    EXPECT_NE(p.find("  Queue for send result:" + file("qh0001c.xkq") + ".  size:  64  rec:  16"),
              std::string::npos);
    EXPECT_EQ(count_of(FileText(file("th0001t.trc")), " by VS2010] Start"), 1);
    ASSERT_EQ(ContClose(acb_), 0);
    // CR LF line ends (TRCTATTR 0x810F, TRCPATTR 0x812F): the blank lines match.
    EXPECT_NE(FileText(file("th0001t.trc")).find(" by VS2010] Stop\r\n\r\n\r\n"), std::string::npos);
    p = FileText(file("th0001p.trc"));
    EXPECT_NE(p.find("ContClose Send terminate reply"), std::string::npos);
    EXPECT_NE(p.find("] Stop\r\n\r\n\r\n"), std::string::npos);
}

TEST_F(ContTest, EquipmentSideNamesAndSwitchedOffTraces)
{
    std::string path = tmp_ / "eq.ini";
    std::ofstream(path) << "[XKS]\nSECSMODE=0x11\nDEVID=0x1a,3\nQUEMODE=0x30\nTRCTOUT=0\nTRCPOUT=0x2\n"
                           "TRCPATTR=0x010F\n";
    ASSERT_EQ(ContOpen(acb_, 0, path.c_str(), "XKS", nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(exists(file("te001ap.trc")));
    EXPECT_FALSE(exists(file("te001at.trc")));
    EXPECT_TRUE(exists(file("qe001as.xkq")));
    EXPECT_EQ(acb_->ctrace->open, 0u);
    ContClose(acb_);
    EXPECT_NE(FileText(file("te001ap.trc")).find("] Stop\n\n\n\n"), std::string::npos);
}

// ---- queues ----

TEST_F(ContTest, OwnSendQueueIsDrainedAndCloseAnswers)
{
    XKQueueBlock w{};
    ASSERT_EQ(XKQSendOpen(&w, 0x30, file("qh0001s.xkq").c_str(), 1024, 16), 0);
    XKSRequest stale{};
    stale.req = XKS_REQ_CONNECT;
    for (int i = 0; i < 3; ++i)
        ASSERT_GT(XKQSendPut(&w, 0, &stale, sizeof stale), 0);
    XKQSendClose(&w);

    ASSERT_EQ(open(), 0);
    EXPECT_EQ(acb_->qd, acb_->qs);
    EXPECT_EQ(take(acb_->qs).rc, -120);
    ASSERT_EQ(ContClose(acb_), 0);
    EXPECT_EQ(take_file("qh0001s.xkq", 1024).rc, -120);
    Taken t = take_file("qh0001c.xkq", 64);
    EXPECT_EQ(t.rc, XKS_REQ_SIZE);
    EXPECT_EQ(t.req.req, XKS_REQ_TERMINATE);
    EXPECT_EQ(t.req.rtn, 0);
}

TEST_F(ContTest, CallerBlocksAreUsedInPlaceUndrainedAndLeftOpen)
{
    UserQueues q;
    EXPECT_EQ(open("QUEMODE=0xB0\n", &q.r, &q.s, nullptr), -14);
    EXPECT_EQ(acb_->xerr, -14);
    EXPECT_EQ(acb_->res, nullptr);
    std::memset(acb_, 0, sizeof *acb_);

    XKSRequest pending{};
    pending.req = XKS_REQ_CONNECT;
    ASSERT_GT(XKQSendPut(&q.s, 0, &pending, sizeof pending), 0);
    ASSERT_EQ(open("QUEMODE=0xB0\n", &q.r, &q.s, &q.c), 0);
    EXPECT_EQ(acb_->qr, &q.r);
    EXPECT_EQ(acb_->qc, &q.c);
    EXPECT_EQ(acb_->qd, &q.s);
    EXPECT_EQ(take(&q.s).req.req, XKS_REQ_CONNECT);
    ASSERT_EQ(ContClose(acb_), 0);
    EXPECT_EQ(take(&q.c).req.req, XKS_REQ_TERMINATE);
    EXPECT_GT(XKQSendPut(&q.s, 0, &pending, sizeof pending), 0);  // still open
}

TEST_F(ContTest, PutFramesTheRecordAndPadsOnlyTheReceiveQueue)
{
    ASSERT_EQ(open(), 0);
    const uint8_t header[10] = {0, 1, 0x81, 1, 0, 0, 0, 0, 0x34, 0x12};
    const uint8_t body[3] = {0x41, 0x01, 'x'};
    EXPECT_EQ(cont_put(acb_, acb_->qr, XKS_EV_T3, -7, header, body, 3), XKS_REQ_SIZE + 3 + 2);
    EXPECT_EQ(cont_put(acb_, acb_->qs, XKS_REQ_DATA, 0, header, body, 3), XKS_REQ_SIZE + 3);
    EXPECT_EQ(cont_put(acb_, acb_->qs, 0, 0, nullptr, nullptr, -1), -22);
    EXPECT_EQ(cont_put(acb_, nullptr, 0, 0, nullptr, nullptr, 0), -9);
    Taken t = take_file("qh0001r.xkq", 1024);
    ASSERT_EQ(t.rc, XKS_REQ_SIZE + 5);
    EXPECT_EQ(t.req.req, XKS_EV_T3);
    EXPECT_EQ(t.req.rtn, -7);
    EXPECT_EQ(t.req.len, 3u);
    EXPECT_EQ(std::memcmp(t.req.header, header, 10), 0);
    EXPECT_EQ(t.body, (std::vector<uint8_t>{0x41, 0x01, 'x', 0, 0}));
    EXPECT_EQ(take(acb_->qs).rc, XKS_REQ_SIZE + 3);
}

// ---- control loop ----

TEST_F(ContTest, LinktestTimerPutsOneRequestPerInterval)
{
    ASSERT_EQ(open("LINKINT=30\n"), 0);
    const int64_t t0 = 5000;
    EXPECT_EQ(cont_linktest(acb_, t0), 0);  // the first SELECTED pass starts the clock
    EXPECT_EQ(cont_linktest(acb_, t0 + 29), 0);
    EXPECT_EQ(cont_linktest(acb_, t0 + 30), 0);
    EXPECT_EQ(take(acb_->qs).rc, -120);
    EXPECT_EQ(cont_linktest(acb_, t0 + 31), 1);
    EXPECT_EQ(cont_linktest(acb_, t0 + 32), 0);
    Taken t = take(acb_->qs);
    EXPECT_EQ(t.rc, XKS_REQ_SIZE);
    EXPECT_EQ(t.req.req, XKS_REQ_LINKTEST);
    EXPECT_EQ(take(acb_->qs).rc, -120);
    // A linktest sent meanwhile by the send thread moves the clock.
    acb_->xlt = t0 + 50;
    EXPECT_EQ(cont_linktest(acb_, t0 + 62), 0);
    EXPECT_EQ(cont_linktest(acb_, t0 + 81), 1);
    ContClose(acb_);
    EXPECT_NE(FileText(file("th0001p.trc")).find("Send LinkTest"), std::string::npos);
}

TEST_F(ContTest, LoopPassRunsLinktestOnlyWhileSelectedOnHsms)
{
    ASSERT_EQ(open("LINKINT=1\nINTER3=100\n"), 0);
    acb_->xfa = 1000;
    acb_->xstat = 1;
    EXPECT_EQ(cont_loop_pass(acb_, 1000), 0);
    EXPECT_EQ(cont_loop_pass(acb_, 1010), 0);
    EXPECT_EQ(acb_->xlt, 0);
    acb_->xstat = 3;
    cont_loop_pass(acb_, 1020);
    cont_loop_pass(acb_, 1022);
    EXPECT_EQ(take(acb_->qs).req.req, XKS_REQ_LINKTEST);
    acb_->xstat = 4;  // DESELECTING: expiry check, no linktest
    // Housekeeping once INTER3 has passed, and at the very first pass.
    EXPECT_EQ(cont_loop_pass(acb_, 1100), 0);
    EXPECT_EQ(cont_loop_pass(acb_, 1101), 1);
    EXPECT_EQ(acb_->xfa, 1101);
    acb_->xfa = 0;
    EXPECT_EQ(cont_loop_pass(acb_, 5), 1);
    // Off, or SECS-I: never.
    acb_->cfg.secsmode = 0;
    EXPECT_EQ(cont_linktest(acb_, 3000), 0);
    acb_->cfg.secsmode = 1;
    acb_->cfg.linkint = 0;
    EXPECT_EQ(cont_linktest(acb_, 4000), 0);
    EXPECT_EQ(take(acb_->qs).rc, -120);
}

TEST_F(ContTest, ChangedIniIsReadAgainAndReappliedToTheTraces)
{
    std::string path = ini("TRCTOUT=2\nLINKINT=0\n");
    ASSERT_EQ(ContOpen(acb_, 0, path.c_str(), "XKS", nullptr, nullptr, nullptr), 0);
    int32_t today = XKWTimeDate(0);
    EXPECT_EQ(cont_housekeeping(acb_, 100, today, 120000), 0);
    EXPECT_EQ(count_of(FileText(file("th0001t.trc")), "LINKINT     ="), 0);  // unchanged: not read

    ini("TRCTOUT=2\nLINKINT=7\nTRCPLEVEL=3\nTRCTLEVEL=4\n");
    age(path, 1);  // another modification time whatever the clock's grain
    EXPECT_EQ(cont_housekeeping(acb_, 200, today, 120000), 0);
    EXPECT_EQ(acb_->cfg.linkint, 7);
    EXPECT_EQ(acb_->ptrace->level, 3);
    EXPECT_EQ(acb_->ctrace->level, 4);
    EXPECT_EQ(acb_->etrace->level, 4);
    std::string t = FileText(file("th0001t.trc"));
    EXPECT_NE(t.find("Get parameters from " + path + " [XKS]."), std::string::npos);
    EXPECT_EQ(count_of(t, "LINKINT     =       7"), 1);
    bool listed = false;
    for (int32_t i = 1; i < XKS_IDLINES && acb_->res->idlist[i] != nullptr; ++i)
        listed = listed || std::string(acb_->res->idlist[i]) == "LINKINT     =       7";
    EXPECT_TRUE(listed);
}

// ---- old-file removal ----

class ContRemovalTest : public ::testing::Test {
protected:
    void SetUp() override { acb_ = static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb))); }
    void TearDown() override
    {
        XKSLibFreeConfig(acb_);
        std::free(acb_);
    }
    // Settings only: no traces, no queues.
    void load(const std::string& extra)
    {
        XKSLibFreeConfig(acb_);
        std::string path = tmp_ / "xks.ini";
        std::ofstream(path) << "[XKS]\nDEVID=1\n" << extra;
        ASSERT_EQ(XKSLibReadConfig(acb_, path.c_str(), nullptr), 0);
    }
    std::string file(const std::string& name) const { return tmp_ / name; }
    int32_t day(int32_t offset) const { return XKWDateOfDay(XKWDateDay(today_) + offset); }

    TempDir tmp_{"xksrm"};
    XKSAcb* acb_ = nullptr;
    int32_t today_ = XKWTimeDate(0);
};

TEST_F(ContRemovalTest, OnceADayAfterTheRemovalTime)
{
    load("TRCDELDAY=7\nTRCDELTIME=0\n");
    touch(file("th0001t.trc"), 10);
    touch(file("th0001p.trc"), 2);
    touch(file("qh0001r.xkq.000003"), 10);
    touch(file("qh0001r.xkq"), 10);  // the queue itself stays
    touch(file("notes.trc"), 10);
    cont_removal_start(acb_, today_, 120000);
    EXPECT_EQ(cont_remove_old(acb_, today_, 235959), 0);  // not on the start day
    EXPECT_EQ(cont_remove_old(acb_, day(1), 1), 2);
    EXPECT_FALSE(exists(file("th0001t.trc")));
    EXPECT_FALSE(exists(file("qh0001r.xkq.000003")));
    EXPECT_TRUE(exists(file("th0001p.trc")));
    EXPECT_TRUE(exists(file("qh0001r.xkq")));
    EXPECT_TRUE(exists(file("notes.trc")));
    touch(file("th0002t.trc"), 10);
    EXPECT_EQ(cont_remove_old(acb_, day(1), 2), 0);
    EXPECT_EQ(cont_remove_old(acb_, day(2), 1), 1);

    // Started at one o'clock with the removal at three: the same day.
    load("TRCDELDAY=7\nTRCDELTIME=30000\n");
    touch(file("th0001t.trc"), 10);
    cont_removal_start(acb_, today_, 10000);
    EXPECT_EQ(cont_remove_old(acb_, today_, 30000), 0);
    EXPECT_EQ(cont_remove_old(acb_, today_, 30001), 1);
    EXPECT_EQ(cont_remove_old(acb_, today_, 40000), 0);

    // Negative days: at the first pass, whatever the time.
    load("TRCDELDAY=-7\nTRCDELTIME=230000\n");
    touch(file("th0001t.trc"), 8);
    touch(file("th0001e.trc"), 6);
    cont_removal_start(acb_, today_, 10000);
    EXPECT_EQ(cont_remove_old(acb_, today_, 10000), 1);
    EXPECT_TRUE(exists(file("th0001e.trc")));

    // Counted in days, not as a yymmdd delta: 100 days is not a month.
    load("TRCDELDAY=-100\n");
    touch(file("th0001t.trc"), 50);
    touch(file("th0001e.trc"), 101);
    EXPECT_EQ(cont_remove_old(acb_, today_, 120000), 1);
    EXPECT_TRUE(exists(file("th0001t.trc")));

    load("TRCDELDAY=0\n");
    touch(file("th0001t.trc"), 400);
    EXPECT_EQ(cont_remove_old(acb_, today_, 120000), 0);
}

TEST_F(ContRemovalTest, DayDirectoriesAreEmptiedAndRemoved)
{
    load("TRCDELDAY=-7\nTRCTOUT=0x12\n");
    for (const char* d : {"200101", "200102", "200103"})
        ASSERT_EQ(::mkdir(file(d).c_str(), 0755), 0);
    touch(file("200101/th0001t.trc"), 30);
    touch(file("200101/th0001p.trc"), 30);
    touch(file("200103/th0001t.trc"), 30);
    touch(file("200103/th0001e.trc"), 1);
    touch(file("200103/keep.txt"), 30);
    touch(file("config"), 30);  // a plain file with a day directory's name length
    touch(file("th0001t.trc"), 30);
    EXPECT_EQ(cont_remove_old(acb_, today_, 120000), 3);
    EXPECT_FALSE(exists(file("200101")));
    EXPECT_FALSE(exists(file("200102")));  // was empty
    EXPECT_FALSE(exists(file("200103/th0001t.trc")));
    EXPECT_TRUE(exists(file("200103/th0001e.trc")));
    EXPECT_TRUE(exists(file("200103/keep.txt")));
    EXPECT_TRUE(exists(file("config")));
    EXPECT_TRUE(exists(file("th0001t.trc")));  // not this naming's pattern
}

TEST_F(ContRemovalTest, PatternFollowsTheNamingBits)
{
    struct Case {
        const char* out;
        const char* old_name;    // matches the naming's pattern
        const char* other_name;  // another naming's file
    };
    const Case cases[] = {
        {"0x02", "th0001t.trc", "th0001t.0001.trc"},
        {"0x22", "200101.th0001t.trc", "th0001t.trc"},
        {"0x32", "th0001t.200101.trc", "th0001t.trc"},
        {"0x42", "th0001t.0003.trc", "th0001t.trc"},
        {"0x62", "200101.th0001t.0003.trc", "200101.th0001t.trc"},
        {"0x72", "th0001t.200101.0012.trc", "th0001t.200101.trc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        load(std::string("TRCDELDAY=-1\nTRCTOUT=") + c.out + "\n");
        touch(file(c.old_name), 5);
        touch(file(c.other_name), 5);
        EXPECT_EQ(cont_remove_old(acb_, today_, 120000), 1);
        EXPECT_FALSE(exists(file(c.old_name)));
        EXPECT_TRUE(exists(file(c.other_name)));
        ::unlink(file(c.other_name).c_str());
    }
}

// ---- definitions and comments ----

TEST_F(ContTest, MissingDefinitionFileIsReportedOnce)
{
    ASSERT_EQ(open("TRCTOUT=2\nTRCTTYPE=0x01\nMDMSSG=defs.sml\n"), 0);
    EXPECT_EQ(MDMssgTable(0, acb_), 0);  // no names wanted: nothing loaded
    acb_->cfg.trcttype = 0x81;
    EXPECT_EQ(MDMssgTable(0, acb_), -2);
    EXPECT_EQ(MDMssgTable(1, acb_), -2);
    EXPECT_EQ(MDMssgTable(1, acb_), -2);
    const std::string error = "[ERROR] SECS Message define file initialize error (" + file("defs.sml") + " .. -2)";
    EXPECT_EQ(count_of(FileText(file("th0001e.trc")), error), 1);
    EXPECT_EQ(count_of(FileText(file("th0001p.trc")), error), 1);

    std::ofstream(file("defs.sml")) << "S1F1\n";
    EXPECT_EQ(MDMssgTable(1, acb_), 0);
    EXPECT_EQ(MDMssgTable(1, acb_), 0);
    EXPECT_EQ(acb_->md[1].op, XKS_ACB_OPEN);
    EXPECT_EQ(count_of(FileText(file("th0001p.trc")), "SECS Message define file initialized (" + file("defs.sml") + ")"),
              1);
    EXPECT_EQ(MDMssgTable(9, acb_), 0);
    EXPECT_NE(acb_->md[1].op, XKS_ACB_OPEN);
}

// A comment request as the library builds it.
std::vector<uint8_t> comment(const char* source, uint16_t line, const std::string& text)
{
    std::vector<uint8_t> rec(XKS_REQ_SIZE + XKS_COMMENT_FILE + text.size() + 1);
    XKSRequest r{};
    r.req = XKS_REQ_COMMENT;
    r.len = uint32_t(XKS_COMMENT_FILE + text.size() + 1);
    std::memcpy(r.header + 8, &line, 2);
    std::memcpy(rec.data(), &r, sizeof r);
    std::strncpy(reinterpret_cast<char*>(rec.data()) + XKS_REQ_SIZE, source, XKS_COMMENT_FILE);
    std::memcpy(rec.data() + XKS_REQ_SIZE + XKS_COMMENT_FILE, text.c_str(), text.size() + 1);
    return rec;
}

std::vector<std::string> g_seen;
void remember(const XKSTraceRecord* r, void*) { g_seen.emplace_back(r->text); }

TEST_F(ContTest, CommentGoesToTheCommunicationTraceWithTheCallersSource)
{
    ASSERT_EQ(open("TRCTOUT=2\nTRCTATTR=0x0130\n"), 0);
    g_seen.clear();
    acb_->tcb = remember;
    std::vector<uint8_t> rec = comment("app/caller.cpp", 321, "hello world");
    auto* r = reinterpret_cast<XKSRequest*>(rec.data());
    EXPECT_EQ(ContComment(acb_, r), 0);
    EXPECT_NE(FileText(file("th0001t.trc")).find(":caller.cpp      :0321:UU:hello world\n"), std::string::npos);
    EXPECT_EQ(g_seen, std::vector<std::string>{"hello world"});
    acb_->tcb = nullptr;

    r->len -= 1;  // the text's NUL outside the record
    EXPECT_EQ(ContComment(acb_, r), -22);
    r->len = XKS_COMMENT_FILE;  // no room for any text
    EXPECT_EQ(ContComment(acb_, r), -22);
    std::string longname(40, 'f');  // fills its field: cut, not run over
    rec = comment(longname.c_str(), 1, "ok");
    EXPECT_EQ(ContComment(acb_, reinterpret_cast<XKSRequest*>(rec.data())), 0);
}

// ---- the engine thread ----

TEST_F(ContTest, SecsOneEngineEndsCleanlyWithNoDevice)
{
    XKSAcb user{};
    int32_t rc = ContMain(acb_, 0, ini("SECSMODE=0x0\n").c_str(), "XKS", &user, nullptr, nullptr, nullptr,
                          nullptr, nullptr);
    EXPECT_EQ(rc, -5);  // no SDEVICE: the line does not open
    EXPECT_EQ(acb_->sexec, 0);
    std::string p = FileText(file("th0001p.trc"));
    EXPECT_NE(p.find("Wakeup processing thread acb=0x"), std::string::npos);
    EXPECT_NE(p.find("  For receive  [XKSCThreadRecv("), std::string::npos);
    EXPECT_NE(p.find("  For send     [XKSCThreadSend("), std::string::npos);
    Taken failure = take_file("qh0001r.xkq", 1024);
    EXPECT_EQ(failure.req.req, 0);
    EXPECT_EQ(failure.req.rtn, -5);
    EXPECT_EQ(take_file("qh0001c.xkq", 64).req.req, XKS_REQ_TERMINATE);
}

TEST_F(ContTest, ThreadEntrySplitsItsArgumentFromTheRight)
{
    // A directory with a comma in its name must not shift the fields.
    std::string dir = tmp_ / "a,b";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    std::string path = dir + "/xks.ini";
    std::ofstream(path) << "[SEC]\nSECSMODE=0\nDEVID=2\nQUEMODE=0xB0\nINTER1=50\nTRCPOUT=2\n";
    UserQueues q;
    XKSAcb user{};
    char arg[1024];
    std::snprintf(arg, sizeof arg, "%s,SEC,%016llx,%016llx,%016llx,%016llx,%016llx,%016llx", path.c_str(),
                  (unsigned long long)(uintptr_t)&user, (unsigned long long)(uintptr_t)&q.r,
                  (unsigned long long)(uintptr_t)&q.s, (unsigned long long)(uintptr_t)&q.c, 0ull, 0ull);
    XKSCCBProc(arg);
    EXPECT_EQ(take(&q.c).req.req, XKS_REQ_TERMINATE);
    EXPECT_NE(FileText(dir + "/th0002p.trc").find("Sect:SEC."), std::string::npos);
}

TEST_F(ContTest, TerminateRequestEndsAnHsmsEngine)
{
    // Active mode: nothing listens and nothing connects until asked.
    std::string path = ini("SECSMODE=0x41\nHOST=127.0.0.1\nPORT=1\nQUEMODE=0xB0\n");
    UserQueues q;
    // The caller's queue is not drained at start: a request put first waits.
    XKSRequest stop{};
    stop.req = XKS_REQ_TERMINATE;
    ASSERT_GT(XKQSendPut(&q.s, 0, &stop, sizeof stop), 0);
    int32_t rc = 1;
    std::thread engine(
        [&] { rc = ContMain(acb_, 0, path.c_str(), "XKS", nullptr, &q.r, &q.s, &q.c, nullptr, nullptr); });
    engine.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(acb_->sexec, 0);
    Taken t{};
    for (int i = 0; i < 8 && t.req.req != XKS_REQ_TERMINATE; ++i)
        t = take(&q.c);
    EXPECT_EQ(t.req.req, XKS_REQ_TERMINATE);
    EXPECT_EQ(t.req.rtn, 0);
}

}  // namespace
