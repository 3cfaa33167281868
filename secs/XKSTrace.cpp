// The communication trace of a session: header lines of messages and link
// events, SECS-I block and control-character lines, message names, item
// lines and hexadecimal dumps, written to the session's trace files and,
// within TRCTLEVEL, handed to the application callback and streamed to a
// trace server.
//
// Several engine threads trace through one acb at once. The trace files
// serialise single lines; the session's trace lock keeps the lines of one
// message entry together and guards the shared definition table during the
// name lookup. The trace server connection has a lock of its own, so a line
// handed to it never waits for a message entry, and the callback runs
// outside that lock.
//
// The server socket gets a send time-out (the connect bound, 1 s): a trace
// monitor that stops reading must not stall the protocol threads once the
// socket buffer is full; the failed send closes the connection as any other.
#include "secs/XKSTrace.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "runtime/XKNSocket.h"
#include "runtime/XKWDump.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWTime.h"
#include "secs/XKSComm.h"

struct XKSTraceStream {
    std::mutex lock;
    XKNSocket sock{};
    bool connected = false;
    bool tried = false;     // an attempt (or a failed send) has been made
    int64_t last_try = 0;   // tick seconds of the last attempt or failed send
};

namespace {

constexpr std::array<const char*, 64> kind_names = [] {
    std::array<const char*, 64> n{};
    for (auto& s : n)
        s = "";
    n[0] = "CONTROL";
    n[1] = "RECEIVE";
    n[2] = "SEND";
    n[4] = "INITIALIZE";
    n[5] = "ACCEPT";
    n[6] = "CONNECT";
    n[8] = "SHUTDOWN";
    n[9] = "TERMINATE";
    n[11] = "CONNECT";
    n[12] = "SELECT";
    n[16] = "SEPARATE";
    n[17] = "REJECT";
    n[18] = "DESELECT";
    n[19] = "NOTCONNECT";
    n[20] = "ILL_BLOCK";
    n[21] = "T1TIMEOUT";
    n[22] = "T2TIMEOUT";
    n[23] = "T3TIMEOUT";
    n[24] = "T4TIMEOUT";
    n[25] = "T5TIMEOUT";
    n[26] = "T6TIMEOUT";
    n[27] = "T7TIMEOUT";
    n[28] = "T8TIMEOUT";
    n[29] = "RETRY_OVER";
    n[30] = "NOMSSG_TO";
    n[31] = "ILL_DEVICE";
    n[32] = "MSSGTOOBIG";
    n[33] = "UNEXP_MSSG";
    n[34] = "CHECK_SUM";
    n[35] = "PROTOCOL";
    n[36] = "SEND_S9F1";
    n[37] = "SEND_S9F7";
    n[38] = "SEND_S9F11";
    n[39] = "SEND_S9F9";
    n[40] = "CONN_ERR";
    n[63] = "FORCEEND";
    return n;
}();

// HSMS control messages by SType; 8 has no name.
constexpr std::array<const char*, 10> control_names = {
    "",
    "Select   Request ",
    "Select   Response",
    "Deselect Request ",
    "Deselect Response",
    "LinkTest Request ",
    "LinkTest Response",
    "Reject   Request ",
    "",
    "Separate Request ",
};

constexpr int32_t line_size = 2048;       // header, name and error lines
constexpr int32_t item_line_max = 2008;   // an item line with its indentation
constexpr int32_t kept_max = 63;          // text kept from the caller's buffer
constexpr int32_t block_data_max = 244;   // data bytes of one SECS-I block


uint16_t get16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool error_kind(int32_t k)
{
    return (k >= 20 && k <= 29) || (k >= 31 && k <= 35);
}

bool is_send(int32_t k)
{
    return k == XKS_TK_SEND || (k >= XKS_TK_SEND_S9F1 && k <= XKS_TK_SEND_S9F1 + 3);
}

const char* tag_of(int32_t k)
{
    return k == XKS_TK_RECEIVE ? "RX" : k == XKS_TK_SEND ? "SX" : "CT";
}

bool open_trace(const XKWTrace* t)
{
    return t != nullptr && t->open != 0;
}

bool stream_configured(const XKSAcb* acb)
{
    return acb->cfg.trcthost[0] != '\0' && acb->cfg.trctport > 0;
}

// The session whose definition tables name messages: a snapshot copy
// points at the engine's own block.
const XKSAcb* definitions_of(const XKSAcb* acb)
{
    return acb->self != nullptr ? acb->self : acb;
}

// Connect when the interval since the last attempt has passed; called with
// the stream lock held.
bool stream_connect(const XKSAcb* acb, XKSTraceStream* st)
{
    if (st->connected)
        return true;
    if (!stream_configured(acb))
        return false;
    int64_t now = static_cast<int64_t>(XKWTickCount() / 1000);
    if (st->tried && now - st->last_try <= acb->cfg.inter3)
        return false;
    st->tried = true;
    st->last_try = now;
    int32_t family = (acb->cfg.secsmode & 0x8) ? XKN_FAMILY_IPV6 : XKN_FAMILY_IPV4;
    int32_t ms = acb->cfg.t5 <= 0 ? 0 : std::min(acb->cfg.t5, 1) * 1000;
    st->sock = XKNSocket{};
    if (XKNTCPClientOpen(&st->sock, family, acb->cfg.trcthost) < 0)
        return false;
    if (XKNTCPClientConnect(&st->sock, family, acb->cfg.trcthost, acb->cfg.trctport, ms) < 0) {
        if (st->sock.socket > 0)
            XKNTCPClose(&st->sock);
        return false;
    }
    XKNSetSendTimeout(st->sock.socket, 1000);
    st->connected = true;
    return true;
}

void stream_send(const XKSAcb* acb, XKSTraceStream* st, const XKSTraceRecord& rec, int32_t level)
{
    std::lock_guard<std::mutex> guard(st->lock);
    if (!stream_connect(acb, st))
        return;
    char out[XKW_TRACE_LINE_MAX + 64];
    int n = std::snprintf(out, sizeof out, "%06d.%06d.%03d:%2d:%2d:", rec.date % 1000000, rec.clock, rec.ms,
                          level, rec.kind);
    if (n < 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), sizeof out - 2);
    size_t room = sizeof out - 2 - len;
    size_t tl = strnlen(rec.text, room);
    std::memcpy(out + len, rec.text, tl);
    len += tl;
    out[len++] = '\n';
    if (XKNTCPWrite(&st->sock, out, static_cast<int32_t>(len)) != static_cast<int32_t>(len)) {
        XKNTCPClose(&st->sock);
        st->connected = false;
        st->last_try = static_cast<int64_t>(XKWTickCount() / 1000);
    }
}

