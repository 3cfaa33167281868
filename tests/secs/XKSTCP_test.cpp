#include "secs/XKSTCP.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/HsmsPeer.h"
#include "../support/TempDir.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSLib.h"

namespace {

using Clock = std::chrono::steady_clock;

uint16_t h16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// A 10-byte header in host order.
std::vector<uint8_t> host_header(uint16_t session, uint8_t b2, uint8_t b3, uint8_t ptype,
                                 uint8_t stype, uint16_t src, uint16_t tx)
{
    std::vector<uint8_t> h(10);
    std::memcpy(h.data(), &session, 2);
    h[2] = b2;
    h[3] = b3;
    h[4] = ptype;
    h[5] = stype;
    std::memcpy(h.data() + 6, &src, 2);
    std::memcpy(h.data() + 8, &tx, 2);
    return h;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 7);
    return v;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

long long ms_since(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

class FramingTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (acb_.ncb.socket > 0)
            ::close(acb_.ncb.socket);
        if (ptrace_.open != 0)
            XKWTraceClose(&ptrace_);
        XKSLibFreeConfig(&acb_);
    }

    // Load the settings and connect the block to the peer over loopback TCP.
    // A trace file in the temporary directory at level 5, returned by path.
    std::string open_trace(XKWTrace** slot)
    {
        std::string path = tmp_ / "trace.trc";
        EXPECT_EQ(XKWTraceOpen(&ptrace_, 0x4000, path.c_str(), nullptr, 0), 0);
        EXPECT_EQ(XKWTraceSetAttr(&ptrace_, 0x0002, 0, 5, -1), 0);
        *slot = &ptrace_;
        return path;
    }

    void configure(const std::string& ini)
    {
        std::string path = tmp_ / "xks.ini";
        std::ofstream(path) << "[XKS]\n" << ini;
        ASSERT_EQ(XKSLibReadConfig(&acb_, path.c_str(), nullptr), 0);
        int fds[2];
        ASSERT_TRUE(HsmsTcpPair(fds));
        peer_.adopt(fds[0]);
        acb_.ncb.count = 1;
        acb_.ncb.socket = fds[1];
        body_.assign(size_t(acb_.cfg.xmsgsize), 0xEE);
    }

