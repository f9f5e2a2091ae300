// The library heap. Every library object and string buffer comes from here. A
// heap hands out blocks of 8-byte granularity from regions it takes from the
// operating system (or from a parent heap); freed blocks are kept in lists by
// size class and reused, a large block gets a region of its own that goes back
// to the system when the block is freed, and destroying a heap returns all of its
// memory.
//
// When a region cannot be obtained the heap runs its exhaustion procedure: the
// hook installed with vokHeapHookNoMemory decides (nonzero retries), otherwise a
// heap or global flag kVokHeapNoQuestion fails at once, otherwise the user is
// asked whether to retry. A request whose size cannot even be represented fails at
// once.
//
// Each heap has a recursive lock held for every call, unless kVokHeapNoLock
// applies; vokHeapLock lets a caller hold it across several calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/runtime/result.h"

struct VOKHEAP_;
typedef VOKHEAP_* HVOKHEAP;  // null selects the global heap

enum : uint32_t {
    kVokHeapZeroFill = 1,    // allocated blocks are filled with zero bytes
    kVokHeapNoLock = 2,      // the heap is used by one thread only
    kVokHeapNoQuestion = 4,  // exhaustion fails at once instead of asking the user
};

// Called when memory is exhausted with the number of earlier attempts (0, 1, ...);
// a nonzero answer retries.
typedef int (*VOKNOMEMORYPROC)(int nAttempt);
// Asks the user whether to retry after exhaustion; nonzero means yes.
typedef int (*VOKQUESTIONPROC)(const char* szTitle, const char* szText);
// Receives the heap's debugger-output texts (the leak dump, shut-down messages).
typedef void (*VOKDEBUGOUTPUTPROC)(const char* szText);

extern "C" {

// A new heap. Sizes are rounded up to multiples of 4096, and 0 means 65536. With a
// parent heap, regions are blocks of the parent (whose use count rises), and
// every block is carved from regions. Returns null on failure.
HVOKHEAP vokHeapCreate(size_t cbInitial, size_t cbGrowth, uint32_t nFlags, HVOKHEAP hParent);
// Drops one use of the heap; the last one returns all of its memory.
void vokHeapDestroy(HVOKHEAP hHeap);

// A block of at least cb bytes (0 gives 8). nFlags add to the heap's and the
// global flags. Returns null on failure.
void* vokHeapAllocate(HVOKHEAP hHeap, size_t cb, uint32_t nFlags);
// Returns a block. A null pointer, or one that is not an allocated block of the
// heap, is ignored.
void vokHeapFree(HVOKHEAP hHeap, void* p, uint32_t nFlags);
// Resizes a block, keeping its contents up to the smaller size; a null pointer
// allocates. Returns the block, possibly moved, or null on failure (the old block
// is then unchanged) or when p is not a block of the heap.
void* vokHeapReallocate(HVOKHEAP hHeap, void* p, size_t cb, uint32_t nFlags);
// The usable size of a block; 0 for a pointer that is not an allocated block.
size_t vokHeapGetLength(HVOKHEAP hHeap, const void* p);

void vokHeapLock(HVOKHEAP hHeap);
void vokHeapUnlock(HVOKHEAP hHeap);

uint32_t vokHeapGetGlobalFlag();
void vokHeapSetGlobalFlag(uint32_t nFlags);

// Installs the exhaustion hook (null removes it); returns the previous one.
VOKNOMEMORYPROC vokHeapHookNoMemory(VOKNOMEMORYPROC pfn);

// Writes up to nMaximum allocated blocks of the heap to the debugger output: a
// heading line before the first, then one line per block with its address, size
// and first bytes.
void vokHeapDump(HVOKHEAP hHeap, int nMaximum);

// The global heap, created when missing. Null only when it cannot be created.
HVOKHEAP vokGetGlobalHeap();
// Dumps up to 100 leaked blocks of the global heap and destroys it.
void vokFreeGlobalHeap();

// Walks the heap's regions and blocks and checks that every block header is
// intact. Returns kVokOk, or kVokError when the heap is damaged.
VOKRESULT vokVerifyHeapChain(HVOKHEAP hHeap);

// The number of allocated blocks of the heap (tests compare it before and after).
size_t vokHeapGetBlockCount(HVOKHEAP hHeap);

// Replaces the question asked on exhaustion (null restores the user question);
// returns the previous replacement. For tests and for programs without a user.
VOKQUESTIONPROC vokHeapHookQuestion(VOKQUESTIONPROC pfn);
// Replaces where debugger-output texts go (null restores the debugger output);
// returns the previous replacement.
VOKDEBUGOUTPUTPROC vokHookDebugOutput(VOKDEBUGOUTPUTPROC pfn);
// Makes region requests fail while pfn returns nonzero for the region size, so
// tests reach the exhaustion procedure (null removes it).
void vokHeapHookRegionFault(int (*pfn)(size_t cbRegion));

// Memory running out, for tests: the nCount-th allocation from now (counting
// every allocation and every reallocation that needs a new block, in all heaps)
// fails as exhaustion does, once, without the exhaustion procedure. 0 disarms;
// arming with SIZE_MAX only counts.
void vokHeapFailAllocation(size_t nCount);
// The allocations counted since the switch was last armed.
size_t vokHeapGetAllocationCount();

}  // extern "C"

// Writes a text to the debugger output, or to the hook installed above.
void VokDebugOutput(const char* szText);