// A line within TRCTLEVEL to the trace server and the application callback.
void deliver(const XKSAcb* acb, int32_t level, int32_t kind, const char* text)
{
    if (level > acb->cfg.trctlevel)
        return;
    XKSTraceStream* st = acb->tstream;
    if (acb->tcb == nullptr && st == nullptr)
        return;
    XKSTraceRecord rec{};
    XKWTimeStamp(&rec.date, &rec.clock, &rec.ms);
    // The process bit stays, so that a callback can tell the process
    // trace's copy of an entry from the communication trace's.
    rec.kind = kind & (0xFFF | XKS_TK_PROCESS);
    rec.text = text;
    if (st != nullptr)
        stream_send(acb, st, rec, level);
    if (acb->tcb != nullptr)
        acb->tcb(&rec, acb->tcbarg);
}

XKWTrace* trace_of(const XKSAcb* acb, int32_t kind)
{
    return (kind & XKS_TK_PROCESS) ? acb->ptrace : acb->ctrace;
}

void write_closing(XKSAcb* acb, int32_t indent, int32_t level, int32_t kind, const char* tag, const char* source,
                   int32_t line)
{
    char text[80];
    std::snprintf(text, sizeof text, "%*s>", std::clamp(indent, 0, 72), "");
    XKSTraceLine(source, line, "XKSTraceList", acb, 0x20, level, kind, tag, text);
}

