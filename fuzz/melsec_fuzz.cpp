// Feeds arbitrary bytes to the MELSEC driver, either as the replies its
// client reads (QZRPLCMelsecGet and QZRPLCMelsecSet) or as the requests
// its answering side reads (QZRPLCMelsecServRecv, each answered with
// QZRPLCMelsecServSend). The input goes into one end of a stream socket
// pair that is then shut for writing; the other end is opened as a server
// mode connection, and the driver is called until the stream is used up.
// Every byte is already buffered and the stream ends, so no call may wait.
//
// Input: a selector byte, two bytes of points (little-endian, modulo 4098,
// so that 0 and 4097 are refused), then the stream. Selector bits:
//   0     0 client, 1 answering side
//   1     0 3E frame, 1 4E frame
//   2-3   client device: D (words), W (words), M (bits), X (bits)
//   4     client call: 0 Get, 1 Set
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_plc.h"
#include "plc/qzrplc.h"

namespace {

constexpr size_t kMaxInput = 16384;  // well inside the socket buffer
constexpr size_t kMinFrame = 9;      // the shortest frame head any call consumes
constexpr int32_t kDevices[4] = {0xA8, 0xB4, 0x90, 0x9C};

// A failure any call may give on a stream of bad frames: does not fit,
// malformed or cut short, or an end code from the PLC.
bool documented_failure(int32_t rc, bool end_codes)
{
    if (rc == QZRPLC_E_DEVICE || rc == QZRPLC_E_SHORT || rc == kClosed)
        return true;
    return end_codes && rc <= -(QZRPLC_E_END_BASE + 1) && rc >= -(QZRPLC_E_END_BASE + 0xFFFF);
}

// Client: the same call again and again, each reading one reply.
void run_client(int32_t id, int peer, uint8_t selector, int32_t points, bool e4, size_t stream)
{
    const int32_t code = kDevices[(selector >> 2) & 3];
    const bool bits = code == 0x90 || code == 0x9C;
    const bool set = (selector & 0x10) != 0;
    const size_t count = static_cast<size_t>(points < 1 ? 1 : points);
    const int32_t wire = bits ? (points + 1) / 2 : points * 2;  // data bytes on the wire
    const size_t request = (e4 ? 25 : 21) + static_cast<size_t>(set ? wire : 0);
    std::vector<uint8_t> sent;
    for (size_t calls = 0;; ++calls) {
        check(calls <= stream / kMinFrame + 1);
        int32_t rc;
        if (set) {
            // Exactly the bytes the points need, so that reading past them is caught.
            std::vector<uint8_t> data(bits ? count : count * 2);
            for (size_t i = 0; i < data.size(); ++i)
                data[i] = static_cast<uint8_t>(bits ? i % 3 == 0 : i);
            rc = QZRPLCMelsecSet(id, QZRPLC_FLAG_LOCK, code, 0x1234, points, data.data(), kTimeoutMs);
            check(rc < 0 || rc == wire);
        } else {
            std::vector<uint8_t> data(bits ? count : count * 2, 0xEE);
            rc = QZRPLCMelsecGet(id, QZRPLC_FLAG_LOCK, code, 0x1234, points, data.data(), kTimeoutMs);
            check(rc < 0 || rc == static_cast<int32_t>(data.size()));
            if (rc > 0 && bits)
                for (uint8_t b : data)
                    check(b <= 1);
        }
        // A call sends its whole request or, when refused, nothing.
        size_t out = drain(peer, sent);
        check(out == 0 || out == request);
        if (out == 0) {
            check(rc == QZRPLC_E_DEVICE || (rc == kBadArgument && points < 1));
            return;
        }
        check(rc >= 0 || documented_failure(rc, true));
        if (rc == kClosed)
            return;
    }
}

// Answering side: each request received is answered with points of data
// for a read, or with no data for a write.
void run_server(int32_t id, int peer, bool e4, size_t stream)
{
    std::vector<uint8_t> data(QZRPLC_MELSEC_DATA);  // exactly the documented size
    std::vector<uint8_t> sent;
    for (size_t calls = 0;; ++calls) {
        check(calls <= stream / kMinFrame + 1);
        int32_t cmd = -1, dcd = -1, add = -1, nod = -1;
        int32_t rc = QZRPLCMelsecServRecv(id, 0, &cmd, &dcd, &add, &nod, data.data(), kTimeoutMs);
        check(rc != kTimedOut);
        if (rc < 0) {
            check(documented_failure(rc, false));
            if (rc == kClosed)
                return;
            continue;
        }
        check(cmd >= 0 && cmd <= 0xFFFF && nod >= 0 && nod <= 0xFFFF && add >= 0 && add <= 0xFFFFFF);
        const int32_t unit = QZRPLCMelsecCodeType(dcd, nod, nullptr);
        const bool bits = unit == QZRPLC_UNIT_BIT;
        // Write data: one byte 0/1 per bit point, or two bytes per word; a
        // write must carry all of its points.
        if (rc > 0 || cmd == QZRPLC_MELSEC_WRITE)
            check(unit > 0 && rc == (bits ? nod : nod * 2));
        if (bits)
            for (int32_t i = 0; i < rc; ++i)
                check(data[static_cast<size_t>(i)] <= 1);
        const int32_t points = cmd == QZRPLC_MELSEC_READ ? nod : 0;
        // Exactly the answer's bytes, so that reading past them is caught.
        std::vector<uint8_t> answer(static_cast<size_t>(bits ? points : points * 2), bits ? 1 : 0x11);
        rc = QZRPLCMelsecServSend(id, 0, cmd, dcd, add, points, answer.data(), kTimeoutMs);
        size_t out = drain(peer, sent);
        if (rc < 0) {
            check(rc == QZRPLC_E_DEVICE && out == 0);
            continue;
        }
        // A normal response with end code 0 carrying the data bytes returned.
        const size_t head = e4 ? 15 : 11;
        check(rc == (points == 0 ? 0 : bits ? (points + 1) / 2 : points * 2));
        check(out == head + static_cast<size_t>(rc));
        check(sent[0] == (e4 ? 0xD4 : 0xD0) && sent[1] == 0);
        check((sent[head - 4] | sent[head - 3] << 8) == 2 + rc);
        check(sent[head - 2] == 0 && sent[head - 1] == 0);
        // Every point is 1 (bits: 0x11 a byte, the last odd point 0x10) or 0x1111.
        for (int32_t i = 0; i < rc; ++i)
            check(sent[head + static_cast<size_t>(i)] == (bits && points % 2 == 1 && i == rc - 1 ? 0x10 : 0x11));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kHead || size > kMaxInput)
        return 0;
    const uint8_t selector = data[0];
    const int32_t points = (data[1] | data[2] << 8) % (QZRPLC_MELSEC_POINTS + 2);
    const bool e4 = (selector & 2) != 0;
    int fds[2];
    fuzz_stream(data + kHead, size - kHead, fds);
    const size_t stream = size - kHead;

    // The connection owns fds[1] from here and closes it.
    int32_t id = QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, "fuzz", fds[1], e4 ? 4 : 3, "", 0);
    check(id >= 1 && id <= QZRPLC_MAXID);
    if ((selector & 1) != 0)
        run_server(id, fds[0], e4, stream);
    else
        run_client(id, fds[0], selector, points, e4, stream);
    check(QZRPLCMelsecClose(id, 0) == 0);
    check(QZRPLCMelsecAcb(id) == nullptr);
    close(fds[0]);
    return 0;
}
