// The two transfers between the SECS session and the PLC.
//
// Host to PLC (CBRecvProc, on the session's receive-callback thread): a
// received data message is matched against the definitions, its header
// goes into the 20-word SECS information block, each item of its PLC table
// entry into its PLC area, then the PC request bit is raised. The next
// message is accepted once the PLC has acknowledged and dropped its
// acknowledge again.
//
// PLC to host (PLCObserver, one poll of the PLC thread): the PLC fills its
// information block (stream/function, device ID, system bytes, message
// name) and the item areas and raises its request bit; the bridge builds
// the named message with the item values read from the PLC, sends it and
// raises the PC acknowledge until the PLC drops its request.
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
#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "secs/XKSAcb.h"
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

Area recv_items;  // item values of a received message
Area recv_words;  // PLC words of one item or the information block

// Answer a W-bit primary with function 0 of its stream.
void abort_reply(const XKSRecvRecord& r)
{
    if ((r.sf & 0x8000) == 0)
        return;
    char name[16];
    std::snprintf(name, sizeof name, "S%dF0", (r.sf >> 8) & 0x7F);
    int32_t rc = XKSSend(session(), 0, r.devid, r.sf & 0x7F00, r.xid, nullptr, 0, nullptr);
    if (rc < 0)
        QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_SECS | QZVQ_LOG_FORMAT, 1, "SECS message [%s] send error (%d)", name, rc);
}

// Write the items of a matched message to the PLC, in table order.
void write_items(const QZVQContext* c, const PLCMssgEntry& entry, int32_t table)
{
    int32_t room = recv_words.size / 2;
    for (int32_t i = entry.first; i < entry.first + entry.count; ++i) {
        const PLCItemEntry& item = c->item[i];
        recv_items.clear();
        int32_t format = 0;
        int32_t count = XKSMDGetItem(table, 0, nullptr, item.name, 0, recv_items.data.get(), &format, nullptr);
        if (count < 0) {
            QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT, 1, "No such item [%s] in SECS message [%s] (%d)", item.name,
                     entry.name, count);
            continue;
        }
        recv_words.clear();
        int32_t words = ConvSECSToPLC(format, count, recv_items.data.get(), recv_words.words(), room);
        words = std::min(words, item.words);
        if (item.waddr == 0 || words == 0)
            continue;
        int32_t rc = words < 0 ? words
                               : PLCSetData(QZVQ_KIND_ITEM, item.name, item.wcode, item.waddr, 0, words,
                                            recv_words.words());
        if (rc < 0)
            QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT, 1, "PLC data set error at SECS message item data (%d)", rc);
    }
}

// Hand one received data message to the PLC.
void to_plc(const XKSRecvRecord& r)
{
    QZVQContext* c = ctx();
    constexpr int32_t secs = QZVQ_DIR_GENERAL | QZVQ_LOG_SECS | QZVQ_LOG_FORMAT;
    constexpr int32_t plc = QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT;
    if (XKSLoad(c->plcid) <= 0 || XKSLoad(c->plcstat) == 0) {
        QZVQ_LOG(secs, 1, "PLC not connect or not running now.");
        abort_reply(r);
        return;
    }
    if (XKSLoad(c->pcreq) != 0) {
        QZVQ_LOG(secs, 1, "Last sending messeage to PLC was not completed.");
        return;
    }
    int32_t table = c->mdtable[1];
    char name[QZVQ_NAME_SIZE] = "";
    int32_t rc = XKSMDMatch(table, 0x3000, r.body, r.rtn, r.sf, name);
    if (rc < 0) {
        QZVQ_LOG(secs, 1, "No corresponding message in message definition (%s) file (%d)", c->lib.mdmssg, rc);
        return;
    }
    const PLCMssgEntry* entry = QZVQFindMssg(c, name);
    if (entry == nullptr) {
        QZVQ_LOG(secs, 1, "No message [%s] information found in message definition (%s) file.", name,
                 c->lib.mdmssg);
        XKSMDMatchEnd(table, 0, nullptr);
        return;
    }
    recv_words.clear();
    QZVQFillInform(recv_words.words(), r.sf, r.devid, r.xid, name);
    QZVQ_LOG(QZVQ_DIR_WRITE | QZVQ_LOG_FORMAT, 1, "PLC << SECS Message%s< %s", message_blanks(), name);
    const QZVQDevice& block = c->cfg.msdev[1];
    rc = PLCSetData(QZVQ_KIND_INFORM, "SECS Inform", block.code, block.address[0], 0, QZVQ_INFORM_WORDS,
                    recv_words.words());
    if (rc < 0) {
        QZVQ_LOG(plc, 1, "PLC data set error at SECS message information (%d)", rc);
        XKSMDMatchEnd(table, 0, nullptr);
        return;
    }
    write_items(c, *entry, table);
    XKSMDMatchEnd(table, 0, nullptr);
    const QZVQDevice& hs = c->cfg.hsdev[1];
    rc = PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", hs.code, hs.address[1], hs.bit[1], 1, 1);
    if (rc < 0)
        QZVQ_LOG(plc, 1, "PLC data set error at handshake bit (PC-->PLC) ON (%d)", rc);
    else
        XKSStore(c->pcreq, 1);
}

// ---- PLC to host ----

Area send_body;   // the message being built
Area send_items;  // one item value read from the PLC
Area send_words;  // PLC words

// Read the items of the PLC table entry and set them into the selected
// message.
void read_items(const QZVQContext* c, const PLCMssgEntry& entry, int32_t table)
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
}

