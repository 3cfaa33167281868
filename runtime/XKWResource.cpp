// Named mutexes shared between processes.
//
// Each name has its own small POSIX shared-memory object "/xkwmutex\<name>"
// (the "\" cannot occur in a shared-memory area's name, so a mutex never
// meets an area of the same name) holding a process-shared, robust,
// recursive mutex. The object is created, sized and initialised under a file
// lock, so two processes opening a new name at once end up with one mutex,
// and a creator that dies half-way leaves an object the next opener repairs.
//
// A mutex whose owner died is taken over: the waiter makes it consistent
// again and reports it as owned (0). Reporting the take-over as a failure
// would leave the mutex held by the waiter with nobody to release it, and
// every later waiter would time out on a mutex held by no live process.
#include "runtime/XKWResource.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
#define XKW_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define XKW_TSAN 1
#endif
#endif
#ifdef XKW_TSAN
#include <sanitizer/tsan_interface.h>
#endif

#include "runtime/XKWHandle.h"
#include "runtime/XKWMem.h"
#include "runtime/XKWResult.h"

struct XKWResourceBlock {
    std::atomic<uint32_t> ready;  // block_ready once the mutex is initialised
    std::atomic<int32_t> owner;   // thread id of the holder, 0 when free
    int32_t depth;                // levels the holder took; only the holder touches it
    pthread_mutex_t mutex;
};

namespace {

constexpr uint32_t block_ready = 0x584B574D;  // "XKWM"
constexpr const char* mutex_prefix = "xkwmutex\\";

static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<int32_t>::is_always_lock_free,
              "the shared block needs address-free atomics");

XKWHandleTable<XKWResource, XKW_HANDLES> resource_table;

int32_t object_name(const char* name, std::array<char, NAME_MAX + 2>& out)
{
    std::array<char, XKW_RESOURCE_NAME_MAX + 1> cut{};
    size_t n = 0;
    for (const char* p = name; *p != '\0' && n + 1 < cut.size(); ++p)
        cut[n++] = *p == '\\' ? '.' : *p;
    cut[n] = '\0';
    return XKWMemObjectName(mutex_prefix, cut.data(), out.data(), out.size());
}

int32_t self()
{
    return static_cast<int32_t>(gettid());
}

int init_mutex(XKWResourceBlock* block)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0)
        rc = pthread_mutex_init(&block->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0)
        return rc;
    block->owner.store(0, std::memory_order_relaxed);
    block->depth = 0;
    block->ready.store(block_ready, std::memory_order_release);
    return 0;
}

// Map the block of an open object, sizing and initialising it when nobody
// has finished doing so. Runs under the object's file lock.
XKWResourceBlock* map_block(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return nullptr;
    if (static_cast<size_t>(st.st_size) < sizeof(XKWResourceBlock) &&
        ftruncate(fd, sizeof(XKWResourceBlock)) != 0)
        return nullptr;
    void* p = mmap(nullptr, sizeof(XKWResourceBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    auto* block = static_cast<XKWResourceBlock*>(p);
    if (block->ready.load(std::memory_order_acquire) != block_ready && init_mutex(block) != 0) {
        munmap(p, sizeof(XKWResourceBlock));
        return nullptr;
    }
    return block;
}

void note_locked(XKWResourceBlock* block, bool taken_over)
{
    int32_t me = self();
    if (!taken_over && block->owner.load(std::memory_order_relaxed) == me) {
        ++block->depth;
        return;
    }
    // Taken over from a dead owner, the mutex is held once, whatever the
    // dead owner's depth was.
    block->owner.store(me, std::memory_order_relaxed);
    block->depth = 1;
}

// ThreadSanitizer records a timed lock only when it returns 0; without this
// the release after a take-over would look like a release of a free mutex.
void note_timed_take_over(pthread_mutex_t* mutex)
{
#ifdef XKW_TSAN
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock, 0);
#else
    (void)mutex;
#endif
}

}  // namespace

int32_t XKWResourceOpen(XKWResource* resource, int32_t create, const char* name)
{
    if (resource == nullptr || name == nullptr)
        return XKW_E_FAIL;
    if (resource->open)
        XKWResourceClose(resource);
    std::array<char, NAME_MAX + 2> object{};
    if (object_name(name, object) < 0)
        return XKW_E_FAIL;

    int fd = XKWMemObjectOpen(object.data(), (create & 0x1) != 0);
    if (fd < 0)
        return XKW_E_FAIL;
    XKWResourceBlock* block = map_block(fd);
    XKWMemObjectClose(fd);
    if (block == nullptr)
        return XKW_E_FAIL;
    resource->mutex = block;
    resource->open = 1;
    return XKW_OK;
}

