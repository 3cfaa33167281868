#include "secs/XKSMssg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Builds into a buffer of fixed capacity; blocks are large, so they live on
// the heap.
class XKSMssgTest : public ::testing::Test {
protected:
    // the codec is tested without the hooks the definition module installed
    const XKSMssgHooks* saved_hooks = XKSMssgSetHooks(nullptr);

    void TearDown() override
    {
        XKWCodeSet(XKW_CODE_SJIS);
        XKSMssgSetHooks(saved_hooks);
    }

    void open_build(int32_t capacity = 256)
    {
        buf.assign(static_cast<size_t>(capacity), 0xEE);
        ASSERT_EQ(XKSMssgBuildOpen(blk.get(), 0, buf.data(), capacity, 0), 0);
    }
    int32_t put(int32_t format, int32_t count, const void* data, int32_t flags = 0)
    {
        return XKSMssgPutItem(blk.get(), flags, buf.data(), format, count, data);
    }
    Bytes body() const
    {
        return Bytes(buf.begin(), buf.begin() + blk->position);
    }
    void open_read(const Bytes& b, intptr_t session = 0, int32_t flags = 0)
    {
        rd = b;
        ASSERT_EQ(XKSMssgReadOpen(blk.get(), flags, rd.data(), static_cast<int32_t>(rd.size()), session,
                                  nullptr, nullptr, 0),
                  0);
    }
    int32_t get(void* out, int32_t outsize, int32_t flags = 0)
    {
        return XKSMssgGetItem(blk.get(), flags, rd.data(), &format, &size, &count, out, outsize);
    }

    std::unique_ptr<XKSMssgBlock> blk = std::make_unique<XKSMssgBlock>();
    Bytes buf, rd;
    int32_t format = -1, size = -1, count = -1;
};

}  // namespace

TEST_F(XKSMssgTest, ListsEncodeTheirItemCount)
{
    open_build();
    EXPECT_EQ(put(XKS_FMT_L, 0, nullptr), 0);
    EXPECT_EQ(put(XKS_FMT_L, 3, nullptr), 0);
    EXPECT_EQ(body(), (Bytes{0x01, 0x00, 0x01, 0x03}));
    EXPECT_EQ(XKSMssgBuildEnd(blk.get()), 4);
}

TEST_F(XKSMssgTest, AsciiIsPaddedWithBlanksOrCutToCount)
{
    open_build();
    EXPECT_EQ(put(XKS_FMT_A, 0, "ABC"), 0);
    EXPECT_EQ(put(XKS_FMT_A, 5, "ABC"), 0);
    EXPECT_EQ(put(XKS_FMT_A, 2, "ABC"), 0);
    EXPECT_EQ(put(XKS_FMT_A, 2, nullptr), 0);
    EXPECT_EQ(body(), (Bytes{0x41, 3, 'A', 'B', 'C', 0x41, 5, 'A', 'B', 'C', ' ', ' ', 0x41, 2, 'A', 'B',
                             0x41, 2, ' ', ' '}));
}

TEST_F(XKSMssgTest, LengthBytesFollowTheDataSize)
{
    open_build(140000);
    std::vector<uint16_t> u2(300, 0x0102);
    ASSERT_EQ(put(XKS_FMT_U2, 300, u2.data()), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 5), (Bytes{0xAA, 0x02, 0x58, 0x01, 0x02}));
    EXPECT_EQ(blk->position, 3 + 600);

    std::vector<uint8_t> bin(65536, 7);
    int32_t at = blk->position;
    ASSERT_EQ(put(XKS_FMT_B, 65535, bin.data()), 0);
    EXPECT_EQ(Bytes(buf.begin() + at, buf.begin() + at + 3), (Bytes{0x22, 0xFF, 0xFF}));
    at = blk->position;
    ASSERT_EQ(put(XKS_FMT_B, 65536, bin.data()), 0);
    EXPECT_EQ(Bytes(buf.begin() + at, buf.begin() + at + 4), (Bytes{0x23, 0x01, 0x00, 0x00}));
    EXPECT_EQ(blk->position, at + 4 + 65536);
}

