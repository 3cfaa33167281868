// The bridge's control block.
#include "bridge/QZVAppQ.h"

#include <cstdlib>
#include <cstring>

namespace {

QZVQContext context;

}  // namespace

QZVQContext* QZVQGetContext()
{
    return &context;
}

void QZVQResetContext(QZVQContext* ctx)
{
    std::free(ctx->mssg);
    std::free(ctx->item);
    std::memset(static_cast<void*>(ctx), 0, sizeof *ctx);
    for (int32_t& s : ctx->seen)
        s = -1;
    QZVQQueueReset();
}
