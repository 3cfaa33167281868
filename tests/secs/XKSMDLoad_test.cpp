// Definition-file loader: both syntaxes read into the table arrays, the
// value rules, capacity errors, malformed lines, index tidying and the
// comment stripper.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "secs/XKSMDMssg.h"
#include "secs/XKSMssg.h"
#include "tests/support/MDSession.h"

namespace {

const XKSMDItem& item_of(const XKSMDTable* t, int32_t mitem)
{
    return t->items[t->mitems[mitem].item];
}

std::string text_of(const XKSMDMitem& mi, int v = 0)
{
    return std::string(reinterpret_cast<const char*>(mi.value[v]), static_cast<size_t>(mi.vsize[v]));
}

template <class T>
std::vector<T> numbers_of(const XKSMDMitem& mi, int v = 0)
{
    std::vector<T> out(static_cast<size_t>(mi.vsize[v]) / sizeof(T));
    std::memcpy(out.data(), mi.value[v], out.size() * sizeof(T));
    return out;
}

// Index of the first message item of message m whose item has that name.
int32_t find_mitem(const XKSMDTable* t, int32_t m, const char* name)
{
    for (int32_t k = 0; k < t->mssgs[m].noi; ++k)
        if (std::strcmp(item_of(t, t->mssgs[m].ino + k).name, name) == 0)
            return t->mssgs[m].ino + k;
    return -1;
}

std::string csv(const std::string& items, const std::string& messages)
{
    return "ITEMDEFINESTART\n" + items + "ITEMDEFINEEND\nMESSAGEDEFINESTART\n" + messages + "MESSAGEDEFINEEND\n";
}

}  // namespace

TEST(MDLoadCsv, ReplyExampleGivesListAndTwoItemsWithUndefinedNameAsItemOne)
{
    MDSession s;
    int32_t h = s.open("t.csv", csv("MDLN,A,0..20\n", "S1F2_REPLY,E,S1F2,\"L,2\"\n,,,,MDLN\n,,,,softrev\n"));
    ASSERT_GT(h, 0);
    const XKSMDTable* t = MDSession::table(h);
    ASSERT_EQ(t->cmssg, 1);
    const XKSMDMessage& m = t->mssgs[0];
    EXPECT_STREQ(m.name, "S1F2_REPLY");
    EXPECT_EQ(m.sf, 0x0102);
    EXPECT_EQ(m.at, XKS_MD_E);
    ASSERT_EQ(m.noi, 3);
    EXPECT_EQ(t->cmitem, 3);
    EXPECT_EQ(t->mitems[m.ino].item, 0);
    EXPECT_EQ(t->mitems[m.ino].count, 2);
    EXPECT_STREQ(item_of(t, m.ino + 1).name, "MDLN");
    EXPECT_EQ(item_of(t, m.ino + 1).form, XKS_FMT_A);
    EXPECT_EQ(t->mitems[m.ino + 2].item, 1);  // SOFTREV is not defined
    EXPECT_EQ(t->citem, 3);
    EXPECT_EQ(t->items[1].form, XKS_FMT_B);
    EXPECT_EQ(t->items[1].sz, 1);
}

TEST(MDLoadSml, S1F2ExampleSharesNothingAndPadsValues)
{
    MDSession s;
    int32_t h = s.open("t.sml", "S1F2 E\n<L[2]\n  <A[6]MDLN ALPHA1\n  <A[6]SOFTREV V1.0\n>\n>\n");
    ASSERT_GT(h, 0);
    const XKSMDTable* t = MDSession::table(h);
    ASSERT_EQ(t->cmssg, 1);
    EXPECT_STREQ(t->mssgs[0].name, "S1F2");
    EXPECT_EQ(t->mssgs[0].sf, 0x0102);
    EXPECT_EQ(t->mssgs[0].at, XKS_MD_E);
    ASSERT_EQ(t->mssgs[0].noi, 3);
    EXPECT_EQ(t->mitems[0].item, 0);
    EXPECT_EQ(t->mitems[0].count, 2);
    EXPECT_EQ(text_of(t->mitems[1]), "ALPHA1");
    EXPECT_EQ(text_of(t->mitems[2]), "V1.0  ");
    EXPECT_EQ(t->mitems[2].count, 6);
    EXPECT_EQ(item_of(t, 2).min, 6);
    EXPECT_EQ(item_of(t, 2).max, 6);
}

