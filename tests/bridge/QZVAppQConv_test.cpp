// The console program as an operator runs it: the real qzvq process with
// pipes for its standard input and output, on a loopback configuration
// (passive HSMS equipment on a free port, the PLC as a shared-memory image
// that nobody else touches). ConvDisplay's columns are checked in-process.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWMem.h"
#include "tests/support/ChildConsole.h"
#include "tests/support/CommPair.h"

namespace {

constexpr const char* kPrompt = "Req (0:Exit 1:Display 2:Stat) : ";

// One qzvq process started in dir with the given argv[0] and arguments.
class Console : public ChildConsole {
public:
    Console(const std::string& dir, const std::string& argv0, std::vector<std::string> args)
        : ChildConsole(XKS_QZVQ_PATH, dir, argv0, std::move(args))
    {
    }
};

// The usage text after the banner line, with the bracketed values.
std::string usage_tail(const std::string& file, const std::string& ini, const std::string& plc,
                       const std::string& secs)
{
    return "\nUsage: " + file + " [options..]\n\nOptions\n"
           "  -h      : Display usage message\n"
           "  -v      : Vorbose mode\n"
           "  -l      : Display SECS Message List format\n"
           "  -x      : Display SECS Message Hexa format\n"
           "  -d      : Service mode (no prompt, stop by SIGINT/SIGTERM)\n\n"
           "  +i ini  : Specify .ini file         [" + ini + "]\n"
           "  +p sect : Specify PLC  section name [" + plc + "]\n"
           "  +s sect : Specify SECS section name [" + secs + "]\n\n";
}

class ConsoleTest : public ::testing::Test {
protected:
    void TearDown() override { XKWMemRemove(shm_.c_str()); }

    // A passive equipment link and a PLC image; the console's own file
    // name decides the default INI name, so it is written as qzvq.ini.
    void write_config()
    {
        std::ofstream(ini.dir / "md.sml") << "S1F1 H E W\nS1F2 E\n<L[0]\n";
        ini.write("[SECS]\nDEVID=1\nSECSMODE=0x11\nPORT=" + std::to_string(HsmsFreePort()) +
                  "\nMDMSSG=md.sml\n"
                  "[PLC]\nPLCTYPE=15\nPLCHOST=" + shm_ + "\nPLCPORT=400\nPLCINTER=100,50\nPLCTO=1000,1000\n"
                  "PLCSSDEV0=0,0\nPLCSSDEV1=0,1\nPLCHSDEV0=0,0,1\nPLCHSDEV1=0,2,3\nPLCMSDEV0=0,0\nPLCMSDEV1=0,20\n");
        std::rename(ini.path.c_str(), (ini.dir / "qzvq.ini").c_str());
    }
    // Wait for the start banner and the first prompt.
    void until_prompt(Console& c)
    {
        ASSERT_TRUE(c.expect("Start Pellmar")) << c.text();
        ASSERT_TRUE(c.expect(kPrompt)) << c.text();
    }

    CommIni ini{"qzvqconv"};
    std::string shm_ = "qzvqconv" + std::to_string(getpid());
};

TEST_F(ConsoleTest, UsageShowsTheValuesGivenBeforeItAndExitsWithTwo)
{
    const std::regex banner(R"(\n\[qzvq\] Ver:20\.040 \(20200412\.1515\) \(64bit\) \.\. Build:\w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d\n)");
    struct Case {
        std::string argv0;
        std::vector<std::string> args;
        std::string tail;
    } cases[] = {
        {"/opt/bin/qzvq", {"-h"}, usage_tail("qzvq", "qzvq.ini", "PLC", "SECS")},
        {"C:\\tools\\conv.exe", {"+i", "f.ini", "-h"}, usage_tail("conv.exe", "f.ini", "PLC", "SECS")},
        {"D:conv.x.exe", {"-h", "+i", "f.ini"}, usage_tail("conv.x.exe", "conv.x.ini", "PLC", "SECS")},
        // an unknown + option leaves its value alone; other words are ignored
        {"qzvq", {"word", "+p", "P1", "+s", "S1", "-q", "+q", "-h"}, usage_tail("qzvq", "qzvq.ini", "P1", "S1")},
        {"qzvq", {"-d", "+i", "s.ini", "--help", "+p", "P2"}, usage_tail("qzvq", "s.ini", "PLC", "SECS")},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.argv0);
        Console c(ini.dir.path(), k.argv0, k.args);
        ASSERT_EQ(c.exit_status(5000), 2);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(c.text(), m, banner)) << c.text();
        EXPECT_EQ(m.position(0), 0);
        EXPECT_EQ(m.suffix().str(), k.tail);
    }
}

