#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/fault_handler.h"

namespace platform {
namespace {

std::atomic<FaultHandler> g_pfnHandler{nullptr};

// A guarded call in progress on this thread: where to go back to after a fault.
struct Guard {
    void* aJump[5];  // __builtin_setjmp's buffer
    void* pExceptionList;
};
thread_local Guard* t_pGuard = nullptr;

void ReadRegisters(const CONTEXT* pContext, FaultRegisters* pRegs)
{
    *pRegs = FaultRegisters{};
#if defined(_M_IX86) || defined(__i386__)
    pRegs->nIp = pContext->Eip;
    pRegs->nAx = pContext->Eax;
    pRegs->nBx = pContext->Ebx;
    pRegs->nCx = pContext->Ecx;
    pRegs->nDx = pContext->Edx;
    pRegs->nSi = pContext->Esi;
    pRegs->nDi = pContext->Edi;
    pRegs->nBp = pContext->Ebp;
    pRegs->nSp = pContext->Esp;
    pRegs->nFlags = pContext->EFlags;
#else
    pRegs->nIp = pContext->Rip;
    pRegs->nAx = pContext->Rax;
    pRegs->nBx = pContext->Rbx;
    pRegs->nCx = pContext->Rcx;
    pRegs->nDx = pContext->Rdx;
    pRegs->nSi = pContext->Rsi;
    pRegs->nDi = pContext->Rdi;
    pRegs->nBp = pContext->Rbp;
    pRegs->nSp = pContext->Rsp;
    pRegs->nFlags = pContext->EFlags;
#endif
    pRegs->nCs = static_cast<uint16_t>(pContext->SegCs);
    pRegs->nDs = static_cast<uint16_t>(pContext->SegDs);
    pRegs->nEs = static_cast<uint16_t>(pContext->SegEs);
    pRegs->nFs = static_cast<uint16_t>(pContext->SegFs);
    pRegs->nGs = static_cast<uint16_t>(pContext->SegGs);
    pRegs->nSs = static_cast<uint16_t>(pContext->SegSs);
}

void WriteBack(CONTEXT* pContext, const FaultRegisters& regs)
{
#if defined(_M_IX86) || defined(__i386__)
    pContext->Eip = static_cast<DWORD>(regs.nIp);
#else
    pContext->Rip = regs.nIp;
#endif
    pContext->EFlags = static_cast<DWORD>(regs.nFlags);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* pPointers)
{
    const FaultHandler pfn = g_pfnHandler.load();
    if (pfn == nullptr || pPointers == nullptr || pPointers->ExceptionRecord == nullptr ||
        pPointers->ContextRecord == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    FaultRecord record{};
    record.nCode = pPointers->ExceptionRecord->ExceptionCode;
    record.nAddress = reinterpret_cast<uintptr_t>(pPointers->ExceptionRecord->ExceptionAddress);
    record.nThreadId = GetCurrentThreadId();
    ReadRegisters(pPointers->ContextRecord, &record.regs);
    switch (pfn(&record)) {
    case kFaultResume:
        WriteBack(pPointers->ContextRecord, record.regs);
        return EXCEPTION_CONTINUE_EXECUTION;
    case kFaultExit:
        ExitProcess(static_cast<UINT>(-1));
    case kFaultDefault:
        break;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Where a faulting guarded call is sent: back into CallGuarded, by the jump
// buffer. Reached through a changed context, never called.
void __attribute__((noinline, noreturn)) GuardLanding()
{
    Guard* pGuard = t_pGuard;
    t_pGuard = nullptr;
    __builtin_longjmp(pGuard->aJump, 1);
}

// Runs before any frame-based handler, also for a fault inside the unhandled
// filter itself: a fault in a guarded call resumes in GuardLanding on the
// faulting thread's own stack, so the dispatch of the fault completes normally.
LONG WINAPI GuardHandler(EXCEPTION_POINTERS* pPointers)
{
    if (t_pGuard == nullptr || pPointers->ExceptionRecord->ExceptionCode < 0x80000000u)
        return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT* pContext = pPointers->ContextRecord;
#if defined(_M_IX86) || defined(__i386__)
    DWORD nSp = (pContext->Esp - 256) & ~static_cast<DWORD>(15);
    nSp -= 4;  // as if called: room for a return address
    pContext->Esp = nSp;
    pContext->Eip = reinterpret_cast<DWORD>(&GuardLanding);
#else
    DWORD64 nSp = (pContext->Rsp - 256) & ~static_cast<DWORD64>(15);
    nSp -= 8;
    pContext->Rsp = nSp;
    pContext->Rip = reinterpret_cast<DWORD64>(&GuardLanding);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool Readable(DWORD nProtect)
{
    if ((nProtect & (PAGE_GUARD | PAGE_NOACCESS)) != 0)
        return false;
    return (nProtect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                        PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

}  // namespace

bool FaultInstallHandler(FaultHandler pfn)
{
    g_pfnHandler.store(pfn);
    SetUnhandledExceptionFilter(&UnhandledFilter);
    return true;
}

bool FaultHandlerIsInstalled(FaultHandler pfn)
{
    if (pfn == nullptr || g_pfnHandler.load() != pfn)
        return false;
    // The system offers no query; setting a filter returns the one before it.
    LPTOP_LEVEL_EXCEPTION_FILTER pPrevious = SetUnhandledExceptionFilter(&UnhandledFilter);
    SetUnhandledExceptionFilter(pPrevious);
    return pPrevious == &UnhandledFilter;
}

size_t MemoryReadSafe(uintptr_t nAddress, void* pBuffer, size_t cb)
{
    unsigned char* pOut = static_cast<unsigned char*>(pBuffer);
    size_t cbDone = 0;
    while (cbDone < cb) {
        const uintptr_t nAt = nAddress + cbDone;
        if (nAt < nAddress)
            break;
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(nAt), &info, sizeof(info)) == 0 ||
            info.State != MEM_COMMIT || !Readable(info.Protect))
            break;
        const uintptr_t nEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        size_t cbChunk = nEnd > nAt ? static_cast<size_t>(nEnd - nAt) : 0;
        if (cbChunk == 0)
            break;
        if (cbChunk > cb - cbDone)
            cbChunk = cb - cbDone;
        std::memcpy(pOut + cbDone, reinterpret_cast<const void*>(nAt), cbChunk);
        cbDone += cbChunk;
    }
    return cbDone;
}

bool MemorySetAccess(void* p, size_t cb, bool bAccessible)
{
    DWORD nOld = 0;
    return VirtualProtect(p, cb, bAccessible ? PAGE_READWRITE : PAGE_NOACCESS, &nOld) != 0;
}

bool CallGuarded(void (*pfn)(void*), void* pArg)
{
    static std::once_flag s_once;
    std::call_once(s_once, [] { AddVectoredExceptionHandler(1, &GuardHandler); });
    Guard guard;
    Guard* pOuter = t_pGuard;
#if defined(_M_IX86) || defined(__i386__)
    // 32-bit Windows chains exception frames on the stack; 64-bit Windows unwinds
    // from tables and keeps no such chain.
    guard.pExceptionList = reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList;
#endif
    if (__builtin_setjmp(guard.aJump) != 0) {
#if defined(_M_IX86) || defined(__i386__)
        // Frames registered below this one died with the abandoned call.
        reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList =
            static_cast<EXCEPTION_REGISTRATION_RECORD*>(guard.pExceptionList);
#endif
        t_pGuard = pOuter;
        return false;
    }
    t_pGuard = &guard;
    pfn(pArg);
    t_pGuard = pOuter;
    return true;
}

uint32_t CurrentThreadId()
{
    return GetCurrentThreadId();
}

}  // namespace platform
