// Virtual memory for the support library's heap: whole regions straight from the
// operating system, read-write, zero-filled, returned in one piece.
#pragma once

#include <cstddef>

namespace platform {

// Reserves and commits cb bytes (a multiple of MemoryPageSize()), zero-filled and
// aligned to at least a page. Returns null when the system refuses. Thread-safe.
void* MemoryAllocate(size_t cb);

// Returns a region from MemoryAllocate; cb is the size it was allocated with.
// A null pointer is ignored. Thread-safe.
void MemoryRelease(void* p, size_t cb);

// The page size of the system (4096 on both targets).
size_t MemoryPageSize();

}  // namespace platform
