// SECS-I line of an engine: the serial port (or the TCP stream that
// stands for it), its characters, and the block protocol that carries one
// message at a time.
//
// A block: length n (10..254), 10 header bytes, n - 10 data bytes and the
// 16-bit sum of the n bytes, all big-endian on the wire. In memory the
// header keeps the device id, the block field (E-bit and number) and the
// two system-byte halves as 16-bit host-order integers.
//
// Line ownership: every access to the line happens under the port lock
// (acb->res->slock). The receive thread holds it while it polls for ENQ
// (one INTER2 wait at a time) and while it takes a block; the send thread
// takes it for a bid and keeps it for the whole message. When both sides
// bid at once, a slave sender (SECSMODE 0x20 clear) yields: it sets ssh1
// and waits for the receive thread to take over (ssh2), which then answers
// the ENQ the sender has already read.
//
// Waits that would be unbounded with a timer of 0 are kept finite (T2 at
// least 1 s, INTER2 at least 1 ms), because they are spent holding the
// port lock and an endless one would stop the other thread and the end of
// the engine for good.
#include "secs/XKS232C.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "runtime/XKNSocket.h"
#include "runtime/XKW232C.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "secs/XKSContInternal.h"
#include "secs/XKSTCP.h"
#include "secs/XKSTrace.h"

