// Dump lines: one line of elements and characters per call, in a fixed
// 80-column layout, so dumps of different types line up in a trace file.
//
// The data is binary: nothing here reads past data[length), not even to
// look at the trailing byte of a multi-byte character (the character test
// gets a terminated copy of the bytes that are there).
#include "runtime/XKWDump.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"

namespace {

constexpr std::array<int32_t, 16> element_size = {1, 2, 4, 4, 8, 1, 8, 16, 2, 2, 4, 4, 8, 1, 8, 1};
constexpr int32_t type_chars = 15;
constexpr size_t columns = 80;
constexpr size_t label_columns = 13;

template <class T>
T read_as(const uint8_t* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Text of one element into out; returns true when the element is non-zero.
bool element_text(int32_t type, bool unsigned_, const uint8_t* p, char* out, size_t size)
{
    switch (type) {
    case 1:
    case 9:
        if (unsigned_)
            std::snprintf(out, size, "%6hu", read_as<uint16_t>(p));
        else
            std::snprintf(out, size, "%6hd", read_as<int16_t>(p));
        return read_as<uint16_t>(p) != 0;
    case 8:
        if (unsigned_)
            std::snprintf(out, size, "  %04hx", read_as<uint16_t>(p));
        else
            std::snprintf(out, size, "%6hd", read_as<int16_t>(p));
        return read_as<uint16_t>(p) != 0;
    case 2:
    case 10:
        if (unsigned_)
            std::snprintf(out, size, "%12u", read_as<uint32_t>(p));
        else
            std::snprintf(out, size, "%12d", read_as<int32_t>(p));
        return read_as<uint32_t>(p) != 0;
    case 3:
        std::snprintf(out, size, "%12.4e", static_cast<double>(read_as<float>(p)));
        return read_as<float>(p) != 0.0f;
    case 11:
        std::snprintf(out, size, "    %08x", read_as<uint32_t>(p));
        return read_as<uint32_t>(p) != 0;
    case 4:
        std::snprintf(out, size, "%24.15e", read_as<double>(p));
        return read_as<double>(p) != 0.0;
    case 12:
        std::snprintf(out, size, "%8s%016llx", "", static_cast<unsigned long long>(read_as<uint64_t>(p)));
        return read_as<uint64_t>(p) != 0;
    case 6:
    case 14:
        if (unsigned_)
            std::snprintf(out, size, "%24llu", static_cast<unsigned long long>(read_as<uint64_t>(p)));
        else
            std::snprintf(out, size, "%24lld", static_cast<long long>(read_as<int64_t>(p)));
        return read_as<uint64_t>(p) != 0;
    case 7:
        std::snprintf(out, size, "%49.40Le", static_cast<long double>(read_as<double>(p)));
        return read_as<double>(p) != 0.0;
    default: {  // 0, 5, 13: the usual byte dump, written without printf
        static constexpr char hex[] = "0123456789abcdef";
        out[0] = ' ';
        out[1] = hex[p[0] >> 4];
        out[2] = hex[p[0] & 15];
        out[3] = '\0';
        return p[0] != 0;
    }
    }
}

// The 13 label and index columns; wider indexes take columns of the label.
void put_label(char* out, const char* label, int32_t index)
{
    char text[32];
    if (index < 1000)
        std::snprintf(text, sizeof text, "%-8.8s[%3d]", label, index);
    else if (index <= 9999)
        std::snprintf(text, sizeof text, "%-7.7s[%4d]", label, index);
    else if (index <= 99999)
        std::snprintf(text, sizeof text, "%-6.6s[%5d]", label, index);
    else if (index <= 999999)
        std::snprintf(text, sizeof text, "%-5.5s[%6d]", label, index);
    else
        std::snprintf(text, sizeof text, "%-5.5s[%06d]", label, index % 1000000);
    std::memcpy(out, text, label_columns);
}

// A byte that stands for itself in the character column of a multi-byte
// dump: not a control character, DEL, C1 or the upper lead range.
bool shows_single(uint8_t c)
{
    return c >= 32 && !(c >= 127 && c <= 160) && c < 224;
}

// Trailing bytes of the multi-byte character at p (avail bytes there), or 0.
int32_t trailing_bytes(const uint8_t* p, size_t avail)
{
    char window[8] = {};
    std::memcpy(window, p, std::min(avail, sizeof window - 1));
    int32_t n = XKWCodeLead(window);
    // A stray UTF-8 continuation byte starts no character.
    if (n > 0 && XKWCodeGet() == XKW_CODE_UTF8 && (p[0] & 0xC0) == 0x80)
        return 0;
    return n;
}

// Character column from out for the count bytes at p (avail bytes to the
// end of the data); returns the end column, *carry in and out as for
// XKWDumpLine.
size_t put_chars(char* out, size_t room, const uint8_t* p, size_t count, size_t avail,
                 bool multibyte, int32_t* carry)
{
    size_t col = 0;
    size_t i = 0;
    size_t skip = multibyte ? std::min(static_cast<size_t>(std::max(*carry, 0)), count) : 0;
    for (; i < skip && col < room; ++i)
        out[col++] = '.';
    while (i < count && col < room) {
        uint8_t c = p[i];
        int32_t trail = multibyte ? trailing_bytes(p + i, avail - i) : 0;
        if (trail > 0 && col + 1 + static_cast<size_t>(trail) <= room) {
            std::memcpy(out + col, p + i, 1 + static_cast<size_t>(trail));
            col += 1 + static_cast<size_t>(trail);
            i += 1 + static_cast<size_t>(trail);
            continue;
        }
        bool shown = multibyte ? shows_single(c) : (c >= 32 && c <= 126);
        out[col++] = shown ? static_cast<char>(c) : '.';
        ++i;
    }
    *carry = i > count ? static_cast<int32_t>(i - count) : 0;
    return col;
}

}  // namespace

int32_t XKWDumpLine(int32_t dumpflags, const char* label, const void* data, int32_t length,
                    int32_t* offset, int32_t* carry, char* line, size_t size)
{
    if (offset == nullptr || carry == nullptr || line == nullptr || size == 0 || length < 0 ||
        *offset < 0 || (data == nullptr && length > 0))
        return XKW_E_INVAL;
    line[0] = '\0';
    if (*offset >= length)
        return 0;

    int32_t type = (dumpflags >> 12) & 0xF;
    int32_t esize = element_size[static_cast<size_t>(type)];
    bool wide = (dumpflags & 0x20000) != 0 && esize <= 2;
    bool unsigned_ = (dumpflags & 0x8000) != 0;
    size_t per_line = type == type_chars ? (wide ? 100 : 64) : (wide ? 20 : 16);
    size_t split = wide ? 10 : 8;
    size_t colon = wide ? 74 : 62;

    const auto* base = static_cast<const uint8_t*>(data) + *offset;
    size_t avail = static_cast<size_t>(length - *offset);
    size_t count = std::min(per_line, avail);

    std::array<char, 160> buf;
    buf.fill(' ');
    put_label(buf.data(), label != nullptr ? label : "", *offset / esize);

    bool nonzero = false;
    size_t col = label_columns;
    size_t whole = type == type_chars ? 0 : count / static_cast<size_t>(esize) * static_cast<size_t>(esize);
    for (size_t b = 0; b < whole; b += static_cast<size_t>(esize)) {
        if (b == split && type != 7)
            ++col;
        char text[64];
        nonzero |= element_text(type, unsigned_, base + b, text, sizeof text);
        size_t n = std::min(std::strlen(text), colon - std::min(col, colon));
        std::memcpy(buf.data() + col, text, n);
        col += n;
    }
    // Bytes that are not part of a whole element (the tail of the data, or
    // every byte of a character-only line) count by their value.
    for (size_t b = whole; b < count; ++b)
        nonzero |= base[b] != 0;

    size_t chars_at = type == type_chars ? label_columns : colon + 1;
    if (type != type_chars)
        buf[colon] = ':';
    size_t end = chars_at + put_chars(buf.data() + chars_at, buf.size() - 1 - chars_at, base, count,
                                      avail, (dumpflags & 0x10000) != 0, carry);
    end = std::max(end, columns);
    buf[end] = '\0';
    XKWStrCopy(line, buf.data(), size);
    *offset += static_cast<int32_t>(count);
    return nonzero ? 1 : 0;
}
