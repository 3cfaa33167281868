// The scripted SECS-I line peer and the pty link: plain POSIX, nothing
// from the library.
#include "SecsLine.h"
#include "PeerSocket.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace peer_socket;

// A raw pty pair: master and slave descriptors and the slave's path.
bool make_pty(int* master, int* slave, std::string* name)
{
    termios raw{};
    ::cfmakeraw(&raw);
    raw.c_cflag |= CREAD | CLOCAL;
    char path[PATH_MAX];
    if (::openpty(master, slave, path, &raw, nullptr) != 0)
        return false;
    ::fcntl(*master, F_SETFD, FD_CLOEXEC);
    ::fcntl(*slave, F_SETFD, FD_CLOEXEC);
    *name = path;
    return true;
}

void close_fd(int* fd)
{
    if (*fd >= 0)
        ::close(*fd);
    *fd = -1;
}

}  // namespace

// ---- blocks ----

std::array<uint8_t, 10> SecsHeader::encode() const
{
    uint16_t dev = uint16_t((rbit ? 0x8000 : 0) | (device & 0x7FFF));
    uint16_t blk = block_field();
    return {uint8_t(dev >> 8),         uint8_t(dev),
            uint8_t((wbit ? 0x80 : 0) | (stream & 0x7F)), function,
            uint8_t(blk >> 8),         uint8_t(blk),
            uint8_t(system >> 24),     uint8_t(system >> 16),
            uint8_t(system >> 8),      uint8_t(system)};
}

SecsHeader SecsHeader::decode(const uint8_t* b)
{
    SecsHeader h;
    h.rbit = (b[0] & 0x80) != 0;
    h.device = uint16_t((b[0] & 0x7F) << 8 | b[1]);
    h.wbit = (b[2] & 0x80) != 0;
    h.stream = b[2] & 0x7F;
    h.function = b[3];
    h.ebit = (b[4] & 0x80) != 0;
    h.block = uint16_t((b[4] & 0x7F) << 8 | b[5]);
    h.system = uint32_t(b[6]) << 24 | uint32_t(b[7]) << 16 | uint32_t(b[8]) << 8 | b[9];
    return h;
}

uint16_t SecsChecksum(std::span<const uint8_t> bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return uint16_t(sum);
}

std::vector<uint8_t> SecsEncodeBlock(const SecsHeader& header, std::span<const uint8_t> data,
                                     std::optional<uint16_t> checksum)
{
    std::vector<uint8_t> out;
    out.reserve(13 + data.size());
    out.push_back(uint8_t(10 + data.size()));
    auto h = header.encode();
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), data.begin(), data.end());
    uint16_t sum = checksum.value_or(SecsChecksum(std::span(out).subspan(1)));
    out.push_back(uint8_t(sum >> 8));
    out.push_back(uint8_t(sum));
    return out;
}

// ---- peer ----

SecsLinePeer::~SecsLinePeer()
{
    close();
    close_listener();
}

bool SecsLinePeer::open_pty()
{
    close();
    int master = -1;
    if (!make_pty(&master, &slave_fd_, &name_))
        return false;
    adopt(master, false);
    return true;
}

int SecsLinePeer::listen()
{
    return listener_.listen();
}

bool SecsLinePeer::accept(int timeout_ms)
{
    if (!listener_.accept(timeout_ms))
        return false;
    adopt(listener_.release(), true);
    return true;
}

bool SecsLinePeer::connect(int port, int timeout_ms)
{
    HsmsPeer client;
    if (!client.connect(port, timeout_ms))
        return false;
    adopt(client.release(), true);
    return true;
}

void SecsLinePeer::adopt(int fd, bool socket)
{
    close_fd(&fd_);
    fd_ = fd;
    socket_ = socket;
}

void SecsLinePeer::close()
{
    close_fd(&fd_);
    close_fd(&slave_fd_);
    name_.clear();
}

void SecsLinePeer::close_listener()
{
    listener_.close_listener();
}