TEST_F(ConsoleTest, FailedStartReportsTheStepAndExitsWithIt)
{
    // No INI file under the default name, then definitions that are missing.
    Console none(ini.dir.path(), "qzvq", {});
    EXPECT_EQ(none.exit_status(5000), 2);
    EXPECT_TRUE(none.expect(":SECS Initialize error (-2)\r\n")) << none.text();
    EXPECT_EQ(none.text().find("Start Pellmar"), std::string::npos);
    // The service mode does not wait for a signal after a failed start.
    Console service(ini.dir.path(), "qzvq", {"-d"});
    EXPECT_EQ(service.exit_status(5000), 2);
    EXPECT_TRUE(service.expect(":SECS Initialize error (-2)\r\n")) << service.text();

    write_config();
    std::ofstream(ini.dir / "qzvq.ini", std::ios::app)
        << "[NODEFS]\nDEVID=1\nSECSMODE=0x11\nPORT=" << HsmsFreePort() << "\nMDMSSG=missing.sml\n";
    Console bad(ini.dir.path(), "qzvq", {"+s", "NODEFS"});
    EXPECT_EQ(bad.exit_status(5000), 2);
    EXPECT_TRUE(bad.expect("SECS Message definition file access error (-2)")) << bad.text();
    EXPECT_TRUE(bad.expect(":SECS Initialize error (-2)\r\n")) << bad.text();
    EXPECT_EQ(bad.text().find(kPrompt), std::string::npos);
}

TEST_F(ConsoleTest, OperatorLoopShowsValuesAndStatusUntilZero)
{
    write_config();
    Console c(ini.dir.path(), "qzvq", {"+i", "qzvq.ini"});
    until_prompt(c);
    // The start lines: the PLC text at the left, the SECS text moved
    // 44 columns to the right.
    const std::regex banner("\n  \\d{6}\\.\\d{3}:Start Pellmar\r\n");
    EXPECT_TRUE(std::regex_search(c.text(), banner)) << c.text();
    const std::regex secs_line("\n {44}  \\d{6}\\.\\d{3}:HSMS-SS:Equip,Passive\\(\\d+\\):Not connected\r\n");
    const std::regex plc_line("\n  \\d{6}\\.\\d{3}:PLC:O(n|ff)line\\(" + shm_ + ":400\\):Not ready\r\n");
    EXPECT_TRUE(std::regex_search(c.text(), secs_line)) << c.text();
    EXPECT_TRUE(std::regex_search(c.text(), plc_line)) << c.text();
    ASSERT_TRUE(c.printed_within("PLC connected")) << c.text();

    c.type("1\n");
    ASSERT_TRUE(c.expect("sval   :      0,   0\nhval   :      0,   0\n")) << c.text();
    ASSERT_TRUE(c.expect(kPrompt));
    c.type("2\n");
    ASSERT_TRUE(c.expect("rtn    :   ")) << c.text();
    ASSERT_TRUE(c.expect(kPrompt));
    c.type("2\n");
    std::string again = "rtn    :      0\nstr0   : PLC:Online(" + shm_ + ":400):Not ready\nstr1   : HSMS-SS:Equip";
    ASSERT_TRUE(c.expect(again)) << c.text();
    ASSERT_TRUE(c.expect(kPrompt));
    // Lines that are no request only bring the prompt back.
    c.type("x1\n 7 \n1 2\n\n");
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(c.expect(kPrompt)) << c.rest();

    c.type("0\n");
    EXPECT_EQ(c.exit_status(5000), 0);
    const std::regex stop("\r\n\r\n  \\d{6}\\.\\d{3}:Stop Pellmar\r\n\r\n$");
    EXPECT_TRUE(std::regex_search(c.text(), stop)) << c.text();
    auto count = [&](const char* what) {
        const std::regex re(what);
        return std::distance(std::sregex_iterator(c.text().begin(), c.text().end(), re), std::sregex_iterator());
    };
    EXPECT_EQ(count("Varnhold"), 0);  // no banners of the monitor window
    EXPECT_EQ(count("sval"), 1);
    EXPECT_EQ(count("rtn "), 2);
    EXPECT_EQ(count(R"(Req \(0)"), 8);
}

