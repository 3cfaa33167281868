// Queues in their three stores: the full-ring rules and the overwrite
// option (also before the first get), buffer rules of a get, unget, the
// skip option, waiting for a put, long records in side files and buffers,
// corrupt stores, a writer killed right after its puts, and two processes
// streaming through shared memory.
#include "runtime/XKQueue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/XKWMem.h"
#include "runtime/XKWResource.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class Store { File, Private, Shared };

// Exit status of a child, -100 - signal when killed, or -1 when it hung
// for 20 s (then it is killed by its pid).
int reap(pid_t pid)
{
    int status = 0;
    for (int i = 0; i < 20000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -100 - WTERMSIG(status);
        std::this_thread::sleep_for(milliseconds(1));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

class QueueTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        XKQSendClose(&w_);
        XKQRecvClose(&r_);
        used_.push_back(path_);
        for (const auto& p : used_) {
            XKWResourceRemove(p.c_str());
            XKWMemRemove(("XKQ_" + p).c_str());
        }
    }

    void repath(const std::string& name)
    {
        used_.push_back(path_);
        path_ = tmp_ / name;
    }

    int32_t mode(int32_t extra = 0) const
    {
        return extra | (store_ == Store::Private ? 0x80 : store_ == Store::Shared ? 0xC0 : 0);
    }
    // Private memory has one block for both sides.
    XKQueueBlock* reader() { return store_ == Store::Private ? &w_ : &r_; }

    void open(int32_t recsize = 64, int32_t count = 4, int32_t extra = 0)
    {
        ASSERT_EQ(XKQSendOpen(&w_, mode(extra), path_.c_str(), recsize, count), 0);
        if (store_ != Store::Private) {
            ASSERT_EQ(XKQRecvOpen(&r_, mode(extra), path_.c_str(), recsize, count), 0);
        }
    }

    int32_t put(int32_t value, int32_t option = 0) { return XKQSendPut(&w_, option, &value, sizeof value); }
    // The value of the next record, or the negative result of the get.
    int32_t get(int32_t option = 0)
    {
        int32_t v = -1;
        int32_t rc = XKQRecvGet(reader(), option, &v, sizeof v, nullptr);
        return rc == 4 ? v : rc < 0 ? rc : -999;
    }

    // Overwrite store bytes behind the queue's back.
    void poke(int64_t offset, const void* bytes, size_t n)
    {
        if (store_ == Store::File) {
            int fd = ::open(path_.c_str(), O_WRONLY);
            ASSERT_EQ(pwrite(fd, bytes, n, offset), static_cast<ssize_t>(n));
            close(fd);
        } else {
            std::memcpy(w_.base + offset, bytes, n);
        }
    }
    void poke32(int64_t offset, int32_t value) { poke(offset, &value, sizeof value); }

    Store store_ = Store::File;
    TempDir tmp_{"xkq"};
    std::string path_ = tmp_ / "q.xkq";
    std::vector<std::string> used_;
    XKQueueBlock w_{}, r_{};
};

class QueueModes : public QueueTest, public ::testing::WithParamInterface<Store> {
protected:
    void SetUp() override { store_ = GetParam(); }
};

}  // namespace

TEST_P(QueueModes, FullRingHoldsCountRecordsThenCountMinusOne)
{
    open();
    for (int32_t v = 1; v <= 4; ++v)
        ASSERT_EQ(put(v), 4);
    EXPECT_EQ(put(5), XKW_E_FULL);
    EXPECT_EQ(get(), 1);
    EXPECT_EQ(put(5), XKW_E_FULL);  // three unread: still full
    EXPECT_EQ(get(), 2);
    EXPECT_EQ(put(5), 4);
    EXPECT_EQ(put(6), XKW_E_FULL);
    EXPECT_EQ(get(), 3);
    EXPECT_EQ(get(), 4);
    EXPECT_EQ(get(), 5);
    EXPECT_EQ(get(), XKW_E_NOMORE);
}

TEST_P(QueueModes, OverwriteDropsOldestUnread)
{
    open();
    for (int32_t v = 1; v <= 4; ++v)
        ASSERT_EQ(put(v), 4);
    ASSERT_EQ(get(), 1);
    EXPECT_EQ(put(5, XKQ_PUT_OVERWRITE), 4);
    EXPECT_EQ(get(), 3);
    EXPECT_EQ(get(), 4);
    EXPECT_EQ(get(), 5);
    EXPECT_EQ(get(), XKW_E_NOMORE);
}

