// The Omron FINS/TCP driver: the node address exchange and the bytes of
// its requests against a scripted PLC, how it takes (and refuses) the
// PLC's answers, the client against the driver's own answering side, and
// the omronserver program.
//
// Frames here are put together from the FINS/TCP layout by hand: the
// 16-byte header ("FINS", length of the rest from offset 8, command,
// error code), then for FINS frames ICF RSV GCT DNA DA1 DA2 SNA SA1 SA2
// SID MRC SRC and the command body; big-endian fields.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
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

constexpr int32_t DM = 0x82;      // data memory, words
constexpr int32_t CIO_BIT = 0x30;  // CIO area, bits
constexpr int32_t HR_WORD = 0xB2;  // holding area, words

void be32(Bytes& out, uint32_t v)
{
    out.insert(out.end(), {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                           static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}

// The FINS/TCP header of a frame whose part after it is rest bytes.
Bytes tcp_head(uint32_t command, size_t rest, uint32_t error = 0)
{
    Bytes out{'F', 'I', 'N', 'S'};
    be32(out, static_cast<uint32_t>(8 + rest));
    be32(out, command);
    be32(out, error);
    return out;
}

Bytes node_response(uint8_t client, uint8_t server)
{
    Bytes out = tcp_head(1, 8);
    be32(out, client);
    be32(out, server);
    return out;
}

// A FINS response as a PLC sends it: DA1 the client, SA1 the PLC.
struct Reply {
    uint8_t da1, sa1, sid, src;
    uint16_t end = 0;
    Bytes data = {};
    uint32_t command = 2;
    uint8_t mrc = 1;
};

Bytes fins_response(const Reply& r)
{
    Bytes out = tcp_head(r.command, 14 + r.data.size());
    out.insert(out.end(), {0xC0, 0x00, 0x02, 0x00, r.da1, 0x00, 0x00, r.sa1, 0x00, r.sid, r.mrc, r.src,
                           static_cast<uint8_t>(r.end >> 8), static_cast<uint8_t>(r.end)});
    out.insert(out.end(), r.data.begin(), r.data.end());
    return out;
}

// A FINS request as a client sends it.
Bytes fins_request(uint8_t da1, uint8_t sa1, uint8_t sid, uint8_t src, uint8_t area, uint16_t address,
                   uint8_t bit, uint16_t points, const Bytes& data = {})
{
    Bytes out = tcp_head(2, 18 + data.size());
    out.insert(out.end(), {0x80, 0x00, 0x02, 0x00, da1, 0x00, 0x00, sa1, 0x00, sid, 0x01, src, area,
                           static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), bit,
                           static_cast<uint8_t>(points >> 8), static_cast<uint8_t>(points)});
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// One whole frame by its header's length field; empty on time-out.
Bytes read_fins(PlcPeer& peer, int timeout_ms)
{
    Bytes head = peer.read_raw(16, timeout_ms);
    if (head.size() != 16)
        return {};
    size_t rest = (size_t(head[4]) << 24 | size_t(head[5]) << 16 | size_t(head[6]) << 8 | head[7]) - 8;
    Bytes body = peer.read_raw(rest, timeout_ms);
    head.insert(head.end(), body.begin(), body.end());
    return head;
}

Bytes tail(const Bytes& frame, size_t from)
{
    return from <= frame.size() ? Bytes(frame.begin() + static_cast<long>(from), frame.end()) : Bytes{};
}

int elapsed_ms(Clock::time_point since)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The PLC here has node 9 and gives the client node 5.
constexpr uint8_t plc_node = 9;
constexpr uint8_t client_node = 5;

class OmronWireTest : public ::testing::Test {
protected:
    // Connect a client asking for node (0: assigned) while the peer answers
    // the node address request with answer; returns the request it saw.
    Bytes open(int32_t node, const Bytes& answer, const char* dir = "", int32_t level = 0)
    {
        QZRPLCOmronClose(id, 0);
        int port = peer.listen();
        auto opening = std::async(std::launch::async,
                                  [=] { return QZRPLCOmronOpen(0, "127.0.0.1", port, node, dir, level); });
        bool answered = peer.accept(1000) && peer.send(answer);
        Bytes request = answered ? read_fins(peer, 1000) : Bytes{};
        if (answer.empty())
            peer.close();
        id = opening.get();
        EXPECT_TRUE(answered);
        return request;
    }
    void open_assigned(const char* dir = "", int32_t level = 0)
    {
        open(0, node_response(client_node, plc_node), dir, level);
        ASSERT_GT(id, 0);
    }
    // The response to the next request, which carries SID sid.
    Bytes reply(uint8_t sid, uint8_t src, const Bytes& data = {}, uint16_t end = 0)
    {
        return fins_response({client_node, plc_node, sid, src, end, data});
    }
    void TearDown() override { QZRPLCOmronClose(id, 0); }

    PlcPeer peer;
    int32_t id = 0;
};

TEST_F(OmronWireTest, AssignedNodeIsUsedAsSourceOfEveryRequest)
{
    Bytes request = open(0, node_response(client_node, plc_node));
    ASSERT_GT(id, 0);
    EXPECT_EQ(request, (Bytes{'F', 'I', 'N', 'S', 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_NE(QZRPLCOmronAcb(id), nullptr);
    EXPECT_EQ(QZRPLCOmronAcb(id)->option, client_node);
    EXPECT_EQ(QZRPLCOmronAcb(id)->peer, plc_node);

    // Two words of DM from 100: the exact frame, values in host order.
    ASSERT_TRUE(peer.send(reply(1, 1, {0x12, 0x34, 0xAB, 0xCD})));
    std::array<uint16_t, 2> words{};
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 100, 0, 2, words.data(), 1000), 4);
    EXPECT_EQ(words, (std::array<uint16_t, 2>{0x1234, 0xABCD}));
    EXPECT_EQ(read_fins(peer, 1000),
              (Bytes{'F', 'I', 'N', 'S', 0, 0, 0, 26, 0, 0, 0, 2, 0, 0, 0, 0, 0x80, 0, 2, 0, plc_node, 0, 0,
                     client_node, 0, 1, 0x01, 0x01, 0x82, 0x00, 0x64, 0x00, 0x00, 0x02}));

    // The SID counts on; SA1 stays the assigned node.
    ASSERT_TRUE(peer.send(reply(2, 1, {0x00, 0x07})));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, HR_WORD, 0x1234, 0, 1, words.data(), 1000), 2);
    EXPECT_EQ(words[0], 7);
    request = read_fins(peer, 1000);
    ASSERT_EQ(request.size(), 34u);
    EXPECT_EQ(request[23], client_node);
    EXPECT_EQ(request[25], 2);
    EXPECT_EQ(tail(request, 28), (Bytes{HR_WORD, 0x12, 0x34, 0x00, 0x00, 0x01}));

    // A node given by the caller is kept whatever the PLC offers.
    request = open(7, node_response(client_node, plc_node));
    ASSERT_GT(id, 0);
    EXPECT_EQ(request.size(), 20u);
    EXPECT_EQ(request[19], 7);
    ASSERT_TRUE(peer.send(fins_response({7, plc_node, 1, 2})));
    const uint16_t one = 1;
    EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 0, 0, 1, &one, 1000), 2);
    EXPECT_EQ(read_fins(peer, 1000)[23], 7);
}

