#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWTrace.h"
#include "secs/xks.h"
#include "tests/support/TempDir.h"

namespace {

struct Shown {
    int32_t flags;
    std::string line;
};
std::vector<Shown> shown;

void collect(int32_t flags, const char* line)
{
    shown.push_back({flags, line});
}

// The line with its time field ("hhmmss.mmm" after the first two
// characters) replaced by "T"; lines without one stay as they are.
std::string untimed(const std::string& line)
{
    static const std::regex time("^(..)\\d{6}\\.\\d{3}(:[\\s\\S]*)$");
    std::smatch m;
    return std::regex_match(line, m, time) ? m[1].str() + "T" + m[2].str() : line;
}

class BridgeLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QZVQResetContext(ctx_);
        ctx_->output = collect;
        shown.clear();
    }
    void TearDown() override
    {
        if (ctx_->trace != 0)
            XKWTraceCloseId(ctx_->trace);
        if (ctx_->session[1] > 0)
            XKSClose(ctx_->session[1], 0);
        QZVQResetContext(ctx_);
    }
    // The shown lines, time fields replaced, CR LF kept.
    static std::vector<std::string> lines()
    {
        std::vector<std::string> out;
        for (const Shown& s : shown)
            out.push_back(untimed(s.line));
        shown.clear();
        return out;
    }
    // The bridge trace with the tag as the only prefix (":> :text").
    void open_trace()
    {
        XKWTraceSetDefaults(dir_.path().c_str(), 0x2, 0x100, 9, 0);
        ctx_->trace = XKWTraceOpenId(0x5000, "tp0000t.trc", "bridge", 0);
        ASSERT_GT(ctx_->trace, 0);
    }
    std::vector<std::string> trace_lines() const
    {
        std::vector<std::string> out;
        std::ifstream f(dir_ / "tp0000t.trc");
        for (std::string l; std::getline(f, l);)
            out.push_back(l);
        return out;
    }
    // A configuration-only session whose definitions come from an .sml file.
    void open_session(const std::string& sml)
    {
        std::ofstream(dir_ / "defs.sml") << sml;
        std::ofstream(dir_ / "xks.ini") << "[XKS]\nMDMSSG=" << (dir_ / "defs.sml") << "\n";
        ctx_->session[1] = XKSOpen(0x8000, (dir_ / "xks.ini").c_str(), "XKS", nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr);
        ASSERT_GT(ctx_->session[1], 0);
    }

    QZVQContext* ctx_ = QZVQGetContext();
    TempDir dir_{"qzvqlog"};
};

// ---- log lines and output ----

TEST_F(BridgeLogTest, LinesCarryDirectionTimeAndOneCrLfWithinBounds)
{
    QZVQ_LOG(QZVQ_DIR_CONTROL | QZVQ_LOG_FORMAT | QZVQ_LOG_SECS | QZVQ_LOG_LATER, 1, "PLC [%s:%d]", "h", 5000);
    QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "100% as is");  // no format flag: taken as it is
    QZVQ_LOG(QZVQ_DIR_READ, 1, "");
    QZVQOutput(0x80C1, "%d-%s", 7, "x");
    QZVQOutput(0x1000, "ready\n");
    QZVQOutput(0, std::string(6000, 'a').c_str());
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_TRUE(std::regex_match(shown[0].line, std::regex("@ \\d{6}\\.\\d{3}:PLC \\[h:5000\\]\r\n")));
    EXPECT_EQ(shown[0].flags, 0xC0);  // direction bits are not passed on
    EXPECT_EQ(untimed(shown[1].line), "  T:100% as is\r\n");
    EXPECT_EQ(shown[2].line, "\r\n");
    EXPECT_EQ(shown[3].line, "7-x\r\n");
    EXPECT_EQ(shown[3].flags, 0x80C0);
    EXPECT_EQ(shown[4].line, "ready\n");
    EXPECT_EQ(shown[5].line, std::string(4137, 'a') + "\r\n");
}

