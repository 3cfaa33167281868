// Keyence KV upper link: one text command line, one reply line, over TCP or
// a serial line. Read (RDS), write (WRS), reset and set of consecutive bits
// (RSS, STS) as a client, the same protocol as the answering side, and an
// interactive test server.
//
// Devices are named by a type text and a number. Relays with channels (R,
// MR, LR, CR) number a bit as channel x 100 + bit on the wire, where the
// driver counts bits from 0 (16 a channel); B and VB are written in
// hexadecimal, everything else in decimal. Every line sent ends with CR LF.
//
// A serial link ((flags & 0x300) == 0x200) keeps the port handle in the
// control block's sd. TCP lines are read through a small receive buffer per
// connection, so that a line costs a few receives, not one a byte; the
// buffer belongs to the connection's calls and is emptied at Open and Close.
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "plc/QZRPLCInternal.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKW232C.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWTrace.h"

using namespace qzrplc;

namespace {

QZRPLCPcb* table[QZRPLC_SLOTS];

// How a device's number is written on the wire.
enum class Form { channel, hex, decimal };

struct Device {
    const char* type;
    int32_t unit;        // bytes per point
    const char* suffix;  // data format suffix with QZRPLC_KEYENCE_SUFFIX
    Form form;
};

// Device types in search order.
constexpr std::array<Device, 21> devices{{
    {"R", 1, "", Form::channel},     {"B", 1, "", Form::hex},         {"MR", 1, "", Form::channel},
    {"LR", 1, "", Form::channel},    {"CR", 1, "", Form::channel},    {"VB", 1, "", Form::hex},
    {"DM", 2, ".U", Form::decimal},  {"EM", 2, ".U", Form::decimal},  {"FM", 2, ".U", Form::decimal},
    {"ZF", 2, ".U", Form::decimal},  {"W", 2, ".U", Form::decimal},   {"TM", 2, ".U", Form::decimal},
    {"Z", 2, ".U", Form::decimal},   {"TC", 4, ".D", Form::decimal},  {"TS", 4, ".D", Form::decimal},
    {"CC", 4, ".D", Form::decimal},  {"CS", 4, ".D", Form::decimal},  {"CTH", 4, ".D", Form::decimal},
    {"CTC", 4, ".D", Form::decimal}, {"CM", 2, ".U", Form::decimal},  {"WM", 2, ".U", Form::decimal},
}};

constexpr const char* commands[] = {"", "RDS", "WRS", "RSS", "STS"};  // by request kind

// Serial line settings: index tables of the settings word.
constexpr int32_t speeds[16] = {300,   600,   1200,   2400,   4800,   9600, 14400, 19200,
                                38400, 56000, 57600, 115200, 128000, 256000, 9600, 9600};
constexpr int32_t data_bits[4] = {8, 5, 6, 7};
constexpr int32_t stop_bits[2] = {1, 2};
constexpr int32_t parities[4] = {XKW_232C_NONE, XKW_232C_ODD, XKW_232C_EVEN, XKW_232C_NONE};

constexpr int32_t start_timeout = 3000;  // ms for each answer of the link start and end
constexpr int32_t no_number = 99;        // start answer without an error number
constexpr int32_t max_error = 999999;    // largest error number taken from a reply
constexpr int32_t short_line = 64;       // room for a control line or a request without values

// Received bytes of a TCP connection not yet taken as a line.
struct Inbox {
    std::array<char, 1024> bytes;
    int32_t head;
    int32_t tail;
};
Inbox inbox[QZRPLC_SLOTS];

bool serial_link(const QZRPLCPcb* pcb)
{
    return (pcb->flags & QZRPLC_KEYENCE_LINK) == QZRPLC_KEYENCE_SERIAL;
}

const Device* find_device(const char* type)
{
    if (type == nullptr)
        return nullptr;
    for (const Device& d : devices)
        if (std::strcmp(d.type, type) == 0)
            return &d;
    return nullptr;
}

uint64_t unit_max(int32_t unit)
{
    return unit == 1 ? 0xFFu : unit == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

// A whole token of digits in base 10 or 16, at most max; false otherwise.
bool parse_number(std::string_view text, int base, uint64_t max, uint64_t* value)
{
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'                ? c - '0'
                    : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
        if (digit < 0)
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (v > max)
            return false;
    }
    *value = v;
    return true;
}

// The next blank-separated word of text, taken off its front.
std::string_view next_word(std::string_view& text)
{
    size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    size_t end = text.find(' ', start);
    std::string_view word = text.substr(start, end == std::string_view::npos ? text.size() - start : end - start);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end);
    return word;
}

