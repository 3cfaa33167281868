// Feeds arbitrary bytes to the Keyence upper-link driver, either as the
// reply lines its client reads (QZRPLCKeyenceGet, Set and Bit) or as the
// command lines its answering side reads (QZRPLCKeyenceServRecv, each
// answered with QZRPLCKeyenceServSend). The input goes into one end of a
// stream socket pair that is then shut for writing; the other end is
// opened as a server mode TCP connection, and the driver is called until
// the stream is used up. Every byte is already buffered and the stream
// ends, so no call may wait.
//
// Input: a selector byte, two bytes of points (little-endian, modulo 4098,
// so that 0 and 4097 are refused), then the stream. Selector bits:
//   0     0 client, 1 answering side
//   1-2   client call: Get, Set, Bit on, Bit off
//   3-5   client device type (units 1, 2 and 4, decimal, channel and hex)
//   6     device names with the data format suffix
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_plc.h"
#include "plc/qzrplc.h"

namespace {

constexpr size_t kMaxInput = 65536;  // well inside the socket buffer
constexpr const char* kTypes[8] = {"DM", "MR", "TC", "B", "R", "W", "CTH", "VB"};

// One line, CR LF at its end and nowhere else.
bool one_line(const std::string& sent)
{
    return sent.size() >= 2 && sent.compare(sent.size() - 2, 2, "\r\n") == 0 &&
           sent.find('\n') == sent.size() - 1 && sent.find('\r') == sent.size() - 2;
}

// A failure any call may give on a stream of bad lines: a line too long,
// malformed or cut short, the end of the stream, or an error reply.
bool documented_failure(int32_t rc, bool error_replies)
{
    if (rc == QZRPLC_E_DEVICE || rc == QZRPLC_E_SHORT || rc == kClosed)
        return true;
    return error_replies && rc <= -QZRPLC_E_END_BASE && rc >= -(QZRPLC_E_END_BASE + 999999);
}

size_t count_values(const std::string& line)
{
    size_t n = 0;
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] >= '0' && line[i] <= '9' && (i == 0 || line[i - 1] == ' '))
            ++n;
    return n;
}

// Client: the same call again and again, each reading one reply line.
void run_client(int32_t id, int peer, uint8_t selector, int32_t points, size_t stream)
{
    const char* type = kTypes[(selector >> 3) & 7];
    const int32_t unit = QZRPLCKeyenceCodeType(type, 0, nullptr);
    const int call = (selector >> 1) & 3;
    const size_t bytes = static_cast<size_t>(points < 1 ? 1 : points) * static_cast<size_t>(unit);
    std::string sent;
    for (size_t calls = 0;; ++calls) {
        check(calls <= stream + 1);  // every reply takes at least its LF
        int32_t rc;
        // Exactly the bytes the points need, so that going past them is caught.
        std::vector<uint8_t> data(bytes, 0xEE);
        if (call == 0) {
            rc = QZRPLCKeyenceGet(id, QZRPLC_FLAG_LOCK, type, 0x1234, points, data.data(), kTimeoutMs);
            check(rc < 0 || rc == points * unit);
            if (rc < 0)  // a failed read leaves the caller's buffer alone
                for (uint8_t b : data)
                    check(b == 0xEE);
        } else if (call == 1) {
            for (size_t i = 0; i < data.size(); ++i)
                data[i] = static_cast<uint8_t>(i);
            rc = QZRPLCKeyenceSet(id, QZRPLC_FLAG_LOCK, type, 0x1234, points, data.data(), kTimeoutMs);
            check(rc < 0 || rc == points * unit);
        } else {
            rc = QZRPLCKeyenceBit(id, QZRPLC_FLAG_LOCK, type, 0x1234, points, call == 2, kTimeoutMs);
            check(rc <= 0);
        }
        // A call sends its whole request line or, when refused, nothing.
        size_t out = drain(peer, sent);
        if (out == 0) {
            check(rc == QZRPLC_E_DEVICE || (rc == kBadArgument && points < 1));
            return;
        }
        check(one_line(sent));
        const char* command = call == 0 ? "RDS " : call == 1 ? "WRS " : call == 2 ? "STS " : "RSS ";
        check(sent.compare(0, 4, command) == 0);
        if (call == 1)  // the head's number of points, then the values
            check(count_values(sent.substr(sent.find(' ', 4))) == static_cast<size_t>(points) + 1);
        check(rc >= 0 || documented_failure(rc, true));
        if (rc == kClosed)
            return;
    }
}

// Answering side: each line received is answered, a read with its points
// of values, anything else with OK or the command text.
void run_server(int32_t id, int peer, size_t stream)
{
    std::vector<uint8_t> data(QZRPLC_KEYENCE_POINTS * 4);  // exactly the documented size
    std::string sent;
    for (size_t calls = 0;; ++calls) {
        check(calls <= stream + 1);
        char cmd[QZRPLC_KEYENCE_TEXT], type[QZRPLC_KEYENCE_TEXT];
        std::memset(cmd, 'x', sizeof cmd);
        std::memset(type, 'x', sizeof type);
        int32_t add = -1, nod = -1;
        int32_t rc = QZRPLCKeyenceServRecv(id, 0, cmd, type, &add, &nod, data.data(), kTimeoutMs);
        check(rc != kTimedOut);
        check(std::memchr(cmd, 0, sizeof cmd) != nullptr && std::memchr(type, 0, sizeof type) != nullptr);
        if (rc < 0) {
            check(documented_failure(rc, false));
            if (rc == kClosed)
                return;
            continue;
        }
        check(add >= 0 && nod >= 0 && nod <= QZRPLC_KEYENCE_POINTS);
        const std::string command = cmd;
        const bool data_command = command == "RDS" || command == "WRS" || command == "RSS" || command == "STS";
        const int32_t unit = QZRPLCKeyenceCodeType(type, nod, nullptr);
        check(data_command ? unit > 0 : type[0] == '\0');
        check(command == "WRS" ? rc == nod * unit : rc == 0);
        const int32_t points = command == "RDS" ? nod : 0;
        std::vector<uint8_t> answer(static_cast<size_t>(points) * static_cast<size_t>(unit > 0 ? unit : 1), 1);
        rc = QZRPLCKeyenceServSend(id, 0, cmd, type, add, points, answer.data(), kTimeoutMs);
        check(rc == points * (unit > 0 ? unit : 0));
        check(drain(peer, sent) > 0 && one_line(sent));
        if (points > 0)
            check(count_values(sent) == static_cast<size_t>(points));
        else if (data_command)
            check(sent == "OK\r\n");
        else
            check(sent == command + "\r\n");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kHead || size > kMaxInput)
        return 0;
    const uint8_t selector = data[0];
    const int32_t points = (data[1] | data[2] << 8) % (QZRPLC_KEYENCE_POINTS + 2);
    int fds[2];
    fuzz_stream(data + kHead, size - kHead, fds);
    const size_t stream = size - kHead;

    // The connection owns fds[1] from here and closes it.
    const int32_t flags = QZRPLC_FLAG_SERVER | ((selector & 0x40) != 0 ? QZRPLC_KEYENCE_SUFFIX : 0);
    int32_t id = QZRPLCKeyenceOpen(flags, "fuzz", fds[1], 0, "", 0);
    check(id >= 1 && id <= QZRPLC_MAXID);
    if ((selector & 1) != 0)
        run_server(id, fds[0], stream);
    else
        run_client(id, fds[0], selector, points, stream);
    check(QZRPLCKeyenceClose(id, 0) == 0);
    check(QZRPLCKeyenceAcb(id) == nullptr);
    close(fds[0]);
    return 0;
}
