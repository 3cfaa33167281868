// SECS-II item codec and message access block. Owns the encoding and
// decoding of items, the block's scratch area and definition cursor, and
// the byte order of headers and length prefixes. The library interface,
// the definitions, the engine and the trace build and read bodies here.
#include "secs/XKSMssg.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

#include "runtime/XKWByte.h"
#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"

namespace {

constexpr char kMagic[4] = {'X', 'K', 'S', 'W'};

// Progress codes: the step an operation reached, kept in xeps.
constexpr int32_t kPutStart = 710;    // magic and format checked
constexpr int32_t kPutData = 711;     // count and data checked
constexpr int32_t kPutConvert = 712;  // text converted into the item's set
constexpr int32_t kPutSpace = 713;    // lengths known, room checked
constexpr int32_t kPutWrite = 714;    // item written
constexpr int32_t kBuildEnd = 790;
constexpr int32_t kReadOpen = 801;
constexpr int32_t kGetStart = 810;    // magic checked
constexpr int32_t kGetFormat = 811;   // format byte read
constexpr int32_t kGetLength = 812;   // length bytes read
constexpr int32_t kGetBounds = 813;   // item lies inside the body
constexpr int32_t kGetCharset = 814;  // character-set number taken
constexpr int32_t kGetCopy = 816;     // data copied
constexpr int32_t kGetConvert = 817;  // text converted into the process code
constexpr int32_t kGetDone = 828;
constexpr int32_t kReadClose = 890;

// Conversions below this size use a stack buffer.
constexpr size_t kConvertLocal = 4096;

std::atomic<const XKSMssgHooks*> installed_hooks{nullptr};

bool is_open(const XKSMssgBlock* b)
{
    return XKSMssgIsOpen(b);
}

int32_t fail(XKSMssgBlock* b, int32_t rc)
{
    b->xerr = rc;
    return rc;
}

// Row of each 6-bit code (-1 illegal), so a lookup per item is one load.
constexpr auto kRowOfCode = [] {
    std::array<int8_t, 64> rows{};
    for (int32_t code = 0; code < 64; ++code)
        rows[static_cast<size_t>(code)] = static_cast<int8_t>(std::max(XKSMssgFormatIndex(code), -1));
    return rows;
}();

const XKSMssgFormat* find_format(int32_t code)
{
    if (code < 0 || code >= 64 || kRowOfCode[static_cast<size_t>(code)] < 0)
        return nullptr;
    return &XKSMssgFormats[kRowOfCode[static_cast<size_t>(code)]];
}

// Bytes of the character that starts with lead byte c in a character set.
size_t char_bytes(int32_t cset, uint8_t c)
{
    switch (cset) {
    case XKS_CSET_UTF8:
        return (c >= 0xF0 && c <= 0xF4) ? 4 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xC2 && c <= 0xDF) ? 2 : 1;
    case XKS_CSET_SJIS:
        return ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ? 2 : 1;
    case XKS_CSET_EUC:
        return c == 0x8F ? 3 : (c == 0x8E || (c >= 0xA1 && c <= 0xFE)) ? 2 : 1;
    default:
        return 1;
    }
}

// Length of the longest prefix of text (len bytes), at most limit bytes,
// that ends on a whole character: a cut never splits a character.
size_t whole_chars(int32_t cset, const char* text, size_t len, size_t limit)
{
    size_t end = std::min(len, limit);
    size_t i = 0;
    while (i < end) {
        size_t n = char_bytes(cset, static_cast<uint8_t>(text[i]));
        if (i + n > end)
            break;
        i += n;
    }
    return i;
}

// Copy count elements of elsize bytes and turn each between big-endian and
// host order (the same operation in both directions).
void copy_swapped(uint8_t* dst, const uint8_t* src, size_t count, int32_t elsize)
{
    std::memcpy(dst, src, count * static_cast<size_t>(elsize));
    switch (elsize) {
    case 2:
        XKWSwap2Array(dst, count);
        break;
    case 4:
        XKWSwap4Array(dst, count);
        break;
    case 8:
        XKWSwap8Array(dst, count);
        break;
    default:
        break;
    }
}

int32_t with_cset(int32_t code, int32_t cset)
{
    return static_cast<int32_t>(static_cast<uint32_t>(code) | (static_cast<uint32_t>(cset) << 16));
}

