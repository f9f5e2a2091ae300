#include "support/runtime/heap.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/dialog.h"
#include "platform/memory.h"
#include "platform/process.h"

// Layout. A heap owns regions, each one piece of memory from the system (or a
// block of the parent heap). A small-block region is carved from its start
// upwards; a large block has a region of its own. Every block is preceded by an
// eight-byte header:
//
//   offset  size  field
//   -8      4     usable size / 8
//   -4      4     check word: a tag of the block's address, low two bits the state
//                 (0 free, 1 allocated)
//
// so the blocks of a region can be walked from its start to its carving point.
// The bookkeeping of regions (and the table that finds the region of an address)
// lives outside the regions, where no overrun of a block can reach it. Freed
// small blocks go on a list per size class, linked through their first bytes.

namespace {

constexpr size_t kHeader = 8;
constexpr size_t kPage = 4096;
constexpr size_t kDefaultSize = 65536;
constexpr size_t kRegionOverhead = 168;
constexpr size_t kLargeOverhead = 128;
constexpr unsigned kChunkShift = 16;
constexpr uint32_t kStateMask = 3;
constexpr uint32_t kFree = 0;
constexpr uint32_t kAllocated = 1;

// Size classes: 8 to 1024 in steps of 8, then four classes per power of two.
constexpr size_t kExactLimit = 1024;
constexpr size_t kExactClasses = kExactLimit / 8;
constexpr unsigned kTopExponent = 34;  // carved blocks up to 2^34 bytes
constexpr size_t kClassCount = kExactClasses + (kTopExponent - 10) * 4;
// The largest request that can be represented: a carved block's size in units of
// 8 fits the header, and a region with its overhead fits size_t.
constexpr size_t kMaxRequest =
    (sizeof(size_t) >= 8) ? (static_cast<size_t>(1) << kTopExponent) : (SIZE_MAX / 2 - kPage);

unsigned FloorLog2(size_t n)
{
#if defined(__GNUC__)
    return static_cast<unsigned>(sizeof(unsigned long long) * 8 - 1) -
           static_cast<unsigned>(__builtin_clzll(n));
#else
    unsigned r = 0;
    while (n >>= 1)
        ++r;
    return r;
#endif
}

// cb is a multiple of 8 between 8 and kMaxRequest.
size_t ClassOf(size_t cb)
{
    if (cb <= kExactLimit)
        return cb / 8 - 1;
    const unsigned e = FloorLog2(cb - 1);
    const size_t nSub = ((cb - 1) - (static_cast<size_t>(1) << e)) >> (e - 2);
    return kExactClasses + (e - 10) * 4 + nSub;
}

size_t ClassSize(size_t nClass)
{
    if (nClass < kExactClasses)
        return (nClass + 1) * 8;
    const unsigned e = 10 + static_cast<unsigned>((nClass - kExactClasses) / 4);
    const size_t nSub = (nClass - kExactClasses) % 4;
    return (static_cast<size_t>(1) << e) + (nSub + 1) * (static_cast<size_t>(1) << (e - 2));
}

// Rounds up to a multiple of nUnit (a power of two); false on overflow.
bool RoundUp(size_t cb, size_t nUnit, size_t* pResult)
{
    if (cb > SIZE_MAX - (nUnit - 1))
        return false;
    *pResult = (cb + nUnit - 1) & ~(nUnit - 1);
    return true;
}

struct BlockHeader {
    uint32_t nUnits;
    uint32_t nCheck;
};

struct Region {
    Region* pNext = nullptr;  // all regions of the heap, oldest first
    Region* pPrev = nullptr;
    Region* pNextRoom = nullptr;  // regions that still have room at their top
    char* pBase = nullptr;
    size_t cbSize = 0;
    char* pTop = nullptr;  // carving point
    char* pEnd = nullptr;
    bool bLarge = false;
};

// Finds the region of an address: 64 KiB chunks of the address space map to the
// regions that overlap them (several where regions are not chunk-aligned).
// Linear probing with backward-shift deletion.
class CRegionMap {
public:
    ~CRegionMap() { delete[] m_pEntries; }

