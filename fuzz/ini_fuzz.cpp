// Walks arbitrary bytes as an INI file: every entry with or without a
// wanted section, in one of the modes DEFAULT, COMMON and environment
// expansion, with full and tiny output buffers; lookups; the value-list
// splitter and the number readers on every value; and an update of a copy
// of the file, which must succeed and read back. The first byte picks the
// process character code, the section and the mode. The file lives in a
// memfd; the update's copy (it needs a real name for its temporary file)
// in /dev/shm under the process id.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/XKWCode.h"
#include "runtime/XKWIni.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWText.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void use_value(const char* value)
{
    char item[8];
    const char* p = value;
    // Every item consumes at least one byte of the value.
    for (size_t i = 0; i <= std::strlen(value) && XKWIniItem(&p, item, sizeof item) >= 0; ++i)
        check(std::strlen(item) < sizeof item);
    check(XKWIniItem(&p, item, sizeof item) == XKW_E_NOMORE);
    (void)XKWTextToInt(value, 0);
    (void)XKWTextToUInt(value, 0);
    (void)XKWTextToReal(value, 0);
    int32_t iv[4];
    uint32_t uv[4];
    int64_t lv[4];
    double dv[4];
    check(XKWTextToIntList(value, -1, iv, 4) <= 4);
    check(XKWTextToUIntList(value, 1, uv, 4) <= 4);
    check(XKWTextToInt64List(value, -1, lv, 4) <= 4);
    check(XKWTextToRealList(value, 0.5, dv, 4) <= 4);
}

void walk(const char* path, const char* section, int32_t mode, size_t ssize, size_t ksize, size_t vsize,
          size_t input)
{
    XKWIni ini{};
    check(XKWIniOpen(&ini, path, section) == 0);
    check(XKWIniSetMode(&ini, mode) == 0);
    // Exact-size heap areas, so that any write past a size is caught.
    auto* s = static_cast<char*>(std::malloc(ssize));
    auto* k = static_cast<char*>(std::malloc(ksize));
    auto* v = static_cast<char*>(std::malloc(vsize));
    // Every entry takes at least one line of the file.
    size_t n = 0;
    while (XKWIniNext(&ini, s, ssize, k, ksize, v, vsize) == 0) {
        check(++n <= input);
        check(std::strlen(s) < ssize && std::strlen(k) < ksize && std::strlen(v) < vsize && k[0] != '\0');
        use_value(v);
    }
    check(XKWIniNext(&ini, s, ssize, k, ksize, v, vsize) == XKW_E_NOMORE);
    std::free(s);
    std::free(k);
    std::free(v);
    check(XKWIniClose(&ini) == 0);
}

bool write_all(int fd, const uint8_t* data, size_t size)
{
    return ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = memfd_create("xkw_ini_fuzz", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    static const std::string copy = "/dev/shm/xkw_ini_fuzz." + std::to_string(getpid()) + ".ini";
    static const bool env = setenv("S", "expanded", 1) == 0 && setenv("BIG", std::string(3000, 'b').c_str(), 1) == 0;
    check(fd >= 0 && env);
    if (size > (1 << 16))
        return 0;
    check(write_all(fd, data, size));
    XKWCodeSet(size > 0 ? data[0] % 3 : XKW_CODE_SJIS);

    // The first byte also picks the wanted section and the mode, so that the
    // fuzzer spends its time on many inputs rather than on every mode of one.
    static const char* const sections[] = {nullptr, "S", "DEFAULT"};
    static const int32_t modes[] = {0, XKW_INI_DEFAULT, XKW_INI_DEFAULT | XKW_INI_COMMON,
                                    XKW_INI_DEFAULT | XKW_INI_ENV};
    const uint8_t pick = size > 0 ? data[0] : 0;
    walk(path.c_str(), sections[pick / 3 % 3], modes[pick / 9 % 4], XKW_INI_SECTION, XKW_INI_KEY, XKW_INI_VALUE,
         size);
    walk(path.c_str(), nullptr, XKW_INI_ENV | XKW_INI_COMMON, 3, 2, 1, size);
    walk(path.c_str(), "S", XKW_INI_ENV, 9, 5, 7, size);

    char value[XKW_INI_VALUE];
    for (int32_t mode : {0, XKW_INI_DEFAULT | XKW_INI_COMMON | XKW_INI_ENV}) {
        int32_t rc = XKWIniGetEx(path.c_str(), "S", "K", value, sizeof value, mode);
        check((rc == 0 || (rc == XKW_E_NOTFOUND && value[0] == '\0')) && std::strlen(value) < sizeof value);
    }

    // An update of any file succeeds, leaves no temporary file and reads back.
    int cfd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(cfd >= 0 && write_all(cfd, data, size));
    close(cfd);
    check(XKWIniPut(copy.c_str(), "FZ", "FKey", "v1 x") == 0);
    check(access((copy + ".tmp").c_str(), F_OK) != 0);
    check(XKWIniGetEx(copy.c_str(), "fz", "fkey", value, sizeof value, 0) == 0 && std::strcmp(value, "v1 x") == 0);
    unlink(copy.c_str());

    XKWCodeSet(XKW_CODE_SJIS);
    return 0;
}
