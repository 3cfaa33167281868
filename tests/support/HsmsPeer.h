// A scripted HSMS peer for tests: one TCP connection on loopback, made
// actively (connect) or passively (listen + accept), that sends and reads
// raw HSMS frames. Written from the frame layout alone on plain POSIX
// sockets, so it shares no code with the library it tests. No gtest
// dependency: every call reports failure through its result.
//
// Frame on the wire: 4-byte big-endian length (10 + body), session id (2),
// header bytes 2 and 3, PType, SType, system bytes (4), body.
//
// Typical use:
//   HsmsPeer peer;
//   int port = peer.listen();            // engine connects here, or:
//   peer.connect(engine_port);           // peer connects to the engine
//   peer.accept(2000);
//   peer.send(HsmsFrame::control(HSMS_SELECT_REQ, 1));
//   auto rsp = peer.read(2000);          // std::nullopt on timeout/close/bad frame
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// STypes.
inline constexpr uint8_t HSMS_DATA = 0;
inline constexpr uint8_t HSMS_SELECT_REQ = 1;
inline constexpr uint8_t HSMS_SELECT_RSP = 2;
inline constexpr uint8_t HSMS_DESELECT_REQ = 3;
inline constexpr uint8_t HSMS_DESELECT_RSP = 4;
inline constexpr uint8_t HSMS_LINKTEST_REQ = 5;
inline constexpr uint8_t HSMS_LINKTEST_RSP = 6;
inline constexpr uint8_t HSMS_REJECT_REQ = 7;
inline constexpr uint8_t HSMS_SEPARATE_REQ = 9;

struct HsmsFrame {
    uint16_t session = 0xFFFF;  // device id of a data message
    uint8_t b2 = 0;             // data: W-bit (0x80) and stream
    uint8_t b3 = 0;             // data: function
    uint8_t ptype = 0;
    uint8_t stype = 0;
    uint32_t system = 0;        // system bytes as one big-endian value
    std::vector<uint8_t> body;

    // The whole frame with its 4-byte length.
    std::vector<uint8_t> encode() const;
    // Decode one whole frame (length field included); nullopt when the
    // bytes are not exactly one frame.
    static std::optional<HsmsFrame> decode(const uint8_t* data, size_t size);

    static HsmsFrame control(uint8_t stype, uint32_t system, uint16_t session = 0xFFFF,
                             uint8_t b2 = 0, uint8_t b3 = 0);
    static HsmsFrame data(uint16_t dev, uint8_t stream, uint8_t function, bool w, uint32_t system,
                          std::vector<uint8_t> body = {});

    bool wbit() const { return (b2 & 0x80) != 0; }
    uint8_t stream() const { return b2 & 0x7F; }
    uint8_t function() const { return b3; }
    // "S1F13 W" style text for failure messages.
    std::string describe() const;
};

class HsmsPeer {
public:
    HsmsPeer() = default;
    ~HsmsPeer();
    HsmsPeer(const HsmsPeer&) = delete;
    HsmsPeer& operator=(const HsmsPeer&) = delete;

    // Connect to host:port (numeric IPv4 or IPv6 text) within timeout_ms,
    // retried while refused so that a listener that is just starting is
    // found. Closes any connection held.
    bool connect(int port, int timeout_ms = 2000, const char* host = "127.0.0.1");
    // Listen on 127.0.0.1 at a free port; returns the port, or -1.
    int listen();
    // Accept one connection on the listener within timeout_ms.
    bool accept(int timeout_ms);
    // Adopt an already connected descriptor (a socketpair end, ...).
    void adopt(int fd);
    // Give up the connection without closing it; returns its descriptor.
    int release();

    bool send(const HsmsFrame& frame);
    bool send_raw(const void* data, size_t size);
    // Send the encoded frame in pieces of `piece` bytes, pausing between them.
    bool send_split(const HsmsFrame& frame, size_t piece, int pause_ms);

    // Read one frame within timeout_ms (the whole frame must arrive in that
    // time). nullopt on timeout, close, or a length field below 10 or above
    // max_frame() (the connection is then not usable for framing).
    std::optional<HsmsFrame> read(int timeout_ms);
    // Read exactly n bytes within timeout_ms; fewer when the time ran out
    // or the connection closed.
    std::vector<uint8_t> read_raw(size_t n, int timeout_ms);
    // Bytes received by the last read / read_raw call (for short results).
    size_t last_count() const { return last_count_; }

    // True when the other side closed (EOF or reset) within timeout_ms;
    // data that arrives meanwhile is read and dropped.
    bool wait_closed(int timeout_ms);
    // Half-close: no more bytes from us, the other side sees EOF.
    bool shutdown_write();

    int fd() const { return fd_; }
    int listen_port() const { return listen_port_; }
    void close();          // the connection
    void close_listener();

    // Largest length field read() accepts (default 16 MiB).
    void set_max_frame(uint32_t bytes) { max_frame_ = bytes; }
    uint32_t max_frame() const { return max_frame_; }

private:
    int fd_ = -1;
    int listen_fd_ = -1;
    int listen_port_ = -1;
    size_t last_count_ = 0;
    uint32_t max_frame_ = 16u << 20;
};

// A loopback port that was free a moment ago (bound to port 0, read, closed).
int HsmsFreePort();
// A connected pair of loopback TCP sockets (fds[0] connect side, fds[1]
// accepted side). Returns false on failure with both set to -1.
bool HsmsTcpPair(int fds[2]);
