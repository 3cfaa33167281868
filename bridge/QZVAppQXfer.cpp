// The two transfers between the SECS session and the PLC.
//
// Host to PLC: the receive callback matches a received data message
// against the definitions and makes it ready for the PLC (its 20-word SECS
// information block and the words of each item of its PLC table entry),
// then queues it (QZVAppQWait.cpp). The PLC thread hands the head of the
// queue over (block, items, PC request bit) and removes it once the PLC
// has acknowledged it; the next one goes as soon as the acknowledge has
// dropped. A message that cannot reach the PLC is answered with function
// 0 when it has the W-bit and logged in any case.
//
// PLC to host (PLCObserver, one poll of the PLC thread): the PLC fills its
// information block (stream/function, device ID, system bytes, message
// name) and the item areas and raises its request bit; the bridge builds
// the named message with the item values read from the PLC, sends it and
// raises the PC acknowledge until the PLC drops its request.
//
// Neither handshake waits for ever: PLCHSTO bounds the wait for the PLC.
// After a reconnect, at start and after a failed handshake write the
// bridge reads the handshake devices back and brings its own bits into
// the state its handshakes expect.
//
// Information block, 20 words: 0 stream/function (bit 15 the W-bit), 1
// device ID, 2 and 3 the system bytes (upper word first), 4-19 the message
// name, two characters a word (the first in the low byte).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <strings.h>

#include "bridge/QZVAppQ.h"
#include "plc/qzrplc.h"
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "secs/XKSAcb.h"
#include "secs/XKSCont.h"
#include "secs/XKSMssg.h"

namespace {

constexpr int32_t kNameWords = 16;
constexpr int32_t kReadyWait = 10000;  // ms a record waits for the start to finish

// Remembered error codes of the poll.
enum { ERR_STATUS, ERR_PLCACK, ERR_PCREQ_OFF, ERR_PLCREQ, ERR_PCACK_OFF };

QZVQContext* ctx()
{
    return QZVQGetContext();
}

// A work area kept between calls; it grows when a later start has a
// larger message size. Each area belongs to one thread.
struct Area {
    std::unique_ptr<uint8_t[]> data;
    int32_t size = 0;

    // Room for at least n bytes; false when it cannot be had.
    bool fit(int32_t n)
    {
        if (n <= size && data != nullptr)
            return true;
        data.reset(new (std::nothrow) uint8_t[size_t(n)]);
        size = data != nullptr ? n : 0;
        return data != nullptr;
    }
    void clear() { std::memset(data.get(), 0, size_t(size)); }
    uint16_t* words() { return reinterpret_cast<uint16_t*>(data.get()); }
};

// Allocate an area of n bytes, logging `what` on failure.
bool ensure(Area& area, int32_t n, const char* what, int32_t flags)
{
    if (area.fit(std::max(n, 16)))
        return true;
    QZVQ_LOG(flags | QZVQ_LOG_FORMAT, 1, "Memory allocate error at %s (%d)", what, n);
    return false;
}

int32_t session()
{
    return XKSLoad(ctx()->session[1]);
}

const char* message_blanks()
{
    return (ctx()->cfg.plctype & 15) == QZVQ_PLC_OMRON ? "    " : " ";
}

uint16_t swap_name_word(uint16_t word)
{
    return (ctx()->cfg.plcmode & QZVQ_MODE_SWAPNAME) != 0 ? uint16_t(word << 8 | word >> 8) : word;
}

// A 1-point status or handshake read: the value, 0 when clear. The word
// is cleared first, so a bit device's single byte reads the same.
int32_t read_point(int32_t kind, const char* name, const QZVQDevice& device, int32_t which, uint16_t* value)
{
    uint16_t word[2] = {0, 0};
    int32_t rc = PLCGetData(kind, name, device.code, device.address[which], device.bit[which], 1, word);
    *value = word[0];
    return rc;
}

// The result of a poll access with a remembered error code: a failure is
// logged once per run of the same code and remembered, a success clears
// the code. Returns rc.
int32_t remembered(int32_t slot, int32_t rc, const char* format)
{
    QZVQContext* c = ctx();
    if (rc < 0 && c->errs[slot] != rc)
        QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT, 1, format, rc);
    c->errs[slot] = rc < 0 ? rc : 0;
    return rc;
}

// ---- host to PLC ----

Area recv_items;  // item value of a received message
Area recv_words;  // PLC words of one item

constexpr int32_t kSecsLine = QZVQ_DIR_GENERAL | QZVQ_LOG_SECS | QZVQ_LOG_FORMAT;
constexpr int32_t kPlcLine = QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT;

bool wbit(int32_t sf)
{
    return (sf & 0x8000) != 0;
}

