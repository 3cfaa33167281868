// The SECS-I line against the scripted line peer, over a pty and over TCP:
// block layout and numbering, checksums and retries, duplicate, sequence
// and size faults, the T2 and T4 timers, line contention both ways, and
// opening, draining and reconnecting the line.
#include "secs/XKS232C.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/XKWThread.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSLib.h"
#include "tests/support/EngineRun.h"
#include "tests/support/HsmsPeer.h"
#include "tests/support/SecsLine.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using Header = std::array<uint8_t, 10>;
enum class Line { Pty, Tcp };
constexpr int32_t kMax = 70000;

long long ms_since(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

uint16_t h16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 13);
    return v;
}

// A header as the engine keeps it: 16-bit fields in host order.
Header engine_header(uint16_t device, uint8_t b2, uint8_t function, uint16_t src, uint16_t tx)
{
    Header h{};
    std::memcpy(&h[0], &device, 2);
    h[2] = b2;
    h[3] = function;
    std::memcpy(&h[6], &src, 2);
    std::memcpy(&h[8], &tx, 2);
    return h;
}

// The peer's S6F11 W from device 5, system bytes 0x00010002.
SecsHeader s6f11(uint16_t block = 1, bool last = false)
{
    return SecsHeader{5, true, true, 6, 11, last, block, 0x00010002};
}

// One engine's end of a line: settings, port lock, a trace file, the line.
struct LineEnd {
    LineEnd() { XKWLockInit(&res.slock); }
    ~LineEnd()
    {
        XKS232CClose(&acb);
        if (trace.open != 0)
            XKWTraceClose(&trace);
        XKSLibFreeConfig(&acb);
        XKWLockDelete(&res.slock);
    }
    // Short timers first, then keys (later lines win).
    bool configure(const std::string& keys)
    {
        std::ofstream(dir / "xks.ini") << "[XKS]\nT1=50\nT2=1\nT4=2\nINTER0=10\nINTER2=10\nXRETRY=3\n" << keys << "\n";
        if (XKSLibReadConfig(&acb, (dir / "xks.ini").c_str(), nullptr) != 0 ||
            XKWTraceOpen(&trace, 0x4000, (dir / "t.trc").c_str(), nullptr, 0) != 0)
            return false;
        XKWTraceSetAttr(&trace, 0x0002, 0, 9, -1);
        acb.ctrace = &trace;
        acb.res = &res;
        return true;
    }
    std::string log() const
    {
        std::ifstream in(dir / "t.trc");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TempDir dir{"xks232c"};
    XKSAcb acb{};
    XKSContRes res{};
    XKWTrace trace{};
};

class LineFixture : public ::testing::Test {
protected:
    void TearDown() override { stop(); }

    // Open the line to peer_ with SECSMODE bits `mode` besides the line
    // kind's (TCP: active to the peer's listener) and further keys.
    void open(Line line, uint32_t mode = 0, const std::string& keys = "")
    {
        std::string where;
        if (line == Line::Pty) {
            ASSERT_TRUE(peer_.open_pty());
            where = "SDEVICE=" + peer_.name();
        } else {
            int port = peer_.listen();
            ASSERT_GT(port, 0);
            mode |= 0x42;
            where = "HOST=127.0.0.1\nPORT=" + std::to_string(port);
        }
        char bits[32];
        std::snprintf(bits, sizeof bits, "SECSMODE=0x%x\n", mode);
        ASSERT_TRUE(end_.configure(bits + where + "\n" + keys));
        ASSERT_EQ(XKS232COpen(&end_.acb), 0);
        if (line == Line::Tcp) {
            ASSERT_TRUE(peer_.accept(2000));
        }
    }

