// The bridge between the SECS session and the PLC: its control block, its
// settings and PLC message table, its log and message display and its PLC
// access layer. The process has one control block (QZVQGetContext), cleared
// at every start.
//
//   QZVAppQConfig.cpp  the bridge section of the INI file and its dump
//   QZVAppQMssgDef.cpp the PLC message table read from the definition file
//   QZVAppQLog.cpp     log lines, message display and PLC access lines
//   QZVAppQPLC.cpp     PLC open, close, reads and writes, value conversions
//   QZVAppQProc.cpp    start, stop, the two worker threads, status texts
//   QZVAppQXfer.cpp    the two transfers: host message to PLC, PLC request to host
//   QZVAppQWait.cpp    what waits: host messages for the PLC, PLC messages for
//                      the host's reply
//   QZVAppQConv.cpp    the console front end (program qzvq)
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "secs/xks.h"

#include "runtime/XKWMem.h"
#include "runtime/XKWThread.h"

inline constexpr int QZVQ_FILE_SIZE = 260;     // file and directory names
inline constexpr int QZVQ_SECTION_SIZE = 32;   // INI section names
inline constexpr int QZVQ_HOST_SIZE = 64;      // PLCHOST, library HOST and SDEVICE
inline constexpr int QZVQ_NAME_SIZE = 32;      // message and item names
inline constexpr int QZVQ_INFORM_WORDS = 20;   // an information block

// PLC families (PLCTYPE & 15); any other value selects no driver.
inline constexpr int32_t QZVQ_PLC_MELSEC = 0;
inline constexpr int32_t QZVQ_PLC_OMRON = 2;
inline constexpr int32_t QZVQ_PLC_KEYENCE = 4;
inline constexpr int32_t QZVQ_PLC_MEMORY = 15;  // shared-memory PLC image

// PLCMODE bits.
inline constexpr int32_t QZVQ_MODE_SWAP1 = 0x0001;     // 1-byte items: exchange again
inline constexpr int32_t QZVQ_MODE_SWAPINT = 0x0002;   // 2-, 4-, 8-byte integers
inline constexpr int32_t QZVQ_MODE_SWAPFLOAT = 0x0004; // F4, F8
inline constexpr int32_t QZVQ_MODE_SWAPCHAR = 0x0008;  // A, J, 2-byte characters
inline constexpr int32_t QZVQ_MODE_SWAPNAME = 0x0080;  // message name words of both blocks
inline constexpr int32_t QZVQ_MODE_WORDBYTE = 0x0100;  // 1-byte items: one word per byte

// Display flags.
inline constexpr int32_t QZVQ_DISP_LIST = 0x0100;       // SECS messages as item lists
inline constexpr int32_t QZVQ_DISP_HEXA = 0x0200;       // SECS messages as hexadecimal dumps
inline constexpr int32_t QZVQ_DISP_DETAIL = 0x0400;     // PLC lines of level 3 and 4
inline constexpr int32_t QZVQ_DISP_HANDSHAKE = 0x0800;  // PLC lines of level 5
inline constexpr int32_t QZVQ_DISP_REDUNDANT = 0x1000;  // repeated status and handshake values
inline constexpr int32_t QZVQ_DISP_CONSOLE = 0x10000;   // console front end

// Log flags of QZVQLog: bits 0-1 the direction.
inline constexpr int32_t QZVQ_DIR_GENERAL = 0;  // ' '
inline constexpr int32_t QZVQ_DIR_READ = 1;     // '>': PLC read, message to the host
inline constexpr int32_t QZVQ_DIR_WRITE = 2;    // '<': PLC write, message from the host
inline constexpr int32_t QZVQ_DIR_CONTROL = 3;  // '@'
inline constexpr int32_t QZVQ_LOG_FORMAT = 0x10;    // the text is a format with arguments
inline constexpr int32_t QZVQ_LOG_NOTRACE = 0x20;   // not written to the bridge trace
inline constexpr int32_t QZVQ_LOG_LATER = 0x40;     // the callback may deliver the line later
inline constexpr int32_t QZVQ_LOG_SECS = 0x80;      // SECS-side line (log lock 1)

// PLC access kinds.
inline constexpr int32_t QZVQ_KIND_STATUS = 0;
inline constexpr int32_t QZVQ_KIND_HANDSHAKE = 1;
inline constexpr int32_t QZVQ_KIND_INFORM = 2;
inline constexpr int32_t QZVQ_KIND_ITEM = 3;

