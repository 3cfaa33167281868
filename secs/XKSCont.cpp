// The control engine's life: open (configuration, traces, locks,
// transaction table, queues), the control loop with its periodic work
// (linktest timer, transaction expiry, housekeeping), the two worker
// threads, close; and the helpers every engine file uses.
//
// The engine runs on a private block that nobody else frees: XKSCCBProc
// allocates it and releases it after ContMain. The control thread is the
// only one that opens or closes anything; the worker threads and the
// connection threads they start only use what ContOpen acquired, and
// ContMain waits for all of them (sexec, xthr) before ContClose.
#include "secs/XKSCont.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/XKNSocket.h"
#include "runtime/XKWDate.h"
#include "runtime/XKWDir.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWTime.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSLib.h"
#include "secs/XKSTrace.h"

namespace {

constexpr int32_t kLineLevel = 3;     // ordinary engine lines
constexpr int32_t kBannerLevel = 1;   // start, stop, errors
constexpr int32_t kVerboseLevel = 7;  // housekeeping ticks
constexpr int32_t kSliceMs = 100;     // longest sleep before fexit is looked at again

// The version record, taken once: every engine of the process prints it.

bool trace_open(const XKWTrace* t) { return t != nullptr && t->open != 0; }

// Blank lines that close a session's part of a trace, in the file's own
// line ends.
const char* stop_tail(const XKWTrace* t)
{
    return t != nullptr && (t->attr & 0x8000) != 0 ? "\r\n\r\n\r\n" : "\n\n\n";
}

int32_t first_devid(const XKSAcb* acb)
{
    return acb->cfg.ndev > 0 && acb->cfg.devid != nullptr ? acb->cfg.devid[0] : 0;
}

int32_t side(const XKSAcb* acb) { return (acb->cfg.secsmode & 0x10) != 0 ? 1 : 0; }

bool copied_queues(const XKSAcb* acb) { return (acb->cfg.quemode & 0xC0) == 0x80; }

// Sleep ms in slices so that a set fexit cuts the wait short.
void nap(XKSAcb* acb, int32_t ms)
{
    if (ms < 10)
        ms = 10;  // a zero interval must not turn a loop into a spin
    uint64_t end = XKWTickCount() + uint64_t(ms);
    for (int32_t i = 0; i < ms / kSliceMs + 2; ++i) {
        uint64_t now = XKWTickCount();
        if (now >= end || XKSLoad(acb->fexit) != 0)
            return;
        uint64_t left = end - now;
        XKWSleep(int32_t(left < uint64_t(kSliceMs) ? left : kSliceMs));
    }
}

// The first negative result that ends the engine stays.
void keep_error(XKSAcb* acb, int32_t rc)
{
    int32_t zero = 0;
    if (rc < 0)
        __atomic_compare_exchange_n(&acb->xerr, &zero, rc, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}


// ---- open ----

void open_trace(XKSAcb* acb, XKWTrace* t, int32_t kind, uint32_t out, uint32_t attr, int32_t level,
                int32_t size, const char* const* idlist)
{
    if ((out & 0x3) == 0)
        return;
    char name[XKS_PATH_SIZE];
    if (XKSLibTraceName(kind, side(acb), first_devid(acb), acb->cfg.trcdir, name, sizeof name) < 0)
        return;
    const XKSVersionInfo& v = XKSLibVersionInfo();
    char title[128];
    std::snprintf(title, sizeof title, "VER:%.31s(%dbit) XKSCont DATE:%.31s", v.record, v.bits, v.record + 32);
    // The naming bits must be known when the file is opened, the rest can
    // follow; a trace that cannot be opened leaves the engine without it.
    if (XKWTraceOpen(t, int32_t(0x9000 | (out & 0x70)), name, title, size) < 0)
        return;
    XKWTraceSetAttr(t, int32_t(out), int32_t(attr), level, size);
    XKWTraceSetIdLines(t, idlist);
}

void open_traces(XKSAcb* acb)
{
    XKSContRes* res = acb->res;
    const XKSConfig& c = acb->cfg;
    XKWStrCopy(res->idlines[0], XKSLibVersionInfo().line, XKS_LINE_SIZE);
    for (int32_t i = 0; i < XKS_IDLINES; ++i)
        res->idlist[i] = res->idlines[i];
    res->idlist[XKS_IDLINES] = nullptr;
    acb->idlines = res->idlines;
    acb->nidlines = XKS_IDLINES;
    // Fill the lines behind the banner with the settings listing without
    // writing it anywhere (no trace is open yet).
    acb->ctrace = nullptr;
    XKSLibDumpConfig(acb, XKS_DUMP_CTRACE | XKS_DUMP_TRACE_ONLY);

    open_trace(acb, &res->ctrace, 0, c.trctout, c.trctattr, c.trctlevel, c.trctsize, res->idlist);
    open_trace(acb, &res->etrace, 1, c.trctout, c.trctattr, c.trctlevel, c.trctsize, XKSLibVersionInfo().list);
    open_trace(acb, &res->ptrace, 2, c.trcpout, c.trcpattr, c.trcplevel, c.trcpsize, XKSLibVersionInfo().list);
    acb->ctrace = &res->ctrace;
    acb->etrace = &res->etrace;
    acb->ptrace = &res->ptrace;
    XKSTraceStreamOpen(acb);
}

int32_t open_queue(XKSAcb* acb, XKQueueBlock* q, bool reader, int32_t kind, int32_t recsize,
                   const char* label)
{
    char name[XKS_PATH_SIZE];
    int32_t rc = XKSLibQueueName(kind, side(acb), first_devid(acb), acb->cfg.quedir, name, sizeof name);
    if (rc < 0)
        return rc;
    int32_t mode = int32_t(acb->cfg.quemode & 0xF0);
    rc = reader ? XKQRecvOpen(q, mode, name, recsize, acb->cfg.querec)
                : XKQSendOpen(q, mode, name, recsize, acb->cfg.querec);
    cont_log(acb, XKS_LOG_PROC, kLineLevel, "  Queue for %s:%s.  size:%4d  rec:%4d", label, name, recsize,
             acb->cfg.querec);
    return rc;
}

int32_t open_queues(XKSAcb* acb, XKQueueBlock* r, XKQueueBlock* s, XKQueueBlock* c)
{
    XKSContRes* res = acb->res;
    if (copied_queues(acb)) {
        // Private-memory queues work only through the blocks that opened
        // them: keep the caller's blocks, never copies of them.
        if (r == nullptr || s == nullptr || c == nullptr)
            return -14;
        res->copied = true;
        acb->qr = r;
        acb->qs = s;
        acb->qc = c;
        acb->qd = s;
        cont_log(acb, XKS_LOG_PROC, kLineLevel, "  Copy queue acces cotrol blocks");
        return XKW_OK;
    }
    int32_t rc = open_queue(acb, &res->qr, false, 0, acb->cfg.quesize, "receive    ");
    if (rc < 0)
        return rc;
    acb->qr = &res->qr;
    rc = open_queue(acb, &res->qs, true, 1, acb->cfg.quesize, "send       ");
    if (rc < 0)
        return rc;
    acb->qs = &res->qs;
    acb->qd = &res->qs;
    rc = open_queue(acb, &res->qc, false, 2, XKS_REQ_RESULT_SIZE, "send result");
    if (rc < 0)
        return rc;
    acb->qc = &res->qc;
    // Requests left from an earlier run are stale: the user they were for
    // is gone. The drain is bounded by the ring's size.
    unsigned char scrap[XKS_REQ_RESULT_SIZE];
    int32_t limit = res->qs.count + 1;
    for (int32_t i = 0; i < limit; ++i) {
        rc = XKQRecvGet(&res->qs, 0, scrap, sizeof scrap, nullptr);
        if (rc < 0 && rc != XKQ_E_SIDEOPEN && rc != XKQ_E_SIDESHORT)
            break;
    }
    return XKW_OK;
}

int32_t open_locks(XKSAcb* acb)
{
    XKSContRes* res = acb->res;
    for (XKWLock* l : {&res->plock, &res->slock, &res->tlock})
        if (XKWLockInit(l) < 0)
            return XKW_E_FAIL;
    acb->tlock = &res->tlock;
    return XKW_OK;
}

void release(XKSAcb* acb)
{
    XKSContRes* res = acb->res;
    if (res == nullptr)
        return;
    if (acb->qc != nullptr) {
        cont_log(acb, XKS_LOG_PROC, kLineLevel, "ContClose Send terminate reply");
        cont_put(acb, acb->qc, XKS_REQ_TERMINATE, 0, nullptr, nullptr, 0);
    }
    MDMssgTable(9, acb);
    if (!res->copied) {
        XKQSendClose(&res->qr);
        XKQRecvClose(&res->qs);
        XKQSendClose(&res->qc);
    }
    acb->qr = acb->qs = acb->qc = acb->qd = nullptr;

    const XKSVersionInfo& v = XKSLibVersionInfo();
    char stop[256];
    std::snprintf(stop, sizeof stop, "XK-Project SECS/HSMS Communication library [XKS:%.31s(%dbit) DATE:%.31s by %.31s] Stop",
                  v.record, v.bits, v.record + 32, v.record + 64);
    cont_log(acb, XKS_LOG_COMM, kBannerLevel, "%s%s", stop, stop_tail(acb->ctrace));
    cont_log(acb, XKS_LOG_PROC, kBannerLevel, "%s%s", stop, stop_tail(acb->ptrace));

    XKSTraceStreamClose(acb);
    XKWTraceClose(&res->ptrace);
    XKWTraceClose(&res->etrace);
    XKWTraceClose(&res->ctrace);
    acb->ctrace = acb->etrace = acb->ptrace = nullptr;
    acb->tlock = nullptr;
    XKWLockDelete(&res->tlock);
    XKWLockDelete(&res->slock);
    XKWLockDelete(&res->plock);

    std::free(res->tx);
    std::free(res->idlines);
    acb->idlines = nullptr;
    acb->nidlines = 0;
    XKSLibFreeConfig(acb);
    delete res;
    acb->res = nullptr;
}

// ---- housekeeping ----

int32_t file_date(const struct stat& st)
{
    // A time of 0 would read as "now"; it is older than anything.
    return st.st_mtime > 0 ? XKWTimeDate(int64_t(st.st_mtime)) : 19700101;
}

// Delete the regular files of dir matching pattern whose modification
// date is before cutoff, each with a "Remove" line (shown: "" the full
// path, else shown/name; null: plain files are left alone). Matching
// directories go to each_dir. Returns the number of files removed.
template <class EachDir>
int32_t remove_matching(XKSAcb* acb, const char* dir, const char* pattern, int32_t cutoff, const char* shown,
                        EachDir&& each_dir)
{
    XKWDir d{};
    if (XKWDirOpen(&d, dir, pattern) < 0) {
        XKWDirClose(&d);
        return 0;
    }
    int32_t removed = 0;
    char name[XKS_PATH_SIZE];
    char path[2 * XKS_PATH_SIZE];
    // Bounded: a directory that keeps growing while it is listed must not
    // hold the control thread.
    for (int32_t i = 0; i < 1000000; ++i) {
        int32_t rc = XKWDirNext(&d, name, sizeof name);
        if (rc == 1 || rc == XKW_E_BADHANDLE)
            break;
        if (rc < 0)
            continue;
        std::snprintf(path, sizeof path, "%s/%s", dir, name);
        struct stat st {};
        if (::lstat(path, &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            removed += each_dir(path, name);
            continue;
        }
        if (!S_ISREG(st.st_mode) || file_date(st) >= cutoff)
            continue;
        // Day directories: a plain file that happens to match the
        // directory pattern is not ours to delete.
        if (shown == nullptr)
            continue;
        if (::unlink(path) == 0) {
            ++removed;
            if (shown[0] != '\0')
                cont_log(acb, XKS_LOG_PROC, kLineLevel, "  Remove [%s/%s]", shown, name);
            else
                cont_log(acb, XKS_LOG_PROC, kLineLevel, "  Remove [%s]", path);
        }
    }
    XKWDirClose(&d);
    return removed;
}

struct Patterns {
    const char* top;    // in the trace directory
    const char* inner;  // inside day directories, or null
};

constexpr Patterns kTracePatterns[8] = {
    {"t??????.trc", nullptr},
    {"??????", "t??????.trc"},
    {"??????.t??????.trc", nullptr},
    {"t??????.??????.trc", nullptr},
    {"t??????.????*.trc", nullptr},
    {"??????", "t??????.????*.trc"},
    {"??????.t??????.????*.trc", nullptr},
    {"t??????.??????.????*.trc", nullptr},
};

auto no_dirs = [](const char*, const char*) { return 0; };

}  // namespace

// ---- helpers shared by the engine files ----

int64_t cont_now() { return int64_t(XKWTickCount() / 1000); }

void cont_log(XKSAcb* acb, int32_t where, int32_t level, const char* format, ...)
{
    if (acb == nullptr || format == nullptr)
        return;
    char text[XKW_TRACE_LINE_MAX + 1];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if ((where & XKS_LOG_COMM) != 0)
        XKSTraceLine(__FILE__, __LINE__, __func__, acb, 0, level, XKS_TK_CONTROL, "CT", text);
    if ((where & XKS_LOG_PROC) != 0 && trace_open(acb->ptrace))
        XKWTraceWriteText(__FILE__, __LINE__, __func__, acb->ptrace, 0, level, "CT", text);
    if ((where & XKS_LOG_ERR) != 0 && trace_open(acb->etrace))
        XKWTraceWriteText(__FILE__, __LINE__, __func__, acb->etrace, 0, level, "CT", text);
}

void cont_error(XKSAcb* acb, int32_t rc, const char* what)
{
    cont_log(acb, XKS_LOG_ERR | XKS_LOG_PROC, kBannerLevel, "[ERROR] %s (%d,%d) on %d,%d,%d", what, rc, errno,
             XKSLoad(acb->xeps0), XKSLoad(acb->xeps1), XKSLoad(acb->xeps2));
}

int32_t cont_next_request(XKSAcb* acb, XKSContRecord& buf, XKQRecordHeader* qh, const char* who)
{
    const XKSConfig& cfg = acb->cfg;
    int32_t option = ((cfg.quemode & 0x2) != 0 ? XKQ_GET_SKIPOLD : 0) | XKQ_GET_KEEPBUF;
    int32_t n = XKQRecvGet(acb->qs, option, buf.data, buf.size, qh);
    if (n == XKW_E_NOMORE) {
        XKQRecvWait(acb->qs, cfg.inter0 > 0 ? cfg.inter0 : 300);
        return n;
    }
    if (n < 0) {
        char what[64];
        std::snprintf(what, sizeof what, "%s: Internal send queue get", who);
        cont_error(acb, n, what);
        return n;
    }
    XKSRequest* rec = buf.rec();
    if (n < XKS_REQ_SIZE || rec->len > uint32_t(n - XKS_REQ_SIZE))
        rec->len = uint32_t(n >= XKS_REQ_SIZE ? n - XKS_REQ_SIZE : 0);
    return n;
}

int32_t cont_put_record(XKSAcb* acb, XKQueueBlock* queue, const void* record, int32_t length)
{
    int32_t rc = XKQSendPut(queue, int32_t(acb->cfg.quemode & 0x01), record, length);
    // A full receive or send-result queue waits for the application to
    // take records rather than drop one: the link is not read meanwhile,
    // so the peer is held back by TCP. Only the end of the engine stops it.
    while (rc == XKW_E_FULL && (queue == acb->qr || queue == acb->qc) && XKSLoad(acb->fexit) == 0) {
        XKWSleep(2);
        rc = XKQSendPut(queue, int32_t(acb->cfg.quemode & 0x01), record, length);
    }
    return rc;
}

int32_t cont_put(XKSAcb* acb, XKQueueBlock* queue, int32_t req, int32_t rtn, const uint8_t* header,
                 const uint8_t* body, int32_t length)
{
    if (acb == nullptr || queue == nullptr)
        return XKW_E_BADHANDLE;
    if (length < 0 || (body == nullptr && length > 0) || length > INT32_MAX - XKS_REQ_SIZE - 2)
        return XKW_E_INVAL;
    // Readers of the receive queue ignore two spare bytes behind the body.
    int32_t spare = queue == acb->qr ? 2 : 0;
    int32_t total = XKS_REQ_SIZE + length + spare;
    unsigned char small[256];
    unsigned char* record = total <= int32_t(sizeof small)
                                ? small
                                : static_cast<unsigned char*>(std::malloc(size_t(total)));
    if (record == nullptr)
        return XKW_E_NOMEM;
    XKSRequest r{};
    r.req = uint8_t(req);
    r.rtn = int16_t(rtn);
    r.len = uint32_t(length);
    if (header != nullptr)
        std::memcpy(r.header, header, sizeof r.header);
    std::memcpy(record, &r, sizeof r);
    if (length > 0)
        std::memcpy(record + XKS_REQ_SIZE, body, size_t(length));
    if (spare > 0)
        std::memset(record + XKS_REQ_SIZE + length, 0, size_t(spare));
    int32_t rc = cont_put_record(acb, queue, record, total);
    if (record != small)
        std::free(record);
    return rc;
}

void cont_addr_text(const void* address, char* text)
{
    if (text != nullptr)
        std::snprintf(text, 17, "%016" PRIx64, uint64_t(uintptr_t(address)));
}

void* cont_addr_parse(const char* text)
{
    if (text == nullptr)
        return nullptr;
    uint64_t v = 0;
    int32_t digits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            d = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            d = *p - 'A' + 10;
        else
            return nullptr;
        if (++digits > 16)
            return nullptr;
        v = v << 4 | uint64_t(d);
    }
    return reinterpret_cast<void*>(uintptr_t(v));
}

int32_t cont_start_thread(XKSAcb* acb, const char* label, const char* name, XKWThreadProc body, void* argument,
                          const char* argtext)
{
    uint64_t tid = 0;
    int32_t rc = XKWThreadStart(&tid, acb->cfg.thstacksys, body, argument, name);
    cont_log(acb, XKS_LOG_PROC, kLineLevel, "%s [%s(%s)] .. (%d.%ld)", label, name, argtext, rc, long(tid));
    return rc;
}

int32_t ContComment(XKSAcb* acb, const XKSRequest* request)
{
    if (acb == nullptr || request == nullptr)
        return XKW_E_INVAL;
    uint32_t len = request->len;
    if (len < uint32_t(XKS_COMMENT_FILE) + 1 || len > uint32_t(INT32_MAX))
        return XKW_E_INVAL;
    const char* body = reinterpret_cast<const char*>(request) + XKS_REQ_SIZE;
    // Both fields come from the user: neither may run past its end.
    char file[XKS_COMMENT_FILE + 1];
    std::memcpy(file, body, XKS_COMMENT_FILE);
    file[XKS_COMMENT_FILE] = '\0';
    const char* text = body + XKS_COMMENT_FILE;
    size_t room = len - XKS_COMMENT_FILE;
    if (std::memchr(text, '\0', room) == nullptr)
        return XKW_E_INVAL;
    uint16_t line;
    std::memcpy(&line, request->header + 8, sizeof line);
    return XKSTraceLine(file, line, nullptr, acb, 0, 1, XKS_TK_CONTROL, "UU", text);
}

// ---- timers and housekeeping ----

int32_t cont_linktest(XKSAcb* acb, int64_t now)
{
    if (acb == nullptr || acb->cfg.linkint <= 0 || (acb->cfg.secsmode & 0x1) == 0)
        return 0;
    // xlt is also written by the worker threads (a linktest sent, a new
    // connection).
    int64_t xlt = __atomic_load_n(&acb->xlt, __ATOMIC_ACQUIRE);
    if (xlt == 0) {
        __atomic_store_n(&acb->xlt, now, __ATOMIC_RELEASE);
        return 0;
    }
    if (now <= xlt + acb->cfg.linkint)
        return 0;
    __atomic_store_n(&acb->xlt, now, __ATOMIC_RELEASE);
    cont_log(acb, XKS_LOG_PROC, kLineLevel, "Send LinkTest");
    int32_t rc = cont_put(acb, acb->qd, XKS_REQ_LINKTEST, 0, nullptr, nullptr, 0);
    return rc < 0 ? rc : 1;
}

void cont_removal_start(XKSAcb* acb, int32_t today, int32_t clock)
{
    if (acb == nullptr || acb->cfg.trcdelday < 0)
        return;
    int64_t hour = acb->cfg.trcdeltime < 0 ? -int64_t(acb->cfg.trcdeltime) : acb->cfg.trcdeltime;
    acb->xfd = clock > hour ? today : XKWDateOfDay(XKWDateDay(today) - 1);
}

int32_t cont_remove_old(XKSAcb* acb, int32_t today, int32_t clock)
{
    if (acb == nullptr || acb->cfg.trcdelday == 0)
        return 0;
    const XKSConfig& c = acb->cfg;
    int64_t days = c.trcdelday < 0 ? -int64_t(c.trcdelday) : c.trcdelday;
    int64_t hour = c.trcdeltime < 0 ? -int64_t(c.trcdeltime) : c.trcdeltime;
    if (acb->xfd != 0 && (acb->xfd >= today || hour >= clock))
        return 0;
    // Counted in days, not as a yymmdd delta: 100 days is not one month.
    int64_t day = int64_t(XKWDateDay(today)) - days;
    int32_t cutoff = XKWDateOfDay(int32_t(day > 1 ? day : 1));
    cont_log(acb, XKS_LOG_PROC, kLineLevel, "Remove old file before %08d on %s and %s.", cutoff, c.trcdir,
             c.quedir);
    acb->xfd = today;

    const Patterns& p = kTracePatterns[(c.trctout >> 4) & 7];
    int32_t removed = 0;
    if (p.inner == nullptr) {
        removed += remove_matching(acb, c.trcdir, p.top, cutoff, "", no_dirs);
    } else {
        removed += remove_matching(acb, c.trcdir, p.top, cutoff, nullptr, [&](const char* path, const char* name) {
            (void)name;
            int32_t n = remove_matching(acb, path, p.inner, cutoff, path, no_dirs);
            ::rmdir(path);  // only an emptied (or empty) directory goes
            return n;
        });
    }
    removed += remove_matching(acb, c.quedir, "q??????.xkq.??????", cutoff, "", no_dirs);
    return removed;
}

int32_t cont_housekeeping(XKSAcb* acb, int64_t now, int32_t today, int32_t clock)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    XKSConfig& c = acb->cfg;
    cont_log(acb, XKS_LOG_PROC, kVerboseLevel, "Time proceeding  now:%d  xfa:%lld  mtime:%d,%ld", int32_t(now),
             static_cast<long long>(acb->xfa), int32_t(c.xmtime / 1000000000),
             long(c.xmtime % 1000000000 / 1000000));

