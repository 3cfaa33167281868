// INI files: line syntax, section fallback, environment expansion, the
// limits on lines, names and values, updates in place (exact bytes, failed
// temporary file, updates from several processes at once), handle forms
// and value lists.
#include "runtime/XKWIni.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/TempDir.h"

using Strings = std::vector<std::string>;

class IniTest : public ::testing::Test {
protected:

    std::string write(const std::string& text, const char* name = "t.ini")
    {
        std::string path = root_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    static std::string read(const std::string& path)
    {
        std::ostringstream s;
        s << std::ifstream(path, std::ios::binary).rdbuf();
        return s.str();
    }
    // Every entry of a walk as "SECTION|KEY|VALUE"; the walk must end with -120.
    static Strings walk(const std::string& path, const char* section, int32_t mode = XKW_INI_DEFAULT)
    {
        Strings out;
        XKWIni ini{};
        EXPECT_EQ(XKWIniOpen(&ini, path.c_str(), section), 0);
        XKWIniSetMode(&ini, mode);
        char s[XKW_INI_SECTION], k[XKW_INI_KEY], v[XKW_INI_VALUE];
        int32_t rc = 0;
        for (int i = 0; i < 100 && (rc = XKWIniNext(&ini, s, sizeof s, k, sizeof k, v, sizeof v)) == 0; ++i)
            out.push_back(std::string(s) + "|" + k + "|" + v);
        EXPECT_EQ(rc, -120);
        EXPECT_EQ(XKWIniNext(&ini, s, sizeof s, k, sizeof k, v, sizeof v), -120);
        XKWIniClose(&ini);
        return out;
    }
    std::string get(const std::string& path, const char* section, const char* key, int32_t mode = 1,
                    int32_t want = 0)
    {
        char v[XKW_INI_VALUE] = "junk";
        EXPECT_EQ(XKWIniGetEx(path.c_str(), section, key, v, sizeof v, mode), want) << key;
        return v;
    }

    TempDir tmp_{"xkwini"};
    std::string root_ = tmp_.path();
};

TEST_F(IniTest, LineSyntaxSplitsKeyValueAndComment)
{
    std::string p = write(
        "top = 1\n"
        "[ main sect ]\n"
        "KEY = abc def ; note\n"
        "Q = \"a b\"  tail\n"
        "E = \"say \\\"hi\\\"\"\n"
        "QC = \"abc\"def\n"
        "EMPTY=\n"
        "my key = 5\n"
        "\"quoted key\" = v\n"
        "; c\n# c\n// c\n/* c\n' c\n   # indented\n  \t \n"
        "= no key\n"
        "N = 1 # note\n"
        "CONT = one\\\n"
        "two\n"
        "SPLIT\\\nKEY = v\n"
        "MID = a\\\\b\\q\n"
        "CR = cr\rlf\r\n"
        "lower = MiXed\n"
        "bare\n"
        "SJ = \x95\x5C\n"
        "NEXT = 2");
    EXPECT_EQ(walk(p, nullptr),
              (Strings{"MAINSECT|KEY|abc", "MAINSECT|Q|a b", "MAINSECT|E|say \"hi\"", "MAINSECT|QC|abc",
                       "MAINSECT|EMPTY|", "MAINSECT|MYKEY|5", "MAINSECT|QUOTED KEY|v", "MAINSECT|N|1",
                       "MAINSECT|CONT|onetwo", "MAINSECT|SPLITKEY|v",
                       "MAINSECT|MID|a\\bq", "MAINSECT|CR|crlf",
                       "MAINSECT|LOWER|MiXed", "MAINSECT|BARE|", "MAINSECT|SJ|\x95\x5C", "MAINSECT|NEXT|2"}));
}

TEST_F(IniTest, WantedSectionFallsBackToDefaultAndCommon)
{
    std::string p = write("[DEFAULT]\nKEY=1\n[S]\nKEY=2\n");
    EXPECT_EQ(get(p, "s", "key"), "2");
    p = write("[S]\nOTHER=x\n[DEFAULT]\nKEY=1\n");
    EXPECT_EQ(get(p, "S", "KEY", 1, -2), "");
    p = write("[DEFAULT]\nKEY=1\n[T]\nKEY=3\n[DEFAULT]\nKEY=4\n");
    EXPECT_EQ(get(p, "S", "KEY"), "4");
    EXPECT_EQ(get(p, "S", "KEY", 0, -2), "");
    EXPECT_EQ(get(p, nullptr, "KEY", 0), "4");
    p = write("[COMMON]\nC=7\n[S]\n");
    EXPECT_EQ(get(p, "S", "C", XKW_INI_COMMON), "7");
    EXPECT_EQ(get(p, "S", "C", XKW_INI_DEFAULT, -2), "");
    EXPECT_EQ(get(root_ + "/none.ini", "S", "C", 1, -2), "");

    // Reading ends with the wanted section; a later section of the same name is not read.
    p = write("[S]\nA=1\n[X]\nB=2\n[S]\nC=3\n");
    EXPECT_EQ(walk(p, "S"), (Strings{"S|A|1"}));
    EXPECT_EQ(walk(p, nullptr, 0), (Strings{"S|A|1", "X|B|2", "S|C|3"}));
}

TEST_F(IniTest, EnvironmentReferencesExpandOnlyWithModeBit)
{
    setenv("XKWINI_A", "alpha", 1);
    unsetenv("XKWINI_NONE");
    std::string name259(259, 'N'), name260(260, 'N');
    setenv(name259.c_str(), "long", 1);
    setenv("XKWINI_BIG", std::string(3000, 'b').c_str(), 1);
    std::string p = write("[S]\nP = $(XKWINI_A)/${XKWINI_A}$(XKWINI_NONE)|$(XKWINI_A\n"
                          "L = $(" + name259 + ")$(" + name260 + ")\n"
                          "B = $(XKWINI_BIG)$(XKWINI_BIG)\n");
    Strings plain = walk(p, "S");
    EXPECT_EQ(plain[0], "S|P|$(XKWINI_A)/${XKWINI_A}$(XKWINI_NONE)|$(XKWINI_A");
    Strings expanded = walk(p, "S", XKW_INI_DEFAULT | XKW_INI_ENV);
    ASSERT_EQ(expanded.size(), 3u);
    EXPECT_EQ(expanded[0], "S|P|alpha/alpha|$(XKWINI_A");
    EXPECT_EQ(expanded[1], "S|L|long$(" + name260 + ")");
    EXPECT_EQ(expanded[2], "S|B|" + std::string(4095, 'b'));
}

TEST_F(IniTest, OverlongLinesAndNamesAreCutNeverOverrun)
{
    std::string sect200(200, 'W');
    std::string p = write("[S]\nLONGVAL = " + std::string(5000, 'a') + " \\\nCONT = dropped\nNEXT = ok\n[" + sect200 +
                          "]\nIN = 1\n");
    Strings all = walk(p, nullptr);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], "S|LONGVAL|" + std::string(4095 - 10, 'a'));
    EXPECT_EQ(all[1], "S|NEXT|ok");
    EXPECT_EQ(all[2], std::string(127, 'W') + "|IN|1");

    // A section name too long to hold is refused, and a cut one never matches.
    XKWIni ini{};
    EXPECT_EQ(XKWIniOpen(&ini, p.c_str(), std::string(128, 'W').c_str()), -22);
    EXPECT_EQ(get(p, std::string(127, 'W').c_str(), "IN", 1, -2), "");

    // A small value buffer cuts the value; a key that does not fit skips the entry.
    ASSERT_EQ(XKWIniOpen(&ini, p.c_str(), "S"), 0);
    char s[8], k[5], v[4];
    ASSERT_EQ(XKWIniNext(&ini, s, sizeof s, k, sizeof k, v, sizeof v), 0);
    EXPECT_STREQ(k, "NEXT");
    EXPECT_STREQ(v, "ok");
    XKWIniClose(&ini);
    ASSERT_EQ(XKWIniOpen(&ini, p.c_str(), "S"), 0);
    char big[16];
    ASSERT_EQ(XKWIniNext(&ini, s, sizeof s, big, sizeof big, v, sizeof v), 0);
    EXPECT_STREQ(v, "aaa");
    XKWIniClose(&ini);
}

