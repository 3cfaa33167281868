// The Keyence upper-link driver: the exact lines it sends and how it takes
// the replies apart, against a scripted TCP peer and a pty playing the PLC
// on a serial line; the client against the driver's own answering side
// over TCP and over two joined ptys; and the keyenceserver program.
//
// Replies are queued before the call: the driver reads them after sending
// its line, and the peer then reads that line.
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
#include <termios.h>
#include <unistd.h>

#include "plc/qzrplc.h"
#include "tests/support/ChildConsole.h"
#include "tests/support/LineSpeed.h"
#include "tests/support/PlcPeer.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t suffix = QZRPLC_KEYENCE_SUFFIX;
constexpr int32_t serial = QZRPLC_KEYENCE_SERIAL;

Bytes bytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

std::string text(const Bytes& data)
{
    return std::string(data.begin(), data.end());
}

int elapsed_ms(Clock::time_point since)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class KeyenceWireTest : public ::testing::Test {
protected:
    void open(int32_t flags, const char* dir = "", int32_t level = 0)
    {
        QZRPLCKeyenceClose(id, 0);
        id = QZRPLCKeyenceOpen(flags, "127.0.0.1", peer.listen(), 0, dir, level);
        ASSERT_GT(id, 0);
        ASSERT_TRUE(peer.accept(1000));
    }
    // The line the driver sent, CR LF included.
    std::string sent(const std::string& expected) { return text(peer.read_raw(expected.size(), 1000)); }
    void TearDown() override { QZRPLCKeyenceClose(id, 0); }

    PlcPeer peer;
    int32_t id = 0;
};

TEST_F(KeyenceWireTest, ReadSendsTypeNumberSuffixAndReturnsValuesByUnit)
{
    open(suffix);
    ASSERT_TRUE(peer.send(bytes("00001 00002 00003\r\n")));
    std::array<uint16_t, 4> words{0, 0, 0, 0xEEEE};
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 100, 3, words.data(), 1000), 6);
    EXPECT_EQ(sent("RDS DM100.U 3\r\n"), "RDS DM100.U 3\r\n");
    EXPECT_EQ(words, (std::array<uint16_t, 4>{1, 2, 3, 0xEEEE}));

    // Four-byte types carry .D and ten digits.
    ASSERT_TRUE(peer.send(bytes("0000000001 4294967295\r\n")));
    std::array<uint32_t, 2> longs{};
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "TC", 5, 2, longs.data(), 1000), 8);
    EXPECT_EQ(sent("RDS TC5.D 2\r\n"), "RDS TC5.D 2\r\n");
    EXPECT_EQ(longs, (std::array<uint32_t, 2>{1, 0xFFFFFFFFu}));

    // Bit types take no suffix; one byte a point.
    ASSERT_TRUE(peer.send(bytes("1 0 1\r\n")));
    std::array<uint8_t, 3> bits{};
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "LR", 0, 3, bits.data(), 1000), 3);
    EXPECT_EQ(sent("RDS LR0 3\r\n"), "RDS LR0 3\r\n");
    EXPECT_EQ(bits, (std::array<uint8_t, 3>{1, 0, 1}));

    // Without the Open flag, no suffix at all.
    open(0);
    ASSERT_TRUE(peer.send(bytes("00009\r\n")));
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "EM", 7, 1, words.data(), 1000), 2);
    EXPECT_EQ(sent("RDS EM7 1\r\n"), "RDS EM7 1\r\n");
    EXPECT_EQ(words[0], 9);
}

TEST_F(KeyenceWireTest, ChannelRelaysAndHexadecimalDevicesUseTheirOwnNumbers)
{
    open(suffix);
    uint8_t bits[4] = {};
    // MR at bit 0x12: channel 1, bit 2. R has no type text.
    ASSERT_TRUE(peer.send(bytes("OK\r\nOK\r\n1\r\n0 1\r\n1\r\n")));
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0x12, 2, 1, 1000), 0);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "CR", 0x3F, 1, 0, 1000), 0);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "R", 0x0A, 1, bits, 1000), 1);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "B", 0xA0, 2, bits, 1000), 2);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "VB", 0x1F, 1, bits, 1000), 1);
    std::string expect = "STS MR102 2\r\nRSS CR315 1\r\nRDS 10 1\r\nRDS Ba0 2\r\nRDS VB1f 1\r\n";
    EXPECT_EQ(sent(expect), expect);
}

