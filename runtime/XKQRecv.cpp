// Reader side of a queue: open, get, unget, wait, close, and their handle
// forms.
//
// A get takes the record after the get index, passing over free slots and,
// under the skip option, records put before the last one taken. A record
// whose data cannot be had for good (side file missing or short, side
// buffer missing, a length no record can hold) is consumed all the same
// and its code returned: leaving it would stop the queue at that record
// for ever. Other failures (an I/O error) leave the queue as it was.
#include <algorithm>
#include <cstring>

#include "runtime/XKQStore.h"
#include "runtime/XKWHandle.h"
#include "runtime/XKWResult.h"

namespace {

XKWHandleTable<XKQueueBlock, XKW_HANDLES_SMALL> recv_table;

bool has_side(const XKQueueBlock* q, const XKQRecordHeader& h)
{
    return (q->mode & XKQ_MODE_LONG) && h.len > xkq_data_size(q);
}

// Drop the side data of a record that is taken or passed over, when the
// mode says side data go once their record is taken.
void drop_side(XKQueueBlock* q, int32_t index, XKQRecordHeader* h)
{
    if (!(q->mode & XKQ_MODE_SIDEFREE))
        return;
    if (xkq_memory(q)) {
        xkq_buffer_free(h->side);
        h->side = 0;
    } else if (has_side(q, *h)) {
        xkq_side_delete(q, index);
    }
}

// The data of record `index` into buffer: the bytes delivered or a code;
// *lost says the data are gone for good, so the record is consumed anyway.
int32_t read_payload(XKQueueBlock* q, int32_t index, const XKQRecordHeader& h, void* buffer, int32_t size,
                     bool* lost)
{
    *lost = true;
    if (h.len < 0)
        return XKQ_E_READDATA;  // no put writes that
    int32_t want = std::min(size, h.len);
    if (!(q->mode & XKQ_MODE_LONG))
        want = std::min(want, xkq_data_size(q));  // the record was cut when put
    if (want > xkq_data_size(q))
        return xkq_memory(q) ? xkq_buffer_read(h.side, buffer, want) : xkq_side_read(q, index, buffer, want);
    *lost = false;  // an I/O error on the store itself may pass
    return xkq_read_data(q, index, buffer, want);
}

int32_t take(XKQueueBlock* q, int32_t index, XKQRecordHeader h, void* buffer, int32_t size,
             XKQRecordHeader* header_out)
{
    bool lost = false;
    int32_t result = read_payload(q, index, h, buffer, size, &lost);
    if (result < 0 && !lost)
        return result;
    if (header_out != nullptr)
        *header_out = h;
    q->current = h;
    drop_side(q, index, &h);
    h.used = 0;
    int32_t rc = xkq_write_record(q, index, &h);
    if (rc < 0)
        return rc;
    q->head.get.index = index;
    q->head.get.time = h.tm;
    if ((rc = xkq_write_get(q)) < 0)
        return rc;
    return result;
}

int32_t get_locked(XKQueueBlock* q, int32_t option, void* buffer, int32_t size, XKQRecordHeader* header_out)
{
    int32_t rc = xkq_read_blocks(q);
    if (rc < 0)
        return rc;
    for (int32_t step = 0; step < q->count; ++step) {
        if (q->head.get.index == q->head.put.index)
            return XKW_E_NOMORE;
        const int32_t index = q->head.get.index + 1 >= q->count ? 0 : q->head.get.index + 1;
        XKQRecordHeader h;
        if ((rc = xkq_read_record(q, index, &h)) < 0)
            return rc;
        bool fresh = !(option & XKQ_GET_SKIPOLD) ||
                     static_cast<uint32_t>(h.tm) >= static_cast<uint32_t>(q->head.get.time);
        if (h.used && fresh)
            return take(q, index, h, buffer, size, header_out);
        if (h.used) {  // put before the last record taken: skipped and freed
            drop_side(q, index, &h);
            h.used = 0;
            if ((rc = xkq_write_record(q, index, &h)) < 0)
                return rc;
        }
        q->head.get.index = index;
        if ((rc = xkq_write_get(q)) < 0)
            return rc;
    }
    return XKW_E_NOMORE;
}

int32_t unget_locked(XKQueueBlock* q)
{
    int32_t rc = xkq_read_blocks(q);
    if (rc < 0)
        return rc;
    const int32_t index = q->head.get.index;
    if (index == -1)
        return XKW_E_NOMORE;
    XKQRecordHeader h;
    if ((rc = xkq_read_record(q, index, &h)) < 0)
        return rc;
    if (h.used)
        return XKW_E_FULL;  // the writer has filled the slot again
    h.used = 1;
    if ((rc = xkq_write_record(q, index, &h)) < 0)
        return rc;
    q->head.get.index = index - 1;
    return xkq_write_get(q);
}

}  // namespace

int32_t XKQRecvOpen(XKQueueBlock* queue, int32_t mode, const char* name, int32_t recsize, int32_t count)
{
    return xkq_store_open(queue, mode, name, recsize, count);
}

int32_t XKQRecvGet(XKQueueBlock* queue, int32_t option, void* buffer, int32_t size, XKQRecordHeader* header_out)
{
    if (!xkq_is_open(queue))
        return XKW_E_BADHANDLE;
    if (size < 0 || (buffer == nullptr && size > 0))
        return XKW_E_INVAL;
    if (header_out != nullptr)
        *header_out = XKQRecordHeader{};
    if (!(option & XKQ_GET_KEEPBUF) && size > 0)
        std::memset(buffer, 0, static_cast<size_t>(size));
    XKQLockGuard guard(queue);
    return get_locked(queue, option, buffer, size, header_out);
}

int32_t XKQRecvUnget(XKQueueBlock* queue)
{
    if (!xkq_is_open(queue))
        return XKW_E_BADHANDLE;
    int32_t rc;
    {
        XKQLockGuard guard(queue);
        rc = unget_locked(queue);
    }
    if (rc == 0)
        xkq_notify(queue);  // the queue holds a record again
    return rc;
}

int32_t XKQRecvWait(XKQueueBlock* queue, int32_t ms)
{
    if (!xkq_is_open(queue))
        return XKW_E_BADHANDLE;
    return xkq_wait(queue, ms);
}

int32_t XKQRecvClose(XKQueueBlock* queue)
{
    return xkq_store_close(queue);
}

int32_t XKQRecvOpenId(int32_t mode, const char* name, int32_t recsize, int32_t count)
{
    return recv_table.Open([&](XKQueueBlock& q) { return XKQRecvOpen(&q, mode, name, recsize, count); });
}

int32_t XKQRecvGetId(int32_t handle, int32_t option, void* buffer, int32_t size, XKQRecordHeader* header_out)
{
    XKQueueBlock* q = recv_table.Get(handle);
    return q == nullptr ? XKW_E_BADHANDLE : XKQRecvGet(q, option, buffer, size, header_out);
}

int32_t XKQRecvUngetId(int32_t handle)
{
    XKQueueBlock* q = recv_table.Get(handle);
    return q == nullptr ? XKW_E_BADHANDLE : XKQRecvUnget(q);
}

int32_t XKQRecvWaitId(int32_t handle, int32_t ms)
{
    XKQueueBlock* q = recv_table.Get(handle);
    return q == nullptr ? XKW_E_BADHANDLE : XKQRecvWait(q, ms);
}

int32_t XKQRecvCloseId(int32_t handle)
{
    XKQueueBlock* q = recv_table.Get(handle);
    if (q == nullptr)
        return XKW_E_BADHANDLE;
    XKQRecvClose(q);
    return recv_table.Free(handle);
}
