// SECS-II item text notation: one line of text per item, in four
// notations. The walk (XKSMssgGetText) turns a body opened for reading
// into indented lines, closing lists as they fill and showing long arrays
// in parts; XKSMssgPutText turns one such line back into an item of a body
// being built. The trace, the monitor and the message definitions print
// items through the two halves of a line, XKSMssgItemLabel and
// XKSMssgItemValues.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/XKWResult.h"
#include "secs/XKSMssg.h"

namespace {

// Progress codes of the two directions, kept in xeps.
constexpr int32_t kPutStart = 730;   // line checked
constexpr int32_t kPutType = 731;    // type name found
constexpr int32_t kPutValues = 732;  // values read
constexpr int32_t kPutDone = 733;    // item appended
constexpr int32_t kGetStart = 830;   // line and block checked
constexpr int32_t kGetItem = 831;    // item read
constexpr int32_t kGetLabel = 832;   // label written
constexpr int32_t kGetDone = 833;    // values written

// Type names per notation column, in format-table row order.
constexpr const char* kNames[4][17] = {
    {"L", "B", "T", "A", "J", "K", "M", "I8", "I1", "I2", "I4", "F8", "F4", "U8", "U1", "U2", "U4"},
    {"L", "B", "T", "A", "J", "K", "K", "8S", "1S", "2S", "4S", "8F", "4F", "8U", "1U", "2U", "4U"},
    {"L", "B", "T", "A", "J", "K", "M", "I8", "I1", "I2", "I4", "F8", "F4", "U8", "U1", "U2", "U4"},
    {"<L", "B", "T", "A", "J", "W", "W", "I8", "I1", "I2", "I4", "F8", "F4", "U8", "U1", "U2", "U4"},
};

constexpr int32_t kRowK = 5;
constexpr int32_t kRowM = 6;
// Longest text of one number value that put text reads.
constexpr size_t kValueMax = 64;

int32_t column(int32_t notation)
{
    switch (notation) {
    case XKS_TEXT_COMPACT:
        return 1;
    case XKS_TEXT_ANGLE:
        return 2;
    case XKS_TEXT_COMMA:
        return 3;
    default:
        return 0;
    }
}

// A line being written: never more than size - 1 characters, always
// terminated; whatever does not fit is dropped.
struct Line {
    char* buf;
    size_t size;
    size_t len;

