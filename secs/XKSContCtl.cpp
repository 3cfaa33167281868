// HSMS control messages of the engine (Select, Deselect, Linktest, Reject,
// Separate) on both sides, and the link and device states they move.
//
// The receiving side runs on the connection's reader and never writes to
// the socket: its answers go on the engine's own send queue, so the send
// thread writes every frame in queue order. The sending side runs on the
// send thread. Both threads change states, so every change (stores,
// derivation of xstat, mirror, status report) happens under the shutdown
// lock; plain state checks read the states atomically without it.
//
// Single session: every device state equals xstat. General session
// (SECSMODE 0x8000): one state per DEVID entry, xstat derived from them.
#include <cstring>

#include "runtime/XKWResult.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSLib.h"
#include "secs/XKSTCP.h"

namespace {

constexpr uint32_t SM_EQUIP = 0x10;
constexpr uint32_t SM_DEVBIT15 = 0x200;
constexpr uint32_t SM_CTLDEV = 0x400;    // control messages carry the device id
constexpr uint32_t SM_WBIT = 0x800;      // W-bit on Select/Deselect/Linktest.req
constexpr uint32_t SM_SEPALL = 0x2000;   // a separate ends the whole connection
constexpr uint32_t SM_ENDIDLE = 0x4000;  // end when no device remains selected
constexpr uint32_t SM_ACTIVE = 0x40;
constexpr uint32_t SM_GENERAL = 0x8000;

constexpr int32_t kIllegal = XKW_E_LENBYTES;  // -42: wrong state for this message
constexpr uint16_t kAnySession = 0xFFFF;

// Link and device states.
constexpr int32_t kNotSelected = 1;
constexpr int32_t kSelecting = 2;
constexpr int32_t kSelected = 3;
constexpr int32_t kDeselecting = 4;

// Select.rsp and Deselect.rsp status "device unknown".
constexpr int32_t kUnknownDevice = 4;

constexpr uint8_t ST_SELECT_REQ = 1, ST_SELECT_RSP = 2, ST_DESELECT_REQ = 3, ST_DESELECT_RSP = 4;
constexpr uint8_t ST_LINKTEST_REQ = 5, ST_LINKTEST_RSP = 6, ST_REJECT = 7, ST_SEPARATE = 9;

bool general(const XKSAcb* acb)
{
    return (acb->cfg.secsmode & SM_GENERAL) != 0;
}

uint8_t dev_state(const XKSAcb* acb, int32_t pos)
{
    return __atomic_load_n(&acb->cfg.devst[pos], __ATOMIC_ACQUIRE);
}

// A link without connection has no selection to change: a request whose
// state check was skipped, or a response written just before the
// connection was shut (the shutdown holds the same lock), leaves it at 0.
bool connected(const XKSAcb* acb)
{
    return XKSLoad(acb->xstat) != 0;
}

// The state a check compares: the device's (general session) or xstat;
// -1 for a general-session message without a known device.
int32_t state_of(const XKSAcb* acb, int32_t pos)
{
    if (!general(acb))
        return XKSLoad(acb->xstat);
    return pos >= 0 && pos < acb->cfg.ndev ? dev_state(acb, pos) : -1;
}

// xstat of a general session after a change that assigned state.
void derive_xstat(XKSAcb* acb, int32_t state)
{
    bool selected = false, selecting = false, idle = true;
    for (int32_t i = 0; i < acb->cfg.ndev; ++i) {
        int32_t s = dev_state(acb, i);
        selected |= s == kSelected;
        selecting |= s == kSelecting;
        idle &= s == kNotSelected || s == kDeselecting;
    }
    if (selected)
        XKSStore(acb->xstat, kSelected);
    else if (selecting)
        XKSStore(acb->xstat, kSelecting);
    else if (idle)
        XKSStore(acb->xstat, kNotSelected);
    else if (state > 0)
        XKSStore(acb->xstat, state);
}

// One state change under the shutdown lock: the device's, with xstat
// derived (general session), or every state (single session).
void change_state(XKSAcb* acb, int32_t pos, int32_t state)
{
    XKWLock* lock = &acb->res->slock;
    XKWLockEnter(lock, 0);
    if (connected(acb) && !general(acb)) {
        ContHSMSSetupDStat(acb, state);
    } else if (connected(acb)) {
        if (pos >= 0 && pos < acb->cfg.ndev)
            __atomic_store_n(&acb->cfg.devst[pos], uint8_t(state), __ATOMIC_RELEASE);
        derive_xstat(acb, state);
        cont_mirror(acb);
        cont_status_report(acb);
    }
    XKWLockLeave(lock);
}

// Device index of a received control message: 0xFFFF is not looked up.
int32_t recv_pos(const XKSAcb* acb, const uint8_t* header)
{
    uint16_t session = cont_get16(header, 0);
    return session == kAnySession ? -1 : cont_dev_pos(acb, session);
}

int32_t send_pos(const XKSAcb* acb, const XKSRequest* request)
{
    return cont_dev_pos(acb, cont_get16(request->header, 0));
}

// Header of a control message. answered: the message whose system bytes
// a response (or Reject.req) carries; null gives new ones.
void control_header(XKSAcb* acb, uint8_t* header, uint16_t session, uint8_t b2, uint8_t b3, uint8_t stype,
                    const uint8_t* answered)
{
    std::memset(header, 0, 10);
    cont_set16(header, 0, cont_out_session(acb, session));
    header[2] = b2;
    header[3] = b3;
    header[5] = stype;
    if (answered != nullptr)
        std::memcpy(header + 6, answered + 6, 4);
    else
        cont_new_system(acb, header);
}

uint8_t request_b2(const XKSAcb* acb)
{
    return (acb->cfg.secsmode & SM_WBIT) != 0 ? 0x80 : 0;
}

// Session id of Select.req and Deselect.req.
uint16_t select_session(const XKSAcb* acb, const XKSRequest* request)
{
    bool own = (acb->cfg.secsmode & SM_CTLDEV) != 0 || general(acb);
    return own ? cont_get16(request->header, 0) : kAnySession;
}

int32_t write_header(XKSAcb* acb, const uint8_t* header)
{
    int32_t n = cont_write(acb, header, nullptr, 0, nullptr, __FILE__, __LINE__);
    return n < 0 ? n : 0;
}

int32_t event(XKSAcb* acb, int32_t req, int32_t rtn, const uint8_t* header)
{
    int32_t rc = cont_put(acb, acb->qr, req, rtn, header, nullptr, 0);
    return rc < 0 ? rc : 0;
}

int32_t answer(XKSAcb* acb, int32_t req, int32_t rtn, const uint8_t* header)
{
    int32_t rc = cont_put(acb, acb->qd, req, rtn, header, nullptr, 0);
    return rc < 0 ? rc : 0;
}

// Write a request that expects a response, inside its transaction. going:
// the state while it is out, back: the state again after a failed write
// (0: no state change).
int32_t send_request(XKSAcb* acb, const uint8_t* header, int32_t pos, int32_t going, int32_t back)
{
    int32_t rc = TXAdd(acb, header);
    if (rc < 0)
        return rc;
    if (going > 0)
        SendHSMSSetupXStat(acb, pos, 0, going, back);
    rc = write_header(acb, header);
    if (rc == 0)
        return 0;
    if (going > 0)
        SendHSMSSetupXStat(acb, pos, rc, going, back);
    // close the transaction just opened: search it as its response would
    uint8_t response[10];
    std::memcpy(response, header, sizeof response);
    response[5] = uint8_t(header[5] + 1);
    SearchDel(acb, response, 0, nullptr, 0);
    return rc;
}

// ---- receiving side ----

// A received Select.req or Deselect.req: the status that answers it and
// the state change when the state is the expected one, then the event
// when the request was taken, then the response request. The send thread
// takes the response at once: it must find the new state, and whatever
// the response leads to (the end of the connection) must reach the user
// after the event.
int32_t take_request(XKSAcb* acb, XKSRequest* request, int32_t response, int32_t ev, int32_t expected,
                     int32_t below, int32_t above, int32_t state)
{
    int32_t pos = recv_pos(acb, request->header);
    XKWLock* lock = &acb->res->slock;
    XKWLockEnter(lock, 0);
    int32_t status = RecvHSMSCheckXStat(acb, pos, expected, below, above);
    int32_t set = RecvHSMSSetupXStat(acb, pos, expected, state);
    XKWLockLeave(lock);
    int32_t put = set == 0 ? event(acb, ev, status, request->header) : 0;
    int32_t rc = answer(acb, response, status, request->header);
    if (set < 0)
        return set;
    return put < 0 ? put : rc;
}

int32_t RecvHSMSSelectReq(XKSAcb* acb, XKSRequest* request, int32_t)
{
    return take_request(acb, request, XKS_REQ_SELECT_RSP, XKS_EV_SELECTED, kNotSelected, 2, 1, kSelecting);
}

int32_t RecvHSMSSelectRes(XKSAcb* acb, XKSRequest* request, int32_t)
{
    bool gs = general(acb);
    if (!gs && XKSLoad(acb->xstat) != kSelecting)
        return kIllegal;
    if (!gs && (acb->cfg.secsmode & SM_ACTIVE) == 0)
        return 0;
    int32_t status = request->header[3];
    bool taken = status == 0 || status == 1 || (gs && status == 6);
    // the state first, so that a user reacting to event 92 finds it
    RecvHSMSSetupXStat(acb, recv_pos(acb, request->header), 0, taken ? kSelected : kNotSelected);
    return taken ? event(acb, XKS_EV_SELECTED, status, request->header) : 0;
}

int32_t RecvHSMSDeselectReq(XKSAcb* acb, XKSRequest* request, int32_t)
{
    return take_request(acb, request, XKS_REQ_DESELECT_RSP, XKS_EV_DESELECTED, kSelected, 1, 2, kDeselecting);
}

int32_t RecvHSMSDeselectRes(XKSAcb* acb, XKSRequest* request, int32_t)
{
    if (!general(acb) && XKSLoad(acb->xstat) != kDeselecting)
        return kIllegal;
    // whatever status it carries, the selection has ended
    RecvHSMSSetupXStat(acb, recv_pos(acb, request->header), 0, kNotSelected);
    int32_t rc = event(acb, XKS_EV_DESELECTED, 0, request->header);
    if ((acb->cfg.secsmode & SM_ENDIDLE) != 0)
        return HSMSCheckTerminate(acb);
    return rc;
}

int32_t RecvHSMSLinkTestReq(XKSAcb* acb, XKSRequest* request, int32_t)
{
    return answer(acb, XKS_REQ_LINKTEST_RSP, 0, request->header);
}

int32_t RecvHSMSLinkTestRes(XKSAcb*, XKSRequest*, int32_t)
{
    return 0;
}

int32_t RecvHSMSRejectReq(XKSAcb* acb, XKSRequest* request, int32_t)
{
    return event(acb, XKS_EV_REJECTED, 0, request->header);
}

int32_t RecvHSMSSeparateReq(XKSAcb* acb, XKSRequest* request, int32_t)
{
    if (XKSLoad(acb->xstat) == 0)
        return kIllegal;
    if (!general(acb))
        return 1;
    int32_t pos = recv_pos(acb, request->header);
    RecvHSMSSetupXStat(acb, pos, 0, kNotSelected);
    int32_t result;
    if ((acb->cfg.secsmode & SM_SEPALL) != 0)
        result = 1;
    else if (pos < 0)
        return XKW_E_NODEV;
    else
        result = HSMSCheckTerminate(acb);
    event(acb, XKS_EV_SEPARATED, result, request->header);
    return result;
}

// ---- sending side ----

// Select.req or Deselect.req: allowed in state needed, going while it is
// out, back to needed when it could not be written.
int32_t send_selection(XKSAcb* acb, XKSRequest* request, uint8_t stype, int32_t needed, int32_t going)
{
    int32_t pos = send_pos(acb, request);
    int32_t rc = SendHSMSCheckXStat(acb, request, pos, needed, needed);
    if (rc < 0)
        return rc;
    uint8_t header[10];
    control_header(acb, header, select_session(acb, request), request_b2(acb), 0, stype, nullptr);
    // the send result names the transaction the request opened
    std::memcpy(request->header + 6, header + 6, 4);
    return send_request(acb, header, pos, going, needed);
}

int32_t SendHSMSSelectReq(XKSAcb* acb, XKSRequest* request)
{
    return send_selection(acb, request, ST_SELECT_REQ, kNotSelected, kSelecting);
}

// Select.rsp or Deselect.rsp: the status the state allows (the proposed
// one when the state is expected), ok_state after status 0 or
// refused_state after a refusal, and the write without a state check.
// A refused Deselect.rsp puts back only a deselect in progress: a device
// that was not deselecting (a stray Deselect.req) is never made SELECTED by
// it, while a refused Select.rsp always leaves the device NOT SELECTED.
// end_idle: the result is HSMSCheckTerminate instead, 1 ending the
// connection once no device is selected.
int32_t send_response(XKSAcb* acb, XKSRequest* request, uint8_t stype, int32_t expected, int32_t below,
                      int32_t above, int32_t ok_state, int32_t refused_state, bool end_idle)
{
    int32_t pos = send_pos(acb, request);
    int32_t status = SendHSMSSetupFCode(acb, pos, expected, below, above, request->rtn);
    uint8_t header[10];
    control_header(acb, header, cont_get16(request->header, 0), 0, uint8_t(status), stype, request->header);
    int32_t result = status != 0 ? kIllegal : 0;
    // The state moves before the frame leaves: a peer that answers the
    // response at once must find the state the response announced, and
    // when the response ends the connection the reader must leave the
    // report of the end to us. A failed write puts the state back.
    XKWLockEnter(&acb->res->slock, 0);
    int32_t before = state_of(acb, pos);
    bool change = result == 0 || stype == ST_SELECT_RSP || before == expected;
    if (change)
        SendHSMSSetupXStat(acb, pos, result, ok_state, refused_state);
    if (end_idle)
        result = HSMSCheckTerminate(acb);
    if (result == 1)
        XKSStore(acb->fend, 1);
    XKWLockLeave(&acb->res->slock);
    int32_t rc = write_header(acb, header);
    if (rc < 0 && change && before > 0)
        change_state(acb, pos, before);
    // once fend is set, the end is ours to report, written or not
    return rc < 0 && result != 1 ? rc : result;
}

int32_t SendHSMSSelectRes(XKSAcb* acb, XKSRequest* request)
{
    return send_response(acb, request, ST_SELECT_RSP, kSelecting, 2, 1, kSelected, kNotSelected, false);
}

int32_t SendHSMSDeselectReq(XKSAcb* acb, XKSRequest* request)
{
    return send_selection(acb, request, ST_DESELECT_REQ, kSelected, kDeselecting);
}

int32_t SendHSMSDeselectRes(XKSAcb* acb, XKSRequest* request)
{
    return send_response(acb, request, ST_DESELECT_RSP, kDeselecting, 1, 2, kNotSelected, kSelected,
                         (acb->cfg.secsmode & SM_ENDIDLE) != 0);
}

int32_t SendHSMSLinkTestReq(XKSAcb* acb, XKSRequest*)
{
    uint8_t header[10];
    control_header(acb, header, kAnySession, request_b2(acb), 0, ST_LINKTEST_REQ, nullptr);
    int32_t rc = send_request(acb, header, -1, 0, 0);
    if (rc == 0)
        __atomic_store_n(&acb->xlt, cont_now(), __ATOMIC_RELEASE);
    return rc;
}

int32_t SendHSMSLinkTestRes(XKSAcb* acb, XKSRequest* request)
{
    uint8_t header[10];
    control_header(acb, header, cont_get16(request->header, 0), 0, 0, ST_LINKTEST_RSP, request->header);
    return write_header(acb, header);
}

int32_t SendHSMSRejectReq(XKSAcb* acb, XKSRequest* request)
{
    const uint8_t* rejected = request->header;
    uint8_t b2 = request->rtn == 2 ? rejected[4] : rejected[5];
    uint8_t header[10];
    control_header(acb, header, cont_get16(rejected, 0), b2, uint8_t(request->rtn), ST_REJECT, rejected);
    return write_header(acb, header);
}

int32_t SendHSMSSeparateReq(XKSAcb* acb, XKSRequest* request)
{
    uint32_t mode = acb->cfg.secsmode;
    bool gs = general(acb);
    int32_t pos = send_pos(acb, request);
    int32_t rc = SendHSMSCheckXStat(acb, request, pos, kNotSelected, kDeselecting);
    if (rc < 0)
        return rc;
    bool own = (mode & SM_CTLDEV) != 0 && (!gs || (mode & SM_SEPALL) == 0);
    uint8_t header[10];
    control_header(acb, header, own ? cont_get16(request->header, 0) : kAnySession, 0, 0, ST_SEPARATE, nullptr);
    std::memcpy(request->header + 6, header + 6, 4);
    // The state moves before the frame leaves; a peer that hears it may
    // close at once, so when it ends the connection the reader must leave
    // the report of the end to us. The outcome of the write is in the trace
    // only: the peer ends the session whether or not it heard us.
    if (!gs) {
        XKSStore(acb->fend, 1);
        write_header(acb, header);
        return 1;
    }
    SendHSMSSetupXStat(acb, pos, 0, kNotSelected, kSelected);
    int32_t result = (mode & SM_SEPALL) != 0    ? 1
                     : pos < 0                  ? XKW_E_NODEV
                     : (mode & SM_ENDIDLE) != 0 ? HSMSCheckTerminate(acb)
                                                : 0;
    if (result == 1)
        XKSStore(acb->fend, 1);
    write_header(acb, header);
    if (result < 0)
        return result;
    event(acb, XKS_EV_SEPARATED, result, request->header);
    return result;
}

}  // namespace