    // Callers hold the heap's lock, which also guards the one-entry cache: most
    // lookups hit the region of the previous one.
    Region* Find(const void* p)
    {
        const uintptr_t a = reinterpret_cast<uintptr_t>(p);
        if (a - m_last.nBase < m_last.nEnd - m_last.nBase)
            return m_last.pRegion;
        if (m_pEntries == nullptr)
            return nullptr;
        const uintptr_t c = a >> kChunkShift;
        for (size_t i = Home(c);; i = (i + 1) & m_nMask) {
            const Entry& e = m_pEntries[i];
            if (e.pRegion == nullptr)
                return nullptr;
            if (e.nChunk == c && a >= e.nBase && a < e.nEnd) {
                m_last = e;
                return e.pRegion;
            }
        }
    }

    bool Add(Region* pRegion)
    {
        const uintptr_t nBase = reinterpret_cast<uintptr_t>(pRegion->pBase);
        const uintptr_t nEnd = nBase + pRegion->cbSize;
        const size_t nNew = static_cast<size_t>(((nEnd - 1) >> kChunkShift) - (nBase >> kChunkShift)) + 1;
        if (!Reserve(m_nCount + nNew))
            return false;
        for (uintptr_t c = nBase >> kChunkShift; c <= (nEnd - 1) >> kChunkShift; ++c)
            Insert(Entry{c, nBase, nEnd, pRegion});
        return true;
    }

    void Remove(Region* pRegion)
    {
        if (m_last.pRegion == pRegion)
            m_last = Entry{0, 0, 0, nullptr};
        const uintptr_t nBase = reinterpret_cast<uintptr_t>(pRegion->pBase);
        const uintptr_t nEnd = nBase + pRegion->cbSize;
        for (uintptr_t c = nBase >> kChunkShift; c <= (nEnd - 1) >> kChunkShift; ++c) {
            for (size_t i = Home(c);; i = (i + 1) & m_nMask) {
                if (m_pEntries[i].pRegion == nullptr)
                    break;
                if (m_pEntries[i].nChunk == c && m_pEntries[i].pRegion == pRegion) {
                    Erase(i);
                    break;
                }
            }
        }
    }

private:
    struct Entry {
        uintptr_t nChunk;
        uintptr_t nBase;
        uintptr_t nEnd;
        Region* pRegion;
    };

    size_t Home(uintptr_t c) const
    {
        uint64_t h = static_cast<uint64_t>(c) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> 29) & m_nMask;
    }

    bool Reserve(size_t nCount)
    {
        if (m_pEntries != nullptr && nCount * 2 <= m_nMask + 1)
            return true;
        size_t nCapacity = m_pEntries == nullptr ? 64 : (m_nMask + 1);
        while (nCount * 2 > nCapacity) {
            if (nCapacity > SIZE_MAX / 4 / sizeof(Entry))
                return false;
            nCapacity *= 2;
        }
        Entry* pNew = new (std::nothrow) Entry[nCapacity]();
        if (pNew == nullptr)
            return false;
        Entry* pOld = m_pEntries;
        const size_t nOld = pOld == nullptr ? 0 : m_nMask + 1;
        m_pEntries = pNew;
        m_nMask = nCapacity - 1;
        m_nCount = 0;
        for (size_t i = 0; i < nOld; ++i)
            if (pOld[i].pRegion != nullptr)
                Insert(pOld[i]);
        delete[] pOld;
        return true;
    }

    void Insert(const Entry& e)
    {
        size_t i = Home(e.nChunk);
        while (m_pEntries[i].pRegion != nullptr)
            i = (i + 1) & m_nMask;
        m_pEntries[i] = e;
        ++m_nCount;
    }

    void Erase(size_t i)
    {
        size_t j = i;
        for (;;) {
            j = (j + 1) & m_nMask;
            if (m_pEntries[j].pRegion == nullptr)
                break;
            const size_t k = Home(m_pEntries[j].nChunk);
            // Move entry j back into the hole unless its home lies cyclically in (i, j].
            const bool bStays = (i <= j) ? (i < k && k <= j) : (i < k || k <= j);
            if (!bStays) {
                m_pEntries[i] = m_pEntries[j];
                i = j;
            }
        }
        m_pEntries[i] = Entry{0, 0, 0, nullptr};
        --m_nCount;
    }