bool SecsLinePeer::write_all(const uint8_t* p, size_t n)
{
    if (fd_ < 0)
        return false;
    while (n > 0) {
        ssize_t r = socket_ ? ::send(fd_, p, n, MSG_NOSIGNAL) : ::write(fd_, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

size_t SecsLinePeer::read_until(uint8_t* p, size_t n, int timeout_ms)
{
    if (fd_ < 0)
        return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t got = 0;
    while (got < n) {
        if (!wait_for(fd_, POLLIN, deadline))
            break;
        ssize_t r = ::read(fd_, p + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += size_t(r);
    }
    return got;
}

bool SecsLinePeer::send_raw(std::span<const uint8_t> bytes)
{
    return write_all(bytes.data(), bytes.size());
}

bool SecsLinePeer::send_byte(uint8_t ch)
{
    return write_all(&ch, 1);
}

bool SecsLinePeer::send_block(const SecsHeader& header, std::span<const uint8_t> data,
                              std::optional<uint16_t> checksum)
{
    if (data.size() > 244)
        return false;
    return send_raw(SecsEncodeBlock(header, data, checksum));
}

int SecsLinePeer::read_byte(int timeout_ms)
{
    uint8_t ch = 0;
    return read_until(&ch, 1, timeout_ms) == 1 ? ch : -1;
}

std::vector<uint8_t> SecsLinePeer::read_raw(size_t n, int timeout_ms)
{
    std::vector<uint8_t> out(n);
    out.resize(read_until(out.data(), n, timeout_ms));
    return out;
}

bool SecsLinePeer::expect(uint8_t ch, int timeout_ms)
{
    return read_byte(timeout_ms) == ch;
}

bool SecsLinePeer::silent(int timeout_ms)
{
    return read_byte(timeout_ms) < 0;
}

std::optional<SecsBlock> SecsLinePeer::read_block(int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int len = read_byte(timeout_ms);
    if (len < 10 || len > 254)
        return std::nullopt;
    std::vector<uint8_t> rest(size_t(len) + 2);
    if (read_until(rest.data(), rest.size(), std::max(1, ms_left(deadline))) != rest.size())
        return std::nullopt;
    SecsBlock b;
    b.length = uint8_t(len);
    std::copy_n(rest.begin(), 10, b.raw.begin());
    b.header = SecsHeader::decode(rest.data());
    b.data.assign(rest.begin() + 10, rest.begin() + len);
    b.checksum = uint16_t(rest[size_t(len)] << 8 | rest[size_t(len) + 1]);
    b.checksum_ok = b.checksum == SecsChecksum(std::span(rest).first(size_t(len)));
    return b;
}

std::optional<SecsMessage> SecsLinePeer::receive_message(int timeout_ms)
{
    SecsMessage msg;
    // At most one message of 32767 blocks; every step is bounded in time.
    for (int n = 0; n < 32767; ++n) {
        if (!expect(SECS_ENQ, timeout_ms) || !send_byte(SECS_EOT))
            return std::nullopt;
        auto block = read_block(timeout_ms);
        if (!block)
            return std::nullopt;
        if (!block->checksum_ok) {
            send_byte(SECS_NAK);
            return std::nullopt;
        }
        if (!send_byte(SECS_ACK))
            return std::nullopt;
        msg.header = block->header;
        msg.body.insert(msg.body.end(), block->data.begin(), block->data.end());
        bool last = block->header.ebit;
        msg.blocks.push_back(std::move(*block));
        if (last)
            return msg;
    }
    return std::nullopt;
}

bool SecsLinePeer::send_message(const SecsHeader& header, std::span<const uint8_t> body,
                                int timeout_ms, size_t block_size, uint16_t single)
{
    if (block_size == 0 || block_size > 244)
        return false;
    size_t blocks = std::max<size_t>(1, (body.size() + block_size - 1) / block_size);
    if (blocks > 32767)
        return false;
    SecsHeader h = header;
    for (size_t k = 1; k <= blocks; ++k) {
        size_t off = (k - 1) * block_size;
        size_t n = std::min(block_size, body.size() - off);
        h.ebit = k == blocks;
        h.block = blocks == 1 ? single : uint16_t(k);
        if (!send_byte(SECS_ENQ) || !expect(SECS_EOT, timeout_ms) ||
            !send_block(h, body.subspan(off, n)) || !expect(SECS_ACK, timeout_ms))
            return false;
    }
    return true;
}

// ---- pty link ----

PtyLink::~PtyLink()
{
    stop();
}

bool PtyLink::start()
{
    stop();
    for (int i = 0; i < 2; ++i) {
        if (!make_pty(&master_[i], &slave_[i], &name_[i])) {
            stop();
            return false;
        }
        ::fcntl(master_[i], F_SETFL, ::fcntl(master_[i], F_GETFL) | O_NONBLOCK);
    }
    stop_ = false;
    thread_ = std::thread([this] { relay(); });
    return true;
}

void PtyLink::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    for (int i = 0; i < 2; ++i) {
        close_fd(&master_[i]);
        close_fd(&slave_[i]);
        name_[i].clear();
    }
}

void PtyLink::relay()
{
    uint8_t buf[4096];
    // Polls in 20 ms steps so stop() is seen quickly; a write to a full
    // side waits in the same steps.
    while (!stop_) {
        pollfd p[2] = {{master_[0], POLLIN, 0}, {master_[1], POLLIN, 0}};
        int rc = ::poll(p, 2, 20);
        if (rc <= 0)
            continue;
        for (int i = 0; i < 2 && !stop_; ++i) {
            if ((p[i].revents & POLLIN) == 0)
                continue;
            ssize_t r = ::read(master_[i], buf, sizeof buf);
            if (r <= 0)
                continue;
            int to = master_[1 - i];
            size_t done = 0;
            while (done < size_t(r) && !stop_) {
                ssize_t w = ::write(to, buf + done, size_t(r) - done);
                if (w > 0) {
                    done += size_t(w);
                    continue;
                }
                pollfd q{to, POLLOUT, 0};
                ::poll(&q, 1, 20);
            }
            copied_[i] += done;
        }
    }
}
