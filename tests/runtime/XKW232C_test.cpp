// Serial ports on pty pairs: the port opens the slave by name, the test
// plays the far end on the master.
#include "runtime/XKW232C.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "runtime/XKWResult.h"
#include "tests/support/LineSpeed.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pty {
    int master = -1;
    int slave = -1;
    char name[64] = {};
    Pty() { EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0); }
    ~Pty() { close(master); close(slave); }
    void send(const std::string& s) const { ASSERT_EQ(write(master, s.data(), s.size()), ssize_t(s.size())); }
    // Read n bytes from the master within two seconds.
    std::string receive(size_t n) const
    {
        std::string got;
        auto deadline = Clock::now() + std::chrono::seconds(2);
        char buf[64];
        while (got.size() < n && Clock::now() < deadline) {
            pollfd pfd{master, POLLIN, 0};
            if (poll(&pfd, 1, 100) == 1) {
                ssize_t r = read(master, buf, sizeof buf);
                if (r > 0)
                    got.append(buf, size_t(r));
            }
        }
        return got;
    }
};

long elapsed_ms(Clock::time_point t0)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

class SerialPortTest : public ::testing::Test {
protected:
    Pty pty;
    int32_t open(int32_t speed = 9600, int32_t bits = 8, int32_t parity = XKW_232C_NONE, int32_t stop = 1,
                 int32_t flags = XKW_232C_SOFTFLOW)
    {
        return XKW232COpen(pty.name, speed, bits, parity, stop, flags);
    }
};

TEST_F(SerialPortTest, ReadStopsAfterEndByteWithoutTakingWhatFollows)
{
    int32_t h = open();
    ASSERT_GT(h, 0);
    pty.send("OK\nXYZ");
    char buf[10] = {};
    EXPECT_EQ(XKW232CRead(h, buf, 10, -1000, 0x0A), 3);
    EXPECT_EQ(std::string(buf, 3), "OK\n");
    EXPECT_EQ(XKW232CRead(h, buf, 2, -1000, 0), 2);  // the length ends this one
    EXPECT_EQ(std::string(buf, 2), "XY");
    EXPECT_EQ(XKW232CRead(h, buf, 10, -200, 0), 1);
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(XKW232CClose(h), 0);
}

TEST_F(SerialPortTest, TimeoutIsPerByteInMillisecondsOrSeconds)
{
    int32_t h = open();
    ASSERT_GT(h, 0);
    char buf[4];
    auto t0 = Clock::now();
    EXPECT_EQ(XKW232CRead(h, buf, 4, -500, 0), 0);
    EXPECT_GE(elapsed_ms(t0), 400);
    EXPECT_LE(elapsed_ms(t0), 1500);
    t0 = Clock::now();
    EXPECT_EQ(XKW232CRead(h, buf, 4, 1, 0), 0);
    EXPECT_GE(elapsed_ms(t0), 900);
    EXPECT_LE(elapsed_ms(t0), 2000);

    // Three bytes 300 ms apart: each comes within 500 ms, the whole does not.
    std::thread peer([&] {
        for (char c : std::string("ABC")) {
            pty.send(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    EXPECT_EQ(XKW232CRead(h, buf, 3, -500, 0), 3);
    peer.join();
    EXPECT_EQ(std::string(buf, 3), "ABC");
    EXPECT_EQ(XKW232CClose(h), 0);
}

TEST_F(SerialPortTest, LineSettingsReachTheDevice)
{
    struct Case {
        int32_t speed, bits, parity, stop, flags;
        tcflag_t cflag;  // size, parity and stop bits expected
        tcflag_t iflag;  // INPCK, IXON, IXOFF expected
    };
    const Case cases[] = {
        {9600, 7, XKW_232C_EVEN, 1, XKW_232C_SOFTFLOW, CS7 | PARENB, INPCK},
        {19200, 8, XKW_232C_ODD, 2, 0, CS8 | PARENB | PARODD | CSTOPB, INPCK},
        {115200, 8, XKW_232C_NONE, 15, XKW_232C_SOFTFLOW | XKW_232C_XONXOFF, CS8, IXON | IXOFF},
        {1200, 5, XKW_232C_MARK, 1, 0, CS5 | PARENB | PARODD | CMSPAR, INPCK},
        {4000000, 6, XKW_232C_SPACE, 2, 0, CS6 | PARENB | CMSPAR | CSTOPB, INPCK},
        // Speeds termios has no code for run as custom speeds.
        {128000, 8, XKW_232C_EVEN, 1, 0, CS8 | PARENB, INPCK},
        {14400, 8, XKW_232C_NONE, 1, 0, CS8, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.speed);
        int32_t h = open(c.speed, c.bits, c.parity, c.stop, c.flags);
        ASSERT_GT(h, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
        EXPECT_EQ(line_speed(pty.slave), c.speed);
        // A pty forces CS8 and clears PARENB; the other format bits stay as set.
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), c.cflag & (PARODD | CMSPAR | CSTOPB));
        EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), c.iflag);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);  // raw
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        if ((c.flags & XKW_232C_SOFTFLOW) != 0) {
            EXPECT_EQ(t.c_cc[VSTART], 0x11);
            EXPECT_EQ(t.c_cc[VSTOP], 0x13);
        }
        EXPECT_EQ(XKW232CClose(h), 0);
    }
}

TEST_F(SerialPortTest, SettingsTheLineCannotTakeAreRefusedWithoutAHandle)
{
    EXPECT_EQ(open(-9600), XKW_E_INVAL);
    EXPECT_EQ(open(0), XKW_E_INVAL);
    EXPECT_EQ(open(9600, 9), XKW_E_INVAL);
    EXPECT_EQ(open(9600, 4), XKW_E_INVAL);
    EXPECT_EQ(open(9600, 8, 5), XKW_E_INVAL);
    EXPECT_EQ(open(9600, 8, 0, 1, XKW_232C_SETDTR | XKW_232C_DTRMASK), XKW_E_INVAL);
    EXPECT_EQ(open(), 1);  // handle 1 is still free
    EXPECT_EQ(XKW232CClose(1), 0);
}