    Line(char* b, int32_t s, int32_t l) : buf(b), size(static_cast<size_t>(s))
    {
        len = std::min(static_cast<size_t>(std::max(l, 0)), size - 1);
        buf[len] = '\0';
    }
    void add(const char* s, size_t n)
    {
        n = std::min(n, size - 1 - len);
        if (n == 0)  // s may be null then
            return;
        std::memcpy(buf + len, s, n);
        len += n;
        buf[len] = '\0';
    }
    void add(const char* s) { add(s, std::strlen(s)); }
    void add(char c) { add(&c, 1); }
    void blanks(size_t n)
    {
        n = std::min(n, size - 1 - len);
        std::memset(buf + len, ' ', n);
        len += n;
        buf[len] = '\0';
    }
    template <class T>
    void number(T v)
    {
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        add(tmp, static_cast<size_t>(r.ptr - tmp));
    }
    int32_t result() const { return static_cast<int32_t>(len); }
};

template <class T>
T load(const uint8_t* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Text of one number element into out (at least 32 bytes); returns its length.
size_t value_text(int32_t code, int32_t notation, const uint8_t* p, char* out)
{
    auto put = [out](auto v) {
        auto r = std::to_chars(out, out + 31, v);
        return static_cast<size_t>(r.ptr - out);
    };
    switch (code) {
    case XKS_FMT_T:
        if (notation == XKS_TEXT_ANGLE || notation == XKS_TEXT_COMMA) {
            out[0] = *p != 0 ? 'T' : 'F';
            return 1;
        }
        [[fallthrough]];
    case XKS_FMT_B: {
        static constexpr char kHex[] = "0123456789abcdef";
        out[0] = '0';
        out[1] = 'x';
        out[2] = kHex[*p >> 4];
        out[3] = kHex[*p & 15];
        return 4;
    }
    case XKS_FMT_I8:
        return put(load<int64_t>(p));
    case XKS_FMT_I1:
        return put(static_cast<int32_t>(load<int8_t>(p)));
    case XKS_FMT_I2:
        return put(static_cast<int32_t>(load<int16_t>(p)));
    case XKS_FMT_I4:
        return put(load<int32_t>(p));
    case XKS_FMT_U8:
        return put(load<uint64_t>(p));
    case XKS_FMT_U1:
        return put(static_cast<uint32_t>(*p));
    case XKS_FMT_U2:
        return put(static_cast<uint32_t>(load<uint16_t>(p)));
    case XKS_FMT_U4:
        return put(load<uint32_t>(p));
    case XKS_FMT_F8:
        return static_cast<size_t>(std::snprintf(out, 32, "%22.17e", load<double>(p)));
    case XKS_FMT_F4:
        return static_cast<size_t>(std::snprintf(out, 32, "%13.8e", static_cast<double>(load<float>(p))));
    default:
        return 0;
    }
}

// Delimiter of a text: a double quote unless the text holds one, then a
// single quote unless it holds that too, then none.
const char* delimiter(const char* text, size_t n)
{
    if (n == 0)  // an empty text may come without an address
        return "\"";
    if (std::memchr(text, '"', n) == nullptr)
        return "\"";
    if (std::memchr(text, '\'', n) == nullptr)
        return "'";
    return "";
}

void text_values(Line& l, const char* text, int32_t count, int32_t start, int32_t end)
{
    const char* delim = delimiter(text, static_cast<size_t>(count));
    size_t n = static_cast<size_t>(end - start);
    // Room is kept for the delimiters, the closing ">" and the terminator.
    size_t room = l.size > 5 ? l.size - 5 : 0;
    l.add(delim);
    if (l.len + n <= room) {
        l.add(text + start, n);
    } else {
        size_t cut = room > l.len + 4 ? (room - l.len - 4) & ~static_cast<size_t>(1) : 0;
        l.add(text + start, cut);
        l.add(" ...");
    }
    l.add(delim);
}

void number_values(Line& l, int32_t code, int32_t notation, const uint8_t* values, int32_t elsize, int32_t start,
                   int32_t end)
{
    char v[32];
    for (int32_t i = start; i < end; ++i) {
        size_t n = value_text(code, notation, values + static_cast<size_t>(i) * static_cast<size_t>(elsize), v);
        size_t sep = i > 0 ? 1 : 0;
        if (l.len + sep + n + 7 >= l.size) {
            l.add(sep != 0 ? ",..." : "...");
            return;
        }
        if (sep != 0)
            l.add(',');
        l.add(v, n);
    }
}

// Row of the format table that labels an item.
int32_t label_row(int32_t code, int32_t flags)
{
    if (code == XKS_FMT_K)
        return (flags & XKS_MSSG_CONVERT) ? kRowM : kRowK;
    return XKSMssgFormatIndex(code);
}

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

const char* skip_blanks(const char* p, const char* end)
{
    while (p < end && blank(*p))
        ++p;
    return p;
}

// A decimal number at p (digits only); advances p. False when there is none
// or it is above limit.
bool decimal(const char*& p, const char* end, int64_t limit, int32_t& out)
{
    const char* q = p;
    int64_t v = 0;
    while (q < end && *q >= '0' && *q <= '9') {
        v = v * 10 + (*q - '0');
        if (v > limit)
            return false;
        ++q;
    }
    if (q == p)
        return false;
    out = static_cast<int32_t>(v);
    p = q;
    return true;
}

// Store the low size bytes of an integer as one host-order element (the
// wrap-around of the usual conversions for the narrower formats).
void store_bits(uint8_t* dst, uint64_t v, int32_t size)
{
    auto put = [dst](auto x) { std::memcpy(dst, &x, sizeof x); };
    switch (size) {
    case 1:
        put(static_cast<uint8_t>(v));
        break;
    case 2:
        put(static_cast<uint16_t>(v));
        break;
    case 4:
        put(static_cast<uint32_t>(v));
        break;
    default:
        put(v);
        break;
    }
}

// Read one number value of a format into dst (its element size); false
// when the text holds no number.
bool read_value(const XKSMssgFormat& f, const char* text, uint8_t* dst)
{
    char* stop = nullptr;
    switch (f.code) {
    case XKS_FMT_T:
        if (text[0] == 'T' || text[0] == 'F') {
            *dst = text[0] == 'T' ? 1 : 0;
            return true;
        }
        [[fallthrough]];
    case XKS_FMT_B: {
        // Written as 0x..: the number follows the first two characters.
        if (text[0] == '\0' || text[1] == '\0')
            return false;
        *dst = static_cast<uint8_t>(std::strtoul(text + 2, &stop, 16));
        return stop != text + 2;
    }
    case XKS_FMT_F8: {
        double v = std::strtod(text, &stop);
        std::memcpy(dst, &v, sizeof v);
        return stop != text;
    }
    case XKS_FMT_F4: {
        float v = std::strtof(text, &stop);
        std::memcpy(dst, &v, sizeof v);
        return stop != text;
    }
    case XKS_FMT_I8:
    case XKS_FMT_I1:
    case XKS_FMT_I2:
    case XKS_FMT_I4:
        store_bits(dst, static_cast<uint64_t>(std::strtoll(text, &stop, 10)), f.size);
        return stop != text;
    default:
        store_bits(dst, std::strtoull(text, &stop, 10), f.size);
        return stop != text;
    }
}

int32_t fail(XKSMssgBlock* b, int32_t rc)
{
    b->xerr = rc;
    return rc;
}

// Append the numbers of [v, end) as one item.
int32_t put_numbers(XKSMssgBlock* b, uint8_t* buffer, const XKSMssgFormat& f, const char* v, const char* end)
{
    size_t capacity = static_cast<size_t>(b->scratch_size) / static_cast<size_t>(f.size);
    size_t n = 0;
    const char* p = v;
    while (true) {
        p = skip_blanks(p, end);
        if (p == end || (end - p >= 3 && std::memcmp(p, "...", 3) == 0))
            break;
        const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)));
        const char* stop = comma != nullptr ? comma : end;
        char text[kValueMax];
        size_t len = static_cast<size_t>(stop - p);
        if (len >= sizeof text)
            return fail(b, XKW_E_INVAL);
        std::memcpy(text, p, len);
        text[len] = '\0';
        // The values are collected in the scratch area; more than it holds
        // is refused rather than cut silently.
        if (n >= capacity)
            return fail(b, XKW_E_FULL);
        if (!read_value(f, text, b->scratch + n * static_cast<size_t>(f.size)))
            return fail(b, XKW_E_INVAL);
        ++n;
        if (comma == nullptr)
            break;
        p = comma + 1;
    }
    b->xeps = kPutValues;
    return XKSMssgPutItem(b, 0, buffer, f.code, static_cast<int32_t>(n), b->scratch);
}