namespace {

constexpr uint32_t SM_TCP = 0x2;
constexpr uint32_t SM_REUSE = 0x4;
constexpr uint32_t SM_IPV6 = 0x8;
constexpr uint32_t SM_MASTER = 0x20;
constexpr uint32_t SM_ACTIVE = 0x40;
constexpr uint32_t SM_RELEASE = 0x10000000;   // release the port lock after every block
constexpr uint32_t SM_ANYFIRST = 0x20000000;  // a message may start with any block number
constexpr uint32_t SM_NAKORDER = 0x40000000;  // NAK a block out of sequence instead of failing
constexpr uint32_t DM_SINGLE_ONE = 0x4;       // a message of one block is numbered 1, not 0

constexpr int32_t kEntryLevel = 1;       // message entries in the communication trace
constexpr int32_t kLineLevel = 5;        // character and block lines
constexpr int32_t kHeader = 10;
constexpr int32_t kMinLength = 10;
constexpr int32_t kMaxLength = 254;
constexpr int32_t kBlockBytes = 1 + kMaxLength + 2;
constexpr int32_t kDrainPiece = 265;
constexpr int32_t kDrainPasses = 1000;   // a line that never falls quiet is left after this
constexpr int32_t kSerialPiece = 128;
constexpr int32_t kSerialWait = -100;    // 100 ms
constexpr int32_t kConnectMs = 10000;
constexpr int32_t kAcceptStep = 200;
constexpr uint16_t kEBit = 0x8000;

// Serial results besides the port's.
constexpr int32_t kNothing = -5;

enum Direction : int32_t { kReceive = 1, kSend = 2 };

bool over_tcp(const XKSAcb* acb)
{
    return (acb->cfg.secsmode & SM_TCP) != 0;
}

uint64_t now_ms()
{
    return XKWTickCount();
}

// Character waits in the convention of XKS232CGetc (negative = ms).
int32_t t2_wait(const XKSAcb* acb)
{
    return std::max(acb->cfg.t2, 1);
}

int32_t ms_wait(int32_t ms)
{
    return -std::max(ms, 1);
}

uint64_t t2_ms(const XKSAcb* acb)
{
    return uint64_t(t2_wait(acb)) * 1000;
}

uint64_t t4_ms(const XKSAcb* acb)
{
    return uint64_t(std::max(acb->cfg.t4, 0)) * 1000;
}

// The four 16-bit fields of a header (device id, block field, system-byte
// halves) between wire order and host order; bytes 2 and 3 stay.
void swap_header(const uint8_t* from, uint8_t* to, bool to_host)
{
    for (int at : {0, 4, 6, 8}) {
        uint16_t v;
        if (to_host) {
            v = uint16_t(from[at] << 8 | from[at + 1]);
            std::memcpy(to + at, &v, 2);
        } else {
            std::memcpy(&v, from + at, 2);
            to[at] = uint8_t(v >> 8);
            to[at + 1] = uint8_t(v);
        }
    }
    to[2] = from[2];
    to[3] = from[3];
}

uint16_t block_field(const uint8_t* host_header)
{
    return cont_get16(host_header, 4);
}

// One character or block line: mode bits 0..1 the direction, 4..5 what
// the bytes hold (XKSTraceBlockText).
void trace_line(XKSAcb* acb, int32_t mode, const uint8_t* bytes)
{
    char text[160];
    XKSTraceBlockText(acb, mode, bytes, text, sizeof text);
    XKSTraceLine(__FILE__, __LINE__, "XKS232C", acb, 0, kLineLevel, XKS_TK_CONTROL, "CT", text);
}

void trace_event(XKSAcb* acb, int32_t kind, int32_t result)
{
    XKSTraceMessage(acb, kind, nullptr, nullptr, result, kEntryLevel, __FILE__, __LINE__);
}

// The port lock as one thread holds it: taken once, released once,
// whatever the number of takes in between. A block without engine
// resources has no lock (one thread uses the line).
class PortLock {
public:
    explicit PortLock(XKSAcb* acb) : lock_(acb->res != nullptr ? &acb->res->slock : nullptr) {}
    ~PortLock() { release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
    void take()
    {
        if (!held_ && lock_ != nullptr)
            held_ = XKWLockEnter(lock_, 0) == 0;
    }
    void release()
    {
        if (held_)
            XKWLockLeave(lock_);
        held_ = false;
    }

private:
    XKWLock* lock_;
    bool held_ = false;
};

// ---- the TCP stream ----

int32_t family(const XKSAcb* acb)
{
    return (acb->cfg.secsmode & SM_IPV6) != 0 ? XKN_FAMILY_IPV6 : XKN_FAMILY_IPV4;
}

// Connect to ahost:PORT within 10 s and trace CONNECT. 0, 1 when the
// connect failed (traced), or the failure to make the socket.
int32_t tcp_connect(XKSAcb* acb)
{
    acb->sconn = now_ms();  // a dead peer is tried at most every 10 seconds
    int32_t rc = XKNTCPClientOpen(&acb->ncb, family(acb), acb->ahost);
    if (rc < 0)
        return rc;
    rc = XKNTCPClientConnect(&acb->ncb, 0, acb->ahost, acb->cfg.port, kConnectMs);
    XKSStore(acb->trcsd, acb->ncb.socket);
    trace_event(acb, XKS_TK_CONNECT, rc);
    return rc < 0 ? 1 : 0;
}

// Wait up to 10 s (in steps, so that the end of the engine is seen) for
// one connection on the listening port; trace ACCEPT unless none came.
// 0, 1 when none came, or the accept's failure.
int32_t tcp_accept(XKSAcb* acb)
{
    int32_t rc = 1;
    for (int32_t waited = 0; rc == 1 && waited < kConnectMs && XKSLoad(acb->fexit) == 0;
         waited += kAcceptStep)
        rc = XKNTCPServerAccept(&acb->ccb, kAcceptStep, &acb->ncb, nullptr, 0, nullptr);
    XKSStore(acb->trcsd, acb->ncb.socket);
    if (rc != 1)
        trace_event(acb, XKS_TK_ACCEPT, rc);
    return rc;
}

// Replace a failed connection by one new one: active at most every 10 s
// (an earlier attempt is refused at once), passive within 10 s. 0 or a
// negative result.
int32_t tcp_reconnect(XKSAcb* acb)
{
    if (acb->ncb.socket != 0)
        XKNTCPClose(&acb->ncb);
    if ((acb->cfg.secsmode & SM_ACTIVE) == 0)
        return tcp_accept(acb) == 0 ? 0 : XKW_E_CONNECT;
    if (acb->sconn != 0 && now_ms() - acb->sconn < uint64_t(kConnectMs))
        return XKW_E_CONNECT;
    return tcp_connect(acb) == 0 ? 0 : XKW_E_CONNECT;
}

// Read byte by byte; a timeout is -138, any other failure is answered by
// one reconnect and one more read.
int32_t tcp_getc(XKSAcb* acb, uint8_t* buffer, int32_t count, int32_t timeout, int32_t stop)
{
    int32_t ms = timeout > 0 ? std::min(timeout, INT32_MAX / 1000) * 1000
                             : (timeout == INT32_MIN ? INT32_MAX : -timeout);
    int32_t rc = 0;
    for (int pass = 0; pass < 2; ++pass) {
        int32_t got = 0;
        rc = 0;
        while (got < count) {
            rc = XKNTCPRead(&acb->ncb, buffer + got, 1, ms);
            if (rc <= 0)
                break;
            ++got;
            if (stop > 0 && buffer[got - 1] == stop)
                break;
        }
        if (rc > 0 || got == count)
            return got;
        if (rc == 0)
            rc = XKW_E_CLOSED;
        if (rc == XKW_E_TIMEOUT || pass == 1 || tcp_reconnect(acb) != 0)
            break;
    }
    return rc;
}

// ---- characters ----

int32_t get_char(XKSAcb* acb, int32_t timeout)
{
    uint8_t ch;
    int32_t rc = XKS232CGetc(acb, &ch, 1, timeout, 0);
    if (rc != 1)
        return rc < 0 ? rc : kNothing;
    trace_line(acb, kReceive, &ch);
    return ch;
}

bool put_char(XKSAcb* acb, uint8_t ch)
{
    trace_line(acb, kSend, &ch);
    return XKS232CPutc(acb, &ch, 1) == 1;
}

// ---- receiving ----

class Receiver {
public:
    Receiver(XKSAcb* acb, uint8_t* header, const char* source, int32_t line)
        : acb_(acb), header_(header), lock_(acb), source_(source), line_(line)
    {
    }
    int32_t run(uint8_t* body, int32_t max);

private:
    int32_t wait_enq();
    int32_t read_block();
    int32_t take_block(int32_t length);
    int32_t complete(uint8_t* body, int32_t max);
    int32_t failure(int32_t rc);
    int32_t nak_path(int32_t rc);
    int32_t end(int32_t rc);

