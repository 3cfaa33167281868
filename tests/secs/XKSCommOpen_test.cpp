// Session open and close: refused configurations, the session table, the
// engine as a thread and as the xksc program, and a close whose engine
// never answers.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

#include "runtime/XKWSleep.h"
#include "secs/XKSAcb.h"
#include "secs/xks.h"
#include "tests/support/HsmsPeer.h"
#include "tests/support/TempDir.h"

namespace {

class CommOpenTest : public ::testing::Test {
protected:
    // An INI file with section [XKS]: short timers, queues and traces in
    // the temporary directory, the user trace on; keys override.
    std::string ini(const std::string& keys)
    {
        std::string path = dir_ / "xks.ini";
        std::ofstream(path) << "[XKS]\nT3=2\nT5=2\nT6=2\nT7=2\nT8=1\nINTER0=20\nINTER1=50\n"
                            << "QUEDIR=" << dir_.path() << "\nTRCDIR=" << dir_.path()
                            << "\nTRCUOUT=0x2\nTRCULEVEL=9\nTRCTOUT=0\n"
                            << keys << "\n";
        return path;
    }
    std::string hsms_ini(const std::string& quemode)
    {
        port_ = HsmsFreePort();
        return ini("SECSMODE=0x1\nDEVID=1\nPORT=" + std::to_string(port_) + "\nQUEMODE=" + quemode);
    }
    std::string user_trace()
    {
        std::ifstream in(dir_ / "th0001u.trc");
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    static bool cleared(const XKSAcb& acb)
    {
        return acb.marker == XKS_ACB_FREE && acb.cfg.devid == nullptr && acb.cfg.devst == nullptr &&
               acb.idlines == nullptr && acb.carg == nullptr && acb.utrace.open == 0 && acb.uq[0].open == 0 &&
               acb.ulock[0].init == 0;
    }
    // Processes whose command line names this test's INI file.
    std::vector<int> programs()
    {
        std::vector<int> found;
        DIR* d = opendir("/proc");
        for (dirent* e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
            int pid = std::atoi(e->d_name);
            std::ifstream in("/proc/" + std::string(e->d_name) + "/cmdline");
            std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (pid > 0 && cmd.find(dir_.path()) != std::string::npos)
                found.push_back(pid);
        }
        if (d != nullptr)
            closedir(d);
        return found;
    }
    bool gone(int pid, int ms)
    {
        for (int i = 0; i < ms / 20 && kill(pid, 0) == 0; ++i)
            XKWSleep(20);
        return kill(pid, 0) != 0;
    }

    TempDir dir_{"xkscomm"};
    XKSAcb* acb_ = static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb)));
    int port_ = 0;

    void TearDown() override
    {
        XKSCommClose(acb_, 0);
        std::free(acb_);
    }
};