struct BlockOwner {
    XKSMssgBlock* block = nullptr;
    ~BlockOwner()
    {
        if (block != nullptr) {
            XKSMssgReadClose(block);
            delete block;
        }
    }
};

}  // namespace

const char* XKSTraceKindName(int32_t kind)
{
    return kind_names[static_cast<size_t>(kind & XKS_TK_MASK)];
}

int32_t XKSTraceHeaderText(const XKSAcb* acb, int32_t kind, const uint8_t* header, char* text, size_t size,
                           int32_t length)
{
    if (text == nullptr || size == 0)
        return XKW_E_INVAL;
    int32_t syserr = errno;
    char kept[kept_max + 1] = "";
    if (kind & XKS_TK_KEEPTEXT) {
        size_t n = strnlen(text, std::min(sizeof kept - 1, size));
        std::memcpy(kept, text, n);
        kept[n] = '\0';
    }
    XKWTextOut t(text, size);
    if (acb == nullptr)
        return XKW_E_INVAL;

    int32_t k = kind & XKS_TK_MASK;
    int32_t shown = length;
    const char* errname = nullptr;
    bool failed = false;
    if (length < 0) {
        shown = 0;
        if (length == XKW_E_NODEV)
            k = XKS_TK_ILL_DEVICE;
        else if (length == XKW_E_OVERRUN)
            k = XKS_TK_MSSGTOOBIG;
        else if (length == -14)
            k = XKS_TK_UNEXP_MSSG;
        else if (length <= -980 && length >= -989)
            errname = kind_names[static_cast<size_t>(-length - 960)];
        else
            failed = true;
    }
    const char* prefix = error_kind(k) ? "[ERROR] " : "";
    const char* name = kind_names[static_cast<size_t>(k)];
    uint32_t link = acb->cfg.secsmode & 3;
    bool hsms = (link & 1) != 0;
    bool serial = link == 0;
    const char* host = acb->ahost[0] != '\0' ? acb->ahost : acb->cfg.host;
    const char* addr = hsms ? host : acb->cfg.sdevice;
    int32_t sd = XKSLoad(acb->trcsd);

    if (failed) {
        int32_t code = XKSCommNormalize(length);
        int32_t e0 = XKSLoad(acb->xeps0), e1 = XKSLoad(acb->xeps1), e2 = XKSLoad(acb->xeps2);
        if (serial)
            t.add("%s%-10s [%-22s:%5d] (%d.%d.%d) .. on %d,%d,%d", "[ERROR] ", name, acb->cfg.sdevice, sd, code,
                  length, -syserr, e0, e1, e2);
        else
            t.add("%s%-10s [%-15s:%6d:%5d] (%d.%d.%d) .. on %d,%d,%d", "[ERROR] ", name, addr, acb->cfg.port, sd,
                  code, length, -syserr, e0, e1, e2);
    } else if (header != nullptr && (k <= 2 || (k >= 10 && k <= 39))) {
        uint16_t dev = get16(header);
        char w = (header[2] & 0x80) ? 'W' : ' ';
        char sf[16];
        std::snprintf(sf, sizeof sf, "S%dF%d", header[2] & 0x7F, header[3]);
        uint16_t sys_hi = get16(header + 6);
        uint16_t sys_lo = get16(header + 8);
        if (hsms) {
            char peer[XKS_NAME_SIZE + 16] = "";
            if (k == XKS_TK_CONNECTED || k == XKS_TK_NOTCONNECT)
                std::snprintf(peer, sizeof peer, "[%-15s:%d]", host, acb->cfg.port);
            t.add("%s%-10s %s ", prefix, name, peer);
        } else {
            t.add("%s%-10s  ", prefix, name);
        }
        if (shown >= 10000)
            t.add("L:%6d", shown);
        else
            t.add("LEN:%4d", shown);
        t.add(" DEV:0x%04hx %c %-8s", dev, w, sf);
        if (hsms) {
            t.add(" P:%d S:%d", header[4], header[5]);
        } else {
            uint16_t eb = get16(header + 4);
            bool ebit = (eb & 0x8000) != 0;
            int32_t blk = eb & 0x7FFF;
            if (is_send(k) && blk == 0) {
                // The transport numbers the blocks; show how many it will send.
                blk = shown <= 0 ? 1 : (shown - 1) / block_data_max + 1;
                ebit = true;
                if (blk == 1 && !(acb->cfg.devmode & 0x4))
                    blk = 0;
            }
            t.add(" %c BLK:%5d", ebit ? 'E' : ' ', blk);
        }
        t.add(" SBT:0x%04x.%04x :%5d", sys_hi, sys_lo, sd);
        if (errname != nullptr) {
            t.add(": %s", errname);
        } else if (hsms && header[4] == 0 && header[5] >= 1 && header[5] <= 9) {
            t.add(": %s (0x%04x)", control_names[header[5]], dev);
            if (header[5] == 2 || header[5] == 4 || header[5] == 7)
                t.add(" Stat=%d", header[3]);
        } else if (k <= 2 && (kind & XKS_TK_KEEPTEXT) && kept[0] != '\0') {
            t.add(": %s", kept);
        }
    } else {
        if (serial)
            t.add("%s%-10s [%-22s:%5d]", prefix, name, acb->cfg.sdevice, sd);
        else
            t.add("%s%-10s [%-15s:%6d:%5d]", prefix, name, addr, acb->cfg.port, sd);
        if (errname != nullptr)
            t.add(": %s", errname);
        else
            t.add("  OK.");
    }
    if ((kind & XKS_TK_SHUTLINES) && (k == XKS_TK_SHUTDOWN || k == XKS_TK_TERMINATE))
        t.add("%s", (acb->cfg.trctattr & 0x8000) ? "\r\n\r\n\r\n" : "\n\n\n");
    return int32_t(t.length());
}

