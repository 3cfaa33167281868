// Library sessions: open and close on an access control block, the
// process-wide session handle table, the callback thread entries and the
// session's user-trace lines.
//
// Open loads the settings, opens the user trace, the three locks and the
// queues r (receive), s (send) and c (send result), starts the callback
// threads and the engine (a thread of this process or the control
// program), and waits 500 ms so that they run. Close sets fexit, waits for
// the callback threads, asks the engine to end (separate, then terminate)
// and waits up to 10 s for its terminate reply, then releases everything
// and clears the block.
//
// Who may still touch the block: the callback threads until they clear
// their sexec bit, and an engine thread of this process until it has
// ended (it uses the session's queue blocks and mirrors the states into
// the block). Close releases nothing while either may still run; when one
// of them does not end in time the session is kept open and close reports
// -16, so no thread is ever left with freed memory. A control program
// runs in its own process: it is reaped by a waiter thread, and stopped
// with SIGTERM when it never answers the terminate request.
#include "secs/XKSComm.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "runtime/XKNSocket.h"
#include "runtime/XKWHandle.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWThread.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSLib.h"

extern char** environ;

namespace {

XKWHandleTable<XKSAcb, XKS_SESSION_HANDLES> sessions;

}  // namespace

int32_t XKSAllocAcb(int32_t /*reserved*/, XKSAcb** acb)
{
    return sessions.Alloc(acb);
}

int32_t XKSFreeAcb(int32_t handle, int32_t /*reserved*/)
{
    XKSAcb* acb = sessions.Get(handle);
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    for (XKSMDTable& t : acb->md)
        XKSMDFree(&t);
    XKSLibFreeConfig(acb);
    return sessions.Free(handle);
}

int32_t XKSGetAcb(int32_t handle, int32_t /*reserved*/, XKSAcb** acb)
{
    XKSAcb* p = sessions.Get(handle);
    if (acb != nullptr)
        *acb = p;
    return p != nullptr ? XKW_OK : XKW_E_BADHANDLE;
}

int32_t XKSCommNormalize(int32_t result)
{
    switch (result) {
    case -10065:
    case -10064:
    case -10061:
    case XKW_E_TIMEOUT:
        return -238;
    case XKN_E_CONNRESET:
    case XKW_E_CONNECT:
        return -239;
    case -10053:
    case XKW_E_CLOSED:
        return -232;
    case -10050:
    case -116:
        return -228;
    case XKN_E_ADDRINUSE:
    case -100:
        return -226;
    case -10024:
        return XKW_E_FULL;
    case -10013:
        return -13;
    case -134:
        return -61;
    case XKW_E_NOMORE:
        return XKS_E_NODATA;
    case -40:
        return -251;
    default:
        return result;
    }
}


// ---- open and close ----

