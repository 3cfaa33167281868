// Start and stop of the bridge in this process: the failure steps and
// their texts, the status bits and status texts as the PLC image and the
// link change, the spacing of connect attempts of an active host, and
// many starts and stops without leaking descriptors. The PLC is a
// shared-memory image the test maps itself; the host is a library session
// of the test on loopback.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWMem.h"
#include "tests/support/CommPair.h"
#include "tests/support/OpenFiles.h"

namespace {

constexpr int kText = 256;

struct Line {
    uint64_t tick;
    std::string text;
};
std::mutex lines_lock;
std::vector<Line> lines;

void collect(int32_t, const char* line)
{
    std::lock_guard<std::mutex> hold(lines_lock);
    lines.push_back({XKWTickCount(), line});
}

// The times at which lines holding text were shown.
std::vector<uint64_t> shown(const std::string& text)
{
    std::lock_guard<std::mutex> hold(lines_lock);
    std::vector<uint64_t> at;
    for (const Line& l : lines)
        if (l.text.find(text) != std::string::npos)
            at.push_back(l.tick);
    return at;
}

class BridgeStartTest : public ::testing::Test {
protected:
    void SetUp() override { std::ofstream(ini.dir / "md.sml") << "S1F1 H E W\nS1F2 E\n<L[0]\n"; }
    void TearDown() override
    {
        if (running) {
            EXPECT_EQ(QZVQProcClose(0, status), 0);
        }
        XKWMemRemove(shm.c_str());
    }

    // [SECS] with the given SECSMODE and more keys, [PLC] on the image;
    // [HOST] is an active library host towards the bridge's port.
    void write(const std::string& secsmode = "0x11", const std::string& secs_keys = "")
    {
        ini.write("[SECS]\nDEVID=1\nSECSMODE=" + secsmode + "\nHOST=127.0.0.1\nPORT=" + std::to_string(port) +
                  "\nMDMSSG=md.sml\n" + secs_keys +
                  "\n[PLC]\nPLCTYPE=15\nPLCHOST=" + shm + "\nPLCPORT=400\nPLCINTER=100,20\nPLCTO=1000,1000\n"
                  "PLCSSDEV0=0,0\nPLCSSDEV1=0,1\nPLCHSDEV0=0,0,1\nPLCHSDEV1=0,2,3\nPLCMSDEV0=0,0\nPLCMSDEV1=0,20\n"
                  "TRCTOUT=2\n"
                  "[HOST]\nDEVID=1\nSECSMODE=0x41\nHOST=127.0.0.1\nPORT=" + std::to_string(port) + "\n");
    }
    int32_t start(const std::string& plcini, const std::string& secsini, int32_t* step)
    {
        int32_t rc = QZVQProcOpen(0, step, plcini.c_str(), secsini.c_str(), "PLC", "SECS", status, collect);
        running = rc == 0;
        return rc;
    }
    int32_t start()
    {
        int32_t step = -1;
        int32_t rc = start(ini.path, ini.path, &step);
        EXPECT_EQ(step, rc == 0 ? 0 : QZVQ_STEP_SECS);
        return rc;
    }
    int32_t stop()
    {
        running = false;
        return QZVQProcClose(0, status);
    }
    // Poll the status texts until both equal the expected ones (within
    // ms); the result bits of all the calls together.
    int32_t status_until(const std::string& plc_expected, const std::string& secs_expected, int ms = 3000)
    {
        int32_t bits = 0;
        CommWaitFor(
            [&] {
                bits |= QZVQProcStatus(0, status, plc, secs, kText);
                return plc == plc_expected && secs == secs_expected;
            },
            ms);
        return bits;
    }

    CommIni ini{"qzvqproc"};
    int port = HsmsFreePort();
    std::string shm = "qzvqproc" + std::to_string(getpid());
    int32_t status[2] = {-1, -1};
    char plc[kText] = "", secs[kText] = "";
    bool running = false;
};

// Milliseconds of the day of each user-trace line holding text
// ("YYMMDD.hhmmss.mmm:" at the start of a line).
std::vector<int64_t> trace_times(const std::string& trace, const std::string& text)
{
    std::vector<int64_t> at;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        int hh, mm, ss, ms;
        if (line.find(text) != std::string::npos && std::sscanf(line.c_str(), "%*6d.%2d%2d%2d.%3d", &hh, &mm, &ss, &ms) == 4)
            at.push_back(((hh * 60 + mm) * 60 + ss) * 1000 + ms);
    }
    return at;
}