// Send function 0 of the stream of a W-bit primary, with its system bytes.
void send_f0(int32_t devid, int32_t sf, uint32_t xid)
{
    char name[16];
    std::snprintf(name, sizeof name, "S%dF0", (sf >> 8) & 0x7F);
    int32_t rc = XKSSendId(session(), 0, devid, sf & 0x7F00, xid, nullptr, 0, nullptr, nullptr, nullptr);
    if (rc < 0)
        QZVQ_LOG(kSecsLine, 1, "SECS message [%s] send error (%d)", name, rc);
}

// A host message that does not reach the PLC: logged with the reason and,
// with the W-bit, answered with function 0 so that the host need not wait
// for T3.
void refuse(int32_t devid, int32_t sf, uint32_t xid, const char* name, const char* why)
{
    if (wbit(sf))
        QZVQ_LOG(kSecsLine, 1, "SECS message [%s] xid=0x%08X answered with S%dF0: %s", name, xid, (sf >> 8) & 0x7F,
                 why);
    else
        QZVQ_LOG(kSecsLine, 1, "SECS message [%s] xid=0x%08X not given to the PLC: %s", name, xid, why);
    if (wbit(sf))
        send_f0(devid, sf, xid);
}
void refuse(const QZVQHostMssg& m, const char* why)
{
    refuse(m.devid, m.sf, m.xid, m.name, why);
}

// "S%dF%d" of a stream/function word, for messages without a definition.
struct SfName {
    char text[16];
    explicit SfName(int32_t sf) { std::snprintf(text, sizeof text, "S%dF%d", (sf >> 8) & 0x7F, sf & 0xFF); }
};

// Whether no further message may wait for the PLC.
bool queue_full(const QZVQContext* c)
{
    return QZVQQueueDepth() > std::max(c->cfg.plcqueue, 0);
}

// Convert the items of the matched message into the words of their PLC
// areas, in table order. Each area is written whole: the words past a
// shorter value are 0, so nothing of an earlier message stays behind.
void prepare_items(const QZVQContext* c, const PLCMssgEntry& entry, int32_t table, QZVQHostMssg& m)
{
    int32_t room = recv_words.size / 2;
    for (int32_t i = entry.first; i < entry.first + entry.count; ++i) {
        const PLCItemEntry& item = c->item[i];
        recv_items.clear();
        int32_t format = 0;
        int32_t count = XKSMDGetItem(table, 0, nullptr, item.name, 0, recv_items.data.get(), &format, nullptr);
        if (count < 0) {
            QZVQ_LOG(kPlcLine, 1, "No such item [%s] in SECS message [%s] (%d)", item.name, entry.name, count);
            continue;
        }
        if (item.waddr == 0 || item.words <= 0)
            continue;
        int32_t words = ConvSECSToPLC(format, count, recv_items.data.get(), recv_words.words(), room);
        if (words < 0) {
            QZVQ_LOG(kPlcLine, 1, "PLC data set error at SECS message item data (%d)", words);
            continue;
        }
        QZVQItemWords w{i, std::vector<uint16_t>(size_t(item.words), 0)};
        std::copy_n(recv_words.words(), std::min(words, item.words), w.words.begin());
        m.items.push_back(std::move(w));
    }
}

// Make a received data message ready for the PLC and queue it.
void to_plc(const XKSRecvRecord& r)
{
    QZVQContext* c = ctx();
    if (XKSLoad(c->plcid) <= 0 || XKSLoad(c->plcstat) == 0) {
        QZVQ_LOG(kSecsLine, 1, "PLC not connect or not running now.");
        if (wbit(r.sf))
            send_f0(r.devid, r.sf, r.xid);
        return;
    }
    auto busy = [&] {
        QZVQ_LOG(kSecsLine, 1, "Last sending messeage to PLC was not completed.");
        if (wbit(r.sf))
            send_f0(r.devid, r.sf, r.xid);
    };
    if (queue_full(c)) {
        busy();
        return;
    }
    int32_t table = c->mdtable[1];
    char name[QZVQ_NAME_SIZE] = "";
    int32_t rc = XKSMDMatch(table, 0x3000, r.body, r.rtn, r.sf, name);
    if (rc < 0) {
        QZVQ_LOG(kSecsLine, 1, "No corresponding message in message definition (%s) file (%d)", c->lib.mdmssg, rc);
        refuse(r.devid, r.sf, r.xid, SfName(r.sf).text, "no definition matches it");
        return;
    }
    const PLCMssgEntry* entry = QZVQFindMssg(c, name);
    if (entry == nullptr) {
        QZVQ_LOG(kSecsLine, 1, "No message [%s] information found in message definition (%s) file.", name,
                 c->lib.mdmssg);
        XKSMDMatchEnd(table, 0, nullptr);
        refuse(r.devid, r.sf, r.xid, name, "it has no PLC fields");
        return;
    }
    auto m = std::make_unique<QZVQHostMssg>();
    m->devid = r.devid;
    m->sf = r.sf;
    m->xid = r.xid;
    XKWStrCopy(m->name, name, sizeof m->name);
    m->arrived = XKWTickCount();
    QZVQFillInform(m->inform, r.sf, r.devid, r.xid, name);
    prepare_items(c, *entry, table, *m);
    XKSMDMatchEnd(table, 0, nullptr);
    if (!QZVQQueuePush(std::move(m), std::max(c->cfg.plcqueue, 0)))
        busy();
}

