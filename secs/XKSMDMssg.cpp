// Message definitions: table allocation, definition handles, the lock
// protocol shared by building and matching, the tables inside an access
// control block with the codec hooks that name messages in traces, and
// the table listing. The loader, the build and the match live in
// XKSMDLoad.cpp, XKSMDBuild.cpp and XKSMDMatch.cpp.
#include "secs/XKSMDMssg.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "runtime/XKWHandle.h"
#include "runtime/XKWPath.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"
#include "secs/XKSAcb.h"
#include "secs/XKSComm.h"
#include "secs/XKSMDInternal.h"
#include "secs/XKSMssg.h"

namespace {

XKWHandleTable<XKSMDTable, XKS_MD_HANDLES> tables;
// Taking and freeing definition handles is always serialised, whatever
// the runtime's thread-safe switch says: sessions open their tables from
// several threads.
std::mutex handle_lock;

void release(XKSMDTable* t, int32_t mode)
{
    if (t->op != XKS_ACB_OPEN && t->items == nullptr)
        return;
    if (t->haslock) {
        if (t->xlkf != 0 && !(mode & XKS_MD_LOCK))
            XKWLockLeave(&t->lock);
        XKWLockDelete(&t->lock);
    }
    delete[] t->items;
    delete[] t->mssgs;
    delete[] t->mitems;
    delete[] t->pool;
    delete[] t->stage;
    delete t->mb;
    std::memset(static_cast<void*>(t), 0, sizeof *t);
}

// Syntax of a file: its extension when that is ".sml" or ".csv" (any
// case; only extensions shorter than 7 characters with the dot count),
// else the kind given.
int32_t file_kind(const char* file, int32_t kind)
{
    const char* ext = XKWPathExt(file);
    size_t n = std::strlen(ext);
    if (n > 0 && n + 1 < 7) {
        char low[8];
        for (size_t i = 0; i <= n; ++i)
            low[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(ext[i])));
        if (std::strcmp(low, "sml") == 0)
            return 1;
        if (std::strcmp(low, "csv") == 0)
            return XKS_MD_KIND_CSV;
    }
    return (kind & XKS_MD_KIND) == XKS_MD_KIND_CSV ? XKS_MD_KIND_CSV : 1;
}

int32_t session_msgsize(const void* acb)
{
    return static_cast<const XKSAcb*>(acb)->cfg.xmsgsize;
}

constexpr XKSMssgHooks kHooks = {session_msgsize, md_trace_lookup, md_trace_release, md_trace_next};

// ---- Listing ----

// Maximum as listed: 0 for an unbounded list.
int32_t listed_max(const XKSMDItem& it)
{
    return md_is_list(it) && it.max == XKS_MD_UNBOUNDED ? 0 : it.max;
}

const char* range_separator(const XKSMDItem& it)
{
    return (it.flags & XKS_MD_ALTLIST) ? "| " : "..";
}

bool shows_as_text(const XKSMDItem& it)
{
    return XKSMssgIsText(it.form) || (it.flags & XKS_MD_FILEITEM) || std::strncmp(it.name, "@FILE", 5) == 0;
}