// Before the first get the ring is full at four records; once reading has
// started it holds three, so the overwrite has to drop records 1 and 2 and
// the queue must not read as empty afterwards.
TEST_P(QueueModes, OverwriteBeforeFirstGetKeepsTheNewestRecords)
{
    open();
    for (int32_t v = 1; v <= 4; ++v)
        ASSERT_EQ(put(v), 4);
    EXPECT_EQ(put(5, XKQ_PUT_OVERWRITE), 4);
    EXPECT_EQ(get(), 3);
    EXPECT_EQ(put(6), 4);  // room for one again
    EXPECT_EQ(put(7, XKQ_PUT_OVERWRITE), 4);  // full at three: 4 goes
    EXPECT_EQ(get(), 5);
    EXPECT_EQ(get(), 6);
    EXPECT_EQ(get(), 7);
    EXPECT_EQ(get(), XKW_E_NOMORE);
}

TEST_P(QueueModes, GetClearsBufferShortBufferConsumesUngetRepeats)
{
    open();
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    XKQRecordHeader h;
    std::memset(&h, 0x55, sizeof h);
    EXPECT_EQ(XKQRecvGet(reader(), 0, buf, sizeof buf, &h), XKW_E_NOMORE);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, '\0'));
    EXPECT_EQ(h.used + h.rec + h.len, 0);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(XKQRecvGet(reader(), XKQ_GET_KEEPBUF, buf, sizeof buf, nullptr), XKW_E_NOMORE);
    EXPECT_EQ(std::string(buf, sizeof buf), "xxxxxxxx");
    EXPECT_EQ(XKQRecvUnget(reader()), XKW_E_NOMORE);  // nothing taken yet

    ASSERT_EQ(XKQSendPut(&w_, 0, "abcdefghij", 10), 10);
    ASSERT_EQ(put(7), 4);
    EXPECT_EQ(XKQRecvGet(reader(), 0, buf, 3, &h), 3);
    EXPECT_EQ(std::string(buf, 4), "abcx");  // only `size` bytes are touched
    EXPECT_EQ(h.used, 1);
    EXPECT_EQ(h.rec, 0);
    EXPECT_EQ(h.len, 10);
    XKQRecordHeader h7, again;
    int32_t v = 0;
    ASSERT_EQ(XKQRecvGet(reader(), 0, &v, sizeof v, &h7), 4);
    EXPECT_EQ(v, 7);  // the short read consumed the first record

    ASSERT_EQ(XKQRecvUnget(reader()), 0);
    v = 0;
    EXPECT_EQ(XKQRecvGet(reader(), 0, &v, sizeof v, &again), 4);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(again.rec, 1);
    EXPECT_EQ(again.len, 4);
    EXPECT_EQ(again.tm, h7.tm);
    ASSERT_EQ(XKQRecvUnget(reader()), 0);
    ASSERT_EQ(XKQRecvUnget(reader()), 0);  // back to before the first get
    EXPECT_EQ(XKQRecvGet(reader(), 0, buf, sizeof buf, &again), 8);
    EXPECT_EQ(again.tm, h.tm);
    EXPECT_EQ(get(), 7);
}

TEST_P(QueueModes, SkipOptionPassesOverRecordsOlderThanTheLastTaken)
{
    open(64, 8);
    for (int32_t v = 1; v <= 3; ++v)
        ASSERT_EQ(put(v), 4);
    XKQRecordHeader h;
    int32_t v = 0;
    ASSERT_EQ(XKQRecvGet(reader(), XKQ_GET_SKIPOLD, &v, sizeof v, &h), 4);
    poke32(64 + 1 * 64 + 8, h.tm - 100);  // record 2 put "earlier"
    EXPECT_EQ(get(XKQ_GET_SKIPOLD), 3);
    EXPECT_EQ(get(), XKW_E_NOMORE);
    EXPECT_EQ(XKQRecvUnget(reader()), 0);
    EXPECT_EQ(XKQRecvUnget(reader()), 0);  // record 2 was freed when skipped
    poke32(64 + 1 * 64 + 8, h.tm);
    EXPECT_EQ(get(), 2);
}

