// Threads, thread locks and the process-wide thread-safe switch.
//
// Threads are created detached, so their resources go back to the system
// when they end and no caller ever joins; the thread id handed out is for
// identification only. The name is set by the new thread itself: setting it
// from the creator could touch a thread that has already ended.
// Locks are recursive because callers enter a lock they already hold.
#include "runtime/XKWThread.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "runtime/XKWHandle.h"

namespace {

std::atomic<int32_t> thread_safe{0};

XKWHandleTable<XKWLock, XKW_HANDLES> lock_table;

constexpr size_t thread_name_max = 15;  // the kernel keeps 16 bytes with the NUL

struct thread_start {
    XKWThreadProc function;
    void* argument;
    char name[thread_name_max + 1];
};

void* thread_main(void* p)
{
    // Copy and free the start block first: the function may leave through
    // XKWThreadEnd and never come back here.
    thread_start start = *static_cast<thread_start*>(p);
    delete static_cast<thread_start*>(p);
    if (start.name[0] != '\0')
        pthread_setname_np(pthread_self(), start.name);
    start.function(start.argument);
    return nullptr;
}

size_t stack_bytes(int32_t stack)
{
    size_t size = static_cast<size_t>(stack);
    size_t min = static_cast<size_t>(PTHREAD_STACK_MIN);
    if (size < min)
        size = min;
    long page = sysconf(_SC_PAGESIZE);
    size_t p = page > 0 ? static_cast<size_t>(page) : 4096;
    return (size + p - 1) / p * p;
}

// The flag is read by every operation and may be cleared by another thread,
// so it is accessed atomically although the struct stays plain.
int32_t lock_flag(XKWLock* lock)
{
    return std::atomic_ref<int32_t>(lock->init).load(std::memory_order_acquire);
}

void set_lock_flag(XKWLock* lock, int32_t value)
{
    std::atomic_ref<int32_t>(lock->init).store(value, std::memory_order_release);
}

// The holder is read by threads that do not hold the lock, so it is atomic;
// the depth is touched only by the holder.
std::atomic_ref<int32_t> lock_owner(XKWLock* lock)
{
    return std::atomic_ref<int32_t>(lock->owner);
}

// The calling thread's id, asked of the kernel once per thread: locks are
// taken for every trace line, and a system call each time would cost more
// than the line. A fork()ed child keeps its parent's value for the forking
// thread, which stays unique in the child.
int32_t self()
{
    thread_local const int32_t id = static_cast<int32_t>(gettid());
    return id;
}

int32_t note_entered(XKWLock* lock)
{
    int32_t me = self();
    if (lock_owner(lock).load(std::memory_order_relaxed) == me) {
        ++lock->depth;
    } else {
        lock_owner(lock).store(me, std::memory_order_relaxed);
        lock->depth = 1;
    }
    return XKW_OK;
}

}  // namespace

int32_t XKWThreadStart(uint64_t* handle, int32_t stack, XKWThreadProc function, void* argument,
                       const char* name)
{
    if (function == nullptr || stack < 0)
        return XKW_E_FAIL;
    auto* start = new (std::nothrow) thread_start{function, argument, {}};
    if (start == nullptr)
        return XKW_E_FAIL;
    if (name != nullptr)
        std::strncpy(start->name, name, thread_name_max);  // name[15] stays NUL

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete start;
        return XKW_E_FAIL;
    }
    int rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0 && stack > 0)
        rc = pthread_attr_setstacksize(&attr, stack_bytes(stack));
    pthread_t thread{};
    if (rc == 0)
        rc = pthread_create(&thread, &attr, thread_main, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        errno = rc;
        return XKW_E_FAIL;
    }
    if (handle != nullptr)
        *handle = static_cast<uint64_t>(thread);
    return XKW_OK;
}

uint64_t XKWThreadBegin(int32_t stack, XKWThreadProc function, void* argument, const char* name)
{
    uint64_t handle = 0;
    if (XKWThreadStart(&handle, stack, function, argument, name) != XKW_OK)
        return 0;
    return handle;
}

void XKWThreadEnd()
{
    pthread_exit(nullptr);
}

int32_t XKWThreadSafe(int32_t mode)
{
    if (mode == 0 || mode == 1)
        thread_safe.store(mode, std::memory_order_release);
    return thread_safe.load(std::memory_order_acquire);
}

int32_t XKWLockInit(XKWLock* lock)
{
    if (lock == nullptr)
        return XKW_E_BADHANDLE;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return XKW_E_FAIL;
    int rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0)
        rc = pthread_mutex_init(&lock->cs, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0)
        return XKW_E_FAIL;
    lock_owner(lock).store(0, std::memory_order_relaxed);
    lock->depth = 0;
    set_lock_flag(lock, 1);
    return XKW_OK;
}

int32_t XKWLockDelete(XKWLock* lock)
{
    if (lock == nullptr || lock_flag(lock) == 0)
        return XKW_E_BADHANDLE;
    set_lock_flag(lock, 0);
    pthread_mutex_destroy(&lock->cs);
    return XKW_OK;
}

int32_t XKWLockEnter(XKWLock* lock, int32_t try_)
{
    if (lock == nullptr || lock_flag(lock) == 0)
        return XKW_E_BADHANDLE;
    int rc = (try_ & 0x1) ? pthread_mutex_trylock(&lock->cs) : pthread_mutex_lock(&lock->cs);
    return rc == 0 ? note_entered(lock) : XKW_E_FAIL;
}

int32_t XKWLockLeave(XKWLock* lock)
{
    if (lock == nullptr || lock_flag(lock) == 0)
        return XKW_E_BADHANDLE;
    // A release by a thread that does not hold the lock is refused before
    // it reaches the mutex, so the holder's count stays intact.
    if (lock_owner(lock).load(std::memory_order_relaxed) != self())
        return XKW_E_FAIL;
    if (--lock->depth == 0)
        lock_owner(lock).store(0, std::memory_order_relaxed);
    return pthread_mutex_unlock(&lock->cs) == 0 ? XKW_OK : XKW_E_FAIL;
}

int32_t XKWLockCreateId()
{
    return lock_table.Open([](XKWLock& lock) { return XKWLockInit(&lock); });
}

int32_t XKWLockDeleteId(int32_t handle)
{
    XKWLock* lock = lock_table.Get(handle);
    if (lock == nullptr)
        return XKW_E_BADHANDLE;
    XKWLockDelete(lock);
    return lock_table.Free(handle);
}

int32_t XKWLockEnterId(int32_t handle, int32_t try_)
{
    XKWLock* lock = lock_table.Get(handle);
    return lock == nullptr ? XKW_E_BADHANDLE : XKWLockEnter(lock, try_);
}

int32_t XKWLockLeaveId(int32_t handle)
{
    XKWLock* lock = lock_table.Get(handle);
    return lock == nullptr ? XKW_E_BADHANDLE : XKWLockLeave(lock);
}
