// Shared inside the control engine (XKSCont*.cpp): its resources, the
// thread bodies, the connection operations and the small helpers every
// engine file uses.
#pragma once
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/XKQueue.h"
#include "runtime/XKWThread.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSAcb.h"
#include "secs/XKSCont.h"
#include "secs/XKSTCP.h"

inline constexpr int32_t XKS_IDLINES = 127;  // identification lines of the communication trace

// sexec bits.
inline constexpr int32_t XKS_SEXEC_RECV = 0x1;
inline constexpr int32_t XKS_SEXEC_SEND = 0x2;

// One open transaction.
struct XKSTxEntry {
    int64_t start;       // when its timer started, s (tick)
    int32_t tod;         // calendar time of the same moment (trace lines only)
    uint8_t header[10];  // the request's header, host order
};

// What ContOpen acquires besides the fields of the block; snapshot copies
// of the block share it.
struct XKSContRes {
    XKWTrace ctrace;     // communication trace
    XKWTrace etrace;     // error trace
    XKWTrace ptrace;     // process trace
    XKWLock plock;       // process lock: transaction table and numbers
    XKWLock slock;       // shutdown lock (HSMS) or port lock (SECS-I)
    XKWLock tlock;       // trace lock
    XKQueueBlock qr, qs, qc;  // the queues when the engine opens them itself
    bool copied;         // the caller's queue blocks are used
    char (*idlines)[XKS_LINE_SIZE];  // XKS_IDLINES lines
    const char* idlist[XKS_IDLINES + 1];
    XKSTxEntry* tx;      // XTRANX + 1 entries, null when DEVMODE has 0x10 and 0x20
};

// Log targets of cont_log.
inline constexpr int32_t XKS_LOG_COMM = 0x1;   // communication trace (and callback, trace server)
inline constexpr int32_t XKS_LOG_PROC = 0x2;   // process trace
inline constexpr int32_t XKS_LOG_ERR = 0x4;    // error trace

// Now for the engine's timers: whole seconds of the tick count.
int64_t cont_now();

