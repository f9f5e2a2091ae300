#include "support/xml/node_arena.h"

#include <atomic>
#include <cstdint>
#include <new>

#include "support/runtime/object.h"

// Every block is preceded by eight bytes that name its chunk, or null for a block
// of the heap of its own. A chunk's count of blocks in use starts at kOpen while
// the arena carves it, so that no count taken on another thread can reach zero
// before the arena is done; closing it takes off kOpen less the blocks carved.
// Carving itself touches no shared count.
struct CNodeArena::Chunk {
    std::atomic<size_t> nLive;
};

namespace {

// Eight bytes on every target, so that blocks stay 8-byte aligned.
constexpr size_t kHead = 8;
constexpr size_t kChunkHead = 8;
static_assert(sizeof(std::atomic<size_t>) <= kChunkHead, "a chunk's count fits its head");
// Chunks are carved from the heap's regions like any small block (the heap gives
// a block of half a region or more a region of its own, which costs a call to the
// system); a request above a quarter of a chunk gets a chunk of its own.
constexpr size_t kChunkBytes = 16384;
constexpr size_t kOpen = SIZE_MAX / 2;

thread_local CNodeArena* t_pCurrent = nullptr;

void*& ChunkOf(void* pBlock)
{
    return *reinterpret_cast<void**>(static_cast<char*>(pBlock) - kHead);
}

}  // namespace

CNodeArena::CNodeArena() : m_pOuter(t_pCurrent)
{
    t_pCurrent = this;
}

CNodeArena::~CNodeArena()
{
    Close();
    t_pCurrent = m_pOuter;
}

void* CNodeArena::Allocate(size_t cb)
{
    if (t_pCurrent != nullptr)
        return t_pCurrent->Carve(cb);
    if (cb > SIZE_MAX - kHead)
        return nullptr;
    char* p = static_cast<char*>(vokAllocate(cb + kHead));
    if (p == nullptr)
        return nullptr;
    p += kHead;
    ChunkOf(p) = nullptr;
    return p;
}

void CNodeArena::Free(void* p)
{
    if (p == nullptr)
        return;
    void* pChunk = ChunkOf(p);
    if (pChunk == nullptr) {
        vokFree(static_cast<char*>(p) - kHead);
        return;
    }
    Chunk* c = static_cast<Chunk*>(pChunk);
    if (c->nLive.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        c->~Chunk();
        vokFree(c);
    }
}

void CNodeArena::Shrink(void* p, size_t cbOld, size_t cbNew)
{
    CNodeArena* pArena = t_pCurrent;
    if (pArena == nullptr || p == nullptr || pArena->m_pChunk == nullptr || cbNew > cbOld ||
        cbOld > SIZE_MAX / 2 || ChunkOf(p) != pArena->m_pChunk)
        return;
    const size_t cbOldBlock = (cbOld + 7) & ~static_cast<size_t>(7);
    const size_t cbNewBlock = (cbNew + 7) & ~static_cast<size_t>(7);
    if (static_cast<char*>(p) + cbOldBlock != pArena->m_pNext)
        return;
    pArena->m_pNext -= cbOldBlock - cbNewBlock;
    pArena->m_cbLeft += cbOldBlock - cbNewBlock;
}

void* CNodeArena::Carve(size_t cb)
{
    if (cb > SIZE_MAX / 2)
        return nullptr;
    const size_t cbBlock = kHead + ((cb + 7) & ~static_cast<size_t>(7));
    if (cbBlock > m_cbLeft) {
        if (cbBlock > kChunkBytes / 4) {
            // A chunk of its own, done with as soon as the block is given back.
            void* pMemory = vokAllocate(kChunkHead + cbBlock);
            if (pMemory == nullptr)
                return nullptr;
            Chunk* c = new (pMemory) Chunk;
            c->nLive.store(1, std::memory_order_relaxed);
            char* p = static_cast<char*>(pMemory) + kChunkHead + kHead;
            ChunkOf(p) = c;
            return p;
        }
        void* pMemory = vokAllocate(kChunkBytes);
        if (pMemory == nullptr)
            return nullptr;
        Close();
        m_pChunk = new (pMemory) Chunk;
        m_pChunk->nLive.store(kOpen, std::memory_order_relaxed);
        m_pNext = static_cast<char*>(pMemory) + kChunkHead;
        m_cbLeft = kChunkBytes - kChunkHead;
        m_nCarved = 0;
    }
    char* p = m_pNext + kHead;
    ChunkOf(p) = m_pChunk;
    m_pNext += cbBlock;
    m_cbLeft -= cbBlock;
    ++m_nCarved;
    return p;
}

void CNodeArena::Close()
{
    if (m_pChunk == nullptr)
        return;
    const size_t nHold = kOpen - m_nCarved;
    if (m_pChunk->nLive.fetch_sub(nHold, std::memory_order_acq_rel) == nHold) {
        m_pChunk->~Chunk();
        vokFree(m_pChunk);
    }
    m_pChunk = nullptr;
    m_pNext = nullptr;
    m_cbLeft = 0;
    m_nCarved = 0;
}
