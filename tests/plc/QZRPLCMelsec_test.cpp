// The MELSEC driver: the bytes it puts on the wire and how it takes the
// PLC's answers apart, against a scripted peer; the client against the
// driver's own answering side; and the melsecserver program.
//
// Answers are queued on the peer before the call: the driver reads them
// after sending its request, and the peer then reads that request.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "plc/qzrplc.h"
#include "tests/support/Callers.h"
#include "tests/support/ChildConsole.h"
#include "tests/support/PlcPeer.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t D = 0xA8;  // data register, word device
constexpr int32_t M = 0x90;  // internal relay, bit device
constexpr int32_t B = 0xA0;  // link relay, bit device

// Offsets in a 3E request.
constexpr size_t at_length = 7;
constexpr size_t at_command = 11;
constexpr size_t at_sub = 13;
constexpr size_t at_code = 18;
constexpr size_t at_points = 19;
constexpr size_t at_data = 21;

int le16(const Bytes& frame, size_t at)
{
    return at + 1 < frame.size() ? frame[at] | frame[at + 1] << 8 : -1;
}

Bytes tail(const Bytes& frame, size_t from)
{
    return from <= frame.size() ? Bytes(frame.begin() + static_cast<long>(from), frame.end()) : Bytes{};
}

// A 3E response head announcing length bytes after it, without them.
Bytes head_3e(uint16_t length)
{
    return {0xD0, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
}

int elapsed_ms(Clock::time_point since)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class MelsecWireTest : public ::testing::Test {
protected:
    // (Re)connect a client with the frame option to the peer.
    void open(int32_t option, const char* dir = "", int32_t level = 0)
    {
        QZRPLCMelsecClose(id, 0);
        id = QZRPLCMelsecOpen(0, "127.0.0.1", peer.listen(), option, dir, level);
        ASSERT_GT(id, 0);
        ASSERT_TRUE(peer.accept(1000));
    }
    void TearDown() override { QZRPLCMelsecClose(id, 0); }

    PlcPeer peer;
    int32_t id = 0;
};

TEST_F(MelsecWireTest, WordReadIsTheExact3EFrameAndReturnsHostOrderValues)
{
    open(3);
    Bytes data;
    for (uint8_t i = 0; i < 10; ++i)
        data.insert(data.end(), {i, static_cast<uint8_t>(0x80 + i)});
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, data)));
    std::array<uint16_t, 10> words{};
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 100, 10, words.data(), 1000), 20);
    EXPECT_EQ(peer.read_frame(1000), (Bytes{0x50, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x0C, 0x00, 0x28, 0x00,
                                            0x01, 0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x0A, 0x00}));
    for (uint16_t i = 0; i < 10; ++i)
        EXPECT_EQ(words[i], 0x8000 + i * 0x101) << i;

    // One point: 2 bytes, the register's value.
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {0x34, 0x12})));
    uint16_t one = 0;
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 1, &one, 1000), 2);
    EXPECT_EQ(one, 0x1234);
}

TEST_F(MelsecWireTest, FourEFrameCarriesACountingSerial)
{
    open(4);
    ASSERT_TRUE(peer.send(mc_response(true, 0x0777, 0, Bytes(20, 0))));
    ASSERT_TRUE(peer.send(mc_response(true, 0x0001, 0, Bytes(20, 0))));
    std::array<uint16_t, 10> words{};
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 100, 10, words.data(), 1000), 20);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 100, 10, words.data(), 1000), 20);
    Bytes common{0x00, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x0C, 0x00, 0x28, 0x00,
                 0x01, 0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0xA8, 0x0A, 0x00};
    for (uint8_t serial : {1, 2}) {
        Bytes expect{0x54, 0x00, serial, 0x00};
        expect.insert(expect.end(), common.begin(), common.end());
        EXPECT_EQ(peer.read_frame(1000), expect) << int(serial);
    }
}

