// Omron FINS over TCP: the node address exchange when a client connects,
// then memory area read (0101) and write (0102), word- or bit-wise, as a
// client and as the answering side, plus an interactive test server.
//
// Every frame starts with the 16-byte FINS/TCP header ("FINS", the length
// of the rest from offset 8, the command, an error code); a FINS frame
// carries the FINS header from offset 16 and the command body from 28.
// Multi-byte fields are big-endian on the wire. A response is matched to
// its request by command, the swapped node numbers, SID, MRC and SRC.
//
// The answering side answers each FINS request with that request's SID
// and node numbers swapped: ServRecv keeps the client's SA1 as the peer
// node and its DA1 as the own node, so the response built from them goes
// back to whoever asked, with or without a node address exchange.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "plc/QZRPLCInternal.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWResult.h"

using namespace qzrplc;

namespace {

QZRPLCPcb* table[QZRPLC_SLOTS];
constexpr int32_t order = order_be;

// Memory area codes in search order, with their units (bytes per point).
struct Area {
    uint8_t code;
    int32_t unit;
};
constexpr std::array<Area, 38> areas{{
    {0x02, 1}, {0x09, 1}, {0x20, 1}, {0x21, 1}, {0x22, 1}, {0x23, 1}, {0x24, 1}, {0x25, 1}, {0x26, 1}, {0x27, 1},
    {0x28, 1}, {0x29, 1}, {0x2A, 1}, {0x2B, 1}, {0x2C, 1}, {0x30, 1}, {0x31, 1}, {0x32, 1}, {0x33, 1}, {0x82, 2},
    {0x89, 2}, {0xA0, 2}, {0xA1, 2}, {0xA2, 2}, {0xA3, 2}, {0xA4, 2}, {0xA5, 2}, {0xA6, 2}, {0xA7, 2}, {0xA8, 2},
    {0xA9, 2}, {0xAA, 2}, {0xAB, 2}, {0xBC, 2}, {0xB0, 2}, {0xB1, 2}, {0xB2, 2}, {0xB3, 2},
}};

// FINS/TCP header.
constexpr uint8_t magic[4] = {'F', 'I', 'N', 'S'};
constexpr int32_t off_length = 4;   // bytes from offset 8 to the end
constexpr int32_t off_command = 8;  // 0 node address request, 1 its response, 2 FINS frame
constexpr int32_t off_error = 12;
constexpr int32_t head_tcp = 16;
constexpr int32_t length_base = 8;  // bytes before those the length field counts

constexpr uint32_t tcp_node_request = 0;
constexpr uint32_t tcp_node_response = 1;
constexpr uint32_t tcp_fins = 2;

// Node address exchange: the request carries the client's node number,
// the response the client's and the server's, each in the last byte of 4.
constexpr int32_t off_client_node = 19;
constexpr int32_t off_server_node = 23;
constexpr int32_t node_request_size = 20;
constexpr int32_t node_response_size = 24;

// FINS header and command body.
constexpr int32_t off_icf = 16;
constexpr int32_t off_gct = 18;
constexpr int32_t off_da1 = 20;
constexpr int32_t off_sa1 = 23;
constexpr int32_t off_sid = 25;
constexpr int32_t off_mrc = 26;
constexpr int32_t off_src = 27;
constexpr int32_t off_area = 28;
constexpr int32_t off_address = 29;
constexpr int32_t off_bit = 31;
constexpr int32_t off_points = 32;
constexpr int32_t off_end = 28;        // response: end code
constexpr int32_t head_request = 34;   // write data follows
constexpr int32_t head_response = 30;  // read data follows
constexpr int32_t trace_head = 34;     // bytes of a frame dumped as its head
constexpr int32_t trace_data = 26;     // frames are dumped as data from here

constexpr uint8_t icf = 0x80;  // command, response required
constexpr uint8_t gct = 2;     // gateways a frame may cross
constexpr uint8_t mrc_memory = 0x01;
constexpr int32_t sid_max = 255;

// The node address exchange at Open gets this long for its answer.
constexpr int32_t node_timeout_ms = 3000;
// Nodes the answering side takes in the exchange: its own, and the one it
// gives a client that asks to be assigned one.
constexpr int32_t server_node = 2;
constexpr int32_t assigned_node = 3;

void put16(uint8_t* p, int32_t value)
{
    auto v = static_cast<uint16_t>(value);
    std::memcpy(p, &v, 2);
    QZRPLCByte2(order, p, 1);
}

int32_t get16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    QZRPLCByte2(order, &v, 1);
    return v;
}