    // Replace the connection by a packet socket pair, where every send call
    // arrives as one record: the write calls become visible to the peer.
    void use_packets()
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        ::close(acb_.ncb.socket);
        acb_.ncb.socket = fds[1];
        peer_.adopt(fds[0]);
    }

    // The sizes of the records the peer receives until none comes for 200 ms.
    std::vector<size_t> records(std::vector<uint8_t>* bytes)
    {
        std::vector<size_t> sizes;
        uint8_t buf[4096];
        timeval tv{0, 200000};
        ::setsockopt(peer_.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        for (int i = 0; i < 10000; ++i) {
            ssize_t r = ::recv(peer_.fd(), buf, sizeof buf, 0);
            if (r <= 0)
                break;
            sizes.push_back(size_t(r));
            bytes->insert(bytes->end(), buf, buf + r);
        }
        return sizes;
    }

    int32_t read(int32_t timeout = -1000)
    {
        return TCPRead(&acb_, header_, body_.data(), timeout, __FILE__, __LINE__);
    }

    int32_t write(const std::vector<uint8_t>& header, const std::vector<uint8_t>& body,
                  const XKSWriteOptions* options = nullptr)
    {
        return TCPWrite(&acb_, header.data(), body.data(), int32_t(body.size()), options, __FILE__,
                        __LINE__);
    }

    // Expect the next frame to be an S1F1 with system bytes 0x00000042 and
    // a 3-byte body: the stream is still in step.
    void expect_in_step()
    {
        ASSERT_TRUE(peer_.send(HsmsFrame::data(1, 1, 1, true, 0x42, {1, 2, 3})));
        ASSERT_EQ(read(), 3);
        EXPECT_EQ(header_[2], 0x81);
        EXPECT_EQ(header_[3], 1);
        EXPECT_EQ(h16(header_ + 8), 0x42);
        EXPECT_EQ(std::vector<uint8_t>(body_.begin(), body_.begin() + 3),
                  (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_EQ(acb_.xerr1, 0);
    }

    TempDir tmp_{"xkstcp"};
    XKSAcb acb_{};
    HsmsPeer peer_;
    uint8_t header_[10]{};
    std::vector<uint8_t> body_;
    XKWTrace ptrace_{};
};

// ---- reading ----

TEST_F(FramingTest, HeaderOnlyFrameGivesZeroWithHostOrderHeader)
{
    configure("XMSGSIZE=100\nT8=1\n");
    ASSERT_TRUE(peer_.send(HsmsFrame::control(HSMS_SELECT_RSP, 0x7FFF0001, 0x1234, 0, 1)));
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(h16(header_), 0x1234);
    EXPECT_EQ(header_[2], 0);
    EXPECT_EQ(header_[3], 1);
    EXPECT_EQ(header_[4], 0);
    EXPECT_EQ(header_[5], HSMS_SELECT_RSP);
    EXPECT_EQ(h16(header_ + 6), 0x7FFF);
    EXPECT_EQ(h16(header_ + 8), 0x0001);
    EXPECT_EQ(body_[0], 0xEE) << "no body byte may be stored";
    expect_in_step();
}

TEST_F(FramingTest, BodyUpToTheLimitIsDeliveredWhole)
{
    configure("XMSGSIZE=100\nT8=1\n");
    std::vector<uint8_t> data = pattern(100, 3);
    ASSERT_TRUE(peer_.send(HsmsFrame::data(0x0101, 6, 11, true, 0x00020003, data)));
    ASSERT_EQ(read(), 100);
    EXPECT_EQ(std::vector<uint8_t>(body_.begin(), body_.end()), data);
    EXPECT_EQ(h16(header_), 0x0101);
    EXPECT_EQ(header_[2], 0x86);
    EXPECT_EQ(header_[3], 11);
    EXPECT_EQ(h16(header_ + 6), 0x0002);
    EXPECT_EQ(h16(header_ + 8), 0x0003);
    EXPECT_EQ(acb_.xerr1, 0);
}

TEST_F(FramingTest, SurplusBodyIsDroppedAndTheStreamStaysInStep)
{
    configure("XMSGSIZE=100\nT8=1\n");
    // One byte too many, then 200 too many.
    for (size_t size : {101u, 300u}) {
        std::vector<uint8_t> data = pattern(size, uint8_t(size));
        ASSERT_TRUE(peer_.send(HsmsFrame::data(0, 6, 11, false, 7, data)));
        ASSERT_EQ(read(), 100) << size;
        EXPECT_EQ(acb_.xerr1, XKS_E_TOOLONG);
        EXPECT_TRUE(std::equal(body_.begin(), body_.end(), data.begin())) << size;
        expect_in_step();
    }
}

TEST_F(FramingTest, SurplusLargerThanOneScratchPieceIsDropped)
{
    configure("XMSGSIZE=64\nT8=1\n");
    std::vector<uint8_t> data = pattern(200000, 9);
    // The frame is larger than the socket buffers: send it from a thread.
    bool sent = false;
    std::thread sender([&] { sent = peer_.send(HsmsFrame::data(0, 1, 3, false, 1, data)); });
    int32_t rc = read();
    sender.join();
    ASSERT_TRUE(sent);
    ASSERT_EQ(rc, 64);
    EXPECT_TRUE(std::equal(body_.begin(), body_.end(), data.begin()));
    EXPECT_EQ(acb_.xerr1, XKS_E_TOOLONG);
    expect_in_step();
}

TEST_F(FramingTest, LengthFieldBelowTenIsAFailedRead)
{
    configure("XMSGSIZE=100\nT8=1\n");
    const uint8_t nine[] = {0, 0, 0, 9, 0x12, 0x34, 0, 0, 0, 5, 0, 0, 0, 1};
    ASSERT_TRUE(peer_.send_raw(nine, sizeof nine));
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(h16(header_), 0x1234) << "the header is stored once the prefix is in";
    EXPECT_EQ(header_[5], 5);

    const uint8_t zero[14] = {};
    ASSERT_TRUE(peer_.send_raw(zero, sizeof zero));
    EXPECT_EQ(read(), -10);
}

TEST_F(FramingTest, StallInsideAFrameIsAT8Timeout)
{
    configure("XMSGSIZE=100\nT8=1\n");
    std::vector<uint8_t> frame = HsmsFrame::data(0x55, 1, 1, true, 9, pattern(10, 1)).encode();

    // Prefix only: the body wait is bounded by T8, not by the first wait.
    ASSERT_TRUE(peer_.send_raw(frame.data(), 14));
    auto t0 = Clock::now();
    EXPECT_EQ(read(-5000), XKS_E_T8);
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_LT(ms_since(t0), 2500);
    EXPECT_EQ(h16(header_), 0x55);
}

TEST_F(FramingTest, StallInsideThePrefixIsNotTakenForAQuietLine)
{
    configure("XMSGSIZE=100\nT8=1\n");
    std::vector<uint8_t> frame = HsmsFrame::data(0x55, 1, 1, true, 9).encode();
    // Returning the quiet-line result here would make the caller loop and
    // resume in the middle of the frame.
    ASSERT_TRUE(peer_.send_raw(frame.data(), 5));
    auto t0 = Clock::now();
    EXPECT_EQ(read(-300), XKS_E_T8);
    EXPECT_LT(ms_since(t0), 1500);
}

TEST_F(FramingTest, FirstWaitIsMillisecondsWhenNegativeElseSeconds)
{
    configure("XMSGSIZE=100\nT8=1\n");
    auto t0 = Clock::now();
    EXPECT_EQ(read(-200), XKS_E_FIRSTWAIT);
    long long ms = ms_since(t0);
    EXPECT_GE(ms, 180);
    EXPECT_LT(ms, 900);

    t0 = Clock::now();
    EXPECT_EQ(read(1), XKS_E_FIRSTWAIT);
    ms = ms_since(t0);
    EXPECT_GE(ms, 950);
    EXPECT_LT(ms, 2500);
    // A quiet line consumed nothing.
    expect_in_step();
}

TEST_F(FramingTest, EachWaitIsBoundedNotTheWholeFrame)
{
    configure("XMSGSIZE=100\nT8=1\n");
    // 22 bytes in pieces of 4, 250 ms apart: 1.25 s in all, each gap
    // well inside the first wait and T8.
    HsmsFrame f = HsmsFrame::data(2, 5, 1, true, 0x10, pattern(8, 4));
    std::thread sender([&] { peer_.send_split(f, 4, 250); });
    int32_t rc = read(-1000);
    sender.join();
    ASSERT_EQ(rc, 8);
    EXPECT_TRUE(std::equal(f.body.begin(), f.body.end(), body_.begin()));
}

TEST_F(FramingTest, PeerThatGoesAwayEndsTheRead)
{
    configure("XMSGSIZE=100\nT8=1\n");
    std::vector<uint8_t> frame = HsmsFrame::data(0, 1, 1, true, 9, pattern(10, 1)).encode();
    ASSERT_TRUE(peer_.send_raw(frame.data(), 17));
    peer_.shutdown_write();
    EXPECT_EQ(read(), XKW_E_CLOSED);
    EXPECT_EQ(read(), XKW_E_CLOSED) << "a closed line before a frame is not a quiet line";
}

TEST_F(FramingTest, ConnectionResetIsReported)
{
    configure("XMSGSIZE=100\nT8=1\n");
    linger lg{1, 0};  // close with a reset
    ASSERT_EQ(::setsockopt(peer_.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
    peer_.close();
    EXPECT_EQ(read(), XKS_E_CONNRESET);
}

TEST_F(FramingTest, StepLinesGoToTheProcessTraceAtVerboseLevels)
{
    configure("XMSGSIZE=100\nT8=1\n");
    std::string path = open_trace(&acb_.ptrace);
    ASSERT_TRUE(peer_.send(HsmsFrame::data(0, 1, 1, true, 9, pattern(20, 1))));
    ASSERT_EQ(read(-1000), 20);
    EXPECT_EQ(slurp(path), "") << "nothing at an ordinary level";

    ASSERT_EQ(XKWTraceSetAttr(&ptrace_, -1, -1, 10, -1), 0);
    ASSERT_TRUE(peer_.send(HsmsFrame::data(0, 1, 1, true, 9, pattern(20, 1))));
    ASSERT_EQ(read(-1000), 20);
    char want[64];
    std::snprintf(want, sizeof want, ":TCPRead  0.20 sd  =%4d dln =  20 to=-1000\n",
                  acb_.ncb.socket);
    EXPECT_EQ(slurp(path), want);
}

TEST_F(FramingTest, CommunicationTraceShowsReceivedMessagesAndRealFailures)
{
    configure("XMSGSIZE=100\nT8=1\nTRCTTYPE=0x0000\n");
    std::string path = open_trace(&acb_.ctrace);
    ASSERT_TRUE(peer_.send(HsmsFrame::data(0, 1, 13, true, 0x00000005, pattern(12, 1))));
    ASSERT_EQ(read(), 12);
    std::string text = slurp(path);
    EXPECT_EQ(text.find("RECEIVE     LEN:  12 DEV:0x0000 W S1F13    P:0 S:0 SBT:0x0000.0005"), 1u)
        << text;

    // A quiet line is not an event; with the connection being shut, the
    // failure that follows is expected and not recorded either.
    EXPECT_EQ(read(-100), XKS_E_FIRSTWAIT);
    acb_.fshut = 1;
    peer_.shutdown_write();
    EXPECT_EQ(read(), XKW_E_CLOSED);
    EXPECT_EQ(slurp(path), text);
}

TEST_F(FramingTest, SentMessageIsTracedWithTheCallersHeader)
{
    configure("XMSGSIZE=100\nT8=1\nTRCTTYPE=0x0000\n");
    std::string path = open_trace(&acb_.ctrace);
    std::vector<uint8_t> h = host_header(2, 0x81, 1, 0, 0, 0x0001, 0x0203);
    XKSWriteOptions stype{0x01, 0x02, {0, 0x63}, {0, 0}};
    ASSERT_EQ(write(h, {}, &stype), 0);
    auto f = peer_.read(1000);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->stype, 0x63);
    std::string text = slurp(path);
    EXPECT_NE(text.find("SEND        LEN:   0 DEV:0x0002 W S1F1     P:0 S:0 SBT:0x0001.0203"),
              std::string::npos)
        << text;
}

// ---- writing ----

TEST_F(FramingTest, FrameBytesAreBigEndianAndTheHeaderIsUntouched)
{
    configure("XMSGSIZE=100\nT8=1\n");
    std::vector<uint8_t> h = host_header(0x1234, 0x81, 0x0D, 0, 0, 0x7FFF, 0x0001);
    const std::vector<uint8_t> before = h;
    EXPECT_EQ(write(h, {0xA1, 0x00, 0x41}), 3);
    std::vector<uint8_t> wire = peer_.read_raw(17, 1000);
    EXPECT_EQ(wire, (std::vector<uint8_t>{0, 0, 0, 13, 0x12, 0x34, 0x81, 0x0D, 0, 0, 0x7F, 0xFF,
                                          0x00, 0x01, 0xA1, 0x00, 0x41}));
    EXPECT_EQ(h, before);

    // What the writer sends, the reader gives back.
    int fds[2];
    ASSERT_TRUE(HsmsTcpPair(fds));
    XKSAcb other = acb_;
    other.ncb.socket = fds[0];
    std::vector<uint8_t> data = pattern(100, 5);
    ASSERT_EQ(TCPWrite(&other, h.data(), data.data(), 100, nullptr, __FILE__, __LINE__), 100);
    ::close(acb_.ncb.socket);
    acb_.ncb.socket = fds[1];
    ASSERT_EQ(read(), 100);
    EXPECT_EQ(std::vector<uint8_t>(header_, header_ + 10), h);
    EXPECT_EQ(body_, data);
    ::close(fds[0]);
}

TEST_F(FramingTest, WithoutPieceSizePrefixAndBodyGoInOneCall)
{
    configure("XMSGSIZE=100\nT8=1\n");
    use_packets();
    std::vector<uint8_t> h = host_header(1, 0x81, 1, 0, 0, 0, 1);
    EXPECT_EQ(write(h, pattern(30, 1)), 30);
    XKSWriteOptions inactive{0x00, 0x04, {0, 0}, {1, 0}};  // flags without xmod bit 0
    EXPECT_EQ(write(h, pattern(30, 1), &inactive), 30);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(records(&bytes), (std::vector<size_t>{44, 44}));
}

TEST_F(FramingTest, PieceSizeSplitsPrefixAndBodySeparately)
{
    configure("XMSGSIZE=100\nT8=1\n");
    use_packets();
    std::vector<uint8_t> h = host_header(0x1234, 0x81, 0x0D, 0, 0, 0x7FFF, 0x0001);
    std::vector<uint8_t> data = pattern(12, 2);

    XKSWriteOptions one{0x01, 0x04, {0, 0}, {1, 0}};
    ASSERT_EQ(write(h, data, &one), 12);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(records(&bytes), std::vector<size_t>(26, 1));
    std::vector<uint8_t> want = {0, 0, 0, 22, 0x12, 0x34, 0x81, 0x0D, 0, 0, 0x7F, 0xFF, 0, 1};
    want.insert(want.end(), data.begin(), data.end());
    EXPECT_EQ(bytes, want);

    XKSWriteOptions five{0x01, 0x04, {0, 0}, {5, 0}};
    ASSERT_EQ(write(h, data, &five), 12);
    bytes.clear();
    EXPECT_EQ(records(&bytes), (std::vector<size_t>{5, 5, 4, 5, 5, 2}));
    EXPECT_EQ(bytes, want);
}

TEST_F(FramingTest, TypeOverridesReachOnlyTheWire)
{
    configure("XMSGSIZE=100\nT8=1\n");
    std::vector<uint8_t> h = host_header(0xFFFF, 0, 0, 0, HSMS_LINKTEST_REQ, 0x7FFF, 2);
    const std::vector<uint8_t> before = h;
    XKSWriteOptions stype{0x01, 0x02, {0x44, 0x63}, {0, 0}};
    ASSERT_EQ(write(h, {}, &stype), 0);
    XKSWriteOptions both{0x01, 0x03, {0x44, 0x63}, {0, 0}};
    ASSERT_EQ(write(h, {}, &both), 0);
    auto first = peer_.read(1000);
    auto second = peer_.read(1000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->ptype, 0);
    EXPECT_EQ(first->stype, 0x63);
    EXPECT_EQ(second->ptype, 0x44);
    EXPECT_EQ(second->stype, 0x63);
    EXPECT_EQ(second->system, 0x7FFF0002u);
    EXPECT_EQ(h, before);
}

TEST_F(FramingTest, FailedWriteGivesTheSocketError)
{
    configure("XMSGSIZE=100\nT8=1\n");
    use_packets();
    peer_.close();
    std::vector<uint8_t> h = host_header(1, 0x81, 1, 0, 0, 0, 1);
    EXPECT_EQ(write(h, pattern(4, 1)), XKN_E_CONNRESET);
    XKSWriteOptions one{0x01, 0x04, {0, 0}, {1, 0}};
    EXPECT_EQ(write(h, pattern(4, 1), &one), XKN_E_CONNRESET);
    EXPECT_EQ(TCPWrite(&acb_, h.data(), nullptr, -1, nullptr, __FILE__, __LINE__), XKW_E_INVAL);
    EXPECT_EQ(TCPWrite(&acb_, h.data(), nullptr, 5, nullptr, __FILE__, __LINE__), XKW_E_INVAL);
}

}  // namespace
