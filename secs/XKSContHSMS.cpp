// HSMS connections of the engine: listening on PORT with retries, accept
// slots, refusing or replacing a surplus connection, sharing one listening
// port between sessions of the process, the active connect, and the one
// shutdown operation every connection ends through; the receive and send
// procedures that serve a connection, and the link state set-all with its
// mirror and status report.
//
// Connection hand-over: a connection is handed to a session only when no
// reader of an earlier connection of that session is still running (xthr),
// and every hand-over bumps the session's connection generation under the
// shutdown lock. A thread that served an earlier connection shuts "its"
// connection by generation, so a late shutdown can never cut the one that
// replaced it.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/XKNSocket.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSLib.h"
#include "secs/XKSTCP.h"
#include "secs/XKSTrace.h"

namespace {

constexpr int32_t kSlots = 8;
constexpr int32_t kPorts = 64;
constexpr int32_t kConnectFailed = -961;
constexpr int32_t kConnected = -42;

// Link state values.
constexpr int32_t kNotConnected = 0;
constexpr int32_t kNotSelected = 1;

constexpr uint32_t SM_REUSE = 0x4;
constexpr uint32_t SM_IPV6 = 0x8;
constexpr uint32_t SM_ACTIVE = 0x40;
constexpr uint32_t SM_NAMES = 0x80;
constexpr uint32_t SM_REPLACE = 0x100;
constexpr uint32_t SM_REFUSE_TALK = 0x1000;
constexpr uint32_t SM_GENERAL = 0x8000;
constexpr uint32_t SM_SHARE = 0x20000;
constexpr uint32_t SM_KEEPALIVE_ON = 0x40000;
constexpr uint32_t SM_KEEPALIVE_SET = 0x80000;
constexpr uint32_t DM_REJECT_UNEXP = 0x800;
constexpr uint32_t DM_NOREJECT = 0x1000;

constexpr uint8_t ST_DATA = 0;
constexpr uint8_t ST_SELECT_REQ = 1;
constexpr uint8_t ST_SELECT_RSP = 2;
constexpr uint8_t ST_REJECT = 7;
constexpr uint8_t ST_SEPARATE = 9;

// Process-wide table of sessions sharing listening ports.
struct PortEntry {
    int32_t port;     // 0 = free
    int32_t owner;    // 0: listens itself; else the entry number of the listener
    int32_t sock;     // connection served; 0 = free for a new one
    XKSAcb* session;
};
std::mutex port_lock;
std::array<PortEntry, kPorts> ports{};

// One accept slot of the receive thread. `busy` is set while a refusal
// thread owns the slot.
struct AcceptSlot {
    XKNSocket ncb;
    XKSAcb snap;
    XKSAcb* session;
    int32_t busy;
};

// Waits that the protocol puts at one second are cut to INTER1 when that
// is shorter, so an engine configured for quick reactions also ends quickly.
int32_t poll_step(const XKSAcb* acb)
{
    return acb->cfg.inter1 > 0 && acb->cfg.inter1 < 1000 ? acb->cfg.inter1 : 1000;
}

int32_t level_of(const uint8_t* header)
{
    return header[4] == 0 && (header[5] == 5 || header[5] == 6) ? 9 : 4;
}

int32_t family_flags(const XKSAcb* acb)
{
    return (acb->cfg.secsmode & SM_IPV6) != 0 ? XKN_FAMILY_IPV6 : XKN_FAMILY_IPV4;
}

void trace_event(XKSAcb* acb, int32_t kind, int32_t result)
{
    XKSTraceMessage(acb, kind, nullptr, nullptr, result, 1, __FILE__, __LINE__);
}

// The fields of a session a refusal thread works with: settings, traces
// and resources are shared; the connection fields are its own.
void snapshot(XKSAcb* snap, const XKSAcb* acb, const XKNSocket& ncb, const char* peer)
{
    std::memset(snap, 0, sizeof *snap);
    snap->marker = acb->marker;
    // the INI watch of the control thread keeps writing the last two fields
    std::memcpy(&snap->cfg, &acb->cfg, offsetof(XKSConfig, xmtime));
    snap->ctrace = acb->ctrace;
    snap->etrace = acb->etrace;
    snap->ptrace = acb->ptrace;
    snap->tlock = acb->tlock;
    snap->tstream = acb->tstream;
    snap->tcb = acb->tcb;
    snap->tcbarg = acb->tcbarg;
    snap->self = acb->self;
    snap->res = acb->res;
    snap->qr = acb->qr;
    snap->qs = acb->qs;
    snap->qc = acb->qc;
    snap->qd = acb->qd;
    snap->ncb = ncb;
    XKWStrCopy(snap->ahost, peer, sizeof snap->ahost);
    XKSStore(snap->trcsd, ncb.socket);
}

void clear_first_transaction(XKSAcb* acb)
{
    XKSContRes* res = acb->res;
    XKWLockEnter(&res->plock, 0);
    if (res->tx != nullptr && (acb->cfg.secsmode & SM_REPLACE) != 0)
        std::memset(&res->tx[0], 0, sizeof res->tx[0]);
    cont_set_xtx(acb, 0);
    __atomic_store_n(&acb->xlt, 0, __ATOMIC_RELEASE);
    XKWLockLeave(&res->plock);
}

// Shut the connection of generation gen (0: whatever is current). The
// socket is shut down both ways, which wakes its reader; the descriptor
// itself is closed by release_connection once nobody reads it any more,
// so its number cannot be reused under a reader.
void shutdown_connection(XKSAcb* acb, int32_t gen, int32_t pause_ms)
{
    if (XKSLoad(acb->fshut) != 0)
        return;
    XKWLock* lock = &acb->res->slock;
    XKWLockEnter(lock, 0);
    if (XKSLoad(acb->fshut) != 0 || (gen != 0 && gen != XKSLoad(acb->ngen))) {
        XKWLockLeave(lock);
        return;
    }
    XKSStore(acb->fshut, 1);
    if (acb->ncb.socket != 0) {
        XKSStore(acb->trcsd, acb->ncb.socket);
        XKNTCPShutdown(&acb->ncb, 3);
        if (pause_ms > 0)
            XKWSleep(pause_ms);
        ContHSMSSetupDStat(acb, kNotConnected);
        trace_event(acb, XKS_TK_SHUTDOWN | XKS_TK_SHUTLINES, 0);
    }
    int32_t n = acb->cfg.devst != nullptr ? acb->cfg.ndev : 0;
    for (int32_t i = 0; i < n; ++i)
        __atomic_store_n(&acb->cfg.devst[i], uint8_t(0), __ATOMIC_RELEASE);
    if (n > 0)
        std::memset(acb->cfg.devss, 0, size_t(n));
    XKSStore(acb->xstat, kNotConnected);
    acb->ss = 0;
    cont_mirror(acb);
    XKWLockLeave(lock);
}

// Close the descriptor of a connection that has been shut, by the thread
// that read it.
void release_connection(XKSAcb* acb, int32_t gen)
{
    XKWLockEnter(&acb->res->slock, 0);
    if (XKSLoad(acb->fshut) != 0 && (gen == 0 || gen == XKSLoad(acb->ngen)) && acb->ncb.socket != 0) {
        // A write still under way ends at once on the shut socket; the
        // descriptor must not be closed (and reused) under it.
        for (int i = 0; i < 5000 && __atomic_load_n(&acb->nwrite, __ATOMIC_ACQUIRE) != 0; ++i)
            XKWSleep(1);
        XKNTCPClose(&acb->ncb);
    }
    XKWLockLeave(&acb->res->slock);
}


bool connection_released(XKSAcb* acb)
{
    XKWLockEnter(&acb->res->slock, 0);
    bool released = acb->ncb.socket == 0;
    XKWLockLeave(&acb->res->slock);
    return released;
}

void close_listener(XKSAcb* acb, int32_t pause_ms)
{
    XKWLock* lock = &acb->res->slock;
    XKWLockEnter(lock, 0);
    bool open = acb->ccb.entry[0].socket != 0;
    if (open)
        XKNTCPServerClose(&acb->ccb);
    XKWLockLeave(lock);
    if (!open)
        return;
    if (pause_ms > 0)
        XKWSleep(pause_ms);
    trace_event(acb, XKS_TK_TERMINATE | XKS_TK_SHUTLINES, 0);
}

// Give the connection to the session: new generation, fshut cleared.
void take_connection(XKSAcb* acb, const XKNSocket& ncb, const char* peer)
{
    XKWLockEnter(&acb->res->slock, 0);
    acb->ncb = ncb;
    XKWStrCopy(acb->ahost, peer, sizeof acb->ahost);
    XKSStore(acb->trcsd, ncb.socket);
    XKSStore(acb->ngen, acb->ngen + 1);
    XKSStore(acb->fshut, 0);
    XKSStore(acb->fend, 0);
    XKWLockLeave(&acb->res->slock);
}

// Wait until the readers of a session's earlier connections have ended.
bool readers_gone(XKSAcb* acb)
{
    for (int i = 0; i < 500 && XKSLoad(acb->xthr) != 0; ++i) {
        if (XKSLoad(acb->fexit) != 0)
            return false;
        XKWSleep(10);
    }
    return XKSLoad(acb->xthr) == 0;
}

int32_t event(XKSAcb* acb, int32_t req, int32_t rtn, const uint8_t* header)
{
    return cont_put(acb, acb->qr, req, rtn, header, nullptr, 0);
}

// The error line of a receive procedure result.
void receive_error(XKSAcb* acb, int32_t rc, int32_t stype)
{
    const char* what = rc == XKW_E_INVAL        ? "Invalid S-Type code"
                       : rc == kConnected      ? "Illegal receive sequence"
                       : rc == XKW_E_NODEV     ? "Undefined device id"
                       : rc == XKS_E_TOOLONG   ? "Received message too large"
                                               : "Internal receive queue put";
    cont_log(acb, XKS_LOG_ERR | XKS_LOG_PROC, 0, "[ERROR] RecvHSMS: %-26s (%d,%d) on %d,%d,%d.  req=%d", what, rc,
             errno, XKSLoad(acb->xeps0), XKSLoad(acb->xeps1), XKSLoad(acb->xeps2), stype);
}

// ---- threads serving one connection ----

void thread_recv_connection(void* argument)
{
    XKSAcb* acb = static_cast<XKSAcb*>(argument);
    if (acb->marker == XKS_ACB_OPEN) {
        int32_t gen = XKSLoad(acb->ngen);
        ContHSMSSetupDStat(acb, kNotSelected);
        RecvHSMSProc(acb);
        shutdown_connection(acb, gen, 0);
        release_connection(acb, gen);
    }
    __atomic_fetch_sub(&acb->xthr, 1, __ATOMIC_ACQ_REL);
}

// Answer a surplus connection until T7 has passed since it came: Select.req
// gets "connect exhausted", anything else Reject.req "entity not selected".
void cancel_connect(void* argument)
{
    AcceptSlot* slot = static_cast<AcceptSlot*>(argument);
    XKSAcb* snap = &slot->snap;
    XKSAcb* session = slot->session;
    uint8_t* body = static_cast<uint8_t*>(std::malloc(size_t(snap->cfg.xmsgsize > 0 ? snap->cfg.xmsgsize : 65536)));
    int64_t deadline = cont_now() + snap->cfg.t7;
    while (body != nullptr && cont_now() <= deadline && XKSLoad(session->fexit) == 0) {
        uint8_t header[10] = {};
        int32_t n = TCPRead(snap, header, body, -poll_step(snap), __FILE__, __LINE__);
        if (n == XKS_E_FIRSTWAIT)
            continue;
        if (n < 0 || (header[4] == 0 && header[5] == ST_SEPARATE))
            break;
        uint8_t answer[10];
        std::memcpy(answer, header, sizeof answer);
        answer[4] = 0;
        if (header[5] == ST_SELECT_REQ) {
            answer[2] = 0;
            answer[3] = 3;
            answer[5] = ST_SELECT_RSP;
        } else {
            answer[2] = header[5];
            answer[3] = 4;
            answer[5] = ST_REJECT;
        }
        TCPWrite(snap, answer, nullptr, 0, nullptr, __FILE__, __LINE__);
    }
    std::free(body);
    XKNTCPClose(&snap->ncb);
    trace_event(snap, XKS_TK_SHUTDOWN | XKS_TK_SHUTLINES, 0);
    XKSStore(slot->busy, 0);
}

// ---- port sharing ----

// Register the session; returns the listener's entry (0 = this session
// listens, -1 = no sharing).
int32_t port_register(XKSAcb* acb)
{
    std::lock_guard<std::mutex> guard(port_lock);
    int32_t own = -1, listener = 0;
    for (int32_t i = 0; i < kPorts; ++i) {
        if (own < 0 && ports[size_t(i)].port == 0)
            own = i;
        if (ports[size_t(i)].port == acb->cfg.port && ports[size_t(i)].owner == 0)
            listener = i + 1;
    }
    if (own < 0)
        return -1;
    ports[size_t(own)] = {acb->cfg.port, listener, 0, acb};
    acb->pone = own + 1;
    return listener;
}

void port_free(XKSAcb* acb)
{
    if (acb->pone <= 0)
        return;
    std::lock_guard<std::mutex> guard(port_lock);
    ports[size_t(acb->pone - 1)] = {};
    acb->pone = 0;
}

// After this session got its port: it owns every other entry of the port.
void port_adopt(XKSAcb* acb)
{
    std::lock_guard<std::mutex> guard(port_lock);
    for (int32_t i = 0; i < kPorts; ++i)
        if (i + 1 != acb->pone && ports[size_t(i)].port == acb->cfg.port)
            ports[size_t(i)].owner = acb->pone;
}

// Choose the session for an accepted socket: poset and the target.
int32_t port_choose(XKSAcb* acb, int32_t sock, XKSAcb** target)
{
    std::lock_guard<std::mutex> guard(port_lock);
    PortEntry& own = ports[size_t(acb->pone - 1)];
    // The listener takes connections again once its own has ended.
    if (own.sock != 0 && XKSLoad(acb->xstat) == 0 && XKSLoad(acb->xthr) == 0)
        own.sock = 0;
    if (own.sock == 0) {
        own.sock = sock;
        return acb->pone;
    }
    for (int32_t i = 0; i < kPorts; ++i) {
        PortEntry& e = ports[size_t(i)];
        if (e.port == acb->cfg.port && e.owner == acb->pone && e.sock == 0) {
            e.sock = sock;
            *target = e.session;
            return i + 1;
        }
    }
    return -2;
}

// A session whose port another session listens on: keeps its entry free
// while it has no connection.
void port_idle(XKSAcb* acb)
{
    while (XKSLoad(acb->fexit) == 0) {
        if (XKSLoad(acb->xstat) == 0 && XKSLoad(acb->xthr) == 0) {
            std::lock_guard<std::mutex> guard(port_lock);
            ports[size_t(acb->pone - 1)].sock = 0;
        }
        XKWSleep(poll_step(acb));
    }
}

// ---- the receive thread, passive ----

int32_t listen_port(XKSAcb* acb)
{
    int32_t flags = family_flags(acb) | ((acb->cfg.secsmode & SM_REUSE) != 0 ? XKN_REUSEADDR : 0);
    int64_t deadline = cont_now() + acb->cfg.t7;
    for (;;) {
        int32_t port = acb->cfg.port;
        int32_t rc = XKNTCPServerOpen(&acb->ccb, flags, nullptr, 4, 1, &port);
        XKSStore(acb->trcsd, acb->ccb.entry[0].socket);
        trace_event(acb, XKS_TK_INITIALIZE, rc);
        if (rc == 0 || cont_now() > deadline || XKSLoad(acb->fexit) != 0)
            return rc;
        XKWSleep(1000);
    }
}

// Hand a connection over to target: its reader thread and event 91.
// Returns false when event 91 could not be put (the receive thread ends).
bool hand_over(XKSAcb* acb, XKSAcb* target, AcceptSlot& slot)
{
    clear_first_transaction(target);
    take_connection(target, slot.ncb, slot.snap.ahost);
    std::memset(&slot.ncb, 0, sizeof slot.ncb);
    // Connected goes first: the reader may report a Select.req at once.
    int32_t rc = event(target, XKS_EV_CONNECTED, 0, nullptr);
    if (rc < 0) {
        cont_error(acb, rc, "RecvHSMS: Send accepted message");
        shutdown_connection(target, 0, 0);
        release_connection(target, 0);
        return false;
    }
    char arg[17];
    cont_addr_text(target, arg);
    __atomic_fetch_add(&target->xthr, 1, __ATOMIC_ACQ_REL);
    if (cont_start_thread(acb, "  For accepted", "XKSCThreadRecvHSMS", thread_recv_connection, target, arg) != 0) {
        __atomic_fetch_sub(&target->xthr, 1, __ATOMIC_ACQ_REL);
        shutdown_connection(target, 0, 0);
        release_connection(target, 0);
        event(target, XKS_EV_ENDED, 1, nullptr);
    }
    return true;
}

int32_t accept_loop(XKSAcb* acb, AcceptSlot* slots, bool sharing)
{
    int32_t cur = 0;
    while (XKSLoad(acb->fexit) == 0) {
        // all eight slots refusing: wait for one to come free
        if (XKSLoad(slots[cur].busy) != 0) {
            XKWSleep(100);
            continue;
        }
        AcceptSlot& slot = slots[cur];
        char peer[XKN_NAMESIZE] = {};
        int32_t rc = XKNTCPServerAccept(&acb->ccb, poll_step(acb), &slot.ncb, peer, sizeof peer, nullptr);
        if (rc == 1)
            continue;
        if (rc < 0) {
            if (XKSLoad(acb->fexit) != 0)
                return 0;
            if (event(acb, XKS_REQ_DATA, rc, nullptr) < 0)
                cont_error(acb, rc, "RecvHSMS: Send error message");
            return rc;
        }
        snapshot(&slot.snap, acb, slot.ncb, peer);
        slot.session = acb;
        trace_event(&slot.snap, XKS_TK_ACCEPT, 0);

        XKSAcb* target = acb;
        int32_t poset = sharing ? port_choose(acb, slot.ncb.socket, &target) : -1;
        if (poset == -1 && (acb->cfg.secsmode & SM_REPLACE) != 0 && XKSLoad(acb->xstat) > 0) {
            XKWSleep(acb->cfg.inter1);
            shutdown_connection(acb, 0, 0);
            event(acb, XKS_EV_ENDED, 1, nullptr);
            while (XKSLoad(acb->fexit) == 0 && (XKSLoad(acb->xstat) != 0 || XKSLoad(acb->xthr) != 0))
                XKWSleep(acb->cfg.inter1 < 100 ? acb->cfg.inter1 : 100);
        }
        bool busy = XKSLoad(target->xstat) > 0 || !readers_gone(target);
        if (poset < 0 && busy) {
            if ((acb->cfg.secsmode & SM_REFUSE_TALK) != 0) {
                XKSStore(slot.busy, 1);
                char arg[XKN_NAMESIZE + 16];
                std::snprintf(arg, sizeof arg, "%d:%s", cur, peer);
                if (cont_start_thread(acb, "  For accept cancel", "XKSCThreadRecvHSMSCancelConnect",
                                      cancel_connect, &slot, arg) != 0) {
                    XKSStore(slot.busy, 0);
                    XKNTCPClose(&slot.ncb);
                }
                // the refusal closes the socket through its snapshot
                std::memset(&slot.ncb, 0, sizeof slot.ncb);
                // the refusal owns this slot now
                cur = (cur + 1) % kSlots;
            } else {
                XKNTCPClose(&slot.ncb);
                trace_event(&slot.snap, XKS_TK_SHUTDOWN | XKS_TK_SHUTLINES, 0);
            }
            continue;
        }
        if (busy) {
            // a sharing session that is still winding down its last connection
            XKNTCPClose(&slot.ncb);
            trace_event(&slot.snap, XKS_TK_SHUTDOWN | XKS_TK_SHUTLINES, 0);
            continue;
        }
        if (!hand_over(acb, target, slot))
            return XKW_E_FAIL;
    }
    return 0;
}

int32_t recv_passive(XKSAcb* acb)
{
    bool sharing = false;
    int32_t listener = -1;
    if ((acb->cfg.secsmode & SM_SHARE) != 0) {
        listener = port_register(acb);
        sharing = listener >= 0;
    }
    if (listener >= 1) {
        port_idle(acb);
        port_free(acb);
        return 0;
    }
    int32_t rc = listen_port(acb);
    if (rc < 0) {
        port_free(acb);
        if (event(acb, XKS_REQ_DATA, rc, nullptr) < 0)
            cont_error(acb, rc, "RecvHSMS: Send error message");
        return rc;
    }
    if ((acb->cfg.secsmode & SM_NAMES) == 0)
        XKNSetOptions(XKN_OPT_NUMERIC, XKN_OPT_NUMERIC);
    if (sharing)
        port_adopt(acb);
    AcceptSlot* slots = static_cast<AcceptSlot*>(std::calloc(kSlots, sizeof(AcceptSlot)));
    if (slots == nullptr) {
        cont_error(acb, XKW_E_NOMEM, "RecvHSMS: Memory allocate");
        rc = XKW_E_NOMEM;
    } else {
        rc = accept_loop(acb, slots, sharing);
        // refusal threads still own their slots: let them finish first
        for (int32_t i = 0; i < kSlots; ++i) {
            while (XKSLoad(slots[i].busy) != 0)
                XKWSleep(10);
            XKNTCPClose(&slots[i].ncb);
        }
        std::free(slots);
    }
    port_free(acb);
    return rc;
}

int32_t recv_active(XKSAcb* acb)
{
    // The first frame of a new connection (the Select.rsp the host waits
    // for) must not sit in the socket for a whole INTER1 poll.
    int32_t step = std::min(poll_step(acb), 10);
    while (XKSLoad(acb->fexit) == 0) {
        if (XKSLoad(acb->xstat) == 0) {
            XKWSleep(step);
            continue;
        }
        int32_t gen = XKSLoad(acb->ngen);
        int32_t r = RecvHSMSProc(acb);
        shutdown_connection(acb, gen, 1000);
        release_connection(acb, gen);
        if (r == 1)
            break;
    }
    return 0;
}

// ---- send side ----


}  // namespace