void put32(uint8_t* p, int32_t value)
{
    auto v = static_cast<uint32_t>(value);
    std::memcpy(p, &v, 4);
    QZRPLCByte4(order, p, 1);
}

uint32_t get32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    QZRPLCByte4(order, &v, 1);
    return v;
}

// The FINS/TCP header of a frame of size bytes.
void put_tcp_head(uint8_t* frame, uint32_t command, int32_t size)
{
    std::memcpy(frame, magic, sizeof magic);
    put32(frame + off_length, size - length_base);
    put32(frame + off_command, static_cast<int32_t>(command));
    put32(frame + off_error, 0);
}

// Data of points on the wire: words become big-endian, bit points stay
// one byte each. Converting back is the same swap.
void to_wire(int32_t unit, const void* data, int32_t points, uint8_t* out)
{
    std::memcpy(out, data, static_cast<size_t>(points * unit));
    if (unit == QZRPLC_UNIT_WORD)
        QZRPLCByte2(order, out, points);
}

// Dump of call data: bytes for bit points, words otherwise.
void trace_values(QZRPLCPcb* pcb, int32_t unit, const void* data, int32_t bytes)
{
    QZRPLCTraceWriteData(pcb, level_call, unit == QZRPLC_UNIT_BIT ? 0 : 1, "  Data", data, bytes);
}

// Send a request and receive its response into reply; returns the
// response's data bytes (copied to reply_data, may be null) or an error.
int32_t exchange(int32_t id, uint8_t* request, int32_t length, uint8_t* reply, void* reply_data, int32_t timeout)
{
    int32_t rc = QZRPLCOmronPacketWrite(id, request, length);
    if (rc < 0)
        return rc;
    rc = QZRPLCOmronPacketRead(id, reply, 0, timeout);
    if (rc < 0)
        return rc;
    return QZRPLCOmronPacketParse(id, reply, request, reply_data);
}

// Checks shared by Get and Set: the area's unit or an error.
int32_t check_call(int32_t id, int32_t code, int32_t points, const void* buffer)
{
    int32_t unit = QZRPLCOmronCodeType(code, points, nullptr);
    if (unit < 0)
        return unit;
    if (points < 1 || buffer == nullptr)
        return XKW_E_INVAL;
    return QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0 ? XKW_E_BADHANDLE : unit;
}

// Client side of the node address exchange: ask for node (0: assign one),
// keep the own and the PLC's node numbers. Returns 0 or an error.
int32_t exchange_nodes(int32_t id, int32_t node)
{
    uint8_t frame[QZRPLC_OMRON_FRAME];
    int32_t rc = QZRPLCOmronPacketBuild(id, frame, nullptr, 1, 0, 0, 0, 0, 0);
    if (rc > 0)
        rc = QZRPLCOmronPacketWrite(id, frame, rc);
    if (rc > 0)
        rc = QZRPLCOmronPacketRead(id, frame, 0, node_timeout_ms);
    if (rc < 0)
        return rc;
    if (get32(frame + off_command) != tcp_node_response)
        return QZRPLC_OMRON_E_NODE;
    if (rc < node_response_size)
        return QZRPLC_E_SHORT;
    QZRPLCPcb* pcb = table[id];
    pcb->option = node != 0 ? node : frame[off_client_node];
    pcb->peer = frame[off_server_node];
    return 0;
}

}  // namespace

int32_t QZRPLCOmronOpen(int32_t flags, const char* host, int32_t port, int32_t node, const char* dir,
                        int32_t level)
{
    int32_t id = open_link(table, flags, host, port, dir, level);
    if (id <= 0)
        return id;
    table[id]->mode = node;
    table[id]->option = node;
    if ((flags & QZRPLC_FLAG_SERVER) != 0)
        return id;
    int32_t rc = exchange_nodes(id, node);
    if (rc < 0) {
        close_link(table, id);
        return rc;
    }
    return id;
}