// ---- states ----

int32_t cont_dev_pos(const XKSAcb* acb, uint16_t session)
{
    return XKSLibDevIndex(acb, session);
}

uint16_t cont_out_session(const XKSAcb* acb, uint16_t session)
{
    if ((acb->cfg.secsmode & SM_DEVBIT15) == 0 || session == kAnySession)
        return session;
    session &= 0x7FFF;
    return (acb->cfg.secsmode & SM_EQUIP) != 0 ? uint16_t(session | 0x8000) : session;
}

int32_t RecvHSMSCheckXStat(XKSAcb* acb, int32_t pos, int32_t expected, int32_t below, int32_t above)
{
    return SendHSMSSetupFCode(acb, pos, expected, below, above, 0);
}

int32_t SendHSMSSetupFCode(XKSAcb* acb, int32_t pos, int32_t expected, int32_t below, int32_t above,
                           int32_t proposed)
{
    int32_t state = state_of(acb, pos);
    if (state < 0)
        return kUnknownDevice;
    return state < expected ? below : state > expected ? above : proposed;
}

int32_t SendHSMSCheckXStat(XKSAcb* acb, const XKSRequest* request, int32_t pos, int32_t low, int32_t high)
{
    if ((request->mode & XKS_REQ_MODE_NOCHECK) != 0)
        return 0;
    int32_t state = state_of(acb, pos);
    if (state < 0)
        return XKW_E_NODEV;
    return state < low || state > high ? kIllegal : 0;
}

