#include "runtime/XKWDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

class DirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* f : {"th0001t.trc", "th0002t.trc", "th0001t.log", "Th0003t.trc"})
            std::fclose(std::fopen((root_ + "/" + f).c_str(), "w"));
        ASSERT_EQ(mkdir((root_ + "/200412").c_str(), 0700), 0);
    }

    // Every name of the listing, sorted; the listing must end with 1.
    std::vector<std::string> list(const char* pattern)
    {
        std::vector<std::string> names;
        XKWDir dir;
        EXPECT_EQ(XKWDirOpen(&dir, root_.c_str(), pattern), 0);
        char name[256];
        int32_t rc = 0;
        for (int i = 0; i < 100 && (rc = XKWDirNext(&dir, name, sizeof name)) == 0; ++i)
            names.push_back(name);
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(XKWDirNext(&dir, name, sizeof name), 1);
        XKWDirClose(&dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir tmp_{"xkwdir"};
    std::string root_ = tmp_.path();
};

TEST_F(DirTest, ListsMatchingNamesCaseSensitivelyWithoutDotEntries)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(list("t??????.trc"), (V{"th0001t.trc", "th0002t.trc"}));
    EXPECT_EQ(list("??????"), (V{"200412"}));
    EXPECT_EQ(list(""), (V{"200412", "Th0003t.trc", "th0001t.log", "th0001t.trc", "th0002t.trc"}));
}

TEST_F(DirTest, UnopenedOrClosedListingIsBadHandle)
{
    XKWDir dir;
    char name[32];
    EXPECT_EQ(XKWDirOpen(&dir, (root_ + "/none").c_str(), "*"), -2);
    EXPECT_EQ(XKWDirNext(&dir, name, sizeof name), -9);
    ASSERT_EQ(XKWDirOpen(&dir, root_.c_str(), "*"), 0);
    EXPECT_EQ(XKWDirClose(&dir), 0);
    EXPECT_EQ(XKWDirNext(&dir, name, sizeof name), -9);
}

TEST_F(DirTest, NameTooLongIsFullAndTheListingGoesOn)
{
    XKWDir dir;
    ASSERT_EQ(XKWDirOpen(&dir, root_.c_str(), "th000?t.trc"), 0);
    char name[12];
    EXPECT_EQ(XKWDirNext(&dir, name, 8), -28);
    EXPECT_EQ(XKWDirNext(&dir, name, sizeof name), 0);
    EXPECT_EQ(XKWDirNext(&dir, name, sizeof name), 1);
    XKWDirClose(&dir);
}
