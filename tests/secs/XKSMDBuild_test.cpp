// Building messages by definition: instances, values by name, list
// counts, macros, the encoded bodies and the parameters of an instance.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "runtime/XKWTime.h"
#include "secs/XKSMDMssg.h"
#include "../support/MDSession.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kDefs =
    "S1F2 E\n"
    "<L[2]\n"
    "<A[6]MDLN ALPHA1\n"
    "<A[6]SOFTREV V1.0\n"
    ">\n"
    "S2F41 H W\n"
    "<L[4]\n"
    "<A[8]RCMD\n"
    "<U2[4]PARAMS\n"
    "<A[0..5]NOTE\n"
    "<K[0..5]LABEL\n"
    ">\n"
    "S6F11 E W\n"
    "<L[3]\n"
    "<U4[1]DATAID 7\n"
    "<U4[1]CEID\n"
    "<L[0..N]VALLIST\n"
    "<U4[1]VAL\n"
    ">\n"
    ">\n"
    "S9F9 E\n"
    "<A[19]@TIME \"YYYY-MM-DD hh:mm:ss\"\n";

// Item header of a one-length-byte item.
Bytes hdr(int code, int len) { return {static_cast<uint8_t>(code << 2 | 1), static_cast<uint8_t>(len)}; }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes u4(uint32_t v) { return {0xB1, 4, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Whether another thread could take the table lock right now.
bool lock_free_elsewhere(XKSMDTable* t)
{
    bool got = false;
    std::thread([&] {
        if (XKWLockEnter(&t->lock, 1) == 0) {
            got = true;
            XKWLockLeave(&t->lock);
        }
    }).join();
    return got;
}

class MDBuildTest : public ::testing::Test {
protected:
    int32_t open(const std::string& defs = kDefs, int32_t mode = 0)
    {
        h_ = s_.open("t.sml", defs, mode);
        EXPECT_GT(h_, 0);
        return h_;
    }
    int32_t select(const char* name) { return XKSMDSelect(h_, 0, nullptr, sizeof body_, name); }
    int32_t put(const char* name, int32_t count, const void* value)
    {
        return XKSMDPutItem(h_, 0, nullptr, name, count, value);
    }
    Bytes build()
    {
        int32_t n = XKSMDBuild(h_, 0, body_);
        EXPECT_GE(n, 0);
        return n < 0 ? Bytes{} : Bytes(body_, body_ + n);
    }

    MDSession s_;
    int32_t h_ = 0;
    uint8_t body_[512] = {};
};

TEST_F(MDBuildTest, UnknownNameFailsWithoutHoldingTheLock)
{
    open(kDefs, XKS_MD_LOCK);
    XKSMDTable* t = MDSession::table(h_);
    EXPECT_EQ(select("S99F1"), -2);
    EXPECT_EQ(t->xlkf, 0);
    EXPECT_TRUE(lock_free_elsewhere(t));

    // A selection holds the lock until its build, and only until then.
    ASSERT_EQ(select("s1f2"), 0);
    EXPECT_FALSE(lock_free_elsewhere(t));
    EXPECT_EQ(put("NOSUCH", 0, nullptr), -2);
    EXPECT_GT(XKSMDBuild(h_, 0, body_), 0);
    EXPECT_TRUE(lock_free_elsewhere(t));
    EXPECT_EQ(XKSMDSelect(999, 0, nullptr, 10, "S1F2"), -9);
}

TEST_F(MDBuildTest, BuildsDefinedValuesByteForByte)
{
    open();
    ASSERT_EQ(select("S1F2"), 0);
    EXPECT_EQ(build(), cat({{0x01, 0x02}, hdr(020, 6), text("ALPHA1"), hdr(020, 6), text("V1.0  ")}));
    // The capacity given at selection bounds the body.
    ASSERT_EQ(XKSMDSelect(h_, 0, nullptr, 10, "S1F2"), 0);
    EXPECT_EQ(XKSMDBuild(h_, 0, body_), -28);
}

TEST_F(MDBuildTest, TextAndArraysAreFittedToTheirDefinition)
{
    open();
    ASSERT_EQ(select("S2F41"), 0);
    uint16_t two[2] = {1, 0x0203};
    EXPECT_EQ(put("rcmd", 0, "ABC"), 0);
    EXPECT_EQ(put("PARAMS", 2, two), 0);
    EXPECT_EQ(put("NOTE", 0, "ABCDEFGHIJ"), 0);   // variable text: cut to its maximum
    EXPECT_EQ(put("LABEL", 0, "ABCDEFG"), 0);     // 2-byte text: up to max - 1 bytes
    Bytes want = cat({{0x01, 0x04}, hdr(020, 8), text("ABC     "), hdr(052, 8), {0, 1, 2, 3, 0, 0, 0, 0},
                      hdr(020, 5), text("ABCDE"), hdr(022, 6), {0x00, 0x08}, text("ABCD")});
    EXPECT_EQ(build(), want);

    ASSERT_EQ(select("S2F41"), 0);
    EXPECT_EQ(put("RCMD", 0, "ABCDEFGHIJ"), 0);
    Bytes body = build();
    ASSERT_GT(body.size(), 12u);
    EXPECT_EQ(Bytes(body.begin() + 2, body.begin() + 12), cat({hdr(020, 8), text("ABCDEFGH")}));
    EXPECT_EQ(put("RCMD", -1, "A"), -22);
}

TEST_F(MDBuildTest, VariableListWithoutCountBuildsEmptyAndKeepsOtherValues)
{
    open();
    ASSERT_EQ(select("S6F11"), 0);
    uint32_t ceid = 5;
    EXPECT_EQ(put("CEID", 1, &ceid), 0);
    EXPECT_EQ(build(), cat({{0x01, 0x03}, u4(7), u4(5), {0x01, 0x00}}));
}

TEST_F(MDBuildTest, ListCountRepeatsEntriesAndDropsEarlierValues)
{
    open();
    ASSERT_EQ(select("S6F11"), 0);
    uint32_t v = 9;
    EXPECT_EQ(put("CEID", 1, &v), 0);           // lost by the count below
    EXPECT_EQ(put("VALLIST", 3, nullptr), 0);
    EXPECT_EQ(put("VAL", 1, &v), -2);            // the entries are VAL:1..3 now
    for (uint32_t k = 1; k <= 3; ++k) {
        uint32_t val = 100 + k;
        EXPECT_EQ(put(("VAL:" + std::to_string(k)).c_str(), 1, &val), 0);
    }
    EXPECT_EQ(build(), cat({{0x01, 0x03}, u4(7), u4(0), {0x01, 0x03}, u4(101), u4(102), u4(103)}));

    // A count given as a value, after the entry values: they are lost.
    ASSERT_EQ(select("S6F11"), 0);
    int32_t two = 2;
    EXPECT_EQ(put("VALLIST", 5, &two), 0);
    EXPECT_EQ(put("VAL:1", 1, &v), 0);
    EXPECT_EQ(put("VALLIST", 0, &two), 0);
    EXPECT_EQ(build(), cat({{0x01, 0x03}, u4(7), u4(0), {0x01, 0x02}, u4(0), u4(0)}));

    // Count 0 leaves the entry out.
    ASSERT_EQ(select("S6F11"), 0);
    EXPECT_EQ(put("VALLIST", 0, nullptr), 0);
    EXPECT_EQ(build(), cat({{0x01, 0x03}, u4(7), u4(0), {0x01, 0x00}}));
}

TEST_F(MDBuildTest, TimeTemplateCarriesTheBuildTime)
{
    open();
    auto now = [] {
        int32_t d = 0, c = 0;
        XKWTimeStamp(&d, &c, nullptr);
        return int64_t{d} * 1000000 + c;
    };
    int64_t before = now();
    ASSERT_EQ(select("S9F9"), 0);
    Bytes body = build();
    int64_t after = now();
    ASSERT_EQ(body.size(), 21u);
    std::string s(body.begin() + 2, body.end());
    int y, mo, d, h, mi, se;
    ASSERT_EQ(std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &se), 6) << s;
    EXPECT_EQ(s[4], '-');
    EXPECT_EQ(s[13], ':');
    int64_t built = (int64_t{y} * 10000 + mo * 100 + d) * 1000000 + h * 10000 + mi * 100 + se;
    EXPECT_GE(built, before);
    EXPECT_LE(built, after);
}

TEST_F(MDBuildTest, WorkingAreaTooSmallFailsTheSelection)
{
    // S1F2 loads 3 message items and 4 item records (2 preset).
    const char* one = "S1F2 E\n<L[2]\n<A[6]MDLN ALPHA1\n<A[6]SOFTREV V1.0\n";
    {
        MDSession s("MDMXMITEM=3\n");
        int32_t h = s.open("t.sml", one, XKS_MD_LOCK);
        ASSERT_GT(h, 0);
        EXPECT_EQ(XKSMDSelect(h, 0, nullptr, 100, "S1F2"), XKS_E_MDMITEM);
        EXPECT_TRUE(lock_free_elsewhere(MDSession::table(h)));
    }
    {
        MDSession s("MDMXITEM=5\n");
        int32_t h = s.open("t.sml", one);
        ASSERT_GT(h, 0);
        EXPECT_EQ(XKSMDSelect(h, 0, nullptr, 100, "S1F2"), XKS_E_MDITEM);
        EXPECT_EQ(XKSMDBuild(h, 0, body_), -2);  // nothing selected
    }
    {
        // Room for one instance, not for the rebuild a list count needs:
        // the instance in place stays usable.
        MDSession s("MDMXMITEM=12\n");
        int32_t h = s.open("t.sml", "S6F11 E\n<L[2]\n<U4[1]X\n<L[0..N]VALS\n<U4[1]VAL\n");
        ASSERT_GT(h, 0);
        ASSERT_EQ(XKSMDSelect(h, 0, nullptr, sizeof body_, "S6F11"), 0);
        EXPECT_EQ(XKSMDPutItem(h, 0, nullptr, "VALS", 20, nullptr), XKS_E_MDMITEM);
        EXPECT_EQ(XKSMDBuild(h, 0, body_), 10);  // L[2] of U4 0 and an empty list
    }
}

TEST_F(MDBuildTest, FileItemsSendTheFileContents)
{
    open("S7F3 H W\n"
         "<L[3]\n"
         "<B[0..10]@FILEBIN @FILENAME=data.bin\n"
         "<A[6]@FILETXT @FILENAME=short.txt\n"
         "<B[0..4]@FILEGONE @FILENAME=missing.bin\n");
    s_.write("data.bin", std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C", 12));
    s_.write("short.txt", "HI");
    ASSERT_EQ(select("S7F3"), 0);
    EXPECT_EQ(build(), cat({{0x01, 0x03}, hdr(010, 10), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, hdr(020, 6),
                            text("HI    "), hdr(010, 0)}));

    // A name put by the caller; an absolute one is taken as it is.
    std::string other = s_.write("other.bin", "\xAA\xBB");
    ASSERT_EQ(select("S7F3"), 0);
    EXPECT_EQ(put("@FILEGONE", 0, other.c_str()), 0);
    Bytes body = build();
    ASSERT_GE(body.size(), 4u);
    EXPECT_EQ(Bytes(body.end() - 4, body.end()), cat({hdr(010, 2), {0xAA, 0xBB}}));

    // A name that is no regular file (a FIFO nobody writes to) reads as a
    // missing file instead of waiting for ever.
    std::string fifo = other.substr(0, other.rfind('/')) + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(select("S7F3"), 0);
    EXPECT_EQ(put("@FILEGONE", 0, fifo.c_str()), 0);
    body = build();
    ASSERT_GE(body.size(), 2u);
    EXPECT_EQ(Bytes(body.end() - 2, body.end()), hdr(010, 0));
}

TEST_F(MDBuildTest, ParametersWalkTheInstance)
{
    open();
    ASSERT_EQ(select("S6F11"), 0);
    ASSERT_EQ(put("VALLIST", 2, nullptr), 0);
    int32_t first = XKSMDGetParam(h_, 0, 106, nullptr, 0, 0);
    int32_t count = XKSMDGetParam(h_, 0, 105, nullptr, 0, 0);
    ASSERT_EQ(count, 6);
    EXPECT_EQ(XKSMDGetParam(h_, 0, 10, nullptr, 0, 0), MDSession::table(h_)->ment);
    std::vector<std::string> names;
    std::vector<int32_t> forms;
    for (int32_t k = first; k < first + count; ++k) {
        int32_t item = XKSMDGetParam(h_, 0, 501, nullptr, 0, k);
        char name[XKS_MD_NAME];
        XKSMDGetParam(h_, 0, 300, name, sizeof name, item);
        names.push_back(name);
        forms.push_back(XKSMDGetParam(h_, 0, 303, nullptr, 0, item));
        EXPECT_EQ(XKSMDGetParam(h_, 0, 304, nullptr, 0, item), forms.back() == 0 ? 0 : 4);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"", "DATAID", "CEID", "VALLIST", "VAL:1", "VAL:2"}));
    EXPECT_EQ(forms, (std::vector<int32_t>{0, 054, 054, 0, 054, 054}));

    char name[8] = "junk";
    EXPECT_EQ(XKSMDGetParam(h_, 0, 300, name, sizeof name, 1 << 30), 0);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(XKSMDGetParam(h_, 0, 501, nullptr, 0, -1), 0);
    EXPECT_EQ(XKSMDGetParam(h_, 0, 777, nullptr, 0, 0), 0);
    EXPECT_EQ(XKSMDGetParam(999, 0, 10, nullptr, 0, 0), -9);
}

}  // namespace