// The PLC did not take the PLC message: a PLC that answers with an error
// (it has no such device, ...) will not take it later either. Any other
// failure is one of the link, after which the message is written again.
bool refused_by_plc(int32_t rc)
{
    return rc <= -QZRPLC_E_END_BASE || (ctx()->cfg.plctype & 15) == QZVQ_PLC_MEMORY;
}

void set_pcreq(int32_t state)
{
    QZVQContext* c = ctx();
    XKSStore(c->pcreq, state);
    c->pcreqtime = XKWTickCount();
}

bool timed_out(uint64_t since)
{
    int32_t limit = ctx()->cfg.plchsto;
    return limit > 0 && since != 0 && XKWTickCount() - since >= uint64_t(limit);
}

// Take the head out of the queue when its time is up: handed over but not
// acknowledged within PLCHSTO (answered with function 0), or a W-bit
// message that waited longer than T3 for its turn (the host has given up
// on it). Returns whether it did.
bool drop_stale_head(QZVQHostMssg& m)
{
    const QZVQContext* c = ctx();
    char why[96];
    if (m.handed != 0 && timed_out(m.handed)) {
        std::snprintf(why, sizeof why, "the PLC did not acknowledge it within %d ms", c->cfg.plchsto);
        refuse(m, why);
    } else if (m.handed == 0 && wbit(m.sf) && c->lib.t3 > 0 &&
               XKWTickCount() - m.arrived > uint64_t(c->lib.t3) * 1000) {
        QZVQ_LOG(kSecsLine, 1, "SECS message [%s] xid=0x%08X expired: it waited longer than T3 (%d s) for the PLC",
                 m.name, m.xid, c->lib.t3);
    } else {
        return false;
    }
    QZVQQueuePop();
    return true;
}

constexpr int32_t kAbandoned = 1;

// Write the head to the PLC in full: information block, items, PC request.
// 0 when it is handed over, kAbandoned when the PLC refused it (it is
// answered and removed), or the error of the link (it stays at the head
// and is written again once the PLC is back).
int32_t write_mssg(QZVQHostMssg& m)
{
    QZVQContext* c = ctx();
    if (m.handed == 0)
        m.handed = XKWTickCount();
    auto failed = [&](int32_t rc) {
        if (!refused_by_plc(rc)) {
            XKSStore(c->resync, 1);
            return rc;
        }
        refuse(m, "the PLC refused it");
        QZVQQueuePop();
        return kAbandoned;
    };
    QZVQ_LOG(QZVQ_DIR_WRITE | QZVQ_LOG_FORMAT, 1, "PLC << SECS Message%s< %s", message_blanks(), m.name);
    const QZVQDevice& block = c->cfg.msdev[1];
    int32_t rc = PLCSetData(QZVQ_KIND_INFORM, "SECS Inform", block.code, block.address[0], 0, QZVQ_INFORM_WORDS,
                            m.inform);
    if (rc < 0) {
        QZVQ_LOG(kPlcLine, 1, "PLC data set error at SECS message information (%d)", rc);
        return failed(rc);
    }
    for (const QZVQItemWords& w : m.items) {
        const PLCItemEntry& item = c->item[w.item];
        rc = PLCSetData(QZVQ_KIND_ITEM, item.name, item.wcode, item.waddr, 0, int32_t(w.words.size()),
                        w.words.data());
        if (rc < 0) {
            QZVQ_LOG(kPlcLine, 1, "PLC data set error at SECS message item data (%d)", rc);
            if (!refused_by_plc(rc))
                return failed(rc);
        }
    }
    const QZVQDevice& hs = c->cfg.hsdev[1];
    rc = PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", hs.code, hs.address[1], hs.bit[1], 1, 1);
    if (rc < 0)
        QZVQ_LOG(kPlcLine, 1, "PLC data set error at handshake bit (PC-->PLC) ON (%d)", rc);
    if (rc < 0 && refused_by_plc(rc))
        return failed(rc);
    // Also when the answer did not come: the write may have reached the
    // PLC, and the read-back after the reconnect tells.
    set_pcreq(QZVQ_PCREQ_SET);
    return rc < 0 ? failed(rc) : 0;
}

