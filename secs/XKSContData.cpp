// Data messages of an HSMS connection on both sides, and the messages the
// engine decides on by itself: the S9Fx error messages and Reject.req.
// Everything the engine sends of its own goes through the send queue, so
// the send thread writes it in order behind what was already waiting.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/XKWResult.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSMssg.h"
#include "secs/XKSTCP.h"
#include "secs/XKSTrace.h"

namespace {

constexpr uint32_t SM_DEVBIT15 = 0x200;
constexpr uint32_t DM_ANYDEV = 0x1;
constexpr uint32_t DM_NO_S9F1 = 0x200;
constexpr uint32_t DM_NO_S9F11 = 0x400;
constexpr uint32_t DM_NOREJECT = 0x1000;
constexpr uint32_t SM_GENERAL = 0x8000;

constexpr int32_t kSelected = 3;

// Receive-queue notifications of the S9Fx the engine sent, by function.
constexpr uint8_t kNotice[14] = {0, XKS_EV_S9F1, 0, 0, 0, 0, 0, XKS_EV_S9F7, 0, XKS_EV_S9F9, 0, XKS_EV_S9F11, 0, 0};

int32_t stream_of(const uint8_t* header)
{
    return header[2] & 0x7F;
}

void record(XKSAcb* acb, int32_t kind, const uint8_t* header, int32_t result)
{
    XKSTraceMessage(acb, kind, header, nullptr, result, 1, __FILE__, __LINE__);
}

}  // namespace

int32_t CheckReceivedData(XKSAcb* acb, const uint8_t* header)
{
    const XKSConfig& cfg = acb->cfg;
    bool ninth = stream_of(header) == 9;
    if ((cfg.devmode & DM_ANYDEV) == 0) {
        bool hsms = (cfg.secsmode & 0x1) != 0;
        int32_t id = cont_get16(header, 0);
        if (!hsms || (cfg.secsmode & SM_DEVBIT15) != 0)
            id &= 0x7FFF;
        bool listed = false;
        for (int32_t i = 0; i < cfg.ndev && !listed; ++i)
            listed = cfg.devid[i] == id;
        if (!listed) {
            record(acb, XKS_TK_ILL_DEVICE, header, XKW_E_NODEV);
            if (!ninth && (cfg.devmode & DM_NO_S9F1) == 0)
                SendErrorMessage(acb, header, 9, 1);
            return XKW_E_NODEV;
        }
    }
    if (XKSLoad(acb->xerr1) == XKS_E_TOOLONG) {
        record(acb, XKS_TK_MSSGTOOBIG, header, XKS_E_TOOLONG);
        if (!ninth && (cfg.devmode & DM_NO_S9F11) == 0)
            SendErrorMessage(acb, header, 9, 11);
        return XKS_E_TOOLONG;
    }
    return 0;
}

int32_t RecvHSMSData(XKSAcb* acb, XKSRequest* request, const uint8_t* body, int32_t length)
{
    int32_t state;
    if ((acb->cfg.secsmode & SM_GENERAL) != 0) {
        int32_t pos = cont_dev_pos(acb, cont_get16(request->header, 0));
        state = pos >= 0 ? __atomic_load_n(&acb->cfg.devst[pos], __ATOMIC_ACQUIRE) : 0;
    } else {
        state = XKSLoad(acb->xstat);
    }
    if (state != kSelected) {
        if ((acb->cfg.devmode & DM_NOREJECT) == 0)
            SendRejectMessage(acb, request->header, 4);
        return XKW_E_LENBYTES;
    }
    int32_t check = CheckReceivedData(acb, request->header);
    int32_t rc = cont_put(acb, acb->qr, XKS_REQ_DATA, check, request->header, body, length);
    return rc < 0 ? rc : check;
}

int32_t SendHSMSData(XKSAcb* acb, XKSRequest* request, const uint8_t* body)
{
    uint8_t* header = request->header;
    int32_t pos = cont_dev_pos(acb, cont_get16(header, 0));
    int32_t rc = SendHSMSCheckXStat(acb, request, pos, kSelected, kSelected);
    if (rc < 0)
        return rc;
    if (acb->cfg.srcid0 == acb->cfg.srcid1 && (header[3] & 1) != 0)
        cont_new_system(acb, header);
    rc = TXAdd(acb, header);
    if (rc < 0)
        return rc;
    int32_t n = cont_write(acb, header, body, int32_t(request->len),
                           reinterpret_cast<const XKSWriteOptions*>(request->wopt), __FILE__, __LINE__);
    // the transaction's reply timer starts now, or it is closed again
    uint8_t reply[10];
    std::memcpy(reply, header, sizeof reply);
    reply[3] = uint8_t(reply[3] + 1);
    SearchDel(acb, reply, n < 0 ? 0 : 1, nullptr, 0);
    return n < 0 ? n : 0;
}

int32_t SendErrorMessage(XKSAcb* acb, const uint8_t* header, int32_t stream, int32_t function)
{
    uint8_t s9[10] = {};
    cont_set16(s9, 0, cont_out_session(acb, cont_get16(header, 0)));
    s9[2] = uint8_t(stream);
    s9[3] = uint8_t(function);
    cont_new_system(acb, s9);
    // the MHEAD: the offending header as it was on the wire
    uint8_t mhead[10];
    std::memcpy(mhead, header, sizeof mhead);
    XKSMssgLinkOrder(mhead, acb->cfg.secsmode);
    std::unique_ptr<XKSMssgBlock, decltype(&std::free)> block(
        static_cast<XKSMssgBlock*>(std::calloc(1, sizeof(XKSMssgBlock))), &std::free);
    if (block == nullptr)
        return XKW_E_NOMEM;
    uint8_t body[32];
    int32_t rc = XKSMssgBuildOpen(block.get(), XKS_MSSG_SIZE, body, sizeof body, sizeof body);
    if (rc == 0)
        rc = XKSMssgPutItem(block.get(), 0, body, XKS_FMT_B, sizeof mhead, mhead);
    int32_t length = rc == 0 ? XKSMssgBuildEnd(block.get()) : rc;
    if (length < 0)
        return length;
    rc = cont_put(acb, acb->qd, XKS_REQ_DATA, 0, s9, body, length);
    uint8_t notice = function >= 0 && function < int32_t(sizeof kNotice) ? kNotice[function] : 0;
    if (rc >= 0 && notice != 0 && (acb->xapp == 1 || acb->xapp == 2))
        cont_put(acb, acb->qr, notice, 0, s9, body, length);
    return rc;
}

int32_t SendRejectMessage(XKSAcb* acb, const uint8_t* header, int32_t reason)
{
    return cont_put(acb, acb->qd, XKS_REQ_REJECT, reason, header, nullptr, 0);
}
