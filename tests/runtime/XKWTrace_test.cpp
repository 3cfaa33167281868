// Trace files read back line by line: prefixes, header rules, generation
// names and the scan for the newest one, rotation by size and by day with
// the identification lines, deletion of old generations, dumps, the handle
// table, failures of directories and disks, the mutex time-out rule, and
// two threads and two processes appending to one trace.
#include "runtime/XKWTrace.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/XKWDir.h"
#include "runtime/XKWResource.h"
#include "runtime/XKWTime.h"
#include "tests/support/TempDir.h"

namespace {

const std::string header_default = "          64,   268435456,";

int64_t local_seconds(int year, int month, int day, int hour, int minute, int second)
{
    tm t{second, minute, hour, day, month - 1, year - 1900, 0, 0, -1, 0, nullptr};
    return static_cast<int64_t>(mktime(&t));
}

// 12 April 2020 15:30:45 local.
const int64_t april12 = local_seconds(2020, 4, 12, 15, 30, 45);

void preset(XKWTrace* t, int64_t seconds, int32_t ms)
{
    ASSERT_EQ(XKWTraceSetTime(t, seconds, static_cast<int32_t>(seconds % 86400) * 1000 + ms), 0);
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Lines of a file without their LF (a CR stays).
std::vector<std::string> lines_of(const std::string& path)
{
    std::vector<std::string> out;
    std::string text = slurp(path), line;
    std::istringstream in(text);
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void touch(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string padded_title(const std::string& title)
{
    return title + std::string(37 - title.size(), ' ');
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        XKWTraceSetDefaults(dir_.c_str(), 0x0002, 0x0000, 5, 0);
    }
    void TearDown() override
    {
        XKWTraceClose(&t_);
        XKWTraceSetDefaults("", 0x0002, 0x010F, 5, 0);
        XKWTraceSetLockWait(0);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    XKWTrace t_{};
    TempDir tmp_{"xkwtrace"};
    std::string dir_ = tmp_.path();
};

TEST_F(TraceTest, PrefixFollowsTheAttributes)
{
    XKWTraceSetDefaults(nullptr, -1, 0x800B, 3, -1);
    ASSERT_EQ(XKWTraceOpen(&t_, 0, "trace.trc", nullptr, 0), 0);
    preset(&t_, april12, 123);
    EXPECT_EQ(XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 3, "DB", "text %d", 7), 0);

    ASSERT_EQ(XKWTraceSetAttr(&t_, -1, 0x017F, -1, -1), 0);
    ASSERT_EQ(XKWTraceSetPid(&t_, 4242), 0);
    preset(&t_, april12, 123);
    XKWTraceWrite("dir/src.cpp", 42, "fn", &t_, 0x10, 3, "DB", "all");
    preset(&t_, april12, 0);
    XKWTraceWrite(nullptr, 0, nullptr, &t_, 0x20, 2, nullptr, "none");

    ASSERT_EQ(XKWTraceSetAttr(&t_, -1, 0, -1, -1), 0);
    XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0x30, 1, "DB", "bare");
    XKWTraceWriteText(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "100% %d %s");

    std::vector<std::string> l = lines_of(path("trace.trc"));
    ASSERT_EQ(l.size(), 6u);
    EXPECT_EQ(l[0], header_default + padded_title("trace.trc") + "\r");
    EXPECT_EQ(l[1], "200412.153045.123: 3:text 7\r");
    EXPECT_EQ(l[2], "200412.153045.123+ 4242: 3:src.cpp         :0042:fn:DB:all");
    EXPECT_EQ(l[3], "200412.153045.000- 4242: 2:unknown         :none");
    EXPECT_EQ(l[4], ":bare");
    EXPECT_EQ(l[5], ":100% %d %s");
}

TEST_F(TraceTest, LevelOutputBitsLengthAndEcho)
{
    ASSERT_EQ(XKWTraceOpen(&t_, 0x4000, "trace.trc", nullptr, 0), 0);
    ASSERT_EQ(XKWTraceSetAttr(&t_, -1, 0x0003, 3, -1), 0);
    EXPECT_EQ(XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 5, "DB", "level five"), 0);
    EXPECT_EQ(XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 3, "DB", "level three"), 0);
    std::string longer(3000, 'x');
    XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 3, "DB", "%s", longer.c_str());

    ASSERT_EQ(XKWTraceSetAttr(&t_, 0x0001, 0, -1, -1), 0);  // standard output only
    testing::internal::CaptureStdout();
    XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "echo");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ":echo\n");
    ASSERT_EQ(XKWTraceSetAttr(&t_, 0x0000, -1, -1, -1), 0);
    XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "nowhere");

    std::vector<std::string> l = lines_of(path("trace.trc"));
    ASSERT_EQ(l.size(), 2u);
    EXPECT_TRUE(std::regex_match(l[0], std::regex(R"(\d{6}\.\d{6}\.\d{3}:level three)"))) << l[0];
    EXPECT_EQ(l[1].size(), 2047u);
    EXPECT_EQ(l[1].substr(18), std::string(2047 - 18, 'x'));
}

