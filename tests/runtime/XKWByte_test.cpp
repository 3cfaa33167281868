#include "runtime/XKWByte.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(ByteTest, SingleValuesReverseTheirBytesOnThisLittleEndianHost)
{
    EXPECT_EQ(XKWHostIsLittle(), 1);
    EXPECT_EQ(XKWSwap2(0x1234), 0x3412);
    EXPECT_EQ(XKWSwap4(0x12345678u), 0x78563412u);
    EXPECT_EQ(XKWSwap8(0x0102030405060708ull), 0x0807060504030201ull);
}

TEST(ByteTest, ArraysSwapEachElementInPlaceAtAnyAlignment)
{
    // Elements start at offset 1; the guard bytes either side must survive.
    unsigned char b[10] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 0xEE};
    XKWSwap2Array(b + 1, 2);
    const unsigned char two[] = {0xEE, 2, 1, 4, 3, 5, 6, 7, 8, 0xEE};
    EXPECT_EQ(std::memcmp(b, two, 10), 0);
    XKWSwap4Array(b + 1, 2);
    const unsigned char four[] = {0xEE, 3, 4, 1, 2, 8, 7, 6, 5, 0xEE};
    EXPECT_EQ(std::memcmp(b, four, 10), 0);
    XKWSwap8Array(b + 1, 1);
    const unsigned char eight[] = {0xEE, 5, 6, 7, 8, 2, 1, 4, 3, 0xEE};
    EXPECT_EQ(std::memcmp(b, eight, 10), 0);
}

TEST(ByteTest, LongArraysMatchElementWiseSwapIncludingTheTail)
{
    // Long enough for the block path, odd length for the tail, odd offset.
    constexpr size_t n = 37;
    unsigned char raw[1 + n * 8 + 1];
    for (size_t i = 0; i < sizeof raw; ++i)
        raw[i] = static_cast<unsigned char>(i * 7 + 3);
    auto check = [&](size_t width, void (*swap)(void*, size_t)) {
        unsigned char b[sizeof raw];
        std::memcpy(b, raw, sizeof raw);
        swap(b + 1, n);
        EXPECT_EQ(b[0], raw[0]);
        for (size_t e = 0; e < n; ++e)
            for (size_t k = 0; k < width; ++k)
                ASSERT_EQ(b[1 + e * width + k], raw[1 + e * width + (width - 1 - k)]) << width << ":" << e;
        EXPECT_EQ(b[1 + n * width], raw[1 + n * width]);
    };
    check(2, XKWSwap2Array);
    check(4, XKWSwap4Array);
    check(8, XKWSwap8Array);
}
