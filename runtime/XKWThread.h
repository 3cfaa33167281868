// Threads, thread locks and the process-wide thread-safe switch.
#pragma once
#include <cstdint>

// Query (-1) or set (0 or 1) the thread-safe switch; returns the switch.
// While it is on, every runtime handle table guards itself with its own lock.
int32_t XKWThreadSafe(int32_t mode);
