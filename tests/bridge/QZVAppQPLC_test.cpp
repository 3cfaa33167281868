// The bridge's PLC access: value conversions word by word, accesses of the
// three driver families against a scripted peer (the bytes on the wire, the
// log lines), and the shared-memory PLC image seen from a second process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "bridge/QZVAppQ.h"
#include "secs/XKSMssg.h"
#include "tests/support/PlcPeer.h"

namespace {

using Words = std::vector<uint16_t>;

std::vector<std::string> lines;

int count_lines(const std::string& text)
{
    int n = 0;
    for (const auto& line : lines)
        n += line.find(text) != std::string::npos;
    return n;
}

QZVQContext* fresh_context(int32_t plctype, int32_t plcmode = 0)
{
    QZVQContext* ctx = QZVQGetContext();
    QZVQResetContext(ctx);
    ctx->output = [](int32_t, const char* line) { lines.emplace_back(line); };
    ctx->cfg.plctype = plctype;
    ctx->cfg.plcmode = plcmode;
    lines.clear();
    return ctx;
}

template <typename T>
Bytes bytes_of(T value)
{
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

constexpr int32_t MEL = QZVQ_PLC_MELSEC, OMR = QZVQ_PLC_OMRON;

// Every row goes to PLC words and back to the same value.
TEST(PlcConvTest, EachFormatFamilyAndModeBitRoundTrips)
{
    struct Row {
        int32_t type, mode, format, size;
        Bytes value;
        Words words;
    };
    const Bytes abc{'A', 'B', 'C'}, u1{1, 2, 3}, u4 = bytes_of(uint32_t{0x00010002});
    const Bytes i8 = bytes_of(uint64_t{0x0102030405060708}), i2 = bytes_of(int16_t{-2});
    const Row rows[] = {
        {MEL, 0, XKS_FMT_U4, 4, u4, {2, 1}},
        {OMR, 0, XKS_FMT_U4, 4, u4, {1, 2}},
        {MEL, QZVQ_MODE_SWAPINT, 0x400 | XKS_FMT_I4, 4, u4, {256, 512}},  // only the low 9 bits count
        {MEL, QZVQ_MODE_WORDBYTE, XKS_FMT_A, 1, abc, {0x4241, 0x0043}},
        {OMR, 0, XKS_FMT_J, 1, abc, {0x4142, 0x4300}},
        {MEL, QZVQ_MODE_SWAPCHAR | QZVQ_MODE_SWAP1, XKS_FMT_K | 8 << 16, 1, abc, {0x4142, 0x4300}},
        {MEL, QZVQ_MODE_WORDBYTE, XKS_FMT_U1, 1, u1, {1, 2, 3}},
        {MEL, QZVQ_MODE_SWAPCHAR, XKS_FMT_B, 1, u1, {0x0201, 0x0003}},
        {OMR, 0, XKS_FMT_T, 1, u1, {0x0102, 0x0300}},
        {OMR, QZVQ_MODE_SWAP1, XKS_FMT_I1, 1, u1, {0x0201, 0x0003}},
        {MEL, QZVQ_MODE_SWAPINT, XKS_FMT_I2, 2, i2, {0xFEFF}},
        {OMR, 0, XKS_FMT_U8, 8, i8, {0x0102, 0x0304, 0x0506, 0x0708}},
        {MEL, QZVQ_MODE_SWAPINT, XKS_FMT_I8, 8, i8, {0x0201, 0x0403, 0x0605, 0x0807}},
        {MEL, QZVQ_MODE_SWAPINT, XKS_FMT_F4, 4, bytes_of(1.5f), {0x0000, 0x3FC0}},
        {OMR, QZVQ_MODE_SWAPFLOAT, XKS_FMT_F4, 4, bytes_of(1.5f), {0x0000, 0xC03F}},
        {OMR, 0, XKS_FMT_F8, 8, bytes_of(-2.25), {0xC002, 0, 0, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << "format " << std::oct << r.format << " mode " << std::hex << r.mode);
        fresh_context(r.type, r.mode);
        int32_t count = int32_t(r.value.size()) / r.size;
        Words words(8, 0xEEEE);
        int32_t n = ConvSECSToPLC(r.format, count, r.value.data(), words.data(), 8);
        ASSERT_EQ(n, int32_t(r.words.size()));
        EXPECT_EQ(Words(words.begin(), words.begin() + n), r.words);
        EXPECT_EQ(words[size_t(n)], 0xEEEE);

        bool text = XKSMssgIsText(r.format), packed = r.size == 1 && !(r.mode & QZVQ_MODE_WORDBYTE);
        Bytes back(32, 'x');
        EXPECT_EQ(ConvPLCToSECS(r.format, n, words.data(), back.data(), 32), text ? 0 : packed ? 2 * n : count);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + long(r.value.size())), r.value);
        EXPECT_TRUE(!text || back[r.value.size()] == 0) << "text not terminated";
    }
}

TEST(PlcConvTest, TextEndsAtNulAndNothingPassesTheRoom)
{
    char text[8];
    fresh_context(OMR);
    EXPECT_EQ(ConvPLCToSECS(XKS_FMT_A, 5, Words{0x4C4F, 0x5441, 0, 0, 0}.data(), text, 5), 0);
    EXPECT_STREQ(text, "LOTA");
    fresh_context(MEL);
    const Words full{0x4241, 0x4443};  // ABCD, no NUL
    EXPECT_EQ(ConvPLCToSECS(XKS_FMT_A, 2, full.data(), text, 4), -7);
    EXPECT_EQ(ConvPLCToSECS(XKS_FMT_A, 2, full.data(), text, 5), 0);
    EXPECT_STREQ(text, "ABCD");

    Bytes value(8, 0x55);
    EXPECT_EQ(ConvPLCToSECS(XKS_FMT_U2, 4, Words(4).data(), value.data(), 7), -7);
    EXPECT_EQ(ConvPLCToSECS(XKS_FMT_F8, 5, Words(5).data(), value.data(), 7), -7);
    EXPECT_EQ(ConvPLCToSECS(XKS_FMT_B, 4, Words(4).data(), value.data(), 7), -7);
    EXPECT_EQ(value, Bytes(8, 0x55));
    Words words(4, 0xEEEE);
    EXPECT_EQ(ConvSECSToPLC(XKS_FMT_U4, 2, value.data(), words.data(), 3), -7);
    EXPECT_EQ(ConvSECSToPLC(XKS_FMT_A, 3, "ABC", words.data(), 1), -7);
    EXPECT_EQ(ConvSECSToPLC(XKS_FMT_L, 2, value.data(), words.data(), 4), 0);
    EXPECT_EQ(words, Words(4, 0xEEEE));
}

class PlcMelsecTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx = fresh_context(MEL);
        ASSERT_EQ(XKWLockInit(&ctx->access[0]), 0);
        ctx->display = QZVQ_DISP_DETAIL | QZVQ_DISP_HANDSHAKE;
        std::snprintf(ctx->cfg.plchost, sizeof ctx->cfg.plchost, "127.0.0.1");
        ctx->cfg.plcport = peer.listen();
        ctx->cfg.plcto[1] = 1000;
    }
    void TearDown() override
    {
        PLCClose(0);
        XKWLockDelete(&ctx->access[0]);
    }
    // The next request from offset `at` of its frame.
    Bytes sent(size_t at)
    {
        Bytes frame = peer.read_frame(1000);
        return at <= frame.size() ? Bytes(frame.begin() + long(at), frame.end()) : Bytes{};
    }
    QZVQContext* ctx = nullptr;
    PlcPeer peer;
    QZVQCode D{0xA8, ""}, M{0x90, ""};  // data register (words), internal relay (bits)
};

