// The xksq console as a user runs it: two real processes, an equipment
// that answers from the shipped definitions and a host driven through its
// standard input, talking HSMS on loopback. Assertions are on the lines
// each prints.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/HsmsPeer.h"
#include "tests/support/TempDir.h"

namespace {

// One xksq process with pipes for its standard input and output (standard
// error joins the output), started in dir.
class Xksq {
public:
    Xksq(const std::string& dir, std::vector<std::string> args)
    {
        args.insert(args.begin(), XKS_XKSQ_PATH);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            if (chdir(dir.c_str()) == 0)
                execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Xksq()
    {
        if (pid_ > 0 && exited_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close_input();
        if (out_ >= 0)
            ::close(out_);
    }

    bool started() const { return pid_ > 0 && in_ >= 0; }
    pid_t pid() const { return pid_; }

    void type(const std::string& text) const
    {
        ASSERT_EQ(write(in_, text.data(), text.size()), ssize_t(text.size()));
    }
    void close_input()
    {
        if (in_ >= 0)
            ::close(in_);
        in_ = -1;
    }

    // Wait (bounded) until needle appears after the previous match; the
    // next expect searches behind it.
    bool expect(const std::string& needle, int ms = 5000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t at = text_.find(needle, mark_);
            if (at != std::string::npos) {
                mark_ = at + needle.size();
                return true;
            }
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                               .count());
            if (left <= 0 || !pump(left))
                return false;
        }
    }
    // needle anywhere in what was printed so far.
    bool printed(const std::string& needle) const { return text_.find(needle) != std::string::npos; }
    const std::string& text() const { return text_; }

    // Exit status once the process has ended (bounded), else -1.
    int exit_status(int ms)
    {
        for (int i = 0; i < ms / 20 && exited_ < 0; ++i) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_)
                exited_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            else
                pump(20);
        }
        while (!eof_ && pump(0)) {
        }
        return exited_;
    }

private:
    // Read what is there within ms; false at the end of the output (after
    // sleeping ms, so that callers polling in steps stay bounded in time)
    // or on a time-out.
    bool pump(int ms)
    {
        pollfd p{out_, POLLIN, 0};
        if (eof_) {
            usleep(useconds_t(ms) * 1000);
            return false;
        }
        if (out_ < 0 || poll(&p, 1, ms) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        eof_ = n <= 0;
        if (n <= 0)
            return false;
        text_.append(buf, size_t(n));
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    int exited_ = -1;
    bool eof_ = false;
    std::string text_;
    size_t mark_ = 0;
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
// sides, and the printed results of good and bad input.
TEST_F(XksqTest, HostTalksToAnsweringEquipment)
{
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
    ASSERT_TRUE(host.expect("sent S1F1 W xid=0x00000001")) << host.text();
    ASSERT_TRUE(host.expect("wait S1F2 ok")) << host.text();
    EXPECT_TRUE(eq.expect("auto reply S1F2 [S1F2] to S1F1 W [S1F1]")) << eq.text();
    EXPECT_TRUE(eq.expect("sent S1F2 xid=0x00000001")) << eq.text();
    // The host's trace shows the reply with its item lines and names.
    EXPECT_TRUE(host.printed("RECEIVE")) << host.text();
    EXPECT_TRUE(host.printed("S1F2")) << host.text();
    EXPECT_TRUE(host.printed("<A[6]MDLN \"WHC-01\">")) << host.text();
    EXPECT_TRUE(host.printed("<A[5]SOFTREV \"1.0.3\">")) << host.text();

    // A defined message by name; the equipment matches it and answers.
    host.type("send S1F3\nwait S1F4 5\n");
    ASSERT_TRUE(host.expect("sent S1F3 W [S1F3] xid=0x00000002")) << host.text();
    ASSERT_TRUE(host.expect("wait S1F4 ok")) << host.text();
    EXPECT_TRUE(eq.expect("auto reply S1F4 [S1F4] to S1F3 W [S1F3]")) << eq.text();

    // Item lines as the trace prints them (angle notation, names and the
    // closing lines included) make a body the equipment recognises.
    host.type("S2F41 W\n<L[2]\n  <A[5]RCMD \"START\">\n  <L[0]CPLIST\n  >\n>\n.\nwait S2F42 5\n");
    ASSERT_TRUE(host.expect("sent S2F41 W xid=0x00000003")) << host.text();
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