TEST_F(KeyenceWireTest, WriteSendsEachValueInItsUnitsWidth)
{
    open(suffix);
    ASSERT_TRUE(peer.send(bytes("OK\r\nOK\r\nOK\r\n")));
    const uint16_t words[] = {1, 65535};
    const uint32_t longs[] = {7, 4000000000u};
    const uint8_t bits[] = {1, 0, 1};
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "DM", 10, 2, words, 1000), 4);
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "CTH", 0, 2, longs, 1000), 8);
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "MR", 16, 3, bits, 1000), 3);
    std::string expect = "WRS DM10.U 2 00001 65535\r\nWRS CTH0.D 2 0000000007 4000000000\r\nWRS MR100 3 1 0 1\r\n";
    EXPECT_EQ(sent(expect), expect);
}

TEST_F(KeyenceWireTest, ErrorRepliesBecomeResultsAndTheLinkStaysUsable)
{
    open(suffix);
    ASSERT_TRUE(peer.send(bytes("E0\r\nE4\r\nE1\r\n00005\r\nOK\r\n")));
    uint16_t value = 3;
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "DM", 0, 1, &value, 1000), -100000);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 1000), -100004);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0, 1, 1, 1000), -100001);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 1000), 2);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "DM", 0, 1, &value, 1000), 2);
}

// Only a reply of exactly the points asked for reaches the caller's buffer.
TEST_F(KeyenceWireTest, RepliesThatDoNotAnswerTheRequestGiveShortAndLeaveTheBuffer)
{
    open(suffix);
    const char* replies[] = {"00001 00002",       "00001 00002 00003 00004", "OK", "00001 0x2 00003",
                             "00001 70000 00003", "00001 -2 00003",          "",   "E",
                             "Exx",               "00001 00002 00003 "};
    for (const char* reply : replies)
        ASSERT_TRUE(peer.send(bytes(std::string(reply) + "\r\n")));
    for (size_t i = 0; i + 1 < std::size(replies); ++i) {
        std::array<uint16_t, 4> words{0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
        EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 3, words.data(), 1000), -5) << replies[i];
        EXPECT_EQ(words[0], 0xEEEE) << replies[i];
    }
    // A trailing blank is no value.
    std::array<uint16_t, 3> words{};
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 3, words.data(), 1000), 6);
    EXPECT_EQ(words[2], 3);

    // A write and a bit command need OK itself.
    ASSERT_TRUE(peer.send(bytes("00001\r\n\r\nOK\r\n")));
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "DM", 0, 1, words.data(), 1000), -5);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0, 1, 0, 1000), -5);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0, 1, 0, 1000), 0);
}

TEST_F(KeyenceWireTest, LinesAreCutAtLineFeedsWhateverTheSegments)
{
    open(0);
    uint16_t value = 0;
    // Two replies in one segment, control characters among the digits,
    // then a reply in pieces.
    ASSERT_TRUE(peer.send(bytes("00011\r\n\x01" "000\t12\r\n000")));
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 1000), 2);
    EXPECT_EQ(value, 11);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 1000), 2);
    EXPECT_EQ(value, 12);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.send(bytes("13\r\n"));
    });
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 1000), 2);
    late.join();
    EXPECT_EQ(value, 13);
}

TEST_F(KeyenceWireTest, OverlongCutAndMissingRepliesFailCleanly)
{
    open(0);
    uint16_t value = 0;
    // A line longer than any reply buffer is refused and skipped whole.
    ASSERT_TRUE(peer.send(bytes(std::string(QZRPLC_KEYENCE_LINE + 100, '1') + "\r\n00021\r\n")));
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 1000), -1);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 1000), 2);
    EXPECT_EQ(value, 21);

    // PacketRead keeps to a small buffer and always terminates it.
    ASSERT_TRUE(peer.send(bytes("ABCDEFGH\r\nABC\r\n")));
    char line[5];
    std::memset(line, 'x', sizeof line);
    EXPECT_EQ(QZRPLCKeyencePacketRead(id, line, 4, 1000), -1);
    EXPECT_EQ(line[4], 'x');
    EXPECT_EQ(QZRPLCKeyencePacketRead(id, line, 4, 1000), 3);
    EXPECT_STREQ(line, "ABC");

    // Silence: the time-out of the socket layer.
    auto start = Clock::now();
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 300), -138);
    EXPECT_GE(elapsed_ms(start), 250);
    EXPECT_LT(elapsed_ms(start), 1500);

    // Cut in mid-line, then closed before a byte (the peer takes the
    // requests first, so that its close is an orderly one).
    EXPECT_GT(peer.stall(50), 0u);
    ASSERT_TRUE(peer.send(bytes("000")));
    peer.close();
    EXPECT_EQ(QZRPLCKeyencePacketRead(id, line, sizeof line, 1000), -5);
    EXPECT_EQ(QZRPLCKeyencePacketRead(id, line, sizeof line, 1000), -108);
}