TEST_F(BridgeLogTest, PlcLevelsAreFilteredOnDisplayButAlwaysTraced)
{
    open_trace();
    QZVQ_LOG(QZVQ_DIR_READ, 3, "detail");
    QZVQ_LOG(QZVQ_DIR_WRITE, 5, "handshake");
    QZVQ_LOG(QZVQ_DIR_CONTROL | QZVQ_LOG_NOTRACE, 5, "control");
    ctx_->display = QZVQ_DISP_HANDSHAKE;
    QZVQ_LOG(QZVQ_DIR_READ, 3, "detail 2");
    QZVQ_LOG(QZVQ_DIR_WRITE, 5, "handshake 2");
    ctx_->display = QZVQ_DISP_DETAIL;
    QZVQ_LOG(QZVQ_DIR_READ, 4, "detail 3");
    QZVQ_LOG(QZVQ_DIR_WRITE, 5, "handshake 3");

    EXPECT_EQ(lines(), (std::vector<std::string>{"@ T:control\r\n", "< T:handshake 2\r\n", "> T:detail 3\r\n"}));
    EXPECT_EQ(trace_lines(), (std::vector<std::string>{":> :detail", ":< :handshake", ":> :detail 2",
                                                       ":< :handshake 2", ":> :detail 3", ":< :handshake 3"}));
}

// ---- SECS message lines ----

TEST_F(BridgeLogTest, ReceivedMessageLineNamesTheMessageFromTheDefinitions)
{
    open_session("S1F1_AYT H E W\nS1F2 H E\n<L[0]\n");
    const uint8_t header[10] = {0, 0, 0x81, 1, 0, 0, 0, 0, 1, 0};  // host order: xid halves 0, 1
    DispSECSInfo(0x81, 0, 0x8101, 1, header, nullptr, 0);
    // Not known to the definitions: the stream and function; from 10000
    // bytes on the wide length form.
    std::vector<uint8_t> body(12345);
    body[0] = 0x22;  // B with two length bytes: 12342 data bytes
    body[1] = 12342 >> 8;
    body[2] = 12342 & 0xFF;
    DispSECSInfo(2, 1, 0x060B, 0x00020003, nullptr, body.data(), int32_t(body.size()));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].flags, 0x80);
    EXPECT_EQ(shown[1].flags, 0);
    EXPECT_EQ(lines(),
              (std::vector<std::string>{"> T: RECEIVE : LEN:   0 DEV:0x0000 W S1F1     XID:0x0000.0001 : S1F1_AYT\r\n",
                                        "< T: SEND    : L: 12345 DEV:0x0001   S6F11    XID:0x0002.0003 : S6F11\r\n"}));
}

TEST_F(BridgeLogTest, StatusAndErrorLines)
{
    open_session("S1F1 H E W\n");
    int32_t xerr = -1;
    int32_t xeps = -1;
    ASSERT_EQ(XKSGetErrorInfo(ctx_->session[1], &xerr, &xeps), 0);
    std::string info = "." + std::to_string(xerr) + "." + std::to_string(xeps) + "]";
    DispSECSInfo(0x81, 1, 0, 0, nullptr, nullptr, -983);
    DispSECSInfo(0x81, 1, 0, 0, nullptr, nullptr, -951);  // "No data" keeps its kind
    DispSECSInfo(0x83, 0x10001, 0, 0, nullptr, nullptr, -999);
    DispSECSInfo(0x81, 2, 0x0703, 0x1234, nullptr, nullptr, -997);
    // Error records: the body pointer is never read.
    const uint8_t* stale = reinterpret_cast<const uint8_t*>(8);
    DispSECSInfo(0x82, 1, 0x8103, 5, nullptr, stale, -138);
    DispSECSInfo(0x82, 1, 0x8103, 5, nullptr, stale, -28);
    DispSECSInfo(0x82, 1, 0x8103, 5, nullptr, stale, -5);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "@ T: CONTROL : STATUS: 983 : T3 Timeout occur\r\n",
                           "> T: RECEIVE : STATUS: 951 : No data\r\n",
                           "@ T: CONTROL : STATUS: 999 : Separated\r\n",
                           "@ T: CONTROL : STATUS: 997 : Rejected (3) XId=0x00001234\r\n",
                           "< T: SEND    : ERROR  [-138" + info + " : Sending time out\r\n",
                           "                        LEN:   0 DEV:0x0001 W S1F3     XID:0x0000.0005 : S1F3\r\n",
                           "< T: SEND    : ERROR  [-28" + info + " : No space on queue\r\n",
                           "< T: SEND    : ERROR  [-5" + info + "\r\n",
                       }));
}