namespace {

constexpr int32_t kBannerLevel = 1;  // start and stop banners
constexpr int32_t kLineLevel = 3;    // open and close steps
constexpr int32_t kDebugLevel = 7;   // entry and exit lines
constexpr int32_t kStartWaitMs = 500;       // threads are running when the open returns
constexpr int32_t kTerminateWaitMs = 10000; // wait for the engine's terminate reply
constexpr int32_t kThreadWaitMs = 30000;    // wait for a thread that must leave the block
constexpr int32_t kProgramNameSize = 64;

// The engine thread's argument line, kept until close. The engine reads
// the line when it starts, which may be after the open has returned; the
// flag tells close when the engine no longer uses the session's block and
// queue blocks.
struct EngineArg {
    char line[XKS_PATH_SIZE + XKS_NAME_SIZE + 6 * 17 + 8];
    int32_t ended;  // 1 once the engine thread has left XKSCCBProc
};
static_assert(offsetof(EngineArg, line) == 0);

// Identification list of the user trace: the version banner alone.
struct IdList {
    char lines[1][XKS_LINE_SIZE];
    const char* list[2];
};
static_assert(offsetof(IdList, lines) == 0);

// Control programs started by engine mode 3 and not yet ended, with the
// session that started them (null once it is closed).
struct Programs {
    std::mutex lock;
    std::map<pid_t, const XKSAcb*> running;
    char name[kProgramNameSize] = "xksc";
};

Programs& programs()
{
    // Never destroyed: waiter threads may still use it while the process exits.
    static Programs* p = new Programs;
    return *p;
}


void banner(XKSAcb* acb, const char* what, const char* tail)
{
    const XKSVersionInfo& v = XKSLibVersionInfo();
    comm_trace(acb, kBannerLevel, "CT",
               "XK-Project SECS/HSMS Communication library [XKS:%.31s(%dbit) DATE:%.31s by %.31s] %s%s", v.record,
               v.bits, v.record + 32, v.record + 64, what, tail);
}

void step(XKSAcb* acb, int32_t marker) { XKSStore(acb->xeps0, marker); }

int32_t side(const XKSAcb* acb) { return (acb->cfg.secsmode & 0x10) != 0 ? 1 : 0; }
int32_t first_devid(const XKSAcb* acb)
{
    return acb->cfg.ndev > 0 && acb->cfg.devid != nullptr ? acb->cfg.devid[0] : 0;
}
bool hsms(const XKSAcb* acb) { return (acb->cfg.secsmode & 0x1) != 0; }

// A poll pause of INTER0 ms, never a spin and never longer than left.
int32_t poll_ms(const XKSAcb* acb, uint64_t left)
{
    int32_t ms = acb->cfg.inter0 > 10 ? acb->cfg.inter0 : 10;
    return left < uint64_t(ms) ? int32_t(left) + 1 : ms;
}

// Poll done() every INTER0 ms until it holds (true) or a thread that must
// leave the block has had its time (false).
template <class Done>
bool wait_until(const XKSAcb* acb, Done&& done)
{
    uint64_t end = XKWTickCount() + kThreadWaitMs;
    for (;;) {
        if (done())
            return true;
        uint64_t now = XKWTickCount();
        if (now >= end)
            return false;
        XKWSleep(poll_ms(acb, end - now));
    }
}

// Wait until sexec is 0 (both callback threads have left their loops).
bool callbacks_ended(XKSAcb* acb)
{
    return wait_until(acb, [acb] { return XKSLoad(acb->sexec) == 0; });
}

// ---- the engine in this process (engine mode 2) ----

EngineArg* engine_arg(const XKSAcb* acb) { return reinterpret_cast<EngineArg*>(acb->carg); }

void engine_thread(void* argument)
{
    auto* e = static_cast<EngineArg*>(argument);
    XKSCCBProc(e->line);
    XKSStore(e->ended, 1);  // the last access: close may free the argument now
}

bool engine_ended(const XKSAcb* acb)
{
    const EngineArg* e = engine_arg(acb);
    return e == nullptr || XKSLoad(e->ended) != 0;
}

int32_t start_engine_thread(XKSAcb* acb, XKSTraceCallback trace, void* trace_arg)
{
    auto* e = static_cast<EngineArg*>(std::calloc(1, sizeof(EngineArg)));
    if (e == nullptr)
        return XKW_E_NOMEM;
    uint64_t cb = 0;
    static_assert(sizeof cb == sizeof trace);
    std::memcpy(&cb, &trace, sizeof trace);
    std::snprintf(e->line, sizeof e->line, "%s,%s,%016" PRIx64 ",%016" PRIx64 ",%016" PRIx64 ",%016" PRIx64
                  ",%016" PRIx64 ",%016" PRIx64,
                  acb->cfg.xini, acb->cfg.xsect, uint64_t(uintptr_t(acb)),
                  uint64_t(uintptr_t(&acb->uq[XKS_UQ_RECV])), uint64_t(uintptr_t(&acb->uq[XKS_UQ_SEND])),
                  uint64_t(uintptr_t(&acb->uq[XKS_UQ_RESULT])), cb, uint64_t(uintptr_t(trace_arg)));
    acb->carg = e->line;
    uint64_t tid = 0;
    int32_t rc = XKWThreadStart(&tid, acb->cfg.thstacksys, engine_thread, e, "XKSCCBProc");
    if (rc < 0)
        e->ended = 1;  // nothing runs that close would wait for
    comm_trace(acb, kLineLevel, "CT", "  For XKS control thread   [XKSCCBProc(%s)] .. (%d.%ld)", e->line, rc,
               long(tid));
    return rc;
}

// ---- the control program (engine mode 3) ----

void reap_program(void* argument)
{
    auto pid = pid_t(reinterpret_cast<intptr_t>(argument));
    // Wait for the end without reaping: while the zombie exists its pid
    // cannot be reused, so a close that signals it reaches no other process.
    siginfo_t info{};
    for (int i = 0; i < 1000; ++i)
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) == 0 || errno != EINTR)
            break;
    {
        std::lock_guard<std::mutex> guard(programs().lock);
        programs().running.erase(pid);
    }
    waitpid(pid, nullptr, 0);
}

