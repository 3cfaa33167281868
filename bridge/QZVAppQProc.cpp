// Start and stop of the bridge, its two worker threads and the status
// texts of the front ends.
//
// A start opens the SECS session (with the receive callback of the
// transfers), the message definitions, the bridge settings and PLC
// message table and the bridge trace, then starts PLCProc, which keeps the
// PLC connected and polls it, and SECSProc, which keeps an active HSMS
// link connected and selected and closes the session at the stop.
//
// A stop always waits for both threads to end before the locks, the trace
// and the PLC image go: a thread that is still ending may log or touch the
// PLC, and a new start clears the control block, so neither may happen
// under a running thread. When the threads do not end in time the stop
// stays "in progress" and a later stop or start finishes it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWPath.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSAcb.h"

namespace {

constexpr const char* kVersion = "20.040";
constexpr const char* kBuild = "200412.1515";
constexpr int32_t kBits = int32_t(sizeof(void*) * 8);
constexpr int32_t E_BUSY = -16;
constexpr int32_t kSecsTick = 500;   // ms between passes of SECSProc
constexpr int32_t kSlice = 50;       // ms: longest sleep between two looks at the stop

// SECSMODE bits.
constexpr int32_t kHsms = 0x01;
constexpr int32_t kMaster = 0x20;
constexpr int32_t kEquip = 0x10;
constexpr int32_t kActive = 0x40;
constexpr int32_t kGeneral = 0x8000;
constexpr int32_t kSpaced = 0x10000;  // connect attempts T5 apart

char program_name[64];

// The receive callback's argument: the index of the session.
int32_t session_index = 1;

QZVQContext* ctx()
{
    return QZVQGetContext();
}

bool stopping(int32_t which)
{
    return XKSLoad(ctx()->closing) != 0 || XKSLoad(ctx()->run[which]) != 1;
}

// Sleep ms milliseconds, waking early when the thread is asked to stop.
// Returns whether it is.
bool pause(int32_t which, int32_t ms)
{
    if (ms <= 0) {
        XKWSleep(0);
        return stopping(which);
    }
    uint64_t end = XKWTickCount() + uint64_t(ms);
    for (uint64_t now = XKWTickCount(); now < end && !stopping(which); now = XKWTickCount())
        XKWSleep(int32_t(std::min<uint64_t>(end - now, kSlice)));
    return stopping(which);
}

// The PLC thread's wait between two polls: it ends early when a host
// message was queued while none is being handed over, so that it reaches
// the PLC at once.
void plc_pause(int32_t ms)
{
    uint64_t end = XKWTickCount() + uint64_t(std::max(ms, 0));
    for (uint64_t now = XKWTickCount(); now < end && !stopping(0); now = XKWTickCount()) {
        if (QZVQQueueWait(int32_t(std::min<uint64_t>(end - now, kSlice))) &&
            XKSLoad(ctx()->pcreq) == QZVQ_PCREQ_IDLE && XKSLoad(ctx()->plcid) > 0)
            return;
    }
}

int64_t now_seconds()
{
    return int64_t(XKWTickCount() / 1000);
}

bool quiet_program()
{
    return std::strcmp(program_name, "xksq") == 0 || std::strcmp(program_name, "qzvq") == 0;
}

int32_t param(int32_t number)
{
    return XKSGetParam(XKSLoad(ctx()->session[1]), 0, number, nullptr, 0);
}

void param_text(int32_t number, char* text, int32_t size)
{
    XKSGetParam(XKSLoad(ctx()->session[1]), 0, number, text, size);
}

void read_library()
{
    QZVQLibrary& lib = ctx()->lib;
    lib.secsmode = param(2);
    lib.devmode = param(3);
    lib.xmsgsize = param(6);
    lib.port = param(23);
    lib.t3 = param(33);
    lib.t5 = param(35);
    lib.thstackusr = param(40);
    lib.trcttype = param(51);
    lib.trctout = param(52);
    lib.trctlevel = param(53);
    lib.trctattr = param(54);
    lib.trctsize = param(55);
    lib.mdmxitem = param(71);
    lib.mdmxmssg = param(72);
    lib.mdmxmitem = param(73);
    param_text(20, lib.sdevice, sizeof lib.sdevice);
    param_text(21, lib.host, sizeof lib.host);
    param_text(50, lib.trcdir, sizeof lib.trcdir);
    param_text(70, lib.mdmssg, sizeof lib.mdmssg);
}

// The file or section name given, or the default when it is empty.
void store_name(char* out, size_t size, const char* given, const char* fallback)
{
    XKWStrCopy(out, given != nullptr && given[0] != '\0' ? given : fallback, size);
}

void store_names(int32_t flags, const char* plcini, const char* secsini, const char* plcsect,
                 const char* secssect)
{
    char program[QZVQ_FILE_SIZE] = "";
    XKWPathProgram(program, sizeof program);
    char ini[QZVQ_FILE_SIZE] = "";
    XKWPathJoin(ini, sizeof ini, XKWPathDir(program),
                (flags & QZVQ_DISP_CONSOLE) != 0 ? "qzvq.ini" : "qzrZ4EDO.ini", nullptr);
    std::replace(ini, ini + std::strlen(ini), '\\', '/');
    QZVQContext* c = ctx();
    store_name(c->plcini, sizeof c->plcini, plcini, ini);
    store_name(c->secsini, sizeof c->secsini, secsini, ini);
    store_name(c->plcsect, sizeof c->plcsect, plcsect, "PLC");
    store_name(c->secssect, sizeof c->secssect, secssect, "SECS");
}

void open_trace()
{
    QZVQContext* c = ctx();
    const QZVQSettings& cfg = c->cfg;
    if ((cfg.trctout & 3) == 0)
        return;
    XKWTraceSetDefaults(cfg.trcdir, cfg.trctout, cfg.trctattr, 0, cfg.trctsize);
    char title[64];
    std::snprintf(title, sizeof title, "VER:%s (%dbit)  DATE:%s", kVersion, kBits, kBuild);
    int32_t trace = XKWTraceOpenId(0x1000, "tp0000t.trc", title, cfg.trctsize);
    if (trace <= 0)
        return;
    XKWTraceSetAttrId(trace, cfg.trctout, cfg.trctattr, cfg.trctlevel, cfg.trctsize);
    XKSStore(c->trace, trace);
}

// Stop-wait bound in 100 ms steps.
int32_t wait_count()
{
    const QZVQContext* c = ctx();
    return std::max(c->cfg.plcto[0] / 100, c->lib.t5 * 10) + 50;
}

// Wait until both threads have ended, at most count x 100 ms.
bool threads_ended(int32_t count)
{
    QZVQContext* c = ctx();
    for (int32_t i = 0;; ++i) {
        if (XKSLoad(c->run[0]) == 0 && XKSLoad(c->run[1]) == 0)
            return true;
        if (i >= count)
            return false;
        XKWSleep(100);
    }
}

void close_secs()
{
    QZVQContext* c = ctx();
    int32_t session = XKSLoad(c->session[1]);
    if (session > 0)
        XKSClose(session, 0);
    XKSStore(c->session[1], 0);
    if (c->mdtable[1] > 0)
        XKSMDClose(c->mdtable[1], 0);
    c->mdtable[1] = 0;
}

// Last part of a stop, once no worker thread runs.
void finish_stop(int32_t flags)
{
    QZVQContext* c = ctx();
    XKSStore(c->closing, 2);
    if ((flags & QZVQ_CLOSE_CONSOLE) == 0 && !quiet_program())
        QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "Varnhold Pellmar Stopped");
    close_secs();  // left open only when SECSProc never ran
    PLCUnmap();
    int32_t trace = XKSLoad(c->trace);
    XKSStore(c->trace, 0);
    if (trace > 0)
        XKWTraceCloseId(trace);
    for (XKWLock& lock : c->access)
        XKWLockDelete(&lock);
    for (XKWLock& lock : c->loglock)
        XKWLockDelete(&lock);
}