TEST_F(KeyenceWireTest, RequestsThatCannotBeMadeAreRefusedWithoutTraffic)
{
    open(suffix);
    std::vector<uint32_t> data(QZRPLC_KEYENCE_POINTS + 1);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "XX", 0, 1, data.data(), 300), -1);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "dm", 0, 1, data.data(), 300), -1);
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, nullptr, 0, 1, data.data(), 300), -1);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 4097, data.data(), 300), -1);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0, 4097, 1, 300), -1);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 0, data.data(), 300), -22);
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "DM", 0, 1, nullptr, 300), -22);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", -1, 1, data.data(), 300), -22);
    EXPECT_EQ(peer.stall(200), 0u);

    // The longest write there is fits its line.
    std::fill(data.begin(), data.end(), 0xFFFFFFFFu);
    ASSERT_TRUE(peer.send(bytes("OK\r\n")));
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "TC", 0, 4096, data.data(), 1000), 4096 * 4);
    std::string head = "WRS TC0.D 4096";
    std::string line = text(peer.read_raw(head.size() + 4096 * 11 + 2, 1000));
    EXPECT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.substr(line.size() - 13), " 4294967295\r\n");
}

TEST(KeyenceIdTest, CallsOnIdsNotOpenGiveBadHandle)
{
    uint16_t value = 0;
    for (int32_t id : {0, 5, 16, 17, -1}) {
        EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 1, &value, 100), -9) << id;
        EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "DM", 0, 1, &value, 100), -9) << id;
        EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0, 1, 1, 100), -9) << id;
        EXPECT_EQ(QZRPLCKeyenceClose(id, 0), 0) << id;
        EXPECT_EQ(QZRPLCKeyenceAcb(id), nullptr) << id;
    }
}

TEST(KeyenceTableTest, TypesInTableOrderWithTheirUnits)
{
    const char* types[] = {"R",  "B",  "MR", "LR", "CR", "VB", "DM",  "EM",  "FM", "ZF", "W",
                           "TM", "Z",  "TC", "TS", "CC", "CS", "CTH", "CTC", "CM", "WM"};
    const int32_t units[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 4, 4, 4, 4, 4, 4, 2, 2};
    for (int32_t i = 0; i < 21; ++i) {
        int32_t index = -1;
        EXPECT_EQ(QZRPLCKeyenceCodeType(types[i], 4096, &index), units[i]) << types[i];
        EXPECT_EQ(index, i) << types[i];
    }
    EXPECT_EQ(QZRPLCKeyenceCodeType("DM", 4097, nullptr), -1);
    EXPECT_EQ(QZRPLCKeyenceCodeType("DM", -1, nullptr), -1);
    EXPECT_EQ(QZRPLCKeyenceCodeType("D", 1, nullptr), -1);
    EXPECT_EQ(QZRPLCKeyenceCodeType("", 1, nullptr), -1);
}