    void read_async(int32_t max = kMax)
    {
        body_.assign(size_t(max), 0xEE);
        reading_ = std::async(std::launch::async, [this, max] {
            return XKS232CRead(&end_.acb, header_, body_.data(), max, __FILE__, __LINE__);
        });
    }
    void write_async(std::vector<uint8_t> body, Header header = engine_header(1, 0x81, 1, 0, 1),
                     const XKSWriteOptions* options = nullptr)
    {
        wheader_ = header;
        wbody_ = std::move(body);
        writing_ = std::async(std::launch::async, [this, options] {
            return XKS232CWrite(&end_.acb, wheader_.data(), wbody_.data(), int32_t(wbody_.size()),
                                reinterpret_cast<const uint8_t*>(options), __FILE__, __LINE__);
        });
    }
    // The result within ms; a call still running then is told to end.
    int32_t result(std::future<int32_t>& f, int ms = 8000)
    {
        if (f.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready)
            XKSStore(end_.acb.fexit, 1);
        return f.get();
    }
    void stop()
    {
        XKSStore(end_.acb.fexit, 1);
        for (auto* f : {&reading_, &writing_})
            if (f->valid())
                f->wait();
    }
    // One block transfer by the peer: ENQ, EOT expected, block, answer expected.
    bool peer_block(const SecsHeader& h, const std::vector<uint8_t>& data, uint8_t answer,
                    std::optional<uint16_t> sum = std::nullopt)
    {
        return peer_.send_byte(SECS_ENQ) && peer_.expect(SECS_EOT, 2000) && peer_.send_block(h, data, sum) &&
               peer_.expect(answer, 2000);
    }

    LineEnd end_;
    SecsLinePeer peer_;
    uint8_t header_[10]{};
    std::vector<uint8_t> body_;
    Header wheader_{};
    std::vector<uint8_t> wbody_;
    std::future<int32_t> reading_, writing_;
};

class SecsLineTest : public LineFixture, public ::testing::WithParamInterface<Line> {
protected:
    void open(uint32_t mode = 0, const std::string& keys = "") { LineFixture::open(GetParam(), mode, keys); }
};

INSTANTIATE_TEST_SUITE_P(Lines, SecsLineTest, ::testing::Values(Line::Pty, Line::Tcp),
                         [](const auto& info) { return info.param == Line::Pty ? "Pty" : "Tcp"; });

}  // namespace

// ---- sending ----

TEST_P(SecsLineTest, BodyOf300BytesGoesInBlocksOf244And56)
{
    open();
    write_async(pattern(300), engine_header(0x8005, 0x86, 11, 0x0001, 0x0002));
    auto msg = peer_.receive_message(2000);
    ASSERT_EQ(result(writing_), 300);
    ASSERT_TRUE(msg.has_value());
    ASSERT_EQ(msg->blocks.size(), 2u);
    EXPECT_EQ(msg->blocks[0].data.size(), 244u);
    EXPECT_EQ(msg->blocks[0].header.block_field(), 0x0001);
    EXPECT_EQ(msg->blocks[1].data.size(), 56u);
    EXPECT_EQ(msg->blocks[1].header.block_field(), 0x8002);
    EXPECT_EQ(msg->header, (SecsHeader{5, true, true, 6, 11, true, 2, 0x00010002}));
    EXPECT_EQ(msg->body, pattern(300));
    EXPECT_EQ(h16(wheader_.data() + 4), 0x8002) << "the caller learns the last block field";
}

