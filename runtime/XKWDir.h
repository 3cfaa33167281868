// Directory listing filtered by a wildcard pattern (XKWPatternMatch). The
// caller owns the XKWDir block: XKWDirOpen, XKWDirNext until it returns 1,
// then XKWDirClose. Entries come in the order the file system gives them.
#pragma once
#include <cstddef>
#include <cstdint>

// Longest pattern, with its NUL.
inline constexpr size_t XKW_DIR_PATTERN_MAX = 260;

struct XKWDir {
    void* handle;                       // the open directory stream, or nullptr
    int32_t state;                      // 1 listing, 0 closed or at the end
    char pattern[XKW_DIR_PATTERN_MAX];  // names must match this
};

// Start listing directory ("." when null or empty) for names matching
// pattern ("*" when null or empty). Returns 0, -22 for a null dir or a
// pattern too long, or -errno when the directory cannot be opened; in every
// case dir is left in a state that XKWDirNext and XKWDirClose accept.
int32_t XKWDirOpen(XKWDir* dir, const char* directory, const char* pattern);
// Next matching name other than "." and ".." into name_out (size bytes).
// Returns 0 with a name, 1 at the end, -9 when the listing is not open,
// -28 when the name does not fit (that entry is passed over).
int32_t XKWDirNext(XKWDir* dir, char* name_out, size_t size);
// End the listing and release the directory stream; returns 0, -9 for a
// null dir. Closing a closed block is harmless.
int32_t XKWDirClose(XKWDir* dir);
