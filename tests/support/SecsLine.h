// The far end of a SECS-I line for tests, written from the block layout
// alone on plain POSIX calls (openpty, sockets), so it shares no code with
// the library it tests. No gtest dependency: every call reports failure
// through its result.
//
// Block on the wire: length n (10 + data), header (10 bytes: R-bit and
// device id, W-bit and stream, function, E-bit and block number, system
// bytes; all big-endian), data, checksum (sum of the n bytes, big-endian).
//
// Typical use:
//   SecsLinePeer peer;
//   peer.open_pty();                      // the library opens peer.name()
//   auto msg = peer.receive_message(2000); // answers ENQ/blocks
//   peer.send_message(hdr, body, 2000);    // bids, sends, waits ACK
// or over TCP: peer.listen() / peer.accept(ms), or peer.connect(port).
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "HsmsPeer.h"

inline constexpr uint8_t SECS_ENQ = 0x05;
inline constexpr uint8_t SECS_EOT = 0x04;
inline constexpr uint8_t SECS_ACK = 0x06;
inline constexpr uint8_t SECS_NAK = 0x15;

// The 10 header bytes of a block in readable form.
struct SecsHeader {
    uint16_t device = 0;   // bits 0..14
    bool rbit = false;
    bool wbit = false;
    uint8_t stream = 0;    // bits 0..6
    uint8_t function = 0;
    bool ebit = false;
    uint16_t block = 0;    // bits 0..14
    uint32_t system = 0;   // both halves as one big-endian value

    std::array<uint8_t, 10> encode() const;
    static SecsHeader decode(const uint8_t* bytes);
    // E-bit and block number as one 16-bit value (0x8002 = last block, number 2).
    uint16_t block_field() const { return uint16_t((ebit ? 0x8000 : 0) | (block & 0x7FFF)); }
    bool operator==(const SecsHeader&) const = default;
};

// One block read from the line.
struct SecsBlock {
    uint8_t length = 0;           // the length character
    SecsHeader header;
    std::array<uint8_t, 10> raw{};  // header bytes as they came
    std::vector<uint8_t> data;
    uint16_t checksum = 0;        // as received
    bool checksum_ok = false;     // checksum equals the sum of the n bytes
};

// A whole message received by receive_message().
struct SecsMessage {
    SecsHeader header;            // of the last block
    std::vector<uint8_t> body;    // data of all blocks in order
    std::vector<SecsBlock> blocks;
};

// The sum of the bytes modulo 65536.
uint16_t SecsChecksum(std::span<const uint8_t> bytes);
// A block as it goes on the wire: length, header, data, checksum (the
// correct one, or `checksum` when given).
std::vector<uint8_t> SecsEncodeBlock(const SecsHeader& header, std::span<const uint8_t> data,
                                     std::optional<uint16_t> checksum = std::nullopt);

class SecsLinePeer {
public:
    SecsLinePeer() = default;
    ~SecsLinePeer();
    SecsLinePeer(const SecsLinePeer&) = delete;
    SecsLinePeer& operator=(const SecsLinePeer&) = delete;

    // Make a pty pair in raw mode; the peer keeps the master, the library
    // opens name() (the slave path). The peer also holds the slave open so
    // the master stays usable while the library closes and reopens it.
    bool open_pty();
    // Slave device path of the pty ("" in TCP mode).
    const std::string& name() const { return name_; }

    // TCP: listen on a free loopback port (the port or -1), accept within
    // timeout_ms, or connect to the library's port (retried while refused).
    int listen();
    bool accept(int timeout_ms);
    bool connect(int port, int timeout_ms = 2000);
    // Adopt an already connected descriptor (socket or pty master).
    void adopt(int fd, bool socket);
    // Close the connection (TCP: the library sees EOF) / the listener.
    void close();
    void close_listener();
    int fd() const { return fd_; }
    int listen_port() const { return listener_.listen_port(); }

    // Exact bytes.
    bool send_raw(std::span<const uint8_t> bytes);
    bool send_byte(uint8_t ch);
    // One block with a correct checksum, or the given wrong one.
    bool send_block(const SecsHeader& header, std::span<const uint8_t> data,
                    std::optional<uint16_t> checksum = std::nullopt);

    // The next byte within timeout_ms, or -1.
    int read_byte(int timeout_ms);
    // Up to n bytes within timeout_ms (fewer on timeout or close).
    std::vector<uint8_t> read_raw(size_t n, int timeout_ms);
    // True when the next byte within timeout_ms is ch.
    bool expect(uint8_t ch, int timeout_ms);
    // True when no byte at all arrives within timeout_ms.
    bool silent(int timeout_ms);
    // One block (length character first) within timeout_ms; nullopt on
    // timeout, close or a length character outside 10..254.
    std::optional<SecsBlock> read_block(int timeout_ms);

    // Play the receiving side of one message: wait for ENQ, answer EOT,
    // read a block, ACK it, until a block with the E-bit; each step within
    // timeout_ms. nullopt when a step fails or a checksum is wrong (then
    // NAK is sent and nothing more is done).
    std::optional<SecsMessage> receive_message(int timeout_ms);
    // Send one message: for each block bid with ENQ, wait for EOT, send the
    // block, wait for ACK; each step within timeout_ms. Blocks carry at
    // most block_size bytes and are numbered from 1, the last with the
    // E-bit; a message of one block gets number `single`. header.block and
    // header.ebit are ignored.
    bool send_message(const SecsHeader& header, std::span<const uint8_t> body, int timeout_ms,
                      size_t block_size = 244, uint16_t single = 0);

private:
    bool write_all(const uint8_t* p, size_t n);
    size_t read_until(uint8_t* p, size_t n, int timeout_ms);

    int fd_ = -1;
    bool socket_ = false;
    int slave_fd_ = -1;
    std::string name_;
    HsmsPeer listener_;
};

// Two pty pairs joined by a relay thread that copies master A to master B
// and back, so two library sessions can open name_a() and name_b() and
// talk. The relay polls in short steps and stops on stop() or destruction.
class PtyLink {
public:
    PtyLink() = default;
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Make both pairs (raw mode) and start the relay; false on failure.
    bool start();
    // Stop the relay and close both pairs.
    void stop();
    const std::string& name_a() const { return name_[0]; }
    const std::string& name_b() const { return name_[1]; }
    // Bytes the relay has copied A -> B and B -> A so far.
    uint64_t copied_ab() const { return copied_[0].load(); }
    uint64_t copied_ba() const { return copied_[1].load(); }

private:
    void relay();

    int master_[2] = {-1, -1};
    int slave_[2] = {-1, -1};
    std::string name_[2];
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> copied_[2]{0, 0};
    std::thread thread_;
};
