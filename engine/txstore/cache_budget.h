// The memory that the caches of the process keep, all together: the records that
// record files keep after their release and the pages that plain files keep after
// a read. Each cache is a client of the one budget: it charges the bytes it keeps,
// stamps its entries with the budget's use ticks and publishes the tick of the
// entry it would give up first. While the process's caches keep more than the
// bound, entries leave memory least recently used first across all caches: a
// cache takes its own oldest entry out itself (writing a changed record back
// through its own path), and takes another cache's entry out when that one is
// older and can go without a write (unchanged and not in use). A changed entry
// never leaves memory but through its own cache.
//
// Thread-safe: each client guards its entries with its own lock, which it holds
// while it changes them; a cache that makes room takes another's lock only when
// that lock is free at once, so no cache ever waits for another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace velk {

// The lock over one cache's entries. Its owner holds it for a moment per call, and
// another cache only ever tries it; trying a lock the same thread holds (a
// record file reading through its file's page cache) simply fails.
class CEntryLock {
public:
    void lock()
    {
        while (m_bHeld.exchange(true, std::memory_order_acquire))
            std::this_thread::yield();
    }
    bool try_lock() { return !m_bHeld.exchange(true, std::memory_order_acquire); }
    void unlock() { m_bHeld.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_bHeld{false};
};

class CCacheClient {
public:
    CCacheClient(const CCacheClient&) = delete;
    CCacheClient& operator=(const CCacheClient&) = delete;

    // The bytes the caches of the process keep.
    static std::size_t GetBudgetBytes();
    // Sets the bound and returns the one before: for tests, and for a walk that
    // reads each record once and gains nothing from keeping it. What the caches
    // keep beyond a lower bound leaves memory as they are next used.
    static std::size_t SetBudgetBound(std::size_t cbBytes);
    // The bound the process starts with (see cache_budget.cpp).
    static std::size_t GetBudgetBound();

protected:
    CCacheClient() = default;
    // A client must have left the budget (Leave) before its entries are destroyed.
    ~CCacheClient() = default;

    // Enters the budget: from now on other caches may call DropOldestClean.
    void Join();
    // Leaves the budget, handing back whatever is still charged. Waits while another
    // cache is inside DropOldestClean of this one. Harmless when not joined.
    void Leave();
    void Charge(std::size_t cb);
    void Discharge(std::size_t cb);
    // Publishes the tick of the entry this cache would give up first; bNone when
    // nothing can leave memory.
    void PublishOldest(bool bNone, std::uint32_t nTick);
    // A new use tick. Ticks wrap: compare them by their age (NewestTick() - tick).
    static std::uint32_t NextTick();
    static bool IsOverBudget();
    // While the caches keep more than the bound, takes entries out of other caches
    // that are older than this cache's oldest (nOwnTick, unless bNoOwn). Returns
    // true when the caches still keep too much: this cache should then give up its
    // own oldest entry and ask again. Call with this cache's lock held.
    bool TakeFromOthers(bool bNoOwn, std::uint32_t nOwnTick);

    // Drops this cache's oldest entry when it can leave memory without a write, and
    // returns true; false when it cannot. Called by another cache, under this
    // cache's lock.
    virtual bool DropOldestClean() = 0;

    // Held by the owner while it changes its entries.
    mutable CEntryLock m_lockEntries;

private:
    friend struct SBudget;
    std::atomic<std::uint64_t> m_nOldest{0};  // 0: none; else 2^32 + tick
    std::size_t m_cbCharged = 0;
    bool m_bJoined = false;
};

}  // namespace velk