TEST_F(MelsecWireTest, BitPointsTravelAsNibblesHighFirst)
{
    open(3);
    // Read 3 points of M: the request asks for 3, 2 bytes come back.
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {0x01, 0x10})));
    std::array<uint8_t, 4> bits;
    bits.fill(0xEE);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, M, 0x20, 3, bits.data(), 1000), 3);
    EXPECT_EQ(bits, (std::array<uint8_t, 4>{0, 1, 1, 0xEE}));
    Bytes request = peer.read_frame(1000);
    ASSERT_EQ(request.size(), at_data);
    EXPECT_EQ(request[at_code], M);
    EXPECT_EQ(le16(request, at_command), 0x0401);
    EXPECT_EQ(le16(request, at_sub), 0x0001);
    EXPECT_EQ(le16(request, at_points), 3);

    // Write 1 point 1 to B: one data byte 0x10; then 3 points 0,1,1.
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {})));
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {})));
    const uint8_t on = 1, three[] = {0, 1, 1};
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, B, 0, 1, &on, 1000), 1);
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, B, 7, 3, three, 1000), 2);
    request = peer.read_frame(1000);
    ASSERT_EQ(request.size(), at_data + 1);
    EXPECT_EQ(request[at_code], B);
    EXPECT_EQ(le16(request, at_command), 0x1401);
    EXPECT_EQ(le16(request, at_sub), 0x0001);
    EXPECT_EQ(le16(request, at_length), 13);
    EXPECT_EQ(tail(request, at_data), Bytes{0x10});
    EXPECT_EQ(tail(peer.read_frame(1000), at_data), (Bytes{0x01, 0x10}));
}

TEST_F(MelsecWireTest, WordWriteSendsLittleEndianData)
{
    open(3);
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {})));
    const uint16_t words[] = {0x1234, 0xABCD};
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 0x123456, 2, words, 1000), 4);
    EXPECT_EQ(peer.read_frame(1000),
              (Bytes{0x50, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x10, 0x00, 0x28, 0x00, 0x01, 0x14, 0x00, 0x00,
                     0x56, 0x34, 0x12, 0xA8, 0x02, 0x00, 0x34, 0x12, 0xCD, 0xAB}));
}

TEST_F(MelsecWireTest, EndCodeBecomesTheResultAndTheLinkStaysUsable)
{
    open(3);
    Bytes info{0x00, 0xFF, 0xFF, 0x03, 0x00, 0x01, 0x04, 0x00, 0x00};
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0xC059, info)));
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {0x05, 0x00})));
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0x0055, info)));
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {})));
    uint16_t value = 0;
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 1, &value, 1000), -(100000 + 0xC059));
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 1, &value, 1000), 2);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 0, 1, &value, 1000), -(100000 + 0x55));
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 0, 1, &value, 1000), 2);
}

TEST_F(MelsecWireTest, RepliesThatDoNotAnswerTheRequestGiveShort)
{
    open(3);
    uint16_t words[10] = {};
    // Too few data bytes for 10 points, then a request instead of a reply.
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {1, 0})));
    ASSERT_TRUE(peer.send(mc_request(false, 0, 0x0401, D, 0, 10)));
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, Bytes(20, 9))));
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 1000), -5);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 1000), -5);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 1000), 20);
    EXPECT_EQ(words[9], 0x0909);
}

TEST_F(MelsecWireTest, FramesThatEndEarlyOrAreForeignGiveShort)
{
    uint16_t words[10] = {};
    // The head announces 22 bytes, 6 come, then silence.
    open(3);
    Bytes cut = head_3e(22);
    cut.insert(cut.end(), {0, 0, 1, 2, 3, 4});
    ASSERT_TRUE(peer.send(cut));
    auto start = Clock::now();
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 300), -5);
    EXPECT_LT(elapsed_ms(start), 1500);

    // Half a head, then the peer closes.
    open(4);
    ASSERT_TRUE(peer.send({0xD4, 0x00, 0x01, 0x00, 0x00}));
    peer.close();
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 1000), -5);

    // A subheader of no MC frame.
    open(3);
    ASSERT_TRUE(peer.send({0x51, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x16, 0x00}));
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 300), -5);
}

