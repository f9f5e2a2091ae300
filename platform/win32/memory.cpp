#include <windows.h>

#include "platform/memory.h"

namespace platform {

void* MemoryAllocate(size_t cb)
{
    if (cb == 0)
        return nullptr;
    return VirtualAlloc(nullptr, cb, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void MemoryRelease(void* p, size_t cb)
{
    (void)cb;  // MEM_RELEASE frees the whole reservation and wants a size of 0
    if (p != nullptr)
        VirtualFree(p, 0, MEM_RELEASE);
}

size_t MemoryPageSize()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwPageSize;
}

}  // namespace platform
