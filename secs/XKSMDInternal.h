// Helpers shared by the files of the message-definition module (tables
// and listing, loader, build, match). Not part of the library interface.
#pragma once
#include <cstddef>
#include <cstdint>

#include "secs/XKSMDMssg.h"
#include "secs/XKSMssg.h"

// The loaded table of a definition handle, or null (the caller returns -9).
XKSMDTable* md_get(int32_t handle);

// Take the table lock for holder (XKS_MD_HELD_*) unless mode has 0x4000 or
// the table has no lock. A re-entry by the thread that already holds it
// for a selection or match keeps a single level.
void md_take(XKSMDTable* t, int32_t mode, int32_t holder);
// Release the lock when holder took it and mode lacks 0x4000.
void md_give(XKSMDTable* t, int32_t mode, int32_t holder);

// Clear the working state: no instance, no received message, the working
// ends back at the ends of the loaded entries, reading position 0.
void md_reset(XKSMDTable* t);

// First message of that name (upper-case compare), or -2.
int32_t md_find_message(const XKSMDTable* t, const char* name);

inline bool md_is_list(const XKSMDItem& it)
{
    return (it.form & 0xFF) == XKS_FMT_L;
}

// Entry definitions that follow a definition list: a fixed list its count;
// a variable list the entries it takes by default (its stored count, the
// minimum, at least one); an alternatives list L[a|b] one per entry of b.
int64_t md_entries(const XKSMDTable* t, const XKSMDMitem& m);
// Definition position behind subtrees items (each with everything inside
// it) starting at d, stopping at end.
int32_t md_skip(const XKSMDTable* t, int32_t d, int64_t subtrees, int32_t end);

// "NAME:n" cut to the name field (n > 0), else the name itself.
void md_instance_name(char* out, const char* name, int32_t n);

// Loader: clear the arrays, preset items 0 and 1, read file in the CSV
// (kind 2) or SML syntax and tidy the item indexes. Returns 0, -2 when the
// file cannot be opened, -941..-944 when a table fills, -12 no memory.
int32_t md_load_file(XKSMDTable* t, const char* file, int32_t kind);

// Build helpers without locking: instance of message ment for a body of
// capacity bytes (0 or -941/-943), and its encoding into body (length or
// a codec result).
int32_t md_select(XKSMDTable* t, int32_t ment, int32_t capacity);
int32_t md_build(XKSMDTable* t, uint8_t* body);

// Trace-side interface, installed as the codec's definition hooks: match
// a body with the acb's table (flags 0x10000: the engine's table; bits
// 12..13 the direction), release the match, next received item's name.
int32_t md_trace_lookup(const void* acb, int32_t flags, const uint8_t* body, int32_t length, int32_t sf,
                        char* name, size_t size);
void md_trace_release(const void* acb, int32_t flags, int32_t definition);
int32_t md_trace_next(const void* acb, int32_t flags, int32_t definition, char* name, size_t size);
