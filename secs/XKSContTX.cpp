// The engine's transaction table and its transaction numbers.
//
// Every request the engine writes that expects an answer is an entry until
// the answer arrives or its timer runs out: a data primary with the W-bit
// (T3, measured from the end of its write), Select.req (T7), Deselect.req
// and Linktest.req (T6, from the moment they are opened). The send thread
// opens entries (TXAdd) and starts their timers (SearchDel type 1), the
// receive procedure closes them (SearchDel type 0) and the control loop
// expires them (ContT3TO).
//
// The table, its count xtx and the last number xid are guarded by the
// process lock. The table is a fixed array kept in opening order without
// gaps, so the oldest candidate for a match or an expiry comes first.
// xtx is also read without the lock (the expiry check skips the lock while
// the table is empty), so every access to it is atomic.
#include <cstdio>
#include <cstring>

#include "runtime/XKWResult.h"
#include "runtime/XKWTime.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSLib.h"
#include "secs/XKSMssg.h"
#include "secs/XKSTrace.h"

namespace {

constexpr uint32_t SM_HSMS = 0x1;
constexpr uint32_t DM_ANYREPLY = 0x2;       // a data reply without transaction is accepted
constexpr uint32_t DM_NODATA = 0x10;        // no transactions for data messages
constexpr uint32_t DM_NOCONTROL = 0x20;     // no transactions for control messages
constexpr uint32_t DM_NOMHEAD = 0x40;       // a received S9Fx closes nothing
constexpr uint32_t DM_REJECTKEEPS = 0x80;   // a received Reject.req closes nothing
constexpr uint32_t DM_NOS9F9 = 0x100;       // no S9F9 after a T3 expiry
constexpr uint32_t DM_NOSEPARATE = 0x8000;  // no Separate.req after a T6 expiry

constexpr int32_t ST_SELECT = 1;
constexpr int32_t ST_DESELECT = 3;
constexpr int32_t ST_LINKTEST = 5;
constexpr int32_t ST_LINKTEST_RSP = 6;
constexpr int32_t ST_REJECT = 7;

// A data entry opened before its write cannot expire for this long, so a
// slow write never ends in a false T3 expiry.
constexpr int64_t kUnwritten = 10800;

constexpr int32_t kLevel = 5;
constexpr int32_t kLinktestLevel = 10;  // one linktest every LINKINT would flood the trace

// What a message is looked up by.
struct Key {
    int32_t stp;       // 0 data, else the control SType
    int32_t stream;    // without W-bit
    int32_t function;  // -1: every function of the stream (an SxF0 abort)
    uint32_t system;
};

// How an entry expires.
struct Expiry {
    int32_t kind;     // 3, 6 or 7: the event is 80 + kind
    int32_t seconds;  // its timer
    int32_t trace;    // trace event kind
};

struct SF {
    char text[16];
};

bool hsms(const XKSAcb* acb) { return (acb->cfg.secsmode & SM_HSMS) != 0; }

// The SType of a header; SECS-I carries the block number in byte 5, and all
// its messages are data.
int32_t stp_of(const XKSAcb* acb, const uint8_t* header) { return hsms(acb) ? header[5] : 0; }

int32_t stream_of(const uint8_t* header) { return header[2] & 0x7F; }

int32_t level_of(const XKSAcb* acb, const uint8_t* header)
{
    int32_t stp = stp_of(acb, header);
    return stp == ST_LINKTEST || stp == ST_LINKTEST_RSP ? kLinktestLevel : kLevel;
}

SF sf(int32_t stream, int32_t function)
{
    SF s;
    std::snprintf(s.text, sizeof s.text, "S%dF%d", stream, function);
    return s;
}

SF sf(const uint8_t* header) { return sf(stream_of(header), header[3]); }

Expiry expiry_of(const XKSAcb* acb, const uint8_t* header)
{
    const XKSConfig& c = acb->cfg;
    switch (stp_of(acb, header)) {
    case 0:
        return {3, c.t3, XKS_TK_T3TIMEOUT};
    case ST_SELECT:
        return {7, c.t7, XKS_TK_T7TIMEOUT};  // a select waits T7, not T6
    default:
        return {6, c.t6, XKS_TK_T6TIMEOUT};
    }
}

// "Add" or "Delete" line of one entry.
void entry_line(XKSAcb* acb, const char* what, int32_t index, const XKSTxEntry& e)
{
    const uint8_t* h = e.header;
    char types[16] = "       ";
    if (hsms(acb))
        std::snprintf(types, sizeof types, "P:%d S:%d", h[4], h[5]);
    cont_log(acb, XKS_LOG_PROC, level_of(acb, h),
             "  %s mess.[%4d] DEV:0x%04x %c %-8s %s SBT:0x%04hx.%04hx: %06ld.%06ld", what, index,
             cont_get16(h, 0), (h[2] & 0x80) != 0 ? 'W' : ' ', sf(h).text, types, cont_get16(h, 6),
             cont_get16(h, 8), long(XKWTimeDate(e.tod) % 1000000), long(XKWTimeClock(e.tod)));
}

// Listing of the entries after an addition or deletion. Lock held.
void table_lines(XKSAcb* acb, const char* what, int32_t level)
{
    const XKSTxEntry* tx = acb->res->tx;
    int32_t n = XKSLoad(acb->xtx);
    for (int32_t i = 0; i < n; ++i)
        cont_log(acb, XKS_LOG_PROC, level, "  %s table(%4d/%4d) %7s %-18s SBT:%04x.%04x", what, i, n, "",
                 sf(tx[i].header).text, cont_get16(tx[i].header, 6), cont_get16(tx[i].header, 8));
}

// Remove entry index; the later ones move up so the table stays in
// opening order. Lock held. 0, or -2 for an index outside the table.
int32_t tx_delete(XKSAcb* acb, int32_t index)
{
    XKSTxEntry* tx = acb->res->tx;
    int32_t n = XKSLoad(acb->xtx);
    if (index < 0 || index >= n)
        return XKW_E_NOTFOUND;
    XKSTxEntry e = tx[index];
    std::memmove(&tx[index], &tx[index + 1], size_t(n - 1 - index) * sizeof *tx);
    tx[n - 1] = XKSTxEntry{};
    cont_set_xtx(acb, n - 1);
    entry_line(acb, "Delete", index, e);
    table_lines(acb, "Delete", level_of(acb, e.header));
    return XKW_OK;
}

// The key of a message. A received S9Fx names the message it is about in
// its MHEAD, a binary item of the 10 header bytes in wire order; any other
// message is taken as the reply to its primary. -22 for a received primary
// that names nothing.
int32_t make_key(const XKSAcb* acb, const uint8_t* header, const uint8_t* body, int32_t length, Key* key)
{
    const uint8_t* h = header;
    int32_t reply = 1;
    uint8_t mhead[10];
    if (stp_of(acb, header) == 0 && (header[3] & 1) != 0) {
        if ((acb->cfg.devmode & DM_NOMHEAD) != 0 || stream_of(header) != 9 || body == nullptr || length < 12)
            return XKW_E_INVAL;
        std::memcpy(mhead, body + 2, sizeof mhead);  // behind format code and length byte
        XKSMssgHeaderOrder(mhead);
        h = mhead;
        reply = 0;
    }
    key->stp = stp_of(acb, h);
    key->stream = stream_of(h);
    key->function = h[3] - reply;
    key->system = cont_system(h);
    return XKW_OK;
}

bool matches(const XKSAcb* acb, const Key& key, const uint8_t* entry)
{
    if (cont_system(entry) != key.system)
        return false;
    int32_t stp = stp_of(acb, entry);
    if (key.stp == ST_REJECT && (acb->cfg.devmode & DM_REJECTKEEPS) == 0)
        return true;  // a reject ends whatever it names
    // Otherwise a key matches only its own kind: a received Select.req that
    // happens to carry the system bytes of an open data primary must not
    // take that primary's T3 supervision away.
    if ((key.stp == 0) != (stp == 0))
        return false;
    if (key.stp != 0)
        return stp + 1 == key.stp;  // each response to its request
    return stream_of(entry) == key.stream && (key.function < 0 || entry[3] == key.function);
}

// Index of the first entry the key matches, -1 when none. Lock held.
int32_t find(XKSAcb* acb, const Key& key, int32_t level)
{
    const XKSTxEntry* tx = acb->res->tx;
    int32_t n = XKSLoad(acb->xtx);
    SF k = sf(key.stream, key.function);
    for (int32_t i = 0; i < n; ++i) {
        cont_log(acb, XKS_LOG_PROC, level, "  Search table(%4d/%4d) %7s %-9s:%-8s SBT:%04x.%04x:%04x.%04x", i, n,
                 "", k.text, sf(tx[i].header).text, key.system >> 16, key.system & 0xFFFF,
                 cont_get16(tx[i].header, 6), cont_get16(tx[i].header, 8));
        if (matches(acb, key, tx[i].header))
            return i;
    }
    return -1;
}

// Report an expired entry and take the protocol action. Runs unlocked.
void expire(XKSAcb* acb, const uint8_t* header)
{
    const uint32_t devmode = acb->cfg.devmode;
    Expiry x = expiry_of(acb, header);
    XKSTraceMessage(acb, x.trace, header, nullptr, 0, 1, __FILE__, __LINE__);
    XKSTraceMessage(acb, x.trace | XKS_TK_PROCESS, header, nullptr, 0, 4, __FILE__, __LINE__);
    cont_put(acb, acb->qr, 80 + x.kind, 0, header, nullptr, 0);
    int32_t stp = stp_of(acb, header);
    if (stp == ST_SELECT || stp == ST_DESELECT)
        SendHSMSSetupXStat(acb, cont_dev_pos(acb, cont_get16(header, 0)), 0, 1, 1);  // NOT SELECTED
    if (x.kind == 3 && (devmode & DM_NOS9F9) == 0)
        SendErrorMessage(acb, header, 9, 9);
    if (x.kind == 6 && (devmode & DM_NOSEPARATE) == 0)
        cont_put(acb, acb->qd, XKS_REQ_SEPARATE, 0, nullptr, nullptr, 0);
}

}  // namespace