TEST_F(TraceTest, HeaderOnlyOnAnEmptyFile)
{
    touch(path("empty.trc"), "");
    touch(path("full.trc"), "old\n");
    XKWTrace other{}, third{};
    ASSERT_EQ(XKWTraceOpen(&t_, 0, "empty.trc", "A title much longer than thirty-seven characters", 1000), 0);
    ASSERT_EQ(XKWTraceOpen(&other, 0, "full.trc", nullptr, 0), 0);
    ASSERT_EQ(XKWTraceOpen(&third, 0x4000, "none.trc", nullptr, 0), 0);
    XKWTraceClose(&other);
    XKWTraceClose(&third);
    EXPECT_EQ(slurp(path("empty.trc")),
              "          64,        1000,A title much longer than thirty-seven\n");
    EXPECT_EQ(slurp(path("full.trc")), "old\n");
    EXPECT_TRUE(exists(path("none.trc")));
    EXPECT_EQ(slurp(path("none.trc")), "");
}

TEST_F(TraceTest, GenerationNamesAndScanForTheNewest)
{
    ASSERT_EQ(XKWTraceOpen(&t_, 0x40, "trace.trc", nullptr, 0), 0);
    EXPECT_TRUE(exists(path("trace.0000.trc")));
    XKWTraceClose(&t_);
    ASSERT_EQ(XKWTraceOpen(&t_, 0x40, "trace.bin", nullptr, 0), 0);
    EXPECT_TRUE(exists(path("trace.bin.0000")));
    XKWTraceClose(&t_);

    for (int g = 1; g <= 7; ++g)
        touch(path("trace.000" + std::to_string(g) + ".trc"), "g\n");
    touch(path("trace.x.trc"), "");
    // Keep 3: opening generation 7 deletes generation 4 only.
    XKWTraceSetDefaults(nullptr, 0x0302, -1, -1, -1);
    ASSERT_EQ(XKWTraceOpen(&t_, 0x40, "trace.trc", nullptr, 0), 0);
    EXPECT_EQ(t_.generation, 7);
    XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "appended");
    EXPECT_EQ(slurp(path("trace.0007.trc")), "g\n:appended\n");
    for (int g = 0; g <= 7; ++g)
        EXPECT_EQ(exists(path("trace.000" + std::to_string(g) + ".trc")), g != 4) << g;
    XKWTraceClose(&t_);

    // A deletion that fails (a directory in the way) is retried at close.
    ASSERT_EQ(unlink(path("trace.0005.trc").c_str()), 0);
    ASSERT_EQ(mkdir(path("trace.0005.trc").c_str(), 0700), 0);
    touch(path("trace.0008.trc"), "");
    ASSERT_EQ(XKWTraceOpen(&t_, 0x40, "trace.trc", nullptr, 0), 0);
    EXPECT_TRUE(exists(path("trace.0005.trc")));
    rmdir(path("trace.0005.trc").c_str());
    touch(path("trace.0005.trc"), "");
    XKWTraceClose(&t_);
    EXPECT_FALSE(exists(path("trace.0005.trc")));
}