    Entry* m_pEntries = nullptr;
    Entry m_last = {0, 0, 0, nullptr};
    size_t m_nMask = 0;
    size_t m_nCount = 0;
};

// A recursive lock that is cheap when nobody else holds it: one compare-and-swap
// to take, one store to release. Waiters spin briefly, then yield, then sleep.
class CHeapLock {
public:
    void Lock()
    {
        const uintptr_t nSelf = Self();
        if (m_nOwner.load(std::memory_order_relaxed) == nSelf) {
            ++m_nDepth;
            return;
        }
        for (unsigned nSpin = 0;; ++nSpin) {
            uintptr_t nFree = 0;
            if (m_nOwner.load(std::memory_order_relaxed) == 0 &&
                m_nOwner.compare_exchange_weak(nFree, nSelf, std::memory_order_acquire,
                                               std::memory_order_relaxed))
                break;
            if (nSpin >= 200)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            else if (nSpin >= 50)
                std::this_thread::yield();
        }
        m_nDepth = 1;
    }

    void Unlock()
    {
        if (--m_nDepth == 0)
            m_nOwner.store(0, std::memory_order_release);
    }

private:
    static uintptr_t Self()
    {
        static thread_local char t_cTag;
        return reinterpret_cast<uintptr_t>(&t_cTag);
    }

    std::atomic<uintptr_t> m_nOwner{0};
    unsigned m_nDepth = 0;
};

std::atomic<uint32_t> g_nGlobalFlags{0};
std::atomic<VOKNOMEMORYPROC> g_pfnNoMemory{nullptr};
std::atomic<VOKQUESTIONPROC> g_pfnQuestion{nullptr};
std::atomic<VOKDEBUGOUTPUTPROC> g_pfnDebugOutput{nullptr};
std::atomic<int (*)(size_t)> g_pfnRegionFault{nullptr};
std::atomic<HVOKHEAP> g_hGlobalHeap{nullptr};
std::atomic<uint32_t> g_nSecretSeed{0x6A09E667u};

}  // namespace

struct VOKHEAP_ {
    std::atomic<long> nUse{1};
    uint32_t nFlags = 0;
    uint32_t nSecret = 0;
    size_t cbInitial = kDefaultSize;
    size_t cbGrowth = kDefaultSize;
    HVOKHEAP pParent = nullptr;
    CHeapLock lock;
    Region* pFirst = nullptr;
    Region* pLast = nullptr;
    Region* pRoomFirst = nullptr;
    Region* pRoomLast = nullptr;
    void* apFree[kClassCount] = {};
    CRegionMap map;
    size_t nBlocks = 0;
    bool bDamaged = false;
};