bool program_running(const XKSAcb* acb)
{
    std::lock_guard<std::mutex> guard(programs().lock);
    for (const auto& [pid, owner] : programs().running)
        if (owner == acb)
            return true;
    return false;
}

// Stop (SIGTERM) or merely forget the programs a session started.
void release_programs(XKSAcb* acb, bool stop)
{
    std::lock_guard<std::mutex> guard(programs().lock);
    for (auto& [pid, owner] : programs().running) {
        if (owner != acb)
            continue;
        if (stop) {
            comm_trace(acb, kLineLevel, "CT", "CommClose  4.95 Stop control program (%d)",
                       int(pid));
            kill(pid, SIGTERM);
        }
        owner = nullptr;
    }
}

int32_t start_program(XKSAcb* acb)
{
    char program[kProgramNameSize];
    {
        std::lock_guard<std::mutex> guard(programs().lock);
        XKWStrCopy(program, programs().name, sizeof program);
    }
    comm_trace(acb, kLineLevel, "CT", "  For XKS control program [%s %s %s]", program, acb->cfg.xini,
               acb->cfg.xsect);
    char* argv[] = {program, acb->cfg.xini, acb->cfg.xsect, nullptr};
    pid_t pid = 0;
    // The table lock spans the start so the waiter cannot look the program
    // up before it is entered.
    std::lock_guard<std::mutex> guard(programs().lock);
    int err = posix_spawnp(&pid, program, nullptr, nullptr, argv, environ);
    if (err != 0)
        return -err;
    programs().running[pid] = acb;
    if (XKWThreadStart(nullptr, 0, reap_program, reinterpret_cast<void*>(intptr_t(pid)), "XKSCommReap") < 0)
        comm_trace(acb, kBannerLevel, "CT", "[ERROR] CommOpen control program %d is not reaped", int(pid));
    return XKW_OK;
}

bool engine_gone(const XKSAcb* acb)
{
    return comm_engine_mode(acb) == 2 ? engine_ended(acb) : !program_running(acb);
}

// ---- pieces of open ----

int32_t open_queue(XKSAcb* acb, int32_t which, bool reader, int32_t recsize, const char* label)
{
    char name[XKS_PATH_SIZE];
    int32_t rc = XKSLibQueueName(which, side(acb), first_devid(acb), acb->cfg.quedir, name, sizeof name);
    if (rc < 0)
        return rc;
    int32_t mode = int32_t(acb->cfg.quemode & 0xF0);
    XKQueueBlock* q = &acb->uq[which];
    rc = reader ? XKQRecvOpen(q, mode, name, recsize, acb->cfg.querec)
                : XKQSendOpen(q, mode, name, recsize, acb->cfg.querec);
    comm_trace(acb, kLineLevel, "CT", "  Queue for %s:%s.  size:%4d  rec:%4d", label, name, recsize,
               acb->cfg.querec);
    return rc;
}

// Records left from an earlier run belong to nobody; bounded by the ring.
void drain(XKQueueBlock* q)
{
    unsigned char scrap[XKS_REQ_RESULT_SIZE];
    for (int32_t i = 0; i <= q->count; ++i) {
        int32_t rc = XKQRecvGet(q, 0, scrap, sizeof scrap, nullptr);
        if (rc < 0 && rc != XKQ_E_SIDEOPEN && rc != XKQ_E_SIDESHORT)
            break;
    }
}

void open_user_trace(XKSAcb* acb)
{
    const XKSConfig& c = acb->cfg;
    auto* ids = static_cast<IdList*>(std::calloc(1, sizeof(IdList)));
    if (ids == nullptr)
        return;
    XKWStrCopy(ids->lines[0], XKSLibVersionInfo().line, XKS_LINE_SIZE);
    ids->list[0] = ids->lines[0];
    acb->idlines = ids->lines;
    acb->nidlines = 1;
    if ((c.trcuout & 0x3) == 0)
        return;
    char name[XKS_PATH_SIZE];
    if (XKSLibTraceName(3, side(acb), first_devid(acb), c.trcdir, name, sizeof name) < 0)
        return;
    const XKSVersionInfo& v = XKSLibVersionInfo();
    char title[128];
    std::snprintf(title, sizeof title, "VER:%.31s(%dbit) XKSComm DATE:%.31s", v.record, v.bits, v.record + 32);
    // Shared: every line locked, with a mutex all processes share.
    if (XKWTraceOpen(&acb->utrace, int32_t(0x8000 | (c.trcuout & 0x70)), name, title, c.trcusize) < 0)
        return;  // the session runs without its trace
    XKWTraceSetAttr(&acb->utrace, int32_t(c.trcuout), int32_t(c.trcuattr), c.trculevel, c.trcusize);
    XKWTraceSetIdLines(&acb->utrace, ids->list);
}