    XKSAcb* acb_;
    uint8_t* header_;
    PortLock lock_;
    const char* source_;
    int32_t line_;
    uint64_t t4_deadline_ = 0;   // 0 = none yet
    bool have_header_ = false;
    uint8_t last_[kHeader]{};     // header of the block accepted last, host order
    uint8_t block_[kBlockBytes]{};
};

// Results of take_block besides the protocol's.
constexpr int32_t kAgain = 1;   // wait for the next ENQ
constexpr int32_t kLast = 2;    // the message is complete

int32_t Receiver::run(uint8_t* body, int32_t max)
{
    // Each pass takes one block or answers one bad one; it ends on the
    // last block, a failure, a T4 time-out or the end of the engine.
    for (;;) {
        int32_t rc = wait_enq();
        if (rc == XKS_E_ENDING)
            return end(rc);
        if (rc < 0)
            return failure(rc);
        if (t4_deadline_ == 0)
            t4_deadline_ = now_ms() + t4_ms(acb_);
        if (!put_char(acb_, XKS_EOT))
            return end(XKS_E_PROTOCOL);
        rc = read_block();
        if (rc == XKS_E_T2)
            return nak_path(rc);
        if (rc < 0)
            return failure(rc);
        rc = take_block(rc);
        if (rc == kLast)
            return complete(body, max);
        if (rc != kAgain)
            return rc;
    }
}

// Until ENQ arrives (or the sender has answered one for us): 0, -4 at the
// end of the engine, -984 when the next block is overdue.
int32_t Receiver::wait_enq()
{
    for (;;) {
        lock_.take();
        // Taken with an exchange: a sender that withdraws its yield at the
        // same moment either gets it back or sees ssh2.
        if (__atomic_exchange_n(&acb_->ssh1, 0, __ATOMIC_ACQ_REL) != 0) {
            XKSStore(acb_->ssh2, 1);
            return 0;
        }
        int32_t ch = get_char(acb_, ms_wait(acb_->cfg.inter2));
        if (XKSLoad(acb_->fexit) != 0)
            return XKS_E_ENDING;
        if (ch == XKS_ENQ)
            return 0;
        if (ch < 0 && t4_deadline_ != 0 && now_ms() > t4_deadline_)
            return XKS_E_T4;
        lock_.release();
        XKWSleep(acb_->cfg.inter0);
    }
}

// The length character and the rest of the block into block_: the length,
// 0 for a block cut short on a serial line (it fails the checksum), -982,
// -134 or -7.
int32_t Receiver::read_block()
{
    int32_t rc = XKS232CGetc(acb_, block_, 1, t2_wait(acb_), 0);
    if (rc != 1)
        return XKS_E_T2;
    const int32_t length = block_[0];
    if (length < kMinLength || length > kMaxLength) {
        trace_line(acb_, kReceive | 0x10, block_);
        return length < kMinLength ? XKS_E_PROTOCOL : XKS_E_TOOBIG;
    }
    rc = XKS232CGetc(acb_, block_ + 1, length + 2, t2_wait(acb_), 0);
    if (rc <= 0)
        return XKS_E_T2;
    // What did not come must not pass for header or data of this block.
    std::memset(block_ + 1 + rc, 0, size_t(length + 2 - rc));
    trace_line(acb_, kReceive | 0x20, block_);
    return rc == length + 2 ? length : 0;
}

// Check and keep one block: kAgain, kLast or a final result.
int32_t Receiver::take_block(int32_t length)
{
    const int32_t n = length > 0 ? length : block_[0];
    uint8_t header[kHeader];
    swap_header(block_ + 1, header, true);
    std::memcpy(header_, header, kHeader);
    have_header_ = true;
    const uint16_t sum = uint16_t(block_[n + 1] << 8 | block_[n + 2]);
    if (length == 0 || sum != XKS232CChecksum(block_ + 1, n))
        return put_char(acb_, XKS_NAK) ? kAgain : end(XKS_E_CHECKSUM);

    const uint16_t field = block_field(header);
    const int32_t number = field & 0x7FFF;
    const bool last = (field & kEBit) != 0;
    const int32_t data = n - kHeader;
    if (acb_->sblk == -1) {
        acb_->sblk = number;
        bool first = (acb_->cfg.secsmode & SM_ANYFIRST) != 0 || number == 1 || (last && number == 0);
        if (!first)
            return failure(XKS_E_ILLBLOCK);
        std::memcpy(acb_->sshd, header, kHeader);
        acb_->slen = 0;
    } else {
        // The ACK of the last block was lost and it came again: not
        // answered, so that the sender retries until its limit.
        if (std::memcmp(header, last_, kHeader) == 0)
            return kAgain;
        if (now_ms() > t4_deadline_)
            return failure(XKS_E_T4);
        if (acb_->slen + data > acb_->sxln)
            return failure(XKS_E_TOOBIG);
        if (number != acb_->sblk + 1) {
            if ((acb_->cfg.secsmode & SM_NAKORDER) == 0)
                return failure(XKS_E_ILLBLOCK);
            return put_char(acb_, XKS_NAK) ? kAgain : end(XKS_E_PROTOCOL);
        }
        acb_->sblk = number;
    }
    std::memcpy(acb_->ssdt + acb_->slen, block_ + 1 + kHeader, size_t(data));
    acb_->slen += data;
    std::memcpy(last_, header, kHeader);
    t4_deadline_ = now_ms() + t4_ms(acb_);
    if (!put_char(acb_, XKS_ACK))
        return end(XKS_E_PROTOCOL);
    if ((acb_->cfg.secsmode & SM_RELEASE) != 0)
        lock_.release();
    return last ? kLast : kAgain;
}

int32_t Receiver::complete(uint8_t* body, int32_t max)
{
    lock_.release();
    const int32_t keep = std::min(acb_->slen, max);
    if (keep > 0)
        std::memcpy(body, acb_->ssdt, size_t(keep));
    std::memcpy(header_, acb_->sshd, kHeader);
    cont_set16(header_, 4, block_field(last_));
    XKSTraceMessage(acb_, XKS_TK_RECEIVE, header_, body, keep, kEntryLevel, source_, line_);
    if (acb_->slen > max) {
        XKSStore(acb_->xerr1, XKS_E_TOOBIG);
        return XKS_E_TOOBIG;
    }
    return acb_->slen;
}

// A bad block: let the rest of it pass (T1 of quiet), then NAK.
int32_t Receiver::failure(int32_t rc)
{
    uint8_t sink[kDrainPiece];
    const int32_t quiet = acb_->cfg.t1 < 1 ? 100 : acb_->cfg.t1;
    for (int pass = 0; pass < kDrainPasses; ++pass)
        if (XKS232CGetc(acb_, sink, kDrainPiece, -quiet, 0) <= 0)
            break;
    return nak_path(rc);
}

int32_t Receiver::nak_path(int32_t rc)
{
    put_char(acb_, XKS_NAK);
    return end(rc);
}

int32_t Receiver::end(int32_t rc)
{
    if (XKSLoad(acb_->fshut) == 0)
        XKSTraceMessage(acb_, XKS_TK_RECEIVE, have_header_ ? header_ : nullptr, nullptr, rc, kEntryLevel,
                        source_, line_);
    return rc;
}

// ---- sending ----

class Sender {
public:
    explicit Sender(XKSAcb* acb) : acb_(acb), lock_(acb), tries_(std::max(acb->cfg.xretry, 0) + 1) {}
    int32_t send(const uint8_t* block, int32_t size);
    void release() { lock_.release(); }

private:
    int32_t bid();
    bool yield();

