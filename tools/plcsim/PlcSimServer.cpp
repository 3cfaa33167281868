// The simulated PLC on the wire: the answering side of its family's driver
// serving the device image, one thread per connection (or one for the
// serial line). Every request is answered as a PLC would: reads with the
// image's values, writes stored, a device the family does not have with
// the family's error answer; a frame that cannot be taken apart ends the
// connection, as a PLC drops a peer that speaks another protocol.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "plc/qzrplc.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWSleep.h"
#include "tools/plcsim/PlcSim.h"

namespace plcsim {

namespace {

constexpr int32_t kReceiveWait = 200;     // ms per receive, so that stop() is noticed
constexpr int32_t kMaxConnections = 8;    // a family's driver has 16 slots
constexpr int32_t kMelsecNoDevice = 0xC056;  // MC protocol end code: device out of range
constexpr int32_t kOmronNoArea = 0x1101;     // FINS end code: no such area
constexpr int32_t kOmronAddress = 0x1103;    // FINS end code: address out of range

bool idle(int32_t rc)
{
    return rc == XKW_E_TIMEOUT || rc == QZRPLC_E_EMPTY;
}

int32_t open_server(Family family, const char* peer, int32_t sd)
{
    switch (family) {
    case Family::Melsec3E:
        return QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, peer, sd, 3, "", 0);
    case Family::Melsec4E:
        return QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, peer, sd, 4, "", 0);
    case Family::Omron:
        return QZRPLCOmronOpen(QZRPLC_FLAG_SERVER, peer, sd, 0, "", 0);
    default:
        return QZRPLCKeyenceOpen(QZRPLC_FLAG_SERVER, peer, sd, 0, "", 0);
    }
}

void close_server(Family family, int32_t id)
{
    if (family == Family::Omron)
        QZRPLCOmronClose(id, 0);
    else if (family == Family::Keyence)
        QZRPLCKeyenceClose(id, 0);
    else
        QZRPLCMelsecClose(id, 0);
}

}  // namespace

int32_t SimServer::start_tcp(const std::string& host, int32_t port)
{
    auto server = std::make_shared<XKNServer>();
    int32_t ports[1] = {port};
    int32_t rc = XKNTCPServerOpen(server.get(), XKN_REUSEADDR, host.c_str(), 8, 1, ports);
    if (rc < 0)
        return rc;
    port_ = server->entry[0].port;
    stop_.store(false);
    acceptor_ = std::thread([this, server] {
        while (!stop_.load()) {
            XKNSocket s{};
            char peer[XKN_NAMESIZE] = "";
            int32_t got = XKNTCPServerAccept(server.get(), kReceiveWait, &s, peer, sizeof peer, nullptr);
            if (got != 0) {
                if (got < 0) {
                    log_("accept error (" + std::to_string(got) + ")");
                    XKWSleep(kReceiveWait);
                }
                continue;
            }
            reap();
            int32_t id = 0;
            {
                std::lock_guard<std::mutex> lock(m_);
                id = int32_t(connections_.size()) < kMaxConnections ? open_server(image_.family(), peer, s.socket)
                                                                    : -1;
            }
            if (id <= 0) {
                log_(std::string("refused ") + peer + " (" + std::to_string(id) + ")");
                XKNTCPClose(&s);
                continue;
            }
            add_connection(id, peer);
        }
        XKNTCPServerClose(server.get());
    });
    return 0;
}

int32_t SimServer::start_serial(const std::string& device, int32_t settings)
{
    int32_t id = QZRPLCKeyenceOpen(QZRPLC_FLAG_SERVER | QZRPLC_KEYENCE_SERIAL, device.c_str(), settings, 0, "", 0);
    if (id <= 0)
        return id < 0 ? id : -1;
    stop_.store(false);
    add_connection(id, device);
    return 0;
}

void SimServer::add_connection(int32_t id, const std::string& peer)
{
    auto c = std::make_unique<Connection>();
    Connection* conn = c.get();
    std::lock_guard<std::mutex> lock(m_);
    conn->thread = std::thread([this, id, peer, conn] {
        serve(id, peer);
        conn->done.store(true);
    });
    connections_.push_back(std::move(c));
}

