/* The SECS communication library for applications.
 *
 * A session connects the application to one SECS link (HSMS or SECS-I).
 * It is opened from a library INI file and section, which also start the
 * protocol control engine; messages are sent with XKSSendId (or
 * XKSSend/XKSSendEx) and received by polling XKSRecv or through a receive
 * callback. Sessions, message access blocks and definition tables are
 * reached through handles 1..64. Every function returns 0 or a positive
 * count, length, handle or transaction ID on success, a negative code on
 * failure (-9 bad handle, -22 invalid argument, -28 table full, -951
 * nothing to receive, -960 .. -999 link events; docs/library.md lists them
 * all). Transaction IDs are 32 bits: XKSSendId gives them apart from its
 * result, XKSSend returns them, so one with the top bit set reads as
 * negative there.
 *
 * Headers are 10 bytes: device ID, stream (bit 7 the W-bit), function, two
 * protocol bytes, four system bytes; their 16-bit fields are in host byte
 * order unless a mode bit asks for wire order.
 */
#ifndef XKS_H
#define XKS_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct XKSAcb XKSAcb;             /* a session's access control block */
typedef struct XKSMssgBlock XKSMssgBlock; /* a message access block */
typedef struct XKSMDTable XKSMDTable;     /* a definition table */

/* Open modes. */
#define XKS_OPEN_ENGINE_EXTERN 0x0001  /* the engine runs elsewhere: only the queues are opened */
#define XKS_OPEN_ENGINE_THREAD 0x0002  /* the engine runs as a thread of this process */
#define XKS_OPEN_ENGINE_PROGRAM 0x0003 /* the engine runs as the control program ("xksc") */
#define XKS_OPEN_MIRROR 0x1000         /* the engine copies its link and device states into the session */
#define XKS_OPEN_MDLOCK 0x4000         /* the session's definition table gets its lock */
#define XKS_OPEN_CONFIG 0x8000         /* load the settings and definitions only */

/* Send modes: bits 8..11 the control request, then option bits. */
#define XKS_SEND_CONNECT 0x0100
#define XKS_SEND_SELECT 0x0200
#define XKS_SEND_REJECT 0x0700
#define XKS_SEND_DESELECT 0x0800
#define XKS_SEND_SEPARATE 0x0900
#define XKS_SEND_SAMEHEADER 0x0002 /* wait for the result whose header equals the sent one */
#define XKS_SEND_NOWAIT 0x0008     /* do not wait for the send result */
#define XKS_SEND_WIRE 0x4000       /* headers in wire order */
#define XKS_SEND_OWNXID 0x8000     /* keep the caller's transaction ID on a primary */
#define XKS_SEND_RELAY 0x30000     /* caller's header as it is, no checks */
#define XKS_SEND_PREPARE 0x20000   /* assign the transaction ID only, send nothing */

/* What the receive callback gets for every record of the receive queue. */
typedef struct XKSRecvRecord {
    int32_t kind;        /* 1 */
    int32_t req;         /* 0 data, 66..69 S9Fx sent by the engine, 83..99 link events */
    int32_t rtn;         /* body length, a negative error or the event code -9xx */
    int32_t devid;       /* device ID (0xFFFF kept, otherwise the low 15 bits) */
    int32_t sf;          /* stream * 256 + function, W-bit included */
    uint32_t xid;        /* system bytes */
    uint8_t header[10];  /* host order */
    const uint8_t* body; /* valid during the call */
    int32_t cls;         /* 4097 message, 4098 S9Fx notice, 0x1000 + event kind for events */
    int32_t event;       /* data: -rtn; S9Fx: 966, 967, 968, 969; events: -rtn (960..999) */
} XKSRecvRecord;

/* What the send-result callback gets for every send result. */
typedef struct XKSSendRecord {
    int32_t kind;        /* 2 */
    int32_t req;         /* request code of the result */
    int32_t rtn;         /* the engine's result */
    int32_t devid;
    int32_t sf;
    uint32_t xid;
    uint8_t header[16];  /* 10 header bytes */
    int32_t creq;        /* control request number: req - 90 for 91..99, else req */
} XKSSendRecord;

/* One communication-trace line handed to the trace callback. */
typedef struct XKSTraceRecord {
    int32_t kind;     /* event kind; +50 name and item lines, +52 dump lines; +0x1000 process trace */
    int32_t date;     /* yyyymmdd */
    int32_t clock;    /* hhmmss */
    int32_t ms;       /* milliseconds */
    const char* text; /* the line without time stamp */
} XKSTraceRecord;

