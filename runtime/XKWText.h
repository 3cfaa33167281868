// Numbers from configuration value texts.
//
// Leading blanks and tabs are skipped and a sign is allowed. A text that
// begins with "x" or "0x" (either case) is hexadecimal after the prefix;
// otherwise, when the first character that is not a decimal digit is a
// hexadecimal letter, the whole text is hexadecimal (so 1A is 26 and FF
// 255), else decimal (0010 is 10, 12ms is 12). Reading stops at the first
// character that does not fit; an empty text or one that holds no number
// gives the caller's default.
#pragma once
#include <cstdint>

// Signed 64-bit number; values beyond the range are clamped.
int64_t XKWTextToInt(const char* text, int64_t def);
// Value of a decimal or hexadecimal digit character (either case), -1 for
// any other character.
int XKWTextDigit(char c);
// Unsigned 64-bit number; beyond the range gives UINT64_MAX, a minus sign
// negates modulo 2^64.
uint64_t XKWTextToUInt(const char* text, uint64_t def);
// Floating-point number.
double XKWTextToReal(const char* text, double def);

// List forms: split text at commas (no quoting) and fill count values, a
// missing or empty item taking def. The 32-bit forms keep the low 32 bits,
// so 0xFFFFFFFF is all bits set. Return the number of items the text held
// (at most count), -22 for a null values with count > 0 or a negative count.
int32_t XKWTextToIntList(const char* text, int32_t def, int32_t* values, int32_t count);
int32_t XKWTextToUIntList(const char* text, uint32_t def, uint32_t* values, int32_t count);
int32_t XKWTextToInt64List(const char* text, int64_t def, int64_t* values, int32_t count);
int32_t XKWTextToRealList(const char* text, double def, double* values, int32_t count);
