// Queues between the library interface and the control engine.
//
// A queue is a fixed ring of fixed-size records behind a 64-byte head, kept
// in a file, in private memory or in named shared memory. One writer side
// (XKQSend*) and one reader side (XKQRecv*) work on the same store under the
// queue lock: a thread lock for private memory, the named mutex of the queue
// path for files and shared memory. Records whose data do not fit can go to
// side files "<path>.%06d" (file mode) or side buffers (private memory).
//
// The store layout is byte-for-byte the same in a file and in memory, all
// fields 32-bit host order:
//   0   queue header: 8 reserved, record size, record count, 16 reserved
//   32  put block: index of the last written record (-1 none), its time
//   48  get block: index of the last taken record (-1 none), its time
//   64 + i * record size: 32-byte record header, then the record data
// Memory stores keep a 32-bit put counter in the 4 bytes after the records
// (rounded up to a 4-byte boundary); a put bumps it and wakes readers
// blocked in XKQRecvWait.
//
// Private memory works only when both sides use the one queue block that
// opened it; files and shared memory work across blocks and processes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/XKWMem.h"
#include "runtime/XKWResource.h"
#include "runtime/XKWThread.h"

// Open mode bits (the queue bits of the library's QUEMODE).
inline constexpr int32_t XKQ_MODE_LONG = 0x0010;       // longer records go to side files / buffers
inline constexpr int32_t XKQ_MODE_SIDEFREE = 0x0020;   // side file deleted, buffer freed once taken
inline constexpr int32_t XKQ_MODE_SHARED = 0x0040;     // with XKQ_MODE_MEMORY: named shared memory
inline constexpr int32_t XKQ_MODE_MEMORY = 0x0080;     // memory instead of a file
inline constexpr int32_t XKQ_MODE_MUSTEXIST = 0x8000;  // file mode: the queue file must exist

// Put and get options.
inline constexpr int32_t XKQ_PUT_OVERWRITE = 0x01;   // full queue: drop the oldest unread record
inline constexpr int32_t XKQ_GET_SKIPOLD = 0x02;     // skip records put before the last one taken
inline constexpr int32_t XKQ_GET_KEEPBUF = 0x8000;   // do not clear the caller's buffer first

inline constexpr int32_t XKQ_RECSIZE_MAX = 65536;  // larger record sizes are cut to this
inline constexpr int32_t XKQ_HEAD_SIZE = 64;       // queue header + put block + get block
inline constexpr int32_t XKQ_RECHEAD_SIZE = 32;    // record header in front of each record's data
inline constexpr int XKQ_NAME_MAX = 260;           // queue path including its terminating NUL

// Queue-specific result codes (the shared ones are in XKWResult.h).
inline constexpr int32_t XKQ_E_HEADREAD = -101;     // queue file header unreadable or corrupt
inline constexpr int32_t XKQ_E_MISSING = -102;      // queue file missing under XKQ_MODE_MUSTEXIST
inline constexpr int32_t XKQ_E_SIZE = -103;         // bad record size or count for a new file
inline constexpr int32_t XKQ_E_CREATE = -104;       // queue file cannot be created
inline constexpr int32_t XKQ_E_INITHEAD = -105;     // new file: header not written
inline constexpr int32_t XKQ_E_INITPUT = -106;      // new file: put block not written
inline constexpr int32_t XKQ_E_INITGET = -107;      // new file: get block not written
inline constexpr int32_t XKQ_E_ALLOC = -112;        // private memory not allocated
inline constexpr int32_t XKQ_E_SHMCREATE = -113;    // shared area cannot be created
inline constexpr int32_t XKQ_E_SHMMAP = -114;       // shared area cannot be mapped, or too small
inline constexpr int32_t XKQ_E_SEEKREAD = -200;     // bad offset reading the file
inline constexpr int32_t XKQ_E_READHEAD = -202;     // head or record header unreadable or corrupt
inline constexpr int32_t XKQ_E_READDATA = -204;     // record data unreadable, or its length corrupt
inline constexpr int32_t XKQ_E_SEEKWRITE = -300;    // bad offset writing the file
inline constexpr int32_t XKQ_E_WRITEHEAD = -302;    // head or record header not written
inline constexpr int32_t XKQ_E_WRITEFIRST = -303;   // first part of a long record not written
inline constexpr int32_t XKQ_E_WRITEDATA = -304;    // record data not written
inline constexpr int32_t XKQ_E_SIDEOPEN = -410;     // side file cannot be opened
inline constexpr int32_t XKQ_E_SIDESHORT = -411;    // side file shorter than the record length
inline constexpr int32_t XKQ_E_SIDECREATE = -420;   // side file cannot be created or written

#pragma pack(push, 1)
// Record header, also handed to the reader.
struct XKQRecordHeader {
    uint8_t used;         // 1 while the record is unread
    uint8_t pad[3];
    int32_t rec;          // index of the record in the ring
    int32_t tm;           // put time, seconds since the epoch (low 32 bits)
    int32_t len;          // data length as put
    uint64_t side;        // private memory: address of the side buffer, else 0
    uint8_t reserved[8];
};