TEST_F(OmronWireTest, NodeExchangeWithoutItsResponseFailsAndCloses)
{
    // A FINS frame instead of the node address response.
    open(0, fins_response({0, plc_node, 0, 1}));
    EXPECT_EQ(id, -98);
    EXPECT_TRUE(peer.read_raw(1, 1000).empty());  // the driver hung up
    // A node address response too short to name the nodes.
    open(0, tcp_head(1, 0));
    EXPECT_EQ(id, -5);
    // The PLC hangs up without an answer.
    open(0, {});
    EXPECT_EQ(id, -108);
    // No slot stays taken by the failed opens.
    for (int32_t slot = 1; slot <= QZRPLC_MAXID; ++slot)
        EXPECT_EQ(QZRPLCOmronAcb(slot), nullptr) << slot;
    id = 0;
}

TEST_F(OmronWireTest, WritesCarryBigEndianWordsAndOneBytePerBit)
{
    open_assigned();
    // CIO bit: word 10, bit 3, one point, one data byte.
    ASSERT_TRUE(peer.send(reply(1, 2)));
    const uint8_t on = 1;
    EXPECT_EQ(QZRPLCOmronSet(id, 0, CIO_BIT, 10, 3, 1, &on, 1000), 1);
    Bytes request = read_fins(peer, 1000);
    EXPECT_EQ(tail(request, 26), (Bytes{0x01, 0x02, 0x30, 0x00, 0x0A, 0x03, 0x00, 0x01, 0x01}));
    EXPECT_EQ(request[7], 27);  // length: 35 bytes in all

    ASSERT_TRUE(peer.send(reply(2, 2)));
    const uint16_t words[] = {0x1234, 0xABCD};
    EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 0x0200, 0, 2, words, 1000), 4);
    EXPECT_EQ(tail(read_fins(peer, 1000), 28), (Bytes{0x82, 0x02, 0x00, 0x00, 0x00, 0x02, 0x12, 0x34, 0xAB, 0xCD}));

    // Bit reads give one byte per point, as the PLC sent them.
    ASSERT_TRUE(peer.send(reply(3, 1, {1, 0, 1})));
    std::array<uint8_t, 4> bits;
    bits.fill(0xEE);
    EXPECT_EQ(QZRPLCOmronGet(id, 0, 0x31, 5, 15, 3, bits.data(), 1000), 3);
    EXPECT_EQ(bits, (std::array<uint8_t, 4>{1, 0, 1, 0xEE}));
    EXPECT_EQ(tail(read_fins(peer, 1000), 28), (Bytes{0x31, 0x00, 0x05, 0x0F, 0x00, 0x03}));
}