namespace {

uint32_t Tag(const VOKHEAP_* h, const void* p)
{
    const uint64_t a = reinterpret_cast<uintptr_t>(p);
    uint32_t x = static_cast<uint32_t>(a >> 3) ^ static_cast<uint32_t>(a >> 32) ^ h->nSecret;
    x *= 0x9E3779B1u;
    return (x ^ (x >> 16)) & ~kStateMask;
}

BlockHeader* HeaderOf(const void* p)
{
    return reinterpret_cast<BlockHeader*>(const_cast<char*>(static_cast<const char*>(p)) - kHeader);
}

void SetHeader(const VOKHEAP_* h, void* p, size_t cbBlock, uint32_t nState)
{
    BlockHeader* pHeader = HeaderOf(p);
    pHeader->nUnits = static_cast<uint32_t>(cbBlock / 8);
    pHeader->nCheck = Tag(h, p) | nState;
}

// True when the header before p is intact and in state nState.
bool HeaderIs(const VOKHEAP_* h, const void* p, uint32_t nState)
{
    const BlockHeader* pHeader = HeaderOf(p);
    return pHeader->nCheck == (Tag(h, p) | nState) && pHeader->nUnits != 0;
}

class CLockScope {
public:
    CLockScope(VOKHEAP_* h, bool bLock) : m_h(bLock ? h : nullptr)
    {
        if (m_h != nullptr)
            m_h->lock.Lock();
    }
    ~CLockScope()
    {
        if (m_h != nullptr)
            m_h->lock.Unlock();
    }
    CLockScope(const CLockScope&) = delete;
    CLockScope& operator=(const CLockScope&) = delete;

private:
    VOKHEAP_* m_h;
};

uint32_t EffectiveFlags(const VOKHEAP_* h, uint32_t nFlags)
{
    return nFlags | h->nFlags | g_nGlobalFlags.load(std::memory_order_relaxed);
}

HVOKHEAP Resolve(HVOKHEAP h)
{
    if (h != nullptr)
        return h;
    h = g_hGlobalHeap.load(std::memory_order_acquire);
    return h != nullptr ? h : vokGetGlobalHeap();
}

// The exhaustion procedure after a failed attempt. True means try again.
bool RetryAfterExhaustion(uint32_t nFlags, int nAttempt)
{
    if (VOKNOMEMORYPROC pfn = g_pfnNoMemory.load())
        return pfn(nAttempt) != 0;
    if (nFlags & kVokHeapNoQuestion)
        return false;
    static const char kTitle[] = "◆ VOK メモリアロケーション ◆";
    static const char kText[] =
        "メモリ確保に失敗しました。\n他のアプリケーションで使用しているメモリを解放してください。\n"
        "メモリ確保を再実行しますか？";
    if (VOKQUESTIONPROC pfn = g_pfnQuestion.load())
        return pfn(kTitle, kText) != 0;
    return platform::AskYesNo(kTitle, kText);
}

void LinkRoom(VOKHEAP_* h, Region* r)
{
    r->pNextRoom = nullptr;
    if (h->pRoomLast != nullptr)
        h->pRoomLast->pNextRoom = r;
    else
        h->pRoomFirst = r;
    h->pRoomLast = r;
}

void LinkRegion(VOKHEAP_* h, Region* r)
{
    r->pPrev = h->pLast;
    if (h->pLast != nullptr)
        h->pLast->pNext = r;
    else
        h->pFirst = r;
    h->pLast = r;
}

void UnlinkRegion(VOKHEAP_* h, Region* r)
{
    (r->pPrev != nullptr ? r->pPrev->pNext : h->pFirst) = r->pNext;
    (r->pNext != nullptr ? r->pNext->pPrev : h->pLast) = r->pPrev;
}

void ReleaseMemory(VOKHEAP_* h, Region* r)
{
    if (h->pParent != nullptr)
        vokHeapFree(h->pParent, r->pBase, 0);
    else
        platform::MemoryRelease(r->pBase, r->cbSize);
}

// One attempt to get a region of cbRegion bytes with its bookkeeping.
Region* TryNewRegion(VOKHEAP_* h, size_t cbRegion, uint32_t nFlags)
{
    if (int (*pfn)(size_t) = g_pfnRegionFault.load())
        if (pfn(cbRegion) != 0)
            return nullptr;
    Region* r = new (std::nothrow) Region;
    if (r == nullptr)
        return nullptr;
    // A parent runs its own exhaustion procedure; it gets the question flag only.
    void* p = h->pParent != nullptr
                  ? vokHeapAllocate(h->pParent, cbRegion, nFlags & kVokHeapNoQuestion)
                  : platform::MemoryAllocate(cbRegion);
    if (p == nullptr) {
        delete r;
        return nullptr;
    }
    r->pBase = static_cast<char*>(p);
    r->cbSize = cbRegion;
    r->pTop = r->pBase;
    r->pEnd = r->pBase + cbRegion;
    if (!h->map.Add(r)) {
        ReleaseMemory(h, r);
        delete r;
        return nullptr;
    }
    return r;
}

Region* NewRegion(VOKHEAP_* h, size_t cbRegion, uint32_t nFlags)
{
    for (int nAttempt = 0;; ++nAttempt) {
        if (Region* r = TryNewRegion(h, cbRegion, nFlags))
            return r;
        if (h->pParent != nullptr || !RetryAfterExhaustion(nFlags, nAttempt))
            return nullptr;
    }
}

// Carves cbBlock bytes plus header from the first region with room, or from a new
// region. A region whose remaining room is too small to be useful hands it to the
// free lists and leaves the room list.
void* Carve(VOKHEAP_* h, size_t cbBlock, uint32_t nFlags)
{
    const size_t cbNeed = cbBlock + kHeader;
    Region* pPrevRoom = nullptr;
    Region* r = h->pRoomFirst;
    while (r != nullptr && static_cast<size_t>(r->pEnd - r->pTop) < cbNeed) {
        pPrevRoom = r;
        r = r->pNextRoom;
    }
    if (r == nullptr) {
        const bool bFirst = h->pFirst == nullptr;
        size_t cbRegion;
        if (!RoundUp(cbNeed + kRegionOverhead, kPage, &cbRegion))
            return nullptr;
        if (h->pParent == nullptr) {
            const size_t cbMinimum = bFirst ? h->cbInitial : h->cbGrowth;
            if (cbRegion < cbMinimum)
                cbRegion = cbMinimum;
        }
        r = NewRegion(h, cbRegion, nFlags);
        if (r == nullptr)
            return nullptr;
        LinkRegion(h, r);
        pPrevRoom = h->pRoomLast;
        LinkRoom(h, r);
    }
    void* p = r->pTop + kHeader;
    r->pTop += cbNeed;
    SetHeader(h, p, cbBlock, kAllocated);

    const size_t cbLeft = static_cast<size_t>(r->pEnd - r->pTop);
    if (cbLeft < 256) {
        // Unlink from the room list; the remainder becomes one free block.
        (pPrevRoom != nullptr ? pPrevRoom->pNextRoom : h->pRoomFirst) = r->pNextRoom;
        if (h->pRoomLast == r)
            h->pRoomLast = pPrevRoom;
        if (cbLeft >= kHeader + 8) {
            const size_t cbRest = (cbLeft - kHeader) & ~static_cast<size_t>(7);
            void* q = r->pTop + kHeader;
            r->pTop += kHeader + cbRest;
            SetHeader(h, q, cbRest, kFree);
            const size_t nClass = ClassOf(cbRest);
            *static_cast<void**>(q) = h->apFree[nClass];
            h->apFree[nClass] = q;
        }
    }
    return p;
}

// The allocation-failure switch; unarmed it costs one relaxed load per allocation.
std::atomic<bool> g_bFailSwitchArmed{false};
std::atomic<size_t> g_nAllocationsCounted{0};
std::atomic<size_t> g_nAllocationToFail{0};

// A hint to the processor only: it never faults, whatever p is. Always inlined:
// as a function of its own the compiler may find that it does nothing.
#if defined(__GNUC__)
__attribute__((always_inline)) inline void PrefetchHeader(const void* p)
{
    if (p != nullptr)
        __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) - kHeader));
}
#else
inline void PrefetchHeader(const void*)
{
}
#endif

