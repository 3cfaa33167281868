/*
 * PLC driver library: a common connection layer and one driver per PLC
 * family, each with a client side (Open, Get, Set, Close) and an answering
 * side (ServRecv, ServSend) that plays the PLC.
 *
 * Each family keeps its own table of 16 connections; a connection id is
 * 1..16. Word data in Get and Set buffers are 16-bit values in host order;
 * the drivers convert to and from the wire. Results are 0 or a positive
 * count on success and a negative code on failure:
 *   -1        unknown device code, too many points, or a frame that does
 *             not fit its buffer (nothing is sent); Omron: a reply that does
 *             not answer the request sent
 *   -5        a reply shorter than its header or its length field, a reply
 *             with other values than asked for, or (MELSEC) not a reply of
 *             the request sent
 *   -9        id invalid, slot empty, or not connected
 *   -238      Keyence serial link: an empty reply line
 *   -12       out of memory
 *   -22       bad argument (null buffer, count below 1)
 *   -28       no free slot: 16 connections of the family are open
 *   -(100000 + n)  the PLC answered with end code n
 *   other     the socket layer's code: -107 connect failed, -108 closed by
 *             the peer, -138 time-out, or a negated socket error number
 */
#ifndef QZRPLC_H
#define QZRPLC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Connections per family; tables hold slots 0..QZRPLC_SLOTS-1, slot 0 unused. */
#define QZRPLC_MAXID 16
#define QZRPLC_SLOTS 17

/* Open and call flags. */
#define QZRPLC_FLAG_LOCK 0x0001   /* Get/Set: hold the connection's lock for request and reply */
#define QZRPLC_FLAG_SERVER 0x8000 /* Open: the port argument is an accepted socket */

/* Result codes. */
#define QZRPLC_E_DEVICE (-1)
#define QZRPLC_E_SHORT (-5)
#define QZRPLC_E_END_BASE 100000 /* an end code n gives -(QZRPLC_E_END_BASE + n) */

/* Device units returned by the CodeType functions. */
#define QZRPLC_UNIT_BIT 1
#define QZRPLC_UNIT_WORD 2

/* Connection control block, one per open connection. */
typedef struct QZRPLCPcb {
    int32_t sd;     /* socket (Keyence serial link: port handle); > 0 while connected */
    int32_t trace;  /* trace handle; > 0 while a trace file is open */
    int32_t flags;  /* flags given to Open */
    int32_t mode;   /* family option: MELSEC frame type 3 or 4; Omron and Keyence the option given */
    int32_t count;  /* wrapping sequence counter */
    int32_t lock;   /* lock handle for QZRPLC_FLAG_LOCK calls */
    int32_t option; /* Omron: own node number; 0 for the other families */
    int32_t peer;   /* Omron: peer node number */
    int32_t serial; /* answering side: serial number (Omron: SID) of the last request, echoed in the answer */
} QZRPLCPcb;

/* ---- common layer ---- */

/* Allocate a zeroed control block in the first free slot 1..count of table;
 * returns the slot, -28 when all are used, -12 when memory runs out. */
int32_t QZRPLCSearchId(QZRPLCPcb** table, int32_t count);
/* 0 when id (1..count; only 0 when count < 2) names a slot in use, else -9. */
int32_t QZRPLCCheckPcb(QZRPLCPcb* const* table, int32_t count, int32_t id);
/* As QZRPLCCheckPcb, and the connection must have a socket; else -9. */
int32_t QZRPLCCheckPcbSd(QZRPLCPcb* const* table, int32_t count, int32_t id);
/* As QZRPLCCheckPcb, and the connection must have a trace open; else -9. */
int32_t QZRPLCCheckPcbTd(QZRPLCPcb* const* table, int32_t count, int32_t id);
/* Open the connection's trace file with the given level (0: none); returns
 * 0 or the trace layer's error. */