TEST_F(PlcMelsecTest, OptionSelectsTheFrameAndOpenCloseAreLogged)
{
    for (int32_t option : {0, 1}) {
        ctx->cfg.plcopt0[0] = option;
        int32_t id = PLCOpen();
        ASSERT_GT(id, 0);
        ASSERT_TRUE(peer.accept(1000));
        std::string host = "PLC [127.0.0.1:" + std::to_string(ctx->cfg.plcport) + "] ";
        EXPECT_EQ(count_lines(host + "Connected (" + std::to_string(id) + ")"), 1);

        uint16_t buffer[2] = {};
        ASSERT_TRUE(peer.send(mc_response(option == 1, 0, 0, {0x34, 0x12, 0x78, 0x56})));
        EXPECT_EQ(PLCGetData(QZVQ_KIND_ITEM, "LOTID", D, 100, 0, 2, buffer), 4);
        EXPECT_EQ(buffer[1], 0x5678);
        Bytes request = sent(0);  // subheader; command 0401, device 100, code, 2 points
        ASSERT_FALSE(request.empty());
        EXPECT_EQ(request[0], option == 1 ? 0x54 : 0x50);
        EXPECT_EQ(Bytes(request.begin() + (option == 1 ? 15 : 11), request.end()),
                  (Bytes{1, 4, 0, 0, 100, 0, 0, 0xA8, 2, 0}));
        EXPECT_EQ(count_lines("LOTID"), 1) << "the access is displayed";

        ctx->plcstat = 1;
        PLCClose(1);
        EXPECT_EQ(ctx->plcid + ctx->plcstat, 0);
        EXPECT_EQ(count_lines(host + "Disconnected (1)"), 1);
        lines.clear();
    }
}