bool SwitchFailsThisAllocation()
{
    if (!g_bFailSwitchArmed.load(std::memory_order_relaxed))
        return false;
    return ++g_nAllocationsCounted == g_nAllocationToFail.load();
}

void* AllocateLocked(VOKHEAP_* h, size_t cb, uint32_t nFlags)
{
    if (SwitchFailsThisAllocation())
        return nullptr;
    if (cb > kMaxRequest)
        return nullptr;  // cannot be represented; no retry could help
    const size_t cb8 = cb == 0 ? 8 : (cb + 7) & ~static_cast<size_t>(7);
    void* p;
    size_t cbBlock;
    if (h->pParent != nullptr || cb8 < h->cbGrowth / 2) {
        const size_t nClass = ClassOf(cb8);
        cbBlock = ClassSize(nClass);
        p = h->apFree[nClass];
        if (p != nullptr) {
            // The link lives in freed memory: trust it only when it leads to a
            // free block of this class inside one of our regions.
            void* pNext = *static_cast<void**>(p);
            if (pNext != nullptr &&
                (h->map.Find(pNext) == nullptr || !HeaderIs(h, pNext, kFree) ||
                 HeaderOf(pNext)->nUnits != cbBlock / 8)) {
                h->bDamaged = true;
                pNext = nullptr;
            }
            h->apFree[nClass] = pNext;
            HeaderOf(p)->nCheck = Tag(h, p) | kAllocated;
            // The next allocation of this class checks the header of the block
            // after pNext; freed blocks lie anywhere, so that header is fetched now,
            // while the caller works, instead of stalling that allocation.
            if (pNext != nullptr)
                PrefetchHeader(*static_cast<void**>(pNext));
        } else {
            p = Carve(h, cbBlock, nFlags);
            if (p == nullptr)
                return nullptr;
        }
    } else {
        size_t cbRegion;
        if (!RoundUp(cb8 + kLargeOverhead, kPage, &cbRegion))
            return nullptr;
        Region* r = NewRegion(h, cbRegion, nFlags);
        if (r == nullptr)
            return nullptr;
        r->bLarge = true;
        LinkRegion(h, r);
        p = r->pBase + kHeader;
        r->pTop = r->pBase + kHeader + cb8;
        cbBlock = cb8;
        SetHeader(h, p, cbBlock, kAllocated);
    }
    if (nFlags & kVokHeapZeroFill)
        std::memset(p, 0, cbBlock);
    ++h->nBlocks;
    return p;
}