template <class T>
T element(const uint8_t* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void print_value(FILE* out, const XKSMDItem& it, const uint8_t* v, int32_t size)
{
    if (shows_as_text(it)) {
        const void* nul = std::memchr(v, '\0', static_cast<size_t>(size));
        int len = nul != nullptr ? static_cast<int>(static_cast<const uint8_t*>(nul) - v) : size;
        std::fprintf(out, "%.*s.", len, reinterpret_cast<const char*>(v));
        return;
    }
    int32_t sz = std::max(it.sz, 1);
    for (int32_t off = 0; off + sz <= size; off += sz) {
        if (off > 0)
            std::fputc(',', out);
        const uint8_t* p = v + off;
        switch (it.form & 0xFF) {
        case XKS_FMT_B: std::fprintf(out, "0x%02x", *p); break;
        case XKS_FMT_T: std::fputs(*p ? "T " : "F ", out); break;
        case XKS_FMT_I1: std::fprintf(out, "%d", element<int8_t>(p)); break;
        case XKS_FMT_I2: std::fprintf(out, "%hd", element<int16_t>(p)); break;
        case XKS_FMT_I4: std::fprintf(out, "%d", element<int32_t>(p)); break;
        case XKS_FMT_I8: std::fprintf(out, "%" PRId64, element<int64_t>(p)); break;
        case XKS_FMT_U1: std::fprintf(out, "%d", *p); break;
        case XKS_FMT_U2: std::fprintf(out, "%hu", element<uint16_t>(p)); break;
        case XKS_FMT_U4: std::fprintf(out, "%u", element<uint32_t>(p)); break;
        case XKS_FMT_U8: std::fprintf(out, "%" PRIu64, element<uint64_t>(p)); break;
        case XKS_FMT_F8: std::fprintf(out, "%21.14le", element<double>(p)); break;
        case XKS_FMT_F4: std::fprintf(out, "%13.6e", static_cast<double>(element<float>(p))); break;
        default: std::fprintf(out, "0x%02x", *p); break;
        }
    }
}

// The label of a message item: the name of a data item; for a list its
// count or range, then "," and the list's name when it has one.
void item_label(const XKSMDItem& it, const XKSMDMitem& mi, char* out, size_t size)
{
    if (!md_is_list(it)) {
        XKWStrCopy(out, it.name, size);
        return;
    }
    if (mi.item == 0 || it.min == it.max)  // working copies of fixed lists keep their count
        std::snprintf(out, size, "L,%d", mi.count);
    else if (it.min == 0 && it.max == XKS_MD_UNBOUNDED)
        std::snprintf(out, size, "L,N");
    else
        std::snprintf(out, size, "L,%d%s%d", it.min, (it.flags & XKS_MD_ALTLIST) ? "|" : "..", it.max);
    if (it.name[0] != '\0') {
        XKWStrCat(out, ",", size);
        XKWStrCat(out, it.name, size);
    }
}

void print_message(FILE* out, const XKSMDTable* t, int32_t index, const XKSMDMessage& m)
{
    std::fprintf(out, "%4d:%-18s ( mno) e dp sf  :0x%04x  at:0x%02x   noi:%6d ino:%4d\n", index, m.name, m.sf, m.at,
                 m.noi, m.ino);
    for (int32_t k = 0; k < m.noi; ++k) {
        int32_t at = m.ino + k;
        if (at < 0 || at >= t->xmitem)
            break;
        const XKSMDMitem& mi = t->mitems[at];
        if (mi.item < 0 || mi.item >= t->xitem)
            continue;
        const XKSMDItem& it = t->items[mi.item];
        char label[96];
        item_label(it, mi, label, sizeof label);
        std::fprintf(out, "  %4d:%-16s (%4d) %s %2d form:%2d.%03o  sz:%2d  nop:%2d:%2d%s%2d nol:%4d", k, label, mi.item,
                     mi.excluded ? "X" : " ", mi.dp, (it.form >> 16) & 0xFFFF, it.form & 0xFFFF, it.sz, mi.count,
                     it.min, range_separator(it), listed_max(it), mi.vsize[0]);
        if (!md_is_list(it) && mi.vsize[0] > 0 && mi.value[0] != nullptr) {
            std::fputs(" >", out);
            print_value(out, it, mi.value[0], mi.vsize[0]);
        }
        std::fputc('\n', out);
        for (int v = 1; v < XKS_MD_VALUES; ++v) {
            if (md_is_list(it) || mi.vsize[v] <= 0 || mi.value[v] == nullptr)
                continue;
            std::fprintf(out, "%76s >", "");
            print_value(out, it, mi.value[v], mi.vsize[v]);
            std::fputc('\n', out);
        }
    }
}

}  // namespace

// ---- Helpers shared by the module ----

XKSMDTable* md_get(int32_t handle)
{
    XKSMDTable* t = tables.Get(handle);
    return t != nullptr && t->op == XKS_ACB_OPEN ? t : nullptr;
}

void md_take(XKSMDTable* t, int32_t mode, int32_t holder)
{
    if ((mode & XKS_MD_LOCK) || !t->haslock)
        return;
    XKWLockEnter(&t->lock, 0);
    // Only the holder can get here while xlkf is set: keep one level.
    if (t->xlkf != 0)
        XKWLockLeave(&t->lock);
    t->xlkf = holder;
}