TEST_F(KeyenceWireTest, TraceShowsCallsLinesAndData)
{
    TempDir dir("keyencetrace");
    open(suffix, dir.path().c_str(), 6);
    int port = peer.port();
    ASSERT_TRUE(peer.send(bytes("00001 00002 00003\r\nE5\r\n")));
    uint16_t words[3];
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 100, 3, words, 1000), 6);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0x12, 2, 1, 1000), -100005);
    QZRPLCKeyenceClose(id, 0);
    id = 0;

    char name[64];
    std::snprintf(name, sizeof name, "PLC(127.0.0.1_%06d).0000.trc", port);
    std::string trace = read_file(dir / name);
    std::string connect = "[Connect] PLC [127.0.0.1:" + std::to_string(port) + "]  rtn=";
    for (const std::string& line :
         {connect, std::string("[Get]     PLC  dcd=DM   add=0x0064  nod=   3\r\n"),
          std::string("[Send]    PLC Data   rtn=  15\r\n"), std::string("RDS DM100.U 3\r\n"),
          std::string("[Recv]    PLC Data   rtn=  17\r\n"), std::string("00001 00002 00003\r\n"),
          std::string("  Data"), std::string("[ON ]     PLC  dcd=MR   add=0x0012  nod=   2\r\n"),
          std::string("STS MR102 2\r\n"), std::string("                     rtn=-100005\r\n"),
          std::string("[Close]   PLC")})
        EXPECT_NE(trace.find(line), std::string::npos) << line << "\n" << trace;
}

// ---- the answering side ----

class KeyenceAnsweringTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(client.connect(listener.listen()));
        ASSERT_TRUE(listener.accept(1000));
        server = QZRPLCKeyenceOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", listener.release(), 0, "", 0);
        ASSERT_GT(server, 0);
    }
    void TearDown() override { QZRPLCKeyenceClose(server, 0); }
    int32_t recv(const std::string& line)
    {
        client.send(bytes(line + "\r\n"));
        return QZRPLCKeyenceServRecv(server, 0, cmd, type, &address, &points, data.data(), 1000);
    }

    PlcPeer listener, client;
    int32_t server = 0;
    char cmd[QZRPLC_KEYENCE_TEXT] = "", type[QZRPLC_KEYENCE_TEXT] = "";
    int32_t address = -1, points = -1;
    std::vector<uint8_t> data = std::vector<uint8_t>(QZRPLC_KEYENCE_POINTS * 4);
};

TEST_F(KeyenceAnsweringTest, DeviceWordsComeBackAsTypeAndDriverAddress)
{
    struct Case {
        const char* line;
        const char* type;
        int32_t address, points;
    };
    for (const Case& c : {Case{"RDS DM100.U 3", "DM", 100, 3}, Case{"RDS 10 1", "R", 10, 1},
                          Case{"STS MR102 2", "MR", 0x12, 2}, Case{"RSS CR1515 1", "CR", 0xFF, 1},
                          Case{"RDS BA0 1", "B", 0xA0, 1}, Case{"RDS Ba0 2", "B", 0xA0, 2},
                          Case{"RDS B10 1", "B", 0x10, 1}, Case{"RDS VBff.H 1", "VB", 0xFF, 1},
                          Case{"RDS CTH7.D 4096", "CTH", 7, 4096}}) {
        EXPECT_EQ(recv(c.line), 0) << c.line;
        EXPECT_STREQ(cmd, c.line[0] == 'R' && c.line[1] == 'D' ? "RDS" : c.line[0] == 'S' ? "STS" : "RSS");
        EXPECT_STREQ(type, c.type) << c.line;
        EXPECT_EQ(address, c.address) << c.line;
        EXPECT_EQ(points, c.points) << c.line;
    }
    // Other commands carry no device.
    EXPECT_EQ(recv("CR"), 0);
    EXPECT_STREQ(cmd, "CR");
    EXPECT_STREQ(type, "");
}

TEST_F(KeyenceAnsweringTest, WriteValuesAreStoredByUnitAndMustMatchTheCount)
{
    EXPECT_EQ(recv("WRS DM10.U 2 00001 65535"), 4);
    uint16_t words[2];
    std::memcpy(words, data.data(), 4);
    EXPECT_EQ(words[0], 1);
    EXPECT_EQ(words[1], 65535);
    EXPECT_EQ(recv("WRS TC0.D 1 4000000000"), 4);
    uint32_t one;
    std::memcpy(&one, data.data(), 4);
    EXPECT_EQ(one, 4000000000u);
    EXPECT_EQ(recv("WRS MR0 3 1 0 1"), 3);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 3), (Bytes{1, 0, 1}));

    EXPECT_EQ(recv("WRS DM0 3 1 2"), -5);
    EXPECT_EQ(recv("WRS DM0 1 1 2"), -5);
    EXPECT_EQ(recv("WRS DM0 1 65536"), -5);
    EXPECT_EQ(recv("RDS DM0 4097"), -5);
    EXPECT_EQ(recv("RDS DM0"), -5);
    EXPECT_EQ(recv("RDS DM 1"), -5);
    EXPECT_EQ(recv("RDS XX1 1"), -1);
    EXPECT_STREQ(cmd, "RDS");  // a line came, it could not be taken
}

