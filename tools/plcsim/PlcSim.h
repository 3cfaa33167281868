// The PLC simulator: a PLC for the bridge without hardware.
//
//   SimMemory     the points of the simulated PLC as the bridge addresses
//                 them (device code, address, bit; access kind)
//   DeviceImage   an in-memory device image of one PLC family, served on
//                 the wire by SimServer
//   SharedImage   the shared-memory PLC image the bridge maps itself
//   SimServer     the answering side of a family's driver on a TCP
//                 listener (MELSEC 3E/4E, Omron FINS/TCP, Keyence) or a
//                 serial line (Keyence), each connection on its own thread
//   SimEquipment  the equipment program of the PLC: keeps the PLC status
//                 device on, acknowledges the bridge's PC requests (logging
//                 each message with its items as read from memory) and
//                 raises PLC requests for named messages
//
// Every line the simulator shows goes through one Log callback.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWMem.h"

namespace plcsim {

// One line to show, without its newline; called from any thread.
using Log = std::function<void(const std::string& line)>;

enum class Family { Melsec3E, Melsec4E, Omron, Keyence, Memory };

// "melsec3e", "melsec4e", "omron", "keyence" or "memory"; false for any
// other text.
bool family_from_text(const std::string& text, Family* family);
const char* family_text(Family family);
// The family a bridge section selects: PLCTYPE and, for MELSEC, PLCOPT0
// (1 the 4E frame); false for a PLCTYPE without a family.
bool family_from_settings(const QZVQSettings& cfg, Family* family);

// Points of a simulated PLC. A point is a 16-bit word (word devices) or a
// bit of value 0 or 1 (bit devices). kind is the bridge's access kind
// (status, handshake, information block, item), which only the shared
// image uses. Both return false for points outside the PLC's memory.
class SimMemory {
public:
    virtual ~SimMemory() = default;
    virtual bool get(int32_t kind, const QZVQCode& code, int32_t address, int32_t bit, int32_t n,
                     uint16_t* words) = 0;
    virtual bool put(int32_t kind, const QZVQCode& code, int32_t address, int32_t bit, int32_t n,
                     const uint16_t* words) = 0;
};

// The devices of a network PLC, created zero-filled when first touched.
// An area is a device code (MELSEC, Omron) or a type text (Keyence); a
// cell holds one point of up to 32 bits (Keyence 32-bit devices). Omron
// bit areas are the bits of their word areas.
class DeviceImage : public SimMemory {
public:
    static constexpr int32_t kCells = 1 << 24;  // addresses of an area

    explicit DeviceImage(Family family) : family_(family) {}

    bool get(int32_t kind, const QZVQCode& code, int32_t address, int32_t bit, int32_t n,
             uint16_t* words) override;
    bool put(int32_t kind, const QZVQCode& code, int32_t address, int32_t bit, int32_t n,
             const uint16_t* words) override;

    // Cells of an area by its key ("0xA8", "DM"); false outside it.
    bool cells(const std::string& area, int32_t first, int32_t n, uint32_t* out);
    bool set_cells(const std::string& area, int32_t first, int32_t n, const uint32_t* in);
    // Bits counted from bit 0 of word 0 of a word area.
    bool bits(const std::string& area, int64_t first, int32_t n, uint32_t* out);
    bool set_bits(const std::string& area, int64_t first, int32_t n, const uint32_t* in);

    // The area key of a device code: "0x%02X" or the type text.
    static std::string area_key(Family family, const QZVQCode& code);
    Family family() const { return family_; }

private:
    static constexpr int32_t kPage = 1024;
    using Page = std::vector<uint32_t>;
    uint32_t* cell(const std::string& area, int32_t address);

    const Family family_;
    std::mutex m_;
    std::map<std::string, std::map<int32_t, Page>> areas_;
};

// The shared-memory PLC image (the bridge's PLCTYPE 15): status and
// handshake points one byte each from offsets 0 and 4, information blocks
// and items one host-order word each from offsets 8 and 136.
class SharedImage : public SimMemory {
public:
    SharedImage(const std::string& name, int32_t size);
    ~SharedImage() override;
    SharedImage(const SharedImage&) = delete;
    SharedImage& operator=(const SharedImage&) = delete;

    bool ready() const { return base_ != nullptr; }
    bool get(int32_t kind, const QZVQCode& code, int32_t address, int32_t bit, int32_t n,
             uint16_t* words) override;
    bool put(int32_t kind, const QZVQCode& code, int32_t address, int32_t bit, int32_t n,
             const uint16_t* words) override;

private:
    // Byte offset of a point, or -1 when n points do not fit.
    int64_t offset(int32_t kind, int32_t address, int32_t n) const;

