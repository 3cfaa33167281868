// Process character code, multi-byte character test and conversions between
// Shift-JIS, EUC-JP and UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr int32_t XKW_CODE_SJIS = 0;
inline constexpr int32_t XKW_CODE_EUC = 1;
inline constexpr int32_t XKW_CODE_UTF8 = 2;

// The process character code (0 Shift-JIS, the start value; 1 EUC; 2 UTF-8).
int32_t XKWCodeGet();
// Set the process character code; returns it, or -22 for an unknown code.
int32_t XKWCodeSet(int32_t code);

// Number of trailing bytes of the character that starts at text under the
// process code (0 for a single-byte character). Text routines copy a
// character and its trailing bytes whole and never look inside.
int32_t XKWCodeLead(const char* text);
// Bytes of the character that starts at text: 1 + its trailing bytes, 0 at
// the terminator. A sequence cut short by the terminator ends before it.
size_t XKWCodeCharLen(const char* text);

// Convert a NUL-terminated EUC-JP text to Shift-JIS into out (size bytes,
// always terminated); returns the output length, -1 when a byte pair has no
// counterpart, -28 when out is too small.
int32_t XKWCodeEucToShiftJis(const char* text, char* out, size_t size);
// The reverse: Shift-JIS to EUC-JP, same results.
int32_t XKWCodeShiftJisToEuc(const char* text, char* out, size_t size);

// Convert len bytes of text from one character code to another (codes as
// for XKWCodeSet) into out (size bytes, always terminated). UTF-8 goes to
// and from Shift-JIS through the platform's converter, EUC through
// Shift-JIS. Returns the output length, -1 when the text cannot be
// converted, -28 when out is too small, -22 for an unknown code.
int32_t XKWCodeConvert(int32_t from, int32_t to, const char* in, size_t len, char* out, size_t size);
