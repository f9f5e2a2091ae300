// Faults that nothing else handles: one process-wide handler that sees the fault's
// code, address and registers, and decides whether the program resumes, the fault
// goes on to the platform's default handling (which ends the process), or the
// process ends at once. Also the means the handler needs to look at memory without
// faulting again: reading through a probe, and calling a function with its faults
// caught.
//
// Windows: the unhandled-exception filter with the 32-bit register context; fault
// codes are the system's own. POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGTRAP
// caught on an alternate stack, registers from the signal context (64-bit there),
// each signal translated into the Windows code of the same fault, so the handler
// sees one set of codes on both targets. A signal sent by another process (kill) is
// no fault and always gets the default handling. Builds with the address sanitizer
// install nothing: the sanitizer reports faults itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Fault codes, as Windows numbers them.
enum : uint32_t {
    kFaultGuardPage = 0x80000001,
    kFaultAlignment = 0x80000002,
    kFaultBreakpoint = 0x80000003,
    kFaultSingleStep = 0x80000004,
    kFaultAccessViolation = 0xC0000005,
    kFaultInPageError = 0xC0000006,
    kFaultIllegalInstruction = 0xC000001D,
    kFaultInvalidDisposition = 0xC0000026,
    kFaultArrayBounds = 0xC000008C,
    kFaultFloatDenormal = 0xC000008D,
    kFaultFloatDivideByZero = 0xC000008E,
    kFaultFloatInexact = 0xC000008F,
    kFaultFloatInvalid = 0xC0000090,
    kFaultFloatOverflow = 0xC0000091,
    kFaultFloatStackCheck = 0xC0000092,
    kFaultFloatUnderflow = 0xC0000093,
    kFaultIntegerDivideByZero = 0xC0000094,
    kFaultIntegerOverflow = 0xC0000095,
    kFaultPrivilegedInstruction = 0xC0000096,
    kFaultStackOverflow = 0xC00000FD,
};

// The trace flag in FaultRegisters::nFlags (single-step mode).
enum : uintptr_t { kFaultTraceFlag = 0x100 };

// The registers of the faulting thread, at the target's width (the E and R
// registers of x86). Segment registers the platform does not report are 0.
struct FaultRegisters {
    uintptr_t nIp, nAx, nBx, nCx, nDx, nSi, nDi, nBp, nSp, nFlags;
    uint16_t nCs, nDs, nEs, nFs, nGs, nSs;
};

struct FaultRecord {
    uint32_t nCode;      // one of the codes above, or another Windows code
    uintptr_t nAddress;  // where the fault happened; for a breakpoint, the trap byte
    uint32_t nThreadId;  // the faulting thread's system id
    // The handler may change nIp and nFlags; resuming applies them.
    FaultRegisters regs;
};

enum FaultOutcome {
    kFaultResume,   // go on with the (possibly changed) registers
    kFaultDefault,  // the platform's default handling, which ends the process
    kFaultExit,     // end the process at once with exit code -1
};

// Called on the faulting thread (on POSIX on an alternate stack of 256 KiB).
using FaultHandler = FaultOutcome (*)(FaultRecord* pRecord);

// Makes pfn the process's handler of unhandled faults and prepares the calling
// thread for it (on POSIX, a thread needs its own alternate stack to survive a
// stack overflow: call this once on every thread that should be covered). Returns
// false when this build cannot install a handler.
bool FaultInstallHandler(FaultHandler pfn);

// True when pfn is the installed handler (what an application's start-up can be
// checked against).
bool FaultHandlerIsInstalled(FaultHandler pfn);

// Copies up to cb bytes starting at nAddress into pBuffer, stopping before the
// first byte that cannot be read; never faults. Returns the number copied.
size_t MemoryReadSafe(uintptr_t nAddress, void* pBuffer, size_t cb);

// Changes the access to whole pages of a region from MemoryAllocate: readable and
// writable, or no access at all. For tests of the reads above. False on failure.
bool MemorySetAccess(void* p, size_t cb, bool bAccessible);

// Calls pfn(pArg) on the calling thread; a fault inside it (even while a fault is
// being handled) ends the call early. Returns false when it did. Nothing the call
// had begun is cleaned up: use it only for code whose state may be abandoned.
bool CallGuarded(void (*pfn)(void*), void* pArg);

// The calling thread's system id.
uint32_t CurrentThreadId();

}  // namespace platform