int32_t RecvHSMSSetupXStat(XKSAcb* acb, int32_t pos, int32_t expected, int32_t state)
{
    XKWLock* lock = &acb->res->slock;
    XKWLockEnter(lock, 0);
    int32_t now = state_of(acb, pos);
    int32_t rc = expected <= 0 ? 0 : now < 0 ? XKW_E_NODEV : now != expected ? kIllegal : 0;
    if (rc == 0)
        change_state(acb, pos, state);
    XKWLockLeave(lock);
    return rc;
}

void SendHSMSSetupXStat(XKSAcb* acb, int32_t pos, int32_t result, int32_t ok_state, int32_t fail_state)
{
    change_state(acb, pos, result < 0 ? fail_state : ok_state);
}

int32_t HSMSCheckTerminate(XKSAcb* acb)
{
    if (!general(acb)) {
        int32_t x = XKSLoad(acb->xstat);
        return x == kSelecting || x == kSelected ? 0 : 1;
    }
    for (int32_t i = 0; i < acb->cfg.ndev; ++i) {
        int32_t s = dev_state(acb, i);
        if (s == kSelecting || s == kSelected)
            return 0;
    }
    return 1;
}

// ---- dispatchers ----

int32_t RecvHSMSControl(XKSAcb* acb, XKSRequest* request, int32_t length)
{
    switch (request->header[5]) {
    case ST_SELECT_REQ: return RecvHSMSSelectReq(acb, request, length);
    case ST_SELECT_RSP: return RecvHSMSSelectRes(acb, request, length);
    case ST_DESELECT_REQ: return RecvHSMSDeselectReq(acb, request, length);
    case ST_DESELECT_RSP: return RecvHSMSDeselectRes(acb, request, length);
    case ST_LINKTEST_REQ: return RecvHSMSLinkTestReq(acb, request, length);
    case ST_LINKTEST_RSP: return RecvHSMSLinkTestRes(acb, request, length);
    case ST_REJECT: return RecvHSMSRejectReq(acb, request, length);
    case ST_SEPARATE: return RecvHSMSSeparateReq(acb, request, length);
    default: return XKW_E_INVAL;
    }
}

int32_t SendHSMSControl(XKSAcb* acb, XKSRequest* request)
{
    switch (request->req) {
    case XKS_REQ_SELECT: case 92: return SendHSMSSelectReq(acb, request);
    case XKS_REQ_SELECT_RSP: return SendHSMSSelectRes(acb, request);
    case XKS_REQ_DESELECT: case 98: return SendHSMSDeselectReq(acb, request);
    case XKS_REQ_DESELECT_RSP: return SendHSMSDeselectRes(acb, request);
    case XKS_REQ_LINKTEST: return SendHSMSLinkTestReq(acb, request);
    case XKS_REQ_LINKTEST_RSP: return SendHSMSLinkTestRes(acb, request);
    case XKS_REQ_REJECT: case 97: return SendHSMSRejectReq(acb, request);
    case XKS_REQ_SEPARATE: case 99: return SendHSMSSeparateReq(acb, request);
    default: return XKW_E_INVAL;
    }
}