TEST_F(IniTest, PutReplacesInsertsAndAppendsWithExactLines)
{
    std::string p = root_ + "/new.ini";
    ASSERT_EQ(XKWIniPut(p.c_str(), "S", "Key", "v 1"), 0);
    EXPECT_EQ(read(p), "\n[S]\nKey\t= \"v 1\"\n\n");

    p = write("; head\n[A]\nX = 1 ; old note\n[B]\nY = 2\n");
    ASSERT_EQ(XKWIniPut(p.c_str(), "a", "x", "new"), 0);
    ASSERT_EQ(XKWIniPut(p.c_str(), "A", "Z", "z"), 0);
    ASSERT_EQ(XKWIniPut(p.c_str(), "C", "K", ""), 0);
    EXPECT_EQ(read(p), "; head\n[A]\nx\t= \"new\"\t; old note\nZ\t= \"z\"\n\n[B]\nY = 2\n\n[C]\nK\t= \"\"\n\n");
    EXPECT_NE(access((p + ".tmp").c_str(), F_OK), 0);

    // Every duplicate is replaced, since the last one is the one in force.
    p = write("[S]\nK=1\nK=2\n[T]\nK=9\n");
    ASSERT_EQ(XKWIniPut(p.c_str(), "S", "K", "3"), 0);
    EXPECT_EQ(get(p, "S", "K"), "3");
    EXPECT_EQ(get(p, "T", "K"), "9");

    // A replaced line cut right after a backslash must not join the next line.
    p = write("[S]\nK = 1 " + std::string(4094 - 6, 'c') + "\\zz\n[T]\nX=1\n");
    ASSERT_EQ(XKWIniPut(p.c_str(), "S", "K", "2"), 0);
    EXPECT_EQ(get(p, "T", "X"), "1");

    // A last line without newline, or one ending in a backslash, is closed
    // before the new entry so that it is not joined to it.
    for (const char* tail : {"A=1", "A=1\\", "A=1\\\n"}) {
        p = write(std::string("[S]\n") + tail);
        ASSERT_EQ(XKWIniPut(p.c_str(), "S", "B", "2"), 0);
        EXPECT_EQ(get(p, "S", "A"), "1") << tail;
        EXPECT_EQ(get(p, "S", "B"), "2") << tail;
    }

    // A section line ending the file in a backslash is the same section
    // before and after an update appends to the file.
    p = write("[S]\nA=1\n[T\\");
    ASSERT_EQ(XKWIniPut(p.c_str(), "T", "B", "2"), 0);
    EXPECT_EQ(get(p, "T", "B"), "2");
    EXPECT_EQ(read(p), "[S]\nA=1\n[T\\\n\nB\t= \"2\"\n\n");
}