TEST_F(TraceTest, SizeRotationWritesIdLinesAndDeletesOldGenerations)
{
    const char* ids[] = {"first id", "", "second id", nullptr};
    XKWTraceSetDefaults(nullptr, 0x0242, 0x0108, -1, -1);  // keep 2
    ASSERT_EQ(XKWTraceOpen(&t_, 0, "trace.trc", "T", 1000), 0);
    ASSERT_EQ(XKWTraceSetIdLines(&t_, ids), 0);
    std::string text(95, 'y');
    // The header is 64 bytes and each line 103: the 11th line finds 1094.
    int lines = 0;
    for (; lines < 40 && !exists(path("trace.0001.trc")); ++lines)
        XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 2, "DB", "%s", text.c_str());
    EXPECT_EQ(lines, 11);
    std::string gen0 = slurp(path("trace.0000.trc"));
    EXPECT_GT(gen0.size(), 1000u);
    EXPECT_EQ(gen0.size(), 64u + 10u * 103u);
    std::vector<std::string> l = lines_of(path("trace.0001.trc"));
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0], "          64,        1000," + padded_title("T"));
    EXPECT_EQ(l[1], ": 1:ID:first id");
    EXPECT_EQ(l[2], ": 1:ID:second id");
    EXPECT_EQ(l[3], ": 2:DB:" + text);

    for (int i = 0; i < 40 && !exists(path("trace.0002.trc")); ++i)
        XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 2, "DB", "%s", text.c_str());
    EXPECT_FALSE(exists(path("trace.0000.trc")));
    EXPECT_TRUE(exists(path("trace.0001.trc")));
}

TEST_F(TraceTest, DateNamingUsesTodayAndLinesOfOtherDaysStayInTheFile)
{
    // Mode 1 without generations: the day directory holds the plain name.
    ASSERT_EQ(XKWTraceOpen(&t_, 0x10, "trace.trc", nullptr, 0), 0);
    char today[8];
    std::snprintf(today, sizeof today, "%06d", t_.date % 1000000);
    // A line stamped with another day is written to today's file.
    preset(&t_, april12, 5);
    XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "april");
    EXPECT_EQ(lines_of(path(std::string(today) + "/trace.trc")).back(), ":april");
    EXPECT_FALSE(exists(path("200412")));
    XKWTraceClose(&t_);

    // Prefix and suffix modes.
    ASSERT_EQ(XKWTraceOpen(&t_, 0x20, "pre.log", nullptr, 0), 0);
    XKWTraceClose(&t_);
    ASSERT_EQ(XKWTraceOpen(&t_, 0x70, "suf.log", nullptr, 0), 0);
    EXPECT_TRUE(exists(path(std::string(today) + ".pre.log")));
    EXPECT_TRUE(exists(path("suf." + std::string(today) + ".0000.log")));
}

