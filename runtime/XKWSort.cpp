// Record sort: a comb sort over fixed-size records. Fields are read with
// memcpy because records are packed byte layouts with no alignment.
#include "runtime/XKWSort.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/XKWResult.h"

namespace {

template <class T>
T field(const unsigned char* rec, int32_t offset)
{
    T v;
    std::memcpy(&v, rec + offset, sizeof v);
    return v;
}

template <class T>
int cmp_values(T a, T b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

// A null string sorts before every string.
int cmp_strings(const char* a, const char* b, bool bounded, int32_t length)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    return bounded ? std::strncmp(a, b, static_cast<size_t>(length)) : std::strcmp(a, b);
}

// Bytes a key reads from the record, or 0 for an unknown type.
size_t field_size(const XKWSortKey& k)
{
    switch (k.type) {
    case 0: return static_cast<size_t>(k.length);
    case 1: case -1: return 2;
    case 2: case -2: case -6: return 4;
    case 5: case -5: return 1;
    case 3: return sizeof(float);
    case 4: case 7: case -7: return sizeof(double);
    case 6: return sizeof(uintptr_t);
    case 9: case -9: return sizeof(const char*);
    default: return 0;
    }
}

bool key_ok(const XKWSortKey& k, int32_t size)
{
    if (k.direction == 0)
        return true;
    if (k.offset < 0 || k.length < 0)
        return false;
    size_t n = field_size(k);
    if (n == 0 && k.type != 0)
        return false;
    return static_cast<size_t>(k.offset) + n <= static_cast<size_t>(size);
}

int cmp_key(const XKWSortKey& k, const unsigned char* a, const unsigned char* b)
{
    const int32_t o = k.offset;
    switch (k.type) {
    case 0:
        return std::strncmp(reinterpret_cast<const char*>(a + o), reinterpret_cast<const char*>(b + o),
                            static_cast<size_t>(k.length));
    case 1: return cmp_values(field<int16_t>(a, o), field<int16_t>(b, o));
    case -1: return cmp_values(field<uint16_t>(a, o), field<uint16_t>(b, o));
    // Compared as values: the difference of two 32-bit numbers can overflow
    // and turn the order around.
    case 2: case -2: case -6: return cmp_values(field<int32_t>(a, o), field<int32_t>(b, o));
    case 5: return cmp_values(field<int8_t>(a, o), field<int8_t>(b, o));
    case -5: return cmp_values(field<uint8_t>(a, o), field<uint8_t>(b, o));
    case 3: return cmp_values(field<float>(a, o), field<float>(b, o));
    case 4: case 7: case -7: return cmp_values(field<double>(a, o), field<double>(b, o));
    case 6: return cmp_values(field<uintptr_t>(a, o), field<uintptr_t>(b, o));
    case 9: return cmp_strings(field<const char*>(a, o), field<const char*>(b, o), false, 0);
    case -9: return cmp_strings(field<const char*>(a, o), field<const char*>(b, o), true, k.length);
    default: return 0;
    }
}

bool out_of_order(const XKWSortKey* keys, int32_t keycount, const unsigned char* a, const unsigned char* b)
{
    for (int32_t i = 0; i < keycount; ++i) {
        const XKWSortKey& k = keys[i];
        if (k.direction == 0)
            continue;
        int c = cmp_key(k, a, b);
        if (c != 0)
            return k.direction > 0 ? c > 0 : c < 0;
    }
    return false;
}

}  // namespace

int32_t XKWSort(void* records, int32_t size, const XKWSortKey* keys, int32_t keycount, int32_t first,
                int32_t count)
{
    if (size <= 0 || first < 0 || count < 0 || keycount < 0 || (keys == nullptr && keycount > 0) ||
        (records == nullptr && count > 0))
        return XKW_E_INVAL;
    for (int32_t i = 0; i < keycount; ++i)
        if (!key_ok(keys[i], size))
            return XKW_E_INVAL;
    if (count < 2)
        return XKW_OK;

    std::unique_ptr<unsigned char[]> tmp(new (std::nothrow) unsigned char[static_cast<size_t>(size)]);
    if (!tmp)
        return XKW_E_NOMEM;

    auto* base = static_cast<unsigned char*>(records);
    const size_t rec = static_cast<size_t>(size);
    auto at = [&](int64_t j) { return base + static_cast<size_t>(j) * rec; };
    const int64_t end = static_cast<int64_t>(first) + count;

    int32_t gap = count;
    bool swapped = true;
    while (gap > 1 || swapped) {
        gap = static_cast<int32_t>(gap / 1.3);
        if (gap == 0)
            gap = 1;
        else if (gap == 9 || gap == 10)
            gap = 11;  // the "rule of 11": avoids the slow gap sequences through 9 and 10
        swapped = false;
        for (int64_t j = first; j < end - gap; ++j) {
            unsigned char* a = at(j);
            unsigned char* b = at(j + gap);
            if (out_of_order(keys, keycount, a, b)) {
                std::memcpy(tmp.get(), a, rec);
                std::memcpy(a, b, rec);
                std::memcpy(b, tmp.get(), rec);
                swapped = true;
            }
        }
    }
    return XKW_OK;
}