    // The control loop already paces this pass by INTER3: force the check.
    c.xfa = 0;
    XKWTrace* where = trace_open(acb->ctrace) ? acb->ctrace : acb->ptrace;
    int32_t rc = XKSLibWatchConfig(acb, XKWTimeNow(), "", where);
    if (rc == 1) {
        for (XKWTrace* t : {acb->ctrace, acb->etrace})
            if (trace_open(t))
                XKWTraceSetAttr(t, int32_t(c.trctout), int32_t(c.trctattr), c.trctlevel, c.trctsize);
        if (trace_open(acb->ptrace))
            XKWTraceSetAttr(acb->ptrace, int32_t(c.trcpout), int32_t(c.trcpattr), c.trcplevel, c.trcpsize);
        XKSLibDumpConfig(acb, XKS_DUMP_CTRACE | XKS_DUMP_TRACE_ONLY);
    }
    cont_remove_old(acb, today, clock);
    return rc < 0 ? rc : XKW_OK;
}

// ---- worker threads ----

namespace {

enum class Side { Recv, Send };

void worker(void* argument, Side which)
{
    auto* acb = static_cast<XKSAcb*>(cont_addr_parse(static_cast<const char*>(argument)));
    if (acb == nullptr)
        return;
    // Each clears its sexec bit as its very last access to the block.
    bool hsms = (acb->cfg.secsmode & 0x1) != 0;
    if (which == Side::Recv)
        hsms ? RecvHSMS(acb) : RecvSECS(acb);
    else
        hsms ? SendHSMS(acb) : SendSECS(acb);
}

}  // namespace