// In a child whose zone (hours, minutes and seconds off UTC) puts local
// midnight a second or two away: the first line after midnight goes to
// generation 0 of the new day with the id lines on top, and the time
// stamps show the local clock.
TEST_F(TraceTest, FirstLineAfterMidnightStartsTheNewDay)
{
    pid_t pid = fork();
    if (pid == 0) {
        int64_t utc = static_cast<int64_t>(time(nullptr)) % 86400;
        int64_t off = ((utc - 86398) % 86400 + 86400) % 86400;  // local now 23:59:58
        char zone[32];
        std::snprintf(zone, sizeof zone, "XKW%02d:%02d:%02d", static_cast<int>(off / 3600),
                      static_cast<int>(off / 60 % 60), static_cast<int>(off % 60));
        setenv("TZ", zone, 1);
        tzset();
        static const char* ids[] = {"id", nullptr};
        XKWTrace t{};
        if (XKWTraceOpen(&t, 0x50, "gen.trc", nullptr, 0) != 0)
            _exit(1);
        XKWTraceSetAttr(&t, -1, 0x0001, -1, -1);
        XKWTraceSetIdLines(&t, ids);
        int32_t day = XKWTimeDate(0);
        XKWTraceWrite(__FILE__, __LINE__, __func__, &t, 0, 1, "DB", "late");
        for (int i = 0; i < 400 && XKWTimeDate(0) == day; ++i)
            usleep(10000);
        XKWTraceWrite(__FILE__, __LINE__, __func__, &t, 0, 1, "DB", "early");
        XKWTraceClose(&t);
        _exit(XKWTimeDate(0) != day ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> days;
    XKWDir dir;
    char name[64];
    ASSERT_EQ(XKWDirOpen(&dir, dir_.c_str(), "??????"), 0);
    while (XKWDirNext(&dir, name, sizeof name) == 0)
        days.push_back(name);
    XKWDirClose(&dir);
    std::sort(days.begin(), days.end());
    ASSERT_EQ(days.size(), 2u);
    std::vector<std::string> old_day = lines_of(path(days[0] + "/gen.0000.trc"));
    std::vector<std::string> new_day = lines_of(path(days[1] + "/gen.0000.trc"));
    ASSERT_EQ(old_day.size(), 2u);
    ASSERT_EQ(new_day.size(), 3u);
    EXPECT_EQ(old_day[0], header_default + padded_title("gen.trc"));
    EXPECT_TRUE(std::regex_match(old_day[1], std::regex(days[0] + R"(\.23595[89]:late)"))) << old_day[1];
    EXPECT_EQ(new_day[0], header_default + padded_title("gen.trc"));
    EXPECT_TRUE(std::regex_match(new_day[1], std::regex(days[1] + R"(\.00000[0-2]:id)"))) << new_day[1];
    EXPECT_TRUE(std::regex_match(new_day[2], std::regex(days[1] + R"(\.00000[0-2]:early)"))) << new_day[2];
}

TEST_F(TraceTest, DumpsLeaveOutZeroLinesAndLinesPastTheLimit)
{
    ASSERT_EQ(XKWTraceOpen(&t_, 0x4000, "dump.trc", nullptr, 0), 0);
    ASSERT_EQ(XKWTraceSetAttr(&t_, -1, 0x0003, -1, -1), 0);
    uint8_t zeros[64] = {};
    preset(&t_, april12, 7);
    EXPECT_EQ(XKWTraceDump(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "ZERO", zeros, 64), 0);
    std::vector<uint8_t> ones(256, 1);
    ASSERT_EQ(XKWTraceSetDumpLimit(&t_, 32), 0);
    XKWTraceDump(__FILE__, __LINE__, __func__, &t_, 0x20, 1, "DB", "ONES", ones.data(), 256);
    const int32_t words[4] = {10, 20, 30, 40};
    XKWTraceDump(__FILE__, __LINE__, __func__, &t_, 0x2000, 1, "DB", "W", words, 16);

    std::vector<std::string> l = lines_of(path("dump.trc"));
    ASSERT_EQ(l.size(), 6u);
    std::string zero_row = " 00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00:................ ";
    EXPECT_EQ(l[0], "200412.153045.007+ZERO    [  0]" + zero_row);
    EXPECT_EQ(l[1], "200412.153045.007-ZERO    [ 48]" + zero_row);
    EXPECT_EQ(l[2].substr(17, 14), "-ONES    [  0]");
    EXPECT_EQ(l[3].substr(17, 14), "-ONES    [ 16]");
    EXPECT_EQ(l[4].substr(17, 14), "-ONES    [240]");
    EXPECT_EQ(l[5].substr(17, 14 + 49), "+W       [  0]          10          20           30          40");
}

TEST_F(TraceTest, HandlesComeFromTheTopOfTheTable)
{
    int32_t top = XKWTraceOpenId(0, "id.trc", nullptr, 0);
    EXPECT_EQ(top, 256);
    EXPECT_EQ(XKWTraceOpen(256, 0, "", nullptr, 0), -16);
    EXPECT_EQ(XKWTraceOpen(257, 0, "", nullptr, 0), -22);
    EXPECT_EQ(XKWTraceOpen(10, 0, "", nullptr, 0), 10);
    EXPECT_EQ(XKWTraceSetAttrId(top, -1, 0x0100, -1, -1), 0);
    EXPECT_EQ(XKWTraceWriteId(__FILE__, __LINE__, __func__, top, 0, 1, "DB", "n=%d %s", 5, "x"), 0);
    // Flag 0x80 takes the text as it is, whatever arguments follow.
    EXPECT_EQ(XKWTraceWriteId(__FILE__, __LINE__, __func__, top, 0x80, 1, "DB", "raw %d", 7), 0);
    EXPECT_EQ(XKWTraceOpenId(0, "", nullptr, 0), 255);
    int32_t h = 0, opened = 1;
    while (opened < 300 && (h = XKWTraceOpenId(0, "", nullptr, 0)) > 0)
        ++opened;
    EXPECT_EQ(h, -28);
    EXPECT_EQ(opened, 254);
    for (int32_t k = 1; k <= 256; ++k)
        EXPECT_EQ(XKWTraceCloseId(k), 0) << k;
    EXPECT_EQ(XKWTraceWriteId(__FILE__, __LINE__, __func__, top, 0, 1, "DB", "gone"), -9);
    EXPECT_EQ(lines_of(path("id.trc")),
              (std::vector<std::string>{header_default + padded_title("id.trc"), ":DB:n=5 x", ":DB:raw %d"}));

    // While the thread-safe switch is on, every trace locks.
    XKWThreadSafe(1);
    EXPECT_EQ(XKWTraceOpen(&t_, 0x1000, "", nullptr, 0), 0);
    XKWThreadSafe(0);
    EXPECT_EQ(t_.mode, 0x9000u);
    EXPECT_EQ(XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "no file"), -9);
}

TEST_F(TraceTest, FailuresReturnNegativeResults)
{
    touch(path("plain"), "not a directory");
    XKWTraceSetDefaults((dir_ + "/plain/sub").c_str(), -1, -1, -1, -1);
    EXPECT_EQ(XKWTraceOpen(&t_, 0, "trace.trc", nullptr, 0), -ENOTDIR);
    EXPECT_EQ(t_.open, 0u);
    EXPECT_EQ(XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "x"), -9);
    XKWTraceSetDefaults((dir_ + "/plain").c_str(), -1, -1, -1, -1);
    EXPECT_EQ(XKWTraceOpen(&t_, 0x10, "trace.trc", nullptr, 0), -ENOTDIR);
    EXPECT_EQ(XKWTraceOpenId(0x10, "trace.trc", nullptr, 0), -ENOTDIR);

    std::string long_name(300, 'n');
    EXPECT_EQ(XKWTraceOpen(&t_, 0, long_name.c_str(), nullptr, 0), -ENAMETOOLONG);
    EXPECT_EQ(XKWTraceOpen(&t_, 0, (long_name + "/t.trc").c_str(), nullptr, 0), -ENAMETOOLONG);

    // A full disk: the header fails the open, a line fails the write.
    EXPECT_EQ(XKWTraceOpen(&t_, 0, "/dev/full", nullptr, 0), -ENOSPC);
    ASSERT_EQ(XKWTraceOpen(&t_, 0x4000, "/dev/full", nullptr, 0), 0);
    EXPECT_EQ(XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "x"), -ENOSPC);
    EXPECT_EQ(XKWTraceDump(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "L", "abc", 3), -ENOSPC);
    XKWTraceClose(&t_);
    EXPECT_EQ(XKWTraceClose(&t_), -9);

    // The file size limit makes a write fail, and does not end the process.
    XKWTraceSetDefaults(dir_.c_str(), -1, -1, -1, -1);
    pid_t pid = fork();
    if (pid == 0) {
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        XKWTrace t{};
        if (XKWTraceOpen(&t, 0, "limited.trc", nullptr, 0) != 0)
            _exit(2);
        for (int i = 0; i < 1000; ++i)
            if (XKWTraceWrite(__FILE__, __LINE__, __func__, &t, 0, 1, "DB", "%0100d", i) == -EFBIG)
                _exit(0);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LE(slurp(path("limited.trc")).size(), 4096u);
}

