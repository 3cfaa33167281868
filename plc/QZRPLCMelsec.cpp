// MELSEC MC protocol, binary frames over TCP: batch read (0x0401) and
// batch write (0x1401) of word and bit devices, as a client and as the
// answering side, plus an interactive test server.
//
// Frames are always built and parsed in the 4E layout (subheader, serial
// number, a fixed 0x0000, then the common part from offset 6). A 3E
// connection drops bytes 0-3 on the way out, carrying its own subheader in
// bytes 4-5, and gets them back on the way in. Multi-byte fields are
// little-endian on the wire.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "plc/QZRPLCInternal.h"
#include "runtime/XKNSocket.h"
#include "runtime/XKWResult.h"

using namespace qzrplc;

namespace {

QZRPLCPcb* table[QZRPLC_SLOTS];
constexpr int32_t order = order_le;

// Device codes in search order, with their units.
struct Device {
    uint8_t code;
    int32_t unit;
};
constexpr std::array<Device, 28> devices{{
    {0x91, QZRPLC_UNIT_BIT},  {0xA9, QZRPLC_UNIT_WORD}, {0x9C, QZRPLC_UNIT_BIT},  {0x9D, QZRPLC_UNIT_BIT},
    {0x90, QZRPLC_UNIT_BIT},  {0x92, QZRPLC_UNIT_BIT},  {0x93, QZRPLC_UNIT_BIT},  {0x94, QZRPLC_UNIT_BIT},
    {0xA0, QZRPLC_UNIT_BIT},  {0xA8, QZRPLC_UNIT_WORD}, {0xB4, QZRPLC_UNIT_WORD}, {0xC1, QZRPLC_UNIT_BIT},
    {0xC0, QZRPLC_UNIT_BIT},  {0xC2, QZRPLC_UNIT_WORD}, {0xC7, QZRPLC_UNIT_BIT},  {0xC6, QZRPLC_UNIT_BIT},
    {0xC8, QZRPLC_UNIT_WORD}, {0xC4, QZRPLC_UNIT_BIT},  {0xC3, QZRPLC_UNIT_BIT},  {0xC5, QZRPLC_UNIT_WORD},
    {0xA1, QZRPLC_UNIT_BIT},  {0xB5, QZRPLC_UNIT_WORD}, {0x98, QZRPLC_UNIT_BIT},  {0xA2, QZRPLC_UNIT_BIT},
    {0xA3, QZRPLC_UNIT_BIT},  {0xCC, QZRPLC_UNIT_WORD}, {0xAF, QZRPLC_UNIT_WORD}, {0xB0, QZRPLC_UNIT_WORD},
}};

// Frame layout (4E offsets).
constexpr int32_t off_serial = 2;
constexpr int32_t off_length = 11;  // data length: bytes from offset 13 to the end
constexpr int32_t off_end = 13;     // request: monitoring timer; response: end code
constexpr int32_t off_command = 15;
constexpr int32_t off_sub = 17;
constexpr int32_t off_device = 19;
constexpr int32_t off_code = 22;
constexpr int32_t off_points = 23;
constexpr int32_t head_request = 25;  // request head; write data follows
constexpr int32_t head_response = 15; // response head; read data follows
constexpr int32_t head_fixed = 13;    // bytes up to and with the length field
constexpr int32_t cut_3e = 4;         // bytes a 3E frame leaves out
constexpr int32_t error_info = 9;     // bytes of error information in an error response

constexpr uint8_t sub_request = 0x54;
constexpr uint8_t sub_response = 0xD4;
constexpr uint8_t sub_request_3e = 0x50;
constexpr uint8_t sub_response_3e = 0xD0;
constexpr uint16_t monitoring_timer = 0x0028;  // 40 x 250 ms

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

// Data bytes of points of a device unit on the wire.
int32_t data_bytes(int32_t unit, int32_t points)
{
    return unit == QZRPLC_UNIT_BIT ? (points + 1) / 2 : points * 2;
}

// Points (one byte each, non-zero = 1) into nibbles, the first point in
// the high nibble of the first byte; or host-order words into wire order.
void pack(int32_t unit, const void* data, int32_t points, uint8_t* out)
{
    if (unit == QZRPLC_UNIT_BIT) {
        const auto* in = static_cast<const uint8_t*>(data);
        std::memset(out, 0, static_cast<size_t>(data_bytes(unit, points)));
        for (int32_t i = 0; i < points; ++i)
            if (in[i] != 0)
                out[i / 2] |= (i % 2 == 0) ? 0x10 : 0x01;
        return;
    }
    std::memcpy(out, data, static_cast<size_t>(points) * 2);
    QZRPLCByte2(order, out, points);
}

// The inverse of pack: one byte 0/1 per bit point, or host-order words.
void unpack(int32_t unit, const uint8_t* in, int32_t points, void* data)
{
    if (unit == QZRPLC_UNIT_BIT) {
        auto* out = static_cast<uint8_t*>(data);
        for (int32_t i = 0; i < points; ++i)
            out[i] = ((i % 2 == 0 ? in[i / 2] >> 4 : in[i / 2]) & 0x0F) != 0 ? 1 : 0;
        return;
    }
    std::memcpy(data, in, static_cast<size_t>(points) * 2);
    QZRPLCByte2(order, data, points);
}

// Dump of call data: bytes for bit points, words otherwise.
void trace_values(QZRPLCPcb* pcb, int32_t unit, const void* data, int32_t bytes)
{
    QZRPLCTraceWriteData(pcb, level_call, unit == QZRPLC_UNIT_BIT ? 0 : 1, "  Data", data, bytes);
}

// Send a request and receive the reply into frame; returns the reply's
// data bytes (copied to reply_data, may be null) or an error.
int32_t exchange(int32_t id, uint8_t* frame, int32_t length, void* reply_data, int32_t timeout)
{
    int32_t rc = QZRPLCMelsecPacketWrite(id, frame, length);
    if (rc < 0)
        return rc;
    rc = QZRPLCMelsecPacketRead(id, frame, QZRPLC_MELSEC_FRAME, timeout);
    if (rc < 0)
        return rc;
    if (frame[0] != sub_response)
        return QZRPLC_E_SHORT;
    return QZRPLCMelsecPacketParse(id, frame, reply_data);
}

// Checks shared by Get and Set: the device's unit or an error.
int32_t check_call(int32_t id, int32_t code, int32_t points, const void* buffer)
{
    int32_t unit = QZRPLCMelsecCodeType(code, points, nullptr);
    if (unit < 0)
        return unit;
    if (points < 1 || buffer == nullptr)
        return XKW_E_INVAL;
    return QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0 ? XKW_E_BADHANDLE : unit;
}

}  // namespace