TEST_P(SecsLineTest, OneBlockMessageIsNumberedZeroAndItsBytesAreExact)
{
    open();
    write_async({});
    auto bytes = peer_.read_raw(1, 2000);
    ASSERT_EQ(bytes, std::vector<uint8_t>{SECS_ENQ});
    ASSERT_TRUE(peer_.send_byte(SECS_EOT));
    const std::vector<uint8_t> wire = {0x0A, 0x00, 0x01, 0x81, 0x01, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x04};
    EXPECT_EQ(peer_.read_raw(wire.size(), 2000), wire);
    ASSERT_TRUE(peer_.send_byte(SECS_ACK));
    EXPECT_EQ(result(writing_), 0);
    std::string log = end_.log();
    EXPECT_NE(log.find("Send    :0a:LEN=  10:    0x0001   0x8101   0x8000          0x0000.0001:0x0104"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Receive :06:ACK"), std::string::npos);
    EXPECT_NE(log.find("SEND"), std::string::npos);

    write_async(pattern(244));
    auto msg = peer_.receive_message(2000);
    ASSERT_EQ(result(writing_), 244);
    ASSERT_TRUE(msg && msg->blocks.size() == 1);
    EXPECT_EQ(msg->header.block_field(), 0x8000);
}

TEST_P(SecsLineTest, OneBlockMessageIsNumberedOneWithDevmode4)
{
    open(0, "DEVMODE=0x1804");
    write_async(pattern(244));
    auto msg = peer_.receive_message(2000);
    ASSERT_EQ(result(writing_), 244);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(msg->header.block_field(), 0x8001);
}

TEST_P(SecsLineTest, WriteOptionsSetTheBlockSizeUpTo244)
{
    open();
    XKSWriteOptions small{0x01, 0x04, {0, 0}, {112, 0}};
    write_async(pattern(250), engine_header(1, 0x81, 1, 0, 1), &small);
    auto msg = peer_.receive_message(2000);
    ASSERT_EQ(result(writing_), 250);
    ASSERT_TRUE(msg.has_value());
    ASSERT_EQ(msg->blocks.size(), 3u);
    EXPECT_EQ(msg->blocks[0].data.size(), 100u);
    EXPECT_EQ(msg->blocks[2].data.size(), 50u);
    EXPECT_EQ(msg->body, pattern(250));

    // A piece size past what a length character can announce stays at 244.
    XKSWriteOptions large{0x01, 0x04, {0, 0}, {1000, 0}};
    write_async(pattern(300), engine_header(1, 0x81, 1, 0, 1), &large);
    msg = peer_.receive_message(2000);
    ASSERT_EQ(result(writing_), 300);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(msg->blocks[0].data.size(), 244u);
    EXPECT_EQ(msg->body, pattern(300));

    // 1-byte blocks: 32768 bytes would need more than 32767 of them.
    XKSWriteOptions tiny{0x01, 0x04, {0, 0}, {13, 0}};
    write_async(pattern(32768), engine_header(1, 0x81, 1, 0, 1), &tiny);
    EXPECT_EQ(result(writing_), XKS_E_TOOBIG);
    EXPECT_TRUE(peer_.silent(200));
}

TEST_P(SecsLineTest, NakedBlockIsSentAgainAndAttemptsAreLimited)
{
    open(0, "XRETRY=1");
    write_async(pattern(20));
    ASSERT_TRUE(peer_.expect(SECS_ENQ, 2000) && peer_.send_byte(SECS_EOT));
    auto first = peer_.read_block(2000);
    ASSERT_TRUE(first && first->checksum_ok);
    ASSERT_TRUE(peer_.send_byte(SECS_NAK));
    ASSERT_TRUE(peer_.expect(SECS_ENQ, 2000) && peer_.send_byte(SECS_EOT));
    auto again = peer_.read_block(2000);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->data, first->data);
    EXPECT_EQ(again->raw, first->raw);
    ASSERT_TRUE(peer_.send_byte(SECS_ACK));
    EXPECT_EQ(result(writing_), 20);

    // Two attempts, both refused: retry over, and the line falls quiet.
    write_async(pattern(20));
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(peer_.expect(SECS_ENQ, 2000) && peer_.send_byte(SECS_EOT));
        ASSERT_TRUE(peer_.read_block(2000).has_value());
        ASSERT_TRUE(peer_.send_byte(SECS_NAK));
    }
    EXPECT_EQ(result(writing_), XKS_E_RETRY);
    EXPECT_TRUE(peer_.silent(300));
}

TEST_P(SecsLineTest, SilentPeerGivesRetryOverAfterXretryPlusOneBids)
{
    open(0, "XRETRY=2");
    auto t0 = Clock::now();
    write_async(pattern(5));
    int enqs = 0;
    for (int i = 0; i < 10; ++i) {
        int ch = peer_.read_byte(1500);
        if (ch < 0)
            break;
        enqs += ch == SECS_ENQ;
    }
    EXPECT_EQ(result(writing_), XKS_E_RETRY);
    EXPECT_EQ(enqs, 3);
    EXPECT_GE(ms_since(t0), 2900) << "each bid waits T2";
    EXPECT_NE(end_.log().find("RETRY_OVER"), std::string::npos);
}