int32_t XKSTraceBlockText(const XKSAcb* /*acb*/, int32_t mode, const uint8_t* block, char* text, size_t size)
{
    if (text == nullptr || size == 0)
        return XKW_E_INVAL;
    XKWTextOut t(text, size);
    if (block == nullptr)
        return XKW_E_INVAL;
    static constexpr const char* directions[4] = {"Control", "Receive", "Send", "Control"};
    const char* dir = directions[mode & 3];
    switch ((mode >> 4) & 3) {
    case 1:
        t.add("%-8s:%02x:LEN=%4d", dir, block[0], block[0]);
        break;
    case 2: {
        int32_t len = block[0];
        bool rx = (mode & 3) == 1;
        // A short block has no room for a whole header: show only what it holds.
        auto h = [&](int32_t i) -> unsigned { return i < len ? block[1 + i] : 0u; };
        t.add("%-8s%c%02x:LEN=%4d%c    0x%02x%02x   0x%02x%02x   0x%02x%02x          0x%02x%02x.%02x%02x:"
              "0x%02x%02x",
              dir, rx ? '(' : ':', block[0], len, rx ? ')' : ':', h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7),
              h(8), h(9), block[1 + len], block[2 + len]);
        break;
    }
    default: {
        t.add("%-8s:%02x", dir, block[0]);
        const char* mnemonic = nullptr;
        switch (block[0]) {
        case 1: mnemonic = "SOH"; break;
        case 2: mnemonic = "STX"; break;
        case 3: mnemonic = "ETX"; break;
        case 4: mnemonic = "EOT"; break;
        case 5: mnemonic = "ENQ"; break;
        case 6: mnemonic = "ACK"; break;
        case 21: mnemonic = "NAK"; break;
        case 22: mnemonic = "SYN"; break;
        case 27: mnemonic = "ESC"; break;
        default: break;
        }
        if (mnemonic != nullptr)
            t.add(":%s", mnemonic);
        break;
    }
    }
    return int32_t(t.length());
}

int32_t XKSTraceLine(const char* source, int32_t line, const char* function, XKSAcb* acb, int32_t flags,
                     int32_t level, int32_t kind, const char* tag, const char* text)
{
    if (acb == nullptr || text == nullptr)
        return XKW_E_INVAL;
    int32_t rc = XKW_OK;
    XKWTrace* t = trace_of(acb, kind);
    if (open_trace(t))
        rc = XKWTraceWriteText(source, line, function, t, flags, level, tag, text);
    deliver(acb, level, kind, text);
    return rc;
}