TEST_F(BridgeLogTest, ListFormClosesListsInAngleStyleOnly)
{
    open_session("S1F1 H E W\n");
    // <L[2] <A[2] "AB"> <L[0]>>, then an item after the list.
    const uint8_t body[] = {0x01, 0x02, 0x41, 0x02, 'A', 'B', 0x01, 0x00, 0xA9, 0x02, 0x00, 0x07};
    ctx_->display = QZVQ_DISP_LIST;
    ctx_->lib.trcttype = 0x20;
    DispSECSInfo(0x81, 0, 0x0101, 1, nullptr, body, int32_t(sizeof body));
    std::vector<std::string> got = lines();
    EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.end()),
              (std::vector<std::string>{"  <L[2]\r\n", "    <A[2] \"AB\">\r\n", "    <L[0]\r\n", "    >\r\n",
                                        "  >\r\n", "  <U2[1] 7>\r\n"}));
    DispSECSMssg(0x1000, body, int32_t(sizeof body), nullptr);  // bracket style: no closing lines
    EXPECT_EQ(lines(), (std::vector<std::string>{"  L[2]\r\n", "    A[2]=\"AB\"\r\n", "    L[0]\r\n", "  U2[1]=7\r\n"}));

    const uint8_t broken[] = {0x01, 0x02, 0x41, 0x05, 'A'};  // A[5] with one byte left
    DispSECSMssg(0x1020, broken, int32_t(sizeof broken), nullptr);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "  <L[2]\r\n",
                           "  MESSAGE STRUCTURE ERROR (-7) [Item size exceed total message size]  form=020 #item=5\r\n",
                           "  >\r\n"}));
}

TEST_F(BridgeLogTest, HexFormShowsHeaderMostSignificantFirstAndAlignedData)
{
    const uint8_t header[10] = {0x02, 0x01, 0x81, 0x03, 0, 0, 0x01, 0x00, 0x02, 0x00};  // dev 0x0102, xid 1.2
    uint8_t body[18] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 0, 0x7F};
    DispSECSHexa(1, header, body, 18);
    EXPECT_EQ(shown[0].flags, 0x80);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "  Head:  01 02 81 03  00 00 00 01   00 02\r\n",
                           "     0:  41 42 43 44  45 46 47 48   49 4a 4b 4c  4d 4e 4f 50:ABCDEFGH IJKLMNOP\r\n",
                           "    16:  00 7f" + std::string(46, ' ') + ":..\r\n",
                       }));
    ctx_->lib.trcttype = 0x08;  // 20 bytes a line, ":" in column 72
    std::memset(body, 'x', sizeof body);
    DispSECSHexa(0, nullptr, body, 18);
    EXPECT_EQ(lines(), (std::vector<std::string>{"     0:  78 78 78 78 78  78 78 78 78 78   78 78 78 78 78  78 78 78" +
                                                 std::string(6, ' ') + ":xxxxxxxxxx xxxxxxxx\r\n"}));
}

// ---- PLC access lines ----

class PlcDispTest : public BridgeLogTest {
protected:
    void SetUp() override
    {
        BridgeLogTest::SetUp();
        ctx_->cfg.ssdev[0] = QZVQDevice{{0xA8, ""}, {0x10, 0}, {0, 0}};
        ctx_->cfg.hsdev[1] = QZVQDevice{{0x9C, ""}, {0x20, 0x21}, {0, 3}};
        ctx_->display = QZVQ_DISP_DETAIL | QZVQ_DISP_HANDSHAKE;
        open_trace();
    }
    static void access(int32_t kind, const char* name, QZVQCode code, int32_t address, int32_t bit, int32_t result,
                       uint16_t value, int32_t plctype = 0, int32_t direction = 1)
    {
        PLCDispData(kind, name, code, address, bit, 1, result, &value, plctype, direction);
    }
};