// Hand the next queued message to the PLC, if any. 0 or the link's error.
int32_t hand_next()
{
    for (QZVQHostMssg* m = QZVQQueueHead(); m != nullptr; m = QZVQQueueHead()) {
        if (drop_stale_head(*m))
            continue;
        int32_t rc = write_mssg(*m);
        if (rc != kAbandoned)
            return rc;
    }
    return 0;
}

// ---- PLC to host ----

// A W-bit primary of the PLC whose transaction ended without a reply:
// logged, and with PLCNOREPLY 1 the PLC is handed function 0 of its
// stream with the original system bytes, as if the host had sent it.
void no_reply(const QZVQAwaited& sent, const char* why)
{
    const QZVQContext* c = ctx();
    QZVQ_LOG(kSecsLine, 1, "SECS message [%s] xid=0x%08X got no reply: %s", sent.name, sent.xid, why);
    if (c->cfg.plcnoreply == 0)
        return;
    auto m = std::make_unique<QZVQHostMssg>();
    m->devid = sent.devid;
    m->sf = sent.sf & 0x7F00;
    m->xid = sent.xid;
    std::snprintf(m->name, sizeof m->name, "S%dF0", (sent.sf >> 8) & 0x7F);
    m->arrived = XKWTickCount();
    QZVQFillInform(m->inform, m->sf, m->devid, m->xid, m->name);
    if (!QZVQQueuePush(std::move(m), std::max(c->cfg.plcqueue, 0)))
        QZVQ_LOG(kSecsLine, 1, "Last sending messeage to PLC was not completed.");
}

Area send_body;   // the message being built
Area send_items;  // one item value read from the PLC
Area send_words;  // PLC words

// Read the items of the PLC table entry and set them into the selected
// message. 0, or the error of a read that failed for the link: the message
// is then not sent at all rather than without a value.
int32_t read_items(const QZVQContext* c, const PLCMssgEntry& entry, int32_t table)
{
    constexpr int32_t plc = QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT;
    int32_t last_put = 0;
    for (int32_t i = entry.first; i < entry.first + entry.count; ++i) {
        const PLCItemEntry& item = c->item[i];
        send_items.clear();
        int32_t id = QZVQSelectedItem(table, item.name);
        if (id < 0) {
            QZVQ_LOG(plc, 1, "No such item [%s] in SECS message [%s] (%d)", item.name, entry.name, last_put);
            continue;
        }
        if (item.raddr == 0)
            continue;
        int32_t rc = PLCGetData(QZVQ_KIND_ITEM, item.name, item.rcode, item.raddr, 0, item.words, send_words.words());
        if (rc < 0) {
            QZVQ_LOG(plc, 1, "PLC data get error at PLC message item [%s] data (%d)", item.name, rc);
            if (!refused_by_plc(rc))
                return rc;
            continue;
        }
        int32_t format = XKSMDGetParam(table, 0, 303, nullptr, 0, id);
        // Room for a text's NUL behind the value.
        int32_t count = ConvPLCToSECS(format, item.words, send_words.words(), send_items.data.get(),
                                      send_items.size - 1);
        last_put = count < 0 ? count : XKSMDPutItem(table, 0, nullptr, item.name, count, send_items.data.get());
        if (last_put < 0)
            QZVQ_LOG(plc, 1, "SECS message item [%s] build error (%d)", item.name, last_put);
    }
    return 0;
}