    uint8_t* base_ = nullptr;
    int32_t size_ = 0;
    XKWMemMapping map_{};
};

// The answering side of a DeviceImage's family. start() opens the TCP
// listener (port 0: a free one, read back by port()) or the serial line
// and serves in threads until stop().
class SimServer {
public:
    SimServer(DeviceImage& image, Log log, bool verbose) : image_(image), log_(std::move(log)), verbose_(verbose) {}
    ~SimServer() { stop(); }
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Listen on host:port; 0 or the socket layer's error.
    int32_t start_tcp(const std::string& host, int32_t port);
    // Serve the Keyence upper link on a serial line; 0 or the open error.
    int32_t start_serial(const std::string& device, int32_t settings);
    void stop();
    int32_t port() const { return port_; }
    // Requests answered so far.
    int64_t requests() const { return requests_.load(); }

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    // Serve a driver connection on a thread of its own.
    void add_connection(int32_t id, const std::string& peer);
    // Join the connections that have ended.
    void reap();
    void serve(int32_t id, const std::string& peer);
    // Receive and answer one request: 0, 1 when nothing came in time, or
    // negative when the connection is to end.
    int32_t answer(int32_t id);
    int32_t answer_melsec(int32_t id);
    int32_t answer_omron(int32_t id);
    int32_t answer_keyence(int32_t id);
    void show(const char* what, const std::string& area, int32_t address, int32_t points);

    DeviceImage& image_;
    Log log_;
    const bool verbose_;
    int32_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> requests_{0};
    std::thread acceptor_;
    std::mutex m_;  // connections_
    std::vector<std::unique_ptr<Connection>> connections_;
};

// An item value given for a request: item name and value text.
using ItemValue = std::pair<std::string, std::string>;

// The equipment program. It works on the bridge's settings and PLC message
// table in the process's bridge context (QZVQGetContext, filled by
// load_bridge), so that it converts item values exactly as the bridge
// does.
class SimEquipment {
public:
    // table: the definition handle of the bridge's MDMSSG; devid: the
    // device ID of PLC requests; equipment: the bridge plays the equipment
    // (its messages are those marked E); answer: answer a host primary
    // with the W-bit by raising its defined reply.
    SimEquipment(SimMemory& memory, int32_t table, int32_t devid, bool equipment, bool answer, Log log);
    ~SimEquipment();
    SimEquipment(const SimEquipment&) = delete;
    SimEquipment& operator=(const SimEquipment&) = delete;

    // Run poll() every interval ms on a thread of its own until destruction.
    void start(int32_t interval);
    // One pass: status devices, the PC request, the PLC request.
    void poll();

    // Queue a PLC request for the named message; items not given take
    // their defined value. The request is raised once the bridge's SECS
    // status is on and the previous one has been served. 0, or -1 with the
    // reason in *error.
    int32_t request(const std::string& name, const std::vector<ItemValue>& values, std::string* error);
    // Stop or run the PLC: its status device off or on.
    void set_running(bool running);
    // One line: PLC and SECS status, handshake states, counters.
    std::string status();

    int64_t received() const { return received_.load(); }
    int64_t sent() const { return sent_.load(); }

private:
    struct Write {
        QZVQCode code;
        int32_t address;
        std::vector<uint16_t> words;
    };
    struct Pending {
        std::string name;
        uint16_t sf = 0;  // bit 15 the W-bit
        int32_t devid = 0;
        uint32_t xid = 0;  // a reply's: the system bytes of its primary
        std::vector<Write> items;
        std::vector<std::string> shown;  // item lines
    };

    uint16_t point(int32_t kind, const QZVQDevice& device, int32_t which);
    void set_point(int32_t kind, const QZVQDevice& device, int32_t which, uint16_t value);
    void serve_pc_request();
    void serve_plc_request();
    void show_received(const std::string& name, int32_t sf, int32_t devid, uint32_t xid);
    void answer_primary(const std::string& name, int32_t sf, int32_t devid, uint32_t xid);
    // Queue a request (the lock held).
    int32_t prepare(const std::string& name, const std::vector<ItemValue>& values, int32_t devid, uint32_t xid,
                    std::string* error);
    // The definition's format word of an item of a message, -1 when unknown.
    int32_t item_format(const std::string& message, const std::string& item);

    SimMemory& memory_;
    const int32_t table_, devid_;
    const bool equipment_, answer_;
    Log log_;
    std::vector<uint8_t> body_;
    std::map<std::pair<std::string, std::string>, int32_t> formats_;

    std::mutex m_;  // the queue, the handshake states and the table
    std::deque<Pending> queue_;
    bool running_ = true, status_set_ = false;
    int32_t secs_ = -1;     // SECS status last seen
    int32_t plc_state_ = 0;  // PLC request: 0 idle, 1 raised, 2 acknowledged
    bool pc_acked_ = false;  // PC request acknowledged, waiting for its drop
    Pending current_;
    std::atomic<int64_t> received_{0}, sent_{0};

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Read the bridge section (plc section of ini) and the PLC message table
// of the library section's MDMSSG into the process's bridge context, and
// open the definitions. Returns the definition handle and sets *devid and
// *equipment from the library section, or a negative result with the
// reason in *error.
int32_t load_bridge(const std::string& ini, const std::string& plc, const std::string& secs, int32_t* devid,
                    bool* equipment, std::string* error);

// ---- item values as text ----

// Parse the text of a value of format (the definition's format word) into
// host-order bytes; *count the elements (text: its length). false for a
// value that does not fit the format.
bool parse_value(int32_t format, const std::string& text, std::vector<uint8_t>* bytes, int32_t* count);
// A value as text: text quoted, numbers blank-separated.
std::string value_text(int32_t format, const uint8_t* value, int32_t count);

}  // namespace plcsim