// Put or get block: the last record written or taken.
struct XKQIndexBlock {
    int32_t index;        // -1 = none yet
    int32_t time;         // tm of that record
    uint8_t reserved[8];
};

// The store's first 64 bytes.
struct XKQStoreHead {
    uint8_t reserved0[8];
    int32_t recsize;      // bytes per record including its header
    int32_t count;        // records in the ring
    uint8_t reserved1[16];
    XKQIndexBlock put;
    XKQIndexBlock get;
};
#pragma pack(pop)

static_assert(sizeof(XKQRecordHeader) == 32);
static_assert(offsetof(XKQRecordHeader, rec) == 4 && offsetof(XKQRecordHeader, tm) == 8 &&
              offsetof(XKQRecordHeader, len) == 12 && offsetof(XKQRecordHeader, side) == 16 &&
              offsetof(XKQRecordHeader, reserved) == 24);
static_assert(sizeof(XKQIndexBlock) == 16 && offsetof(XKQIndexBlock, time) == 4);
static_assert(sizeof(XKQStoreHead) == 64);
static_assert(offsetof(XKQStoreHead, recsize) == 8 && offsetof(XKQStoreHead, count) == 12 &&
              offsetof(XKQStoreHead, put) == 32 && offsetof(XKQStoreHead, get) == 48);

// One opened side of a queue, owned by the caller or by a handle table.
// Clear it (= {}) before the first open.
struct XKQueueBlock {
    XKQStoreHead head;         // copy of the store's head as last read
    XKQRecordHeader current;   // the record header last handled
    int32_t mode;              // open mode bits
    int32_t recsize;           // record size in use (at most XKQ_RECSIZE_MAX)
    int32_t count;             // record count in use
    int32_t fd;                // file mode: the queue file
    unsigned char* base;       // memory modes: the store
    XKWMemMapping mapping;     // shared memory: the mapping
    XKWResource mutex;         // file and shared memory: named mutex of the path
    XKWLock lock;              // private memory: thread lock
    char name[XKQ_NAME_MAX];   // queue path
    uint32_t open;             // marker while open
};

// Open the writer side of queue `name` on `queue`: mode bits as above,
// record size (cut to 65536) and count for a new store; a positive size or
// count in an existing store wins. Returns 0 or a negative code.
int32_t XKQSendOpen(XKQueueBlock* queue, int32_t mode, const char* name, int32_t recsize, int32_t count);

// Append one record. Option XKQ_PUT_OVERWRITE drops the oldest unread
// record of a full queue. Returns the data bytes stored (in a side file:
// all of them), -28 when full, -9 when not open.
int32_t XKQSendPut(XKQueueBlock* queue, int32_t option, const void* data, int32_t length);

// Release the writer side; the store stays. 0, or -9 when not open.
int32_t XKQSendClose(XKQueueBlock* queue);

// Open the reader side; as XKQSendOpen.
int32_t XKQRecvOpen(XKQueueBlock* queue, int32_t mode, const char* name, int32_t recsize, int32_t count);

// Take the oldest unread record: up to `size` bytes into `buffer` (cleared
// first unless XKQ_GET_KEEPBUF) and its header into `header_out` (may be
// null, cleared first). Returns the bytes delivered, -120 when empty,
// -410/-411 when its side file failed (the record is consumed all the same).
int32_t XKQRecvGet(XKQueueBlock* queue, int32_t option, void* buffer, int32_t size,
                   XKQRecordHeader* header_out);

// Give the last taken record back so the next get delivers it again.
// 0, -28 when its slot was filled again, -120 when nothing was taken.
int32_t XKQRecvUnget(XKQueueBlock* queue);

// Wait up to `ms` milliseconds (0: just look) for an unread record, without
// holding the queue lock. 0 when there is one, -138 on time-out, -9 when
// not open.
int32_t XKQRecvWait(XKQueueBlock* queue, int32_t ms);

// Release the reader side; the store stays. 0, or -9 when not open.
int32_t XKQRecvClose(XKQueueBlock* queue);

// Handle forms. The writer sides live in a table of 256 handles, the reader
// sides in one of 64. Opens return the handle, -28 when the table is full,
// -12 when out of memory, or the open's code; the others return -9 for an
// invalid handle and otherwise what the block form returns.
int32_t XKQSendOpenId(int32_t mode, const char* name, int32_t recsize, int32_t count);
int32_t XKQSendPutId(int32_t handle, int32_t option, const void* data, int32_t length);
int32_t XKQSendCloseId(int32_t handle);
int32_t XKQRecvOpenId(int32_t mode, const char* name, int32_t recsize, int32_t count);
int32_t XKQRecvGetId(int32_t handle, int32_t option, void* buffer, int32_t size, XKQRecordHeader* header_out);
int32_t XKQRecvUngetId(int32_t handle);
int32_t XKQRecvWaitId(int32_t handle, int32_t ms);
int32_t XKQRecvCloseId(int32_t handle);
