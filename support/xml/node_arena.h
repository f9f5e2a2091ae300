// CNodeArena: the memory of the nodes and attribute blocks that the reader makes.
// A document of many small nodes would otherwise take two or three blocks of the
// library heap per element; an arena carves them from larger chunks of that heap
// instead, one after the other.
//
// Every block handed out here, from an arena or not, can be given back on its
// own with Free, at any time and in any order, also after the arena is gone: a
// chunk counts the blocks carved from it that are still in use and goes back to
// the heap with the last of them (and not before the arena has moved on from it).
// A block given back inside a chunk is not reused; it waits for its neighbours.
// A node detached from a tree read through an arena, kept by another tree or
// deleted on its own, therefore behaves as any other.
//
// An arena serves the thread that made it, from its construction to its
// destruction (the reader keeps one for the length of a read); arenas made
// inside that time serve until they go and then hand back to the outer one.
// Without an arena, Allocate takes a block of the heap of its own.
#pragma once

#include <cstddef>

class CNodeArena {
public:
    CNodeArena();
    // Lets go of the chunk being carved; its blocks stay valid.
    ~CNodeArena();
    CNodeArena(const CNodeArena&) = delete;
    CNodeArena& operator=(const CNodeArena&) = delete;

    // A block of at least cb bytes, 8-byte aligned: carved by the calling
    // thread's arena when it has one, else a block of the library heap. Null when
    // memory runs out.
    static void* Allocate(size_t cb);
    // Gives back a block from Allocate; null is ignored. Any thread may call it
    // for a block that no other thread uses.
    static void Free(void* p);
    // Tells the calling thread's arena that the block p of cbOld bytes needs only
    // its first cbNew (cbNew <= cbOld): when it is the block that arena carved
    // last, the rest is carved again for the next one. Any other block keeps its
    // size. A block may be allocated large enough for the worst case and then
    // trimmed to what it holds.
    static void Shrink(void* p, size_t cbOld, size_t cbNew);

private:
    struct Chunk;

    void* Carve(size_t cb);
    // Stops carving the current chunk and drops the arena's hold on it.
    void Close();

    CNodeArena* m_pOuter;
    Chunk* m_pChunk = nullptr;
    char* m_pNext = nullptr;
    size_t m_cbLeft = 0;
    size_t m_nCarved = 0;
};