// Serve one PLC request: read its information block, build the named
// message and send it. Every failure is logged and the caller acknowledges
// the request, except when a read failed for the link: then nothing was
// sent, the error is returned and the request is served after the
// reconnect.
int32_t to_host()
{
    QZVQContext* c = ctx();
    constexpr int32_t plc = QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT;
    send_words.clear();
    const QZVQDevice& block = c->cfg.msdev[0];
    int32_t rc = PLCGetData(QZVQ_KIND_INFORM, "PLC  Inform", block.code, block.address[0], 0, QZVQ_INFORM_WORDS,
                            send_words.words());
    if (rc < 0) {
        QZVQ_LOG(plc, 1, "PLC data get error at PLC message information (%d)", rc);
        return refused_by_plc(rc) ? 0 : rc;
    }
    uint16_t head[4];
    char name[64];
    QZVQReadInform(send_words.words(), head, name, sizeof name);
    if (name[0] == '\0') {
        QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "PLC message name error");
        return 0;
    }
    int32_t table = c->mdtable[1];
    int32_t capacity = c->lib.xmsgsize;
    rc = XKSMDSelect(table, 0, nullptr, capacity, name);
    if (rc < 0) {
        QZVQ_LOG(plc, 1, "No PLC message [%s] found in message definition [%s] file (%d)", name, c->lib.mdmssg, rc);
        return 0;
    }
    const PLCMssgEntry* entry = QZVQFindMssg(c, name);
    if (entry == nullptr) {
        QZVQ_LOG(plc, 1, "No PLC message [%s] information found in message  definition [%s] file.", name,
                 c->lib.mdmssg);
        XKSMDBuild(table, 0, send_body.data.get());  // ends the selection
        return 0;
    }
    rc = read_items(c, *entry, table);
    int32_t length = XKSMDBuild(table, 0, send_body.data.get());  // also ends the selection
    if (rc < 0)
        return rc;
    if (length < 0) {
        QZVQ_LOG(plc, 1, "SECS message [%s] build error (%d)", name, length);
        return 0;
    }
    int32_t sf = head[0];
    int32_t devid = head[1];
    uint32_t xid = uint32_t(head[2]) << 16 | head[3];
    bool primary = (sf & 1) != 0;
    // A primary gets its transaction ID from the session first, so that
    // the display shows the system bytes that go out.
    rc = primary ? XKSSendId(session(), XKS_SEND_PREPARE, devid, sf, xid, nullptr, 0, nullptr, nullptr, &xid) : 0;
    QZVQAwaited sent{devid, sf, xid, ""};
    XKWStrCopy(sent.name, name, sizeof sent.name);
    bool awaited = primary && wbit(sf);
    if (rc >= 0) {
        QZVQ_LOG(QZVQ_DIR_READ | QZVQ_LOG_FORMAT, 1, "PLC >> SECS Message%s> %s", message_blanks(), name);
        uint8_t header[10] = {};
        const uint16_t dev16 = uint16_t(devid);
        const uint16_t system[2] = {uint16_t(xid >> 16), uint16_t(xid)};
        std::memcpy(header, &dev16, 2);
        header[2] = uint8_t(sf >> 8);
        header[3] = uint8_t(sf);
        std::memcpy(header + 6, system, 4);
        DispSECSInfo(QZVQ_LOG_SECS | 2, devid, sf, xid, header, send_body.data.get(), length);
        // Known before the send: the reply may come before the send returns.
        if (awaited)
            QZVQAwaitAdd(sent);
        rc = XKSSendId(session(), primary ? XKS_SEND_OWNXID : 0, devid, sf, xid, send_body.data.get(), length,
                       nullptr, nullptr, nullptr);
        if (rc < 0 && awaited)
            awaited = QZVQAwaitTake(xid, &sent);
    }
    if (rc < 0) {
        QZVQ_LOG(plc, 1, "SECS message [%s] send error (%d)", name, rc);
        if (awaited)
            no_reply(sent, "it could not be sent");
    }
    return 0;
}

// Keep the SECS status device in step with the link. 0 or the write error.
int32_t follow_link()
{
    QZVQContext* c = ctx();
    int32_t state = XKSGetXStat(session(), 0);
    XKSStore(c->secsstate, state);
    int32_t now = XKSLoad(c->secsstat);
    int32_t want;
    if (state == 3 && now == 0)
        want = 1;
    else if (state != 3 && now != 0)
        want = 0;
    else
        return 0;
    const QZVQDevice& dev = c->cfg.ssdev[1];
    int32_t rc = PLCSetBit(QZVQ_KIND_STATUS, "SECS Status", dev.code, dev.address[0], dev.bit[0], 1, want);
    if (rc < 0) {
        QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT, 1, "PLC data set error at SECS status bit (PC-->PLC) %s (%d)",
                 want != 0 ? "ON" : "OFF", rc);
        if (want == 0)
            XKSStore(c->secsstat, 0);
        return rc;
    }
    XKSStore(c->secsstat, want);
    QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_SECS, 1, want != 0 ? "SECS ready now" : "SECS not ready");
    return 0;
}

