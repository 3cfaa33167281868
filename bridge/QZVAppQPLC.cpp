// The bridge's door to the PLC: open and close the connection of the
// family that PLCTYPE selects, every read, write and bit write of PLC
// devices under the PLC lock (each shown on the display), and the
// conversion of item values between their SECS-II form and PLC words.
//
// PLCTYPE 15 is a PLC image in named shared memory (PLCHOST the name,
// PLCPORT its size). Another program that maps the same name plays the PLC.
// The image has four areas by access kind:
//
//   kind 0 status     byte     position a
//   kind 1 handshake  byte     position 4 + a
//   kind 2 inform     word     position 8 + 2a
//   kind 3 item       word     position 136 + 2a
//
// Words of the image are 16-bit values in host byte order. The image stays
// mapped over PLCClose, so that a reconnect finds the same block; PLCUnmap
// gives it back when the bridge stops.
#include <array>
#include <cstdint>
#include <cstring>

#include "bridge/QZVAppQ.h"
#include "plc/qzrplc.h"
#include "secs/XKSAcb.h"
#include "secs/XKSMssg.h"

namespace {

constexpr int32_t E_BADF = -9;
constexpr int32_t E_INVAL = -22;
constexpr int32_t E_TOOBIG = -7;

// A bit write sends count points from one buffer filled with the value; it
// holds 128 words, so a word device takes at most 128 points.
constexpr int32_t BIT_BUFFER = 256;
constexpr int32_t BIT_POINTS = BIT_BUFFER / 2;

struct Area {
    int64_t start;
    int64_t unit;  // bytes per point
};
constexpr std::array<Area, 4> memory_areas{{{0, 1}, {4, 1}, {8, 2}, {136, 2}}};

int32_t family(const QZVQContext* ctx)
{
    return ctx->cfg.plctype & 15;
}


// Copy count points of an access kind between the image and data. The whole
// range must lie inside the mapped block: anything else is refused before a
// byte moves. Returns the bytes copied.
int32_t memory_copy(QZVQContext* ctx, bool write, int32_t kind, int32_t address, int32_t count, void* data)
{
    if (ctx->plcmem == nullptr)
        return E_BADF;
    if (kind < 0 || kind >= int32_t(memory_areas.size()) || address < 0 || count < 1 || data == nullptr)
        return E_INVAL;
    const Area& area = memory_areas[size_t(kind)];
    int64_t position = area.start + area.unit * address;
    int64_t length = area.unit * count;
    if (position + length > int64_t(ctx->plcmap.size))
        return E_INVAL;
    uint8_t* image = static_cast<uint8_t*>(ctx->plcmem) + position;
    if (write)
        std::memcpy(image, data, size_t(length));
    else
        std::memcpy(data, image, size_t(length));
    return int32_t(length);
}

// One read or write of count points through the family's driver; called
// with the PLC lock held.
int32_t driver_access(QZVQContext* ctx, int32_t id, bool write, int32_t kind, const QZVQCode& code,
                      int32_t address, int32_t bit, int32_t count, void* data)
{
    const int32_t timeout = ctx->cfg.plcto[1];
    switch (family(ctx)) {
    case QZVQ_PLC_MELSEC:
        return write ? QZRPLCMelsecSet(id, 0, code.number, address, count, data, timeout)
                     : QZRPLCMelsecGet(id, 0, code.number, address, count, data, timeout);
    case QZVQ_PLC_OMRON:
        return write ? QZRPLCOmronSet(id, 0, code.number, address, bit, count, data, timeout)
                     : QZRPLCOmronGet(id, 0, code.number, address, bit, count, data, timeout);
    case QZVQ_PLC_KEYENCE:
        return write ? QZRPLCKeyenceSet(id, 0, code.text, address, count, data, timeout)
                     : QZRPLCKeyenceGet(id, 0, code.text, address, count, data, timeout);
    case QZVQ_PLC_MEMORY:
        return memory_copy(ctx, write, kind, address, count, data);
    default:
        return E_BADF;
    }
}

// Read (direction 1) or write (2) as PLCGetData and PLCSetData do.
int32_t access(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
               int32_t count, void* data, int32_t direction)
{
    QZVQContext* ctx = QZVQGetContext();
    int32_t id = XKSLoad(ctx->plcid);
    if (id <= 0)
        return E_BADF;
    int32_t result;
    {
        XKWLockGuard lock(&ctx->access[0]);
        result = driver_access(ctx, id, direction == QZVQ_DIR_WRITE, kind, code, address, bit, count, data);
    }
    PLCDispData(kind, name, code, address, bit, count, result, data, ctx->cfg.plctype, direction);
    return result;
}

// ---- conversions ----

// How an item format travels in PLC words: element size in bytes (0: not
// converted), whether it is text, and the PLCMODE bit of its extra reversal.
struct Layout {
    int32_t size;
    bool text;
    int32_t swap;
};

Layout layout_of(int32_t format)
{
    switch (format & 0x1FF) {
    case XKS_FMT_B:
    case XKS_FMT_T:
    case XKS_FMT_I1:
    case XKS_FMT_U1:
        return {1, false, QZVQ_MODE_SWAP1};
    case XKS_FMT_A:
    case XKS_FMT_J:
    case XKS_FMT_K:
        return {1, true, QZVQ_MODE_SWAPCHAR};
    case XKS_FMT_I2:
    case XKS_FMT_U2:
        return {2, false, QZVQ_MODE_SWAPINT};
    case XKS_FMT_I4:
    case XKS_FMT_U4:
        return {4, false, QZVQ_MODE_SWAPINT};
    case XKS_FMT_I8:
    case XKS_FMT_U8:
        return {8, false, QZVQ_MODE_SWAPINT};
    case XKS_FMT_F4:
        return {4, false, QZVQ_MODE_SWAPFLOAT};
    case XKS_FMT_F8:
        return {8, false, QZVQ_MODE_SWAPFLOAT};
    default:
        return {0, false, 0};
    }
}

uint16_t swap16(uint16_t word)
{
    return uint16_t(word << 8 | word >> 8);
}

// The low `size` bytes of value in reverse order.
uint64_t reverse_bytes(uint64_t value, int32_t size)
{
    uint64_t out = 0;
    for (int32_t i = 0; i < size; ++i, value >>= 8)
        out = out << 8 | (value & 0xFF);
    return out;
}

// One element of `size` bytes (2, 4 or 8) read from or written to a host-order value.
uint64_t load_element(const uint8_t* at, int32_t size)
{
    uint16_t v2;
    uint32_t v4;
    uint64_t v8;
    switch (size) {
    case 2:
        std::memcpy(&v2, at, 2);
        return v2;
    case 4:
        std::memcpy(&v4, at, 4);
        return v4;
    default:
        std::memcpy(&v8, at, 8);
        return v8;
    }
}

void store_element(uint8_t* at, int32_t size, uint64_t value)
{
    uint16_t v2 = uint16_t(value);
    uint32_t v4 = uint32_t(value);
    switch (size) {
    case 2:
        std::memcpy(at, &v2, 2);
        break;
    case 4:
        std::memcpy(at, &v4, 4);
        break;
    default:
        std::memcpy(at, &value, 8);
        break;
    }
}

// What the current settings ask of a conversion.
struct Rules {
    bool omron;     // pairs of bytes high byte first, words of a value highest first
    bool swap;      // the format's extra reversal
    bool wordbyte;  // 1-byte items: one word per byte
};

Rules rules_for(const Layout& layout)
{
    const QZVQContext* ctx = QZVQGetContext();
    return {family(ctx) == QZVQ_PLC_OMRON, (ctx->cfg.plcmode & layout.swap) != 0,
            !layout.text && (ctx->cfg.plcmode & QZVQ_MODE_WORDBYTE) != 0};
}

}  // namespace