// The length field is checked against the frame buffer before anything is
// read for it (run under AddressSanitizer too).
TEST_F(MelsecWireTest, OversizedLengthFieldIsRefusedWithoutReadingOn)
{
    open(3);
    uint16_t words[10] = {};
    ASSERT_TRUE(peer.send(head_3e(0xFFFF)));
    ASSERT_TRUE(peer.send(head_3e(4131)));  // one byte past a full frame
    Bytes full = head_3e(4130);
    full.insert(full.end(), {0x00, 0x00});  // end code
    full.resize(full.size() + 4128, 0x11);
    ASSERT_TRUE(peer.send(full));
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, Bytes(20, 7))));
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 500), -1);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 500), -1);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 500), -5);  // fits, but not 10 points
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 10, words, 500), 20);
    EXPECT_EQ(words[0], 0x0707);
}

TEST_F(MelsecWireTest, SilentPeerTimesOutAndClosedPeerIsReported)
{
    open(3);
    uint16_t value;
    auto start = Clock::now();
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 1, &value, 300), -138);
    int waited = elapsed_ms(start);
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 1500);
    EXPECT_EQ(peer.stall(100), 21u);  // the request went out, no answer

    peer.close();
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 1, &value, 1000), -108);
}

TEST_F(MelsecWireTest, RequestsThatCannotBeSentAreRefusedWithoutTraffic)
{
    open(3);
    std::vector<uint16_t> words(4200);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, M, 0, 4097, words.data(), 300), -1);
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, M, 0, 4097, words.data(), 300), -1);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, 0x00, 0, 1, words.data(), 300), -1);
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, 0x99, 0, 1, words.data(), 300), -1);
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 0, 2060, words.data(), 300), -1);  // write frame too big
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 2065, words.data(), 300), -1);  // reply too big
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 0, words.data(), 300), -22);
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 0, 1, nullptr, 300), -22);
    EXPECT_EQ(peer.stall(200), 0u);

    // The largest frames that fit go through.
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, Bytes(2 * 2064, 3))));
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 2064, words.data(), 1000), 2 * 2064);
    EXPECT_EQ(words[2063], 0x0303);
    EXPECT_EQ(peer.read_frame(1000).size(), at_data);
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {})));
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 0, 2059, words.data(), 1000), 2 * 2059);
    EXPECT_EQ(peer.read_frame(1000).size(), at_data + 2 * 2059);
}

TEST(MelsecIdTest, CallsOnIdsNotOpenGiveBadHandle)
{
    uint16_t value = 0;
    for (int32_t id : {0, 5, 16, 17, -1}) {
        EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 1, &value, 100), -9) << id;
        EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 0, 1, &value, 100), -9) << id;
    }
}

TEST_F(MelsecWireTest, TraceShowsCallsFramesAndData)
{
    TempDir dir("melsectrace");
    open(3, dir.path().c_str(), 6);
    int port = peer.port();
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {0x34, 0x12})));
    uint16_t value;
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 100, 1, &value, 1000), 2);
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0x51, Bytes(9, 0))));
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 100, 1, &value, 1000), -100081);
    QZRPLCMelsecClose(id, 0);
    id = 0;

    char name[64];
    std::snprintf(name, sizeof name, "PLC(127.0.0.1_%06d).0000.trc", port);
    std::ifstream in(dir / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    for (const char* line : {"[Get]     PLC  dcd=0xa8  add=0x0064  nod=   1\r\n", "[Send]    PLC Data   rtn=  25\r\n",
                             "[Recv]    PLC Data   rtn=  17\r\n", "  Head", "[Set]     PLC  dcd=0xa8",
                             "                     rtn=-100081\r\n", "[Close]   PLC"})
        EXPECT_NE(text.str().find(line), std::string::npos) << line << "\n" << text.str();
}

// ---- the client against the driver's own answering side ----

constexpr uint16_t pattern(int32_t address)
{
    return static_cast<uint16_t>(address * 7 + 1);
}

// The answering side in a thread over a memory of D words and M bits, until
// the client goes away (or 1000 requests, or a second without one).
class AnsweringPlc {
public:
    explicit AnsweringPlc(int32_t option)
    {
        for (int32_t i = 0; i < QZRPLC_MELSEC_POINTS; ++i)
            words_[static_cast<size_t>(i)] = pattern(i);
        int port = listener_.listen();
        client = QZRPLCMelsecOpen(0, "127.0.0.1", port, option, "", 0);
        if (client > 0 && listener_.accept(1000))
            server_ = QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", listener_.release(), option, "", 0);
        if (server_ > 0)
            thread_ = std::thread([this] { serve(); });
    }
    ~AnsweringPlc()
    {
        QZRPLCMelsecClose(client, 0);
        if (thread_.joinable())
            thread_.join();
        QZRPLCMelsecClose(server_, 0);
    }
    bool ready() const { return server_ > 0; }

