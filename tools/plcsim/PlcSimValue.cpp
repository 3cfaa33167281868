// Item values as the simulator's operator types and reads them: text as
// it is, numbers blank- or comma-separated (0x.. hexadecimal), Boolean
// also as true/false.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "secs/XKSMssg.h"
#include "tools/plcsim/PlcSim.h"

namespace plcsim {

namespace {

enum class Kind { Text, Signed, Unsigned, Float, Boolean, None };

struct Format {
    Kind kind;
    int32_t size;  // bytes per element
};

Format format_of(int32_t format)
{
    switch (format & 0777) {
    case XKS_FMT_A:
    case XKS_FMT_J:
        return {Kind::Text, 1};
    case XKS_FMT_K:
        return {Kind::Text, 2};
    case XKS_FMT_B:
    case XKS_FMT_U1:
        return {Kind::Unsigned, 1};
    case XKS_FMT_T:
        return {Kind::Boolean, 1};
    case XKS_FMT_I1:
        return {Kind::Signed, 1};
    case XKS_FMT_I2:
        return {Kind::Signed, 2};
    case XKS_FMT_I4:
        return {Kind::Signed, 4};
    case XKS_FMT_I8:
        return {Kind::Signed, 8};
    case XKS_FMT_U2:
        return {Kind::Unsigned, 2};
    case XKS_FMT_U4:
        return {Kind::Unsigned, 4};
    case XKS_FMT_U8:
        return {Kind::Unsigned, 8};
    case XKS_FMT_F4:
        return {Kind::Float, 4};
    case XKS_FMT_F8:
        return {Kind::Float, 8};
    default:
        return {Kind::None, 0};
    }
}

// An integer element of size bytes in host order, from or to 64 bits.
void store_int(uint8_t* out, int32_t size, uint64_t v)
{
    const uint8_t b = uint8_t(v);
    const uint16_t h = uint16_t(v);
    const uint32_t w = uint32_t(v);
    std::memcpy(out, size == 1 ? static_cast<const void*>(&b) : size == 2 ? static_cast<const void*>(&h)
                     : size == 4 ? static_cast<const void*>(&w) : static_cast<const void*>(&v),
                size_t(size));
}
uint64_t load_uint(const uint8_t* in, int32_t size)
{
    uint8_t b;
    uint16_t h;
    uint32_t w;
    uint64_t v = 0;
    switch (size) {
    case 1: std::memcpy(&b, in, 1); return b;
    case 2: std::memcpy(&h, in, 2); return h;
    case 4: std::memcpy(&w, in, 4); return w;
    default: std::memcpy(&v, in, 8); return v;
    }
}

// One number of an element of f into out (f.size bytes, host order).
bool parse_element(const Format& f, const std::string& word, uint8_t* out)
{
    const char* text = word.c_str();
    char* end = nullptr;
    errno = 0;
    if (f.kind == Kind::Boolean && (word == "true" || word == "false")) {
        out[0] = word == "true";
        return true;
    }
    if (f.kind == Kind::Float) {
        double v = std::strtod(text, &end);
        if (end == text || *end != '\0' || errno != 0)
            return false;
        if (f.size == 4) {
            float x = float(v);
            std::memcpy(out, &x, 4);
        } else {
            std::memcpy(out, &v, 8);
        }
        return true;
    }
    if (f.kind == Kind::Signed) {
        long long v = std::strtoll(text, &end, 0);
        if (end == text || *end != '\0' || errno != 0)
            return false;
        int bits = 8 * f.size;
        if (bits < 64 && (v < -(1LL << (bits - 1)) || v >= (1LL << (bits - 1))))
            return false;
        store_int(out, f.size, uint64_t(v));
        return true;
    }
    if (word[0] == '-')
        return false;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0)
        return false;
    if (f.size < 8 && v >= (1ULL << (8 * f.size)))
        return false;
    if (f.kind == Kind::Boolean && v > 1)
        return false;
    store_int(out, f.size, v);
    return true;
}

}  // namespace

bool parse_value(int32_t format, const std::string& text, std::vector<uint8_t>* bytes, int32_t* count)
{
    const Format f = format_of(format);
    bytes->clear();
    if (f.kind == Kind::None)
        return false;
    if (f.kind == Kind::Text) {
        if (f.size == 2 && text.size() % 2 != 0)
            return false;
        bytes->assign(text.begin(), text.end());
        *count = int32_t(text.size()) / f.size;
        return true;
    }
    std::string words = text;
    for (char& c : words)
        if (c == ',')
            c = ' ';
    std::istringstream in(words);
    std::string word;
    int32_t n = 0;
    while (in >> word) {
        bytes->resize(bytes->size() + size_t(f.size));
        if (!parse_element(f, word, bytes->data() + bytes->size() - size_t(f.size)))
            return false;
        ++n;
    }
    *count = n;
    return true;
}

std::string value_text(int32_t format, const uint8_t* value, int32_t count)
{
    const Format f = format_of(format);
    if (f.kind == Kind::Text) {
        size_t n = count > 0 ? size_t(count) * size_t(f.size) : std::strlen(reinterpret_cast<const char*>(value));
        return "\"" + std::string(reinterpret_cast<const char*>(value), n) + "\"";
    }
    std::string out;
    for (int32_t i = 0; f.kind != Kind::None && i < count; ++i) {
        const uint8_t* p = value + size_t(i) * size_t(f.size);
        char text[40];
        if (f.kind == Kind::Float) {
            double v;
            if (f.size == 4) {
                float x;
                std::memcpy(&x, p, 4);
                v = x;
            } else {
                std::memcpy(&v, p, 8);
            }
            std::snprintf(text, sizeof text, "%g", v);
        } else if (f.kind == Kind::Signed) {
            int shift = 64 - 8 * f.size;
            int64_t v = int64_t(load_uint(p, f.size) << shift) >> shift;  // sign-extended
            std::snprintf(text, sizeof text, "%" PRId64, v);
        } else {
            uint64_t v = load_uint(p, f.size);
            std::snprintf(text, sizeof text, (format & 0777) == XKS_FMT_B ? "0x%02" PRIX64 : "%" PRIu64, v);
        }
        out += (i > 0 ? " " : "") + std::string(text);
    }
    return out;
}

}  // namespace plcsim
