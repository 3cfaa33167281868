// Hexadecimal and numeric dump lines of binary data, as written into trace
// files and log panes.
//
// A line is 80 columns: the label and the element index of its first byte
// (13 columns), the elements from column 13, ":" at column 62 and the
// bytes as characters from column 63 (74 and 75 in wide mode). Dump flags:
// bits 12..15 element type, 0x8000 unsigned (hexadecimal for type 8),
// 0x10000 multi-byte characters of the process code kept whole in the
// character column, 0x20000 20 bytes a line (element sizes 1 and 2 only).
//
//   type       size  element text
//   0, 5, 13   1     " %02x"
//   1, 9       2     "%6hd", unsigned "%6hu"
//   8          2     "%6hd", unsigned "  %04hx"
//   2, 10      4     "%12d", unsigned "%12u"
//   3          4     "%12.4e" (float)
//   11         4     "    %08x"
//   4          8     "%24.15e" (double)
//   12         8     8 blanks and "%016llx"
//   6, 14      8     "%24lld", unsigned "%24llu"
//   7          16    "%49.40Le" of the first 8 bytes as a double
//   15         1     characters only: 64 a line (100 wide) from column 13
#pragma once
#include <cstddef>
#include <cstdint>

// Room for any dump line with its NUL: the wide character-only line is 113
// columns, and a multi-byte character may run a few bytes past the end.
inline constexpr size_t XKW_DUMP_LINE_SIZE = 128;

// Format the line of data[0..length) that starts at *offset into line (size
// bytes, cut to fit and always terminated; XKW_DUMP_LINE_SIZE holds every
// line) and advance *offset past it. *carry is the number of bytes at the
// start of this line that the previous line's last multi-byte character
// already showed (they print as "."); on return it holds the count for the
// next line. A trailing part of an element too short for a whole element
// shows in the character column only. Returns 1 when an element of the line
// is non-zero (floats: not equal to 0.0), 0 when all are zero or the offset
// is at the end, -22 for bad arguments.
int32_t XKWDumpLine(int32_t dumpflags, const char* label, const void* data, int32_t length,
                    int32_t* offset, int32_t* carry, char* line, size_t size);
