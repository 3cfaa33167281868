// A loopback TCP relay between a client and a server, for tests that need
// to break the road between them: every connection accepted on the relay's
// own port is carried to the server's port, byte for byte, by one thread.
//
//   cut()      closes every carried connection and the listener, so that
//              new connects are refused; restore() listens again on the
//              same port.
//   swallow()  drops the next answer frame the server sends for a request
//              the predicate picks (any request when none is given); the
//              frame lengths come from the caller's framing function.
//
// Header only; every wait has a deadline. Nothing of it is inherited by
// the programs a test starts.
#pragma once
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/BridgeRig.h"

class TcpRelay {
public:
    // The whole length of the frame that starts the bytes, or 0 while it is
    // incomplete.
    using Framing = std::function<size_t(const uint8_t* bytes, size_t n)>;
    // Whether the answer to this request frame is to be swallowed.
    using Pick = std::function<bool(const uint8_t* frame, size_t n)>;

    TcpRelay(int server_port, Framing framing) : server_port_(server_port), framing_(std::move(framing))
    {
        listen_fd_ = listen_on(0);
        if (listen_fd_ >= 0)
            thread_ = std::thread([this] { run(); });
    }
    ~TcpRelay()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        for (Pair& p : pairs_)
            close_pair(p);
        if (listen_fd_ >= 0)
            ::close(listen_fd_);
    }
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    bool ready() const { return port_ > 0; }
    int port() const { return port_; }
    // The server's port, for a server that came back on another one.
    void set_server_port(int port) { server_port_.store(port); }
    // Connections carried so far, and frames swallowed so far.
    int accepted() const { return accepted_.load(); }
    int swallowed() const { return swallowed_.load(); }

    // Close every connection and stop listening; true once done (within 3 s).
    bool cut() { return command(Command::Cut); }
    // Listen on the same port again; true once listening (within 3 s).
    bool restore() { return command(Command::Restore); }
    // Swallow the answer to the next request that pick accepts.
    void swallow(Pick pick = nullptr)
    {
        std::lock_guard<std::mutex> lock(m_);
        pick_ = pick ? std::move(pick) : [](const uint8_t*, size_t) { return true; };
        armed_ = true;
    }