// Output area for the next item: its own size, so the codec does not clear
// the whole scratch area for every item. A malformed header gets the whole
// area and the codec reports it.
int32_t item_area(const XKSMssgBlock* b, const uint8_t* buffer)
{
    if (buffer == nullptr || b->position >= b->size)
        return b->scratch_size;
    const uint8_t* p = buffer + b->position;
    int32_t lenbytes = p[0] & 3;
    int32_t code = p[0] >> 2;
    if (lenbytes == 0 || b->size - b->position < 1 + lenbytes)
        return b->scratch_size;
    int64_t length = 0;
    for (int32_t i = 1; i <= lenbytes; ++i)
        length = (length << 8) | p[i];
    if (code == XKS_FMT_L)
        return 1;
    // Converted 2-byte text can grow to three bytes per byte received.
    int64_t want = code == XKS_FMT_K ? 4 * length + 1 : length + 1;
    return static_cast<int32_t>(std::min<int64_t>(want, b->scratch_size));
}

// Close the lists that the item just read completes.
void close_lists(XKSMssgBlock* b)
{
    while (b->depth > 0) {
        int32_t top = std::min(b->depth, XKS_MSSG_DEPTH) - 1;
        if (++b->list_used[top] <= b->list_count[top])
            return;
        b->list_used[top] = 0;
        b->list_count[top] = 0;
        --b->depth;
    }
}

}  // namespace

int32_t XKSMssgItemLabel(char* line, int32_t size, int32_t length, int32_t format, const char* name, int32_t flags,
                         int32_t notation, int32_t count)
{
    if (line == nullptr || size < 1)
        return XKW_E_INVAL;
    int32_t code = format & 0xFF;
    int32_t row = label_row(code, flags);
    if (row < 0)
        return XKW_E_INVAL;
    notation = XKSMssgNotation(notation << 4);
    Line l(line, size, length);
    bool named = name != nullptr && name[0] != '\0';
    if (notation == XKS_TEXT_ANGLE)
        l.add('<');
    l.add(kNames[column(notation)][row]);

    if (code == XKS_FMT_L) {
        if (notation == XKS_TEXT_COMMA)
            l.add(',');
        if (notation == XKS_TEXT_BRACKET || notation == XKS_TEXT_ANGLE)
            l.add('[');
        l.number(count);
        if (notation == XKS_TEXT_BRACKET || notation == XKS_TEXT_ANGLE)
            l.add(']');
        if (named) {
            if (notation == XKS_TEXT_COMPACT || notation == XKS_TEXT_COMMA)
                l.add(',');
            l.add(name);
        }
        return l.result();
    }

    int32_t cset = static_cast<int32_t>(static_cast<uint32_t>(format) >> 16);
    if (row == kRowM && cset != 0)
        l.number(cset);
    if (notation == XKS_TEXT_COMPACT) {
        if (named) {
            l.add(',');
            l.add(name);
        }
        l.add(' ');
        return l.result();
    }
    l.add('[');
    l.number(count);
    l.add(']');
    if (named)
        l.add(name);
    l.add(notation == XKS_TEXT_ANGLE ? ' ' : '=');
    return l.result();
}