void XKSCThreadRecv(void* argument) { worker(argument, Side::Recv); }
void XKSCThreadSend(void* argument) { worker(argument, Side::Send); }

// ---- the engine ----

int32_t MDMssgTable(int32_t op, XKSAcb* acb)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    if (op == 9) {
        XKSMDFree(&acb->md[1]);
        return XKW_OK;
    }
    if (op != 0 && op != 1)
        return XKW_E_INVAL;
    if (acb->md[1].op == XKS_ACB_OPEN || (acb->cfg.trcttype & 0x80) == 0)
        return XKW_OK;
    int32_t rc = XKSMDLoadAcb(acb, 1);
    if (rc >= 0) {
        cont_log(acb, XKS_LOG_COMM | XKS_LOG_PROC, kLineLevel, "SECS Message define file initialized (%s)",
                 acb->cfg.mdmssg);
        // A later failure is news again.
        acb->tmoperr = 0;
        acb->tmopmsg[0] = '\0';
        return XKW_OK;
    }
    if (rc != acb->tmoperr || std::strcmp(acb->tmopmsg, acb->cfg.mdmssg) != 0) {
        cont_log(acb, XKS_LOG_ERR | XKS_LOG_COMM | XKS_LOG_PROC, kBannerLevel,
                 "[ERROR] SECS Message define file initialize error (%s .. %d)", acb->cfg.mdmssg, rc);
        acb->tmoperr = rc;
        XKWStrCopy(acb->tmopmsg, acb->cfg.mdmssg, sizeof acb->tmopmsg);
    }
    return rc;
}