int32_t QZRPLCOmronClose(int32_t id, int32_t /*mode*/)
{
    close_link(table, id);
    return 0;
}

QZRPLCPcb* QZRPLCOmronAcb(int32_t id)
{
    return slot_at(table, id);
}

int32_t QZRPLCOmronCodeType(int32_t code, int32_t points, int32_t* index)
{
    return code_unit(areas, code, points, QZRPLC_OMRON_POINTS, index);
}

int32_t QZRPLCOmronPacketBuild(int32_t id, uint8_t* frame, const void* data, int32_t kind, int32_t command,
                               int32_t code, int32_t address, int32_t bit, int32_t points)
{
    QZRPLCPcb* pcb = QZRPLCOmronAcb(id);
    if (pcb == nullptr)
        return XKW_E_BADHANDLE;
    if (frame == nullptr || kind > 1 || command < 0 || command > QZRPLC_OMRON_WRITE)
        return XKW_E_INVAL;
    if (command == QZRPLC_OMRON_NODE) {
        if (kind < 0)
            return XKW_E_INVAL;
        int32_t size = kind == 1 ? node_request_size : node_response_size;
        std::memset(frame, 0, static_cast<size_t>(size));
        put_tcp_head(frame, kind == 1 ? tcp_node_request : tcp_node_response, size);
        if (kind == 1) {
            frame[off_client_node] = static_cast<uint8_t>(pcb->option);
        } else {
            frame[off_client_node] = static_cast<uint8_t>(pcb->peer);
            frame[off_server_node] = static_cast<uint8_t>(pcb->option);
        }
        return size;
    }

    // FINS frame: a write request carries its data, a normal response to
    // a read the read data; an error response ends after its end code.
    int32_t unit = 0, n = 0, size = head_response;
    if (kind >= 0) {
        unit = QZRPLCOmronCodeType(code, points, nullptr);
        if (unit < 0)
            return unit;
        bool read = command == QZRPLC_OMRON_READ;
        n = (kind == 1) != read ? points * unit : 0;
        size = (kind == 1 ? head_request : head_response) + n;
        // A read request must leave room for its response.
        int32_t need = kind == 1 && read ? head_response + points * unit : size;
        if (need > QZRPLC_OMRON_FRAME)
            return QZRPLC_E_DEVICE;
        if (n > 0 && data == nullptr)
            return XKW_E_INVAL;
    }
    std::memset(frame, 0, static_cast<size_t>(size - n));
    put_tcp_head(frame, tcp_fins, size);
    frame[off_icf] = icf;
    frame[off_gct] = gct;
    frame[off_da1] = static_cast<uint8_t>(pcb->peer);
    frame[off_sa1] = static_cast<uint8_t>(pcb->option);
    frame[off_sid] = static_cast<uint8_t>(kind == 1 ? QZRPLCCountAdd(pcb, sid_max) : pcb->serial);
    frame[off_mrc] = mrc_memory;
    frame[off_src] = static_cast<uint8_t>(command);
    if (kind < 0) {
        put16(frame + off_end, -kind);
        return size;
    }
    if (kind == 1) {
        frame[off_area] = static_cast<uint8_t>(code);
        put16(frame + off_address, address);
        frame[off_bit] = static_cast<uint8_t>(bit);
        put16(frame + off_points, points);
    }
    if (n > 0)
        to_wire(unit, data, points, frame + size - n);
    return size;
}

