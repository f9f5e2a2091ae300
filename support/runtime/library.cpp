#include "support/runtime/library.h"

#include <atomic>
#include <mutex>
#include <new>

#include "platform/timer.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

std::atomic<long> g_nLibraryUse{0};
std::mutex g_mtxLibrary;  // orders start-up against shut-down
std::atomic<void (*)()> g_pfnInstallFaultReport{nullptr};
std::atomic<HVOKHEAP> g_hImageHeap{nullptr};
std::atomic<uint32_t> g_nProcessor{0};
thread_local VOKTASKRECORD* t_pTask = nullptr;

uint32_t DetectProcessor()
{
    uint32_t nMask = 0;
#if defined(__i386__) || defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        if (d & (1u << 23))
            nMask |= kVokProcessorMMX;
        if (d & (1u << 25))
            nMask |= kVokProcessorSSE;
        if (d & (1u << 26))
            nMask |= kVokProcessorSSE2;
        if (c & 1u)
            nMask |= kVokProcessorSSE3;
    }
#endif
    return nMask;
}

void ReleaseTask(VOKTASKRECORD* pTask)
{
    if (pTask->pfnCleanup != nullptr)
        pTask->pfnCleanup(pTask);
    delete pTask;
    t_pTask = nullptr;
}

}  // namespace

extern "C" {

VOKRESULT mvbInitializeLibrary()
{
    std::lock_guard<std::mutex> guard(g_mtxLibrary);
    if (g_nLibraryUse.fetch_add(1) != 0)
        return kVokOk;
    mvbEnableProcessorType(0);
    if (vokGetGlobalHeap() == nullptr || mvbGetImageGlobalHeap() == nullptr) {
        g_nLibraryUse.fetch_sub(1);
        return kVokError;
    }
    mvbInitializeTask();
    platform::TimerSetFineResolution();
    return kVokOk;
}

VOKRESULT mvbCloseLibrary()
{
    std::lock_guard<std::mutex> guard(g_mtxLibrary);
    long nUse = g_nLibraryUse.load();
    do {
        if (nUse <= 0)
            return kVokError;
    } while (!g_nLibraryUse.compare_exchange_weak(nUse, nUse - 1));
    if (nUse != 1)
        return kVokOk;
    if (t_pTask != nullptr)
        ReleaseTask(t_pTask);
    HVOKHEAP hImage = g_hImageHeap.exchange(nullptr);
    // The heaps' own walks never leave their regions; damage they find stands for
    // the fault this step is guarded against.
    if (vokVerifyHeapChain(nullptr) != kVokOk ||
        (hImage != nullptr && vokVerifyHeapChain(hImage) != kVokOk))
        VokDebugOutput("mvbCloseLibrary 内で例外エラーが発生しました。\n");
    vokFreeGlobalHeap();
    if (hImage != nullptr) {
        vokHeapDump(hImage, 100);
        vokHeapDestroy(hImage);
    }
    return kVokOk;
}

long mvbGetLibraryUseCount()
{
    return g_nLibraryUse.load();
}

VOKRESULT mvbInitializeTask()
{
    if (t_pTask == nullptr) {
        t_pTask = new (std::nothrow) VOKTASKRECORD{0, nullptr, nullptr};
        if (t_pTask == nullptr)
            return kVokError;
    }
    if (++t_pTask->nUseCount == 1) {
        if (void (*pfn)() = g_pfnInstallFaultReport.load())
            pfn();
    }
    return kVokOk;
}

VOKRESULT mvbCloseTask()
{
    if (t_pTask == nullptr)
        return kVokError;
    if (--t_pTask->nUseCount <= 0)
        ReleaseTask(t_pTask);
    return kVokOk;
}

VOKTASKRECORD* mvbGetTaskRecord()
{
    return t_pTask;
}

void mvbHookFaultReport(void (*pfnInstall)())
{
    g_pfnInstallFaultReport.store(pfnInstall);
}

HVOKHEAP mvbGetImageGlobalHeap()
{
    HVOKHEAP h = g_hImageHeap.load(std::memory_order_acquire);
    if (h != nullptr)
        return h;
    static std::mutex s_mtx;
    std::lock_guard<std::mutex> guard(s_mtx);
    h = g_hImageHeap.load(std::memory_order_acquire);
    if (h == nullptr) {
        h = vokHeapCreate(0, 0, kVokHeapZeroFill, nullptr);
        g_hImageHeap.store(h, std::memory_order_release);
    }
    return h;
}

uint32_t mvbEnableProcessorType(uint32_t nMask)
{
    static const uint32_t s_nDetected = DetectProcessor();
    if (nMask == 0)
        g_nProcessor.store(s_nDetected);
    else
        g_nProcessor.fetch_or(nMask & s_nDetected);
    return g_nProcessor.load();
}

uint32_t mvbDisableProcessorType(uint32_t nMask)
{
    return g_nProcessor.fetch_and(~nMask) & ~nMask;
}

uint32_t mvbGetEnabledProcessorType()
{
    return g_nProcessor.load();
}

}  // extern "C"
