#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWStr.h"
#include "tests/support/CommPair.h"

namespace {

TEST(BridgeNumberTest, HexadecimalByPrefixOrLetterOtherwiseDecimal)
{
    struct {
        const char* text;
        int32_t value;
    } cases[] = {{"0xA8", 0xA8}, {"A8", 0xA8}, {"a8", 0xA8}, {"x1f", 0x1F}, {"X10", 16},  {"168", 168},
                 {"0010", 10},   {"-12", -12}, {"+7", 7},    {"  42", 42},  {"12ms", 12}, {"DM", 0x0D},
                 {"12mA", 0x12}, {"", 0},      {"ms", 0},    {"0x", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(QZVQNumber(c.text), c.value) << c.text;
}

// A bridge section read from a file in a temporary directory, with the
// dump taken from the session's send queue as comment records.
class BridgeConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx_ = QZVQGetContext();
        QZVQResetContext(ctx_);
        ctx_->output = &BridgeConfigTest::collect;
        lines().clear();
        ini_.write("[XKS]\nDEVID=1\nSECSMODE=0x1\n", "QUEMODE=0x30\n");
        ASSERT_GT(session_.open(XKS_OPEN_ENGINE_EXTERN, ini_.path, "XKS", false), 0);
        ASSERT_EQ(engine_.attach(session_.acb()), 0);
        ctx_->session[1] = session_.handle;
        plc_ini_ = ini_.dir.path() + "/qzvq.ini";
    }
    void TearDown() override { QZVQResetContext(ctx_); }

    static std::vector<std::string>& lines()
    {
        static std::vector<std::string> all;
        return all;
    }
    static void collect(int32_t, const char* line) { lines().push_back(line); }

    int32_t read(const std::string& text, const char* section = "PLC")
    {
        std::ofstream(plc_ini_) << text;
        XKWStrCopy(ctx_->plcini, plc_ini_.c_str(), sizeof ctx_->plcini);
        XKWStrCopy(ctx_->plcsect, section, sizeof ctx_->plcsect);
        return QZVQAnalizeConfigure(ctx_);
    }
    // The texts of the comment records waiting on the send queue.
    std::vector<std::string> dump()
    {
        std::vector<std::string> out;
        while (auto rec = engine_.take(out.empty() ? 1000 : 100))
            if (rec->body.size() > 32)
                out.emplace_back(reinterpret_cast<const char*>(rec->body.data() + 32));
        return out;
    }

    QZVQContext* ctx_ = nullptr;
    CommIni ini_{"qzvqcfg"};
    CommSession session_;
    CommFakeEngine engine_;
    std::string plc_ini_;
};

TEST_F(BridgeConfigTest, MelsecSectionIsReadAndDumpedLineByLine)
{
    ASSERT_EQ(read("[PLC]\n"
                   "TRCDIR=/var/log/bridge\nTRCTTYPE=0x8\nTRCTOUT=3\nTRCTLEVEL=4\nTRCTATTR=0x10F\n"
                   "TRCTSIZE=100000\nTRCXDATA=4\n"
                   "PLCTYPE=0\nPLCHOST=192.168.3.39\nPLCPORT=5000\nPLCOPT0=1,2f\nPLCMODE=0x0102\n"
                   "PLCINTER=1000\nPLCTO=3000,500\n"
                   "PLCSSDEV0=0xA8,100\nPLCSSDEV1=A8,101\nPLCHSDEV0=0x90,0x10:3,0x11:4\n"
                   "PLCHSDEV1=144,0x20,0x21\nPLCMSDEV0=0xA8,0x200\nPLCMSDEV1=0xA8\n"
                   "PLCPORT=5001\nUNKNOWN=1\n"),
              0);
    const QZVQSettings& c = ctx_->cfg;
    EXPECT_STREQ(c.trcdir, "/var/log/bridge");
    EXPECT_EQ(c.plcport, 5001);  // the later entry wins
    EXPECT_EQ(c.plcinter[0], 1000);
    EXPECT_EQ(c.plcinter[1], 0);  // a missing second value is 0
    EXPECT_EQ(c.ssdev[0].code.number, c.ssdev[1].code.number);
    EXPECT_EQ(c.ssdev[0].address[0], 100);
    EXPECT_EQ(c.hsdev[0].code.number, 0x90);
    EXPECT_EQ(c.hsdev[0].bit[0], 3);
    EXPECT_EQ(c.hsdev[0].bit[1], 4);
    EXPECT_EQ(c.hsdev[1].code.number, 0x90);  // 144 decimal
    EXPECT_EQ(c.msdev[1].address[0], 0);      // no comma: the code only

    std::vector<std::string> want = {plc_ini_ + " [PLC]",
                                     "TRCDIR      = \"/var/log/bridge\"",
                                     "TRCTTYPE    =  0x0008",
                                     "TRCTOUT     =  0x0003",
                                     "TRCTLEVEL   =       4",
                                     "TRCTATTR    =  0x010f",
                                     "TRCTSIZE    =  100000",
                                     "TRCTXDATA   =       4",
                                     "PLCTYPE     =       0",
                                     "PLCHOST     = \"192.168.3.39\"",
                                     "PLCPORT     =    5001",
                                     "PLCOPT0     = \"0x0001,002f\"",
                                     "PLCMODE     =  0x0102",
                                     "PLCINTER    = \"  1000,     0\"",
                                     "PLCTO       = \"  3000,   500\"",
                                     "PLCSSDEV0   = \"0xa8,0x0064\"",
                                     "PLCSSDEV1   = \"0xa8,0x0065\"",
                                     "PLCHSDEV0   = \"0x90,0x0010,0x0011\"",
                                     "PLCHSDEV1   = \"0x90,0x0020,0x0021\"",
                                     "PLCMSDEV0   = \"0xa8,0x0200\"",
                                     "PLCMSDEV1   = \"0xa8,0x0000\"",
                                     "PLCQUEUE    =      32",  // the defaults
                                     "PLCHSTO     =   30000",
                                     "PLCNOREPLY  =       0"};
    EXPECT_EQ(dump(), want);
}

TEST_F(BridgeConfigTest, OmronDevicesCarryBitsAndOtherTypesShowNoDevices)
{
    ASSERT_EQ(read("[PLC]\nPLCTYPE=2\nPLCSSDEV0=0x82,10:5\nPLCHSDEV1=0x82,0x20:1,0x21:15\nPLCMSDEV0=0x82,0x100:3\n"),
              0);
    EXPECT_EQ(ctx_->cfg.msdev[0].address[0], 0x100);  // the message block address is a plain number
    std::vector<std::string> lines = dump();
    ASSERT_EQ(lines.size(), 24u);
    EXPECT_EQ(lines[15], "PLCSSDEV0   = \"0x82,0x000a: 5\"");
    EXPECT_EQ(lines[18], "PLCHSDEV1   = \"0x82,0x0020: 1,0x0021:15\"");
    EXPECT_EQ(lines[19], "PLCMSDEV0   = \"0x82,0x0100\"");

    ASSERT_EQ(read("[PLC]\nPLCTYPE=7\n"), 0);
    EXPECT_EQ(dump().size(), 18u);  // a type without a driver has no device lines
}

TEST_F(BridgeConfigTest, KeyenceCodesAreTextOnlyAfterThePlcType)
{
    ASSERT_EQ(read("[PLC]\nPLCSSDEV0=DM,100\nPLCTYPE=4\nPLCSSDEV1=DM,100\nPLCHSDEV0=MR,0x10,0x11\n"), 0);
    EXPECT_EQ(ctx_->cfg.ssdev[0].code.number, 0x0D);  // read as a number: D, then M stops it
    EXPECT_STREQ(ctx_->cfg.ssdev[0].code.text, "");
    EXPECT_STREQ(ctx_->cfg.ssdev[1].code.text, "DM");
    EXPECT_EQ(ctx_->cfg.ssdev[1].code.number, 0);
    std::vector<std::string> lines = dump();
    ASSERT_EQ(lines.size(), 24u);
    EXPECT_EQ(lines[16], "PLCSSDEV1   = \"DM,0x0064\"");
    EXPECT_EQ(lines[17], "PLCHSDEV0   = \"MR,0x0010,0x0011\"");
    EXPECT_EQ(lines[19], "PLCMSDEV0   = \"  ,0x0000\"");
}

TEST_F(BridgeConfigTest, MissingSectionTakesDefaultsAndMissingFileFails)
{
    ASSERT_EQ(read("[DEFAULT]\nPLCPORT=6000\n[OTHER]\nPLCTYPE=2\nPLCHOST=x\n", "PLC"), 0);
    EXPECT_EQ(ctx_->cfg.plctype, 0);
    EXPECT_EQ(ctx_->cfg.plcport, 6000);
    EXPECT_STREQ(ctx_->cfg.plchost, "");
    EXPECT_EQ(ctx_->cfg.plcinter[0], 0);
    EXPECT_EQ(dump().size(), 24u);

    XKWStrCopy(ctx_->plcini, (ini_.dir.path() + "/none.ini").c_str(), sizeof ctx_->plcini);
    lines().clear();
    EXPECT_EQ(QZVQAnalizeConfigure(ctx_), -12);
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_NE(lines()[0].find("PLC Configureration file [" + ini_.dir.path() + "/none.ini .. PLC] open error (-2)"),
              std::string::npos)
        << lines()[0];
    EXPECT_TRUE(dump().empty());
}

}  // namespace

