#include "runtime/XKWCode.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/XKWResult.h"

namespace {

// Restores the process code after each test.
class CodeTest : public ::testing::Test {
protected:
    void TearDown() override { XKWCodeSet(XKW_CODE_SJIS); }
};

std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s.push_back(static_cast<char>(c));
    return s;
}

}  // namespace

TEST_F(CodeTest, ShiftJisLeadNeedsTrailingByteOfAtLeast0x40)
{
    EXPECT_EQ(XKWCodeGet(), XKW_CODE_SJIS);
    EXPECT_EQ(XKWCodeLead(bytes({0x82, 0xA0}).c_str()), 1);
    EXPECT_EQ(XKWCodeLead(bytes({0x82, 0x20}).c_str()), 0);
    EXPECT_EQ(XKWCodeLead(bytes({0xE0, 0x40}).c_str()), 1);
    EXPECT_EQ(XKWCodeLead(bytes({0xB1, 0x82}).c_str()), 0);  // half-width katakana
    EXPECT_EQ(XKWCodeLead(bytes({0xF0, 0x82}).c_str()), 0);
    EXPECT_EQ(XKWCodeLead("A"), 0);
    EXPECT_EQ(XKWCodeLead(bytes({0x82}).c_str()), 0);  // lead at the end of the text
}

TEST_F(CodeTest, EucLeadNeverCountsTheTerminator)
{
    ASSERT_EQ(XKWCodeSet(XKW_CODE_EUC), XKW_CODE_EUC);
    EXPECT_EQ(XKWCodeLead(bytes({0xA4, 0xA2}).c_str()), 1);
    EXPECT_EQ(XKWCodeLead(bytes({0x8E, 0xB1}).c_str()), 1);
    EXPECT_EQ(XKWCodeLead(bytes({0x85, 0xA1}).c_str()), 0);
    EXPECT_EQ(XKWCodeLead(bytes({0xA4}).c_str()), 0);
}

TEST_F(CodeTest, Utf8LeadFromPatternAndStrayContinuationBytes)
{
    ASSERT_EQ(XKWCodeSet(XKW_CODE_UTF8), XKW_CODE_UTF8);
    EXPECT_EQ(XKWCodeLead(bytes({0xC3, 0xA9}).c_str()), 1);
    EXPECT_EQ(XKWCodeLead(bytes({0xE3, 0x81, 0x82}).c_str()), 2);
    EXPECT_EQ(XKWCodeLead(bytes({0xF0, 0x9F, 0x98, 0x80}).c_str()), 3);
    EXPECT_EQ(XKWCodeLead(bytes({0xF8, 0x80, 0x80, 0x80, 0x80}).c_str()), 4);
    EXPECT_EQ(XKWCodeLead(bytes({0xFC, 0x80, 0x80, 0x80, 0x80, 0x80}).c_str()), 5);
    EXPECT_EQ(XKWCodeLead(bytes({0x80, 0x80, 0x80, 'A'}).c_str()), 2);
    EXPECT_EQ(XKWCodeLead(bytes({0xE3, 0x81}).c_str()), 1);  // cut short by the end
    EXPECT_EQ(XKWCodeSet(7), XKW_E_INVAL);
    EXPECT_EQ(XKWCodeGet(), XKW_CODE_UTF8);
}

TEST_F(CodeTest, EucAndShiftJisConvertKnownCharacters)
{
    // "a", hiragana A, kanji KAN, half-width katakana A, ideographic space
    std::string euc = bytes({'a', 0xA4, 0xA2, 0xB4, 0xC1, 0x8E, 0xB1, 0xA1, 0xA1});
    std::string sjis = bytes({'a', 0x82, 0xA0, 0x8A, 0xBF, 0xB1, 0x81, 0x40});
    char out[32];
    ASSERT_EQ(XKWCodeEucToShiftJis(euc.c_str(), out, sizeof out), static_cast<int32_t>(sjis.size()));
    EXPECT_EQ(std::string(out), sjis);
    ASSERT_EQ(XKWCodeShiftJisToEuc(sjis.c_str(), out, sizeof out), static_cast<int32_t>(euc.size()));
    EXPECT_EQ(std::string(out), euc);
}