void SimServer::reap()
{
    std::lock_guard<std::mutex> lock(m_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void SimServer::stop()
{
    stop_.store(true);
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_);
        connections.swap(connections_);
    }
    for (auto& c : connections)
        c->thread.join();
}

void SimServer::serve(int32_t id, const std::string& peer)
{
    log_("connected " + peer);
    int32_t rc = 0;
    while (!stop_.load() && (rc = answer(id)) >= 0) {
    }
    close_server(image_.family(), id);
    log_("disconnected " + peer + (rc < 0 ? " (" + std::to_string(rc) + ")" : std::string()));
}

int32_t SimServer::answer(int32_t id)
{
    switch (image_.family()) {
    case Family::Omron:
        return answer_omron(id);
    case Family::Keyence:
        return answer_keyence(id);
    default:
        return answer_melsec(id);
    }
}

void SimServer::show(const char* what, const std::string& area, int32_t address, int32_t points)
{
    requests_.fetch_add(1);
    if (!verbose_)
        return;
    char line[96];
    std::snprintf(line, sizeof line, "%s %s %d x%d", what, area.c_str(), address, points);
    log_(line);
}

// A point of a request as bytes: one byte a bit, a host-order word, or a
// 32-bit value (Keyence).
static void cells_to_bytes(const std::vector<uint32_t>& cells, int32_t unit, uint8_t* out)
{
    for (size_t i = 0; i < cells.size(); ++i) {
        if (unit == 1) {
            out[i] = uint8_t(cells[i] != 0);
        } else if (unit == 2) {
            uint16_t w = uint16_t(cells[i]);
            std::memcpy(out + 2 * i, &w, 2);
        } else {
            std::memcpy(out + 4 * i, &cells[i], 4);
        }
    }
}

static std::vector<uint32_t> bytes_to_cells(const uint8_t* in, int32_t unit, int32_t points)
{
    std::vector<uint32_t> cells(size_t(points), 0);
    for (size_t i = 0; i < cells.size(); ++i) {
        if (unit == 1) {
            cells[i] = in[i] != 0;
        } else if (unit == 2) {
            uint16_t w;
            std::memcpy(&w, in + 2 * i, 2);
            cells[i] = w;
        } else {
            std::memcpy(&cells[i], in + 4 * i, 4);
        }
    }
    return cells;
}

int32_t SimServer::answer_melsec(int32_t id)
{
    static thread_local std::vector<uint8_t> data(QZRPLC_MELSEC_DATA);
    int32_t cmd = 0, code = 0, address = 0, points = 0;
    int32_t rc = QZRPLCMelsecServRecv(id, 0, &cmd, &code, &address, &points, data.data(), kReceiveWait);
    if (rc < 0)
        return idle(rc) ? 1 : rc;
    int32_t unit = QZRPLCMelsecCodeType(code, points, nullptr);
    std::string area = DeviceImage::area_key(image_.family(), {code, ""});
    bool reading = cmd == QZRPLC_MELSEC_READ;
    show(reading ? "read" : "write", area, address, points);
    std::vector<uint32_t> cells(size_t(points), 0);
    bool ok = unit > 0 && (reading ? image_.cells(area, address, points, cells.data())
                                   : image_.set_cells(area, address, points,
                                                      bytes_to_cells(data.data(), unit, points).data()));
    if (!ok) {
        uint8_t frame[QZRPLC_MELSEC_FRAME];
        const uint8_t info[9] = {};
        int32_t n = QZRPLCMelsecPacketBuild(id, frame, info, -kMelsecNoDevice, code, address, 0);
        return n < 0 ? n : QZRPLCMelsecPacketWrite(id, frame, n);
    }
    if (reading)
        cells_to_bytes(cells, unit, data.data());
    return QZRPLCMelsecServSend(id, 0, cmd, code, address, reading ? points : 0, data.data(), 0);
}

