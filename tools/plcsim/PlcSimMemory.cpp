// The memories of the simulated PLC: a device image per network family and
// the shared-memory PLC image.
#include <cstdio>
#include <cstring>

#include "plc/qzrplc.h"
#include "tools/plcsim/PlcSim.h"

namespace plcsim {

namespace {

struct FamilyName {
    Family family;
    const char* text;
};
constexpr FamilyName kFamilies[] = {{Family::Melsec3E, "melsec3e"},
                                    {Family::Melsec4E, "melsec4e"},
                                    {Family::Omron, "omron"},
                                    {Family::Keyence, "keyence"},
                                    {Family::Memory, "memory"}};

bool in_area(int64_t first, int32_t n, int64_t cells)
{
    return first >= 0 && n >= 0 && first + n <= cells;
}

}  // namespace

bool family_from_text(const std::string& text, Family* family)
{
    for (const auto& f : kFamilies)
        if (text == f.text) {
            *family = f.family;
            return true;
        }
    return false;
}

const char* family_text(Family family)
{
    for (const auto& f : kFamilies)
        if (f.family == family)
            return f.text;
    return "";
}

bool family_from_settings(const QZVQSettings& cfg, Family* family)
{
    switch (cfg.plctype & 15) {
    case QZVQ_PLC_MELSEC:
        *family = cfg.plcopt0[0] == 1 ? Family::Melsec4E : Family::Melsec3E;
        return true;
    case QZVQ_PLC_OMRON:
        *family = Family::Omron;
        return true;
    case QZVQ_PLC_KEYENCE:
        *family = Family::Keyence;
        return true;
    case QZVQ_PLC_MEMORY:
        *family = Family::Memory;
        return true;
    default:
        return false;
    }
}

// ---- device image ----

std::string DeviceImage::area_key(Family family, const QZVQCode& code)
{
    if (family == Family::Keyence)
        return code.text;
    char key[16];
    std::snprintf(key, sizeof key, "0x%02X", unsigned(code.number));
    return key;
}

uint32_t* DeviceImage::cell(const std::string& area, int32_t address)
{
    Page& page = areas_[area][address / kPage];
    if (page.empty())
        page.assign(kPage, 0);
    return &page[size_t(address % kPage)];
}

bool DeviceImage::cells(const std::string& area, int32_t first, int32_t n, uint32_t* out)
{
    if (!in_area(first, n, kCells))
        return false;
    std::lock_guard<std::mutex> lock(m_);
    for (int32_t i = 0; i < n; ++i)
        out[i] = *cell(area, first + i);
    return true;
}

bool DeviceImage::set_cells(const std::string& area, int32_t first, int32_t n, const uint32_t* in)
{
    if (!in_area(first, n, kCells))
        return false;
    std::lock_guard<std::mutex> lock(m_);
    for (int32_t i = 0; i < n; ++i)
        *cell(area, first + i) = in[i];
    return true;
}

bool DeviceImage::bits(const std::string& area, int64_t first, int32_t n, uint32_t* out)
{
    if (!in_area(first, n, int64_t(kCells) * 16))
        return false;
    std::lock_guard<std::mutex> lock(m_);
    for (int32_t i = 0; i < n; ++i) {
        int64_t b = first + i;
        out[i] = *cell(area, int32_t(b / 16)) >> (b % 16) & 1;
    }
    return true;
}

bool DeviceImage::set_bits(const std::string& area, int64_t first, int32_t n, const uint32_t* in)
{
    if (!in_area(first, n, int64_t(kCells) * 16))
        return false;
    std::lock_guard<std::mutex> lock(m_);
    for (int32_t i = 0; i < n; ++i) {
        int64_t b = first + i;
        uint32_t* word = cell(area, int32_t(b / 16));
        uint32_t mask = 1u << (b % 16);
        *word = in[i] != 0 ? (*word | mask) : (*word & ~mask);
    }
    return true;
}

// An Omron bit area reaches the bits of the word area of the same memory:
// its code with bit 7 set (0x30 CIO bits are 0xB0 CIO words, 0x02 DM bits
// 0x82 DM words).
static bool omron_bit_area(const QZVQCode& code)
{
    return QZRPLCOmronCodeType(code.number, 1, nullptr) == QZRPLC_UNIT_BIT;
}

bool DeviceImage::get(int32_t, const QZVQCode& code, int32_t address, int32_t bit, int32_t n, uint16_t* words)
{
    if (n < 0)
        return false;
    std::vector<uint32_t> values(static_cast<size_t>(n));
    bool ok;
    if (family_ == Family::Omron && omron_bit_area(code))
        ok = bits(area_key(family_, {code.number | 0x80, ""}), int64_t(address) * 16 + bit, n, values.data());
    else
        ok = cells(area_key(family_, code), address, n, values.data());
    for (int32_t i = 0; ok && i < n; ++i)
        words[i] = uint16_t(values[size_t(i)]);
    return ok;
}

bool DeviceImage::put(int32_t, const QZVQCode& code, int32_t address, int32_t bit, int32_t n, const uint16_t* words)
{
    if (n < 0)
        return false;
    std::vector<uint32_t> values(words, words + n);
    if (family_ == Family::Omron && omron_bit_area(code))
        return set_bits(area_key(family_, {code.number | 0x80, ""}), int64_t(address) * 16 + bit, n, values.data());
    return set_cells(area_key(family_, code), address, n, values.data());
}

// ---- shared image ----

SharedImage::SharedImage(const std::string& name, int32_t size) : size_(size)
{
    if (size > 0)
        base_ = static_cast<uint8_t*>(XKWMemMap(name.c_str(), size, &map_));
}

SharedImage::~SharedImage()
{
    if (base_ != nullptr)
        XKWMemUnmap(base_, &map_);
}

int64_t SharedImage::offset(int32_t kind, int32_t address, int32_t n) const
{
    static constexpr int64_t start[4] = {0, 4, 8, 136};
    if (kind < 0 || kind > 3 || address < 0 || n < 0)
        return -1;
    int64_t unit = kind < 2 ? 1 : 2;
    int64_t at = start[kind] + unit * address;
    return at + unit * n <= size_ ? at : -1;
}

// The bridge copies with its own mapping of the block; single points go
// through atomics so that neither side sees a torn value.
bool SharedImage::get(int32_t kind, const QZVQCode&, int32_t address, int32_t, int32_t n, uint16_t* words)
{
    int64_t at = offset(kind, address, n);
    if (base_ == nullptr || at < 0)
        return false;
    for (int32_t i = 0; i < n; ++i) {
        if (kind < 2) {
            words[i] = __atomic_load_n(base_ + at + i, __ATOMIC_ACQUIRE);
        } else {
            uint16_t* w = reinterpret_cast<uint16_t*>(base_ + at) + i;
            words[i] = __atomic_load_n(w, __ATOMIC_ACQUIRE);
        }
    }
    return true;
}

bool SharedImage::put(int32_t kind, const QZVQCode&, int32_t address, int32_t, int32_t n, const uint16_t* words)
{
    int64_t at = offset(kind, address, n);
    if (base_ == nullptr || at < 0)
        return false;
    for (int32_t i = 0; i < n; ++i) {
        if (kind < 2) {
            __atomic_store_n(base_ + at + i, uint8_t(words[i]), __ATOMIC_RELEASE);
        } else {
            uint16_t* w = reinterpret_cast<uint16_t*>(base_ + at) + i;
            __atomic_store_n(w, words[i], __ATOMIC_RELEASE);
        }
    }
    return true;
}

}  // namespace plcsim
