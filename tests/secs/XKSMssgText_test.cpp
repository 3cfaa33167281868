// Text notation of items: the lines of the four notations, list closing,
// parts and the line-length cut, names from the definition cursor, put
// text, and the round trip body -> lines -> body in every notation.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"
#include "secs/XKSMssg.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Line {
    int32_t depth;
    std::string text;
    bool operator==(const Line&) const = default;
};

void PrintTo(const Line& l, std::ostream* os)
{
    *os << l.depth << ":" << l.text;
}

class XKSMssgNotationTest : public ::testing::Test {
protected:
    // the codec is tested without the hooks the definition module installed
    const XKSMssgHooks* saved_hooks = XKSMssgSetHooks(nullptr);

    void TearDown() override
    {
        XKWCodeSet(XKW_CODE_SJIS);
        XKSMssgSetHooks(saved_hooks);
    }

    void build(int32_t capacity = 4096)
    {
        out.assign(static_cast<size_t>(capacity), 0);
        ASSERT_EQ(XKSMssgBuildOpen(blk.get(), 0, out.data(), capacity, 0), 0);
    }
    void put(int32_t format, int32_t count, const void* data, int32_t flags = 0)
    {
        ASSERT_EQ(XKSMssgPutItem(blk.get(), flags, out.data(), format, count, data), 0);
    }
    int32_t put_text(const char* line, int32_t notation)
    {
        return XKSMssgPutText(blk.get(), notation << 4, out.data(), line);
    }
    Bytes built() const { return Bytes(out.begin(), out.begin() + blk->position); }

    // Every line of a body, with the depth each call returned.
    std::vector<Line> lines(const Bytes& body, int32_t flags, int32_t size = 4096)
    {
        std::vector<Line> all;
        Bytes copy = body;
        auto rd = std::make_unique<XKSMssgBlock>();
        EXPECT_EQ(XKSMssgReadOpen(rd.get(), 0, copy.data(), static_cast<int32_t>(copy.size()), 0, nullptr,
                                  nullptr, 0),
                  0);
        std::vector<char> line(static_cast<size_t>(size) + 1, '#');
        for (int i = 0; i < 10000; ++i) {
            int32_t depth = XKSMssgGetText(rd.get(), flags, copy.data(), nullptr, nullptr, line.data(), size);
            EXPECT_EQ(line[static_cast<size_t>(size)], '#') << "line overran its size";
            if (depth == XKS_E_NODATA)
                break;
            all.push_back({depth, line.data()});
            if (depth < 0)
                break;
        }
        XKSMssgReadClose(rd.get());
        return all;
    }

    // The body of the list of A "AB" and U2 1,2.
    Bytes sample()
    {
        build();
        const uint16_t u2[] = {1, 2};
        put(XKS_FMT_L, 2, nullptr);
        put(XKS_FMT_A, 0, "AB");
        put(XKS_FMT_U2, 2, u2);
        return built();
    }

    std::unique_ptr<XKSMssgBlock> blk = std::make_unique<XKSMssgBlock>();
    Bytes out;
};

TEST_F(XKSMssgNotationTest, ListOfTextAndNumbersInEachNotation)
{
    Bytes body = sample();
    EXPECT_EQ(lines(body, XKS_TEXT_BRACKET << 4),
              (std::vector<Line>{{0, "L[2]"}, {1, "  A[2]=\"AB\""}, {1, "  U2[2]=1,2"}}));
    EXPECT_EQ(lines(body, XKS_TEXT_ANGLE << 4),
              (std::vector<Line>{{0, "<L[2]"}, {1, "  <A[2] \"AB\">"}, {1, "  <U2[2] 1,2>"}}));
    EXPECT_EQ(lines(body, XKS_TEXT_COMPACT << 4),
              (std::vector<Line>{{0, "L2"}, {1, "  A \"AB\""}, {1, "  2U 1,2"}}));
    EXPECT_EQ(lines(body, XKS_TEXT_COMMA << 4),
              (std::vector<Line>{{0, "<L,2"}, {1, "  A[2]=\"AB\""}, {1, "  U2[2]=1,2"}}));
    // Unassigned notation numbers print as bracket.
    EXPECT_EQ(lines(body, 7 << 4), lines(body, 0));
}