// ---- receiving ----

TEST_P(SecsLineTest, BlocksAreAssembledAndTheLastBlockFieldReported)
{
    open();
    read_async();
    ASSERT_TRUE(peer_.send_message(s6f11(), pattern(300), 2000));
    ASSERT_EQ(result(reading_), 300);
    EXPECT_EQ(std::vector<uint8_t>(body_.begin(), body_.begin() + 300), pattern(300));
    EXPECT_EQ(body_[300], 0xEE);
    EXPECT_EQ(h16(header_), 0x8005);
    EXPECT_EQ(header_[2], 0x86);
    EXPECT_EQ(header_[3], 11);
    EXPECT_EQ(h16(header_ + 4), 0x8002);
    EXPECT_EQ(h16(header_ + 6), 0x0001);
    EXPECT_EQ(h16(header_ + 8), 0x0002);
    EXPECT_EQ(end_.acb.sblk, -1);
    EXPECT_EQ(end_.acb.slen, 0);
    EXPECT_NE(end_.log().find("RECEIVE"), std::string::npos);

    // One block numbered 1 with the E-bit is a whole message too.
    read_async();
    ASSERT_TRUE(peer_.send_message(s6f11(), pattern(7), 2000, 244, 1));
    EXPECT_EQ(result(reading_), 7);
}

TEST_P(SecsLineTest, WrongChecksumIsNakedAndTheSameBlockThenAccepted)
{
    open();
    read_async();
    auto data = pattern(30);
    auto wire = SecsEncodeBlock(s6f11(1, true), data);
    uint16_t good = uint16_t(wire[wire.size() - 2] << 8 | wire.back());
    ASSERT_TRUE(peer_block(s6f11(1, true), data, SECS_NAK, uint16_t(good + 1)));
    ASSERT_TRUE(peer_block(s6f11(1, true), data, SECS_ACK));
    ASSERT_EQ(result(reading_), 30);
    EXPECT_EQ(std::vector<uint8_t>(body_.begin(), body_.begin() + 30), data);
}

TEST_P(SecsLineTest, DuplicateBlockIsDroppedWithoutAnswer)
{
    open();
    read_async();
    ASSERT_TRUE(peer_block(s6f11(1), pattern(244, 1), SECS_ACK));
    ASSERT_TRUE(peer_block(s6f11(2), pattern(244, 2), SECS_ACK));
    ASSERT_TRUE(peer_.send_byte(SECS_ENQ) && peer_.expect(SECS_EOT, 2000));
    ASSERT_TRUE(peer_.send_block(s6f11(2), pattern(244, 2)));
    EXPECT_TRUE(peer_.silent(400)) << "a duplicate gets no ACK";
    ASSERT_TRUE(peer_block(s6f11(3, true), pattern(10, 3), SECS_ACK));
    ASSERT_EQ(result(reading_), 498);
    auto expected = pattern(244, 1);
    for (auto part : {pattern(244, 2), pattern(10, 3)})
        expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(std::vector<uint8_t>(body_.begin(), body_.begin() + 498), expected);
}

TEST_P(SecsLineTest, BlockOutOfSequenceFailsTheMessage)
{
    open();
    read_async();
    ASSERT_TRUE(peer_block(s6f11(1), pattern(244), SECS_ACK));
    ASSERT_TRUE(peer_block(s6f11(3, true), pattern(5), SECS_NAK));
    EXPECT_EQ(result(reading_), XKS_E_ILLBLOCK);

    // A first block must be numbered 1 (0 or 1 with the E-bit).
    read_async();
    ASSERT_TRUE(peer_block(s6f11(2), pattern(5), SECS_NAK));
    EXPECT_EQ(result(reading_), XKS_E_ILLBLOCK);
    EXPECT_NE(end_.log().find("ILL_BLOCK"), std::string::npos);
}