int32_t open_locks(XKSAcb* acb)
{
    static constexpr const char* kLabels[3] = {"process ", "W-result", "trace   "};
    for (int i = 0; i < 3; ++i) {
        if (XKWLockInit(&acb->ulock[i]) < 0)
            return XKW_E_FAIL;
        step(acb, 120 + i);
        comm_trace(acb, kLineLevel, "CT", "  Resource for %s:0x%016" PRIx64, kLabels[i],
                   uint64_t(uintptr_t(&acb->ulock[i])));
    }
    return XKW_OK;
}

int32_t open_queues(XKSAcb* acb)
{
    comm_trace(acb, kLineLevel, "CT", "  Queue open mode      :0x%08x", acb->cfg.quemode);
    int32_t rc = open_queue(acb, XKS_UQ_RECV, true, acb->cfg.quesize, "receive    ");
    if (rc < 0)
        return rc;
    step(acb, 123);
    rc = open_queue(acb, XKS_UQ_SEND, false, acb->cfg.quesize, "send       ");
    if (rc < 0)
        return rc;
    step(acb, 124);
    rc = open_queue(acb, XKS_UQ_RESULT, true, XKS_REQ_RESULT_SIZE, "send result");
    if (rc < 0)
        return rc;
    step(acb, 125);
    static constexpr char kNames[4] = {'r', 's', 'c', 'd'};
    for (int i = 0; i < 4; ++i)
        comm_trace(acb, kLineLevel, "CT", "  Resource for queue.%c :0x%016" PRIx64, kNames[i],
                   uint64_t(uintptr_t(&acb->uq[i])));
    drain(&acb->uq[XKS_UQ_RECV]);
    drain(&acb->uq[XKS_UQ_RESULT]);
    return XKW_OK;
}

int32_t start_callback(XKSAcb* acb, int which, XKWThreadProc entry, const char* name, const char* label)
{
    // The bit is set before the thread exists, so a close right after the
    // open waits for a thread that has not run yet.
    int32_t bit = which == 0 ? XKS_CB_RECV : XKS_CB_SEND;
    XKSSetBits(acb->sexec, bit);
    uint64_t tid = 0;
    int32_t rc = XKWThreadStart(&tid, acb->cfg.thstackusr, entry, acb->uarg, name);
    if (rc < 0)
        XKSClearBits(acb->sexec, bit);
    __atomic_store_n(&acb->cbthr[which], tid, __ATOMIC_RELEASE);
    comm_trace(acb, kLineLevel, "CT", "  For %s callback [%s(%s)] .. (%d.%ld)", label, name, acb->uarg, rc, long(tid));
    return rc;
}