// The region of an allocated block p, or null when p is not one.
Region* FindBlock(VOKHEAP_* h, const void* p)
{
    if (p == nullptr || (reinterpret_cast<uintptr_t>(p) & 7) != 0)
        return nullptr;
    Region* r = h->map.Find(p);
    if (r == nullptr)
        return nullptr;
    const char* pc = static_cast<const char*>(p);
    if (pc < r->pBase + kHeader || pc >= r->pTop)
        return nullptr;
    if (r->bLarge && pc != r->pBase + kHeader)
        return nullptr;
    if (!HeaderIs(h, p, kAllocated))
        return nullptr;
    return r;
}

size_t BlockSize(const void* p)
{
    return static_cast<size_t>(HeaderOf(p)->nUnits) * 8;
}

void FreeBlock(VOKHEAP_* h, Region* r, void* p)
{
    --h->nBlocks;
    if (r->bLarge) {
        UnlinkRegion(h, r);
        h->map.Remove(r);
        ReleaseMemory(h, r);
        delete r;
        return;
    }
    const size_t cbBlock = BlockSize(p);
    HeaderOf(p)->nCheck = Tag(h, p) | kFree;
    const size_t nClass = ClassOf(cbBlock);
    *static_cast<void**>(p) = h->apFree[nClass];
    h->apFree[nClass] = p;
}

// Calls pfn(p, cb) for every allocated block; false when a damaged header stopped
// the walk of some region.
template <typename F>
bool WalkBlocks(VOKHEAP_* h, F pfn)
{
    bool bIntact = true;
    for (Region* r = h->pFirst; r != nullptr; r = r->pNext) {
        if (r->bLarge) {
            char* p = r->pBase + kHeader;
            if (HeaderIs(h, p, kAllocated)) {
                if (!pfn(p, BlockSize(p)))
                    return bIntact;
            } else {
                bIntact = false;
            }
            continue;
        }
        for (char* q = r->pBase; q + kHeader <= r->pTop;) {
            char* p = q + kHeader;
            const size_t cb = BlockSize(p);
            const bool bAllocated = HeaderIs(h, p, kAllocated);
            if (cb == 0 || cb > static_cast<size_t>(r->pTop - p) ||
                (!bAllocated && !HeaderIs(h, p, kFree))) {
                bIntact = false;
                break;
            }
            if (bAllocated && !pfn(p, cb))
                return bIntact;
            q = p + cb;
        }
    }
    return bIntact;
}

void DestroyHeap(VOKHEAP_* h)
{
    for (Region* r = h->pFirst; r != nullptr;) {
        Region* pNext = r->pNext;
        ReleaseMemory(h, r);
        delete r;
        r = pNext;
    }
    HVOKHEAP pParent = h->pParent;
    delete h;
    if (pParent != nullptr)
        vokHeapDestroy(pParent);
}

}  // namespace

void VokDebugOutput(const char* szText)
{
    if (VOKDEBUGOUTPUTPROC pfn = g_pfnDebugOutput.load())
        pfn(szText);
    else
        platform::DebugOutput(szText);
}

