// The xksq console as a user runs it: two real processes, an equipment
// that answers from the shipped definitions and a host driven through its
// standard input, talking HSMS on loopback. Assertions are on the lines
// each prints.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/ChildConsole.h"
#include "tests/support/HsmsPeer.h"
#include "tests/support/TempDir.h"

namespace {

// One xksq process started in dir.
class Xksq : public ChildConsole {
public:
    Xksq(const std::string& dir, std::vector<std::string> args)
        : ChildConsole(XKS_XKSQ_PATH, dir, XKS_XKSQ_PATH, std::move(args))
    {
    }
};

class XksqTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port_ = HsmsFreePort();
        ASSERT_GT(port_, 0);
        write_ini("equipment.ini", "SECSMODE=0x15\n");
        write_ini("host.ini", "SECSMODE=0x41\nHOST=127.0.0.1\n");
    }
    void write_ini(const char* name, const std::string& keys)
    {
        std::ofstream(dir_ / name) << "[SECS]\nDEVID=1\nPORT=" << port_ << "\n"
                                   << "T3=2\nT5=2\nT6=2\nT7=2\nT8=1\nINTER0=20\nINTER1=50\n"
                                   << "TRCTTYPE=0xA1\nTRCDIR=" << dir_.path() << "\nQUEDIR=" << dir_.path()
                                   << "\nMDMSSG=" XKS_SOURCE_DIR "/examples/equipment.sml\n"
                                   << keys;
    }
    std::string ini(const char* name) const { return dir_ / name; }

    TempDir dir_{"xksq"};
    int port_ = 0;
};

// Messages and their replies, the trace lines with item lines on both
// sides, and the printed results of good and bad input. The host numbers
// its primaries from 0x80000001, so both sides send with the top bit of
// the transaction ID set.
TEST_F(XksqTest, HostTalksToAnsweringEquipment)
{
    write_ini("host.ini", "SECSMODE=0x41\nHOST=127.0.0.1\nSRCID0=0x8000\n");
    Xksq eq(dir_.path(), {"-a", "+i", ini("equipment.ini")});
    ASSERT_TRUE(eq.started());
    ASSERT_TRUE(eq.expect("session=")) << eq.text();
    Xksq host(dir_.path(), {"+i", ini("host.ini")});
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(host.expect("session=")) << host.text();

    host.type("status\nconnect\n");
    ASSERT_TRUE(host.expect("status xstat=0 (not connected)")) << host.text();
    ASSERT_TRUE(host.expect("sent connect")) << host.text();
    host.type("select\nwait selected 5\n");
    ASSERT_TRUE(host.expect("wait selected ok")) << host.text();
    ASSERT_TRUE(eq.expect("event SELECT (-992)")) << eq.text();

    // A primary typed as text (no items) and its automatic reply.
    host.type("S1F1 W\n.\nwait S1F2 5\n");
    ASSERT_TRUE(host.expect("sent S1F1 W xid=0x80000001")) << host.text();
    ASSERT_TRUE(host.expect("wait S1F2 ok")) << host.text();
    EXPECT_TRUE(eq.expect("auto reply S1F2 [S1F2] to S1F1 W [S1F1]")) << eq.text();
    EXPECT_TRUE(eq.expect("sent S1F2 xid=0x80000001")) << eq.text();
    // The host's trace shows the reply with its item lines and names.
    EXPECT_TRUE(host.printed("RECEIVE")) << host.text();
    EXPECT_TRUE(host.printed("S1F2")) << host.text();
    EXPECT_TRUE(host.printed("<A[6]MDLN \"WHC-01\">")) << host.text();
    EXPECT_TRUE(host.printed("<A[5]SOFTREV \"1.0.3\">")) << host.text();

    // A defined message by name; the equipment matches it and answers.
    host.type("send S1F3\nwait S1F4 5\n");
    ASSERT_TRUE(host.expect("sent S1F3 W [S1F3] xid=0x80000002")) << host.text();
    ASSERT_TRUE(host.expect("wait S1F4 ok")) << host.text();
    EXPECT_TRUE(eq.expect("auto reply S1F4 [S1F4] to S1F3 W [S1F3]")) << eq.text();

    // Item lines as the trace prints them (angle notation, names and the
    // closing lines included) make a body the equipment recognises.
    host.type("S2F41 W\n<L[2]\n  <A[5]RCMD \"START\">\n  <L[0]CPLIST\n  >\n>\n.\nwait S2F42 5\n");
    ASSERT_TRUE(host.expect("sent S2F41 W xid=0x80000003")) << host.text();
    ASSERT_TRUE(host.expect("wait S2F42 ok")) << host.text();
    EXPECT_TRUE(eq.expect("auto reply S2F42 [S2F42] to S2F41 W [S2F41]")) << eq.text();
    EXPECT_TRUE(eq.printed("<A[5]RCMD \"START\">")) << eq.text();

    // An undefined primary is answered with S9F3 carrying its header.
    host.type("S99F1 W\n.\nwait S9F3 5\n");
    ASSERT_TRUE(host.expect("wait S9F3 ok")) << host.text();
    EXPECT_TRUE(eq.expect("auto reply S9F3")) << eq.text();

    // Bad input: nothing is sent, the program goes on.
    host.type("send NOSUCH\nS1F1 W\nU9[1]=1\n.\nbogus\nwait S6F11 0\nstatus\n");
    EXPECT_TRUE(host.expect("send error -2")) << host.text();
    EXPECT_TRUE(host.expect("item error -22: U9[1]=1")) << host.text();
    EXPECT_TRUE(host.expect("send error -22: message not sent")) << host.text();
    EXPECT_TRUE(host.expect("unknown command: bogus")) << host.text();
    EXPECT_TRUE(host.expect("wait S6F11 timeout")) << host.text();
    EXPECT_TRUE(host.expect("status xstat=3 (selected) sent=6 received=4")) << host.text();

    host.type("quit\n");
    EXPECT_TRUE(host.expect("closed (0)", 15000)) << host.text();
    EXPECT_EQ(host.exit_status(5000), 0) << host.text();
    // The host's close separates the link, which ends the connection.
    EXPECT_TRUE(eq.expect("Separate Request")) << eq.text();
    EXPECT_TRUE(eq.expect("event NOTCONNECT (-999)")) << eq.text();
    eq.close_input();  // end of input ends the equipment like quit
    EXPECT_TRUE(eq.expect("closed (0)", 15000)) << eq.text();
    EXPECT_EQ(eq.exit_status(5000), 0) << eq.text();
}