TEST_F(IniTest, PutRefusesWhatWouldNotReadBackAndNeverLeavesTemp)
{
    const std::string text = "[S]\nK = 1\n";
    std::string p = write(text);
    using Args = std::tuple<const char*, const char*, const char*>;
    for (auto [s, k, v] : std::vector<Args>{{"S", "a b", "1"},
                                            {"S", "[K]", "1"}, {"S", "#K", "1"}, {"S", "K=", "1"}, {"a]b", "K", "1"},
                                            {"", "K", "1"}, {"S", "", "1"}, {"S", "K", "1\n[X]"}}) {
        EXPECT_EQ(XKWIniPut(p.c_str(), s, k, v), -22) << s << " " << k << " " << v;
    }
    EXPECT_EQ(XKWIniPut(p.c_str(), std::string(128, 'S').c_str(), "K", "1"), -22);
    EXPECT_EQ(XKWIniPut(p.c_str(), "S", "K", std::string(2100, '\\').c_str()), -22);  // too long escaped
    EXPECT_EQ(read(p), text);
    ASSERT_EQ(mkdir((p + ".tmp").c_str(), 0700), 0);
    EXPECT_EQ(XKWIniPut(p.c_str(), "S", "K", "2"), -3);
    rmdir((p + ".tmp").c_str());
    EXPECT_EQ(read(p), text);
    EXPECT_EQ(XKWIniPut(root_.c_str(), "S", "K", "2"), -2);
    EXPECT_EQ(XKWIniPut((root_ + "/no/dir.ini").c_str(), "S", "K", "2"), -2);
    // Quotes and backslashes are escaped, so a Windows path reads back whole.
    const char* path = "C:\\trace \"x\"\\";
    ASSERT_EQ(XKWIniPut(p.c_str(), "S", "K", path), 0);
    char v[XKW_INI_VALUE];
    ASSERT_EQ(XKWIniGet(p.c_str(), "S", "K", v, sizeof v), 0);
    EXPECT_STREQ(v, path);
}