// Start a worker thread with its run flag already set, so that a stop
// asked for before the thread runs is not missed.
bool start_thread(int32_t which, XKWThreadProc proc, const char* name)
{
    QZVQContext* c = ctx();
    XKSStore(c->run[which], 1);
    uintptr_t argument = uintptr_t(which);
    if (XKWThreadStart(nullptr, c->lib.thstackusr, proc, reinterpret_cast<void*>(argument), name) == 0)
        return true;
    XKSStore(c->run[which], 0);
    return false;
}

// ---- the SECS thread ----

struct Device {
    int32_t id;
    int32_t last;       // state seen at the previous pass
    int64_t deadline;   // when a stuck select is asked again (0 none)
};

// Send a control request under the SECS lock; false when the bridge stops.
bool control(int32_t mode, int32_t devid)
{
    QZVQContext* c = ctx();
    XKWLockGuard lock(&c->access[1]);
    if (XKSLoad(c->closing) != 0)
        return false;
    XKSSend(XKSLoad(c->session[1]), mode, devid, 0, 0, nullptr, 0, nullptr);
    return true;
}

// One pass over the devices of a general session; false when stopping.
bool general_pass(Device* devices, int32_t count, int32_t t5)
{
    QZVQContext* c = ctx();
    int32_t session = XKSLoad(c->session[1]);
    for (int32_t i = 0; i < count; ++i) {
        Device& d = devices[i];
        int32_t state = XKSGetDevStat(session, 0, d.id);
        int32_t previous = d.last;
        d.last = state;
        int32_t mode = 0;
        if (state == 0)
            mode = XKS_SEND_CONNECT;
        else if (state == 1 && (previous == 0 || previous == 3 || previous == 4))
            mode = XKS_SEND_SELECT;
        if (mode != 0 ? !control(mode, d.id) : XKSLoad(c->closing) != 0)
            return false;
        if (pause(1, kSecsTick))
            return false;
        if ((state == 1 && previous == 1) || (state == 2 && previous == 2)) {
            if (d.deadline == 0) {
                d.deadline = now_seconds() + 2 * int64_t(t5);
            } else if (now_seconds() >= d.deadline) {
                d.deadline = 0;
                if (!control(XKS_SEND_SELECT | 0x2, d.id) || pause(1, kSecsTick))
                    return false;
            }
        } else {
            d.deadline = 0;
        }
    }
    return true;
}

