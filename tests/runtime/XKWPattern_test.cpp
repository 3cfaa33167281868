#include "runtime/XKWPattern.h"

#include <gtest/gtest.h>

#include "runtime/XKWCode.h"

namespace {
struct Case {
    const char* pattern;
    const char* name;
    int32_t want;
};
}  // namespace

TEST(PatternTest, MatchesWildcardsEscapesAndExactCase)
{
    const Case cases[] = {
        {"t??????.trc", "th0001t.trc", 1}, {"t??????.trc", "th0001t.log", 0},
        {"t??????.trc", "th001t.trc", 0},  {"*.xkq.??????", "qh0001r.xkq.000003", 1},
        {"t??????.????*.trc", "th0001t.0001.trc", 1}, {"t??????.????*.trc", "th0001t.001.trc", 0},
        {"*", "", 1}, {"**b", "aab", 1}, {"", "a", 0}, {"?", "", 0},
        // The first ".trc" is not the end of the name: the run must grow.
        {"*.trc", "a.trc.trc", 1}, {"*n?", "banana", 1}, {"*x*", "banana", 0},
        {"a\\*b", "a*b", 1}, {"a\\*b", "axb", 0}, {"a\\", "a\\", 1}, {"T*.TRC", "t1.trc", 0},
        // Shift-JIS: one character of two bytes; a trailing 0x5C is no escape;
        // "*" never stops between the bytes of a character.
        {"a?c", "a\x82\xA0" "c", 1}, {"a??c", "a\x82\xA0" "c", 0},
        {"\x95\x5C*", "\x95\x5C" "abc", 1}, {"*\xA0", "\x82\xA0", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(XKWPatternMatch(c.pattern, c.name), c.want) << c.pattern << " / " << c.name;
}

TEST(PatternTest, CharacterWidthFollowsTheProcessCode)
{
    ASSERT_EQ(XKWCodeSet(XKW_CODE_UTF8), XKW_CODE_UTF8);
    int32_t one = XKWPatternMatch("?", "\xE3\x81\x82");
    int32_t two = XKWPatternMatch("??", "\xE3\x81\x82");
    XKWCodeSet(XKW_CODE_SJIS);
    EXPECT_EQ(one, 1);
    EXPECT_EQ(two, 0);
}