// A conversion buffer: on the stack for short texts, else allocated.
class ConvertBuffer {
public:
    explicit ConvertBuffer(size_t size) : size_(size)
    {
        if (size > sizeof local_)
            heap_ = new (std::nothrow) char[size];
    }
    ~ConvertBuffer() { delete[] heap_; }
    ConvertBuffer(const ConvertBuffer&) = delete;
    ConvertBuffer& operator=(const ConvertBuffer&) = delete;
    char* data() { return size_ > sizeof local_ ? heap_ : local_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    char* heap_ = nullptr;
    char local_[kConvertLocal];
};

// Room for any conversion between the three codes: a character grows to at
// most three bytes (Shift-JIS half-width kana to UTF-8).
size_t convert_size(size_t len)
{
    return std::max(kConvertLocal, 4 * len + 1);
}

// Release what an open block holds: the definition cursor and an allocated
// scratch area.
void release_block(XKSMssgBlock* b)
{
    if (b->definition >= 0) {
        const XKSMssgHooks* h = installed_hooks.load(std::memory_order_acquire);
        if (h != nullptr && h->release != nullptr)
            h->release(b->session, b->flags, b->definition);
        b->definition = -1;
    }
    delete[] b->scratch_heap;
    b->scratch_heap = nullptr;
    b->scratch = b->scratch_inline;
    b->scratch_size = XKS_MSSG_SCRATCH;
}

// Clear the block for an open. Only a block that is open and was opened at
// this very address owns resources; anything else is garbage or a copy.
void reset_block(XKSMssgBlock* b, int32_t flags, intptr_t session_or_size)
{
    if (is_open(b) && b->self == b)
        release_block(b);
    std::memset(static_cast<void*>(b), 0, offsetof(XKSMssgBlock, scratch_inline));
    b->definition = -1;
    b->scratch = b->scratch_inline;
    b->scratch_size = XKS_MSSG_SCRATCH;
    b->flags = flags;
    if (flags & XKS_MSSG_SIZE) {
        b->xmsgsize = static_cast<int32_t>(std::clamp<intptr_t>(session_or_size, 0, INT32_MAX));
        return;
    }
    b->session = reinterpret_cast<const void*>(session_or_size);
    const XKSMssgHooks* h = installed_hooks.load(std::memory_order_acquire);
    if (b->session != nullptr && h != nullptr && h->msgsize != nullptr)
        b->xmsgsize = std::max<int32_t>(h->msgsize(b->session), 0);
}

void mark_open(XKSMssgBlock* b)
{
    std::memcpy(b->magic, kMagic, sizeof kMagic);
    b->self = b;
}

template <class T>
void set_out(T* p, T v)
{
    if (p != nullptr)
        *p = v;
}

// Result of decoding one item, before it is handed to the caller.
struct Decoded {
    int32_t format = 0;
    int32_t elsize = 0;
    int32_t count = 0;
    size_t written = 0;  // leading bytes of out that hold the result
};

// Text conversion of a decoded code 022 item into the process code. text
// holds copied bytes of the item's data; room is the bytes usable before
// the terminator. Returns -28 when the converted text had to be cut.
int32_t convert_to_process(int32_t cset, bool cut, const uint8_t* data, size_t copied, size_t room,
                           char* text, Decoded& d)
{
    int32_t pset = XKSMssgProcessCset();
    // A cut item may end inside a character, which no converter accepts.
    size_t src = cut ? whole_chars(cset, reinterpret_cast<const char*>(data), copied, copied) : copied;
    ConvertBuffer conv(convert_size(src));
    if (conv.data() == nullptr)
        return XKW_OK;  // keep the text as received
    int32_t n = XKWCodeConvert(XKSMssgCsetCode(cset), XKSMssgCsetCode(pset), reinterpret_cast<const char*>(data), src,
                               conv.data(), conv.size());
    if (n < 0)
        return XKW_OK;  // not valid in its set: show the bytes as received
    size_t len = static_cast<size_t>(n);
    while (len > 0 && conv.data()[len - 1] == ' ')
        --len;
    int32_t rc = XKW_OK;
    if (len > room) {
        len = whole_chars(pset, conv.data(), len, room);
        rc = XKW_E_FULL;
    }
    std::memcpy(text, conv.data(), len);
    if (len < copied)
        std::memset(text + len, ' ', copied - len);
    d.written = std::max(len, copied);
    d.count = static_cast<int32_t>(d.written);
    return rc;
}

int32_t get_item(XKSMssgBlock* b, int32_t flags, const uint8_t* buffer, uint8_t* out, int32_t outsize,
                 Decoded& d)
{
    b->xeps = kGetStart;
    if (outsize < 0)
        return XKW_E_INVAL;
    // Without an output area nothing can be delivered; do not skip the item.
    if (out == nullptr)
        return XKW_E_FULL;
    if (b->position >= b->size)
        return XKS_E_NODATA;
    if (buffer == nullptr)
        return XKW_E_INVAL;

    const uint8_t* p = buffer + b->position;
    size_t avail = static_cast<size_t>(b->size - b->position);
    b->xeps = kGetFormat;
    int32_t code = p[0] >> 2;
    int32_t lenbytes = p[0] & 3;
    b->last_position = b->position;
    b->last_lenbytes = lenbytes;
    d.format = code;
    const XKSMssgFormat* f = find_format(code);
    if (f == nullptr)
        return XKW_E_INVAL;
    d.elsize = f->size;
    if (lenbytes == 0)
        return XKW_E_LENBYTES;
    if (avail < static_cast<size_t>(1 + lenbytes))
        return XKW_E_OVERRUN;
    size_t length = 0;
    for (int32_t i = 1; i <= lenbytes; ++i)
        length = (length << 8) | p[i];
    b->last_length = static_cast<int32_t>(length);

    b->xeps = kGetLength;
    size_t head = 1 + static_cast<size_t>(lenbytes);
    // A list's length is its item count; every item takes at least one
    // byte, so a count beyond the rest of the body is already malformed.
    if (head + length > avail) {
        d.count = static_cast<int32_t>(length / static_cast<size_t>(f->size > 0 ? f->size : 1));
        return XKW_E_OVERRUN;
    }
    b->xeps = kGetBounds;
    if (code == XKS_FMT_L) {
        d.count = static_cast<int32_t>(length);
        b->position += static_cast<int32_t>(head);
        return XKW_OK;
    }

    int32_t cset = 0;
    if (code == XKS_FMT_K && length > 0) {
        b->xeps = kGetCharset;
        // The set number is part of the item; an item of one byte cannot hold it.
        if (length < 2)
            return XKW_E_OVERRUN;
        cset = (p[head] << 8) | p[head + 1];
        head += 2;
        length -= 2;
        d.format = with_cset(code, cset);
    }

    b->xeps = kGetCopy;
    const uint8_t* data = p + head;
    size_t area = static_cast<size_t>(outsize);
    int32_t rc = XKW_OK;
    if (XKSMssgIsText(code)) {
        // The terminator must stay inside the caller's area.
        size_t room = area > 0 ? area - 1 : 0;
        size_t copied = std::min(length, room);
        std::memcpy(out, data, copied);
        d.written = copied;
        d.count = static_cast<int32_t>(copied);
        if (area == 0 || length > room)
            rc = XKW_E_FULL;
        if ((flags & XKS_MSSG_CONVERT) && code == XKS_FMT_K && copied > 0 && XKSMssgCsetCode(cset) >= 0 &&
            cset != XKSMssgProcessCset()) {
            b->xeps = kGetConvert;
            int32_t crc = convert_to_process(cset, rc != XKW_OK, data, copied, room,
                                             reinterpret_cast<char*>(out), d);
            if (crc < 0)
                rc = crc;
        }
    } else {
        size_t copied = std::min(length, area);
        size_t n = copied / static_cast<size_t>(f->size);
        copy_swapped(out, data, n, f->size);
        // A partial last element is delivered as received.
        std::memcpy(out + n * f->size, data + n * f->size, copied - n * f->size);
        d.written = copied;
        d.count = static_cast<int32_t>(n);
        if (length > area)
            rc = XKW_E_FULL;
    }
    // The item is skipped even when the area was too small.
    b->position += static_cast<int32_t>(head + length);
    b->xeps = kGetDone;
    return rc;
}

// An item ready to be written.
struct Item {
    const XKSMssgFormat* f;
    int32_t code;
    int32_t cset;       // code 022: character-set number
    size_t elements;    // list: item count; else elements written
    size_t field;       // data bytes after the set number
    const char* text;   // text formats: the text, copied up to copy bytes
    size_t copy;        // the rest of the field is blanks
    const void* data;   // other formats: host-order values
};

// Append an item whose lengths are known. Nothing is written unless the
// whole item fits.
int32_t write_item(XKSMssgBlock* b, uint8_t* buffer, const Item& it)
{
    b->xeps = kPutSpace;
    bool k = it.code == XKS_FMT_K;
    size_t datalen = it.field + (k ? 2 : 0);
    size_t lenfield = it.code == XKS_FMT_L ? it.elements : datalen;
    int32_t lenbytes = lenfield < 0x100 ? 1 : lenfield < 0x10000 ? 2 : 3;
    size_t need = 1 + static_cast<size_t>(lenbytes) + datalen;
    if (static_cast<size_t>(b->size - b->position) < need)
        return fail(b, XKW_E_FULL);

    b->xeps = kPutWrite;
    uint8_t* p = buffer + b->position;
    *p++ = static_cast<uint8_t>((it.code << 2) | lenbytes);
    for (int32_t i = lenbytes - 1; i >= 0; --i)
        *p++ = static_cast<uint8_t>(lenfield >> (8 * i));
    if (k) {
        *p++ = static_cast<uint8_t>(it.cset >> 8);
        *p++ = static_cast<uint8_t>(it.cset);
    }
    if (it.text != nullptr) {
        std::memcpy(p, it.text, it.copy);
        std::memset(p + it.copy, ' ', it.field - it.copy);
    } else if (it.field > 0) {
        copy_swapped(p, static_cast<const uint8_t*>(it.data), it.elements, it.f->size);
    }

    b->last_format = k ? with_cset(it.code, it.cset) : it.code;
    b->last_lenbytes = lenbytes;
    b->last_count = static_cast<int32_t>(it.elements);
    b->last_position = b->position;
    b->last_elsize = it.f->size;
    b->last_length = static_cast<int32_t>(lenfield);
    b->position += static_cast<int32_t>(need);
    return XKW_OK;
}

// Append a text item: count bytes (0: the text's length), the text cut or
// padded with blanks to that. 2-byte text is cut at a whole character.
int32_t put_text(XKSMssgBlock* b, uint8_t* buffer, Item& it, const char* text, size_t tlen, int32_t count)
{
    bool k = it.code == XKS_FMT_K;
    size_t limit = static_cast<size_t>(XKS_MSSG_MAXLEN) - (k ? 2 : 0);
    it.field = std::min(count > 0 ? static_cast<size_t>(count) : tlen, limit);
    it.copy = std::min(tlen, it.field);
    if (k && it.copy < tlen)
        it.copy = whole_chars(it.cset, text, tlen, it.field);
    it.elements = it.field;
    it.text = text;
    return write_item(b, buffer, it);
}

}  // namespace

