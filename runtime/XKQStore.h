// Queue store internals shared by the sending and receiving sides: open and
// close of a store in its three modes, the queue lock, head and record
// access, side files and side buffers, and the put counter readers wait on.
// Every function expects an open block; the access functions run under the
// queue lock taken by the caller.
#pragma once
#include <cstdint>

#include "runtime/XKQueue.h"

inline constexpr uint32_t xkq_open_marker = 0x514B5158;  // "XKQQ"

inline bool xkq_is_open(const XKQueueBlock* q)
{
    return q != nullptr && q->open == xkq_open_marker;
}
inline bool xkq_memory(const XKQueueBlock* q)
{
    return (q->mode & XKQ_MODE_MEMORY) != 0;
}
inline bool xkq_shared(const XKQueueBlock* q)
{
    return (q->mode & (XKQ_MODE_MEMORY | XKQ_MODE_SHARED)) == (XKQ_MODE_MEMORY | XKQ_MODE_SHARED);
}
inline int32_t xkq_data_size(const XKQueueBlock* q)
{
    return q->recsize - XKQ_RECHEAD_SIZE;
}

// Open the store of `name` on a cleared-or-open block; 0 or a negative code.
int32_t xkq_store_open(XKQueueBlock* q, int32_t mode, const char* name, int32_t recsize, int32_t count);

// Close the store's block (side buffers freed in private memory); 0 or -9.
int32_t xkq_store_close(XKQueueBlock* q);

// Take the queue lock. Returns whether the named mutex (or thread lock) is
// held; when the named mutex cannot be waited for it is opened again and
// the caller goes on without it.
bool xkq_lock(XKQueueBlock* q);
void xkq_unlock(XKQueueBlock* q, bool held);

// RAII form of the two above.
class XKQLockGuard {
public:
    explicit XKQLockGuard(XKQueueBlock* q) : q_(q), held_(xkq_lock(q)) {}
    ~XKQLockGuard() { xkq_unlock(q_, held_); }
    XKQLockGuard(const XKQLockGuard&) = delete;
    XKQLockGuard& operator=(const XKQLockGuard&) = delete;

private:
    XKQueueBlock* q_;
    bool held_;
};

// Read the put and get blocks into q->head; -200/-202, or -202 when an
// index lies outside the ring.
int32_t xkq_read_blocks(XKQueueBlock* q);
// Write the put or the get block from q->head; -300/-302.
int32_t xkq_write_put(XKQueueBlock* q);
int32_t xkq_write_get(XKQueueBlock* q);

// Record header of record `index`; -200/-202 (past the end of a file it
// reads as free).
int32_t xkq_read_record(XKQueueBlock* q, int32_t index, XKQRecordHeader* h);
int32_t xkq_write_record(XKQueueBlock* q, int32_t index, const XKQRecordHeader* h);

// Record data: `length` bytes (at most the data area) into the record,
// zero-padded to the whole area; -300/-304 (or `fail` instead of -304).
int32_t xkq_write_data(XKQueueBlock* q, int32_t index, const void* data, int32_t length,
                       int32_t fail = XKQ_E_WRITEDATA);
// The first `length` bytes of the record's data; -200/-204.
int32_t xkq_read_data(XKQueueBlock* q, int32_t index, void* out, int32_t length);

// Side file of record `index`: write all of `data` into a new file (-420);
// read the first `length` bytes (-410, -411; retried); delete it.
int32_t xkq_side_write(XKQueueBlock* q, int32_t index, const void* data, int32_t length);
int32_t xkq_side_read(XKQueueBlock* q, int32_t index, void* out, int32_t length);
void xkq_side_delete(XKQueueBlock* q, int32_t index);

// Side buffers of private memory: a copy of `data` (address, or 0 when out
// of memory); read its first `length` bytes (-2 none, -204 shorter); free.
uint64_t xkq_buffer_new(const void* data, int32_t length);
int32_t xkq_buffer_read(uint64_t address, void* out, int32_t length);
void xkq_buffer_free(uint64_t address);

// After a successful put: bump the put counter and wake waiting readers.
void xkq_notify(XKQueueBlock* q);

// Wait up to ms for the ring to hold an unread record: 0, -138, or the
// code of a failed head read.
int32_t xkq_wait(XKQueueBlock* q, int32_t ms);
