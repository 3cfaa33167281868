// Named shared memory between processes.
//
// An area is a POSIX shared-memory object "/<name>" with every "\" and "/"
// of the name turned into "_", mapped whole for reading and writing. The
// first process to map a name sizes the area (4 bytes more than asked,
// zero-filled); later ones map it at the size it has. Areas stay in
// /dev/shm until XKWMemRemove or a reboot.
#pragma once
#include <cstddef>
#include <cstdint>

struct XKWMemMapping {
    size_t size;      // bytes mapped (the whole area)
    int32_t created;  // 1 when this call sized the area, so it is all zero
};

inline constexpr int XKW_MEM_NAME_MAX = 1023;  // longer names are cut

// Open the area of that name, or create it with size + 4 bytes, and map all
// of it; returns the address or null (bad arguments or a system error in
// errno). *mapping receives what XKWMemUnmap needs.
void* XKWMemMap(const char* name, int32_t size, XKWMemMapping* mapping);

// XKWMemMap with the name "%12u" of `number`.
void* XKWMemMapNo(uint32_t number, int32_t size, XKWMemMapping* mapping);

// Unmap an area mapped by XKWMemMap; returns 0, -22 for a null address or
// mapping, -errno when the system refuses.
int32_t XKWMemUnmap(void* address, XKWMemMapping* mapping);

// Remove the area's name from the system; mappings stay valid until
// unmapped. 0, -2 when there is no such area, -errno otherwise.
int32_t XKWMemRemove(const char* name);

// The shared-memory object name for `name` behind `prefix`: "/" + prefix +
// name with "\" and "/" turned into "_"; a result longer than the system
// allows keeps its head and ends in a hash of the whole. Returns the length.
// Shared with the named mutexes so both follow one naming rule.
int32_t XKWMemObjectName(const char* prefix, const char* name, char* out, size_t size);

// Open the shared-memory object `object` (a name from XKWMemObjectName),
// creating it when `create` is set, and take its file lock, which
// serialises the sizing and initialising of an object among processes.
// Returns the descriptor or -1 with errno.
int XKWMemObjectOpen(const char* object, bool create);

// Drop the file lock and close a descriptor from XKWMemObjectOpen, keeping
// errno. The lock is dropped explicitly: a mapping of the object keeps the
// open file, and with it the lock, alive past the close.
void XKWMemObjectClose(int fd);

// Remove an object's name; 0, -2 when there is none, -errno otherwise.
int32_t XKWMemObjectRemove(const char* object);
