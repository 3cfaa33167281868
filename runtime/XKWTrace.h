// Trace and log files: time-stamped text lines and hexadecimal dumps, with
// an optional echo to standard output, numbered generations limited by
// size, date-based names, deletion of old generations and locking for
// several threads or processes writing one file.
//
// A trace is a control block owned by the caller (XKWTraceOpen with a
// block) or an entry of the process trace table (handles 1..256, new ones
// from the top). Order of use: XKWTraceSetDefaults, open, XKWTraceSetAttr
// (and optionally the id lines and dump limit), then writes and dumps from
// any thread, then close. Every function returns 0 or a positive value on
// success and a negative code otherwise: -9 trace not open, -12 out of
// memory, -16 table slot busy, -22 bad argument or index, -28 table full,
// -errno when a file or directory cannot be made, opened or written.
//
// Open mode: 0x8000 locks every line and every whole dump; with 0x1000 the
// lock is an in-process thread lock, without it a named mutex that all
// processes opening the same directory and file name share; 0x4000 never
// writes a header line; bits 0x70, when any is set, replace the naming and
// generation bits of the output bits. The thread-safe switch (XKWThreadSafe)
// adds 0x8000 to every trace opened while it is on.
//
// Output bits: 0x1 echo to standard output, 0x2 write the file, 0x30 date
// naming (0x10 a directory per day, 0x20 date prefix, 0x30 date suffix),
// 0x40 numbered generations with the size limit; in an output word given
// to XKWTraceSetDefaults or XKWTraceSetAttr, bits 8..13 are the number of
// generations to keep (0 = never delete).
//
// Line attributes choose the prefix: 0x1 date and time, 0x2 date, time and
// milliseconds, 0x4 process number, 0x8 level, 0x10 source name, 0x20
// source line, 0x40 function, 0x100 tag, 0x8000 CR LF line ends.
//
// Write flags: 0x80 the text is raw (not a format); bits 4..5 the separator
// after the time stamp (0 and 3 ":", 1 "+", 2 "-" for a continuation line);
// 0x40000000 do not lock; 0x80000000 the caller holds the lock already (no
// locking and no rotation). Dump flags are those of XKWDumpLine; their bits
// 4..5 give the separator of the first dump line ("+" when 0).
#pragma once
#include <cstdint>

#include "runtime/XKWPath.h"
#include "runtime/XKWResource.h"
#include "runtime/XKWThread.h"

inline constexpr int32_t XKW_TRACE_LINE_MAX = 2047;  // prefix and text of one line
inline constexpr int32_t XKW_TRACE_TITLE_MAX = 37;   // significant characters of a title

struct XKWTrace {
    uint32_t open;                 // creating process id (table entry), 1 (caller-owned), 0 closed
    int32_t index;                 // table handle 1..256, -1 for a caller-owned block
    int32_t fd;                    // file descriptor, 0 when no file is open
    uint32_t pid;                  // printed in the process column
    uint32_t mode;                 // open mode bits 0xF000
    XKWResource mutex;             // cross-process lock (0x8000 without 0x1000)
    XKWLock lock;                  // in-process lock
    int32_t date;                  // yyyymmdd of the file's day (date naming)
    int64_t preset_time;           // seconds since the epoch of the next line, 0 = none
    int32_t preset_ms;             // milliseconds of the day of the next line
    int32_t generation;            // generation of the open file, -1 without generations
    int32_t keep;                  // generations to keep, 0..63; 0 = never delete
    int32_t out;                   // output bits; negative = process default
    int32_t attr;                  // line attributes; negative = process default
    int32_t level;                 // highest level written; negative = process default
    int32_t size;                  // size limit in bytes, 0 = none
    uint32_t dump_limit;           // dump bytes beyond which lines are left out, 0 = none
    char title[64];                // header title
    const char* const* id_lines;   // null-terminated list written at the top of each new file
    char dir[XKW_PATH_MAX];        // directory of the file
    char file[XKW_PATH_MAX];       // base file name as given at open
};

// Set the process defaults copied into each trace at open: directory, output
// word (output bits and generations to keep), attributes, level and size
// limit. A null dir or a negative number leaves that default as it is.
// Starting values: "", 0x0002, 0x010F, 5, 0. Returns 0, -22 when dir does
// not fit.
int32_t XKWTraceSetDefaults(const char* dir, int32_t out, int32_t attr, int32_t level, int32_t size);