// ---- link state ----

void cont_mirror(XKSAcb* acb)
{
    XKSAcb* user = acb->self != nullptr ? acb->self->acbu : acb->acbu;
    if (user == nullptr || (acb->omode & 0x1003) != 0x1002)
        return;
    int32_t n = acb->cfg.ndev < user->cfg.ndev ? acb->cfg.ndev : user->cfg.ndev;
    for (int32_t i = 0; i < n && acb->cfg.devst != nullptr && user->cfg.devst != nullptr; ++i)
        __atomic_store_n(&user->cfg.devst[i], acb->cfg.devst[i], __ATOMIC_RELEASE);
    XKSStore(user->xstat, XKSLoad(acb->xstat));
}

int32_t cont_write(XKSAcb* acb, const uint8_t* header, const uint8_t* body, int32_t length,
                   const XKSWriteOptions* options, const char* source, int32_t line)
{
    XKWLock* lock = &acb->res->slock;
    XKWLockEnter(lock, 0);
    bool open = XKSLoad(acb->fshut) == 0 && acb->ncb.socket != 0;
    if (open)
        __atomic_fetch_add(&acb->nwrite, 1, __ATOMIC_ACQ_REL);
    XKWLockLeave(lock);
    if (!open)
        return XKW_E_CLOSED;
    int32_t rc = TCPWrite(acb, header, body, length, options, source, line);
    __atomic_fetch_sub(&acb->nwrite, 1, __ATOMIC_ACQ_REL);
    return rc;
}