int32_t XKSMssgProcessCset()
{
    switch (XKWCodeGet()) {
    case XKW_CODE_EUC:
        return XKS_CSET_EUC;
    case XKW_CODE_UTF8:
        return XKS_CSET_UTF8;
    default:
        return XKS_CSET_SJIS;
    }
}

int32_t XKSMssgCsetCode(int32_t cset)
{
    switch (cset) {
    case XKS_CSET_SJIS:
        return XKW_CODE_SJIS;
    case XKS_CSET_EUC:
        return XKW_CODE_EUC;
    case XKS_CSET_UTF8:
        return XKW_CODE_UTF8;
    default:
        return -1;
    }
}

const XKSMssgHooks* XKSMssgSetHooks(const XKSMssgHooks* hooks)
{
    return installed_hooks.exchange(hooks, std::memory_order_acq_rel);
}

int32_t XKSMssgBuildOpen(XKSMssgBlock* block, int32_t flags, uint8_t* buffer, int32_t capacity,
                         intptr_t session_or_size)
{
    if (block == nullptr)
        return XKW_E_INVAL;
    reset_block(block, flags, session_or_size);
    if (capacity < 0 || (buffer == nullptr && capacity > 0))
        return fail(block, XKW_E_INVAL);
    block->size = capacity;
    mark_open(block);
    return XKW_OK;
}