TEST_F(XKSMssgTest, NumbersGoOutBigEndian)
{
    open_build();
    int32_t i4[2] = {1, -2};
    float f4 = 1.0f;
    ASSERT_EQ(put(XKS_FMT_I4, 2, i4), 0);
    ASSERT_EQ(put(XKS_FMT_F4, 1, &f4), 0);
    ASSERT_EQ(put(XKS_FMT_U4, 0, nullptr), 0);  // no data is an empty item
    EXPECT_EQ(body(), (Bytes{0x71, 8, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE, 0x91, 4, 0x3F, 0x80, 0, 0, 0xB1, 0}));
}

TEST_F(XKSMssgTest, RejectedPutsLeaveTheBodyAndRecordTheError)
{
    open_build(12);
    ASSERT_EQ(put(XKS_FMT_A, 0, "ABCDEFGH"), 0);
    const Bytes before(buf);
    uint32_t v = 1;
    EXPECT_EQ(put(077, 1, &v), XKW_E_INVAL);
    EXPECT_EQ(blk->xerr, XKW_E_INVAL);
    EXPECT_EQ(put(XKS_FMT_U4, 1, nullptr), XKW_E_INVAL);
    EXPECT_EQ(put(XKS_FMT_U1, -1, &v), XKW_E_INVAL);
    EXPECT_EQ(put(XKS_FMT_L, 0x1000000, nullptr), XKW_E_INVAL);  // a count that cannot be encoded
    EXPECT_EQ(put(XKS_FMT_U4, 1, &v), XKW_E_FULL);              // needs 6 bytes, 2 left
    EXPECT_EQ(blk->xerr, XKW_E_FULL);
    EXPECT_EQ(buf, before);
    EXPECT_EQ(XKSMssgBuildEnd(blk.get()), 10);
    EXPECT_EQ(put(XKS_FMT_U1, 0, nullptr), 0);  // an item that fits still goes in
    EXPECT_EQ(XKSMssgBuildEnd(blk.get()), 12);
}

TEST_F(XKSMssgTest, DataAboveThreeLengthBytesIsCutToWholeElements)
{
    open_build(0x1000010);
    std::vector<uint32_t> big(0x400000, 0x01020304);
    ASSERT_EQ(put(XKS_FMT_U4, 0x400000, big.data()), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), (Bytes{0xB3, 0xFF, 0xFF, 0xFC}));
    EXPECT_EQ(blk->last_count, 0x3FFFFF);
    EXPECT_EQ(blk->position, 4 + 0xFFFFFC);
}

TEST_F(XKSMssgTest, ClosedBlockRefusesEveryOperation)
{
    uint8_t out[8];
    uint8_t data[2] = {0x01, 0x00};
    EXPECT_EQ(XKSMssgPutItem(blk.get(), 0, data, XKS_FMT_L, 0, nullptr), XKW_E_BADHANDLE);
    EXPECT_EQ(XKSMssgBuildEnd(blk.get()), XKW_E_BADHANDLE);
    EXPECT_EQ(XKSMssgGetItem(blk.get(), 0, data, &format, &size, &count, out, 8), XKW_E_BADHANDLE);
    EXPECT_EQ(XKSMssgReadClose(blk.get()), XKW_E_BADHANDLE);
    EXPECT_EQ(blk->xerr, XKW_E_BADHANDLE);
    open_read(Bytes(data, data + 2));
    EXPECT_EQ(XKSMssgReadClose(blk.get()), 0);
    EXPECT_EQ(get(out, 8), XKW_E_BADHANDLE);
    EXPECT_EQ(XKSMssgGetItem(nullptr, 0, data, nullptr, nullptr, nullptr, out, 8), XKW_E_BADHANDLE);
}