TEST_F(KeyenceAnsweringTest, AnswersCarryValuesOkOrTheTextItself)
{
    const uint16_t words[] = {7, 65535};
    EXPECT_EQ(QZRPLCKeyenceServSend(server, 0, "RDS", "DM", 0, 2, words, 0), 4);
    EXPECT_EQ(QZRPLCKeyenceServSend(server, 0, "WRS", "DM", 0, 0, nullptr, 0), 0);
    const uint32_t longs[] = {12};
    EXPECT_EQ(QZRPLCKeyenceServSend(server, 0, "RDS", "TS", 0, 1, longs, 0), 4);
    EXPECT_EQ(QZRPLCKeyenceServSend(server, 0, "CC", "", 0, 0, nullptr, 0), 0);
    std::string expect = "00007 65535\r\nOK\r\n0000000012\r\nCC\r\n";
    EXPECT_EQ(text(client.read_raw(expect.size(), 1000)), expect);

    char line[QZRPLC_KEYENCE_LINE];
    EXPECT_EQ(QZRPLCKeyencePacketBuild(server, line, nullptr, -7, "", 0, 0), 2);
    EXPECT_STREQ(line, "E7");
}

// ---- the client against the answering side over TCP ----

constexpr uint32_t pattern(int32_t address)
{
    return static_cast<uint32_t>(address * 7 + 1);
}

// Serves one link with a memory of 4096 values per unit: reads from it,
// writes and bit commands into it, CR with CC and CQ with CF. Ends when
// the link fails, after 1000 lines or a second without one.
void serve_memory(int32_t server)
{
    std::array<uint32_t, QZRPLC_KEYENCE_POINTS> memory;
    for (int32_t i = 0; i < QZRPLC_KEYENCE_POINTS; ++i)
        memory[static_cast<size_t>(i)] = pattern(i);
    std::vector<uint8_t> data(QZRPLC_KEYENCE_POINTS * 4);
    for (int n = 0; n < 1000; ++n) {
        char cmd[QZRPLC_KEYENCE_TEXT], type[QZRPLC_KEYENCE_TEXT];
        int32_t address, points;
        int32_t rc = QZRPLCKeyenceServRecv(server, 0, cmd, type, &address, &points, data.data(), 1000);
        if (rc < 0 || address + points > QZRPLC_KEYENCE_POINTS)
            return;
        int32_t unit = QZRPLCKeyenceCodeType(type, points, nullptr);
        std::string command = cmd;
        int32_t answer = 0;
        for (int32_t i = 0; i < points && unit > 0; ++i) {
            uint32_t& cell = memory[static_cast<size_t>(address + i)];
            uint8_t* p = data.data() + i * unit;
            if (command == "WRS") {
                cell = unit == 1 ? *p : unit == 2 ? *reinterpret_cast<uint16_t*>(p) : *reinterpret_cast<uint32_t*>(p);
            } else if (command == "STS" || command == "RSS") {
                cell = command == "STS";
            } else if (command == "RDS") {
                std::memcpy(p, &cell, static_cast<size_t>(unit));  // little-endian host
                answer = points;
            }
        }
        const char* reply = command == "CR" ? "CC" : command == "CQ" ? "CF" : cmd;
        if (QZRPLCKeyenceServSend(server, 0, reply, type, address, answer, data.data(), 0) < 0)
            return;
    }
}

