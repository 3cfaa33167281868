// Matching received bodies against definitions, reading their items by
// name and as text, automatic replies and the trace-side interface.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../support/MDSession.h"
#include "runtime/XKWStr.h"
#include "secs/XKSAcb.h"
#include "secs/XKSMDInternal.h"
#include "secs/XKSMDMssg.h"
#include "secs/XKSMssg.h"

namespace {

// A body encoded item by item with the codec.
class Body {
public:
    Body() : mb_(new XKSMssgBlock()) { XKSMssgBuildOpen(mb_.get(), XKS_MSSG_SIZE, buf_, sizeof buf_, 65536); }
    Body& L(int32_t n) { return put(XKS_FMT_L, n, nullptr); }
    Body& A(const char* s) { return put(XKS_FMT_A, static_cast<int32_t>(std::strlen(s)), s); }
    Body& K(int32_t cset, const char* s)
    {
        return put(XKS_FMT_K | cset << 16, static_cast<int32_t>(std::strlen(s)), s);
    }
    Body& U1(std::vector<uint8_t> v) { return put(XKS_FMT_U1, static_cast<int32_t>(v.size()), v.data()); }
    Body& U2(std::vector<uint16_t> v) { return put(XKS_FMT_U2, static_cast<int32_t>(v.size()), v.data()); }
    Body& U4(std::vector<uint32_t> v) { return put(XKS_FMT_U4, static_cast<int32_t>(v.size()), v.data()); }
    const uint8_t* data() const { return buf_; }
    int32_t size() const { return XKSMssgBuildEnd(mb_.get()); }

private:
    Body& put(int32_t format, int32_t count, const void* v)
    {
        EXPECT_EQ(XKSMssgPutItem(mb_.get(), 0, buf_, format, count, v), 0);
        return *this;
    }
    std::unique_ptr<XKSMssgBlock> mb_;
    uint8_t buf_[4096];
};

// Host-order header: device, stream (W-bit included), function, bytes 4..5, system bytes.
std::vector<uint8_t> header(uint16_t device, uint8_t stream, uint8_t function, uint8_t b4 = 0, uint8_t b5 = 0)
{
    std::vector<uint8_t> h(10, 0);
    std::memcpy(h.data(), &device, 2);
    h[2] = stream;
    h[3] = function;
    h[4] = b4;
    h[5] = b5;
    uint16_t hi = 0x0001, lo = 0x0002;
    std::memcpy(h.data() + 6, &hi, 2);
    std::memcpy(h.data() + 8, &lo, 2);
    return h;
}

class MDMatchTest : public ::testing::Test {
protected:
    int32_t open(const std::string& sml, int32_t mode = 0) { return s_.open("t.sml", sml, mode); }
    int32_t match(int32_t h, const Body& b, int32_t sf = 0, int32_t mode = 0)
    {
        name_[0] = '\0';
        return XKSMDMatch(h, mode, b.data(), b.size(), sf, name_);
    }
    // Matched names of the received items, in body order.
    static std::vector<std::string> names(int32_t h)
    {
        XKSMDTable* t = MDSession::table(h);
        std::vector<std::string> out;
        for (int32_t i = 0; i < t->matched.noi; ++i)
            out.emplace_back(t->items[t->mitems[t->matched.ino + i].item].name);
        return out;
    }
    uint32_t get_u4(int32_t h, const char* item)
    {
        uint32_t v = 0xDEADBEEF;
        EXPECT_EQ(XKSMDGetItem(h, 0, nullptr, item, 0, &v, nullptr, nullptr), 1) << item;
        return v;
    }
    int32_t get_count(int32_t h, const char* item)
    {
        int32_t n = -1;
        EXPECT_EQ(XKSMDGetItem(h, 0, nullptr, item, 0, &n, nullptr, nullptr), 1) << item;
        return n;
    }

