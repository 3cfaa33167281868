// The access control block: one per library session and one per control
// engine. It starts with the marker, then the configuration loaded from
// the library INI section (XKSLib), then the run-time fields of the
// library interface and the engine.
#pragma once
#include <cstdint>

#include "runtime/XKNSocket.h"
#include "runtime/XKQueue.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSMDMssg.h"
#include "secs/xks.h"

// Marker values.
inline constexpr uint32_t XKS_ACB_FREE = 0;
inline constexpr uint32_t XKS_ACB_CONFIG = 1;  // configuration loaded only
// "XKSW": the bytes X, K, S, W read as one host-order 32-bit value.
inline constexpr uint32_t XKS_ACB_OPEN = 'X' | 'K' << 8 | 'S' << 16 | uint32_t('W') << 24;

inline constexpr int XKS_NAME_SIZE = 64;   // host, device and section names
inline constexpr int XKS_PATH_SIZE = 260;  // directories and file paths
inline constexpr int XKS_LINE_SIZE = 256;  // identification and settings lines

// The configuration part: one field per key of the library section, in
// the order of the settings listing, then the derived and loader fields.
// "bits" keys are unsigned, every other number signed.
struct XKSConfig {
    // link, devices, identifiers
    uint32_t secsmode;
    uint32_t devmode;
    int32_t xdev;
    int32_t xmsgsize;
    int32_t xtranx;
    int32_t srcid0;
    int32_t srcid1;
    int32_t xidmin;
    int32_t xidmax;
    int32_t inter0;
    int32_t inter1;
    int32_t inter2;
    int32_t inter3;
    // SECS-I line and TCP endpoint
    char sdevice[XKS_NAME_SIZE];
    int32_t sspeed;
    int32_t scsize;
    int32_t sparity;
    int32_t sstop;
    char host[XKS_NAME_SIZE];
    int32_t port;
    int32_t linkint;
    int32_t xretry;
    // protocol timers
    int32_t t1, t2, t3, t4, t5, t6, t7, t8;
    int32_t torecv;
    // queues and threads
    char quedir[XKS_PATH_SIZE];
    int32_t quesize;
    int32_t querec;
    uint32_t quemode;
    int32_t thstackusr;
    int32_t thstacksys;
    // trace files
    char trcthost[XKS_NAME_SIZE];
    int32_t trctport;
    char trcdir[XKS_PATH_SIZE];
    uint32_t trcttype;
    uint32_t trctout;
    int32_t trctlevel;
    uint32_t trctattr;
    int32_t trctsize;
    int32_t trctxdump;
    uint32_t trcpout;
    int32_t trcplevel;
    uint32_t trcpattr;
    int32_t trcpsize;
    int32_t trcpprint;
    uint32_t trcuout;
    int32_t trculevel;
    uint32_t trcuattr;
    int32_t trcusize;
    int32_t trcuprint;
    int32_t trcdeltime;
    int32_t trcdelday;
    // message definitions
    char mdmssg[XKS_PATH_SIZE];
    int32_t mdmxitem;
    int32_t mdmxmssg;
    int32_t mdmxmitem;
    int32_t mdmxpool;

    // derived: the device-ID list (xdev entries, ndev used) and the
    // per-device state and its last reported value (xdev bytes each)
    int32_t ndev;
    int32_t* devid;
    uint8_t* devst;
    uint8_t* devss;
    uint8_t* devud;   // per-device state last set by the library interface
    int64_t* devtm;   // per-device calendar time of its last state change, s

    // loader
    char xini[XKS_PATH_SIZE];   // INI file name as opened ("xks.ini" when none)
    char xdir[XKS_PATH_SIZE];   // its directory: absolute, "/" separators, no trailing "/"
    char xsect[XKS_NAME_SIZE];  // section name as opened ("XKS" when none)
    int64_t xmtime;             // modification time of the INI file when last read, ns
    int64_t xfa;                // time of the last modification check, s
};

struct XKSTraceStream;  // trace server connection (XKSTrace)
struct XKSContRes;      // the engine's traces, locks, queues and transaction table (XKSCont)

