// The access guard shared by every process that opens one transaction directory:
// any number of readers at a time, or one writer; writers are preferred over newly
// arriving readers. Processes meet through five named kernel objects derived from
// the guard's name (CHash, SHA-256) and a 12-byte state in a named shared block;
// the platform layer supplies the objects (platform/named_object.h).
//
// Kernel object names: for guard name G and member name M (m_hmtxState,
// m_hfmState, m_hsemReaders, m_hsemWriters, m_hmtxAccess), the SHA-256 digest of
// the bytes "CSWMRG" + G + M, as 64 upper-case hexadecimal digits. Names that
// differ in any byte, letter case included, meet different objects.
//
// Shared state, three 32-bit little-endian integers, all 0 when first created:
//
//   offset  size  field
//   0       4     waiting readers (unsigned): readers blocked on m_hsemReaders
//   4       4     waiting writers (unsigned): writers blocked on m_hsemWriters
//   8       4     active (signed): -1 a writer holds the guard, n > 0 n readers, 0 free
//
// The state is read and written only while m_hmtxState is owned, so every change is
// atomic across processes. A holder keeps a handle to the access mutex open; when a
// waiter finds no access mutex at all, no holder is alive.
//
// Rules the waiters keep, so that processes killed at any point do not wedge the
// guard or let a writer in beside another holder:
// (1) A grant is recorded in the state and the grantee's access mutex is created
//     while m_hmtxState is owned, so a holder check never sees a recorded holder
//     without its access mutex except during a hand-over.
// (2) A unit taken from a semaphore is a grant only if the state agrees (a writer
//     finds active = -1, a reader active > 0); otherwise it was left for a waiter
//     that was killed, and the taker waits on, still counted as waiting.
// (3) Before a grant that no unit can be pending for (a writer or a reader let in
//     at once, the guard becoming free), leftover units are taken away.
// (4) A holder check concludes "no holder alive" only when the access mutex is
//     absent and the state is unchanged since the checker's previous slice; then
//     every holding in the state is a phantom, and the guard is handed on at once.
// (5) A wait that runs out tries its semaphore once more under m_hmtxState before
//     taking its waiting count back, so that a hand-over made in the same instant is
//     honoured rather than lost.
// (6) A console interrupt during a wait is deferred until the waiting count has
//     been taken back (or a grant handed on), then ends the process.
//
// Known limit: a process killed between releasing a semaphore and writing the
// state, while it owns m_hmtxState, leaves the state wrong; these objects cannot
// make that step atomic.
#pragma once

#include <cstdint>
#include <string>

#include "platform/named_object.h"

namespace velk {

class CSWMRG {
public:
    // Creates or opens the named objects of the guard szName. Throws CFault when an
    // object cannot be created or opened; nothing is left open then.
    explicit CSWMRG(const char* szName);

    // Done (exceptions swallowed), then closes the handles.
    ~CSWMRG();

    CSWMRG(const CSWMRG&) = delete;
    CSWMRG& operator=(const CSWMRG&) = delete;

    // Waits up to nTimeout ms (0xFFFFFFFF: no limit) for shared access. Returns 1
    // when granted (give it back with Done), 0 when not; a refused or timed-out
    // wait leaves no trace in the state. Throws CFault when a platform call fails,
    // after taking its waiting count back. Must not be called while holding.
    int WaitToRead(std::uint32_t nTimeout);

    // As WaitToRead, for exclusive access.
    int WaitToWrite(std::uint32_t nTimeout);

    // Gives up the access this object holds; nothing when it holds none. Throws
    // CFault when a platform call fails; the access is given up all the same.
    void Done();

    // An object is used by one thread at a time; different objects of one guard
    // may be used by different threads of a process.

    struct State {
        std::uint32_t nWaitingReaders;
        std::uint32_t nWaitingWriters;
        std::int32_t nActive;
    };

    // The kernel object name for guard name szGuard and member szMember (65 bytes
    // with the terminator).
    static std::string ObjectName(const char* szGuard, const char* szMember);

private:
    class CStateLock;

    int Wait(bool bWriter, std::uint32_t nTimeout);
    void OpenAccess();
    bool GiveUp(CStateLock* pLock, State* pState, bool bWriter, bool bAcceptGrant);
    void CheckHolders(bool bWriter, State* pPrevious);
    void ReleaseHolding(State* pState);
    void HandOn(State* pState);

    platform::CNamedMutex m_hmtxState;
    platform::CNamedSharedMemory m_hfmState;
    platform::CNamedSemaphore m_hsemReaders;
    platform::CNamedSemaphore m_hsemWriters;
    std::string m_strAccessName;
    platform::CNamedMutex m_hmtxAccess;
};

}  // namespace velk