    MDSession s_{"SECSMODE=0x11\nTRCTTYPE=0x00\n"};  // HSMS equipment, bracket notation
    char name_[XKS_MD_NAME] = "";
};

TEST_F(MDMatchTest, EmptyListMatchesAndWBitAddsTopBit)
{
    int32_t h = open("S1F2 E\n<L[0]\nS1F1 H W\n<L[0]\nS1F17 H\n");
    ASSERT_GT(h, 0);
    EXPECT_EQ(match(h, Body().L(0), 0x0102), 0x0102);
    EXPECT_STREQ(name_, "S1F2");
    EXPECT_EQ(match(h, Body().L(0), 0x8101), 0x8101);
    EXPECT_STREQ(name_, "S1F1");
    // A body without items matches a definition without items only.
    EXPECT_EQ(match(h, Body(), 0), 0x0111);
    EXPECT_EQ(match(h, Body(), 0x0102), -2);
    EXPECT_EQ(match(h, Body().L(1).L(0), 0x0102), -2);
}

TEST_F(MDMatchTest, AcceptedValuesDecideTheMatch)
{
    int32_t h = open("S1F3 H\n<U1[1]FLAG 0 0 1\n");
    ASSERT_GT(h, 0);
    EXPECT_EQ(match(h, Body().U1({0})), 0x0103);
    EXPECT_EQ(match(h, Body().U1({1})), 0x0103);
    EXPECT_EQ(match(h, Body().U1({2})), -2);
    EXPECT_EQ(match(h, Body().U2({0})), -2);  // format differs
}

TEST_F(MDMatchTest, VariableListMatchesOnlyInTheRepeatedSearch)
{
    // The variable definition comes first in the table, yet a fixed one
    // that matches in the first search wins.
    int32_t h = open("S1F3_VAR H\n<L[1..N]SVIDLIST\n<U4[1]SVID\n>\nS1F3_FIX H\n<L[3]\n<U4[1]A\n<U4[1]B\n<U4[1]C\n>\n");
    ASSERT_GT(h, 0);
    EXPECT_EQ(match(h, Body().L(3).U4({7}).U4({8}).U4({9})), 0x0103);
    EXPECT_STREQ(name_, "S1F3_FIX");
    EXPECT_EQ(match(h, Body().L(4).U4({7}).U4({8}).U4({9}).U4({10})), 0x0103);
    EXPECT_STREQ(name_, "S1F3_VAR");
    EXPECT_EQ(get_count(h, "SVIDLIST"), 4);
    EXPECT_EQ(get_u4(h, "SVID:1"), 7u);
    EXPECT_EQ(get_u4(h, "svid:3"), 9u);
    EXPECT_EQ(get_u4(h, "SVID:4"), 10u);
    EXPECT_EQ(match(h, Body().L(0)), -2);  // below the minimum
}

TEST_F(MDMatchTest, NestedVariableListsKeepEveryCount)
{
    int32_t h = open(
        "S6F11 E W\n<L[3]\n<U4[1]DATAID\n<U4[1]CEID\n<L[N]RPTLIST\n<L[2]\n<U4[1]RPTID\n<L[N]VLIST\n<U4[1]V\n>\n>\n>\n>\n");
    ASSERT_GT(h, 0);
    Body b;
    b.L(3).U4({1}).U4({100}).L(2);
    b.L(2).U4({10}).L(3).U4({21}).U4({22}).U4({23});
    b.L(2).U4({11}).L(1).U4({31});
    ASSERT_EQ(match(h, b), 0x8000 | 0x060B);
    EXPECT_EQ(names(h), (std::vector<std::string>{"", "DATAID", "CEID", "RPTLIST", "", "RPTID:1", "VLIST:1", "V:1",
                                                  "V:2", "V:3", "", "RPTID:2", "VLIST:2", "V:1"}));
    EXPECT_EQ(get_count(h, "RPTLIST"), 2);
    EXPECT_EQ(get_count(h, "VLIST:1"), 3);
    EXPECT_EQ(get_count(h, "VLIST:2"), 1);
    EXPECT_EQ(get_u4(h, "RPTID:2"), 11u);
    EXPECT_EQ(get_u4(h, "V:3"), 23u);
    XKSMDTable* t = MDSession::table(h);
    EXPECT_EQ(t->mitems[t->matched.ino + 13].dp, 4);  // the last V
}

TEST_F(MDMatchTest, GetItemCopiesCountsTextAndLists)
{
    int32_t h = open("S1F4 E\n<L[2]\n<U2[0..10]VALS\n<A[0..20]MDLN\n>\n");
    ASSERT_GT(h, 0);
    ASSERT_EQ(match(h, Body().L(2).U2({1, 2, 3, 4, 5}).A("WHC-01")), 0x0104);
    uint16_t v[6] = {9, 9, 9, 9, 9, 9};
    int32_t format = 0, size = 0;
    EXPECT_EQ(XKSMDGetItem(h, 0, nullptr, "VALS", 2, v, &format, &size), 2);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 2);
    EXPECT_EQ(v[2], 9);  // nothing beyond the count
    EXPECT_EQ(format, XKS_FMT_U2);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(XKSMDGetItem(h, 0, nullptr, "VALS", 0, v, nullptr, nullptr), 5);
    EXPECT_EQ(v[4], 5);
    EXPECT_EQ(v[5], 9);
    char text[16];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(XKSMDGetItem(h, 0, nullptr, "MDLN", 0, text, &format, nullptr), 6);
    EXPECT_STREQ(text, "WHC-01");
    EXPECT_EQ(format, XKS_FMT_A);
    EXPECT_EQ(XKSMDGetItem(h, 0, nullptr, "MDLN", 3, text, nullptr, nullptr), 3);
    EXPECT_STREQ(text, "WHC");
    EXPECT_EQ(XKSMDGetItem(h, 0, nullptr, "NOSUCH", 0, text, nullptr, nullptr), -2);
    EXPECT_EQ(XKSMDMatchEnd(h, 0, nullptr), 0);
    EXPECT_EQ(XKSMDGetItem(h, 0, nullptr, "MDLN", 0, text, nullptr, nullptr), -2);
}

