#include "runtime/XKWStr.h"

#include <gtest/gtest.h>

#include <cstring>

// Process code Shift-JIS: 0x83 0x61 and 0x82 0x41 are characters whose
// trailing bytes are 'a' and 'A'; 0x95 0x5C ends in the byte of '\'.

TEST(StrEditTest, TrimsRemoveOnlyTheirOwnCharactersAtTheirEnd)
{
    char eol[] = "a\rb\r\n\n";
    EXPECT_EQ(XKWStrTrimEol(eol), 3);
    EXPECT_STREQ(eol, "a\rb");
    char r[] = " a b\t \t";
    EXPECT_EQ(XKWStrTrimRight(r), 4);
    EXPECT_STREQ(r, " a b");
    char l[] = "\t  a b \n";
    EXPECT_EQ(XKWStrTrimLeft(l), 5);
    EXPECT_STREQ(l, "a b \n");
}

TEST(StrEditTest, CaseChangesAsciiButNotTrailingBytes)
{
    char up[] = "a\x83\x61z1";
    EXPECT_EQ(XKWStrUpper(up), 5);
    EXPECT_STREQ(up, "A\x83\x61Z1");
    char low[] = "Q\x82\x41Z";
    XKWStrLower(low);
    EXPECT_STREQ(low, "q\x82\x41z");
}

TEST(StrEditTest, CopyAndCatTruncateWithoutSplittingCharacters)
{
    char d[8];
    std::memset(d, 'X', sizeof d);
    EXPECT_EQ(XKWStrCopy(d, "abcdef", 4), 3);
    EXPECT_STREQ(d, "abc");
    EXPECT_EQ(d[4], 'X');
    EXPECT_EQ(XKWStrCopy(d, "ab\x82\xA0", 4), 2);
    EXPECT_EQ(XKWStrCopy(d, "ab\x82\xA0", 5), 4);
    EXPECT_EQ(XKWStrCat(d, "cdefg", 6), 5);
    EXPECT_STREQ(d, "ab\x82\xA0" "c");
    char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(XKWStrCat(unterminated, "d", 3), -22);
}

TEST(StrSplitTest, TokenTakesFieldsInTurnTruncatingOutUntilEmpty)
{
    // Out holds 2 characters; 0x95 0x5C is one field character, not a '\'.
    char text[] = "a,bcd,,\x95\x5C\\e";
    char out[3];
    const int32_t want_len[] = {1, 2, 0, 2, 1, -1};
    const char* want[] = {"a", "bc", "", "\x95\x5C", "e", ""};
    const char seps[] = ",,,\\\\\\";
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(XKWStrToken(seps[i], text, out, sizeof out), want_len[i]) << i;
        EXPECT_STREQ(out, want[i]) << i;
    }
}

TEST(StrSplitTest, FieldsCutEachFieldAndClearTheRest)
{
    char f[4][3];
    std::memset(f, 'X', sizeof f);
    EXPECT_EQ(XKWStrFields(',', "a,bcd,", &f[0][0], 4, 3), 3);
    EXPECT_STREQ(f[0], "a");
    EXPECT_STREQ(f[1], "bc");
    EXPECT_STREQ(f[2], "");
    EXPECT_STREQ(f[3], "");
    EXPECT_EQ(XKWStrFields(',', "1,2,3", &f[0][0], 2, 3), 2);
    EXPECT_STREQ(f[1], "2");
    EXPECT_EQ(XKWStrFields(',', "", &f[0][0], 2, 3), 0);
}

TEST(TextOutTest, AppendsWithinTheBufferAndStaysTerminated)
{
    char buf[8];
    XKWTextOut t(buf, sizeof buf);
    t.add("%d-", 12);
    t.blanks(2);
    EXPECT_STREQ(t.c_str(), "12-  ");
    t.add("%s", "abcdef");  // cut at 7 characters
    EXPECT_STREQ(buf, "12-  ab");
    EXPECT_EQ(t.length(), 7u);
    t.blanks(5);
    t.add("x");
    EXPECT_STREQ(buf, "12-  ab");
    t.clear();
    t.blanks(100);
    EXPECT_EQ(std::string(buf), std::string(7, ' '));
}
