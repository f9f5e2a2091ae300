#include "engine/txstore/cache_budget.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace velk {

namespace {

// The bound the process starts with: 16 MiB on every target. The tool keeps its
// whole view in memory beside the caches (up to 64 MiB of text, several times that
// as a tree), and in a 32-bit process of 2 GiB that must still find room; the
// indexes that a run walks again and again (the upper nodes of each tree, the
// leaves last used) fit well below this, and what is read once gains nothing
// from staying.
const std::size_t kDefaultBound = 16u << 20;

}  // namespace

// The budget's state, one per process. The clients' list is guarded by its own
// lock; the totals are atomic so that charging costs no lock.
struct SBudget {
    std::mutex mtxClients;
    std::vector<CCacheClient*> vClients;
    std::atomic<std::size_t> cbBytes{0};
    std::atomic<std::size_t> cbBound{kDefaultBound};
    std::atomic<std::uint32_t> nTick{0};

    static SBudget& Get()
    {
        static SBudget budget;
        return budget;
    }

    static std::uint64_t Oldest(const CCacheClient* pClient)
    {
        return pClient->m_nOldest.load(std::memory_order_relaxed);
    }
};

std::size_t CCacheClient::GetBudgetBytes()
{
    return SBudget::Get().cbBytes.load(std::memory_order_relaxed);
}

std::size_t CCacheClient::SetBudgetBound(std::size_t cbBytes)
{
    return SBudget::Get().cbBound.exchange(cbBytes, std::memory_order_relaxed);
}

std::size_t CCacheClient::GetBudgetBound()
{
    return SBudget::Get().cbBound.load(std::memory_order_relaxed);
}

void CCacheClient::Join()
{
    if (m_bJoined)
        return;
    SBudget& budget = SBudget::Get();
    std::lock_guard<std::mutex> lock(budget.mtxClients);
    budget.vClients.push_back(this);
    m_bJoined = true;
}

void CCacheClient::Leave()
{
    SBudget& budget = SBudget::Get();
    if (m_bJoined) {
        std::lock_guard<std::mutex> lock(budget.mtxClients);
        budget.vClients.erase(std::find(budget.vClients.begin(), budget.vClients.end(), this));
        m_bJoined = false;
    }
    m_nOldest.store(0, std::memory_order_relaxed);
    budget.cbBytes.fetch_sub(m_cbCharged, std::memory_order_relaxed);
    m_cbCharged = 0;
}

void CCacheClient::Charge(std::size_t cb)
{
    m_cbCharged += cb;
    SBudget::Get().cbBytes.fetch_add(cb, std::memory_order_relaxed);
}

void CCacheClient::Discharge(std::size_t cb)
{
    m_cbCharged -= cb;
    SBudget::Get().cbBytes.fetch_sub(cb, std::memory_order_relaxed);
}

void CCacheClient::PublishOldest(bool bNone, std::uint32_t nTick)
{
    m_nOldest.store(bNone ? 0 : (std::uint64_t{1} << 32) | nTick, std::memory_order_relaxed);
}

std::uint32_t CCacheClient::NextTick()
{
    return SBudget::Get().nTick.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool CCacheClient::IsOverBudget()
{
    const SBudget& budget = SBudget::Get();
    return budget.cbBytes.load(std::memory_order_relaxed) > budget.cbBound.load(std::memory_order_relaxed);
}

bool CCacheClient::TakeFromOthers(bool bNoOwn, std::uint32_t nOwnTick)
{
    SBudget& budget = SBudget::Get();
    std::lock_guard<std::mutex> lock(budget.mtxClients);
    // Clients that could give nothing this time (busy, or their oldest entry is
    // changed or in use) are passed over until the call ends.
    std::vector<CCacheClient*> vPassed;
    while (IsOverBudget()) {
        const std::uint32_t nNow = budget.nTick.load(std::memory_order_relaxed);
        CCacheClient* pVictim = nullptr;
        std::uint32_t nVictimAge = bNoOwn ? 0 : nNow - nOwnTick;
        bool bFound = false;
        for (CCacheClient* pClient : budget.vClients) {
            const std::uint64_t nOldest = SBudget::Oldest(pClient);
            if (pClient == this || nOldest == 0 ||
                std::find(vPassed.begin(), vPassed.end(), pClient) != vPassed.end())
                continue;
            const std::uint32_t nAge = nNow - static_cast<std::uint32_t>(nOldest);
            if (bNoOwn ? (!bFound || nAge > nVictimAge) : nAge > nVictimAge) {
                pVictim = pClient;
                nVictimAge = nAge;
                bFound = true;
            }
        }
        if (pVictim == nullptr)
            return true;
        bool bDropped = false;
        if (pVictim->m_lockEntries.try_lock()) {
            bDropped = pVictim->DropOldestClean();
            pVictim->m_lockEntries.unlock();
        }
        if (!bDropped)
            vPassed.push_back(pVictim);
    }
    return false;
}

}  // namespace velk
