#include "runtime/XKWSort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {
struct Named {
    char name[32];
    int32_t id;
};
}  // namespace

TEST(SortTest, TextKeyOrdersAndKeepsEqualKeysAdjacent)
{
    std::vector<Named> r{{"ABD", 1}, {"ABC", 2}, {"AB", 3}, {"ABC", 4}, {"AAA", 5}};
    const XKWSortKey key{XKW_SORT_TEXT, 1, 0, 32};
    ASSERT_EQ(XKWSort(r.data(), sizeof(Named), &key, 1, 0, 5), 0);
    const char* want[] = {"AAA", "AB", "ABC", "ABC", "ABD"};
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(r[i].name, want[i]) << i;
}

TEST(SortTest, Int32KeyIsNotFooledByOverflowingDifferences)
{
    std::vector<Named> r{{"", INT32_MIN}, {"", 1}, {"", INT32_MAX}, {"", -1}, {"", 0}};
    const XKWSortKey key{XKW_SORT_I32, -1, offsetof(Named, id), 0};
    ASSERT_EQ(XKWSort(r.data(), sizeof(Named), &key, 1, 0, 5), 0);
    const int32_t want[] = {INT32_MAX, 1, 0, -1, INT32_MIN};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(r[i].id, want[i]) << i;
}

TEST(SortTest, LaterKeysBreakTiesAndIgnoredKeysAreNeverRead)
{
    struct Rec {
        uint8_t group;
        uint16_t u;
        int16_t s;
    };
    std::vector<Rec> r{{2, 1, 5}, {1, 0xFFFF, -3}, {2, 9, 7}, {1, 2, 4}, {1, 0x8000, 4}};
    const XKWSortKey keys[] = {
        {XKW_SORT_U8, 1, offsetof(Rec, group), 0},
        {XKW_SORT_TEXT, 0, 1000, 1000},
        {XKW_SORT_I16, -1, offsetof(Rec, s), 0},
        {XKW_SORT_U16, 1, offsetof(Rec, u), 0},
    };
    ASSERT_EQ(XKWSort(r.data(), sizeof(Rec), keys, 4, 0, 5), 0);
    const uint16_t want_u[] = {2, 0x8000, 0xFFFF, 9, 1};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(r[i].u, want_u[i]) << i;
}

TEST(SortTest, SortsOnlyTheGivenRangeOfUnalignedRecords)
{
    // 13-byte records: id byte at 0, double key at 1. 60 records take the
    // gap through 11; only records 5..54 are sorted.
    constexpr int n = 60, size = 13;
    std::vector<unsigned char> buf(n * size);
    std::vector<double> keys;
    for (int i = 0; i < n; ++i) {
        double k = (i * 7919) % 101 - 50.5;
        buf[i * size] = static_cast<unsigned char>(i);
        std::memcpy(&buf[i * size + 1], &k, 8);
        if (i >= 5 && i < 55)
            keys.push_back(k);
    }
    const std::vector<unsigned char> before = buf;
    const XKWSortKey key{XKW_SORT_F64, 1, 1, 0};
    ASSERT_EQ(XKWSort(buf.data(), size, &key, 1, 5, 50), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 5 * size, before.begin()));
    EXPECT_TRUE(std::equal(buf.begin() + 55 * size, buf.end(), before.begin() + 55 * size));
    std::sort(keys.begin(), keys.end());
    for (int i = 5; i < 55; ++i) {
        double k;
        std::memcpy(&k, &buf[i * size + 1], 8);
        EXPECT_EQ(k, keys[i - 5]) << i;
        EXPECT_EQ(std::memcmp(&before[buf[i * size] * size + 1], &k, 8), 0) << "record torn apart";
    }
}

TEST(SortTest, StringPointerKeysWholeAndBoundedWithNullFirst)
{
    std::vector<const char*> r{"beta2", nullptr, "alpha", "beta1"};
    const XKWSortKey whole{XKW_SORT_PSTR, 1, 0, 0};
    ASSERT_EQ(XKWSort(r.data(), sizeof(char*), &whole, 1, 0, 4), 0);
    EXPECT_EQ(r[0], nullptr);
    EXPECT_STREQ(r[1], "alpha");
    EXPECT_STREQ(r[3], "beta2");
    const XKWSortKey bounded{XKW_SORT_PSTRN, -1, 0, 4};  // "beta1" == "beta2" on 4 bytes
    ASSERT_EQ(XKWSort(r.data(), sizeof(char*), &bounded, 1, 1, 3), 0);
    EXPECT_STREQ(r[3], "alpha");
}

TEST(SortTest, KeysOutsideTheRecordOrOfUnknownTypeAreRefused)
{
    std::vector<Named> r{{"B", 1}, {"A", 2}};
    const XKWSortKey bad[] = {{XKW_SORT_I32, 1, sizeof(Named) - 2, 0}, {8, 1, 0, 0}};
    EXPECT_EQ(XKWSort(r.data(), sizeof(Named), &bad[0], 1, 0, 2), -22);
    EXPECT_EQ(XKWSort(r.data(), sizeof(Named), &bad[1], 1, 0, 2), -22);
    EXPECT_STREQ(r[0].name, "B");
}
