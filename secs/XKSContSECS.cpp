// SECS-I links of the engine. The receive thread opens the line (a serial
// port, or a TCP stream with SECSMODE 0x2), receives messages block by
// block and hands them to the user; the send thread writes the data
// requests of the send queue. SECS-I has no sessions, no control messages
// and no connection events: the link counts as SELECTED (state 3) from the
// moment the line is open until it is closed, so the transaction expiry of
// the control loop, the status report and the status mirror work as they
// do for HSMS.
//
// Both threads use the line at the same time; XKS232CRead and XKS232CWrite
// decide who owns it (port lock, handshake flags). A failure on the line is
// reported to the user as an event (req 0 with the failure) and the
// receiver goes on with the next message; the line stays open until the
// engine ends.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "secs/XKS232C.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSTrace.h"

namespace {

constexpr uint32_t SM_EQUIPMENT = 0x10;
constexpr uint32_t DM_NO_S9F7 = 0x800;  // HSMS answers with Reject.req instead; SECS-I has none

constexpr int32_t kClosed = 0;
constexpr int32_t kOpen = 3;
constexpr int32_t kHeaderLevel = 4;
constexpr int32_t kStepLevel = 5;
constexpr int32_t kUnexpected = -14;

// The request record of a procedure; a failed allocation is reported
// here.
bool allocated(XKSAcb* acb, const XKSContRecord& buf, const char* who)
{
    if (buf.data == nullptr)
        cont_log(acb, XKS_LOG_ERR | XKS_LOG_PROC, 1, "[ERROR] %s: Memory allocate (%d.%d) on %d,%d,%d", who,
                 XKW_E_NOMEM, errno, XKSLoad(acb->xeps0), XKSLoad(acb->xeps1), XKSLoad(acb->xeps2));
    return buf.data != nullptr;
}

// The trace event of a failed receive or send, -1 for a result without one.
int32_t failure_kind(int32_t rc, bool sending)
{
    switch (rc) {
    case XKS_E_T2:
        return XKS_TK_T1TIMEOUT + 1;
    case XKS_E_TOOBIG:
        return XKS_TK_MSSGTOOBIG;
    case XKS_E_PROTOCOL:
        return XKS_TK_PROTOCOL;
    case XKS_E_RETRY:
        return sending ? XKS_TK_RETRY_OVER : -1;
    case XKS_E_ILLBLOCK:
        return sending ? -1 : XKS_TK_ILL_BLOCK;
    case XKS_E_T4:
        return sending ? -1 : XKS_TK_T1TIMEOUT + 3;
    case XKS_E_CHECKSUM:
        return sending ? -1 : XKS_TK_CHECK_SUM;
    default:
        return -1;
    }
}

// Record a failure's trace event, naming the message when part of its
// header came.
void record_failure(XKSAcb* acb, int32_t kind, const uint8_t* header, int32_t rc)
{
    bool named = std::any_of(header, header + 10, [](uint8_t b) { return b != 0; });
    XKSTraceMessage(acb, kind, named ? header : nullptr, nullptr, rc, 1, __FILE__, __LINE__);
}

// The R-bit tells the direction of a SECS-I message: set on every message
// of the equipment, clear on every message of the host. Headers the
// engine builds itself (S9Fx) start from the offending message's id.
void set_direction(const XKSAcb* acb, uint8_t* header)
{
    uint16_t id = uint16_t(cont_get16(header, 0) & 0x7FFF);
    if ((acb->cfg.secsmode & SM_EQUIPMENT) != 0)
        id |= 0x8000;
    cont_set16(header, 0, id);
}

void receive_error(XKSAcb* acb, int32_t rc)
{
    const char* what = rc == XKW_E_LENBYTES  ? "Illegal receive sequence"
                       : rc == XKW_E_NODEV   ? "Undefined device id"
                       : rc == XKS_E_TOOLONG ? "Received message too large"
                                             : "Internal receive queue put";
    cont_log(acb, XKS_LOG_ERR | XKS_LOG_PROC, 0, "[ERROR] RecvSECS: %-26s (%d,%d) on %d,%d,%d", what, rc, errno,
             XKSLoad(acb->xeps0), XKSLoad(acb->xeps1), XKSLoad(acb->xeps2));
}

// Sleep ms in slices of at most 100 ms, cut short by fexit.
void pause(XKSAcb* acb, int32_t ms)
{
    for (int32_t left = ms > 10 ? ms : 10; left > 0 && XKSLoad(acb->fexit) == 0; left -= 100)
        XKWSleep(left < 100 ? left : 100);
}

}  // namespace