int32_t XKSTraceDump(const char* source, int32_t line, const char* function, XKSAcb* acb, int32_t dumpflags,
                     int32_t level, int32_t kind, const char* tag, const char* label, const void* data,
                     int32_t length)
{
    if (acb == nullptr || length < 0 || (data == nullptr && length > 0))
        return XKW_E_INVAL;
    XKWTrace* t = trace_of(acb, kind);
    bool file = open_trace(t);
    bool listeners = level <= acb->cfg.trctlevel && (acb->tcb != nullptr || acb->tstream != nullptr);
    if (!file && !listeners)
        return XKW_OK;
    uint32_t limit = acb->cfg.trctxdump > 0 ? static_cast<uint32_t>(acb->cfg.trctxdump) : 0;
    int32_t first_sep = (dumpflags >> 4) & 3;
    int32_t offset = 0;
    int32_t carry = 0;
    int32_t rc = XKW_OK;
    // Bounded: every line advances the offset by at least one byte.
    while (offset < length) {
        int32_t start = offset;
        char text[XKW_DUMP_LINE_SIZE];
        int32_t nonzero = XKWDumpLine(dumpflags, label, data, length, &offset, &carry, text, sizeof text);
        if (nonzero < 0 || offset <= start)
            break;
        // First and last lines always; between them only non-zero lines
        // that start below the limit.
        bool limited = limit != 0 && static_cast<uint32_t>(start) >= limit;
        if (start != 0 && offset < length && (nonzero == 0 || limited))
            continue;
        int32_t sep = start == 0 ? (first_sep != 0 ? first_sep : 1) : 2;
        if (file) {
            int32_t w = XKWTraceWriteText(source, line, function, t, sep << 4, level, tag, text);
            if (w < 0 && rc == XKW_OK)
                rc = w;
        }
        if (listeners)
            deliver(acb, level, kind, text);
    }
    return rc;
}

int32_t XKSTraceList(XKSAcb* acb, int32_t flags, const uint8_t* header, const uint8_t* body, int32_t length,
                     int32_t level, int32_t kind, const char* tag, XKSMssgBlock* block, const char* source,
                     int32_t line)
{
    if (acb == nullptr || length < 0 || (body == nullptr && length > 0))
        return XKW_E_INVAL;
    uint32_t type = acb->cfg.trcttype;
    // The direction bits overlap the process bit, so the trace is chosen by
    // the kind alone.
    int32_t lk = kind;
    int32_t dir = flags & 0x3000;
    if (dir != 0x3000 && dir != 0x2000)
        dir = 0;

    BlockOwner own;
    if (!XKSMssgIsOpen(block)) {
        own.block = new (std::nothrow) XKSMssgBlock;
        if (own.block == nullptr)
            return XKW_E_NOMEM;
        int32_t of = dir != 0 && header != nullptr ? XKS_MSSG_LOOKUP | XKS_MSSG_ENGINE | dir : 0;
        int32_t rc = XKSMssgReadOpen(own.block, of, body, length, reinterpret_cast<intptr_t>(definitions_of(acb)),
                                     header, nullptr, 0);
        if (rc < 0) {
            delete own.block;
            own.block = nullptr;
            return rc;
        }
        block = own.block;
    }

    int32_t base = (type & 0x400) ? 0 : 2;
    bool closing = ((type >> 4) & 7) > 1;
    int32_t tf = static_cast<int32_t>(type & (0x70 | XKS_TEXT_PARTS | 0x4000)) | XKS_MSSG_ENGINE;
    if (dir != 0)
        tf |= 0x8000 | dir | XKS_TEXT_NAMES;

    char text[item_line_max + 1];
    std::memset(text, ' ', static_cast<size_t>(base));
    text[base] = '\0';
    int32_t open = 0;  // list levels open after the last line
    int32_t rc = XKS_E_NODATA;
    int32_t fmt = 0;
    int32_t cnt = 0;
    // Every line consumes an item (at least two bytes) or a part of an
    // array (at least one byte), so the body length bounds the walk.
    for (int32_t guard = 0; guard <= length + 1; ++guard) {
        fmt = 0;
        cnt = 0;
        rc = XKSMssgGetText(block, tf, body, &fmt, &cnt, text + base, static_cast<int32_t>(sizeof text) - base);
        if (rc < 0)
            break;
        if (closing)
            for (int32_t d = open; d > rc; --d)
                write_closing(acb, base + 2 * d - 2, level, lk, tag, source, line);
        XKSTraceLine(source, line, "XKSTraceList", acb, 0x20, level, lk, tag, text);
        if ((fmt & 0xFF) == XKS_FMT_L && cnt == 0) {
            if (closing)
                write_closing(acb, base + 2 * rc, level, lk, tag, source, line);
            open = rc;
        } else if ((fmt & 0xFF) == XKS_FMT_L) {
            open = std::min(rc + 1, XKS_MSSG_DEPTH);
        } else {
            open = rc;
        }
    }
    int32_t result = XKW_OK;
    if (rc < 0 && rc != XKS_E_NODATA) {
        char err[line_size];
        std::snprintf(err, sizeof err, "MESSAGE STRUCTURE ERROR (%d) [%s]  form=%03o #item=%d", rc,
                      XKSMssgResultText(rc), fmt & 0xFF, cnt);
        XKSTraceLine(source, line, "XKSTraceList", acb, 0x20, std::max(level - 3, 1), lk, tag, err);
        result = rc;
    }
    if (closing)
        for (int32_t d = open; d > 0; --d)
            write_closing(acb, base + 2 * d - 2, level, lk, tag, source, line);
    return result;
}