TEST_P(QueueModes, WaitWakesSoonAfterPutFromAnotherThread)
{
    open();
    std::atomic<bool> entered{false};
    int32_t rc = 99;
    Clock::time_point woke;
    std::thread t([&] {
        entered = true;
        rc = XKQRecvWait(reader(), 5000);
        woke = Clock::now();
    });
    for (int i = 0; i < 2000 && !entered; ++i)
        std::this_thread::sleep_for(milliseconds(1));
    // Nothing shows when the waiter is asleep; give it time to get there.
    std::this_thread::sleep_for(milliseconds(30));
    auto put_at = Clock::now();
    ASSERT_EQ(put(1), 4);
    t.join();
    EXPECT_EQ(rc, 0);
    EXPECT_GE(woke, put_at);
    EXPECT_LT(woke - put_at, milliseconds(100));
    EXPECT_EQ(get(), 1);
}

TEST_P(QueueModes, WaitTimesOutOnEmptyQueue)
{
    open();
    EXPECT_EQ(XKQRecvWait(reader(), 0), XKW_E_TIMEOUT);
    auto start = Clock::now();
    EXPECT_EQ(XKQRecvWait(reader(), 60), XKW_E_TIMEOUT);
    auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(60));
    EXPECT_LT(took, milliseconds(1000));
    ASSERT_EQ(put(1), 4);
    EXPECT_EQ(XKQRecvWait(reader(), 0), 0);
    XKQueueBlock closed{};
    EXPECT_EQ(XKQRecvWait(&closed, 0), XKW_E_BADHANDLE);
    EXPECT_EQ(XKQSendPut(&closed, 0, "x", 1), XKW_E_BADHANDLE);
}

INSTANTIATE_TEST_SUITE_P(Stores, QueueModes, ::testing::Values(Store::File, Store::Private, Store::Shared),
                         [](const auto& info) {
                             return info.param == Store::File ? "File"
                                    : info.param == Store::Private ? "Private" : "Shared";
                         });