int32_t RecvSECS(XKSAcb* acb)
{
    XKSSetBits(acb->sexec, XKS_SEXEC_RECV);
    int32_t rc = XKS232COpen(acb);
    XKSTraceMessage(acb, XKS_TK_INITIALIZE, nullptr, nullptr, rc, 1, __FILE__, __LINE__);
    if (rc < 0) {
        int32_t put = cont_put(acb, acb->qr, XKS_REQ_DATA, rc, nullptr, nullptr, 0);
        if (put < 0)
            cont_error(acb, put, "RecvSECS: Internal receive queue put");
    } else {
        ContHSMSSetupDStat(acb, kOpen);
        rc = RecvSECSProc(acb);
    }
    XKS232CClose(acb);
    ContHSMSSetupDStat(acb, kClosed);
    XKSStore(acb->fexit, 1);
    if (rc < 0 && XKSLoad(acb->xerr) == 0)
        XKSStore(acb->xerr, rc);
    XKSClearBits(acb->sexec, XKS_SEXEC_RECV);
    return rc < 0 ? rc : 0;
}

int32_t RecvSECSProc(XKSAcb* acb)
{
    XKSContRecord buf(acb);
    if (!allocated(acb, buf, "RecvSECS"))
        return XKW_E_NOMEM;
    XKSRequest* rec = buf.rec();
    uint8_t* body = buf.body();
    while (XKSLoad(acb->fexit) == 0) {
        std::memset(buf.data, 0, size_t(std::min(buf.size, 60)));
        int32_t n = XKS232CRead(acb, rec->header, body, buf.max_body(), __FILE__, __LINE__);
        if (XKSLoad(acb->fexit) != 0)
            break;
        if (n < 0) {
            int32_t kind = failure_kind(n, false);
            int32_t put = cont_put(acb, acb->qr, XKS_REQ_DATA, n, rec->header, nullptr, 0);
            if (kind >= 0)
                record_failure(acb, kind, rec->header, n);
            if (put < 0)
                break;
            // A result from outside the block protocol (a line that is not
            // set up, say) comes back at once: pause, so it cannot turn the
            // receiver into a spin of events.
            if (kind < 0)
                pause(acb, acb->cfg.inter0);
            continue;
        }
        XKSTraceMessage(acb, XKS_TK_RECEIVE | XKS_TK_PROCESS, rec->header, body, n, kHeaderLevel, __FILE__,
                        __LINE__);
        rec->len = uint32_t(n);
        if (SearchDel(acb, rec->header, 0, body, n) == XKW_E_NOTFOUND) {
            XKSTraceMessage(acb, XKS_TK_UNEXP_MSSG, rec->header, nullptr, kUnexpected, 1, __FILE__, __LINE__);
            cont_log(acb, XKS_LOG_PROC, 1, "RecvSECSProc 3.10 Unexpected message receive (%d)", kUnexpected);
            if ((acb->cfg.devmode & DM_NO_S9F7) == 0)
                SendErrorMessage(acb, rec->header, 9, 7);
            cont_put(acb, acb->qr, XKS_REQ_DATA, kUnexpected, rec->header, body, n);
            continue;
        }
        int32_t rc = RecvSECSData(acb, rec, n);
        if (rc < 0)
            receive_error(acb, rc);
    }
    return 0;
}

int32_t RecvSECSData(XKSAcb* acb, XKSRequest* request, int32_t length)
{
    if (XKSLoad(acb->xstat) != kOpen)
        return XKW_E_LENBYTES;
    const uint8_t* body = reinterpret_cast<const uint8_t*>(request) + XKS_REQ_SIZE;
    int32_t check = CheckReceivedData(acb, request->header);
    int32_t rc = cont_put(acb, acb->qr, XKS_REQ_DATA, check, request->header, body, length);
    return rc < 0 ? rc : check;
}

