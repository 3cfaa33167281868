// Wildcard matcher. "*" first takes the shortest run that lets the rest of
// the pattern go on; when the rest fails further on, the run grows by one
// character and the rest is tried again. Only the latest "*" is ever
// revisited, which is enough for a complete match and keeps the work at
// pattern length times name length.
#include "runtime/XKWPattern.h"

#include <cstddef>
#include <cstring>

#include "runtime/XKWCode.h"

int32_t XKWPatternMatch(const char* pattern, const char* name)
{
    const char* p = pattern != nullptr ? pattern : "";
    const char* n = name != nullptr ? name : "";
    const char* star_p = nullptr;  // pattern just after the latest "*"
    const char* star_n = nullptr;  // where that "*"'s run currently ends
    while (*n != '\0') {
        if (*p == '*') {
            while (*p == '*')
                ++p;
            if (*p == '\0')
                return 1;
            star_p = p;
            star_n = n;
            continue;
        }
        size_t nlen = XKWCodeCharLen(n);
        if (*p == '?') {
            ++p;
            n += nlen;
            continue;
        }
        if (*p != '\0') {
            const char* lit = p;
            if (*lit == '\\' && lit[1] != '\0')
                ++lit;  // a lone "\" at the end stands for itself
            size_t plen = XKWCodeCharLen(lit);
            if (plen == nlen && std::memcmp(lit, n, plen) == 0) {
                p = lit + plen;
                n += nlen;
                continue;
            }
        }
        if (star_p == nullptr)
            return 0;
        star_n += XKWCodeCharLen(star_n);
        n = star_n;
        p = star_p;
    }
    while (*p == '*')
        ++p;
    return *p == '\0' ? 1 : 0;
}
