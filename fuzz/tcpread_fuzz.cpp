// Feeds arbitrary bytes to the HSMS frame reader: the input is written into
// one end of a stream socket pair, which is then shut for writing, and
// frames are read from the other end until the reader fails. A small
// XMSGSIZE makes most bodies go through the cut-and-drop path. The reader
// never waits: every byte is already in the socket buffer and the end of
// the input is an end of stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/fuzz_link.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSLib.h"
#include "secs/XKSTCP.h"

namespace {

constexpr size_t kMaxInput = 16384;  // well inside the socket buffer
constexpr int32_t kMsgSize = 64;

XKSAcb* make_acb()
{
    char settings[128];
    std::snprintf(settings, sizeof settings, "XMSGSIZE=%d\nT8=1\nTRCTTYPE=0x0003\n", kMsgSize);
    return fuzz_engine_block(settings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static XKSAcb* acb = make_acb();
    if (size > kMaxInput)
        return 0;
    int fds[2];
    fuzz_stream(data, size, fds);

    acb->ncb.count = 1;
    acb->ncb.socket = fds[1];
    // The body area sits exactly at the end of an allocation so that any
    // store past XMSGSIZE is caught.
    std::vector<uint8_t> body(kMsgSize);
    uint8_t header[10];
    // Every successful read consumes at least 14 bytes.
    const size_t bound = size / XKS_HSMS_PREFIX + 2;
    size_t reads = 0;
    for (;; ++reads) {
        if (reads > bound)
            __builtin_trap();
        int32_t rc = TCPRead(acb, header, body.data(), -1000, __FILE__, __LINE__);
        // Everything is buffered and the stream ends: no read may wait.
        if (rc == XKS_E_FIRSTWAIT || rc == XKS_E_T8)
            __builtin_trap();
        if (rc < 0)
            break;
        if (rc > kMsgSize)
            __builtin_trap();
        if (acb->xerr1 != 0 && acb->xerr1 != XKS_E_TOOLONG)
            __builtin_trap();
    }
    close(fds[0]);
    close(fds[1]);
    acb->ncb.socket = 0;
    return 0;
}