// The PC-to-PLC handshake: take the PC request back once the PLC has
// acknowledged (the message is then delivered and leaves the queue), and
// hand the next message over as soon as the acknowledge has dropped.
int32_t pc_handshake()
{
    QZVQContext* c = ctx();
    const QZVQDevice& hs = c->cfg.hsdev[1];
    int32_t state = XKSLoad(c->pcreq);
    if (state != QZVQ_PCREQ_IDLE) {
        uint16_t ack = 0;
        int32_t rc = remembered(ERR_PLCACK, read_point(QZVQ_KIND_HANDSHAKE, "SECS PLCAck", hs, 0, &ack),
                                "PLC data get error at handshake bit (PC-->PLC) (%d)");
        if (rc < 0)
            return rc;
        if (state == QZVQ_PCREQ_SET) {
            QZVQHostMssg* head = QZVQQueueHead();
            if (ack == 0 && head != nullptr && !timed_out(head->handed))
                return 0;  // the PLC has not taken it yet
            // Delivered once acknowledged, given up when the PLC did not
            // acknowledge within PLCHSTO. The state moves before the PC
            // request is taken back, so that a lost answer to that write
            // cannot hand the message over a second time.
            if (ack != 0)
                QZVQQueuePop();
            else if (head != nullptr)
                drop_stale_head(*head);
            set_pcreq(ack != 0 ? QZVQ_PCREQ_OFF : QZVQ_PCREQ_IDLE);
        } else if (ack == 0) {
            set_pcreq(QZVQ_PCREQ_IDLE);
        } else if (timed_out(c->pcreqtime)) {
            QZVQ_LOG(kPlcLine, 1, "PLC keeps its acknowledge (PC-->PLC) on for %d ms: next message waits",
                     c->cfg.plchsto);
            c->pcreqtime = XKWTickCount();
        }
        // Written again at every poll while the acknowledge stays on.
        if (ack != 0 || state == QZVQ_PCREQ_SET) {
            rc = remembered(ERR_PCREQ_OFF,
                            PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", hs.code, hs.address[1], hs.bit[1], 1, 0),
                            "PLC data set error at handshake bit (PC-->PLC) OFF (%d)");
            if (rc < 0) {
                XKSStore(c->resync, 1);
                return rc;
            }
        }
    }
    return XKSLoad(c->pcreq) == QZVQ_PCREQ_IDLE ? hand_next() : 0;
}

void set_plcreq(int32_t state)
{
    QZVQContext* c = ctx();
    XKSStore(c->plcreq, state);
    c->plcreqtime = XKWTickCount();
}

// Write "PLC  PC Ack"; a failure is logged (once per run of the same
// code when `slot` is given) and has the devices read back later.
int32_t set_pc_ack(int32_t value, int32_t slot = -1)
{
    QZVQContext* c = ctx();
    const QZVQDevice& hs = c->cfg.hsdev[0];
    int32_t rc = PLCSetBit(QZVQ_KIND_HANDSHAKE, "PLC  PC Ack", hs.code, hs.address[1], hs.bit[1], 1, value);
    const char* format = value != 0 ? "PLC data set error at handshake bit (PLC-->PC) ON (%d)"
                                    : "PLC data set error at handshake bit (PLC-->PC) OFF (%d)";
    if (slot >= 0)
        rc = remembered(slot, rc, format);
    else if (rc < 0)
        QZVQ_LOG(kPlcLine, 1, format, rc);
    if (rc < 0)
        XKSStore(c->resync, 1);
    return rc;
}

// The PLC-to-PC handshake: serve a new request and acknowledge it, take
// the acknowledge back once the request drops, or after PLCHSTO while it
// does not.
int32_t plc_handshake()
{
    QZVQContext* c = ctx();
    const QZVQDevice& hs = c->cfg.hsdev[0];
    uint16_t request = 0;
    int32_t rc = remembered(ERR_PLCREQ, read_point(QZVQ_KIND_HANDSHAKE, "PLC  PLCReq", hs, 0, &request),
                            "PLC data get error at handshake bit (PLC-->PC) (%d)");
    if (rc < 0)
        return rc;
    int32_t state = XKSLoad(c->plcreq);
    if (request != 0 && state == QZVQ_PLCREQ_IDLE) {
        rc = to_host();
        if (rc < 0)
            return rc;  // nothing sent: served again after the reconnect
        // Served before it is acknowledged: a lost answer to the write
        // below does not send the message a second time.
        set_plcreq(QZVQ_PLCREQ_SERVED);
        rc = set_pc_ack(1);
    } else if (request != 0 && state == QZVQ_PLCREQ_SERVED && timed_out(c->plcreqtime)) {
        QZVQ_LOG(kPlcLine, 1, "PLC did not take back its request (PLC-->PC) within %d ms: PC Ack taken back",
                 c->cfg.plchsto);
        set_plcreq(QZVQ_PLCREQ_ABANDONED);
        rc = set_pc_ack(0);
    } else if (request == 0 && state != QZVQ_PLCREQ_IDLE) {
        // Idle before the write: when its answer is lost, a new request
        // the PLC raises meanwhile is served, not taken for the old one.
        set_plcreq(QZVQ_PLCREQ_IDLE);
        rc = state == QZVQ_PLCREQ_SERVED ? set_pc_ack(0, ERR_PCACK_OFF) : 0;
    }
    return rc < 0 ? rc : 0;
}

