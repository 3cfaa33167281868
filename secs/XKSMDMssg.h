// Message definitions: tables loaded from a definition file (".csv" or
// ".sml" syntax) that name SECS-II messages and their items, building a
// message by name (select, put values by item name, build the body), and
// reading a received body by name (match, get items by name, item text,
// automatic replies).
//
// A table holds four fixed arrays (items, messages, message items, value
// pool) sized by the session's MDMXITEM, MDMXMSSG, MDMXMITEM and MDMXPOOL.
// The loaded entries sit at the start of each array; the space behind them
// is the working area that building and matching reuse, so neither ever
// grows an array. Tables are reached through definition handles 1..64, and
// every access control block carries two of its own (library, engine).
//
// Lock protocol: a table opened with mode 0x4000 has a lock. Select takes
// it and build releases it; a successful match holds it until match end.
// Calls with mode bit 0x4000 neither take nor release it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "runtime/XKWThread.h"
#include "secs/xks.h"

struct XKSAcb;
struct XKSMssgBlock;

// Results of this module.
inline constexpr int32_t XKS_E_NOTW = -930;        // automatic reply: no W-bit
inline constexpr int32_t XKS_E_NOTPRIMARY = -931;  // automatic reply: even function
inline constexpr int32_t XKS_E_MDITEM = -941;      // item table full
inline constexpr int32_t XKS_E_MDMSSG = -942;      // message table full
inline constexpr int32_t XKS_E_MDMITEM = -943;     // message-item table full
inline constexpr int32_t XKS_E_MDPOOL = -944;      // value pool full

inline constexpr int XKS_MD_NAME = 32;       // item and message names, terminated
inline constexpr int XKS_MD_VALUES = 6;      // value 0 (sent) and values 1..5 (accepted)
inline constexpr int XKS_MD_HANDLES = 64;    // definition handles 1..64
inline constexpr int XKS_MD_LINE = 1024;     // longest definition line read, terminator included
inline constexpr int32_t XKS_MD_UNBOUNDED = 2147483647;  // maximum of an L,N list
inline constexpr int32_t XKS_MD_STAGE = 65536;           // per-item staging buffer of the build
inline constexpr int XKS_MD_COUNTS = 16;                 // list counts one selection keeps

// Mode bits.
inline constexpr int32_t XKS_MD_KIND = 0x0003;    // open: kind when the extension does not decide
inline constexpr int32_t XKS_MD_KIND_CSV = 2;     //   2 CSV, anything else SML
inline constexpr int32_t XKS_MD_LOCK = 0x4000;    // open: create the lock; other calls: leave it alone
inline constexpr int32_t XKS_MD_CONVERT = 0x4000; // get item: convert 2-byte text to the process code
inline constexpr int32_t XKS_MD_DIRECTION = 0x3000;  // match: 0 any, 1 single-direction first,
                                                     // 2 this side's messages, 3 the peer's

// Item flags.
inline constexpr int32_t XKS_MD_FILEITEM = 0x01;  // the value names a file whose contents are sent
inline constexpr int32_t XKS_MD_ALTLIST = 0x80;   // list count given as alternatives a|b

// Message attributes.
inline constexpr int32_t XKS_MD_H = 0x01;  // sent by the host
inline constexpr int32_t XKS_MD_E = 0x02;  // sent by the equipment
inline constexpr int32_t XKS_MD_D = 0x04;  // default reply
inline constexpr int32_t XKS_MD_W = 0x08;  // reply expected

// Lock holder (xlkf).
inline constexpr int32_t XKS_MD_HELD_SELECT = 1;
inline constexpr int32_t XKS_MD_HELD_MATCH = 2;
inline constexpr int32_t XKS_MD_HELD_TRACE = 3;

// Item record. Entry 0 is the fixed-count list, entry 1 the empty binary
// item that stands for names a message uses but the file does not define.
struct XKSMDItem {
    char name[XKS_MD_NAME];  // upper case; "NAME:k" in working copies
    int32_t index;           // own position in the table
    int32_t flags;           // XKS_MD_FILEITEM, XKS_MD_ALTLIST
    int32_t form;            // low 16 bits format code, high 16 bits character set (code 022)
    int32_t sz;              // element size (0 for lists)
    int32_t min;             // smallest element or entry count
    int32_t max;             // largest count
};

