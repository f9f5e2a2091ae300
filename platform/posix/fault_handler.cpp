#include "platform/fault_handler.h"

#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define ATTVIEW_FAULT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
#define ATTVIEW_FAULT_SANITIZED 1
#endif
#endif

namespace platform {
namespace {

const int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
const size_t kAltStackSize = 256 * 1024;

std::atomic<FaultHandler> g_pfnHandler{nullptr};
std::once_flag g_onceSignals;
// The probe pipe: memory is "readable" when write() can take it from there (the
// kernel reports EFAULT instead of faulting).
int g_afdProbe[2] = {-1, -1};
std::mutex g_mtxProbe;

thread_local sigjmp_buf* t_pGuard = nullptr;

// A thread's alternate signal stack, given back when the thread ends.
struct AltStack {
    void* pStack = nullptr;
    ~AltStack()
    {
        if (pStack == nullptr)
            return;
        stack_t ss{};
        ss.ss_flags = SS_DISABLE;
        sigaltstack(&ss, nullptr);
        munmap(pStack, kAltStackSize);
    }
};
thread_local AltStack t_altStack;

uint32_t TranslateCode(int nSignal, int nCode)
{
    switch (nSignal) {
    case SIGSEGV:
        return kFaultAccessViolation;
    case SIGBUS:
        // A mapped file that can no longer supply the page is what Windows calls an
        // in-page error.
        return nCode == BUS_ADRALN ? kFaultAlignment : kFaultInPageError;
    case SIGFPE:
        switch (nCode) {
        case FPE_INTDIV: return kFaultIntegerDivideByZero;
        case FPE_INTOVF: return kFaultIntegerOverflow;
        case FPE_FLTDIV: return kFaultFloatDivideByZero;
        case FPE_FLTOVF: return kFaultFloatOverflow;
        case FPE_FLTUND: return kFaultFloatUnderflow;
        case FPE_FLTRES: return kFaultFloatInexact;
        case FPE_FLTSUB: return kFaultArrayBounds;
        default: return kFaultFloatInvalid;
        }
    case SIGILL:
        return nCode == ILL_PRVOPC || nCode == ILL_PRVREG ? kFaultPrivilegedInstruction
                                                           : kFaultIllegalInstruction;
    case SIGTRAP:
        return nCode == TRAP_TRACE ? kFaultSingleStep : kFaultBreakpoint;
    }
    return kFaultAccessViolation;
}

uint16_t Selector(unsigned long nValue)
{
    return static_cast<uint16_t>(nValue & 0xFFFF);
}

void ReadRegisters(const ucontext_t* pContext, FaultRegisters* pRegs)
{
    *pRegs = FaultRegisters{};
#if defined(__x86_64__)
    const greg_t* g = pContext->uc_mcontext.gregs;
    pRegs->nIp = static_cast<uintptr_t>(g[REG_RIP]);
    pRegs->nAx = static_cast<uintptr_t>(g[REG_RAX]);
    pRegs->nBx = static_cast<uintptr_t>(g[REG_RBX]);
    pRegs->nCx = static_cast<uintptr_t>(g[REG_RCX]);
    pRegs->nDx = static_cast<uintptr_t>(g[REG_RDX]);
    pRegs->nSi = static_cast<uintptr_t>(g[REG_RSI]);
    pRegs->nDi = static_cast<uintptr_t>(g[REG_RDI]);
    pRegs->nBp = static_cast<uintptr_t>(g[REG_RBP]);
    pRegs->nSp = static_cast<uintptr_t>(g[REG_RSP]);
    pRegs->nFlags = static_cast<uintptr_t>(g[REG_EFL]);
    // CS, GS and FS share one slot, 16 bits each from the bottom.
    const unsigned long nSegments = static_cast<unsigned long>(g[REG_CSGSFS]);
    pRegs->nCs = Selector(nSegments);
    pRegs->nGs = Selector(nSegments >> 16);
    pRegs->nFs = Selector(nSegments >> 32);
    // The data segments are not saved by the kernel; user code never changes them,
    // so the handler's own are the faulting thread's.
    unsigned short nDs = 0, nEs = 0, nSs = 0;
    __asm__ volatile("mov %%ds, %0" : "=r"(nDs));
    __asm__ volatile("mov %%es, %0" : "=r"(nEs));
    __asm__ volatile("mov %%ss, %0" : "=r"(nSs));
    pRegs->nDs = nDs;
    pRegs->nEs = nEs;
    pRegs->nSs = nSs;
#elif defined(__i386__)
    const greg_t* g = pContext->uc_mcontext.gregs;
    pRegs->nIp = static_cast<uintptr_t>(g[REG_EIP]);
    pRegs->nAx = static_cast<uintptr_t>(g[REG_EAX]);
    pRegs->nBx = static_cast<uintptr_t>(g[REG_EBX]);
    pRegs->nCx = static_cast<uintptr_t>(g[REG_ECX]);
    pRegs->nDx = static_cast<uintptr_t>(g[REG_EDX]);
    pRegs->nSi = static_cast<uintptr_t>(g[REG_ESI]);
    pRegs->nDi = static_cast<uintptr_t>(g[REG_EDI]);
    pRegs->nBp = static_cast<uintptr_t>(g[REG_EBP]);
    pRegs->nSp = static_cast<uintptr_t>(g[REG_UESP]);
    pRegs->nFlags = static_cast<uintptr_t>(g[REG_EFL]);
    pRegs->nCs = Selector(g[REG_CS]);
    pRegs->nDs = Selector(g[REG_DS]);
    pRegs->nEs = Selector(g[REG_ES]);
    pRegs->nFs = Selector(g[REG_FS]);
    pRegs->nGs = Selector(g[REG_GS]);
    pRegs->nSs = Selector(g[REG_SS]);
#else
    (void)pContext;
#endif
}

void WriteBack(ucontext_t* pContext, const FaultRegisters& regs)
{
#if defined(__x86_64__)
    pContext->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(regs.nIp);
    pContext->uc_mcontext.gregs[REG_EFL] = static_cast<greg_t>(regs.nFlags);
#elif defined(__i386__)
    pContext->uc_mcontext.gregs[REG_EIP] = static_cast<greg_t>(regs.nIp);
    pContext->uc_mcontext.gregs[REG_EFL] = static_cast<greg_t>(regs.nFlags);
#else
    (void)pContext;
    (void)regs;
#endif
}

// Leaves the signal to the system: the process dies of it as if nobody had caught it.
void DefaultHandling(int nSignal, bool bRepeats)
{
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(nSignal, &sa, nullptr);
    // A fault repeats when the instruction runs again, so the core shows the real
    // context; a trap or a sent signal does not, so it is raised anew.
    if (!bRepeats) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, nSignal);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(nSignal);
    }
}

