// Feeds arbitrary bytes to the SECS-I block receiver: the input is written
// into one end of a stream socket pair (a line over TCP), which is then
// shut for writing, and messages are read from the other end until the
// receiver reports the end of the engine. Nothing waits: every byte is
// buffered, and the end of the input is an end of stream. A trace callback
// sets fexit as soon as the receiver has traced a line after taking the
// last byte, which every path does, so the idle wait for ENQ ends too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/fuzz_link.h"
#include "runtime/XKWTrace.h"
#include "secs/XKS232C.h"
#include "secs/XKSLib.h"

namespace {

constexpr size_t kMaxInput = 16384;  // well inside the socket buffer
constexpr int32_t kMsgSize = 600;    // the assembly limit: two and a half blocks
constexpr int32_t kBody = 300;       // the caller's buffer: smaller still

int line_fd = -1;

void on_trace(const XKSTraceRecord*, void* argument)
{
    auto* acb = static_cast<XKSAcb*>(argument);
    int waiting = 0;
    if (ioctl(line_fd, FIONREAD, &waiting) != 0 || waiting == 0)
        XKSStore(acb->fexit, 1);
}

XKSAcb* make_acb()
{
    // Passive over TCP without a listener: a lost connection is not made
    // again, at once.
    char settings[256];
    std::snprintf(settings, sizeof settings,
                  "SECSMODE=0x2\nXMSGSIZE=%d\nT1=1\nT2=1\nT4=1\nINTER0=0\nINTER2=1\nXRETRY=1\n"
                  "TRCTTYPE=0x0003\nTRCTLEVEL=9\n",
                  kMsgSize);
    XKSAcb* acb = fuzz_engine_block(settings);
    acb->tcb = on_trace;
    acb->tcbarg = acb;
    // What the line open sets up, without its 10 s wait for a connection.
    acb->ssdt = static_cast<uint8_t*>(std::malloc(size_t(XKS_ASSEMBLY)));
    if (acb->ssdt == nullptr)
        __builtin_trap();
    acb->sxln = kMsgSize;
    acb->sblk = -1;
    return acb;
}

bool known(int32_t rc)
{
    switch (rc) {
    case XKS_E_ENDING:
    case XKS_E_TOOBIG:
    case XKS_E_CHECKSUM:
    case XKS_E_PROTOCOL:
    case XKS_E_ILLBLOCK:
    case XKS_E_T2:
    case XKS_E_T4:
        return true;
    default:
        return rc >= 0 && rc <= kBody;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static XKSAcb* acb = make_acb();
    if (size > kMaxInput)
        return 0;
    int fds[2];
    fuzz_stream(data, size, fds);

    line_fd = fds[1];
    acb->ncb.count = 1;
    acb->ncb.socket = fds[1];
    XKSStore(acb->fexit, size == 0 ? 1 : 0);
    // Header and body sit exactly at the end of their allocations, so any
    // store past them is caught.
    auto header = std::make_unique<uint8_t[]>(10);
    auto body = std::make_unique<uint8_t[]>(kBody);
    // Every read but the last takes at least one byte.
    for (size_t reads = 0;; ++reads) {
        if (reads > size + 1)
            __builtin_trap();
        int32_t rc = XKS232CRead(acb, header.get(), body.get(), kBody, __FILE__, __LINE__);
        if (!known(rc) || acb->sblk != -1 || acb->slen != 0)
            __builtin_trap();
        if (rc == XKS_E_ENDING)
            break;
    }
    close(fds[0]);
    // A lost connection is closed by the line itself.
    if (acb->ncb.socket == fds[1])
        close(fds[1]);
    acb->ncb.socket = 0;
    return 0;
}