TEST_F(CodeTest, EveryJisRowRoundTripsThroughShiftJis)
{
    for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
        for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
            std::string euc = bytes({j1 | 0x80, j2 | 0x80});
            char sjis[8], back[8];
            ASSERT_EQ(XKWCodeEucToShiftJis(euc.c_str(), sjis, sizeof sjis), 2);
            auto s1 = static_cast<uint8_t>(sjis[0]), s2 = static_cast<uint8_t>(sjis[1]);
            ASSERT_TRUE((s1 >= 0x81 && s1 <= 0x9F) || (s1 >= 0xE0 && s1 <= 0xEF)) << j1 << "," << j2;
            ASSERT_TRUE(s2 >= 0x40 && s2 <= 0xFC && s2 != 0x7F) << j1 << "," << j2;
            ASSERT_EQ(XKWCodeShiftJisToEuc(sjis, back, sizeof back), 2);
            ASSERT_EQ(std::string(back), euc) << j1 << "," << j2;
        }
    }
}

TEST_F(CodeTest, UnconvertiblePairsAndShortBuffersFail)
{
    char out[8] = "xxxxxxx";
    EXPECT_EQ(XKWCodeEucToShiftJis(bytes({0xA4, 0x41}).c_str(), out, sizeof out), XKW_E_FAIL);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(XKWCodeEucToShiftJis(bytes({0xA4}).c_str(), out, sizeof out), XKW_E_FAIL);
    EXPECT_EQ(XKWCodeShiftJisToEuc(bytes({0x82, 0x7F}).c_str(), out, sizeof out), XKW_E_FAIL);
    EXPECT_EQ(XKWCodeShiftJisToEuc(bytes({0xF0, 0x40}).c_str(), out, sizeof out), XKW_E_FAIL);
    // Three half-width katakana grow to six bytes: no room for them in 6.
    EXPECT_EQ(XKWCodeShiftJisToEuc(bytes({0xB1, 0xB2, 0xB3}).c_str(), out, 6), XKW_E_FULL);
    EXPECT_EQ(XKWCodeShiftJisToEuc(bytes({0xB1, 0xB2, 0xB3}).c_str(), out, 7), 6);
}

TEST_F(CodeTest, Utf8ConvertsThroughShiftJisToEveryCode)
{
    std::string utf8 = bytes({'A', 0xE3, 0x81, 0x82, 0xE6, 0xBC, 0xA2, 0xEF, 0xBD, 0xB1});
    std::string sjis = bytes({'A', 0x82, 0xA0, 0x8A, 0xBF, 0xB1});
    std::string euc = bytes({'A', 0xA4, 0xA2, 0xB4, 0xC1, 0x8E, 0xB1});
    char out[32];
    ASSERT_EQ(XKWCodeConvert(XKW_CODE_UTF8, XKW_CODE_SJIS, utf8.data(), utf8.size(), out, sizeof out), 6);
    EXPECT_EQ(std::string(out), sjis);
    ASSERT_EQ(XKWCodeConvert(XKW_CODE_SJIS, XKW_CODE_UTF8, sjis.data(), sjis.size(), out, sizeof out), 10);
    EXPECT_EQ(std::string(out), utf8);
    ASSERT_EQ(XKWCodeConvert(XKW_CODE_UTF8, XKW_CODE_EUC, utf8.data(), utf8.size(), out, sizeof out), 7);
    EXPECT_EQ(std::string(out), euc);
    ASSERT_EQ(XKWCodeConvert(XKW_CODE_EUC, XKW_CODE_UTF8, euc.data(), euc.size(), out, sizeof out), 10);
    EXPECT_EQ(std::string(out), utf8);
    ASSERT_EQ(XKWCodeConvert(XKW_CODE_EUC, XKW_CODE_EUC, euc.data(), euc.size(), out, sizeof out), 7);
    EXPECT_EQ(std::string(out), euc);

    EXPECT_EQ(XKWCodeConvert(XKW_CODE_SJIS, XKW_CODE_UTF8, sjis.data(), sjis.size(), out, 10), XKW_E_FULL);
    EXPECT_EQ(XKWCodeConvert(XKW_CODE_UTF8, XKW_CODE_SJIS, "\xFF\xFE", 2, out, sizeof out), XKW_E_FAIL);
    EXPECT_EQ(XKWCodeConvert(XKW_CODE_UTF8, 5, "a", 1, out, sizeof out), XKW_E_INVAL);
    EXPECT_EQ(XKWCodeConvert(XKW_CODE_UTF8, XKW_CODE_SJIS, "", 0, out, sizeof out), 0);
}