void cont_set_xtx(XKSAcb* acb, int32_t count)
{
    XKSStore(acb->xtx, count);
    XKSAcb* user = acb->self != nullptr ? acb->self->acbu : acb->acbu;
    if (user != nullptr && (acb->omode & 0x1003) == 0x1002)
        XKSStore(user->xtx, count);
}

void cont_status_report(XKSAcb* acb)
{
    bool general = (acb->cfg.secsmode & SM_GENERAL) != 0;
    int32_t n = acb->cfg.devst != nullptr && acb->cfg.devss != nullptr ? acb->cfg.ndev : 0;
    int32_t xstat = XKSLoad(acb->xstat);
    int32_t changed = 0;
    for (int32_t i = 0; general && i < n; ++i)
        changed += acb->cfg.devst[i] != acb->cfg.devss[i];
    if (xstat == acb->ss && changed == 0)
        return;
    char line[320];
    int len = xstat != acb->ss
                  ? std::snprintf(line, sizeof line, "Status change [%3d] xstat=%d->%d", -1, acb->ss, xstat)
                  : std::snprintf(line, sizeof line, "Status change [%3d] xstat=%d   ", changed, xstat);
    if (general) {
        len += std::snprintf(line + len, sizeof line - size_t(len), "  devst=");
        for (int32_t i = 0; i < n && len <= 224; ++i) {
            int st = acb->cfg.devst[i], old = acb->cfg.devss[i];
            const char* sep = i > 0 ? ", " : "";
            len += st == old ? std::snprintf(line + len, sizeof line - size_t(len), "%s0x%04x:%d", sep,
                                             acb->cfg.devid[i], st)
                             : std::snprintf(line + len, sizeof line - size_t(len), "%s0x%04x:%d->%d", sep,
                                             acb->cfg.devid[i], old, st);
            if (len >= int(sizeof line))
                len = int(sizeof line) - 1;
        }
    }
    cont_log(acb, XKS_LOG_PROC, 1, "%s", line);
    acb->ss = xstat;
    for (int32_t i = 0; i < n; ++i)
        acb->cfg.devss[i] = acb->cfg.devst[i];
}

