// Feeds arbitrary bytes to the Omron FINS/TCP driver, either as the
// responses its client reads (QZRPLCOmronGet and QZRPLCOmronSet) or as the
// requests its answering side reads (QZRPLCOmronServRecv, each answered
// with QZRPLCOmronServSend). The input goes into one end of a stream
// socket pair that is then shut for writing; the other end is opened as a
// server mode connection (which makes no node address exchange, so the
// client calls can run on it too), and the driver is called until the
// stream is used up. Every byte is already buffered and the stream ends,
// so no call may wait.
//
// Input: a selector byte, two bytes of points (little-endian, modulo 4098,
// so that 0 and 4097 are refused), then the stream. Selector bits:
//   0     0 client, 1 answering side
//   2-3   client area: DM words, HR words, CIO bits, DM bits
//   4     client call: 0 Get, 1 Set
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_plc.h"
#include "plc/qzrplc.h"

namespace {

constexpr size_t kMaxInput = 16384;  // well inside the socket buffer
constexpr size_t kMinFrame = 16;     // the FINS/TCP header every call reads first
constexpr int32_t kAreas[4] = {0x82, 0xB2, 0x30, 0x02};
constexpr int32_t kNode = 5;  // own node of the connection: SA1 of the client's requests

uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// A failure any call may give on a stream of bad frames: not a (matching)
// FINS frame or does not fit, cut short, or an end code from the PLC.
bool documented_failure(int32_t rc, bool end_codes)
{
    if (rc == QZRPLC_E_DEVICE || rc == QZRPLC_E_SHORT || rc == kClosed)
        return true;
    return end_codes && rc <= -(QZRPLC_E_END_BASE + 1) && rc >= -(QZRPLC_E_END_BASE + 0xFFFF);
}

// Client: the same call again and again, each reading one response.
void run_client(int32_t id, int peer, uint8_t selector, int32_t points, size_t stream)
{
    const int32_t code = kAreas[(selector >> 2) & 3];
    const int32_t unit = code == 0x30 || code == 0x02 ? 1 : 2;
    const bool set = (selector & 0x10) != 0;
    const size_t bytes = static_cast<size_t>(points < 1 ? 1 : points) * static_cast<size_t>(unit);
    const size_t request = 34 + (set ? static_cast<size_t>(points * unit) : 0);
    std::vector<uint8_t> sent;
    for (size_t calls = 0;; ++calls) {
        check(calls <= stream / kMinFrame + 1);
        int32_t rc;
        // Exactly the bytes the points need, so that going past them is caught.
        std::vector<uint8_t> data(bytes, 0xEE);
        if (set) {
            rc = QZRPLCOmronSet(id, QZRPLC_FLAG_LOCK, code, 0x1234, 7, points, data.data(), kTimeoutMs);
        } else {
            rc = QZRPLCOmronGet(id, QZRPLC_FLAG_LOCK, code, 0x1234, 7, points, data.data(), kTimeoutMs);
            if (rc < 0)
                for (uint8_t b : data)
                    check(b == 0xEE);  // a refused response leaves the buffer alone
        }
        check(rc < 0 || rc == points * unit);
        // A call sends its whole request or, when refused, nothing.
        size_t out = drain(peer, sent);
        check(out == 0 || out == request);
        if (out == 0) {
            check(rc == QZRPLC_E_DEVICE || (rc == kBadArgument && points < 1));
            return;
        }
        check(sent[23] == kNode && sent[27] == (set ? 2 : 1));
        check(rc >= 0 || documented_failure(rc, true));
        if (rc == kClosed)
            return;
    }
}

// Answering side: each request received is answered, a read with points
// of data, a write with none, a node address request at once.
void run_server(int32_t id, int peer, size_t stream)
{
    std::vector<uint8_t> data(QZRPLC_OMRON_DATA);  // exactly the documented size
    std::vector<uint8_t> sent;
    for (size_t calls = 0;; ++calls) {
        check(calls <= stream / kMinFrame + 1);
        int32_t cmd = -1, dcd = -1, add = -1, bad = -1, nod = -1;
        int32_t rc = QZRPLCOmronServRecv(id, 0, &cmd, &dcd, &add, &bad, &nod, data.data(), kTimeoutMs);
        check(rc != kTimedOut);
        if (rc < 0) {
            check(documented_failure(rc, false));
            if (rc == kClosed)
                return;
            continue;
        }
        check(cmd >= 0 && cmd <= 2 && add >= 0 && add <= 0xFFFF && bad >= 0 && bad <= 0xFF && nod >= 0 &&
              nod <= 0xFFFF);
        const int32_t unit = QZRPLCOmronCodeType(dcd, nod, nullptr);
        // A write must carry all of its points; nothing else carries data.
        check(cmd == QZRPLC_OMRON_WRITE ? unit > 0 && rc == nod * unit : rc == 0);
        const int32_t points = cmd == QZRPLC_OMRON_READ ? nod : 0;
        std::vector<uint8_t> answer(static_cast<size_t>(points) * (unit > 0 ? unit : 1), 0x11);
        rc = QZRPLCOmronServSend(id, 0, cmd, dcd, add, bad, points, answer.data(), kTimeoutMs);
        size_t out = drain(peer, sent);
        if (rc < 0) {
            // A read of an unknown area or one whose answer would not fit.
            check(rc == QZRPLC_E_DEVICE && out == 0 && cmd == QZRPLC_OMRON_READ);
            continue;
        }
        check(out >= 16 && std::memcmp(sent.data(), "FINS", 4) == 0 && be32(&sent[4]) == out - 8);
        QZRPLCPcb* pcb = QZRPLCOmronAcb(id);
        if (cmd == QZRPLC_OMRON_NODE) {
            check(rc == 0 && out == 24 && be32(&sent[8]) == 1 && sent[19] == pcb->peer && sent[23] == 2);
            continue;
        }
        // A normal FINS response to whoever asked, carrying the data returned.
        check(rc == points * unit || (points == 0 && rc == 0));
        check(out == 30 + static_cast<size_t>(rc) && be32(&sent[8]) == 2 && be32(&sent[12]) == 0);
        check(sent[20] == pcb->peer && sent[23] == pcb->option && sent[25] == pcb->serial);
        check(sent[26] == 1 && sent[27] == cmd && sent[28] == 0 && sent[29] == 0);
        for (size_t i = 30; i < out; ++i)
            check(sent[i] == 0x11);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kHead || size > kMaxInput)
        return 0;
    const uint8_t selector = data[0];
    const int32_t points = (data[1] | data[2] << 8) % (QZRPLC_OMRON_POINTS + 2);
    int fds[2];
    fuzz_stream(data + kHead, size - kHead, fds);
    const size_t stream = size - kHead;

    // The connection owns fds[1] from here and closes it.
    int32_t id = QZRPLCOmronOpen(QZRPLC_FLAG_SERVER, "fuzz", fds[1], kNode, "", 0);
    check(id >= 1 && id <= QZRPLC_MAXID);
    if ((selector & 1) != 0)
        run_server(id, fds[0], stream);
    else
        run_client(id, fds[0], selector, points, stream);
    check(QZRPLCOmronClose(id, 0) == 0);
    check(QZRPLCOmronAcb(id) == nullptr);
    close(fds[0]);
    return 0;
}
