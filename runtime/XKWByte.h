// Byte order: SECS-II, HSMS and the PLC protocols carry numbers big-endian
// (or in the PLC's own order); these helpers turn wire order into host
// order and back. On a little-endian host they reverse bytes, on a
// big-endian host they leave the data alone.
#pragma once
#include <cstddef>
#include <cstdint>

// 1 when the host stores numbers little-endian (as on x86_64), else 0.
int32_t XKWHostIsLittle();

// One value converted between big-endian and host order (the same
// operation both ways); returns the converted value.
uint16_t XKWSwap2(uint16_t value);
uint32_t XKWSwap4(uint32_t value);
uint64_t XKWSwap8(uint64_t value);

// Convert n elements of 2, 4 or 8 bytes in place between big-endian and
// host order. p need not be aligned.
void XKWSwap2Array(void* p, size_t n);
void XKWSwap4Array(void* p, size_t n);
void XKWSwap8Array(void* p, size_t n);
