// A whole bridge in one process, for end-to-end tests and benchmarks: an
// INI file and a message definition file in a temporary directory, the
// bridge started through QZVQProcOpen with its lines collected, the host
// played by a library session (active HSMS, engine as a thread) and the PLC
// played by the caller through one memory interface with two backings:
//
//   ImagePlc   the shared-memory PLC image (PLCTYPE 15), mapped a second
//              time under the same name;
//   NetPlc     the answering side of a PLC driver (MELSEC, Omron or
//              Keyence, PLCTYPE 0, 2 or 4) on a loopback listener serving a
//              memory of data registers from its own thread; it can drop
//              the connection and refuse new ones, and come back.
//
// Header only and free of gtest, so that benchmarks can use it too. Every
// wait has a deadline.
//
//   ImagePlc plc;
//   BridgeRig rig(plc, {.sml = "S2F41 H W\n<A[0..20]RCMD // 0xA8,0,0x200,10\n"});
//   rig.start();                 // 0 or QZVQProcOpen's failure
//   rig.host.open_select();      // the host connects and selects
//   plc.set_plc_status(1);
//   rig.host.send(0x8229, body); // lands in PLC memory
#pragma once
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "plc/qzrplc.h"
#include "runtime/XKWMem.h"
#include "runtime/XKWResource.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWTime.h"
#include "secs/xks.h"

// Wait until pred() holds, polling every millisecond, at most ms.
template <class Pred>
bool RigWait(Pred pred, int ms)
{
    uint64_t end = XKWTickCount() + uint64_t(ms);
    while (!pred()) {
        if (XKWTickCount() >= end)
            return false;
        XKWSleep(1);
    }
    return true;
}

// A loopback listener on port (0: a free one); the descriptor or -1, the
// port chosen in *bound.
inline int RigListen(int port, int* bound)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *bound = ntohs(a.sin_port);
    return fd;
}

