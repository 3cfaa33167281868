// Named mutexes: open and create by name, try and timed waits, recursion,
// release rules, take-over from a fork()ed child that is killed or exits
// while holding the mutex, processes creating one name at once, the name
// rules and the handle forms.
#include "runtime/XKWResource.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "runtime/XKWResult.h"

namespace {

// Run child() in a fork()ed process that exits with its result.
template <class F>
pid_t spawn(F child)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(child());
    return pid;
}

// Exit status of a child, or -1 when it was killed (or hung for 10 s).
int reap(pid_t pid)
{
    int status = 0;
    for (int i = 0; i < 10000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, SIGKILL);  // hung, and not reaped: still our child
    waitpid(pid, &status, 0);
    return -1;
}

// XKWResourceLock from another thread (released again when taken): result
// and milliseconds taken.
std::pair<int32_t, long> lock_elsewhere(XKWResource* r, int32_t try_, int32_t ms)
{
    std::pair<int32_t, long> out{99, 0};
    std::thread([&] {
        auto start = std::chrono::steady_clock::now();
        if ((out.first = XKWResourceLock(r, try_, ms)) == 0)
            XKWResourceUnlock(r);
        out.second = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start).count();
    }).join();
    return out;
}

int32_t try_elsewhere(XKWResource* r)
{
    return lock_elsewhere(r, 1, 0).first;
}

class ResourceTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        XKWResourceClose(&a_);
        XKWResourceClose(&b_);
        for (auto& n : names_)
            XKWResourceRemove(n.c_str());
    }

    // A name of this run, removed after the test.
    const char* name(const std::string& tag)
    {
        names_.push_back("xkwtest." + std::to_string(getpid()) + "." + tag);
        return names_.back().c_str();
    }

    XKWResource a_{};
    XKWResource b_{};
    std::deque<std::string> names_;
};

}  // namespace

TEST_F(ResourceTest, OwnerRelocksTryFailsAtOnceAndTimedWaitGivesUpAfterItsTime)
{
    const char* n = name("busy");
    EXPECT_EQ(XKWResourceOpen(&a_, 0, n), XKW_E_FAIL);
    EXPECT_EQ(XKWResourceRemove(n), XKW_E_NOTFOUND);  // the failed open left nothing
    ASSERT_EQ(XKWResourceOpen(&a_, 1, n), 0);
    EXPECT_EQ(try_elsewhere(&a_), 0);  // created not owned
    ASSERT_EQ(XKWResourceLock(&a_, 0, 0), 0);
    ASSERT_EQ(XKWResourceLock(&a_, 1, 0), 0);
    auto tried = lock_elsewhere(&a_, 1, 5000);  // try ignores ms
    EXPECT_EQ(tried.first, XKW_E_FAIL);
    EXPECT_LT(tried.second, 50);
    auto timed = lock_elsewhere(&a_, 0, 100);
    EXPECT_EQ(timed.first, XKW_E_FAIL);
    EXPECT_GE(timed.second, 95);
    EXPECT_LT(timed.second, 1000);
    int32_t foreign = 0;
    std::thread([&] { foreign = XKWResourceUnlock(&a_); }).join();
    EXPECT_EQ(foreign, XKW_E_FAIL);  // not the owner

    EXPECT_EQ(XKWResourceUnlock(&a_), 0);
    EXPECT_EQ(try_elsewhere(&a_), XKW_E_FAIL);
    EXPECT_EQ(XKWResourceUnlock(&a_), 0);
    EXPECT_EQ(try_elsewhere(&a_), 0);
    EXPECT_EQ(XKWResourceUnlock(&a_), XKW_E_FAIL);
}

TEST_F(ResourceTest, OwnerProcessKilledOrExitingWhileHoldingIsTakenOver)
{
    const char* n = name("dead");
    ASSERT_EQ(XKWResourceOpen(&a_, 1, n), 0);
    for (bool killed : {true, false}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t child = spawn([&] {
            XKWResource r{};
            if (XKWResourceOpen(&r, 0, n) != 0 || XKWResourceLock(&r, 0, 0) != 0)
                return 2;
            (void)!write(fds[1], "L", 1);
            if (killed)
                sleep(30);  // killed long before
            return 0;
        });
        close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        char c;
        ASSERT_TRUE(poll(&p, 1, 5000) == 1 && read(fds[0], &c, 1) == 1);
        close(fds[0]);
        if (killed) {
            EXPECT_EQ(XKWResourceLock(&a_, 0, 100), XKW_E_FAIL);
            kill(child, SIGKILL);
        }
        EXPECT_EQ(reap(child), killed ? -1 : 0);
        EXPECT_EQ(XKWResourceLock(&a_, 0, 1000), 0) << "killed " << killed;
        EXPECT_EQ(XKWResourceUnlock(&a_), 0);  // one release frees it
        EXPECT_EQ(try_elsewhere(&a_), 0);
    }
    // The same for a thread of this process.
    std::thread([&] { XKWResourceLock(&a_, 0, 0); }).join();
    EXPECT_EQ(XKWResourceLock(&a_, 1, 0), 0);
    EXPECT_EQ(XKWResourceUnlock(&a_), 0);
    EXPECT_EQ(try_elsewhere(&a_), 0);
}