private:
    enum class Command { None, Cut, Restore };

    // One carried connection and what is known of its frames.
    struct Pair {
        int client = -1, server = -1;
        std::vector<uint8_t> requests, answers;  // bytes of incomplete frames
        int marked = 0;                          // answers still to pass before the one to drop
        bool drop = false;                       // an answer is to be dropped
    };

    // A listener of our own: the programs the tests start must not hold
    // it (nor the carried connections), or a cut would not close them.
    int listen_on(int port)
    {
        int bound = 0;
        int fd = RigListen(port, &bound);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            port_.store(bound);
        }
        return fd;
    }
    int connect_server() const
    {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(server_port_.load()));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    static void close_pair(Pair& p)
    {
        if (p.client >= 0)
            ::close(p.client);
        if (p.server >= 0)
            ::close(p.server);
        p.client = p.server = -1;
    }
    static bool send_all(int fd, const uint8_t* bytes, size_t n)
    {
        while (n > 0) {
            ssize_t sent = ::send(fd, bytes, n, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes += sent;
            n -= size_t(sent);
        }
        return true;
    }

    bool command(Command c)
    {
        done_.store(false);
        command_.store(c);
        return RigWait([&] { return done_.load(); }, 3000);
    }
    void take_command()
    {
        Command c = command_.exchange(Command::None);
        if (c == Command::None)
            return;
        if (c == Command::Cut) {
            for (Pair& p : pairs_)
                close_pair(p);
            pairs_.clear();
            if (listen_fd_ >= 0)
                ::close(listen_fd_);
            listen_fd_ = -1;
        } else if (listen_fd_ < 0) {
            int port = port_.load();
            RigWait([&] { return (listen_fd_ = listen_on(port)) >= 0; }, 3000);
        }
        done_.store(true);
    }

    // Requests going to the server: count the frames, and mark the answer
    // of the first one the armed predicate picks.
    void look_at_requests(Pair& p, const uint8_t* bytes, size_t n)
    {
        p.requests.insert(p.requests.end(), bytes, bytes + n);
        for (size_t length; (length = framing_(p.requests.data(), p.requests.size())) > 0 &&
                            length <= p.requests.size();) {
            {
                std::lock_guard<std::mutex> lock(m_);
                if (armed_ && !p.drop && pick_(p.requests.data(), length)) {
                    armed_ = false;
                    p.drop = true;
                } else if (!p.drop) {
                    ++p.marked;
                }
            }
            p.requests.erase(p.requests.begin(), p.requests.begin() + ptrdiff_t(length));
        }
    }
    // Answers going to the client: whole frames only, less the one to drop.
    bool pass_answers(Pair& p, const uint8_t* bytes, size_t n)
    {
        p.answers.insert(p.answers.end(), bytes, bytes + n);
        for (size_t length; (length = framing_(p.answers.data(), p.answers.size())) > 0 &&
                            length <= p.answers.size();) {
            if (p.drop && p.marked == 0) {
                p.drop = false;
                swallowed_.fetch_add(1);
            } else {
                if (p.marked > 0)
                    --p.marked;
                if (!send_all(p.client, p.answers.data(), length))
                    return false;
            }
            p.answers.erase(p.answers.begin(), p.answers.begin() + ptrdiff_t(length));
        }
        return true;
    }

    void run()
    {
        uint8_t buffer[8192];
        while (!stop_.load()) {
            take_command();
            std::vector<pollfd> fds;
            fds.push_back({listen_fd_, POLLIN, 0});
            for (const Pair& p : pairs_) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.server, POLLIN, 0});
            }
            if (::poll(fds.data(), nfds_t(fds.size()), 10) <= 0)
                continue;
            if (listen_fd_ >= 0 && (fds[0].revents & POLLIN) != 0) {
                int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                int server = client >= 0 ? connect_server() : -1;
                if (server >= 0) {
                    Pair p;
                    p.client = client;
                    p.server = server;
                    pairs_.push_back(std::move(p));
                    accepted_.fetch_add(1);
                } else if (client >= 0) {
                    ::close(client);
                }
            }
            for (size_t i = 0; i < pairs_.size() && 2 * i + 2 < fds.size(); ++i) {
                Pair& p = pairs_[i];
                bool ok = true;
                if ((fds[2 * i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    ssize_t n = ::recv(p.client, buffer, sizeof buffer, 0);
                    ok = n > 0 && send_all(p.server, buffer, size_t(n));
                    if (ok)
                        look_at_requests(p, buffer, size_t(n));
                }
                if (ok && (fds[2 * i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    ssize_t n = ::recv(p.server, buffer, sizeof buffer, 0);
                    ok = n > 0 && pass_answers(p, buffer, size_t(n));
                }
                if (!ok)
                    close_pair(p);
            }
            std::erase_if(pairs_, [](const Pair& p) { return p.client < 0; });
        }
    }

    std::atomic<int> server_port_;
    const Framing framing_;
    int listen_fd_ = -1;
    std::atomic<int> port_{-1};
    std::vector<Pair> pairs_;  // the relay thread's own
    std::mutex m_;
    Pick pick_;
    bool armed_ = false;
    std::atomic<Command> command_{Command::None};
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<int> accepted_{0}, swallowed_{0};
    std::thread thread_;
};

// MELSEC MC protocol binary 3E frames, requests and answers alike: nine
// bytes of head whose last two give the length of the rest (low byte
// first).
inline size_t MelsecFrameLength(const uint8_t* bytes, size_t n)
{
    return n < 9 ? 0 : 9 + size_t(bytes[7] | bytes[8] << 8);
}
// The head device address of a 3E batch read or write request (three
// bytes from offset 15), or -1 for a shorter frame.
inline int32_t MelsecRequestAddress(const uint8_t* frame, size_t n)
{
    return n < 19 ? -1 : int32_t(frame[15] | frame[16] << 8 | frame[17] << 16);
}