TEST_F(MDMatchTest, TwoByteTextIsComparedAndReadInTheProcessCode)
{
    int32_t h = open("S1F5 H\n<K[0..10]LABEL ABC ABC\n");
    ASSERT_GT(h, 0);
    EXPECT_EQ(match(h, Body().K(XKS_CSET_UTF8, "ABC")), 0x0105);
    EXPECT_EQ(match(h, Body().K(XKS_CSET_UTF8, "XYZ")), -2);

    int32_t h2 = s_.open("u.sml", "S1F5 H\n<K[0..10]LABEL\n");
    ASSERT_GT(h2, 0);
    // Two characters, six bytes in UTF-8.
    ASSERT_EQ(match(h2, Body().K(XKS_CSET_UTF8, "\xE6\x97\xA5\xE6\x9C\xAC")), 0x0105);
    char text[16];
    int32_t format = 0;
    EXPECT_EQ(XKSMDGetItem(h2, 0, nullptr, "LABEL", 0, text, &format, nullptr), 6);
    EXPECT_EQ(format, XKS_FMT_K | XKS_CSET_UTF8 << 16);
    EXPECT_EQ(XKSMDGetItem(h2, XKS_MD_CONVERT, nullptr, "LABEL", 0, text, nullptr, nullptr), 4);
    EXPECT_STREQ(text, "\x93\xFA\x96\x7B");  // Shift-JIS
    EXPECT_EQ(XKSMDGetItem(h2, XKS_MD_CONVERT, nullptr, "LABEL", 3, text, nullptr, nullptr), 2);  // whole characters
    EXPECT_STREQ(text, "\x93\xFA");
}