void check_round_trips(int32_t id)
{
    std::vector<uint16_t> words(1000);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 1000, 1000, words.data(), 1000), 2000);
    EXPECT_EQ(words[0], pattern(1000));
    EXPECT_EQ(words[999], pattern(1999));

    const uint16_t put[] = {0x1234, 0, 0xFFFF};
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "DM", 100, 3, put, 1000), 6);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 99, 5, words.data(), 1000), 10);
    EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 5),
              (std::vector<uint16_t>{static_cast<uint16_t>(pattern(99)), 0x1234, 0, 0xFFFF,
                                     static_cast<uint16_t>(pattern(103))}));

    const uint32_t longs[] = {4000000000u};
    uint32_t back = 0;
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "CC", 50, 1, longs, 1000), 4);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "CC", 50, 1, &back, 1000), 4);
    EXPECT_EQ(back, 4000000000u);

    // Channel and hexadecimal numbers come back to the same driver address.
    // (The answering memory is one for all types.)
    std::array<uint8_t, 4> bits{};
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0x12, 2, 1, 1000), 0);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "R", 0x11, 4, bits.data(), 1000), 4);
    EXPECT_EQ(bits, (std::array<uint8_t, 4>{static_cast<uint8_t>(pattern(0x11)), 1, 1,
                                            static_cast<uint8_t>(pattern(0x14))}));
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "B", 0xA1, 1, 0, 1000), 0);
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "VB", 0xA0, 3, bits.data(), 1000), 3);
    EXPECT_EQ(bits[0], static_cast<uint8_t>(pattern(0xA0)));
    EXPECT_EQ(bits[1], 0);
    EXPECT_EQ(bits[2], static_cast<uint8_t>(pattern(0xA2)));
}

TEST(KeyenceLoopbackTest, ClientAndAnsweringSideAgreeOverTcp)
{
    for (int32_t flags : {0, suffix}) {
        SCOPED_TRACE(flags);
        PlcPeer listener;
        int32_t id = QZRPLCKeyenceOpen(flags, "127.0.0.1", listener.listen(), 0, "", 0);
        ASSERT_GT(id, 0);
        ASSERT_TRUE(listener.accept(1000));
        int32_t server = QZRPLCKeyenceOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", listener.release(), 0, "", 0);
        ASSERT_GT(server, 0);
        std::thread plc(serve_memory, server);
        check_round_trips(id);
        QZRPLCKeyenceClose(id, 0);
        plc.join();
        QZRPLCKeyenceClose(server, 0);
    }
}

// ---- serial links over ptys ----

// A pty pair: the driver opens the slave by its path, the test plays the
// PLC on the master. The test keeps a slave descriptor open as well, so
// that the master sees no hang-up between the driver's opens, and reads
// the line settings through it.
class Pty {
public:
    Pty()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[64];
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof name) != 0)
            return;
        path_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (slave_ >= 0 && ::tcgetattr(slave_, &raw) == 0) {
            ::cfmakeraw(&raw);  // no echo of what the test queues
            ::tcsetattr(slave_, TCSANOW, &raw);
        }
    }
    ~Pty()
    {
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ready() const { return slave_ >= 0; }
    const char* path() const { return path_.c_str(); }
    int master() const { return master_; }
    long speed() const { return line_speed(slave_); }
    bool send(const std::string& s) const
    {
        return ::write(master_, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    // Up to n bytes that the driver sent, within timeout_ms.
    std::string read(size_t n, int timeout_ms) const
    {
        std::string out;
        auto start = Clock::now();
        while (out.size() < n) {
            int left = timeout_ms - elapsed_ms(start);
            pollfd p{master_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) <= 0)
                break;
            char chunk[256];
            ssize_t got = ::read(master_, chunk, std::min(sizeof chunk, n - out.size()));
            if (got <= 0)
                break;
            out.append(chunk, static_cast<size_t>(got));
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

TEST(KeyenceSerialTest, ClientStartsTheLinkReadsOverItAndEndsIt)
{
    Pty pty;
    ASSERT_TRUE(pty.ready());
    TempDir dir("keyenceserial");
    // Any answer to CQ, then CC to CR.
    ASSERT_TRUE(pty.send("CF\r\nCC\r\n"));
    int32_t id = QZRPLCKeyenceOpen(serial | suffix, pty.path(), 0x2005, 0, dir.path().c_str(), 4);
    ASSERT_GT(id, 0);
    EXPECT_EQ(pty.read(8, 1000), "CQ\r\nCR\r\n");
    EXPECT_EQ(pty.speed(), 9600);

    ASSERT_TRUE(pty.send("00001 00002\r\n"));
    uint16_t words[2] = {};
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 2, words, 1000), 4);
    EXPECT_EQ(pty.read(13, 1000), "RDS DM0.U 2\r\n");
    EXPECT_EQ(words[1], 2);

    // Serial replies lose the CR LF around them; an empty one is its own error.
    ASSERT_TRUE(pty.send("\rOK\r\n\r\n"));
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0, 1, 1, 1000), 0);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0, 1, 1, 1000), -238);
    auto start = Clock::now();
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 2, words, 200), -238);  // nothing came
    EXPECT_LT(elapsed_ms(start), 1500);
    pty.read(64, 100);

    ASSERT_TRUE(pty.send("CF\r\n"));
    EXPECT_EQ(QZRPLCKeyenceClose(id, 0), 0);
    EXPECT_EQ(pty.read(4, 1000), "CQ\r\n");

    // The trace is named by the device's own name and the settings.
    std::string name = std::filesystem::path(pty.path()).filename().string();
    std::string trace = read_file(dir / ("PLC(" + name + "_0x2005).0000.trc"));
    EXPECT_NE(trace.find(std::string("[Connect] PLC [") + pty.path() + ":0x2005]"), std::string::npos) << trace;
    EXPECT_NE(trace.find("[Recv]    PLC Data   rtn=-238"), std::string::npos) << trace;
}

