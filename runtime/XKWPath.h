// Path helpers: splitting a path into directory, base name, stem and
// extension, joining parts, creating the directories of a path, and
// normalising "." and ".." away. Both "/" and "\" count as separators, and
// a leading drive such as "C:" is kept as text, so configuration values
// written for another system still split the same way. Paths are scanned
// character by character in the process code, so a Shift-JIS trailing byte
// 0x5C is never taken for a separator.
#pragma once
#include <cstddef>
#include <cstdint>

// Longest result of XKWPathDir and XKWPathStem, with its NUL.
inline constexpr size_t XKW_PATH_MAX = 260;

// The base name: the text after the last separator, or after a leading
// drive and colon. Returns a pointer into path ("" for a null path).
const char* XKWPathBase(const char* path);
// The directory part: the text before the last separator; a root ("/",
// "C:/") or a bare drive ("C:") is kept whole; "" when there is none.
// Returns one of 64 rotating buffers of XKW_PATH_MAX bytes (truncated to
// fit), so the last 64 results stay valid; safe to call from any thread.
const char* XKWPathDir(const char* path);
// The extension: the text after the last "." of the base name; "" when
// there is none and for "." and "..". Returns a pointer into path.
const char* XKWPathExt(const char* path);
// The base name without its last extension (a leading "." does not start
// one). Returns one of 64 rotating buffers, as XKWPathDir.
const char* XKWPathStem(const char* path);

// Join the parts first, ... up to a nullptr into out (size bytes), putting
// "/" at a seam where neither side has a separator; empty parts add
// nothing. Returns the length, -28 (out set empty) when it does not fit,
// -22 for a null out or size 0.
int32_t XKWPathJoin(char* out, size_t size, const char* first, ...) __attribute__((sentinel));
// As XKWPathJoin, then create every missing directory before the last
// separator of the result, so the result can be created as a file (end the
// last part with "/" to create it as a directory). Returns the length, or
// -errno of the first directory that could not be made.
int32_t XKWPathJoinMake(char* out, size_t size, const char* first, ...) __attribute__((sentinel));

// Normalise path in place: runs of separators collapse to their first,
// "." components and "/.." at the root are dropped, and "name/.." pairs are
// removed (a path that was nothing but such pairs becomes "."). Separators
// keep the characters they had; a trailing separator is kept. Returns the
// new length.
int32_t XKWPathNormal(char* path);

// The path of the running program into out (size bytes). Returns its
// length, -28 (out set empty) when it does not fit, or -errno.
int32_t XKWPathProgram(char* out, size_t size);