TEST_F(MDMatchTest, NextItemTextWalksReceivedItemsWithNames)
{
    int32_t h = open("S1F2 E\n<L[2]\n<A[0..20]MDLN\n<U2[0..4]VALS\n>\n");
    ASSERT_GT(h, 0);
    ASSERT_EQ(match(h, Body().L(2).A("AB").U2({1, 2})), 0x0102);
    std::vector<std::string> lines;
    char text[128];
    int32_t format = -1, count = -1, rc;
    while ((rc = XKSMDNextItemText(h, 0, nullptr, &format, &count, text, sizeof text)) >= 0)
        lines.emplace_back(std::to_string(rc) + "|" + text);
    EXPECT_EQ(rc, -120);
    EXPECT_EQ(lines, (std::vector<std::string>{"0|L[2]", "1|  A[2]MDLN=\"AB\"", "1|  U2[2]VALS=1,2"}));
}

TEST_F(MDMatchTest, DirectionBitsChooseTheSide)
{
    int32_t h = open("S1F1_B H E W\n<L[0]\nS1F1_E E W\n<L[0]\nS1F1_H H W\n<L[0]\n");
    ASSERT_GT(h, 0);
    Body b;
    b.L(0);
    const char* want[4] = {"S1F1_B", "S1F1_E", "S1F1_E", "S1F1_H"};  // any, single first, ours (E), peer's
    for (int32_t dir = 0; dir < 4; ++dir) {
        EXPECT_EQ(match(h, b, 0x0101, dir << 12), 0x8101);
        EXPECT_STREQ(name_, want[dir]) << dir;
    }

    MDSession host{"SECSMODE=0x01\n"};
    int32_t hh = host.open("t.sml", "S1F1_E E W\n<L[0]\nS1F1_B H E W\n<L[0]\n");
    ASSERT_GT(hh, 0);
    char n[XKS_MD_NAME];
    EXPECT_EQ(XKSMDMatch(hh, 0x2000, b.data(), b.size(), 0, n), 0x8101);  // both-direction pass
    EXPECT_STREQ(n, "S1F1_B");
}

// Whether another thread could take the table lock right now (the lock is
// recursive, so the holder itself always could).
bool free_elsewhere(XKSMDTable* t)
{
    bool got = false;
    std::thread([&] {
        got = XKWLockEnter(&t->lock, 1) == 0;
        if (got)
            XKWLockLeave(&t->lock);
    }).join();
    return got;
}

TEST_F(MDMatchTest, FailuresReleaseTheLockAndSuccessHoldsIt)
{
    int32_t h = open("S1F2 E\n<L[0]\n", XKS_MD_LOCK);
    ASSERT_GT(h, 0);
    XKSMDTable* t = MDSession::table(h);
    EXPECT_EQ(match(h, Body().L(0)), 0x0102);
    EXPECT_EQ(t->xlkf, XKS_MD_HELD_MATCH);
    EXPECT_FALSE(free_elsewhere(t));
    EXPECT_EQ(XKSMDMatchEnd(h, XKS_MD_LOCK, nullptr), 0);  // leaves the lock alone
    EXPECT_FALSE(free_elsewhere(t));
    EXPECT_EQ(XKSMDMatchEnd(h, 0, nullptr), 0);
    EXPECT_TRUE(free_elsewhere(t));
    EXPECT_EQ(match(h, Body().U1({1})), -2);
    EXPECT_TRUE(free_elsewhere(t));
    uint8_t cut[] = {0x41, 0x05, 'A'};  // text runs past the end of the body
    EXPECT_EQ(XKSMDMatch(h, 0, cut, sizeof cut, 0, nullptr), -7);
    EXPECT_TRUE(free_elsewhere(t));
    EXPECT_EQ(t->xlkf, 0);
}