// ---- connection ----

int32_t PLCOpen()
{
    QZVQContext* ctx = QZVQGetContext();
    const QZVQSettings& cfg = ctx->cfg;
    int32_t result = 0;
    switch (family(ctx)) {
    case QZVQ_PLC_MELSEC:
        // PLCOPT0 1 gives option 4, the 4E frame; 0 gives the 3E frame.
        result = QZRPLCMelsecOpen(0, cfg.plchost, cfg.plcport, cfg.plcopt0[0] + 3, "", 0);
        break;
    case QZVQ_PLC_OMRON:
        // PLCOPT0 is the bridge's own node number; 0 lets the PLC assign one.
        result = QZRPLCOmronOpen(0, cfg.plchost, cfg.plcport, cfg.plcopt0[0], "", 0);
        break;
    case QZVQ_PLC_KEYENCE:
        // PLCOPT0 1 adds the data format suffix to the device names.
        // PLCTYPE 0x204 reaches the PLC over a serial line: PLCHOST is then
        // the port and PLCPORT the line settings word.
        result = QZRPLCKeyenceOpen((cfg.plcopt0[0] == 1 ? QZRPLC_KEYENCE_SUFFIX : 0) |
                                       (cfg.plctype & QZRPLC_KEYENCE_LINK),
                                   cfg.plchost, cfg.plcport, 0, "", 0);
        break;
    case QZVQ_PLC_MEMORY: {
        XKWLockGuard lock(&ctx->access[0]);
        if (ctx->plcmem == nullptr)
            ctx->plcmem = XKWMemMap(cfg.plchost, cfg.plcport, &ctx->plcmap);
        result = ctx->plcmem != nullptr ? 1 : -1;
        break;
    }
    default:
        break;
    }
    XKSStore(ctx->plcid, result);
    QZVQ_LOG(QZVQ_DIR_CONTROL | QZVQ_LOG_FORMAT, 1, "PLC [%s:%d] %s (%d)", cfg.plchost, cfg.plcport,
             result < 0 ? "Open error" : "Connected", result);
    return result;
}