int32_t QZRPLCMelsecOpen(int32_t flags, const char* host, int32_t port, int32_t option, const char* dir,
                         int32_t level)
{
    int32_t id = open_link(table, flags, host, port, dir, level);
    if (id > 0)
        table[id]->mode = option == 4 ? 4 : 3;
    return id;
}

int32_t QZRPLCMelsecClose(int32_t id, int32_t /*mode*/)
{
    close_link(table, id);
    return 0;
}

QZRPLCPcb* QZRPLCMelsecAcb(int32_t id)
{
    return slot_at(table, id);
}

int32_t QZRPLCMelsecCodeType(int32_t code, int32_t points, int32_t* index)
{
    return code_unit(devices, code, points, QZRPLC_MELSEC_POINTS, index);
}

int32_t QZRPLCMelsecPacketBuild(int32_t id, uint8_t* frame, const void* data, int32_t kind, int32_t code,
                                int32_t address, int32_t points)
{
    QZRPLCPcb* pcb = QZRPLCMelsecAcb(id);
    if (pcb == nullptr)
        return XKW_E_BADHANDLE;
    if (frame == nullptr || kind > 2)
        return XKW_E_INVAL;
    std::memset(frame, 0, head_request);
    frame[7] = 0xFF;       // PC number
    put16(frame + 8, 0x03FF);  // request destination module I/O number
    if (kind < 0) {
        // Error response: the end code, then the request's routing and
        // command as the caller gives them.
        frame[0] = sub_response;
        put16(frame + off_serial, pcb->serial);
        put16(frame + off_length, 2 + error_info);
        put16(frame + off_end, -kind);
        if (data != nullptr)
            std::memcpy(frame + off_command, data, error_info);
        return head_fixed + 2 + error_info;
    }
    int32_t unit = QZRPLCMelsecCodeType(code, points, nullptr);
    if (unit < 0)
        return unit;
    int32_t n = data_bytes(unit, points);
    if (kind == 0) {
        if (head_response + n > QZRPLC_MELSEC_FRAME)
            return QZRPLC_E_DEVICE;
        if (n > 0 && data == nullptr)
            return XKW_E_INVAL;
        frame[0] = sub_response;
        put16(frame + off_serial, pcb->serial);
        put16(frame + off_length, 2 + n);
        if (n > 0)
            pack(unit, data, points, frame + head_response);
        return head_response + n;
    }
    // A read must leave room for its reply, a write for its own data.
    int32_t body = kind == 2 ? n : 0;
    if ((kind == 1 ? head_response : head_request) + n > QZRPLC_MELSEC_FRAME)
        return QZRPLC_E_DEVICE;
    if (kind == 2 && data == nullptr)
        return XKW_E_INVAL;
    frame[0] = sub_request;
    put16(frame + off_serial, QZRPLCCountAdd(pcb, 0xFFFF));
    put16(frame + off_length, 12 + body);
    put16(frame + off_end, monitoring_timer);
    put16(frame + off_command, kind == 1 ? QZRPLC_MELSEC_READ : QZRPLC_MELSEC_WRITE);
    put16(frame + off_sub, unit == QZRPLC_UNIT_BIT ? 1 : 0);
    frame[off_device] = static_cast<uint8_t>(address);
    frame[off_device + 1] = static_cast<uint8_t>(address >> 8);
    frame[off_device + 2] = static_cast<uint8_t>(address >> 16);
    frame[off_code] = static_cast<uint8_t>(code);
    put16(frame + off_points, points);
    if (body > 0)
        pack(unit, data, points, frame + head_request);
    return head_request + body;
}

