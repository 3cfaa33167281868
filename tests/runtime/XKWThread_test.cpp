// Threads and thread locks: start, name, stack size, early end; re-entry,
// try-enter, wrong-thread release and the 256-entry lock table.
#include "runtime/XKWThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "runtime/XKWResult.h"

namespace {

// Poll a flag until it is set or five seconds have passed.
bool wait_for(const std::atomic<int>& flag)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (flag.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag.load() != 0;
}

struct probe {
    uint64_t self = 0;
    size_t stack = 0;
    char name[32] = {};
    int after_end = 0;
    std::atomic<int> done{0};
};

void record(void* p)
{
    auto* pr = static_cast<probe*>(p);
    pr->self = static_cast<uint64_t>(pthread_self());
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &pr->stack);
    pthread_attr_destroy(&attr);
    pthread_getname_np(pthread_self(), pr->name, sizeof pr->name);
    pr->done = 1;  // last touch of *pr: the test may return right after
}

struct set_on_unwind {
    probe* pr;
    ~set_on_unwind() { pr->done = 1; }
};

void end_early(void* p)
{
    set_on_unwind guard{static_cast<probe*>(p)};
    XKWThreadEnd();
    guard.pr->after_end = 1;  // never reached
}

}  // namespace

TEST(ThreadTest, StartRunsNamedThreadWithStackAndWritesItsId)
{
    probe pr, tiny;
    uint64_t handle = 0;
    ASSERT_EQ(XKWThreadStart(&handle, 1 << 20, record, &pr, "XKSCThreadRecvHSMS"), 0);
    uint64_t id = XKWThreadBegin(1, record, &tiny);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(wait_for(pr.done) && wait_for(tiny.done));
    EXPECT_EQ(pr.self, handle);
    EXPECT_EQ(tiny.self, id);
    EXPECT_STREQ(pr.name, "XKSCThreadRecvH");  // 15 characters
    EXPECT_GE(pr.stack, size_t{1} << 20);
    EXPECT_LT(pr.stack, (size_t{1} << 20) + (size_t{64} << 10));
    EXPECT_GE(tiny.stack, static_cast<size_t>(PTHREAD_STACK_MIN));  // raised to the minimum

    EXPECT_EQ(XKWThreadStart(&handle, 0, nullptr, nullptr), XKW_E_FAIL);
    EXPECT_EQ(XKWThreadBegin(0, nullptr, nullptr), 0u);
}

TEST(ThreadTest, ThreadEndStopsTheThreadAndUnwindsItsStack)
{
    probe pr;
    ASSERT_NE(XKWThreadBegin(0, end_early, &pr), 0u);
    ASSERT_TRUE(wait_for(pr.done));
    EXPECT_EQ(pr.after_end, 0);
}

class LockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(XKWLockInit(&lock_), 0); }
    void TearDown() override { XKWLockDelete(&lock_); }

    // Result of a try-enter from another thread (released again when taken).
    int32_t try_elsewhere()
    {
        int32_t rc = 99;
        std::thread([&] {
            if ((rc = XKWLockEnter(&lock_, 1)) == 0)
                XKWLockLeave(&lock_);
        }).join();
        return rc;
    }

    XKWLock lock_{};
};

TEST_F(LockTest, ClearedOrDeletedLockAndInvalidHandlesGiveMinus9)
{
    XKWLock lock{};
    EXPECT_EQ(XKWLockEnter(&lock, 0), XKW_E_BADHANDLE);
    EXPECT_EQ(XKWLockLeave(&lock), XKW_E_BADHANDLE);
    ASSERT_EQ(XKWLockInit(&lock), 0);
    EXPECT_EQ(XKWLockDelete(&lock), 0);
    EXPECT_EQ(XKWLockEnter(&lock, 0), XKW_E_BADHANDLE);
    EXPECT_EQ(XKWLockDelete(&lock), XKW_E_BADHANDLE);

    for (int32_t bad : {0, 257, 1})  // 1: not allocated
        EXPECT_EQ(XKWLockEnterId(bad, 0), XKW_E_BADHANDLE) << bad;
    EXPECT_EQ(XKWLockLeaveId(1), XKW_E_BADHANDLE);
    EXPECT_EQ(XKWLockDeleteId(1), XKW_E_BADHANDLE);
}

TEST_F(LockTest, OwnerReentersAndOthersGetItOnlyAfterTheLastLeave)
{
    ASSERT_EQ(XKWLockEnter(&lock_, 0), 0);
    ASSERT_EQ(XKWLockEnter(&lock_, 1), 0);  // a try by the owner re-enters
    EXPECT_EQ(XKWLockLeave(&lock_), 0);
    EXPECT_EQ(try_elsewhere(), XKW_E_FAIL);
    EXPECT_EQ(XKWLockLeave(&lock_), 0);
    EXPECT_EQ(try_elsewhere(), 0);
    EXPECT_EQ(XKWLockLeave(&lock_), XKW_E_FAIL);  // no longer held
}

TEST_F(LockTest, TryOnLockHeldByAnotherThreadFailsAtOnceAndLeaveThereIsRefused)
{
    std::atomic<int> held{0}, release{0};
    std::thread holder([&] {
        XKWLockEnter(&lock_, 0);
        held = 1;
        wait_for(release);
        XKWLockLeave(&lock_);
    });
    ASSERT_TRUE(wait_for(held));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(XKWLockEnter(&lock_, 1), XKW_E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(XKWLockLeave(&lock_), XKW_E_FAIL);
    EXPECT_EQ(XKWLockEnter(&lock_, 1), XKW_E_FAIL);  // still the holder's
    release = 1;
    holder.join();
    EXPECT_EQ(XKWLockEnter(&lock_, 1), 0);
    EXPECT_EQ(XKWLockLeave(&lock_), 0);
}

TEST_F(LockTest, TableHolds256LocksThenReportsFullAndReusesLowestFreeEntry)
{
    std::vector<int32_t> handles;
    for (int i = 0; i < 256; ++i) {
        handles.push_back(XKWLockCreateId());
        ASSERT_EQ(handles.back(), i + 1);
    }
    EXPECT_EQ(XKWLockCreateId(), XKW_E_FULL);
    ASSERT_EQ(XKWLockDeleteId(200), 0);
    ASSERT_EQ(XKWLockDeleteId(7), 0);
    EXPECT_EQ(XKWLockCreateId(), 7);
    EXPECT_EQ(XKWLockCreateId(), 200);
    for (int32_t h : handles)
        EXPECT_EQ(XKWLockDeleteId(h), 0);
}
