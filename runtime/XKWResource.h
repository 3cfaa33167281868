// Named mutexes shared between processes.
//
// A named mutex lives in a small POSIX shared-memory object of its own, so
// any process that opens the same name waits on the same mutex. The mutex is
// recursive (the owning thread may lock it again) and robust: when its owner
// dies, the next waiter takes it over. Objects stay in /dev/shm until
// XKWResourceRemove or a reboot, like the files of the queues and traces.
#pragma once
#include <cstdint>

struct XKWResourceBlock;  // the shared part, private to the module

struct XKWResource {
    int32_t open;               // 1 while the mutex is open
    XKWResourceBlock* mutex;    // the mapped shared object
};

inline constexpr int XKW_RESOURCE_NAME_MAX = 260;  // longer names are cut

// Open the mutex of that name ("\" counts as "."); when it does not exist
// and `create` bit 0x1 is set, create it (not owned). 0, or -1 when neither
// worked. An already open `resource` is closed first.
int32_t XKWResourceOpen(XKWResource* resource, int32_t create, const char* name);

// XKWResourceOpen with the name "XKW%010d" of `number`.
int32_t XKWResourceOpenNo(XKWResource* resource, int32_t create, int32_t number);

// Wait for the mutex: not at all with `try` bit 0x1, `ms` milliseconds when
// `ms` > 0, without limit otherwise. 0 when owned (also when it was taken
// over from a dead owner), -1 when busy or timed out, -errno on other
// failures, -9 when not open.
int32_t XKWResourceLock(XKWResource* resource, int32_t try_, int32_t ms);

// Release one level of the mutex; 0, -1 when the caller does not own it,
// -errno on other failures, -9 when not open.
int32_t XKWResourceUnlock(XKWResource* resource);

// Close the mutex (the name stays for other processes); a level still held
// by the calling thread is released first. 0, or -9 when not open.
int32_t XKWResourceClose(XKWResource* resource);

// Remove the name from the system; processes that have it open keep using
// it. 0, -2 when there is no such mutex, -errno otherwise.
int32_t XKWResourceRemove(const char* name);

// Handle forms through the process table of 256 named mutexes. The open
// forms return the handle, -28 when the table is full, -12 on allocation
// failure or -1 when the mutex cannot be opened; the others return -9 for
// an invalid handle and otherwise what the plain form returns.
int32_t XKWResourceOpenId(int32_t create, const char* name);
int32_t XKWResourceOpenNoId(int32_t create, int32_t number);
int32_t XKWResourceCloseId(int32_t handle);
int32_t XKWResourceLockId(int32_t handle, int32_t try_, int32_t ms);
int32_t XKWResourceUnlockId(int32_t handle);