TEST_F(CommOpenTest, RefusedOpenLeavesTheBlockCleared)
{
    std::string path = ini("SECSMODE=0x1\nDEVID=1\nQUEMODE=0x30");
    EXPECT_EQ(XKSCommOpen(acb_, 0x0000, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              -22);
    EXPECT_TRUE(cleared(*acb_));
    EXPECT_EQ(acb_->xerr, -22);

    struct Case {
        const char* keys;
        int mode;
    } cases[] = {
        {"SECSMODE=0x1\nDEVMODE=0\nQUEMODE=0x30", 2},  // no device ID
        {"DEVID=1\nQUEMODE=0xC0", 2},                   // shared memory with the engine as a thread
        {"DEVID=1\nQUEMODE=0x80", 3},                   // private memory with the engine elsewhere
        {"DEVID=1\nQUEMODE=0x80", 1},
        {"DEVID=1\nQUEMODE=0xF0", 3},                   // shared memory cannot carry long records
    };
    for (const Case& c : cases) {
        path = ini(c.keys);
        EXPECT_EQ(XKSCommOpen(acb_, c.mode, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr),
                  -22)
            << c.keys << " mode " << c.mode;
        EXPECT_TRUE(cleared(*acb_)) << c.keys;
    }
    EXPECT_TRUE(programs().empty());  // nothing was started
    EXPECT_EQ(XKSCommOpen(acb_, 1, (dir_ / "none.ini").c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr),
              -2);
    EXPECT_EQ(XKSCommClose(acb_, 0), -9);
}

TEST_F(CommOpenTest, SecondOpenIsRefusedAndTheFirstSessionStaysOpen)
{
    std::string path = ini("SECSMODE=0\nDEVID=1\nQUEMODE=0x30");
    ASSERT_EQ(XKSCommOpen(acb_, 1, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(XKSCommOpen(acb_, 1, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -16);
    EXPECT_EQ(acb_->marker, XKS_ACB_OPEN);
    EXPECT_NE(acb_->uq[XKS_UQ_SEND].open, 0u);
    EXPECT_EQ(XKSLoad(acb_->xstat), 3);  // SECS-I: ready at once

    // Mode 1 started no engine: the close asks nobody and does not wait.
    uint64_t t0 = XKWTickCount();
    EXPECT_EQ(XKSCommClose(acb_, 0), 0);
    EXPECT_LT(XKWTickCount() - t0, 1000u);
    EXPECT_TRUE(cleared(*acb_));
    std::string u = user_trace();
    EXPECT_EQ(u.find("CommClose  2.30"), std::string::npos);
    EXPECT_NE(u.find("CommClose 8.00 Last closing process"), std::string::npos);
}

TEST_F(CommOpenTest, ConfigOnlyOpenLoadsSettingsAndDefinitions)
{
    std::string path = ini("DEVID=7\nMDMSSG=" XKS_SOURCE_DIR "/examples/equipment.sml");
    ASSERT_EQ(XKSCommOpen(acb_, XKS_OPEN_CONFIG, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr),
              0);
    EXPECT_EQ(acb_->marker, XKS_ACB_CONFIG);
    EXPECT_EQ(acb_->md[0].op, XKS_ACB_OPEN);
    ASSERT_EQ(acb_->cfg.ndev, 1);
    EXPECT_EQ(acb_->cfg.devid[0], 7);
    EXPECT_EQ(acb_->utrace.open, 0u);  // no trace, no queues
    EXPECT_EQ(acb_->uq[XKS_UQ_RECV].open, 0u);

    EXPECT_EQ(XKSCommClose(acb_, 0), 0);
    EXPECT_EQ(acb_->marker, XKS_ACB_CONFIG);
    EXPECT_NE(acb_->md[0].op, XKS_ACB_OPEN);
    EXPECT_EQ(acb_->cfg.devid, nullptr);
    // The block opens again from there.
    EXPECT_EQ(XKSCommOpen(acb_, XKS_OPEN_CONFIG, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr),
              0);
    EXPECT_EQ(acb_->md[0].op, XKS_ACB_OPEN);
}

TEST_F(CommOpenTest, SessionTableHoldsSixtyFourSessions)
{
    std::string path = ini("DEVID=1");
    std::vector<int32_t> handles;
    for (int i = 0; i < 64; ++i)
        handles.push_back(XKSOpen(XKS_OPEN_CONFIG, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr));
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(handles[size_t(i)], i + 1);
    EXPECT_EQ(XKSOpen(XKS_OPEN_CONFIG, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              -28);
    EXPECT_EQ(XKSClose(5, 0), 0);
    EXPECT_EQ(XKSClose(5, 0), -9);
    EXPECT_EQ(XKSOpen(XKS_OPEN_CONFIG, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 5);
    // A failed open gives its slot back.
    EXPECT_EQ(XKSClose(64, 0), 0);
    EXPECT_EQ(XKSOpen(0, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -22);
    EXPECT_EQ(XKSOpen(XKS_OPEN_CONFIG, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              64);
    for (int32_t h = 1; h <= 64; ++h)
        EXPECT_EQ(XKSClose(h, 0), 0);
    EXPECT_EQ(XKSClose(0, 0), -9);
    EXPECT_EQ(XKSClose(65, 0), -9);
}

int32_t count_result(void* argument, const XKSSendRecord*)
{
    __atomic_fetch_add(static_cast<int*>(argument), 1, __ATOMIC_ACQ_REL);
    return 0;
}

TEST_F(CommOpenTest, ThreadEngineOpenAndCloseAreTraced)
{
    std::string path = hsms_ini("0xB0");
    int results = 0;
    ASSERT_EQ(XKSCommOpen(acb_, 0x1002, path.c_str(), "XKS", nullptr, nullptr, count_result, &results, nullptr,
                          nullptr),
              0);
    EXPECT_EQ(XKSLoad(acb_->sexec) & 0x2, 0x2);  // the send-result callback thread runs
    // The engine runs in this process on the session's private queues.
    HsmsPeer peer;
    ASSERT_TRUE(peer.connect(port_, 3000));
    ASSERT_TRUE(peer.send(HsmsFrame::control(HSMS_SELECT_REQ, 0x11)));
    auto rsp = peer.read(3000);
    ASSERT_TRUE(rsp.has_value());
    EXPECT_EQ(rsp->stype, HSMS_SELECT_RSP);
    for (int i = 0; i < 150 && XKSLoad(acb_->xstat) != 3; ++i)
        XKWSleep(20);
    EXPECT_EQ(XKSLoad(acb_->xstat), 3);  // mirrored by the engine

    uint64_t t0 = XKWTickCount();
    EXPECT_EQ(XKSCommClose(acb_, 0x12), 0);
    EXPECT_LT(XKWTickCount() - t0, 5000u);
    EXPECT_TRUE(cleared(*acb_));
    EXPECT_TRUE(peer.wait_closed(3000));
    EXPECT_EQ(__atomic_load_n(&results, __ATOMIC_ACQUIRE), 0);  // the terminate reply is not a result

    std::string u = user_trace();
    for (const char* line :
         {"XK-Project SECS/HSMS Communication library [XKS:20.040(64bit) DATE:200412.1455 by VS2010] Start",
          "  Mode:0x1002", "  Resource for process :0x", "  Resource for W-result:0x", "  Resource for trace   :0x",
          "  Queue open mode      :0x000000b0", "  Queue for receive    :", "  size:1024  rec:1024",
          "  Queue for send result:", "  size:  64", "  Resource for queue.d :0x",
          "  For send result callback [XKSCommCBSendProc(", "  For XKS control thread   [XKSCCBProc(",
          "CommClose  0.00 mode=0x0012", "CommClose  2.20 Send shutdown request.",
          "CommClose  2.30 Send terminate request.", "CommClose  4.20 Wait for terminate reply.",
          "CommClose  4.90 Concluded .. req:127  rtn:0", "] Stop", "CommClose 8.00 Last closing process"})
        EXPECT_NE(u.find(line), std::string::npos) << line;
}

class CommProgramTest : public CommOpenTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CommProgramTest, ProgramEngineCarriesEventsAndEndsWithTheSession)
{
    XKSCommSetProgram(XKS_XKSC_PATH);
    std::string path = hsms_ini(GetParam());
    int32_t h = XKSOpen(3, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_GT(h, 0);
    std::vector<int> pids = programs();
    ASSERT_EQ(pids.size(), 1u);

    HsmsPeer peer;
    ASSERT_TRUE(peer.connect(port_, 5000));
    ASSERT_TRUE(peer.send(HsmsFrame::control(HSMS_SELECT_REQ, 0x21)));
    auto rsp = peer.read(3000);
    ASSERT_TRUE(rsp.has_value());
    EXPECT_EQ(rsp->stype, HSMS_SELECT_RSP);
    int32_t rc = -951;
    std::vector<uint8_t> body(1024);
    for (int i = 0; i < 250 && (rc == -951 || rc == -991); ++i) {
        int32_t devid = 0, sf = 0;
        uint32_t xid = 0;
        uint8_t header[10] = {};
        rc = XKSRecv(h, 0, &devid, &sf, &xid, body.data(), int32_t(body.size()), header);
        if (rc == -951)
            XKWSleep(20);
    }
    EXPECT_EQ(rc, -992);

    uint64_t t0 = XKWTickCount();
    EXPECT_EQ(XKSClose(h, 0), 0);
    EXPECT_LT(XKWTickCount() - t0, 5000u);
    EXPECT_TRUE(gone(pids[0], 5000));  // ended and reaped: no zombie left
    EXPECT_TRUE(peer.wait_closed(3000));
}

INSTANTIATE_TEST_SUITE_P(Queues, CommProgramTest, ::testing::Values("0x0030", "0x00C0"));

TEST_F(CommOpenTest, CloseGivesUpOnASilentEngineAfterTenSeconds)
{
    // A "control program" that never reads its queues (and ends by
    // itself after a minute at the latest).
    std::string script = dir_ / "silent.sh";
    std::ofstream(script) << "#!/bin/sh\nfor i in $(seq 60); do sleep 1; done\n";
    ::chmod(script.c_str(), 0755);
    XKSCommSetProgram(script.c_str());
    std::string path = ini("SECSMODE=0x1\nDEVID=1\nQUEMODE=0x30");
    ASSERT_EQ(XKSCommOpen(acb_, 3, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    std::vector<int> pids = programs();
    ASSERT_EQ(pids.size(), 1u);

    uint64_t t0 = XKWTickCount();
    EXPECT_EQ(XKSCommClose(acb_, 0), -238);
    uint64_t took = XKWTickCount() - t0;
    EXPECT_GE(took, 9500u);
    EXPECT_LE(took, 12000u);
    EXPECT_TRUE(cleared(*acb_));
    EXPECT_TRUE(gone(pids[0], 3000));  // stopped, not left running
    EXPECT_NE(user_trace().find("CommClose  4.90 Concluded .. req:0  rtn:-138"), std::string::npos);

    // Everything was released: a new session takes the same queues.
    ASSERT_EQ(XKSCommOpen(acb_, 1, path.c_str(), "XKS", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(XKSCommClose(acb_, 0), 0);
}

// The exit status of a program that ends within ms, or -1.
int exit_status(pid_t pid, int ms)
{
    int status = 0;
    for (int i = 0; i < ms / 20; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        XKWSleep(20);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

pid_t spawn(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

TEST_F(CommOpenTest, XkscRefusesBadArgumentsAndEndsCleanlyOnSigterm)
{
    EXPECT_EQ(exit_status(spawn({XKS_XKSC_PATH}), 5000), 1);
    EXPECT_EQ(exit_status(spawn({XKS_XKSC_PATH, "a.ini", "XKS", "extra"}), 5000), 1);

    port_ = HsmsFreePort();
    std::string path = ini("SECSMODE=0x1\nDEVID=1\nQUEMODE=0x30\nTRCPOUT=0x2\nPORT=" + std::to_string(port_));
    pid_t pid = spawn({XKS_XKSC_PATH, path, "XKS"});
    ASSERT_GT(pid, 0);
    HsmsPeer peer;
    EXPECT_TRUE(peer.connect(port_, 5000));  // the engine runs
    kill(pid, SIGTERM);
    EXPECT_EQ(exit_status(pid, 5000), 0);
    std::ifstream in(dir_ / "th0001p.trc");
    std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(trace.find("] Stop"), std::string::npos);  // closed as after a terminate request
}

}  // namespace