namespace {

// The shipped bridge configuration with its definitions: every PLC area
// (status and handshake words, the two information blocks, each item's
// read and write area) is a D register range of its own, except that one
// item may appear in several messages at the same place.
TEST_F(BridgeConfigTest, ShippedExampleKeepsEveryPlcAreaApart)
{
    std::ifstream in(XKS_SOURCE_DIR "/examples/qzvq.ini");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(read(text), 0);
    const QZVQSettings& c = ctx_->cfg;
    EXPECT_EQ(c.plctype, QZVQ_PLC_MELSEC);
    EXPECT_EQ(c.plcinter[1], 100);
    EXPECT_EQ(dump().size(), 24u);

    XKWStrCopy(ctx_->lib.mdmssg, XKS_SOURCE_DIR "/examples/equipment.sml", sizeof ctx_->lib.mdmssg);
    ctx_->lib.xmsgsize = 65536;
    ASSERT_EQ(QZVQAnalizeMssgDef(ctx_), 0);
    for (const char* name : {"S1F2", "S2F13", "S2F41", "S5F1", "S6F11", "S10F3"})
        EXPECT_NE(QZVQFindMssg(ctx_, name), nullptr) << name;

    struct Area {
        std::string owner;
        int32_t code, from, words;
    };
    std::vector<Area> areas;
    auto word = [&](const char* owner, const QZVQDevice& d, int i) {
        areas.push_back({owner, d.code.number, d.address[i], 1});
    };
    word("PLCSSDEV0", c.ssdev[0], 0);
    word("PLCSSDEV1", c.ssdev[1], 0);
    for (int i = 0; i < 2; ++i) {
        word("PLCHSDEV0", c.hsdev[0], i);
        word("PLCHSDEV1", c.hsdev[1], i);
    }
    areas.push_back({"PLCMSDEV0", c.msdev[0].code.number, c.msdev[0].address[0], QZVQ_INFORM_WORDS});
    areas.push_back({"PLCMSDEV1", c.msdev[1].code.number, c.msdev[1].address[0], QZVQ_INFORM_WORDS});
    for (int32_t i = 0; i < ctx_->nitem; ++i) {
        const PLCItemEntry& it = ctx_->item[i];
        for (int32_t at : {it.raddr, it.waddr})
            if (at != 0) {
                EXPECT_GT(it.words, 0) << it.name;
                areas.push_back({it.name, it.rcode.number, at, it.words});
            }
    }
    for (size_t a = 0; a < areas.size(); ++a)
        for (size_t b = a + 1; b < areas.size(); ++b) {
            const Area &x = areas[a], &y = areas[b];
            bool same = x.owner == y.owner && x.from == y.from && x.words == y.words;
            bool apart = x.code != y.code || x.from + x.words <= y.from || y.from + y.words <= x.from;
            EXPECT_TRUE(same || apart) << x.owner << " at " << x.from << " and " << y.owner << " at " << y.from;
        }
}

}  // namespace