TEST_F(TraceTest, MutexTimeOutStillWritesTheLine)
{
    XKWTraceSetLockWait(30);
    ASSERT_EQ(XKWTraceOpen(&t_, 0x8000, "locked.trc", nullptr, 0), 0);
    std::string name = path("locked.trc");
    std::atomic<int> state{0};
    std::thread holder([&] {
        XKWResource r{};
        XKWResourceOpen(&r, 1, name.c_str());
        XKWResourceLock(&r, 0, 0);
        state = 1;
        for (int i = 0; i < 5000 && state == 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        XKWResourceClose(&r);
    });
    for (int i = 0; i < 5000 && state == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "while held"), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    state = 2;
    holder.join();
    EXPECT_GE(waited, std::chrono::milliseconds(25));
    EXPECT_EQ(XKWTraceWrite(__FILE__, __LINE__, __func__, &t_, 0, 1, "DB", "after"), 0);
    XKWTraceClose(&t_);
    XKWResourceRemove(name.c_str());
    EXPECT_EQ(lines_of(name).size(), 3u);
    EXPECT_EQ(lines_of(name).back(), ":after");
}

// Lines "W<writer> <n> <padding>" from two writers in all generations of
// trace.trc: every line is whole and there once, every file starts with
// one header.
void expect_every_line_once(const std::string& dir, int writers, int count)
{
    std::map<std::pair<int, int>, int> seen;
    std::regex line(R"(:W(\d) (\d{5}) p+)");
    int files = 0;
    for (int g = 0; g < 1000; ++g) {
        char name[32];
        std::snprintf(name, sizeof name, "/trace.%04d.trc", g);
        if (!exists(dir + name))
            break;
        ++files;
        std::vector<std::string> l = lines_of(dir + name);
        ASSERT_FALSE(l.empty());
        EXPECT_EQ(l[0].substr(0, 12), "          64") << name;
        for (size_t i = 1; i < l.size(); ++i) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(l[i], m, line)) << name << ": " << l[i];
            ++seen[{std::stoi(m[1]), std::stoi(m[2])}];
        }
    }
    EXPECT_GT(files, 2);
    EXPECT_EQ(seen.size(), static_cast<size_t>(writers * count));
    for (const auto& [key, n] : seen)
        ASSERT_EQ(n, 1) << key.first << " " << key.second;
}

