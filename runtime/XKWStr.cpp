// String trimming, case, bounded copies and splitting. Every scan walks the
// text character by character so that a Shift-JIS trailing byte such as
// 0x5C or 0x61 is never mistaken for a separator or a letter.
#include "runtime/XKWStr.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"

namespace {


bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_eol(char c)
{
    return c == '\r' || c == '\n';
}

// Cut text after its last character that is not one of drop; returns the
// new length.
template <bool (*Drop)(char)>
int32_t trim_right(char* text)
{
    if (text == nullptr)
        return 0;
    size_t end = 0;
    for (size_t i = 0; text[i] != '\0';) {
        size_t n = XKWCodeCharLen(text + i);
        if (n > 1 || !Drop(text[i]))
            end = i + n;
        i += n;
    }
    text[end] = '\0';
    return static_cast<int32_t>(end);
}

// Length of the longest prefix of src (at most len bytes) that fits in
// limit bytes without splitting a character.
size_t fit_whole(const char* src, size_t len, size_t limit)
{
    size_t i = 0;
    while (i < len) {
        size_t n = XKWCodeCharLen(src + i);
        if (i + n > limit || i + n > len)
            break;
        i += n;
    }
    return i;
}

// Copy len bytes of src into out (size > 0 bytes) as whole characters,
// terminated; returns the bytes copied.
size_t put_cut(char* out, size_t size, const char* src, size_t len)
{
    size_t n = fit_whole(src, len, size - 1);
    std::memmove(out, src, n);
    out[n] = '\0';
    return n;
}

// Offset of the first separator in text, or of its NUL when there is none.
size_t find_sep(const char* text, char separator)
{
    size_t i = 0;
    while (text[i] != '\0') {
        size_t n = XKWCodeCharLen(text + i);
        if (n == 1 && text[i] == separator)
            break;
        i += n;
    }
    return i;
}

template <char Lo, char Hi, int Shift>
int32_t map_ascii(char* text)
{
    if (text == nullptr)
        return 0;
    size_t i = 0;
    while (text[i] != '\0') {
        size_t n = XKWCodeCharLen(text + i);
        if (n == 1 && text[i] >= Lo && text[i] <= Hi)
            text[i] = static_cast<char>(text[i] + Shift);
        i += n;
    }
    return static_cast<int32_t>(i);
}

}  // namespace

int32_t XKWStrTrimEol(char* text)
{
    return trim_right<is_eol>(text);
}

int32_t XKWStrTrimRight(char* text)
{
    return trim_right<is_blank>(text);
}

int32_t XKWStrTrimLeft(char* text)
{
    if (text == nullptr)
        return 0;
    size_t skip = 0;
    while (is_blank(text[skip]))
        ++skip;
    size_t len = std::strlen(text + skip);
    std::memmove(text, text + skip, len + 1);
    return static_cast<int32_t>(len);
}

int32_t XKWStrUpper(char* text)
{
    return map_ascii<'a', 'z', 'A' - 'a'>(text);
}

int32_t XKWStrLower(char* text)
{
    return map_ascii<'A', 'Z', 'a' - 'A'>(text);
}

int32_t XKWStrCopy(char* dest, const char* src, size_t size)
{
    if (dest == nullptr || size == 0)
        return XKW_E_INVAL;
    if (src == nullptr)
        src = "";
    return static_cast<int32_t>(put_cut(dest, size, src, std::strlen(src)));
}

int32_t XKWStrCat(char* dest, const char* src, size_t size)
{
    if (dest == nullptr || size == 0)
        return XKW_E_INVAL;
    size_t used = strnlen(dest, size);
    if (used == size)
        return XKW_E_INVAL;
    if (src == nullptr)
        src = "";
    return static_cast<int32_t>(used + put_cut(dest + used, size - used, src, std::strlen(src)));
}

int32_t XKWStrToken(char separator, char* text, char* out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0)
        return XKW_E_INVAL;
    if (text[0] == '\0') {
        out[0] = '\0';
        return XKW_E_FAIL;
    }
    size_t cut = find_sep(text, separator);
    size_t n = put_cut(out, size, text, cut);
    size_t rest = text[cut] != '\0' ? cut + 1 : cut;
    std::memmove(text, text + rest, std::strlen(text + rest) + 1);
    return static_cast<int32_t>(n);
}

int32_t XKWStrFields(char separator, const char* text, char* out, int32_t count, int32_t width)
{
    if (out == nullptr || count < 0 || width < 1)
        return XKW_E_INVAL;
    auto field = [&](int32_t i) { return out + static_cast<size_t>(i) * static_cast<size_t>(width); };
    int32_t found = 0;
    if (text != nullptr && text[0] != '\0') {
        const char* p = text;
        while (found < count) {
            size_t cut = find_sep(p, separator);
            put_cut(field(found), static_cast<size_t>(width), p, cut);
            ++found;
            if (p[cut] == '\0')
                break;
            p += cut + 1;
        }
    }
    for (int32_t i = found; i < count; ++i)
        field(i)[0] = '\0';
    return found;
}

XKWTextOut::XKWTextOut(char* buffer, size_t size) : p_(buffer), size_(size)
{
    if (size_ > 0)
        p_[0] = '\0';
}

void XKWTextOut::add(const char* format, ...)
{
    if (len_ + 1 >= size_)
        return;
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(p_ + len_, size_ - len_, format, ap);
    va_end(ap);
    if (n > 0)
        len_ = std::min(len_ + static_cast<size_t>(n), size_ - 1);
}

void XKWTextOut::blanks(size_t n)
{
    n = std::min(n, size_ > len_ ? size_ - len_ - 1 : 0);
    std::memset(p_ + len_, ' ', n);
    len_ += n;
    if (size_ > 0)
        p_[len_] = '\0';
}

void XKWTextOut::clear()
{
    len_ = 0;
    if (size_ > 0)
        p_[0] = '\0';
}