TEST(MDLoadAttributes, DefaultDirectionDependsOnSyntaxAndLettersCombine)
{
    MDSession s;
    int32_t hc = s.open("t.csv", csv("", "A,,S1F1\nB,WDE,S2F3\nC,X,BAD\n"));
    ASSERT_GT(hc, 0);
    const XKSMDTable* c = MDSession::table(hc);
    ASSERT_EQ(c->cmssg, 3);
    EXPECT_EQ(c->mssgs[0].at, XKS_MD_H);
    EXPECT_EQ(c->mssgs[1].at, XKS_MD_W | XKS_MD_D | XKS_MD_E);
    EXPECT_EQ(c->mssgs[2].sf, 0x0203);  // unreadable header keeps the last stream/function

    int32_t hs = s.open("t.sml", "S1F1\nS6 F11 W\nS200F1 W\nS1F256\n");
    ASSERT_GT(hs, 0);
    const XKSMDTable* m = MDSession::table(hs);
    ASSERT_EQ(m->cmssg, 2);  // out-of-range stream and function are ignored
    EXPECT_EQ(m->mssgs[0].at, XKS_MD_H | XKS_MD_E);
    EXPECT_STREQ(m->mssgs[1].name, "S6F11");
    EXPECT_EQ(m->mssgs[1].sf, 0x060B);
    EXPECT_EQ(m->mssgs[1].at, XKS_MD_H | XKS_MD_E | XKS_MD_W);
}