int32_t QZRPLCMelsecPacketWrite(int32_t id, uint8_t* frame, int32_t length)
{
    if (QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (frame == nullptr || length < head_fixed || length > QZRPLC_MELSEC_FRAME)
        return XKW_E_INVAL;
    QZRPLCPcb* pcb = table[id];
    int32_t rc;
    if (pcb->mode == 4) {
        rc = XKNWrite(pcb->sd, frame, length);
    } else {
        uint8_t saved[2] = {frame[cut_3e], frame[cut_3e + 1]};
        frame[cut_3e] = frame[0] == sub_request ? sub_request_3e : frame[0] == sub_response ? sub_response_3e : frame[0];
        frame[cut_3e + 1] = frame[1];
        rc = XKNWrite(pcb->sd, frame + cut_3e, length - cut_3e);
        frame[cut_3e] = saved[0];
        frame[cut_3e + 1] = saved[1];
        if (rc >= 0)
            rc += cut_3e;
    }
    trace_frame(pcb, "Send", rc, frame, length, head_request, head_response);
    return rc;
}

int32_t QZRPLCMelsecPacketRead(int32_t id, uint8_t* frame, int32_t size, int32_t timeout)
{
    if (QZRPLCCheckPcbSd(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (frame == nullptr || size < head_fixed)
        return XKW_E_INVAL;
    QZRPLCPcb* pcb = table[id];
    int32_t rc;
    if (pcb->mode == 4) {
        rc = read_exact(pcb->sd, frame, head_fixed, timeout, false);
        // Only the subheaders of this protocol carry the layout that the
        // length field is read from.
        if (rc > 0 && ((frame[0] != sub_request && frame[0] != sub_response) || frame[1] != 0))
            rc = QZRPLC_E_SHORT;
    } else {
        rc = read_exact(pcb->sd, frame + cut_3e, head_fixed - cut_3e, timeout, false);
        if (rc > 0) {
            uint8_t sub = frame[cut_3e];
            if ((sub != sub_request_3e && sub != sub_response_3e) || frame[cut_3e + 1] != 0)
                rc = QZRPLC_E_SHORT;
            frame[0] = sub == sub_request_3e ? sub_request : sub_response;
            frame[1] = frame[cut_3e + 1];
            std::memset(frame + off_serial, 0, 4);
        }
    }
    if (rc > 0) {
        int32_t length = get16(frame + off_length);
        if (head_fixed + length > size)
            rc = QZRPLC_E_DEVICE;
        else
            rc = read_exact(pcb->sd, frame + head_fixed, length, timeout, true);
        if (rc >= 0)
            rc = head_fixed + length;
    }
    trace_frame(pcb, "Recv", rc, frame, rc > 0 ? rc : 0, head_request, head_response);
    return rc;
}

int32_t QZRPLCMelsecPacketParse(int32_t id, const uint8_t* frame, void* data)
{
    if (QZRPLCCheckPcb(table, QZRPLC_MAXID, id) < 0)
        return XKW_E_BADHANDLE;
    if (frame == nullptr)
        return XKW_E_INVAL;
    int32_t length = get16(frame + off_length);
    int32_t offset = frame[0] == sub_response ? head_response : head_request;
    int32_t n = length - (offset - head_fixed);
    if (n < 0)
        return QZRPLC_E_SHORT;
    if (frame[0] == sub_response) {
        int32_t end = get16(frame + off_end);
        if (end != 0)
            return -(QZRPLC_E_END_BASE + end);
    }
    if (data != nullptr && n > 0)
        std::memcpy(data, frame + offset, static_cast<size_t>(n));
    return n;
}

int32_t QZRPLCMelsecGet(int32_t id, int32_t flags, int32_t code, int32_t address, int32_t points, void* buffer,
                        int32_t timeout)
{
    QZRPLCPcb* pcb = QZRPLCMelsecAcb(id);
    tracef(pcb, level_call, "[Get]     PLC  dcd=0x%02x  add=0x%04x  nod=%4d", code, address, points);
    int32_t unit = check_call(id, code, points, buffer);
    int32_t rc = unit;
    if (unit > 0) {
        uint8_t frame[QZRPLC_MELSEC_FRAME];
        uint8_t reply[QZRPLC_MELSEC_FRAME];
        CallLock hold(pcb, flags);  // build (the serial number), send, receive and parse
        rc = QZRPLCMelsecPacketBuild(id, frame, nullptr, 1, code, address, points);
        if (rc > 0)
            rc = exchange(id, frame, rc, reply, timeout);
        // The reply must carry exactly the points asked for.
        if (rc >= 0 && rc != data_bytes(unit, points))
            rc = QZRPLC_E_SHORT;
        if (rc >= 0) {
            unpack(unit, reply, points, buffer);
            rc = unit == QZRPLC_UNIT_BIT ? points : points * 2;
        }
    }
    if (rc > 0)
        trace_values(pcb, unit, buffer, rc);
    else
        tracef(pcb, level_call, "                     rtn=%4d", rc);
    return rc;
}

int32_t QZRPLCMelsecSet(int32_t id, int32_t flags, int32_t code, int32_t address, int32_t points,
                        const void* data, int32_t timeout)
{
    QZRPLCPcb* pcb = QZRPLCMelsecAcb(id);
    tracef(pcb, level_call, "[Set]     PLC  dcd=0x%02x  add=0x%04x  nod=%4d", code, address, points);
    int32_t unit = check_call(id, code, points, data);
    int32_t rc = unit;
    if (unit > 0) {
        uint8_t frame[QZRPLC_MELSEC_FRAME];
        CallLock hold(pcb, flags);
        rc = QZRPLCMelsecPacketBuild(id, frame, data, 2, code, address, points);
        if (rc > 0) {
            trace_values(pcb, unit, data, unit == QZRPLC_UNIT_BIT ? points : points * 2);
            rc = exchange(id, frame, rc, nullptr, timeout);
        }
        if (rc >= 0)
            rc = data_bytes(unit, points);
    }
    if (rc < 0)
        tracef(pcb, level_call, "                     rtn=%4d", rc);
    return rc;
}

int32_t QZRPLCMelsecServRecv(int32_t id, int32_t /*mode*/, int32_t* command, int32_t* code, int32_t* address,
                             int32_t* points, void* data, int32_t timeout)
{
    int32_t cmd = 0, dcd = 0, add = 0, nod = 0;
    uint8_t frame[QZRPLC_MELSEC_FRAME];
    int32_t rc = QZRPLCMelsecPacketRead(id, frame, QZRPLC_MELSEC_FRAME, timeout);
    if (rc > 0 && frame[0] != sub_request)
        rc = QZRPLC_E_SHORT;
    if (rc > 0)
        rc = QZRPLCMelsecPacketParse(id, frame, nullptr);
    QZRPLCPcb* pcb = QZRPLCMelsecAcb(id);
    int32_t unit = 0;
    if (rc >= 0) {
        pcb->serial = get16(frame + off_serial);
        cmd = get16(frame + off_command);
        dcd = frame[off_code];
        add = frame[off_device] | frame[off_device + 1] << 8 | frame[off_device + 2] << 16;
        nod = get16(frame + off_points);
    }
    if (rc >= 0 && cmd != QZRPLC_MELSEC_WRITE) {
        rc = 0;  // only a write carries data
    } else if (rc >= 0) {
        // The device decides how the write data unpack, and the points
        // must all be there.
        unit = QZRPLCMelsecCodeType(dcd, nod, nullptr);
        if (unit < 0)
            rc = unit;
        else if (data == nullptr)
            rc = XKW_E_INVAL;
        else if (data_bytes(unit, nod) > rc)
            rc = QZRPLC_E_SHORT;
        else {
            unpack(unit, frame + head_request, nod, data);
            rc = unit == QZRPLC_UNIT_BIT ? nod : nod * 2;
        }
    }
    if (command != nullptr)
        *command = cmd;
    if (code != nullptr)
        *code = dcd;
    if (address != nullptr)
        *address = add;
    if (points != nullptr)
        *points = nod;
    tracef(pcb, level_call, "[Recv]    PLC  cmd=0x%04x  dcd=0x%02x  add=0x%04x  nod=%4d  rtn=%d", cmd, dcd, add,
           nod, rc);
    if (rc > 0)
        trace_values(pcb, unit, data, rc);
    return rc;
}

int32_t QZRPLCMelsecServSend(int32_t id, int32_t /*mode*/, int32_t command, int32_t code, int32_t address,
                             int32_t points, const void* data, int32_t /*timeout*/)
{
    QZRPLCPcb* pcb = QZRPLCMelsecAcb(id);
    tracef(pcb, level_call, "[Send]    PLC  cmd=0x%04x  dcd=0x%02x  add=0x%04x  nod=%4d", command, code, address,
           points);
    uint8_t frame[QZRPLC_MELSEC_FRAME];
    int32_t rc = QZRPLCMelsecPacketBuild(id, frame, data, 0, code, address, points);
    if (rc > head_response)
        QZRPLCTraceWriteData(pcb, level_call, 0, "  Data", frame + head_response, rc - head_response);
    if (rc > 0)
        rc = QZRPLCMelsecPacketWrite(id, frame, rc);
    return rc < 0 ? rc : rc - head_response;
}

// ---- test server ----

namespace {

void serve(int32_t sd, const char* peer)
{
    int32_t id = QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, peer, sd, 3, "", 10);
    if (id < 0) {
        std::printf("Server open error (%d)\n", id);
        XKNClose(sd);
        return;
    }
    std::printf("Open  sd=%d  id=%d  host=%s\n", sd, id, peer);
    // Room for the write data of any request and for the answer to a read
    // of the most points.
    std::vector<uint8_t> buffer(2 * QZRPLC_MELSEC_POINTS);
    uint8_t* data = buffer.data();
    for (;;) {
        int32_t cmd, dcd, add, nod;
        int32_t rc = QZRPLCMelsecServRecv(id, 0, &cmd, &dcd, &add, &nod, data, 0);
        if (rc < 0) {
            std::printf("Receive error (%d)\n", rc);
            break;
        }
        std::printf("Recv  len=%4d  cmd=0x%04x  dcd=0x%02x  add=0x%04x  nod=%3d\n", rc, cmd, dcd, add, nod);
        int32_t answer = 0;
        int32_t unit = QZRPLCMelsecCodeType(dcd, nod, nullptr);
        if (cmd == QZRPLC_MELSEC_READ && unit > 0) {
            std::fill(buffer.begin(), buffer.end(), 0);
            answer = nod;
            prompt_values(unit, nod, data);
        } else if (cmd == QZRPLC_MELSEC_WRITE) {
            print_dump(data, rc);
        }
        rc = QZRPLCMelsecServSend(id, 0, cmd, dcd, add, answer, data, 0);
        if (rc < 0)
            std::printf("Send error (%d)\n", rc);
        else
            std::printf("Send  len=%4d  cmd=0x%04x  dcd=0x%02x  add=0x%04x  nod=%3d\n", rc, cmd, dcd, add, nod);
        std::fflush(stdout);
    }
    QZRPLCMelsecClose(id, 0);
    std::printf("Close\n");
    std::fflush(stdout);
}

}  // namespace

int32_t QZRPLCMelsecServer(int32_t /*unused*/, int32_t port)
{
    return serve_tcp(port, serve);
}
