// The equipment program of the simulated PLC: the PLC's side of the
// bridge's status devices and its two handshakes, on the bridge's own
// settings and PLC message table.
//
// Host to PLC: when the bridge raises its PC request, the program reads
// the SECS information block and the message's items from memory, shows
// them, and acknowledges; when the request drops, so does the
// acknowledge. With answering on, a primary with the W-bit gets its
// defined reply queued.
//
// PLC to host: a queued request writes its items and the PLC information
// block, raises the PLC request, drops it once the bridge acknowledges and
// waits for the acknowledge to drop before the next one.
#include <cstdio>
#include <cstring>

#include <strings.h>

#include "runtime/XKWSleep.h"
#include "runtime/XKWStr.h"
#include "secs/XKSAcb.h"
#include "secs/XKSLib.h"
#include "secs/XKSMDMssg.h"
#include "tools/plcsim/PlcSim.h"

namespace plcsim {

namespace {

constexpr size_t kMaxQueued = 64;  // PLC requests waiting to be raised

QZVQContext* ctx()
{
    return QZVQGetContext();
}

std::string sf_text(int32_t sf)
{
    char text[24];
    std::snprintf(text, sizeof text, "S%dF%d%s", (sf >> 8) & 0x7F, sf & 0xFF, (sf & 0x8000) != 0 ? " W" : "");
    return text;
}

std::string head_text(const char* what, const std::string& name, int32_t sf, int32_t devid, uint32_t xid)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s %s [%s] devid=%d xid=0x%08X", what, sf_text(sf).c_str(), name.c_str(),
                  devid, xid);
    return text;
}

// The definition with this name (upper-case compare), or null.
const XKSMDMessage* find_message(int32_t table, const std::string& name)
{
    XKSMDTable* t = nullptr;
    if (XKSMDGetTable(table, 0, &t) != 0 || t == nullptr)
        return nullptr;
    for (int32_t i = 0; i < t->cmssg; ++i)
        if (strcasecmp(t->mssgs[i].name, name.c_str()) == 0)
            return &t->mssgs[i];
    return nullptr;
}

// The reply to a primary sf sent from side (XKS_MD_E or XKS_MD_H): a
// definition of function + 1 from that side, the default reply first.
const XKSMDMessage* find_reply(int32_t table, int32_t sf, int32_t side)
{
    XKSMDTable* t = nullptr;
    if (XKSMDGetTable(table, 0, &t) != 0 || t == nullptr)
        return nullptr;
    const XKSMDMessage* found = nullptr;
    for (int32_t i = 0; i < t->cmssg; ++i) {
        const XKSMDMessage& m = t->mssgs[i];
        if (m.sf != (sf & 0x7FFF) + 1 || (m.at & side) == 0)
            continue;
        if ((m.at & XKS_MD_D) != 0)
            return &m;
        if (found == nullptr)
            found = &m;
    }
    return found;
}

}  // namespace

int32_t load_bridge(const std::string& ini, const std::string& plc, const std::string& secs, int32_t* devid,
                    bool* equipment, std::string* error)
{
    QZVQContext* c = ctx();
    QZVQResetContext(c);
    XKWStrCopy(c->plcini, ini.c_str(), sizeof c->plcini);
    XKWStrCopy(c->plcsect, plc.c_str(), sizeof c->plcsect);
    if (QZVQAnalizeConfigure(c) < 0) {
        *error = "cannot read " + ini;
        return -12;
    }
    // The library section's settings, for the definitions; the table keeps
    // a pointer to them, so the block stays for the process's life.
    XKSAcb* acb = nullptr;
    int32_t session = XKSAllocAcb(0, &acb);
    if (session <= 0 || XKSLibReadConfig(acb, ini.c_str(), secs.c_str()) != 0) {
        *error = "cannot read the section [" + secs + "] of " + ini;
        return session <= 0 ? session : -2;
    }
    int32_t table = XKSMDOpen(0, session, nullptr);
    if (table < 0) {
        *error = std::string("cannot load the message definitions ") + acb->cfg.mdmssg + " (" + std::to_string(table) +
                 ")";
        return table;
    }
    QZVQLibrary& lib = c->lib;
    XKWStrCopy(lib.mdmssg, acb->cfg.mdmssg, sizeof lib.mdmssg);
    lib.xmsgsize = acb->cfg.xmsgsize;
    lib.mdmxmssg = acb->cfg.mdmxmssg;
    lib.mdmxmitem = acb->cfg.mdmxmitem;
    lib.secsmode = int32_t(acb->cfg.secsmode);
    int32_t rc = QZVQAnalizeMssgDef(c);
    if (rc < 0) {
        *error = std::string("cannot read the PLC fields of ") + lib.mdmssg + " (" + std::to_string(rc) + ")";
        XKSMDClose(table, 0);
        return rc;
    }
    *devid = acb->cfg.xdev > 0 && acb->cfg.devid != nullptr ? acb->cfg.devid[0] : 0;
    *equipment = (acb->cfg.secsmode & 0x10) != 0;
    return table;
}