TEST_F(ConsoleTest, InterruptEndsTheLoopAfterTheNextLine)
{
    write_config();
    Console c(ini.dir.path(), "qzvq", {});
    until_prompt(c);
    c.signal(SIGINT);
    usleep(300000);
    EXPECT_TRUE(c.running()) << "the pending read must complete first";
    c.type("1\n");
    EXPECT_EQ(c.exit_status(5000), 0);
    ASSERT_TRUE(c.expect("hval")) << c.text();
    EXPECT_EQ(c.rest().find(kPrompt), std::string::npos) << c.text();
    EXPECT_TRUE(c.expect("Stop Pellmar")) << c.text();
}

TEST_F(ConsoleTest, EndOfInputStopsLikeZero)
{
    write_config();
    Console c(ini.dir.path(), "qzvq", {"-v", "+p"});  // a trailing + option without value is ignored
    until_prompt(c);
    c.close_input();
    EXPECT_EQ(c.exit_status(5000), 0);
    EXPECT_TRUE(c.expect("Stop Pellmar")) << c.text();
}

// Service mode (-d): no prompt, standard input never read, the bridge runs
// until SIGINT or SIGTERM and then stops as after 0.
TEST_F(ConsoleTest, ServiceModeRunsWithoutPromptUntilTerminate)
{
    write_config();
    Console c(ini.dir.path(), "qzvq", {"-d"});  // input stays open and silent
    ASSERT_TRUE(c.expect("Start Pellmar")) << c.text();
    ASSERT_TRUE(c.printed_within("PLC connected")) << c.text();
    c.signal(SIGTERM);
    // The stop line first: exit_status reads the output to its end, which
    // does not come while the process still runs.
    ASSERT_TRUE(c.printed_within("Stop Pellmar", 5000)) << c.text();
    EXPECT_EQ(c.exit_status(5000), 0) << c.text();
    const std::regex stop("\r\n\r\n  \\d{6}\\.\\d{3}:Stop Pellmar\r\n\r\n$");
    EXPECT_TRUE(std::regex_search(c.text(), stop)) << c.text();
    EXPECT_EQ(c.text().find("Req ("), std::string::npos) << c.text();
}

TEST_F(ConsoleTest, ServiceModeIgnoresInputAndItsEndUntilInterrupt)
{
    write_config();
    Console c(ini.dir.path(), "qzvq", {"+i", "qzvq.ini", "-d"});
    ASSERT_TRUE(c.expect("Start Pellmar")) << c.text();
    // Requests that would show values and stop the prompt mode, then the
    // end of the input: none of them is taken.
    c.type("1\n0\n");
    c.close_input();
    ASSERT_TRUE(c.printed_within("PLC connected")) << c.text();
    EXPECT_FALSE(c.printed_within("Stop Pellmar", 1000)) << c.text();
    EXPECT_TRUE(c.running());
    EXPECT_EQ(c.text().find("sval"), std::string::npos) << c.text();
    c.signal(SIGINT);
    ASSERT_TRUE(c.printed_within("Stop Pellmar", 5000)) << c.text();
    EXPECT_EQ(c.exit_status(5000), 0) << c.text();
}

// ConvDisplay's columns, on a captured standard output.
TEST(ConsoleDisplayTest, SecsSideLinesMoveRightKeepingDirectionAndTime)
{
    std::FILE* capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    std::fflush(stdout);
    int saved = dup(1);
    dup2(fileno(capture), 1);
    ConvDisplay(0, "  120000.000:PLC line\r\n");
    ConvDisplay(0x80, "> 120000.000: SEND    : LEN:   0\r\n");
    ConvDisplay(0x80, "<1234567890123");  // 14 characters: split
    ConvDisplay(0x80, "<123456789012");   // 13 characters: moved whole
    ConvDisplay(0x80, "@ 120000.000: CONTROL : STATUS\r\n");
    ConvDisplay(0xC0, "  status\r\n");
    std::fflush(stdout);
    dup2(saved, 1);
    ::close(saved);

    std::string out(4096, '\0');
    std::rewind(capture);
    out.resize(std::fread(out.data(), 1, out.size(), capture));
    std::fclose(capture);
    const std::string b30(30, ' '), b44(44, ' ');
    EXPECT_EQ(out, "  120000.000:PLC line\r\n"
                   "> 120000.000:" + b30 + " SEND    : LEN:   0\r\n"
                   "<123456789012" + b30 + "3" +
                   b44 + "<123456789012" +
                   b44 + "@ 120000.000: CONTROL : STATUS\r\n" +
                   b44 + "  status\r\n");
}

}  // namespace
