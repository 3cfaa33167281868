// The protocol control engine: one engine per library session runs one
// SECS link (HSMS or SECS-I). It loads its own access control block from
// the session's INI file and section, talks to the library side only
// through three queues of request records (receive, send, send result) and
// mirrors the link and device states into the caller's block.
//
// Life: ContMain opens the engine (ContOpen), starts the receive and send
// threads, runs the control loop (linktest timer, transaction expiry,
// housekeeping: INI watch, definition reload, removal of old trace and
// queue files) until fexit, waits for the threads and closes (ContClose).
// Request 127 on the send queue ends it; ContClose answers with the
// terminate reply (req 127) on the send-result queue.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/XKQueue.h"
#include "secs/XKSAcb.h"

// The request record carried on all three queues; the body follows it.
#pragma pack(push, 1)
struct XKSRequest {
    uint8_t req;         // request or event code
    uint8_t mode;        // bit 0: result to the send-result queue; bit 1: no link-state check
    int16_t rtn;         // result, status or reason
    uint32_t len;        // body length
    uint8_t wopt[8];     // write options (XKSWriteOptions)
    uint8_t header[10];  // message header, host order
};
#pragma pack(pop)
static_assert(sizeof(XKSRequest) == 26);
static_assert(offsetof(XKSRequest, rtn) == 2 && offsetof(XKSRequest, len) == 4 &&
              offsetof(XKSRequest, wopt) == 8 && offsetof(XKSRequest, header) == 16);

inline constexpr int32_t XKS_REQ_SIZE = 26;          // record without body
inline constexpr int32_t XKS_REQ_RESULT_SIZE = 64;   // record size of the send-result queue
inline constexpr int32_t XKS_REQ_MODE_RESULT = 0x01;
inline constexpr int32_t XKS_REQ_MODE_NOCHECK = 0x02;

// Request codes (send queue).
inline constexpr int32_t XKS_REQ_DATA = 0;
inline constexpr int32_t XKS_REQ_SELECT = 1;       // also 92
inline constexpr int32_t XKS_REQ_SELECT_RSP = 2;
inline constexpr int32_t XKS_REQ_DESELECT = 3;     // also 98
inline constexpr int32_t XKS_REQ_DESELECT_RSP = 4;
inline constexpr int32_t XKS_REQ_LINKTEST = 5;
inline constexpr int32_t XKS_REQ_LINKTEST_RSP = 6;
inline constexpr int32_t XKS_REQ_REJECT = 7;       // also 97
inline constexpr int32_t XKS_REQ_SEPARATE = 9;     // also 99
inline constexpr int32_t XKS_REQ_CONNECT = 91;
inline constexpr int32_t XKS_REQ_COMMENT = 121;
inline constexpr int32_t XKS_REQ_TERMINATE = 127;
// Event codes (receive queue).
inline constexpr int32_t XKS_EV_S9F1 = 66;
inline constexpr int32_t XKS_EV_S9F7 = 67;
inline constexpr int32_t XKS_EV_S9F11 = 68;
inline constexpr int32_t XKS_EV_S9F9 = 69;
inline constexpr int32_t XKS_EV_T3 = 83;
inline constexpr int32_t XKS_EV_T6 = 86;
inline constexpr int32_t XKS_EV_T7 = 87;
inline constexpr int32_t XKS_EV_T8 = 88;
inline constexpr int32_t XKS_EV_NOMSSG = 90;
inline constexpr int32_t XKS_EV_CONNECTED = 91;
inline constexpr int32_t XKS_EV_SELECTED = 92;
inline constexpr int32_t XKS_EV_SEPARATED = 96;
inline constexpr int32_t XKS_EV_REJECTED = 97;
inline constexpr int32_t XKS_EV_DESELECTED = 98;
inline constexpr int32_t XKS_EV_ENDED = 99;

// Comment request: file name field in front of the text.
inline constexpr int32_t XKS_COMMENT_FILE = 32;

// Thread entry of the engine: argument points to the text
// "%s,%s,%016llx,%016llx,%016llx,%016llx,%016llx,%016llx" (INI path,
// section, caller's acb, receive, send and send-result queue blocks, trace
// callback, its argument); it must stay valid until the engine has ended.
// The engine runs on a zero-filled block of its own.
void XKSCCBProc(void* argument);

// Run an engine on acb (zero-filled) to its end. acbu, the queue blocks
// and the callback may be null. Returns 0 or the negative result that
// ended it.
int32_t ContMain(XKSAcb* acb, int32_t mode, const char* ini, const char* section, XKSAcb* acbu,
                 XKQueueBlock* r, XKQueueBlock* s, XKQueueBlock* c, XKSTraceCallback callback,
                 void* argument);

// Open the engine's block: configuration, traces, locks, transaction
// table, queues (the caller's blocks are used when QUEMODE & 0xC0 = 0x80).
// Returns 0, -16 when already open, -14 without the caller's queue blocks,
// -12, or a configuration, trace, lock or queue failure (already closed).
int32_t ContOpen(XKSAcb* acb, int32_t mode, const char* ini, const char* section,
                 XKQueueBlock* r, XKQueueBlock* s, XKQueueBlock* c);

// Release everything ContOpen acquired (also on a partly opened block),
// after putting the terminate reply. Returns 0, or -9 without open marker.
int32_t ContClose(XKSAcb* acb);

// Message definitions of the engine's traces: op 0 load, 1 load when not
// loaded yet, 9 unload. Returns 0 or the load result.
int32_t MDMssgTable(int32_t op, XKSAcb* acb);