TEST_F(MDMatchTest, WorkingAreasTooSmallForTheBody)
{
    MDSession small{"MDMXITEM=20\nMDMXMITEM=6\nMDMXPOOL=16\n"};
    int32_t h = small.open("t.sml", "S1F3 H\n<L[N]LIST\n<U1[1]X\n>\n");
    ASSERT_GT(h, 0);
    XKSMDTable* t = MDSession::table(h);
    auto try_match = [&](const Body& b) { return XKSMDMatch(h, 0, b.data(), b.size(), 0, nullptr); };
    EXPECT_EQ(try_match(Body().L(5).U1({1}).U1({2}).U1({3}).U1({4}).U1({5})), -943);
    EXPECT_EQ(try_match(Body().A("0123456789012345678901234567890")), -944);
    // Room for the body but not for the expansion behind it.
    EXPECT_EQ(try_match(Body().L(2).U1({1}).U1({2})), -943);
    EXPECT_LE(t->mmitem, t->xmitem);
    EXPECT_LE(t->mpool, t->xpool);
}

class MDAutoReplyTest : public MDMatchTest {
protected:
    int32_t reply(int32_t h, const std::vector<uint8_t>& hdr, const Body& b, int32_t mode = 0)
    {
        std::memset(out_, 0xEE, sizeof out_);
        sf_ = -1;
        return XKSMDAutoReply(h, mode, hdr.data(), b.data(), b.size(), out_, sizeof out_, name_, rname_, &sf_);
    }
    uint8_t out_[256];
    char rname_[XKS_MD_NAME] = "";
    int32_t sf_ = -1;
};

TEST_F(MDAutoReplyTest, DefinedReplyIsBuiltElseTheKnownPrimaryIsAborted)
{
    int32_t h = open("S1F1 H W\n<L[0]\nS1F2 E\n<L[2]\n<A[6]MDLN ALPHA1\n<A[6]SOFTREV V1.0\n>\n");
    ASSERT_GT(h, 0);
    Body b;
    b.L(0);
    ASSERT_EQ(reply(h, header(0, 0x81, 1), b), 18);
    EXPECT_EQ(sf_, 0x0102);
    EXPECT_STREQ(name_, "S1F1");
    EXPECT_STREQ(rname_, "S1F2");
    const uint8_t want[18] = {0x01, 0x02, 0x41, 0x06, 'A', 'L', 'P', 'H', 'A', '1',
                              0x41, 0x06, 'V',  '1',  '.', '0', ' ', ' '};
    EXPECT_EQ(std::memcmp(out_, want, sizeof want), 0);
    EXPECT_EQ(reply(h, header(0, 0x01, 1), b), -930);
    EXPECT_EQ(reply(h, header(0, 0x81, 2), b), -931);

    // A known primary without a reply definition is aborted with S1F0.
    int32_t h2 = s_.open("u.sml", "S1F1 H W\n<L[0]\n");
    EXPECT_EQ(reply(h2, header(0, 0x81, 1), b), 0);
    EXPECT_EQ(sf_, 0x0100);
    EXPECT_STREQ(name_, "S1F1");
}

TEST_F(MDAutoReplyTest, UnknownPrimaryGetsS9WithTheHeaderInWireOrder)
{
    int32_t h = open("S1F1 H W\n<L[0]\n");
    ASSERT_GT(h, 0);
    Body b;
    b.L(0);
    ASSERT_EQ(reply(h, header(0x0102, 0x80 | 99, 1, 0x12, 0x34), b), 12);
    EXPECT_EQ(sf_, 0x0903);
    EXPECT_STREQ(name_, "S99F1");
    const uint8_t want[12] = {0x21, 0x0A, 0x01, 0x02, 0xE3, 0x01, 0x12, 0x34, 0x00, 0x01, 0x00, 0x02};
    EXPECT_EQ(std::memcmp(out_, want, sizeof want), 0);
    EXPECT_EQ(reply(h, header(0, 0x81, 5), b), 12);
    EXPECT_EQ(sf_, 0x0905);
    EXPECT_EQ(reply(h, header(0, 0x81, 1), Body().U1({1})), 12);
    EXPECT_EQ(sf_, 0x0907);

    // SECS-I: bytes 4..5 are one 16-bit number (E-bit, block) and go to wire order too.
    MDSession secs1{"SECSMODE=0x10\n"};
    int32_t h1 = secs1.open("t.sml", "S1F1 H W\n<L[0]\n");
    ASSERT_GT(h1, 0);
    uint16_t block = 0x8001;
    std::vector<uint8_t> hdr = header(0x0102, 0x80 | 99, 1);
    std::memcpy(hdr.data() + 4, &block, 2);
    ASSERT_EQ(reply(h1, hdr, b), 12);
    EXPECT_EQ(out_[6], 0x80);
    EXPECT_EQ(out_[7], 0x01);
}

