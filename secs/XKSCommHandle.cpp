// The library interface by handle: the session wrappers around send and
// receive, link and device states, header conversion, trace lines, error
// accessors and numbered parameters; and the message handle table, whose
// 64 slots each hold one message access block for building or reading a
// body item by item. Every wrapper checks its handle (-9) and passes the
// operation's result on unchanged.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "runtime/XKWHandle.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSComm.h"
#include "secs/XKSLib.h"
#include "secs/XKSMssg.h"

namespace {

constexpr int kMessageHandles = 64;
constexpr int32_t kHeaderWireSwap = 0x80;  // XKSConvHeader: exchange the system-byte halves too
constexpr size_t kNameSize = 32;           // matched message name of XKSMsgParseOpen

XKWHandleTable<XKSMssgBlock, kMessageHandles> messages;
// Message handles are taken and freed from many threads (callbacks,
// senders), so the table is serialised whatever the thread-safe switch says.
std::mutex message_lock;

int32_t message_alloc(XKSMssgBlock** block)
{
    std::lock_guard<std::mutex> guard(message_lock);
    return messages.Alloc(block);
}

// Release what the block holds (scratch area, definition match) and free
// its slot.
void message_free(int32_t handle)
{
    XKSMssgBlock* b = messages.Get(handle);
    if (b == nullptr)
        return;
    XKSMssgReadClose(b);
    std::lock_guard<std::mutex> guard(message_lock);
    messages.Free(handle);
}

// The owner argument of an open: with the size flag the caller's number,
// otherwise the session's acb (0 for a bad session handle).
intptr_t message_owner(int32_t mode, int32_t session)
{
    if (mode & XKS_MSSG_SIZE)
        return session;
    XKSSessionUse use(session);
    return reinterpret_cast<intptr_t>(use.acb());
}

// Take a message slot and open its block with open(block, owner); a
// failed open gives the slot back. Returns the handle or the failure.
template <class Open>
int32_t message_open(int32_t mode, int32_t session, Open&& open)
{
    intptr_t owner = message_owner(mode, session);
    if (owner == 0 && !(mode & XKS_MSSG_SIZE))
        return XKW_E_BADHANDLE;
    XKSMssgBlock* b = nullptr;
    int32_t h = message_alloc(&b);
    if (h < 0)
        return h;
    int32_t rc = open(b, owner);
    if (rc < 0) {
        message_free(h);
        return rc;
    }
    return h;
}

XKWTrace* open_trace(XKSAcb* acb, int32_t mode)
{
    XKWTrace* t = (mode & XKS_DUMP_CTRACE) ? acb->ctrace : &acb->utrace;
    return t != nullptr && t->open != 0 ? t : nullptr;
}

void copy_text(char* text, int32_t size, const char* value)
{
    if (text != nullptr && size > 0)
        XKWStrCopy(text, value, size_t(size));
}

}  // namespace

// ---- session wrappers ----

int32_t XKSRecv(int32_t handle, int32_t mode, int32_t* devid, int32_t* sf, uint32_t* xid, uint8_t* body,
                int32_t size, uint8_t* header)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    return acb != nullptr ? XKSCommRecv(acb, mode, devid, sf, xid, body, size, header) : XKW_E_BADHANDLE;
}

int32_t XKSSend(int32_t handle, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                int32_t length, uint8_t* header)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    return acb != nullptr ? XKSCommSend(acb, mode, devid, sf, xid, body, length, header) : XKW_E_BADHANDLE;
}

int32_t XKSSendId(int32_t handle, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                  int32_t length, uint8_t* header, const uint8_t* wopt, uint32_t* id)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    if (acb != nullptr)
        return XKSCommSendId(acb, mode, devid, sf, xid, body, length, header, wopt, id);
    if (id != nullptr)
        *id = 0;
    return XKW_E_BADHANDLE;
}

int32_t XKSSendEx(int32_t handle, int32_t mode, int32_t devid, int32_t sf, uint32_t xid, const uint8_t* body,
                  int32_t length, uint8_t* header, const uint8_t* wopt)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    return acb != nullptr ? XKSCommSendEx(acb, mode, devid, sf, xid, body, length, header, wopt)
                          : XKW_E_BADHANDLE;
}

int32_t XKSSendError(int32_t handle, int32_t mode, int32_t devid, int32_t sf, const uint8_t* offending,
                     uint8_t* header, uint8_t* buffer)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    return acb != nullptr ? XKSCommSendError(acb, mode, devid, sf, offending, header, buffer) : XKW_E_BADHANDLE;
}

int32_t XKSSendComment(int32_t handle, int32_t mode, const char* text, const char* file, int32_t line)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    return acb != nullptr ? XKSCommSendComment(acb, mode, text, file, line) : XKW_E_BADHANDLE;
}

