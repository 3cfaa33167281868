// Helpers the PLC drivers share beyond the exported common layer: opening
// and closing a TCP connection in a family table, the per-call lock, exact
// reads and the frame trace.
#pragma once
#include <bit>
#include <cstdint>

#include "plc/qzrplc.h"

namespace qzrplc {

// Byte-order flag of a family whose wire order is little-endian (MELSEC,
// Keyence) or big-endian (Omron): 1 when the host order differs.
constexpr int32_t order_le = std::endian::native == std::endian::big ? 1 : 0;
constexpr int32_t order_be = std::endian::native == std::endian::little ? 1 : 0;

// Trace levels of the drivers' lines.
constexpr int32_t level_connect = 1;  // connect and close
constexpr int32_t level_call = 3;     // Get, Set, Recv, Send with their data
constexpr int32_t level_frame = 4;    // "PLC Data" line of each frame sent or received
constexpr int32_t level_head = 5;     // frame head dump
constexpr int32_t level_data = 6;     // frame data dump

// Write a formatted line to the connection's trace (nothing without one).
void tracef(QZRPLCPcb* pcb, int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Take a slot of table with flags, the trace file (level > 0) and the lock;
// returns the id (its sd still 0), or an error with the slot freed. The
// trace file is "dir/PLC(Server_name).trc" in server mode, else
// "dir/PLC(name_link).trc"; an empty dir is the working directory.
int32_t open_slot(QZRPLCPcb** table, int32_t flags, const char* dir, const char* name, const char* link,
                  int32_t level);
// The control block of id in table, null outside 1..16.
inline QZRPLCPcb* slot_at(QZRPLCPcb** table, int32_t id)
{
    return id >= 1 && id <= QZRPLC_MAXID ? table[id] : nullptr;
}
// The unit of code in a family's table of {code, unit} entries searched in
// order, and its index; -1 for a code not there or more than max points.
template <class Entries>
int32_t code_unit(const Entries& entries, int32_t code, int32_t points, int32_t max, int32_t* index)
{
    if (points < 0 || points > max)
        return QZRPLC_E_DEVICE;
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].code == code) {
            if (index != nullptr)
                *index = static_cast<int32_t>(i);
            return entries[i].unit;
        }
    return QZRPLC_E_DEVICE;
}
// Take a slot of table, open the trace file and the lock, and connect to
// host:port (port's high half: connect flags), or with QZRPLC_FLAG_SERVER
// adopt port as the socket. Traces "[Connect] ...". Returns the id, or an
// error with the slot freed (an adopted socket is left open).
int32_t open_link(QZRPLCPcb** table, int32_t flags, const char* host, int32_t port, const char* dir,
                  int32_t level);
// Close the socket (when sd is still set), the trace and the lock of id and
// free its slot; ids
// outside 1..16 and free slots are ignored.
void close_link(QZRPLCPcb** table, int32_t id);

// Receive exactly length bytes, each receive within timeout ms (<= 0:
// without limit). A failure before the first byte of a frame (started
// false) gives the socket layer's code; once part of a frame has come,
// -5: the frame ended early.
int32_t read_exact(int32_t sd, void* buffer, int32_t length, int32_t timeout, bool started);

// Trace a frame sent or received ("Send" or "Recv"): the "PLC Data" line
// with its result, then, when it succeeded, the first head_max bytes as
// "  Head" and the bytes from data_offset as "  Data".
void trace_frame(QZRPLCPcb* pcb, const char* way, int32_t rtn, const uint8_t* frame, int32_t length,
                 int32_t head_max, int32_t data_offset);

// ---- interactive test servers ----

// Prompt "Data:" and read one word of comma-separated decimal numbers from
// standard input into up to points values of size bytes (1, 2 or 4; host
// order); values not given stay as they are. One prompt at a time.
void prompt_values(int32_t size, int32_t points, uint8_t* data);
// Print length bytes as "  Data" dump lines on standard output.
void print_dump(const uint8_t* data, int32_t length);
// Listen on a TCP port and run serve(socket, peer address) on a thread of
// its own for every connection accepted. Prints "TCP Port Initialize error
// (%d)" when the port cannot be opened and "Connected from %s" for each
// connection; returns only on a listen or accept error.
int32_t serve_tcp(int32_t port, void (*serve)(int32_t sd, const char* peer));

// Holds the connection's lock for one call when the call's flags ask for it.
class CallLock {
public:
    CallLock(const QZRPLCPcb* pcb, int32_t flags);
    ~CallLock();
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;

private:
    int32_t lock_ = 0;
};

}  // namespace qzrplc
