// Threads, thread locks and the process-wide thread-safe switch.
#include "runtime/XKWThread.h"

#include <atomic>

namespace {
std::atomic<int32_t> thread_safe{0};
}

int32_t XKWThreadSafe(int32_t mode)
{
    if (mode == 0 || mode == 1)
        thread_safe.store(mode, std::memory_order_release);
    return thread_safe.load(std::memory_order_acquire);
}