// A device code: the driver's number, or for Keyence a device-type text of
// at most 3 characters (text is "" otherwise).
struct QZVQCode {
    int32_t number;
    char text[4];
};

// A configured device: code, then one address with its bit number (two for
// the handshake devices: [0] the bit read, [1] the bit written).
struct QZVQDevice {
    QZVQCode code;
    int32_t address[2];
    int32_t bit[2];
};

// The bridge section of the INI file.
struct QZVQSettings {
    char trcdir[QZVQ_FILE_SIZE];
    int32_t trcttype, trctout, trctlevel, trctattr, trctsize, trcxdata;
    int32_t plctype;
    char plchost[QZVQ_HOST_SIZE];
    int32_t plcport;
    int32_t plcopt0[2];
    int32_t plcmode;
    int32_t plcinter[2];  // [0] between connection attempts, [1] between polls
    int32_t plcto[2];     // [0] stop wait bound, [1] every PLC read or write
    QZVQDevice ssdev[2];  // [0] PLC status (read), [1] SECS status (written)
    QZVQDevice hsdev[2];  // [0] PLC-to-PC handshake, [1] PC-to-PLC handshake
    QZVQDevice msdev[2];  // [0] PLC information block, [1] SECS information block
    int32_t plcqueue;     // host messages that may wait behind the one being handed over
    int32_t plchsto;      // ms a handshake waits for the PLC; 0 for ever
    int32_t plcnoreply;   // 1: the PLC gets an SxF0 for its W-bit primary left without reply
};

// Defaults of the keys that are not 0 when the section leaves them out.
inline constexpr int32_t QZVQ_DEFAULT_QUEUE = 32;
inline constexpr int32_t QZVQ_DEFAULT_HSTO = 30000;

// One message of the PLC message table; its items are item[first ..
// first + count - 1].
struct PLCMssgEntry {
    char name[QZVQ_NAME_SIZE];
    int32_t count;
    int32_t first;
};

// One item of the PLC item list. An address of 0 means that the item is
// not read (raddr) or not written (waddr).
struct PLCItemEntry {
    char name[QZVQ_NAME_SIZE];
    QZVQCode rcode, wcode;
    int32_t raddr, waddr;
    int32_t words;
};

// Library settings copied from the session at start.
struct QZVQLibrary {
    int32_t secsmode, devmode, xmsgsize, port, t3, t5, thstackusr;
    int32_t trcttype, trctout, trctlevel, trctattr, trctsize;
    int32_t mdmxitem, mdmxmssg, mdmxmitem;
    char sdevice[QZVQ_HOST_SIZE], host[QZVQ_HOST_SIZE];
    char trcdir[QZVQ_FILE_SIZE], mdmssg[QZVQ_FILE_SIZE];
};

// The front end's line output: flags (log flags & 0x80C0) and the line,
// valid only during the call.
using QZVQOutputProc = void (*)(int32_t flags, const char* line);

struct QZVQContext {
    QZVQSettings cfg;
    QZVQLibrary lib;

    // PLC message table and item list, allocated at their capacities.
    PLCMssgEntry* mssg;
    int32_t nmssg, xmssg;  // used, capacity
    PLCItemEntry* item;
    int32_t nitem, xitem;

    int32_t session[2];  // [1] the SECS session handle
    int32_t mdtable[2];  // [1] the definition table handle

    // PLC connection: driver id (1 for the shared-memory image; 0 not
    // connected, negative the last open failed) and the PLC status value.
    int32_t plcid;
    int32_t plcstat;
    void* plcmem;
    XKWMemMapping plcmap;

    XKWLock access[2];   // [0] PLC lock, [1] SECS lock
    XKWLock loglock[2];  // [0] PLC-side lines, [1] SECS-side lines
    int32_t trace;       // bridge trace handle, 0 when not open

    char plcini[QZVQ_FILE_SIZE], secsini[QZVQ_FILE_SIZE];
    char plcsect[QZVQ_SECTION_SIZE], secssect[QZVQ_SECTION_SIZE];

    int32_t run[2];   // [0] PLCProc, [1] SECSProc: 1 running, 2 stop asked, 0 ended
    int32_t closing;  // 0 running, 1 stop in progress, 2 stopped
    int32_t ready;    // 1 from the end of a start until its stop begins