    int32_t client = 0;

private:
    void serve()
    {
        std::vector<uint8_t> data(QZRPLC_MELSEC_DATA);
        for (int n = 0; n < 1000; ++n) {
            int32_t cmd, code, address, points;
            if (QZRPLCMelsecServRecv(server_, 0, &cmd, &code, &address, &points, data.data(), 1000) < 0 ||
                address < 0 || address + points > QZRPLC_MELSEC_POINTS)
                return;
            uint8_t* memory = code == D ? reinterpret_cast<uint8_t*>(&words_[static_cast<size_t>(address)])
                                        : &bits_[static_cast<size_t>(address)];
            size_t bytes = static_cast<size_t>(points) * (code == D ? 2 : 1);
            bool read = cmd == QZRPLC_MELSEC_READ;
            if (!read)
                std::memcpy(memory, data.data(), bytes);
            if (QZRPLCMelsecServSend(server_, 0, cmd, code, address, read ? points : 0, memory, 0) < 0)
                return;
        }
    }

    PlcPeer listener_;
    int32_t server_ = 0;
    std::array<uint16_t, QZRPLC_MELSEC_POINTS> words_{};
    std::array<uint8_t, QZRPLC_MELSEC_POINTS> bits_{};
    std::thread thread_;
};

TEST(MelsecLoopbackTest, ClientAndAnsweringSideAgreeInBothFrames)
{
    for (int32_t option : {3, 4}) {
        SCOPED_TRACE(option);
        AnsweringPlc plc(option);
        ASSERT_TRUE(plc.ready());
        int32_t id = plc.client;

        std::vector<uint16_t> words(960);
        EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 1000, 960, words.data(), 1000), 1920);
        for (int32_t i = 0; i < 960; i += 97)
            EXPECT_EQ(words[static_cast<size_t>(i)], pattern(1000 + i)) << i;
        EXPECT_EQ(words[959], pattern(1959));

        const uint16_t put[] = {0x1234, 0, 0xFFFF, 0x8001, 42};
        EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 100, 5, put, 1000), 10);
        EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 99, 7, words.data(), 1000), 14);
        EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 7),
                  (std::vector<uint16_t>{pattern(99), 0x1234, 0, 0xFFFF, 0x8001, 42, pattern(105)}));

        const uint8_t on[] = {1, 0, 1, 1, 0};
        EXPECT_EQ(QZRPLCMelsecSet(id, 0, M, 10, 5, on, 1000), 3);
        std::array<uint8_t, 7> bits{};
        EXPECT_EQ(QZRPLCMelsecGet(id, 0, M, 9, 7, bits.data(), 1000), 7);
        EXPECT_EQ(bits, (std::array<uint8_t, 7>{0, 1, 0, 1, 1, 0, 0}));
    }
}