TEST_F(OmronWireTest, RepliesThatDoNotAnswerTheRequestAreRefused)
{
    open_assigned();
    uint16_t words[2] = {};
    Bytes two{0, 1, 0, 2};
    Reply good{client_node, plc_node, 0, 1, 0, two};
    std::vector<std::pair<const char*, Reply>> wrong;
    wrong.push_back({"SID", good});
    wrong.back().second.sid = 99;
    wrong.push_back({"SA1", good});
    wrong.back().second.sa1 = plc_node + 1;
    wrong.push_back({"DA1", good});
    wrong.back().second.da1 = client_node + 1;
    wrong.push_back({"SRC", good});
    wrong.back().second.src = 2;
    wrong.push_back({"MRC", good});
    wrong.back().second.mrc = 2;
    wrong.push_back({"node response", good});
    wrong.back().second.command = 1;
    wrong.push_back({"command high part", good});
    wrong.back().second.command = 0x00000102;
    uint8_t sid = 0;
    for (auto& [what, r] : wrong) {
        ++sid;  // every request takes the next SID
        if (r.sid == 0)
            r.sid = sid;
        ASSERT_TRUE(peer.send(fins_response(r)));
        EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 1000), -1) << what;
    }
    // Error code field set in the FINS/TCP header.
    Bytes flagged = reply(++sid, 1, two);
    flagged[15] = 1;
    ASSERT_TRUE(peer.send(flagged));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 1000), -1);
    // An end code, and a reply of one word for two.
    ASSERT_TRUE(peer.send(reply(++sid, 1, {}, 0x0401)));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 1000), -(100000 + 0x0401));
    ASSERT_TRUE(peer.send(reply(++sid, 2, {}, 0x2108)));
    EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 0, 0, 2, words, 1000), -(100000 + 0x2108));
    ASSERT_TRUE(peer.send(reply(++sid, 1, {0, 1})));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 1000), -5);
    EXPECT_EQ(words[0], 0);  // nothing copied from a refused reply
    // The link stays in step.
    ASSERT_TRUE(peer.send(reply(++sid, 1, two)));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 1000), 4);
    EXPECT_EQ(words[1], 2);
}