TEST_F(XKSMssgNotationTest, ValueTextsOfEachFormat)
{
    build();
    const uint8_t b[] = {0x0a, 0xff};
    const uint8_t t[] = {1, 0};
    const int8_t i1[] = {-1};
    const int16_t i2[] = {-300};
    const int64_t i8[] = {-5000000000LL};
    const uint64_t u8[] = {18446744073709551615ULL};
    const double f8[] = {1.5};
    const float f4[] = {-0.25f};
    put(XKS_FMT_B, 2, b);
    put(XKS_FMT_T, 2, t);
    put(XKS_FMT_I1, 1, i1);
    put(XKS_FMT_I2, 1, i2);
    put(XKS_FMT_I8, 1, i8);
    put(XKS_FMT_U8, 1, u8);
    put(XKS_FMT_F8, 1, f8);
    put(XKS_FMT_F4, 1, f4);
    EXPECT_EQ(lines(built(), 0),
              (std::vector<Line>{{0, "B[2]=0x0a,0xff"},
                                 {0, "T[2]=0x01,0x00"},
                                 {0, "I1[1]=-1"},
                                 {0, "I2[1]=-300"},
                                 {0, "I8[1]=-5000000000"},
                                 {0, "U8[1]=18446744073709551615"},
                                 {0, "F8[1]=1.50000000000000000e+00"},
                                 {0, "F4[1]=-2.50000000e-01"}}));
    // Booleans are T and F in the angle and comma notations.
    EXPECT_EQ(lines(built(), XKS_TEXT_ANGLE << 4)[1].text, "<T[2] T,F>");
    EXPECT_EQ(lines(built(), XKS_TEXT_COMPACT << 4)[7].text, "4F -2.50000000e-01");
}

TEST_F(XKSMssgNotationTest, TextDelimiterAvoidsTheQuotesInside)
{
    build();
    put(XKS_FMT_A, 0, "say \"hi\"");
    put(XKS_FMT_A, 0, "it's \"x\"");
    put(XKS_FMT_A, 0, "");
    EXPECT_EQ(lines(built(), 0), (std::vector<Line>{{0, "A[8]='say \"hi\"'"}, {0, "A[8]=it's \"x\""}, {0, "A[0]=\"\""}}));
}

TEST_F(XKSMssgNotationTest, EmptyValuesNeedNoAddress)
{
    char line[32] = "A[0]=";
    EXPECT_EQ(XKSMssgItemValues(XKS_FMT_A, XKS_TEXT_BRACKET, 0, line, sizeof line, 5, nullptr, nullptr), 7);
    EXPECT_STREQ(line, "A[0]=\"\"");
}

TEST_F(XKSMssgNotationTest, FullListsCloseBeforeTheNextItem)
{
    build();
    const uint8_t one = 1;
    put(XKS_FMT_L, 3, nullptr);
    put(XKS_FMT_L, 0, nullptr);       // empty: the next item is its sibling
    put(XKS_FMT_L, 1, nullptr);
    put(XKS_FMT_L, 1, nullptr);
    put(XKS_FMT_U1, 1, &one);          // closes two lists at once
    put(XKS_FMT_B, 1, &one);
    put(XKS_FMT_U1, 1, &one);          // top level again
    EXPECT_EQ(lines(built(), 0), (std::vector<Line>{{0, "L[3]"},
                                                    {1, "  L[0]"},
                                                    {1, "  L[1]"},
                                                    {2, "    L[1]"},
                                                    {3, "      U1[1]=1"},
                                                    {1, "  B[1]=0x01"},
                                                    {0, "U1[1]=1"}}));
}

