// The PLC message table read from definition files in both syntaxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWStr.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> lines;

void collect(int32_t, const char* line)
{
    lines.emplace_back(line);
}

class MssgDefTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QZVQResetContext(ctx);
        ctx->output = collect;
        lines.clear();
    }
    void TearDown() override { QZVQResetContext(ctx); }

    int32_t load(const std::string& text)
    {
        std::ofstream(dir / "md.sml") << text;
        return load_file(dir / "md.sml");
    }
    int32_t load_file(const std::string& path)
    {
        XKWStrCopy(ctx->lib.mdmssg, path.c_str(), sizeof ctx->lib.mdmssg);
        return QZVQAnalizeMssgDef(ctx);
    }
    bool logged(const std::string& text) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.find(text) != l.npos; });
    }
    // A message's items as "name code raddr waddr words".
    std::vector<std::string> items(const char* name) const
    {
        const PLCMssgEntry* m = QZVQFindMssg(ctx, name);
        if (m == nullptr)
            return {"none"};
        std::vector<std::string> out;
        for (int32_t i = m->first; i < m->first + m->count; ++i) {
            const PLCItemEntry& e = ctx->item[i];
            EXPECT_TRUE(e.wcode.number == e.rcode.number && std::string(e.wcode.text) == e.rcode.text);
            std::string code = e.rcode.text[0] != '\0' ? e.rcode.text : std::to_string(e.rcode.number);
            out.push_back(std::string(e.name) + " " + code + " " + std::to_string(e.raddr) + " " +
                          std::to_string(e.waddr) + " " + std::to_string(e.words));
        }
        return out;
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (int32_t i = 0; i < ctx->nmssg; ++i)
            out.emplace_back(ctx->mssg[i].name);
        return out;
    }

    QZVQContext* ctx = QZVQGetContext();
    TempDir dir{"mssgdef"};
};

using Names = std::vector<std::string>;

TEST_F(MssgDefTest, SmlFileGivesMessagesWithTheirPlcItemsInFileOrder)
{
    const char* text =
        "<A[2]EARLY // 1,2,3,4\n"
        "S1F1 H E W\nS1F2 E\n<L[2]\n"
        "  <A[0..20]MDLN WHC-01            // 0xA8,0x1000,0,10\n"
        "  <A[0..20]SOFTREV 1.0.3\n"
        "  <A[4 BROKEN // 1,2,3,4\n>\n"
        "S2F41 H W\r\n<L[2]\r\n"
        "\t<A[1..20]RCMD START\t// 0xA8 0 0x2000 10\r\n"
        "\t<l[N]CPLIST\n"
        "\t< U4 [1]  CEID   100 >  // x10, 0x30, , 2\n"
        "\t<A[1]ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n>\n";
    ASSERT_EQ(load(text), 0);
    EXPECT_EQ(names(), (Names{"S1F1", "S1F2", "S2F41"}));
    EXPECT_EQ(items("S1F1"), Names{});
    EXPECT_EQ(items("S1F2"), (Names{"MDLN 168 4096 0 10", "SOFTREV 0 0 0 0"}));
    EXPECT_EQ(items("S2F41"), (Names{"RCMD 168 0 8192 10", "CPLIST 0 0 0 0", "CEID 16 48 0 2",
                                     "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234 0 0 0 0"}));
    EXPECT_EQ(QZVQFindMssg(ctx, "s1f2"), nullptr);
    // A second read rebuilds the tables instead of adding to them.
    ASSERT_EQ(QZVQAnalizeMssgDef(nullptr), 0);
    EXPECT_EQ(ctx->nmssg, 3);
    EXPECT_EQ(ctx->nitem, 6);
}

TEST_F(MssgDefTest, ShippedDefinitionFilesGiveTheirPlcAreas)
{
    ASSERT_EQ(load_file(XKS_SOURCE_DIR "/examples/equipment.sml"), 0);
    EXPECT_EQ(items("S1F2"), (Names{"MDLN 168 4096 0 10", "SOFTREV 168 4106 0 10"}));
    EXPECT_EQ(items("S2F41"), (Names{"RCMD 168 0 8240 10", "CPNAME 168 0 8256 10", "CPVAL 168 0 8272 20"}));
    EXPECT_EQ(items("S10F4"), (Names{"ACKC10 168 5632 0 1"}));
    Names sml = names();
    EXPECT_EQ(sml.size(), 21u);

    // The same messages; the item definitions that begin with S are no
    // message lines.
    ASSERT_EQ(load_file(XKS_SOURCE_DIR "/examples/equipment.csv"), 0);
    EXPECT_EQ(names(), sml);
    EXPECT_EQ(items("S10F4"), Names{});
}

