// Numbers from value texts: the hexadecimal prefix and hex-letter rules,
// defaults for texts without a number, range limits and the list forms.
#include "runtime/XKWText.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(TextTest, IntegersFollowPrefixAndHexLetterRules)
{
    struct Case {
        const char* text;
        int64_t want;
    };
    for (auto [text, want] : {Case{"10", 10}, {"1A", 26}, {"FF", 255}, {"0x10", 16}, {"x10", 16}, {"X1f", 31},
                              {"-5", -5}, {"12ms", 12}, {"0010", 10}, {"00FF", 255}, {"1e5", 0x1E5},
                              {"  7", 7}, {"-x10", -16}, {"+3", 3}, {"0x0x5", 0},
                              {"", -1}, {"   ", -1}, {"zz", -1}, {"x", -1}, {"-", -1}, {"0xg", -1},
                              {"99999999999999999999", INT64_MAX}, {"-99999999999999999999", INT64_MIN}}) {
        EXPECT_EQ(XKWTextToInt(text, -1), want) << text;
    }
    EXPECT_EQ(XKWTextToInt(nullptr, 42), 42);
    EXPECT_EQ(XKWTextToUInt("FFFFFFFFFFFFFFFF", 0), UINT64_MAX);
    EXPECT_EQ(XKWTextToUInt("1FFFFFFFFFFFFFFFF", 0), UINT64_MAX);
    EXPECT_EQ(XKWTextToUInt("-1", 0), UINT64_MAX);
    EXPECT_EQ(XKWTextToUInt("ms", 9), 9u);
    EXPECT_DOUBLE_EQ(XKWTextToReal("2.5e1s", 0), 25.0);
    EXPECT_DOUBLE_EQ(XKWTextToReal("", 1.5), 1.5);
    EXPECT_DOUBLE_EQ(XKWTextToReal("abc", 1.5), 1.5);
}

TEST(TextTest, ListFormsSplitAtCommasAndDefaultMissingItems)
{
    int32_t iv[3] = {9, 9, 9};
    EXPECT_EQ(XKWTextToIntList("1000", 0, iv, 2), 1);
    EXPECT_EQ(iv[0], 1000);
    EXPECT_EQ(iv[1], 0);
    EXPECT_EQ(iv[2], 9);  // past count: untouched
    EXPECT_EQ(XKWTextToIntList("0xA8, ,A8,168,5", -1, iv, 3), 3);
    EXPECT_EQ(iv[0], 0xA8);
    EXPECT_EQ(iv[1], -1);
    EXPECT_EQ(iv[2], 0xA8);
    EXPECT_EQ(XKWTextToIntList("0xFFFFFFFF", 0, iv, 1), 1);
    EXPECT_EQ(iv[0], -1);
    EXPECT_EQ(XKWTextToIntList("", 4, iv, 1), 0);
    EXPECT_EQ(iv[0], 4);
    EXPECT_EQ(XKWTextToIntList("1", 0, nullptr, 1), -22);

    uint32_t uv[2];
    EXPECT_EQ(XKWTextToUIntList("x80000000,", 7, uv, 2), 2);
    EXPECT_EQ(uv[0], 0x80000000u);
    EXPECT_EQ(uv[1], 7u);
    int64_t lv[2];
    EXPECT_EQ(XKWTextToInt64List("5000000000,-1", 0, lv, 2), 2);
    EXPECT_EQ(lv[0], 5000000000);
    EXPECT_EQ(lv[1], -1);
    double dv[3];
    EXPECT_EQ(XKWTextToRealList("0.5,,x", 2.0, dv, 3), 3);
    EXPECT_DOUBLE_EQ(dv[0], 0.5);
    EXPECT_DOUBLE_EQ(dv[1], 2.0);
    EXPECT_DOUBLE_EQ(dv[2], 2.0);
}