SimEquipment::SimEquipment(SimMemory& memory, int32_t table, int32_t devid, bool equipment, bool answer, Log log)
    : memory_(memory), table_(table), devid_(devid), equipment_(equipment), answer_(answer), log_(std::move(log)),
      body_(size_t(std::max(ctx()->lib.xmsgsize, 256)))
{
}

SimEquipment::~SimEquipment()
{
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
}

void SimEquipment::start(int32_t interval)
{
    thread_ = std::thread([this, interval] {
        while (!stop_.load()) {
            poll();
            XKWSleep(interval);
        }
    });
}

uint16_t SimEquipment::point(int32_t kind, const QZVQDevice& device, int32_t which)
{
    uint16_t value = 0;
    memory_.get(kind, device.code, device.address[which], device.bit[which], 1, &value);
    return value;
}

void SimEquipment::set_point(int32_t kind, const QZVQDevice& device, int32_t which, uint16_t value)
{
    memory_.put(kind, device.code, device.address[which], device.bit[which], 1, &value);
}

void SimEquipment::poll()
{
    std::lock_guard<std::mutex> lock(m_);
    const QZVQSettings& cfg = ctx()->cfg;
    uint16_t status = point(QZVQ_KIND_STATUS, cfg.ssdev[0], 0);
    if (running_ && status == 0) {
        set_point(QZVQ_KIND_STATUS, cfg.ssdev[0], 0, 1);
        if (!status_set_)
            log_("PLC status on");
        status_set_ = true;
    } else if (!running_ && status != 0) {
        set_point(QZVQ_KIND_STATUS, cfg.ssdev[0], 0, 0);
    }
    int32_t secs = point(QZVQ_KIND_STATUS, cfg.ssdev[1], 0) != 0 ? 1 : 0;
    if (secs != secs_)
        log_(secs != 0 ? "SECS ready" : "SECS not ready");
    secs_ = secs;
    if (!running_)
        return;
    serve_pc_request();
    serve_plc_request();
}

void SimEquipment::serve_pc_request()
{
    const QZVQDevice& hs = ctx()->cfg.hsdev[1];
    uint16_t request = point(QZVQ_KIND_HANDSHAKE, hs, 1);
    if (request != 0 && !pc_acked_) {
        uint16_t block[QZVQ_INFORM_WORDS] = {};
        const QZVQDevice& inform = ctx()->cfg.msdev[1];
        memory_.get(QZVQ_KIND_INFORM, inform.code, inform.address[0], 0, QZVQ_INFORM_WORDS, block);
        uint16_t head[4];
        char name[QZVQ_NAME_SIZE + 1];
        QZVQReadInform(block, head, name, sizeof name);
        uint32_t xid = uint32_t(head[2]) << 16 | head[3];
        show_received(name, head[0], head[1], xid);
        set_point(QZVQ_KIND_HANDSHAKE, hs, 0, 1);
        pc_acked_ = true;
        received_.fetch_add(1);
        if (answer_ && (head[0] & 0x8000) != 0 && (head[0] & 1) != 0)
            answer_primary(name, head[0], head[1], xid);
    } else if (request == 0 && pc_acked_) {
        set_point(QZVQ_KIND_HANDSHAKE, hs, 0, 0);
        pc_acked_ = false;
    }
}