int32_t QZRPLCTraceOpen(QZRPLCPcb* pcb, const char* file, int32_t level);
/* Close the connection's trace file if one is open; returns 0. */
int32_t QZRPLCTraceClose(QZRPLCPcb* pcb);
/* Write one text line to the connection's trace (nothing when none is open). */
int32_t QZRPLCTraceWrite(QZRPLCPcb* pcb, int32_t level, const char* text);
/* Dump length bytes of data under label as bytes (unit 0), 16-bit words (1)
 * or 32-bit words (2). */
int32_t QZRPLCTraceWriteData(QZRPLCPcb* pcb, int32_t level, int32_t unit, const char* label, const void* data,
                             int32_t length);
/* When flag is non-zero swap the bytes of count 16-bit values in place. */
void QZRPLCByte2(int32_t flag, void* buffer, int32_t count);
/* When flag is non-zero reverse the bytes of count 32-bit values in place. */
void QZRPLCByte4(int32_t flag, void* buffer, int32_t count);
/* Add 1 to the connection's counter, wrapping to 0 above maximum; returns it. */
int32_t QZRPLCCountAdd(QZRPLCPcb* pcb, int32_t maximum);

/* ---- MELSEC MC protocol, binary 3E and 4E frames ---- */

#define QZRPLC_MELSEC_FRAME 4143  /* bytes of a frame buffer */
#define QZRPLC_MELSEC_POINTS 4096 /* points per request */
#define QZRPLC_MELSEC_DATA 4118   /* data bytes ServRecv may store: the write data of a full frame */
#define QZRPLC_MELSEC_READ 0x0401  /* batch read */
#define QZRPLC_MELSEC_WRITE 0x1401 /* batch write */

/* Connect to host:port (low 16 bits the port, high 16 bits connect flags
 * of the socket layer), or with QZRPLC_FLAG_SERVER take port as an
 * accepted socket (left to the caller when Open fails). option 4 selects
 * the 4E frame, anything else the 3E frame. The trace file goes to dir
 * ("" = ".") when level > 0. Returns the id 1..16 or an error. */
int32_t QZRPLCMelsecOpen(int32_t flags, const char* host, int32_t port, int32_t option, const char* dir,
                         int32_t level);
/* Close the connection and free its slot; ids not open are ignored. Returns 0. */
int32_t QZRPLCMelsecClose(int32_t id, int32_t mode);
/* Batch read of points from the head device: returns points x 2 bytes of
 * host-order words for a word device, or the points (one byte 0/1 each)
 * for a bit device. timeout: milliseconds per receive, 0 = without limit. */
int32_t QZRPLCMelsecGet(int32_t id, int32_t flags, int32_t code, int32_t address, int32_t points, void* buffer,
                        int32_t timeout);
/* Batch write of points (host-order words, or one byte 0/1 per bit point);
 * returns the data bytes sent (points x 2, or (points + 1) / 2). */
int32_t QZRPLCMelsecSet(int32_t id, int32_t flags, int32_t code, int32_t address, int32_t points,
                        const void* data, int32_t timeout);
/* The connection's control block, or null when id is outside 1..16 or free. */
QZRPLCPcb* QZRPLCMelsecAcb(int32_t id);
/* Unit of a device code (QZRPLC_UNIT_BIT or _WORD) with its table index
 * in *index (may be null); -1 for an unknown code or points outside 0..4096. */
int32_t QZRPLCMelsecCodeType(int32_t code, int32_t points, int32_t* index);
/* Build a frame (4E layout) in frame (QZRPLC_MELSEC_FRAME bytes): kind 1
 * read request, 2 write request, 0 normal response carrying points of data,
 * negative an error response with end code -kind and the 9 bytes of error
 * information at data. Returns the frame length, -1 when it does not fit. */
int32_t QZRPLCMelsecPacketBuild(int32_t id, uint8_t* frame, const void* data, int32_t kind, int32_t code,
                                int32_t address, int32_t points);
/* Send a frame of length bytes (4E layout; cut to 3E on the wire for a 3E
 * connection); returns length or the socket layer's error. */
int32_t QZRPLCMelsecPacketWrite(int32_t id, uint8_t* frame, int32_t length);
/* Receive one frame into frame (size bytes) in the 4E layout; returns its
 * length, -5 when it ends early, -1 when it does not fit. */