TEST_F(PlcMelsecTest, WritesAndBitWritesOnTheWire)
{
    ASSERT_GT(PLCOpen(), 0);
    ASSERT_TRUE(peer.accept(1000));
    const Bytes ok = mc_response(false, 0, 0, {});
    const uint16_t words[2] = {0xBEEF, 0x0102};
    ASSERT_TRUE(peer.send(ok));
    EXPECT_EQ(PLCSetData(QZVQ_KIND_INFORM, "SECS Inform", D, 200, 0, 2, words), 4);
    EXPECT_EQ(sent(11), (Bytes{1, 0x14, 0, 0, 200, 0, 0, 0xA8, 2, 0, 0xEF, 0xBE, 2, 1}));
    // The value goes into every byte (0x0101 a word), or a nibble per bit point.
    ASSERT_TRUE(peer.send(ok));
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", D, 10, 0, 2, 1), 4);
    EXPECT_EQ(sent(21), (Bytes{1, 1, 1, 1}));
    ASSERT_TRUE(peer.send(ok));
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_STATUS, "SECS Status", M, 5, 0, 3, 1), 2);
    EXPECT_EQ(sent(21), (Bytes{0x11, 0x10}));

    // Beyond the value buffer: refused, nothing sent. An end code comes back unchanged.
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", D, 10, 0, 129, 1), -22);
    EXPECT_EQ(peer.stall(200), 0u);
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0xC051, {0, 0xFF, 0xFF, 3, 0, 1, 0x14, 0, 0})));
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", D, 10, 0, 128, 0), -(100000 + 0xC051));
    EXPECT_EQ(sent(21), Bytes(256, 0));
}

TEST_F(PlcMelsecTest, NotConnectedOrNoDriverIsRefused)
{
    uint16_t buffer[2] = {7, 7};
    EXPECT_EQ(PLCGetData(QZVQ_KIND_STATUS, "PLC  Status", D, 0, 0, 1, buffer), -9);
    EXPECT_EQ(PLCSetData(QZVQ_KIND_ITEM, "LOTID", D, 0, 0, 2, buffer), -9);
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", D, 0, 0, 1, 1), -9);
    PLCClose(0);
    EXPECT_TRUE(lines.empty()) << "nothing shown, nothing closed";
    EXPECT_EQ(buffer[0], 7);

    ctx->cfg.plcport = plc_free_port();  // nobody listens
    int32_t result = PLCOpen();
    EXPECT_LT(result, 0);
    EXPECT_EQ(count_lines("] Open error (" + std::to_string(result) + ")"), 1);
    // Every family's driver reports the refused connect the same way.
    for (int32_t type : {QZVQ_PLC_OMRON, QZVQ_PLC_KEYENCE, 0x10 | QZVQ_PLC_OMRON}) {
        ctx->cfg.plctype = type;
        EXPECT_EQ(PLCOpen(), result) << type;
    }
    EXPECT_EQ(count_lines("] Open error (" + std::to_string(result) + ")"), 4);
    ctx->cfg.plctype = 1;  // no PLC at all
    EXPECT_EQ(PLCOpen(), 0);
    EXPECT_EQ(count_lines("] Connected (0)"), 1);
}

// Omron and Keyence accesses reach their drivers with what only they take:
// the bit number, the node numbers of the connect, the type text, bit
// writes as STS/RSS lines.
class PlcFamilyTest : public PlcMelsecTest {
protected:
    // A FINS/TCP frame: header with command, then the body.
    static Bytes fins(uint8_t command, const Bytes& body)
    {
        uint32_t length = uint32_t(8 + body.size());
        Bytes frame{'F', 'I', 'N', 'S', uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8),
                    uint8_t(length), 0, 0, 0, command, 0, 0, 0, 0};
        frame.insert(frame.end(), body.begin(), body.end());
        return frame;
    }
    // The response to the FINS request with service ID sid from node 5 to 9.
    static Bytes fins_response(uint8_t sid, uint8_t src, const Bytes& data)
    {
        Bytes body{0xC0, 0, 2, 0, 5, 0, 0, 9, 0, sid, 1, src, 0, 0};
        body.insert(body.end(), data.begin(), data.end());
        return fins(2, body);
    }
    Bytes line(size_t n) { return peer.read_raw(n, 1000); }
    static Bytes text(const std::string& t) { return Bytes(t.begin(), t.end()); }
};