// A loopback port that was free a moment ago.
inline int RigFreePort()
{
    int port = -1;
    int fd = RigListen(0, &port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// Message bodies on the wire (big-endian), written from the item layout:
// format byte = format code << 2 | 1 length byte, then the length.
inline std::vector<uint8_t> RigItem(uint8_t format, const void* bytes, size_t n)
{
    std::vector<uint8_t> out(2 + n);
    out[0] = uint8_t(format << 2 | 1);
    out[1] = uint8_t(n);
    std::copy_n(static_cast<const uint8_t*>(bytes), n, out.begin() + 2);
    return out;
}
inline std::vector<uint8_t> RigList(uint8_t count)
{
    return {0x01, count};
}
inline std::vector<uint8_t> RigAscii(std::string_view text)
{
    return RigItem(020, text.data(), text.size());
}
inline std::vector<uint8_t> RigU2(uint16_t v)
{
    const uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
    return RigItem(052, b, 2);
}
inline std::vector<uint8_t> RigU4(uint32_t v)
{
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    return RigItem(054, b, 4);
}
// The parts joined.
inline std::vector<uint8_t> RigBody(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Text as PLC words: character 2k in the low byte of word k, NUL-padded to
// n words.
inline std::vector<uint16_t> RigTextWords(std::string_view text, size_t n)
{
    std::vector<uint16_t> words(n, 0);
    for (size_t i = 0; i < text.size() && i / 2 < n; ++i)
        words[i / 2] = uint16_t(words[i / 2] | uint8_t(text[i]) << (i % 2 * 8));
    return words;
}
// The text of PLC words, up to its first NUL.
inline std::string RigWordsText(const uint16_t* words, size_t n)
{
    std::string text;
    for (size_t i = 0; i < 2 * n; ++i) {
        char c = char(words[i / 2] >> (i % 2 * 8));
        if (c == '\0')
            break;
        text += c;
    }
    return text;
}

// The U4 value as two PLC words: the lower word first, or the higher one
// first on a PLC that keeps values high word first (Omron).
inline std::vector<uint16_t> RigU4Words(uint32_t value, bool high_first)
{
    return high_first ? std::vector<uint16_t>{uint16_t(value >> 16), uint16_t(value)}
                      : std::vector<uint16_t>{uint16_t(value), uint16_t(value >> 16)};
}
inline uint16_t RigSwap(uint16_t word)
{
    return uint16_t(word << 8 | word >> 8);
}

// Where a PLC keeps the bridge's devices; addresses in the units of each
// access kind (status and handshake points, information block and item
// words).
struct RigDevices {
    int32_t plc_status, secs_status;  // kind 0
    int32_t plc_req, pc_ack;          // kind 1, PLC to host
    int32_t plc_ack, pc_req;          // kind 1, host to PLC
    int32_t plc_inform, secs_inform;  // kind 2, 20 words each
};

// The PLC as the test plays it: points of the four access kinds, read and
// written where the bridge finds them.
class BridgePlc {
public:
    explicit BridgePlc(const RigDevices& d) : dev(d) {}
    virtual ~BridgePlc() = default;
    BridgePlc(const BridgePlc&) = delete;
    BridgePlc& operator=(const BridgePlc&) = delete;

    // Whether the PLC side could be set up.
    virtual bool ready() const = 0;
    // The [PLC] lines that reach this PLC (type, host, port).
    virtual std::string link_keys() const = 0;
    // n points of an access kind (0 status, 1 handshake, 2 inform, 3 item).
    virtual void read(int32_t kind, int32_t address, uint16_t* words, int32_t n) = 0;
    virtual void write(int32_t kind, int32_t address, const uint16_t* words, int32_t n) = 0;

    // The device code of the data registers every device and item uses.
    virtual std::string code() const { return "0xA8"; }
    // Whether the PLC keeps text high byte first and values high word first.
    virtual bool high_first() const { return false; }

    // The [PLC] lines of the link and of every device.
    std::string keys() const
    {
        const std::string device = code();
        const char* c = device.c_str();
        char text[256];
        std::snprintf(text, sizeof text,
                      "PLCSSDEV0=%s,%d\nPLCSSDEV1=%s,%d\nPLCHSDEV0=%s,%d,%d\nPLCHSDEV1=%s,%d,%d\n"
                      "PLCMSDEV0=%s,%d\nPLCMSDEV1=%s,%d\n",
                      c, dev.plc_status, c, dev.secs_status, c, dev.plc_req, dev.pc_ack, c, dev.plc_ack,
                      dev.pc_req, c, dev.plc_inform, c, dev.secs_inform);
        return link_keys() + text;
    }
    // Message definitions written with the code 0xA8 in their PLC fields,
    // for this PLC's code.
    std::string definitions(std::string sml) const
    {
        const std::string from = "// 0xA8,", to = "// " + code() + ",";
        for (size_t at = 0; (at = sml.find(from, at)) != std::string::npos; at += to.size())
            sml.replace(at, from.size(), to);
        return sml;
    }
    // Item words as the bridge writes them for this PLC: text two bytes a
    // word, a U4 value in two words.
    std::vector<uint16_t> text_words(std::string_view text, size_t n) const
    {
        std::vector<uint16_t> words = RigTextWords(text, n);
        if (high_first())
            std::transform(words.begin(), words.end(), words.begin(), RigSwap);
        return words;
    }
    std::string words_text(std::vector<uint16_t> words) const
    {
        if (high_first())
            std::transform(words.begin(), words.end(), words.begin(), RigSwap);
        return RigWordsText(words.data(), words.size());
    }
    std::vector<uint16_t> u4_words(uint32_t value) const { return RigU4Words(value, high_first()); }

    uint16_t point(int32_t kind, int32_t address)
    {
        uint16_t v = 0;
        read(kind, address, &v, 1);
        return v;
    }
    void set_point(int32_t kind, int32_t address, uint16_t v) { write(kind, address, &v, 1); }

    void set_plc_status(uint16_t v) { set_point(0, dev.plc_status, v); }
    uint16_t secs_status() { return point(0, dev.secs_status); }
    void set_plc_req(uint16_t v) { set_point(1, dev.plc_req, v); }
    uint16_t pc_ack() { return point(1, dev.pc_ack); }
    void set_plc_ack(uint16_t v) { set_point(1, dev.plc_ack, v); }
    uint16_t pc_req() { return point(1, dev.pc_req); }

    std::vector<uint16_t> items(int32_t address, int32_t n)
    {
        std::vector<uint16_t> words(static_cast<size_t>(n));
        read(3, address, words.data(), n);
        return words;
    }
    void put_items(int32_t address, const std::vector<uint16_t>& words)
    {
        write(3, address, words.data(), int32_t(words.size()));
    }
    // The block the bridge wrote for the last host message.
    std::vector<uint16_t> secs_inform()
    {
        std::vector<uint16_t> words(QZVQ_INFORM_WORDS);
        read(2, dev.secs_inform, words.data(), QZVQ_INFORM_WORDS);
        return words;
    }
    // Fill the block of a PLC request: stream/function, device ID, system
    // bytes (upper word first) and the message name.
    void put_plc_inform(uint16_t sf, uint16_t devid, uint32_t xid, std::string_view name)
    {
        std::vector<uint16_t> words = RigTextWords(name, QZVQ_INFORM_WORDS);
        words.insert(words.begin(), {sf, devid, uint16_t(xid >> 16), uint16_t(xid)});
        write(2, dev.plc_inform, words.data(), QZVQ_INFORM_WORDS);
    }

    const RigDevices dev;
};

// The shared-memory PLC image under a name of its own. Each area starts at
// its own place of the block, so the devices may share addresses across
// kinds; status and handshake points are bytes.
class ImagePlc : public BridgePlc {
public:
    static constexpr int32_t kSize = 4096;

    ImagePlc() : BridgePlc({0, 1, 0, 1, 2, 3, 0, QZVQ_INFORM_WORDS})
    {
        static std::atomic<int> serial{0};
        name_ = "qzvqrig" + std::to_string(::getpid()) + "." + std::to_string(serial++);
        XKWMemRemove(name_.c_str());
        base_ = static_cast<uint8_t*>(XKWMemMap(name_.c_str(), kSize, &map_));
    }
    ~ImagePlc() override
    {
        if (base_ != nullptr)
            XKWMemUnmap(base_, &map_);
        XKWMemRemove(name_.c_str());
    }
    bool ready() const override { return base_ != nullptr; }

    std::string link_keys() const override
    {
        return "PLCTYPE=15\nPLCHOST=" + name_ + "\nPLCPORT=" + std::to_string(kSize) + "\n";
    }
    // The bridge copies with its own mapping at another address; single
    // points go through atomics so that a point is never torn.
    void read(int32_t kind, int32_t address, uint16_t* words, int32_t n) override
    {
        for (int32_t i = 0; i < n; ++i)
            words[i] = kind < 2 ? __atomic_load_n(at(kind, address + i), __ATOMIC_ACQUIRE)
                                : __atomic_load_n(word_at(kind, address + i), __ATOMIC_ACQUIRE);
    }
    void write(int32_t kind, int32_t address, const uint16_t* words, int32_t n) override
    {
        for (int32_t i = 0; i < n; ++i) {
            if (kind < 2)
                __atomic_store_n(at(kind, address + i), uint8_t(words[i]), __ATOMIC_RELEASE);
            else
                __atomic_store_n(word_at(kind, address + i), words[i], __ATOMIC_RELEASE);
        }
    }

private:
    // Byte position of a point: kinds 0 and 1 byte areas at 0 and 4, kinds
    // 2 and 3 word areas at 8 and 136.
    static size_t position(int32_t kind, int32_t address)
    {
        static constexpr size_t start[4] = {0, 4, 8, 136};
        return start[kind & 3] + size_t(address) * (kind < 2 ? 1 : 2);
    }
    uint8_t* at(int32_t kind, int32_t address) { return base_ + position(kind, address); }
    uint16_t* word_at(int32_t kind, int32_t address)
    {
        return reinterpret_cast<uint16_t*>(base_ + position(kind, address));
    }

    std::string name_;
    uint8_t* base_ = nullptr;
    XKWMemMapping map_{};
};

// A PLC of data registers on a loopback listener, played by the answering
// side of its family's driver: MELSEC (3E frames, D), Omron (FINS/TCP, DM
// words) or Keyence (upper link, DM). Its thread accepts one connection at
// a time and answers reads and writes until the connection ends. Every
// kind is a data register here, so the devices sit apart from each other
// and from the items (0x200 on).
enum class RigFamily { Melsec, Omron, Keyence };

class NetPlc : public BridgePlc {
public:
    static constexpr int32_t kWords = 4096;

    explicit NetPlc(RigFamily family)
        : BridgePlc({0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x100, 0x120}), family_(family)
    {
        listen_fd_ = RigListen(0, &port_);
        if (listen_fd_ >= 0)
            thread_ = std::thread([this] { serve(); });
    }
    ~NetPlc() override
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        if (listen_fd_ >= 0)
            ::close(listen_fd_);
    }
    bool ready() const override { return port_ > 0; }
    int port() const { return port_; }
    // Connections accepted so far.
    int accepted() const { return accepted_.load(); }

    // Close the connection and the listener, so that the bridge's connects
    // are refused; true once both are gone (within 3 s).
    bool drop()
    {
        down_.store(true);
        return RigWait([&] { return idle_.load(); }, 3000);
    }
    // Listen again on the same port.
    void resume() { down_.store(false); }

    std::string link_keys() const override
    {
        static constexpr const char* types[] = {"0", "2", "4"};
        return std::string("PLCTYPE=") + types[int(family_)] + "\nPLCHOST=127.0.0.1\nPLCPORT=" +
               std::to_string(port_) + "\nPLCOPT0=0\n";
    }
    std::string code() const override
    {
        static constexpr const char* codes[] = {"0xA8", "0x82", "DM"};
        return codes[int(family_)];
    }
    bool high_first() const override { return family_ == RigFamily::Omron; }

    void read(int32_t, int32_t address, uint16_t* words, int32_t n) override
    {
        std::lock_guard<std::mutex> lock(m_);
        for (int32_t i = 0; i < n; ++i)
            words[i] = memory_[size_t(address + i) % kWords];
    }
    void write(int32_t, int32_t address, const uint16_t* words, int32_t n) override
    {
        std::lock_guard<std::mutex> lock(m_);
        for (int32_t i = 0; i < n; ++i)
            memory_[size_t(address + i) % kWords] = words[i];
    }

private:
    // A request as the answering sides give it.
    struct Request {
        bool read;
        int32_t address, points;
        const uint16_t* words;  // write data, or null for a bit write
        uint16_t value;         // the value of a bit write
    };

    void serve()
    {
        while (!stop_.load()) {
            if (down_.load()) {
                if (listen_fd_ >= 0)
                    ::close(listen_fd_);
                listen_fd_ = -1;
                idle_.store(true);
                XKWSleep(5);
                continue;
            }
            idle_.store(false);
            int bound = 0;
            if (listen_fd_ < 0 && (listen_fd_ = RigListen(port_, &bound)) < 0) {
                XKWSleep(5);
                continue;
            }
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            int fd = ::accept(listen_fd_, nullptr, nullptr);
            if (fd < 0)
                continue;
            int32_t id = open(fd);
            if (id <= 0) {
                ::close(fd);
                continue;
            }
            accepted_.fetch_add(1);
            while (!stop_.load() && !down_.load()) {
                int32_t rc = answer(id);
                if (rc < 0 && rc != -138)
                    break;
            }
            close(id);
        }
    }
    int32_t open(int fd)
    {
        switch (family_) {
        case RigFamily::Melsec:
            return QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", fd, 3, "", 0);
        case RigFamily::Omron:
            return QZRPLCOmronOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", fd, 3, "", 0);
        default:
            return QZRPLCKeyenceOpen(QZRPLC_FLAG_SERVER, "127.0.0.1", fd, 0, "", 0);
        }
    }
    void close(int32_t id)
    {
        switch (family_) {
        case RigFamily::Melsec:
            QZRPLCMelsecClose(id, 0);
            break;
        case RigFamily::Omron:
            QZRPLCOmronClose(id, 0);
            break;
        default:
            QZRPLCKeyenceClose(id, 0);
            break;
        }
    }
    // Serve a request on the memory; false when it reaches outside.
    bool apply(const Request& r)
    {
        if (r.address < 0 || r.points < 1 || r.address + r.points > kWords)
            return false;
        if (r.read) {
            read(0, r.address, out_.data(), r.points);
        } else if (r.words != nullptr) {
            write(0, r.address, r.words, r.points);
        } else {
            std::vector<uint16_t> fill(size_t(r.points), r.value);
            write(0, r.address, fill.data(), r.points);
        }
        return true;
    }
    // Receive and answer one request; the receive's time-out (-138), or
    // below 0 when the connection is to end.
    int32_t answer(int32_t id)
    {
        const auto* words = reinterpret_cast<const uint16_t*>(data_.data());
        int32_t address = 0, points = 0, code = 0, rc = 0;
        if (family_ == RigFamily::Melsec) {
            int32_t cmd = 0;
            rc = QZRPLCMelsecServRecv(id, 0, &cmd, &code, &address, &points, data_.data(), 20);
            bool reading = cmd == QZRPLC_MELSEC_READ;
            if (rc < 0 || code != 0xA8 || !apply({reading, address, points, words, 0}))
                return rc < 0 ? rc : -1;
            return QZRPLCMelsecServSend(id, 0, cmd, code, address, reading ? points : 0, out_.data(), 0);
        }
        if (family_ == RigFamily::Omron) {
            int32_t cmd = 0, bit = 0;
            rc = QZRPLCOmronServRecv(id, 0, &cmd, &code, &address, &bit, &points, data_.data(), 20);
            if (rc < 0)
                return rc;
            bool reading = cmd == QZRPLC_OMRON_READ;
            if (cmd != QZRPLC_OMRON_NODE && (code != 0x82 || !apply({reading, address, points, words, 0})))
                return -1;
            return QZRPLCOmronServSend(id, 0, cmd, code, address, bit, reading ? points : 0, out_.data(), 0);
        }
        char cmd[QZRPLC_KEYENCE_TEXT] = "", type[QZRPLC_KEYENCE_TEXT] = "";
        rc = QZRPLCKeyenceServRecv(id, 0, cmd, type, &address, &points, data_.data(), 20);
        if (rc < 0)
            return rc;
        std::string_view c(cmd);
        bool reading = c == "RDS";
        bool bits = c == "STS" || c == "RSS";
        if (std::string_view(type) != "DM" || (!reading && !bits && c != "WRS") ||
            !apply({reading, address, points, bits ? nullptr : words, uint16_t(c == "STS" ? 1 : 0)}))
            return -1;
        return QZRPLCKeyenceServSend(id, 0, cmd, type, address, reading ? points : 0, out_.data(), 0);
    }

    const RigFamily family_;
    int listen_fd_ = -1;
    int port_ = -1;
    std::mutex m_;
    std::array<uint16_t, kWords> memory_{};
    std::array<uint16_t, kWords> out_{};
    std::vector<uint8_t> data_ = std::vector<uint8_t>(4 * QZRPLC_KEYENCE_POINTS);
    std::atomic<bool> stop_{false}, down_{false}, idle_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// The bridge's output lines, collected from every thread. The callback has
// no argument of its own, so there is one collector per process.
class RigLines {
public:
    static RigLines& instance()
    {
        static RigLines lines;
        return lines;
    }
    static void output(int32_t, const char* line) { instance().add(line); }

    void add(const char* line)
    {
        std::lock_guard<std::mutex> lock(m_);
        if (keep_)
            lines_.emplace_back(line);
    }
    // Lines holding text.
    int count(std::string_view text)
    {
        std::lock_guard<std::mutex> lock(m_);
        return int(std::count_if(lines_.begin(), lines_.end(),
                                 [&](const std::string& l) { return l.find(text) != std::string::npos; }));
    }
    // Wait until at least n lines hold text, at most ms.
    bool wait(std::string_view text, int n, int ms)
    {
        return RigWait([&] { return count(text) >= n; }, ms);
    }
    std::string all()
    {
        std::lock_guard<std::mutex> lock(m_);
        std::string out;
        for (const auto& l : lines_)
            out += l;
        return out;
    }
    // Forget the lines; keep = false stops collecting (benchmarks).
    void clear(bool keep = true)
    {
        std::lock_guard<std::mutex> lock(m_);
        lines_.clear();
        keep_ = keep;
    }

private:
    std::mutex m_;
    std::vector<std::string> lines_;
    bool keep_ = true;
};

// A data message as a session's receive callback got it.
struct RigMessage {
    int32_t devid = 0, sf = 0;
    uint32_t xid = 0;
    std::vector<uint8_t> body;
};

// A library session whose receive callback keeps the data messages.
class RigSession {
public:
    RigSession() = default;
    ~RigSession() { close(); }
    RigSession(const RigSession&) = delete;
    RigSession& operator=(const RigSession&) = delete;

    // Open the section of ini (engine as a thread, states mirrored); the
    // handle or the failure.
    int32_t open(const std::string& ini, const char* section)
    {
        handle = XKSOpen(0x1002, ini.c_str(), section, &RigSession::callback, this, nullptr, nullptr, nullptr,
                         nullptr);
        return handle;
    }
    // Open an active session and connect and select (a connect that finds
    // no listener yet is tried again); true when selected within ms.
    bool open_select(const std::string& ini, const char* section, int ms = 4000)
    {
        if (open(ini, section) <= 0)
            return false;
        uint64_t end = XKWTickCount() + uint64_t(ms);
        while (XKSGetXStat(handle, 0) == 0 && XKWTickCount() < end) {
            XKSSend(handle, XKS_SEND_CONNECT, 0, 0, 0, nullptr, 0, nullptr);
            RigWait([&] { return XKSGetXStat(handle, 0) != 0; }, 1200);
        }
        if (XKSGetXStat(handle, 0) != 1 || XKSSend(handle, XKS_SEND_SELECT, 0, 0, 0, nullptr, 0, nullptr) < 0)
            return false;
        return RigWait([&] { return XKSGetXStat(handle, 0) == 3; }, int(std::max<int64_t>(1, end - XKWTickCount())));
    }
    void close()
    {
        if (handle > 0)
            XKSClose(handle, 0);
        handle = 0;
    }
    // Send a data message; the transaction ID or the failure.
    int32_t send(int32_t sf, const std::vector<uint8_t>& body, int32_t devid = 1)
    {
        return XKSSend(handle, 0, devid, sf, 0, body.data(), int32_t(body.size()), nullptr);
    }

    // Data messages received so far.
    int64_t received() const { return received_.load(std::memory_order_acquire); }
    // The data messages with this stream/function word (W-bit included).
    std::vector<RigMessage> messages(int32_t sf)
    {
        std::lock_guard<std::mutex> lock(m_);
        std::vector<RigMessage> out;
        for (const auto& msg : messages_)
            if (msg.sf == sf)
                out.push_back(msg);
        return out;
    }
    // Wait until n messages of sf have arrived, at most ms.
    bool wait(int32_t sf, size_t n, int ms)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            return size_t(std::count_if(messages_.begin(), messages_.end(),
                                        [&](const RigMessage& msg) { return msg.sf == sf; })) >= n;
        });
    }
    // Stop keeping messages (benchmarks only count them).
    void count_only() { keep_.store(false); }

    int32_t handle = 0;

private:
    static int32_t callback(void* self, const XKSRecvRecord* r)
    {
        auto* s = static_cast<RigSession*>(self);
        if (r->cls != 4097)
            return 0;
        std::lock_guard<std::mutex> lock(s->m_);
        if (s->keep_.load()) {
            RigMessage msg{r->devid, r->sf, r->xid, {}};
            if (r->body != nullptr && r->rtn > 0)
                msg.body.assign(r->body, r->body + r->rtn);
            s->messages_.push_back(std::move(msg));
        }
        s->received_.fetch_add(1, std::memory_order_acq_rel);
        s->cv_.notify_all();
        return 0;
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<RigMessage> messages_;
    std::atomic<bool> keep_{true};
    std::atomic<int64_t> received_{0};
};

// What a rig writes besides the PLC's own keys.
struct RigSetup {
    std::string sml{};                             // message definitions with their PLC fields
    std::string plc_keys = "PLCINTER=100,20\nPLCTO=0,1000\nTRCTOUT=0x2\n";  // more [PLC] lines
    std::string secs_keys = "T5=1\nT6=2\nT7=2\nT8=1\nINTER0=20\nINTER1=50\n";  // [SECSCOMMON] lines
    std::string sections{};                        // more sections for other sessions
    int32_t display = QZVQ_DISP_HANDSHAKE | QZVQ_DISP_REDUNDANT;
};

// The bridge as passive HSMS equipment [SECS] with its [PLC] section, and
// the host [HOST] towards it, in one temporary directory.
class BridgeRig {
public:
    BridgeRig(BridgePlc& plc, RigSetup setup) : plc_(plc), setup_(std::move(setup))
    {
        char tmpl[] = "/tmp/qzvqrigXXXXXX";
        if (mkdtemp(tmpl) != nullptr)
            dir_ = tmpl;
    }
    ~BridgeRig()
    {
        stop();
        host.close();
        remove_dir();
    }
    BridgeRig(const BridgeRig&) = delete;
    BridgeRig& operator=(const BridgeRig&) = delete;

    // Write the files and start the bridge; 0 or QZVQProcOpen's failure
    // (the step in step()).
    int32_t start()
    {
        if (!write_files())
            return -2;
        RigLines::instance().clear();
        int32_t rc = QZVQProcOpen(setup_.display, &step_, ini().c_str(), ini().c_str(), "PLC", "SECS", status_,
                                  &RigLines::output);
        started_ = rc == 0;
        return rc;
    }
    // Write the INI file and the definitions only, for a front end that
    // starts the bridge itself; false without a directory.
    bool write_files()
    {
        if (dir_.empty())
            return false;
        std::ofstream(dir_ + "/bridge.sml") << setup_.sml;
        std::ofstream(ini()) << "[SECSCOMMON]\nTRCDIR=" << dir_ << "\nQUEDIR=" << dir_ << "\n"
                             << setup_.secs_keys << "\n[SECS]\nDEVID=1\nSECSMODE=0x15\nPORT=" << port_
                             << "\nMDMSSG=bridge.sml\n[HOST]\nDEVID=1\nSECSMODE=0x41\nHOST=127.0.0.1\nPORT="
                             << port_ << "\n[PLC]\nTRCDIR=" << dir_ << "\n"
                             << plc_.keys() << setup_.plc_keys << "\n"
                             << setup_.sections << "\n";
        return true;
    }
    // Stop the bridge (waiting for its threads); 0 or QZVQProcClose's result.
    int32_t stop()
    {
        if (!started_)
            return 0;
        started_ = false;
        return QZVQProcClose(QZVQ_CLOSE_WAIT, status_);
    }
    // Open the host session and select the link.
    bool open_host() { return host.open_select(ini(), "HOST"); }

    std::string ini() const { return dir_ + "/rig.ini"; }
    const std::string& dir() const { return dir_; }
    int32_t step() const { return step_; }
    static RigLines& lines() { return RigLines::instance(); }

    RigSession host;

private:
    // Queue and trace files leave named mutexes behind them; those of
    // files already gone carry the directory's path with '_' for '/'.
    void remove_dir()
    {
        if (dir_.empty())
            return;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir_, ec))
            XKWResourceRemove(entry.path().c_str());
        std::filesystem::remove_all(dir_, ec);
        std::string mangled = dir_ + "/";
        std::replace(mangled.begin(), mangled.end(), '/', '_');
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
            if (entry.path().filename().string().find(mangled) != std::string::npos)
                std::filesystem::remove(entry.path(), ec);
        dir_.clear();
    }

    BridgePlc& plc_;
    RigSetup setup_;
    std::string dir_;
    int port_ = RigFreePort();
    int32_t step_ = 0;
    int32_t status_[2] = {0, 0};
    bool started_ = false;
};
