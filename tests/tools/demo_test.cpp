// The live demo as the README runs it, for a few seconds on ports of its
// own: messages must have crossed the bridge both ways, as its trace, the
// simulator's log and the host's output show, and it must end by itself.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

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

    // Every program stopped cleanly.
    EXPECT_NE(FileText(dir / "qzvq.log").find("Stop Pellmar"), std::string::npos);
    EXPECT_NE(plc.find("plcsim stopped"), std::string::npos) << plc;
    EXPECT_NE(host.find("closed (0)"), std::string::npos) << host;
}

}  // namespace