// Decimal values separated by blanks into out (may be null) by unit, host
// order; at most max of them. Returns the count, -5 for a token that is
// not a number or too large for the unit, or more than max values.
int32_t parse_values(std::string_view text, int32_t unit, int32_t max, uint8_t* out)
{
    int32_t count = 0;
    for (std::string_view word = next_word(text); !word.empty(); word = next_word(text), ++count) {
        uint64_t v;
        if (count >= max || !parse_number(word, 10, unit_max(unit), &v))
            return QZRPLC_E_SHORT;
        if (out == nullptr)
            continue;
        uint8_t* p = out + static_cast<size_t>(count) * static_cast<size_t>(unit);
        if (unit == 1) {
            *p = static_cast<uint8_t>(v);
        } else if (unit == 2) {
            auto w = static_cast<uint16_t>(v);
            std::memcpy(p, &w, 2);
        } else {
            auto w = static_cast<uint32_t>(v);
            std::memcpy(p, &w, 4);
        }
    }
    return count;
}

// A line being built into a buffer of fixed size; fails once it would not fit.
class LineOut {
public:
    LineOut(char* line, size_t size) : line_(line), size_(size) { line_[0] = '\0'; }
    __attribute__((format(printf, 2, 3))) void add(const char* format, ...)
    {
        if (failed_)
            return;
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(line_ + length_, size_ - length_, format, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) >= size_ - length_)
            failed_ = true;
        else
            length_ += static_cast<size_t>(n);
    }
    int32_t result() const { return failed_ ? QZRPLC_E_DEVICE : static_cast<int32_t>(length_); }

private:
    char* line_;
    size_t size_;
    size_t length_ = 0;
    bool failed_ = false;
};

// " %01u", " %05u" or " %010u" for each of points values of unit bytes.
void add_values(LineOut& out, int32_t unit, const void* data, int32_t points, bool lead_blank)
{
    const auto* p = static_cast<const uint8_t*>(data);
    for (int32_t i = 0; i < points; ++i, p += unit) {
        const char* blank = lead_blank || i > 0 ? " " : "";
        if (unit == 1) {
            out.add("%s%01u", blank, static_cast<unsigned>(*p));
        } else if (unit == 2) {
            uint16_t w;
            std::memcpy(&w, p, 2);
            out.add("%s%05u", blank, static_cast<unsigned>(w));
        } else {
            uint32_t w;
            std::memcpy(&w, p, 4);
            out.add("%s%010u", blank, static_cast<unsigned>(w));
        }
    }
}

// Dump unit of the trace for values of unit bytes: bytes, words, long words.
int32_t dump_unit(int32_t unit)
{
    return unit / 2;
}

void trace_line(QZRPLCPcb* pcb, const char* way, int32_t rtn, const char* line, int32_t length)
{
    tracef(pcb, level_frame, "[%s]    PLC Data   rtn=%4d", way, rtn);
    if (rtn >= 0 && length > 0)
        tracef(pcb, level_frame, "%.*s", static_cast<int>(length), line);
}

// The next byte of a TCP connection: 1, or the socket layer's code.
int32_t next_byte(int32_t id, int32_t sd, char* c, int32_t timeout)
{
    Inbox& in = inbox[id];
    if (in.head >= in.tail) {
        int32_t r = XKNRead(sd, in.bytes.data(), static_cast<int32_t>(in.bytes.size()), timeout);
        if (r <= 0)
            return r < 0 ? r : XKW_E_CLOSED;
        in.head = 0;
        in.tail = r;
    }
    *c = in.bytes[static_cast<size_t>(in.head++)];
    return 1;
}

