// Diagnostic dumps: the state of a session, a message access block or a
// definition table, one "name = value" line per field, into the owning
// session's user trace (or its communication trace) with tag "DB", or
// through the fallback writer when that trace is not open or there is no
// owning session.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSLib.h"
#include "secs/XKSMssg.h"
#include "secs/XKSTrace.h"

namespace {

// Per-device lines take no more values once they are longer than this.
constexpr size_t kDeviceLineMax = 1280;

// Where the lines of one dump go, and how many went.
class DumpOut {
public:
    DumpOut(const XKSAcb* owner, int32_t flags)
    {
        if (owner == nullptr)
            return;
        XKWTrace* t = (flags & XKS_DUMP_CTRACE) ? owner->ctrace : const_cast<XKWTrace*>(&owner->utrace);
        trace_ = t != nullptr && t->open != 0 ? t : nullptr;
    }

    void line(const char* text)
    {
        if (trace_ != nullptr)
            XKWTraceWriteText(__FILE__, __LINE__, "XKSLibDump", trace_, 0, 0, "DB", text);
        else
            XKSLibPrint(XKS_PRINT_LIBRARY, "%s\n", text);
        ++count_;
    }

    void title(const char* text)
    {
        if (text != nullptr && *text != '\0')
            line(text);
    }

    void add(int32_t lines) { count_ += lines; }

    __attribute__((format(printf, 2, 3))) void print(const char* format, ...)
    {
        char text[XKS_PATH_SIZE + 64];
        va_list ap;
        va_start(ap, format);
        std::vsnprintf(text, sizeof text, format, ap);
        va_end(ap);
        line(text);
    }

    int32_t count() const { return count_; }

private:
    XKWTrace* trace_ = nullptr;
    int32_t count_ = 0;
};

// Fields that other threads of a session write are read atomically.
int32_t ld(const int32_t& v)
{
    return XKSLoad(v);
}
long long ld64(const int64_t& v)
{
    return __atomic_load_n(&v, __ATOMIC_ACQUIRE);
}

unsigned long long address(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}
template <class F>
unsigned long long function_address(F f)
{
    return reinterpret_cast<uintptr_t>(f);
}

uint16_t host16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// One per-device line: label, then the value of each listed device
// through put(buffer, size, index) until the line is full.
template <class Put>
void device_line(DumpOut& out, const char* label, int32_t ndev, Put put)
{
    char text[kDeviceLineMax + 64];
    size_t n = size_t(std::snprintf(text, sizeof text, "%-12s=", label));
    for (int32_t i = 0; i < ndev && n <= kDeviceLineMax; ++i) {
        if (i > 0)
            text[n++] = ',';
        n += size_t(put(text + n, sizeof text - n, i));
    }
    text[n] = '\0';
    out.line(text);
}

void device_bytes(DumpOut& out, const char* label, int32_t ndev, const uint8_t* values)
{
    device_line(out, label, ndev, [values](char* p, size_t size, int32_t i) {
        return std::snprintf(p, size, "%2d", __atomic_load_n(&values[i], __ATOMIC_ACQUIRE));
    });
}

void dump_fields(DumpOut& out, XKSAcb* acb)
{
    const XKSConfig& c = acb->cfg;
    out.print("ndev        =%8d", c.ndev);
    out.print("ahost       = \"%s\"", acb->ahost);
    out.print("tsrcv       =%12lld", ld64(acb->tsrcv));
    out.print("fshut       =%8d", ld(acb->fshut));
    out.print("fexit       =%8d", ld(acb->fexit));
    out.print("sexec       =  0x%04x", unsigned(ld(acb->sexec)));
    out.print("xlen        =%8d", ld(acb->xlen));
    out.print("xerr,xerr1  =%8d,%8d", ld(acb->xerr), ld(acb->xerr1));
    out.print("xeps0,1,2   =%8d,%8d,%8d", ld(acb->xeps0), ld(acb->xeps1), ld(acb->xeps2));
    out.print("alkf        =%8d", ld(acb->alkf));
    out.print("omode       =  0x%04x", unsigned(acb->omode));
    out.print("xapp        =  0x%04x", unsigned(acb->xapp));
    out.print("xmode       =  0x%04x", unsigned(acb->xmode));
    out.print("xstat,ss,us =%2d,%2d,%2d", ld(acb->xstat), ld(acb->ss), ld(acb->us));
    if (c.ndev > 0 && c.devst != nullptr) {
        device_bytes(out, "devst", c.ndev, c.devst);
        device_bytes(out, "devss", c.ndev, c.devss);
        device_bytes(out, "devud", c.ndev, c.devud);
        device_line(out, "devtm", c.ndev, [&c](char* p, size_t size, int32_t i) {
            return std::snprintf(p, size, "%12lld", ld64(c.devtm[i]));
        });
    }
    out.print("udnctm      =%12lld", ld64(acb->udnctm));
    out.print("pid,0,1     =%12ld,%12lu,%12lu", long(getpid()),
              static_cast<unsigned long>(__atomic_load_n(&acb->cbthr[0], __ATOMIC_ACQUIRE)),
              static_cast<unsigned long>(__atomic_load_n(&acb->cbthr[1], __ATOMIC_ACQUIRE)));
    out.print("cbrecv      =0x%08llx,%08llx", function_address(acb->cbrecv), address(acb->cbrecvarg));
    out.print("cbsend      =0x%08llx,%08llx", function_address(acb->cbsend), address(acb->cbsendarg));
    out.print("fnctrc      =0x%08llx,%08llx", function_address(acb->tcb), address(acb->tcbarg));
    out.print("sd                  =%4d", acb->sd);
    out.print("ccb.sd,port         =%4d,%6d", acb->ccb.entry[0].socket, acb->ccb.entry[0].port);
    out.print("ncb.sd,port,host    =%4d,%6d,%s", acb->ncb.socket, acb->ncb.port, acb->ncb.name);
    int32_t tsd = 0;
    int32_t tport = 0;
    char thost[XKS_NAME_SIZE];
    XKSTraceStreamInfo(acb, &tsd, &tport, thost, sizeof thost);
    out.print("tcb.sd,port,host    =%4d,%6d,%s", tsd, tport, thost);
    out.print("trcsd               =%4d", acb->trcsd);
    out.print("ssh1,2      =%6d,%5d", acb->ssh1, acb->ssh2);
    const uint8_t* h = acb->sshd;
    out.print("sshd        =0x%04hx  0x%02x.%02x  %3u.%3u  0x%04hx.%04hx", host16(h), h[2], h[3], h[4], h[5],
              host16(h + 6), host16(h + 8));
    out.print("ssdt        =0x%08llx", address(acb->ssdt));
    out.print("sblk        =%12d", acb->sblk);
    out.print("slen        =%12d", acb->slen);
    out.print("sxln        =%12d", acb->sxln);
    out.print("xdir        = \"%s\"", c.xdir);
    out.print("xini        = \"%s\"", c.xini);
    out.print("xsect       = \"%s\"", c.xsect);
    out.print("xfa,xlt     =%12lld,%12lld", static_cast<long long>(acb->xfa), static_cast<long long>(acb->xlt));
    // Kept in nanoseconds; shown as the file's time in seconds.
    out.print("xmtime      =%12lld", static_cast<long long>(c.xmtime / 1000000000));
    out.print("xfd         =%12d", acb->xfd);
    out.print("xopt0       =  0x%08x", acb->xopt0);
    out.print("tmoperr     =%12d", acb->tmoperr);
    out.print("tmopmsg     = \"%s\"", acb->tmopmsg);
    out.print("xid         =  0x%08x", unsigned(acb->xid));
    out.print("xtx         =%12d", acb->xtx);
    out.print("umask       =  0x%08x", acb->umask);
    out.print("uexit       =%12d", ld(acb->uexit));
}

}  // namespace