void md_give(XKSMDTable* t, int32_t mode, int32_t holder)
{
    if ((mode & XKS_MD_LOCK) || !t->haslock || t->xlkf != holder)
        return;
    t->xlkf = 0;
    XKWLockLeave(&t->lock);
}

void md_reset(XKSMDTable* t)
{
    t->xlen = 0;
    t->ment = 0;
    t->pip = 0;
    t->ncounts = 0;
    t->mitem = t->aitem = t->citem;
    t->mmitem = t->amitem = t->cmitem;
    t->mpool = t->apool = t->cpool;
    t->cur = XKSMDMessage{};
    t->matched = XKSMDMessage{};
}

int64_t md_entries(const XKSMDTable* t, const XKSMDMitem& m)
{
    const XKSMDItem& it = t->items[m.item];
    if (m.item == 0 || it.min == it.max)
        return std::max(m.count, 0);
    if (it.flags & XKS_MD_ALTLIST)
        return std::max(it.max, 0);
    return std::max(m.count, 1);
}

int32_t md_skip(const XKSMDTable* t, int32_t d, int64_t subtrees, int32_t end)
{
    while (subtrees > 0 && d < end) {
        --subtrees;
        const XKSMDMitem& m = t->mitems[d];
        if (m.item >= 0 && m.item < t->citem && md_is_list(t->items[m.item]))
            subtrees += md_entries(t, m);
        ++d;
    }
    return d;
}

int32_t md_find_message(const XKSMDTable* t, const char* name)
{
    if (name == nullptr)
        return XKW_E_NOTFOUND;
    char want[XKS_MD_NAME];
    XKWStrCopy(want, name, sizeof want);
    XKWStrUpper(want);
    for (int32_t i = 0; i < t->cmssg; ++i)
        if (std::strcmp(t->mssgs[i].name, want) == 0)
            return i;
    return XKW_E_NOTFOUND;
}

void md_instance_name(char* out, const char* name, int32_t n)
{
    if (n > 0)
        std::snprintf(out, XKS_MD_NAME, "%s:%d", name, n);
    else
        XKWStrCopy(out, name, XKS_MD_NAME);
}

// ---- Tables ----

int32_t XKSMDLoad(XKSMDTable* t, const XKSAcb* acb, const char* file, int32_t kind, bool lock)
{
    if (t == nullptr || acb == nullptr)
        return XKW_E_INVAL;
    release(t, 0);
    if (file == nullptr || file[0] == '\0')
        file = acb->cfg.mdmssg;
    if (file[0] == '\0')
        return XKW_E_NOTFOUND;

    t->owner = acb;
    XKWStrCopy(t->file, file, sizeof t->file);
    t->secsmode = static_cast<int32_t>(acb->cfg.secsmode);
    t->devmode = static_cast<int32_t>(acb->cfg.devmode);
    t->xmsgsize = acb->cfg.xmsgsize;
    t->xitem = std::max(acb->cfg.mdmxitem, 2);  // room for the two preset items
    t->xmssg = std::max(acb->cfg.mdmxmssg, 0);
    t->xmitem = std::max(acb->cfg.mdmxmitem, 0);
    t->xpool = std::max(acb->cfg.mdmxpool, 0);
    t->items = new (std::nothrow) XKSMDItem[static_cast<size_t>(t->xitem)]();
    t->mssgs = new (std::nothrow) XKSMDMessage[static_cast<size_t>(t->xmssg)]();
    t->mitems = new (std::nothrow) XKSMDMitem[static_cast<size_t>(t->xmitem)]();
    t->pool = new (std::nothrow) uint8_t[static_cast<size_t>(t->xpool)]();
    t->stage = new (std::nothrow) uint8_t[XKS_MD_STAGE];
    t->mb = new (std::nothrow) XKSMssgBlock();
    int32_t rc = XKW_E_NOMEM;
    if (t->items != nullptr && t->mssgs != nullptr && t->mitems != nullptr && t->pool != nullptr &&
        t->stage != nullptr && t->mb != nullptr)
        rc = md_load_file(t, t->file, file_kind(t->file, kind));
    if (rc >= 0 && lock) {
        if (XKWLockInit(&t->lock) < 0)
            rc = XKW_E_NOMEM;
        else
            t->haslock = 1;
    }
    if (rc < 0) {
        release(t, 0);
        return rc;
    }
    md_reset(t);
    t->op = XKS_ACB_OPEN;
    return XKW_OK;
}