int32_t XKSMssgItemValues(int32_t format, int32_t notation, int32_t count, char* line, int32_t size,
                          int32_t length, const void* values, int32_t* part)
{
    if (line == nullptr || size < 1)
        return XKW_E_INVAL;
    int32_t code = format & 0xFF;
    int32_t row = XKSMssgFormatIndex(code);
    if (row <= 0 || count < 0 || (values == nullptr && count > 0))
        return XKW_E_INVAL;
    notation = XKSMssgNotation(notation << 4);
    Line l(line, size, length);
    bool text = XKSMssgIsText(code);
    int32_t start = part != nullptr ? std::clamp(*part, 0, count) : 0;
    int32_t end = count;
    if (part != nullptr) {
        int32_t limit = text ? XKS_TEXT_PART_BYTES : XKS_TEXT_PART_VALUES;
        if (count - start > limit)
            end = start + limit;
        *part = end;
    }
    if (text)
        text_values(l, static_cast<const char*>(values), count, start, end);
    else
        number_values(l, code, notation, static_cast<const uint8_t*>(values), XKSMssgFormats[row].size, start,
                      end);
    if (notation == XKS_TEXT_ANGLE && end == count)
        l.add('>');
    return l.result();
}

int32_t XKSMssgGetText(XKSMssgBlock* block, int32_t flags, const uint8_t* buffer, int32_t* format, int32_t* count,
                       char* line, int32_t size)
{
    if (line != nullptr && size > 0)
        line[0] = '\0';
    if (!XKSMssgIsOpen(block))
        return block != nullptr ? fail(block, XKW_E_BADHANDLE) : XKW_E_BADHANDLE;
    if (line == nullptr || size < 1)
        return fail(block, XKW_E_INVAL);
    block->xeps = kGetStart;
    int32_t notation = XKSMssgNotation(flags);
    XKSMssgPending& pend = block->pending;

    if (pend.part_end < pend.count) {
        // The next part of an array shown in parts, its separator (text:
        // its delimiter) under the end of the label.
        bool text = XKSMssgIsText(pend.format);
        Line l(line, size, 0);
        l.blanks(static_cast<size_t>(std::max(text ? pend.label_width : pend.label_width - 1, 0)));
        pend.part_pos = pend.part_end;
        int32_t n = XKSMssgItemValues(pend.format, notation, pend.count, line, size, l.result(), block->scratch,
                                      &pend.part_end);
        if (format != nullptr)
            *format = pend.format;
        if (count != nullptr)
            *count = pend.count;
        if (n >= 0 && pend.part_end >= pend.count)
            pend = XKSMssgPending{};
        block->xeps = kGetDone;
        return block->depth;
    }

    int32_t fmt = 0;
    int32_t cnt = 0;
    int32_t rc = XKSMssgGetItem(block, XKS_MSSG_CONVERT, buffer, &fmt, nullptr, &cnt, block->scratch,
                                item_area(block, buffer));
    if (format != nullptr)
        *format = fmt;
    if (count != nullptr)
        *count = cnt;
    if (rc < 0)
        return rc;
    block->xeps = kGetItem;

    close_lists(block);
    int32_t depth = block->depth;
    char name[64] = "";
    if (flags & XKS_TEXT_NAMES)
        XKSMssgItemName(block, 0x3000, name, sizeof name);
    Line l(line, size, 0);
    l.blanks(2 * static_cast<size_t>(depth));
    int32_t len = XKSMssgItemLabel(line, size, l.result(), fmt, name, flags, notation, cnt);
    block->xeps = kGetLabel;

    if ((fmt & 0xFF) == XKS_FMT_L) {
        if (depth < XKS_MSSG_DEPTH) {
            block->list_count[depth] = cnt;
            block->list_used[depth] = 0;
            block->depth = depth + 1;
        }
        block->xeps = kGetDone;
        return depth;
    }

    pend = XKSMssgPending{fmt, cnt, 0, 0, len};
    XKSMssgItemValues(fmt, notation, cnt, line, size, len, block->scratch,
                      (flags & XKS_TEXT_PARTS) ? &pend.part_end : nullptr);
    if (!(flags & XKS_TEXT_PARTS) || pend.part_end >= pend.count)
        pend = XKSMssgPending{};
    block->xeps = kGetDone;
    return depth;
}

