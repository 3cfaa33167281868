// Library configuration: loading the library INI section into an access
// control block, the re-read of the keys that may change while a session
// runs, the settings listing, the version record, queue and trace file
// names, the device-ID lookup, the transaction sequence and the fallback
// trace writer used when no trace file is open.
//
// Sections are read in the order [DEFAULT], [SECSCOMMON], named section; a
// later section overrides an earlier one, DEVID entries of all three
// accumulate. Key names, defaults and units: docs/library-config.md.
#pragma once
#include <cstddef>
#include <cstdint>

#include "secs/XKSAcb.h"

inline constexpr const char* XKS_INI_DEFAULT_FILE = "xks.ini";
inline constexpr const char* XKS_INI_DEFAULT_SECTION = "XKS";
inline constexpr int32_t XKS_XDEV_MAX = 65536;  // XDEV above this is taken as this
inline constexpr const char* XKS_PRINT_FILE = "XKSTrace.trc";  // fallback trace, working directory

// XKSLibDumpConfig flags.
inline constexpr int32_t XKS_DUMP_CTRACE = 0x80;                // the engine's communication trace
inline constexpr uint32_t XKS_DUMP_TRACE_ONLY = 0x80000000u;    // nothing when that trace is closed

// XKSLibPrint flags.
inline constexpr int32_t XKS_PRINT_STDOUT = 0x01;
inline constexpr int32_t XKS_PRINT_FILE_BIT = 0x02;
inline constexpr int32_t XKS_PRINT_FORMAT = 0x10;  // the text is a printf format
inline constexpr int32_t XKS_PRINT_LIBRARY = 0x12;  // what every library caller passes
inline constexpr int XKS_PRINT_MAX = 4140;          // formatted text is cut to this length

// Clear the whole acb, set every key to its default and read the three
// sections of file (null or empty: "xks.ini", relative names against the
// working directory) for section (null or empty: "XKS"); resolve QUEDIR,
// TRCDIR and MDMSSG against the INI directory and allocate the device-ID
// list and state arrays. The acb must be zero-filled or released with
// XKSLibFreeConfig. Returns 0, -2 when the file cannot be opened (nothing
// stays allocated), -12 when memory runs out.
int32_t XKSLibReadConfig(XKSAcb* acb, const char* file, const char* section);

// Read the remembered file and section again and apply only the keys that
// may change while a session runs (timers, intervals, identifiers, trace
// settings, definition file and capacities). Returns 0, -2 when the file
// cannot be opened (the acb keeps its values).
int32_t XKSLibRereadConfig(XKSAcb* acb);

// The modification watch: at most once per INTER3 seconds (now = seconds
// since the epoch) compare the INI file's modification time with the one
// last read; when it differs, write "<prefix>Get parameters from %s [%s]."
// to trace (the fallback writer when it is not open), re-read and remember
// the new time. Returns 1 when the settings were re-read (the caller then
// re-applies its trace settings), 0 when nothing changed or it was too
// early, -2 when the re-read failed.
int32_t XKSLibWatchConfig(XKSAcb* acb, int64_t now, const char* prefix, XKWTrace* trace);

// Free the device-ID list and the state arrays (ndev becomes 0).
void XKSLibFreeConfig(XKSAcb* acb);

// Write the settings listing, one line per key with tag "IN", to the user
// trace or, with flag 0x80, the engine's communication trace; when that
// trace is not open, through the fallback writer unless bit 31 is set.
// Returns the number of lines of the listing.
int32_t XKSLibDumpConfig(XKSAcb* acb, uint32_t flags);

// Diagnostic dumps, one line per field. Flag 0x80: to the session's
// communication trace instead of its user trace; when that trace is not
// open (or there is no owning session), through the fallback writer. A
// non-empty title comes first. Session dump flags: 0x01 no settings
// listing, 0x02 the settings listing only. Each returns the lines written.
int32_t XKSLibDumpSession(XKSAcb* acb, int32_t flags, const char* title);
int32_t XKSLibDumpMessage(const XKSMssgBlock* block, int32_t flags, const char* title);
int32_t XKSLibDumpTable(const XKSMDTable* table, int32_t flags, const char* title);

// Fill a 96-byte record: version at 0, build stamp at 32, build tag at 64.
// Returns the word size in bits of this build.
int32_t XKSLibVersion(char* record);

// The version record, its word size, the identification line
// "XK-Project [XKS:...] .. [<build date> <build time>]" and a list holding
// only that line (for trace files); made once per process.
struct XKSVersionInfo {
    char record[96];
    int32_t bits;
    char line[XKS_LINE_SIZE];
    const char* list[2];
};
const XKSVersionInfo& XKSLibVersionInfo();

// File names "q%s%04x%s.xkq" (queue kinds 0..7) and "t%s%04x%s.trc" (trace
// kinds 0..3) in dir, joined as the INI paths are. side: 0 host ("h"),
// otherwise equipment ("e"). Returns 0, -22 for a kind out of range or bad
// arguments, -28 when the name does not fit out (size bytes).
int32_t XKSLibQueueName(int32_t kind, int32_t side, int32_t devid, const char* dir, char* out,
                        size_t size);
int32_t XKSLibTraceName(int32_t kind, int32_t side, int32_t devid, const char* dir, char* out,
                        size_t size);

// Index of devid in the device-ID list (first match), compared as the
// protocol and SECSMODE 0x200 say; -19 when it is not listed.
int32_t XKSLibDevIndex(const XKSAcb* acb, int32_t devid);

// The transaction sequence number after previous: XIDMIN..XIDMAX, wrapping
// (-22 for a null acb).
int32_t XKSLibNextXid(const XKSAcb* acb, int32_t previous);

// Fallback trace writer: flag 0x10 formats printf-style (at most 4140
// characters), otherwise the text is taken as it is; 0x01 prints it to
// standard output, 0x02 appends it to "XKSTrace.trc" in the working
// directory (created anew by the first write of the process), each with
// the prefix "%06d.%06d.%03d:". Returns the text length.
int32_t XKSLibPrint(int32_t flags, const char* format, ...) __attribute__((format(printf, 2, 3)));