void OnSignal(int nSignal, siginfo_t* pInfo, void* pvContext)
{
    const int nSavedErrno = errno;
    if (sigjmp_buf* pGuard = t_pGuard) {
        t_pGuard = nullptr;
        siglongjmp(*pGuard, 1);
    }
    const FaultHandler pfn = g_pfnHandler.load();
    if (pfn == nullptr || pInfo->si_code <= 0) {
        // Not installed for faults, or sent by kill(): not a fault of this program.
        DefaultHandling(nSignal, pInfo->si_code > 0 && nSignal != SIGTRAP);
        errno = nSavedErrno;
        return;
    }
    ucontext_t* pContext = static_cast<ucontext_t*>(pvContext);
    FaultRecord record{};
    record.nCode = TranslateCode(nSignal, pInfo->si_code);
    record.nThreadId = CurrentThreadId();
    ReadRegisters(pContext, &record.regs);
    record.nAddress = record.regs.nIp;
    if (nSignal == SIGSEGV) {
        // A fault just below the stack pointer is the stack running into its guard
        // page, which Windows reports as a fault of its own.
        const uintptr_t nData = reinterpret_cast<uintptr_t>(pInfo->si_addr);
        if (nData < record.regs.nSp + 256 && nData + 65536 > record.regs.nSp)
            record.nCode = kFaultStackOverflow;
    }
    if (record.nCode == kFaultBreakpoint && pInfo->si_code == SI_KERNEL && record.regs.nIp != 0) {
        // The kernel reports an int3 with the instruction pointer after the trap
        // byte; the handler sees it at the byte, as on Windows.
        unsigned char b = 0;
        if (MemoryReadSafe(record.regs.nIp - 1, &b, 1) == 1 && b == 0xCC) {
            --record.regs.nIp;
            record.nAddress = record.regs.nIp;
        }
    }
    switch (pfn(&record)) {
    case kFaultResume:
        WriteBack(pContext, record.regs);
        break;
    case kFaultExit:
        _exit(-1);
    case kFaultDefault:
        DefaultHandling(nSignal, nSignal != SIGTRAP);
        break;
    }
    errno = nSavedErrno;
}