// One TCP line up to LF without its control characters. A line that does
// not fit gives -1 once its end has been read (bounded: after a line
// buffer's worth of bytes more the rest is left).
int32_t read_tcp_line(int32_t id, int32_t sd, char* line, int32_t size, int32_t timeout)
{
    int32_t n = 0;
    bool over = false;
    const int32_t limit = size + QZRPLC_KEYENCE_LINE;
    int32_t rc = QZRPLC_E_DEVICE;
    for (int32_t taken = 0; taken < limit; ++taken) {
        char c;
        int32_t r = next_byte(id, sd, &c, timeout);
        if (r < 0) {
            rc = taken > 0 ? QZRPLC_E_SHORT : r;
            break;
        }
        if (c == '\n') {
            rc = over ? QZRPLC_E_DEVICE : n;
            break;
        }
        if (static_cast<unsigned char>(c) < 0x20)
            continue;
        if (n < size - 1)
            line[n++] = c;
        else
            over = true;
    }
    line[rc >= 0 ? n : 0] = '\0';
    return rc;
}

// One serial line up to LF (at most size - 1 bytes) without the CR and LF
// around it; an empty line gives -238.
int32_t read_serial_line(int32_t sd, char* line, int32_t size, int32_t timeout)
{
    int32_t r = XKW232CRead(sd, line, size - 1, timeout > 0 ? -timeout : 0, '\n');
    if (r < 0) {
        line[0] = '\0';
        return r;
    }
    int32_t start = 0, end = r;
    while (start < end && (line[start] == '\r' || line[start] == '\n'))
        ++start;
    while (end > start && (line[end - 1] == '\r' || line[end - 1] == '\n'))
        --end;
    int32_t n = end - start;
    std::memmove(line, line + start, static_cast<size_t>(n));
    line[n] = '\0';
    return n > 0 ? n : QZRPLC_E_EMPTY;
}

// Send a line and receive the reply line into reply (size bytes); returns
// the reply's length or an error.
int32_t exchange(int32_t id, const char* line, int32_t length, char* reply, int32_t size, int32_t timeout)
{
    int32_t rc = QZRPLCKeyencePacketWrite(id, line, length);
    return rc < 0 ? rc : QZRPLCKeyencePacketRead(id, reply, size, timeout);
}

// Checks shared by Get, Set and Bit: the type's unit or an error.
int32_t check_call(int32_t id, const char* type, int32_t address, int32_t points, const void* buffer)
{
    int32_t unit = QZRPLCKeyenceCodeType(type, points, nullptr);
    if (unit < 0)
        return unit;
    if (points < 1 || buffer == nullptr || address < 0)
        return XKW_E_INVAL;
    return QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0 ? XKW_E_BADHANDLE : unit;
}

// The reply to a write or a bit command: 0 for "OK", the PLC's error, or -5.
int32_t expect_ok(int32_t id, const char* reply, int32_t rc, const char* type)
{
    if (rc >= 0)
        rc = QZRPLCKeyencePacketParse(id, reply, nullptr, type);
    return rc >= 0 && std::strcmp(reply, "OK") != 0 ? QZRPLC_E_SHORT : rc;
}

// The error number of an answer "<letter><n>", or 99 when it carries none.
int32_t answer_number(const char* reply)
{
    uint64_t n;
    if (reply[0] == '\0' || !parse_number(reply + 1, 10, max_error, &n))
        return no_number;
    return static_cast<int32_t>(n);
}

// A serial client starts the link: CQ (any answer), then CR, answered CC.
int32_t start_serial(int32_t id)
{
    char reply[short_line];
    int32_t rc = QZRPLCKeyencePacketWrite(id, "CQ", 2);
    if (rc < 0)
        return rc;
    QZRPLCKeyencePacketRead(id, reply, sizeof reply, start_timeout);
    rc = QZRPLCKeyencePacketWrite(id, "CR", 2);
    if (rc < 0)
        return rc;
    rc = QZRPLCKeyencePacketRead(id, reply, sizeof reply, start_timeout);
    if (rc >= 0 && std::strcmp(reply, "CC") == 0)
        return 0;
    return -(QZRPLC_E_END_BASE + (rc >= 0 ? answer_number(reply) : no_number));
}

