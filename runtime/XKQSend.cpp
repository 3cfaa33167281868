// Writer side of a queue: open, put, close, and their handle forms.
//
// A put appends behind the put index. The ring is full when the slot to
// write is the last one taken, or when it wraps to slot 0 before anything
// was taken; a full ring refuses the put (-28) unless the overwrite option
// drops the oldest unread record. Before the first get the ring holds
// `count` records, afterwards `count - 1`, so an overwrite that wraps before
// the first get has to drop the two oldest records (0 and 1) to leave the
// get index on a slot the put does not land on; dropping only one would
// make the ring read as empty with records still in it.
#include <algorithm>

#include "runtime/XKQStore.h"
#include "runtime/XKWHandle.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWTime.h"

namespace {

XKWHandleTable<XKQueueBlock, XKW_HANDLES> send_table;

int32_t next_slot(const XKQueueBlock* q, int32_t index)
{
    return index + 1 >= q->count ? 0 : index + 1;
}

// The slot to write is the last one taken, or the put wraps to slot 0 with
// nothing taken yet.
bool full(int32_t put, int32_t slot, int32_t get)
{
    return slot == get || (get == -1 && put >= 0 && slot == 0);
}

// Store data in slot `slot` under header h (its side field set here);
// returns the bytes stored or a negative code.
int32_t store(XKQueueBlock* q, int32_t slot, XKQRecordHeader* h, const void* data, int32_t length)
{
    const int32_t room = xkq_data_size(q);
    if (length <= room || !(q->mode & XKQ_MODE_LONG)) {
        int32_t rc = xkq_write_data(q, slot, data, std::min(length, room));
        return rc < 0 ? rc : std::min(length, room);
    }
    // A long record: its first part stays in the record, all of it goes to
    // the side file or side buffer.
    int32_t rc = xkq_write_data(q, slot, data, room, XKQ_E_WRITEFIRST);
    if (rc < 0)
        return rc;
    if (!xkq_memory(q))
        return xkq_side_write(q, slot, data, length);
    h->side = xkq_buffer_new(data, length);
    return h->side != 0 ? length : XKW_E_NOMEM;
}

int32_t put_locked(XKQueueBlock* q, int32_t option, const void* data, int32_t length)
{
    int32_t rc = xkq_read_blocks(q);
    if (rc < 0)
        return rc;
    const int32_t slot = next_slot(q, q->head.put.index);
    const int32_t get = q->head.get.index;
    int32_t new_get = get;
    // At most two rounds: with sizes of at least two records, one step
    // moves the get index off the slot, two when nothing was taken yet.
    for (int round = 0; round < 2 && full(q->head.put.index, slot, new_get); ++round) {
        const int32_t oldest = next_slot(q, new_get);
        XKQRecordHeader h;
        if ((rc = xkq_read_record(q, oldest, &h)) < 0)
            return rc;
        if (h.used && !(option & XKQ_PUT_OVERWRITE))
            return XKW_E_FULL;
        new_get = oldest;
    }

    XKQRecordHeader old{};
    const bool buffers = xkq_memory(q) && !xkq_shared(q);
    if (buffers && (rc = xkq_read_record(q, slot, &old)) < 0)
        return rc;

    // Data first, header last: a put that fails half-way leaves the slot's
    // old header, and the put and get blocks, as they were.
    XKQRecordHeader h{};
    h.used = 1;
    h.rec = slot;
    h.tm = static_cast<int32_t>(static_cast<uint32_t>(XKWTimeNow()));
    h.len = length;
    int32_t stored = store(q, slot, &h, data, length);
    if (stored < 0)
        return stored;
    if ((rc = xkq_write_record(q, slot, &h)) < 0) {
        xkq_buffer_free(h.side);
        return rc;
    }
    if (buffers && old.side != h.side)
        xkq_buffer_free(old.side);  // the overwritten record's side buffer
    if (new_get != get) {
        q->head.get.index = new_get;
        if ((rc = xkq_write_get(q)) < 0)
            return rc;
    }
    q->head.put.index = slot;
    q->head.put.time = h.tm;
    if ((rc = xkq_write_put(q)) < 0)
        return rc;
    q->current = h;
    return stored;
}

}  // namespace

int32_t XKQSendOpen(XKQueueBlock* queue, int32_t mode, const char* name, int32_t recsize, int32_t count)
{
    return xkq_store_open(queue, mode, name, recsize, count);
}

int32_t XKQSendPut(XKQueueBlock* queue, int32_t option, const void* data, int32_t length)
{
    if (!xkq_is_open(queue))
        return XKW_E_BADHANDLE;
    if (length < 0 || (data == nullptr && length > 0))
        return XKW_E_INVAL;
    int32_t rc;
    {
        XKQLockGuard guard(queue);
        rc = put_locked(queue, option, data, length);
    }
    if (rc >= 0)
        xkq_notify(queue);  // outside the lock: the woken reader needs it
    return rc;
}

int32_t XKQSendClose(XKQueueBlock* queue)
{
    return xkq_store_close(queue);
}

int32_t XKQSendOpenId(int32_t mode, const char* name, int32_t recsize, int32_t count)
{
    return send_table.Open([&](XKQueueBlock& q) { return XKQSendOpen(&q, mode, name, recsize, count); });
}

int32_t XKQSendPutId(int32_t handle, int32_t option, const void* data, int32_t length)
{
    XKQueueBlock* q = send_table.Get(handle);
    return q == nullptr ? XKW_E_BADHANDLE : XKQSendPut(q, option, data, length);
}

int32_t XKQSendCloseId(int32_t handle)
{
    XKQueueBlock* q = send_table.Get(handle);
    if (q == nullptr)
        return XKW_E_BADHANDLE;
    XKQSendClose(q);
    return send_table.Free(handle);
}