    XKSAcb* acb_;
    PortLock lock_;
    int32_t tries_;
};

// One block: at most XRETRY + 1 attempts of a bid and the block. 0 or a
// negative result.
int32_t Sender::send(const uint8_t* block, int32_t size)
{
    for (int32_t attempt = 0; attempt < tries_; ++attempt) {
        int32_t rc = bid();
        if (rc < 0)
            return rc;
        trace_line(acb_, kSend | 0x20, block);
        if (XKS232CPutc(acb_, block, size) != size)
            return XKS_E_PROTOCOL;
        if (get_char(acb_, t2_wait(acb_)) == XKS_ACK)
            return 0;
    }
    return XKS_E_RETRY;
}

// Get the line: ENQ answered by EOT within T2, at most XRETRY + 1 bids.
// 0 with the port lock held, or -4, -134, -989.
int32_t Sender::bid()
{
    for (int32_t bids = 0; bids < tries_;) {
        if (XKSLoad(acb_->fexit) != 0)
            return XKS_E_ENDING;
        lock_.take();
        if (!put_char(acb_, XKS_ENQ))
            return XKS_E_PROTOCOL;
        int32_t ch = get_char(acb_, t2_wait(acb_));
        if (ch == XKS_ENQ) {
            // Both sides bid: the slave lets the other side's message in
            // first and then starts over; the master waits for its EOT.
            if ((acb_->cfg.secsmode & SM_MASTER) == 0 && yield()) {
                bids = 0;
                continue;
            }
            if ((acb_->cfg.secsmode & SM_MASTER) != 0)
                ch = get_char(acb_, t2_wait(acb_));
        }
        if (ch == XKS_EOT)
            return 0;
        lock_.release();
        ++bids;
    }
    return XKS_E_RETRY;
}

// Hand the ENQ just read to the receive thread and wait until it has taken
// the line. False when it did not within T2 (the yield is withdrawn and
// counts as a failed bid) or the engine ends.
bool Sender::yield()
{
    XKSStore(acb_->ssh2, 0);
    XKSStore(acb_->ssh1, 1);
    lock_.release();
    const uint64_t deadline = now_ms() + t2_ms(acb_);
    bool taken = false;
    // Bounded by T2, after which the yield is withdrawn unless the receive
    // thread has just taken it (then ssh2 follows at once), and by fexit.
    for (;;) {
        if (XKSLoad(acb_->ssh2) != 0) {
            taken = true;
            break;
        }
        if (XKSLoad(acb_->fexit) != 0) {
            XKSStore(acb_->ssh1, 0);
            break;
        }
        if (now_ms() > deadline && __atomic_exchange_n(&acb_->ssh1, 0, __ATOMIC_ACQ_REL) != 0)
            break;
        XKWSleep(std::max(acb_->cfg.inter0, 1));
    }
    XKSStore(acb_->ssh2, 0);
    return taken;
}

// Data bytes of one block: 244, or the write options' piece size less 12
// when that gives 1 or more; never above 244, the most a length character
// can announce.
int32_t block_size(const uint8_t* wopt)
{
    if (wopt == nullptr)
        return XKS_BLOCK_DATA;
    XKSWriteOptions options;
    std::memcpy(&options, wopt, sizeof options);
    if ((options.xmod & 0x01) == 0 || (options.flags & 0x04) == 0)
        return XKS_BLOCK_DATA;
    int32_t size = int32_t(options.xpr1[0]) - 12;
    return size >= 1 ? std::min(size, XKS_BLOCK_DATA) : XKS_BLOCK_DATA;
}

// Build block k of count: length, wire header with its block field, data,
// checksum. Returns the bytes of the block.
int32_t build_block(const XKSAcb* acb, const uint8_t* header, const uint8_t* data, int32_t n, int32_t k,
                    int32_t count, uint8_t* out, uint16_t* field)
{
    uint16_t number = uint16_t(k);
    if (count == 1)
        number = (acb->cfg.devmode & DM_SINGLE_ONE) != 0 ? 1 : 0;
    *field = uint16_t(number | (k == count ? kEBit : 0));
    uint8_t host[kHeader];
    std::memcpy(host, header, kHeader);
    cont_set16(host, 4, *field);
    out[0] = uint8_t(kHeader + n);
    swap_header(host, out + 1, false);
    if (n > 0)
        std::memcpy(out + 1 + kHeader, data, size_t(n));
    uint16_t sum = XKS232CChecksum(out + 1, kHeader + n);
    out[1 + kHeader + n] = uint8_t(sum >> 8);
    out[2 + kHeader + n] = uint8_t(sum);
    return 3 + kHeader + n;
}

// ---- opening ----

int32_t open_serial(XKSAcb* acb)
{
    const XKSConfig& cfg = acb->cfg;
    int32_t handle = XKW232COpen(cfg.sdevice, cfg.sspeed, cfg.scsize, cfg.sparity, cfg.sstop, XKW_232C_SOFTFLOW);
    if (handle < 0)
        return handle;
    acb->sd = handle;
    XKSStore(acb->trcsd, handle);
    // Whatever is still on the line belongs to nobody.
    uint8_t sink[kSerialPiece];
    for (int pass = 0; pass < kDrainPasses; ++pass)
        if (XKW232CRead(handle, sink, kSerialPiece, kSerialWait, 0) <= 0)
            break;
    return 0;
}

// Only a socket that cannot be made or a port that cannot be listened on
// fails; a connection not made here is made by the first character read.
int32_t open_tcp(XKSAcb* acb)
{
    XKWStrCopy(acb->ahost, acb->cfg.host, sizeof acb->ahost);
    if ((acb->cfg.secsmode & SM_ACTIVE) != 0)
        return std::min(tcp_connect(acb), 0);
    int32_t flags = family(acb) | ((acb->cfg.secsmode & SM_REUSE) != 0 ? XKN_REUSEADDR : 0);
    int32_t port = acb->cfg.port;
    int32_t rc = XKNTCPServerOpen(&acb->ccb, flags, nullptr, 1, 1, &port);
    if (rc < 0)
        return rc;
    tcp_accept(acb);
    return 0;
}

}  // namespace

int32_t XKS232COpen(XKSAcb* acb)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    XKSStore(acb->fshut, 0);
    int32_t rc = over_tcp(acb) ? open_tcp(acb) : open_serial(acb);
    if (rc == 0) {
        acb->ssdt = static_cast<uint8_t*>(std::malloc(size_t(XKS_ASSEMBLY)));
        if (acb->ssdt == nullptr)
            rc = XKW_E_NOMEM;
    }
    if (rc < 0) {
        XKS232CClose(acb);
        return rc;
    }
    acb->sxln = std::clamp(acb->cfg.xmsgsize, 0, XKS_ASSEMBLY);
    acb->sblk = -1;
    acb->slen = 0;
    XKSStore(acb->ssh1, 0);
    XKSStore(acb->ssh2, 0);
    return 0;
}