TEST_F(BridgeStartTest, FailedStartsNameTheirStepAndLeaveNothingBehind)
{
    struct Row {
        int32_t result, step;
        const char *plc, *secs;
    } rows[] = {
        {-2, QZVQ_STEP_SECS, "", "SECS Initialize error (-2)"},
        {-10001, QZVQ_STEP_PLCTHREAD, "PLC  Procedure thread initialize error (-10001)", ""},
        {-10002, QZVQ_STEP_SECSTHREAD, "", "SECS Procedure thread initialize error (-10002)"},
        {-1, QZVQ_STEP_CLOSING, "Not conclude previous close process", ""},
    };
    for (const Row& r : rows) {
        std::strcpy(plc, "old");
        std::strcpy(secs, "old");
        EXPECT_EQ(QZVQProcResult(0, status, plc, secs, kText, r.result, r.step), 0);
        EXPECT_STREQ(plc, r.plc);
        EXPECT_STREQ(secs, r.secs);
    }
    QZVQProcResult(0, status, plc, plc, 11, -2, QZVQ_STEP_SECS);  // one buffer, cut to its size
    EXPECT_STREQ(plc, "SECS Initi");

    // The SECS INI file, the bridge's INI file and the definitions missing.
    write("0x11", "MDMSSG=none.sml\n");
    std::ofstream(ini.dir / "good.ini") << "[SECS]\nDEVID=1\nSECSMODE=0x11\nPORT=" << port
                                        << "\nTRCDIR=" << ini.dir.path() << "\nQUEDIR=" << ini.dir.path()
                                        << "\nMDMSSG=md.sml\n";
    struct Start {
        std::string plcini, secsini;
        int32_t result;
    } starts[] = {
        {ini.path, ini.dir / "none.ini", -2},
        {ini.dir / "none.ini", ini.dir / "good.ini", -12},
        {ini.path, ini.path, -2},
    };
    int fds = OpenDescriptors();
    for (const Start& t : starts) {
        SCOPED_TRACE(t.secsini);
        int32_t step = -1;
        int32_t rc = start(t.plcini, t.secsini, &step);
        EXPECT_EQ(rc, t.result);
        EXPECT_EQ(step, QZVQ_STEP_SECS);
        QZVQProcResult(0, status, plc, secs, kText, rc, step);
        EXPECT_EQ(secs, "SECS Initialize error (" + std::to_string(t.result) + ")");
        EXPECT_STREQ(plc, "");
        EXPECT_EQ(QZVQProcClose(QZVQ_CLOSE_CONSOLE, status), 0);
    }
    EXPECT_EQ(OpenDescriptors(), fds);
    EXPECT_FALSE(shown("SECS Message definition file access error (-2)").empty());
    EXPECT_FALSE(shown("SECS Comminucation open error (-2)").empty());

    // The next start on a sound configuration works.
    write();
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(stop(), 0);
}

