// Sending and receiving on a library session, the link and device states
// the session keeps, and the two callback loops.
//
// A send builds one request record (26-byte head, body) and puts it on the
// send queue; unless the caller or a send-result callback says otherwise it
// then waits, holding the W-result lock, for the engine's send result on the
// send-result queue, up to T3 seconds. Receiving takes one record from the
// receive queue without waiting; the receive-callback loop does that for
// the application and sleeps on the queue (woken by every put, at most
// INTER0 ms) while it is empty.
//
// States: xstat for the link, devst per listed device (HSMS general
// session). Send results and receive events move them, always through
// comm_set_all / comm_set_device / comm_device_end under the session's
// process lock; when the engine copies its own states into the session
// (open mode 0x1000 with the engine as a thread) those leave them alone.
// The fields other threads read are written with atomic stores.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "secs/XKSComm.h"
#include "secs/XKSLib.h"
#include "secs/XKSMssg.h"
#include "secs/XKSTrace.h"

namespace {

constexpr int32_t kLineLevel = 3;    // the send and receive lines
constexpr int32_t kStatusLevel = 2;  // status reports
constexpr int32_t kDebugLevel = 8;   // step and decision lines
constexpr int32_t kEntryLevel = 1;   // message entries
constexpr size_t kStackRecord = 65536;

// SECSMODE and DEVMODE bits used here.
constexpr uint32_t SM_HSMS = 0x0001;
constexpr uint32_t SM_EQUIPMENT = 0x0010;
constexpr uint32_t SM_SECSI_DEVID = 0x0200;  // HSMS: top bit of the device ID as in SECS-I
constexpr uint32_t SM_CONTROL_DEVID = 0x0400;
constexpr uint32_t SM_SEPARATE_ALL = 0x2000;
constexpr uint32_t SM_GENERAL = 0x8000;
constexpr uint32_t DM_ANY_DEVICE = 0x0001;
constexpr int32_t QM_OVERWRITE = 0x01;

// Send mode bits.
constexpr int32_t SEND_CONTROL_SHIFT = 8;
constexpr int32_t SEND_CONTROL_MASK = 0xF;
constexpr int32_t SEND_RELAY_BITS = 0x30000;

// Control request numbers of the send mode.
constexpr int32_t CR_DATA = 0;
constexpr int32_t CR_CONNECT = 1;
constexpr int32_t CR_SELECT = 2;
constexpr int32_t CR_SEPARATED = 6;  // result code 96
constexpr int32_t CR_REJECT = 7;
constexpr int32_t CR_DESELECT = 8;
constexpr int32_t CR_SEPARATE = 9;

constexpr int32_t ST_NOT_CONNECTED = 0;
constexpr int32_t ST_CONNECTED = 1;
constexpr int32_t ST_SELECTING = 2;
constexpr int32_t ST_SELECTED = 3;
constexpr int32_t ST_DESELECTING = 4;

constexpr int32_t XKS_E_ENDED = -13;      // send after the session ended
constexpr int32_t XKS_E_NOTSELECTED = -8;
constexpr int32_t EV_CONNECTED = -991;
constexpr int32_t EV_SELECTED = -992;
constexpr int32_t EV_SEPARATED = -996;
constexpr int32_t EV_DESELECTED = -998;
constexpr int32_t EV_ENDED = -999;

constexpr int32_t CLASS_MESSAGE = 4097;
constexpr int32_t CLASS_S9FX = 4098;
constexpr int32_t CLASS_EVENT = 0x1000;

bool is_hsms(const XKSAcb* acb)
{
    return (acb->cfg.secsmode & SM_HSMS) != 0;
}
bool is_general(const XKSAcb* acb)
{
    return is_hsms(acb) && (acb->cfg.secsmode & SM_GENERAL) != 0;
}
bool is_open(const XKSAcb* acb)
{
    return __atomic_load_n(&acb->marker, __ATOMIC_ACQUIRE) == XKS_ACB_OPEN;
}

uint16_t get16(const uint8_t* header, int offset)
{
    uint16_t v;
    std::memcpy(&v, header + offset, 2);
    return v;
}
void set16(uint8_t* header, int offset, uint16_t value)
{
    std::memcpy(header + offset, &value, 2);
}
uint32_t system_bytes(const uint8_t* header)
{
    return uint32_t(get16(header, 6)) << 16 | get16(header, 8);
}
void set_system(uint8_t* header, uint32_t xid)
{
    set16(header, 6, uint16_t(xid >> 16));
    set16(header, 8, uint16_t(xid));
}
// Device ID as the application sees it: 0xFFFF kept, else the low 15 bits.
int32_t shown_devid(const uint8_t* header)
{
    uint16_t dev = get16(header, 0);
    return dev == 0xFFFF ? dev : dev & 0x7FFF;
}
int32_t header_sf(const uint8_t* header)
{
    return header[2] << 8 | header[3];
}

// Between host and wire order, in place (the same swap both ways): device
// ID and system-byte halves, and for SECS-I the block field too.
void header_order(const XKSAcb* acb, uint8_t* header)
{
    XKSMssgLinkOrder(header, acb->cfg.secsmode);
}

int32_t wait_ms(const XKSAcb* acb)
{
    return acb->cfg.inter0 > 0 ? acb->cfg.inter0 : 1;
}

uint8_t load_dev(const XKSAcb* acb, int32_t i)
{
    return __atomic_load_n(&acb->cfg.devst[i], __ATOMIC_ACQUIRE);
}

// The session's process lock, when it exists (not during the first steps
// of an open or after the locks are deleted).
struct ProcessLock : XKWLockGuard {
    explicit ProcessLock(XKSAcb* acb) : XKWLockGuard(&acb->ulock[XKS_ULOCK_PROCESS]) {}
};

// A record: on the stack up to 64 KB, allocated beyond.
class RecordBuffer {
public:
    explicit RecordBuffer(size_t size)
        : size_(size), data_(size <= kStackRecord ? local_ : static_cast<uint8_t*>(std::malloc(size)))
    {
    }
    ~RecordBuffer()
    {
        if (data_ != local_)
            std::free(data_);
    }
    RecordBuffer(const RecordBuffer&) = delete;
    RecordBuffer& operator=(const RecordBuffer&) = delete;

    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    XKSRequest* head() const { return reinterpret_cast<XKSRequest*>(data_); }

private:
    alignas(8) uint8_t local_[kStackRecord];
    size_t size_;
    uint8_t* data_;
};

// One device's state (index valid), with the library's own copy and the
// time of the change.
void store_device(XKSAcb* acb, int32_t i, int32_t state)
{
    XKSConfig& cfg = acb->cfg;
    if (load_dev(acb, i) != state && cfg.devtm != nullptr)
        __atomic_store_n(&cfg.devtm[i], int64_t(std::time(nullptr)), __ATOMIC_RELEASE);
    __atomic_store_n(&cfg.devst[i], uint8_t(state), __ATOMIC_RELEASE);
    if (cfg.devud != nullptr)
        __atomic_store_n(&cfg.devud[i], uint8_t(state), __ATOMIC_RELEASE);
}

bool valid_device(const XKSAcb* acb, int32_t i)
{
    return acb->cfg.devst != nullptr && i >= 0 && i < acb->cfg.ndev;
}

// Control request number of a result code: code - 90 for 91..99.
int32_t control_number(int32_t req)
{
    return req >= 91 && req <= 99 ? req - 90 : req;
}

// The device the state of a message or result belongs to.
int32_t device_index(const XKSAcb* acb, const uint8_t* header)
{
    return XKSLibDevIndex(acb, get16(header, 0));
}

// A message entry in the user trace. The entry shows the peer's name,
// which the engine copies into the block under the process lock.
void trace_message(XKSAcb* acb, int32_t kind, const uint8_t* header, const uint8_t* body, int32_t length)
{
    ProcessLock lock(acb);
    XKSTraceMessage(acb, kind | XKS_TK_PROCESS, header, body, length, kEntryLevel, __FILE__, __LINE__);
}

// Trace kind of a received record.
int32_t recv_kind(int32_t req)
{
    if (req >= 60 && req <= 65)
        return req - 30;
    if (req >= 66 && req <= 69)
        return XKS_TK_SEND;
    if (req >= 70 && req <= 79)
        return req - 30;
    if (req >= 80 && req <= 89)
        return req - 60;
    if (req >= 90 && req <= 99)
        return req - 80;
    if (req > 125)
        return req - 64;
    return XKS_TK_RECEIVE;
}

// ---- send ----

// The device rules of a send: the device of a data message, a Reject.req
// and (SECSMODE 0x400 or 0x8000) Select, Deselect and Separate must be
// listed (unless DEVMODE 0x0001); a data message under a receive callback
// needs the link (and in general session the device) selected.
int32_t check_device(XKSAcb* acb, int32_t creq, int32_t* devid)
{
    const XKSConfig& cfg = acb->cfg;
    bool by_device = (cfg.secsmode & (SM_CONTROL_DEVID | SM_GENERAL)) != 0;
    if (!(creq == CR_DATA || creq == CR_REJECT ||
          (by_device && (creq == CR_SELECT || creq == CR_DESELECT || creq == CR_SEPARATE))))
        return 0;
    if (cfg.ndev > 0 && (*devid < 0 || (*devid == 0 && XKSLibDevIndex(acb, 0) < 0)))
        *devid = cfg.devid[0];
    int32_t pos = XKSLibDevIndex(acb, *devid);
    if (pos < 0 && (cfg.devmode & DM_ANY_DEVICE) == 0)
        return XKW_E_NODEV;
    if (creq == CR_DATA && acb->cbrecv != nullptr) {
        if (XKSLoad(acb->xstat) != ST_SELECTED)
            return XKS_E_NOTSELECTED;
        if (is_general(acb) && valid_device(acb, pos) && load_dev(acb, pos) != ST_SELECTED)
            return XKS_E_NOTSELECTED;
    }
    return 0;
}

void build_header(const XKSAcb* acb, int32_t devid, int32_t sf, uint32_t xid, uint8_t* header)
{
    uint16_t dev = uint16_t(devid);
    uint32_t sm = acb->cfg.secsmode;
    if (dev != 0xFFFF && (!is_hsms(acb) || (sm & SM_SECSI_DEVID) != 0)) {
        dev &= 0x7FFF;
        if ((sm & SM_EQUIPMENT) != 0)
            dev |= 0x8000;
    }
    std::memset(header, 0, 10);
    set16(header, 0, dev);
    header[2] = uint8_t(sf >> 8);
    header[3] = uint8_t(sf);
    set_system(header, xid);
}

// The next sequence number, taken atomically against other senders.
uint32_t next_xid(XKSAcb* acb)
{
    int32_t prev = XKSLoad(acb->xseq);
    int32_t next;
    do {
        next = XKSLibNextXid(acb, prev);
    } while (!__atomic_compare_exchange_n(&acb->xseq, &prev, next, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    return uint32_t(acb->cfg.srcid0) * 65536u + uint32_t(next);
}

// The settings watch of a send: re-read a changed INI file, re-apply the
// user trace settings and load missing definitions. Senders run on several
// threads, so under the process lock.
void watch_config(XKSAcb* acb)
{
    ProcessLock lock(acb);
    if (XKSLibWatchConfig(acb, std::time(nullptr), "CommSend   ", &acb->utrace) != 1)
        return;
    const XKSConfig& cfg = acb->cfg;
    if (acb->utrace.open != 0)
        XKWTraceSetAttr(&acb->utrace, int32_t(cfg.trcuout), int32_t(cfg.trcuattr), cfg.trculevel, cfg.trcusize);
    XKSMDLoadAcb(acb, 0);
}

// What a send carries through its steps.
struct SendState {
    int32_t mode;
    int32_t creq;
    int32_t sf;
    uint32_t xid;
    uint8_t sent[10];      // the header put, host order
    XKSRequest result{};   // the send result taken, when one was
    bool waited = false;   // a send result was found
};

// Does a send result belong to the send? Takes over the engine's system
// bytes (SRCID0 = SRCID1) and the SECS-I block field when it does.
bool result_belongs(XKSAcb* acb, SendState& s, const XKSRequest& rec)
{
    int32_t sent_req = s.creq == CR_DATA ? XKS_REQ_DATA : 90 + s.creq;
    if (rec.req != sent_req && !(sent_req == 99 && rec.req == XKS_EV_SEPARATED))
        return false;
    uint8_t expect[10];
    std::memcpy(expect, s.sent, sizeof expect);
    bool renumbered = acb->cfg.srcid0 == acb->cfg.srcid1;
    if (renumbered)
        set_system(expect, system_bytes(rec.header));
    if (!is_hsms(acb)) {
        expect[4] = rec.header[4];
        expect[5] = rec.header[5];
    }
    if (s.creq == CR_DATA) {
        if ((s.mode & XKS_SEND_SAMEHEADER) != 0 && std::memcmp(expect, rec.header, sizeof expect) != 0)
            return false;
        // The engine keeps the system bytes of data messages unless it
        // numbers them itself: a result with other ones is an earlier
        // send's that nobody waited for.
        if (!renumbered && system_bytes(rec.header) != system_bytes(s.sent))
            return false;
    }
    std::memcpy(s.sent, expect, sizeof expect);
    if (renumbered || s.creq != CR_DATA)
        s.xid = system_bytes(rec.header);
    return true;
}

// Wait for the send result, at most T3 seconds. Returns 0 for a good
// result (s.xid then holds the transaction ID), a negative record result,
// -138, -120 or a queue failure.
int32_t wait_result(XKSAcb* acb, SendState& s)
{
    const XKSConfig& cfg = acb->cfg;
    XKQueueBlock* q = &acb->uq[XKS_UQ_RESULT];
    uint64_t deadline = XKWTickCount() + uint64_t(cfg.t3 > 0 ? cfg.t3 : 0) * 1000;
    comm_trace(acb, kDebugLevel, "SX", "CommSend   6.10 sf=0x%04x xid=0x%08x Wait for result  T3=%d", s.sf, s.xid,
               cfg.t3);
    uint8_t buf[XKS_REQ_RESULT_SIZE];
    for (;;) {
        int32_t n = XKQRecvGet(q, 0, buf, sizeof buf, nullptr);
        if (n == XKW_E_NOMORE) {
            uint64_t now = XKWTickCount();
            if (now >= deadline)
                return XKW_E_TIMEOUT;
            if (XKSLoad(acb->fexit) != 0)
                return XKS_E_ENDED;
            uint64_t left = deadline - now;
            XKQRecvWait(q, int32_t(left < uint64_t(wait_ms(acb)) ? left : uint64_t(wait_ms(acb))));
            continue;
        }
        if (n < 0)
            return n;
        XKSRequest rec{};
        std::memcpy(&rec, buf, size_t(n) < sizeof rec ? size_t(n) : sizeof rec);
        const uint8_t* h = rec.header;
        comm_trace(acb, kLineLevel, "SX",
                   "[Result] (%4d) sf=0x%04x xid=0x%08x  req:%3d  rtn:%4d  len:%4u  did:0x%04x  sf:0x%02x%02x  "
                   "xid:0x%04x.%04x",
                   n, s.sf, s.xid, rec.req, rec.rtn, rec.len, get16(h, 0), h[2], h[3], get16(h, 6), get16(h, 8));
        if (rec.req == XKS_REQ_TERMINATE) {
            // The engine has ended; leave the reply for the close.
            XKSStore(acb->fexit, 1);
            XKQRecvUnget(q);
            return XKW_E_NOMORE;
        }
        if (!result_belongs(acb, s, rec))
            continue;
        s.result = rec;
        s.waited = true;
        CommHSMSCheckSendResult(acb, &rec, control_number(rec.req), rec.rtn);
        return rec.rtn < 0 ? rec.rtn : 0;
    }
}

// Put the record and, when asked to, wait for its send result; 0 or a
// negative error.
int32_t put_and_wait(XKSAcb* acb, SendState& s, RecordBuffer& buf, const uint8_t* body, int32_t length)
{
    XKSRequest* rec = buf.head();
    const uint8_t* h = rec->header;
    comm_trace(acb, kLineLevel, "SX",
               "[Send  ] (    ) sf=0x%04x xid=0x%08x  req:%3d  mode:0x%02x  rtn:%4d  len:%4u  xmod:0x%02x.%02x  "
               "xpr0:0x%02x.%02x  xpr1:%4d.%4d  did:0x%04x  sf:0x%02x%02x  xid:0x%04x.%04x",
               s.sf, s.xid, rec->req, rec->mode, rec->rtn, rec->len, rec->wopt[0], rec->wopt[1], rec->wopt[2],
               rec->wopt[3], get16(rec->wopt, 4), get16(rec->wopt, 6), get16(h, 0), h[2], h[3], get16(h, 6),
               get16(h, 8));
    bool wait = acb->cbsend == nullptr && (s.mode & XKS_SEND_NOWAIT) == 0;
    XKWLock* wlock = &acb->ulock[XKS_ULOCK_WRESULT];
    if (wait) {
        int32_t rc = XKWLockEnter(wlock, 0);
        if (rc < 0)
            return rc;
        XKSStore(acb->alkf, 1);
    }
    int32_t option = (acb->cfg.quemode & QM_OVERWRITE) != 0 ? XKQ_PUT_OVERWRITE : 0;
    int32_t put = XKQSendPut(&acb->uq[XKS_UQ_SEND], option, buf.data(), XKS_REQ_SIZE + length);
    if (s.creq == CR_DATA)
        trace_message(acb, XKS_TK_SEND, h, body, put < 0 ? put : length);
    XKSStore(acb->xeps2, 310);
    int32_t result = put < 0 ? put : 0;
    if (put >= 0 && wait) {
        XKSStore(acb->xeps2, 320);
        result = wait_result(acb, s);
    }
    if (wait) {
        XKSStore(acb->alkf, 0);
        XKWLockLeave(wlock);
    }
    return result;
}

// ---- receive ----

// What a receive took besides its outputs.
struct RecvInfo {
    bool taken = false;  // a record was taken from the queue
    int32_t req = 0;     // its request code
    int32_t length = 0;  // body bytes given back
};

// The states after a received event.
void apply_event(XKSAcb* acb, int32_t result, const XKSRequest& rec)
{
    switch (result) {
    case EV_CONNECTED:
        comm_set_all(acb, ST_CONNECTED);
        break;
    case EV_SELECTED:
        comm_set_device(acb, device_index(acb, rec.header), ST_SELECTED);
        break;
    case EV_DESELECTED:
        comm_set_device(acb, device_index(acb, rec.header), ST_CONNECTED);
        break;
    case EV_ENDED:
        comm_set_all(acb, ST_NOT_CONNECTED);
        break;
    case EV_SEPARATED:
        if (is_general(acb) && rec.rtn != 1)
            comm_device_end(acb, device_index(acb, rec.header));
        else
            comm_set_all(acb, ST_NOT_CONNECTED);
        break;
    default:
        break;
    }
}

int32_t comm_recv(XKSAcb* acb, int32_t mode, int32_t* devid, int32_t* sf, uint32_t* xid, uint8_t* body,
                  int32_t size, uint8_t* header, RecvInfo* info)
{
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    XKSStore(acb->xeps0, 200);
    XKSStore(acb->xeps1, 200);
    if (XKSLoad(acb->fexit) != 0) {
        XKSStore(acb->xeps0, 201);
        XKSStore(acb->xeps1, 201);
        return XKW_E_BADHANDLE;
    }
    if (devid != nullptr)
        *devid = 0;
    if (sf != nullptr)
        *sf = 0;
    if (xid != nullptr)
        *xid = 0;
    if (header != nullptr)
        std::memset(header, 0, 10);
    XKSStore(acb->xlen, 0);
    if (!is_open(acb))
        return XKW_E_BADHANDLE;
    if ((mode & XKS_RECV_CALLBACK) == 0 && acb->cbrecv != nullptr)
        return XKW_E_BUSY;
    int32_t xmsgsize = acb->cfg.xmsgsize > 0 ? acb->cfg.xmsgsize : 0;
    RecordBuffer buf(size_t(xmsgsize) + XKS_REQ_SIZE + 2);
    if (buf.data() == nullptr)
        return XKW_E_NOMEM;
    int32_t option = mode & ~(XKS_RECV_CALLBACK | XKS_SEND_WIRE);
    int32_t n = XKQRecvGet(&acb->uq[XKS_UQ_RECV], option, buf.data(), int32_t(buf.size()), nullptr);
    if (n < 0)
        return XKSCommNormalize(n);
    info->taken = true;
    if (n < XKS_REQ_SIZE)
        return XKW_E_INVAL;
    XKSStore(acb->xeps1, 210);
    XKSRequest rec;
    std::memcpy(&rec, buf.data(), sizeof rec);
    info->req = rec.req;
    uint32_t have = uint32_t(n - XKS_REQ_SIZE);
    uint32_t length = rec.len < have ? rec.len : have;
    const uint8_t* data = buf.data() + XKS_REQ_SIZE;
    bool message = rec.req == XKS_REQ_DATA || (rec.req >= XKS_EV_S9F1 && rec.req <= XKS_EV_S9F9);
    static const uint8_t kNoHeader[10] = {};
    bool has_header = std::memcmp(rec.header, kNoHeader, sizeof kNoHeader) != 0;
    trace_message(acb, recv_kind(rec.req), message || has_header ? rec.header : nullptr, message ? data : nullptr,
                  message ? (rec.rtn < 0 ? rec.rtn : int32_t(length)) : 0);
    const uint8_t* h = rec.header;
    comm_trace(acb, kLineLevel, "RX",
               "[Recv  ] (%4d) req:%3d  rtn:%4d  len:%4u  did:0x%04x  sf:0x%02x%02x  xid:0x%04x.%04x", n, rec.req,
               rec.rtn, rec.len, get16(h, 0), h[2], h[3], get16(h, 6), get16(h, 8));
    if (rec.req == XKS_REQ_TERMINATE) {
        XKSStore(acb->fexit, 1);
        return XKS_E_NODATA;
    }
    uint32_t room = body != nullptr && size > 0 ? uint32_t(size) : 0;
    uint32_t copied = length < room ? length : room;
    if (copied > 0)
        std::memcpy(body, data, copied);
    if (header != nullptr)
        std::memcpy(header, rec.header, 10);
    if (devid != nullptr)
        *devid = shown_devid(rec.header);
    if (sf != nullptr)
        *sf = header_sf(rec.header);
    if (xid != nullptr)
        *xid = system_bytes(rec.header);
    XKSStore(acb->xlen, int32_t(copied));
    info->length = int32_t(copied);
    int32_t result = message ? (rec.rtn < 0 ? rec.rtn : int32_t(copied)) : -900 - rec.req;
    apply_event(acb, result, rec);
    if (rec.rtn < 0)
        XKSStore(acb->xerr, rec.rtn);
    return result;
}

// The receive-callback record of one receive.
void fill_recv_record(XKSRecvRecord* r, int32_t rc, const RecvInfo& info, int32_t devid, int32_t sf, uint32_t xid,
                      const uint8_t* header, const uint8_t* body)
{
    *r = XKSRecvRecord{};
    r->kind = 1;
    r->req = info.req;
    r->rtn = rc;
    r->devid = devid;
    r->sf = sf;
    r->xid = xid;
    std::memcpy(r->header, header, sizeof r->header);
    r->body = body;
    if (info.req >= XKS_EV_S9F1 && info.req <= XKS_EV_S9F9) {
        r->cls = CLASS_S9FX;
        r->event = info.req + 900;
        return;
    }
    r->cls = CLASS_MESSAGE;
    r->event = -rc;
    if (r->event >= 960 && r->event <= 999) {
        int32_t e = r->event;
        r->req = e - 900;
        r->cls = CLASS_EVENT + (e <= 979 ? e - 930 : e <= 989 ? e - 960 : e - 980);
    }
}

}  // namespace

// ---- link and device states ----

void CommHSMSReportStatus(XKSAcb* acb)
{
    ProcessLock lock(acb);
    XKSConfig& cfg = acb->cfg;
    bool general = is_general(acb);
    int32_t n = cfg.devst != nullptr && cfg.devss != nullptr ? cfg.ndev : 0;
    int32_t xstat = XKSLoad(acb->xstat);
    int32_t ss = XKSLoad(acb->ss);
    int32_t changed = 0;
    for (int32_t i = 0; general && i < n; ++i)
        changed += load_dev(acb, i) != cfg.devss[i];
    char line[320];
    int len;
    if (xstat != ss)
        len = std::snprintf(line, sizeof line, "Status change [%3d] xstat=%d->%d", -1, ss, xstat);
    else if (changed > 0)
        len = std::snprintf(line, sizeof line, "Status change [%3d] xstat=%d", changed, xstat);
    else
        return;
    if (general) {
        len += std::snprintf(line + len, sizeof line - size_t(len), "  devst=");
        for (int32_t i = 0; i < n && len <= 224; ++i) {
            int st = load_dev(acb, i);
            int old = cfg.devss[i];
            const char* sep = i > 0 ? ", " : "";
            len += st == old ? std::snprintf(line + len, sizeof line - size_t(len), "%s0x%04x:%d", sep,
                                             cfg.devid[i], st)
                             : std::snprintf(line + len, sizeof line - size_t(len), "%s0x%04x:%d->%d", sep,
                                             cfg.devid[i], old, st);
            if (len >= int(sizeof line))
                len = int(sizeof line) - 1;
        }
    }
    comm_trace(acb, kStatusLevel, "CT", "%s", line);
    XKSStore(acb->ss, xstat);
    for (int32_t i = 0; i < n; ++i)
        cfg.devss[i] = load_dev(acb, i);
    __atomic_store_n(&acb->udnctm, int64_t(std::time(nullptr)), __ATOMIC_RELEASE);
}

void comm_set_all(XKSAcb* acb, int32_t state)
{
    if (comm_states_mirrored(acb))
        return;
    ProcessLock lock(acb);
    for (int32_t i = 0; acb->cfg.devst != nullptr && i < acb->cfg.ndev; ++i)
        store_device(acb, i, state);
    XKSStore(acb->xstat, state);
    CommHSMSReportStatus(acb);
    XKSStore(acb->us, state);
}

void comm_set_device(XKSAcb* acb, int32_t index, int32_t state)
{
    if (!is_general(acb)) {
        comm_set_all(acb, state);
        return;
    }
    if (comm_states_mirrored(acb) || !valid_device(acb, index))
        return;
    ProcessLock lock(acb);
    store_device(acb, index, state);
    bool selected = false, selecting = false, all_idle = true;
    for (int32_t i = 0; i < acb->cfg.ndev; ++i) {
        int32_t st = load_dev(acb, i);
        selected |= st == ST_SELECTED;
        selecting |= st == ST_SELECTING;
        all_idle &= st == ST_CONNECTED || st == ST_DESELECTING;
    }
    if (selected)
        XKSStore(acb->xstat, ST_SELECTED);
    else if (selecting)
        XKSStore(acb->xstat, ST_SELECTING);
    else if (all_idle)
        XKSStore(acb->xstat, ST_CONNECTED);
    else if (state > 0)
        XKSStore(acb->xstat, state);
    CommHSMSReportStatus(acb);
}

void comm_device_end(XKSAcb* acb, int32_t index)
{
    if (!is_general(acb) || (acb->cfg.secsmode & SM_SEPARATE_ALL) != 0) {
        comm_set_all(acb, ST_NOT_CONNECTED);
        return;
    }
    ProcessLock lock(acb);
    comm_set_device(acb, index, ST_CONNECTED);
    for (int32_t i = 0; i < acb->cfg.ndev; ++i) {
        int32_t st = load_dev(acb, i);
        if (st == ST_SELECTING || st == ST_SELECTED)
            return;
    }
    comm_set_all(acb, ST_NOT_CONNECTED);
}

void CommHSMSCheckSendResult(XKSAcb* acb, const XKSRequest* record, int32_t creq, int32_t rtn)
{
    if (!is_hsms(acb) || creq < 1 || creq > 9)
        return;
    ProcessLock lock(acb);
    int32_t pos = device_index(acb, record->header);
    int32_t expect = creq == CR_SELECT ? ST_SELECTED : creq == CR_DESELECT ? ST_CONNECTED : -1;
    int32_t xstat = XKSLoad(acb->xstat);
    int32_t current = is_general(acb) && valid_device(acb, pos) ? load_dev(acb, pos) : xstat;
    // A request the engine refused left nothing on the link; only a failed
    // connect tells something (still not connected).
    bool done = current == expect || (rtn < 0 && creq != CR_CONNECT);
    comm_trace(acb, kDebugLevel, "CT",
               "SendResult X.20 rmode=%d rtn=%d,%d did=0x%04x cst=%d dst=%d xstat=%d ok0=%d pos=%d", creq, rtn,
               record->rtn, get16(record->header, 0), current, expect, xstat, done ? 1 : 0, pos);
    if (done)
        return;
    switch (creq) {
    case CR_CONNECT:
        comm_set_all(acb, rtn >= 0 ? ST_CONNECTED : ST_NOT_CONNECTED);
        break;
    case CR_SELECT:
        comm_set_device(acb, pos, ST_SELECTING);
        break;
    case CR_DESELECT:
        comm_set_device(acb, pos, ST_DESELECTING);
        break;
    case CR_SEPARATE:
        comm_set_all(acb, ST_NOT_CONNECTED);
        break;
    case CR_SEPARATED:
        comm_trace(acb, kDebugLevel, "CT", "SendResult X.30 rmode=%d rtn=%d,%d pos=%d", creq, rtn, record->rtn,
                   pos);
        if (rtn != 1)
            comm_device_end(acb, pos);
        else
            comm_set_all(acb, ST_NOT_CONNECTED);
        break;
    default:
        break;
    }
}

// ---- send ----

// The result is 0 or a negative error and nothing else: the transaction ID
// is a full 32-bit value and goes out through id only, so that an ID with
// the top bit set is never taken for an error code.
int32_t XKSCommSendId(XKSAcb* acb, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                      int32_t length, uint8_t* header, const uint8_t* wopt, uint32_t* id)
{
    if (id != nullptr)
        *id = 0;
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    comm_trace(acb, kLineLevel, "SX", "CommSend(acb,0x%06x,0x%04x,0x%08x,0x%04x,msg,%d)", unsigned(mode),
               unsigned(devid), unsigned(sf), xid, length);
    XKSStore(acb->xeps2, 300);
    SendState s;
    s.mode = mode;
    s.creq = (mode >> SEND_CONTROL_SHIFT) & SEND_CONTROL_MASK;
    s.sf = sf;
    s.xid = xid;
    std::memset(s.sent, 0, sizeof s.sent);
    bool relay = (mode & SEND_RELAY_BITS) == SEND_RELAY_BITS;
    bool prepare = (mode & SEND_RELAY_BITS) == XKS_SEND_PREPARE;
    bool built = false;
    int32_t result = 0;
    do {
        if (XKSLoad(acb->fexit) != 0)
            break;
        XKSStore(acb->xlen, 0);
        if (!is_open(acb)) {
            result = XKW_E_BADHANDLE;
            break;
        }
        watch_config(acb);
        bool known = s.creq == CR_DATA || s.creq == CR_CONNECT || s.creq == CR_SELECT || s.creq == CR_REJECT ||
                     s.creq == CR_DESELECT || s.creq == CR_SEPARATE;
        if (!known) {
            result = XKW_E_INVAL;
            break;
        }
        if (!relay) {
            if (s.creq != CR_DATA && !is_hsms(acb))
                break;  // no control messages on SECS-I: nothing to send
            result = check_device(acb, s.creq, &devid);
            if (result < 0)
                break;
        }
        if (length < 0 || (relay && header == nullptr)) {
            result = XKW_E_INVAL;
            break;
        }
        if (body == nullptr)
            length = 0;
        if (length > acb->cfg.xmsgsize)
            length = acb->cfg.xmsgsize > 0 ? acb->cfg.xmsgsize : 0;
        XKSStore(acb->xeps2, 301);
        RecordBuffer buf(size_t(XKS_REQ_SIZE) + size_t(length) + 2);
        if (buf.data() == nullptr) {
            result = XKW_E_NOMEM;
            break;
        }
        std::memset(buf.data(), 0, buf.size());
        if (length > 0)
            std::memcpy(buf.data() + XKS_REQ_SIZE, body, size_t(length));
        XKSRequest* rec = buf.head();
        if (s.creq == CR_DATA && !relay && (sf & 1) != 0 && (mode & XKS_SEND_OWNXID) == 0)
            s.xid = next_xid(acb);
        rec->req = uint8_t(s.creq == CR_DATA ? XKS_REQ_DATA : 90 + s.creq);
        if (s.creq == CR_REJECT)
            rec->rtn = int16_t(sf & 0xFF);
        // Without a send-result callback a sender that does not wait would
        // leave its result to be taken for another send's.
        bool want_result = acb->cbsend != nullptr || (mode & XKS_SEND_NOWAIT) == 0;
        rec->mode = uint8_t(want_result ? XKS_REQ_MODE_RESULT : 0);
        if (relay && (s.creq == CR_SELECT || s.creq == CR_DESELECT || s.creq == CR_SEPARATE))
            rec->mode |= XKS_REQ_MODE_NOCHECK;
        rec->len = uint32_t(length);
        if (relay) {
            std::memcpy(rec->header, header, 10);
            if ((mode & XKS_SEND_WIRE) != 0)
                header_order(acb, rec->header);
            s.xid = system_bytes(rec->header);
        } else {
            build_header(acb, devid, sf, s.xid, rec->header);
        }
        std::memcpy(s.sent, rec->header, sizeof s.sent);
        built = true;
        if (wopt != nullptr) {
            std::memcpy(rec->wopt, wopt, sizeof rec->wopt);
            uint32_t opt0;
            std::memcpy(&opt0, wopt, sizeof opt0);
            __atomic_store_n(&acb->xopt0, opt0, __ATOMIC_RELEASE);
        }
        XKSStore(acb->xlen, length);
        if (!prepare)
            result = put_and_wait(acb, s, buf, body, length);
    } while (false);

    if (XKSLoad(acb->fexit) != 0)
        result = XKS_E_ENDED;
    result = XKSCommNormalize(result);
    if (result < 0)
        XKSStore(acb->xerr, result);
    if (s.waited && s.result.rtn < 0)
        XKSStore(acb->xerr, s.result.rtn);
    if (built && header != nullptr) {
        std::memcpy(header, s.sent, sizeof s.sent);
        if ((mode & XKS_SEND_WIRE) != 0)
            header_order(acb, header);
    }
    // Only a built record has an ID to give (a control request on SECS-I
    // sends nothing and gives 0), also when its send failed afterwards.
    uint32_t given = built ? s.xid : 0;
    if (id != nullptr)
        *id = given;
    XKSStore(acb->xeps2, 390);
    // rtn: what XKSCommSendEx returns.
    comm_trace(acb, kLineLevel, "SX", "CommSend(Exit)  sf=0x%04x xid=0x%08x rtn=%d rtz=%d,0x%08x  XEps2=%d xstat=%d",
               unsigned(sf), s.xid, result < 0 ? result : int32_t(given), s.result.rtn,
               system_bytes(s.result.header), XKSLoad(acb->xeps2), XKSLoad(acb->xstat));
    return result;
}

int32_t XKSCommSendEx(XKSAcb* acb, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                      int32_t length, uint8_t* header, const uint8_t* wopt)
{
    uint32_t id = 0;
    int32_t rc = XKSCommSendId(acb, mode, devid, sf, xid, body, length, header, wopt, &id);
    // The ID's bit pattern: an ID with the top bit set reads as negative.
    return rc < 0 ? rc : int32_t(id);
}

int32_t XKSCommSend(XKSAcb* acb, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                    int32_t length, uint8_t* header)
{
    return XKSCommSendEx(acb, mode, devid, sf, xid, body, length, header, nullptr);
}

int32_t XKSCommSendError(XKSAcb* acb, int32_t mode, int32_t devid, int32_t sf, const uint8_t* offending,
                         uint8_t* header, uint8_t* buffer)
{
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    if (offending == nullptr)
        return XKW_E_INVAL;
    // One binary item holding the offending header as it was on the wire.
    uint8_t local[32];
    uint8_t* body = buffer != nullptr ? buffer : local;
    body[0] = uint8_t(XKS_FMT_B << 2 | 1);
    body[1] = 10;
    std::memcpy(body + 2, offending, 10);
    if ((mode & XKS_SEND_WIRE) == 0)
        header_order(acb, body + 2);
    return XKSCommSend(acb, mode, devid, sf, 0, body, 12, header);
}

int32_t XKSCommSendComment(XKSAcb* acb, int32_t mode, const char* text, const char* file, int32_t line)
{
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    if (text == nullptr)
        text = "";
    if (file == nullptr)
        file = "";
    comm_trace(acb, kLineLevel, "SX", "CommSendComment(acb,0x%04x,,%s,%d) : %.100s.", unsigned(mode), file, line,
               text);
    if (!is_open(acb))
        return XKW_E_BADHANDLE;
    // Body: the source file's base name (32 bytes), then the text with its
    // NUL in a field of 65476 bytes.
    constexpr size_t kTextField = 65476;
    const char* base = file;
    for (const char* p = file; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    size_t textlen = std::strlen(text);
    if (textlen > kTextField - 1)
        textlen = kTextField - 1;
    size_t len = textlen + XKS_COMMENT_FILE + 1;
    RecordBuffer buf(XKS_REQ_SIZE + len + 2);
    std::memset(buf.data(), 0, buf.size());
    XKSRequest* rec = buf.head();
    rec->req = XKS_REQ_COMMENT;
    rec->len = uint32_t(len);
    set16(rec->header, 8, uint16_t(line));
    uint8_t* p = buf.data() + XKS_REQ_SIZE;
    size_t baselen = std::strlen(base);
    std::memcpy(p, base, baselen < XKS_COMMENT_FILE - 1 ? baselen : XKS_COMMENT_FILE - 1);
    std::memcpy(p + XKS_COMMENT_FILE, text, textlen);
    int32_t option = (acb->cfg.quemode & QM_OVERWRITE) != 0 ? XKQ_PUT_OVERWRITE : 0;
    int32_t rc = XKSCommNormalize(XKQSendPut(&acb->uq[XKS_UQ_SEND], option, buf.data(), int32_t(buf.size())));
    if (rc < 0)
        XKSStore(acb->xerr, rc);
    return rc;
}

// ---- receive ----

int32_t XKSCommRecv(XKSAcb* acb, int32_t mode, int32_t* devid, int32_t* sf, uint32_t* xid, uint8_t* body,
                    int32_t size, uint8_t* header)
{
    RecvInfo info;
    int32_t rc = XKSCommNormalize(comm_recv(acb, mode, devid, sf, xid, body, size, header, &info));
    if (acb == nullptr)
        return rc;
    if (rc < 0)
        XKSStore(acb->xerr, rc);
    if (header != nullptr && info.taken && (mode & XKS_SEND_WIRE) != 0)
        header_order(acb, header);
    return rc;
}

// ---- callback loops ----

int32_t XKSCommCBRecv(XKSAcb* acb)
{
    int32_t size = acb->cfg.xmsgsize > 0 ? acb->cfg.xmsgsize : 1;
    uint8_t* body = static_cast<uint8_t*>(std::malloc(size_t(size)));
    XKSSetBits(acb->sexec, XKS_CB_RECV);
    int32_t result = 0;
    while (XKSLoad(acb->fexit) == 0) {
        int32_t devid = 0, sf = 0;
        uint32_t xid = 0;
        uint8_t header[10] = {};
        RecvInfo info;
        int32_t rc = body == nullptr ? XKW_E_NOMEM
                                     : XKSCommNormalize(comm_recv(acb, XKS_RECV_CALLBACK, &devid, &sf, &xid, body,
                                                                  size, header, &info));
        if (rc == XKS_E_NODATA) {
            if (XKSLoad(acb->fexit) == 0)
                XKQRecvWait(&acb->uq[XKS_UQ_RECV], wait_ms(acb));
            continue;
        }
        if (rc < 0)
            XKSStore(acb->xerr, rc);
        XKSRecvRecord record;
        fill_recv_record(&record, rc, info, devid, sf, xid, header, body);
        comm_trace(acb, kLineLevel, "RX",
                   "[CBRecv] (%4d) req:%3d  rtn:%4d  len:%4d  did:0x%04x  sf:0x%04x  xid:0x%04x.%04x", record.event,
                   record.req, record.rtn, info.length, unsigned(devid), unsigned(sf), xid >> 16, xid & 0xFFFF);
        // XKSCommRecv has applied the event to the states already.
        if (acb->cbrecv != nullptr)
            acb->cbrecv(acb->cbrecvarg, &record);
        result = rc;
        if (rc == XKW_E_BADHANDLE || rc == XKW_E_NOMEM || rc == XKS_E_ENDED)
            break;
        if (!info.taken && rc < 0)  // a queue failure: do not spin on it
            XKQRecvWait(&acb->uq[XKS_UQ_RECV], wait_ms(acb));
    }
    std::free(body);
    XKSStore(acb->uexit, result);
    XKSClearBits(acb->sexec, XKS_CB_RECV);
    return result;
}

int32_t XKSCommCBSend(XKSAcb* acb)
{
    XKSSetBits(acb->sexec, XKS_CB_SEND);
    XKQueueBlock* q = &acb->uq[XKS_UQ_RESULT];
    int32_t result = 0;
    while (XKSLoad(acb->fexit) == 0) {
        uint8_t buf[XKS_REQ_RESULT_SIZE];
        int32_t n = XKQRecvGet(q, 0, buf, sizeof buf, nullptr);
        if (n == XKW_E_NOMORE || (n >= 0 && n < XKS_REQ_SIZE)) {
            XKQRecvWait(q, wait_ms(acb));
            continue;
        }
        if (n < 0) {
            result = n;
            if (n == XKW_E_BADHANDLE)
                break;
            XKWSleep(wait_ms(acb));
            continue;
        }
        XKSRequest rec;
        std::memcpy(&rec, buf, sizeof rec);
        const uint8_t* h = rec.header;
        comm_trace(acb, kLineLevel, "SX",
                   "[CBSend] (%4d) req:%3d  rtn:%4d  len:%4u  did:0x%04x  sf:0x%02x%02x  xid:0x%04x.%04x", n, rec.req,
                   rec.rtn, rec.len, get16(h, 0), h[2], h[3], get16(h, 6), get16(h, 8));
        if (rec.req == XKS_REQ_TERMINATE) {
            // The engine has ended; leave the reply for the close.
            XKSStore(acb->fexit, 1);
            XKQRecvUnget(q);
            result = XKW_E_NOMORE;
            break;
        }
        XKSSendRecord record{};
        record.kind = 2;
        record.req = rec.req;
        record.rtn = XKSCommNormalize(rec.rtn);
        record.devid = shown_devid(h);
        record.sf = header_sf(h);
        record.xid = system_bytes(h);
        std::memcpy(record.header, h, 10);
        record.creq = control_number(rec.req);
        CommHSMSCheckSendResult(acb, &rec, record.creq, rec.rtn);
        bool control = rec.req != XKS_REQ_DATA;
        result = rec.rtn < 0 ? rec.rtn : control ? -900 - rec.req : 0;
        // Failures while not connected are not reported (a failed connect is).
        if (acb->cbsend != nullptr && (XKSLoad(acb->xstat) != 0 || result >= 0 || result == -961))
            acb->cbsend(acb->cbsendarg, &record);
    }
    XKSStore(acb->uexit, result);
    XKSClearBits(acb->sexec, XKS_CB_SEND);
    return result;
}