TEST_F(OmronWireTest, FramesThatEndEarlyOrAreForeignGiveShort)
{
    open_assigned();
    uint16_t words[2] = {};
    // Not "FINS", then a length that does not cover the header itself.
    Bytes foreign = reply(1, 1, {0, 1, 0, 2});
    foreign[0] = 'G';
    ASSERT_TRUE(peer.send(foreign));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 300), -5);
    open_assigned();
    ASSERT_TRUE(peer.send(tcp_head(2, 0)));
    Bytes low = tcp_head(2, 0);
    low[7] = 7;
    ASSERT_TRUE(peer.send(low));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 300), -5);  // ends after its FINS/TCP header
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 300), -5);

    // The header announces 18 bytes, 6 come, then silence.
    open_assigned();
    Bytes cut = reply(1, 1, {0, 1, 0, 2});
    cut.resize(22);
    ASSERT_TRUE(peer.send(cut));
    auto start = Clock::now();
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 300), -5);
    EXPECT_LT(elapsed_ms(start), 1500);

    // Half a header, then the PLC closes.
    open_assigned();
    ASSERT_TRUE(peer.send({'F', 'I', 'N', 'S', 0, 0}));
    peer.close();
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 1000), -5);
}

// The length field is checked against the frame buffer before anything is
// read for it (run under AddressSanitizer too).
TEST_F(OmronWireTest, OversizedLengthFieldIsRefusedWithoutReadingOn)
{
    open_assigned();
    uint16_t words[2] = {};
    Bytes huge = tcp_head(2, 0);
    huge[4] = 0xFF;  // negative as a signed field
    ASSERT_TRUE(peer.send(huge));
    ASSERT_TRUE(peer.send(tcp_head(2, 4147)));  // one byte past a full frame
    ASSERT_TRUE(peer.send(reply(3, 1, Bytes(4124, 0x11))));  // a full frame
    ASSERT_TRUE(peer.send(reply(4, 1, {0, 1, 0, 2})));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 500), -1);
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 500), -1);
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 500), -5);  // fits, but not 2 points
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2, words, 500), 4);
    EXPECT_EQ(words[1], 2);
}

TEST_F(OmronWireTest, SilentPeerTimesOutAndClosedPeerIsReported)
{
    open_assigned();
    uint16_t value;
    auto start = Clock::now();
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 1, &value, 300), -138);
    int waited = elapsed_ms(start);
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 1500);
    EXPECT_EQ(peer.stall(100), 34u);
    peer.close();
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 1, &value, 1000), -108);
}

TEST_F(OmronWireTest, RequestsThatCannotBeSentAreRefusedWithoutTraffic)
{
    open_assigned();
    std::vector<uint16_t> words(4200);
    EXPECT_EQ(QZRPLCOmronGet(id, 0, CIO_BIT, 0, 0, 4097, words.data(), 300), -1);
    EXPECT_EQ(QZRPLCOmronSet(id, 0, CIO_BIT, 0, 0, 4097, words.data(), 300), -1);
    for (int32_t code : {0x00, 0x01, 0x2D, 0x34, 0x81, 0xAC, 0xB4, 0xBD})
        EXPECT_EQ(QZRPLCOmronGet(id, 0, code, 0, 0, 1, words.data(), 300), -1) << code;
    EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 0, 0, 2061, words.data(), 300), -1);  // write frame too big
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2063, words.data(), 300), -1);  // reply too big
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 0, words.data(), 300), -22);
    EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 0, 0, 1, nullptr, 300), -22);
    EXPECT_EQ(peer.stall(200), 0u);

    // The largest requests that fit go through: 4154-byte frames.
    ASSERT_TRUE(peer.send(reply(1, 1, Bytes(2 * 2062, 3))));
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 2062, words.data(), 1000), 2 * 2062);
    EXPECT_EQ(words[2061], 0x0303);
    EXPECT_EQ(read_fins(peer, 1000).size(), 34u);
    ASSERT_TRUE(peer.send(reply(2, 2)));
    EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 0, 0, 2060, words.data(), 1000), 2 * 2060);
    EXPECT_EQ(read_fins(peer, 1000).size(), 4154u);
    ASSERT_TRUE(peer.send(reply(3, 2)));
    EXPECT_EQ(QZRPLCOmronSet(id, 0, CIO_BIT, 0, 0, 4096, words.data(), 1000), 4096);
    EXPECT_EQ(read_fins(peer, 1000).size(), 34u + 4096);
}

