// String helpers on NUL-terminated text in the process character code:
// trimming, ASCII case, bounded copy and append, and splitting at a
// separator. A multi-byte character (XKWCodeLead) is always handled whole:
// its trailing bytes are never taken for a blank, a separator or a letter,
// and a truncating copy never cuts one in half.
#pragma once
#include <cstddef>
#include <cstdint>

// Remove trailing CR and LF characters in place; returns the new length.
int32_t XKWStrTrimEol(char* text);
// Remove trailing blanks and tabs in place; returns the new length.
int32_t XKWStrTrimRight(char* text);
// Remove leading blanks and tabs in place; returns the new length.
int32_t XKWStrTrimLeft(char* text);

// Convert ASCII letters to upper / lower case in place, leaving multi-byte
// characters untouched; returns the length.
int32_t XKWStrUpper(char* text);
int32_t XKWStrLower(char* text);

// Copy src into dest (size bytes), at most size - 1 bytes, always
// terminated; returns the copied length, -22 for a null dest or size 0.
int32_t XKWStrCopy(char* dest, const char* src, size_t size);
// Append src to the text in dest (size bytes), truncating, always
// terminated; returns the new length, -22 for a null dest, size 0 or a dest
// that holds no NUL within size.
int32_t XKWStrCat(char* dest, const char* src, size_t size);

// Move the text up to the first separator into out (size bytes, truncated
// and terminated) and remove it and the separator from text; without a
// separator the whole text is taken. Returns the length written to out, -1
// when text is empty, -22 for null arguments or size 0.
int32_t XKWStrToken(char separator, char* text, char* out, size_t size);

// Split text at each separator into at most count fields; field i is
// out + i * width, cut to width - 1 bytes and terminated. Fields past the
// last one found are set empty; text after the count-th field is ignored.
// Returns the number of fields (0 for empty text), -22 for bad arguments.
int32_t XKWStrFields(char separator, const char* text, char* out, int32_t count, int32_t width);

// Bounded appending of formatted text into a caller's buffer: at most
// size - 1 characters, always terminated; what does not fit is dropped.
class XKWTextOut {
public:
    XKWTextOut(char* buffer, size_t size);
    void add(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void blanks(size_t n);
    void clear();
    size_t length() const { return len_; }
    const char* c_str() const { return p_; }

private:
    char* p_;
    size_t size_;
    size_t len_ = 0;
};