// Steps after the checks: trace, locks, queues, threads, engine.
int32_t open_session(XKSAcb* acb, int32_t mode, const char* ini, const char* section, XKSRecvCallback recv,
                     void* recv_arg, XKSSendCallback send, void* send_arg, XKSTraceCallback trace,
                     void* trace_arg)
{
    acb->marker = XKS_ACB_OPEN;
    acb->xapp = (mode >> 16) & 0x3;
    acb->xmode = mode & 0x3;
    XKWTraceSetLockWait(100);
    acb->ptrace = &acb->utrace;
    acb->tlock = &acb->ulock[XKS_ULOCK_TRACE];
    cont_addr_text(acb, acb->uarg);
    open_user_trace(acb);
    banner(acb, "Start", "");
    comm_trace(acb, kLineLevel, "CT", "  File:%s.  Sect:%s.  Mode:0x%04x", ini != nullptr ? ini : "",
               section != nullptr ? section : "", unsigned(mode));

    int32_t rc = open_locks(acb);
    if (rc < 0)
        return rc;
    if ((acb->cfg.secsmode & 0x41) == 0x41) {
        // Active HSMS: the host of the connection; written before any
        // thread of the session runs and never changed.
        XKWStrCopy(acb->ahost, acb->cfg.host, sizeof acb->ahost);
    }
    if ((rc = open_queues(acb)) < 0)
        return rc;

    if (recv != nullptr) {
        acb->cbrecv = recv;
        acb->cbrecvarg = recv_arg;
        if ((rc = start_callback(acb, 0, XKSCommCBRecvProc, "XKSCommCBRecvProc", "receive    ")) < 0)
            return rc;
        step(acb, 126);
    }
    if (send != nullptr) {
        acb->cbsend = send;
        acb->cbsendarg = send_arg;
        if ((rc = start_callback(acb, 1, XKSCommCBSendProc, "XKSCommCBSendProc", "send result")) < 0)
            return rc;
        step(acb, 127);
    }
    if (acb->xmode == 2) {
        if ((rc = start_engine_thread(acb, trace, trace_arg)) < 0)
            return rc;
        step(acb, 131);
    } else if (acb->xmode == 3) {
        if ((rc = start_program(acb)) < 0)
            return rc;
        step(acb, 141);
    }
    if (!hsms(acb))
        comm_set_all(acb, 3);  // a SECS-I line is ready at once
    XKWSleep(kStartWaitMs);
    return XKW_OK;
}

// Release a block that holds the settings and definitions only.
void release_config(XKSAcb* acb)
{
    XKSMDFree(&acb->md[0]);
    XKSLibFreeConfig(acb);
}

// Ask the engine to end and wait for its terminate reply. Returns 0, or
// -138 when no reply came in time.
int32_t stop_engine(XKSAcb* acb)
{
    XKQueueBlock* s = &acb->uq[XKS_UQ_SEND];
    int32_t put = int32_t(acb->cfg.quemode & 0x01);
    XKSRequest r{};
    if (hsms(acb)) {
        comm_trace(acb, kLineLevel, "CT", "CommClose  2.20 Send shutdown request.");
        r.req = 99;
        XKQSendPut(s, put, &r, XKS_REQ_SIZE);
    }
    comm_trace(acb, kLineLevel, "CT", "CommClose  2.30 Send terminate request.");
    r.req = XKS_REQ_TERMINATE;
    XKQSendPut(s, put, &r, XKS_REQ_SIZE);
    step(acb, 184);
    comm_trace(acb, kLineLevel, "CT", "CommClose  4.20 Wait for terminate reply.");

    XKQueueBlock* c = &acb->uq[XKS_UQ_RESULT];
    int32_t get = int32_t(acb->cfg.quemode & 0x02);
    unsigned char buf[XKS_REQ_RESULT_SIZE];
    XKSRequest last{};
    int32_t result = XKW_E_TIMEOUT;
    uint64_t end = XKWTickCount() + kTerminateWaitMs;
    for (;;) {
        // Looked at before the get: an engine that has ended put its reply
        // before, so an empty queue then means that no reply will come.
        bool gone = engine_gone(acb);
        int32_t rc = XKQRecvGet(c, get, buf, sizeof buf, nullptr);
        if (rc >= XKS_REQ_SIZE) {
            std::memcpy(&last, buf, sizeof last);  // other records are dropped
            if (last.req == XKS_REQ_TERMINATE) {
                result = XKW_OK;
                break;
            }
        } else if (rc < 0 && (rc != XKW_E_NOMORE || gone)) {
            result = rc == XKW_E_NOMORE ? XKW_OK : rc;
            break;
        }
        uint64_t now = XKWTickCount();
        if (now >= end)
            break;
        if (rc < 0)
            XKQRecvWait(c, poll_ms(acb, end - now));
    }
    comm_trace(acb, kLineLevel, "CT", "CommClose  4.90 Concluded .. req:%d  rtn:%d", last.req,
               last.req == XKS_REQ_TERMINATE ? int32_t(last.rtn) : result);
    if (result == XKW_E_TIMEOUT && comm_engine_mode(acb) == 3)
        release_programs(acb, true);
    return result;
}

// Wait for the engine thread of this process to have left the block.
bool engine_thread_ended(XKSAcb* acb)
{
    return wait_until(acb, [acb] { return engine_ended(acb); });
}

