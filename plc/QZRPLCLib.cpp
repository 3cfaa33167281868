// What the PLC drivers share: the connection tables and their ids, the id
// checks, the per-connection trace file, byte-order helpers and the
// wrapping counter. Each driver owns one table of QZRPLC_SLOTS pointers;
// its connection ids are the slot numbers 1..16.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "plc/QZRPLCInternal.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWDump.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWThread.h"
#include "runtime/XKWTrace.h"

namespace {

// Trace settings of a connection's file: the file itself with numbered
// generations, three kept (0x342); date, time with milliseconds and level
// on each line, CR LF ends (0x800B); 5 MB per generation.
constexpr int32_t trace_out = 0x342;
constexpr int32_t trace_attr = 0x800B;
constexpr int32_t trace_size = 0x500000;
constexpr int32_t trace_mode = 0x40;

// Serialises the slot search of every family and the setting of the
// process trace defaults with the open that uses them.
std::mutex& table_lock()
{
    static std::mutex lock;
    return lock;
}

// Ids 1..count of a family table; a single control block passed by itself
// (count below 2) is entry 0.
bool valid_id(int32_t count, int32_t id)
{
    return count < 2 ? id == 0 : id >= 1 && id <= count && id <= QZRPLC_MAXID;
}

template <size_t N>
void reverse_each(int32_t flag, void* buffer, int32_t count)
{
    if (flag == 0 || buffer == nullptr)
        return;
    auto* p = static_cast<uint8_t*>(buffer);
    for (int32_t i = 0; i < count; ++i, p += N)
        for (size_t k = 0; k < N / 2; ++k) {
            uint8_t t = p[k];
            p[k] = p[N - 1 - k];
            p[N - 1 - k] = t;
        }
}

}  // namespace

int32_t QZRPLCSearchId(QZRPLCPcb** table, int32_t count)
{
    if (table == nullptr)
        return XKW_E_INVAL;
    std::lock_guard<std::mutex> hold(table_lock());
    for (int32_t id = 1; id <= count && id < QZRPLC_SLOTS; ++id) {
        if (table[id] != nullptr)
            continue;
        table[id] = static_cast<QZRPLCPcb*>(std::calloc(1, sizeof(QZRPLCPcb)));
        return table[id] != nullptr ? id : XKW_E_NOMEM;
    }
    return XKW_E_FULL;
}

int32_t QZRPLCCheckPcb(QZRPLCPcb* const* table, int32_t count, int32_t id)
{
    return table != nullptr && valid_id(count, id) && table[id] != nullptr ? 0 : XKW_E_BADHANDLE;
}

int32_t QZRPLCCheckPcbSd(QZRPLCPcb* const* table, int32_t count, int32_t id)
{
    return QZRPLCCheckPcb(table, count, id) == 0 && table[id]->sd > 0 ? 0 : XKW_E_BADHANDLE;
}

int32_t QZRPLCCheckPcbTd(QZRPLCPcb* const* table, int32_t count, int32_t id)
{
    return QZRPLCCheckPcb(table, count, id) == 0 && table[id]->trace > 0 ? 0 : XKW_E_BADHANDLE;
}

int32_t QZRPLCTraceOpen(QZRPLCPcb* pcb, const char* file, int32_t level)
{
    if (pcb == nullptr || file == nullptr)
        return XKW_E_INVAL;
    if (level <= 0)
        return 0;
    // The defaults are process-wide: set and used under one lock, so that
    // two connections opening at once each get their own level.
    std::lock_guard<std::mutex> hold(table_lock());
    XKWTraceSetDefaults("", trace_out, trace_attr, level, trace_size);
    int32_t handle = XKWTraceOpenId(trace_mode, file, nullptr, trace_size);
    if (handle < 0)
        return handle;
    pcb->trace = handle;
    return 0;
}

int32_t QZRPLCTraceClose(QZRPLCPcb* pcb)
{
    if (pcb != nullptr && pcb->trace > 0) {
        XKWTraceCloseId(pcb->trace);
        pcb->trace = 0;
    }
    return 0;
}

int32_t QZRPLCTraceWrite(QZRPLCPcb* pcb, int32_t level, const char* text)
{
    if (pcb == nullptr || pcb->trace <= 0 || text == nullptr)
        return 0;
    return XKWTraceWriteId(__FILE__, __LINE__, __func__, pcb->trace, 0, level, "DB", "%s", text);
}