void SimEquipment::serve_plc_request()
{
    const QZVQSettings& cfg = ctx()->cfg;
    const QZVQDevice& hs = cfg.hsdev[0];
    uint16_t ack = point(QZVQ_KIND_HANDSHAKE, hs, 1);
    if (plc_state_ == 0 && ack == 0 && secs_ == 1 && !queue_.empty()) {
        current_ = std::move(queue_.front());
        queue_.pop_front();
        for (const Write& w : current_.items)
            memory_.put(QZVQ_KIND_ITEM, w.code, w.address, 0, int32_t(w.words.size()), w.words.data());
        uint16_t block[QZVQ_INFORM_WORDS] = {};
        QZVQFillInform(block, current_.sf, current_.devid, current_.xid, current_.name.c_str());
        memory_.put(QZVQ_KIND_INFORM, cfg.msdev[0].code, cfg.msdev[0].address[0], 0, QZVQ_INFORM_WORDS, block);
        set_point(QZVQ_KIND_HANDSHAKE, hs, 0, 1);
        log_(head_text("SEND", current_.name, current_.sf, current_.devid, current_.xid));
        for (const std::string& line : current_.shown)
            log_(line);
        plc_state_ = 1;
    } else if (plc_state_ == 1 && ack != 0) {
        set_point(QZVQ_KIND_HANDSHAKE, hs, 0, 0);
        plc_state_ = 2;
    } else if (plc_state_ == 2 && ack == 0) {
        plc_state_ = 0;
        sent_.fetch_add(1);
        log_("ACK " + current_.name);
    }
}

int32_t SimEquipment::item_format(const std::string& message, const std::string& item)
{
    auto key = std::make_pair(message, item);
    if (auto it = formats_.find(key); it != formats_.end())
        return it->second;
    int32_t format = -1;
    if (XKSMDSelect(table_, 0, nullptr, int32_t(body_.size()), message.c_str()) >= 0) {
        int32_t id = QZVQSelectedItem(table_, item.c_str());
        if (id >= 0)
            format = XKSMDGetParam(table_, 0, 303, nullptr, 0, id);
        XKSMDBuild(table_, 0, body_.data());  // ends the selection
    }
    formats_[key] = format;
    return format;
}

void SimEquipment::show_received(const std::string& name, int32_t sf, int32_t devid, uint32_t xid)
{
    log_(head_text("RECEIVE", name, sf, devid, xid));
    const QZVQContext* c = ctx();
    const PLCMssgEntry* entry = QZVQFindMssg(c, name.c_str());
    if (entry == nullptr) {
        log_("  no PLC fields for " + name);
        return;
    }
    for (int32_t i = entry->first; i < entry->first + entry->count; ++i) {
        const PLCItemEntry& item = c->item[i];
        int32_t format = item_format(name, item.name);
        if (item.waddr == 0 || item.words <= 0 || format < 0)
            continue;
        std::vector<uint16_t> words(size_t(item.words), 0);
        memory_.get(QZVQ_KIND_ITEM, item.wcode, item.waddr, 0, item.words, words.data());
        std::vector<uint8_t> value(2 * size_t(item.words) + 8, 0);
        int32_t count = ConvPLCToSECS(format, item.words, words.data(), value.data(), int32_t(value.size()) - 1);
        if (count >= 0)
            log_("  " + std::string(item.name) + " = " + value_text(format, value.data(), count));
    }
}

void SimEquipment::answer_primary(const std::string& name, int32_t sf, int32_t devid, uint32_t xid)
{
    const XKSMDMessage* reply = find_reply(table_, sf, equipment_ ? XKS_MD_E : XKS_MD_H);
    if (reply == nullptr) {
        log_("no reply defined for " + name);
        return;
    }
    std::string error;
    if (prepare(reply->name, {}, devid, xid, &error) < 0)
        log_("reply " + std::string(reply->name) + ": " + error);
}

int32_t SimEquipment::request(const std::string& name, const std::vector<ItemValue>& values, std::string* error)
{
    std::lock_guard<std::mutex> lock(m_);
    return prepare(name, values, devid_, 0, error);
}