int32_t ContOpen(XKSAcb* acb, int32_t mode, const char* ini, const char* section, XKQueueBlock* r,
                 XKQueueBlock* s, XKQueueBlock* c)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    if (acb->marker == XKS_ACB_OPEN)
        return XKW_E_BUSY;
    XKWThreadSafe(1);
    int32_t rc = XKSLibReadConfig(acb, ini, section);  // clears the block first
    if (rc < 0)
        return rc;
    XKSConfig& cfg = acb->cfg;
    if ((cfg.devmode & 0x1) == 0 && cfg.ndev == 0) {
        // Nothing to run a link for; the library refuses this before it
        // starts an engine, so it means the file changed in between.
        XKSLibFreeConfig(acb);
        return XKW_E_INVAL;
    }
    auto* res = new (std::nothrow) XKSContRes{};
    if (res != nullptr)
        res->idlines = static_cast<char(*)[XKS_LINE_SIZE]>(std::calloc(XKS_IDLINES, XKS_LINE_SIZE));
    if (res != nullptr && res->idlines != nullptr && (cfg.devmode & 0x30) != 0x30) {
        size_t n = size_t(cfg.xtranx > 0 ? cfg.xtranx : 0) + 1;
        res->tx = static_cast<XKSTxEntry*>(std::calloc(n, sizeof(XKSTxEntry)));
        if (res->tx == nullptr) {
            std::free(res->idlines);
            res->idlines = nullptr;
        }
    }
    if (res == nullptr || res->idlines == nullptr) {
        delete res;
        XKSLibFreeConfig(acb);
        return XKW_E_NOMEM;
    }
    acb->res = res;
    acb->self = acb;
    acb->marker = XKS_ACB_OPEN;
    acb->xmode = mode;
    XKWTraceSetLockWait(100);

    open_traces(acb);
    if (cfg.trcdelday >= 0) {
        int32_t today = 0;
        int32_t clock = 0;
        XKWTimeStamp(&today, &clock, nullptr);
        cont_removal_start(acb, today, clock);
    }
    const XKSVersionInfo& v = XKSLibVersionInfo();
    cont_log(acb, XKS_LOG_COMM | XKS_LOG_PROC, kBannerLevel,
             "XK-Project SECS/HSMS Communication library [XKS:%.31s(%dbit) DATE:%.31s by %.31s] Start", v.record, v.bits,
             v.record + 32, v.record + 64);
    cont_log(acb, XKS_LOG_PROC, kLineLevel, "  File:%s.  Sect:%s.", ini != nullptr ? ini : "",
             section != nullptr ? section : "");

    rc = open_locks(acb);
    if (rc >= 0)
        rc = open_queues(acb, r, s, c);
    if (rc < 0) {
        cont_error(acb, rc, "ContOpen");
        acb->xerr = rc;
        ContClose(acb);
        return rc;
    }
    return XKW_OK;
}