TEST_F(MssgDefTest, MessageLinesCheckStreamAndFunctionAndKeepDuplicates)
{
    const char* text =
        "S1F1 W\n<A[2]A1 // 1,1,1,1\ns1f1\n<A[2]A2 // 2,2,2,2\n"
        "S0F1\n<A[2]A3 // 3,3,3,3\nS128F1\nS1F256\nSX1F1\n"
        "S1F1 FOO\nS2 F3 H\n\"s3F4\" E\nS127F255\n";
    ASSERT_EQ(load(text), 0);
    EXPECT_EQ(names(), (Names{"S1F1", "S1F1", "S1F1FOO", "S2F3", "S3F4", "S127F255"}));
    EXPECT_EQ(QZVQFindMssg(ctx, "S1F1"), &ctx->mssg[0]);
    EXPECT_EQ(items("S1F1"), (Names{"A1 1 1 1 1"}));
    EXPECT_EQ(ctx->mssg[1].first, 1);
    EXPECT_EQ(ctx->mssg[1].count, 2);
    EXPECT_STREQ(ctx->item[2].name, "A3");
}

TEST_F(MssgDefTest, LinesAreReadAsTheLibraryReadsThem)
{
    std::string text =
        "S1F1\n/* S9F9\n<A[2]HIDDEN // 1,2,3,4\n*/ <A[2]AFTER // 0xA8,1,2,3\n"
        "<A[20]URL \"http://host/x\" // 0xA8,5,6,7\n"
        "<A[20]Q \"a\\\"//b\" /* c */ // 0xA8,8,9,10\n"
        "S2F2 /* one line */ W\n"
        // An overlong line is cut where the line buffer ends, here just
        // before a message name, and the rest is not read as a line.
        "// " + std::string(1020, 'a') + "S5F5 W\nS6F6\n";
    ASSERT_EQ(load(text), 0);
    EXPECT_EQ(names(), (Names{"S1F1", "S2F2", "S6F6"}));
    EXPECT_EQ(items("S1F1"), (Names{"AFTER 168 1 2 3", "URL 168 5 6 7", "Q 168 8 9 10"}));
}

TEST_F(MssgDefTest, KeyenceDeviceCodesAreText)
{
    ctx->cfg.plctype = QZVQ_PLC_KEYENCE;
    ASSERT_EQ(load("S1F1\n<U2[1]A // DM,100,200,1\n<U2[1]B // EMXX 1 2 3\n"), 0);
    EXPECT_EQ(items("S1F1"), (Names{"A DM 100 200 1", "B EMX 1 2 3"}));
    EXPECT_EQ(ctx->item[0].rcode.number, 0);
}

TEST_F(MssgDefTest, FullTablesStopReadingWithTheirLines)
{
    ctx->lib.mdmxmssg = 2;
    EXPECT_EQ(load("S1F1\nS1F2\nS1F3\n"), -942);
    EXPECT_TRUE(logged("PLC Message table overflow [2]"));
    EXPECT_EQ(ctx->nmssg, 2);

    ctx->lib.mdmxmssg = 0;
    ctx->lib.mdmxmitem = 2;
    EXPECT_EQ(load("S1F1\n<A[1]A\n<A[1]B\n<A[1]C\nS1F2\n"), -943);
    EXPECT_TRUE(logged("PLC Message Item table overflow [2]"));
    EXPECT_EQ(ctx->nmssg, 1);
    EXPECT_EQ(ctx->xmssg, 512);
    ctx->lib.mdmxmitem = -5;
    EXPECT_EQ(load("S1F1\n"), 0);
    EXPECT_EQ(ctx->xitem, 10240);
}

TEST_F(MssgDefTest, FileThatCannotBeReadGivesTheNegatedErrorNumber)
{
    std::string missing = dir / "missing.sml";
    EXPECT_EQ(load_file(missing), -2);
    EXPECT_TRUE(logged("Message definition file [" + missing + "] open error (-2)"));
    // A directory opens but cannot be read.
    EXPECT_EQ(load_file(dir.path()), -21);
    EXPECT_TRUE(logged("Message definition file [" + dir.path() + "] open error (-21)"));
}

TEST_F(MssgDefTest, ItemsBeyondTheTransferBufferAreRefused)
{
    ctx->lib.xmsgsize = 100;
    ASSERT_EQ(load("S1F1\n<A[1]FIT // 1,1,1,50\n<A[1]BIG // 1,1,1,51\n<A[1]NEG // 1,1,1,-1\n"
                   "<A[1]NEXT // 1,1,1,1\n"),
              0);
    EXPECT_EQ(items("S1F1"), (Names{"FIT 1 1 1 50", "NEXT 1 1 1 1"}));
    EXPECT_TRUE(logged("PLC Message item [BIG] of [S1F1] too large (51 words, at most 50)"));
    EXPECT_TRUE(logged("PLC Message item [NEG] of [S1F1] too large (-1 words, at most 50)"));

    ctx->lib.xmsgsize = 0;
    ASSERT_EQ(load("S1F1\n<A[1]HUGE // 1,1,1,100000\n"), 0);
    EXPECT_EQ(ctx->nitem, 1);
}

}  // namespace
