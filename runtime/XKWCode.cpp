// Process character code and conversions between Shift-JIS, EUC-JP and
// UTF-8. Shift-JIS and EUC-JP convert into each other by the arithmetic
// mapping of the JIS X 0208 rows; UTF-8 goes through the platform converter
// (iconv, code page CP932) to and from Shift-JIS.
#include "runtime/XKWCode.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/XKWResult.h"

namespace {

std::atomic<int32_t> process_code{XKW_CODE_SJIS};

bool valid_code(int32_t code)
{
    return code == XKW_CODE_SJIS || code == XKW_CODE_EUC || code == XKW_CODE_UTF8;
}

// Output cursor that refuses to write past size - 1 (room for the NUL).
struct Out {
    char* p;
    size_t size;
    size_t n = 0;
    bool put(uint8_t c)
    {
        if (n + 1 >= size)
            return false;
        p[n++] = static_cast<char>(c);
        return true;
    }
    int32_t finish(int32_t rc)
    {
        if (size > 0)
            p[rc < 0 ? 0 : n] = '\0';
        return rc < 0 ? rc : static_cast<int32_t>(n);
    }
};

int32_t euc_to_sjis(const uint8_t* s, size_t len, Out& out)
{
    for (size_t i = 0; i < len; ++i) {
        uint8_t c1 = s[i];
        if (c1 < 0x80) {
            if (!out.put(c1))
                return XKW_E_FULL;
            continue;
        }
        if (i + 1 >= len)
            return XKW_E_FAIL;
        uint8_t c2 = s[++i];
        if (c1 == 0x8E) {  // single-byte katakana
            if (c2 < 0xA0 || c2 > 0xDF)
                return XKW_E_FAIL;
            if (!out.put(c2))
                return XKW_E_FULL;
            continue;
        }
        if (c1 < 0xA1 || c1 > 0xFE || c2 < 0xA1 || c2 > 0xFE)
            return XKW_E_FAIL;
        int j1 = c1 - 0x80, j2 = c2 - 0x80;
        int s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
        int s2;
        if (j1 & 1) {
            s2 = j2 + 0x1F;
            if (s2 >= 0x7F)
                ++s2;  // 0x7F is not a trailing byte
        } else {
            s2 = j2 + 0x7E;
        }
        if (!out.put(static_cast<uint8_t>(s1)) || !out.put(static_cast<uint8_t>(s2)))
            return XKW_E_FULL;
    }
    return XKW_OK;
}

int32_t sjis_to_euc(const uint8_t* s, size_t len, Out& out)
{
    for (size_t i = 0; i < len; ++i) {
        uint8_t c1 = s[i];
        if (c1 < 0x80) {
            if (!out.put(c1))
                return XKW_E_FULL;
            continue;
        }
        if (c1 >= 0xA0 && c1 <= 0xDF) {  // single-byte katakana
            if (!out.put(0x8E) || !out.put(c1))
                return XKW_E_FULL;
            continue;
        }
        if (!((c1 >= 0x81 && c1 <= 0x9F) || (c1 >= 0xE0 && c1 <= 0xEF)) || i + 1 >= len)
            return XKW_E_FAIL;
        uint8_t c2 = s[++i];
        if (c2 < 0x40 || c2 > 0xFC || c2 == 0x7F)
            return XKW_E_FAIL;
        int j1 = (c1 - (c1 <= 0x9F ? 0x70 : 0xB0)) << 1;
        int j2;
        if (c2 < 0x9F) {
            --j1;
            j2 = c2 - 0x1F - (c2 >= 0x80 ? 1 : 0);
        } else {
            j2 = c2 - 0x7E;
        }
        if (!out.put(static_cast<uint8_t>(j1 | 0x80)) || !out.put(static_cast<uint8_t>(j2 | 0x80)))
            return XKW_E_FULL;
    }
    return XKW_OK;
}

// One converter per direction and thread, opened on first use.
struct Iconv {
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    ~Iconv()
    {
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
    }
};

int32_t platform_convert(bool to_utf8, const char* in, size_t len, Out& out)
{
    thread_local Iconv to_u8, from_u8;
    Iconv& c = to_utf8 ? to_u8 : from_u8;
    if (c.cd == reinterpret_cast<iconv_t>(-1)) {
        c.cd = to_utf8 ? iconv_open("UTF-8", "CP932") : iconv_open("CP932", "UTF-8");
        if (c.cd == reinterpret_cast<iconv_t>(-1))
            return XKW_E_FAIL;
    }
    iconv(c.cd, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in);
    size_t src_left = len;
    char* dst = out.p;
    size_t dst_left = out.size > 0 ? out.size - 1 : 0;
    size_t rc = iconv(c.cd, &src, &src_left, &dst, &dst_left);
    out.n = static_cast<size_t>(dst - out.p);
    if (rc == static_cast<size_t>(-1))
        return errno == E2BIG ? XKW_E_FULL : XKW_E_FAIL;
    return XKW_OK;
}

int32_t convert(int32_t from, int32_t to, const char* in, size_t len, Out& out)
{
    auto* s = reinterpret_cast<const uint8_t*>(in);
    if (from == to) {
        for (size_t i = 0; i < len; ++i)
            if (!out.put(s[i]))
                return XKW_E_FULL;
        return XKW_OK;
    }
    if (from == XKW_CODE_EUC && to == XKW_CODE_SJIS)
        return euc_to_sjis(s, len, out);
    if (from == XKW_CODE_SJIS && to == XKW_CODE_EUC)
        return sjis_to_euc(s, len, out);
    if (from == XKW_CODE_SJIS && to == XKW_CODE_UTF8)
        return platform_convert(true, in, len, out);
    if (from == XKW_CODE_UTF8 && to == XKW_CODE_SJIS)
        return platform_convert(false, in, len, out);
    // UTF-8 and EUC meet in Shift-JIS. Shift-JIS is never longer than the
    // UTF-8 or EUC text it came from.
    std::string mid(len + 1, '\0');
    Out m{mid.data(), mid.size()};
    int32_t rc = convert(from, XKW_CODE_SJIS, in, len, m);
    if (rc < 0)
        return rc == XKW_E_FULL ? XKW_E_FAIL : rc;
    return convert(XKW_CODE_SJIS, to, mid.data(), m.n, out);
}

}  // namespace

