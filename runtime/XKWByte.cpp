// Byte order conversion between big-endian wire data and the host.
#include "runtime/XKWByte.h"

#include <bit>
#include <cstring>

namespace {

constexpr bool host_little = std::endian::native == std::endian::little;

// Elements are copied out and back with memcpy: a buffer handed in from a
// frame or a record has no alignment guarantee.
template <class T, T (*Swap)(T)>
void swap_array(void* p, size_t n)
{
    if (!host_little || p == nullptr)
        return;
    auto* bytes = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, bytes + i * sizeof(T), sizeof(T));
        v = Swap(v);
        std::memcpy(bytes + i * sizeof(T), &v, sizeof(T));
    }
}

uint16_t bswap16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t bswap32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t bswap64(uint64_t v) { return __builtin_bswap64(v); }

}  // namespace

int32_t XKWHostIsLittle()
{
    return host_little ? 1 : 0;
}

uint16_t XKWSwap2(uint16_t value)
{
    return host_little ? bswap16(value) : value;
}

uint32_t XKWSwap4(uint32_t value)
{
    return host_little ? bswap32(value) : value;
}

uint64_t XKWSwap8(uint64_t value)
{
    return host_little ? bswap64(value) : value;
}

void XKWSwap2Array(void* p, size_t n)
{
    swap_array<uint16_t, bswap16>(p, n);
}

void XKWSwap4Array(void* p, size_t n)
{
    swap_array<uint32_t, bswap32>(p, n);
}

void XKWSwap8Array(void* p, size_t n)
{
    swap_array<uint64_t, bswap64>(p, n);
}