// Without -a a received primary is only shown; a data message before the
// link is selected is refused; SIGTERM closes the session cleanly.
TEST_F(XksqTest, PassiveEquipmentWithoutAnswersEndsOnSigterm)
{
    Xksq eq(dir_.path(), {"+i", ini("equipment.ini")});
    ASSERT_TRUE(eq.expect("session=")) << eq.text();
    Xksq host(dir_.path(), {"+i", ini("host.ini")});
    ASSERT_TRUE(host.expect("session=")) << host.text();
    host.type("S1F1 W\n.\nconnect\nselect\nwait selected 5\nS1F1 W\n.\nwait S1F2 1\n");
    EXPECT_TRUE(host.expect("send error -8")) << host.text();
    ASSERT_TRUE(host.expect("wait selected ok")) << host.text();
    EXPECT_TRUE(host.expect("wait S1F2 timeout", 4000)) << host.text();
    EXPECT_TRUE(eq.expect("RECEIVE")) << eq.text();
    EXPECT_FALSE(eq.printed("auto reply")) << eq.text();

    ASSERT_EQ(kill(eq.pid(), SIGTERM), 0);
    EXPECT_TRUE(eq.expect("closed (0)", 15000)) << eq.text();
    EXPECT_EQ(eq.exit_status(5000), 0) << eq.text();
}

// Options apply in order, so -h shows the +i and +s given before it.
TEST_F(XksqTest, UsageShowsOptionsGivenBeforeIt)
{
    Xksq a(dir_.path(), {"+i", "other.ini", "+s", "HOSTSIDE", "-h", "+i", "late.ini"});
    EXPECT_EQ(a.exit_status(5000), 2);
    EXPECT_TRUE(a.printed("+i ini  : Specify .ini file         [other.ini]")) << a.text();
    EXPECT_TRUE(a.printed("+s sect : Specify SECS section name [HOSTSIDE]")) << a.text();
    EXPECT_TRUE(a.printed("wait SxFy")) << a.text();

    Xksq b(dir_.path(), {"-x", "+s"});  // unknown letter, + option without a value
    EXPECT_TRUE(b.expect("open xksq.ini [SECS] error -2")) << b.text();
    EXPECT_EQ(b.exit_status(5000), 1);
}

}  // namespace