const char* state_text(int32_t state)
{
    switch (state) {
    case 1: return "%s Connected";
    case 2: return "%s Selecting now";
    case 3: return "%s Selected";
    case 4: return "%s Diselecting now";
    default: return nullptr;
    }
}

// The devices of the session, for the general session's passes.
std::unique_ptr<Device[]> device_table(int32_t* count)
{
    int32_t n = std::max(param(4), 0);
    std::unique_ptr<int32_t[]> ids(new (std::nothrow) int32_t[size_t(n) + 1]);
    std::unique_ptr<Device[]> devices(new (std::nothrow) Device[size_t(n) + 1]);
    if (ids == nullptr || devices == nullptr) {
        QZVQ_LOG(QZVQ_DIR_CONTROL | QZVQ_LOG_SECS | QZVQ_LOG_FORMAT, 1, "Memory allocate error at Device tables (%d)",
                 int32_t((n + 1) * (sizeof(Device) + 4)));
        *count = -1;
        return nullptr;
    }
    param_text(19, reinterpret_cast<char*>(ids.get()), n * 4);
    for (int32_t i = 0; i < n; ++i)
        devices[i] = Device{ids[i], 0, 0};
    *count = n;
    return devices;
}

}  // namespace

void QZVQSetProgramName(const char* name)
{
    XKWStrCopy(program_name, name != nullptr ? name : "", sizeof program_name);
}

const char* QZVQProgramName()
{
    return program_name;
}

