// The scripted HSMS peer: plain POSIX sockets, nothing from the library.
#include "HsmsPeer.h"
#include "PeerSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace peer_socket;

bool send_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Receive up to n bytes into p until the deadline; returns the count.
size_t recv_until(int fd, uint8_t* p, size_t n, Clock::time_point deadline)
{
    size_t got = 0;
    while (got < n) {
        if (!wait_for(fd, POLLIN, deadline))
            break;
        ssize_t r = ::recv(fd, p + got, n - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got;
}

void put_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t get_be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

// ---- frames ----

std::vector<uint8_t> HsmsFrame::encode() const
{
    std::vector<uint8_t> out(14 + body.size());
    put_be32(out.data(), static_cast<uint32_t>(10 + body.size()));
    out[4] = uint8_t(session >> 8);
    out[5] = uint8_t(session);
    out[6] = b2;
    out[7] = b3;
    out[8] = ptype;
    out[9] = stype;
    put_be32(out.data() + 10, system);
    std::copy(body.begin(), body.end(), out.begin() + 14);
    return out;
}

std::optional<HsmsFrame> HsmsFrame::decode(const uint8_t* data, size_t size)
{
    if (data == nullptr || size < 14 || get_be32(data) != size - 4)
        return std::nullopt;
    HsmsFrame f;
    f.session = uint16_t(data[4] << 8 | data[5]);
    f.b2 = data[6];
    f.b3 = data[7];
    f.ptype = data[8];
    f.stype = data[9];
    f.system = get_be32(data + 10);
    f.body.assign(data + 14, data + size);
    return f;
}

HsmsFrame HsmsFrame::control(uint8_t stype, uint32_t system, uint16_t session, uint8_t b2,
                             uint8_t b3)
{
    HsmsFrame f;
    f.session = session;
    f.b2 = b2;
    f.b3 = b3;
    f.stype = stype;
    f.system = system;
    return f;
}

HsmsFrame HsmsFrame::data(uint16_t dev, uint8_t stream, uint8_t function, bool w, uint32_t system,
                          std::vector<uint8_t> body)
{
    HsmsFrame f;
    f.session = dev;
    f.b2 = uint8_t((stream & 0x7F) | (w ? 0x80 : 0));
    f.b3 = function;
    f.stype = HSMS_DATA;
    f.system = system;
    f.body = std::move(body);
    return f;
}

std::string HsmsFrame::describe() const
{
    char text[128];
    if (stype == HSMS_DATA)
        std::snprintf(text, sizeof text, "S%dF%d%s dev=0x%04x sys=0x%08x len=%zu", stream(),
                      function(), wbit() ? " W" : "", session, system, body.size());
    else
        std::snprintf(text, sizeof text, "SType=%d session=0x%04x b2=%d b3=%d sys=0x%08x", stype,
                      session, b2, b3, system);
    return text;
}

// ---- peer ----

HsmsPeer::~HsmsPeer()
{
    close();
    close_listener();
}

void HsmsPeer::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void HsmsPeer::close_listener()
{
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
    listen_fd_ = -1;
    listen_port_ = -1;
}

int HsmsPeer::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void HsmsPeer::adopt(int fd)
{
    close();
    fd_ = fd;
}

bool HsmsPeer::connect(int port, int timeout_ms, const char* host)
{
    close();
    // Numeric IPv4 or IPv6 loopback text; no name lookup.
    sockaddr_storage addr{};
    socklen_t addr_len = 0;
    if (host == nullptr)
        host = "127.0.0.1";
    auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (::inet_pton(AF_INET, host, &a4->sin_addr) == 1) {
        a4->sin_family = AF_INET;
        a4->sin_port = htons(static_cast<uint16_t>(port));
        addr_len = sizeof *a4;
    } else if (::inet_pton(AF_INET6, host, &a6->sin6_addr) == 1) {
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(static_cast<uint16_t>(port));
        addr_len = sizeof *a6;
    } else {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    // Refused while the other side is not listening yet: retry every 20 ms
    // until the deadline.
    for (int attempt = 0; attempt < 10000; ++attempt) {
        int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return false;
        int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), addr_len);
        if (rc != 0 && errno == EINPROGRESS && wait_for(fd, POLLOUT, deadline)) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            rc = err == 0 ? 0 : -1;
        }
        if (rc == 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            no_delay(fd);
            fd_ = fd;
            return true;
        }
        ::close(fd);
        if (ms_left(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20, ms_left(deadline))));
    }
    return false;
}

int HsmsPeer::listen()
{
    close_listener();
    listen_fd_ = listen_loopback(8, &listen_port_);
    return listen_fd_ >= 0 ? listen_port_ : -1;
}

bool HsmsPeer::accept(int timeout_ms)
{
    if (listen_fd_ < 0)
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!wait_for(listen_fd_, POLLIN, deadline))
        return false;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    no_delay(fd);
    adopt(fd);
    return true;
}

bool HsmsPeer::send(const HsmsFrame& frame)
{
    std::vector<uint8_t> bytes = frame.encode();
    return send_raw(bytes.data(), bytes.size());
}

bool HsmsPeer::send_raw(const void* data, size_t size)
{
    return fd_ >= 0 && send_all(fd_, static_cast<const uint8_t*>(data), size);
}

bool HsmsPeer::send_split(const HsmsFrame& frame, size_t piece, int pause_ms)
{
    if (fd_ < 0 || piece == 0)
        return false;
    std::vector<uint8_t> bytes = frame.encode();
    for (size_t off = 0; off < bytes.size(); off += piece) {
        if (off > 0 && pause_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        if (!send_all(fd_, bytes.data() + off, std::min(piece, bytes.size() - off)))
            return false;
    }
    return true;
}

std::optional<HsmsFrame> HsmsPeer::read(int timeout_ms)
{
    last_count_ = 0;
    if (fd_ < 0)
        return std::nullopt;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t len4[4];
    last_count_ = recv_until(fd_, len4, 4, deadline);
    if (last_count_ < 4)
        return std::nullopt;
    uint32_t len = get_be32(len4);
    if (len < 10 || len > max_frame_)
        return std::nullopt;
    std::vector<uint8_t> bytes(4 + size_t(len));
    std::memcpy(bytes.data(), len4, 4);
    last_count_ += recv_until(fd_, bytes.data() + 4, len, deadline);
    if (last_count_ < bytes.size())
        return std::nullopt;
    return HsmsFrame::decode(bytes.data(), bytes.size());
}

std::vector<uint8_t> HsmsPeer::read_raw(size_t n, int timeout_ms)
{
    std::vector<uint8_t> out(n);
    last_count_ = fd_ < 0 ? 0
                          : recv_until(fd_, out.data(), n,
                                       Clock::now() + std::chrono::milliseconds(timeout_ms));
    out.resize(last_count_);
    return out;
}

bool HsmsPeer::wait_closed(int timeout_ms)
{
    if (fd_ < 0)
        return true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t sink[4096];
    // Each pass drains data or ends; bounded by the deadline.
    while (wait_for(fd_, POLLIN, deadline)) {
        ssize_t r = ::recv(fd_, sink, sizeof sink, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return true;
    }
    return false;
}

bool HsmsPeer::shutdown_write()
{
    return fd_ >= 0 && ::shutdown(fd_, SHUT_WR) == 0;
}

int HsmsFreePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool HsmsTcpPair(int fds[2])
{
    fds[0] = fds[1] = -1;
    HsmsPeer server, client;
    int port = server.listen();
    if (port < 0 || !client.connect(port, 2000) || !server.accept(2000))
        return false;
    fds[0] = client.release();
    fds[1] = server.release();
    return true;
}