void CatchSignals()
{
    std::call_once(g_onceSignals, [] {
        struct sigaction sa {};
        sa.sa_sigaction = &OnSignal;
        // NODEFER: a fault inside the handler (in a guarded call) must reach it again.
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        for (int nSignal : kSignals)
            sigaction(nSignal, &sa, nullptr);
    });
}

[[maybe_unused]] bool PrepareThread()
{
    if (t_altStack.pStack != nullptr)
        return true;
    void* p = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    stack_t ss{};
    ss.ss_sp = p;
    ss.ss_size = kAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(p, kAltStackSize);
        return false;
    }
    t_altStack.pStack = p;
    return true;
}

bool OpenProbe()
{
    if (g_afdProbe[0] >= 0)
        return true;
    if (pipe2(g_afdProbe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_afdProbe[0] = g_afdProbe[1] = -1;
        return false;
    }
    return true;
}

}  // namespace

bool FaultInstallHandler(FaultHandler pfn)
{
#if defined(ATTVIEW_FAULT_SANITIZED)
    (void)pfn;
    return false;
#else
    {
        std::lock_guard<std::mutex> lock(g_mtxProbe);
        if (!OpenProbe())
            return false;
    }
    PrepareThread();
    g_pfnHandler.store(pfn);
    CatchSignals();
    return true;
#endif
}

bool FaultHandlerIsInstalled(FaultHandler pfn)
{
    if (pfn == nullptr || g_pfnHandler.load() != pfn)
        return false;
    struct sigaction sa {};
    for (int nSignal : kSignals) {
        if (sigaction(nSignal, nullptr, &sa) != 0 || (sa.sa_flags & SA_SIGINFO) == 0 ||
            sa.sa_sigaction != &OnSignal)
            return false;
    }
    return true;
}

size_t MemoryReadSafe(uintptr_t nAddress, void* pBuffer, size_t cb)
{
    // The pipe holds 64 KiB; a page at a time keeps every write whole.
    const size_t cbPage = 4096;
    std::lock_guard<std::mutex> lock(g_mtxProbe);
    if (!OpenProbe())
        return 0;
    unsigned char* pOut = static_cast<unsigned char*>(pBuffer);
    size_t cbDone = 0;
    while (cbDone < cb) {
        const uintptr_t nAt = nAddress + cbDone;
        if (nAt < nAddress)
            break;  // wrapped around the address space
        size_t cbChunk = cbPage - static_cast<size_t>(nAt % cbPage);
        if (cbChunk > cb - cbDone)
            cbChunk = cb - cbDone;
        ssize_t n;
        do
            n = write(g_afdProbe[1], reinterpret_cast<const void*>(nAt), cbChunk);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            break;
        size_t cbRead = 0;
        while (cbRead < static_cast<size_t>(n)) {
            const ssize_t r = read(g_afdProbe[0], pOut + cbDone + cbRead, static_cast<size_t>(n) - cbRead);
            if (r <= 0) {
                if (r < 0 && errno == EINTR)
                    continue;
                return cbDone;
            }
            cbRead += static_cast<size_t>(r);
        }
        cbDone += static_cast<size_t>(n);
        if (static_cast<size_t>(n) != cbChunk)
            break;
    }
    return cbDone;
}

bool MemorySetAccess(void* p, size_t cb, bool bAccessible)
{
    return mprotect(p, cb, bAccessible ? PROT_READ | PROT_WRITE : PROT_NONE) == 0;
}

bool CallGuarded(void (*pfn)(void*), void* pArg)
{
    CatchSignals();
    sigjmp_buf buf;
    sigjmp_buf* pOuter = t_pGuard;
    if (sigsetjmp(buf, 1) != 0) {
        t_pGuard = pOuter;
        return false;
    }
    t_pGuard = &buf;
    pfn(pArg);
    t_pGuard = pOuter;
    return true;
}

uint32_t CurrentThreadId()
{
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

}  // namespace platform
