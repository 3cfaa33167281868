// Sleeping and the millisecond tick count.
//
// The tick count is 64-bit rather than a 32-bit count that wraps after
// about 49.7 days: timeouts computed as differences of tick counts stay
// right on a machine that runs for months.
#include "runtime/XKWSleep.h"

#include <sched.h>

#include <cerrno>
#include <ctime>

#include "runtime/XKWResult.h"

int32_t XKWSleep(int32_t ms)
{
    if (ms <= 0) {
        sched_yield();
        return XKW_OK;
    }
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // A signal handler must not shorten the sleep: continue with what is left.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return XKW_OK;
}

uint64_t XKWTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}