TEST_F(XKSMssgNotationTest, LongArraysComeInPartsUnderTheLabel)
{
    build();
    std::vector<uint8_t> v(45);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint8_t>(i + 1);
    put(XKS_FMT_U1, 45, v.data());
    std::string text(250, 'x');
    text[100] = 'y';
    put(XKS_FMT_A, 0, text.c_str());

    std::vector<Line> got = lines(built(), XKS_TEXT_ANGLE << 4 | XKS_TEXT_PARTS);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0].text, "<U1[45] 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20");
    EXPECT_EQ(got[1].text, "       ,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40");
    EXPECT_EQ(got[2].text, "       ,41,42,43,44,45>");
    EXPECT_EQ(got[3].text, "<A[250] \"" + std::string(100, 'x') + "\"");
    EXPECT_EQ(got[4].text, "        \"y" + std::string(99, 'x') + "\"");
    EXPECT_EQ(got[5].text, "        \"" + std::string(50, 'x') + "\">");
    for (const Line& l : got)
        EXPECT_EQ(l.depth, 0);
    // Without parts the whole array is one line.
    EXPECT_EQ(lines(built(), 0).size(), 2u);
}

TEST_F(XKSMssgNotationTest, ShortLineBuffersCutValues)
{
    build();
    std::string text(100, 'a');
    put(XKS_FMT_A, 0, text.c_str());
    std::vector<uint32_t> u4(30, 123456789);
    put(XKS_FMT_U4, 30, u4.data());

    std::vector<Line> got = lines(built(), 0, 64);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "A[100]=\"" + std::string(46, 'a') + " ...\"");
    EXPECT_EQ(got[1].text, "U4[30]=123456789,123456789,123456789,123456789,123456789,...");
    // Even a line too short for its label stays inside its buffer.
    for (int32_t size = 1; size < 12; ++size)
        EXPECT_EQ(lines(built(), XKS_TEXT_ANGLE << 4, size).size(), 2u);
}

TEST_F(XKSMssgNotationTest, TwoByteTextLabelsShowTheCharacterSet)
{
    build();
    put(XKS_FMT_K | (XKS_CSET_SJIS << 16), 0, "ABCDE");
    EXPECT_EQ(lines(built(), 0)[0].text, "K[5]=\"ABCDE\"");
    EXPECT_EQ(lines(built(), XKS_MSSG_CONVERT)[0].text, "M8[5]=\"ABCDE\"");
    EXPECT_EQ(lines(built(), XKS_MSSG_CONVERT | XKS_TEXT_ANGLE << 4)[0].text, "<M8[5] \"ABCDE\">");
    EXPECT_EQ(lines(built(), XKS_MSSG_CONVERT | XKS_TEXT_COMPACT << 4)[0].text, "K8 \"ABCDE\"");
    EXPECT_EQ(lines(built(), XKS_MSSG_CONVERT | XKS_TEXT_COMMA << 4)[0].text, "W8[5]=\"ABCDE\"");
}

// A definition cursor that names the items of a message in turn.
int32_t next_name = 0;
int32_t name_lookup(const void*, int32_t, const uint8_t*, int32_t, int32_t, char* name, size_t size)
{
    std::snprintf(name, size, "S1F3");
    next_name = 0;
    return 4;
}
int32_t name_next(const void*, int32_t flags, int32_t definition, char* name, size_t size)
{
    static const char* const names[] = {"SVLIST", "SVID"};
    if (definition != 4 || (flags & 0x3000) != 0x3000 || next_name >= 2)
        return XKW_E_NOMORE;
    std::snprintf(name, size, "%s", names[next_name]);
    return next_name++;
}
const XKSMssgHooks name_hooks = {nullptr, name_lookup, nullptr, name_next};

TEST_F(XKSMssgNotationTest, NamesComeFromTheDefinitionCursor)
{
    Bytes body = sample();
    XKSMssgSetHooks(&name_hooks);
    int session = 0;
    const uint8_t header[10] = {0, 1, 0x81, 3, 0, 0, 0, 0, 0, 1};
    char name[32];
    char line[128];
    for (int32_t notation : {XKS_TEXT_BRACKET, XKS_TEXT_COMPACT, XKS_TEXT_ANGLE, XKS_TEXT_COMMA}) {
        ASSERT_EQ(XKSMssgReadOpen(blk.get(), XKS_MSSG_LOOKUP, body.data(), static_cast<int32_t>(body.size()),
                                  reinterpret_cast<intptr_t>(&session), header, name, sizeof name),
                  0);
        std::vector<std::string> got;
        while (XKSMssgGetText(blk.get(), notation << 4 | XKS_TEXT_NAMES, body.data(), nullptr, nullptr, line,
                              sizeof line) >= 0)
            got.push_back(line);
        XKSMssgReadClose(blk.get());
        const std::vector<std::vector<std::string>> want = {
            {"L[2]SVLIST", "  A[2]SVID=\"AB\"", "  U2[2]=1,2"},
            {"L2,SVLIST", "  A,SVID \"AB\"", "  2U 1,2"},
            {"<L[2]SVLIST", "  <A[2]SVID \"AB\">", "  <U2[2] 1,2>"},
            {"<L,2,SVLIST", "  A[2]SVID=\"AB\"", "  U2[2]=1,2"},
        };
        EXPECT_EQ(got, want[notation == XKS_TEXT_COMMA ? 3 : static_cast<size_t>(notation)]);
    }
}