int32_t QZRPLCOmronPacketWrite(int32_t id, uint8_t* frame, int32_t length)
{
    if (QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (frame == nullptr || length < head_tcp || length > QZRPLC_OMRON_FRAME)
        return XKW_E_INVAL;
    QZRPLCPcb* pcb = table[id];
    int32_t rc = XKNWrite(pcb->sd, frame, length);
    trace_frame(pcb, "Send", rc, frame, length, trace_head, trace_data);
    return rc;
}

int32_t QZRPLCOmronPacketRead(int32_t id, uint8_t* frame, int32_t length, int32_t timeout)
{
    if (QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (frame == nullptr || length < 0)
        return XKW_E_INVAL;
    QZRPLCPcb* pcb = table[id];
    int32_t rc;
    if (length > 0) {
        rc = read_exact(pcb->sd, frame, length, timeout, false);
    } else {
        rc = read_exact(pcb->sd, frame, head_tcp, timeout, false);
        if (rc > 0) {
            // The rest is read only for a FINS/TCP header whose length
            // covers the header itself and fits the frame buffer.
            uint32_t rest = get32(frame + off_length);
            if (std::memcmp(frame, magic, sizeof magic) != 0 || rest < head_tcp - length_base)
                rc = QZRPLC_E_SHORT;
            else if (rest > QZRPLC_OMRON_FRAME - length_base)
                rc = QZRPLC_E_DEVICE;
            else
                rc = read_exact(pcb->sd, frame + head_tcp, static_cast<int32_t>(rest) - (head_tcp - length_base),
                                timeout, true);
            if (rc >= 0)
                rc = length_base + static_cast<int32_t>(rest);
        }
    }
    trace_frame(pcb, "Recv", rc, frame, rc > 0 ? rc : 0, trace_head, trace_data);
    return rc;
}

int32_t QZRPLCOmronPacketParse(int32_t id, const uint8_t* response, const uint8_t* request, void* data)
{
    if (QZRPLCCheckPcb(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (response == nullptr)
        return XKW_E_INVAL;
    const uint8_t* frame = response;
    uint32_t command = get32(frame + off_command);
    uint32_t length = get32(frame + off_length);
    if ((command & ~0xFFu) != 0 || get32(frame + off_error) != 0 || length > QZRPLC_OMRON_FRAME - length_base)
        return QZRPLC_E_DEVICE;
    int32_t size = length_base + static_cast<int32_t>(length);

    if (request == nullptr) {
        // A request: a FINS frame carries its write data from offset 34; a
        // node address request must hold the client's node number.
        if (command == tcp_node_request)
            return size < node_request_size ? QZRPLC_E_SHORT : 0;
        if (command != tcp_fins)
            return 0;
        if (size < head_request)
            return QZRPLC_E_SHORT;
        int32_t n = size - head_request;
        if (data != nullptr && n > 0)
            std::memcpy(data, frame + head_request, static_cast<size_t>(n));
        return n;
    }

    if (command != tcp_fins)
        return QZRPLC_E_DEVICE;
    if (size < head_response)
        return QZRPLC_E_SHORT;
    if (frame[off_sa1] != request[off_da1] || frame[off_da1] != request[off_sa1] ||
        frame[off_sid] != request[off_sid] || frame[off_mrc] != request[off_mrc] ||
        frame[off_src] != request[off_src])
        return QZRPLC_E_DEVICE;
    int32_t end = get16(frame + off_end);
    if (end != 0)
        return -(QZRPLC_E_END_BASE + end);
    int32_t n = size - head_response;
    if (data != nullptr && n > 0)
        std::memcpy(data, frame + head_response, static_cast<size_t>(n));
    return n;
}

int32_t QZRPLCOmronGet(int32_t id, int32_t flags, int32_t code, int32_t address, int32_t bit, int32_t points,
                       void* buffer, int32_t timeout)
{
    QZRPLCPcb* pcb = QZRPLCOmronAcb(id);
    tracef(pcb, level_call, "[Get]     PLC  dcd=0x%02x  add=0x%04x  bad=%2d  nod=%4d", code, address, bit, points);
    int32_t unit = check_call(id, code, points, buffer);
    int32_t rc = unit;
    if (unit > 0) {
        uint8_t request[QZRPLC_OMRON_FRAME];
        uint8_t reply[QZRPLC_OMRON_FRAME];
        uint8_t values[QZRPLC_OMRON_FRAME];
        CallLock hold(pcb, flags);  // build (the SID), send, receive and parse
        rc = QZRPLCOmronPacketBuild(id, request, nullptr, 1, QZRPLC_OMRON_READ, code, address, bit, points);
        if (rc > 0)
            rc = exchange(id, request, rc, reply, values, timeout);
        // The response must carry exactly the points asked for.
        if (rc >= 0 && rc != points * unit)
            rc = QZRPLC_E_SHORT;
        if (rc >= 0)
            to_wire(unit, values, points, static_cast<uint8_t*>(buffer));
    }
    if (rc > 0)
        trace_values(pcb, unit, buffer, rc);
    else
        tracef(pcb, level_call, "                     rtn=%4d", rc);
    return rc;
}

int32_t QZRPLCOmronSet(int32_t id, int32_t flags, int32_t code, int32_t address, int32_t bit, int32_t points,
                       const void* data, int32_t timeout)
{
    QZRPLCPcb* pcb = QZRPLCOmronAcb(id);
    tracef(pcb, level_call, "[Set]     PLC  dcd=0x%02x  add=0x%04x  bad=%2d  nod=%4d", code, address, bit, points);
    int32_t unit = check_call(id, code, points, data);
    int32_t rc = unit;
    if (unit > 0) {
        uint8_t request[QZRPLC_OMRON_FRAME];
        uint8_t reply[QZRPLC_OMRON_FRAME];
        CallLock hold(pcb, flags);
        rc = QZRPLCOmronPacketBuild(id, request, data, 1, QZRPLC_OMRON_WRITE, code, address, bit, points);
        if (rc > 0) {
            trace_values(pcb, unit, data, points * unit);
            rc = exchange(id, request, rc, reply, nullptr, timeout);
        }
        if (rc >= 0)
            rc = points * unit;
    }
    if (rc < 0)
        tracef(pcb, level_call, "                     rtn=%4d", rc);
    return rc;
}

int32_t QZRPLCOmronServRecv(int32_t id, int32_t /*mode*/, int32_t* command, int32_t* code, int32_t* address,
                            int32_t* bit, int32_t* points, void* data, int32_t timeout)
{
    int32_t cmd = 0, dcd = 0, add = 0, bad = 0, nod = 0, unit = 0;
    uint8_t frame[QZRPLC_OMRON_FRAME];
    int32_t rc = QZRPLCOmronPacketRead(id, frame, 0, timeout);
    if (rc > 0)
        rc = QZRPLCOmronPacketParse(id, frame, nullptr, nullptr);
    QZRPLCPcb* pcb = QZRPLCOmronAcb(id);
    // Parse has vouched for the command's frame size.
    uint32_t tcp_command = rc >= 0 ? get32(frame + off_command) : UINT32_MAX;
    if (tcp_command == tcp_node_request) {
        // Take node 2 and give the client the node it asked for, or 3.
        pcb->option = server_node;
        pcb->peer = frame[off_client_node] != 0 ? frame[off_client_node] : assigned_node;
        cmd = QZRPLC_OMRON_NODE;
    } else if (tcp_command == tcp_fins) {
        cmd = frame[off_src];
        dcd = frame[off_area];
        add = get16(frame + off_address);
        bad = frame[off_bit];
        nod = get16(frame + off_points);
        if (frame[off_mrc] != mrc_memory || (cmd != QZRPLC_OMRON_READ && cmd != QZRPLC_OMRON_WRITE)) {
            rc = QZRPLC_E_DEVICE;
        } else {
            // Answer whoever asked, under the SID it used.
            pcb->serial = frame[off_sid];
            pcb->peer = frame[off_sa1];
            pcb->option = frame[off_da1];
        }
    } else if (rc >= 0) {
        rc = QZRPLC_E_DEVICE;  // a node address response, or no command of this protocol
    }
    if (rc >= 0 && cmd != QZRPLC_OMRON_WRITE) {
        rc = 0;  // only a write carries data
    } else if (rc >= 0) {
        // The area decides how the data convert, and the points must all
        // be there.
        unit = QZRPLCOmronCodeType(dcd, nod, nullptr);
        if (unit < 0)
            rc = unit;
        else if (data == nullptr)
            rc = XKW_E_INVAL;
        else if (rc != nod * unit)
            rc = QZRPLC_E_SHORT;
        else
            to_wire(unit, frame + head_request, nod, static_cast<uint8_t*>(data));
    }
    if (command != nullptr)
        *command = cmd;
    if (code != nullptr)
        *code = dcd;
    if (address != nullptr)
        *address = add;
    if (bit != nullptr)
        *bit = bad;
    if (points != nullptr)
        *points = nod;
    tracef(pcb, level_call, "[Recv]    PLC  cmd=0x%02x  dcd=0x%02x  add=0x%04x  bad=%2d  nod=%4d  rtn=%d", cmd, dcd,
           add, bad, nod, rc);
    if (rc > 0)
        trace_values(pcb, unit, data, rc);
    return rc;
}

int32_t QZRPLCOmronServSend(int32_t id, int32_t /*mode*/, int32_t command, int32_t code, int32_t address,
                            int32_t bit, int32_t points, const void* data, int32_t /*timeout*/)
{
    QZRPLCPcb* pcb = QZRPLCOmronAcb(id);
    tracef(pcb, level_call, "[Send]    PLC  cmd=0x%02x  dcd=0x%02x  add=0x%04x  bad=%2d  nod=%4d", command, code,
           address, bit, points);
    uint8_t frame[QZRPLC_OMRON_FRAME];
    int32_t rc = QZRPLCOmronPacketBuild(id, frame, data, 0, command, code, address, bit, points);
    int32_t n = rc > head_response ? rc - head_response : 0;
    if (n > 0)
        QZRPLCTraceWriteData(pcb, level_call, 0, "  Data", frame + head_response, n);
    if (rc > 0)
        rc = QZRPLCOmronPacketWrite(id, frame, rc);
    return rc < 0 ? rc : n;
}

// ---- test server ----

namespace {

void serve(int32_t sd, const char* peer)
{
    int32_t id = QZRPLCOmronOpen(QZRPLC_FLAG_SERVER, peer, sd, 3, "", 10);
    if (id < 0) {
        std::printf("Server open error (%d)\n", id);
        XKNClose(sd);
        return;
    }
    std::printf("Open  sd=%d  id=%d  host=%s\n", sd, id, peer);
    // Room for the write data of any request and for the values of a read
    // of the most points.
    std::vector<uint8_t> buffer(std::max(QZRPLC_OMRON_DATA, QZRPLC_UNIT_WORD * QZRPLC_OMRON_POINTS));
    uint8_t* data = buffer.data();
    for (;;) {
        int32_t cmd, dcd, add, bad, nod;
        int32_t rc = QZRPLCOmronServRecv(id, 0, &cmd, &dcd, &add, &bad, &nod, data, 0);
        if (rc < 0) {
            std::printf("Receive error (%d)\n", rc);
            break;
        }
        std::printf("Recv  len=%4d  cmd=0x%02x  dcd=0x%02x  add=0x%04x  bad=%2d  nod=%3d\n", rc, cmd, dcd, add, bad,
                    nod);
        int32_t answer = 0;
        int32_t unit = QZRPLCOmronCodeType(dcd, nod, nullptr);
        if (cmd == QZRPLC_OMRON_READ && unit > 0) {
            std::fill(buffer.begin(), buffer.end(), 0);
            answer = nod;
            prompt_values(unit, nod, data);
        } else if (cmd == QZRPLC_OMRON_WRITE) {
            print_dump(data, rc);
        }
        rc = QZRPLCOmronServSend(id, 0, cmd, dcd, add, bad, answer, data, 0);
        if (rc < 0)
            std::printf("Send error (%d)\n", rc);
        else
            std::printf("Send  len=%4d  cmd=0x%02x  dcd=0x%02x  add=0x%04x  bad=%2d  nod=%3d\n", rc, cmd, dcd, add,
                        bad, nod);
        std::fflush(stdout);
    }
    QZRPLCOmronClose(id, 0);
    std::printf("Close\n");
    std::fflush(stdout);
}

}  // namespace

int32_t QZRPLCOmronServer(int32_t /*unused*/, int32_t port)
{
    return serve_tcp(port, serve);
}
