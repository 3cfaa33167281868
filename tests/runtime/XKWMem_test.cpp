// Named shared memory: new areas are zero-filled and 4 bytes larger, later
// maps keep the first size, a fork()ed child's writes reach the parent
// (also under a name with "\" and "/"), first maps racing in several
// processes agree on one area, and an area left empty is sized.
#include "runtime/XKWMem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "runtime/XKWResult.h"

namespace {

// Exit status of a child that ends by itself.
int reap(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class MemTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (auto& m : maps_)
            XKWMemUnmap(m.first, &m.second);
        for (auto& n : names_)
            XKWMemRemove(n.c_str());
    }

    // A name of this run, removed after the test.
    const char* name(const std::string& tag)
    {
        names_.push_back("xkwtest_" + std::to_string(getpid()) + "_" + tag);
        return names_.back().c_str();
    }

    // Map `n`, unmapped again after the test.
    unsigned char* map(const char* n, int32_t size, XKWMemMapping& m)
    {
        void* p = XKWMemMap(n, size, &m);
        if (p != nullptr)
            maps_.push_back({p, m});
        return static_cast<unsigned char*>(p);
    }

    std::deque<std::string> names_;
    std::vector<std::pair<void*, XKWMemMapping>> maps_;
};

}  // namespace

TEST_F(MemTest, NewAreaIsZeroFilledFourBytesLargerAndLaterMapsKeepItsSize)
{
    const char* n = name("new");
    XKWMemMapping m1{}, m2{}, z{};
    unsigned char* p1 = map(n, 1000, m1);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(m1.size, 1004u);
    EXPECT_EQ(m1.created, 1);
    EXPECT_EQ(std::count(p1, p1 + 1004, 0), 1004);
    p1[1003] = 0xA5;
    unsigned char* p2 = map(n, 5000, m2);
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(m2.size, 1004u);
    EXPECT_EQ(m2.created, 0);
    EXPECT_EQ(p2[1003], 0xA5);
    ASSERT_NE(map(name("zero"), 0, z), nullptr);
    EXPECT_EQ(z.size, 4u);

    uint32_t number = static_cast<uint32_t>(getpid()) * 10u + 3u;
    char text[16];
    std::snprintf(text, sizeof text, "%12u", number);
    names_.push_back(text);
    auto* by_number = static_cast<unsigned char*>(XKWMemMapNo(number, 8, &m1));
    ASSERT_NE(by_number, nullptr);
    maps_.push_back({by_number, m1});
    by_number[0] = 9;
    unsigned char* by_name = map(text, 8, m2);
    ASSERT_NE(by_name, nullptr);
    EXPECT_EQ(by_name[0], 9);
}

TEST_F(MemTest, ChildWritesReachParentUnderNamesWithSlashOrBackslash)
{
    std::string odd = "xkwtest\\" + std::to_string(getpid()) + "/a\\b/c";
    XKWMemMapping m{};
    unsigned char* p = map(name("a_b_c"), 64, m);
    ASSERT_NE(p, nullptr);
    pid_t child = fork();
    if (child == 0) {
        XKWMemMapping cm{};
        auto* q = static_cast<unsigned char*>(XKWMemMap(odd.c_str(), 64, &cm));
        if (q == nullptr || cm.created != 0 || cm.size != 68)
            _exit(1);
        for (int i = 0; i < 68; ++i)
            q[i] = static_cast<unsigned char>(i + 1);
        _exit(0);
    }
    ASSERT_EQ(reap(child), 0);
    for (int i = 0; i < 68; ++i)
        ASSERT_EQ(p[i], i + 1) << "byte " << i;

    // Only the first 1023 characters of a name count.
    std::string cut = std::string(name(std::string(1100, 'C'))).substr(0, 1023) + "-beyond";
    unsigned char* full = map(names_.back().c_str(), 8, m);
    unsigned char* same = map(cut.c_str(), 8, m);
    ASSERT_TRUE(full != nullptr && same != nullptr);
    full[0] = 42;
    EXPECT_EQ(same[0], 42);
}

TEST_F(MemTest, FirstMapsRacingInSeveralProcessesAgreeOnOneArea)
{
    const char* n = name("race");
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < 6; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char c;
            (void)!read(go[0], &c, 1);  // returns when the parent closes its end
            XKWMemMapping m{};
            void* q = XKWMemMap(n, 4096, &m);
            if (q == nullptr || m.size != 4100)
                _exit(9);
            std::atomic_ref<uint32_t>(*static_cast<uint32_t*>(q)).fetch_add(1);
            _exit(m.created);  // 1 for the one that sized the area
        }
        pids.push_back(pid);
    }
    close(go[0]);
    close(go[1]);
    int creators = 0;
    for (pid_t pid : pids) {
        int rc = reap(pid);
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
        creators += rc;
    }
    EXPECT_EQ(creators, 1);
    XKWMemMapping m{};
    unsigned char* p = map(n, 4096, m);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(p), 6u);
}

TEST_F(MemTest, AreaLeftEmptyByDeadCreatorIsSizedAndBadArgumentsFail)
{
    const char* n = name("empty");
    int fd = shm_open(("/" + std::string(n)).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    XKWMemMapping m{};
    unsigned char* p = map(n, 60, m);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(m.size, 64u);
    EXPECT_EQ(m.created, 1);

    EXPECT_EQ(XKWMemMap(nullptr, 8, &m), nullptr);
    EXPECT_EQ(XKWMemMap(name("bad"), -1, &m), nullptr);
    EXPECT_EQ(XKWMemRemove(names_.back().c_str()), XKW_E_NOTFOUND);  // nothing was made
    void* q = XKWMemMap(names_.back().c_str(), 8, &m);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(XKWMemUnmap(q, &m), 0);
    EXPECT_EQ(XKWMemUnmap(q, &m), XKW_E_INVAL);  // already unmapped
    EXPECT_EQ(XKWMemRemove(names_.back().c_str()), 0);
}