TEST_F(XKSMssgNotationTest, PutTextAppendsTheItemOfALine)
{
    struct Case {
        int32_t notation;
        const char* line;
        Bytes item;
    };
    const Case cases[] = {
        {XKS_TEXT_BRACKET, "U2[3]=1,2,3", {0xA9, 6, 0, 1, 0, 2, 0, 3}},
        {XKS_TEXT_ANGLE, "  <U2[2] 7,8>", {0xA9, 4, 0, 7, 0, 8}},
        {XKS_TEXT_BRACKET, "B[2]=0x0a,0xff", {0x21, 2, 0x0a, 0xff}},
        {XKS_TEXT_ANGLE, "<T[2] T,F>", {0x25, 2, 1, 0}},
        {XKS_TEXT_BRACKET, "L[4]", {0x01, 4}},
        {XKS_TEXT_COMMA, "<L,4", {0x01, 4}},
        {XKS_TEXT_COMPACT, "L4", {0x01, 4}},
        {XKS_TEXT_BRACKET, "A[0]=", {0x41, 0}},
        {XKS_TEXT_ANGLE, ">", {}},
        {XKS_TEXT_BRACKET, "U1[3]=1,2,...", {0xA5, 2, 1, 2}},
        {XKS_TEXT_COMPACT, "A 'x\"y'\r\n", {0x41, 3, 'x', '"', 'y'}},
        {XKS_TEXT_ANGLE, "<A[3] abc>", {0x41, 3, 'a', 'b', 'c'}},
        {XKS_TEXT_BRACKET, "A[9]=a=b", {0x41, 3, 'a', '=', 'b'}},
        {XKS_TEXT_BRACKET, "M9[2]=\"ab\"", {0x49, 4, 0, 9, 'a', 'b'}},
        {XKS_TEXT_BRACKET, "I1[2]=-1, 127", {0x65, 2, 0xff, 0x7f}},
        {XKS_TEXT_ANGLE, "<F4[1] 1.5>", {0x91, 4, 0x3f, 0xc0, 0, 0}},
    };
    for (const Case& c : cases) {
        build();
        EXPECT_EQ(put_text(c.line, c.notation), 0) << c.line;
        EXPECT_EQ(built(), c.item) << c.line;
    }
}

TEST_F(XKSMssgNotationTest, PutTextRefusesWhatItCannotRead)
{
    build(64);
    EXPECT_EQ(put_text("X[1]=1", XKS_TEXT_BRACKET), XKW_E_INVAL);
    EXPECT_EQ(put_text("U1[1]=z", XKS_TEXT_BRACKET), XKW_E_INVAL);
    EXPECT_EQ(put_text("U1[1]=1,,2", XKS_TEXT_BRACKET), XKW_E_INVAL);
    EXPECT_EQ(put_text("U1[1]", XKS_TEXT_BRACKET), XKW_E_INVAL);
    EXPECT_EQ(put_text("L", XKS_TEXT_BRACKET), XKW_E_INVAL);
    EXPECT_EQ(put_text("U1[1] 1>", XKS_TEXT_ANGLE), XKW_E_INVAL);  // no "<"
    EXPECT_EQ(blk->xerr, XKW_E_INVAL);
    // More values than the scratch area holds are refused, not cut.
    std::string many = "U1[1]=";
    for (int i = 0; i <= XKS_MSSG_SCRATCH; ++i)
        many += "1,";
    EXPECT_EQ(put_text(many.c_str(), XKS_TEXT_BRACKET), XKW_E_FULL);
    // An item too big for the body is not written at all.
    EXPECT_EQ(put_text(("A[70]=" + std::string(70, 'a')).c_str(), XKS_TEXT_BRACKET), XKW_E_FULL);
    EXPECT_EQ(blk->position, 0);
}