// Serve one PLC request: read its information block, build the named
// message and send it. Every failure is logged; the caller acknowledges
// the request in any case.
void to_host()
{
    QZVQContext* c = ctx();
    constexpr int32_t plc = QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT;
    send_words.clear();
    const QZVQDevice& block = c->cfg.msdev[0];
    int32_t rc = PLCGetData(QZVQ_KIND_INFORM, "PLC  Inform", block.code, block.address[0], 0, QZVQ_INFORM_WORDS,
                            send_words.words());
    if (rc < 0) {
        QZVQ_LOG(plc, 1, "PLC data get error at PLC message information (%d)", rc);
        return;
    }
    uint16_t head[4];
    char name[64];
    QZVQReadInform(send_words.words(), head, name, sizeof name);
    if (name[0] == '\0') {
        QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "PLC message name error");
        return;
    }
    int32_t table = c->mdtable[1];
    int32_t capacity = c->lib.xmsgsize;
    rc = XKSMDSelect(table, 0, nullptr, capacity, name);
    if (rc < 0) {
        QZVQ_LOG(plc, 1, "No PLC message [%s] found in message definition [%s] file (%d)", name, c->lib.mdmssg, rc);
        return;
    }
    const PLCMssgEntry* entry = QZVQFindMssg(c, name);
    if (entry == nullptr) {
        QZVQ_LOG(plc, 1, "No PLC message [%s] information found in message  definition [%s] file.", name,
                 c->lib.mdmssg);
        XKSMDBuild(table, 0, send_body.data.get());  // ends the selection
        return;
    }
    read_items(c, *entry, table);
    int32_t length = XKSMDBuild(table, 0, send_body.data.get());
    if (length < 0) {
        QZVQ_LOG(plc, 1, "SECS message [%s] build error (%d)", name, length);
        return;
    }
    int32_t sf = head[0];
    int32_t devid = head[1];
    uint32_t xid = uint32_t(head[2]) << 16 | head[3];
    QZVQ_LOG(QZVQ_DIR_READ | QZVQ_LOG_FORMAT, 1, "PLC >> SECS Message%s> %s", message_blanks(), name);
    uint8_t header[10] = {};
    const uint16_t dev16 = uint16_t(devid);
    const uint16_t system[2] = {head[2], head[3]};
    std::memcpy(header, &dev16, 2);
    header[2] = uint8_t(sf >> 8);
    header[3] = uint8_t(sf);
    std::memcpy(header + 6, system, 4);
    DispSECSInfo(QZVQ_LOG_SECS | 2, devid, sf, xid, header, send_body.data.get(), length);
    rc = XKSSend(session(), 0, devid, sf, xid, send_body.data.get(), length, nullptr);
    if (rc < 0)
        QZVQ_LOG(plc, 1, "SECS message [%s] send error (%d)", name, rc);
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
// acknowledged, accept the next message once the acknowledge drops.
int32_t pc_handshake()
{
    QZVQContext* c = ctx();
    int32_t state = XKSLoad(c->pcreq);
    if (state == 0)
        return 0;
    const QZVQDevice& hs = c->cfg.hsdev[1];
    uint16_t ack = 0;
    int32_t rc = remembered(ERR_PLCACK, read_point(QZVQ_KIND_HANDSHAKE, "SECS PLCAck", hs, 0, &ack),
                            "PLC data get error at handshake bit (PC-->PLC) (%d)");
    if (rc < 0)
        return rc;
    if (ack != 0) {
        rc = remembered(ERR_PCREQ_OFF,
                        PLCSetBit(QZVQ_KIND_HANDSHAKE, "SECS PC Req", hs.code, hs.address[1], hs.bit[1], 1, 0),
                        "PLC data set error at handshake bit (PC-->PLC) OFF (%d)");
        if (rc < 0)
            return rc;
        XKSStore(c->pcreq, 2);
    } else if (state == 2) {
        XKSStore(c->pcreq, 0);
    }
    return 0;
}

// The PLC-to-PC handshake: serve a new request and acknowledge it, take
// the acknowledge back once the request drops.
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
    if (request != 0 && state == 0) {
        to_host();
        rc = PLCSetBit(QZVQ_KIND_HANDSHAKE, "PLC  PC Ack", hs.code, hs.address[1], hs.bit[1], 1, 1);
        if (rc < 0) {
            QZVQ_LOG(QZVQ_DIR_GENERAL | QZVQ_LOG_FORMAT, 1, "PLC data set error at handshake bit (PLC-->PC) ON (%d)",
                     rc);
            return rc;
        }
        XKSStore(c->plcreq, 1);
    } else if (request == 0 && state != 0) {
        rc = remembered(ERR_PCACK_OFF,
                        PLCSetBit(QZVQ_KIND_HANDSHAKE, "PLC  PC Ack", hs.code, hs.address[1], hs.bit[1], 1, 0),
                        "PLC data set error at handshake bit (PLC-->PC) OFF (%d)");
        if (rc < 0)
            return rc;
        XKSStore(c->plcreq, 0);
    }
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
    if (XKSLoad(c->closing) != 0 || record->req != 0 || record->rtn < 0)
        return 0;
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
    if (before == 0 && status != 0)
        QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "PLC now started");
    else if (before != 0 && status == 0)
        QZVQ_LOG(QZVQ_DIR_GENERAL, 1, "PLC not running");
    XKSStore(c->plcstat, status);

    rc = follow_link();
    if (rc < 0 || status == 0)
        return rc;
    rc = pc_handshake();
    return rc < 0 ? rc : plc_handshake();
}
