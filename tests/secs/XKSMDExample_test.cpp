// The shipped example definitions: both syntaxes describe one table, and
// every message in it builds by name and matches back to itself.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "../support/MDSession.h"
#include "secs/XKSMDMssg.h"
#include "secs/XKSMssg.h"

// Every allocation of the test program is counted; all forms go through
// malloc and free so that they pair up whichever is used (which is what
// the mismatch warning cannot see).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
std::atomic<long> allocations{0};

void* counted(std::size_t size) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size)
{
    if (void* p = counted(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return counted(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return counted(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

class MDExampleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sml_ = XKSMDOpen(0, s_.session(), XKS_SOURCE_DIR "/examples/equipment.sml");
        csv_ = XKSMDOpen(0, s_.session(), XKS_SOURCE_DIR "/examples/equipment.csv");
        ASSERT_GT(sml_, 0);
        ASSERT_GT(csv_, 0);
    }
    void TearDown() override
    {
        XKSMDClose(sml_, 0);
        XKSMDClose(csv_, 0);
    }

    MDSession s_;
    int32_t sml_ = 0;
    int32_t csv_ = 0;
};

std::string value_of(const XKSMDMitem& mi, int v)
{
    return std::string(reinterpret_cast<const char*>(mi.value[v]), static_cast<size_t>(mi.vsize[v]));
}

TEST_F(MDExampleTest, BothSyntaxesLoadTheSameTable)
{
    const XKSMDTable* a = MDSession::table(sml_);
    const XKSMDTable* b = MDSession::table(csv_);
    ASSERT_EQ(a->cmssg, b->cmssg);
    ASSERT_EQ(a->citem, b->citem);
    ASSERT_EQ(a->cmitem, b->cmitem);
    EXPECT_GE(a->cmssg, 20);
    for (int32_t i = 0; i < a->cmssg; ++i) {
        const XKSMDMessage& x = a->mssgs[i];
        const XKSMDMessage& y = b->mssgs[i];
        SCOPED_TRACE(x.name);
        EXPECT_STREQ(x.name, y.name);
        EXPECT_EQ(x.sf, y.sf);
        EXPECT_EQ(x.at, y.at);
        EXPECT_EQ(x.noi, y.noi);
        EXPECT_EQ(x.ino, y.ino);
    }
    for (int32_t i = 0; i < a->citem; ++i) {
        const XKSMDItem& x = a->items[i];
        const XKSMDItem& y = b->items[i];
        SCOPED_TRACE(x.name);
        EXPECT_STREQ(x.name, y.name);
        EXPECT_EQ(x.index, i);
        EXPECT_EQ(y.index, i);
        EXPECT_EQ(x.flags, y.flags);
        EXPECT_EQ(x.form, y.form);
        EXPECT_EQ(x.sz, y.sz);
        EXPECT_EQ(x.min, y.min);
        EXPECT_EQ(x.max, y.max);
    }
    for (int32_t i = 0; i < a->cmitem; ++i) {
        const XKSMDMitem& x = a->mitems[i];
        const XKSMDMitem& y = b->mitems[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(x.item, y.item);
        EXPECT_EQ(x.count, y.count);
        for (int v = 0; v < XKS_MD_VALUES; ++v)
            EXPECT_EQ(value_of(x, v), value_of(y, v)) << "value " << v;
    }
}

TEST_F(MDExampleTest, EveryMessageBuildsAndMatchesBackWithItsValues)
{
    XKSMDTable* t = MDSession::table(sml_);
    for (int32_t m = 0; m < t->cmssg; ++m) {
        const XKSMDMessage def = t->mssgs[m];
        SCOPED_TRACE(def.name);
        uint8_t body[4096];
        ASSERT_EQ(XKSMDSelect(sml_, 0, nullptr, sizeof body, def.name), 0);
        int32_t len = XKSMDBuild(sml_, 0, body);
        ASSERT_GE(len, 0);

        // What the built instance sent, by item name.
        std::vector<std::pair<std::string, std::string>> sent;
        for (int32_t k = 0; k < t->cur.noi; ++k) {
            const XKSMDMitem& mi = t->mitems[t->cur.ino + k];
            const XKSMDItem& it = t->items[mi.item];
            if (!mi.excluded && it.sz > 0 && it.name[0] != '\0')
                sent.emplace_back(it.name, value_of(mi, 0));
        }

        char name[XKS_MD_NAME] = "";
        int32_t want = def.sf | ((def.at & XKS_MD_W) ? 0x8000 : 0);
        ASSERT_EQ(XKSMDMatch(sml_, 0, body, len, def.sf, name), want);
        EXPECT_STREQ(name, def.name);
        for (const auto& [item, value] : sent) {
            SCOPED_TRACE(item);
            char got[256] = {};
            int32_t size = 0;
            int32_t n = XKSMDGetItem(sml_, 0, nullptr, item.c_str(), 0, got, nullptr, &size);
            ASSERT_GE(n, 0);
            std::string read(got, static_cast<size_t>(n * size));
            if (item == "@TIME") {
                ASSERT_EQ(read.size(), 16u);
                for (int i = 0; i < 14; ++i)
                    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(read[i]))) << read;
                EXPECT_EQ(read.substr(14), "00");
            } else {
                EXPECT_EQ(read, value);
            }
        }
        EXPECT_EQ(XKSMDMatchEnd(sml_, 0, nullptr), 0);
    }
}

// Counts set for an outer list and then for the lists inside its entries
// are all kept: two reports of two and one values.
TEST_F(MDExampleTest, NestedListCountsBuildAndMatchBack)
{
    uint8_t body[512];
    ASSERT_EQ(XKSMDSelect(sml_, 0, nullptr, sizeof body, "S6F11"), 0);
    uint32_t two = 2, one = 1;
    ASSERT_EQ(XKSMDPutItem(sml_, 0, nullptr, "RPTLIST", 0, &two), 0);
    ASSERT_EQ(XKSMDPutItem(sml_, 0, nullptr, "VLIST:1", 0, &two), 0);
    ASSERT_EQ(XKSMDPutItem(sml_, 0, nullptr, "VLIST:2", 0, &one), 0);
    const uint32_t values[] = {11, 21, 22, 31};  // RPTID:1, V:1, V:2, RPTID:2
    ASSERT_EQ(XKSMDPutItem(sml_, 0, nullptr, "RPTID:1", 1, &values[0]), 0);
    ASSERT_EQ(XKSMDPutItem(sml_, 0, nullptr, "V:1", 1, &values[1]), 0);
    ASSERT_EQ(XKSMDPutItem(sml_, 0, nullptr, "V:2", 1, &values[2]), 0);
    ASSERT_EQ(XKSMDPutItem(sml_, 0, nullptr, "RPTID:2", 1, &values[3]), 0);
    int32_t len = XKSMDBuild(sml_, 0, body);
    const uint8_t want[] = {0x01, 3, 0xB1, 4, 0, 0, 0, 1, 0xB1, 4, 0, 0, 0, 100,  // DATAID, CEID
                            0x01, 2,                                           // two reports
                            0x01, 2, 0xB1, 4, 0, 0, 0, 11, 0x01, 2, 0xB1, 4, 0, 0, 0, 21, 0xB1, 4, 0, 0, 0, 22,
                            0x01, 2, 0xB1, 4, 0, 0, 0, 31, 0x01, 1, 0xB1, 4, 0, 0, 0, 0};
    ASSERT_EQ(std::vector<uint8_t>(body, body + len), std::vector<uint8_t>(want, want + sizeof want));

    ASSERT_EQ(XKSMDMatch(sml_, 0x3000, body, len, 0x060B, nullptr), 0x860B);
    for (auto [name, value] : {std::pair{"RPTID:1", 11u}, {"V:2", 22u}, {"RPTID:2", 31u}}) {
        uint32_t got = 0;
        EXPECT_EQ(XKSMDGetItem(sml_, 0, nullptr, name, 0, &got, nullptr, nullptr), 1) << name;
        EXPECT_EQ(got, value) << name;
    }
    uint32_t count = 0;
    EXPECT_EQ(XKSMDGetItem(sml_, 0, nullptr, "VLIST:1", 0, &count, nullptr, nullptr), 1);
    EXPECT_EQ(count, 2u);
    XKSMDMatchEnd(sml_, 0, nullptr);
}

TEST_F(MDExampleTest, BuildingAndMatchingAllocateNothing)
{
    uint8_t body[512];
    uint32_t two = 2, value = 5;
    auto round = [&] {
        XKSMDSelect(sml_, 0, nullptr, sizeof body, "S6F11");
        XKSMDPutItem(sml_, 0, nullptr, "RPTLIST", 0, &two);
        XKSMDPutItem(sml_, 0, nullptr, "VLIST:2", 0, &two);
        XKSMDPutItem(sml_, 0, nullptr, "V:1", 1, &value);
        int32_t len = XKSMDBuild(sml_, 0, body);
        int32_t rc = XKSMDMatch(sml_, 0x3000, body, len, 0x060B, nullptr);
        XKSMDGetItem(sml_, 0, nullptr, "V:1", 0, &value, nullptr, nullptr);
        XKSMDMatchEnd(sml_, 0, nullptr);
        return rc;
    };
    ASSERT_EQ(round(), 0x860B);
    long before = allocations.load();
    for (int i = 0; i < 100; ++i)
        round();
    EXPECT_EQ(allocations.load() - before, 0);
}

}  // namespace
