// The communication trace of a session: one header line per message sent
// or received and per link event, optionally the message name, its items
// as indented text lines and hexadecimal dumps of header and body. Lines go
// to the session's communication trace (acb->ctrace), event and error lines
// also to its error trace (acb->etrace); entries with kind bit 0x1000 go to
// the process trace (acb->ptrace) instead. Every line within TRCTLEVEL is
// also handed to the application trace callback (acb->tcb) and sent as one
// text line to the trace server (TRCTHOST:TRCTPORT) when one is configured.
// A trace pointer that is null or not open is skipped.
//
// The acb may be a snapshot copy of an engine's block (a refused
// connection): host, port and socket number come from the copy, the
// message definitions from the block it was copied from (acb->self).
#pragma once
#include <cstddef>
#include <cstdint>

#include "secs/XKSAcb.h"
#include "secs/XKSMssg.h"

// Event kinds (bits 0..5 of a kind argument).
inline constexpr int32_t XKS_TK_CONTROL = 0;
inline constexpr int32_t XKS_TK_RECEIVE = 1;
inline constexpr int32_t XKS_TK_SEND = 2;
inline constexpr int32_t XKS_TK_INITIALIZE = 4;
inline constexpr int32_t XKS_TK_ACCEPT = 5;
inline constexpr int32_t XKS_TK_CONNECT = 6;
inline constexpr int32_t XKS_TK_SHUTDOWN = 8;
inline constexpr int32_t XKS_TK_TERMINATE = 9;
inline constexpr int32_t XKS_TK_CONNECTED = 11;   // printed "CONNECT", with host and port
inline constexpr int32_t XKS_TK_SELECT = 12;
inline constexpr int32_t XKS_TK_SEPARATE = 16;
inline constexpr int32_t XKS_TK_REJECT = 17;
inline constexpr int32_t XKS_TK_DESELECT = 18;
inline constexpr int32_t XKS_TK_NOTCONNECT = 19;
inline constexpr int32_t XKS_TK_ILL_BLOCK = 20;
inline constexpr int32_t XKS_TK_T1TIMEOUT = 21;   // T2..T8: 22..28
inline constexpr int32_t XKS_TK_T3TIMEOUT = 23;
inline constexpr int32_t XKS_TK_T6TIMEOUT = 26;
inline constexpr int32_t XKS_TK_T7TIMEOUT = 27;
inline constexpr int32_t XKS_TK_T8TIMEOUT = 28;
inline constexpr int32_t XKS_TK_RETRY_OVER = 29;
inline constexpr int32_t XKS_TK_NOMSSG_TO = 30;
inline constexpr int32_t XKS_TK_ILL_DEVICE = 31;
inline constexpr int32_t XKS_TK_MSSGTOOBIG = 32;
inline constexpr int32_t XKS_TK_UNEXP_MSSG = 33;
inline constexpr int32_t XKS_TK_CHECK_SUM = 34;
inline constexpr int32_t XKS_TK_PROTOCOL = 35;
inline constexpr int32_t XKS_TK_SEND_S9F1 = 36;   // S9F7, S9F11, S9F9: 37..39
inline constexpr int32_t XKS_TK_CONN_ERR = 40;
inline constexpr int32_t XKS_TK_FORCEEND = 63;
inline constexpr int32_t XKS_TK_MASK = 0x3F;

// Kind bits.
inline constexpr int32_t XKS_TK_PROCESS = 0x1000;    // process trace instead of the communication trace
inline constexpr int32_t XKS_TK_SHUTLINES = 0x8000;  // header text: blank lines after SHUTDOWN / TERMINATE
inline constexpr int32_t XKS_TK_KEEPTEXT = 0x10000;  // header text: append the text found in `text`

// Sub-lines of a message entry carry these offsets towards the callback
// and the trace server.
inline constexpr int32_t XKS_TK_SUBLINE = 50;  // name and item lines
inline constexpr int32_t XKS_TK_DUMPLINE = 52; // dump lines

// The name of an event kind ("" for kinds without one).
const char* XKSTraceKindName(int32_t kind);

// Trace one message or event. kind: event kind, plus XKS_TK_PROCESS;
// header: 10 bytes in host order, or null for an event without message;
// length: the body length, or a negative result for a failed transfer.
// Returns 0, or -22 for bad arguments.
int32_t XKSTraceMessage(XKSAcb* acb, int32_t kind, const uint8_t* header, const uint8_t* body,
                        int32_t length, int32_t level, const char* source, int32_t line);

// Write one raw text line to the communication trace (the process trace
// with kind bit 0x1000) with trace-write flags, level and tag, and within
// TRCTLEVEL to the callback and the trace server. kind: the record's kind
// (event kind, +50 or +52 for sub-lines) plus XKS_TK_PROCESS. Returns the
// file write's result (0 when the trace is not open).
int32_t XKSTraceLine(const char* source, int32_t line, const char* function, XKSAcb* acb,
                     int32_t flags, int32_t level, int32_t kind, const char* tag, const char* text);

// A dump of length bytes with the TRCTXDUMP limit into the same trace as
// XKSTraceLine, its lines also to the callback and the trace server.
int32_t XKSTraceDump(const char* source, int32_t line, const char* function, XKSAcb* acb,
                     int32_t dumpflags, int32_t level, int32_t kind, const char* tag,
                     const char* label, const void* data, int32_t length);

// The item lines of a body (flags: 0x3000 received / 0x2000 sent with
// definition names; kind as for XKSTraceLine, its bit XKS_TK_PROCESS
// selects the process trace, since the direction bits include 0x1000).
// block: a codec block for the walk, or null for one of its own. Returns 0
// or the walk's error (after the MESSAGE STRUCTURE ERROR line).
int32_t XKSTraceList(XKSAcb* acb, int32_t flags, const uint8_t* header, const uint8_t* body,
                     int32_t length, int32_t level, int32_t kind, const char* tag,
                     XKSMssgBlock* block, const char* source, int32_t line);

// Format the header line of a message or event into text (size bytes,
// always terminated). Returns the text length.
int32_t XKSTraceHeaderText(const XKSAcb* acb, int32_t kind, const uint8_t* header, char* text,
                           size_t size, int32_t length);

// Format a SECS-I line: mode bits 0..1 the direction, bits 4..5 what block
// holds (0 a control character, 1 the length byte, 2 a whole block:
// length byte, 10 header bytes, data, 2 checksum bytes). Returns the length.
int32_t XKSTraceBlockText(const XKSAcb* acb, int32_t mode, const uint8_t* block, char* text,
                          size_t size);

// Open the trace server connection state of an engine block when TRCTHOST
// and TRCTPORT are set (the first connect happens with the first line).
// Returns 0 (also when none is configured) or -12.
int32_t XKSTraceStreamOpen(XKSAcb* acb);
// Close the connection and free its state; nothing when none is open.
void XKSTraceStreamClose(XKSAcb* acb);
// The trace server connection for dumps: its socket (0 when not
// connected), port and host name (size bytes).
void XKSTraceStreamInfo(const XKSAcb* acb, int32_t* socket, int32_t* port, char* host, size_t size);
