#include "runtime/XKWHandle.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

struct Obj {
    int value;
};

class HandleTableTest : public ::testing::Test {
protected:
    void TearDown() override { XKWThreadSafe(0); }
};

}  // namespace

TEST_F(HandleTableTest, LowestFreeEntryFirstAndFullTableGivesMinus28)
{
    XKWHandleTable<Obj, 4> table;
    Obj* p = nullptr;
    EXPECT_EQ(table.Alloc(&p), 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->value, 0);
    EXPECT_EQ(table.Alloc(nullptr), 2);
    EXPECT_EQ(table.Alloc(nullptr), 3);
    EXPECT_EQ(table.Free(2), 0);
    EXPECT_EQ(table.Alloc(nullptr), 2);
    EXPECT_EQ(table.Alloc(nullptr), 4);
    EXPECT_EQ(table.Alloc(nullptr), XKW_E_FULL);
    for (int32_t h = 1; h <= 4; ++h)
        EXPECT_EQ(table.Free(h), 0);
}

TEST_F(HandleTableTest, HighestFirstTableAllocatesFromTheTop)
{
    XKWHandleTable<Obj, 4> table(true);
    EXPECT_EQ(table.Alloc(nullptr), 4);
    EXPECT_EQ(table.Alloc(nullptr), 3);
    EXPECT_EQ(table.Free(4), 0);
    EXPECT_EQ(table.Alloc(nullptr), 4);
    EXPECT_EQ(table.Free(4), 0);
    EXPECT_EQ(table.Free(3), 0);
}

TEST_F(HandleTableTest, InvalidOrFreedHandlesAreRefused)
{
    XKWHandleTable<Obj, 4> table;
    EXPECT_EQ(table.Get(0), nullptr);
    EXPECT_EQ(table.Get(5), nullptr);
    EXPECT_EQ(table.Get(1), nullptr);
    EXPECT_EQ(table.Free(1), XKW_E_BADHANDLE);
    EXPECT_EQ(table.Free(-3), XKW_E_BADHANDLE);
    int32_t h = table.Alloc(nullptr);
    EXPECT_NE(table.Get(h), nullptr);
    EXPECT_EQ(table.Free(h), 0);
    EXPECT_EQ(table.Get(h), nullptr);
    EXPECT_EQ(table.Free(h), XKW_E_BADHANDLE);
}

TEST_F(HandleTableTest, FailedOpenFreesTheEntryAgain)
{
    XKWHandleTable<Obj, 2> table;
    EXPECT_EQ(table.Open([](Obj&) { return XKW_E_NOTFOUND; }), XKW_E_NOTFOUND);
    EXPECT_EQ(table.Get(1), nullptr);
    int32_t h = table.Open([](Obj& o) {
        o.value = 7;
        return 0;
    });
    ASSERT_EQ(h, 1);
    EXPECT_EQ(table.Get(h)->value, 7);
    EXPECT_EQ(table.Free(h), 0);
}

TEST_F(HandleTableTest, ConcurrentAllocationUnderThreadSafeSwitchGivesDistinctHandles)
{
    ASSERT_EQ(XKWThreadSafe(1), 1);
    XKWHandleTable<Obj, XKW_HANDLES> table;
    std::vector<std::vector<int32_t>> got(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 64; ++i)
                got[t].push_back(table.Alloc(nullptr));
        });
    for (auto& th : threads)
        th.join();
    std::set<int32_t> all;
    for (auto& v : got)
        all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), 256u);
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), 256);
    EXPECT_EQ(table.Alloc(nullptr), XKW_E_FULL);
    for (int32_t h : all)
        EXPECT_EQ(table.Free(h), 0);
}

TEST_F(HandleTableTest, RetiredEntryIsNeitherPinnedNorReusedUntilFreedOrRestored)
{
    XKWHandleTable<Obj, 2> table;
    Obj* p = nullptr;
    ASSERT_EQ(table.Alloc(&p), 1);
    EXPECT_EQ(table.Pin(1), p);
    EXPECT_EQ(table.Pin(2), nullptr);  // empty: nothing to unpin
    EXPECT_EQ(table.Retire(1), p);
    EXPECT_EQ(table.Retire(1), nullptr);  // a second close finds it retiring
    EXPECT_TRUE(table.Pinned(1));         // the pin taken before still holds it
    EXPECT_EQ(table.Pin(1), nullptr);
    EXPECT_EQ(table.Alloc(nullptr), 2);  // entry 1 is not handed out again
    table.Unpin(1);
    EXPECT_FALSE(table.Pinned(1));
    table.Restore(1);
    EXPECT_EQ(table.Pin(1), p);
    table.Unpin(1);
    ASSERT_EQ(table.Retire(1), p);
    EXPECT_EQ(table.Free(1), 0);
    EXPECT_EQ(table.Pin(1), nullptr);
    EXPECT_EQ(table.Alloc(nullptr), 1);
    EXPECT_NE(table.Pin(1), nullptr);
    table.Unpin(1);
    EXPECT_EQ(table.Free(1), 0);
    EXPECT_EQ(table.Free(2), 0);
}