int32_t XKSMssgPutText(XKSMssgBlock* block, int32_t flags, uint8_t* buffer, const char* text)
{
    if (!XKSMssgIsOpen(block))
        return block != nullptr ? fail(block, XKW_E_BADHANDLE) : XKW_E_BADHANDLE;
    if (text == nullptr)
        return fail(block, XKW_E_INVAL);
    block->xeps = kPutStart;
    int32_t notation = XKSMssgNotation(flags);
    const char* end = text + std::strlen(text);
    while (end > text && (end[-1] == '\n' || end[-1] == '\r'))
        --end;
    const char* p = skip_blanks(text, end);
    if ((notation == XKS_TEXT_ANGLE || notation == XKS_TEXT_COMMA) && p < end && *p == '>')
        return XKW_OK;
    if (notation == XKS_TEXT_ANGLE) {
        if (p == end || *p != '<')
            return fail(block, XKW_E_INVAL);
        ++p;
    }

    int32_t row = -1;
    for (int32_t i = 0; i < 17 && row < 0; ++i) {
        size_t n = std::strlen(kNames[column(notation)][i]);
        if (static_cast<size_t>(end - p) >= n && std::memcmp(p, kNames[column(notation)][i], n) == 0) {
            row = i;
            p += n;
        }
    }
    if (row < 0)
        return fail(block, XKW_E_INVAL);
    block->xeps = kPutType;
    const XKSMssgFormat& f = XKSMssgFormats[row];
    int32_t cset = 0;
    if (f.code == XKS_FMT_K && !decimal(p, end, 0xFFFF, cset))
        cset = 0;

    if (f.code == XKS_FMT_L) {
        if (notation == XKS_TEXT_COMMA || notation == XKS_TEXT_BRACKET || notation == XKS_TEXT_ANGLE) {
            char open = notation == XKS_TEXT_COMMA ? ',' : '[';
            if (p == end || *p != open)
                return fail(block, XKW_E_INVAL);
            ++p;
        }
        int32_t items = 0;
        if (!decimal(p, end, XKS_MSSG_MAXLEN, items))
            return fail(block, XKW_E_INVAL);
        int32_t rc = XKSMssgPutItem(block, 0, buffer, XKS_FMT_L, items, nullptr);
        block->xeps = kPutDone;
        return rc;
    }

    const char* v;
    if (notation == XKS_TEXT_BRACKET || notation == XKS_TEXT_COMMA) {
        v = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
        if (v == nullptr)
            return fail(block, XKW_E_INVAL);
        ++v;
    } else {
        v = p;
        while (v < end && !blank(*v))
            ++v;
        v = skip_blanks(v, end);
    }

    int32_t rc;
    if (XKSMssgIsText(f.code)) {
        const char* stop = end;
        if (v < end && (*v == '"' || *v == '\'')) {
            const char* q = static_cast<const char*>(std::memchr(v + 1, *v, static_cast<size_t>(end - v - 1)));
            ++v;
            stop = q != nullptr ? q : end;
        } else if (notation == XKS_TEXT_ANGLE) {
            const char* q = static_cast<const char*>(std::memchr(v, '>', static_cast<size_t>(end - v)));
            stop = q != nullptr ? q : end;
        }
        // The text is taken at its own length, which conversion may change,
        // so it goes to the codec as a terminated copy.
        size_t len = static_cast<size_t>(stop - v);
        if (len >= static_cast<size_t>(block->scratch_size))
            return fail(block, XKW_E_FULL);
        std::memcpy(block->scratch, v, len);
        block->scratch[len] = 0;
        block->xeps = kPutValues;
        rc = XKSMssgPutItem(block, XKS_MSSG_CONVERT, buffer, f.code | (cset << 16), 0, block->scratch);
    } else {
        const char* stop = end;
        if (notation == XKS_TEXT_ANGLE) {
            const char* q = static_cast<const char*>(std::memchr(v, '>', static_cast<size_t>(end - v)));
            stop = q != nullptr ? q : end;
        }
        rc = put_numbers(block, buffer, f, v, stop);
    }
    if (rc >= 0)
        block->xeps = kPutDone;
    return rc;
}