int32_t XKSLibDumpSession(XKSAcb* acb, int32_t flags, const char* title)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    DumpOut out(acb, flags);
    out.title(title);
    if (!(flags & 0x01)) {
        out.add(XKSLibDumpConfig(acb, uint32_t(flags & XKS_DUMP_CTRACE)));
        if (flags & 0x02)
            return out.count();
    }
    dump_fields(out, acb);
    return out.count();
}

int32_t XKSLibDumpMessage(const XKSMssgBlock* block, int32_t flags, const char* title)
{
    if (block == nullptr)
        return XKW_E_INVAL;
    DumpOut out(static_cast<const XKSAcb*>(block->session), flags);
    out.title(title);
    int32_t op;
    std::memcpy(&op, block->magic, sizeof op);
    out.print("op          =%12d", op);
    out.print("xmsgsize    =%12d", block->xmsgsize);
    out.print("xerr ,xeps  =%12d,%12d", block->xerr, block->xeps);
    out.print("mbl  ,mbp   =%12d,%12d", block->size, block->position);
    // The scratch area, the definition cursor and the list depth.
    out.print("mpl  ,mpp   =%12d,%12d", block->scratch_size, block->definition);
    out.print("mpd         =%12d", block->depth);
    out.print("lform,lnop  =       0o%03o,%12d", unsigned(block->last_format & 0xFF), block->last_lenbytes);
    out.print("lnx  ,lnp   =%12d,%12d", block->last_count, block->last_position);
    out.print("lusz ,llen  =%12d,%12d", block->last_elsize, block->last_length);
    return out.count();
}

int32_t XKSLibDumpTable(const XKSMDTable* table, int32_t flags, const char* title)
{
    if (table == nullptr)
        return XKW_E_INVAL;
    DumpOut out(table->owner, flags);
    out.title(title);
    const XKSMDTable& t = *table;
    out.print("op          =%12d", int32_t(t.op));
    out.print("secsmode    =  0x%08x", unsigned(t.secsmode));
    out.print("devmode     =  0x%08x", unsigned(t.devmode));
    out.print("xmsgsize    =%12d", t.xmsgsize);
    out.print("x,citem     =%12d,%12d", t.xitem, t.citem);
    out.print("x,cmssg     =%12d,%12d", t.xmssg, t.cmssg);
    out.print("x,cmitem    =%12d,%12d", t.xmitem, t.cmitem);
    out.print("x,cpool     =%12d,%12d", t.xpool, t.cpool);
    out.print("xlen ,ment  =%12d,%12d", t.xlen, t.ment);
    out.print("mitem,mmitem=%12d,%12d", t.mitem, t.mmitem);
    out.print("mpool       =%12d", t.mpool);
    out.print("aitem,amitem=%12d,%12d", t.aitem, t.amitem);
    out.print("apool       =%12d", t.apool);
    out.print("pip  ,xlkf  =%12d,%12d", t.pip, t.xlkf);
    return out.count();
}