int32_t XKWResourceOpenNo(XKWResource* resource, int32_t create, int32_t number)
{
    char name[16];
    std::snprintf(name, sizeof name, "XKW%010d", number);
    return XKWResourceOpen(resource, create, name);
}

int32_t XKWResourceLock(XKWResource* resource, int32_t try_, int32_t ms)
{
    if (resource == nullptr || !resource->open || resource->mutex == nullptr)
        return XKW_E_BADHANDLE;
    XKWResourceBlock* block = resource->mutex;
    int rc;
    if (try_ & 0x1) {
        rc = pthread_mutex_trylock(&block->mutex);
    } else if (ms > 0) {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = pthread_mutex_timedlock(&block->mutex, &deadline);
    } else {
        rc = pthread_mutex_lock(&block->mutex);
    }
    bool taken_over = false;
    if (rc == EOWNERDEAD) {
        if (!(try_ & 0x1) && ms > 0)
            note_timed_take_over(&block->mutex);
        pthread_mutex_consistent(&block->mutex);
        taken_over = true;
        rc = 0;
    }
    if (rc == 0) {
        note_locked(block, taken_over);
        return XKW_OK;
    }
    if (rc == EBUSY || rc == ETIMEDOUT)
        return XKW_E_FAIL;
    return -rc;
}

int32_t XKWResourceUnlock(XKWResource* resource)
{
    if (resource == nullptr || !resource->open || resource->mutex == nullptr)
        return XKW_E_BADHANDLE;
    XKWResourceBlock* block = resource->mutex;
    // Refused here, as the system would (EPERM), without touching the mutex.
    if (block->owner.load(std::memory_order_relaxed) != self())
        return -EPERM;
    if (--block->depth == 0)
        block->owner.store(0, std::memory_order_relaxed);
    int rc = pthread_mutex_unlock(&block->mutex);
    return rc == 0 ? XKW_OK : -rc;
}

int32_t XKWResourceClose(XKWResource* resource)
{
    if (resource == nullptr || !resource->open || resource->mutex == nullptr)
        return XKW_E_BADHANDLE;
    XKWResourceBlock* block = resource->mutex;
    // The system keeps a held robust mutex on a list through its address;
    // unmapping it while held would leave that list pointing into nothing.
    if (block->owner.load(std::memory_order_relaxed) == self()) {
        int32_t levels = block->depth;
        block->depth = 0;
        block->owner.store(0, std::memory_order_relaxed);
        for (int32_t i = 0; i < levels; ++i)
            pthread_mutex_unlock(&block->mutex);
    }
    munmap(block, sizeof(XKWResourceBlock));
    resource->mutex = nullptr;
    resource->open = 0;
    return XKW_OK;
}

int32_t XKWResourceRemove(const char* name)
{
    if (name == nullptr)
        return XKW_E_INVAL;
    std::array<char, NAME_MAX + 2> object{};
    if (object_name(name, object) < 0)
        return XKW_E_INVAL;
    return XKWMemObjectRemove(object.data());
}

int32_t XKWResourceOpenId(int32_t create, const char* name)
{
    return resource_table.Open(
        [&](XKWResource& resource) { return XKWResourceOpen(&resource, create, name); });
}

int32_t XKWResourceOpenNoId(int32_t create, int32_t number)
{
    return resource_table.Open(
        [&](XKWResource& resource) { return XKWResourceOpenNo(&resource, create, number); });
}

int32_t XKWResourceCloseId(int32_t handle)
{
    XKWResource* resource = resource_table.Get(handle);
    if (resource == nullptr)
        return XKW_E_BADHANDLE;
    XKWResourceClose(resource);
    return resource_table.Free(handle);
}

int32_t XKWResourceLockId(int32_t handle, int32_t try_, int32_t ms)
{
    XKWResource* resource = resource_table.Get(handle);
    return resource == nullptr ? XKW_E_BADHANDLE : XKWResourceLock(resource, try_, ms);
}

int32_t XKWResourceUnlockId(int32_t handle)
{
    XKWResource* resource = resource_table.Get(handle);
    return resource == nullptr ? XKW_E_BADHANDLE : XKWResourceUnlock(resource);
}