int32_t XKSMssgPutItem(XKSMssgBlock* block, int32_t flags, uint8_t* buffer, int32_t format, int32_t count,
                       const void* data)
{
    if (!is_open(block))
        return block != nullptr ? fail(block, XKW_E_BADHANDLE) : XKW_E_BADHANDLE;
    block->xeps = kPutStart;
    int32_t code = format & 0xFF;
    const XKSMssgFormat* f = find_format(code);
    if (f == nullptr || count < 0 || buffer == nullptr)
        return fail(block, XKW_E_INVAL);

    block->xeps = kPutData;
    Item it{f, code, 0, 0, 0, nullptr, 0, data};
    if (code == XKS_FMT_L) {
        // Cutting a list count would silently change the structure.
        if (count > XKS_MSSG_MAXLEN)
            return fail(block, XKW_E_INVAL);
        it.elements = static_cast<size_t>(count);
        return write_item(block, buffer, it);
    }
    if (!XKSMssgIsText(code)) {
        if (data == nullptr && count > 0)
            return fail(block, XKW_E_INVAL);
        it.elements = std::min(static_cast<size_t>(count), static_cast<size_t>(XKS_MSSG_MAXLEN / f->size));
        it.field = it.elements * static_cast<size_t>(f->size);
        return write_item(block, buffer, it);
    }

    if (code == XKS_FMT_K) {
        it.cset = static_cast<int32_t>(static_cast<uint32_t>(format) >> 16);
        if (it.cset == 0)
            it.cset = XKSMssgProcessCset();
    }
    const char* text = data != nullptr ? static_cast<const char*>(data) : "";
    size_t tlen = count > 0 ? strnlen(text, static_cast<size_t>(count)) : std::strlen(text);
    if (!(flags & XKS_MSSG_CONVERT) || code != XKS_FMT_K || tlen == 0 || XKSMssgCsetCode(it.cset) < 0 ||
        it.cset == XKSMssgProcessCset())
        return put_text(block, buffer, it, text, tlen, count);

    block->xeps = kPutConvert;
    ConvertBuffer conv(convert_size(tlen));
    if (conv.data() == nullptr)
        return fail(block, XKW_E_NOMEM);
    int32_t n = XKWCodeConvert(XKWCodeGet(), XKSMssgCsetCode(it.cset), text, tlen, conv.data(), conv.size());
    // Text that has no form in the item's set is refused, not sent garbled.
    if (n < 0)
        return fail(block, XKW_E_INVAL);
    return put_text(block, buffer, it, conv.data(), static_cast<size_t>(n), count);
}