TEST_F(QueueTest, LongRecordsAreCutOrGoToSideFiles)
{
    std::string data(100, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('A' + i % 26);
    char buf[200];
    XKQRecordHeader h;
    open(64, 4);
    EXPECT_EQ(XKQSendPut(&w_, 0, data.data(), 100), 32);
    EXPECT_EQ(XKQRecvGet(&r_, 0, buf, sizeof buf, &h), 32);
    EXPECT_EQ(std::string(buf, 32), data.substr(0, 32));
    EXPECT_EQ(buf[32], 0);
    EXPECT_EQ(h.len, 100);  // the reader sees that the record was cut
    XKQSendClose(&w_);
    XKQRecvClose(&r_);

    repath("long.xkq");
    open(64, 4, XKQ_MODE_LONG | XKQ_MODE_SIDEFREE);
    const std::string side = path_ + ".000000";
    ASSERT_EQ(XKQSendPut(&w_, 0, data.data(), 100), 100);
    struct stat st {};
    ASSERT_EQ(stat(side.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 100);
    EXPECT_EQ(XKQRecvGet(&r_, 0, buf, sizeof buf, &h), 100);
    EXPECT_EQ(std::string(buf, 100), data);
    EXPECT_EQ(h.len, 100);
    EXPECT_NE(stat(side.c_str(), &st), 0);  // taken: deleted

    // A lost side file still consumes its record.
    ASSERT_EQ(XKQSendPut(&w_, 0, data.data(), 100), 100);
    ASSERT_EQ(put(9), 4);
    ASSERT_EQ(unlink((path_ + ".000001").c_str()), 0);
    EXPECT_EQ(XKQRecvGet(&r_, 0, buf, sizeof buf, nullptr), XKQ_E_SIDEOPEN);
    EXPECT_EQ(get(), 9);
}

TEST_F(QueueTest, LongRecordsInSideBuffersOfPrivateMemory)
{
    store_ = Store::Private;
    open(64, 4, XKQ_MODE_LONG);
    std::string data(300, 'q');
    data[299] = 'z';
    char buf[400];
    for (int round = 0; round < 6; ++round) {  // slots are overwritten: old buffers go
        ASSERT_EQ(XKQSendPut(&w_, 0, data.data(), 300), 300);
        ASSERT_EQ(XKQRecvGet(&w_, 0, buf, sizeof buf, nullptr), 300);
        ASSERT_EQ(std::string(buf, 300), data);
    }
    ASSERT_EQ(XKQSendPut(&w_, 0, data.data(), 300), 300);  // freed by the close
    EXPECT_EQ(XKQSendOpen(&r_, 0xC0 | XKQ_MODE_LONG, path_.c_str(), 64, 4), XKW_E_INVAL);
}

TEST_F(QueueTest, ReopenedFileKeepsUnreadRecordsInOrder)
{
    open(64, 4);
    for (int32_t v = 1; v <= 3; ++v)
        ASSERT_EQ(put(v), 4);
    ASSERT_EQ(get(), 1);
    XKQSendClose(&w_);
    XKQRecvClose(&r_);
    ASSERT_EQ(XKQRecvOpen(&r_, XKQ_MODE_MUSTEXIST, path_.c_str(), 0, 0), 0);  // sizes from the file
    EXPECT_EQ(r_.recsize, 64);
    EXPECT_EQ(r_.count, 4);
    EXPECT_EQ(get(), 2);
    EXPECT_EQ(get(), 3);
    EXPECT_EQ(get(), XKW_E_NOMORE);
}

TEST_F(QueueTest, BadSizesAndCorruptStoresGiveCodesNotOverruns)
{
    XKQueueBlock q{};
    EXPECT_EQ(XKQRecvOpen(&q, XKQ_MODE_MUSTEXIST, path_.c_str(), 64, 4), XKQ_E_MISSING);
    EXPECT_EQ(XKQRecvOpen(&q, 0, path_.c_str(), 16, 4), XKQ_E_SIZE);
    EXPECT_EQ(XKQRecvOpen(&q, 0, path_.c_str(), 64, 0), XKQ_E_SIZE);
    EXPECT_EQ(XKQRecvOpen(&q, 0x80, path_.c_str(), 64, -1), XKW_E_INVAL);

    open(64, 4, XKQ_MODE_LONG);
    ASSERT_EQ(put(1), 4);
    ASSERT_EQ(put(2), 4);
    ASSERT_EQ(put(3), 4);
    auto reopen_with = [&](int64_t offset, int32_t value) {
        poke32(offset, value);
        int32_t rc = XKQRecvOpen(&q, 0, path_.c_str(), 64, 4);
        XKQRecvClose(&q);
        return rc;
    };
    EXPECT_EQ(reopen_with(12, 0x7FFFFFFF), XKQ_E_HEADREAD);  // size * count overflows
    EXPECT_EQ(reopen_with(12, 4), 0);
    EXPECT_EQ(reopen_with(8, 20), XKQ_E_HEADREAD);  // records smaller than their header
    EXPECT_EQ(reopen_with(8, 64), 0);

    poke32(48, 77);  // get index outside the ring
    EXPECT_EQ(get(), XKQ_E_READHEAD);
    EXPECT_EQ(put(4), XKQ_E_READHEAD);
    poke32(48, -1);
    poke32(64 + 12, -5);  // a len no put writes: consumed, the queue goes on
    EXPECT_EQ(get(), XKQ_E_READDATA);
    poke32(64 + 64 + 12, 5000);  // more than its side file (there is none) holds
    int fd = ::open((path_ + ".000001").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(write(fd, "short", 5), 5);
    close(fd);
    std::vector<char> big(8000);
    EXPECT_EQ(XKQRecvGet(&r_, 0, big.data(), 8000, nullptr), XKQ_E_SIDESHORT);
    EXPECT_EQ(get(), 3);

    int trunc = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_EQ(write(trunc, "0123456789", 10), 10);
    close(trunc);
    EXPECT_EQ(XKQRecvOpen(&q, 0, path_.c_str(), 64, 4), XKQ_E_HEADREAD);

    // A shared area whose head claims more records than it holds.
    store_ = Store::Shared;
    XKQSendClose(&w_);
    ASSERT_EQ(XKQSendOpen(&w_, 0xC0, path_.c_str(), 64, 4), 0);
    poke32(12, 1000);
    EXPECT_EQ(XKQRecvOpen(&q, 0xC0, path_.c_str(), 64, 4), XKQ_E_SHMMAP);
}

TEST_F(QueueTest, HandleFormsReachTheSameQueue)
{
    int32_t s = XKQSendOpenId(0, path_.c_str(), 64, 4);
    int32_t r = XKQRecvOpenId(0, path_.c_str(), 64, 4);
    ASSERT_GT(s, 0);
    ASSERT_GT(r, 0);
    EXPECT_EQ(XKQRecvWaitId(r, 0), XKW_E_TIMEOUT);
    EXPECT_EQ(XKQSendPutId(s, 0, "hi", 2), 2);
    EXPECT_EQ(XKQRecvWaitId(r, 0), 0);
    char buf[4] = {};
    EXPECT_EQ(XKQRecvGetId(r, 0, buf, sizeof buf, nullptr), 2);
    EXPECT_STREQ(buf, "hi");
    EXPECT_EQ(XKQRecvUngetId(r), 0);
    EXPECT_EQ(XKQRecvCloseId(r), 0);
    EXPECT_EQ(XKQRecvGetId(r, 0, buf, sizeof buf, nullptr), XKW_E_BADHANDLE);
    EXPECT_EQ(XKQSendCloseId(s), 0);
    EXPECT_EQ(XKQSendPutId(s, 0, "x", 1), XKW_E_BADHANDLE);

    std::vector<int32_t> readers;
    for (int i = 0; i < 64; ++i)
        readers.push_back(XKQRecvOpenId(0x80, path_.c_str(), 64, 4));
    EXPECT_EQ(readers.back(), 64);
    EXPECT_EQ(XKQRecvOpenId(0x80, path_.c_str(), 64, 4), XKW_E_FULL);
    for (int32_t h : readers)
        EXPECT_EQ(XKQRecvCloseId(h), 0);
}

TEST_F(QueueTest, WriterKilledAfterItsLastPutLeavesEveryRecord)
{
    pid_t pid = fork();
    if (pid == 0) {
        XKQueueBlock w{};
        if (XKQSendOpen(&w, 0, path_.c_str(), 64, 1024) != 0)
            _exit(1);
        for (int32_t i = 0; i < 1000; ++i)
            if (XKQSendPut(&w, 0, &i, sizeof i) != 4)
                _exit(2);
        kill(getpid(), SIGKILL);
        _exit(3);
    }
    ASSERT_EQ(reap(pid), -100 - SIGKILL);
    ASSERT_EQ(XKQRecvOpen(&r_, XKQ_MODE_MUSTEXIST, path_.c_str(), 0, 0), 0);
    for (int32_t i = 0; i < 1000; ++i)
        ASSERT_EQ(get(), i);
    EXPECT_EQ(get(), XKW_E_NOMORE);
}

TEST_F(QueueTest, ProcessesStreamThroughSharedMemoryWithoutLossOrRepeat)
{
    constexpr uint32_t total = 100000;
    store_ = Store::Shared;
    ASSERT_EQ(XKQRecvOpen(&r_, 0xC0, path_.c_str(), 64, 256), 0);
    pid_t pid = fork();
    if (pid == 0) {
        XKQueueBlock w{};
        if (XKQSendOpen(&w, 0xC0, path_.c_str(), 64, 256) != 0)
            _exit(1);
        auto deadline = Clock::now() + std::chrono::seconds(20);
        uint32_t rec[8];
        for (uint32_t seq = 0; seq < total; ++seq) {
            for (uint32_t k = 0; k < 8; ++k)
                rec[k] = seq * 8 + k;
            int32_t rc;
            for (int tries = 0; (rc = XKQSendPut(&w, 0, rec, sizeof rec)) == XKW_E_FULL; ++tries) {
                if (Clock::now() > deadline)
                    _exit(2);
                if (tries > 50)
                    XKWSleep(0);
            }
            if (rc != sizeof rec)
                _exit(3);
        }
        XKQSendClose(&w);
        _exit(0);
    }
    uint32_t next = 0;
    bool ok = true;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (next < total && ok && Clock::now() < deadline) {
        if (XKQRecvWait(&r_, 1000) != 0)
            continue;
        uint32_t rec[8];
        while (ok && XKQRecvGet(&r_, 0, rec, sizeof rec, nullptr) == sizeof rec) {
            for (uint32_t k = 0; k < 8; ++k)
                ok = ok && rec[k] == next * 8 + k;
            ++next;
        }
    }
    EXPECT_TRUE(ok) << "record " << next << " out of order or damaged";
    EXPECT_EQ(next, total);
    EXPECT_EQ(reap(pid), 0);
    EXPECT_EQ(XKQRecvGet(&r_, 0, nullptr, 0, nullptr), XKW_E_NOMORE);
}