int32_t XKSTraceMessage(XKSAcb* acb, int32_t kind, const uint8_t* header, const uint8_t* body, int32_t length,
                        int32_t level, const char* source, int32_t line)
{
    if (acb == nullptr || (body == nullptr && length > 0))
        return XKW_E_INVAL;
    static constexpr const char* fn = "XKSTraceMessage";
    int32_t k = kind & XKS_TK_MASK;
    if (is_send(k))
        k = XKS_TK_SEND;
    bool process = (kind & XKS_TK_PROCESS) != 0;
    XKWTrace* etr = process ? nullptr : acb->etrace;
    int32_t offset = process ? 1 : 3;
    uint32_t type = acb->cfg.trcttype;
    if (process)
        type &= ~(0x0080u | 0x0800u | 0x0002u);
    int32_t lk = k | (process ? XKS_TK_PROCESS : 0);
    const char* tag = tag_of(k);
    char text[line_size];

    bool entry = k == XKS_TK_RECEIVE || k == XKS_TK_SEND || (k >= 10 && k <= 35);
    if (!entry) {
        XKSTraceHeaderText(acb, k | XKS_TK_SHUTLINES, header, text, sizeof text, length);
        XKSTraceLine(source, line, fn, acb, 0x00, level, lk, tag, text);
        if ((length < 0 || k == XKS_TK_CONN_ERR) && open_trace(etr))
            XKWTraceWriteText(source, line, fn, etr, 0x00, level, tag, text);
        return XKW_OK;
    }

    bool hsms = (acb->cfg.secsmode & 1) != 0;
    int32_t lvl = level;
    if (hsms && header != nullptr && header[4] == 0 && (header[5] == 5 || header[5] == 6))
        lvl += 5;
    XKWLock* tl = acb->tlock;
    bool locked = tl != nullptr && XKWLockEnter(tl, 0) == XKW_OK;

    // The definition lookup needs the lock: it holds the shared table
    // until the item lines are written.
    BlockOwner named_block;
    char name[XKS_NAME_SIZE] = "";
    int32_t hk = k | XKS_TK_SHUTLINES;
    int32_t dir = k == XKS_TK_SEND ? 0x2000 : 0x3000;
    if (locked && (type & 0x80) && header != nullptr && length >= 0 && (!hsms || header[5] == 0)) {
        named_block.block = new (std::nothrow) XKSMssgBlock;
        if (named_block.block != nullptr &&
            XKSMssgReadOpen(named_block.block, XKS_MSSG_LOOKUP | XKS_MSSG_ENGINE | dir, body, length,
                            reinterpret_cast<intptr_t>(definitions_of(acb)), header, name, sizeof name) < 0) {
            delete named_block.block;
            named_block.block = nullptr;
            name[0] = '\0';
        }
        if (name[0] != '\0')
            XKWStrCopy(text, name, sizeof text);
        else
            std::snprintf(text, sizeof text, "S%dF%d", header[2] & 0x7F, header[3]);
        hk |= XKS_TK_KEEPTEXT;
    }
    XKSTraceHeaderText(acb, hk, header, text, sizeof text, length);
    XKSTraceLine(source, line, fn, acb, 0x10, lvl, lk, tag, text);
    if ((length < 0 || (k >= 20 && k <= 35) || k == XKS_TK_CONN_ERR) && open_trace(etr))
        XKWTraceWriteText(source, line, fn, etr, 0x10, lvl, tag, text);

    int32_t indent = (type & 0x400) ? 0 : 2;
    if (name[0] != '\0' && (type & 0x800)) {
        std::snprintf(text, sizeof text, "%*s[%s]", indent, "", name);
        XKSTraceLine(source, line, fn, acb, 0x20, lvl + offset, lk + XKS_TK_SUBLINE, tag, text);
    }
    if ((type & 0x1) && length > 0) {
        int32_t lf = named_block.block != nullptr ? dir : 0;
        XKSTraceList(acb, lf, header, body, length, lvl + offset, lk + XKS_TK_SUBLINE, tag, named_block.block,
                     source, line);
    }
    if ((type & 0x2) && length >= 0) {
        int32_t df = 0x20 | ((type & 0x8) ? 0x20000 : 0);
        bool flat = (type & 0x400) != 0;
        if (header != nullptr) {
            uint8_t wire[10];
            std::memcpy(wire, header, sizeof wire);
            XKSMssgLinkOrder(wire, acb->cfg.secsmode);
            XKSTraceDump(source, line, fn, acb, df, lvl + 2, lk + XKS_TK_DUMPLINE, tag, flat ? "Head  " : "  Head",
                         wire, sizeof wire);
        }
        if (length > 0)
            XKSTraceDump(source, line, fn, acb, df, lvl + 4, lk + XKS_TK_DUMPLINE, tag, flat ? "Data  " : "  Data",
                         body, length);
    }
    if (named_block.block != nullptr) {
        XKSMssgReadClose(named_block.block);
        delete named_block.block;
        named_block.block = nullptr;
    }
    if (locked)
        XKWLockLeave(tl);
    return XKW_OK;
}

int32_t XKSTraceStreamOpen(XKSAcb* acb)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    if (acb->tstream != nullptr || !stream_configured(acb))
        return XKW_OK;
    acb->tstream = new (std::nothrow) XKSTraceStream;
    return acb->tstream != nullptr ? XKW_OK : XKW_E_NOMEM;
}

void XKSTraceStreamClose(XKSAcb* acb)
{
    if (acb == nullptr || acb->tstream == nullptr)
        return;
    XKSTraceStream* st = acb->tstream;
    acb->tstream = nullptr;
    {
        std::lock_guard<std::mutex> guard(st->lock);
        if (st->connected)
            XKNTCPClose(&st->sock);
        st->connected = false;
    }
    delete st;
}

void XKSTraceStreamInfo(const XKSAcb* acb, int32_t* socket, int32_t* port, char* host, size_t size)
{
    *socket = 0;
    *port = acb->cfg.trctport;
    XKWStrCopy(host, acb->cfg.trcthost, size);
    XKSTraceStream* st = acb->tstream;
    if (st == nullptr)
        return;
    std::lock_guard<std::mutex> guard(st->lock);
    if (st->connected)
        *socket = st->sock.socket;
}