    int32_t secsstate;  // link state last read by the poll
    int32_t secsstat;   // value last written to the SECS status device
    int32_t plcreq;     // PLC-request state (QZVQ_PLCREQ_*)
    int32_t pcreq;      // PC-request state (QZVQ_PCREQ_*)
    int32_t resync;     // 1: read the handshake devices back before the next handshake
    uint64_t pcreqtime;   // tick (ms) when the PC-request state last changed (PLC thread only)
    uint64_t plcreqtime;  // tick (ms) when the PLC-request state last changed (PLC thread only)
    int32_t errs[5];    // remembered error codes of the poll

    int32_t display;  // display flags
    QZVQOutputProc output;

    // First data byte last shown for the six status and handshake devices
    // (SSDEV0, SSDEV1, HSDEV0 read, HSDEV0 written, HSDEV1 read, HSDEV1
    // written); -1 before the first access.
    int32_t seen[6];
};

// PC-request states: host message to the PLC.
inline constexpr int32_t QZVQ_PCREQ_IDLE = 0;  // nothing handed over
inline constexpr int32_t QZVQ_PCREQ_SET = 1;   // PC request set, waiting for the PLC acknowledge
inline constexpr int32_t QZVQ_PCREQ_OFF = 2;   // taken back, waiting for the acknowledge to drop

// PLC-request states: PLC message to the host.
inline constexpr int32_t QZVQ_PLCREQ_IDLE = 0;
inline constexpr int32_t QZVQ_PLCREQ_SERVED = 1;     // sent; PC acknowledge set until the request drops
inline constexpr int32_t QZVQ_PLCREQ_ABANDONED = 2;  // acknowledge taken back after the time-out; the
                                                     // request is not served again until it drops

// The process's control block.
QZVQContext* QZVQGetContext();

// Clear the control block for a new start (tables freed, remembered
// values unknown). Locks, the trace and the PLC image must have been
// released.
void QZVQResetContext(QZVQContext* ctx);

// ---- configuration (QZVAppQConfig.cpp) ----

// A number of the bridge's files: "x"/"0x" prefix or any hexadecimal letter
// makes it hexadecimal, otherwise decimal; a sign is allowed; reading stops
// at the first character that does not fit; empty or no number gives 0.
int32_t QZVQNumber(const char* text);

// Read the bridge section (ctx->plcini, ctx->plcsect) into ctx->cfg and
// dump it to the library's communication trace. 0, or -12 when the file
// cannot be opened. A null ctx is the process's block.
int32_t QZVQAnalizeConfigure(QZVQContext* ctx);

// ---- PLC message table (QZVAppQMssgDef.cpp) ----

// Read the PLC fields of ctx->lib.mdmssg into the message table and item
// list (capacities ctx->lib.mdmxmssg, ctx->lib.mdmxmitem). 0, -12, the
// negated error number of a failed open (-2 when 0), -942 message table
// full or -943 item list full. A null ctx is the process's block.
int32_t QZVQAnalizeMssgDef(QZVQContext* ctx);

// The first message entry with exactly this name, or null.
const PLCMssgEntry* QZVQFindMssg(const QZVQContext* ctx, const char* name);

// ---- log and display (QZVAppQLog.cpp) ----

// One log line (log flags and level as above); returns 0.
int32_t QZVQLog(const char* file, int32_t line, const char* function, int32_t flags, int32_t level,
                const char* format, ...);
#define QZVQ_LOG(flags, level, ...) QZVQLog(__FILE__, __LINE__, __func__, (flags), (level), __VA_ARGS__)

// Hand a line to the output callback (or standard output) with CR LF;
// flags bit 0: format with arguments. Returns 0.
int32_t QZVQOutput(int32_t flags, const char* format, ...);

// One SECS message or event: which = side * 0x80 + kind (1 received, 2
// sent, 3 control), value = body length or status.
int32_t DispSECSInfo(int32_t which, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* header,
                     const uint8_t* body, int32_t value);
// The message as item lines (flags: the library's TRCTTYPE, plus 0x1000
// for a received message).
int32_t DispSECSMssg(int32_t flags, const uint8_t* body, int32_t length, const uint8_t* header);
// The message as hexadecimal lines.
int32_t DispSECSHexa(int32_t side, const uint8_t* header, const uint8_t* body, int32_t length);