// Every format, nested and empty lists, printed in each notation and put
// back line by line, gives the same bytes.
TEST_F(XKSMssgNotationTest, PrintedLinesPutBackGiveTheSameBody)
{
    build(8192);
    const uint8_t b[] = {0, 0x7f, 0x80, 0xff};
    const uint8_t t[] = {0, 1, 1};
    const int8_t i1[] = {-128, 0, 127};
    const int16_t i2[] = {-32768, 32767};
    const int32_t i4[] = {INT32_MIN, -1, INT32_MAX};
    const int64_t i8[] = {INT64_MIN, INT64_MAX};
    const uint8_t u1[] = {0, 255};
    const uint16_t u2[] = {0, 65535};
    const uint32_t u4[] = {0, 4294967295u};
    const uint64_t u8[] = {0, UINT64_MAX};
    const double f8[] = {0.1, -1e300, 5e-324, 3.141592653589793};
    const float f4[] = {0.1f, -3.4e38f, 1e-45f};
    std::vector<uint16_t> long_u2(70);
    for (size_t i = 0; i < long_u2.size(); ++i)
        long_u2[i] = static_cast<uint16_t>(i * 937);
    put(XKS_FMT_L, 5, nullptr);
    put(XKS_FMT_L, 0, nullptr);
    put(XKS_FMT_L, 3, nullptr);
    put(XKS_FMT_A, 0, "hello world");
    put(XKS_FMT_A, 0, "");
    put(XKS_FMT_L, 2, nullptr);
    put(XKS_FMT_J, 0, "JIS8");
    put(XKS_FMT_B, 4, b);
    put(XKS_FMT_T, 3, t);
    put(XKS_FMT_K | (XKS_CSET_SJIS << 16), 0, "\x93\xfa\x96\x7b KANJI");
    put(XKS_FMT_K | (5 << 16), 0, "set 5");
    put(XKS_FMT_L, 0, nullptr);
    put(XKS_FMT_I1, 3, i1);
    put(XKS_FMT_I2, 2, i2);
    put(XKS_FMT_I4, 3, i4);
    put(XKS_FMT_I8, 2, i8);
    put(XKS_FMT_U1, 2, u1);
    put(XKS_FMT_U2, 2, u2);
    put(XKS_FMT_U4, 2, u4);
    put(XKS_FMT_U8, 2, u8);
    put(XKS_FMT_F8, 4, f8);
    put(XKS_FMT_F4, 3, f4);
    put(XKS_FMT_U2, 70, long_u2.data());
    put(XKS_FMT_U1, 0, nullptr);
    put(XKS_FMT_A, 0, "quote\"d");
    put(XKS_FMT_A, 0, std::string(300, 'z').c_str());
    const Bytes body = built();

    for (int32_t notation = 0; notation < 8; ++notation) {
        std::vector<Line> got = lines(body, notation << 4 | XKS_MSSG_CONVERT, 8192);
        build(8192);
        for (const Line& l : got)
            ASSERT_EQ(put_text(l.text.c_str(), notation), 0) << notation << ": " << l.text;
        EXPECT_EQ(built(), body) << "notation " << notation;
    }
}

TEST_F(XKSMssgNotationTest, ConvertedTextRoundTripsThroughTheProcessCode)
{
    // Shift-JIS items shown in a UTF-8 process and put back.
    build();
    put(XKS_FMT_K | (XKS_CSET_SJIS << 16), 0, "\x93\xfa\x96\x7b");
    const Bytes body = built();
    XKWCodeSet(XKW_CODE_UTF8);
    std::vector<Line> got = lines(body, XKS_MSSG_CONVERT);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, "M8[6]=\"\xe6\x97\xa5\xe6\x9c\xac\"");
    build();
    ASSERT_EQ(put_text(got[0].text.c_str(), XKS_TEXT_BRACKET), 0);
    EXPECT_EQ(built(), body);
}

}  // namespace