// The rest of a close of an open session (steps after the definitions).
int32_t close_session(XKSAcb* acb)
{
    XKSStore(acb->fexit, 1);
    if (!callbacks_ended(acb)) {
        comm_trace(acb, kBannerLevel, "CT", "[ERROR] CommClose callback threads still running (sexec 0x%x); session kept",
                   unsigned(XKSLoad(acb->sexec)));
        return XKW_E_BUSY;
    }
    step(acb, 183);
    int32_t result = XKW_OK;
    int32_t engine = comm_engine_mode(acb);
    if ((engine == 2 && acb->carg != nullptr) || (engine == 3 && program_running(acb)))
        result = stop_engine(acb);
    if (engine == 2 && !engine_thread_ended(acb)) {
        comm_trace(acb, kBannerLevel, "CT", "[ERROR] CommClose engine thread still running; session kept");
        return XKW_E_BUSY;
    }
    release_programs(acb, false);

    comm_set_all(acb, 0);
    XKQRecvClose(&acb->uq[XKS_UQ_RECV]);
    XKQSendClose(&acb->uq[XKS_UQ_SEND]);
    XKQRecvClose(&acb->uq[XKS_UQ_RESULT]);
    step(acb, 192);
    banner(acb, "Stop", (acb->cfg.trcuattr & 0x8000) != 0 ? "\r\n\r\n\r\n" : "\n\n\n");
    comm_trace(acb, kLineLevel, "CT", "CommClose 8.00 Last closing process");
    step(acb, 193);
    acb->ptrace = nullptr;
    acb->tlock = nullptr;
    XKWTraceClose(&acb->utrace);
    for (XKWLock& l : acb->ulock)
        XKWLockDelete(&l);
    step(acb, 195);
    callbacks_ended(acb);  // already 0: nothing may have started since
    step(acb, 196);
    XKSLibFreeConfig(acb);
    std::free(acb->idlines);
    acb->idlines = nullptr;
    step(acb, 197);
    XKQSendClose(&acb->uq[XKS_UQ_SIDE]);
    step(acb, 198);
    std::free(engine_arg(acb));
    std::memset(static_cast<void*>(acb), 0, sizeof *acb);
    return result;
}

}  // namespace

XKSSessionUse::XKSSessionUse(int32_t handle) : handle_(handle), acb_(sessions.Pin(handle)) {}

XKSSessionUse::~XKSSessionUse()
{
    if (acb_ != nullptr)
        sessions.Unpin(handle_);
}

int32_t comm_engine_mode(const XKSAcb* acb) { return acb->omode & 3; }

bool comm_states_mirrored(const XKSAcb* acb)
{
    return hsms(acb) && (acb->omode & 0x1003) == 0x1002;
}

void comm_trace(XKSAcb* acb, int32_t level, const char* tag, const char* format, ...)
{
    if (acb == nullptr || format == nullptr || acb->utrace.open == 0)
        return;
    char text[XKW_TRACE_LINE_MAX + 1];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    XKWTraceWriteText(__FILE__, __LINE__, __func__, &acb->utrace, 0, level, tag, text);
}

int32_t XKSCommOpen(XKSAcb* acb, int32_t mode, const char* ini, const char* section, XKSRecvCallback recv,
                    void* recv_arg, XKSSendCallback send, void* send_arg, XKSTraceCallback trace, void* trace_arg)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    XKWThreadSafe(1);
    // An open session is left alone: closing it here would end it.
    if (acb->marker == XKS_ACB_OPEN)
        return XKW_E_BUSY;
    if (acb->marker == XKS_ACB_CONFIG)
        release_config(acb);
    step(acb, 110);
    int32_t rc = XKSLibReadConfig(acb, ini, section);  // clears the block
    if (rc >= 0) {
        step(acb, 111);
        comm_set_all(acb, 0);
        XKSMDLoadAcb(acb, 0);  // a session may run without definitions
        acb->omode = mode;
        acb->marker = XKS_ACB_CONFIG;
        if ((mode & XKS_OPEN_CONFIG) != 0)
            return XKW_OK;
        step(acb, 112);
        uint32_t q = acb->cfg.quemode & 0xC0;
        int32_t engine = mode & 3;
        bool fits = engine != 0 && ((acb->cfg.devmode & 0x1) != 0 || acb->cfg.ndev > 0);
        if (fits) {
            step(acb, 114);
            fits = !(q == 0x80 && engine != 2);  // private memory needs the engine in this process
        }
        if (fits) {
            step(acb, 115);
            fits = !(q == 0xC0 && engine == 2);
        }
        rc = XKW_E_INVAL;
        if (fits) {
            step(acb, 116);
            if ((mode & XKS_OPEN_MDLOCK) != 0)
                step(acb, 119);
            rc = open_session(acb, mode, ini, section, recv, recv_arg, send, send_arg, trace, trace_arg);
        }
    }
    int32_t result = XKSCommNormalize(rc);
    comm_trace(acb, kDebugLevel, "DB", "CommOpen   9.99 (%d,%d)", rc, result);
    if (result < 0) {
        // A failed open leaves the block cleared, with the failure in xerr.
        if (acb->marker == XKS_ACB_OPEN) {
            XKSCommClose(acb, 0);
        } else {
            release_config(acb);
            std::memset(static_cast<void*>(acb), 0, sizeof *acb);
        }
        acb->xerr = result;
    }
    return result;
}