int32_t XKSMssgBuildEnd(XKSMssgBlock* block)
{
    if (!is_open(block))
        return block != nullptr ? fail(block, XKW_E_BADHANDLE) : XKW_E_BADHANDLE;
    block->xeps = kBuildEnd;
    return block->position;
}

int32_t XKSMssgReadOpen(XKSMssgBlock* block, int32_t flags, const uint8_t* buffer, int32_t length,
                        intptr_t session_or_size, const uint8_t* header, char* name_out, size_t name_size)
{
    if (name_out != nullptr && name_size > 0)
        name_out[0] = '\0';
    if (block == nullptr)
        return XKW_E_INVAL;
    reset_block(block, flags, session_or_size);
    block->xeps = kReadOpen;
    if (length < 0 || (buffer == nullptr && length > 0))
        return fail(block, XKW_E_INVAL);
    block->size = length;

    // Decoded values of one item can be as long as the whole body.
    int32_t want = std::max(block->xmsgsize > 0 ? block->xmsgsize : XKS_MSSG_SCRATCH, length);
    if (want > XKS_MSSG_SCRATCH) {
        uint8_t* heap = new (std::nothrow) uint8_t[static_cast<size_t>(want)];
        if (heap == nullptr)
            return fail(block, XKW_E_NOMEM);
        block->scratch_heap = heap;
        block->scratch = heap;
        block->scratch_size = want;
    }
    mark_open(block);

    // Definitions need a session; a bare size has none to look in.
    const XKSMssgHooks* h = installed_hooks.load(std::memory_order_acquire);
    if ((flags & XKS_MSSG_LOOKUP) && !(flags & XKS_MSSG_SIZE) && header != nullptr && h != nullptr &&
        h->lookup != nullptr) {
        int32_t sf = ((header[2] & 0x7F) << 8) | header[3];
        int32_t rc = h->lookup(block->session, flags & (XKS_MSSG_ENGINE | XKS_MSSG_LOOKBITS), buffer, length,
                               sf, name_out, name_size);
        if (rc >= 0)
            block->definition = rc;
        else if (name_out != nullptr && name_size > 0)
            name_out[0] = '\0';
    }
    return XKW_OK;
}