int32_t SendSECS(XKSAcb* acb)
{
    XKSSetBits(acb->sexec, XKS_SEXEC_SEND);
    int32_t step = acb->cfg.inter1 > 0 ? acb->cfg.inter1 : 1000;
    while (XKSLoad(acb->xstat) == kClosed && XKSLoad(acb->fexit) == 0)
        pause(acb, step);
    int32_t rc = SendSECSProc(acb);
    XKSStore(acb->fexit, 1);
    if (rc < 0 && XKSLoad(acb->xerr) == 0)
        XKSStore(acb->xerr, rc);
    XKSClearBits(acb->sexec, XKS_SEXEC_SEND);
    return rc;
}

int32_t SendSECSProc(XKSAcb* acb)
{
    XKSContRecord buf(acb);
    if (!allocated(acb, buf, "SendSECS"))
        return XKW_E_NOMEM;
    XKSRequest* rec = buf.rec();
    int32_t xopen = XKSLoad(acb->xstat);
    int32_t result = 0;
    while (XKSLoad(acb->fexit) == 0) {
        int32_t xstat = XKSLoad(acb->xstat);
        if (xstat == kClosed && xopen != kClosed)
            break;
        if (xstat != kClosed)
            xopen = xstat;
        XKQRecordHeader qh;
        int32_t n = cont_next_request(acb, buf, &qh, "SendSECS");
        if (n == XKW_E_NOMORE)
            continue;
        if (n < 0) {
            result = n;
            break;
        }
        cont_log(acb, XKS_LOG_PROC, kStepLevel,
                 "SendSECSProc 3.00 sf=0x%04x xid=0x%08x Send request (%3d,%d)  xstat=%d  Q.rec=%d .tm=%d .len=%d",
                 rec->header[2] << 8 | rec->header[3], cont_system(rec->header), rec->req, rec->mode, xstat, qh.rec,
                 qh.tm, qh.len);
        int32_t rc;
        switch (rec->req) {
        case XKS_REQ_DATA:
            rc = SendSECSData(acb, rec, buf.body());
            break;
        case XKS_REQ_COMMENT:
            rc = ContComment(acb, rec);
            break;
        case XKS_REQ_TERMINATE:
            XKSStore(acb->fexit, 1);
            continue;
        default:
            rc = XKW_E_INVAL;
        }
        int32_t kind = failure_kind(rc, true);
        if (kind >= 0)
            XKSTraceMessage(acb, kind, rec->header, nullptr, rc, 1, __FILE__, __LINE__);
        if ((rec->mode & XKS_REQ_MODE_RESULT) != 0) {
            rec->rtn = int16_t(rc);
            int32_t put = cont_put_record(acb, acb->qc, rec, XKS_REQ_SIZE);
            if (put < 0) {
                cont_error(acb, put, "SendSECS: Internal reply queue put");
                result = put;
                break;
            }
        }
    }
    ContHSMSSetupDStat(acb, kClosed);
    return result;
}

int32_t SendSECSData(XKSAcb* acb, XKSRequest* request, const uint8_t* body)
{
    if (XKSLoad(acb->xstat) != kOpen)
        return XKW_E_LENBYTES;
    uint8_t* header = request->header;
    set_direction(acb, header);
    if (acb->cfg.srcid0 == acb->cfg.srcid1 && (header[3] & 1) != 0)
        cont_new_system(acb, header);
    // A full table is reported by TXAdd; the message still goes out, only
    // without a reply timer.
    bool tracked = TXAdd(acb, header) == XKW_OK;
    int32_t n = XKS232CWrite(acb, header, body, int32_t(request->len), request->wopt, __FILE__, __LINE__);
    XKSTraceMessage(acb, XKS_TK_SEND | XKS_TK_PROCESS, header, body, n, kHeaderLevel, __FILE__, __LINE__);
    if (tracked) {
        // the reply timer starts now, or the transaction is closed again
        uint8_t reply[10];
        std::memcpy(reply, header, sizeof reply);
        reply[3] = uint8_t(reply[3] + 1);
        SearchDel(acb, reply, n < 0 ? 0 : 1, nullptr, 0);
    }
    return n < 0 ? n : 0;
}