TEST(OmronIdTest, CallsOnIdsNotOpenGiveBadHandle)
{
    uint16_t value = 0;
    for (int32_t id : {0, 5, 16, 17, -1}) {
        EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 1, &value, 100), -9) << id;
        EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 0, 0, 1, &value, 100), -9) << id;
        EXPECT_EQ(QZRPLCOmronAcb(id), nullptr) << id;
        EXPECT_EQ(QZRPLCOmronClose(id, 0), 0) << id;
    }
}

TEST(OmronCodeTypeTest, AreasInTableOrderWithTheirUnits)
{
    std::vector<int32_t> codes{0x02, 0x09};
    for (int32_t c = 0x20; c <= 0x2C; ++c)
        codes.push_back(c);
    codes.insert(codes.end(), {0x30, 0x31, 0x32, 0x33, 0x82, 0x89});
    for (int32_t c = 0xA0; c <= 0xAB; ++c)
        codes.push_back(c);
    codes.insert(codes.end(), {0xBC, 0xB0, 0xB1, 0xB2, 0xB3});
    ASSERT_EQ(codes.size(), 38u);
    for (int32_t i = 0; i < 38; ++i) {
        int32_t index = -1;
        EXPECT_EQ(QZRPLCOmronCodeType(codes[size_t(i)], 4096, &index), i < 19 ? 1 : 2) << codes[size_t(i)];
        EXPECT_EQ(index, i);
    }
    EXPECT_EQ(QZRPLCOmronCodeType(0x82, 4097, nullptr), -1);
    EXPECT_EQ(QZRPLCOmronCodeType(0x82, -1, nullptr), -1);
    EXPECT_EQ(QZRPLCOmronCodeType(0x80, 1, nullptr), -1);
}

TEST_F(OmronWireTest, TraceShowsCallsFramesAndData)
{
    TempDir dir("omrontrace");
    open(0, node_response(client_node, plc_node), dir.path().c_str(), 6);
    ASSERT_GT(id, 0);
    int port = peer.port();
    ASSERT_TRUE(peer.send(reply(1, 1, {0x12, 0x34})));
    uint16_t value;
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 100, 0, 1, &value, 1000), 2);
    ASSERT_TRUE(peer.send(reply(2, 2, {}, 0x0101)));
    EXPECT_EQ(QZRPLCOmronSet(id, 0, CIO_BIT, 10, 3, 1, &value, 1000), -100257);
    QZRPLCOmronClose(id, 0);
    id = 0;

    char name[64];
    std::snprintf(name, sizeof name, "PLC(127.0.0.1_%06d).0000.trc", port);
    std::ifstream in(dir / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string connect = "[Connect] PLC [127.0.0.1:" + std::to_string(port) + "]  rtn=";
    for (const char* line :
         {connect.c_str(), "[Send]    PLC Data   rtn=  20\r\n", "[Recv]    PLC Data   rtn=  24\r\n",
          "[Get]     PLC  dcd=0x82  add=0x0064  bad= 0  nod=   1\r\n", "[Send]    PLC Data   rtn=  34\r\n",
          "[Recv]    PLC Data   rtn=  32\r\n", "  Head", "  Data", "[Set]     PLC  dcd=0x30  add=0x000a  bad= 3  nod=   1\r\n",
          "                     rtn=-100257\r\n", "[Close]   PLC"})
        EXPECT_NE(text.str().find(line), std::string::npos) << line << "\n" << text.str();
}