void ContHSMSSetupDStat(XKSAcb* acb, int32_t state)
{
    // the receive and the send thread both change states
    XKWLockEnter(&acb->res->slock, 0);
    for (int32_t i = 0; acb->cfg.devst != nullptr && i < acb->cfg.ndev; ++i)
        __atomic_store_n(&acb->cfg.devst[i], uint8_t(state), __ATOMIC_RELEASE);
    XKSStore(acb->xstat, state);
    cont_mirror(acb);
    cont_status_report(acb);
    XKWLockLeave(&acb->res->slock);
}

// ---- public engine operations ----

void TCPShutdown(XKSAcb* acb, int32_t selector, int32_t pause_ms)
{
    if (selector != 0)
        close_listener(acb, pause_ms);
    else
        shutdown_connection(acb, 0, pause_ms);
}

int32_t RecvHSMS(XKSAcb* acb)
{
    XKSSetBits(acb->sexec, XKS_SEXEC_RECV);
    bool active = (acb->cfg.secsmode & SM_ACTIVE) != 0;
    int32_t rc = active ? recv_active(acb) : recv_passive(acb);
    shutdown_connection(acb, 0, 0);
    // passive connections are closed by their own readers
    if (active)
        release_connection(acb, 0);
    close_listener(acb, 0);
    XKSStore(acb->fexit, 1);
    if (rc < 0 && acb->xerr == 0)
        acb->xerr = rc;
    XKSClearBits(acb->sexec, XKS_SEXEC_RECV);
    return rc;
}