void XKSMDFree(XKSMDTable* t)
{
    if (t != nullptr)
        release(t, 0);
}

int32_t XKSMDLoadAcb(XKSAcb* acb, int32_t which)
{
    if (acb == nullptr || which < 0 || which > 1)
        return XKW_E_INVAL;
    static std::once_flag hooks_once;
    std::call_once(hooks_once, [] { XKSMssgSetHooks(&kHooks); });
    if (acb->md[which].op == XKS_ACB_OPEN)
        return XKW_OK;
    // Both tables serve several threads (the application's callbacks, the
    // engine's reading and sending threads), so both get their lock.
    return XKSMDLoad(&acb->md[which], acb, nullptr, static_cast<int32_t>(acb->cfg.trcttype >> 8) & XKS_MD_KIND,
                     true);
}

int32_t XKSMDOpen(int32_t mode, int32_t session, const char* file)
{
    XKSAcb* acb = nullptr;
    if (XKSGetAcb(session, 0, &acb) < 0)
        return XKW_E_BADHANDLE;
    XKSMDTable* t = nullptr;
    int32_t h;
    {
        std::lock_guard<std::mutex> g(handle_lock);
        h = tables.Alloc(&t);
    }
    if (h < 0)
        return h;
    int32_t rc = XKSMDLoad(t, acb, file, mode & XKS_MD_KIND, (mode & XKS_MD_LOCK) != 0);
    if (rc < 0) {
        std::lock_guard<std::mutex> g(handle_lock);
        tables.Free(h);
        return rc;
    }
    return h;
}

int32_t XKSMDClose(int32_t handle, int32_t mode)
{
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    release(t, mode);
    std::lock_guard<std::mutex> g(handle_lock);
    tables.Free(handle);
    return handle;
}

int32_t XKSMDGetTable(int32_t handle, int32_t /*reserved*/, XKSMDTable** table)
{
    XKSMDTable* t = md_get(handle);
    if (table != nullptr)
        *table = t;
    return t != nullptr ? XKW_OK : XKW_E_BADHANDLE;
}

int32_t XKSMDDump(int32_t handle, int32_t mode, FILE* out)
{
    const XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    if (out == nullptr)
        out = stdout;
    std::fprintf(out, "\n[TABLE SIZE]\n");
    std::fprintf(out, "#of item         :%8d ..%8d,%8d\n", t->citem, t->mitem, t->aitem);
    std::fprintf(out, "#of messgae      :%8d\n", t->cmssg);
    std::fprintf(out, "#of message item :%8d ..%8d,%8d\n", t->cmitem, t->mmitem, t->amitem);
    std::fprintf(out, "#of pool bytes   :%8d ..%8d,%8d\n", t->cpool, t->mpool, t->apool);
    int32_t which = mode & 3;
    if (which == 0) {
        std::fprintf(out, "\n[ITEM]\n");
        for (int32_t i = 0; i < t->citem; ++i) {
            const XKSMDItem& it = t->items[i];
            std::fprintf(out, "%4d:%-30s form:%2d.%03o   sz:%d  nop:%5d%s%2d\n", it.index, it.name,
                         (it.form >> 16) & 0xFFFF, it.form & 0xFFFF, it.sz, it.min, range_separator(it),
                         listed_max(it));
        }
    }
    std::fprintf(out, "\n[MSSG(%d)]\n", which);
    if (which == 0) {
        for (int32_t i = 0; i < t->cmssg; ++i) {
            if (i > 0)
                std::fputc('\n', out);
            print_message(out, t, i, t->mssgs[i]);
        }
    } else if (which == 1 && t->cur.name[0] != '\0') {
        print_message(out, t, t->ment, t->cur);
    } else if (which == 2 && t->matched.name[0] != '\0') {
        print_message(out, t, std::max(md_find_message(t, t->matched.name), 0), t->matched);
    }
    std::fflush(out);
    return XKW_OK;
}