int32_t SimEquipment::prepare(const std::string& name, const std::vector<ItemValue>& values, int32_t devid,
                              uint32_t xid, std::string* error)
{
    // Requests wait while the bridge is away; a timer must not pile them
    // up without bound.
    if (queue_.size() >= kMaxQueued) {
        *error = std::to_string(queue_.size()) + " requests are waiting already";
        return -1;
    }
    const XKSMDMessage* m = find_message(table_, name);
    if (m == nullptr) {
        *error = "no message " + name + " in the definitions";
        return -1;
    }
    Pending p;
    p.name = m->name;
    p.sf = uint16_t(m->sf | ((m->at & XKS_MD_W) != 0 ? 0x8000 : 0));
    p.devid = devid;
    p.xid = (m->sf & 1) == 0 ? xid : 0;  // a reply carries the primary's system bytes
    const QZVQContext* c = ctx();
    const PLCMssgEntry* entry = QZVQFindMssg(c, p.name.c_str());
    if (entry == nullptr) {
        *error = "no PLC fields for " + p.name;
        return -1;
    }
    // Build the message with the values given, then take it apart again:
    // the definition checks the values and fills in the others.
    int32_t capacity = int32_t(body_.size());
    if (int32_t rc = XKSMDSelect(table_, 0, nullptr, capacity, p.name.c_str()); rc < 0) {
        *error = "cannot select " + p.name + " (" + std::to_string(rc) + ")";
        return -1;
    }
    for (const ItemValue& v : values) {
        int32_t id = QZVQSelectedItem(table_, v.first.c_str());
        int32_t format = id >= 0 ? XKSMDGetParam(table_, 0, 303, nullptr, 0, id) : -1;
        std::vector<uint8_t> bytes;
        int32_t count = 0;
        int32_t rc = -1;
        if (id < 0)
            *error = "no item " + v.first + " in " + p.name;
        else if (!parse_value(format, v.second, &bytes, &count))
            *error = "bad value for " + v.first + ": " + v.second;
        else if ((rc = XKSMDPutItem(table_, 0, nullptr, v.first.c_str(), count, bytes.data())) < 0)
            *error = "item " + v.first + " not set (" + std::to_string(rc) + ")";
        if (rc < 0) {
            XKSMDBuild(table_, 0, body_.data());  // ends the selection
            return -1;
        }
    }
    int32_t length = XKSMDBuild(table_, 0, body_.data());
    if (length < 0) {
        *error = "cannot build " + p.name + " (" + std::to_string(length) + ")";
        return -1;
    }
    char matched[XKS_MD_NAME] = "";
    int32_t rc = XKSMDMatch(table_, 0x2000, body_.data(), length, m->sf, matched);
    if (rc < 0) {
        *error = "values not accepted by " + p.name + " (" + std::to_string(rc) + ")";
        return -1;
    }
    std::vector<uint8_t> value(size_t(capacity) + 8);
    std::vector<uint16_t> words(size_t(capacity) / 2 + 8);
    for (int32_t i = entry->first; i < entry->first + entry->count; ++i) {
        const PLCItemEntry& item = c->item[i];
        if (item.raddr == 0)
            continue;
        std::fill(value.begin(), value.end(), 0);
        int32_t format = 0;
        int32_t count = XKSMDGetItem(table_, 0, nullptr, item.name, 0, value.data(), &format, nullptr);
        if (count < 0)
            continue;
        std::fill(words.begin(), words.end(), 0);
        int32_t n = ConvSECSToPLC(format, count, value.data(), words.data(), int32_t(words.size()));
        n = std::min(n, item.words);
        if (n <= 0)
            continue;
        p.items.push_back({item.rcode, item.raddr, std::vector<uint16_t>(words.begin(), words.begin() + n)});
        p.shown.push_back("  " + std::string(item.name) + " = " + value_text(format, value.data(), count));
    }
    XKSMDMatchEnd(table_, 0, nullptr);
    queue_.push_back(std::move(p));
    return 0;
}

void SimEquipment::set_running(bool running)
{
    std::lock_guard<std::mutex> lock(m_);
    running_ = running;
    log_(running ? "PLC run" : "PLC stop");
}

std::string SimEquipment::status()
{
    std::lock_guard<std::mutex> lock(m_);
    static constexpr const char* plc_states[] = {"idle", "raised", "acknowledged"};
    char text[200];
    std::snprintf(text, sizeof text, "plc=%s secs=%s plcreq=%s pcreq=%s received=%lld sent=%lld queued=%zu",
                  running_ ? "run" : "stop", secs_ == 1 ? "ready" : "not-ready", plc_states[plc_state_],
                  pc_acked_ ? "acknowledged" : "idle", static_cast<long long>(received_.load()),
                  static_cast<long long>(sent_.load()), queue_.size());
    return text;
}

}  // namespace plcsim
