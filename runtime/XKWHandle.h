// Process-wide handle tables for runtime objects. A table has N entries,
// handles 1..N. An entry holds one zero-cleared object from the moment it is
// allocated until it is freed. While the thread-safe switch is on, the
// search, allocation and freeing of entries are serialised by the table's
// own lock; the object's own work never runs under it.
//
// An entry can be held (pinned) for the length of one call on its object.
// A close retires the entry first: from then on it cannot be pinned nor
// reused, and the close waits until the calls that hold it have let go
// before it releases the object.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

#include "runtime/XKWResult.h"
#include "runtime/XKWThread.h"

template <class T, int N>
class XKWHandleTable {
public:
    // highest_first: new handles come from the top of the table (traces).
    explicit XKWHandleTable(bool highest_first = false) : highest_first_(highest_first) {}
    XKWHandleTable(const XKWHandleTable&) = delete;
    XKWHandleTable& operator=(const XKWHandleTable&) = delete;

    // Allocate a cleared object in the first free entry; returns its handle,
    // -28 when every entry is taken, -12 when the object cannot be allocated.
    int32_t Alloc(T** object)
    {
        Guard guard(*this);
        for (int i = 0; i < N; ++i) {
            int idx = highest_first_ ? N - 1 - i : i;
            if (slot_[idx].load(std::memory_order_acquire) != nullptr)
                continue;
            T* p = new (std::nothrow) T{};
            if (p == nullptr)
                return XKW_E_NOMEM;
            slot_[idx].store(p, std::memory_order_release);
            if (object != nullptr)
                *object = p;
            return idx + 1;
        }
        return XKW_E_FULL;
    }

    // Allocate a cleared object in the entry of handle (1..N); returns the
    // handle, -22 outside the table, -16 when the entry is taken, -12 when
    // the object cannot be allocated.
    int32_t AllocAt(int32_t handle, T** object)
    {
        if (handle < 1 || handle > N)
            return XKW_E_INVAL;
        Guard guard(*this);
        if (slot_[handle - 1].load(std::memory_order_acquire) != nullptr)
            return XKW_E_BUSY;
        T* p = new (std::nothrow) T{};
        if (p == nullptr)
            return XKW_E_NOMEM;
        slot_[handle - 1].store(p, std::memory_order_release);
        if (object != nullptr)
            *object = p;
        return handle;
    }

    // Allocate an entry and initialise its object with open(T&); when that
    // returns a negative code the entry is freed again and the code returned.
    template <class Init>
    int32_t Open(Init&& open)
    {
        T* p = nullptr;
        int32_t h = Alloc(&p);
        if (h < 0)
            return h;
        int32_t rc = open(*p);
        if (rc < 0) {
            Free(h);
            return rc;
        }
        return h;
    }

    // The object of a valid handle, or nullptr (the caller returns -9).
    T* Get(int32_t handle) const
    {
        if (handle < 1 || handle > N)
            return nullptr;
        return slot_[handle - 1].load(std::memory_order_acquire);
    }

    // Free the entry of a handle (retiring or not); returns 0 or -9.
    int32_t Free(int32_t handle)
    {
        if (handle < 1 || handle > N)
            return XKW_E_BADHANDLE;
        T* p;
        {
            Guard guard(*this);
            p = slot_[handle - 1].exchange(nullptr, std::memory_order_seq_cst);
        }
        // A pin that comes now finds the entry empty.
        uses_[handle - 1].fetch_and(~kRetiring, std::memory_order_seq_cst);
        if (p == nullptr)
            return XKW_E_BADHANDLE;
        delete p;
        return XKW_OK;
    }

    // The object of a valid handle, held until Unpin; nullptr (nothing to
    // unpin) for a handle that is invalid, empty or retiring.
    T* Pin(int32_t handle)
    {
        if (handle < 1 || handle > N)
            return nullptr;
        std::atomic<uint32_t>& uses = uses_[handle - 1];
        if ((uses.fetch_add(1, std::memory_order_seq_cst) & kRetiring) != 0) {
            uses.fetch_sub(1, std::memory_order_release);
            return nullptr;
        }
        T* p = slot_[handle - 1].load(std::memory_order_seq_cst);
        if (p == nullptr)
            uses.fetch_sub(1, std::memory_order_release);
        return p;
    }
    void Unpin(int32_t handle) { uses_[handle - 1].fetch_sub(1, std::memory_order_release); }

    // Take an entry out of use for its close: it can no longer be pinned
    // nor reused until Free or Restore. Returns its object, or nullptr when
    // the handle is invalid, empty or already retiring.
    T* Retire(int32_t handle)
    {
        if (handle < 1 || handle > N)
            return nullptr;
        Guard guard(*this);
        T* p = slot_[handle - 1].load(std::memory_order_seq_cst);
        if (p == nullptr || (uses_[handle - 1].fetch_or(kRetiring, std::memory_order_seq_cst) & kRetiring) != 0)
            return nullptr;
        return p;
    }
    // Whether calls still hold the entry of a retiring handle.
    bool Pinned(int32_t handle) const
    {
        return (uses_[handle - 1].load(std::memory_order_acquire) & ~kRetiring) != 0;
    }
    // Put a retiring entry back in use.
    void Restore(int32_t handle) { uses_[handle - 1].fetch_and(~kRetiring, std::memory_order_seq_cst); }

private:
    struct Guard {
        explicit Guard(XKWHandleTable& t) : m(XKWThreadSafe(-1) ? &t.lock_ : nullptr)
        {
            if (m != nullptr)
                m->lock();
        }
        ~Guard()
        {
            if (m != nullptr)
                m->unlock();
        }
        std::mutex* m;
    };

    static constexpr uint32_t kRetiring = 0x80000000u;

    bool highest_first_;
    std::mutex lock_;
    std::array<std::atomic<T*>, N> slot_{};
    std::array<std::atomic<uint32_t>, N> uses_{};  // pins, and the retiring bit
};

inline constexpr int XKW_HANDLES = 256;        // traces, INI readers, locks, mutexes, queues
inline constexpr int XKW_HANDLES_SMALL = 64;   // serial ports, queue reader sides