// One PLC access line: kind, access name, device, point count, result,
// data, PLC type and direction (1 read, 2 write).
int32_t PLCDispData(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
                    int32_t count, int32_t result, const void* data, int32_t plctype, int32_t direction);

// ---- PLC access (QZVAppQPLC.cpp) ----

int32_t PLCOpen();
void PLCClose(int32_t reason);
// Give back the shared-memory PLC image, which stays mapped over PLCClose
// so that a reconnect finds the same block; for the stop, once the PLC
// thread has ended. 0 or the unmap error.
int32_t PLCUnmap();
int32_t PLCGetData(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
                   int32_t count, uint16_t* buffer);
int32_t PLCSetData(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
                   int32_t count, const uint16_t* data);
int32_t PLCSetBit(int32_t kind, const char* name, const QZVQCode& code, int32_t address, int32_t bit,
                  int32_t count, int32_t value);

// Item value (host order, format code as the definitions give it) to PLC
// words; returns the words filled, at most `room` (an item that does not
// fit fills nothing and returns -7).
int32_t ConvSECSToPLC(int32_t format, int32_t count, const void* value, uint16_t* words, int32_t room);
// PLC words to an item value of at most `room` bytes; returns the element
// count to give the item (0 for character items: the text length applies),
// or -7 when the value does not fit.
int32_t ConvPLCToSECS(int32_t format, int32_t words, const uint16_t* data, void* value, int32_t room);

// ---- start and stop (QZVAppQProc.cpp) ----

inline constexpr int32_t QZVQ_CLOSE_CONSOLE = 0x10000;  // console front end: no stop banner
inline constexpr int32_t QZVQ_CLOSE_WAIT = 0x20000;     // wait for the worker threads

// Status word 1 bits set at start.
inline constexpr int32_t QZVQ_STAT_HSMS = 0x80;
inline constexpr int32_t QZVQ_STAT_ACTIVE = 0x40;
inline constexpr int32_t QZVQ_STAT_MASTER = 0x20;  // SECS-I master
inline constexpr int32_t QZVQ_STAT_EQUIP = 0x10;

// Start steps (the step out-parameter of QZVQProcOpen) and their results.
inline constexpr int32_t QZVQ_STEP_SECS = 2;
inline constexpr int32_t QZVQ_STEP_PLCTHREAD = 3;   // result -10001
inline constexpr int32_t QZVQ_STEP_SECSTHREAD = 4;  // result -10002
inline constexpr int32_t QZVQ_STEP_CLOSING = 11;    // result -1

// The program name that the front end runs under ("" for the monitor
// window); the start and stop banners are left out for "xksq" and "qzvq".
void QZVQSetProgramName(const char* name);
const char* QZVQProgramName();

// Start the bridge: the SECS session, definitions, bridge settings, PLC
// message table, bridge trace and the two worker threads. flags: display
// flags, 0x10000 for the console. Empty file or section names take the
// defaults. status: two words (or null), word 1 gets the QZVQ_STAT_* bits.
// Returns 0 or a negative error with *step telling where it failed.
int32_t QZVQProcOpen(int32_t flags, int32_t* step, const char* plcini, const char* secsini,
                     const char* plcsect, const char* secssect, int32_t* status, QZVQOutputProc output);
// Stop the bridge. The worker threads are always waited for (at most
// max(PLCTO[0] / 100, 10 x T5) + 50 times 100 ms) before the locks and the
// trace go; 0, or -16 when a thread did not end in time (the stop is then
// finished by a later close or start, once the threads have ended).
int32_t QZVQProcClose(int32_t flags, int32_t* status);
// Rebuild the PLC text and the SECS text (size bytes each) when their
// state changed since the last call (flags 0x80: in any case). Returns bit
// 0 when the PLC text was rebuilt, bit 1 for the SECS text.
int32_t QZVQProcStatus(int32_t flags, const int32_t* status, char* plctext, char* secstext, int32_t size);
// Clear both texts; for result 0 rebuild both status texts, otherwise
// write the failure text of the start step with the result. The two texts
// may be one buffer. Returns 0.
int32_t QZVQProcResult(int32_t ignored, const int32_t* status, char* plctext, char* secstext, int32_t size,
                       int32_t result, int32_t step);
// Set the five display flags of a running bridge; returns flags & 0x200.
int32_t QZVQSetDisplay(int32_t flags);