// Open a serial link on the port named host with the settings word.
int32_t open_serial(int32_t flags, const char* host, int32_t settings, const char* dir, int32_t level)
{
    if (host == nullptr || *host == '\0')
        return XKW_E_INVAL;
    bool server = (flags & QZRPLC_FLAG_SERVER) != 0;
    // A device path would put the trace file into /dev: name it by the
    // device's own name.
    const char* slash = std::strrchr(host, '/');
    char link[16];
    std::snprintf(link, sizeof link, "0x%04x", settings & 0xFFFF);
    int32_t id = open_slot(table, flags, dir, slash != nullptr ? slash + 1 : host, link, level);
    if (id < 0)
        return id;
    QZRPLCPcb* pcb = table[id];
    int32_t rc = XKW232COpen(host, speeds[settings & 0xF], data_bits[(settings >> 8) & 3],
                             parities[(settings >> 12) & 3], stop_bits[(settings >> 10) & 1], 0);
    tracef(pcb, level_connect, "[Connect] PLC [%s:0x%04x]", host, settings & 0xFFFF);
    if (rc > 0) {
        pcb->sd = rc;
        rc = server ? 0 : start_serial(id);
    }
    if (rc < 0) {
        tracef(pcb, level_connect, "                     rtn=%4d", rc);
        if (pcb->sd > 0)
            XKW232CClose(pcb->sd);
        pcb->sd = 0;
        close_link(table, id);
        return rc;
    }
    return id;
}

// Device word of a request: type letters, number, an optional ".X"
// suffix. B and VB numbers are hexadecimal and may begin with a letter.
int32_t parse_device(std::string_view word, const Device** device, int32_t* address)
{
    word = word.substr(0, word.find('.'));
    size_t digits = word.find_first_of("0123456789");
    std::string_view letters = word.substr(0, digits == std::string_view::npos ? word.size() : digits);
    char type[QZRPLC_KEYENCE_TEXT] = "R";
    if (!letters.empty())
        std::snprintf(type, sizeof type, "%.*s", static_cast<int>(letters.size()), letters.data());
    const Device* d = letters.size() < sizeof type ? find_device(type) : nullptr;
    if (d == nullptr && letters.substr(0, 2) == "VB")
        d = find_device("VB");
    else if (d == nullptr && letters.substr(0, 1) == "B")
        d = find_device("B");
    if (d == nullptr)
        return QZRPLC_E_DEVICE;
    std::string_view number = word.substr(letters.empty() ? 0 : std::strlen(d->type));
    uint64_t n;
    if (!parse_number(number, d->form == Form::hex ? 16 : 10, 0x7FFFFFFF, &n))
        return QZRPLC_E_SHORT;
    *device = d;
    *address = static_cast<int32_t>(d->form == Form::channel ? n / 100 * 16 + n % 100 : n);
    return 0;
}

bool data_command(const char* command)
{
    for (int kind = QZRPLC_KEYENCE_RDS; kind <= QZRPLC_KEYENCE_STS; ++kind)
        if (std::strcmp(command, commands[kind]) == 0)
            return true;
    return false;
}

