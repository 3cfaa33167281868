// Everything the bridge reports: event and error lines (QZVQLog), one-line
// summaries of SECS messages and library events (DispSECSInfo) with their
// optional item list and hexadecimal dump, and one line per PLC access
// (PLCDispData). Lines go to the front end's output callback, or to
// standard output without one; log lines also go to the bridge trace.
//
// Each side has its own log lock: lock 0 for PLC-side lines, lock 1 for
// SECS-side lines (output flag 0x80). A lock that was never initialised
// (before a start, in tests) is simply not taken. The display flags may be
// changed by the front end while the workers log, so they are read
// atomically; the remembered PLC values are only touched under lock 0.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWDump.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWTime.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSAcb.h"
#include "secs/xks.h"

namespace {

constexpr size_t kTextSize = 4096;     // text of one log line
constexpr size_t kLineSize = 4140;     // a finished output line with CR LF
constexpr size_t kPrefixLength = 13;   // "%c %06d.%03d:" before the text
constexpr int32_t kOutSecs = 0x80;     // output flag: SECS-side line
constexpr int32_t kNoMoreItems = -951;
constexpr int32_t kBigMessage = 10000; // from here on the "L:%6d" form

constexpr char kDirChar[4] = {' ', '>', '<', '@'};
constexpr const char* kTraceTag[4] = {"  ", "> ", "< ", "@ "};

// The log lock of a side (0 PLC, otherwise SECS).
XKWLock* log_lock(int32_t side)
{
    return &QZVQGetContext()->loglock[side != 0 ? 1 : 0];
}

// A line being put together in its own storage: at most N - 1
// characters, always terminated; what does not fit is dropped.
template <size_t N>
struct Text : XKWTextOut {
    Text() : XKWTextOut(storage, N) {}
    char storage[N];
};

int32_t display_flags()
{
    return XKSLoad(QZVQGetContext()->display);
}

// Hand a finished text to the front end (or standard output) with CR LF.
void output_text(int32_t flags, const char* text)
{
    char line[kLineSize];
    size_t n = std::min(std::strlen(text), kLineSize - 3);
    std::memcpy(line, text, n);
    if (n == 0 || line[n - 1] != '\n') {
        line[n++] = '\r';
        line[n++] = '\n';
    }
    line[n] = '\0';
    QZVQOutputProc proc = QZVQGetContext()->output;
    if (proc != nullptr)
        proc(flags & 0x80C0, line);
    else
        std::fputs(line, stdout);
}

// One log line of ready-made text; the caller's source position goes to
// the trace.
int32_t log_text(const char* file, int32_t line, const char* function, int32_t flags, int32_t level,
                 const char* text)
{
    QZVQContext* ctx = QZVQGetContext();
    XKWLockGuard lock(log_lock(flags & QZVQ_LOG_SECS));
    if (text[0] == '\0') {
        output_text(flags & 0xC0, "");
        return 0;
    }
    int32_t clock = 0;
    int32_t ms = 0;
    XKWTimeStamp(nullptr, &clock, &ms);
    int32_t dir = flags & 3;
    Text<kTextSize + kPrefixLength + 1> out;
    out.add("%c %06d.%03d:%s", kDirChar[dir], clock, ms, text);

    int32_t disp = display_flags();
    if (dir == QZVQ_DIR_GENERAL || dir == QZVQ_DIR_CONTROL || level < 3 ||
        ((disp & QZVQ_DISP_DETAIL) != 0 && level < 5) || ((disp & QZVQ_DISP_HANDSHAKE) != 0 && level == 5))
        output_text(flags & 0xC0, out.c_str());

    int32_t trace = XKSLoad(ctx->trace);
    if (trace != 0 && (flags & QZVQ_LOG_NOTRACE) == 0)
        XKWTraceWriteId(file, line, function, trace, 0, level, kTraceTag[dir], "%s", out.c_str() + kPrefixLength);
    return 0;
}

// ---- SECS messages ----

constexpr int32_t kKindControl = 3;
constexpr const char* kKindName[4] = {"S-RESULT", "RECEIVE", "SEND", "CONTROL"};
constexpr char kKindChar[4] = {'#', '>', '<', '@'};

// "%c %06d.%03d: %-8s: " for a kind; 24 characters.
template <size_t N>
void info_prefix(Text<N>& t, int32_t kind, int32_t clock, int32_t ms)
{
    t.clear();
    t.add("%c %06d.%03d: %-8s: ", kKindChar[kind], clock, ms, kKindName[kind]);
}

// Text of a status event (v = negated value: 951, or 961 to 999).
template <size_t N>
void status_text(Text<N>& t, int32_t v, int32_t devid, int32_t sf, uint32_t xid)
{
    int32_t dev = devid & 0xFFFF;
    if (v == 951)
        t.add("No data");
    else if (v == 961)
        t.add("Connect error");
    else if (v == 980)
        t.add("Illegal block#");
    else if (v >= 981 && v <= 988)
        t.add("T%d Timeout occur", v - 980);
    else if (v == 989)
        t.add("Retry over");
    else if (v == 990)
        t.add("No message time out");
    else if (v == 991)
        t.add("Connected");
    else if (v == 992)
        t.add("Selected   (0x%04x)", dev);
    else if (v == 996)
        t.add("Separated  (0x%04x)", dev);
    else if (v == 997)
        t.add("Rejected (%d) XId=0x%08x", sf & 0xFF, xid);
    else if (v == 998)
        t.add("Deselected (0x%04x)", dev);
    else if (v == 999)
        t.add("%s", (devid & 0x10000) != 0 ? "Separated" : "Not connected");
    else
        t.add("Other error");
}

struct ErrorText {
    int32_t code;
    const char* text;
    bool message;  // the message line follows
};

constexpr ErrorText kErrors[] = {
    {-138, " : Sending time out", true},  {-134, " : Illegal protocol sequence", true},
    {-28, " : No space on queue", false}, {-19, " : No such device ID", true},
    {-14, " : Unexpected message receive", true}, {-12, " : Memmory allocation", false},
    {-8, " : SECS-1 illegal check sum", true},    {-7, " : Data size too large", true},
};

const ErrorText* find_error(int32_t code)
{
    for (const ErrorText& e : kErrors)
        if (e.code == code)
            return &e;
    return nullptr;
}

const char* structure_text(int32_t rc)
{
    switch (rc) {
    case -22: return "Illegal format code appeared";
    case -42: return "Length byte size = 0";
    case -7: return "Item size exceed total message size";
    case -28: return "Data access buffer allocate error";
    default: return "Any message structure error";
    }
}

// Item lines of a body. out: output flags (the side); flags: the library's
// TRCTTYPE, plus 0x1000 for a received message.
void list_lines(int32_t out, int32_t flags, const uint8_t* body, int32_t length, const uint8_t* header)
{
    int32_t mode = (flags & 0x74) | 0x8080 | ((flags & 0x1000) != 0 ? 0x3000 : 0x2000);
    int32_t session = XKSLoad(QZVQGetContext()->session[1]);
    int32_t h = XKSMsgParseOpen(mode, body, length, session, header, nullptr);
    if (h < 0) {
        QZVQLog(__FILE__, __LINE__, __func__, (out & QZVQ_LOG_SECS) | QZVQ_LOG_FORMAT, 1,
                "SECS Message format error (%d)", h);
        return;
    }
    int32_t style = (flags >> 4) & 7;
    bool closing = style == 2 || style == 4;
    int32_t open = 0;  // lists still open
    auto close_to = [&](int32_t depth) {
        for (; open > depth; --open) {
            Text<80> t;
            t.blanks(size_t(open) * 2);
            t.add(">");
            output_text(out, t.c_str());
        }
    };

    int32_t rc = kNoMoreItems;
    int32_t format = 0;
    int32_t count = 0;
    char item[kTextSize];
    // Every line takes at least one byte of the body; the bound only
    // guards against a walk that does not move on.
    for (int32_t guard = 0; guard <= length + 1; ++guard) {
        rc = XKSMsgGetText(h, mode, body, &format, &count, item, int32_t(sizeof item));
        if (rc < 0)
            break;
        if (closing)
            close_to(rc);
        Text<kTextSize + 3> t;
        t.add("  %s", item);
        output_text(out, t.c_str());
        open = rc;
        if ((format & 0xFF) == 0) {
            if (closing && count == 0) {
                Text<80> c;
                c.blanks(size_t(rc) * 2 + 2);
                c.add(">");
                output_text(out, c.c_str());
            } else {
                open = rc + 1;
            }
        }
    }
    if (rc != kNoMoreItems && rc < 0) {
        Text<160> t;
        t.add("  MESSAGE STRUCTURE ERROR (%d) [%s]  form=%03o #item=%d", rc, structure_text(rc),
              unsigned(format & 0xFF), count);
        output_text(out, t.c_str());
    }
    if (closing)
        close_to(0);
    XKSMsgParseClose(h, 0, body);
}

// Hexadecimal lines of a header and body; out: output flags (the side).
void hexa_lines(int32_t out, const uint8_t* header, const uint8_t* body, int32_t length)
{
    bool wide = (QZVQGetContext()->lib.trcttype & 0x08) != 0;
    const int32_t per = wide ? 20 : 16;
    const int32_t colon = wide ? 72 : 60;
    // Three columns a byte, one more after each quarter and after the middle.
    auto column = [per](int32_t i) { return 9 + 3 * i + i / (per / 4) + (i >= per / 2 ? 1 : 0); };

    auto emit = [out](char* line, size_t end) {
        while (end > 0 && line[end - 1] == ' ')
            --end;
        line[end] = '\0';
        output_text(out, line);
    };
    constexpr char hex[] = "0123456789abcdef";
    char line[128];

    if (header != nullptr) {
        uint16_t dev, hi, lo;
        std::memcpy(&dev, header, 2);
        std::memcpy(&hi, header + 6, 2);
        std::memcpy(&lo, header + 8, 2);
        const uint8_t bytes[10] = {uint8_t(dev >> 8), uint8_t(dev), header[2], header[3], header[4],
                                   header[5],         uint8_t(hi >> 8), uint8_t(hi), uint8_t(lo >> 8), uint8_t(lo)};
        std::memset(line, ' ', sizeof line);
        std::memcpy(line, "  Head:", 7);
        for (int32_t i = 0; i < 10; ++i) {
            line[column(i)] = hex[bytes[i] >> 4];
            line[column(i) + 1] = hex[bytes[i] & 15];
        }
        emit(line, size_t(column(9) + 2));
    }
    if (body == nullptr)
        return;
    for (int32_t at = 0; at < length; at += per) {
        int32_t n = std::min(per, length - at);
        std::memset(line, ' ', sizeof line);
        char label[16];
        std::snprintf(label, sizeof label, "%6d:", at % 1000000);
        std::memcpy(line, label, 7);
        size_t end = size_t(colon) + 1;
        line[colon] = ':';
        for (int32_t i = 0; i < n; ++i) {
            uint8_t b = body[at + i];
            line[column(i)] = hex[b >> 4];
            line[column(i) + 1] = hex[b & 15];
            if (i == per / 2)
                ++end;
            line[end++] = b >= 32 && b <= 126 ? char(b) : '.';
        }
        emit(line, end);
    }
}

// ---- PLC accesses ----

bool same_code(const QZVQCode& a, const QZVQCode& b, int32_t plctype)
{
    if ((plctype & 15) == QZVQ_PLC_KEYENCE)
        return std::strncmp(a.text, b.text, sizeof a.text) == 0;
    return a.number == b.number;
}

// Which of the six remembered status and handshake devices this is, or -1.
int32_t seen_slot(const QZVQContext* ctx, const QZVQCode& code, int32_t address, int32_t bit, int32_t plctype)
{
    const QZVQSettings& c = ctx->cfg;
    struct Place {
        const QZVQDevice* dev;
        int32_t at;
    };
    const Place places[6] = {{&c.ssdev[0], 0}, {&c.ssdev[1], 0}, {&c.hsdev[0], 0},
                             {&c.hsdev[0], 1}, {&c.hsdev[1], 0}, {&c.hsdev[1], 1}};
    for (int32_t i = 0; i < 6; ++i) {
        const QZVQDevice& d = *places[i].dev;
        if (same_code(d.code, code, plctype) && d.address[places[i].at] == address && d.bit[places[i].at] == bit)
            return i;
    }
    return -1;
}

}  // namespace