int32_t QZVQProcOpen(int32_t flags, int32_t* step, const char* plcini, const char* secsini, const char* plcsect,
                     const char* secssect, int32_t* status, QZVQOutputProc output)
{
    int32_t unused_step = 0;
    if (step == nullptr)
        step = &unused_step;
    *step = QZVQ_STEP_CLOSING;
    QZVQContext* c = ctx();
    if (XKSLoad(c->closing) == 1) {
        // An earlier stop gave up waiting: finish it if its threads have
        // ended since, otherwise the control block is still theirs.
        if (!threads_ended(0))
            return -1;
        finish_stop(QZVQ_CLOSE_CONSOLE);
    }
    QZVQResetContext(c);
    XKSStore(c->resync, 1);  // the PLC may hold bits of an earlier run
    if (status != nullptr)
        status[0] = status[1] = 0;
    c->display = flags & (QZVQ_DISP_LIST | QZVQ_DISP_HEXA | QZVQ_DISP_DETAIL | QZVQ_DISP_HANDSHAKE |
                          QZVQ_DISP_REDUNDANT | QZVQ_DISP_CONSOLE);
    c->output = output;
    store_names(flags, plcini, secsini, plcsect, secssect);
    for (XKWLock& lock : c->loglock)
        XKWLockInit(&lock);
    for (XKWLock& lock : c->access)
        XKWLockInit(&lock);

    *step = QZVQ_STEP_SECS;
    int32_t result = XKSOpen(XKS_OPEN_MIRROR | XKS_OPEN_ENGINE_THREAD | XKS_OPEN_MDLOCK, c->secsini, c->secssect,
                             CBRecvProc, &session_index, nullptr, nullptr, nullptr, nullptr);
    bool log_held = false;
    if (result < 0) {
        QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_SECS | QZVQ_LOG_FORMAT, 1,
                 "SECS Comminucation open error (%d) \"%s [%s]\"", result, c->secsini, c->secssect);
    } else {
        XKSStore(c->session[1], result);
        read_library();
        result = XKSMDOpen(0x4000, result, nullptr);
        if (result < 0)
            QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_SECS | QZVQ_LOG_FORMAT, 1,
                     "SECS Message definition file access error (%d) \"%s\"", result, c->lib.mdmssg);
    }
    if (result >= 0) {
        c->mdtable[1] = result;
        result = QZVQAnalizeConfigure(c);
    }
    if (result >= 0)
        result = QZVQAnalizeMssgDef(c);
    if (result >= 0) {
        if (status != nullptr) {
            int32_t mode = c->lib.secsmode;
            if ((mode & kEquip) != 0)
                status[1] |= QZVQ_STAT_EQUIP;
            if ((mode & kHsms) != 0)
                status[1] |= QZVQ_STAT_HSMS | ((mode & kActive) != 0 ? QZVQ_STAT_ACTIVE : 0);
            else if ((mode & kMaster) != 0)
                status[1] |= QZVQ_STAT_MASTER;
        }
        open_trace();
        // The threads' first lines come after the start lines.
        XKWLockEnter(&c->loglock[0], 0);
        log_held = true;
        *step = QZVQ_STEP_PLCTHREAD;
        result = start_thread(0, PLCProc, "qzvq-plc") ? 0 : -10001;
    }
    if (result >= 0) {
        *step = QZVQ_STEP_SECSTHREAD;
        result = start_thread(1, SECSProc, "qzvq-secs") ? 0 : -10002;
    }
    if (result >= 0) {
        if (!quiet_program())
            QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "Varnhold Pellmar Started");
        XKSStore(c->ready, 1);
        *step = 0;
    }
    if (log_held)
        XKWLockLeave(&c->loglock[0]);
    if (result < 0) {
        QZVQProcClose(QZVQ_CLOSE_CONSOLE | QZVQ_CLOSE_WAIT, status);
        return result;
    }
    return 0;
}