TEST_P(SecsLineTest, SequenceOptionsNakOutOfOrderAndAcceptAnyFirstNumber)
{
    open(0x40000000 | 0x20000000);
    read_async();
    ASSERT_TRUE(peer_block(s6f11(5), pattern(244), SECS_ACK));
    ASSERT_TRUE(peer_block(s6f11(7, true), pattern(5), SECS_NAK));
    ASSERT_TRUE(peer_block(s6f11(6, true), pattern(5), SECS_ACK));
    EXPECT_EQ(result(reading_), 249);
    EXPECT_EQ(h16(header_ + 4), 0x8006);
}

TEST_P(SecsLineTest, BadLengthCharacterIsDrainedAndNaked)
{
    open();
    read_async();
    ASSERT_TRUE(peer_.send_byte(SECS_ENQ) && peer_.expect(SECS_EOT, 2000));
    auto t0 = Clock::now();
    ASSERT_TRUE(peer_.send_raw(std::vector<uint8_t>{9, 0x05, 0x0A, 1, 2}));
    ASSERT_TRUE(peer_.expect(SECS_NAK, 2000));
    EXPECT_GE(ms_since(t0), 45) << "the drain waits T1 of quiet";
    EXPECT_EQ(result(reading_), XKS_E_PROTOCOL);
    // The bytes after it were drained: the ENQ among them is not answered.
    read_async();
    EXPECT_TRUE(peer_.silent(200));
    ASSERT_TRUE(peer_.send_message(s6f11(), pattern(3), 2000));
    EXPECT_EQ(result(reading_), 3);

    read_async();
    ASSERT_TRUE(peer_.send_byte(SECS_ENQ) && peer_.expect(SECS_EOT, 2000));
    ASSERT_TRUE(peer_.send_byte(255) && peer_.expect(SECS_NAK, 2000));
    EXPECT_EQ(result(reading_), XKS_E_TOOBIG);
}

TEST_P(SecsLineTest, OversizeMessagesAreCutOrFailed)
{
    open(0, "XMSGSIZE=300");
    EXPECT_EQ(end_.acb.sxln, 300);
    // Larger than the caller's buffer: received whole, delivered cut.
    read_async(100);
    ASSERT_TRUE(peer_.send_message(s6f11(), pattern(250), 2000));
    EXPECT_EQ(result(reading_), XKS_E_TOOBIG);
    EXPECT_EQ(body_, pattern(100));
    EXPECT_EQ(end_.acb.xerr1, XKS_E_TOOBIG);
    // Larger than XMSGSIZE: the block that passes it fails the message.
    read_async();
    ASSERT_TRUE(peer_block(s6f11(1), pattern(244), SECS_ACK));
    ASSERT_TRUE(peer_block(s6f11(2), pattern(244), SECS_NAK));
    EXPECT_EQ(result(reading_), XKS_E_TOOBIG);
}

TEST_P(SecsLineTest, MissingCharactersRunIntoT2AndMissingBlocksIntoT4)
{
    open();
    read_async();
    ASSERT_TRUE(peer_.send_byte(SECS_ENQ) && peer_.expect(SECS_EOT, 2000));
    auto t0 = Clock::now();
    EXPECT_TRUE(peer_.expect(SECS_NAK, 2000)) << "no length character";
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_EQ(result(reading_), XKS_E_T2);

    // A block cut short: TCP counts it as not come (T2); a serial line
    // takes it as far as it came, NAKs it as bad and then waits up to T4.
    read_async();
    ASSERT_TRUE(peer_.send_byte(SECS_ENQ) && peer_.expect(SECS_EOT, 2000));
    ASSERT_TRUE(peer_.send_raw(std::vector<uint8_t>{20, 0, 5, 0x86, 11}));
    EXPECT_TRUE(peer_.expect(SECS_NAK, 2000));
    if (GetParam() == Line::Pty) {
        EXPECT_TRUE(peer_.expect(SECS_NAK, 3000));
        EXPECT_EQ(result(reading_), XKS_E_T4);
    } else {
        EXPECT_EQ(result(reading_), XKS_E_T2);
    }

    read_async();
    ASSERT_TRUE(peer_block(s6f11(1), pattern(244), SECS_ACK));
    t0 = Clock::now();
    EXPECT_TRUE(peer_.expect(SECS_NAK, 4000));
    EXPECT_GE(ms_since(t0), 1900) << "T4 is 2 s";
    EXPECT_EQ(result(reading_), XKS_E_T4);
    EXPECT_NE(end_.log().find("T4TIMEOUT"), std::string::npos);
}