// Set how long a write waits for a trace's named mutex, in milliseconds (0 =
// without limit, the starting value); a writer that times out writes its
// line without the mutex. Returns 0.
int32_t XKWTraceSetLockWait(int32_t ms);

// Open a caller-owned trace on `file` (a directory part replaces the default
// directory; an empty name opens a trace without a file that ignores
// writes). title: header title (null or "": the file name); size: size
// limit, 0 = the default. Returns 0 or a negative code with the block closed.
int32_t XKWTraceOpen(XKWTrace* trace, int32_t mode, const char* file, const char* title, int32_t size);

// The same on the process table: index 1..256 opens that slot (-16 when in
// use), -1 the highest free one (-28 when none); other indexes give -22.
// Returns the handle; on failure the slot stays free.
int32_t XKWTraceOpen(int32_t index, int32_t mode, const char* file, const char* title, int32_t size);

// Open a trace in the highest free table slot; returns the handle.
int32_t XKWTraceOpenId(int32_t mode, const char* file, const char* title, int32_t size);

// Set the output word, attributes, level and size limit of an open trace;
// a negative argument (size: one not above 0) leaves that value. 0 or -9.
int32_t XKWTraceSetAttr(XKWTrace* trace, int32_t out, int32_t attr, int32_t level, int32_t size);

// Dump bytes beyond which dump lines are left out (0 = no limit). 0 or -9.
int32_t XKWTraceSetDumpLimit(XKWTrace* trace, uint32_t bytes);

// Lines written at the top of every file a rotation opens: a null-terminated
// list that must stay valid while the trace is open (null = none). 0 or -9.
int32_t XKWTraceSetIdLines(XKWTrace* trace, const char* const* list);

// Number printed in the process column. 0 or -9.
int32_t XKWTraceSetPid(XKWTrace* trace, uint32_t number);

// Time stamp (seconds since the epoch, milliseconds of the day) of the next
// line or of every line of the next dump, cleared after use. 0 or -9.
int32_t XKWTraceSetTime(XKWTrace* trace, int64_t seconds, int32_t ms);

// Write one line: prefix, then the formatted text (raw with flag 0x80), cut
// to 2047 characters. Rotates the file first when its day has changed or it
// has grown past the size limit. Returns 0 (also for a line filtered out by
// level or output bits), -9 when the trace is not open or has no file, or
// -errno when a rotation or the write failed.
int32_t XKWTraceWrite(const char* source, int32_t line, const char* function, XKWTrace* trace,
                      int32_t flags, int32_t level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 8, 9)));

// XKWTraceWrite of a text taken as it is (flag 0x80), for callers that
// pass ready-made text: no format string, so no printf check to defeat.
int32_t XKWTraceWriteText(const char* source, int32_t line, const char* function, XKWTrace* trace,
                          int32_t flags, int32_t level, const char* tag, const char* text);

// Write a dump of length bytes at data as XKWDumpLine lines under one lock:
// the first and the last line always, the others only when they hold a
// non-zero element and start below the dump limit. Returns 0, -9, -22 for
// bad data or length, or -errno when a write failed.
int32_t XKWTraceDump(const char* source, int32_t line, const char* function, XKWTrace* trace,
                     int32_t dumpflags, int32_t level, const char* tag, const char* label,
                     const void* data, int32_t length);

// Close the trace: file, lock and mutex; the block is cleared. Retries the
// deletion of old generations that failed before. 0 or -9.
int32_t XKWTraceClose(XKWTrace* trace);

// Handle forms: each returns -9 for a handle that is not open and otherwise
// what the block form returns. XKWTraceWriteId formats the text itself (at
// most 2047 characters; flag 0x80 takes it as it is) and writes it raw.
int32_t XKWTraceCloseId(int32_t handle);
int32_t XKWTraceSetAttrId(int32_t handle, int32_t out, int32_t attr, int32_t level, int32_t size);
int32_t XKWTraceSetDumpLimitId(int32_t handle, uint32_t bytes);
int32_t XKWTraceSetIdLinesId(int32_t handle, const char* const* list);
int32_t XKWTraceSetTimeId(int32_t handle, int64_t seconds, int32_t ms);
int32_t XKWTraceWriteId(const char* source, int32_t line, const char* function, int32_t handle,
                        int32_t flags, int32_t level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 8, 9)));
int32_t XKWTraceDumpId(const char* source, int32_t line, const char* function, int32_t handle,
                       int32_t dumpflags, int32_t level, const char* tag, const char* label,
                       const void* data, int32_t length);