uint32_t cont_new_system(XKSAcb* acb, uint8_t* header)
{
    XKWLockEnter(&acb->res->plock, 0);
    acb->xid = XKSLibNextXid(acb, acb->xid);
    uint32_t sys = uint32_t(acb->cfg.srcid1 | (acb->xid >> 16)) << 16 | uint32_t(acb->xid & 0xFFFF);
    XKWLockLeave(&acb->res->plock);
    cont_set16(header, 6, uint16_t(sys >> 16));
    cont_set16(header, 8, uint16_t(sys));
    return sys;
}

int32_t TXAdd(XKSAcb* acb, const uint8_t* header)
{
    if (acb == nullptr || header == nullptr)
        return XKW_E_INVAL;
    const XKSConfig& c = acb->cfg;
    int32_t stp = stp_of(acb, header);
    bool track = stp == 0 ? (c.devmode & DM_NODATA) == 0 && (header[2] & 0x80) != 0 && (header[3] & 1) != 0
                          : (c.devmode & DM_NOCONTROL) == 0;
    XKSContRes* res = acb->res;
    if (!track || res == nullptr || res->tx == nullptr)
        return XKW_OK;

    XKWLockEnter(&res->plock, 0);
    int32_t n = XKSLoad(acb->xtx);
    int32_t rc = XKW_E_FULL;
    if (n < c.xtranx) {
        int64_t delay = stp == 0 ? kUnwritten : 0;  // control requests time from opening
        XKSTxEntry& e = res->tx[n];
        e.start = cont_now() + delay;
        e.tod = int32_t(XKWTimeNow() + delay);
        std::memcpy(e.header, header, sizeof e.header);
        entry_line(acb, "Add   ", n, e);
        cont_set_xtx(acb, n + 1);
        table_lines(acb, "Add   ", level_of(acb, header));
        rc = XKW_OK;
    }
    XKWLockLeave(&res->plock);

    if (rc < 0)
        cont_log(acb, XKS_LOG_ERR | XKS_LOG_COMM | XKS_LOG_PROC, 0,
                 "[ERROR] Transaction table overflow       [%-16s SBT:0x%04x.%04x]", sf(header).text,
                 cont_get16(header, 6), cont_get16(header, 8));
    cont_log(acb, XKS_LOG_PROC, level_of(acb, header), "  TXAdd     rtn=%2d stp=%d S%dF%d SBT=0x%04x.%04x", rc, stp,
             stream_of(header), header[3], cont_get16(header, 6), cont_get16(header, 8));
    return rc;
}