int32_t QZRPLCMelsecPacketRead(int32_t id, uint8_t* frame, int32_t size, int32_t timeout);
/* Copy the data of a received frame to data (may be null): a response's
 * read data or a request's write data; returns its bytes, -(100000 + n)
 * for a response with end code n, -5 for a length field too small. */
int32_t QZRPLCMelsecPacketParse(int32_t id, const uint8_t* frame, void* data);
/* Answering side: receive one request, give its command, device code,
 * head device and points, and its write data in data (QZRPLC_MELSEC_DATA
 * bytes): one byte per bit point, or host-order words. Returns the points
 * (bits) or bytes (words) of write data, 0 for a read. */
int32_t QZRPLCMelsecServRecv(int32_t id, int32_t mode, int32_t* command, int32_t* code, int32_t* address,
                             int32_t* points, void* data, int32_t timeout);
/* Answering side: send a normal response carrying points of data (none for
 * an answer to a write); returns its data bytes. */
int32_t QZRPLCMelsecServSend(int32_t id, int32_t mode, int32_t command, int32_t code, int32_t address,
                             int32_t points, const void* data, int32_t timeout);
/* Interactive test server on a TCP port: answers reads with values typed
 * at the "Data:" prompt and shows writes. Returns only when the port cannot
 * be opened or accepting fails. */
int32_t QZRPLCMelsecServer(int32_t unused, int32_t port);

/* ---- Omron FINS/TCP ---- */

#define QZRPLC_OMRON_FRAME 4154  /* bytes of a frame buffer */
#define QZRPLC_OMRON_POINTS 4096 /* points per request */
#define QZRPLC_OMRON_DATA 4120   /* data bytes ServRecv may store: the write data of a full frame */
#define QZRPLC_OMRON_NODE 0      /* ServRecv/ServSend command: node address exchange */
#define QZRPLC_OMRON_READ 1      /* memory area read (0101) */
#define QZRPLC_OMRON_WRITE 2     /* memory area write (0102) */
#define QZRPLC_OMRON_E_NODE (-98) /* the node address exchange was answered with another command */

/* Connect to host:port as MELSEC does, then exchange node addresses: node
 * is the own node number, 0 lets the PLC assign one. With
 * QZRPLC_FLAG_SERVER port is an accepted socket and no exchange is made.
 * Returns the id 1..16 or an error (-98: the PLC did not answer the node
 * address request). */
int32_t QZRPLCOmronOpen(int32_t flags, const char* host, int32_t port, int32_t node, const char* dir,
                        int32_t level);
/* Close the connection and free its slot; ids not open are ignored. Returns 0. */
int32_t QZRPLCOmronClose(int32_t id, int32_t mode);
/* Memory area read of points from word address and bit position (0 for a
 * word area): returns points x unit bytes, host-order words for a word
 * area, one byte per point for a bit area. timeout: ms per receive. */
int32_t QZRPLCOmronGet(int32_t id, int32_t flags, int32_t code, int32_t address, int32_t bit, int32_t points,
                       void* buffer, int32_t timeout);
/* Memory area write of points (host-order words or one byte per bit
 * point); returns the data bytes written. */
int32_t QZRPLCOmronSet(int32_t id, int32_t flags, int32_t code, int32_t address, int32_t bit, int32_t points,
                       const void* data, int32_t timeout);
/* The connection's control block, or null when id is outside 1..16 or free. */
QZRPLCPcb* QZRPLCOmronAcb(int32_t id);
/* Unit of an area code (1 byte per point, bit access; 2 bytes, word
 * access) with its table index in *index (may be null); -1 for an unknown
 * code or points outside 0..4096. */
int32_t QZRPLCOmronCodeType(int32_t code, int32_t points, int32_t* index);
/* Build a frame in frame (QZRPLC_OMRON_FRAME bytes). command 0: node
 * address request (kind 1) or response (kind 0). command 1 (read) or 2
 * (write): request (kind 1; a write carries points of data), normal
 * response (kind 0; a read's carries points of data) or error response
 * (kind -n: end code n). Returns the frame length, -1 when it does not fit. */