int32_t XKSGetXStat(int32_t handle, int32_t /*reserved*/)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    return acb != nullptr ? XKSLoad(acb->xstat) : XKW_E_BADHANDLE;
}

int32_t XKSGetDevStat(int32_t handle, int32_t /*reserved*/, int32_t devid)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    if (acb->marker != XKS_ACB_OPEN && acb->marker != XKS_ACB_CONFIG)
        return 0;
    int32_t i = XKSLibDevIndex(acb, devid);
    if (i < 0)
        return i;
    return __atomic_load_n(&acb->cfg.devst[i], __ATOMIC_ACQUIRE);
}

int32_t XKSConvHeader(int32_t handle, int32_t mode, uint8_t* header)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    int32_t rc = XKSMssgLinkOrder(header, acb->cfg.secsmode);
    if (rc < 0)
        return rc;
    if (mode & kHeaderWireSwap) {
        uint8_t t[2];
        std::memcpy(t, header + 6, 2);
        std::memcpy(header + 6, header + 8, 2);
        std::memcpy(header + 8, t, 2);
    }
    return XKW_OK;
}

int32_t XKSTraceWrite(int32_t handle, int32_t mode, const char* text)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    XKWTrace* t = open_trace(acb, mode);
    if (text == nullptr)
        return t != nullptr ? 1 : 0;
    if (*text == '\0')
        return XKW_OK;
    if (t != nullptr)
        return XKWTraceWriteText(__FILE__, __LINE__, __func__, t, 0, 0, "DB", text);
    XKSLibPrint(XKS_PRINT_LIBRARY, "%s\n", text);
    return XKW_OK;
}

int32_t XKSGetLastError(int32_t handle)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    return acb != nullptr ? XKSLoad(acb->xerr) : XKW_E_BADHANDLE;
}

int32_t XKSGetLastStep(int32_t handle)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    return acb != nullptr ? XKSLoad(acb->xeps0) : XKW_E_BADHANDLE;
}

int32_t XKSGetErrorInfo(int32_t handle, int32_t* xerr, int32_t* xeps0)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    if (xerr != nullptr)
        *xerr = XKSLoad(acb->xerr);
    if (xeps0 != nullptr)
        *xeps0 = XKSLoad(acb->xeps0);
    return XKW_OK;
}

// Text parameters never write past size: at most size - 1 characters and
// the terminator.
int32_t XKSGetParam(int32_t handle, int32_t /*reserved*/, int32_t number, char* text, int32_t size)
{
    XKSSessionUse use(handle);
    XKSAcb* acb = use.acb();
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    if (text != nullptr && size > 0)
        std::memset(text, 0, size_t(size));
    const XKSConfig& c = acb->cfg;
    switch (number) {
    case 2: return int32_t(c.secsmode);
    case 3: return int32_t(c.devmode);
    case 4: return c.ndev;
    case 5: return c.xdev;
    case 6: return c.xmsgsize;
    case 7: return c.xtranx;
    case 19: {
        if (text == nullptr || size < 4 || c.devid == nullptr)
            return 0;
        int32_t n = std::min(size / 4, c.ndev);
        std::memcpy(text, c.devid, size_t(n) * sizeof(int32_t));
        return n;
    }
    case 20: copy_text(text, size, c.sdevice); return 0;
    case 21: copy_text(text, size, c.host); return 0;
    case 22: copy_text(text, size, acb->ahost); return 0;
    case 23: return c.port;
    case 24: return c.linkint;
    case 25: return c.xretry;
    case 31: return c.t1;
    case 32: return c.t2;
    case 33: return c.t3;
    case 34: return c.t4;
    case 35: return c.t5;
    case 36: return c.t6;
    case 37: return c.t7;
    case 38: return c.t8;
    case 40: return c.thstackusr;
    case 41: return c.thstacksys;
    case 47:
    case 58: copy_text(text, size, c.trcthost); return 0;
    case 48:
    case 59: return c.trctport;
    case 50: copy_text(text, size, c.trcdir); return 0;
    case 51: return int32_t(c.trcttype);
    case 52: return int32_t(c.trctout);
    case 53: return c.trctlevel;
    case 54: return int32_t(c.trctattr);
    case 55: return c.trctsize;
    case 70: copy_text(text, size, c.mdmssg); return 0;
    case 71: return c.mdmxitem;
    case 72: return c.mdmxmssg;
    case 73: return c.mdmxmitem;
    case 74: return c.mdmxpool;
    case 110: return XKSLoad(acb->xlen);
    case 115: return XKSLoad(acb->xerr);
    case 116: return XKSLoad(acb->xerr1);
    case 120: return XKSLoad(acb->xeps0);
    case 121: return XKSLoad(acb->xeps1);
    case 122: return XKSLoad(acb->xeps2);
    default: return 0;
    }
}

// ---- message handles ----