TEST(KeyenceSerialTest, StartWithoutCcFailsWithTheAnswersNumber)
{
    struct Case {
        const char* answer;
        int32_t rc;
    };
    for (const Case& c : {Case{"E4\r\n", -100004}, Case{"CF\r\n", -100099}, Case{"\r\n", -100099}}) {
        Pty pty;
        ASSERT_TRUE(pty.ready());
        ASSERT_TRUE(pty.send(std::string("CF\r\n") + c.answer));
        EXPECT_EQ(QZRPLCKeyenceOpen(serial, pty.path(), 0x2005, 0, "", 0), c.rc) << c.answer;
        EXPECT_EQ(pty.read(8, 1000), "CQ\r\nCR\r\n");
    }
    // A port that cannot be opened.
    EXPECT_EQ(QZRPLCKeyenceOpen(serial, "/nonexistent/tty", 0x2005, 0, "", 0), -5);
}

// The settings word's speed index, as far as a pty shows the line; the
// speeds termios has no code for (index 6, 9, 12, 13) run as custom ones.
TEST(KeyenceSerialTest, SettingsWordSelectsTheSpeed)
{
    struct Case {
        int32_t settings;
        long speed;
    };
    for (const Case& c : {Case{0x0000, 300}, Case{0x000B, 115200}, Case{0x150A, 57600}, Case{0x000F, 9600},
                          Case{0x000C, 128000}, Case{0x2006, 14400}, Case{0x000D, 256000}}) {
        Pty pty;
        ASSERT_TRUE(pty.ready());
        ASSERT_TRUE(pty.send("CF\r\nCC\r\n"));
        int32_t id = QZRPLCKeyenceOpen(serial, pty.path(), c.settings, 0, "", 0);
        EXPECT_GT(id, 0) << c.settings;
        EXPECT_EQ(pty.speed(), c.speed) << c.settings;
        pty.send("CF\r\n");
        QZRPLCKeyenceClose(id, 0);
    }
}

