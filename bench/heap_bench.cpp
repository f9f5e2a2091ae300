// The library heap against malloc/free on a workload shaped like reading a large
// document: per node a node record, a tag name and a few attributes whose texts
// grow by reallocation as they are read, short-lived token strings freed at once,
// now and then a dropped subtree, and at the end the whole tree freed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "support/runtime/heap.h"

namespace {

struct MallocAllocator {
    static const char* Name() { return "malloc/free"; }
    void* Allocate(size_t cb) { return std::malloc(cb); }
    void* Reallocate(void* p, size_t cb) { return std::realloc(p, cb); }
    void Free(void* p) { std::free(p); }
};

struct GlobalHeapAllocator {
    static const char* Name() { return "library heap (global, locked)"; }
    void* Allocate(size_t cb) { return vokHeapAllocate(nullptr, cb, 0); }
    void* Reallocate(void* p, size_t cb) { return vokHeapReallocate(nullptr, p, cb, 0); }
    void Free(void* p) { vokHeapFree(nullptr, p, 0); }
};

struct PrivateHeapAllocator {
    HVOKHEAP h = vokHeapCreate(0, 0, kVokHeapNoLock, nullptr);
    ~PrivateHeapAllocator() { vokHeapDestroy(h); }
    static const char* Name() { return "library heap (own heap, no lock)"; }
    void* Allocate(size_t cb) { return vokHeapAllocate(h, cb, 0); }
    void* Reallocate(void* p, size_t cb) { return vokHeapReallocate(h, p, cb, 0); }
    void Free(void* p) { vokHeapFree(h, p, 0); }
};

// A text grown the way the string classes grow: capacity n + n/2 + 1.
template <typename A>
void* GrowText(A& a, size_t nLength)
{
    size_t nCapacity = 0;
    void* p = nullptr;
    for (size_t n = 1; n <= nLength; n += 4) {
        if (n >= nCapacity) {
            nCapacity = n + n / 2 + 1;
            p = a.Reallocate(p, (nCapacity + 1) * 2);
        }
        const size_t nNew = n < 4 ? n : 4;  // the units appended by this step
        std::memset(static_cast<char*>(p) + (n - nNew) * 2, 'x', nNew * 2);
    }
    return p;
}

template <typename A>
double Run(int nNodes, unsigned nSeed, size_t* pnOperations)
{
    A a;
    std::mt19937 rng(nSeed);
    std::vector<void*> vLive;
    vLive.reserve(static_cast<size_t>(nNodes) * 8);
    size_t nOps = 0;
    const auto tStart = std::chrono::steady_clock::now();
    for (int i = 0; i < nNodes; ++i) {
        vLive.push_back(a.Allocate(72));  // node record
        vLive.push_back(GrowText(a, 4 + rng() % 12));  // tag name
        nOps += 4;
        const int nAttributes = static_cast<int>(rng() % 4);
        for (int k = 0; k < nAttributes; ++k) {
            vLive.push_back(GrowText(a, 3 + rng() % 10));
            vLive.push_back(GrowText(a, 1 + rng() % 40));
            nOps += 8;
        }
        for (int k = 0; k < 3; ++k) {  // tokens read and dropped
            void* p = GrowText(a, 1 + rng() % 16);
            a.Free(p);
            nOps += 4;
        }
        if (rng() % 64 == 0 && vLive.size() > 64) {  // a dropped subtree
            for (int k = 0; k < 32; ++k) {
                a.Free(vLive.back());
                vLive.pop_back();
            }
            nOps += 32;
        }
    }
    for (void* p : vLive)
        a.Free(p);
    nOps += vLive.size();
    const auto tEnd = std::chrono::steady_clock::now();
    *pnOperations = nOps;
    return std::chrono::duration<double>(tEnd - tStart).count();
}

template <typename A>
void Report(int nNodes, int nRounds)
{
    double dBest = 1e9;
    size_t nOps = 0;
    for (int r = 0; r < nRounds; ++r) {
        const double d = Run<A>(nNodes, 4711, &nOps);
        if (d < dBest)
            dBest = d;
    }
    std::printf("%-34s %8d nodes  %9.1f ms  %6.1f ns/operation  (~%zu operations)\n", A::Name(),
                nNodes, dBest * 1000, dBest * 1e9 / static_cast<double>(nOps), nOps);
}

}  // namespace

int main(int argc, char** argv)
{
    const int nNodes = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int nRounds = argc > 2 ? std::atoi(argv[2]) : 5;
    Report<MallocAllocator>(nNodes, nRounds);
    Report<GlobalHeapAllocator>(nNodes, nRounds);
    Report<PrivateHeapAllocator>(nNodes, nRounds);
    Report<MallocAllocator>(nNodes, nRounds);
    return 0;
}
