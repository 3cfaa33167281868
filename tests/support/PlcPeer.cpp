// The scripted MELSEC peer: plain POSIX sockets, nothing from the drivers.
#include "PlcPeer.h"
#include "PeerSocket.h"

#include <cerrno>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace peer_socket;

// Append up to n bytes to out before the deadline; false when fewer came.
bool recv_into(int fd, Bytes& out, size_t n, Clock::time_point deadline)
{
    size_t want = out.size() + n;
    while (out.size() < want) {
        if (!wait_for(fd, POLLIN, deadline))
            return false;
        uint8_t chunk[4096];
        size_t ask = want - out.size() < sizeof chunk ? want - out.size() : sizeof chunk;
        ssize_t r = ::recv(fd, chunk, ask, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        out.insert(out.end(), chunk, chunk + r);
    }
    return true;
}

void put16(Bytes& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// Subheader (and serial) plus the fixed routing: network 0, PC FF, module
// I/O 03FF, station 0.
Bytes frame_head(bool e4, bool response, uint16_t serial)
{
    Bytes out;
    if (e4) {
        out = {static_cast<uint8_t>(response ? 0xD4 : 0x54), 0x00};
        put16(out, serial);
        put16(out, 0);
    } else {
        out = {static_cast<uint8_t>(response ? 0xD0 : 0x50), 0x00};
    }
    out.insert(out.end(), {0x00, 0xFF, 0xFF, 0x03, 0x00});
    return out;
}

}  // namespace

Bytes mc_response(bool e4, uint16_t serial, uint16_t end_code, const Bytes& data)
{
    Bytes out = frame_head(e4, true, serial);
    put16(out, static_cast<uint32_t>(2 + data.size()));
    put16(out, end_code);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes mc_request(bool e4, uint16_t serial, uint16_t command, uint8_t code, uint32_t device, uint16_t points,
                 const Bytes& data)
{
    Bytes out = frame_head(e4, false, serial);
    put16(out, static_cast<uint32_t>(12 + data.size()));
    put16(out, 0x0028);
    put16(out, command);
    put16(out, 0);  // word units; the answering side goes by the device code
    out.insert(out.end(), {static_cast<uint8_t>(device), static_cast<uint8_t>(device >> 8),
                           static_cast<uint8_t>(device >> 16), code});
    put16(out, points);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

PlcPeer::~PlcPeer()
{
    close();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
}

int PlcPeer::listen()
{
    if (listen_fd_ >= 0)
        return port_;
    listen_fd_ = listen_loopback(64, &port_);
    return listen_fd_ >= 0 ? port_ : -1;
}

bool PlcPeer::accept(int timeout_ms)
{
    if (listen_fd_ < 0 || !wait_for(listen_fd_, POLLIN, Clock::now() + std::chrono::milliseconds(timeout_ms)))
        return false;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    close();
    no_delay(fd);
    fd_ = fd;
    return true;
}

bool PlcPeer::connect(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    close();
    no_delay(fd);
    fd_ = fd;
    return true;
}

int PlcPeer::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

bool PlcPeer::send(const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return fd_ >= 0;
}

Bytes PlcPeer::read_raw(size_t n, int timeout_ms)
{
    Bytes out;
    if (fd_ >= 0)
        recv_into(fd_, out, n, Clock::now() + std::chrono::milliseconds(timeout_ms));
    return out;
}

Bytes PlcPeer::read_frame(int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Bytes out;
    if (fd_ < 0 || !recv_into(fd_, out, 2, deadline) || out[1] != 0)
        return {};
    size_t head;  // bytes up to and with the data length field
    switch (out[0]) {
    case 0x50:
    case 0xD0:
        head = 9;
        break;
    case 0x54:
    case 0xD4:
        head = 13;
        break;
    default:
        return {};
    }
    if (!recv_into(fd_, out, head - 2, deadline))
        return {};
    size_t length = out[head - 2] | out[head - 1] << 8;
    if (!recv_into(fd_, out, length, deadline))
        return {};
    return out;
}

size_t PlcPeer::stall(int ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    size_t seen = 0;
    while (fd_ >= 0 && wait_for(fd_, POLLIN, deadline)) {
        uint8_t chunk[4096];
        ssize_t r = ::recv(fd_, chunk, sizeof chunk, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        seen += static_cast<size_t>(r);
    }
    // A closed connection reports at once; keep the promised silence.
    if (ms_left(deadline) > 0)
        ::poll(nullptr, 0, ms_left(deadline));
    return seen;
}

void PlcPeer::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int plc_free_port()
{
    PlcPeer probe;
    return probe.listen();
}