TEST_F(PlcFamilyTest, OmronTakesItsNodeAtConnectAndTheBitNumberOnEveryAccess)
{
    ctx->cfg.plctype = OMR;
    std::thread answer([&] {
        if (peer.accept(1000) && line(20) == fins(0, {0, 0, 0, 0}))
            peer.send(fins(1, {0, 0, 0, 5, 0, 0, 0, 9}));  // the PLC gives the bridge node 5, itself 9
    });
    int32_t id = PLCOpen();
    answer.join();
    ASSERT_GT(id, 0);

    const QZVQCode cio{0x30, ""}, dm{0x82, ""};
    ASSERT_TRUE(peer.send(fins_response(1, 2, {})));
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", cio, 10, 3, 1, 1), 1);
    Bytes request = line(35);
    ASSERT_EQ(request.size(), 35u);
    EXPECT_EQ(request[20], 9) << "DA1 the PLC's node";
    EXPECT_EQ(request[23], 5) << "SA1 the node the PLC assigned";
    EXPECT_EQ(Bytes(request.begin() + 26, request.end()), (Bytes{1, 2, 0x30, 0, 10, 3, 0, 1, 1}));

    ASSERT_TRUE(peer.send(fins_response(2, 1, {0x12, 0x34, 0xAB, 0xCD})));
    uint16_t words[2] = {};
    EXPECT_EQ(PLCGetData(QZVQ_KIND_ITEM, "LOTID", dm, 100, 0, 2, words), 4);
    request = line(34);
    ASSERT_EQ(request.size(), 34u);
    EXPECT_EQ(Bytes(request.begin() + 26, request.end()), (Bytes{1, 1, 0x82, 0, 100, 0, 0, 2}));
    EXPECT_EQ(words[0], 0x1234);
    EXPECT_EQ(words[1], 0xABCD);
    EXPECT_EQ(count_lines("[0x82.0x0064:00]"), 1) << lines.size();
}

TEST_F(PlcFamilyTest, KeyenceSendsTypeTextsSuffixesAndBitLines)
{
    ctx->cfg.plctype = QZVQ_PLC_KEYENCE;
    ctx->cfg.plcopt0[0] = 1;
    ASSERT_GT(PLCOpen(), 0);
    ASSERT_TRUE(peer.accept(1000));

    QZVQCode dm{0, "DM"}, mr{0, "MR"};
    ASSERT_TRUE(peer.send(text("00001 00002 65535\r\n")));
    uint16_t words[3] = {};
    EXPECT_EQ(PLCGetData(QZVQ_KIND_ITEM, "LOTID", dm, 100, 0, 3, words), 6);
    EXPECT_EQ(line(15), text("RDS DM100.U 3\r\n"));
    EXPECT_EQ(words[2], 65535);

    ASSERT_TRUE(peer.send(text("OK\r\n")));
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", mr, 0x12, 0, 2, 1), 0);
    EXPECT_EQ(line(13), text("STS MR102 2\r\n"));
    ASSERT_TRUE(peer.send(text("OK\r\n")));
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", mr, 0x12, 0, 1, 0), 0);
    EXPECT_EQ(line(13), text("RSS MR102 1\r\n"));
    ASSERT_TRUE(peer.send(text("E0\r\n")));
    EXPECT_EQ(PLCSetData(QZVQ_KIND_INFORM, "SECS Inform", dm, 200, 0, 1, words), -100000);
    EXPECT_EQ(line(21), text("WRS DM200.U 1 00001\r\n"));
}

class PlcMemoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx = fresh_context(QZVQ_PLC_MEMORY);
        std::snprintf(ctx->cfg.plchost, sizeof ctx->cfg.plchost, "a/b\\c.%d", int(getpid()));
        ctx->cfg.plcport = 200;  // a block of 204 bytes
        ASSERT_EQ(PLCOpen(), 1);
    }
    void TearDown() override
    {
        EXPECT_EQ(PLCUnmap(), 0);
        EXPECT_EQ(ctx->plcmem, nullptr);
        EXPECT_EQ(XKWMemRemove(ctx->cfg.plchost), 0);
    }
    QZVQContext* ctx = nullptr;
    QZVQCode code{0, ""};
};