int32_t QZVQOutput(int32_t flags, const char* format, ...)
{
    if (format == nullptr)
        format = "";
    if ((flags & 1) == 0) {
        output_text(flags, format);
        return 0;
    }
    char text[kTextSize];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    output_text(flags, text);
    return 0;
}

int32_t QZVQLog(const char* file, int32_t line, const char* function, int32_t flags, int32_t level,
                const char* format, ...)
{
    if (format == nullptr)
        format = "";
    if ((flags & QZVQ_LOG_FORMAT) == 0)
        return log_text(file, line, function, flags, level, format);
    char text[kTextSize];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    return log_text(file, line, function, flags, level, text);
}

int32_t DispSECSInfo(int32_t which, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* header,
                     const uint8_t* body, int32_t value)
{
    QZVQContext* ctx = QZVQGetContext();
    int32_t out = (which & 0x80) != 0 ? kOutSecs : 0;
    int32_t kind = which & 3;
    XKWLockGuard lock(log_lock(out));
    int32_t clock = 0;
    int32_t ms = 0;
    XKWTimeStamp(nullptr, &clock, &ms);
    Text<512> t;
    info_prefix(t, kind, clock, ms);

    if ((value >= -999 && value <= -961) || value == -951) {
        if (value != -951)
            info_prefix(t, kKindControl, clock, ms);
        t.add("STATUS:%4d : ", -value);
        status_text(t, -value, devid, sf, xid);
        output_text(out, t.c_str());
        return 0;
    }

    int32_t length = value;
    if (value < 0) {
        int32_t session = XKSLoad(ctx->session[1]);
        int32_t xerr = 0;
        int32_t xeps0 = 0;
        XKSGetErrorInfo(session, &xerr, &xeps0);
        t.add("ERROR  [%d.%d.%d]", value, xerr, xeps0);
        const ErrorText* e = find_error(value);
        if (e != nullptr)
            t.add("%s", e->text);
        output_text(out, t.c_str());
        if (e == nullptr || !e->message)
            return 0;
        t.clear();
        t.blanks(24);
        length = std::max(XKSGetParam(session, 0, 110, nullptr, 0), 0);
    }

    int32_t stream = (sf >> 8) & 0x7F;
    int32_t function = sf & 0xFF;
    char sftext[16];
    std::snprintf(sftext, sizeof sftext, "S%dF%d", stream, function);
    t.add(length >= kBigMessage ? "L:%6d DEV:0x%04x %c %-8s XID:0x%04x.%04x : "
                                : "LEN:%4d DEV:0x%04x %c %-8s XID:0x%04x.%04x : ",
          length, devid & 0xFFFF, (sf & 0x8000) != 0 ? 'W' : ' ', sftext, unsigned(xid >> 16),
          unsigned(xid & 0xFFFF));

    // The body is read only when the value is its length: an error record's
    // body does not hold the message the session handled last.
    bool message = (kind == 1 || kind == 2) && value >= 0;
    if (!message) {
        if (kind == 1 || kind == 2)
            t.add("%s", sftext);
        output_text(out, t.c_str());
        return 0;
    }
    int32_t direction = kind == 1 ? 0x3000 : 0x2000;
    char name[64] = "";
    int32_t h = XKSMsgParseOpen(direction | 0x8000 | (ctx->lib.trcttype & 0xF4), body, length,
                                XKSLoad(ctx->session[1]),
                                header, name);
    if (h > 0)
        XKSMsgParseClose(h, 0, body);
    t.add("%s", name[0] != '\0' ? name : sftext);
    output_text(out, t.c_str());

    int32_t disp = display_flags();
    if ((disp & QZVQ_DISP_LIST) != 0)
        list_lines(out, ctx->lib.trcttype | (kind == 1 ? 0x1000 : 0), body, length, header);
    if ((disp & QZVQ_DISP_HEXA) != 0)
        hexa_lines(out, header, body, length);
    return 0;
}