int32_t XKSMssgGetItem(XKSMssgBlock* block, int32_t flags, const uint8_t* buffer, int32_t* format, int32_t* size,
                       int32_t* count, void* out, int32_t outsize)
{
    uint8_t* o = static_cast<uint8_t*>(out);
    Decoded d;
    int32_t rc;
    if (!is_open(block)) {
        rc = XKW_E_BADHANDLE;
        if (block != nullptr)
            block->xerr = rc;
    } else {
        rc = get_item(block, flags, buffer, o, outsize, d);
        block->last_format = d.format;
        block->last_count = d.count;
        block->last_elsize = d.elsize;
        if (rc < 0)
            block->xerr = rc;
    }
    // Everything of the area that the item did not fill reads as zero.
    if (o != nullptr && outsize > 0 && d.written < static_cast<size_t>(outsize))
        std::memset(o + d.written, 0, static_cast<size_t>(outsize) - d.written);
    set_out(format, d.format);
    set_out(size, d.elsize);
    set_out(count, d.count);
    return rc;
}

int32_t XKSMssgReadClose(XKSMssgBlock* block)
{
    if (!is_open(block))
        return block != nullptr ? fail(block, XKW_E_BADHANDLE) : XKW_E_BADHANDLE;
    block->xeps = kReadClose;
    if (block->self == block)
        release_block(block);
    std::memset(block->magic, 0, sizeof block->magic);
    block->self = nullptr;
    return XKW_OK;
}

int32_t XKSMssgItemName(XKSMssgBlock* block, int32_t flags, char* name, size_t size)
{
    if (name != nullptr && size > 0)
        name[0] = '\0';
    if (!is_open(block))
        return XKW_E_BADHANDLE;
    const XKSMssgHooks* h = installed_hooks.load(std::memory_order_acquire);
    if (block->definition < 0 || h == nullptr || h->next_item == nullptr)
        return XKW_E_NOMORE;
    int32_t rc = h->next_item(block->session, flags | (block->flags & XKS_MSSG_ENGINE), block->definition, name,
                              size);
    if (rc < 0 && name != nullptr && size > 0)
        name[0] = '\0';
    return rc;
}

int32_t XKSMssgHeaderOrder(uint8_t* header)
{
    if (header == nullptr)
        return XKW_E_INVAL;
    // Bytes 4..5 belong to the transport (PType/SType or SECS-I block number).
    XKWSwap2Array(header, 1);
    XKWSwap2Array(header + 6, 2);
    return XKW_OK;
}

int32_t XKSMssgLinkOrder(uint8_t* header, uint32_t secsmode)
{
    int32_t rc = XKSMssgHeaderOrder(header);
    if (rc == XKW_OK && (secsmode & 0x1) == 0)
        XKWSwap2Array(header + 4, 1);
    return rc;
}

int32_t XKSMssgLengthOrder(uint8_t* length)
{
    if (length == nullptr)
        return XKW_E_INVAL;
    XKWSwap4Array(length, 1);
    return XKW_OK;
}

const char* XKSMssgResultText(int32_t result)
{
    switch (result) {
    case 0:
    case XKW_E_BADHANDLE:
    case XKW_E_NOMEM:
    case XKS_E_NODATA:
        return "";
    case XKW_E_INVAL:
        return "Illegal format code appeared";
    case XKW_E_LENBYTES:
        return "Length byte size = 0";
    case XKW_E_OVERRUN:
        return "Data size exceed total message size";
    case XKW_E_FULL:
        return "Data access buffer allocate error";
    default:
        return "Any message structure error";
    }
}