TEST_F(PlcDispTest, RepeatedStatusValuesAreShownOnce)
{
    for (uint16_t v : {0, 0, 1})  // the first access of a device is always shown
        access(QZVQ_KIND_STATUS, "PLC  Status", {0xA8, ""}, 0x10, 0, 2, v);
    access(QZVQ_KIND_STATUS, "PLC  Status", {0xA8, ""}, 0x10, 0, -138, 1);  // shown, and the next value again
    access(QZVQ_KIND_STATUS, "PLC  Status", {0xA8, ""}, 0x10, 0, 2, 1);
    std::string zero = "> T: [0xA8.0x0010](  2) > Get PLC  Status [  0]     0     0 \r\n";
    std::string one = "> T: [0xA8.0x0010](  2) > Get PLC  Status [  0]     1     0 \r\n";
    EXPECT_EQ(lines(), (std::vector<std::string>{zero, one, "> T: [0xA8.0x0010](-138) > Get PLC  Status\r\n", one}));
    EXPECT_EQ(trace_lines().size(), 4u);

    // Keyence codes compare as text: "EM" is not the remembered "DM".
    ctx_->cfg.ssdev[0].code = QZVQCode{0, "DM"};
    for (const char* type : {"DM", "DM", "EM"})
        access(QZVQ_KIND_STATUS, "PLC  Status", {0, {type[0], type[1], 0, 0}}, 0x10, 0, 2, 2, QZVQ_PLC_KEYENCE);
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "> T: [DM  .0x0010](  2) > Get PLC  Status [  0]     2     0 \r\n");
    EXPECT_EQ(got[1].substr(0, 18), "> T: [EM  .0x0010]");
}

TEST_F(PlcDispTest, RedundantDisplayShowsRepeatsWithoutTracingThem)
{
    ctx_->display = QZVQ_DISP_HANDSHAKE | QZVQ_DISP_REDUNDANT;
    for (int i = 0; i < 3; ++i)
        access(QZVQ_KIND_HANDSHAKE, "SECS PC Req", {0x9C, ""}, 0x21, 3, 2, 0x0101, 0, 2);
    // The same device with the read address and bit is another remembered one.
    access(QZVQ_KIND_HANDSHAKE, "SECS PLCAck", {0x9C, ""}, 0x20, 0, 2, 0x0101);
    std::string set = " [0x9C.0x0021](  2) < Set SECS PC Req [  0]     1     1 ";
    std::string get = " [0x9C.0x0020](  2) > Get SECS PLCAck [  0]     1     1 ";
    EXPECT_EQ(lines(), (std::vector<std::string>{"< T:" + set + "\r\n", "< T:" + set + "\r\n", "< T:" + set + "\r\n",
                                                 "> T:" + get + "\r\n"}));
    EXPECT_EQ(trace_lines(), (std::vector<std::string>{":< :" + set, ":> :" + get}));
}

TEST_F(PlcDispTest, BlockDumpHonoursTheDataLimitAndIsTracedWhenHidden)
{
    ctx_->cfg.trcxdata = 4;
    uint16_t block[20];
    for (int i = 0; i < 20; ++i)
        block[i] = uint16_t(0x0100 + i);
    PLCDispData(QZVQ_KIND_INFORM, "PLC  Inform", QZVQCode{0xA8, ""}, 0x100, 0, 20, 40, block, 0, 1);
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);  // offsets 0 and 32; 16 is past 4 words
    std::string first = "> T: [0xA8.0x0100]( 40) > Get PLC  Inform         [  0]  0100  0101  0102";
    std::string last = "> T:" + std::string(38, ' ') + "        [ 16]  0110  0111";
    EXPECT_EQ(got[0].substr(0, first.size()), first);
    EXPECT_EQ(got[1].substr(0, last.size()), last);

    // Omron lines carry the bit and indent their dump by 41; without PLC
    // detail they only reach the trace.
    ctx_->cfg.trcxdata = 0;
    ctx_->display = 0;
    PLCDispData(QZVQ_KIND_ITEM, "LOTID", QZVQCode{0x82, ""}, 0x200, 0, 9, 18, block, QZVQ_PLC_OMRON, 2);
    EXPECT_TRUE(shown.empty());
    std::vector<std::string> trace = trace_lines();
    ASSERT_EQ(trace.size(), 4u);
    first = ":< : [0x82.0x0200:00]( 18) < Set LOTID               [  0]  0100";
    last = ":< :" + std::string(41, ' ') + "        [  8]  0108";
    EXPECT_EQ(trace[2].substr(0, first.size()), first);
    EXPECT_EQ(trace[3].substr(0, last.size()), last);
}

}  // namespace