// ---- the client against the driver's own answering side ----

constexpr uint16_t pattern(int32_t address)
{
    return static_cast<uint16_t>(address * 7 + 1);
}

// The answering side in a thread over DM words and CIO bits (bit n of word
// a at a * 16 + n), until the client goes away (or 1000 requests, or a
// second without one).
class AnsweringPlc {
public:
    explicit AnsweringPlc(int32_t node)
    {
        for (int32_t i = 0; i < QZRPLC_OMRON_POINTS; ++i)
            words_[size_t(i)] = pattern(i);
        int port = listener_.listen();
        auto opening = std::async(std::launch::async,
                                  [=] { return QZRPLCOmronOpen(0, "127.0.0.1", port, node, "", 0); });
        if (listener_.accept(1000))
            server_ = QZRPLCOmronOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", listener_.release(), 0, "", 0);
        if (server_ > 0)
            thread_ = std::thread([this] { serve(); });
        client = opening.get();
    }
    ~AnsweringPlc()
    {
        QZRPLCOmronClose(client, 0);
        if (thread_.joinable())
            thread_.join();
        QZRPLCOmronClose(server_, 0);
    }
    bool ready() const { return server_ > 0 && client > 0; }

    int32_t client = 0;

private:
    void serve()
    {
        std::vector<uint8_t> data(QZRPLC_OMRON_DATA);
        for (int n = 0; n < 1000; ++n) {
            int32_t cmd, code, address, bit, points;
            if (QZRPLCOmronServRecv(server_, 0, &cmd, &code, &address, &bit, &points, data.data(), 1000) < 0)
                return;
            uint8_t* memory = nullptr;
            size_t bytes = 0;
            if (code == DM && address + points <= QZRPLC_OMRON_POINTS) {
                memory = reinterpret_cast<uint8_t*>(&words_[size_t(address)]);
                bytes = size_t(points) * 2;
            } else if (code == CIO_BIT && address * 16 + bit + points <= QZRPLC_OMRON_POINTS) {
                memory = &bits_[size_t(address * 16 + bit)];
                bytes = size_t(points);
            }
            bool read = cmd == QZRPLC_OMRON_READ;
            if (cmd == QZRPLC_OMRON_WRITE && memory != nullptr)
                std::memcpy(memory, data.data(), bytes);
            if (QZRPLCOmronServSend(server_, 0, cmd, code, address, bit, read ? points : 0, memory, 0) < 0)
                return;
        }
    }

    PlcPeer listener_;
    int32_t server_ = 0;
    std::array<uint16_t, QZRPLC_OMRON_POINTS> words_{};
    std::array<uint8_t, QZRPLC_OMRON_POINTS> bits_{};
    std::thread thread_;
};

TEST(OmronLoopbackTest, ClientAndAnsweringSideAgree)
{
    for (int32_t node : {0, 0x21}) {
        SCOPED_TRACE(node);
        AnsweringPlc plc(node);
        ASSERT_TRUE(plc.ready());
        int32_t id = plc.client;
        // The answering side is node 2 and assigns 3.
        EXPECT_EQ(QZRPLCOmronAcb(id)->option, node == 0 ? 3 : node);
        EXPECT_EQ(QZRPLCOmronAcb(id)->peer, 2);

        std::vector<uint16_t> words(960);
        EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 1000, 0, 960, words.data(), 1000), 1920);
        for (int32_t i = 0; i < 960; i += 97)
            EXPECT_EQ(words[size_t(i)], pattern(1000 + i)) << i;
        EXPECT_EQ(words[959], pattern(1959));

        const uint16_t put[] = {0x1234, 0, 0xFFFF, 0x8001, 42};
        EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 100, 0, 5, put, 1000), 10);
        EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 99, 0, 7, words.data(), 1000), 14);
        EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 7),
                  (std::vector<uint16_t>{pattern(99), 0x1234, 0, 0xFFFF, 0x8001, 42, pattern(105)}));

        const uint8_t on[] = {1, 0, 1, 1, 0};
        EXPECT_EQ(QZRPLCOmronSet(id, 0, CIO_BIT, 10, 3, 5, on, 1000), 5);
        std::array<uint8_t, 7> bits{};
        EXPECT_EQ(QZRPLCOmronGet(id, 0, CIO_BIT, 10, 2, 7, bits.data(), 1000), 7);
        EXPECT_EQ(bits, (std::array<uint8_t, 7>{0, 1, 0, 1, 1, 0, 0}));
    }
}