typedef int32_t (*XKSRecvCallback)(void* argument, const XKSRecvRecord* record);
typedef int32_t (*XKSSendCallback)(void* argument, const XKSSendRecord* record);
typedef void (*XKSTraceCallback)(const XKSTraceRecord* record, void* argument);

/* ---- sessions on an access control block ---- */

/* Open a session on acb from INI file and section (null: "xks.ini", "XKS"); 0 or negative. */
int32_t XKSCommOpen(XKSAcb* acb, int32_t mode, const char* ini, const char* section, XKSRecvCallback recv,
                    void* recv_arg, XKSSendCallback send, void* send_arg, XKSTraceCallback trace,
                    void* trace_arg);
/* End the engine, the callback threads and the queues of a session; 0 or negative. */
int32_t XKSCommClose(XKSAcb* acb, int32_t mode);
/* Set the control program engine mode 3 starts (initially "xksc"); null changes nothing. */
void XKSCommSetProgram(const char* name);
/* Send a data message or control request. Returns 0 when the message or
 * request was handed to the engine (and, when the call waits for the send
 * result, that result was good), a negative error otherwise. id (may be
 * null) gets the transaction ID, all 32 bits: the system bytes the message
 * went with, 0 when nothing was built (a control request on SECS-I); also
 * set when the send failed after the ID was given. */
int32_t XKSCommSendId(XKSAcb* acb, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                      int32_t length, uint8_t* header, const uint8_t* wopt, uint32_t* id);
/* XKSCommSendId returning the transaction ID or negative. An ID with the
 * top bit set comes back as its bit pattern, a negative value the caller
 * cannot tell from an error: use XKSCommSendId where IDs may have it
 * (SRCID0 of 0x8000 and above, replies to a peer that numbers so). */
int32_t XKSCommSendEx(XKSAcb* acb, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                      int32_t length, uint8_t* header, const uint8_t* wopt);
/* XKSCommSendEx without write options. */
int32_t XKSCommSend(XKSAcb* acb, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                    int32_t length, uint8_t* header);
/* Take one received message or event without waiting; body length, event code, -951 none. */
int32_t XKSCommRecv(XKSAcb* acb, int32_t mode, int32_t* devid, int32_t* sf, uint32_t* xid, uint8_t* body,
                    int32_t size, uint8_t* header);
/* Send an S9Fx carrying the offending header; as XKSCommSend. */
int32_t XKSCommSendError(XKSAcb* acb, int32_t mode, int32_t devid, int32_t sf, const uint8_t* offending,
                         uint8_t* header, uint8_t* buffer);
/* Write a comment line into the engine's communication trace; the put's result. */
int32_t XKSCommSendComment(XKSAcb* acb, int32_t mode, const char* text, const char* file, int32_t line);
/* The library's result for a socket or runtime code (-10061 -> -238, -120 -> -951, ...). */
int32_t XKSCommNormalize(int32_t result);

/* ---- session handles ---- */

/* XKSCommOpen on a new session slot; the handle 1..64, -28 all taken, or the open's failure. */
int32_t XKSOpen(int32_t mode, const char* ini, const char* section, XKSRecvCallback recv, void* recv_arg,
                XKSSendCallback send, void* send_arg, XKSTraceCallback trace, void* trace_arg);
/* XKSCommClose and free the slot whatever the result. */
int32_t XKSClose(int32_t handle, int32_t mode);
/* Take a slot with a cleared, not yet opened acb; the handle or negative. */
int32_t XKSAllocAcb(int32_t reserved, XKSAcb** acb);
/* Free a slot taken by XKSAllocAcb without closing it; 0 or -9. */
int32_t XKSFreeAcb(int32_t handle, int32_t reserved);
/* The acb of a handle; 0 or -9. */
int32_t XKSGetAcb(int32_t handle, int32_t reserved, XKSAcb** acb);
/* XKSCommRecv on a handle. */
int32_t XKSRecv(int32_t handle, int32_t mode, int32_t* devid, int32_t* sf, uint32_t* xid, uint8_t* body,
                int32_t size, uint8_t* header);
/* XKSCommSendId on a handle: 0 or negative, the full transaction ID in id
 * (may be null). */
int32_t XKSSendId(int32_t handle, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                  int32_t length, uint8_t* header, const uint8_t* wopt, uint32_t* id);
/* XKSCommSend on a handle (an ID with the top bit set reads as negative:
 * see XKSSendId). */
