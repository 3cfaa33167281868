// Library sessions: the process-wide session handle table.
#include "secs/XKSComm.h"

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
