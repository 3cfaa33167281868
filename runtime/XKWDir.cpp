// Directory listing with opendir/readdir, filtered by the system's own
// wildcard matcher.
#include "runtime/XKWDir.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

#include "runtime/XKWPattern.h"
#include "runtime/XKWResult.h"

int32_t XKWDirOpen(XKWDir* dir, const char* directory, const char* pattern)
{
    if (dir == nullptr)
        return XKW_E_INVAL;
    dir->handle = nullptr;
    dir->state = 0;
    dir->pattern[0] = '\0';
    if (pattern == nullptr || pattern[0] == '\0')
        pattern = "*";
    size_t len = std::strlen(pattern);
    if (len >= sizeof dir->pattern)
        return XKW_E_INVAL;
    std::memcpy(dir->pattern, pattern, len + 1);
    if (directory == nullptr || directory[0] == '\0')
        directory = ".";
    DIR* d = opendir(directory);
    if (d == nullptr)
        return errno != 0 ? -errno : XKW_E_FAIL;
    dir->handle = d;
    dir->state = 1;
    return XKW_OK;
}

int32_t XKWDirNext(XKWDir* dir, char* name_out, size_t size)
{
    if (dir == nullptr || dir->handle == nullptr)
        return XKW_E_BADHANDLE;
    if (name_out == nullptr || size == 0)
        return XKW_E_INVAL;
    name_out[0] = '\0';
    if (dir->state != 1)
        return 1;
    auto* d = static_cast<DIR*>(dir->handle);
    // Bounded by the directory itself: readdir returns every entry once.
    for (;;) {
        const dirent* e = readdir(d);
        if (e == nullptr) {
            dir->state = 0;
            return 1;
        }
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        if (XKWPatternMatch(dir->pattern, name) != 1)
            continue;
        size_t len = std::strlen(name);
        if (len >= size)
            return XKW_E_FULL;
        std::memcpy(name_out, name, len + 1);
        return XKW_OK;
    }
}

int32_t XKWDirClose(XKWDir* dir)
{
    if (dir == nullptr)
        return XKW_E_BADHANDLE;
    if (dir->handle != nullptr)
        closedir(static_cast<DIR*>(dir->handle));
    dir->handle = nullptr;
    dir->state = 0;
    return XKW_OK;
}