TEST(OmronLoopbackTest, AnsweringSideAnswersWhoeverAskedAndChecksWriteData)
{
    PlcPeer listener, client;
    ASSERT_TRUE(client.connect(listener.listen()));
    ASSERT_TRUE(listener.accept(1000));
    int32_t server = QZRPLCOmronOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", listener.release(), 3, "", 0);
    ASSERT_GT(server, 0);
    int32_t cmd = -1, code = -1, address = -1, bit = -1, points = -1;
    std::vector<uint8_t> data(QZRPLC_OMRON_DATA);

    // Without a node address exchange: the answer goes back to SA1 0x21
    // from DA1 0x07 under the request's SID.
    ASSERT_TRUE(client.send(fins_request(0x07, 0x21, 0x99, 1, DM, 0x0102, 0, 2)));
    EXPECT_EQ(QZRPLCOmronServRecv(server, 0, &cmd, &code, &address, &bit, &points, data.data(), 1000), 0);
    EXPECT_EQ(cmd, 1);
    EXPECT_EQ(code, DM);
    EXPECT_EQ(address, 0x0102);
    EXPECT_EQ(bit, 0);
    EXPECT_EQ(points, 2);
    const uint16_t answer[] = {0xBEEF, 0x0102};
    EXPECT_EQ(QZRPLCOmronServSend(server, 0, cmd, code, address, bit, 2, answer, 0), 4);
    EXPECT_EQ(read_fins(client, 1000), (Bytes{'F', 'I', 'N', 'S', 0, 0, 0, 26, 0, 0, 0, 2, 0, 0, 0, 0, 0x80, 0,
                                              2, 0, 0x21, 0, 0, 0x07, 0, 0x99, 1, 1, 0, 0, 0xBE, 0xEF, 0x01, 0x02}));

    // The node address exchange: a client asking for 0 becomes node 3, one
    // asking for 11 keeps it; the answering side is node 2.
    for (uint8_t asked : {0, 11}) {
        Bytes request = tcp_head(0, 4);
        be32(request, asked);
        ASSERT_TRUE(client.send(request));
        EXPECT_EQ(QZRPLCOmronServRecv(server, 0, &cmd, &code, &address, &bit, &points, data.data(), 1000), 0);
        EXPECT_EQ(cmd, 0);
        EXPECT_EQ(QZRPLCOmronServSend(server, 0, cmd, 0, 0, 0, 0, nullptr, 0), 0);
        EXPECT_EQ(read_fins(client, 1000), node_response(asked == 0 ? 3 : asked, 2));
    }

    // A bit write: the data come back one byte per point.
    ASSERT_TRUE(client.send(fins_request(2, 11, 1, 2, CIO_BIT, 10, 3, 3, {1, 0, 1})));
    EXPECT_EQ(QZRPLCOmronServRecv(server, 0, &cmd, &code, &address, &bit, &points, data.data(), 1000), 3);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 3), (Bytes{1, 0, 1}));
    EXPECT_EQ(bit, 3);
    EXPECT_EQ(QZRPLCOmronServSend(server, 0, cmd, code, address, bit, 0, nullptr, 0), 0);
    EXPECT_EQ(tail(read_fins(client, 1000), 16),
              (Bytes{0x80, 0, 2, 0, 11, 0, 0, 2, 0, 1, 1, 2, 0, 0}));

    // A word write whose data fall short of its points, a command other
    // than read and write, and a node address response are not taken.
    ASSERT_TRUE(client.send(fins_request(2, 11, 2, 2, DM, 0, 0, 4, {1, 0, 2, 0})));
    EXPECT_EQ(QZRPLCOmronServRecv(server, 0, &cmd, &code, &address, &bit, &points, data.data(), 1000), -5);
    ASSERT_TRUE(client.send(fins_request(2, 11, 3, 3, DM, 0, 0, 1)));
    EXPECT_EQ(QZRPLCOmronServRecv(server, 0, &cmd, &code, &address, &bit, &points, data.data(), 1000), -1);
    ASSERT_TRUE(client.send(node_response(1, 2)));
    EXPECT_EQ(QZRPLCOmronServRecv(server, 0, &cmd, &code, &address, &bit, &points, data.data(), 1000), -1);
    QZRPLCOmronClose(server, 0);
}