int32_t SearchDel(XKSAcb* acb, const uint8_t* header, int32_t type, const uint8_t* body, int32_t length)
{
    if (acb == nullptr || header == nullptr)
        return XKW_E_INVAL;
    const uint32_t devmode = acb->cfg.devmode;
    int32_t stp = stp_of(acb, header);
    XKSContRes* res = acb->res;
    if ((devmode & (stp == 0 ? DM_NODATA : DM_NOCONTROL)) != 0 || res == nullptr || res->tx == nullptr)
        return XKW_OK;

    int32_t level = level_of(acb, header);
    Key key{};
    int32_t rc = make_key(acb, header, body, length, &key);
    if (rc == XKW_OK) {
        XKWLockEnter(&res->plock, 0);
        int32_t i = find(acb, key, level);
        if (i >= 0 && type == 0) {
            tx_delete(acb, i);
        } else if (i >= 0) {
            res->tx[i].start = cont_now();
            res->tx[i].tod = int32_t(XKWTimeNow());
        }
        XKWLockLeave(&res->plock);
        // An S9Fx is a primary itself: one that names nothing open is no
        // unexpected reply.
        if (i < 0 && key.stp == 0 && (devmode & DM_ANYREPLY) == 0 && stream_of(header) != 9)
            rc = XKW_E_NOTFOUND;
    }
    cont_log(acb, XKS_LOG_PROC, level, "  SearchDel rtn=%2d stp=%d S%dF%d SBT=0x%04x.%04x type=%d", rc, stp,
             stream_of(header), header[3], cont_get16(header, 6), cont_get16(header, 8), type);
    return rc;
}

int32_t ContT3TO(XKSAcb* acb)
{
    if (acb == nullptr || acb->res == nullptr || acb->res->tx == nullptr)
        return 0;
    XKSContRes* res = acb->res;
    int64_t now = cont_now();
    int32_t expired = 0;
    // One entry per pass, so the protocol actions run without the lock;
    // every pass removes an entry, which bounds the loop by the table size.
    for (int32_t pass = 0; pass <= acb->cfg.xtranx && XKSLoad(acb->xtx) > 0; ++pass) {
        uint8_t header[10];
        XKWLockEnter(&res->plock, 0);
        int32_t n = XKSLoad(acb->xtx);
        int32_t i = 0;
        while (i < n && res->tx[i].start >= now - expiry_of(acb, res->tx[i].header).seconds)
            ++i;
        if (i < n) {
            std::memcpy(header, res->tx[i].header, sizeof header);
            tx_delete(acb, i);
        }
        XKWLockLeave(&res->plock);
        if (i >= n)
            break;
        ++expired;
        expire(acb, header);
    }
    return expired;
}
