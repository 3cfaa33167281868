// Wildcard matching of file names, as used to find trace generations and
// old trace and queue files.
#pragma once
#include <cstdint>

// 1 when name matches pattern, else 0. "?" matches one character (a
// multi-byte character counts as one), "*" any run of characters, shortest
// first, "\" takes the next pattern character literally; everything else
// matches itself exactly (case-sensitive). A null argument is taken as "".
int32_t XKWPatternMatch(const char* pattern, const char* name);