TEST_F(BridgeStartTest, PassiveEquipmentTextsFollowThePlcImageAndTheLink)
{
    write();
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], QZVQ_STAT_HSMS | QZVQ_STAT_EQUIP);
    const std::string image = "(" + shm + ":400)";
    const std::string passive = "HSMS-SS:Equip,Passive(" + std::to_string(port) + ")";
    status_until("PLC:Online" + image + ":Not ready", passive + ":Not connected");
    ASSERT_EQ(plc, "PLC:Online" + image + ":Not ready");
    ASSERT_EQ(secs, passive + ":Not connected");

    // Nothing changed: no text is touched.
    std::strcpy(plc, "kept");
    std::strcpy(secs, "kept");
    EXPECT_EQ(QZVQProcStatus(0, status, plc, secs, kText), 0);
    EXPECT_STREQ(plc, "kept");
    EXPECT_STREQ(secs, "kept");
    // Forced: both rebuilt.
    EXPECT_EQ(QZVQProcStatus(0x80, status, plc, secs, kText), 3);
    EXPECT_EQ(secs, passive + ":Not connected");

    // The PLC reports that it runs.
    XKWMemMapping map{};
    auto* mem = static_cast<uint8_t*>(XKWMemMap(shm.c_str(), 400, &map));
    ASSERT_NE(mem, nullptr);
    __atomic_store_n(&mem[0], uint8_t{1}, __ATOMIC_RELEASE);
    EXPECT_EQ(status_until("PLC:Online" + image + ":Ready", passive + ":Not connected"), 1);
    EXPECT_EQ(plc, "PLC:Online" + image + ":Ready");

    // A host connects and selects.
    CommSession host;
    ASSERT_GT(host.open(0x1002, ini.path, "HOST"), 0);
    ASSERT_GE(XKSSend(host.handle, XKS_SEND_CONNECT, 0, 0, 0, nullptr, 0, nullptr), 0);
    ASSERT_TRUE(host.wait_xstat(1, 3000));
    ASSERT_GE(XKSSend(host.handle, XKS_SEND_SELECT, 0, 0, 0, nullptr, 0, nullptr), 0);
    ASSERT_TRUE(host.wait_xstat(3, 3000));
    EXPECT_EQ(status_until("PLC:Online" + image + ":Ready", passive + ":Selected"), 2);
    EXPECT_EQ(secs, passive + ":Selected");

    // Display options change while the bridge runs.
    QZVQContext* ctx = QZVQGetContext();
    EXPECT_EQ(QZVQSetDisplay(QZVQ_DISP_HEXA | QZVQ_DISP_DETAIL), QZVQ_DISP_HEXA);
    EXPECT_EQ(XKSLoad(ctx->display) & 0x1F00, QZVQ_DISP_HEXA | QZVQ_DISP_DETAIL);
    EXPECT_EQ(QZVQSetDisplay(QZVQ_DISP_LIST | QZVQ_DISP_REDUNDANT | 0x40000), 0);
    EXPECT_EQ(XKSLoad(ctx->display) & ~0x10000, QZVQ_DISP_LIST | QZVQ_DISP_REDUNDANT);

    // The stop separates the selected link. Without a program name both
    // banners are shown.
    EXPECT_EQ(stop(), 0);
    EXPECT_TRUE(host.wait_xstat(0, 3000));
    EXPECT_EQ(shown(":Varnhold Pellmar Started").size(), 1u);
    EXPECT_EQ(shown(":Varnhold Pellmar Stopped").size(), 1u);
    EXPECT_EQ(XKWMemUnmap(mem, &map), 0);
}

TEST_F(BridgeStartTest, ActiveHostWithoutPeerConnectsAtOnceThenAboutT5Apart)
{
    write("0x10041", "T5=2\nT3=1\n");
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(status[1], QZVQ_STAT_HSMS | QZVQ_STAT_ACTIVE);
    QZVQProcResult(0, status, plc, secs, kText, 0, 0);
    EXPECT_EQ(secs, "HSMS-SS:Host,Active(127.0.0.1:" + std::to_string(port) + "):Not connected");

    // Connect requests as the session's user trace records them.
    const char* request = "CommSend(acb,0x000100";
    std::vector<int64_t> at;
    CommWaitFor([&] { return (at = trace_times(ini.user_trace("h"), request)).size() >= 2; }, 8000);
    ASSERT_GE(at.size(), 2u) << ini.user_trace("h");
    auto apart = [](int64_t from, int64_t to) { return (to - from + 86400000) % 86400000; };  // over midnight
    int64_t opened = trace_times(ini.user_trace("h"), "CommOpen").at(0);
    EXPECT_LT(apart(opened, at[0]), 1500) << "the first request waits for nothing";
    EXPECT_GE(apart(at[0], at[1]), 2500);
    EXPECT_LE(apart(at[0], at[1]), 6000);
}

TEST_F(BridgeStartTest, FiftyStartsAndStopsLeaveNoDescriptorOpen)
{
    write();
    int fds = OpenDescriptors();
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(start(), 0);
        ASSERT_EQ(stop(), 0);
    }
    EXPECT_EQ(OpenDescriptors(), fds);
}

}  // namespace