TEST(MelsecLoopbackTest, AnsweringSideEchoesSerialAndChecksWriteData)
{
    PlcPeer listener, client;
    ASSERT_TRUE(client.connect(listener.listen()));
    ASSERT_TRUE(listener.accept(1000));
    int32_t server = QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", listener.release(), 4, "", 0);
    ASSERT_GT(server, 0);
    int32_t cmd = 0, code = 0, address = 0, points = 0;
    std::vector<uint8_t> data(QZRPLC_MELSEC_DATA);

    ASSERT_TRUE(client.send(mc_request(true, 0x1234, 0x0401, D, 0x10203, 2)));
    EXPECT_EQ(QZRPLCMelsecServRecv(server, 0, &cmd, &code, &address, &points, data.data(), 1000), 0);
    EXPECT_EQ(cmd, 0x0401);
    EXPECT_EQ(code, D);
    EXPECT_EQ(address, 0x10203);
    EXPECT_EQ(points, 2);
    const uint16_t answer[] = {0xBEEF, 0x0102};
    EXPECT_EQ(QZRPLCMelsecServSend(server, 0, cmd, code, address, 2, answer, 0), 4);
    EXPECT_EQ(client.read_frame(1000), (Bytes{0xD4, 0x00, 0x34, 0x12, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00,
                                              0x06, 0x00, 0x00, 0x00, 0xEF, 0xBE, 0x02, 0x01}));

    ASSERT_TRUE(client.send(mc_request(true, 0x0203, 0x1401, M, 5, 3, {0x10, 0x10})));
    EXPECT_EQ(QZRPLCMelsecServRecv(server, 0, &cmd, &code, &address, &points, data.data(), 1000), 3);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 3), (Bytes{1, 0, 1}));
    EXPECT_EQ(QZRPLCMelsecServSend(server, 0, cmd, code, address, 0, nullptr, 0), 0);
    EXPECT_EQ(client.read_frame(1000),
              (Bytes{0xD4, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00}));

    // A write whose data falls short of its points is not taken.
    ASSERT_TRUE(client.send(mc_request(true, 1, 0x1401, D, 0, 4, {1, 0, 2, 0})));
    EXPECT_EQ(QZRPLCMelsecServRecv(server, 0, &cmd, &code, &address, &points, data.data(), 1000), -5);
    QZRPLCMelsecClose(server, 0);
}

TEST(MelsecLoopbackTest, LockedCallsFromSeveralThreadsGetTheirOwnReplies)
{
    AnsweringPlc plc(4);
    ASSERT_TRUE(plc.ready());
    // Four threads of 25 reads each, every one with its own addresses.
    auto read_right = [&](int t, int k) {
        int32_t address = t * 1000 + k * 3;
        std::array<uint16_t, 3> words{};
        return QZRPLCMelsecGet(plc.client, QZRPLC_FLAG_LOCK, D, address, 3, words.data(), 1000) == 6 &&
               words[0] == pattern(address) && words[2] == pattern(address + 2);
    };
    EXPECT_EQ(failed_calls(4, 25, read_right), 0);
}

// ---- the melsecserver program ----

TEST(MelsecServerProgramTest, AnswersReadsFromItsInputAndShowsWrites)
{
    TempDir dir("melsecsrv");
    int port = plc_free_port();
    ChildConsole server(XKS_MELSECSERVER_PATH, dir.path(), "melsecserver", {std::to_string(port)});
    ASSERT_TRUE(server.started());
    int32_t id = open_when_listening([&] { return QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, "", 0); });
    ASSERT_GT(id, 0);

    uint16_t words[3] = {};
    const uint16_t put[] = {0x1234, 0x5678};
    server.type("7,8,9\n");  // the answer to the coming prompt
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, D, 0, 3, words, 1000), 6);
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, D, 0x10, 2, put, 1000), 4);
    QZRPLCMelsecClose(id, 0);
    EXPECT_TRUE(server.printed_within("Close\n", 1000));
    EXPECT_EQ(words[0], 7);
    EXPECT_EQ(words[1], 8);
    EXPECT_EQ(words[2], 9);
    for (const char* line : {"Connected from 127.0.0.1", "Open  sd=",
                             "Recv  len=   0  cmd=0x0401  dcd=0xa8  add=0x0000  nod=  3\n", "Data:",
                             "Send  len=   6  cmd=0x0401  dcd=0xa8  add=0x0000  nod=  3\n",
                             "Recv  len=   4  cmd=0x1401  dcd=0xa8  add=0x0010  nod=  2\n", " 34 12 78 56",
                             "Send  len=   0  cmd=0x1401  dcd=0xa8  add=0x0010  nod=  2\n", "Receive error (-108)\n"})
        EXPECT_TRUE(server.printed(line)) << line << "\n" << server.text();

    server.signal(SIGTERM);
    EXPECT_EQ(server.exit_status(2000), 128 + SIGTERM);
    // The server traces each connection in its working directory.
    bool traced = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        traced = traced || entry.path().filename().string().rfind("PLC(Server_", 0) == 0;
    EXPECT_TRUE(traced);
}

}  // namespace