TEST_P(SecsLineTest, GetcTimesOutAndStopsAfterTheStopCharacter)
{
    open();
    uint8_t buf[10];
    EXPECT_EQ(XKS232CGetc(&end_.acb, buf, 10, -50, 0), GetParam() == Line::Pty ? -5 : XKW_E_TIMEOUT);
    ASSERT_TRUE(peer_.send_raw(std::vector<uint8_t>{'A', 'B', '\n', 'C'}));
    EXPECT_EQ(XKS232CGetc(&end_.acb, buf, 10, 1, '\n'), 3);
    EXPECT_EQ(XKS232CGetc(&end_.acb, buf, 1, 1, 0), 1);
    EXPECT_EQ(buf[0], 'C');
}

// ---- contention ----

TEST_P(SecsLineTest, SlaveLetsTheOtherMessageInFirst)
{
    open();
    read_async();
    write_async(pattern(10));
    ASSERT_TRUE(peer_.expect(SECS_ENQ, 2000));
    ASSERT_TRUE(peer_.send_byte(SECS_ENQ));
    ASSERT_TRUE(peer_.expect(SECS_EOT, 2000)) << "the receive side answers the peer's bid";
    ASSERT_TRUE(peer_.send_block(s6f11(1, true), pattern(4)) && peer_.expect(SECS_ACK, 2000));
    EXPECT_EQ(result(reading_), 4);
    auto msg = peer_.receive_message(3000);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(msg->body, pattern(10));
    EXPECT_EQ(result(writing_), 10);
    EXPECT_EQ(XKSLoad(end_.acb.ssh1), 0);
    EXPECT_EQ(XKSLoad(end_.acb.ssh2), 0);
}

TEST_P(SecsLineTest, MasterKeepsTheLine)
{
    open(0x20);
    read_async();
    write_async(pattern(10));
    ASSERT_TRUE(peer_.expect(SECS_ENQ, 2000));
    ASSERT_TRUE(peer_.send_byte(SECS_ENQ));
    EXPECT_TRUE(peer_.silent(300)) << "the master does not answer the other bid";
    ASSERT_TRUE(peer_.send_byte(SECS_EOT));
    auto block = peer_.read_block(2000);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->data, pattern(10));
    ASSERT_TRUE(peer_.send_byte(SECS_ACK));
    EXPECT_EQ(result(writing_), 10);
    ASSERT_TRUE(peer_.send_message(s6f11(), pattern(4), 2000));
    EXPECT_EQ(result(reading_), 4);
}

// ---- opening ----

TEST(SecsLineOpenTest, SerialOpenDrainsWaitingInputAndMissingDeviceFails)
{
    SecsLinePeer peer;
    ASSERT_TRUE(peer.open_pty());
    ASSERT_TRUE(peer.send_raw(std::vector<uint8_t>{SECS_ENQ, 0x0A, 1, 2, 3}));
    LineEnd end;
    ASSERT_TRUE(end.configure("SECSMODE=0\nSDEVICE=" + peer.name()));
    ASSERT_EQ(XKS232COpen(&end.acb), 0);
    EXPECT_EQ(XKSLoad(end.acb.fshut), 0);
    EXPECT_NE(end.acb.ssdt, nullptr);
    uint8_t ch;
    EXPECT_EQ(XKS232CGetc(&end.acb, &ch, 1, -100, 0), -5) << "old input is gone";
    XKS232CClose(&end.acb);
    EXPECT_EQ(end.acb.ssdt, nullptr);
    EXPECT_EQ(XKSLoad(end.acb.fshut), 1);

    LineEnd missing;
    ASSERT_TRUE(missing.configure("SECSMODE=0\nSDEVICE=/dev/no-such-line"));
    EXPECT_EQ(XKS232COpen(&missing.acb), -5);
    EXPECT_EQ(missing.acb.ssdt, nullptr);
    EXPECT_EQ(XKSLoad(missing.acb.fshut), 1);
}