// Flags and states that several engine threads poll are plain 32-bit
// fields; every access from a thread other than the owner goes through
// these, so the compiler neither caches nor tears them.
inline int32_t XKSLoad(const int32_t& field)
{
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
inline void XKSStore(int32_t& field, int32_t value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}
inline void XKSSetBits(int32_t& field, int32_t bits)
{
    __atomic_fetch_or(&field, bits, __ATOMIC_ACQ_REL);
}
inline void XKSClearBits(int32_t& field, int32_t bits)
{
    __atomic_fetch_and(&field, ~bits, __ATOMIC_ACQ_REL);
}

struct XKSAcb {
    uint32_t marker;  // XKS_ACB_FREE, XKS_ACB_CONFIG or XKS_ACB_OPEN
    XKSConfig cfg;

    // Traces the settings listing goes to: the session's user trace, and
    // the engine's communication trace when an engine runs on this block.
    XKWTrace utrace;
    XKWTrace* ctrace;

    // Identification lines written at the top of each new trace file;
    // line 0 is the version banner. When the list has room beyond the
    // banner (the engine's), the settings listing is copied into it.
    char (*idlines)[XKS_LINE_SIZE];
    int32_t nidlines;  // capacity in lines

    // Definition tables loaded from MDMSSG: 0 the library interface's,
    // 1 the engine's (names messages in its trace).
    XKSMDTable md[2];

    // ---- engine run-time part (meaningful in an engine's own block) ----
    XKSAcb* self;            // the engine's block; snapshot copies keep pointing at it
    XKSAcb* acbu;            // caller's block the states are mirrored into (null: none)
    XKSContRes* res;         // engine resources, shared by snapshot copies
    XKWTrace* etrace;        // error trace (ctrace above: communication trace)
    XKWTrace* ptrace;        // process trace
    XKWLock* tlock;          // trace lock: the lines of one message entry stay together
    XKSTraceStream* tstream; // trace server connection, null when none is configured
    XKSTraceCallback tcb;    // application trace callback and its user value
    void* tcbarg;
    XKQueueBlock* qr;        // receive queue (engine puts, user takes)
    XKQueueBlock* qs;        // send queue (user puts, engine takes)
    XKQueueBlock* qc;        // send-result queue (engine puts)
    XKQueueBlock* qd;        // where the engine puts its own requests: the send queue

    int32_t fexit;           // 1: the engine is to end
    int32_t fshut;           // 1: the current connection is being or has been shut
    int32_t fend;            // 1: the send thread is ending the connection and reports its end
    int32_t sexec;           // bit 0 receive thread running, bit 1 send thread running
    int32_t xthr;            // connection and refusal threads running
    int32_t xerr;            // first negative result that ended the engine
    int32_t xerr1;           // per-message error of the last read (-7: cut to XMSGSIZE)
    int32_t xeps0, xeps1, xeps2;  // step markers: control, receive, send thread
    int32_t xstat;           // link state 0..4
    int32_t ss;              // xstat at the last status report
    int32_t omode, xapp;     // copied from the caller's block
    int32_t xmode;           // mode argument of the open
    int64_t xfa;             // time of the last housekeeping pass, s (tick)
    int64_t xlt;             // time of the last Linktest.req, s (tick); 0 = none
    int32_t xfd;             // yyyymmdd of the last old-file removal
    int32_t xid;             // last engine transaction number
    int32_t xtx;             // open transactions
    int64_t tsrcv;           // deadline of the receive inactivity check, s; 0 = not armed
    int32_t tmoperr;         // last reported definition-load failure and its file
    char tmopmsg[XKS_PATH_SIZE];

    // HSMS connection
    XKNServer ccb;           // listening socket(s)
    XKNSocket ncb;           // current connection
    char ahost[XKS_NAME_SIZE];  // peer address text, or HOST in active mode
    int32_t trcsd;           // socket number shown in the next trace line
    int32_t ngen;            // connection generation: bumped for every connection handed over
    int32_t pone;            // own port-table entry (1..64), 0 = none
    int32_t nwrite;          // writes in progress on ncb (the send thread)

    // SECS-I line: block handshake flags and the message being assembled
    int32_t sd;              // serial port handle of the line, 0 = none (over TCP the line is ncb)
    int32_t ssh1, ssh2;      // the sender yielded to an ENQ / the receiver took over
    uint8_t sshd[10];        // header of the first block of the message being received, host order
    uint8_t* ssdt;           // assembly buffer
    int32_t sblk;            // number of the last block received, -1 = none
    int32_t slen;            // bytes assembled
    int32_t sxln;            // assembly limit
    uint64_t sconn;          // tick (ms) of the last connect attempt of an active TCP line

    // ---- library interface run-time part (a session's block) ----
    int32_t xlen;            // body length of the last message received or sent
    int32_t us;              // link state last set for the whole session
    int32_t alkf;            // 1 while a sender holds the W-result lock
    int32_t xseq;            // last transaction sequence number given out
    uint32_t xopt0;          // first four write-option bytes of the last send
    uint32_t umask;          // reserved
    int32_t uexit;           // result the last callback loop ended with
    int64_t udnctm;          // calendar time of the last status report, s
    XKWLock ulock[3];        // process, W-result and trace lock
    XKSRecvCallback cbrecv;  // receive callback and its argument
    void* cbrecvarg;
    XKSSendCallback cbsend;  // send-result callback and its argument
    void* cbsendarg;
    uint64_t cbthr[2];       // receive and send-result callback thread ids
    XKQueueBlock uq[4];      // r receive, s send, c send result, d side block
    char uarg[17];           // this block's address as 16 hexadecimal digits
    char* carg;              // argument line of the engine thread (engine mode 2)
};

// The session's locks and queues by role.
inline constexpr int XKS_ULOCK_PROCESS = 0;
inline constexpr int XKS_ULOCK_WRESULT = 1;
inline constexpr int XKS_ULOCK_TRACE = 2;
inline constexpr int XKS_UQ_RECV = 0;
inline constexpr int XKS_UQ_SEND = 1;
inline constexpr int XKS_UQ_RESULT = 2;
inline constexpr int XKS_UQ_SIDE = 3;
