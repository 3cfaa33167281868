// Result codes shared by every module. A result is an int32_t: 0 or a
// positive count, length or handle on success, one of these on failure.
#pragma once
#include <cstdint>

inline constexpr int32_t XKW_OK = 0;
inline constexpr int32_t XKW_E_FAIL = -1;       // generic failure (thread start, busy try-lock, ...)
inline constexpr int32_t XKW_E_NOTFOUND = -2;   // no such object or entry
inline constexpr int32_t XKW_E_OVERRUN = -7;    // a length runs past the end of the data
inline constexpr int32_t XKW_E_BADHANDLE = -9;  // invalid handle, or object not open
inline constexpr int32_t XKW_E_NOMEM = -12;     // allocation failed
inline constexpr int32_t XKW_E_BUSY = -16;      // resource busy
inline constexpr int32_t XKW_E_NODEV = -19;     // no such device
inline constexpr int32_t XKW_E_INVAL = -22;     // invalid argument or format
inline constexpr int32_t XKW_E_FULL = -28;      // table, queue or buffer full
inline constexpr int32_t XKW_E_LENBYTES = -42;  // item with zero length bytes
inline constexpr int32_t XKW_E_CONNECT = -107;  // connect failed
inline constexpr int32_t XKW_E_CLOSED = -108;   // connection closed by the peer
inline constexpr int32_t XKW_E_NOMORE = -120;   // nothing more (empty queue, end of list)
inline constexpr int32_t XKW_E_TIMEOUT = -138;  // time-out
inline constexpr int32_t XKS_E_NODATA = -951;   // end of message body / nothing received
