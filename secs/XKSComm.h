// The library interface inside: the session handle table and what its
// files share. XKSComm.cpp opens and closes sessions and runs the callback
// threads, XKSCommSend.cpp sends and receives and keeps the link and device
// states, XKSCommHandle.cpp holds the message handles, the parameters and
// the wrappers by handle. The public declarations are in secs/xks.h.
#pragma once
#include <cstdint>

#include "secs/XKSAcb.h"
#include "secs/XKSCont.h"
#include "secs/xks.h"

inline constexpr int XKS_SESSION_HANDLES = 64;

// sexec bits of a session.
inline constexpr int32_t XKS_CB_RECV = 0x1;  // receive-callback thread in its loop
inline constexpr int32_t XKS_CB_SEND = 0x2;  // send-result callback thread in its loop

// Receive mode bit of the receive-callback thread: the whole body buffer.
inline constexpr int32_t XKS_RECV_CALLBACK = int32_t(0x80000000u);

// A session handle held for the length of one call: the close of the
// session waits until every call holding it has let go. acb() is null for
// an invalid or empty handle and for a session being closed.
class XKSSessionUse {
public:
    explicit XKSSessionUse(int32_t handle);
    ~XKSSessionUse();
    XKSSessionUse(const XKSSessionUse&) = delete;
    XKSSessionUse& operator=(const XKSSessionUse&) = delete;
    XKSAcb* acb() const { return acb_; }

private:
    int32_t handle_;
    XKSAcb* acb_;
};

// Engine mode (open mode bits 0..1) and whether the engine keeps the
// states of this session itself (open mode 0x1000 with engine mode 2, HSMS).
int32_t comm_engine_mode(const XKSAcb* acb);
bool comm_states_mirrored(const XKSAcb* acb);

// One formatted line to the session's user trace; nothing when it is not
// open.
void comm_trace(XKSAcb* acb, int32_t level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// ---- link and device states (XKSCommSend.cpp) ----

// Every devst and xstat become state; a status report is written; us = state.
void comm_set_all(XKSAcb* acb, int32_t state);
// Device index (HSMS-GS; otherwise all) becomes state, xstat follows.
void comm_set_device(XKSAcb* acb, int32_t index, int32_t state);
// The session of device index ended (separate or its end reported).
void comm_device_end(XKSAcb* acb, int32_t index);
// Write the status report line when xstat or a device changed.
void CommHSMSReportStatus(XKSAcb* acb);
// Apply a send result to the states (control request number creq, the
// record's result rtn).
void CommHSMSCheckSendResult(XKSAcb* acb, const XKSRequest* record, int32_t creq, int32_t rtn);

// ---- callback threads ----

// The loops (XKSCommSend.cpp); each returns the result it ended with.
int32_t XKSCommCBRecv(XKSAcb* acb);
int32_t XKSCommCBSend(XKSAcb* acb);
// Thread entries (XKSComm.cpp): argument is the acb address as 16
// hexadecimal digits.
void XKSCommCBRecvProc(void* argument);
void XKSCommCBSendProc(void* argument);
