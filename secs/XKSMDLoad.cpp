// Definition-file loader: reads a ".csv" or ".sml" message definition file
// into the arrays of a table that XKSMDLoad has allocated, and the comment
// stripper that the bridge reuses for its own table file.
//
// Everything is bounded: a line is read into XKS_MD_LINE bytes (the rest of
// a longer line is dropped), CSV fields are cut to 127 characters, names to
// 31, a numeric value to 64 elements of 127 characters; every append checks
// the capacity of its array first and ends the load with the array's code.
// Values live in the pool: numbers in host byte order, text without a NUL,
// file names with their NUL.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/XKWFile.h"
#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWSort.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWText.h"
#include "secs/XKSMDInternal.h"
#include "secs/XKSMDMssg.h"
#include "secs/XKSMssg.h"

namespace {

constexpr int kCsvFields = 23;   // fields parsed as names and columns
constexpr int kFieldSize = 128;  // 127 characters and the terminator
constexpr int kElements = 64;    // elements read from one numeric value
constexpr int kNoLine = -1;

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

char ascii_upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

const char* skip_blanks(const char* p)
{
    while (is_blank(*p))
        ++p;
    return p;
}

// ---- Numbers ----

// A decimal int32 as sscanf("%d") reads it: blanks, a sign, digits. Values
// outside int32 fail rather than wrap.
bool scan_int(const char*& p, int32_t& out)
{
    const char* s = skip_blanks(p);
    bool neg = *s == '-';
    if (*s == '+' || *s == '-')
        ++s;
    if (!is_digit(*s))
        return false;
    int64_t v = 0;
    for (; is_digit(*s); ++s) {
        v = v * 10 + (*s - '0');
        if (v > INT32_MAX + int64_t{1})
            return false;
    }
    v = neg ? -v : v;
    if (v > INT32_MAX || v < INT32_MIN)
        return false;
    out = static_cast<int32_t>(v);
    p = s;
    return true;
}

// atoi without its undefined overflow: digits after blanks and a sign,
// clamped to int32; 0 when there are none.
int32_t lenient_int(const char* p)
{
    p = skip_blanks(p);
    bool neg = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    int64_t v = 0;
    for (; is_digit(*p); ++p)
        if (v <= INT32_MAX)
            v = v * 10 + (*p - '0');
    if (v > INT32_MAX)
        v = INT32_MAX;
    return static_cast<int32_t>(neg ? -v : v);
}

// An element value: a sign, then hexadecimal after "x" or "0x", else
// decimal; reading stops at the first character that does not fit.
// Beyond 64 bits saturates; a minus sign negates modulo 2^64, so the
// result is the bit pattern every signed and unsigned format truncates.
uint64_t element_bits(const char* s)
{
    s = skip_blanks(s);
    bool neg = *s == '-';
    if (*s == '+' || *s == '-')
        ++s;
    int base = 10;
    if (*s == 'x' || *s == 'X') {
        base = 16;
        ++s;
    } else if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    uint64_t v = 0;
    for (;; ++s) {
        int d = XKWTextDigit(*s);
        if (d < 0 || d >= base)
            break;
        uint64_t next = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        v = (v > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) ? UINT64_MAX : next;
    }
    return neg ? 0 - v : v;
}

// Count ranges: "n", "a..b", and for lists also "N", "a..N" (unbounded)
// and "a|b" (alternatives). The whole text must be used (trailing blanks
// aside); a negative minimum or a maximum below it fails.
enum class Range { Bad, Single, Span, Alt };

Range parse_range(const char* s, bool list, int32_t& min, int32_t& max)
{
    const char* p = skip_blanks(s);
    Range kind = Range::Single;
    if (list && *p == 'N') {
        ++p;
        min = 0;
        max = XKS_MD_UNBOUNDED;
        kind = Range::Span;
    } else {
        if (!scan_int(p, min))
            return Range::Bad;
        max = min;
        p = skip_blanks(p);
        if (p[0] == '.' && p[1] == '.') {
            p = skip_blanks(p + 2);
            kind = Range::Span;
            if (list && *p == 'N') {
                ++p;
                max = XKS_MD_UNBOUNDED;
            } else if (!scan_int(p, max)) {
                return Range::Bad;
            }
        } else if (list && *p == '|') {
            ++p;
            kind = Range::Alt;
            if (!scan_int(p, max))
                return Range::Bad;
        }
    }
    if (*skip_blanks(p) != '\0' || min < 0 || max < min)
        return Range::Bad;
    return kind;
}

// ---- Formats ----

// Item format names, matched by prefix in table order (list row 0 is never
// an item format). The CSV syntax writes both 2-byte text rows as W.
bool match_format(const char* text, bool csv, int32_t& form, int32_t& sz)
{
    for (int i = 1; i < 17; ++i) {
        const XKSMssgFormat& f = XKSMssgFormats[i];
        const char* name = (csv && f.code == XKS_FMT_K) ? "W" : f.name;
        size_t n = std::strlen(name);
        if (std::strncmp(text, name, n) != 0)
            continue;
        form = f.code;
        sz = f.size;
        if (f.code == XKS_FMT_K && is_digit(text[n])) {
            // The character-set number fills the high 16 bits.
            int32_t set = 0;
            for (const char* p = text + n; is_digit(*p); ++p) {
                set = set * 10 + (*p - '0');
                if (set > 0xFFFF)
                    set = 0xFFFF;
            }
            form |= set << 16;
        }
        return true;
    }
    return false;
}

// ---- Table appends ----

struct Loader {
    XKSMDTable* t;
    bool csv;
    int32_t msg = kNoLine;   // message that item lines add to
    int32_t section = 0;     // CSV: 0 none, 1 items, 2 messages
    int32_t stream = 0;      // CSV: stream and function read last
    int32_t function = 0;
};

int32_t add_item(XKSMDTable* t, const XKSMDItem& rec)
{
    if (t->citem >= t->xitem)
        return XKS_E_MDITEM;
    int32_t i = t->citem++;
    t->items[i] = rec;
    t->items[i].index = i;
    return i;
}

// The item with this complete record from entry 2 on, else a new one.
int32_t find_or_add_item(XKSMDTable* t, const XKSMDItem& rec)
{
    for (int32_t i = 2; i < t->citem; ++i) {
        const XKSMDItem& it = t->items[i];
        if (std::strcmp(it.name, rec.name) == 0 && it.form == rec.form && it.sz == rec.sz && it.min == rec.min &&
            it.max == rec.max && it.flags == rec.flags)
            return i;
    }
    return add_item(t, rec);
}

// Attribute bits of the letters H, E, D and W in text (others ignored).
int32_t attribute_bits(const char* text)
{
    int32_t at = 0;
    for (; *text != '\0'; ++text) {
        switch (*text) {
        case 'H': at |= XKS_MD_H; break;
        case 'E': at |= XKS_MD_E; break;
        case 'D': at |= XKS_MD_D; break;
        case 'W': at |= XKS_MD_W; break;
        default: break;
        }
    }
    return at;
}

int32_t add_message(Loader& L, const char* name, int32_t sf, int32_t at)
{
    XKSMDTable* t = L.t;
    if (t->cmssg >= t->xmssg)
        return XKS_E_MDMSSG;
    XKSMDMessage& m = t->mssgs[t->cmssg];
    m = XKSMDMessage{};
    XKWStrCopy(m.name, name, sizeof m.name);
    m.sf = sf;
    m.at = at;
    m.ino = t->cmitem;
    m.noi = 0;
    L.msg = t->cmssg++;
    return XKW_OK;
}

// A message item of the current message; its index, or -943.
int32_t add_mitem(Loader& L, int32_t item, int32_t count)
{
    XKSMDTable* t = L.t;
    if (t->cmitem >= t->xmitem)
        return XKS_E_MDMITEM;
    int32_t k = t->cmitem++;
    t->mitems[k] = XKSMDMitem{};
    t->mitems[k].item = item;
    t->mitems[k].count = count;
    ++t->mssgs[L.msg].noi;
    return k;
}

// n bytes at the end of the pool, or null when they do not fit.
uint8_t* pool_take(XKSMDTable* t, int64_t n)
{
    if (n < 0 || n > static_cast<int64_t>(t->xpool) - t->cpool)
        return nullptr;
    uint8_t* p = t->pool + t->cpool;
    t->cpool += static_cast<int32_t>(n);
    return p;
}

// ---- Values ----

// The file name of a "@FILENAME=name" word (name optionally in double
// quotes) into out; false when the word is not one.
bool file_name_of(const char* w, char* out, size_t size)
{
    static constexpr char kTag[] = "@FILENAME";
    for (size_t i = 0; kTag[i] != '\0'; ++i)
        if (ascii_upper(w[i]) != kTag[i])
            return false;
    const char* p = skip_blanks(w + sizeof kTag - 1);
    if (*p != '=')
        return false;
    p = skip_blanks(p + 1);
    size_t n;
    if (*p == '"') {
        ++p;
        const char* end = std::strchr(p, '"');
        n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    } else {
        n = std::strlen(p);
        while (n > 0 && is_blank(p[n - 1]))
            --n;
    }
    n = n < size - 1 ? n : size - 1;
    std::memcpy(out, p, n);
    out[n] = '\0';
    return true;
}

bool empty_word(const char* w)
{
    return w == nullptr || w[0] == '\0' || std::strcmp(w, "\"") == 0;
}

// Text stored with its NUL (file names, @FILE items).
int32_t store_cstring(XKSMDTable* t, XKSMDMitem& mi, int v, const char* text)
{
    size_t n = std::strlen(text);
    uint8_t* p = pool_take(t, static_cast<int64_t>(n) + 1);
    if (p == nullptr)
        return XKS_E_MDPOOL;
    std::memcpy(p, text, n + 1);
    mi.value[v] = p;
    mi.vsize[v] = static_cast<int32_t>(n + 1);
    if (v == 0)
        mi.count = static_cast<int32_t>(n);
    return XKW_OK;
}

// Text cut or blank-padded to the item's length: its minimum when fixed,
// else the text length but at least the minimum and never beyond the
// maximum. A cut ends before a multi-byte character that would not fit.
int32_t store_text(XKSMDTable* t, const XKSMDItem& it, XKSMDMitem& mi, int v, const char* text)
{
    int64_t len = static_cast<int64_t>(std::strlen(text));
    int64_t n = it.min == it.max ? it.min : (len > it.min ? len : it.min);
    if (n > it.max)
        n = it.max;
    if (n == 0)
        return XKW_OK;
    uint8_t* p = pool_take(t, n);
    if (p == nullptr)
        return XKS_E_MDPOOL;
    int64_t used = 0;
    for (const char* s = text; *s != '\0';) {
        int64_t c = static_cast<int64_t>(XKWCodeCharLen(s));
        if (used + c > n)
            break;
        std::memcpy(p + used, s, static_cast<size_t>(c));
        used += c;
        s += c;
    }
    std::memset(p + used, ' ', static_cast<size_t>(n - used));
    mi.value[v] = p;
    mi.vsize[v] = static_cast<int32_t>(n);
    if (v == 0)
        mi.count = static_cast<int32_t>(n);
    return XKW_OK;
}

// Splits a value at commas: at most kElements elements, each cut to 127
// characters; returns how many were given.
int split_elements(const char* text, char (*out)[kFieldSize])
{
    int n = 0;
    for (const char* p = text; n < kElements;) {
        const char* end = std::strchr(p, ',');
        size_t len = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        size_t keep = len < kFieldSize - 1 ? len : kFieldSize - 1;
        std::memcpy(out[n], p, keep);
        out[n][keep] = '\0';
        XKWStrTrimRight(out[n]);
        ++n;
        if (end == nullptr)
            break;
        p = end + 1;
    }
    return n;
}

void put_element(const XKSMDItem& it, uint8_t* at, const char* text, uint64_t csv_pair, bool use_pair)
{
    const char* s = skip_blanks(text);
    switch (it.form & 0xFF) {
    case XKS_FMT_T: *at = *s == 'T' ? 1 : 0; return;
    case XKS_FMT_F4: {
        float f = static_cast<float>(std::strtod(s, nullptr));
        std::memcpy(at, &f, sizeof f);
        return;
    }
    case XKS_FMT_F8: {
        double d = std::strtod(s, nullptr);
        std::memcpy(at, &d, sizeof d);
        return;
    }
    default: break;
    }
    uint64_t bits = use_pair ? csv_pair : element_bits(s);
    switch (it.sz) {
    case 1: { uint8_t x = static_cast<uint8_t>(bits); std::memcpy(at, &x, 1); break; }
    case 2: { uint16_t x = static_cast<uint16_t>(bits); std::memcpy(at, &x, 2); break; }
    case 4: { uint32_t x = static_cast<uint32_t>(bits); std::memcpy(at, &x, 4); break; }
    default: std::memcpy(at, &bits, 8); break;
    }
}

// Numbers: a fixed item takes exactly its count (missing elements 0), a
// variable one as many as given, but never more than its maximum. The CSV
// syntax writes a 64-bit element as two 32-bit words, high word first.
int32_t store_numbers(Loader& L, const XKSMDItem& it, XKSMDMitem& mi, int v, const char* text)
{
    static thread_local char elems[kElements][kFieldSize];
    int words = split_elements(text, elems);
    bool pairs = L.csv && it.sz == 8 && (it.form & 0xFF) != XKS_FMT_F8;
    int given = pairs ? (words + 1) / 2 : words;
    int64_t taken = it.min == it.max ? it.min : (given < it.max ? given : it.max);
    int64_t bytes = taken * it.sz;
    if (bytes == 0)
        return XKW_OK;
    uint8_t* p = pool_take(L.t, bytes);
    if (p == nullptr)
        return XKS_E_MDPOOL;
    std::memset(p, 0, static_cast<size_t>(bytes));
    int64_t fill = taken < given ? taken : given;
    for (int64_t e = 0; e < fill; ++e) {
        uint64_t pair = 0;
        if (pairs) {
            uint64_t hi = static_cast<uint32_t>(element_bits(elems[2 * e]));
            uint64_t lo = 2 * e + 1 < words ? static_cast<uint32_t>(element_bits(elems[2 * e + 1])) : 0;
            pair = hi << 32 | lo;
        }
        put_element(it, p + e * it.sz, pairs ? "" : elems[e], pair, pairs);
    }
    mi.value[v] = p;
    mi.vsize[v] = static_cast<int32_t>(bytes);
    if (v == 0)
        mi.count = static_cast<int32_t>(taken);
    return XKW_OK;
}

// Values 0..5 of message item k from up to six words (null: none).
int32_t store_values(Loader& L, int32_t k, const char* const* words, int nwords)
{
    XKSMDTable* t = L.t;
    XKSMDMitem& mi = t->mitems[k];
    XKSMDItem& it = t->items[mi.item];
    char fname[XKS_MD_LINE];
    for (int v = 0; v < nwords && v < XKS_MD_VALUES; ++v) {
        const char* w = words[v];
        if (empty_word(w))
            continue;
        int32_t rc;
        if (file_name_of(w, fname, sizeof fname)) {
            it.flags |= XKS_MD_FILEITEM;
            rc = store_cstring(t, mi, v, fname);
        } else if ((it.flags & XKS_MD_FILEITEM) || std::strncmp(it.name, "@FILE", 5) == 0) {
            rc = store_cstring(t, mi, v, w);
        } else if (XKSMssgIsText(it.form)) {
            rc = store_text(t, it, mi, v, w);
        } else {
            rc = store_numbers(L, it, mi, v, w);
        }
        if (rc < 0)
            return rc;
    }
    return XKW_OK;
}

bool any_file_word(const char* const* words, int nwords)
{
    char scratch[8];
    for (int v = 0; v < nwords && v < XKS_MD_VALUES; ++v)
        if (!empty_word(words[v]) && file_name_of(words[v], scratch, sizeof scratch))
            return true;
    return false;
}

// ---- CSV syntax ----

struct CsvLine {
    char raw[XKS_MD_LINE];             // unquoted fields, each terminated
    char f[kCsvFields][kFieldSize];    // fields 1..23: cut, trimmed, upper case
    const char* values[XKS_MD_VALUES]; // fields 24..29 as written (null: none)
    int32_t nfields;
};

// Splits at commas outside double quotes ("" inside quotes is one quote).
void csv_split(const char* line, CsvLine& c)
{
    const char* starts[kCsvFields + XKS_MD_VALUES];
    char* out = c.raw;
    int32_t n = 0;
    starts[n++] = out;
    bool quoted = false;
    for (const char* p = line; *p != '\0'; ++p) {
        if (*p == '"') {
            if (quoted && p[1] == '"') {
                *out++ = '"';
                ++p;
            } else {
                quoted = !quoted;
            }
        } else if (*p == ',' && !quoted) {
            *out++ = '\0';
            if (n < kCsvFields + XKS_MD_VALUES)
                starts[n] = out;
            ++n;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    c.nfields = n;
    for (int32_t i = 0; i < kCsvFields; ++i) {
        char* f = c.f[i];
        f[0] = '\0';
        if (i < n) {
            XKWStrCopy(f, starts[i], kFieldSize);
            XKWStrTrimRight(f);
            XKWStrTrimLeft(f);
            XKWStrUpper(f);
        }
    }
    for (int32_t v = 0; v < XKS_MD_VALUES; ++v)
        c.values[v] = kCsvFields + v < n ? starts[kCsvFields + v] : nullptr;
}

int32_t csv_item_line(Loader& L, const CsvLine& c)
{
    if (std::strcmp(c.f[0], "ITEMDEFINEEND") == 0) {
        L.section = 0;
        return XKW_OK;
    }
    XKSMDItem rec{};
    if (!match_format(c.f[1], true, rec.form, rec.sz))
        return XKW_OK;
    if (parse_range(c.f[2], false, rec.min, rec.max) == Range::Bad)
        return XKW_OK;
    XKWStrCopy(rec.name, c.f[0], sizeof rec.name);
    int32_t rc = add_item(L.t, rec);
    return rc < 0 ? rc : XKW_OK;
}

// First data item of that name from entry 2 on, else the undefined item 1.
int32_t csv_find_item(const XKSMDTable* t, const char* name)
{
    char want[XKS_MD_NAME];
    XKWStrCopy(want, name, sizeof want);
    for (int32_t i = 2; i < t->citem; ++i)
        if ((t->items[i].form & 0xFF) != XKS_FMT_L && std::strcmp(t->items[i].name, want) == 0)
            return i;
    return 1;
}

// "S%dF%d" as sscanf reads it: each number read replaces the one read
// last, but only within the protocol's ranges (stream 0..127, function
// 0..255), so a header never yields a key beyond the stream/function word.
void csv_stream_function(Loader& L, const char* f)
{
    if (f[0] != 'S')
        return;
    const char* p = f + 1;
    int32_t v;
    if (!scan_int(p, v))
        return;
    if (v >= 0 && v <= 127)
        L.stream = v;
    if (*p != 'F')
        return;
    ++p;
    if (scan_int(p, v) && v >= 0 && v <= 255)
        L.function = v;
}

int32_t csv_message_line(Loader& L, const CsvLine& c)
{
    if (std::strcmp(c.f[0], "MESSAGEDEFINEEND") == 0) {
        L.section = 0;
        return XKW_OK;
    }
    if (c.f[0][0] != '\0') {
        int32_t at = attribute_bits(c.f[1]);
        if ((at & (XKS_MD_H | XKS_MD_E)) == 0)
            at |= XKS_MD_H;
        csv_stream_function(L, c.f[2]);
        int32_t rc = add_message(L, c.f[0], L.stream * 256 + L.function, at);
        if (rc < 0)
            return rc;
    }
    // An item line before any message has nothing to join: skipped.
    if (c.nfields < 4 || L.msg == kNoLine)
        return XKW_OK;
    int32_t col = 3;
    while (col < kCsvFields && c.f[col][0] == '\0')
        ++col;
    if (col == kCsvFields)
        return XKW_OK;
    const char* f = c.f[col];
    if (f[0] == 'L' && f[1] == ',') {
        XKSMDItem rec{};
        Range r = parse_range(f + 2, true, rec.min, rec.max);
        if (r == Range::Bad || r == Range::Alt)
            return XKW_OK;
        if (r == Range::Single) {
            int32_t k = add_mitem(L, 0, rec.min);
            return k < 0 ? k : XKW_OK;
        }
        if (col + 1 < kCsvFields)
            XKWStrCopy(rec.name, c.f[col + 1], sizeof rec.name);
        int32_t i = add_item(L.t, rec);
        if (i < 0)
            return i;
        int32_t k = add_mitem(L, i, rec.min);
        return k < 0 ? k : XKW_OK;
    }
    int32_t item = csv_find_item(L.t, f);
    int32_t k = add_mitem(L, item, 0);
    if (k < 0)
        return k;
    if (item == 1)
        return XKW_OK;
    return store_values(L, k, c.values, XKS_MD_VALUES);
}

int32_t csv_line(Loader& L, const char* line)
{
    static thread_local CsvLine c;
    csv_split(line, c);
    bool any = false;
    for (int32_t i = 0; i < kCsvFields && !any; ++i)
        any = c.f[i][0] != '\0';
    if (!any)
        return XKW_OK;
    switch (L.section) {
    case 1: return csv_item_line(L, c);
    case 2: return csv_message_line(L, c);
    default:
        if (std::strcmp(c.f[0], "ITEMDEFINESTART") == 0)
            L.section = 1;
        else if (std::strcmp(c.f[0], "MESSAGEDEFINESTART") == 0)
            L.section = 2;
        return XKW_OK;
    }
}

// ---- SML syntax ----

// Next word of p into out (size bytes, cut): runs of blanks (and commas
// when commas is set) separate words, double quotes group and are
// removed; inside quotes \" and \\ stand for the character. False at the
// end of the text.
bool next_word(const char*& p, char* out, size_t size, bool commas)
{
    auto sep = [commas](char c) { return is_blank(c) || (commas && c == ','); };
    while (sep(*p))
        ++p;
    if (*p == '\0')
        return false;
    size_t n = 0;
    bool quoted = false;
    for (; *p != '\0' && (quoted || !sep(*p)); ++p) {
        char c = *p;
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (quoted && c == '\\' && (p[1] == '"' || p[1] == '\\'))
            c = *++p;
        if (n + 1 < size)
            out[n++] = c;
    }
    out[n] = '\0';
    return true;
}

int32_t sml_message_line(Loader& L, char* line)
{
    XKWStrUpper(line);
    const char* p = line;
    char name[kFieldSize];
    char word[kFieldSize];
    if (!next_word(p, name, sizeof name, true))
        return XKW_OK;
    const char* rest = p;
    if (next_word(rest, word, sizeof word, true) && word[0] == 'F') {
        XKWStrCat(name, word, sizeof name);
        p = rest;
    }
    const char* fpos = std::strchr(name, 'F');
    if (name[0] != 'S' || fpos == nullptr)
        return XKW_OK;
    int32_t stream = lenient_int(name + 1);
    int32_t function = lenient_int(fpos + 1);
    if (stream < 1 || stream > 127 || function < 0 || function > 255)
        return XKW_OK;
    int32_t at = 0;
    while (next_word(p, word, sizeof word, true))
        at |= attribute_bits(word);
    if ((at & (XKS_MD_H | XKS_MD_E)) == 0)
        at |= XKS_MD_H | XKS_MD_E;
    return add_message(L, name, stream * 256 + function, at);
}

int32_t sml_item_line(Loader& L, const char* line)
{
    if (L.msg == kNoLine)
        return XKW_OK;
    // Blanks go up to the first non-blank character after "]", so
    // "< A [ 10 ] MDLN v" reads as "<A[10]MDLN v".
    char text[XKS_MD_LINE];
    size_t n = 0;
    bool closed = false;
    const char* p = line + 1;
    for (; *p != '\0'; ++p) {
        if (is_blank(*p))
            continue;
        if (closed)
            break;
        if (*p == ']')
            closed = true;
        text[n++] = *p;
    }
    if (!closed)
        return XKW_OK;
    // The item word (format, count, name) runs on up to the next blank.
    while (*p != '\0' && !is_blank(*p))
        text[n++] = *p++;
    text[n] = '\0';
    XKWStrUpper(text);
    const char* values_at = p;

    char* open = std::strchr(text, '[');
    char* close = open != nullptr ? std::strchr(open, ']') : nullptr;
    if (open == nullptr || close == nullptr)
        return XKW_OK;
    *close = '\0';
    XKSMDItem rec{};
    XKWStrCopy(rec.name, close + 1, sizeof rec.name);

    if (text[0] == 'L' && open == text + 1) {
        Range r = parse_range(open + 1, true, rec.min, rec.max);
        if (r == Range::Bad)
            return XKW_OK;
        if (r == Range::Single) {
            int32_t k = add_mitem(L, 0, rec.min);
            return k < 0 ? k : XKW_OK;
        }
        if (r == Range::Alt)
            rec.flags = XKS_MD_ALTLIST;
        int32_t i = find_or_add_item(L.t, rec);
        if (i < 0)
            return i;
        int32_t k = add_mitem(L, i, rec.min);
        return k < 0 ? k : XKW_OK;
    }

    *open = '\0';
    if (!match_format(text, false, rec.form, rec.sz))
        return XKW_OK;
    if (parse_range(open + 1, false, rec.min, rec.max) == Range::Bad)
        return XKW_OK;

    static thread_local char words[XKS_MD_VALUES][XKS_MD_LINE];
    const char* wp[XKS_MD_VALUES] = {};
    int nwords = 0;
    while (nwords < XKS_MD_VALUES && next_word(values_at, words[nwords], sizeof words[0], false)) {
        wp[nwords] = words[nwords];
        ++nwords;
    }
    // The file flag is part of the record, so a file item never shares an
    // entry with the plain item of the same definition.
    if (any_file_word(wp, nwords))
        rec.flags |= XKS_MD_FILEITEM;
    int32_t i = find_or_add_item(L.t, rec);
    if (i < 0)
        return i;
    int32_t k = add_mitem(L, i, 0);
    if (k < 0)
        return k;
    return store_values(L, k, wp, nwords);
}

int32_t sml_line(Loader& L, char* line)
{
    for (char* p = line; *p != '\0'; ++p)
        if (*p == '\t')
            *p = ' ';
    XKWStrTrimRight(line);
    XKWStrTrimLeft(line);
    size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '>')
        line[--n] = '\0';
    if (n == 0)
        return XKW_OK;
    char first = ascii_upper(line[0]);
    if (first == 'S' || (first == '"' && ascii_upper(line[1]) == 'S'))
        return sml_message_line(L, line);
    if (first == '<')
        return sml_item_line(L, line);
    return XKW_OK;
}

// ---- File ----

// Trailing blanks, tabs, CR and LF, then leading blanks and tabs.
void trim_line(char* line)
{
    size_t n = std::strlen(line);
    while (n > 0 && (is_blank(line[n - 1]) || line[n - 1] == '\r' || line[n - 1] == '\n'))
        line[--n] = '\0';
    XKWStrTrimLeft(line);
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

// One line into buf (XKS_MD_LINE bytes): the rest of a longer line is
// read and dropped. False at the end of the file.
bool read_line(FILE* f, char* buf)
{
    size_t n = 0;
    int c = getc_unlocked(f);
    if (c == EOF)
        return false;
    for (; c != EOF && c != '\n'; c = getc_unlocked(f))
        if (n + 1 < static_cast<size_t>(XKS_MD_LINE))
            buf[n++] = static_cast<char>(c);
    buf[n] = '\0';
    return true;
}

// Items 2.. sorted by name, format, minimum, maximum; then every item's
// index and every message item's reference follow the new positions.
int32_t tidy(XKSMDTable* t)
{
    int32_t n = t->citem - 2;
    if (n < 2)
        return XKW_OK;
    const XKWSortKey keys[4] = {
        {XKW_SORT_TEXT, 1, static_cast<int32_t>(offsetof(XKSMDItem, name)), XKS_MD_NAME},
        {XKW_SORT_I32, 1, static_cast<int32_t>(offsetof(XKSMDItem, form)), 0},
        {XKW_SORT_I32, 1, static_cast<int32_t>(offsetof(XKSMDItem, min)), 0},
        {XKW_SORT_I32, 1, static_cast<int32_t>(offsetof(XKSMDItem, max)), 0},
    };
    std::unique_ptr<int32_t[]> moved(new (std::nothrow) int32_t[static_cast<size_t>(t->citem)]);
    if (!moved)
        return XKW_E_NOMEM;
    int32_t rc = XKWSort(t->items, static_cast<int32_t>(sizeof(XKSMDItem)), keys, 4, 2, n);
    if (rc < 0)
        return rc;
    for (int32_t j = 0; j < t->citem; ++j) {
        moved[static_cast<size_t>(t->items[j].index)] = j;
        t->items[j].index = j;
    }
    for (int32_t k = 0; k < t->cmitem; ++k)
        t->mitems[k].item = moved[static_cast<size_t>(t->mitems[k].item)];
    return XKW_OK;
}

}  // namespace

int32_t XKSMDStripComment(char* line, char* comment, size_t comment_size, int32_t state)
{
    if (comment != nullptr && comment_size > 0)
        comment[0] = '\0';
    if (line == nullptr)
        return state;
    char* out = line;
    const char* p = line;
    bool quoted = false;
    auto copy_char = [&]() {
        size_t n = XKWCodeCharLen(p);
        std::memmove(out, p, n);
        out += n;
        p += n;
    };
    while (*p != '\0') {
        if (state == 1) {
            if (p[0] == '*' && p[1] == '/') {
                state = 0;
                p += 2;
            } else {
                p += XKWCodeCharLen(p);
            }
        } else if (quoted) {
            if (*p == '"')
                quoted = false;
            bool escape = *p == '\\' && p[1] != '\0';
            copy_char();
            if (escape)
                copy_char();
        } else if (*p == '"') {
            quoted = true;
            copy_char();
        } else if (p[0] == '/' && p[1] == '/') {
            if (comment != nullptr && comment_size > 0) {
                XKWStrCopy(comment, skip_blanks(p + 2), comment_size);
                XKWStrTrimEol(comment);
                XKWStrTrimRight(comment);
            }
            break;
        } else if (p[0] == '/' && p[1] == '*') {
            state = 1;
            p += 2;
        } else {
            copy_char();
        }
    }
    *out = '\0';
    return state;
}

int32_t md_load_file(XKSMDTable* t, const char* file, int32_t kind)
{
    if (t == nullptr || file == nullptr || t->items == nullptr || t->mssgs == nullptr || t->mitems == nullptr ||
        t->pool == nullptr)
        return XKW_E_INVAL;
    if (t->xitem < 2)
        return XKS_E_MDITEM;
    std::memset(static_cast<void*>(t->items), 0, sizeof(XKSMDItem) * static_cast<size_t>(t->xitem));
    std::memset(static_cast<void*>(t->mssgs), 0, sizeof(XKSMDMessage) * static_cast<size_t>(t->xmssg));
    std::memset(static_cast<void*>(t->mitems), 0, sizeof(XKSMDMitem) * static_cast<size_t>(t->xmitem));
    std::memset(t->pool, 0, static_cast<size_t>(t->xpool));
    t->items[0].index = 0;
    t->items[1].index = 1;
    t->items[1].form = XKS_FMT_B;
    t->items[1].sz = 1;
    t->citem = 2;
    t->cmssg = t->cmitem = t->cpool = 0;

    std::unique_ptr<FILE, FileCloser> f(XKWFileOpenRead(file));
    if (!f)
        return XKW_E_NOTFOUND;

    Loader L{t, kind == XKS_MD_KIND_CSV};
    char line[XKS_MD_LINE];
    int32_t cstate = 0;
    int32_t rc = XKW_OK;
    while (rc == XKW_OK && read_line(f.get(), line)) {
        trim_line(line);
        cstate = XKSMDStripComment(line, nullptr, 0, cstate);
        rc = L.csv ? csv_line(L, line) : sml_line(L, line);
    }
    // A read error would leave a partial table looking complete.
    if (rc == XKW_OK && std::ferror(f.get()))
        rc = XKW_E_NOTFOUND;
    if (rc == XKW_OK)
        rc = tidy(t);
    return rc;
}