int32_t QZVQProcClose(int32_t flags, int32_t* status)
{
    (void)status;
    QZVQContext* c = ctx();
    if (XKSLoad(c->closing) == 2)
        return 0;
    int32_t count = wait_count();
    XKSStore(c->ready, 0);
    XKSStore(c->closing, 1);
    for (int32_t& run : c->run) {
        int32_t running = 1;
        __atomic_compare_exchange_n(&run, &running, 2, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    }
    if (!threads_ended(count))
        return E_BUSY;
    finish_stop(flags);
    return 0;
}

int32_t QZVQSetDisplay(int32_t flags)
{
    constexpr int32_t shown = QZVQ_DISP_LIST | QZVQ_DISP_HEXA | QZVQ_DISP_DETAIL | QZVQ_DISP_HANDSHAKE |
                              QZVQ_DISP_REDUNDANT;
    QZVQContext* c = ctx();
    XKSStore(c->display, (XKSLoad(c->display) & ~shown) | (flags & shown));
    return flags & QZVQ_DISP_HEXA;
}

// ---- status texts ----

namespace {

int32_t last_word[2] = {-1, -1};
int32_t last_state[2] = {-1, -1};

void plc_text(char* text, int32_t size)
{
    const QZVQContext* c = ctx();
    XKWTextOut out(text, size_t(size));
    out.add("PLC%s(%s:%d)%s", XKSLoad(c->plcid) <= 0 ? ":Offline" : ":Online", c->cfg.plchost, c->cfg.plcport,
            XKSLoad(c->plcstat) <= 0 ? ":Not ready" : ":Ready");
    int32_t depth = QZVQQueueDepth();
    if (depth > 0)
        out.add(":Queue %d", depth);
}

void secs_text(char* text, int32_t size, int32_t word, int32_t state)
{
    const QZVQContext* c = ctx();
    const QZVQLibrary& lib = c->lib;
    XKWTextOut out(text, size_t(size));
    const char* side = (word & QZVQ_STAT_EQUIP) != 0 ? ":Equip" : ":Host";
    if ((word & QZVQ_STAT_HSMS) != 0) {
        out.add("%s%s", (lib.secsmode & kGeneral) != 0 ? "HSMS-GS" : "HSMS-SS", side);
        if ((word & QZVQ_STAT_ACTIVE) != 0)
            out.add(",Active(%s:%d)", lib.host, lib.port);
        else
            out.add(",Passive(%d)", lib.port);
        constexpr const char* names[5] = {":Not connected", ":Connected", ":Selecting", ":Selected", ":Deselecting"};
        out.add("%s", names[state >= 1 && state <= 4 ? state : 0]);
    } else {
        out.add("SECS%s%s(%s)%s", side, (word & QZVQ_STAT_MASTER) != 0 ? ",Master" : ",Slave", lib.sdevice,
                state == 3 ? ":Ready" : ":Not ready");
    }
}

}  // namespace

int32_t QZVQProcStatus(int32_t flags, const int32_t* status, char* plctext, char* secstext, int32_t size)
{
    if ((flags & 0x80) != 0)
        for (int32_t side = 0; side < 2; ++side)
            last_word[side] = last_state[side] = -1;
    const QZVQContext* c = ctx();
    // The PLC side changes with its status, its connection and the depth
    // of the host message queue.
    int32_t state[2] = {(QZVQQueueDepth() << 17) | XKSLoad(c->plcstat) * 0x8000 | XKSLoad(c->plcid),
                        XKSGetXStat(XKSLoad(c->session[1]), 0)};
    int32_t rebuilt = 0;
    for (int32_t side = 0; side < 2; ++side) {
        int32_t word = status != nullptr ? status[side] : 0;
        if (word == last_word[side] && (state[side] < 0 || state[side] == last_state[side]))
            continue;
        last_word[side] = word;
        last_state[side] = state[side];
        char* text = side == 0 ? plctext : secstext;
        if (text != nullptr && size > 0) {
            if (side == 0)
                plc_text(text, size);
            else
                secs_text(text, size, word, state[side]);
        }
        rebuilt |= 1 << side;
    }
    return rebuilt;
}

int32_t QZVQProcResult(int32_t ignored, const int32_t* status, char* plctext, char* secstext, int32_t size,
                       int32_t result, int32_t step)
{
    (void)ignored;
    if (plctext == nullptr || secstext == nullptr || size <= 0)
        return 0;
    plctext[0] = secstext[0] = '\0';
    if (result == 0) {
        QZVQProcStatus(0x80, status, plctext, secstext, size);
        return 0;
    }
    switch (step) {
    case QZVQ_STEP_SECS:
        std::snprintf(secstext, size_t(size), "SECS Initialize error (%d)", result);
        break;
    case QZVQ_STEP_PLCTHREAD:
        std::snprintf(plctext, size_t(size), "PLC  Procedure thread initialize error (%d)", result);
        break;
    case QZVQ_STEP_SECSTHREAD:
        std::snprintf(secstext, size_t(size), "SECS Procedure thread initialize error (%d)", result);
        break;
    case QZVQ_STEP_CLOSING:
        std::snprintf(plctext, size_t(size), "Not conclude previous close process");
        break;
    default:
        break;
    }
    return 0;
}

// ---- worker threads ----

void PLCProc(void* argument)
{
    auto which = int32_t(reinterpret_cast<uintptr_t>(argument));
    QZVQContext* c = ctx();
    QZVQ_LOG(QZVQ_DIR_CONTROL | QZVQ_LOG_FORMAT, 1, "PLC  Auto connect thread (%d) START", which);
    int32_t last = -1;
    while (!stopping(0)) {
        int32_t id = XKSLoad(c->plcid);
        if (id < 1)
            id = PLCOpen();
        if (id > 0 && last < 1) {
            QZVQ_LOG(QZVQ_DIR_CONTROL, 1, "PLC connected");
            last = id;
        }
        if (id < 1 && last > 0) {
            QZVQ_LOG(QZVQ_DIR_CONTROL, 1, "PLC not connected");
            XKSStore(c->plcstat, 0);
            last = id;
        }
        if (id > 0 && PLCObserver() < 0) {
            PLCClose(1);
            QZVQPlcAway("the PLC connection was lost");
            id = 0;
        }
        if (id < 1)
            QZVQPlcOffline();
        if (stopping(0))
            break;
        if (id < 1)
            pause(0, c->cfg.plcinter[0]);
        else
            plc_pause(c->cfg.plcinter[1]);
    }
    PLCClose(0);
    // The session is still open: SECSProc closes it after this thread.
    QZVQQueueFlush("the bridge is stopping");
    QZVQ_LOG(QZVQ_DIR_CONTROL | QZVQ_LOG_FORMAT, 1, "PLC  Auto connect thread (%d) STOP", which);
    // Nothing of the bridge may be touched after this: the stop goes on.
    XKSStore(c->run[0], 0);
}

void SECSProc(void* argument)
{
    auto which = int32_t(reinterpret_cast<uintptr_t>(argument));
    QZVQContext* c = ctx();
    const QZVQLibrary& lib = c->lib;
    const char* name = (lib.secsmode & kHsms) != 0 ? "HSMS" : "SECS";
    constexpr int32_t flags = QZVQ_DIR_CONTROL | QZVQ_LOG_SECS | QZVQ_LOG_FORMAT;
    QZVQ_LOG(flags, 1, "SECS Auto connect thread (%d) START", which);
    pause(1, kSecsTick);
    bool active = (lib.secsmode & (kHsms | kActive)) == (kHsms | kActive);
    std::unique_ptr<Device[]> devices;
    int32_t ndev = 0;
    if (active)
        devices = device_table(&ndev);
    int64_t deadline = 1;  // no wait before the first connect
    int32_t last = -1;
    while (ndev >= 0 && !stopping(1)) {
        if (pause(1, kSecsTick))
            break;
        if (!active)
            continue;
        int32_t state = XKSGetXStat(XKSLoad(c->session[1]), 0);
        if (state == 0 && (lib.secsmode & kSpaced) != 0) {
            if (deadline == 0)
                deadline = now_seconds() + lib.t5;
            if (now_seconds() < deadline) {
                last = state;
                continue;
            }
            deadline = 0;
        }
        if ((lib.secsmode & kGeneral) != 0) {
            if (!general_pass(devices.get(), ndev, lib.t5))
                break;
        } else {
            int32_t mode = 0;
            if (state == 0)
                mode = XKS_SEND_CONNECT;
            else if (state == 1 && (last == 0 || last == 3 || last == 4))
                mode = XKS_SEND_SELECT;
            if ((mode != 0 ? !control(mode, 0) : XKSLoad(c->closing) != 0) || pause(1, kSecsTick))
                break;
        }
        const char* text = state_text(state);
        if (text != nullptr && state != last)
            QZVQ_LOG(flags, 1, text, name);
        last = state;
    }
    if ((lib.secsmode & kHsms) != 0) {
        XKWLockGuard lock(&c->access[1]);
        int32_t session = XKSLoad(c->session[1]);
        if (XKSGetXStat(session, 0) == 3) {
            DispSECSInfo(QZVQ_LOG_SECS | 3, 0x10000, 0, 0, nullptr, nullptr, -999);
            XKSSend(session, XKS_SEND_SEPARATE, 0, 0, 0, nullptr, 0, nullptr);
        }
    }
    devices.reset();
    // The PLC thread builds and sends with the session and the definitions
    // until it has ended (its accesses all have time limits); the session
    // goes first, which also ends the receive callback that matches with
    // the definitions.
    while (XKSLoad(c->run[0]) != 0)
        XKWSleep(20);
    close_secs();
    QZVQ_LOG(flags, 1, "SECS Auto connect thread (%d) STOP", which);
    XKSStore(c->run[1], 0);
}