// Returns the number of writes that failed.
int append_lines(XKWTrace* t, int writer, int count)
{
    int failed = 0;
    for (int i = 0; i < count; ++i)
        failed += XKWTraceWrite(__FILE__, __LINE__, __func__, t, 0, 1, "DB", "W%d %05d %s", writer, i,
                                "pppppppppppppppppppppppppppppppppppppppp") != 0;
    return failed;
}

TEST_F(TraceTest, TwoThreadsAppendToOneTrace)
{
    XKWTraceSetDefaults(nullptr, 0x0042, -1, -1, -1);
    ASSERT_EQ(XKWTraceOpen(&t_, 0x9000, "trace.trc", nullptr, 16384), 0);
    int failed[2] = {};
    std::thread a([&] { failed[0] = append_lines(&t_, 1, 10000); });
    std::thread b([&] { failed[1] = append_lines(&t_, 2, 10000); });
    a.join();
    b.join();
    XKWTraceClose(&t_);
    EXPECT_EQ(failed[0] + failed[1], 0);
    expect_every_line_once(dir_, 2, 10000);
}

TEST_F(TraceTest, TwoProcessesAppendToOneTrace)
{
    XKWTraceSetDefaults(nullptr, 0x0042, -1, -1, -1);
    ASSERT_EQ(XKWTraceOpen(&t_, 0x8000, "trace.trc", nullptr, 16384), 0);
    pid_t pid = fork();
    if (pid == 0) {
        XKWTrace t{};
        if (XKWTraceOpen(&t, 0x8000, "trace.trc", nullptr, 16384) != 0)
            _exit(1);
        int failed = append_lines(&t, 2, 10000);
        XKWTraceClose(&t);
        _exit(failed == 0 ? 0 : 1);
    }
    EXPECT_EQ(append_lines(&t_, 1, 10000), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    XKWTraceClose(&t_);
    XKWResourceRemove(path("trace.trc").c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    expect_every_line_once(dir_, 2, 10000);
}

}  // namespace