int32_t XKSSend(int32_t handle, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                int32_t length, uint8_t* header);
/* XKSCommSendEx on a handle. */
int32_t XKSSendEx(int32_t handle, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                  int32_t length, uint8_t* header, const uint8_t* wopt);
/* XKSCommSendError on a handle. */
int32_t XKSSendError(int32_t handle, int32_t mode, int32_t devid, int32_t sf, const uint8_t* offending,
                     uint8_t* header, uint8_t* buffer);
/* XKSCommSendComment on a handle. */
int32_t XKSSendComment(int32_t handle, int32_t mode, const char* text, const char* file, int32_t line);
/* Write a diagnostic dump (flags bits 4..5: 0 session, 2 message, 3 definitions); 0 or -9. */
int32_t XKSDump(int32_t handle, int32_t flags, const char* title);
/* Link state 0..4 of a session. */
int32_t XKSGetXStat(int32_t handle, int32_t reserved);
/* State of one device of a session; -19 when the ID is not listed. */
int32_t XKSGetDevStat(int32_t handle, int32_t reserved, int32_t devid);
/* Convert a 10-byte header in place between host and wire order; 0 or negative. */
int32_t XKSConvHeader(int32_t handle, int32_t mode, uint8_t* header);
/* Write a text line to the user trace (mode 0x80: the communication trace); null text: 1 when it is open. */
int32_t XKSTraceWrite(int32_t handle, int32_t mode, const char* text);
/* Last negative result of a session. */
int32_t XKSGetLastError(int32_t handle);
/* Last step marker of a session. */
int32_t XKSGetLastStep(int32_t handle);
/* Last negative result and step marker of a session; 0 or -9. */
int32_t XKSGetErrorInfo(int32_t handle, int32_t* xerr, int32_t* xeps0);
/* A setting or state by number; text settings are copied into text (size bytes) and give 0. */
int32_t XKSGetParam(int32_t handle, int32_t reserved, int32_t number, char* text, int32_t size);

/* ---- message handles ---- */

/* Open a message block for building into buffer; the message handle or negative. */
int32_t XKSMsgBuildOpen(int32_t mode, uint8_t* buffer, int32_t capacity, int32_t session);
/* Append one item (format, element count, host-order data); 0 or negative. */
int32_t XKSMsgPut(int32_t handle, int32_t mode, uint8_t* buffer, int32_t format, int32_t count, const void* data);
/* Append the item one text line describes; 0 or negative. */
int32_t XKSMsgPutText(int32_t handle, int32_t mode, uint8_t* buffer, const char* text);
/* End building and free the handle; the body length or negative. */
int32_t XKSMsgBuildClose(int32_t handle, int32_t reserved, uint8_t* buffer);
/* Open a body for reading (mode 0x8000: name it by definition into name, 32 bytes); the handle or negative. */
int32_t XKSMsgParseOpen(int32_t mode, const uint8_t* body, int32_t length, int32_t session, const uint8_t* header,
                        char* name);
/* Read the next item; 0, -951 at the end, or negative. */
int32_t XKSMsgGet(int32_t handle, int32_t mode, const uint8_t* body, int32_t* format, int32_t* size,
                  int32_t* count, void* data, int32_t data_size);
/* Read the next item as one text line; its depth, -951 at the end, or negative. */
int32_t XKSMsgGetText(int32_t handle, int32_t mode, const uint8_t* body, int32_t* format, int32_t* count,
                      char* text, int32_t size);
/* End reading and free the handle; 0 or -9. */
int32_t XKSMsgParseClose(int32_t handle, int32_t reserved, const uint8_t* body);
/* Last negative result of a message block. */
int32_t XKSMsgGetLastError(int32_t handle);
/* Progress code of a message block. */
int32_t XKSMsgGetLastStep(int32_t handle);
/* Last negative result and progress code of a message block; 0 or -9. */
int32_t XKSMsgGetErrorInfo(int32_t handle, int32_t* xerr, int32_t* xeps);
/* The message block of a handle; 0 or -9. */
int32_t XKSGetMsgBuf(int32_t handle, int32_t reserved, XKSMssgBlock** block);

/* ---- definition handles ---- */

/* Load a definition file into a new table reached through a definition
 * handle. session: a session handle whose settings are copied; file null
 * or empty: the session's MDMSSG. The syntax follows the extension (".sml"
 * or ".csv", any case), else mode bits 0..1 (2 CSV, otherwise SML). Mode
 * 0x4000 creates the table lock. Returns the handle (1..64); -9 bad
 * session handle, -28 no free handle, -12 no memory, -2 unreadable file,
 * -941..-944 a table full. On failure nothing stays allocated. */