// The PLC's side: 0 when it finds the bridge's values, then it answers.
int child_plays_plc(const std::string& name)
{
    XKWMemMapping map{};
    auto* m = static_cast<uint8_t*>(XKWMemMap(name.c_str(), 200, &map));
    if (m == nullptr || map.created != 0 || map.size != 204)
        return 1;
    if (Bytes(m, m + 8) != Bytes{0, 1, 1, 0, 1, 0, 1, 0} || Bytes(m + 14, m + 18) != Bytes{0x34, 0x12, 0x78, 0x56} ||
        Bytes(m + 138, m + 140) != Bytes{0xCD, 0xAB})
        return 2;
    m[0] = 7;
    m[8] = 0x42;
    m[137] = 0x01;
    return 0;
}

TEST_F(PlcMemoryTest, AnotherProcessSeesTheAreasAtTheirOffsets)
{
    const uint16_t inform[2] = {0x1234, 0x5678}, item = 0xABCD;
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_STATUS, "SECS Status", code, 1, 0, 2, 1), 2);
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "PLC  PC Ack", code, 0, 0, 1, 1), 1);
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", code, 2, 0, 1, 1), 1);
    EXPECT_EQ(PLCSetData(QZVQ_KIND_INFORM, "SECS Inform", code, 3, 0, 2, inform), 4);
    EXPECT_EQ(PLCSetData(QZVQ_KIND_ITEM, "LOTID", code, 1, 0, 1, &item), 2);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(child_plays_plc("a_b_c." + std::to_string(getppid())));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child check " << WEXITSTATUS(status);

    uint16_t word[2] = {};
    EXPECT_EQ(PLCGetData(QZVQ_KIND_STATUS, "PLC  Status", code, 0, 0, 1, word), 1);
    EXPECT_EQ(word[0], 7);
    EXPECT_EQ(PLCGetData(QZVQ_KIND_INFORM, "PLC  Inform", code, 0, 0, 1, word), 2);
    EXPECT_EQ(word[0], 0x0042);
    EXPECT_EQ(PLCGetData(QZVQ_KIND_ITEM, "PPID", code, 0, 0, 2, word), 4);
    EXPECT_EQ(word[0], 0x0100);
}

TEST_F(PlcMemoryTest, AccessesOutsideTheBlockAreRefusedAndTheBlockOutlivesClose)
{
    const auto* image = static_cast<const uint8_t*>(ctx->plcmem);
    uint16_t words[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(PLCSetData(QZVQ_KIND_ITEM, "LAST", code, 33, 0, 1, words), 2);  // bytes 202-203
    const Bytes before(image, image + 204);
    EXPECT_EQ(PLCSetData(QZVQ_KIND_ITEM, "PAST", code, 34, 0, 1, words), -22);
    EXPECT_EQ(PLCSetData(QZVQ_KIND_ITEM, "PAST", code, 30, 0, 5, words), -22);
    EXPECT_EQ(PLCSetData(QZVQ_KIND_ITEM, "PAST", code, 0x7FFFFFFF, 0, 0x7FFFFFFF, words), -22);
    EXPECT_EQ(PLCSetData(QZVQ_KIND_ITEM, "NEG", code, -1, 0, 1, words), -22);
    EXPECT_EQ(PLCSetData(4, "KIND", code, 0, 0, 1, words), -22);
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_ITEM, "WORD", code, 0, 0, 1, 1), -22);  // bits only in the byte areas
    EXPECT_EQ(PLCSetBit(QZVQ_KIND_STATUS, "END", code, 200, 0, 5, 1), -22);
    EXPECT_EQ(PLCGetData(QZVQ_KIND_ITEM, "PAST", code, 30, 0, 5, words), -22);
    EXPECT_EQ(Bytes(image, image + 204), before);
    EXPECT_EQ(words[0], 1);

    PLCClose(0);
    EXPECT_EQ(PLCGetData(QZVQ_KIND_ITEM, "LAST", code, 33, 0, 1, words), -9);
    EXPECT_EQ(PLCOpen(), 1);
    EXPECT_EQ(ctx->plcmem, image);
    EXPECT_EQ(PLCGetData(QZVQ_KIND_ITEM, "LAST", code, 33, 0, 1, words + 1), 2);
    EXPECT_EQ(words[1], 1);
}

}  // namespace