int32_t XKWCodeGet()
{
    return process_code.load(std::memory_order_relaxed);
}

int32_t XKWCodeSet(int32_t code)
{
    if (!valid_code(code))
        return XKW_E_INVAL;
    process_code.store(code, std::memory_order_relaxed);
    return code;
}

int32_t XKWCodeLead(const char* text)
{
    auto* s = reinterpret_cast<const uint8_t*>(text);
    if (s == nullptr || s[0] < 0x80)
        return 0;
    switch (XKWCodeGet()) {
    case XKW_CODE_SJIS:
        return ((s[0] <= 0x9F || (s[0] >= 0xE0 && s[0] <= 0xEF)) && s[1] >= 0x40) ? 1 : 0;
    case XKW_CODE_EUC:
        return ((s[0] >= 0xA0 || s[0] == 0x8E) && s[1] != 0) ? 1 : 0;
    default: {
        int want;
        if ((s[0] & 0xE0) == 0xC0)
            want = 1;
        else if ((s[0] & 0xF0) == 0xE0)
            want = 2;
        else if ((s[0] & 0xF8) == 0xF0)
            want = 3;
        else if ((s[0] & 0xFC) == 0xF8)
            want = 4;
        else if ((s[0] & 0xFE) == 0xFC)
            want = 5;
        else if ((s[0] & 0xC0) == 0x80)
            want = INT32_MAX;  // stray continuation: the continuation bytes that follow
        else
            return 0;
        // Never count past the terminator, nor, for a stray byte, past the
        // run of continuation bytes.
        int n = 0;
        while (n < want && s[n + 1] != 0 && ((s[0] & 0xC0) != 0x80 || (s[n + 1] & 0xC0) == 0x80))
            ++n;
        return n;
    }
    }
}

size_t XKWCodeCharLen(const char* text)
{
    if (text == nullptr || *text == '\0')
        return 0;
    return 1 + static_cast<size_t>(XKWCodeLead(text));
}

int32_t XKWCodeEucToShiftJis(const char* text, char* out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0)
        return XKW_E_INVAL;
    Out o{out, size};
    return o.finish(euc_to_sjis(reinterpret_cast<const uint8_t*>(text), std::strlen(text), o));
}

int32_t XKWCodeShiftJisToEuc(const char* text, char* out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0)
        return XKW_E_INVAL;
    Out o{out, size};
    return o.finish(sjis_to_euc(reinterpret_cast<const uint8_t*>(text), std::strlen(text), o));
}

int32_t XKWCodeConvert(int32_t from, int32_t to, const char* in, size_t len, char* out, size_t size)
{
    if (!valid_code(from) || !valid_code(to) || out == nullptr || size == 0 || (in == nullptr && len > 0))
        return XKW_E_INVAL;
    Out o{out, size};
    return o.finish(convert(from, to, in, len, o));
}