TEST_F(MDAutoReplyTest, UnmatchedPrimaryTakesTheDefaultReply)
{
    int32_t h = open("S10F3 H W\n<L[2]\n<B[1]TID\n<A[0..120]TEXT\n>\nS10F4 E D\n<B[1]ACKC10 0\n");
    ASSERT_GT(h, 0);
    ASSERT_EQ(reply(h, header(0, 0x80 | 10, 3), Body().A("HELLO")), 3);
    EXPECT_EQ(sf_, 0x0A04);
    EXPECT_STREQ(rname_, "S10F4");
    EXPECT_STREQ(name_, "S10F3");
    const uint8_t want[3] = {0x21, 0x01, 0x00};
    EXPECT_EQ(std::memcmp(out_, want, sizeof want), 0);
}

// The trace side on the tables of an access control block.
TEST(MDMatchTrace, LookupNamesItemsAndReleases)
{
    MDSession s;
    std::string file = s.write("e.sml", "S1F1 H W\n<L[0]\nS1F2 E\n<L[2]\n<A[0..20]MDLN\n<A[0..20]SOFTREV\n>\n");
    XKSAcb* acb = s.acb();
    XKWStrCopy(acb->cfg.mdmssg, file.c_str(), sizeof acb->cfg.mdmssg);
    ASSERT_EQ(XKSMDLoadAcb(acb, 1), 0);  // the engine's table only
    Body b;
    b.L(2).A("M").A("1.0");
    char name[XKS_MD_NAME] = "x";
    EXPECT_EQ(md_trace_lookup(acb, 0, b.data(), b.size(), 0x0102, name, sizeof name), -9);
    EXPECT_STREQ(name, "");
    ASSERT_EQ(md_trace_lookup(acb, 0x10000, b.data(), b.size(), 0x0102, name, sizeof name), 1);
    EXPECT_STREQ(name, "S1F2");
    XKSMDTable* t = &acb->md[1];
    EXPECT_EQ(t->xlkf, XKS_MD_HELD_TRACE);
    std::vector<std::string> got;
    char item[XKS_MD_NAME];
    int32_t rc;
    while ((rc = md_trace_next(acb, 0x10000, 1, item, sizeof item)) >= 0) {
        EXPECT_EQ(std::string(t->items[rc].name), item);
        got.emplace_back(item);
    }
    EXPECT_EQ(rc, -120);
    EXPECT_EQ(got, (std::vector<std::string>{"", "MDLN", "SOFTREV"}));
    md_trace_release(acb, 0x10000, 1);
    EXPECT_EQ(t->xlkf, 0);
    EXPECT_EQ(t->matched.noi, 0);
    EXPECT_EQ(md_trace_next(acb, 0x10000, 1, item, sizeof item), -120);
    // A failing lookup holds nothing.
    Body other;
    EXPECT_EQ(md_trace_lookup(acb, 0x10000, other.U1({1}).data(), other.size(), 0, name, sizeof name), -2);
    EXPECT_EQ(t->xlkf, 0);
}

}  // namespace