int32_t QZRPLCOmronPacketBuild(int32_t id, uint8_t* frame, const void* data, int32_t kind, int32_t command,
                               int32_t code, int32_t address, int32_t bit, int32_t points);
/* Send a frame of length bytes; returns length or the socket layer's error. */
int32_t QZRPLCOmronPacketWrite(int32_t id, uint8_t* frame, int32_t length);
/* Receive one frame: with length 0 the 16-byte FINS/TCP header and the
 * rest its length field announces (frame holds QZRPLC_OMRON_FRAME bytes;
 * -1 when the frame would not fit), otherwise exactly length bytes.
 * Returns the bytes received, -5 when the frame ends early. */
int32_t QZRPLCOmronPacketRead(int32_t id, uint8_t* frame, int32_t length, int32_t timeout);
/* Take a received frame apart. With request null the frame is a request:
 * its write data are copied to data (may be null). With the request sent,
 * the frame must be its response: the read data are copied to data.
 * Returns the data bytes as on the wire, -1 for a frame that is not a
 * (matching) FINS frame, -(100000 + n) for end code n, -5 when short. */
int32_t QZRPLCOmronPacketParse(int32_t id, const uint8_t* response, const uint8_t* request, void* data);
/* Answering side: receive one request. A node address request gives
 * command 0; a FINS frame its SRC (1 read, 2 write) with the area code,
 * address, bit position, points and, for a write, the data in data
 * (QZRPLC_OMRON_DATA bytes; host-order words or one byte per bit point).
 * Returns the data bytes of a write, 0 otherwise. */
int32_t QZRPLCOmronServRecv(int32_t id, int32_t mode, int32_t* command, int32_t* code, int32_t* address,
                            int32_t* bit, int32_t* points, void* data, int32_t timeout);
/* Answering side: answer the last request normally: the node address
 * response for command 0, else a FINS response carrying points of data
 * (a read's answer; none for a write). Returns the data bytes sent. */
int32_t QZRPLCOmronServSend(int32_t id, int32_t mode, int32_t command, int32_t code, int32_t address,
                            int32_t bit, int32_t points, const void* data, int32_t timeout);
/* Interactive test server on a TCP port, as QZRPLCMelsecServer. */
int32_t QZRPLCOmronServer(int32_t unused, int32_t port);

/* ---- Keyence KV upper link, text lines over TCP or a serial line ---- */

#define QZRPLC_KEYENCE_POINTS 4096   /* points per request */
#define QZRPLC_KEYENCE_LINE 45120    /* bytes of a line buffer: a WRS of 4096 32-bit values */
#define QZRPLC_KEYENCE_TEXT 16       /* bytes of ServRecv's command and type text buffers */
#define QZRPLC_KEYENCE_SUFFIX 0x0800 /* Open flag: device names carry the data format suffix */
#define QZRPLC_KEYENCE_LINK 0x0300   /* Open flags: the link kind */
#define QZRPLC_KEYENCE_SERIAL 0x0200 /* ... a serial line: host is the port name, port the line settings */
#define QZRPLC_KEYENCE_RDS 1         /* PacketBuild kinds: read consecutive */
#define QZRPLC_KEYENCE_WRS 2         /* write consecutive */
#define QZRPLC_KEYENCE_RSS 3         /* reset consecutive bits */
#define QZRPLC_KEYENCE_STS 4         /* set consecutive bits */
#define QZRPLC_E_EMPTY (-238)        /* an empty reply on a serial line */

/* Connect over TCP (as MELSEC), or with (flags & 0x300) == 0x200 open the
 * serial port named host with the line settings in port: bits 0-3 speed
 * index (300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000,
 * 57600, 115200, 128000, 256000, 9600, 9600), bits 8-9 data bits (8, 5,
 * 6, 7), bit 10 stop bits (1, 2), bits 12-13 parity (none, odd, even,
 * none). A serial client starts the link with CR and needs CC back. The
 * option is kept in the control block's mode. Returns the id 1..16 or an
 * error. */
int32_t QZRPLCKeyenceOpen(int32_t flags, const char* host, int32_t port, int32_t option, const char* dir,
                          int32_t level);
