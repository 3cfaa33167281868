// The access control block: one per library session and one per control
// engine. It starts with the marker, then the configuration loaded from
// the library INI section (XKSLib), then the run-time fields of the
// library interface and the engine.
#pragma once
#include <cstdint>

#include "runtime/XKWTrace.h"
#include "secs/XKSMDMssg.h"

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

    // loader
    char xini[XKS_PATH_SIZE];   // INI file name as opened ("xks.ini" when none)
    char xdir[XKS_PATH_SIZE];   // its directory: absolute, "/" separators, no trailing "/"
    char xsect[XKS_NAME_SIZE];  // section name as opened ("XKS" when none)
    int64_t xmtime;             // modification time of the INI file when last read, ns
    int64_t xfa;                // time of the last modification check, s
};

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
};