// The worker threads (argument: 0 PLC, 1 SECS).
void PLCProc(void* argument);
void SECSProc(void* argument);

// ---- the transfers (QZVAppQXfer.cpp) ----

// Fill a 20-word information block: stream/function, device ID, system
// bytes (upper word first) and the message name, two characters a word
// (PLCMODE 0x0080 exchanges them).
void QZVQFillInform(uint16_t* block, int32_t sf, int32_t devid, uint32_t xid, const char* name);
// Take an information block apart: words 0-3 into head, the name into
// name (size bytes, NUL-terminated).
void QZVQReadInform(const uint16_t* block, uint16_t* head, char* name, size_t size);

// The item of the selected message (XKSMDSelect) with this name, compared
// without case: its definition item index, or -1.
int32_t QZVQSelectedItem(int32_t table, const char* name);

// The session's receive callback: shows every record and hands a received
// data message to the PLC. Always 0.
int32_t CBRecvProc(void* argument, const XKSRecvRecord* record);
// One poll of the PLC: status devices, both handshakes, a PLC request.
// 0 or a non-negative count; negative when a status or handshake access
// failed (the connection is then reopened).
int32_t PLCObserver();

// ---- what waits (QZVAppQWait.cpp) ----

// A host message for the PLC, made ready when it arrives: its information
// block and the PLC words of each item with a write address, each the
// entry's whole word range (the words past the value are 0).
struct QZVQItemWords {
    int32_t item;  // index into the item list
    std::vector<uint16_t> words;
};
struct QZVQHostMssg {
    int32_t devid = 0, sf = 0;
    uint32_t xid = 0;
    char name[QZVQ_NAME_SIZE] = "";
    uint64_t arrived = 0;  // tick (ms)
    uint64_t handed = 0;   // tick of the first hand-over to the PLC, 0 before
    uint16_t inform[QZVQ_INFORM_WORDS] = {};
    std::vector<QZVQItemWords> items;
};

// The queue of host messages for the PLC: the head is the message being
// handed over, behind it at most PLCQUEUE wait. The receive callback
// appends, the PLC thread takes from the front.
void QZVQQueueReset();
// Messages in the queue, the one being handed over included.
int32_t QZVQQueueDepth();
// Append; false when `waiting` messages already wait behind the head.
bool QZVQQueuePush(std::unique_ptr<QZVQHostMssg> mssg, int32_t waiting);
// The head, or null; it stays valid until QZVQQueuePop.
QZVQHostMssg* QZVQQueueHead();
// Remove the head.
void QZVQQueuePop();
// Remove the messages behind the head (all, or those with the W-bit),
// head too when `head`; in queue order.
std::vector<std::unique_ptr<QZVQHostMssg>> QZVQQueueTake(bool head, bool wbit_only);
// Wait up to ms for a message to be appended or QZVQQueueWake; true when
// one of them happened since the last wait.
bool QZVQQueueWait(int32_t ms);
void QZVQQueueWake();

// A W-bit primary the bridge sent for the PLC, waiting for the host's
// reply.
struct QZVQAwaited {
    int32_t devid = 0, sf = 0;
    uint32_t xid = 0;
    char name[QZVQ_NAME_SIZE] = "";
};
void QZVQAwaitAdd(const QZVQAwaited& sent);
// Take the entry of this transaction ID; false when there is none.
bool QZVQAwaitTake(uint32_t xid, QZVQAwaited* out);
// Take every entry, in the order they were sent.
std::vector<QZVQAwaited> QZVQAwaitTakeAll();

// The PLC is gone or not running (PLC thread): the messages waiting with
// the W-bit are answered with function 0, and the handshake devices are
// read back before the next handshake; the one being handed over is then
// written again in full if the PLC no longer holds it.
void QZVQPlcAway(const char* why);
// While the PLC is not connected (PLC thread): drop a head whose time is up.
void QZVQPlcOffline();
// The bridge stops (PLC thread, before the session closes): every queued
// message is answered or logged.
void QZVQQueueFlush(const char* why);

// ---- console front end (QZVAppQConv.cpp) ----

// The console program: options, start, operator loop, stop. Returns the
// exit status (0 after a normal stop, else the failed start step).
int32_t ConvMain(const char* program, int32_t argc, char** argv);
[[noreturn]] void ConvUsage();
void ConvSignal(int signal);
int32_t ConvProc();
void ConvDisplay(int32_t flags, const char* line);
