// Loads arbitrary bytes as the library INI file: the two passes over the
// three sections, the re-read, the settings listing into an identification
// list, the device lookup and the transaction sequence. The listing must
// hold every line and each line must stay within its slot. The first byte
// picks the section asked for. The file lives in a memfd, opened by its
// /proc/self/fd name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "secs/XKSLib.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

int memfd()
{
    static int fd = memfd_create("libconfig", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    static const char* const sections[] = {"XKS", "DEFAULT", "SECSCOMMON", "xks"};
    const char* section = sections[data[0] % 4];
    int fd = memfd();
    check(fd >= 0);
    check(ftruncate(fd, 0) == 0);
    check(pwrite(fd, data + 1, size - 1, 0) == ssize_t(size - 1));
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    static XKSAcb acb;
    check(XKSLibReadConfig(&acb, path, section) == 0);
    check(acb.cfg.xdev >= 1 && acb.cfg.ndev <= acb.cfg.xdev);
    for (int32_t i = 0; i < acb.cfg.ndev; ++i)
        check(XKSLibDevIndex(&acb, acb.cfg.devid[i]) >= 0);
    int32_t x = XKSLibNextXid(&acb, acb.cfg.xidmax);
    check(x == acb.cfg.xidmin);
    check(XKSLibRereadConfig(&acb) == 0);

    static char lines[127][XKS_LINE_SIZE];
    acb.idlines = lines;
    acb.nidlines = 127;
    check(XKSLibDumpConfig(&acb, XKS_DUMP_TRACE_ONLY) == 66);
    for (auto& line : lines)
        check(std::memchr(line, '\0', sizeof line) != nullptr);
    XKSLibFreeConfig(&acb);
    return 0;
}