TEST_F(IniTest, ConcurrentPutsFromProcessesLoseNothingAndReadersAlwaysFindTheFile)
{
    std::string p = write("[S]\nSTABLE = yes\n");
    constexpr int procs = 4, keys = 20;
    std::vector<pid_t> kids;
    for (int c = 0; c < procs; ++c) {
        pid_t pid = fork();
        if (pid == 0) {
            int bad = 0;
            for (int i = 0; i < keys; ++i)
                bad += XKWIniPut(p.c_str(), "S", ("K" + std::to_string(c) + "_" + std::to_string(i)).c_str(),
                                 std::to_string(i).c_str()) != 0;
            _exit(bad);
        }
        kids.push_back(pid);
    }
    // Read while they write: the file is always there and complete.
    int running = procs, misses = 0;
    for (int round = 0; running > 0 && round < 100000; ++round) {
        char v[16];
        misses += XKWIniGet(p.c_str(), "S", "STABLE", v, sizeof v) != 0;
        for (pid_t& pid : kids) {
            int status;
            if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                pid = 0;
                --running;
            }
        }
    }
    for (pid_t pid : kids)
        if (pid > 0)
            waitpid(pid, nullptr, 0);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(misses, 0);
    for (int c = 0; c < procs; ++c)
        for (int i = 0; i < keys; ++i)
            EXPECT_EQ(get(p, "S", ("K" + std::to_string(c) + "_" + std::to_string(i)).c_str()), std::to_string(i));
}

TEST_F(IniTest, HandleFormsTakeLowestFreeEntryUntilTableFull)
{
    std::string p = write("[DEFAULT]\nD = 2\n[S]\nA = 1\n");
    EXPECT_EQ(XKWIniOpenId((root_ + "/none").c_str(), "S"), -2);
    std::vector<int32_t> handles;
    int32_t h;
    while ((h = XKWIniOpenId(p.c_str(), "S")) > 0 && handles.size() < 300)
        handles.push_back(h);
    EXPECT_EQ(h, -28);
    ASSERT_EQ(handles.size(), 256u);
    EXPECT_EQ(handles.front(), 1);
    EXPECT_EQ(XKWIniCloseId(5), 0);
    EXPECT_EQ(XKWIniCloseId(5), -9);
    EXPECT_EQ(XKWIniOpenId(p.c_str(), "S"), 5);

    char s[XKW_INI_SECTION], k[XKW_INI_KEY], v[XKW_INI_VALUE];
    ASSERT_EQ(XKWIniSetModeId(1, 0), 0);
    ASSERT_EQ(XKWIniNextId(1, s, sizeof s, k, sizeof k, v, sizeof v), 0);
    EXPECT_STREQ(k, "A");
    EXPECT_EQ(XKWIniNextId(1, s, sizeof s, k, sizeof k, v, sizeof v), -120);
    ASSERT_EQ(XKWIniNextId(2, s, sizeof s, k, sizeof k, v, sizeof v), 0);
    EXPECT_EQ(std::string(s) + k + v, "DEFAULTD2");
    for (int32_t id : handles)
        EXPECT_EQ(XKWIniCloseId(id), 0);
    EXPECT_EQ(XKWIniNextId(1, s, sizeof s, k, sizeof k, v, sizeof v), -9);
}

TEST(IniItemTest, ValueListSplitsAtCommasAndUnquotedBlanks)
{
    auto items = [](const char* text, size_t size = 64) {
        Strings out;
        char item[64];
        for (int i = 0; i < 20 && XKWIniItem(&text, item, size) >= 0; ++i)
            out.push_back(item);
        return out;
    };
    EXPECT_EQ(items("1, 2 3,\"4 5\""), (Strings{"1", "2", "3", "4 5"}));
    EXPECT_EQ(items("1 ,2"), (Strings{"1", "2"}));
    EXPECT_EQ(items(" a\\,b ,, \"\" c\\"), (Strings{"a,b", "", "c"}));
    EXPECT_EQ(items("abcdef,x", 3), (Strings{"ab", "x"}));
    EXPECT_EQ(items("  ,  "), Strings{});
}
