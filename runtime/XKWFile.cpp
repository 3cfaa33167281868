#include "runtime/XKWFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

std::FILE* XKWFileOpenRead(const char* path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // Not blocking while it is looked at: opening a FIFO would wait for a
    // writer.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    std::FILE* f = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "rb") : nullptr;
    if (f == nullptr) {
        int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}