int32_t ContClose(XKSAcb* acb)
{
    if (acb == nullptr || acb->marker != XKS_ACB_OPEN)
        return XKW_E_BADHANDLE;
    // The marker stays: a block is opened once. A second close finds
    // nothing left to release.
    release(acb);
    return XKW_OK;
}

int32_t cont_loop_pass(XKSAcb* acb, int64_t now)
{
    int32_t state = XKSLoad(acb->xstat);
    if (state == 3)
        cont_linktest(acb, now);
    if (state == 3 || state == 4)
        ContT3TO(acb);
    // xfa 0 is "never": the tick count may itself be small after a boot.
    if (acb->xfa == 0 || now > acb->xfa + acb->cfg.inter3) {
        int32_t today = 0;
        int32_t clock = 0;
        XKWTimeStamp(&today, &clock, nullptr);
        cont_housekeeping(acb, now, today, clock);
        MDMssgTable(1, acb);
        acb->xfa = now;
        return 1;
    }
    return 0;
}

int32_t ContMain(XKSAcb* acb, int32_t mode, const char* ini, const char* section, XKSAcb* acbu,
                 XKQueueBlock* r, XKQueueBlock* s, XKQueueBlock* c, XKSTraceCallback callback, void* argument)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    int32_t rc = ContOpen(acb, mode, ini, section, r, s, c);
    if (rc < 0)
        return rc;  // already closed
    if (acbu != nullptr) {
        acb->acbu = acbu;
        acb->omode = acbu->omode;
        acb->xapp = acbu->xapp;
    }
    acb->tcb = callback;
    acb->tcbarg = argument;
    MDMssgTable(0, acb);

    char self[17];
    char user[17];
    cont_addr_text(acb, self);
    cont_addr_text(acbu, user);
    cont_log(acb, XKS_LOG_PROC, kLineLevel, "Wakeup processing thread acb=0x%s acbu=0x%s", self, user);
    // The bit is set before the thread exists, so the wait below cannot
    // miss a thread that has not run yet.
    XKSSetBits(acb->sexec, XKS_SEXEC_RECV);
    if (cont_start_thread(acb, "  For receive ", "XKSCThreadRecv", XKSCThreadRecv, self, self) < 0) {
        XKSClearBits(acb->sexec, XKS_SEXEC_RECV);
        rc = XKW_E_FAIL;
    }
    if (rc >= 0) {
        XKSSetBits(acb->sexec, XKS_SEXEC_SEND);
        if (cont_start_thread(acb, "  For send    ", "XKSCThreadSend", XKSCThreadSend, self, self) < 0) {
            XKSClearBits(acb->sexec, XKS_SEXEC_SEND);
            rc = XKW_E_FAIL;
        }
    }
    if (rc < 0)
        cont_error(acb, rc, "ContMain thread start failed");
    XKNSetOptions(XKN_OPT_NUMERIC, (acb->cfg.secsmode & 0x80) != 0 ? 0 : XKN_OPT_NUMERIC);

    // Bounded by fexit: request 127 or the end of a worker thread sets it.
    XKSStore(acb->xeps0, 10);
    while (rc >= 0 && XKSLoad(acb->fexit) == 0) {
        cont_loop_pass(acb, cont_now());
        nap(acb, acb->cfg.inter1);
    }

    XKSStore(acb->xeps0, 90);
    XKSStore(acb->fexit, 1);
    // The worker threads and the connection threads use the block and its
    // resources until they end; they poll fexit at least every second, so
    // this wait ends with them. A wedged thread is reported, never left
    // behind with freed resources.
    int64_t since = cont_now();
    while (XKSLoad(acb->sexec) != 0 || XKSLoad(acb->xthr) != 0) {
        XKWSleep(acb->cfg.inter0 > 0 && acb->cfg.inter0 < kSliceMs ? acb->cfg.inter0 : kSliceMs);
        if (cont_now() - since >= 30) {
            since = cont_now();
            cont_log(acb, XKS_LOG_PROC | XKS_LOG_ERR, kBannerLevel,
                     "Waiting for the engine threads to end  sexec:0x%04x  xthr:%d", XKSLoad(acb->sexec),
                     XKSLoad(acb->xthr));
        }
    }
    if (rc < 0)
        keep_error(acb, rc);
    else if (XKSLoad(acb->xerr) < 0)
        rc = XKSLoad(acb->xerr);
    ContClose(acb);
    return rc;
}

