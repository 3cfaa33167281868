// Named shared memory between processes: POSIX shared-memory objects mapped
// with MAP_SHARED.
//
// Sizing is serialised with a file lock on the object instead of "create
// exclusively, then size": whoever first finds the object empty under the
// lock sizes it, so an opener never maps an object that is still empty, and
// an area whose creator died between creating and sizing it is sized by the
// next process instead of staying unusable.
#include "runtime/XKWMem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "runtime/XKWResult.h"

namespace {

constexpr size_t object_name_max = NAME_MAX;  // the object is a file in /dev/shm
constexpr size_t hash_chars = 17;             // "~" and 16 hex digits

uint64_t fnv1a(const char* text, size_t length)
{
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i) {
        h ^= static_cast<unsigned char>(text[i]);
        h *= 1099511628211ull;
    }
    return h;
}

// Name of the object for `name` (cut to the longest area name first), or -22.
int32_t object_name(const char* name, std::array<char, object_name_max + 2>& out)
{
    std::array<char, XKW_MEM_NAME_MAX + 1> cut{};
    std::snprintf(cut.data(), cut.size(), "%s", name);
    return XKWMemObjectName("", cut.data(), out.data(), out.size());
}

}  // namespace

int32_t XKWMemObjectName(const char* prefix, const char* name, char* out, size_t size)
{
    if (prefix == nullptr || name == nullptr || out == nullptr || size < object_name_max + 2)
        return XKW_E_INVAL;
    // The whole name first, so that the hash covers everything that is cut.
    std::array<char, 1 + 64 + 2 * (XKW_MEM_NAME_MAX + 1)> full{};
    size_t n = 0;
    full[n++] = '/';
    for (const char* p = prefix; *p != '\0' && n + 1 < full.size(); ++p)
        full[n++] = *p;
    for (const char* p = name; *p != '\0' && n + 1 < full.size(); ++p)
        full[n++] = (*p == '\\' || *p == '/') ? '_' : *p;
    full[n] = '\0';

    if (n - 1 <= object_name_max) {
        std::memcpy(out, full.data(), n + 1);
        return static_cast<int32_t>(n);
    }
    size_t head = 1 + object_name_max - hash_chars;
    std::memcpy(out, full.data(), head);
    std::snprintf(out + head, size - head, "~%016llx",
                  static_cast<unsigned long long>(fnv1a(full.data(), n)));
    return static_cast<int32_t>(head + hash_chars);
}

void* XKWMemMap(const char* name, int32_t size, XKWMemMapping* mapping)
{
    if (name == nullptr || size < 0 || mapping == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::array<char, object_name_max + 2> object{};
    if (object_name(name, object) < 0) {
        errno = EINVAL;
        return nullptr;
    }

    int fd = XKWMemObjectOpen(object.data(), true);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        XKWMemObjectClose(fd);
        return nullptr;
    }
    bool created = st.st_size == 0;
    size_t length = created ? static_cast<size_t>(size) + 4 : static_cast<size_t>(st.st_size);
    // A new object reads as zeros once sized: no explicit clearing needed.
    if (created && ftruncate(fd, static_cast<off_t>(length)) != 0) {
        XKWMemObjectClose(fd);
        return nullptr;
    }
    void* address = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    XKWMemObjectClose(fd);  // the mapping keeps the object alive
    if (address == MAP_FAILED)
        return nullptr;
    mapping->size = length;
    mapping->created = created ? 1 : 0;
    return address;
}

void* XKWMemMapNo(uint32_t number, int32_t size, XKWMemMapping* mapping)
{
    char name[16];
    std::snprintf(name, sizeof name, "%12u", number);
    return XKWMemMap(name, size, mapping);
}

int32_t XKWMemUnmap(void* address, XKWMemMapping* mapping)
{
    if (address == nullptr || mapping == nullptr || mapping->size == 0)
        return XKW_E_INVAL;
    if (munmap(address, mapping->size) != 0)
        return -errno;
    mapping->size = 0;
    return XKW_OK;
}

int32_t XKWMemRemove(const char* name)
{
    if (name == nullptr)
        return XKW_E_INVAL;
    std::array<char, object_name_max + 2> object{};
    if (object_name(name, object) < 0)
        return XKW_E_INVAL;
    return XKWMemObjectRemove(object.data());
}

int XKWMemObjectOpen(const char* object, bool create)
{
    int fd = shm_open(object, O_RDWR | (create ? O_CREAT : 0), 0666);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        XKWMemObjectClose(fd);
        return -1;
    }
    return fd;
}

void XKWMemObjectClose(int fd)
{
    int saved = errno;
    flock(fd, LOCK_UN);
    close(fd);
    errno = saved;
}

int32_t XKWMemObjectRemove(const char* object)
{
    if (shm_unlink(object) != 0)
        return errno == ENOENT ? XKW_E_NOTFOUND : -errno;
    return XKW_OK;
}