int32_t SendHSMSConnect(XKSAcb* acb, XKSRequest* request)
{
    if ((acb->cfg.secsmode & SM_ACTIVE) == 0)
        return XKW_E_INVAL;
    if (XKSLoad(acb->xstat) != 0)
        return kConnected;
    // the reader of the last connection may still be letting go of it
    for (int i = 0; i < 200 && !connection_released(acb); ++i)
        XKWSleep(10);
    if (!connection_released(acb))
        return kConnected;
    XKSStore(acb->fshut, 0);
    XKWStrCopy(acb->ahost, acb->cfg.host, sizeof acb->ahost);
    int32_t ms = acb->cfg.t5 * 1000 < 3000 ? acb->cfg.t5 * 1000 : 3000;
    int64_t deadline = cont_now() + acb->cfg.t5;
    XKNSocket ncb = {};
    int32_t rc;
    for (;;) {
        rc = XKNTCPClientOpen(&ncb, family_flags(acb), acb->cfg.host);
        if (rc == 0)
            rc = XKNTCPClientConnect(&ncb, 0, acb->cfg.host, acb->cfg.port, ms > 0 ? ms : 1000);
        XKSStore(acb->trcsd, ncb.socket);
        trace_event(acb, XKS_TK_CONNECT, rc);
        if (rc == 0)
            break;
        XKNTCPClose(&ncb);
        if (XKSLoad(acb->fexit) != 0 || XKSLoad(acb->fshut) != 0 || cont_now() > deadline) {
            trace_event(acb, XKS_TK_CONN_ERR, kConnectFailed);
            return kConnectFailed;
        }
        XKWSleep(1000);
    }
    // Connected is reported before the receive thread starts reading (it
    // waits for the state), so whatever it reads comes after it.
    clear_first_transaction(acb);
    cont_put(acb, acb->qr, XKS_EV_CONNECTED, request->rtn, request->header, nullptr, 0);
    take_connection(acb, ncb, acb->cfg.host);
    ContHSMSSetupDStat(acb, kNotSelected);
    return 0;
}