int32_t XKSMDOpen(int32_t mode, int32_t session, const char* file);
/* Release a table and its handle. Returns the handle, or -9. */
int32_t XKSMDClose(int32_t handle, int32_t mode);
/* Write the table listing to out (null: standard output). Bits 0..1 of
 * mode: 0 items and all messages, 1 the message being built, 2 the message
 * last matched. Returns 0 or -9. */
int32_t XKSMDDump(int32_t handle, int32_t mode, FILE* out);
/* The table behind a handle. Returns 0 or -9. */
int32_t XKSMDGetTable(int32_t handle, int32_t reserved, XKSMDTable** table);
/* Start an instance of the named message (upper-case compare, first
 * match) for a body of capacity bytes. Returns 0; -9; -2 unknown name or
 * empty table (no lock stays held); -941/-943 working area too small. */
int32_t XKSMDSelect(int32_t handle, int32_t mode, void* scratch, int32_t capacity, const char* name);
/* Set the value of a data item of the instance (count elements, host
 * order; text: count 0 = its length), or the entry count of a list item
 * (value: a 32-bit count, or null and count). Set list counts before
 * values: a count rebuilds the instance, keeping the counts set before it
 * (outer lists first, so that "VLIST:2" exists when it is given a count)
 * but not the values. Returns 0; -9; -2 unknown item; -28 more than
 * XKS_MD_COUNTS list counts; -941/-943/-944 working area full. */
int32_t XKSMDPutItem(int32_t handle, int32_t mode, void* scratch, const char* name, int32_t count,
                     const void* value);
/* Encode the instance into body (the capacity given at select). Returns
 * the body length; -9; -2 empty table; a codec result when an item does
 * not fit. */
int32_t XKSMDBuild(int32_t handle, int32_t mode, uint8_t* body);
/* Instance parameters: 10 selected message, 105 instance items, 106 first
 * instance item, 300 name of item [index] into text, 303 its format word,
 * 304 its element size, 501 item index of message item [index]; others 0.
 * text (size bytes) is cleared first when given. -9 bad handle. */
int32_t XKSMDGetParam(int32_t handle, int32_t reserved, int32_t param, char* text, int32_t size, int32_t index);
/* Match a received body against the definitions whose stream/function is
 * sf (bit 15 ignored; 0 tries all), directions by mode bits 12..13. The
 * matched name goes to name (32 bytes) when given. Returns stream * 256 +
 * function, + 0x8000 with attribute W; -2 no match or empty table;
 * -941/-943/-944 working area too small; a codec result for a malformed
 * body. On success the lock stays held until XKSMDMatchEnd. */
int32_t XKSMDMatch(int32_t handle, int32_t mode, const uint8_t* body, int32_t length, int32_t sf, char* name);
/* Copy received item name: at most count elements (0 all) into buffer
 * (text gets a NUL behind; 2-byte text converted with mode 0x4000); a list
 * writes its entry count as a 32-bit integer and returns 1. format and
 * size (may be null) get its format word and element size. Returns the
 * elements copied, -2 when no received item has that name, -9. */
int32_t XKSMDGetItem(int32_t handle, int32_t mode, void* scratch, const char* name, int32_t count, void* buffer,
                     int32_t* format, int32_t* size);
/* End a match: clear the working state and release the match's lock
 * (unless mode 0x4000). Returns 0 or -9. */
int32_t XKSMDMatchEnd(int32_t handle, int32_t mode, void* scratch);
/* Next received item as one text line (two blanks per depth, then the item
 * in the session's trace notation). format gets the format code, count the
 * element count. Returns the depth, -120 after the last item, -2 on an
 * empty table, -9. */
int32_t XKSMDNextItemText(int32_t handle, int32_t mode, void* reserved, int32_t* format, int32_t* count,
                          char* text, int32_t size);
/* The reply to a received primary (header: 10 bytes, host order; its body
 * of length bytes): the defined reply built into reply (capacity bytes),
 * or the S9F3/S9F5/S9F7 body when the primary is not defined. name gets the primary's name,
 * reply_name the reply's (32 bytes each, may be null), sf the reply's
 * stream * 256 + function (stream * 256 for the abort reply SxF0, result
 * 0). Returns the body length, 0 for an empty reply, -930 no W-bit, -931
 * even function, or another negative result. */
int32_t XKSMDAutoReply(int32_t handle, int32_t mode, const uint8_t* header, const uint8_t* body, int32_t length,
                       uint8_t* reply, int32_t capacity, char* name, char* reply_name, int32_t* sf);

#ifdef __cplusplus
}
#endif

#endif /* XKS_H */