void PLCClose(int32_t reason)
{
    QZVQContext* ctx = QZVQGetContext();
    int32_t id = XKSLoad(ctx->plcid);
    if (id <= 0)
        return;
    {
        // Under the lock, so that no access of the other thread is halfway
        // through the connection being closed.
        XKWLockGuard lock(&ctx->access[0]);
        switch (family(ctx)) {
        case QZVQ_PLC_MELSEC:
            QZRPLCMelsecClose(id, 0);
            break;
        case QZVQ_PLC_OMRON:
            QZRPLCOmronClose(id, 0);
            break;
        case QZVQ_PLC_KEYENCE:
            QZRPLCKeyenceClose(id, 0);
            break;
        default:
            break;  // the shared-memory image stays mapped
        }
        XKSStore(ctx->plcid, 0);
        XKSStore(ctx->plcstat, 0);
    }
    QZVQ_LOG(QZVQ_DIR_CONTROL | QZVQ_LOG_FORMAT, 1, "PLC [%s:%d] Disconnected (%d)", ctx->cfg.plchost,
             ctx->cfg.plcport, reason);
}

// Give back the shared-memory image (when one is mapped); returns 0 or the
// unmap error. For the bridge's stop, after the PLC thread has ended.
int32_t PLCUnmap()
{
    QZVQContext* ctx = QZVQGetContext();
    XKWLockGuard lock(&ctx->access[0]);
    if (ctx->plcmem == nullptr)
        return 0;
    int32_t result = XKWMemUnmap(ctx->plcmem, &ctx->plcmap);
    ctx->plcmem = nullptr;
    ctx->plcmap = XKWMemMapping{};
    return result;
}

// ---- accesses ----

int32_t PLCGetData(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
                   int32_t count, uint16_t* buffer)
{
    return access(kind, name, code, address, bit, count, buffer, QZVQ_DIR_READ);
}

int32_t PLCSetData(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
                   int32_t count, const uint16_t* data)
{
    // The drivers and the image only read from data on a write.
    return access(kind, name, code, address, bit, count, const_cast<uint16_t*>(data), QZVQ_DIR_WRITE);
}

int32_t PLCSetBit(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
                  int32_t count, int32_t value)
{
    QZVQContext* ctx = QZVQGetContext();
    int32_t id = XKSLoad(ctx->plcid);
    if (id <= 0)
        return E_BADF;
    // Every byte carries the value: a word device gets 0x0101 for 1.
    std::array<uint8_t, BIT_BUFFER> fill;
    fill.fill(uint8_t(value));
    int32_t result = E_INVAL;
    if (count >= 1 && count <= BIT_POINTS) {
        XKWLockGuard lock(&ctx->access[0]);
        switch (family(ctx)) {
        case QZVQ_PLC_KEYENCE:
            result = QZRPLCKeyenceBit(id, 0, code.text, address, count, value, ctx->cfg.plcto[1]);
            break;
        case QZVQ_PLC_MEMORY:
            // Only the byte areas take bits; the value fills count bytes.
            result = kind == QZVQ_KIND_STATUS || kind == QZVQ_KIND_HANDSHAKE
                         ? memory_copy(ctx, true, kind, address, count, fill.data())
                         : E_INVAL;
            break;
        default:
            result = driver_access(ctx, id, true, kind, code, address, bit, count, fill.data());
            break;
        }
    }
    PLCDispData(kind, name, code, address, bit, count, result, fill.data(), ctx->cfg.plctype, QZVQ_DIR_WRITE);
    return result;
}