TEST(SecsLineOpenTest, TwoLinesTalkThroughAPtyLink)
{
    PtyLink link;
    ASSERT_TRUE(link.start());
    LineEnd a, b;
    ASSERT_TRUE(a.configure("SECSMODE=0\nSDEVICE=" + link.name_a()));
    ASSERT_TRUE(b.configure("SECSMODE=0\nSDEVICE=" + link.name_b()));
    ASSERT_EQ(XKS232COpen(&a.acb), 0);
    ASSERT_EQ(XKS232COpen(&b.acb), 0);
    std::vector<uint8_t> body(kMax);
    uint8_t header[10];
    auto reading = std::async(std::launch::async, [&] {
        return XKS232CRead(&b.acb, header, body.data(), kMax, __FILE__, __LINE__);
    });
    Header h = engine_header(1, 0x81, 3, 0, 9);
    auto data = pattern(600);
    EXPECT_EQ(XKS232CWrite(&a.acb, h.data(), data.data(), 600, nullptr, __FILE__, __LINE__), 600);
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
        XKSStore(b.acb.fexit, 1);
    ASSERT_EQ(reading.get(), 600);
    EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.begin() + 600), data);
    EXPECT_EQ(header[3], 3);
    EXPECT_EQ(h16(header + 4), 0x8003);
    EXPECT_GT(link.copied_ab(), 600u);
}

TEST_F(LineFixture, PassiveTcpLineAcceptsAndReconnectsOnce)
{
    int port = HsmsFreePort();
    ASSERT_TRUE(end_.configure("SECSMODE=0x2\nPORT=" + std::to_string(port)));
    auto opening = std::async(std::launch::async, [this] { return XKS232COpen(&end_.acb); });
    ASSERT_TRUE(peer_.connect(port, 3000));
    ASSERT_EQ(result(opening), 0);
    read_async();
    ASSERT_TRUE(peer_.send_message(s6f11(), pattern(3), 2000));
    EXPECT_EQ(result(reading_), 3);

    // The peer goes; the next read takes the next connection.
    peer_.close();
    read_async();
    ASSERT_TRUE(peer_.connect(port, 3000));
    ASSERT_TRUE(peer_.send_message(s6f11(), pattern(8), 2000));
    EXPECT_EQ(result(reading_), 8);
    EXPECT_EQ(EngineRun::count(end_.log(), "ACCEPT"), 2);
}

TEST_F(LineFixture, TcpOpenFailsOnlyWithoutASocket)
{
    // Active with nobody listening: open, and the first read connects.
    int port = HsmsFreePort();
    ASSERT_TRUE(end_.configure("SECSMODE=0x42\nHOST=127.0.0.1\nPORT=" + std::to_string(port)));
    EXPECT_EQ(XKS232COpen(&end_.acb), 0);
    EXPECT_NE(end_.acb.ssdt, nullptr);
    EXPECT_NE(end_.log().find("CONNECT"), std::string::npos);
    XKS232CClose(&end_.acb);

    // Passive on a port another socket listens on: the open fails.
    SecsLinePeer other;
    int busy = other.listen();
    LineEnd end;
    ASSERT_TRUE(end.configure("SECSMODE=0x2\nPORT=" + std::to_string(busy)));
    EXPECT_LT(XKS232COpen(&end.acb), 0);
    EXPECT_EQ(end.acb.ssdt, nullptr);
    EXPECT_EQ(XKSLoad(end.acb.fshut), 1);
}

// About 10 s: a lost active connection is made again, but no sooner than
// 10 s after the previous attempt.
TEST_F(LineFixture, ActiveTcpLineReconnectsTenSecondsAfterTheLastAttempt)
{
    auto t0 = Clock::now();
    open(Line::Tcp);
    peer_.close();
    read_async();
    ASSERT_TRUE(peer_.accept(13000));
    EXPECT_GE(ms_since(t0), 9800);
    ASSERT_TRUE(peer_.send_message(s6f11(), pattern(8), 2000));
    EXPECT_EQ(result(reading_), 8);
    EXPECT_EQ(EngineRun::count(end_.log(), "CONNECT"), 2);
}
