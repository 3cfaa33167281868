// Library sessions: the process-wide session handle table.
#include "secs/XKSComm.h"

#include "runtime/XKNSocket.h"
#include "runtime/XKWHandle.h"
#include "runtime/XKWResult.h"
#include "secs/XKSLib.h"

namespace {

XKWHandleTable<XKSAcb, XKS_SESSION_HANDLES> sessions;

}  // namespace

int32_t XKSAllocAcb(int32_t /*reserved*/, XKSAcb** acb)
{
    return sessions.Alloc(acb);
}

int32_t XKSFreeAcb(int32_t handle, int32_t /*reserved*/)
{
    XKSAcb* acb = sessions.Get(handle);
    if (acb == nullptr)
        return XKW_E_BADHANDLE;
    for (XKSMDTable& t : acb->md)
        XKSMDFree(&t);
    XKSLibFreeConfig(acb);
    return sessions.Free(handle);
}

int32_t XKSGetAcb(int32_t handle, int32_t /*reserved*/, XKSAcb** acb)
{
    XKSAcb* p = sessions.Get(handle);
    if (acb != nullptr)
        *acb = p;
    return p != nullptr ? XKW_OK : XKW_E_BADHANDLE;
}

int32_t XKSCommNormalize(int32_t result)
{
    switch (result) {
    case -10065:
    case -10064:
    case -10061:
    case XKW_E_TIMEOUT:
        return -238;
    case XKN_E_CONNRESET:
    case XKW_E_CONNECT:
        return -239;
    case -10053:
    case XKW_E_CLOSED:
        return -232;
    case -10050:
    case -116:
        return -228;
    case XKN_E_ADDRINUSE:
    case -100:
        return -226;
    case -10024:
        return XKW_E_FULL;
    case -10013:
        return -13;
    case -134:
        return -61;
    case XKW_E_NOMORE:
        return XKS_E_NODATA;
    case -40:
        return -251;
    default:
        return result;
    }
}