int32_t XKSMsgBuildOpen(int32_t mode, uint8_t* buffer, int32_t capacity, int32_t session)
{
    return message_open(mode, session, [&](XKSMssgBlock* b, intptr_t owner) {
        return XKSMssgBuildOpen(b, mode, buffer, capacity, owner);
    });
}

int32_t XKSMsgPut(int32_t handle, int32_t mode, uint8_t* buffer, int32_t format, int32_t count, const void* data)
{
    XKSMssgBlock* b = messages.Get(handle);
    return b != nullptr ? XKSMssgPutItem(b, mode, buffer, format, count, data) : XKW_E_BADHANDLE;
}

int32_t XKSMsgPutText(int32_t handle, int32_t mode, uint8_t* buffer, const char* text)
{
    XKSMssgBlock* b = messages.Get(handle);
    return b != nullptr ? XKSMssgPutText(b, mode, buffer, text) : XKW_E_BADHANDLE;
}

int32_t XKSMsgBuildClose(int32_t handle, int32_t /*reserved*/, uint8_t* /*buffer*/)
{
    XKSMssgBlock* b = messages.Get(handle);
    if (b == nullptr)
        return XKW_E_BADHANDLE;
    int32_t length = XKSMssgBuildEnd(b);
    message_free(handle);
    return length;
}

int32_t XKSMsgParseOpen(int32_t mode, const uint8_t* body, int32_t length, int32_t session, const uint8_t* header,
                        char* name)
{
    if (name != nullptr)
        name[0] = '\0';
    return message_open(mode, session, [&](XKSMssgBlock* b, intptr_t owner) {
        return XKSMssgReadOpen(b, mode, body, length, owner, header, name, name != nullptr ? kNameSize : 0);
    });
}

int32_t XKSMsgGet(int32_t handle, int32_t mode, const uint8_t* body, int32_t* format, int32_t* size,
                  int32_t* count, void* data, int32_t data_size)
{
    XKSMssgBlock* b = messages.Get(handle);
    return b != nullptr ? XKSMssgGetItem(b, mode, body, format, size, count, data, data_size) : XKW_E_BADHANDLE;
}

int32_t XKSMsgGetText(int32_t handle, int32_t mode, const uint8_t* body, int32_t* format, int32_t* count,
                      char* text, int32_t size)
{
    XKSMssgBlock* b = messages.Get(handle);
    return b != nullptr ? XKSMssgGetText(b, mode, body, format, count, text, size) : XKW_E_BADHANDLE;
}

int32_t XKSMsgParseClose(int32_t handle, int32_t /*reserved*/, const uint8_t* /*body*/)
{
    if (messages.Get(handle) == nullptr)
        return XKW_E_BADHANDLE;
    message_free(handle);
    return XKW_OK;
}

int32_t XKSMsgGetLastError(int32_t handle)
{
    XKSMssgBlock* b = messages.Get(handle);
    return b != nullptr ? b->xerr : XKW_E_BADHANDLE;
}

int32_t XKSMsgGetLastStep(int32_t handle)
{
    XKSMssgBlock* b = messages.Get(handle);
    return b != nullptr ? b->xeps : XKW_E_BADHANDLE;
}

int32_t XKSMsgGetErrorInfo(int32_t handle, int32_t* xerr, int32_t* xeps)
{
    XKSMssgBlock* b = messages.Get(handle);
    if (b == nullptr)
        return XKW_E_BADHANDLE;
    if (xerr != nullptr)
        *xerr = b->xerr;
    if (xeps != nullptr)
        *xeps = b->xeps;
    return XKW_OK;
}

int32_t XKSGetMsgBuf(int32_t handle, int32_t /*reserved*/, XKSMssgBlock** block)
{
    XKSMssgBlock* b = messages.Get(handle);
    if (block != nullptr)
        *block = b;
    return b != nullptr ? XKW_OK : XKW_E_BADHANDLE;
}

// ---- dumps ----

int32_t XKSDump(int32_t handle, int32_t flags, const char* title)
{
    switch ((flags >> 4) & 3) {
    case 0: {
        XKSSessionUse use(handle);
        XKSAcb* acb = use.acb();
        if (acb == nullptr)
            return XKW_E_BADHANDLE;
        XKSLibDumpSession(acb, flags, title);
        return XKW_OK;
    }
    case 2: {
        XKSMssgBlock* b = messages.Get(handle);
        if (b == nullptr)
            return XKW_E_BADHANDLE;
        XKSLibDumpMessage(b, flags, title);
        return XKW_OK;
    }
    case 3: {
        XKSMDTable* t = nullptr;
        if (XKSMDGetTable(handle, 0, &t) < 0)
            return XKW_E_BADHANDLE;
        // A table's dump always goes to its owner's user trace.
        XKSLibDumpTable(t, flags & ~XKS_DUMP_CTRACE, title);
        return XKW_OK;
    }
    default:
        return XKW_E_INVAL;
    }
}