// Read the handshake devices back and bring the bridge's own bits into
// the state its handshakes expect: at start, after a reconnect and after
// a failed handshake write, the PLC may hold bits of an earlier run or of
// a write whose answer was lost. 0 or the access error.
int32_t resync()
{
    QZVQContext* c = ctx();
    const QZVQDevice& to_host_dev = c->cfg.hsdev[0];
    const QZVQDevice& to_plc_dev = c->cfg.hsdev[1];
    uint16_t plc_req = 0, pc_ack = 0, plc_ack = 0, pc_req = 0;
    int32_t rc = read_point(QZVQ_KIND_HANDSHAKE, "PLC  PLCReq", to_host_dev, 0, &plc_req);
    if (rc >= 0)
        rc = read_point(QZVQ_KIND_HANDSHAKE, "PLC  PC Ack", to_host_dev, 1, &pc_ack);
    if (rc >= 0)
        rc = read_point(QZVQ_KIND_HANDSHAKE, "SECS PLCAck", to_plc_dev, 0, &plc_ack);
    if (rc >= 0)
        rc = read_point(QZVQ_KIND_HANDSHAKE, "SECS PC Req", to_plc_dev, 1, &pc_req);
    if (rc < 0)
        return rc;

    // Host to PLC. A message handed over but not acknowledged is written
    // again in full when the PLC no longer holds it (a restarted PLC has
    // lost it); one the PLC acknowledged meanwhile is delivered.
    int32_t state = XKSLoad(c->pcreq);
    if (state == QZVQ_PCREQ_SET && plc_ack != 0 && pc_req != 0) {
        QZVQQueuePop();
        state = QZVQ_PCREQ_OFF;
    } else if (state == QZVQ_PCREQ_SET) {
        QZVQHostMssg* head = QZVQQueueHead();
        uint16_t block[QZVQ_INFORM_WORDS] = {};
        const QZVQDevice& at = c->cfg.msdev[1];
        if (pc_req != 0 && head != nullptr)
            rc = PLCGetData(QZVQ_KIND_INFORM, "SECS Inform", at.code, at.address[0], 0, QZVQ_INFORM_WORDS, block);
        if (rc < 0)
            return rc;
        bool held = pc_req != 0 && head != nullptr && std::equal(block, block + QZVQ_INFORM_WORDS, head->inform);
        if (!held)
            state = QZVQ_PCREQ_IDLE;
    } else if (state == QZVQ_PCREQ_IDLE && plc_ack != 0) {
        state = QZVQ_PCREQ_OFF;  // the next message waits until it drops
    }
    if (pc_req != 0 && state != QZVQ_PCREQ_SET)
        rc = PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", to_plc_dev.code, to_plc_dev.address[1],
                       to_plc_dev.bit[1], 1, 0);
    if (rc < 0)
        return rc;
    set_pcreq(state);

    // PLC to host. A request with PC Ack on was served (by this run or an
    // earlier one); one given up keeps PC Ack off until it drops.
    int32_t served = XKSLoad(c->plcreq);
    if (plc_req == 0 || served == QZVQ_PLCREQ_ABANDONED) {
        if (pc_ack != 0)
            rc = set_pc_ack(0);
        served = plc_req == 0 ? QZVQ_PLCREQ_IDLE : served;
    } else if (served == QZVQ_PLCREQ_SERVED || pc_ack != 0) {
        if (pc_ack == 0)
            rc = set_pc_ack(1);
        served = QZVQ_PLCREQ_SERVED;
    }
    if (rc < 0)
        return rc;
    set_plcreq(served);
    XKSStore(c->resync, 0);
    return 0;
}

}  // namespace

int32_t QZVQSelectedItem(int32_t table, const char* name)
{
    int32_t count = XKSMDGetParam(table, 0, 105, nullptr, 0, 0);
    int32_t first = XKSMDGetParam(table, 0, 106, nullptr, 0, 0);
    for (int32_t j = first; j < first + count; ++j) {
        int32_t id = XKSMDGetParam(table, 0, 501, nullptr, 0, j);
        char text[QZVQ_NAME_SIZE + 8];
        XKSMDGetParam(table, 0, 300, text, sizeof text, id);
        if (strcasecmp(text, name) == 0)
            return id;
    }
    return -1;
}

void QZVQFillInform(uint16_t* block, int32_t sf, int32_t devid, uint32_t xid, const char* name)
{
    const uint16_t head[4] = {uint16_t(sf), uint16_t(devid), uint16_t(xid >> 16), uint16_t(xid)};
    ConvSECSToPLC(XKS_FMT_U2, 4, head, block, 4);
    char text[2 * kNameWords] = {};
    XKWStrCopy(text, name, sizeof text);
    for (int32_t k = 0; k < kNameWords; ++k)
        block[4 + k] = swap_name_word(uint16_t(uint8_t(text[2 * k]) | uint8_t(text[2 * k + 1]) << 8));
}

