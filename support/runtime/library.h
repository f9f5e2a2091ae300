// Start-up and shut-down of the support library, the per-thread task records, the
// image heap and the processor-feature mask.
//
// mvbInitializeLibrary and mvbCloseLibrary nest: only the first initialisation
// creates the heaps and only the last close releases them (dumping leaked blocks
// to the debugger output first). The fault report lives above this library; the
// program hands its installer to mvbHookFaultReport before the first
// mvbInitializeLibrary, and every thread's first mvbInitializeTask runs it.
#pragma once

#include <cstdint>

#include "support/runtime/heap.h"
#include "support/runtime/result.h"

// A thread's task record: its use count and a cleanup called when the thread's
// last mvbCloseTask releases the record.
struct VOKTASKRECORD {
    long nUseCount;
    void (*pfnCleanup)(VOKTASKRECORD* pTask);
    void* pCleanupData;
};

enum : uint32_t {
    kVokProcessorMMX = 0x02,
    kVokProcessorSSE = 0x08,
    kVokProcessorSSE2 = 0x10,
    kVokProcessorSSE3 = 0x20,
};

extern "C" {

// Counts one use of the library; the first creates the global and image heaps,
// detects the processor features, initialises the calling thread's task and asks
// for a 1 ms timer resolution. Returns kVokOk, or kVokError when a heap cannot be
// created.
VOKRESULT mvbInitializeLibrary();
// Drops one use; the last releases the calling thread's task record, dumps the
// blocks the global and image heaps still hold and destroys both. Damage found in
// the heaps is reported to the debugger output and shut-down completes anyway.
VOKRESULT mvbCloseLibrary();
// The number of uses of the library.
long mvbGetLibraryUseCount();

// Gives the calling thread a task record, or counts one more use of it; the first
// use runs the fault-report installer. Returns kVokOk or kVokError.
VOKRESULT mvbInitializeTask();
// Drops one use of the thread's record; the last calls its cleanup and frees it.
VOKRESULT mvbCloseTask();
// The calling thread's record, or null.
VOKTASKRECORD* mvbGetTaskRecord();

// Sets the function that installs the process's handler of unhandled faults.
void mvbHookFaultReport(void (*pfnInstall)());

// The image heap (zero-filling), created when missing.
HVOKHEAP mvbGetImageGlobalHeap();

// With a mask of 0 detects the processor features and enables them; otherwise
// enables those bits of the mask that the processor has. Returns the new mask.
uint32_t mvbEnableProcessorType(uint32_t nMask);
// Clears the given bits; returns the new mask.
uint32_t mvbDisableProcessorType(uint32_t nMask);
uint32_t mvbGetEnabledProcessorType();

}  // extern "C"
