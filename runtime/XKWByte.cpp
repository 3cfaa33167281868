// Byte order conversion between big-endian wire data and the host.
#include "runtime/XKWByte.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr bool host_little = std::endian::native == std::endian::little;

#if defined(__x86_64__)
// Large numeric arrays pass through here on every message: on processors
// with byte shuffles, 16 bytes at a time. Returns the elements done.
template <size_t W>
__attribute__((target("ssse3"))) size_t swap_shuffle(unsigned char* p, size_t n)
{
    alignas(16) unsigned char order[16];
    for (size_t i = 0; i < 16; ++i)
        order[i] = static_cast<unsigned char>((i / W) * W + (W - 1 - i % W));
    const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(order));
    size_t bytes = n * W, i = 0;
    for (; i + 16 <= bytes; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), _mm_shuffle_epi8(v, mask));
    }
    return i / W;
}

// Read while the program loads, before the processor model is otherwise set up.
const bool has_shuffle = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
}();
#endif

// Elements are copied out and back with memcpy: a buffer handed in from a
// frame or a record has no alignment guarantee.
template <class T, T (*Swap)(T)>
void swap_array(void* p, size_t n)
{
    if (!host_little || p == nullptr)
        return;
    auto* bytes = static_cast<unsigned char*>(p);
    size_t i = 0;
#if defined(__x86_64__)
    if (has_shuffle)
        i = swap_shuffle<sizeof(T)>(bytes, n);
#endif
    for (; i < n; ++i) {
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
