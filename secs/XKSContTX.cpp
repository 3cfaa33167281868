// The engine's transaction table: open requests and their reply timers.
#include "secs/XKSContInternal.h"

int32_t ContT3TO(XKSAcb* acb)
{
    return acb != nullptr && acb->res != nullptr && acb->res->tx != nullptr ? acb->xtx : 0;
}