void copy_text(char* out, std::string_view text)
{
    if (out != nullptr)
        std::snprintf(out, QZRPLC_KEYENCE_TEXT, "%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace

int32_t QZRPLCKeyenceOpen(int32_t flags, const char* host, int32_t port, int32_t option, const char* dir,
                          int32_t level)
{
    int32_t id = (flags & QZRPLC_KEYENCE_LINK) == QZRPLC_KEYENCE_SERIAL
                     ? open_serial(flags, host, port, dir, level)
                     : open_link(table, flags, host, port, dir, level);
    if (id > 0) {
        table[id]->mode = option;
        inbox[id].head = inbox[id].tail = 0;
    }
    return id;
}

int32_t QZRPLCKeyenceClose(int32_t id, int32_t /*mode*/)
{
    QZRPLCPcb* pcb = QZRPLCKeyenceAcb(id);
    if (pcb == nullptr)
        return 0;
    if (serial_link(pcb) && pcb->sd > 0) {
        if ((pcb->flags & QZRPLC_FLAG_SERVER) == 0 && QZRPLCKeyencePacketWrite(id, "CQ", 2) > 0) {
            char reply[short_line];
            QZRPLCKeyencePacketRead(id, reply, sizeof reply, start_timeout);
        }
        XKW232CClose(pcb->sd);
        pcb->sd = 0;
    }
    inbox[id].head = inbox[id].tail = 0;
    close_link(table, id);
    return 0;
}

QZRPLCPcb* QZRPLCKeyenceAcb(int32_t id)
{
    return slot_at(table, id);
}

int32_t QZRPLCKeyenceCodeType(const char* type, int32_t points, int32_t* index)
{
    if (points < 0 || points > QZRPLC_KEYENCE_POINTS)
        return QZRPLC_E_DEVICE;
    const Device* d = find_device(type);
    if (d == nullptr)
        return QZRPLC_E_DEVICE;
    if (index != nullptr)
        *index = static_cast<int32_t>(d - devices.data());
    return d->unit;
}

int32_t QZRPLCKeyencePacketBuild(int32_t id, char* line, const void* data, int32_t kind, const char* type,
                                 int32_t address, int32_t points)
{
    QZRPLCPcb* pcb = QZRPLCKeyenceAcb(id);
    if (pcb == nullptr)
        return XKW_E_BADHANDLE;
    if (line == nullptr || kind > QZRPLC_KEYENCE_STS)
        return XKW_E_INVAL;
    LineOut out(line, QZRPLC_KEYENCE_LINE);
    if (kind < 0) {
        out.add("E%d", -kind);
        return out.result();
    }
    if (kind == 0 && points == 0) {
        out.add("OK");
        return out.result();
    }
    const Device* d = find_device(type);
    if (d == nullptr || points < 0 || points > QZRPLC_KEYENCE_POINTS)
        return QZRPLC_E_DEVICE;
    bool values = kind == 0 || kind == QZRPLC_KEYENCE_WRS;
    if ((values && points > 0 && data == nullptr) || address < 0)
        return XKW_E_INVAL;
    if (kind > 0) {
        const char* text = d->form == Form::channel && std::strcmp(d->type, "R") == 0 ? "" : d->type;
        const char* suffix = (pcb->flags & QZRPLC_KEYENCE_SUFFIX) != 0 ? d->suffix : "";
        if (d->form == Form::hex)
            out.add("%s %s%x%s %d", commands[kind], text, static_cast<unsigned>(address), suffix, points);
        else
            out.add("%s %s%d%s %d", commands[kind], text,
                    d->form == Form::channel ? address / 16 * 100 + address % 16 : address, suffix, points);
    }
    if (values)
        add_values(out, d->unit, data, points, kind > 0);
    return out.result();
}

int32_t QZRPLCKeyencePacketWrite(int32_t id, const char* line, int32_t length)
{
    if (QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (line == nullptr || length < 0 || length > QZRPLC_KEYENCE_LINE - 2)
        return XKW_E_INVAL;
    QZRPLCPcb* pcb = table[id];
    // Line and CR LF in one write, so that they leave together.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(length) + 2]);
    if (buffer == nullptr)
        return XKW_E_NOMEM;
    std::memcpy(buffer.get(), line, static_cast<size_t>(length));
    buffer[static_cast<size_t>(length)] = '\r';
    buffer[static_cast<size_t>(length) + 1] = '\n';
    int32_t rc = serial_link(pcb) ? XKW232CWrite(pcb->sd, buffer.get(), length + 2)
                                  : XKNWrite(pcb->sd, buffer.get(), length + 2);
    trace_line(pcb, "Send", rc, line, length);
    return rc;
}

int32_t QZRPLCKeyencePacketRead(int32_t id, char* line, int32_t size, int32_t timeout)
{
    if (QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (line == nullptr || size < 1)
        return XKW_E_INVAL;
    QZRPLCPcb* pcb = table[id];
    int32_t rc = serial_link(pcb) ? read_serial_line(pcb->sd, line, size, timeout)
                                  : read_tcp_line(id, pcb->sd, line, size, timeout);
    trace_line(pcb, "Recv", rc, line, rc);
    return rc;
}

int32_t QZRPLCKeyencePacketParse(int32_t id, const char* line, void* data, const char* type)
{
    if (QZRPLCCheckPcb(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (line == nullptr)
        return XKW_E_INVAL;
    std::string_view text(line);
    if (text == "OK")
        return 0;
    uint64_t n;
    if (text.substr(0, 1) == "E")
        return parse_number(text.substr(1), 10, max_error, &n) ? -(QZRPLC_E_END_BASE + static_cast<int32_t>(n))
                                                                : QZRPLC_E_SHORT;
    int32_t unit = QZRPLCKeyenceCodeType(type, 0, nullptr);
    if (unit < 0)
        return unit;
    int32_t count = parse_values(text, unit, QZRPLC_KEYENCE_POINTS, static_cast<uint8_t*>(data));
    if (count == 0)
        return QZRPLC_E_SHORT;  // neither OK, an error nor values
    return count < 0 ? count : count * unit;
}

int32_t QZRPLCKeyenceGet(int32_t id, int32_t flags, const char* type, int32_t address, int32_t points,
                         void* buffer, int32_t timeout)
{
    QZRPLCPcb* pcb = QZRPLCKeyenceAcb(id);
    tracef(pcb, level_call, "[Get]     PLC  dcd=%-3s  add=0x%04x  nod=%4d", type != nullptr ? type : "", address,
           points);
    int32_t unit = check_call(id, type, address, points, buffer);
    int32_t rc = unit;
    if (unit > 0) {
        char request[short_line];
        std::unique_ptr<char[]> reply(new (std::nothrow) char[QZRPLC_KEYENCE_LINE]);
        CallLock hold(pcb, flags);
        rc = QZRPLCKeyencePacketBuild(id, request, nullptr, QZRPLC_KEYENCE_RDS, type, address, points);
        if (reply == nullptr)
            rc = XKW_E_NOMEM;
        if (rc > 0)
            rc = exchange(id, request, rc, reply.get(), QZRPLC_KEYENCE_LINE, timeout);
        // The reply is taken apart in a buffer of its own: only a reply of
        // exactly the points asked for reaches the caller's.
        uint8_t parsed[QZRPLC_KEYENCE_POINTS * 4];
        if (rc >= 0)
            rc = QZRPLCKeyencePacketParse(id, reply.get(), parsed, type);
        if (rc >= 0 && rc != points * unit)
            rc = QZRPLC_E_SHORT;
        if (rc > 0)
            std::memcpy(buffer, parsed, static_cast<size_t>(rc));
    }
    if (rc > 0)
        QZRPLCTraceWriteData(pcb, level_call, dump_unit(unit), "  Data", buffer, rc);
    else
        tracef(pcb, level_call, "                     rtn=%4d", rc);
    return rc;
}

int32_t QZRPLCKeyenceSet(int32_t id, int32_t flags, const char* type, int32_t address, int32_t points,
                         const void* data, int32_t timeout)
{
    QZRPLCPcb* pcb = QZRPLCKeyenceAcb(id);
    tracef(pcb, level_call, "[Set]     PLC  dcd=%-3s  add=0x%04x  nod=%4d", type != nullptr ? type : "", address,
           points);
    int32_t unit = check_call(id, type, address, points, data);
    int32_t rc = unit;
    if (unit > 0) {
        std::unique_ptr<char[]> request(new (std::nothrow) char[QZRPLC_KEYENCE_LINE]);
        char reply[short_line];
        QZRPLCTraceWriteData(pcb, level_call, dump_unit(unit), "  Data", data, points * unit);
        CallLock hold(pcb, flags);
        rc = request == nullptr ? XKW_E_NOMEM
                                : QZRPLCKeyencePacketBuild(id, request.get(), data, QZRPLC_KEYENCE_WRS, type,
                                                           address, points);
        if (rc > 0)
            rc = expect_ok(id, reply, exchange(id, request.get(), rc, reply, sizeof reply, timeout), type);
        if (rc >= 0)
            rc = points * unit;
    }
    if (rc < 0)
        tracef(pcb, level_call, "                     rtn=%4d", rc);
    return rc;
}

int32_t QZRPLCKeyenceBit(int32_t id, int32_t flags, const char* type, int32_t address, int32_t points,
                         int32_t value, int32_t timeout)
{
    QZRPLCPcb* pcb = QZRPLCKeyenceAcb(id);
    tracef(pcb, level_call, "[%-3s]     PLC  dcd=%-3s  add=0x%04x  nod=%4d", value != 0 ? "ON" : "OFF",
           type != nullptr ? type : "", address, points);
    int32_t rc = check_call(id, type, address, points, &value);
    if (rc > 0) {
        char request[short_line];
        char reply[short_line];
        CallLock hold(pcb, flags);
        rc = QZRPLCKeyencePacketBuild(id, request, nullptr, value != 0 ? QZRPLC_KEYENCE_STS : QZRPLC_KEYENCE_RSS,
                                      type, address, points);
        if (rc > 0)
            rc = expect_ok(id, reply, exchange(id, request, rc, reply, sizeof reply, timeout), type);
    }
    if (rc < 0)
        tracef(pcb, level_call, "                     rtn=%4d", rc);
    return rc < 0 ? rc : 0;
}

int32_t QZRPLCKeyenceServRecv(int32_t id, int32_t /*mode*/, char* command, char* type, int32_t* address,
                              int32_t* points, void* data, int32_t timeout)
{
    copy_text(command, "");
    copy_text(type, "");
    int32_t add = 0, nod = 0;
    std::unique_ptr<char[]> line(new (std::nothrow) char[QZRPLC_KEYENCE_LINE]);
    int32_t rc = line == nullptr ? XKW_E_NOMEM : QZRPLCKeyencePacketRead(id, line.get(), QZRPLC_KEYENCE_LINE, timeout);
    char cmd[QZRPLC_KEYENCE_TEXT] = "";
    const Device* d = nullptr;
    if (rc >= 0) {
        std::string_view rest(line.get());
        copy_text(cmd, next_word(rest));
        rc = 0;
        uint64_t n = 0;
        if (data_command(cmd)) {
            rc = parse_device(next_word(rest), &d, &add);
            if (rc == 0 && !parse_number(next_word(rest), 10, QZRPLC_KEYENCE_POINTS, &n))
                rc = QZRPLC_E_SHORT;
            nod = static_cast<int32_t>(n);
        }
        if (rc == 0 && std::strcmp(cmd, "WRS") == 0) {
            if (data == nullptr)
                rc = XKW_E_INVAL;
            else if (parse_values(rest, d->unit, nod, static_cast<uint8_t*>(data)) != nod)
                rc = QZRPLC_E_SHORT;
            else
                rc = nod * d->unit;
        }
    }
    copy_text(command, cmd);
    copy_text(type, d != nullptr ? d->type : "");
    if (address != nullptr)
        *address = add;
    if (points != nullptr)
        *points = nod;
    QZRPLCPcb* pcb = QZRPLCKeyenceAcb(id);
    tracef(pcb, level_call, "[Recv]    PLC  cmd=%-3s  dcd=%-3s  add=0x%04x  nod=%4d  rtn=%d", cmd,
           d != nullptr ? d->type : "", add, nod, rc);
    if (rc > 0)
        QZRPLCTraceWriteData(pcb, level_call, dump_unit(d->unit), "  Data", data, rc);
    return rc;
}

int32_t QZRPLCKeyenceServSend(int32_t id, int32_t /*mode*/, const char* command, const char* type,
                              int32_t address, int32_t points, const void* data, int32_t /*timeout*/)
{
    QZRPLCPcb* pcb = QZRPLCKeyenceAcb(id);
    if (command == nullptr)
        return XKW_E_INVAL;
    tracef(pcb, level_call, "[Send]    PLC  cmd=%-3s  dcd=%-3s  add=0x%04x  nod=%4d", command,
           type != nullptr ? type : "", address, points);
    if (!data_command(command)) {
        int32_t rc = QZRPLCKeyencePacketWrite(id, command, static_cast<int32_t>(std::strlen(command)));
        return rc < 0 ? rc : 0;
    }
    std::unique_ptr<char[]> line(new (std::nothrow) char[QZRPLC_KEYENCE_LINE]);
    if (line == nullptr)
        return XKW_E_NOMEM;
    int32_t rc = QZRPLCKeyencePacketBuild(id, line.get(), data, 0, type, address, points);
    if (rc > 0)
        rc = QZRPLCKeyencePacketWrite(id, line.get(), rc);
    if (rc < 0)
        return rc;
    int32_t unit = points > 0 ? QZRPLCKeyenceCodeType(type, points, nullptr) : 0;
    if (unit > 0)
        QZRPLCTraceWriteData(pcb, level_call, dump_unit(unit), "  Data", data, points * unit);
    return points * unit;
}

// ---- test server ----

namespace {

// The answer of the test server to a command it has taken in: the values
// or "OK" for the data commands, CC to CR, CF to CQ, E1 to anything else.
const char* answer_to(const char* command, int32_t rc)
{
    if (rc >= 0 && data_command(command))
        return command;
    if (rc >= 0 && std::strcmp(command, "CR") == 0)
        return "CC";
    if (rc >= 0 && std::strcmp(command, "CQ") == 0)
        return "CF";
    return "E1";
}

// Answer one connection's commands until its link fails, then close it.
void serve_link(int32_t id)
{
    std::vector<uint8_t> buffer(QZRPLC_KEYENCE_POINTS * 4);
    uint8_t* data = buffer.data();
    for (;;) {
        char cmd[QZRPLC_KEYENCE_TEXT], dcd[QZRPLC_KEYENCE_TEXT];
        int32_t add = 0, nod = 0;
        int32_t rc = QZRPLCKeyenceServRecv(id, 0, cmd, dcd, &add, &nod, data, 0);
        // A line that came in but could not be taken apart is answered;
        // only a failing link ends the connection. A bare CR LF on a
        // serial line is no command at all.
        if (rc == QZRPLC_E_EMPTY)
            continue;
        if (rc < 0 && cmd[0] == '\0') {
            std::printf("Receive error (%d)\n", rc);
            break;
        }
        std::printf("Recv  len=%4d  cmd=%-3s  dcd=%-3s  add=0x%04x  nod=%3d\n", rc, cmd, dcd, add, nod);
        const char* answer = answer_to(cmd, rc);
        int32_t values = 0;
        int32_t unit = QZRPLCKeyenceCodeType(dcd, nod, nullptr);
        if (answer == cmd && std::strcmp(cmd, "RDS") == 0 && unit > 0) {
            std::fill(buffer.begin(), buffer.end(), 0);
            values = nod;
            prompt_values(unit, nod, data);
        } else if (answer == cmd && std::strcmp(cmd, "WRS") == 0) {
            print_dump(data, rc);
        }
        rc = QZRPLCKeyenceServSend(id, 0, answer, dcd, add, values, data, 0);
        if (rc < 0) {
            std::printf("Send error (%d)\n", rc);
            break;
        }
        std::printf("Send  len=%4d  cmd=%-3s  dcd=%-3s  add=0x%04x  nod=%3d\n", rc, cmd, dcd, add, nod);
        std::fflush(stdout);
    }
    QZRPLCKeyenceClose(id, 0);
    std::printf("Close\n");
    std::fflush(stdout);
}

// Open the answering side of a link and serve it; 0, or the error of the open.
int32_t serve_open(int32_t flags, const char* host, int32_t port)
{
    int32_t id = QZRPLCKeyenceOpen(flags, host, port, 0, "", 10);
    if (id < 0) {
        std::printf("Server open error (%d)\n", id);
        std::fflush(stdout);
        return id;
    }
    std::printf("Open  id=%d  mode=0x%04x  port=0x%04x  host=%s\n", id, flags, port, host);
    std::fflush(stdout);
    serve_link(id);
    return 0;
}

void serve_tcp_link(int32_t sd, const char* peer)
{
    if (serve_open(QZRPLC_FLAG_SERVER, peer, sd) < 0)
        XKNClose(sd);
}

constexpr int32_t server_settings = 0x2005;  // 9600 bit/s, 8 data bits, 1 stop bit, even parity

}  // namespace

int32_t QZRPLCKeyenceServer(int32_t mode, int32_t port)
{
    if ((mode & QZRPLC_KEYENCE_LINK) != QZRPLC_KEYENCE_SERIAL)
        return serve_tcp(port, serve_tcp_link);
    char name[32];
    std::snprintf(name, sizeof name, "COM%d", port);
    int32_t rc = serve_open(QZRPLC_FLAG_SERVER | QZRPLC_KEYENCE_SERIAL, name, server_settings);
    return rc < 0 ? rc : XKW_E_CLOSED;
}