int32_t RecvHSMSProc(XKSAcb* acb)
{
    const XKSConfig& cfg = acb->cfg;
    XKSContRecord buf(acb);
    if (buf.data == nullptr) {
        cont_error(acb, XKW_E_NOMEM, "RecvHSMS: Memory allocate");
        return 1;
    }
    XKSRequest* rec = buf.rec();
    uint8_t* body = buf.body();
    if ((cfg.secsmode & SM_KEEPALIVE_SET) != 0)
        XKNSetKeepAlive(acb->ncb.socket, (cfg.secsmode & SM_KEEPALIVE_ON) != 0 ? 1 : 0);
    acb->tsrcv = 0;
    int32_t seen = -1;
    int64_t t7 = 0;
    int32_t result = 0;
    for (;;) {
        if (XKSLoad(acb->fexit) != 0) {
            result = 1;
            break;
        }
        std::memset(buf.data, 0, size_t(buf.size < 60 ? buf.size : 60));
        int32_t reason = 0;
        int32_t xstat = XKSLoad(acb->xstat);
        if (xstat != seen) {
            seen = xstat;
            t7 = (xstat == 1 || xstat == 2 || xstat == 4) && cfg.t7 >= 1 ? cont_now() + cfg.t7 : 0;
        }
        if (cfg.torecv > 0 && acb->tsrcv == 0)
            acb->tsrcv = cont_now() + cfg.torecv;
        int32_t n = TCPRead(acb, rec->header, body, -poll_step(acb), __FILE__, __LINE__);
        if (XKSLoad(acb->fexit) != 0) {
            result = 1;
            break;
        }
        if (n >= 0)
            XKSTraceMessage(acb, XKS_TK_RECEIVE | XKS_TK_PROCESS, rec->header, body, n, level_of(rec->header),
                            __FILE__, __LINE__);
        if (n == XKS_E_T8) {
            event(acb, XKS_EV_T8, 0, rec->header);
            XKSTraceMessage(acb, XKS_TK_T8TIMEOUT, rec->header, nullptr, XKS_E_T8, 1, __FILE__, __LINE__);
            event(acb, XKS_EV_ENDED, XKS_E_T8, nullptr);
            break;
        }
        if (n == XKS_E_FIRSTWAIT) {
            if (XKSLoad(acb->fshut) != 0)
                break;
            int64_t now = cont_now();
            if ((xstat == 1 || xstat == 2 || xstat == 4) && t7 != 0 && now >= t7) {
                trace_event(acb, XKS_TK_T7TIMEOUT, 0);
                event(acb, XKS_EV_T7, 0, nullptr);
                event(acb, XKS_EV_ENDED, -987, nullptr);
                break;
            }
            if ((xstat == 0 || xstat == 3) && cfg.torecv > 0 && now >= acb->tsrcv) {
                trace_event(acb, XKS_TK_NOMSSG_TO, 0);
                event(acb, XKS_EV_NOMSSG, 0, nullptr);
                event(acb, XKS_EV_ENDED, XKS_E_FIRSTWAIT, nullptr);
                break;
            }
            continue;
        }
        if (n < 0) {
            // shut by another thread, or ended by our own Separate.req:
            // the thread that ended it reports the end
            if (XKSLoad(acb->fshut) == 0 && XKSLoad(acb->fend) == 0)
                event(acb, XKS_EV_ENDED, int16_t(n), nullptr);
            break;
        }
        acb->tsrcv = 0;
        rec->len = uint32_t(n);
        if (rec->header[4] != 0)
            reason = 2;
        int32_t rc = 0;
        if (reason == 0 && SearchDel(acb, rec->header, 0, body, n) == XKW_E_NOTFOUND) {
            // a reply nobody waits for: the user sees it marked
            XKSTraceMessage(acb, XKS_TK_UNEXP_MSSG, rec->header, nullptr, -14, 1, __FILE__, __LINE__);
            cont_log(acb, XKS_LOG_PROC, 1, "RecvHSMSProc 6.21 sf=0x%04x xid=0x%08x Unexpected message receive (%d)",
                     rec->header[2] << 8 | rec->header[3], cont_system(rec->header), -14);
            bool reject = (cfg.devmode & DM_REJECT_UNEXP) != 0;
            if (!reject)
                SendErrorMessage(acb, rec->header, 9, 7);
            cont_put(acb, acb->qr, XKS_REQ_DATA, -14, rec->header, body, n);
            if (!reject)
                continue;
            reason = 3;
        }
        if (reason == 0) {
            switch (rec->header[5]) {
            case ST_DATA:
                rc = RecvHSMSData(acb, rec, body, n);
                break;
            case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 9:
                rc = RecvHSMSControl(acb, rec, n);
                break;
            default:
                rc = XKW_E_INVAL;
                reason = 1;
            }
        }
        if (rc < 0)
            receive_error(acb, rc, rec->header[5]);
        if (rc == 1) {
            event(acb, XKS_EV_ENDED, 1, nullptr);
            break;
        }
        if (reason > 0 && (cfg.devmode & DM_NOREJECT) == 0)
            SendRejectMessage(acb, rec->header, reason);
    }
    return result;
}