TEST_F(SerialPortTest, BinaryBytesPassBothWaysUnchanged)
{
    // Modem-line requests that a pty refuses do not fail the open.
    int32_t h = open(9600, 8, 0, 1, XKW_232C_SOFTFLOW | XKW_232C_SETDTR | 0x4 | XKW_232C_SETRTS | 0x20);
    ASSERT_GT(h, 0);
    const std::string bytes("\x05\x11\x13\x00\xff\r\n\x04", 8);
    EXPECT_EQ(XKW232CWrite(h, bytes.data(), 8), 8);
    EXPECT_EQ(pty.receive(8), bytes);
    pty.send(bytes);
    char buf[8];
    EXPECT_EQ(XKW232CRead(h, buf, 8, -1000, 0), 8);
    EXPECT_EQ(std::string(buf, 8), bytes);
    EXPECT_EQ(XKW232CClose(h), 0);
}

TEST_F(SerialPortTest, ClearCountsWaitingInputAndKeepsIt)
{
    int32_t h = open();
    ASSERT_GT(h, 0);
    EXPECT_EQ(XKW232CClear(h), 0);
    pty.send("1234567");
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (XKW232CClear(h) < 7 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(XKW232CClear(h), 7);
    char buf[7];
    EXPECT_EQ(XKW232CRead(h, buf, 7, -500, 0), 7);
    EXPECT_EQ(std::string(buf, 7), "1234567");
    EXPECT_EQ(XKW232CClose(h), 0);
}

TEST_F(SerialPortTest, PortIsExclusiveAndBadHandlesOrArgumentsAreRefused)
{
    int32_t h = open();
    ASSERT_GT(h, 0);
    EXPECT_EQ(open(), -5);  // already open
    char buf[4];
    EXPECT_EQ(XKW232CRead(h, nullptr, 4, -10, 0), XKW_E_INVAL);
    EXPECT_EQ(XKW232CRead(h, buf, -1, -10, 0), XKW_E_INVAL);
    EXPECT_EQ(XKW232CWrite(h, nullptr, 4), XKW_E_INVAL);
    EXPECT_EQ(XKW232CClose(h), 0);
    for (int32_t bad : {0, h, 65}) {
        EXPECT_EQ(XKW232CRead(bad, buf, 4, -10, 0), XKW_E_BADHANDLE);
        EXPECT_EQ(XKW232CWrite(bad, buf, 4), XKW_E_BADHANDLE);
        EXPECT_EQ(XKW232CClear(bad), XKW_E_BADHANDLE);
        EXPECT_EQ(XKW232CClose(bad), XKW_E_BADHANDLE);
    }
    h = open();  // the close let the device go
    EXPECT_GT(h, 0);
    EXPECT_EQ(XKW232CClose(h), 0);
}

TEST_F(SerialPortTest, ReadFailsWhenTheFarEndHangsUp)
{
    int32_t h = open();
    ASSERT_GT(h, 0);
    close(pty.master);
    pty.master = -1;
    char buf[4];
    auto t0 = Clock::now();
    EXPECT_EQ(XKW232CRead(h, buf, 4, 2, 0), XKW_E_FAIL);
    EXPECT_LT(elapsed_ms(t0), 1000);
    EXPECT_EQ(XKW232CClose(h), 0);
}

TEST_F(SerialPortTest, CloseWakesAReadWaitingWithoutLimit)
{
    int32_t h = open();
    ASSERT_GT(h, 0);
    pty.send("AB");
    int32_t got = 0;
    std::thread reader([&] {
        char buf[8];
        got = XKW232CRead(h, buf, 8, 0, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto t0 = Clock::now();
    EXPECT_EQ(XKW232CClose(h), 0);
    reader.join();
    EXPECT_LT(elapsed_ms(t0), 1000);
    EXPECT_EQ(got, 2);  // the bytes read before the close are returned
}

TEST(SerialPortTable, MissingDeviceLeavesNoHandleAndTheTableHolds64)
{
    EXPECT_EQ(XKW232COpen("/dev/does-not-exist", 9600, 8, 0, 1, 0), -5);
    EXPECT_EQ(XKW232COpen("COM9999", 9600, 8, 0, 1, 0), -5);
    std::vector<Pty> ptys(65);
    std::vector<int32_t> handles;
    for (int i = 0; i < 64; ++i)
        handles.push_back(XKW232COpen(ptys[size_t(i)].name, 9600, 8, 0, 1, 0));
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(handles[size_t(i)], i + 1);
    EXPECT_EQ(XKW232COpen(ptys[64].name, 9600, 8, 0, 1, 0), XKW_E_FULL);
    for (int32_t h : handles)
        EXPECT_EQ(XKW232CClose(h), 0);
}

TEST(SerialPortNames, ComNameIsAFileWhenOneOfThatNameExists)
{
    Pty pty;
    char dir[] = "/tmp/xkw232c-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/COM3";
    ASSERT_EQ(symlink(pty.name, link.c_str()), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    int32_t h = XKW232COpen("COM3", 9600, 8, 0, 1, 0);
    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_GT(h, 0);
    EXPECT_EQ(XKW232CWrite(h, "x", 1), 1);
    EXPECT_EQ(pty.receive(1), "x");
    EXPECT_EQ(XKW232CClose(h), 0);
    unlink(link.c_str());
    rmdir(dir);
}

}  // namespace
