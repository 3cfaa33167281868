// In-place sort of fixed-size records by a list of keys (comb sort, not
// stable). The message definitions sort their item table with it.
#pragma once
#include <cstdint>

// Key types: the field at offset in each record compared as
inline constexpr int32_t XKW_SORT_TEXT = 0;      // text of length bytes (strncmp)
inline constexpr int32_t XKW_SORT_I16 = 1;       // int16_t
inline constexpr int32_t XKW_SORT_U16 = -1;      // uint16_t
inline constexpr int32_t XKW_SORT_I32 = 2;       // int32_t (also -2 and -6)
inline constexpr int32_t XKW_SORT_F32 = 3;       // float
inline constexpr int32_t XKW_SORT_F64 = 4;       // double (also 7 and -7)
inline constexpr int32_t XKW_SORT_I8 = 5;        // int8_t
inline constexpr int32_t XKW_SORT_U8 = -5;       // uint8_t
inline constexpr int32_t XKW_SORT_ADDR = 6;      // an address value (uintptr_t)
inline constexpr int32_t XKW_SORT_PSTR = 9;      // const char* to a whole string (strcmp)
inline constexpr int32_t XKW_SORT_PSTRN = -9;    // const char* to length bytes (strncmp)

struct XKWSortKey {
    int32_t type;       // one of the XKW_SORT_* types
    int32_t direction;  // > 0 ascending, < 0 descending, 0 key ignored
    int32_t offset;     // byte offset of the field in the record
    int32_t length;     // field length for text keys
};

// Sort count records of size bytes, starting at record first of records,
// in place by keycount keys compared in order. Returns 0, -12 when the swap
// record cannot be allocated, -22 for a bad argument or a key of unknown
// type or whose field does not lie inside the record.
int32_t XKWSort(void* records, int32_t size, const XKWSortKey* keys, int32_t keycount, int32_t first,
                int32_t count);