/* Close the connection (a serial client first ends the link with CQ) and
 * free its slot; ids not open are ignored. Returns 0. */
int32_t QZRPLCKeyenceClose(int32_t id, int32_t mode);
/* RDS of points from the device type text (DM, MR, ...) and address:
 * returns points x unit bytes (1 byte, 16-bit or 32-bit host-order values
 * by the type's unit). timeout: ms per receive. */
int32_t QZRPLCKeyenceGet(int32_t id, int32_t flags, const char* type, int32_t address, int32_t points,
                         void* buffer, int32_t timeout);
/* WRS of points values (by unit, host order); returns points x unit. */
int32_t QZRPLCKeyenceSet(int32_t id, int32_t flags, const char* type, int32_t address, int32_t points,
                         const void* data, int32_t timeout);
/* STS (value 1) or RSS (value 0) of points bits; returns 0. */
int32_t QZRPLCKeyenceBit(int32_t id, int32_t flags, const char* type, int32_t address, int32_t points,
                         int32_t value, int32_t timeout);
/* The connection's control block, or null when id is outside 1..16 or free. */
QZRPLCPcb* QZRPLCKeyenceAcb(int32_t id);
/* Unit (bytes per point: 1, 2 or 4) of a device type text with its table
 * index in *index (may be null); -1 for an unknown type or points outside
 * 0..4096. */
int32_t QZRPLCKeyenceCodeType(const char* type, int32_t points, int32_t* index);
/* Build a line (without CR LF, NUL-terminated) in line
 * (QZRPLC_KEYENCE_LINE bytes): kinds 1-4 a request (a WRS carries points
 * values from data), kind 0 a reply of points values from data ("OK" for
 * none), kind -n the error reply "E<n>". Returns the line length. */
int32_t QZRPLCKeyencePacketBuild(int32_t id, char* line, const void* data, int32_t kind, const char* type,
                                 int32_t address, int32_t points);
/* Send the line of length characters and CR LF; returns the bytes sent. */
int32_t QZRPLCKeyencePacketWrite(int32_t id, const char* line, int32_t length);
/* Receive one line into line (size bytes, NUL-terminated, without its CR
 * LF); returns its length, -238 for an empty line on a serial link. */
int32_t QZRPLCKeyencePacketRead(int32_t id, char* line, int32_t size, int32_t timeout);
/* Take a reply apart: "OK" gives 0, "E<n>" -(100000 + n), otherwise up to
 * 4096 values stored in data by the unit of type; returns count x unit,
 * -5 for a value that is not a decimal number. */
int32_t QZRPLCKeyencePacketParse(int32_t id, const char* line, void* data, const char* type);
/* Answering side: receive one line; its first word goes to command and,
 * for RDS, WRS, RSS and STS, the device type to type (both
 * QZRPLC_KEYENCE_TEXT bytes) with the address and points, and the values
 * of a WRS to data (QZRPLC_KEYENCE_POINTS x 4 bytes, by the type's unit).
 * Returns the data bytes stored, 0 when the line carries none. */
int32_t QZRPLCKeyenceServRecv(int32_t id, int32_t mode, char* command, char* type, int32_t* address,
                              int32_t* points, void* data, int32_t timeout);
/* Answering side: answer RDS, WRS, RSS and STS with points values from
 * data ("OK" for none); any other command text is sent as it is. Returns
 * the data bytes sent (points x unit), 0 for a reply without values. */
int32_t QZRPLCKeyenceServSend(int32_t id, int32_t mode, const char* command, const char* type,
                              int32_t address, int32_t points, const void* data, int32_t timeout);
/* Interactive test server: with (mode & 0x300) == 0x200 on the serial port
 * "COM<port>" (9600 bit/s, 8 data bits, 1 stop bit, even parity) in the
 * calling thread, otherwise on a TCP port with one thread per connection.
 * Returns only on an error of the port. */
int32_t QZRPLCKeyenceServer(int32_t mode, int32_t port);

#ifdef __cplusplus
}
#endif

#endif /* QZRPLC_H */
