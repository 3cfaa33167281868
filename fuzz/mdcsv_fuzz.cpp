// Loads arbitrary bytes as a message definition file in the CSV syntax
// (mdsml_fuzz.cpp reuses this file for the SML syntax): the table must
// stay within its capacities and every message item must refer to a
// loaded item; then the listing, and each message selected, built and its
// body matched again. The file lives in a memfd, opened by its
// /proc/self/fd name (no extension, so the open mode picks the syntax).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "secs/XKSAcb.h"
#include "secs/XKSComm.h"
#include "secs/XKSMDMssg.h"

#ifndef XKS_MDFUZZ_KIND
#define XKS_MDFUZZ_KIND 2
#define XKS_MDFUZZ_NAME "mdcsv"
#endif

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

int32_t session()
{
    static int32_t s = [] {
        XKSAcb* acb = nullptr;
        int32_t h = XKSAllocAcb(0, &acb);
        check(h > 0 && acb != nullptr);
        acb->cfg.mdmxitem = 64;
        acb->cfg.mdmxmssg = 16;
        acb->cfg.mdmxmitem = 256;
        acb->cfg.mdmxpool = 4096;
        acb->cfg.xmsgsize = 65536;
        return h;
    }();
    return s;
}

void check_table(const XKSMDTable* t)
{
    check(t->citem >= 2 && t->citem <= t->xitem);
    check(t->cmssg >= 0 && t->cmssg <= t->xmssg);
    check(t->cmitem >= 0 && t->cmitem <= t->xmitem);
    check(t->cpool >= 0 && t->cpool <= t->xpool);
    for (int32_t i = 0; i < t->citem; ++i)
        check(t->items[i].index == i);
    for (int32_t k = 0; k < t->cmitem; ++k) {
        const XKSMDMitem& mi = t->mitems[k];
        check(mi.item >= 0 && mi.item < t->citem);
        for (int v = 0; v < XKS_MD_VALUES; ++v)
            check(mi.vsize[v] == 0 ||
                  (mi.value[v] >= t->pool && mi.value[v] + mi.vsize[v] <= t->pool + t->cpool));
    }
    for (int32_t m = 0; m < t->cmssg; ++m)
        check(t->mssgs[m].ino >= 0 && t->mssgs[m].noi >= 0 && t->mssgs[m].ino + t->mssgs[m].noi <= t->cmitem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int fd = memfd_create(XKS_MDFUZZ_NAME, 0);
    static FILE* null_out = std::fopen("/dev/null", "w");
    static uint8_t body[65536];
    check(fd >= 0 && null_out != nullptr);
    check(ftruncate(fd, 0) == 0);
    check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    int32_t h = XKSMDOpen(XKS_MDFUZZ_KIND, session(), path);
    if (h <= 0)
        return 0;
    XKSMDTable* t = nullptr;
    check(XKSMDGetTable(h, 0, &t) == 0 && t != nullptr);
    check_table(t);
    XKSMDDump(h, 0, null_out);
    for (int32_t m = 0; m < t->cmssg; ++m) {
        char name[XKS_MD_NAME];
        std::snprintf(name, sizeof name, "%s", t->mssgs[m].name);
        int32_t sf = t->mssgs[m].sf;
        if (XKSMDSelect(h, 0, nullptr, sizeof body, name) != 0)
            continue;
        int32_t len = XKSMDBuild(h, 0, body);
        if (len < 0)
            continue;
        check(len <= static_cast<int32_t>(sizeof body));
        XKSMDMatch(h, 0, body, len, sf, nullptr);
        XKSMDMatchEnd(h, 0, nullptr);
    }
    check(XKSMDClose(h, 0) == h);
    return 0;
}