TEST(MDLoadValues, FormatsCountsAndConversions)
{
    MDSession s;
    int32_t h = s.open("t.sml",
                       "S1F1\n"
                       "<BOOLEAN[1]FLAG 1\n"
                       "<A[4..10]V4 AB\n"
                       "<A[8]F8 ABCDEFGHIJ\n"
                       "<A[0..3]CAP ABCDEF\n"
                       "<U4[3]U4 1,2\n"
                       "<U2[0..2]VAR 1,2,3\n"
                       "<U1[2]HEX x10,0x1F\n"
                       "<I2[2]NEG -2,0xFFFF\n"
                       "<T[3]BOOL T,true,F\n"
                       "<F4[1]REAL 2.5\n"
                       "<U8[1]BIG 0x123456789\n"
                       "<M9[4]KAN \"\" ab\n"
                       "<U4[1]ALT 7 1 2 3 4 5 6\n");
    ASSERT_GT(h, 0);
    const XKSMDTable* t = MDSession::table(h);
    auto mi = [&](const char* n) -> const XKSMDMitem& {
        int32_t k = find_mitem(t, 0, n);
        EXPECT_GE(k, 0) << n;
        return t->mitems[k < 0 ? 0 : k];
    };
    EXPECT_EQ(t->items[t->mitems[find_mitem(t, 0, "FLAG")].item].form, XKS_FMT_B);
    EXPECT_EQ(text_of(mi("V4")), "AB  ");
    EXPECT_EQ(text_of(mi("F8")), "ABCDEFGH");
    EXPECT_EQ(text_of(mi("CAP")), "ABC");
    EXPECT_EQ(numbers_of<uint32_t>(mi("U4")), (std::vector<uint32_t>{1, 2, 0}));
    EXPECT_EQ(mi("U4").count, 3);
    EXPECT_EQ(numbers_of<uint16_t>(mi("VAR")), (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(mi("VAR").count, 2);
    EXPECT_EQ(numbers_of<uint8_t>(mi("HEX")), (std::vector<uint8_t>{0x10, 0x1F}));
    EXPECT_EQ(numbers_of<int16_t>(mi("NEG")), (std::vector<int16_t>{-2, -1}));
    EXPECT_EQ(numbers_of<uint8_t>(mi("BOOL")), (std::vector<uint8_t>{1, 0, 0}));
    EXPECT_EQ(numbers_of<float>(mi("REAL")), (std::vector<float>{2.5f}));
    EXPECT_EQ(numbers_of<uint64_t>(mi("BIG")), (std::vector<uint64_t>{0x123456789ull}));
    const XKSMDItem& kan = t->items[mi("KAN").item];
    EXPECT_EQ(kan.form, XKS_FMT_K | (9 << 16));
    EXPECT_EQ(mi("KAN").vsize[0], 0);  // an empty word keeps its position
    EXPECT_EQ(text_of(mi("KAN"), 1), "ab  ");
    const XKSMDMitem& alt = mi("ALT");
    for (int v = 0; v < XKS_MD_VALUES; ++v)
        EXPECT_EQ(numbers_of<uint32_t>(alt, v), (std::vector<uint32_t>{uint32_t(v == 0 ? 7 : v)}));
}

TEST(MDLoadValues, CsvSixtyFourBitWordPairsAndFileItems)
{
    MDSession s;
    const std::string to24(19, ',');  // from the item in field 5 to the value in field 24
    int32_t h = s.open("t.csv", csv("BIG,U8,2\nNEG,I8,1\nPIC,B,0..100\nMDLN,A,4\n@FILEX,A,0..9\n",
                                    "M,H,S1F1,\"L,4\"\n,,,,BIG" + to24 + "\"1,2,3\"\n,,,,NEG" + to24 +
                                        "\"-1,-1\"\n,,,,PIC" + to24 + "\"@FILENAME=\"\"a b.bin\"\"\"\n,,,,@FILEX" +
                                        to24 + "/x/y\n,,,,MDLN" + to24 + "\"a\"\"b\"\n"));
    ASSERT_GT(h, 0);
    const XKSMDTable* t = MDSession::table(h);
    const XKSMDMitem& big = t->mitems[find_mitem(t, 0, "BIG")];
    EXPECT_EQ(numbers_of<uint64_t>(big), (std::vector<uint64_t>{0x100000002ull, 0x300000000ull}));
    EXPECT_EQ(big.count, 2);
    EXPECT_EQ(numbers_of<int64_t>(t->mitems[find_mitem(t, 0, "NEG")]), (std::vector<int64_t>{-1}));
    int32_t pic = find_mitem(t, 0, "PIC");
    EXPECT_EQ(item_of(t, pic).flags & XKS_MD_FILEITEM, XKS_MD_FILEITEM);
    EXPECT_EQ(text_of(t->mitems[pic]), std::string("a b.bin", 8));  // with its NUL
    EXPECT_EQ(text_of(t->mitems[find_mitem(t, 0, "@FILEX")]), std::string("/x/y", 5));
    EXPECT_EQ(text_of(t->mitems[find_mitem(t, 0, "MDLN")]), "a\"b ");
}

TEST(MDLoadLists, FixedRangeUnboundedAndAlternatives)
{
    MDSession s;
    int32_t hs = s.open("t.sml", "S1F3\n<L[3]\n<L[N]LIST\n<L[1..N]SV\n<L[2|4]ALT\n<L[2..5]\n<L[5..2]BAD\n");
    ASSERT_GT(hs, 0);
    const XKSMDTable* t = MDSession::table(hs);
    ASSERT_EQ(t->mssgs[0].noi, 5);
    EXPECT_EQ(t->mitems[0].item, 0);
    EXPECT_EQ(t->mitems[0].count, 3);
    const XKSMDItem& list = item_of(t, find_mitem(t, 0, "LIST"));
    EXPECT_EQ(list.min, 0);
    EXPECT_EQ(list.max, XKS_MD_UNBOUNDED);
    EXPECT_EQ(list.form, XKS_FMT_L);
    EXPECT_EQ(item_of(t, find_mitem(t, 0, "SV")).min, 1);
    EXPECT_EQ(item_of(t, find_mitem(t, 0, "SV")).max, XKS_MD_UNBOUNDED);
    const XKSMDItem& alt = item_of(t, find_mitem(t, 0, "ALT"));
    EXPECT_EQ(alt.flags, XKS_MD_ALTLIST);
    EXPECT_EQ(alt.min, 2);
    EXPECT_EQ(alt.max, 4);

    int32_t hc = s.open("t.csv", csv("V,U4,1\n", "M,H,S1F3,\"L,N\",VALS\n,,,,V\n"));
    ASSERT_GT(hc, 0);
    const XKSMDTable* c = MDSession::table(hc);
    ASSERT_EQ(c->mssgs[0].noi, 2);
    const XKSMDItem& vals = item_of(c, 0);
    EXPECT_STREQ(vals.name, "VALS");
    EXPECT_EQ(vals.min, 0);
    EXPECT_EQ(vals.max, XKS_MD_UNBOUNDED);
    EXPECT_STREQ(item_of(c, 1).name, "V");
}

TEST(MDLoadTidy, SortRenumbersReferencesAndIndexes)
{
    MDSession s;
    int32_t h = s.open("t.sml", "S1F1\n<A[2]ZED\n<U4[1]MID\n<A[1]ALPHA\n<U4[1]MID\nS1F2\n<A[1]ALPHA\n<A[2]ZED\n");
    ASSERT_GT(h, 0);
    const XKSMDTable* t = MDSession::table(h);
    ASSERT_EQ(t->citem, 5);  // the repeated MID shares its entry
    EXPECT_STREQ(t->items[2].name, "ALPHA");
    EXPECT_STREQ(t->items[3].name, "MID");
    EXPECT_STREQ(t->items[4].name, "ZED");
    for (int32_t i = 0; i < t->citem; ++i)
        EXPECT_EQ(t->items[i].index, i);
    const char* order[] = {"ZED", "MID", "ALPHA", "MID", "ALPHA", "ZED"};
    ASSERT_EQ(t->cmitem, 6);
    for (int32_t k = 0; k < 6; ++k)
        EXPECT_STREQ(item_of(t, k).name, order[k]) << k;
}

TEST(MDLoadMalformed, BadLinesAreSkippedAndLongLinesCut)
{
    MDSession s;
    std::string longline = "<A[1]LONG " + std::string(3000, 'x') + "\n";
    int32_t h = s.open("t.sml",
                       "<A[1]EARLY x\n"  // before any message
                       "S1F1\n<Q[1]UNKNOWN\n<A[2..1]BAD\n<A[-1]NEG\n<A MISSING\n" + longline +
                           "<A[1]NEXT y\n/* a block\n<A[1]HIDDEN\n still */ <A[1]AFTER z // tail\n");
    ASSERT_GT(h, 0);
    const XKSMDTable* t = MDSession::table(h);
    ASSERT_EQ(t->cmssg, 1);
    ASSERT_EQ(t->mssgs[0].noi, 3);
    EXPECT_GE(find_mitem(t, 0, "LONG"), 0);
    EXPECT_EQ(text_of(t->mitems[find_mitem(t, 0, "NEXT")]), "y");
    EXPECT_EQ(text_of(t->mitems[find_mitem(t, 0, "AFTER")]), "z");

    int32_t hc = s.open("t.csv", csv("X,Q,1\nY,A,5..2\nZ,A,abc\nOK,A,1\n",
                                     ",,,,OK\nM,H,S1F1,\"L,x\"\n,,,OK\n"));
    ASSERT_GT(hc, 0);
    const XKSMDTable* c = MDSession::table(hc);
    EXPECT_EQ(c->citem, 3);
    ASSERT_EQ(c->cmssg, 1);
    EXPECT_EQ(c->mssgs[0].noi, 1);  // the continuation before M and the bad list are dropped
    EXPECT_EQ(c->cmitem, 1);
    EXPECT_EQ(XKSMDOpen(0, s.session(), (s.dir() / "none.sml").c_str()), -2);
}

TEST(MDLoadCapacity, FullTablesFailAndFreeTheHandle)
{
    {
        MDSession s("MDMXMSSG=1\n");
        int32_t ok = s.open("a.sml", "S1F1\n");
        ASSERT_GT(ok, 0);
        ASSERT_EQ(XKSMDClose(ok, 0), ok);
        EXPECT_EQ(s.open("b.sml", "S1F1\nS1F2\n"), XKS_E_MDMSSG);
        int32_t again = XKSMDOpen(0, s.session(), (s.dir() / "a.sml").c_str());
        EXPECT_EQ(again, ok);  // the failed open gave its handle back
        XKSMDClose(again, 0);
    }
    MDSession items("MDMXITEM=3\n");
    EXPECT_EQ(items.open("c.sml", "S1F1\n<A[1]X\n<A[1]Y\n"), XKS_E_MDITEM);
    MDSession mitems("MDMXMITEM=2\n");
    EXPECT_EQ(mitems.open("d.sml", "S1F1\n<L[2]\n<A[1]X\n<A[1]Y\n"), XKS_E_MDMITEM);
    MDSession pool("MDMXPOOL=8\n");
    EXPECT_GT(pool.open("e.sml", "S1F1\n<A[8]X abc\n"), 0);
    EXPECT_EQ(pool.open("f.sml", "S1F1\n<A[8]X abc\n<A[1]Y z\n"), XKS_E_MDPOOL);
}

TEST(MDLoadStripComment, LineBlockAndQuotes)
{
    char comment[16];
    char a[] = "// word ";
    EXPECT_EQ(XKSMDStripComment(a, comment, sizeof comment, 0), 0);
    EXPECT_STREQ(a, "");
    EXPECT_STREQ(comment, "word");

    char b[] = "x \"a//b\\\" /*\" y // 0xA8,0x100,0x200,10 and more";
    EXPECT_EQ(XKSMDStripComment(b, comment, sizeof comment, 0), 0);
    EXPECT_STREQ(b, "x \"a//b\\\" /*\" y ");
    EXPECT_STREQ(comment, "0xA8,0x100,0x20");  // cut to the buffer

    char c[] = "keep /* gone";
    EXPECT_EQ(XKSMDStripComment(c, nullptr, 0, 0), 1);
    EXPECT_STREQ(c, "keep ");
    char d[] = "still gone // not a comment */ back/**/again /* x";
    EXPECT_EQ(XKSMDStripComment(d, comment, sizeof comment, 1), 1);
    EXPECT_STREQ(d, " backagain ");
    EXPECT_STREQ(comment, "");
}
