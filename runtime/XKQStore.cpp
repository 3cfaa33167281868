// Queue store: open and close of a queue in its three modes, the queue lock,
// access to the head, record headers and record data, side files and side
// buffers, and the put counter that readers wait on.
//
// Every size taken from an existing file or shared area (record size and
// count in the head, indexes in the put and get blocks) is checked before it
// is used for an offset or an allocation: a corrupt head gives a negative
// code, never a read or write outside the store.
//
// Files are read and written with pread/pwrite at the records' offsets; the
// file is never extended beforehand, so ranges not yet written (and reads
// past the end) count as zeros. Memory stores are accessed in place.
#include "runtime/XKQStore.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"

namespace {

// A side file that cannot be read is tried this many more times, this far
// apart: its writer may still be closing it on a slow disk.
constexpr int side_retries = 3;
constexpr int32_t side_retry_ms = 500;

// File-mode waits poll the put block, starting fast and backing off to this.
constexpr int32_t poll_max_ms = 5;

// The largest store: its size must fit a 32-bit shared-memory request.
constexpr int64_t store_max = INT32_MAX - 8;

const unsigned char zeros[XKQ_RECSIZE_MAX] = {};

// Offset of the put counter behind the records, on a 4-byte boundary so the
// kernel accepts it as a futex.
int64_t counter_offset(int32_t recsize, int32_t count)
{
    return (static_cast<int64_t>(recsize) * count + XKQ_HEAD_SIZE + 3) & ~int64_t{3};
}

// A ring the index scheme can work with: a record header per record, at
// least two records (one slot always separates the put from the get once
// reading has started), and a store whose size fits.
bool sizes_valid(int32_t recsize, int32_t count)
{
    return recsize >= XKQ_RECHEAD_SIZE && recsize <= XKQ_RECSIZE_MAX && count >= 2 &&
           counter_offset(recsize, count) + 4 <= store_max;
}

int64_t record_offset(const XKQueueBlock* q, int32_t index)
{
    return XKQ_HEAD_SIZE + static_cast<int64_t>(index) * q->recsize;
}

uint32_t* counter(const XKQueueBlock* q)
{
    return reinterpret_cast<uint32_t*>(q->base + counter_offset(q->recsize, q->count));
}

bool bad_offset(int err)
{
    return err == EINVAL || err == EOVERFLOW || err == ESPIPE;
}

// Read up to n bytes at off; bytes past the end of the file are zeros.
// Returns the bytes the file held, or -errno.
int64_t pread_zero(int fd, void* out, size_t n, int64_t off)
{
    auto* p = static_cast<unsigned char*>(out);
    size_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd, p + got, n - got, static_cast<off_t>(off + static_cast<int64_t>(got)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -errno;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    std::memset(p + got, 0, n - got);
    return static_cast<int64_t>(got);
}

// Write all of the pieces at off; 0 or -errno.
int32_t pwrite_all(int fd, iovec* iov, int n, int64_t off)
{
    for (int guard = 0; n > 0 && guard < 1024; ++guard) {
        ssize_t w = pwritev(fd, iov, n, static_cast<off_t>(off));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? -errno : XKW_E_FAIL;
        off += w;
        while (n > 0 && static_cast<size_t>(w) >= iov->iov_len) {
            w -= static_cast<ssize_t>(iov->iov_len);
            ++iov;
            --n;
        }
        if (n > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + w;
            iov->iov_len -= static_cast<size_t>(w);
        }
    }
    return n == 0 ? XKW_OK : XKW_E_FAIL;
}

int32_t write_at(int fd, const void* data, size_t n, int64_t off)
{
    iovec iov{const_cast<void*>(data), n};
    return pwrite_all(fd, &iov, 1, off);
}

// Read the head bytes [from, from + n) of the store into q->head.
int32_t read_head(XKQueueBlock* q, size_t from, size_t n)
{
    auto* dst = reinterpret_cast<unsigned char*>(&q->head) + from;
    if (xkq_memory(q)) {
        std::memcpy(dst, q->base + from, n);
        return XKW_OK;
    }
    int64_t r = pread_zero(q->fd, dst, n, static_cast<int64_t>(from));
    if (r < 0)
        return bad_offset(static_cast<int>(-r)) ? XKQ_E_SEEKREAD : XKQ_E_READHEAD;
    return static_cast<size_t>(r) == n ? XKW_OK : XKQ_E_READHEAD;
}

int32_t write_head(XKQueueBlock* q, size_t from, size_t n)
{
    const auto* src = reinterpret_cast<const unsigned char*>(&q->head) + from;
    if (xkq_memory(q)) {
        std::memcpy(q->base + from, src, n);
        return XKW_OK;
    }
    int32_t rc = write_at(q->fd, src, n, static_cast<int64_t>(from));
    if (rc < 0)
        return bad_offset(-rc) ? XKQ_E_SEEKWRITE : XKQ_E_WRITEHEAD;
    return XKW_OK;
}

// A fresh head: the ring's sizes, nothing put, nothing taken.
void new_head(XKQueueBlock* q)
{
    q->head = XKQStoreHead{};
    q->head.recsize = q->recsize;
    q->head.count = q->count;
    q->head.put.index = -1;
    q->head.get.index = -1;
}

// Sizes of an existing store: positive values in its head win.
bool take_sizes(XKQueueBlock* q)
{
    if (q->head.recsize > 0)
        q->recsize = q->head.recsize;
    if (q->head.count > 0)
        q->count = q->head.count;
    return sizes_valid(q->recsize, q->count);
}

int32_t open_file(XKQueueBlock* q)
{
    q->fd = open(q->name, O_RDWR | O_CLOEXEC);
    if (q->fd < 0 && errno != ENOENT)
        return XKQ_E_HEADREAD;
    if (q->fd >= 0) {
        int32_t rc = read_head(q, 0, XKQ_HEAD_SIZE);
        if (rc < 0)
            return XKQ_E_HEADREAD;
        return take_sizes(q) ? XKW_OK : XKQ_E_HEADREAD;
    }
    if (q->mode & XKQ_MODE_MUSTEXIST)
        return XKQ_E_MISSING;
    if (!sizes_valid(q->recsize, q->count))
        return XKQ_E_SIZE;
    q->fd = open(q->name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (q->fd < 0)
        return XKQ_E_CREATE;
    new_head(q);
    if (write_head(q, 0, 32) < 0)
        return XKQ_E_INITHEAD;
    if (write_head(q, 32, 16) < 0)
        return XKQ_E_INITPUT;
    if (write_head(q, 48, 16) < 0)
        return XKQ_E_INITGET;
    return XKW_OK;
}

int32_t open_private(XKQueueBlock* q)
{
    if (!sizes_valid(q->recsize, q->count))
        return XKW_E_INVAL;
    q->base = static_cast<unsigned char*>(std::calloc(1, counter_offset(q->recsize, q->count) + 4));
    if (q->base == nullptr)
        return XKQ_E_ALLOC;
    new_head(q);
    return write_head(q, 0, XKQ_HEAD_SIZE);
}

int32_t open_shared(XKQueueBlock* q)
{
    char area[XKQ_NAME_MAX + 8];
    std::snprintf(area, sizeof area, "XKQ_%s", q->name);
    bool valid = sizes_valid(q->recsize, q->count);
    // XKWMem adds the 4 bytes the put counter lives in.
    int32_t size = valid ? static_cast<int32_t>(counter_offset(q->recsize, q->count)) : 0;
    void* p = XKWMemMap(area, size, &q->mapping);
    if (p == nullptr)
        return XKQ_E_SHMCREATE;
    q->base = static_cast<unsigned char*>(p);
    if (q->mapping.created) {
        if (!valid) {
            XKWMemRemove(area);  // made just now and unusable: leave no trace
            return XKW_E_INVAL;
        }
        new_head(q);
        return write_head(q, 0, XKQ_HEAD_SIZE);
    }
    read_head(q, 0, XKQ_HEAD_SIZE);
    if (!take_sizes(q))
        return XKQ_E_SHMMAP;
    // The head must not describe more records than the area holds.
    if (static_cast<uint64_t>(counter_offset(q->recsize, q->count)) + 4 > q->mapping.size)
        return XKQ_E_SHMMAP;
    return XKW_OK;
}

void release(XKQueueBlock* q)
{
    if (xkq_shared(q)) {
        if (q->base != nullptr)
            XKWMemUnmap(q->base, &q->mapping);
    } else if (xkq_memory(q)) {
        if (q->base != nullptr) {
            // Side buffers are named only by the headers of their records.
            for (int32_t i = 0; i < q->count; ++i) {
                XKQRecordHeader h;
                std::memcpy(&h, q->base + record_offset(q, i), sizeof h);
                xkq_buffer_free(h.side);
            }
            std::free(q->base);
        }
    } else if (q->fd >= 0) {
        close(q->fd);
    }
    q->base = nullptr;
    q->fd = -1;
}

void release_lock(XKQueueBlock* q)
{
    if (xkq_memory(q) && !xkq_shared(q))
        XKWLockDelete(&q->lock);
    else
        XKWResourceClose(&q->mutex);
}

long futex(uint32_t* word, int op, uint32_t value, const timespec* timeout)
{
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

}  // namespace

int32_t xkq_store_open(XKQueueBlock* q, int32_t mode, const char* name, int32_t recsize, int32_t count)
{
    if (q == nullptr)
        return XKW_E_INVAL;
    if (xkq_is_open(q))
        xkq_store_close(q);
    *q = XKQueueBlock{};
    q->fd = -1;
    // A path that does not fit is refused rather than cut: a cut path names
    // another file.
    if (name == nullptr || name[0] == '\0' || std::strlen(name) >= XKQ_NAME_MAX)
        return XKW_E_INVAL;
    XKWStrCopy(q->name, name, sizeof q->name);
    q->mode = mode;
    q->recsize = std::min(recsize, XKQ_RECSIZE_MAX);
    q->count = count;
    bool memory = xkq_memory(q), shared = xkq_shared(q);
    if (shared && (mode & XKQ_MODE_LONG))
        return XKW_E_INVAL;  // another process cannot reach our side buffers

    if (memory && !shared) {
        if (XKWLockInit(&q->lock) != 0)
            return XKW_E_FAIL;
    } else if (XKWResourceOpen(&q->mutex, 1, q->name) != 0) {
        return XKW_E_FAIL;
    }
    // Creation and the first read of the head run under the queue lock, so
    // a side opening at the same moment never sees a half-written head.
    int32_t rc;
    {
        bool held = xkq_lock(q);
        rc = !memory ? open_file(q) : shared ? open_shared(q) : open_private(q);
        xkq_unlock(q, held);
    }
    if (rc < 0) {
        release(q);
        release_lock(q);
        *q = XKQueueBlock{};
        q->fd = -1;
        return rc;
    }
    q->open = xkq_open_marker;
    return XKW_OK;
}

int32_t xkq_store_close(XKQueueBlock* q)
{
    if (!xkq_is_open(q))
        return XKW_E_BADHANDLE;
    {
        bool held = xkq_lock(q);
        release(q);
        xkq_unlock(q, held);
    }
    release_lock(q);
    *q = XKQueueBlock{};
    q->fd = -1;
    return XKW_OK;
}

bool xkq_lock(XKQueueBlock* q)
{
    if (xkq_memory(q) && !xkq_shared(q))
        return XKWLockEnter(&q->lock, 0) == 0;
    if (XKWResourceLock(&q->mutex, 0, 0) == 0)
        return true;
    // The mutex is broken for us: open it afresh for the next operation and
    // let this one go on unlocked rather than hang or fail.
    XKWResourceClose(&q->mutex);
    XKWResourceOpen(&q->mutex, 1, q->name);
    return false;
}

void xkq_unlock(XKQueueBlock* q, bool held)
{
    if (!held)
        return;
    if (xkq_memory(q) && !xkq_shared(q))
        XKWLockLeave(&q->lock);
    else
        XKWResourceUnlock(&q->mutex);
}

int32_t xkq_read_blocks(XKQueueBlock* q)
{
    int32_t rc = read_head(q, offsetof(XKQStoreHead, put), 2 * sizeof(XKQIndexBlock));
    if (rc < 0)
        return rc;
    // The indexes become offsets: anything outside the ring is corruption.
    auto in_ring = [q](int32_t i) { return i >= -1 && i < q->count; };
    if (!in_ring(q->head.put.index) || !in_ring(q->head.get.index))
        return XKQ_E_READHEAD;
    return XKW_OK;
}

int32_t xkq_write_put(XKQueueBlock* q)
{
    return write_head(q, offsetof(XKQStoreHead, put), sizeof(XKQIndexBlock));
}

int32_t xkq_write_get(XKQueueBlock* q)
{
    return write_head(q, offsetof(XKQStoreHead, get), sizeof(XKQIndexBlock));
}

int32_t xkq_read_record(XKQueueBlock* q, int32_t index, XKQRecordHeader* h)
{
    if (xkq_memory(q)) {
        std::memcpy(h, q->base + record_offset(q, index), sizeof *h);
        return XKW_OK;
    }
    int64_t r = pread_zero(q->fd, h, sizeof *h, record_offset(q, index));
    if (r < 0)
        return bad_offset(static_cast<int>(-r)) ? XKQ_E_SEEKREAD : XKQ_E_READHEAD;
    return XKW_OK;
}

int32_t xkq_write_record(XKQueueBlock* q, int32_t index, const XKQRecordHeader* h)
{
    if (xkq_memory(q)) {
        std::memcpy(q->base + record_offset(q, index), h, sizeof *h);
        return XKW_OK;
    }
    int32_t rc = write_at(q->fd, h, sizeof *h, record_offset(q, index));
    if (rc < 0)
        return bad_offset(-rc) ? XKQ_E_SEEKWRITE : XKQ_E_WRITEHEAD;
    return XKW_OK;
}

int32_t xkq_write_data(XKQueueBlock* q, int32_t index, const void* data, int32_t length, int32_t fail)
{
    auto n = static_cast<size_t>(std::clamp(length, 0, xkq_data_size(q)));
    size_t pad = static_cast<size_t>(xkq_data_size(q)) - n;
    int64_t off = record_offset(q, index) + XKQ_RECHEAD_SIZE;
    if (xkq_memory(q)) {
        if (n > 0)
            std::memcpy(q->base + off, data, n);
        std::memset(q->base + off + static_cast<int64_t>(n), 0, pad);
        return XKW_OK;
    }
    iovec iov[2] = {{const_cast<void*>(data), n}, {const_cast<unsigned char*>(zeros), pad}};
    int32_t rc = pwrite_all(q->fd, n > 0 ? iov : iov + 1, n > 0 ? 2 : 1, off);
    if (rc < 0)
        return bad_offset(-rc) ? XKQ_E_SEEKWRITE : fail;
    return XKW_OK;
}

int32_t xkq_read_data(XKQueueBlock* q, int32_t index, void* out, int32_t length)
{
    auto n = static_cast<size_t>(std::clamp(length, 0, xkq_data_size(q)));
    int64_t off = record_offset(q, index) + XKQ_RECHEAD_SIZE;
    if (n == 0)
        return 0;
    if (xkq_memory(q)) {
        std::memcpy(out, q->base + off, n);
        return static_cast<int32_t>(n);
    }
    int64_t r = pread_zero(q->fd, out, n, off);
    if (r < 0)
        return bad_offset(static_cast<int>(-r)) ? XKQ_E_SEEKREAD : XKQ_E_READDATA;
    return static_cast<int32_t>(n);
}

namespace {

void side_path(const XKQueueBlock* q, int32_t index, char (&path)[XKQ_NAME_MAX + 16])
{
    std::snprintf(path, sizeof path, "%s.%06d", q->name, index);
}

// One attempt at reading a side file.
int32_t side_read_once(const char* path, void* out, int32_t length)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return XKQ_E_SIDEOPEN;
    int64_t got = pread_zero(fd, out, static_cast<size_t>(length), 0);
    close(fd);
    return got == length ? length : XKQ_E_SIDESHORT;
}

}  // namespace

int32_t xkq_side_write(XKQueueBlock* q, int32_t index, const void* data, int32_t length)
{
    char path[XKQ_NAME_MAX + 16];
    side_path(q, index, path);
    unlink(path);  // an old record's side file of this index
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return XKQ_E_SIDECREATE;
    int32_t rc = write_at(fd, data, static_cast<size_t>(length), 0);
    if (close(fd) != 0 && rc == 0)
        rc = XKW_E_FAIL;
    if (rc < 0) {
        unlink(path);
        return XKQ_E_SIDECREATE;
    }
    return length;
}

int32_t xkq_side_read(XKQueueBlock* q, int32_t index, void* out, int32_t length)
{
    char path[XKQ_NAME_MAX + 16];
    side_path(q, index, path);
    int32_t rc = side_read_once(path, out, length);
    for (int i = 0; i < side_retries && rc < 0; ++i) {
        XKWSleep(side_retry_ms);
        rc = side_read_once(path, out, length);
    }
    return rc;
}

void xkq_side_delete(XKQueueBlock* q, int32_t index)
{
    char path[XKQ_NAME_MAX + 16];
    side_path(q, index, path);
    unlink(path);
}

// A side buffer carries its length in front of the data, so a record
// header whose len says more than the buffer holds is caught.
uint64_t xkq_buffer_new(const void* data, int32_t length)
{
    auto* p = static_cast<unsigned char*>(std::malloc(sizeof(uint64_t) + static_cast<size_t>(length)));
    if (p == nullptr)
        return 0;
    uint64_t n = static_cast<uint64_t>(length);
    std::memcpy(p, &n, sizeof n);
    std::memcpy(p + sizeof n, data, static_cast<size_t>(length));
    return reinterpret_cast<uintptr_t>(p);
}

int32_t xkq_buffer_read(uint64_t address, void* out, int32_t length)
{
    if (address == 0)
        return XKW_E_NOTFOUND;
    const auto* p = reinterpret_cast<const unsigned char*>(static_cast<uintptr_t>(address));
    uint64_t n;
    std::memcpy(&n, p, sizeof n);
    if (static_cast<uint64_t>(length) > n)
        return XKQ_E_READDATA;
    std::memcpy(out, p + sizeof n, static_cast<size_t>(length));
    return length;
}

void xkq_buffer_free(uint64_t address)
{
    std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(address)));
}

