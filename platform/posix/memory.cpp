#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace platform {

void* MemoryAllocate(size_t cb)
{
    if (cb == 0)
        return nullptr;
    void* p = mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void MemoryRelease(void* p, size_t cb)
{
    if (p != nullptr)
        munmap(p, cb);
}

size_t MemoryPageSize()
{
    static const size_t cbPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return cbPage;
}

}  // namespace platform