int32_t DispSECSMssg(int32_t flags, const uint8_t* body, int32_t length, const uint8_t* header)
{
    XKWLockGuard lock(log_lock(kOutSecs));
    list_lines(kOutSecs, flags, body, std::max(length, 0), header);
    return 0;
}

int32_t DispSECSHexa(int32_t side, const uint8_t* header, const uint8_t* body, int32_t length)
{
    int32_t out = side != 0 ? kOutSecs : 0;
    XKWLockGuard lock(log_lock(out));
    hexa_lines(out, header, body, std::max(length, 0));
    return 0;
}

int32_t PLCDispData(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
                    int32_t count, int32_t result, const void* data, int32_t plctype, int32_t direction)
{
    QZVQContext* ctx = QZVQGetContext();
    XKWLockGuard lock(log_lock(0));
    const auto* bytes = static_cast<const uint8_t*>(data);
    // Bytes of the caller's buffer that the result covers: count words at most.
    int32_t n = bytes != nullptr && result > 0 ? std::min(result, 2 * std::max(count, 0)) : 0;
    int32_t level = kind == QZVQ_KIND_HANDSHAKE ? 5 : 3;
    int32_t flags = direction == 1 ? QZVQ_DIR_READ : QZVQ_DIR_WRITE;
    bool state = kind == QZVQ_KIND_STATUS || kind == QZVQ_KIND_HANDSHAKE;

    if (state) {
        int32_t slot = seen_slot(ctx, code, address, bit, plctype);
        if (slot >= 0) {
            // A failed access is always shown, and the next good value after
            // it is shown again.
            bool repeat = n > 0 && ctx->seen[slot] == bytes[0];
            ctx->seen[slot] = n > 0 ? bytes[0] : -1;
            if (repeat && (display_flags() & QZVQ_DISP_REDUNDANT) == 0)
                return 0;
            if (repeat)
                flags |= QZVQ_LOG_NOTRACE;
        }
    }

    int32_t family = plctype & 15;
    char device[32];
    if (family == QZVQ_PLC_KEYENCE) {
        char type[sizeof code.text + 1] = {};
        std::memcpy(type, code.text, sizeof code.text);
        std::snprintf(device, sizeof device, "%-4s.0x%04X", type, unsigned(address));
    } else if (family == QZVQ_PLC_OMRON) {
        std::snprintf(device, sizeof device, "0x%02X.0x%04X:%02d", unsigned(code.number), unsigned(address), bit);
    } else {
        std::snprintf(device, sizeof device, "0x%02X.0x%04X", unsigned(code.number), unsigned(address));
    }
    Text<kTextSize> t;
    t.add(" [%s](%3d) %s %s %-11.11s", device, result, direction == 1 ? ">" : "<", direction == 1 ? "Get" : "Set",
          name != nullptr ? name : "");

    if (result <= 0)
        return log_text(__FILE__, __LINE__, __func__, flags, level, t.c_str());
    if (state) {
        t.add(" [%3d] ", 0);
        for (int32_t i = 0; i < n; ++i)
            t.add(" %4d ", bytes[i]);
        return log_text(__FILE__, __LINE__, __func__, flags, level, t.c_str());
    }

    // Information blocks and items: the words as dump lines, the first after
    // the line text, the others under it. Past TRCXDATA words only the last
    // line is shown.
    int32_t dumpflags = 0x8090 | ((ctx->cfg.trcttype & 0x08) != 0 ? 0x20000 : 0);
    int32_t limit = ctx->cfg.trcxdata > 0 ? ctx->cfg.trcxdata * 2 : 0;
    size_t indent = family == QZVQ_PLC_OMRON ? 41 : 38;
    int32_t offset = 0;
    int32_t carry = 0;
    bool first = true;
    char dump[XKW_DUMP_LINE_SIZE];
    if (n == 0)
        return log_text(__FILE__, __LINE__, __func__, flags, level, t.c_str());
    while (offset < n) {
        int32_t start = offset;
        if (XKWDumpLine(dumpflags, "", bytes, n, &offset, &carry, dump, sizeof dump) < 0 || offset <= start)
            break;
        bool last = offset >= n;
        if (first || last || limit == 0 || start < limit) {
            if (first) {
                t.add(" %s", dump);
            } else {
                t.clear();
                t.blanks(indent);
                t.add("%s", dump);
            }
            log_text(__FILE__, __LINE__, __func__, flags, level, t.c_str());
        }
        dumpflags = (dumpflags & ~0x70) | 0x20;
        first = false;
    }
    return 0;
}