void QZVQReadInform(const uint16_t* block, uint16_t* head, char* name, size_t size)
{
    ConvPLCToSECS(XKS_FMT_U2, 4, block, head, 4 * sizeof *head);
    size_t n = 0;
    for (int32_t k = 0; k < kNameWords && n + 1 < size; ++k) {
        uint16_t word = swap_name_word(block[4 + k]);
        name[n++] = char(word & 0xFF);
        if (n + 1 < size)
            name[n++] = char(word >> 8);
    }
    name[std::min(n, size - 1)] = '\0';
}

int32_t CBRecvProc(void* argument, const XKSRecvRecord* record)
{
    (void)argument;
    QZVQContext* c = ctx();
    // Records can come before the start has read the settings and tables
    // (the host may connect at once): they wait for it rather than being
    // lost. A start that fails or a stop ends the wait.
    for (int32_t waited = 0; XKSLoad(c->ready) == 0 && XKSLoad(c->closing) == 0; waited += 5) {
        if (waited >= kReadyWait)
            return 0;
        XKWSleep(5);
    }
    if (record == nullptr)
        return 0;
    constexpr int32_t secs = QZVQ_DIR_GENERAL | QZVQ_LOG_SECS;
    int32_t size = c->lib.xmsgsize;
    if (!ensure(recv_items, size + 8, "SECS Item data area", secs) ||
        !ensure(recv_words, 2 * size, "PLC Communication area", secs))
        return 0;
    bool by_engine = record->req >= 66 && record->req <= 69;
    DispSECSInfo(QZVQ_LOG_SECS | (by_engine ? 2 : 1), record->devid, record->sf, record->xid, record->header,
                 record->body, record->rtn);
    QZVQAwaited sent;
    if (record->req == 0 && record->rtn >= 0 && (record->sf & 1) == 0) {
        QZVQAwaitTake(record->xid, &sent);  // the reply has come
    } else if (record->req == XKS_EV_T3) {
        if (QZVQAwaitTake(record->xid, &sent))
            no_reply(sent, "T3 time-out");
    } else if (record->req == XKS_EV_SEPARATED || record->req == XKS_EV_DESELECTED ||
               record->req == XKS_EV_ENDED) {
        for (const QZVQAwaited& s : QZVQAwaitTakeAll())
            no_reply(s, "the link ended");
    }
    if (record->req != 0 || record->rtn < 0)
        return 0;
    if (XKSLoad(c->closing) != 0) {
        refuse(record->devid, record->sf, record->xid, SfName(record->sf).text, "the bridge is stopping");
        return 0;
    }
    to_plc(*record);
    return 0;
}

int32_t PLCObserver()
{
    QZVQContext* c = ctx();
    if (session() <= 0)
        return 0;
    int32_t size = c->lib.xmsgsize;
    if (!ensure(send_body, size, "SECS Message area", 0) || !ensure(send_items, size + 8, "SECS Item data area", 0) ||
        !ensure(send_words, 2 * size, "PLC Communication area", 0))
        return -12;

    uint16_t status = 0;
    int32_t rc = read_point(QZVQ_KIND_STATUS, "PLC  Status", c->cfg.ssdev[0], 0, &status);
    // This code is only replaced by a later failure: a good read keeps it.
    if (rc < 0)
        return remembered(ERR_STATUS, rc, "PLC data get error at PLC status bit (%d)");
    int32_t before = XKSLoad(c->plcstat);
    if (before == 0 && status != 0) {
        QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "PLC now started");
    } else if (before != 0 && status == 0) {
        QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "PLC not running");
        QZVQPlcAway("the PLC is not running");
    }
    XKSStore(c->plcstat, status);

    if (XKSLoad(c->resync) != 0) {
        // The SECS status device too may hold a value of an earlier run.
        uint16_t secs = 0;
        rc = read_point(QZVQ_KIND_STATUS, "SECS Status", c->cfg.ssdev[1], 0, &secs);
        if (rc < 0)
            return rc;
        XKSStore(c->secsstat, secs != 0 ? 1 : 0);
    }
    rc = follow_link();
    if (rc < 0 || status == 0)
        return rc;
    if (XKSLoad(c->resync) != 0 && (rc = resync()) < 0)
        return rc;
    rc = pc_handshake();
    return rc < 0 ? rc : plc_handshake();
}

void QZVQPlcAway(const char* why)
{
    QZVQContext* c = ctx();
    XKSStore(c->resync, 1);  // and the head is written again if the PLC no longer holds it
    for (const auto& m : QZVQQueueTake(false, true))
        refuse(*m, why);
}

void QZVQPlcOffline()
{
    for (QZVQHostMssg* m = QZVQQueueHead(); m != nullptr && drop_stale_head(*m); m = QZVQQueueHead()) {
    }
}

void QZVQQueueFlush(const char* why)
{
    for (const auto& m : QZVQQueueTake(true, false))
        refuse(*m, why);
    set_pcreq(QZVQ_PCREQ_IDLE);
}