void XKSCCBProc(void* argument)
{
    const char* text = static_cast<const char*>(argument);
    if (text == nullptr)
        return;
    // Six hexadecimal fields at the end; the path before the section may
    // itself hold commas, so the line is split from the right.
    size_t n = std::strlen(text);
    char* line = static_cast<char*>(std::malloc(n + 1));
    if (line == nullptr)
        return;
    std::memcpy(line, text, n + 1);
    void* addr[6] = {};
    bool ok = true;
    for (int i = 5; i >= 0 && ok; --i) {
        char* comma = std::strrchr(line, ',');
        if (comma == nullptr) {
            ok = false;
            break;
        }
        *comma = '\0';
        addr[i] = cont_addr_parse(comma + 1);
    }
    char* comma = ok ? std::strrchr(line, ',') : nullptr;
    auto* acb = ok && comma != nullptr ? static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb))) : nullptr;
    if (acb != nullptr) {
        *comma = '\0';
        XKSTraceCallback cb;
        static_assert(sizeof cb == sizeof addr[4]);
        std::memcpy(&cb, &addr[4], sizeof cb);
        ContMain(acb, 0, line, comma + 1, static_cast<XKSAcb*>(addr[0]), static_cast<XKQueueBlock*>(addr[1]),
                 static_cast<XKQueueBlock*>(addr[2]), static_cast<XKQueueBlock*>(addr[3]), cb, addr[5]);
        XKSMDFree(&acb->md[1]);
        XKSMDFree(&acb->md[0]);
        XKSLibFreeConfig(acb);
        std::free(acb);
    }
    std::free(line);
}
