// INI files: the line syntax every configuration file of the system
// accepts, the section fallback to [DEFAULT] and [COMMON], value lists and
// the rewrite of one entry.
//
// A reader walks one file entry by entry, either in a caller-owned XKWIni
// (zero-cleared before first use) or through a handle of the process table
// of 256 readers. Names are compared in upper case; values keep their case.
// Limits: a logical line keeps at most 4095 bytes (the rest of a longer line
// is dropped), section names 127, values and expanded values 4095 (cut),
// environment variable names 259 (a longer reference is kept as written).
//
// Output buffers are passed with their sizes. XKW_INI_SECTION, XKW_INI_KEY
// and XKW_INI_VALUE are sizes that always hold the whole result; a value
// that does not fit a smaller buffer is cut, an entry whose section or key
// does not fit is skipped (a cut name could pass for another one).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr size_t XKW_INI_SECTION = 128;  // section name with its NUL
inline constexpr size_t XKW_INI_KEY = 4096;     // key with its NUL
inline constexpr size_t XKW_INI_VALUE = 4096;   // value or list item with its NUL

// Mode bits.
inline constexpr int32_t XKW_INI_DEFAULT = 0x01;  // also return entries of [DEFAULT]
inline constexpr int32_t XKW_INI_COMMON = 0x02;   // also return entries of [COMMON]
inline constexpr int32_t XKW_INI_ENV = 0x10;      // expand $(NAME) and ${NAME} in values

// Results of XKWIniPut besides -2 (file cannot be read) and -22.
inline constexpr int32_t XKW_INI_E_TEMP = -3;    // temporary file cannot be written
inline constexpr int32_t XKW_INI_E_RENAME = -5;  // temporary file cannot replace the file

struct XKWIni {
    FILE* file;                     // the open file, null when closed
    int32_t state;                  // 0 outside, 1 wanted section, 2 any section (none wanted), 3 DEFAULT, 4 COMMON
    int32_t mode;                   // XKW_INI_* bits, 0x01 at open
    char wanted[XKW_INI_SECTION];   // upper-cased; empty = all sections
    char current[XKW_INI_SECTION];  // upper-cased name of the section being read
    int32_t end;                    // 1 once the wanted section has ended
};

// Open path for reading from its first line, mode 0x01; section null or
// empty reads all sections. An open ini is closed first. Returns 0, -2 when
// the file cannot be opened or is not a regular file, -22 for a null
// argument or a section name longer than 127 bytes.
int32_t XKWIniOpen(XKWIni* ini, const char* path, const char* section);

// Replace the mode bits; returns 0, -9 when not open.
int32_t XKWIniSetMode(XKWIni* ini, int32_t mode);

// The next entry of a returned section: its section name and key (upper-
// cased) and its value (without comment; environment variables expanded
// with mode 0x10). Returns 0, -120 at the end (also once the wanted section
// has ended), -9 when not open, -22 for null outputs or size 0.
int32_t XKWIniNext(XKWIni* ini, char* section, size_t section_size, char* key, size_t key_size,
                   char* value, size_t value_size);

// Close the file; returns 0, -9 when not open.
int32_t XKWIniClose(XKWIni* ini);

// The value of key in section (falling back to [DEFAULT] with mode 0x01 and
// [COMMON] with mode 0x02; no section = any section): the last match wins,
// and reading ends with the wanted section. value is emptied first. Returns
// 0 when found, -2 when not found or the file cannot be opened, -22 for
// bad arguments or an overlong section name.
int32_t XKWIniGetEx(const char* path, const char* section, const char* key, char* value,
                    size_t value_size, int32_t mode);

// XKWIniGetEx with mode 0x01.
int32_t XKWIniGet(const char* path, const char* section, const char* key, char* value,
                  size_t value_size);

// Set key = "value" in section of path (the file is created when missing):
// every entry of the key in the first such section is replaced (keeping its
// comment), else the entry goes before the section's end, else the section
// and the entry are appended. The new text is written to "<path>.tmp" and
// renamed over the file, so readers see the old or the new file, never a
// missing or half one; concurrent updates of one file wait for each other.
// Double quotes and backslashes of the value are written with a backslash
// before them, so the value reads back as given. Returns 0, -2 when the
// file cannot be created or read, -3 or -5 (above), -16 when the file keeps
// being replaced under us, -22 for an empty key or section, a CR or LF, or
// a name that would not read back as given (quotes, backslashes or blanks
// in names, section names over 127 bytes), or a value over 4095 bytes once
// escaped.
int32_t XKWIniPut(const char* path, const char* section, const char* key, const char* value);

// Handle forms through the process table (handles 1..256, lowest free
// first). XKWIniOpenId returns the handle, -28 when the table is full, -12
// when out of memory, or XKWIniOpen's error; the others return -9 for a
// handle that is not open and otherwise what the plain form returns.
int32_t XKWIniOpenId(const char* path, const char* section);
int32_t XKWIniCloseId(int32_t handle);
int32_t XKWIniSetModeId(int32_t handle, int32_t mode);
int32_t XKWIniNextId(int32_t handle, char* section, size_t section_size, char* key, size_t key_size,
                     char* value, size_t value_size);

// Take the next item of a value list from *text and advance *text past it.
// Items are separated by commas and by blanks outside double quotes; double
// quotes group and are dropped; a backslash takes the next character as it
// is. Empty items between separators are skipped ("" gives an empty item).
// The item is cut to size - 1 bytes. Returns its length, -120 when no
// item is left, -22 for bad arguments.
int32_t XKWIniItem(const char** text, char* item, size_t size);