// Write one formatted line to the chosen traces (tag "CT").
void cont_log(XKSAcb* acb, int32_t where, int32_t level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// "[ERROR] <what> (result,errno) on xeps0,xeps1,xeps2" to the error and
// process traces.
void cont_error(XKSAcb* acb, int32_t rc, const char* what);

// Put a request record (req, rtn, header or zeros, body) on a queue; the
// receive queue gets two spare bytes after the body. Returns the put's result.
int32_t cont_put(XKSAcb* acb, XKQueueBlock* queue, int32_t req, int32_t rtn, const uint8_t* header,
                 const uint8_t* body, int32_t length);

// Put a whole record; a full receive or send-result queue is waited on
// until it has room or the engine ends. Returns the put's result.
int32_t cont_put_record(XKSAcb* acb, XKQueueBlock* queue, const void* record, int32_t length);

// Block address as 16 hexadecimal digits (thread arguments) and back.
void cont_addr_text(const void* address, char* text /* 17 bytes */);
void* cont_addr_parse(const char* text);

// Start a worker thread with THSTACKSYS and write
// "<label> [<name>(<arg>)] .. (%d.%ld)" to the process trace. 0 or -1.
int32_t cont_start_thread(XKSAcb* acb, const char* label, const char* name, XKWThreadProc body,
                          void* argument, const char* argtext);

// Comment request: write its text to the communication trace ("UU").
int32_t ContComment(XKSAcb* acb, const XKSRequest* request);

// Worker thread entries; the argument is the engine block's address as 16
// hexadecimal digits (cont_addr_text).
void XKSCThreadRecv(void* argument);
void XKSCThreadSend(void* argument);

// The periodic work of the control loop, with "now" (cont_now seconds)
// and, where needed, today (yyyymmdd) and the time of day (hhmmss) given
// by the caller. One pass of the loop: linktest timer while SELECTED, expiry check while
// SELECTED or DESELECTING, housekeeping when INTER3 has passed. Returns 1
// when housekeeping ran.
int32_t cont_loop_pass(XKSAcb* acb, int64_t now);
// Linktest timer: puts request 5 on the send queue once LINKINT seconds
// have passed since the last linktest (xlt). Returns 1 when it did.
int32_t cont_linktest(XKSAcb* acb, int64_t now);
// Housekeeping: INI watch (re-read, trace settings, settings listing) and
// old-file removal. Returns 0 or the re-read's failure.
int32_t cont_housekeeping(XKSAcb* acb, int64_t now, int32_t today, int32_t clock);
// The day of the last removal as the open sets it (TRCDELDAY >= 0), so the
// first removal waits for the next passing of TRCDELTIME.
void cont_removal_start(XKSAcb* acb, int32_t today, int32_t clock);
// Old trace and queue side files: removed at most once a day after
// TRCDELTIME. Returns the number of files removed.
int32_t cont_remove_old(XKSAcb* acb, int32_t today, int32_t clock);

// ---- header fields (XKSContInternal.h) ----
// The 16-bit fields of a header are in host order: session id at offset 0,
// the system-byte halves at 6 and 8.
inline uint16_t cont_get16(const uint8_t* header, int offset)
{
    uint16_t v;
    std::memcpy(&v, header + offset, 2);
    return v;
}
inline void cont_set16(uint8_t* header, int offset, uint16_t value)
{
    std::memcpy(header + offset, &value, 2);
}
inline uint32_t cont_system(const uint8_t* header)
{
    return uint32_t(cont_get16(header, 6)) << 16 | cont_get16(header, 8);
}

// ---- transaction table and numbers (XKSContTX.cpp) ----
// New engine transaction number under the process lock (XIDMIN..XIDMAX,
// wrapping) written as system bytes: upper half SRCID1 | xid >> 16, lower
// half xid & 0xFFFF. Returns the 32-bit system-byte value.
uint32_t cont_new_system(XKSAcb* acb, uint8_t* header);
// Open a transaction for a request about to be written (data primary with
// W-bit and odd function: reply timer T3, started only by SearchDel type 1;
// Select.req T7, Deselect.req and Linktest.req T6, started now). 0, or -28
// when the table is full (with the overflow error line).
int32_t TXAdd(XKSAcb* acb, const uint8_t* header);
// Find the transaction a message answers (header in host order, body of
// length bytes for the MHEAD of a received S9Fx). type 0: close it; other:
// mark it written and start its timer. 0, -2 for a data reply without open
// transaction, -22 for a received primary (nothing to look for).
int32_t SearchDel(XKSAcb* acb, const uint8_t* header, int32_t type, const uint8_t* body, int32_t length);
// The transaction expiry check of the control loop: expired entries are
// closed and reported (events 83/86/87), with their protocol action.
// Returns the number of entries expired.
int32_t ContT3TO(XKSAcb* acb);

// ---- link and device states, control procedures (XKSContCtl.cpp) ----
// Device index of a session id in DEVID (-19 when not listed).
int32_t cont_dev_pos(const XKSAcb* acb, uint16_t session);
// The session id as the engine writes it: with SECSMODE 0x200 and an id
// other than 0xFFFF, bit 15 is cleared, and set again with SECSMODE 0x10.
uint16_t cont_out_session(const XKSAcb* acb, uint16_t session);
// The status to answer a received request with.
int32_t RecvHSMSCheckXStat(XKSAcb* acb, int32_t pos, int32_t expected, int32_t below, int32_t above);
// The status to send in a response (proposed when the state is expected).
int32_t SendHSMSSetupFCode(XKSAcb* acb, int32_t pos, int32_t expected, int32_t below, int32_t above,
                           int32_t proposed);
// 0 when the request may be sent in the present state, -42 or -19.
int32_t SendHSMSCheckXStat(XKSAcb* acb, const XKSRequest* request, int32_t pos, int32_t low, int32_t high);
// Receiving side state change with precondition expected (<= 0: none).
// 0, -42 or -19.
int32_t RecvHSMSSetupXStat(XKSAcb* acb, int32_t pos, int32_t expected, int32_t state);
// Sending side state change: fail_state when result < 0, else ok_state.
void SendHSMSSetupXStat(XKSAcb* acb, int32_t pos, int32_t result, int32_t ok_state, int32_t fail_state);
// 1 when no device is SELECTING or SELECTED.
int32_t HSMSCheckTerminate(XKSAcb* acb);
// Received control message (SType 1..7 and 9) of length body bytes:
// 0, 1 (the connection is to end) or a negative result.
int32_t RecvHSMSControl(XKSAcb* acb, XKSRequest* request, int32_t length);
// Control request from the send queue (req 1..7, 9, 92, 97, 98, 99):
// 0, 1 (the connection is to end) or a negative result; -22 for another req.
int32_t SendHSMSControl(XKSAcb* acb, XKSRequest* request);

// ---- data messages and the engine's own messages (XKSContData.cpp) ----
// Received data message: delivered while SELECTED (req 0, rtn = the check
// result), else reason 4 and -42.
int32_t RecvHSMSData(XKSAcb* acb, XKSRequest* request, const uint8_t* body, int32_t length);
// Device id and size checks of a received data message (HSMS and SECS-I):
// 0, -19 (S9F1) or -7 (S9F11).
int32_t CheckReceivedData(XKSAcb* acb, const uint8_t* header);
// Data request from the send queue: state check, system bytes, transaction,
// write. 0 or a negative result.
int32_t SendHSMSData(XKSAcb* acb, XKSRequest* request, const uint8_t* body);
// Queue S9Fx (function) naming the offending header, and notify the user
// when xapp is 1 or 2. Returns the send queue put's result.
int32_t SendErrorMessage(XKSAcb* acb, const uint8_t* header, int32_t stream, int32_t function);
// Queue Reject.req (request 7) for the rejected header with reason.
int32_t SendRejectMessage(XKSAcb* acb, const uint8_t* header, int32_t reason);

// Set every device state and xstat to state, mirror them into the
// caller's block and write the status report.
void ContHSMSSetupDStat(XKSAcb* acb, int32_t state);
// Copy devst and xstat into the caller's block (omode & 0x1003 = 0x1002).
void cont_mirror(XKSAcb* acb);
// Write one message on the session's connection (TCPWrite) unless it is
// shut or closed (-108); the connection is not closed while it runs.
int32_t cont_write(XKSAcb* acb, const uint8_t* header, const uint8_t* body, int32_t length,
                   const XKSWriteOptions* options, const char* source, int32_t line);
// Set the count of open transactions, mirrored like the states.
void cont_set_xtx(XKSAcb* acb, int32_t count);
// Status report: "Status change ..." when xstat or a device state changed.
void cont_status_report(XKSAcb* acb);

// HSMS thread bodies and connection operations.
// One request record with room for XMSGSIZE body bytes and the spare
// bytes of received records, for one run of a procedure; data is null
// when memory ran out.
struct XKSContRecord {
    explicit XKSContRecord(const XKSAcb* acb)
        : size(XKS_REQ_SIZE + std::clamp(acb->cfg.xmsgsize, 0, INT32_MAX - XKS_REQ_SIZE - 16) + 10),
          data(static_cast<uint8_t*>(std::malloc(size_t(size))))
    {
    }
    ~XKSContRecord() { std::free(data); }
    XKSContRecord(const XKSContRecord&) = delete;
    XKSContRecord& operator=(const XKSContRecord&) = delete;
    XKSRequest* rec() const { return reinterpret_cast<XKSRequest*>(data); }
    uint8_t* body() const { return data + XKS_REQ_SIZE; }
    int32_t max_body() const { return size - XKS_REQ_SIZE - 10; }

    int32_t size;
    uint8_t* data;
};

// Take the next request from the send queue into buf, its length field
// held to what was taken. Returns the record length, -120 after waiting up
// to INTER0 ms for one, or the queue's failure, written as "[ERROR] <who>:
// Internal send queue get".
int32_t cont_next_request(XKSAcb* acb, XKSContRecord& buf, XKQRecordHeader* qh, const char* who);

int32_t RecvHSMS(XKSAcb* acb);
int32_t SendHSMS(XKSAcb* acb);
int32_t RecvHSMSProc(XKSAcb* acb);
int32_t SendHSMSProc(XKSAcb* acb);
int32_t SendHSMSConnect(XKSAcb* acb, XKSRequest* request);
void TCPShutdown(XKSAcb* acb, int32_t selector, int32_t pause_ms);

// SECS-I thread bodies (XKSContSECS.cpp). The line counts as SELECTED
// (every state 3) while it is open, 0 otherwise.
// Receive thread: open the line, receive until fexit, close it; ends the
// engine. 0, or the open (or buffer) failure, also kept in xerr.
int32_t RecvSECS(XKSAcb* acb);
// Receive messages until fexit; failures go to the user as req 0 events.
// 0, or -12 without a buffer.
int32_t RecvSECSProc(XKSAcb* acb);
// Deliver one received data message (body behind the record) while the
// line is open: the check result of CheckReceivedData, or -42.
int32_t RecvSECSData(XKSAcb* acb, XKSRequest* request, int32_t length);
// Send thread: waits for the line, serves the send queue once, ends the
// engine. 0 or a send queue failure.
int32_t SendSECS(XKSAcb* acb);
// Serve the send queue until fexit or the line has closed. 0, -12, or the
// failure of a queue.
int32_t SendSECSProc(XKSAcb* acb);
// Data request: state check, system bytes, transaction, write. 0, -42 when
// the line is not open, or the write's failure.
int32_t SendSECSData(XKSAcb* acb, XKSRequest* request, const uint8_t* body);
