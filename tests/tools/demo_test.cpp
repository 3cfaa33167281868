// The live demo as the README runs it, for a few seconds on ports of its
// own: messages must have crossed the bridge both ways, as its trace, the
// simulator's log and the host's output show, the host's burst must have
// reached the PLC whole and in order and been answered, and the demo must
// end by itself.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/BridgeRig.h"
#include "tests/support/ChildConsole.h"
#include "tests/support/TempDir.h"

namespace {

TEST(DemoTest, MessagesCrossBothWaysAndTheDemoEndsByItself)
{
    TempDir dir("demo");
    const std::string plc_port = std::to_string(RigFreePort()), secs_port = std::to_string(RigFreePort());
    ChildConsole demo("/bin/bash", dir.path(), "bash",
                      {XKS_SOURCE_DIR "/tools/demo/run-demo.sh", XKS_BUILD_DIR, "--seconds", "9", "--plc-port", plc_port,
                       "--secs-port", secs_port, "--dir", dir.path()});
    ASSERT_TRUE(demo.started());
    ASSERT_EQ(demo.exit_status(40000), 0) << demo.text();
    const std::string& screen = demo.text();
    EXPECT_NE(screen.find("[host]   "), std::string::npos) << screen;
    EXPECT_NE(screen.find("[plc]    "), std::string::npos) << screen;
    EXPECT_NE(screen.find("[bridge] "), std::string::npos) << screen;
    EXPECT_NE(screen.find("demo stopped; logs and traces in " + dir.path()), std::string::npos) << screen;

    // Host to PLC: the host's S10F3 through the bridge into PLC memory, and
    // the PLC's reply back to the host.
    std::string trace = FileText(dir / "tp0000t.trc");
    std::string plc = FileText(dir / "plcsim.log");
    std::string host = FileText(dir / "xksq.log");
    EXPECT_NE(trace.find("PLC << SECS Message < S10F3"), std::string::npos) << trace;
    EXPECT_NE(plc.find("RECEIVE S10F3 W [S10F3]"), std::string::npos) << plc;
    EXPECT_NE(plc.find("  TEXT = \"LOAD PORT 1 READY\""), std::string::npos) << plc;
    EXPECT_NE(host.find("wait S10F4 ok"), std::string::npos) << host;
    EXPECT_NE(host.find("wait S1F2 ok"), std::string::npos) << host;

    // PLC to host: the simulator's event report, answered by the host.
    EXPECT_NE(plc.find("SEND S6F11 W [S6F11]"), std::string::npos) << plc;
    EXPECT_NE(trace.find("PLC >> SECS Message > S6F11"), std::string::npos) << trace;
    EXPECT_NE(host.find("auto reply S6F12 [S6F12] to S6F11 W [S6F11]"), std::string::npos) << host;
    EXPECT_NE(plc.find("ACK S6F11"), std::string::npos) << plc;

    // The burst: five S10F3 W sent back to back. The bridge queues what
    // comes while the PLC is busy, so each reaches PLC memory, in the order
    // sent, and each is answered: the host gets an S10F4 with the system
    // bytes the PLC read with it.
    constexpr int kBurst = 5;
    std::vector<std::string> burst_xids;  // as the host shows them, SBT:0x0002.0005
    {
        const std::regex received(R"( RECEIVE S10F3 W \[S10F3\] devid=1 xid=0x([0-9A-F]{4})([0-9A-F]{4}))");
        const std::regex text("^[0-9:.]+   TEXT = \"BURST ([0-9]+) OF " + std::to_string(kBurst) + "\"$");
        std::istringstream lines(plc);
        std::string xid;
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (std::regex_search(line, m, received)) {
                xid = m[1].str() + "." + m[2].str();
                for (char& ch : xid)
                    ch = char(std::tolower(static_cast<unsigned char>(ch)));
                xid = "SBT:0x" + xid;
            } else if (std::regex_search(line, m, text)) {
                EXPECT_EQ(std::stoi(m[1].str()), int(burst_xids.size()) + 1) << plc;
                EXPECT_FALSE(xid.empty()) << line;
                burst_xids.push_back(xid);
                xid.clear();
            }
        }
    }
    EXPECT_EQ(int(burst_xids.size()), kBurst) << plc;
    for (const std::string& xid : burst_xids) {
        std::istringstream lines(host);
        int replies = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.find(" RECEIVE ") != std::string::npos && line.find(" S10F4 ") != std::string::npos &&
                line.find(" " + xid + " ") != std::string::npos)
                ++replies;
        EXPECT_EQ(replies, 1) << xid << "\n" << host;
    }
    EXPECT_EQ(trace.find("Last sending messeage to PLC was not completed"), std::string::npos) << trace;
    EXPECT_NE(screen.find("burst: 5 S10F3 sent back to back, 5 handed to the PLC, 5 S10F4 replies at the host"),
              std::string::npos)
        << screen;

    // Every program stopped cleanly.
    EXPECT_NE(FileText(dir / "qzvq.log").find("Stop Pellmar"), std::string::npos);
    EXPECT_NE(plc.find("plcsim stopped"), std::string::npos) << plc;
    EXPECT_NE(host.find("closed (0)"), std::string::npos) << host;
}

}  // namespace