// ---- conversions ----

int32_t ConvSECSToPLC(int32_t format, int32_t count, const void* value, uint16_t* words, int32_t room)
{
    Layout layout = layout_of(format);
    if (layout.size == 0 || count <= 0)
        return 0;
    if (value == nullptr || words == nullptr)
        return E_INVAL;
    Rules rules = rules_for(layout);
    const uint8_t* bytes = static_cast<const uint8_t*>(value);

    if (layout.size == 1) {
        int64_t need = rules.wordbyte ? count : (int64_t(count) + 1) / 2;
        if (need > room)
            return E_TOOBIG;
        if (rules.wordbyte) {
            for (int32_t i = 0; i < count; ++i)
                words[i] = bytes[i];
            return count;
        }
        // Bytes in order, the first of a pair in the low half; Omron wants
        // it in the high half, and the format's bit exchanges once more.
        for (int64_t k = 0; k < need; ++k) {
            uint16_t low = bytes[2 * k];
            uint16_t high = 2 * k + 1 < count ? bytes[2 * k + 1] : 0;
            uint16_t word = uint16_t(low | high << 8);
            words[k] = rules.omron != rules.swap ? swap16(word) : word;
        }
        return int32_t(need);
    }

    int32_t per = layout.size / 2;  // words per element
    int64_t need = int64_t(count) * per;
    if (need > room)
        return E_TOOBIG;
    for (int32_t i = 0; i < count; ++i) {
        uint64_t element = load_element(bytes + int64_t(i) * layout.size, layout.size);
        if (rules.swap)
            element = reverse_bytes(element, layout.size);
        uint16_t* out = words + int64_t(i) * per;
        for (int32_t j = 0; j < per; ++j) {
            uint16_t word = uint16_t(element >> (16 * j));  // lowest word first
            out[rules.omron ? per - 1 - j : j] = word;
        }
    }
    return int32_t(need);
}

int32_t ConvPLCToSECS(int32_t format, int32_t words, const uint16_t* data, void* value, int32_t room)
{
    Layout layout = layout_of(format);
    if (layout.size == 0 || words <= 0)
        return 0;
    if (data == nullptr || value == nullptr)
        return E_INVAL;
    Rules rules = rules_for(layout);
    uint8_t* bytes = static_cast<uint8_t*>(value);

    if (layout.size == 1 && rules.wordbyte) {
        if (words > room)
            return E_TOOBIG;
        for (int32_t i = 0; i < words; ++i)
            bytes[i] = uint8_t(data[i]);
        return words;
    }
    if (layout.size == 1) {
        auto byte_at = [&](int64_t i) {
            uint16_t word = data[i / 2];
            if (rules.omron != rules.swap)
                word = swap16(word);
            return uint8_t(i % 2 == 0 ? word : word >> 8);
        };
        int64_t length = 2 * int64_t(words);
        if (layout.text) {
            // The text ends at its first NUL or with the area; it is
            // handed on NUL-terminated.
            int64_t end = 0;
            while (end < length && byte_at(end) != 0)
                ++end;
            length = end;
            if (length + 1 > room)
                return E_TOOBIG;
            bytes[length] = 0;
        } else if (length > room) {
            return E_TOOBIG;
        }
        for (int64_t i = 0; i < length; ++i)
            bytes[i] = byte_at(i);
        return layout.text ? 0 : int32_t(length);
    }

    int32_t per = layout.size / 2;
    int32_t count = words / per;
    if (int64_t(count) * layout.size > room)
        return E_TOOBIG;
    for (int32_t i = 0; i < count; ++i) {
        const uint16_t* in = data + int64_t(i) * per;
        uint64_t element = 0;
        for (int32_t j = 0; j < per; ++j)
            element |= uint64_t(in[rules.omron ? per - 1 - j : j]) << (16 * j);
        if (rules.swap)
            element = reverse_bytes(element, layout.size);
        store_element(bytes + int64_t(i) * layout.size, layout.size, element);
    }
    return count;
}