int32_t XKSCommClose(XKSAcb* acb, int32_t mode)
{
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    comm_trace(acb, kDebugLevel, "DB", "CommClose  0.00 mode=0x%04x", unsigned(mode));
    int32_t rc = XKW_E_BADHANDLE;
    if (acb->marker == XKS_ACB_CONFIG) {
        step(acb, 181);
        release_config(acb);
        step(acb, 182);
        rc = XKW_OK;
    } else if (acb->marker == XKS_ACB_OPEN) {
        step(acb, 181);
        XKSMDFree(&acb->md[0]);
        step(acb, 182);
        rc = close_session(acb);
    }
    int32_t result = XKSCommNormalize(rc);
    if (result < 0)
        acb->xerr = result;
    return result;
}

void XKSCommSetProgram(const char* name)
{
    if (name == nullptr)
        return;
    std::lock_guard<std::mutex> guard(programs().lock);
    XKWStrCopy(programs().name, name, sizeof programs().name);
}

int32_t XKSOpen(int32_t mode, const char* ini, const char* section, XKSRecvCallback recv, void* recv_arg,
                XKSSendCallback send, void* send_arg, XKSTraceCallback trace, void* trace_arg)
{
    XKSAcb* acb = nullptr;
    int32_t handle = sessions.Alloc(&acb);
    if (handle < 0)
        return handle;
    int32_t rc = XKSCommOpen(acb, mode, ini, section, recv, recv_arg, send, send_arg, trace, trace_arg);
    if (rc < 0) {
        if (acb->marker != XKS_ACB_OPEN)  // see XKSClose
            sessions.Free(handle);
        return rc;
    }
    return handle;
}

// Calls on the handle from other threads may be under way: the handle is
// retired first, so that no call starts any more, and fexit makes those
// under way return. Nothing is released before the last has let go.
int32_t XKSClose(int32_t handle, int32_t mode)
{
    XKSAcb* acb = sessions.Retire(handle);
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    if (acb->marker == XKS_ACB_OPEN)
        XKSStore(acb->fexit, 1);
    if (!wait_until(acb, [handle] { return !sessions.Pinned(handle); })) {
        sessions.Restore(handle);
        return XKW_E_BUSY;
    }
    int32_t rc = XKSCommClose(acb, mode);
    // A session kept open because a thread still uses it keeps its slot:
    // freeing the block would pull it from under that thread.
    if (rc == XKW_E_BUSY && acb->marker == XKS_ACB_OPEN)
        sessions.Restore(handle);
    else
        sessions.Free(handle);
    return rc;
}

namespace {

// The callback loops clear their sexec bit as their last access to the
// block; nothing here may touch it after the loop returns.
void callback_entry(void* argument, int32_t (*loop)(XKSAcb*), int32_t bit)
{
    auto* acb = static_cast<XKSAcb*>(cont_addr_parse(static_cast<const char*>(argument)));
    if (acb == nullptr)
        return;
    if (acb->marker != XKS_ACB_OPEN) {
        XKSClearBits(acb->sexec, bit);  // the close waits for it
        return;
    }
    loop(acb);
}

}  // namespace

void XKSCommCBRecvProc(void* argument) { callback_entry(argument, XKSCommCBRecv, XKS_CB_RECV); }
void XKSCommCBSendProc(void* argument) { callback_entry(argument, XKSCommCBSend, XKS_CB_SEND); }
