// Numbers from configuration value texts. Digits are read by hand rather
// than with strtoull, which would take a second "0x", a second sign or
// inner blanks after the prefix rules here have been applied.
#include "runtime/XKWText.h"

#include <cstdlib>

#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"

namespace {

// Magnitude and sign of the number at text by the prefix and hex-letter
// rules; false when there is no number. Too many digits saturate.
bool parse_number(const char* text, uint64_t* magnitude, bool* negative)
{
    if (text == nullptr)
        return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    *negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    int base = 10;
    if (*p == 'x' || *p == 'X') {
        base = 16;
        ++p;
    } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else {
        const char* q = p;
        while (*q >= '0' && *q <= '9')
            ++q;
        if (XKWTextDigit(*q) >= 10)
            base = 16;
    }
    uint64_t v = 0;
    bool any = false;
    for (int d; (d = XKWTextDigit(*p)) >= 0 && d < base; ++p) {
        any = true;
        auto ud = static_cast<uint64_t>(d);
        v = v > (UINT64_MAX - ud) / static_cast<uint64_t>(base) ? UINT64_MAX : v * base + ud;
    }
    *magnitude = v;
    return any;
}

// The text after the comma that ends the item at p, or null for the last
// item. A multi-byte character is stepped over whole.
const char* after_comma(const char* p)
{
    while (*p != '\0') {
        size_t n = XKWCodeCharLen(p);
        if (n == 1 && *p == ',')
            return p + 1;
        p += n;
    }
    return nullptr;
}

template <class T, class Parse>
int32_t to_list(const char* text, T def, T* values, int32_t count, Parse parse)
{
    if (count < 0 || (count > 0 && values == nullptr))
        return XKW_E_INVAL;
    const char* p = (text != nullptr && *text != '\0') ? text : nullptr;
    int32_t items = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (p == nullptr) {
            values[i] = def;
            continue;
        }
        // The number readers stop at the comma, so each item is read in place.
        values[i] = parse(p, def);
        ++items;
        p = after_comma(p);
    }
    return items;
}

}  // namespace

int64_t XKWTextToInt(const char* text, int64_t def)
{
    uint64_t mag;
    bool neg;
    if (!parse_number(text, &mag, &neg))
        return def;
    constexpr auto limit = static_cast<uint64_t>(INT64_MAX);
    if (neg)
        return mag > limit ? INT64_MIN : -static_cast<int64_t>(mag);
    return mag > limit ? INT64_MAX : static_cast<int64_t>(mag);
}

uint64_t XKWTextToUInt(const char* text, uint64_t def)
{
    uint64_t mag;
    bool neg;
    if (!parse_number(text, &mag, &neg))
        return def;
    return neg ? 0 - mag : mag;
}

double XKWTextToReal(const char* text, double def)
{
    if (text == nullptr)
        return def;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    return end == text ? def : v;
}

int32_t XKWTextToIntList(const char* text, int32_t def, int32_t* values, int32_t count)
{
    return to_list(text, def, values, count, [](const char* p, int32_t d) {
        return static_cast<int32_t>(static_cast<uint32_t>(XKWTextToInt(p, d)));
    });
}

int32_t XKWTextToUIntList(const char* text, uint32_t def, uint32_t* values, int32_t count)
{
    return to_list(text, def, values, count,
                   [](const char* p, uint32_t d) { return static_cast<uint32_t>(XKWTextToUInt(p, d)); });
}

int32_t XKWTextToInt64List(const char* text, int64_t def, int64_t* values, int32_t count)
{
    return to_list(text, def, values, count, XKWTextToInt);
}

int32_t XKWTextToRealList(const char* text, double def, double* values, int32_t count)
{
    return to_list(text, def, values, count, XKWTextToReal);
}

int XKWTextDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
