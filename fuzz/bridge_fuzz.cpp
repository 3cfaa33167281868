// Feeds arbitrary bytes to the bridge's two file readers: the bridge
// section of an INI file and the PLC fields of a message definition file.
// The input is the INI text, a NUL byte, then the definition text; the
// first byte also picks the PLC type the table reader sees (Keyence codes
// are text) and small table capacities, so that the overflow paths run.
// Both files live in memfds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWStr.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void discard(int32_t, const char*) {}

// A memfd holding data; its path goes to path (size bytes).
int memfile(const uint8_t* data, size_t size, char* path, size_t path_size)
{
    int fd = memfd_create("bridge", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    for (size_t off = 0; off < size;) {
        ssize_t n = ::write(fd, data + off, size - off);
        if (n <= 0)
            break;
        off += size_t(n);
    }
    std::snprintf(path, path_size, "/proc/self/fd/%d", fd);
    return fd;
}

bool terminated(const char* text, size_t size)
{
    return ::strnlen(text, size) < size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t flags = data[0];
    ++data;
    --size;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    size_t ini_size = nul != nullptr ? size_t(nul - data) : size;
    const uint8_t* md = nul != nullptr ? nul + 1 : data + size;
    size_t md_size = size_t(data + size - md);

    QZVQContext* ctx = QZVQGetContext();
    QZVQResetContext(ctx);
    ctx->output = discard;
    char md_path[64];
    int ini_fd = memfile(data, ini_size, ctx->plcini, sizeof ctx->plcini);
    int md_fd = memfile(md, md_size, md_path, sizeof md_path);
    XKWStrCopy(ctx->plcsect, (flags & 0x01) != 0 ? "PLC" : "", sizeof ctx->plcsect);

    check(QZVQAnalizeConfigure(ctx) == 0);
    const QZVQSettings& c = ctx->cfg;
    check(terminated(c.trcdir, sizeof c.trcdir) && terminated(c.plchost, sizeof c.plchost));
    for (const QZVQDevice* d : {&c.ssdev[0], &c.ssdev[1], &c.hsdev[0], &c.hsdev[1], &c.msdev[0], &c.msdev[1]})
        check(terminated(d->code.text, sizeof d->code.text));

    // The table reader sees the PLC type of the flags, not of the input.
    ctx->cfg.plctype = (flags & 0x02) != 0 ? QZVQ_PLC_KEYENCE : QZVQ_PLC_MELSEC;
    XKWStrCopy(ctx->lib.mdmssg, md_path, sizeof ctx->lib.mdmssg);
    ctx->lib.mdmxmssg = (flags & 0x04) != 0 ? 4 : 0;
    ctx->lib.mdmxmitem = (flags & 0x08) != 0 ? 8 : 0;
    ctx->lib.xmsgsize = (flags & 0x10) != 0 ? 64 : 65536;
    int32_t rc = QZVQAnalizeMssgDef(ctx);
    check(rc == 0 || rc == -942 || rc == -943);
    check(ctx->nmssg >= 0 && ctx->nmssg <= ctx->xmssg && ctx->nitem >= 0 && ctx->nitem <= ctx->xitem);
    int32_t items = 0;
    for (int32_t i = 0; i < ctx->nmssg; ++i) {
        const PLCMssgEntry& m = ctx->mssg[i];
        check(terminated(m.name, sizeof m.name));
        check(m.first == items && m.count >= 0);
        items += m.count;
        const PLCMssgEntry* found = QZVQFindMssg(ctx, m.name);
        check(found != nullptr && std::strcmp(found->name, m.name) == 0 && found <= &m);
    }
    check(items == ctx->nitem);
    for (int32_t i = 0; i < ctx->nitem; ++i) {
        const PLCItemEntry& it = ctx->item[i];
        check(terminated(it.name, sizeof it.name) && terminated(it.rcode.text, sizeof it.rcode.text));
        check(it.words >= 0 && (ctx->lib.xmsgsize <= 0 || it.words <= ctx->lib.xmsgsize / 2));
    }

    QZVQResetContext(ctx);
    if (ini_fd >= 0)
        ::close(ini_fd);
    if (md_fd >= 0)
        ::close(md_fd);
    return 0;
}