TEST_F(XKSMssgTest, EveryFormatRoundTrips)
{
    open_build(1024);
    const uint8_t b[3] = {0, 0x7F, 0xFF};
    const uint8_t t[2] = {1, 0};
    const int64_t i8[2] = {INT64_MIN, 5};
    const int8_t i1[2] = {-128, 127};
    const int16_t i2[2] = {-300, 300};
    const int32_t i4[2] = {INT32_MIN, 70000};
    const double f8[2] = {-1.5e300, 0.1};
    const float f4[2] = {3.25f, -0.0f};
    const uint64_t u8[1] = {0x0102030405060708ULL};
    const uint8_t u1[1] = {200};
    const uint16_t u2[2] = {0xFFFF, 0x1234};
    const uint32_t u4[2] = {0xDEADBEEF, 1};
    struct Item {
        int32_t format, count;
        const void* data;
        size_t bytes;
    } items[] = {
        {XKS_FMT_L, 2, nullptr, 0},   {XKS_FMT_B, 3, b, 3},          {XKS_FMT_T, 2, t, 2},
        {XKS_FMT_A, 2, "hi", 2},      {XKS_FMT_J, 3, "jis", 3},      {XKS_FMT_K | (8 << 16), 2, "ok", 2},
        {XKS_FMT_I8, 2, i8, 16},      {XKS_FMT_I1, 2, i1, 2},        {XKS_FMT_I2, 2, i2, 4},
        {XKS_FMT_I4, 2, i4, 8},       {XKS_FMT_F8, 2, f8, 16},       {XKS_FMT_F4, 2, f4, 8},
        {XKS_FMT_U8, 1, u8, 8},       {XKS_FMT_U1, 1, u1, 1},        {XKS_FMT_U2, 2, u2, 4},
        {XKS_FMT_U4, 2, u4, 8},       {XKS_FMT_K | (9 << 16), 1, "x", 1},
    };
    for (const Item& it : items)
        ASSERT_EQ(put(it.format, it.count, it.data), 0) << it.format;
    open_read(body());
    for (const Item& it : items) {
        uint8_t out[32];
        ASSERT_EQ(get(out, sizeof out), 0) << it.format;
        EXPECT_EQ(format, it.format);
        EXPECT_EQ(count, it.count);
        EXPECT_EQ(size, XKSMssgFormats[XKSMssgFormatIndex(it.format)].size);
        if (it.data != nullptr) {
            EXPECT_EQ(std::memcmp(out, it.data, it.bytes), 0) << it.format;
        }
        if (XKSMssgIsText(it.format)) {
            EXPECT_EQ(out[it.bytes], 0);
        }
    }
    uint8_t out[4];
    EXPECT_EQ(get(out, 4), XKS_E_NODATA);
    EXPECT_EQ(get(out, 4), XKS_E_NODATA);
    EXPECT_EQ(blk->xerr, XKS_E_NODATA);
    EXPECT_EQ(format, 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(XKSMssgReadClose(blk.get()), 0);
}

TEST_F(XKSMssgTest, NestedListsReadInOrder)
{
    open_build();
    uint8_t one = 1;
    put(XKS_FMT_L, 3, nullptr);
    put(XKS_FMT_L, 0, nullptr);
    put(XKS_FMT_L, 1, nullptr);
    put(XKS_FMT_A, 0, "x");
    put(XKS_FMT_U1, 1, &one);
    open_read(body());
    const int32_t want[][2] = {{XKS_FMT_L, 3}, {XKS_FMT_L, 0}, {XKS_FMT_L, 1}, {XKS_FMT_A, 1}, {XKS_FMT_U1, 1}};
    for (const auto& w : want) {
        char out[8];
        ASSERT_EQ(get(out, 8), 0);
        EXPECT_EQ(format, w[0]);
        EXPECT_EQ(count, w[1]);
    }
    char out[8];
    EXPECT_EQ(get(out, 8), XKS_E_NODATA);
    XKSMssgReadClose(blk.get());
}

TEST_F(XKSMssgTest, MalformedItemsStopWithoutMoving)
{
    uint8_t out[16];
    open_read({0x41, 0x05, 'A', 'B'});  // A of 5 bytes, 2 present
    EXPECT_EQ(get(out, 16), XKW_E_OVERRUN);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(get(out, 16), XKW_E_OVERRUN);
    EXPECT_EQ(blk->position, 0);
    open_read({0x01, 0x00, 0xA9, 0x04, 0, 1});  // U2 of 4 bytes, 2 present
    EXPECT_EQ(get(out, 16), 0);
    EXPECT_EQ(get(out, 16), XKW_E_OVERRUN);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(blk->position, 2);
    open_read({0x01, 0x05, 0x01, 0x00});  // a list of 5 in 2 remaining bytes
    EXPECT_EQ(get(out, 16), XKW_E_OVERRUN);
    EXPECT_EQ(count, 5);
    open_read({0x42, 0x01});  // two length bytes announced, one present
    EXPECT_EQ(get(out, 16), XKW_E_OVERRUN);
    open_read({0x40, 0x00});
    EXPECT_EQ(get(out, 16), XKW_E_LENBYTES);
    EXPECT_EQ(format, XKS_FMT_A);
    open_read({0xFD, 0x00});
    EXPECT_EQ(get(out, 16), XKW_E_INVAL);
    EXPECT_EQ(format, 077);
    EXPECT_EQ(blk->xerr, XKW_E_INVAL);
    open_read({0x49, 0x01, 0x00});  // 2-byte text too short for its set number
    EXPECT_EQ(get(out, 16), XKW_E_OVERRUN);
    XKSMssgReadClose(blk.get());
}

TEST_F(XKSMssgTest, SmallAreaSkipsTheItemAndTheNextOneFollows)
{
    open_read({0x71, 4, 0, 0, 1, 0, 0xA5, 1, 9});
    uint8_t out[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    EXPECT_EQ(get(out, 2), XKW_E_FULL);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(out[2], 0xCC);  // nothing past the area
    EXPECT_EQ(get(out, 4), 0);
    EXPECT_EQ(format, XKS_FMT_U1);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(get(nullptr, 0), XKW_E_FULL);  // no area: every call fails, nothing skipped
    XKSMssgReadClose(blk.get());

    open_read({0x01, 0x00, 0xA5, 0x01, 3});
    EXPECT_EQ(get(nullptr, 0), XKW_E_FULL);
    EXPECT_EQ(get(nullptr, 0), XKW_E_FULL);
    EXPECT_EQ(get(out, 4), 0);
    EXPECT_EQ(format, XKS_FMT_L);
    XKSMssgReadClose(blk.get());
}

TEST_F(XKSMssgTest, TextTerminatorStaysInsideTheArea)
{
    open_read({0x41, 4, 'A', 'B', 'C', 'D', 0x41, 4, 'W', 'X', 'Y', 'Z'});
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(get(out, 4), XKW_E_FULL);
    EXPECT_EQ(count, 3);
    EXPECT_STREQ(out, "ABC");
    EXPECT_EQ(out[4], '#');
    EXPECT_EQ(get(out, 5), 0);
    EXPECT_STREQ(out, "WXYZ");
    XKSMssgReadClose(blk.get());
}

TEST_F(XKSMssgTest, TwoByteTextIsConvertedOnlyWhenAskedAndSetsDiffer)
{
    // Set 8 under the Shift-JIS process code stays as it is, even with 0x4000.
    open_read({0x49, 4, 0, 8, 0x82, 0xA0});
    char out[16];
    EXPECT_EQ(get(out, 16, XKS_MSSG_CONVERT), 0);
    EXPECT_EQ(format, XKS_FMT_K | (8 << 16));
    EXPECT_STREQ(out, "\x82\xA0");
    EXPECT_EQ(count, 2);

    // UTF-8 "あい" becomes Shift-JIS, padded with blanks to the copied length.
    const Bytes utf8 = {0x49, 8, 0, 2, 0xE3, 0x81, 0x82, 0xE3, 0x81, 0x84};
    open_read(utf8);
    EXPECT_EQ(get(out, 16), 0);
    EXPECT_STREQ(out, "\xE3\x81\x82\xE3\x81\x84");
    open_read(utf8);
    EXPECT_EQ(get(out, 16, XKS_MSSG_CONVERT), 0);
    EXPECT_STREQ(out, "\x82\xA0\x82\xA2  ");
    EXPECT_EQ(count, 6);

    // Put with 0x4000 converts from the process code into the item's set.
    open_build();
    ASSERT_EQ(put(XKS_FMT_K | (2 << 16), 0, "\x82\xA0", XKS_MSSG_CONVERT), 0);
    EXPECT_EQ(body(), (Bytes{0x49, 5, 0, 2, 0xE3, 0x81, 0x82}));
    // A count that would split a character cuts before it and pads.
    open_build();
    ASSERT_EQ(put(XKS_FMT_K | (2 << 16), 4, "\x82\xA0\x82\xA2", XKS_MSSG_CONVERT), 0);
    EXPECT_EQ(body(), (Bytes{0x49, 6, 0, 2, 0xE3, 0x81, 0x82, ' '}));
    // Without a set number the process code's set is written.
    open_build();
    ASSERT_EQ(put(XKS_FMT_K, 0, "ab"), 0);
    EXPECT_EQ(body(), (Bytes{0x49, 4, 0, 8, 'a', 'b'}));
}

TEST_F(XKSMssgTest, GrowingConversionNeverPassesTheArea)
{
    ASSERT_EQ(XKWCodeSet(XKW_CODE_UTF8), XKW_CODE_UTF8);
    // Shift-JIS "A" + half-width katakana: 2 bytes, 4 in UTF-8.
    const Bytes sjis = {0x49, 4, 0, 8, 'A', 0xB1};
    char out[16];
    open_read(sjis);
    EXPECT_EQ(get(out, 16, XKS_MSSG_CONVERT), 0);
    EXPECT_STREQ(out, "A\xEF\xBD\xB1");
    EXPECT_EQ(count, 4);
    open_read(sjis);
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(get(out, 4, XKS_MSSG_CONVERT), XKW_E_FULL);  // cut at a whole character
    EXPECT_STREQ(out, "A ");
    EXPECT_EQ(out[4], '#');
    XKSMssgReadClose(blk.get());
}

TEST_F(XKSMssgTest, LargeBodiesAndSizesGetAnAllocatedScratchArea)
{
    Bytes big(100000, 0);
    open_read(big);
    EXPECT_EQ(blk->scratch_size, 100000);
    EXPECT_NE(blk->scratch, blk->scratch_inline);
    blk->scratch[99999] = 1;  // the whole area is usable
    // Opening again without a close releases the area (the leak checker
    // of the sanitizer build watches this).
    open_read(Bytes{0x01, 0x00}, 200000, XKS_MSSG_SIZE);
    EXPECT_EQ(blk->scratch_size, 200000);
    EXPECT_EQ(blk->xmsgsize, 200000);
    EXPECT_EQ(XKSMssgReadClose(blk.get()), 0);
    EXPECT_EQ(blk->scratch, blk->scratch_inline);
    open_read(Bytes{0x01, 0x00});
    EXPECT_EQ(blk->scratch_size, XKS_MSSG_SCRATCH);
    EXPECT_EQ(blk->scratch, blk->scratch_inline);
    XKSMssgReadClose(blk.get());

    // Garbage that happens to carry the magic owns nothing.
    std::memset(static_cast<void*>(blk.get()), 0xA5, offsetof(XKSMssgBlock, scratch_inline));
    std::memcpy(blk->magic, "XKSW", 4);
    open_read(Bytes{0x01, 0x00});
    EXPECT_EQ(blk->definition, -1);
    XKSMssgReadClose(blk.get());
}

namespace {

struct HookLog {
    const void* session = nullptr;
    int32_t flags = -1, sf = -1, released = -1, lookups = 0;
};
HookLog hook_log;

int32_t hook_msgsize(const void*)
{
    return 70000;
}
int32_t hook_lookup(const void* session, int32_t flags, const uint8_t*, int32_t, int32_t sf, char* name, size_t n)
{
    hook_log.session = session;
    hook_log.flags = flags;
    hook_log.sf = sf;
    ++hook_log.lookups;
    if (sf != 0x060B)
        return -2;
    std::snprintf(name, n, "S6F11_EVENT");
    return 7;
}
void hook_release(const void*, int32_t, int32_t definition)
{
    hook_log.released = definition;
}
const XKSMssgHooks hooks = {hook_msgsize, hook_lookup, hook_release, nullptr};

}  // namespace

TEST_F(XKSMssgTest, SessionHooksGiveSizeAndDefinitionName)
{
    int session = 0;
    const uint8_t body[2] = {0x01, 0x00};
    const uint8_t header[10] = {1, 0, 0x86, 11, 0, 0, 0, 0, 0, 0};  // W-bit set
    char name[32] = "junk";

    // Without hooks a session counts as size 0 and no name is found.
    ASSERT_EQ(XKSMssgReadOpen(blk.get(), XKS_MSSG_LOOKUP, body, 2, reinterpret_cast<intptr_t>(&session), header,
                              name, sizeof name),
              0);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(blk->scratch_size, XKS_MSSG_SCRATCH);

    XKSMssgSetHooks(&hooks);
    hook_log = {};
    const int32_t flags = XKS_MSSG_LOOKUP | XKS_MSSG_ENGINE | 0x3000 | 0x4 | 0x20;
    ASSERT_EQ(XKSMssgReadOpen(blk.get(), flags, body, 2, reinterpret_cast<intptr_t>(&session), header, name,
                              sizeof name),
              0);
    EXPECT_EQ(hook_log.sf, 0x060B);
    EXPECT_EQ(hook_log.flags, XKS_MSSG_ENGINE | 0x3000);
    EXPECT_EQ(hook_log.session, &session);
    EXPECT_STREQ(name, "S6F11_EVENT");
    EXPECT_EQ(blk->scratch_size, 70000);
    EXPECT_EQ(blk->definition, 7);
    EXPECT_EQ(XKSMssgReadClose(blk.get()), 0);
    EXPECT_EQ(hook_log.released, 7);
    // Opening again without a close also gives the cursor back.
    hook_log = {};
    ASSERT_EQ(XKSMssgReadOpen(blk.get(), flags, body, 2, reinterpret_cast<intptr_t>(&session), header, name,
                              sizeof name),
              0);
    open_read(Bytes{0x01, 0x00});
    EXPECT_EQ(hook_log.released, 7);
    XKSMssgReadClose(blk.get());

    // An unknown message leaves the name empty and holds nothing to release.
    hook_log = {};
    const uint8_t other[10] = {1, 0, 0x01, 13, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(XKSMssgReadOpen(blk.get(), XKS_MSSG_LOOKUP, body, 2, reinterpret_cast<intptr_t>(&session), other,
                              name, sizeof name),
              0);
    EXPECT_EQ(hook_log.sf, 0x010D);
    EXPECT_STREQ(name, "");
    XKSMssgReadClose(blk.get());
    EXPECT_EQ(hook_log.released, -1);

    // A bare size has no session to look in.
    hook_log = {};
    ASSERT_EQ(XKSMssgReadOpen(blk.get(), XKS_MSSG_LOOKUP | XKS_MSSG_SIZE, body, 2, 0, header, name, sizeof name),
              0);
    EXPECT_EQ(hook_log.lookups, 0);
    XKSMssgReadClose(blk.get());
}

TEST(XKSMssgOrderTest, HeaderAndLengthSwapToWireOrder)
{
    uint8_t header[10];
    const uint16_t dev = 1, hi = 1, lo = 2;
    std::memcpy(header, &dev, 2);
    header[2] = 0x81;
    header[3] = 13;
    header[4] = 0x12;
    header[5] = 0x34;
    std::memcpy(header + 6, &hi, 2);
    std::memcpy(header + 8, &lo, 2);
    ASSERT_EQ(XKSMssgHeaderOrder(header), 0);
    EXPECT_EQ(Bytes(header, header + 10), (Bytes{0x00, 0x01, 0x81, 0x0D, 0x12, 0x34, 0x00, 0x01, 0x00, 0x02}));
    XKSMssgHeaderOrder(header);
    uint16_t back;
    std::memcpy(&back, header + 8, 2);
    EXPECT_EQ(back, 2);

    uint8_t len[4];
    const uint32_t n = 300;
    std::memcpy(len, &n, 4);
    XKSMssgLengthOrder(len);
    EXPECT_EQ(Bytes(len, len + 4), (Bytes{0, 0, 0x01, 0x2C}));
}

TEST(XKSMssgTextTest, TraceTextsOfResults)
{
    EXPECT_STREQ(XKSMssgResultText(XKW_E_INVAL), "Illegal format code appeared");
    EXPECT_STREQ(XKSMssgResultText(XKW_E_LENBYTES), "Length byte size = 0");
    EXPECT_STREQ(XKSMssgResultText(XKW_E_OVERRUN), "Data size exceed total message size");
    EXPECT_STREQ(XKSMssgResultText(XKW_E_FULL), "Data access buffer allocate error");
    EXPECT_STREQ(XKSMssgResultText(-5), "Any message structure error");
    EXPECT_EQ(XKSMssgFormatIndex(XKS_FMT_K), 5);  // code 022 reads as K, not M
    EXPECT_EQ(XKSMssgFormatIndex(023), -22);
}
