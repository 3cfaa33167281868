// What waits between the two sides of the bridge.
//
// Host messages for the PLC: the receive callback makes each received data
// message ready (information block and item words) and appends it; the
// PLC thread hands the head to the PLC and removes it once the PLC has
// acknowledged it. A host that sends its next message while the PLC is
// still busy with the previous one therefore loses nothing; only when
// PLCQUEUE messages already wait is a message refused.
//
// PLC messages for the host's reply: the W-bit primaries the bridge sent
// for the PLC, until their reply, their T3 expiry or the end of the link,
// so that a transaction that ends without a reply is reported.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "bridge/QZVAppQ.h"

namespace {

struct Queue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::unique_ptr<QZVQHostMssg>> mssgs;
    bool woken = false;
};

Queue& queue()
{
    static Queue q;
    return q;
}

struct Awaiting {
    std::mutex m;
    std::deque<QZVQAwaited> sent;
};

Awaiting& awaiting()
{
    static Awaiting a;
    return a;
}

}  // namespace

void QZVQQueueReset()
{
    Queue& q = queue();
    {
        std::lock_guard<std::mutex> lock(q.m);
        q.mssgs.clear();
        q.woken = false;
    }
    Awaiting& a = awaiting();
    std::lock_guard<std::mutex> lock(a.m);
    a.sent.clear();
}

int32_t QZVQQueueDepth()
{
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.m);
    return int32_t(q.mssgs.size());
}

bool QZVQQueuePush(std::unique_ptr<QZVQHostMssg> mssg, int32_t waiting)
{
    Queue& q = queue();
    {
        std::lock_guard<std::mutex> lock(q.m);
        if (!q.mssgs.empty() && int64_t(q.mssgs.size()) - 1 >= int64_t(waiting))
            return false;
        q.mssgs.push_back(std::move(mssg));
        q.woken = true;
    }
    q.cv.notify_all();
    return true;
}

QZVQHostMssg* QZVQQueueHead()
{
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.m);
    return q.mssgs.empty() ? nullptr : q.mssgs.front().get();
}

void QZVQQueuePop()
{
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.m);
    if (!q.mssgs.empty())
        q.mssgs.pop_front();
}

std::vector<std::unique_ptr<QZVQHostMssg>> QZVQQueueTake(bool head, bool wbit_only)
{
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.m);
    std::vector<std::unique_ptr<QZVQHostMssg>> taken;
    std::deque<std::unique_ptr<QZVQHostMssg>> kept;
    for (size_t i = 0; i < q.mssgs.size(); ++i) {
        if ((i == 0 && !head) || (wbit_only && (q.mssgs[i]->sf & 0x8000) == 0))
            kept.push_back(std::move(q.mssgs[i]));
        else
            taken.push_back(std::move(q.mssgs[i]));
    }
    q.mssgs.swap(kept);
    return taken;
}

bool QZVQQueueWait(int32_t ms)
{
    Queue& q = queue();
    std::unique_lock<std::mutex> lock(q.m);
    q.cv.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0), [&] { return q.woken; });
    bool woken = q.woken;
    q.woken = false;
    return woken;
}

void QZVQQueueWake()
{
    Queue& q = queue();
    {
        std::lock_guard<std::mutex> lock(q.m);
        q.woken = true;
    }
    q.cv.notify_all();
}

void QZVQAwaitAdd(const QZVQAwaited& sent)
{
    Awaiting& a = awaiting();
    std::lock_guard<std::mutex> lock(a.m);
    a.sent.push_back(sent);
}

bool QZVQAwaitTake(uint32_t xid, QZVQAwaited* out)
{
    Awaiting& a = awaiting();
    std::lock_guard<std::mutex> lock(a.m);
    for (auto it = a.sent.begin(); it != a.sent.end(); ++it) {
        if (it->xid != xid)
            continue;
        *out = *it;
        a.sent.erase(it);
        return true;
    }
    return false;
}

std::vector<QZVQAwaited> QZVQAwaitTakeAll()
{
    Awaiting& a = awaiting();
    std::lock_guard<std::mutex> lock(a.m);
    std::vector<QZVQAwaited> all(a.sent.begin(), a.sent.end());
    a.sent.clear();
    return all;
}