extern "C" {

HVOKHEAP vokHeapCreate(size_t cbInitial, size_t cbGrowth, uint32_t nFlags, HVOKHEAP hParent)
{
    if (!RoundUp(cbInitial == 0 ? kDefaultSize : cbInitial, kPage, &cbInitial) ||
        !RoundUp(cbGrowth == 0 ? kDefaultSize : cbGrowth, kPage, &cbGrowth))
        return nullptr;
    VOKHEAP_* h = new (std::nothrow) VOKHEAP_;
    if (h == nullptr)
        return nullptr;
    h->nFlags = nFlags;
    h->cbInitial = cbInitial;
    h->cbGrowth = cbGrowth;
    h->nSecret = g_nSecretSeed.fetch_add(0x9E3779B9u) ^
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h) >> 4);
    if (hParent != nullptr) {
        hParent->nUse.fetch_add(1);
        h->pParent = hParent;
    }
    return h;
}

void vokHeapDestroy(HVOKHEAP hHeap)
{
    if (hHeap != nullptr && hHeap->nUse.fetch_sub(1) == 1)
        DestroyHeap(hHeap);
}

void* vokHeapAllocate(HVOKHEAP hHeap, size_t cb, uint32_t nFlags)
{
    VOKHEAP_* h = Resolve(hHeap);
    if (h == nullptr)
        return nullptr;
    nFlags = EffectiveFlags(h, nFlags);
    CLockScope lock(h, !(nFlags & kVokHeapNoLock));
    return AllocateLocked(h, cb, nFlags);
}

void vokHeapFree(HVOKHEAP hHeap, void* p, uint32_t nFlags)
{
    if (p == nullptr)
        return;
    VOKHEAP_* h = hHeap != nullptr ? hHeap : g_hGlobalHeap.load(std::memory_order_acquire);
    if (h == nullptr)
        return;
    CLockScope lock(h, !(EffectiveFlags(h, nFlags) & kVokHeapNoLock));
    if (Region* r = FindBlock(h, p))
        FreeBlock(h, r, p);
}

void* vokHeapReallocate(HVOKHEAP hHeap, void* p, size_t cb, uint32_t nFlags)
{
    if (p == nullptr)
        return vokHeapAllocate(hHeap, cb, nFlags);
    VOKHEAP_* h = hHeap != nullptr ? hHeap : g_hGlobalHeap.load(std::memory_order_acquire);
    if (h == nullptr)
        return nullptr;
    nFlags = EffectiveFlags(h, nFlags);
    CLockScope lock(h, !(nFlags & kVokHeapNoLock));
    Region* r = FindBlock(h, p);
    if (r == nullptr || cb > kMaxRequest)
        return nullptr;
    const size_t cbOld = BlockSize(p);
    const size_t cb8 = cb == 0 ? 8 : (cb + 7) & ~static_cast<size_t>(7);
    if (cb8 <= cbOld) {
        // Keep the block unless that would waste most of it.
        const bool bKeep = r->bLarge ? cb8 > cbOld / 2 : ClassOf(cb8) == ClassOf(cbOld);
        if (bKeep)
            return p;
    }
    void* q = AllocateLocked(h, cb8, nFlags);
    if (q == nullptr)
        return nullptr;
    std::memcpy(q, p, cb8 < cbOld ? cb8 : cbOld);
    FreeBlock(h, r, p);
    return q;
}

size_t vokHeapGetLength(HVOKHEAP hHeap, const void* p)
{
    VOKHEAP_* h = hHeap != nullptr ? hHeap : g_hGlobalHeap.load(std::memory_order_acquire);
    if (h == nullptr || p == nullptr)
        return 0;
    CLockScope lock(h, !(EffectiveFlags(h, 0) & kVokHeapNoLock));
    return FindBlock(h, p) != nullptr ? BlockSize(p) : 0;
}

void vokHeapLock(HVOKHEAP hHeap)
{
    if (VOKHEAP_* h = Resolve(hHeap))
        h->lock.Lock();
}

void vokHeapUnlock(HVOKHEAP hHeap)
{
    if (VOKHEAP_* h = Resolve(hHeap))
        h->lock.Unlock();
}

uint32_t vokHeapGetGlobalFlag()
{
    return g_nGlobalFlags.load();
}