// Copies between two pty masters both ways until stopped (at most 10 s).
class Relay {
public:
    Relay(int a, int b) : thread_([this, a, b] { run(a, b); }) {}
    ~Relay()
    {
        stop_.store(true);
        thread_.join();
    }

private:
    void run(int a, int b)
    {
        auto start = Clock::now();
        while (!stop_.load() && elapsed_ms(start) < 10000) {
            pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0)
                continue;
            for (int k = 0; k < 2; ++k) {
                if ((p[k].revents & POLLIN) == 0)
                    continue;
                char chunk[4096];
                ssize_t n = ::read(p[k].fd, chunk, sizeof chunk);
                if (n > 0 && ::write(p[1 - k].fd, chunk, static_cast<size_t>(n)) != n)
                    return;
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(KeyenceSerialTest, ClientAndAnsweringSideAgreeOverJoinedPtys)
{
    Pty plc_side, client_side;
    ASSERT_TRUE(plc_side.ready() && client_side.ready());
    Relay relay(plc_side.master(), client_side.master());
    int32_t server = QZRPLCKeyenceOpen(QZRPLC_FLAG_SERVER | serial, plc_side.path(), 0x2005, 0, "", 0);
    ASSERT_GT(server, 0);
    std::thread plc(serve_memory, server);
    int32_t id = QZRPLCKeyenceOpen(serial | suffix, client_side.path(), 0x2005, 0, "", 0);
    EXPECT_GT(id, 0);
    if (id > 0)
        check_round_trips(id);
    QZRPLCKeyenceClose(id, 0);
    plc.join();  // a second without a line
    QZRPLCKeyenceClose(server, 0);
}

// ---- the keyenceserver program ----

void expect_lines(const ChildConsole& server, std::initializer_list<const char*> lines)
{
    for (const char* line : lines)
        EXPECT_TRUE(server.printed(line)) << line << "\n" << server.text();
}

TEST(KeyenceServerProgramTest, AnswersOverTcpFromItsInput)
{
    TempDir dir("keyencesrv");
    int port = plc_free_port();
    ChildConsole server(XKS_KEYENCESERVER_PATH, dir.path(), "keyenceserver", {std::to_string(port)});
    ASSERT_TRUE(server.started());
    int32_t id = open_when_listening([&] { return QZRPLCKeyenceOpen(suffix, "127.0.0.1", port, 0, "", 0); });
    ASSERT_GT(id, 0);
    server.type("7,8,9\n");  // the answer to the coming prompt
    uint16_t words[3] = {};
    const uint16_t put[] = {0x1234, 0x5678};
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "DM", 0, 3, words, 1000), 6);
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "DM", 0x10, 2, put, 1000), 4);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 0x12, 2, 1, 1000), 0);
    QZRPLCKeyenceClose(id, 0);
    EXPECT_TRUE(server.printed_within("Close\n", 1000));
    EXPECT_EQ(words[0], 7);
    EXPECT_EQ(words[2], 9);
    expect_lines(server, {"Connected from 127.0.0.1", "Open  id=", "  mode=0x8000  port=0x",
                               "Recv  len=   0  cmd=RDS  dcd=DM   add=0x0000  nod=  3\n", "Data:",
                               "Send  len=   6  cmd=RDS  dcd=DM   add=0x0000  nod=  3\n",
                               "Recv  len=   4  cmd=WRS  dcd=DM   add=0x0010  nod=  2\n", " 34 12 78 56",
                               "Send  len=   0  cmd=WRS  dcd=DM   add=0x0010  nod=  2\n",
                               "Recv  len=   0  cmd=STS  dcd=MR   add=0x0012  nod=  2\n",
                               "Receive error (-108)\n", "Close\n"});
    server.signal(SIGTERM);
    EXPECT_EQ(server.exit_status(2000), 128 + SIGTERM);
}

TEST(KeyenceServerProgramTest, AnswersOnASerialPortNamedComN)
{
    TempDir dir("keyencecom");
    Pty pty;
    ASSERT_TRUE(pty.ready());
    std::filesystem::create_symlink(pty.path(), dir / "COM7");
    ChildConsole server(XKS_KEYENCESERVER_PATH, dir.path(), "keyenceserver", {"-s", "7"});
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.printed_within("host=COM7\n", 2000)) << server.text();
    ASSERT_TRUE(server.printed("Open  id=")) << server.text();
    EXPECT_EQ(pty.speed(), 9600);

    server.type("42\n");
    ASSERT_TRUE(pty.send("CR\r\nCQ\r\nRDS DM5.U 1\r\nWRS DM5 2 1 2\r\nRDS XX5 1\r\nFOO\r\n"));
    std::string expect = "CC\r\nCF\r\n00042\r\nOK\r\nE1\r\nE1\r\n";
    EXPECT_EQ(pty.read(expect.size(), 2000), expect);
    EXPECT_TRUE(server.printed_within("cmd=FOO", 1000));
    expect_lines(server, {"Recv  len=   0  cmd=CR   dcd=     add=0x0000  nod=  0\n",
                               "Recv  len=   4  cmd=WRS  dcd=DM   add=0x0005  nod=  2\n", " 01 00 02 00",
                               "Recv  len=  -1  cmd=RDS"});
    server.signal(SIGTERM);
    EXPECT_EQ(server.exit_status(2000), 128 + SIGTERM);
    EXPECT_TRUE(std::filesystem::exists(dir / "PLC(Server_COM7).0000.trc"));
}

}  // namespace