// Message record. In the working copies (current and matched message) ino
// and noi describe the instance or the received message instead.
struct XKSMDMessage {
    char name[XKS_MD_NAME];  // upper case
    int32_t sf;              // stream * 256 + function
    int32_t at;              // XKS_MD_H | XKS_MD_E | XKS_MD_D | XKS_MD_W
    int32_t noi;             // number of message items
    int32_t ino;             // index of the first message item
};

// Message-item record: one item occurrence of a message, in message order.
// A list's count says how many following entries belong to it.
struct XKSMDMitem {
    int32_t item;                      // item table index (0 = fixed-count list)
    int32_t excluded;                  // left out of the build
    int32_t dp;                        // depth (working copies)
    int32_t count;                     // list: entries; data: element count of value 0
    int32_t vsize[XKS_MD_VALUES];      // byte length of values 0..5 (0 = none)
    const uint8_t* value[XKS_MD_VALUES];  // where they lie in the pool
};

// A list count set by the caller for the current selection, by the
// instance name of the list.
struct XKSMDCount {
    char name[XKS_MD_NAME];
    int32_t count;
};

struct XKSMDTable {
    uint32_t op;                 // "XKSW" while loaded, 0 when free
    const XKSAcb* owner;         // session whose settings were copied
    char file[260];              // definition file path
    int32_t secsmode;            // copies of SECSMODE, DEVMODE, XMSGSIZE
    int32_t devmode;
    int32_t xmsgsize;
    int32_t xitem, citem;        // capacity and entries in use of each array
    int32_t xmssg, cmssg;
    int32_t xmitem, cmitem;
    int32_t xpool, cpool;
    int32_t xlen, ment;          // build: body capacity, selected message
    int32_t mitem, mmitem, mpool;  // current ends of the working areas
    int32_t aitem, amitem, apool;  // base of the received-message area
    int32_t pip, xlkf;           // item-by-item reading position, lock holder
    int32_t haslock;             // the lock below was created
    XKWLock lock;
    XKSMDItem* items;
    XKSMDMessage* mssgs;
    XKSMDMitem* mitems;
    uint8_t* pool;
    XKSMDMessage cur;            // selected message; ino/noi: the instance
    XKSMDMessage matched;        // matched definition (name, sf, at); ino/noi: the received items
    XKSMDCount counts[XKS_MD_COUNTS];  // list counts set since the selection
    int32_t ncounts;
    uint8_t* stage;              // XKS_MD_STAGE bytes staged per item by the build
    XKSMssgBlock* mb;            // codec block used by build and match
};

// ---- Tables ----
//
// The functions on definition handles (open, close, listing, building by
// name, matching, automatic replies) are declared in secs/xks.h.

// Load a table that the caller owns (zero-filled or closed) from file for
// acb's settings; kind as the open mode bits 0..1. lock: create the lock.
// Same results as XKSMDOpen without the handle.
int32_t XKSMDLoad(XKSMDTable* table, const XKSAcb* acb, const char* file, int32_t kind, bool lock);
// Release a table loaded with XKSMDLoad (nothing when not loaded).
void XKSMDFree(XKSMDTable* table);
// Load the definition table of an access control block from its MDMSSG
// (which 0: the library interface's, 1: the engine's; kind from TRCTTYPE
// bits 8..9) unless it is loaded already, and install the codec hooks
// that name messages in traces. Returns 0 or a load result.
int32_t XKSMDLoadAcb(XKSAcb* acb, int32_t which);

// Remove comments from one line in place: "//" ends the line and its text
// (trimmed, up to comment_size - 1 characters) goes to comment; "/*" opens
// a block that the next "*/" closes, possibly on a later line. Markers in
// double quotes do not count; there a backslash protects the next
// character. state: 0 normal, 1 inside a block; returns the new state.
int32_t XKSMDStripComment(char* line, char* comment, size_t comment_size, int32_t state);