void vokHeapSetGlobalFlag(uint32_t nFlags)
{
    g_nGlobalFlags.store(nFlags);
}

VOKNOMEMORYPROC vokHeapHookNoMemory(VOKNOMEMORYPROC pfn)
{
    return g_pfnNoMemory.exchange(pfn);
}

VOKQUESTIONPROC vokHeapHookQuestion(VOKQUESTIONPROC pfn)
{
    return g_pfnQuestion.exchange(pfn);
}

VOKDEBUGOUTPUTPROC vokHookDebugOutput(VOKDEBUGOUTPUTPROC pfn)
{
    return g_pfnDebugOutput.exchange(pfn);
}

void vokHeapHookRegionFault(int (*pfn)(size_t cbRegion))
{
    g_pfnRegionFault.store(pfn);
}

void vokHeapDump(HVOKHEAP hHeap, int nMaximum)
{
    VOKHEAP_* h = hHeap != nullptr ? hHeap : g_hGlobalHeap.load(std::memory_order_acquire);
    if (h == nullptr)
        return;
    CLockScope lock(h, true);
    int nWritten = 0;
    WalkBlocks(h, [&](const char* p, size_t cb) {
        if (nWritten == 0)
            VokDebugOutput("VOK の解放されていないメモリブロックがあります\n");
        if (nWritten >= nMaximum)
            return false;
        char szLine[128];
        int n = std::snprintf(szLine, sizeof(szLine), "block %0*" PRIXPTR "H (%" PRIuPTR " bytes) :",
                              static_cast<int>(sizeof(void*) * 2), reinterpret_cast<uintptr_t>(p),
                              static_cast<uintptr_t>(cb));
        // Only the block's own bytes: a block of 8 shows 8.
        for (size_t i = 0; i < 16 && i < cb; ++i)
            n += std::snprintf(szLine + n, sizeof(szLine) - static_cast<size_t>(n), " %02X",
                               static_cast<unsigned char>(p[i]));
        std::snprintf(szLine + n, sizeof(szLine) - static_cast<size_t>(n), "\n");
        VokDebugOutput(szLine);
        ++nWritten;
        return true;
    });
}

HVOKHEAP vokGetGlobalHeap()
{
    HVOKHEAP h = g_hGlobalHeap.load(std::memory_order_acquire);
    if (h != nullptr)
        return h;
    static std::mutex s_mtx;
    std::lock_guard<std::mutex> guard(s_mtx);
    h = g_hGlobalHeap.load(std::memory_order_acquire);
    if (h == nullptr) {
        h = vokHeapCreate(0, 0, 0, nullptr);
        g_hGlobalHeap.store(h, std::memory_order_release);
    }
    return h;
}

void vokFreeGlobalHeap()
{
    HVOKHEAP h = g_hGlobalHeap.exchange(nullptr);
    if (h == nullptr)
        return;
    vokHeapDump(h, 100);
    vokHeapDestroy(h);
}

VOKRESULT vokVerifyHeapChain(HVOKHEAP hHeap)
{
    VOKHEAP_* h = hHeap != nullptr ? hHeap : g_hGlobalHeap.load(std::memory_order_acquire);
    if (h == nullptr)
        return kVokOk;
    CLockScope lock(h, true);
    size_t nBlocks = 0;
    const bool bIntact = WalkBlocks(h, [&](const char*, size_t) {
        ++nBlocks;
        return true;
    });
    return bIntact && !h->bDamaged && nBlocks == h->nBlocks ? kVokOk : kVokError;
}

size_t vokHeapGetBlockCount(HVOKHEAP hHeap)
{
    VOKHEAP_* h = hHeap != nullptr ? hHeap : g_hGlobalHeap.load(std::memory_order_acquire);
    if (h == nullptr)
        return 0;
    CLockScope lock(h, true);
    return h->nBlocks;
}

void vokHeapFailAllocation(size_t nCount)
{
    g_bFailSwitchArmed = false;
    g_nAllocationsCounted = 0;
    g_nAllocationToFail = nCount;
    g_bFailSwitchArmed = nCount != 0;
}

size_t vokHeapGetAllocationCount()
{
    return g_nAllocationsCounted.load();
}

}  // extern "C"
