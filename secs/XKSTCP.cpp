// HSMS frames on a TCP connection. TCPRead assembles exactly one frame
// (4-byte length, 10-byte header, body) from the stream of acb->ncb and
// keeps at most XMSGSIZE body bytes; TCPWrite builds and writes the frame of
// one message, optionally in small pieces. These two are the only code that
// touches the bytes of an HSMS connection; what a frame means is the
// engine's business.
//
// Wire fields are big-endian. In memory the header keeps its session id and
// the two system-byte halves as 16-bit host-order integers; bytes 2..5
// (W-bit and stream, function, PType, SType) are never touched.
//
// Timeouts: a first-wait of 0 seconds (and T8 = 0) waits without limit,
// as every socket wait of 0 ms does.
#include "secs/XKSTCP.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/XKNSocket.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWTrace.h"
#include "secs/XKSTrace.h"

namespace {

constexpr int32_t kEntryLevel = 1;   // message entries in the communication trace
constexpr int32_t kStepLevel = 8;    // step lines in the process trace
constexpr int32_t kScratchSize = 65536;
constexpr int32_t kHeaderSize = 10;

// Step lines are verbose: skip the formatting when nobody would see them.
void step(XKSAcb* acb, int32_t line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void step(XKSAcb* acb, int32_t line, const char* function, const char* format, ...)
{
    XKWTrace* trace = acb->ptrace;
    if (trace == nullptr || trace->open == 0 || (trace->level >= 0 && trace->level < kStepLevel))
        return;
    char text[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    XKWTraceWriteText(__FILE__, line, function, trace, 0, kStepLevel, "DB", text);
}

uint32_t load_be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void store_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// One 16-bit field between wire order (big-endian) and host order.
void be16_to_host(const uint8_t* wire, uint8_t* host)
{
    uint16_t v = uint16_t(wire[0] << 8 | wire[1]);
    std::memcpy(host, &v, 2);
}

void host_to_be16(const uint8_t* host, uint8_t* wire)
{
    uint16_t v;
    std::memcpy(&v, host, 2);
    wire[0] = uint8_t(v >> 8);
    wire[1] = uint8_t(v);
}

void header_to_host(const uint8_t* wire, uint8_t* host)
{
    be16_to_host(wire, host);
    std::memcpy(host + 2, wire + 2, 4);
    be16_to_host(wire + 6, host + 6);
    be16_to_host(wire + 8, host + 8);
}

void header_to_wire(const uint8_t* host, uint8_t* wire)
{
    host_to_be16(host, wire);
    std::memcpy(wire + 2, host + 2, 4);
    host_to_be16(host + 6, wire + 6);
    host_to_be16(host + 8, wire + 8);
}

// Seconds of a timer setting as a socket wait in ms (0 stays 0: no limit).
int32_t seconds_ms(int32_t seconds)
{
    if (seconds <= 0)
        return 0;
    return seconds > INT32_MAX / 1000 ? INT32_MAX : seconds * 1000;
}

// The first-wait argument: negative = milliseconds, else seconds.
int32_t first_wait_ms(int32_t timeout)
{
    if (timeout < 0)
        return timeout == INT32_MIN ? INT32_MAX : -timeout;
    return seconds_ms(timeout);
}

// Socket-layer failures as the engine's result codes.
int32_t map_failure(int32_t rc, int32_t timeout_result)
{
    if (rc == XKW_E_TIMEOUT)
        return timeout_result;
    if (rc == XKN_E_ADDRINUSE)
        return XKS_E_ADDRINUSE;
    if (rc == XKN_E_CONNRESET)
        return XKS_E_CONNRESET;
    return rc;
}

// Where surplus body bytes are dropped: one area per reading thread, made
// at its first oversized frame and kept. Not a static array, because the
// static TLS of an executable is carved from every thread's stack.
uint8_t* scratch_area()
{
    thread_local std::unique_ptr<uint8_t[]> area;
    if (!area)
        area.reset(new (std::nothrow) uint8_t[kScratchSize]);
    return area.get();
}

// Read the 14-byte prefix. A stall before the first byte is the quiet
// first-wait timeout; a stall after part of the prefix is counted as a T8
// timeout, because the caller loops on the first and would then resume in
// the middle of a frame.
int32_t read_prefix(XKSAcb* acb, uint8_t* prefix, int32_t ms)
{
    int32_t got = 0;
    while (got < XKS_HSMS_PREFIX) {
        int32_t r = XKNTCPRead(&acb->ncb, prefix + got, XKS_HSMS_PREFIX - got, ms);
        if (r == 0)
            r = XKW_E_CLOSED;
        if (r < 0)
            return map_failure(r, got == 0 ? XKS_E_FIRSTWAIT : XKS_E_T8);
        got += r;
    }
    return got;
}

// Read the body: keep bytes into body, then drop the surplus.
int32_t read_body(XKSAcb* acb, uint8_t* body, int32_t keep, int64_t surplus)
{
    const int32_t ms = seconds_ms(acb->cfg.t8);
    if (keep > 0) {
        int32_t r = XKNTCPReadAll(&acb->ncb, body, keep, ms);
        if (r < 0)
            return map_failure(r, XKS_E_T8);
    }
    if (surplus <= 0)
        return keep;
    uint8_t* scratch = scratch_area();
    if (scratch == nullptr)
        return XKW_E_NOMEM;
    step(acb, __LINE__, "TCPRead", "TCPRead  0.40 sd  =%4d drop=%lld", acb->ncb.socket,
         static_cast<long long>(surplus));
    // Each pass takes at least one byte or ends the read: at most
    // 2^32 / 65536 passes for the largest length field.
    while (surplus > 0) {
        XKSStore(acb->xerr1, XKS_E_TOOLONG);
        auto piece = static_cast<int32_t>(std::min<int64_t>(surplus, kScratchSize));
        int32_t r = XKNTCPReadAll(&acb->ncb, scratch, piece, ms);
        if (r < 0)
            return map_failure(r, XKS_E_T8);
        surplus -= piece;
    }
    return keep;
}

// Write len bytes in pieces of at most piece bytes; each piece must go
// out whole.
int32_t write_pieces(XKSAcb* acb, const uint8_t* data, int32_t len, int32_t piece)
{
    for (int32_t done = 0; done < len;) {
        int32_t n = std::min(piece, len - done);
        int32_t r = XKNTCPWrite(&acb->ncb, data + done, n);
        if (r != n)
            return r < 0 ? r : XKW_E_FAIL;
        done += n;
    }
    return len;
}

}  // namespace

int32_t TCPRead(XKSAcb* acb, uint8_t* header, uint8_t* body, int32_t timeout, const char* source,
                int32_t line)
{
    if (acb == nullptr || header == nullptr)
        return XKW_E_INVAL;
    XKSStore(acb->xerr1, 0);
    const int32_t ms = first_wait_ms(timeout);

    uint8_t prefix[XKS_HSMS_PREFIX];
    int32_t rc = read_prefix(acb, prefix, ms);
    if (rc < 0) {
        if (XKSLoad(acb->fshut) == 0 && rc != XKS_E_FIRSTWAIT)
            XKSTraceMessage(acb, XKS_TK_RECEIVE, nullptr, nullptr, rc, kEntryLevel, source, line);
        if (rc != XKS_E_FIRSTWAIT)
            step(acb, __LINE__, "TCPRead", "TCPRead  0.10 sd  =%4d rtn=%d to=%d", acb->ncb.socket,
                 rc, timeout);
        return rc;
    }

    header_to_host(prefix + 4, header);
    const int64_t dln = int64_t(load_be32(prefix)) - kHeaderSize;
    step(acb, __LINE__, "TCPRead", "TCPRead  0.20 sd  =%4d dln =%4lld to=%d", acb->ncb.socket,
         static_cast<long long>(dln), timeout);
    if (dln <= 0) {
        // A header-only frame, or a length field below 10: the caller ends
        // the connection on the negative value.
        auto result = static_cast<int32_t>(dln);
        XKSTraceMessage(acb, XKS_TK_RECEIVE, header, body, result, kEntryLevel, source, line);
        return result;
    }

    const int32_t limit = std::max(acb->cfg.xmsgsize, 0);
    const int32_t keep = static_cast<int32_t>(std::min<int64_t>(dln, limit));
    if (keep > 0 && body == nullptr)
        return XKW_E_INVAL;
    rc = read_body(acb, body, keep, dln - keep);
    if (rc < 0) {
        if (XKSLoad(acb->fshut) == 0)
            XKSTraceMessage(acb, XKS_TK_RECEIVE, header, body, rc, kEntryLevel, source, line);
        step(acb, __LINE__, "TCPRead", "TCPRead  0.30 sd  =%4d rtn=%d dln =%4lld",
             acb->ncb.socket, rc, static_cast<long long>(dln));
        return rc;
    }
    XKSTraceMessage(acb, XKS_TK_RECEIVE, header, body, keep, kEntryLevel, source, line);
    return keep;
}

int32_t TCPWrite(XKSAcb* acb, const uint8_t* header, const uint8_t* body, int32_t length,
                 const XKSWriteOptions* options, const char* source, int32_t line)
{
    if (acb == nullptr || header == nullptr || length < 0 || length > INT32_MAX - kHeaderSize ||
        (length > 0 && body == nullptr))
        return XKW_E_INVAL;

    uint8_t prefix[XKS_HSMS_PREFIX];
    store_be32(prefix, uint32_t(length) + kHeaderSize);
    header_to_wire(header, prefix + 4);

    // Overrides reach the wire only; the caller's header and the trace keep
    // what they were given. A piece size of 0 means none.
    int32_t piece = 0;
    if (options != nullptr && (options->xmod & 0x01) != 0) {
        if ((options->flags & 0x01) != 0)
            prefix[8] = options->xpr0[0];
        if ((options->flags & 0x02) != 0)
            prefix[9] = options->xpr0[1];
        if ((options->flags & 0x04) != 0)
            piece = options->xpr1[0];
    }

    step(acb, __LINE__, "TCPWrite", "TCPWrite 0.20 sd  =%4d dln =%4d pc=%d", acb->ncb.socket,
         length, piece);
    XKSTraceMessage(acb, XKS_TK_SEND, header, body, length, kEntryLevel, source, line);

    int32_t rc;
    if (piece > 0) {
        rc = write_pieces(acb, prefix, XKS_HSMS_PREFIX, piece);
        if (rc >= 0 && length > 0)
            rc = write_pieces(acb, body, length, piece);
    } else {
        // Prefix and body in one call, so that they leave in one segment.
        rc = XKNTCPWrite2(&acb->ncb, prefix, XKS_HSMS_PREFIX, body, length);
        if (rc >= 0 && rc != XKS_HSMS_PREFIX + length)
            rc = XKW_E_FAIL;
    }
    if (rc < 0) {
        XKSTraceMessage(acb, XKS_TK_SEND, header, body, rc, kEntryLevel, source, line);
        step(acb, __LINE__, "TCPWrite", "TCPWrite 0.90 sd  =%4d rtn=%d", acb->ncb.socket, rc);
        return rc;
    }
    return length;
}
