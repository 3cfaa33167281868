// Sleeping and the millisecond tick count.
#pragma once
#include <cstdint>

// Suspend the calling thread for `ms` milliseconds (0 or less: give up the
// processor once); returns 0.
int32_t XKWSleep(int32_t ms);

// Milliseconds since the system started, from the monotonic clock. 64 bits
// wide, so it never wraps and differences of two readings are always right.
uint64_t XKWTickCount();
