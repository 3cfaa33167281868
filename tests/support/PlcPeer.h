// A scripted MELSEC-side peer for tests: one TCP connection on loopback
// that reads and sends raw MC protocol bytes (binary 3E and 4E frames).
// Written from the frame layout alone on plain POSIX sockets, so it shares
// no code with the drivers it tests. No gtest dependency: every call
// reports failure through its result, and every wait has a deadline.
//
// 3E frame: subheader (50 00 request, D0 00 response), network, PC,
// module I/O (2), station, data length (2, bytes after it), then the data.
// 4E frame: subheader (54 00 / D4 00), serial number (2), 00 00, then as 3E.
// Multi-byte fields are little-endian.
//
// Typical use:
//   PlcPeer peer;
//   int port = peer.listen();              // the driver connects here
//   peer.accept(1000);
//   peer.send(mc_response(false, 0, 0, {0x34, 0x12}));   // queued answer
//   ... driver call ...
//   auto request = peer.read_frame(1000);  // the bytes the driver sent
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A normal (end_code 0) or error response; e4 selects the 4E frame with
// serial. An error response carries the data given as error information.
Bytes mc_response(bool e4, uint16_t serial, uint16_t end_code, const Bytes& data);
// A batch read (data empty) or write request for the answering side.
Bytes mc_request(bool e4, uint16_t serial, uint16_t command, uint8_t code, uint32_t device, uint16_t points,
                 const Bytes& data = {});

class PlcPeer {
public:
    PlcPeer() = default;
    ~PlcPeer();
    PlcPeer(const PlcPeer&) = delete;
    PlcPeer& operator=(const PlcPeer&) = delete;

    // Listen on 127.0.0.1 at a free port (backlog 64); the port or -1.
    int listen();
    // Accept one connection on the listener within timeout_ms.
    bool accept(int timeout_ms);
    // Connect to 127.0.0.1:port (a listener that already exists).
    bool connect(int port);
    // Give up the connection without closing it; its descriptor or -1.
    int release();

    bool send(const Bytes& bytes);
    // Exactly n bytes within timeout_ms; fewer when the time ran out or
    // the connection closed.
    Bytes read_raw(size_t n, int timeout_ms);
    // One whole 3E or 4E frame (request or response) within timeout_ms;
    // empty on time-out, close or an unknown subheader.
    Bytes read_frame(int timeout_ms);
    // Read and drop whatever arrives for ms milliseconds without answering;
    // returns the bytes seen.
    size_t stall(int ms);

    int port() const { return port_; }
    void close();

private:
    int fd_ = -1;
    int listen_fd_ = -1;
    int port_ = -1;
};

// A loopback port that was free a moment ago.
int plc_free_port();