int32_t SendHSMSProc(XKSAcb* acb)
{
    XKSContRecord buf(acb);
    if (buf.data == nullptr) {
        cont_error(acb, XKW_E_NOMEM, "SendHSMS: Memory allocate");
        return 1;
    }
    XKSRequest* rec = buf.rec();
    uint8_t* body = buf.body();
    int32_t xopen = XKSLoad(acb->xstat);
    int32_t gen = XKSLoad(acb->ngen);
    int32_t result = 0;
    for (;;) {
        if (XKSLoad(acb->fexit) != 0) {
            result = 1;
            break;
        }
        int32_t xstat = XKSLoad(acb->xstat);
        if (xstat == 0 && xopen != 0)
            break;
        XKQRecordHeader qh;
        int32_t n = cont_next_request(acb, buf, &qh, "SendHSMS");
        if (n == XKW_E_NOMORE)
            continue;
        if (n < 0) {
            result = n;
            break;
        }
        uint16_t sf = uint16_t(rec->header[2] << 8 | rec->header[3]);
        uint16_t hi, lo;
        std::memcpy(&hi, rec->header + 6, 2);
        std::memcpy(&lo, rec->header + 8, 2);
        uint32_t xid = uint32_t(hi) << 16 | lo;
        cont_log(acb, XKS_LOG_PROC, 5,
                 "SendHSMSProc 3.00 sf=0x%04x xid=0x%08x Send request (%3d,%d)  xstat=%d  Q.rec=%d .tm=%d .len=%d", sf,
                 xid, rec->req, rec->mode, xstat, qh.rec, qh.tm, qh.len);
        int32_t rc;
        switch (rec->req) {
        case XKS_REQ_DATA:
            rc = SendHSMSData(acb, rec, body);
            break;
        case XKS_REQ_CONNECT:
            rc = SendHSMSConnect(acb, rec);
            break;
        case XKS_REQ_SELECT: case XKS_REQ_SELECT_RSP: case XKS_REQ_DESELECT: case XKS_REQ_DESELECT_RSP:
        case XKS_REQ_LINKTEST: case XKS_REQ_LINKTEST_RSP: case XKS_REQ_REJECT: case XKS_REQ_SEPARATE:
        case 92: case 97: case 98: case 99:
            rc = SendHSMSControl(acb, rec);
            break;
        case XKS_REQ_COMMENT:
            rc = ContComment(acb, rec);
            break;
        case XKS_REQ_TERMINATE:
            XKSStore(acb->fexit, 1);
            rc = 1;
            break;
        default:
            rc = XKW_E_INVAL;
        }
        if (rec->req == XKS_REQ_TERMINATE) {
            result = 1;
            break;
        }
        if (XKSLoad(acb->fexit) != 0)
            continue;
        if (XKSLoad(acb->xstat) > 0) {
            xopen = XKSLoad(acb->xstat);
            gen = XKSLoad(acb->ngen);
        }
        if ((rec->mode & XKS_REQ_MODE_RESULT) != 0) {
            cont_log(acb, XKS_LOG_PROC, 5, "SendHSMSProc 3.40 sf=0x%04x xid=0x%08x  Send reply (%3d) xstat=%d req=%3d",
                     sf, xid, rc, XKSLoad(acb->xstat), rec->req);
            rec->rtn = int16_t(rc);
            int32_t put = cont_put_record(acb, acb->qc, rec, XKS_REQ_SIZE);
            if (put < 0) {
                cont_error(acb, put, "SendHSMS: Internal reply queue put");
                result = put;
                break;
            }
        }
        if (rc == 1) {
            event(acb, XKS_EV_ENDED, 1, nullptr);
            break;
        }
    }
    shutdown_connection(acb, gen, 0);
    return result;
}

int32_t SendHSMS(XKSAcb* acb)
{
    XKSSetBits(acb->sexec, XKS_SEXEC_SEND);
    int32_t rc = 0;
    while (rc == 0 && XKSLoad(acb->fexit) == 0)
        rc = SendHSMSProc(acb);
    XKSStore(acb->fexit, 1);
    if (rc < 0 && acb->xerr == 0)
        acb->xerr = rc;
    XKSClearBits(acb->sexec, XKS_SEXEC_SEND);
    return rc < 0 ? rc : 0;
}