int32_t XKS232CClose(XKSAcb* acb)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    // The other thread may be in the middle of a bid: the line goes away
    // only between two uses of it.
    PortLock lock(acb);
    lock.take();
    std::free(acb->ssdt);
    acb->ssdt = nullptr;
    acb->sblk = -1;
    acb->slen = 0;
    acb->sxln = 0;
    XKSStore(acb->ssh1, 0);
    XKSStore(acb->ssh2, 0);
    XKSStore(acb->fshut, 1);
    if (over_tcp(acb)) {
        if (acb->ncb.socket != 0)
            XKNTCPClose(&acb->ncb);
        XKNTCPServerClose(&acb->ccb);
        acb->sconn = 0;
    } else if (acb->sd > 0) {
        XKW232CClose(acb->sd);
        acb->sd = 0;
    }
    return 0;
}

int32_t XKS232CGetc(XKSAcb* acb, uint8_t* buffer, int32_t count, int32_t timeout, int32_t stop)
{
    if (acb == nullptr || buffer == nullptr || count < 0)
        return XKW_E_INVAL;
    if (over_tcp(acb))
        return tcp_getc(acb, buffer, count, timeout, stop);
    int32_t rc = XKW232CRead(acb->sd, buffer, count, timeout, stop);
    return rc == 0 && count > 0 ? kNothing : rc;
}