TEST_F(ResourceTest, ProcessesCreatingTheSameNameAtOnceShareOneMutex)
{
    const char* n = name("race");
    auto* counter = static_cast<volatile long*>(
        mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(counter, MAP_FAILED);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < 4; ++i)
        pids.push_back(spawn([&] {
            close(go[1]);
            char c;
            (void)!read(go[0], &c, 1);  // returns when the parent closes its end
            XKWResource r{};
            if (XKWResourceOpen(&r, 1, n) != 0)
                return 2;
            for (int k = 0; k < 2000; ++k) {
                if (XKWResourceLock(&r, 0, 0) != 0)
                    return 3;
                *counter = *counter + 1;
                XKWResourceUnlock(&r);
            }
            return 0;
        }));
    close(go[0]);
    close(go[1]);
    for (pid_t pid : pids)
        EXPECT_EQ(reap(pid), 0);
    EXPECT_EQ(*counter, 8000);
    munmap(const_cast<long*>(counter), sizeof(long));
}

TEST_F(ResourceTest, CloseReleasesWhatTheCallerHoldsAndRemoveDropsOnlyTheName)
{
    const char* n = name("close");
    ASSERT_EQ(XKWResourceOpen(&a_, 1, n), 0);
    ASSERT_EQ(XKWResourceOpen(&b_, 0, n), 0);
    ASSERT_EQ(XKWResourceLock(&a_, 0, 0), 0);
    ASSERT_EQ(XKWResourceLock(&a_, 0, 0), 0);
    EXPECT_EQ(try_elsewhere(&b_), XKW_E_FAIL);
    EXPECT_EQ(XKWResourceClose(&a_), 0);
    EXPECT_EQ(try_elsewhere(&b_), 0);
    EXPECT_EQ(XKWResourceClose(&a_), XKW_E_BADHANDLE);
    EXPECT_EQ(XKWResourceLock(&a_, 0, 0), XKW_E_BADHANDLE);

    EXPECT_EQ(XKWResourceRemove(n), 0);
    EXPECT_EQ(XKWResourceOpen(&a_, 0, n), XKW_E_FAIL);
    EXPECT_EQ(lock_elsewhere(&b_, 0, 0).first, 0);  // still usable where open
}

TEST_F(ResourceTest, NameRulesBackslashSlashNumberAndLength)
{
    // "\" counts as "."; "/" cannot be in an object name and counts as "_".
    ASSERT_EQ(XKWResourceOpen(&a_, 1, name("bs\\x")), 0);
    ASSERT_EQ(XKWResourceOpen(&b_, 0, name("bs.x")), 0);
    ASSERT_EQ(XKWResourceLock(&a_, 0, 0), 0);
    EXPECT_EQ(try_elsewhere(&b_), XKW_E_FAIL);
    ASSERT_EQ(XKWResourceUnlock(&a_), 0);
    ASSERT_EQ(XKWResourceOpen(&a_, 1, name("sl/x")), 0);
    EXPECT_EQ(XKWResourceOpen(&b_, 0, name("sl_x")), 0);

    char numbered[32];
    std::snprintf(numbered, sizeof numbered, "XKW%010d", static_cast<int>(getpid()));
    names_.push_back(numbered);
    ASSERT_EQ(XKWResourceOpenNo(&a_, 1, getpid()), 0);
    EXPECT_EQ(XKWResourceOpen(&b_, 0, numbered), 0);

    // Past the system's file name limit names still work and stay apart;
    // only the first 260 characters count.
    std::string head(240, 'L');
    ASSERT_EQ(XKWResourceOpen(&a_, 1, name(head + "-one-" + std::string(60, 'x'))), 0);
    const char* two = name(head + "-two-" + std::string(60, 'x'));
    EXPECT_EQ(XKWResourceOpen(&b_, 0, two), XKW_E_FAIL);
    ASSERT_EQ(XKWResourceOpen(&b_, 1, two), 0);
    EXPECT_EQ(XKWResourceOpen(&b_, 0, (std::string(two).substr(0, 260) + "-cut").c_str()), 0);
}

TEST_F(ResourceTest, HandleFormsWorkAndAFailedOpenFreesItsEntry)
{
    const char* n = name("id");
    int32_t h = XKWResourceOpenId(1, n);
    ASSERT_GE(h, 1);
    ASSERT_EQ(XKWResourceOpen(&a_, 0, n), 0);
    EXPECT_EQ(XKWResourceLockId(h, 0, 100), 0);
    EXPECT_EQ(try_elsewhere(&a_), XKW_E_FAIL);
    EXPECT_EQ(XKWResourceUnlockId(h), 0);
    EXPECT_EQ(XKWResourceCloseId(h), 0);
    EXPECT_EQ(XKWResourceLockId(h, 1, 0), XKW_E_BADHANDLE);
    EXPECT_EQ(XKWResourceCloseId(h), XKW_E_BADHANDLE);
    EXPECT_EQ(XKWResourceOpenId(0, name("id-absent")), XKW_E_FAIL);
    EXPECT_EQ(XKWResourceOpenId(0, n), h);  // the failed open gave its entry back
    EXPECT_EQ(XKWResourceCloseId(h), 0);
}