// The put counter: bit 0 says a reader is about to sleep on it, the rest
// counts puts (in steps of 2). A put clears the bit and, only when it was
// set, makes the wake-up system call.
void xkq_notify(XKQueueBlock* q)
{
    if (!xkq_memory(q))
        return;
    uint32_t* word = counter(q);
    std::atomic_ref<uint32_t> c(*word);
    uint32_t seen = c.load(std::memory_order_relaxed);
    bool done = false;
    for (int i = 0; i < 1000 && !done; ++i)
        done = c.compare_exchange_weak(seen, (seen + 2) & ~1u, std::memory_order_release,
                                       std::memory_order_relaxed);
    if (!done)
        seen = c.fetch_add(2, std::memory_order_release) | 1u;
    if (seen & 1u)
        futex(word, xkq_shared(q) ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

int32_t xkq_wait(XKQueueBlock* q, int32_t ms)
{
    // Nanoseconds, not tick milliseconds: a tick deadline would end the
    // wait up to a millisecond early.
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    uint32_t* word = xkq_memory(q) ? counter(q) : nullptr;
    int32_t nap = 1;
    for (;;) {
        // Announce the sleep before looking at the ring: a put after the look
        // then changes the word, and the futex wait returns at once.
        uint32_t seen = 0;
        bool armed = false;
        if (word != nullptr) {
            std::atomic_ref<uint32_t> c(*word);
            seen = c.load(std::memory_order_acquire);
            armed = (seen & 1u) != 0 || c.compare_exchange_strong(seen, seen | 1u, std::memory_order_acq_rel);
            seen |= 1u;
        }
        int32_t rc;
        bool unread = false;
        {
            XKQLockGuard guard(q);
            rc = xkq_read_blocks(q);
            unread = rc == 0 && q->head.get.index != q->head.put.index;
        }
        if (rc < 0)
            return rc;
        if (unread)
            return XKW_OK;
        const clock::time_point now = clock::now();
        if (now >= deadline)
            return XKW_E_TIMEOUT;
        const int64_t left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
        if (word == nullptr) {
            timespec ts{0, std::min<int64_t>(int64_t{nap} * 1000000, left)};
            nanosleep(&ts, nullptr);
            nap = std::min(nap * 2, poll_max_ms);
        } else if (armed) {
            timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
            futex(word, xkq_shared(q) ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE, seen, &ts);
        }
        // Not armed: a put raced the announcement; look again at once.
    }
}