TEST(OmronLoopbackTest, LockedCallsFromSeveralThreadsGetTheirOwnReplies)
{
    AnsweringPlc plc(0);
    ASSERT_TRUE(plc.ready());
    // Four threads of 25 reads each, every one with its own addresses.
    auto read_right = [&](int t, int k) {
        int32_t address = t * 1000 + k * 3;
        std::array<uint16_t, 3> words{};
        return QZRPLCOmronGet(plc.client, QZRPLC_FLAG_LOCK, DM, address, 0, 3, words.data(), 1000) == 6 &&
               words[0] == pattern(address) && words[2] == pattern(address + 2);
    };
    EXPECT_EQ(failed_calls(4, 25, read_right), 0);
}

// ---- the omronserver program ----

TEST(OmronServerProgramTest, AnswersReadsFromItsInputAndShowsWrites)
{
    TempDir dir("omronsrv");
    int port = plc_free_port();
    ChildConsole server(XKS_OMRONSERVER_PATH, dir.path(), "omronserver", {std::to_string(port)});
    ASSERT_TRUE(server.started());
    int32_t id = open_when_listening([&] { return QZRPLCOmronOpen(0, "127.0.0.1", port, 0, "", 0); });
    ASSERT_GT(id, 0);

    uint16_t words[3] = {};
    const uint16_t put[] = {0x1234, 0x5678};
    EXPECT_EQ(QZRPLCOmronAcb(id)->option, 3);
    server.type("7,8,9\n");  // the answer to the coming prompt
    EXPECT_EQ(QZRPLCOmronGet(id, 0, DM, 0, 0, 3, words, 1000), 6);
    EXPECT_EQ(QZRPLCOmronSet(id, 0, DM, 0x10, 0, 2, put, 1000), 4);
    QZRPLCOmronClose(id, 0);
    EXPECT_TRUE(server.printed_within("Close\n", 1000));
    EXPECT_EQ(words[0], 7);
    EXPECT_EQ(words[1], 8);
    EXPECT_EQ(words[2], 9);
    for (const char* line : {"Connected from 127.0.0.1", "Open  sd=",
                             "Recv  len=   0  cmd=0x00  dcd=0x00  add=0x0000  bad= 0  nod=  0\n",
                             "Send  len=   0  cmd=0x00  dcd=0x00  add=0x0000  bad= 0  nod=  0\n",
                             "Recv  len=   0  cmd=0x01  dcd=0x82  add=0x0000  bad= 0  nod=  3\n", "Data:",
                             "Send  len=   6  cmd=0x01  dcd=0x82  add=0x0000  bad= 0  nod=  3\n",
                             "Recv  len=   4  cmd=0x02  dcd=0x82  add=0x0010  bad= 0  nod=  2\n", " 34 12 78 56",
                             "Send  len=   0  cmd=0x02  dcd=0x82  add=0x0010  bad= 0  nod=  2\n",
                             "Receive error (-108)\n"})
        EXPECT_TRUE(server.printed(line)) << line << "\n" << server.text();

    server.signal(SIGTERM);
    EXPECT_EQ(server.exit_status(2000), 128 + SIGTERM);
    bool traced = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        traced = traced || entry.path().filename().string().rfind("PLC(Server_", 0) == 0;
    EXPECT_TRUE(traced);
}

}  // namespace