int32_t SimServer::answer_omron(int32_t id)
{
    static thread_local std::vector<uint8_t> data(QZRPLC_OMRON_DATA);
    int32_t cmd = 0, code = 0, address = 0, bit = 0, points = 0;
    int32_t rc = QZRPLCOmronServRecv(id, 0, &cmd, &code, &address, &bit, &points, data.data(), kReceiveWait);
    if (rc < 0)
        return idle(rc) ? 1 : rc;
    if (cmd == QZRPLC_OMRON_NODE)
        return QZRPLCOmronServSend(id, 0, cmd, 0, 0, 0, 0, nullptr, 0);
    int32_t unit = QZRPLCOmronCodeType(code, points, nullptr);
    bool reading = cmd == QZRPLC_OMRON_READ;
    std::vector<uint16_t> words(size_t(points), 0);
    int32_t end = 0;
    if (unit < 0) {
        end = kOmronNoArea;
    } else {
        if (!reading) {
            std::vector<uint32_t> cells = bytes_to_cells(data.data(), unit, points);
            words.assign(cells.begin(), cells.end());
        }
        const QZVQCode c{code, ""};
        bool ok = reading ? image_.get(0, c, address, bit, points, words.data())
                          : image_.put(0, c, address, bit, points, words.data());
        end = ok ? 0 : kOmronAddress;
    }
    show(reading ? "read" : "write", DeviceImage::area_key(image_.family(), {code, ""}), address, points);
    if (end != 0) {
        uint8_t frame[QZRPLC_OMRON_FRAME];
        int32_t n = QZRPLCOmronPacketBuild(id, frame, nullptr, -end, cmd, code, address, bit, 0);
        return n < 0 ? n : QZRPLCOmronPacketWrite(id, frame, n);
    }
    if (reading) {
        std::vector<uint32_t> cells(words.begin(), words.end());
        cells_to_bytes(cells, unit, data.data());
    }
    return QZRPLCOmronServSend(id, 0, cmd, code, address, bit, reading ? points : 0, data.data(), 0);
}

int32_t SimServer::answer_keyence(int32_t id)
{
    static thread_local std::vector<uint8_t> data(4 * QZRPLC_KEYENCE_POINTS);
    char cmd[QZRPLC_KEYENCE_TEXT] = "", type[QZRPLC_KEYENCE_TEXT] = "";
    int32_t address = 0, points = 0;
    int32_t rc = QZRPLCKeyenceServRecv(id, 0, cmd, type, &address, &points, data.data(), kReceiveWait);
    if (idle(rc))
        return 1;
    std::string_view c(cmd);
    bool reading = c == "RDS", writing = c == "WRS", bits = c == "RSS" || c == "STS";
    // A device that cannot be read (E0) or a value line that cannot be
    // taken apart (E1) is answered; a broken link ends the connection.
    if (rc == QZRPLC_E_DEVICE || (rc == QZRPLC_E_SHORT && cmd[0] != '\0'))
        return QZRPLCKeyenceServSend(id, 0, rc == QZRPLC_E_DEVICE ? "E0" : "E1", "", 0, 0, nullptr, 0);
    if (rc < 0)
        return rc;
    if (!reading && !writing && !bits) {
        // Link start and end on a serial line; any other command is unknown.
        const char* reply = c == "CR" ? "CC" : c == "CQ" ? "CF" : "E1";
        return QZRPLCKeyenceServSend(id, 0, reply, "", 0, 0, nullptr, 0);
    }
    int32_t index = 0;
    int32_t unit = QZRPLCKeyenceCodeType(type, points, &index);
    show(reading ? "read" : "write", type, address, points);
    std::vector<uint32_t> cells(size_t(points), c == "STS" ? 1 : 0);
    bool ok = unit > 0;
    if (ok && reading)
        ok = image_.cells(type, address, points, cells.data());
    else if (ok && writing)
        ok = image_.set_cells(type, address, points, bytes_to_cells(data.data(), unit, points).data());
    else if (ok)
        ok = image_.set_cells(type, address, points, cells.data());
    if (!ok)
        return QZRPLCKeyenceServSend(id, 0, "E0", "", 0, 0, nullptr, 0);
    if (reading)
        cells_to_bytes(cells, unit, data.data());
    return QZRPLCKeyenceServSend(id, 0, cmd, type, address, reading ? points : 0, data.data(), 0);
}

}  // namespace plcsim
