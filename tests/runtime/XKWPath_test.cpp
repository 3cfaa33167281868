#include "runtime/XKWPath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

TEST(PathSplitTest, BaseAndDirSplitAtTheLastSeparatorKeepingRootsWhole)
{
    EXPECT_STREQ(XKWPathBase("a\\b/c\\d"), "d");
    EXPECT_STREQ(XKWPathBase("C:x.ini"), "x.ini");
    EXPECT_STREQ(XKWPathBase("dir/"), "");
    EXPECT_STREQ(XKWPathDir("a/b/c"), "a/b");
    EXPECT_STREQ(XKWPathDir("/x"), "/");
    EXPECT_STREQ(XKWPathDir("C:/x"), "C:/");
    EXPECT_STREQ(XKWPathDir("C:\\x\\y"), "C:\\x");
    EXPECT_STREQ(XKWPathDir("C:x"), "C:");
    EXPECT_STREQ(XKWPathDir("x"), "");
    // 0x95 0x5C is one Shift-JIS character ending in the byte of '\'.
    EXPECT_STREQ(XKWPathBase("a/\x95\x5C" "b"), "\x95\x5C" "b");
    EXPECT_STREQ(XKWPathDir("a/\x95\x5C" "b"), "a");
}

TEST(PathSplitTest, DirKeepsItsLast64ResultsAndTruncatesLongOnes)
{
    const char* r[64];
    std::string in[64];
    for (int i = 0; i < 64; ++i)
        r[i] = XKWPathDir((in[i] = "d" + std::to_string(i) + "/f").c_str());
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(std::string(r[i]), "d" + std::to_string(i));
    std::string longer = std::string(400, 'a') + "/f";
    EXPECT_EQ(std::string(XKWPathDir(longer.c_str())), std::string(XKW_PATH_MAX - 1, 'a'));
}

TEST(PathSplitTest, ExtAndStemSplitAtTheLastDotOfTheBaseName)
{
    EXPECT_STREQ(XKWPathExt("trace.0001.trc"), "trc");
    EXPECT_STREQ(XKWPathExt("trace"), "");
    EXPECT_STREQ(XKWPathExt("a.d/trace"), "");
    EXPECT_STREQ(XKWPathExt("x/.."), "");
    EXPECT_STREQ(XKWPathStem("trace.0001.trc"), "trace.0001");
    EXPECT_STREQ(XKWPathStem("/t/th0001t.trc"), "th0001t");
    EXPECT_STREQ(XKWPathStem(".profile"), ".profile");
    EXPECT_STREQ(XKWPathStem(".."), "..");
}

TEST(PathJoinTest, SeparatorOnlyWhereNeitherSideHasOne)
{
    char out[32];
    EXPECT_EQ(XKWPathJoin(out, sizeof out, "a", "b", "c.trc", nullptr), 9);
    EXPECT_STREQ(out, "a/b/c.trc");
    XKWPathJoin(out, sizeof out, "C:\\d", "\\b", "x/", "y", nullptr);
    EXPECT_STREQ(out, "C:\\d\\b/x/y");
    XKWPathJoin(out, sizeof out, "", "b", "", "c", nullptr);
    EXPECT_STREQ(out, "b/c");
    XKWPathJoin(out, sizeof out, "\x95\x5C", "x", nullptr);
    EXPECT_STREQ(out, "\x95\x5C/x");
    EXPECT_EQ(XKWPathJoin(out, 6, "ab", "cd", nullptr), 5);
    EXPECT_EQ(XKWPathJoin(out, 6, "ab", "cde", nullptr), -28);
    EXPECT_STREQ(out, "");
}

TEST(PathJoinTest, MakeCreatesTheDirectoriesBeforeTheLastComponent)
{
    char tmpl[] = "/tmp/xkwpathXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string root = tmpl;
    char out[256];
    struct stat st {};
    EXPECT_GT(XKWPathJoinMake(out, sizeof out, tmpl, "d1/d2", "th0001t.trc", nullptr), 0);
    EXPECT_EQ(out, root + "/d1/d2/th0001t.trc");
    EXPECT_TRUE(stat((root + "/d1/d2").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_NE(stat(out, &st), 0);

    EXPECT_GT(XKWPathJoinMake(out, sizeof out, tmpl, "d3/", nullptr), 0);
    EXPECT_EQ(stat((root + "/d3").c_str(), &st), 0);

    std::fclose(std::fopen((root + "/f").c_str(), "w"));
    EXPECT_EQ(XKWPathJoinMake(out, sizeof out, tmpl, "f/sub/x", nullptr), -ENOTDIR);
    std::system(("rm -rf '" + root + "'").c_str());
}

TEST(PathNormalTest, FoldsSeparatorsDotsAndParents)
{
    const char* cases[][2] = {
        {"a//b/c", "a/b/c"}, {"a\\/\\b///c", "a\\b/c"},
        {"/x/y/../z", "/x/z"}, {"/x/./y", "/x/y"}, {"C:/x/..", "C:/"},
        {"/x/y/..", "/x/"}, {"x/.", "x/"}, {"C:\\a\\b\\..\\c", "C:\\a\\c"},
        {"a/../b", "b"}, {"a/..", "."}, {"a/b/../../../x", "../x"}, {"../../x", "../../x"},
        // Nothing is above the root.
        {"/../x", "/x"}, {"/./../x", "/x"}, {"/..", "/"}, {"/./", "/"}, {"/x/../../y", "/y"},
        // Only whole "." and ".." components count.
        {"/.profile", "/.profile"}, {"/..x/y", "/..x/y"}, {"a/.../b", "a/.../b"},
        {"a/\x95\x5C/../b", "a/b"},
    };
    for (const auto& c : cases) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s", c[0]);
        EXPECT_EQ(XKWPathNormal(buf), static_cast<int32_t>(std::strlen(c[1]))) << c[0];
        EXPECT_STREQ(buf, c[1]) << c[0];
    }
}
