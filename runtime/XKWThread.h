// Threads, thread locks and the process-wide thread-safe switch.
//
// Threads are detached POSIX threads: nothing has to be joined, the handle
// is released when the thread ends. A thread lock is a recursive mutex
// behind an initialised flag, usable in place (XKWLock inside a control
// block) or through a handle of the process-wide lock table.
#pragma once
#include <pthread.h>

#include <cstdint>

using XKWThreadProc = void (*)(void* argument);

// Start function(argument) on a new detached thread with `stack` bytes of
// stack (0 = default; smaller sizes are raised to the system minimum) and,
// when given, the name shown by top -H and gdb (first 15 characters).
// Writes the thread id to *handle (when not null); returns 0 or -1.
int32_t XKWThreadStart(uint64_t* handle, int32_t stack, XKWThreadProc function, void* argument,
                       const char* name = nullptr);

// The same as XKWThreadStart; returns the thread id, or 0 when the thread
// cannot be started.
uint64_t XKWThreadBegin(int32_t stack, XKWThreadProc function, void* argument,
                        const char* name = nullptr);

// End the calling thread; destructors of objects on its stack still run.
[[noreturn]] void XKWThreadEnd();

// Query (-1) or set (0 or 1) the thread-safe switch; returns the switch.
// While it is on, every runtime handle table guards itself with its own lock.
int32_t XKWThreadSafe(int32_t mode);

// In-process lock. A zero-cleared XKWLock is a valid "not initialised" lock;
// every operation on it returns -9 until XKWLockInit.
struct XKWLock {
    int32_t init;          // 1 between XKWLockInit and XKWLockDelete
    pthread_mutex_t cs;    // recursive: the owner may enter again
    int32_t owner;         // thread id of the holder, 0 when free
    int32_t depth;         // levels the holder entered
};

// Initialise a lock (recursive mutex, flag set); returns 0, or -1 when the
// mutex cannot be created.
int32_t XKWLockInit(XKWLock* lock);

// Delete an initialised lock (flag cleared); returns 0, or -9 when the lock
// is not initialised. The lock must not be held.
int32_t XKWLockDelete(XKWLock* lock);

// Take the lock: with `try` bit 0x1 only if it is free (0 taken, -1 busy),
// otherwise wait for it (0). -9 when the lock is not initialised.
int32_t XKWLockEnter(XKWLock* lock, int32_t try_);

// Release one level of the lock; returns 0, -9 when not initialised, -1
// when the calling thread does not hold it.
int32_t XKWLockLeave(XKWLock* lock);

// Holds a lock for a scope. A lock that is not initialised (before its
// owner is set up, or after it is deleted) is not taken.
class XKWLockGuard {
public:
    explicit XKWLockGuard(XKWLock* lock) : lock_(lock), held_(XKWLockEnter(lock, 0) == 0) {}
    ~XKWLockGuard()
    {
        if (held_)
            XKWLockLeave(lock_);
    }
    XKWLockGuard(const XKWLockGuard&) = delete;
    XKWLockGuard& operator=(const XKWLockGuard&) = delete;

private:
    XKWLock* lock_;
    bool held_;
};

// Create an initialised lock in the process lock table; returns its handle
// (1..256), -28 when the table is full, -12 on allocation failure, -1 when
// the mutex cannot be created.
int32_t XKWLockCreateId();

// Handle forms of XKWLockDelete (also frees the entry), XKWLockEnter and
// XKWLockLeave; each returns -9 for an invalid handle.
int32_t XKWLockDeleteId(int32_t handle);
int32_t XKWLockEnterId(int32_t handle, int32_t try_);
int32_t XKWLockLeaveId(int32_t handle);