int32_t XKS232CPutc(XKSAcb* acb, const uint8_t* data, int32_t count)
{
    if (acb == nullptr || count < 0 || (data == nullptr && count > 0))
        return XKW_E_INVAL;
    if (over_tcp(acb))
        return XKNTCPWrite(&acb->ncb, data, count);
    return XKW232CWrite(acb->sd, data, count);
}

int32_t XKS232CRead(XKSAcb* acb, uint8_t* header, uint8_t* body, int32_t max, const char* source, int32_t line)
{
    if (acb == nullptr || acb->ssdt == nullptr || header == nullptr || max < 0 ||
        (max > 0 && body == nullptr))
        return XKW_E_INVAL;
    XKSStore(acb->xerr1, 0);
    int32_t rc;
    {
        Receiver receiver(acb, header, source, line);
        rc = receiver.run(body, max);
    }
    acb->sblk = -1;
    acb->slen = 0;
    return rc;
}

int32_t XKS232CWrite(XKSAcb* acb, uint8_t* header, const uint8_t* body, int32_t length, const uint8_t* wopt,
                     const char* source, int32_t line)
{
    if (acb == nullptr || header == nullptr || length < 0 || (length > 0 && body == nullptr))
        return XKW_E_INVAL;
    const int32_t size = block_size(wopt);
    if (length > XKS_BLOCK_MAX * size) {
        XKSTraceMessage(acb, XKS_TK_SEND, header, body, XKS_E_TOOBIG, kEntryLevel, source, line);
        return XKS_E_TOOBIG;
    }
    XKSTraceMessage(acb, XKS_TK_SEND, header, body, length, kEntryLevel, source, line);

    const int32_t count = length == 0 ? 1 : (length + size - 1) / size;
    Sender sender(acb);
    uint8_t block[kBlockBytes];
    uint16_t field = 0;
    for (int32_t k = 1; k <= count; ++k) {
        const int32_t offset = (k - 1) * size;
        const int32_t n = std::min(size, length - offset);
        int32_t bytes = build_block(acb, header, body + (n > 0 ? offset : 0), n, k, count, block, &field);
        int32_t rc = sender.send(block, bytes);
        if (rc < 0) {
            sender.release();
            XKSTraceMessage(acb, XKS_TK_SEND, header, body, rc, kEntryLevel, source, line);
            return rc;
        }
        if ((acb->cfg.secsmode & SM_RELEASE) != 0)
            sender.release();
    }
    cont_set16(header, 4, field);
    return length;
}

uint16_t XKS232CChecksum(const uint8_t* bytes, int32_t n)
{
    uint32_t sum = 0;
    for (int32_t i = 0; i < n; ++i)
        sum += bytes[i];
    return uint16_t(sum);
}
