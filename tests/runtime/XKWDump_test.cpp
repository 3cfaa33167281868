// Dump lines: the column layout per element type, wide lines, the index
// forms of the label, short last lines, the non-zero result and the
// character column with multi-byte characters carried into the next line.
#include "runtime/XKWDump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/XKWCode.h"

namespace {

struct Line {
    std::string text;
    int32_t result;
    int32_t offset;
    int32_t carry;
};

Line dump_at(int32_t flags, const char* label, const void* data, int32_t length, int32_t offset,
             int32_t carry = 0)
{
    char buf[XKW_DUMP_LINE_SIZE];
    std::memset(buf, 'Z', sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    int32_t rc = XKWDumpLine(flags, label, data, length, &offset, &carry, buf, sizeof buf);
    return {buf, rc, offset, carry};
}

// The element columns of a line: from column 13 up to the ":".
std::string numbers(const std::string& line, size_t colon = 62)
{
    EXPECT_GT(line.size(), colon);
    EXPECT_EQ(line[colon], ':') << line;
    return line.substr(13, colon - 13);
}

std::string pad(std::string s, size_t width)
{
    s.resize(width, ' ');
    return s;
}

}  // namespace

TEST(DumpLineTest, ByteLineHasSplitColonAndCharacters)
{
    std::vector<uint8_t> data;
    for (int i = 0; i < 20; ++i)
        data.push_back(static_cast<uint8_t>('A' + i));
    Line l = dump_at(0, "DATA", data.data(), 20, 0);
    EXPECT_EQ(l.text, pad("DATA    [  0] 41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50:ABCDEFGHIJKLMNOP", 80));
    EXPECT_EQ(l.result, 1);
    EXPECT_EQ(l.offset, 16);

    // The short last line keeps the columns and pads to 80.
    l = dump_at(0, "DATA", data.data(), 20, 16);
    EXPECT_EQ(l.text, pad(pad("DATA    [ 16] 51 52 53 54", 62) + ":QRST", 80));
    EXPECT_EQ(l.offset, 20);

    // Wide: 20 bytes, the split before the 11th, ":" at 74.
    l = dump_at(0x20000, "W", data.data(), 20, 0);
    EXPECT_EQ(l.text.size(), 95u);
    EXPECT_EQ(numbers(l.text, 74), " 41 42 43 44 45 46 47 48 49 4a  4b 4c 4d 4e 4f 50 51 52 53 54");
    EXPECT_EQ(l.text.substr(75), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(l.offset, 20);

    // Control and high bytes show as "." without multi-byte mode.
    const uint8_t odd[] = {0x00, 0x1F, 0x7E, 0x7F, 0x82, 0xA0};
    EXPECT_EQ(dump_at(0, "", odd, 6, 0).text.substr(63, 6), "..~...");

    // Characters only: 64 (100 wide) from column 13, no ":".
    std::string text(120, 'c');
    EXPECT_EQ(dump_at(0xF000, "T", text.data(), 120, 0).text, "T       [  0]" + std::string(64, 'c') + "   ");
    EXPECT_EQ(dump_at(0xF000 | 0x20000, "T", text.data(), 120, 0).text, "T       [  0]" + std::string(100, 'c'));
}

TEST(DumpLineTest, ElementTypesFormatTheirValues)
{
    const int32_t ints[4] = {1, -2, 3, 4};
    EXPECT_EQ(numbers(dump_at(0x2000, "L", ints, 16, 0).text),
              "           1          -2            3           4");
    // Bit 15 is both part of the type and "unsigned": types 8..15 are unsigned.
    EXPECT_EQ(numbers(dump_at(0xA000, "L", ints, 16, 0).text).substr(12, 12), "  4294967294");
    EXPECT_EQ(numbers(dump_at(0xB000, "L", ints, 16, 0).text).substr(0, 24), "    00000001    fffffffe");

    const int16_t shorts[8] = {-1, 2, 0, 0, 300, 0, 0, 0};
    EXPECT_EQ(numbers(dump_at(0x1000, "S", shorts, 16, 0).text).substr(0, 12), "    -1     2");
    EXPECT_EQ(numbers(dump_at(0x9000, "S", shorts, 16, 0).text).substr(0, 6), " 65535");
    EXPECT_EQ(numbers(dump_at(0x8000, "S", shorts, 16, 0).text).substr(0, 12), "  ffff  0002");
    EXPECT_EQ(numbers(dump_at(0x8000, "S", shorts, 16, 0).text).substr(25, 6), "  012c");

    const int64_t longs[2] = {-5, 0x1234};
    EXPECT_EQ(numbers(dump_at(0x6000, "Q", longs, 16, 0).text),
              pad("", 22) + "-5 " + pad("", 20) + "4660");
    EXPECT_EQ(numbers(dump_at(0xE000, "Q", longs, 16, 0).text).substr(0, 24), "    18446744073709551611");
    EXPECT_EQ(numbers(dump_at(0xC000, "Q", longs, 16, 0).text),
              "        fffffffffffffffb         0000000000001234");

    const float floats[4] = {1.5f, 0, 0, -2};
    EXPECT_EQ(numbers(dump_at(0x3000, "F", floats, 16, 0).text),
              "  1.5000e+00  0.0000e+00   0.0000e+00 -2.0000e+00");
    const double doubles[2] = {0.25, -1};
    EXPECT_EQ(numbers(dump_at(0x4000, "D", doubles, 16, 0).text),
              "   2.500000000000000e-01   -1.000000000000000e+00");
    // Type 7: one 16-byte element, no split blank, value of the first 8 bytes.
    Line q = dump_at(0x7000, "E", doubles, 16, 0);
    EXPECT_EQ(numbers(q.text), "   2.5000000000000000000000000000000000000000e-01");
    EXPECT_EQ(q.text.substr(0, 13), "E       [  0]");
}

TEST(DumpLineTest, ResultTellsZeroFromNonZero)
{
    const uint8_t zeros[16] = {};
    EXPECT_EQ(dump_at(0, "", zeros, 16, 0).result, 0);
    // -0.0 is zero as a float even though a byte of it is not.
    const double minus_zero[2] = {-0.0, 0.0};
    EXPECT_EQ(dump_at(0x4000, "", minus_zero, 16, 0).result, 0);
    EXPECT_EQ(dump_at(0x2000, "", minus_zero, 16, 0).result, 1);
    // A tail too short for an element shows only as characters, but counts.
    const uint8_t tail[6] = {0, 0, 0, 0, 0, 'x'};
    Line l = dump_at(0x2000, "", tail, 6, 0);
    EXPECT_EQ(l.result, 1);
    EXPECT_EQ(numbers(l.text), pad("           0", 49));
    EXPECT_EQ(l.text.substr(63, 6), ".....x");
    EXPECT_EQ(dump_at(0, "", nullptr, 4, 0).result, -22);
}

TEST(DumpLineTest, IndexColumnsGiveWayToLargeIndexes)
{
    std::vector<uint8_t> big(1000016, 0x11);
    EXPECT_EQ(dump_at(0, "LABELNAME", big.data(), 2000, 992).text.substr(0, 13), "LABELNAM[992]");
    EXPECT_EQ(dump_at(0, "LABELNAME", big.data(), 2000, 1008).text.substr(0, 13), "LABELNA[1008]");
    EXPECT_EQ(dump_at(0, "LABELNAME", big.data(), 20000, 16000).text.substr(0, 13), "LABELN[16000]");
    EXPECT_EQ(dump_at(0, "LABELNAME", big.data(), 200000, 160000).text.substr(0, 13), "LABEL[160000]");
    EXPECT_EQ(dump_at(0, "LABELNAME", big.data(), 1000016, 1000000).text.substr(0, 13), "LABEL[000000]");
    // The index counts elements, not bytes.
    EXPECT_EQ(dump_at(0x2000, "X", big.data(), 2000, 32).text.substr(0, 13), "X       [  8]");
}

TEST(DumpLineTest, MultiByteCharacterSpillsIntoTheNextLine)
{
    ASSERT_EQ(XKWCodeGet(), XKW_CODE_SJIS);
    // 15 letters, then a two-byte character across the line end, then DEL,
    // a half-width katakana and a byte of the upper range.
    std::string data(15, 'a');
    data += "\x82\xa0" "b\x7f\xb1\xfd";
    int32_t len = static_cast<int32_t>(data.size());
    Line first = dump_at(0x10000, "", data.data(), len, 0);
    EXPECT_EQ(first.text.substr(63), std::string(15, 'a') + "\x82\xa0");
    EXPECT_EQ(first.carry, 1);
    Line second = dump_at(0x10000, "", data.data(), len, first.offset, first.carry);
    EXPECT_EQ(second.text.substr(63, 5), ".b.\xb1.");
    EXPECT_EQ(second.carry, 0);
    // Plain mode keeps to ASCII.
    EXPECT_EQ(dump_at(0, "", data.data(), len, 0).text.substr(78, 1), ".");
    // A lead byte at the very end of the data has no trailing byte to take.
    const char lead_last[] = {'x', '\x82'};
    EXPECT_EQ(dump_at(0x10000, "", lead_last, 2, 0).text.substr(63, 2), "x.");
}