int32_t QZRPLCTraceWriteData(QZRPLCPcb* pcb, int32_t level, int32_t unit, const char* label, const void* data,
                             int32_t length)
{
    if (pcb == nullptr || pcb->trace <= 0 || data == nullptr || length <= 0)
        return 0;
    return XKWTraceDumpId(__FILE__, __LINE__, __func__, pcb->trace, unit * 0x1000 + 0x10, level, "DB",
                          label != nullptr ? label : "", data, length);
}

void QZRPLCByte2(int32_t flag, void* buffer, int32_t count)
{
    reverse_each<2>(flag, buffer, count);
}

void QZRPLCByte4(int32_t flag, void* buffer, int32_t count)
{
    reverse_each<4>(flag, buffer, count);
}

int32_t QZRPLCCountAdd(QZRPLCPcb* pcb, int32_t maximum)
{
    if (pcb == nullptr)
        return XKW_E_INVAL;
    int32_t next = pcb->count + 1;
    pcb->count = next > maximum || next < 0 ? 0 : next;
    return pcb->count;
}

// ---- helpers of the drivers ----

void qzrplc::tracef(QZRPLCPcb* pcb, int32_t level, const char* format, ...)
{
    if (pcb == nullptr || pcb->trace <= 0)
        return;
    char text[XKW_TRACE_LINE_MAX + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    QZRPLCTraceWrite(pcb, level, text);
}

int32_t qzrplc::open_slot(QZRPLCPcb** table, int32_t flags, const char* dir, const char* name, const char* link,
                          int32_t level)
{
    if (dir == nullptr || *dir == '\0')
        dir = ".";
    char file[XKW_PATH_MAX];
    int n = (flags & QZRPLC_FLAG_SERVER) != 0 ? std::snprintf(file, sizeof file, "%s/PLC(Server_%s).trc", dir, name)
                                              : std::snprintf(file, sizeof file, "%s/PLC(%s_%s).trc", dir, name, link);
    if (n < 0 || static_cast<size_t>(n) >= sizeof file)
        return XKW_E_INVAL;
    int32_t id = QZRPLCSearchId(table, QZRPLC_MAXID);
    if (id < 0)
        return id;
    QZRPLCPcb* pcb = table[id];
    pcb->flags = flags;
    int32_t rc = QZRPLCTraceOpen(pcb, file, level);
    if (rc == 0) {
        pcb->lock = XKWLockCreateId();
        rc = pcb->lock < 0 ? pcb->lock : 0;
    }
    if (rc < 0) {
        close_link(table, id);
        return rc;
    }
    return id;
}

int32_t qzrplc::open_link(QZRPLCPcb** table, int32_t flags, const char* host, int32_t port, const char* dir,
                          int32_t level)
{
    if (host == nullptr)
        host = "";
    bool server = (flags & QZRPLC_FLAG_SERVER) != 0;
    if (server && port <= 0)
        return XKW_E_INVAL;
    char link[16];
    std::snprintf(link, sizeof link, "%06d", port & 0xFFFF);
    int32_t id = open_slot(table, flags, dir, host, link, level);
    if (id < 0)
        return id;
    QZRPLCPcb* pcb = table[id];
    int32_t rc = server ? port : XKNTCPConnectTo(host, port, nullptr);
    tracef(pcb, level_connect, "[Connect] PLC [%s:%d]  rtn=%d", host, port & 0xFFFF, rc);
    if (rc < 0) {
        close_link(table, id);
        return rc;
    }
    pcb->sd = rc;
    return id;
}

void qzrplc::close_link(QZRPLCPcb** table, int32_t id)
{
    if (table == nullptr || id < 1 || id > QZRPLC_MAXID || table[id] == nullptr)
        return;
    QZRPLCPcb* pcb = table[id];
    if (pcb->sd > 0) {
        XKNShutdown(pcb->sd, 3);
        XKNClose(pcb->sd);
        pcb->sd = 0;
    }
    QZRPLCTraceWrite(pcb, level_connect, "[Close]   PLC\n\n\n");
    QZRPLCTraceClose(pcb);
    if (pcb->lock > 0)
        XKWLockDeleteId(pcb->lock);
    {
        std::lock_guard<std::mutex> hold(table_lock());
        table[id] = nullptr;
    }
    std::free(pcb);
}

int32_t qzrplc::read_exact(int32_t sd, void* buffer, int32_t length, int32_t timeout, bool started)
{
    auto* p = static_cast<uint8_t*>(buffer);
    for (int32_t got = 0; got < length;) {
        int32_t r = XKNRead(sd, p + got, length - got, timeout);
        if (r <= 0)
            return started || got > 0 ? QZRPLC_E_SHORT : (r < 0 ? r : XKW_E_CLOSED);
        got += r;
    }
    return length;
}

void qzrplc::trace_frame(QZRPLCPcb* pcb, const char* way, int32_t rtn, const uint8_t* frame, int32_t length,
                         int32_t head_max, int32_t data_offset)
{
    if (pcb == nullptr || pcb->trace <= 0)
        return;
    tracef(pcb, level_frame, "[%s]    PLC Data   rtn=%4d", way, rtn);
    if (rtn <= 0)
        return;
    QZRPLCTraceWriteData(pcb, level_head, 0, "  Head", frame, length < head_max ? length : head_max);
    if (length > data_offset)
        QZRPLCTraceWriteData(pcb, level_data, 0, "  Data", frame + data_offset, length - data_offset);
}

qzrplc::CallLock::CallLock(const QZRPLCPcb* pcb, int32_t flags)
{
    if ((flags & QZRPLC_FLAG_LOCK) != 0 && pcb->lock > 0 && XKWLockEnterId(pcb->lock, 0) == 0)
        lock_ = pcb->lock;
}

qzrplc::CallLock::~CallLock()
{
    if (lock_ > 0)
        XKWLockLeaveId(lock_);
}

// ---- interactive test servers ----

namespace {

std::mutex& console_lock()  // one "Data:" prompt and its answer at a time
{
    static std::mutex lock;
    return lock;
}

struct Accepted {
    int32_t sd;
    char peer[XKN_NAMESIZE];
    void (*serve)(int32_t, const char*);
};

void serve_accepted(void* argument)
{
    auto* accepted = static_cast<Accepted*>(argument);
    accepted->serve(accepted->sd, accepted->peer);
    std::free(accepted);
}

}  // namespace

void qzrplc::prompt_values(int32_t size, int32_t points, uint8_t* data)
{
    std::lock_guard<std::mutex> hold(console_lock());
    std::printf("Data:");
    std::fflush(stdout);
    char word[8192] = "";
    if (std::scanf("%8191s", word) != 1)
        word[0] = '\0';
    const char* p = word;
    for (int32_t i = 0; i < points; ++i) {
        char* end;
        unsigned long v = std::strtoul(p, &end, 10);
        if (end == p)
            break;
        if (size == 1) {
            data[i] = static_cast<uint8_t>(v);
        } else if (size == 2) {
            auto w = static_cast<uint16_t>(v);
            std::memcpy(data + 2 * i, &w, 2);
        } else {
            auto w = static_cast<uint32_t>(v);
            std::memcpy(data + 4 * i, &w, 4);
        }
        p = *end == ',' ? end + 1 : end;
    }
}

void qzrplc::print_dump(const uint8_t* data, int32_t length)
{
    char line[XKW_DUMP_LINE_SIZE];
    int32_t offset = 0, carry = 0;
    while (offset < length && XKWDumpLine(0, "  Data", data, length, &offset, &carry, line, sizeof line) >= 0)
        std::printf("%s\n", line);
}

int32_t qzrplc::serve_tcp(int32_t port, void (*serve)(int32_t sd, const char* peer))
{
    int32_t listener = XKNTCPListen(nullptr, (port & 0xFFFF) | XKN_REUSEADDR << 16, nullptr, 0);
    if (listener < 0) {
        std::printf("TCP Port Initialize error (%d)\n", listener);
        return listener;
    }
    for (;;) {
        auto* accepted = static_cast<Accepted*>(std::calloc(1, sizeof(Accepted)));
        int32_t sd = XKNTCPAcceptOne(listener, accepted != nullptr ? accepted->peer : nullptr,
                                     accepted != nullptr ? sizeof accepted->peer : 0);
        if (sd < 0) {
            std::free(accepted);
            XKNTCPUnlisten(listener);
            return sd;
        }
        std::printf("Connected from %s\n", accepted != nullptr ? accepted->peer : "");
        std::fflush(stdout);
        if (accepted != nullptr) {
            accepted->sd = sd;
            accepted->serve = serve;
        }
        if (accepted == nullptr || XKWThreadBegin(0, serve_accepted, accepted) == 0) {
            std::free(accepted);
            XKNClose(sd);
        }
    }
}
