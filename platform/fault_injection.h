// Fault injection for tests: make the n-th file write or flush of the process fail
// or come back short, make the n-th read fail, or end the process abruptly there or
// at a named point of the engine. It is compiled into every build; unarmed it costs
// one null-pointer test per read, per write, per flush and per named point.
//
// Arming, in a test:
//     platform::CFaultInjector faults;
//     faults.FailWrite(3, platform::CFaultInjector::kShort);   // 3rd write from now
//     platform::SetFaultInjector(&faults);
//     ...
//     platform::SetFaultInjector(nullptr);
//
// Arming in a child process: a crash test runs its own binary as
// "--child <scenario> <k>" and the scenario calls ArmFaults("exit-write=<k>") before
// its work, so the child ends at its k-th platform write. The test main also arms
// the faults named in the environment variable ATTVIEW_FAULTS (same text) before
// anything runs. The text is a comma-separated list of
//     fail-write=n    short-write=n    exit-write=n    torn-write=n
//     fail-flush=n    exit-flush=n     exit-at=<point name>[:n]
//     fail-read=n
//     fail-move=n     fail-remove=n    fail-mkdir=n
//     exit-move=n     exit-remove=n    exit-mkdir=n
// where n counts from 1. An ended process exits with kFaultExitCode at once:
// no destructors, no buffered output, as if it had been killed.
//
// Counting is process-wide and thread-safe; arm and disarm while no other thread
// does file work.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace platform {

// The exit code of a process that fault injection ended.
enum : int { kFaultExitCode = 86 };

class CFaultInjector {
public:
    // What happens to the armed write or flush.
    enum Action {
        kNone = 0,
        kFail,   // nothing is written or flushed; the call reports kFileIoError
        kShort,  // a write moves only the first half of its bytes (rounded down) and
                 // reports kFileDiskFull with that count
        kTorn,   // a write moves the first half of its bytes, then the process ends
        kExit,   // the process ends before the write or flush
    };

    CFaultInjector() {}
    CFaultInjector(const CFaultInjector&) = delete;
    CFaultInjector& operator=(const CFaultInjector&) = delete;

    // Arms the nCount-th write (flush) from now, 1 being the next one. Arming again
    // replaces the earlier plan for writes (flushes).
    void FailWrite(std::uint32_t nCount, Action action);
    void FailFlush(std::uint32_t nCount, Action action);
    // Arms the nCount-th read of a file from now (1 the next one): with kFail it
    // reads nothing and reports kFileIoError, with kExit the process ends before
    // it. Arming again replaces the earlier plan for reads.
    void FailRead(std::uint32_t nCount, Action action);
    // Ends the process the nCount-th time the named point is passed.
    void ExitAt(const char* szPoint, std::uint32_t nCount = 1);

    // Parses the text form above and arms what it names. False, with nothing armed,
    // when the text is malformed.
    bool Arm(const char* szText);

    // Writes and flushes seen while installed.
    std::uint32_t Writes() const { return m_nWrites.load(); }
    std::uint32_t Flushes() const { return m_nFlushes.load(); }
    std::uint32_t Reads() const { return m_nReads.load(); }

    // Called by the file layer before each write of *pcbCount bytes: returns what to
    // do and, for kShort and kTorn, lowers *pcbCount. Ends the process for kExit.
    Action BeforeWrite(std::uint32_t* pcbCount);
    // Called by the file layer before each flush. Ends the process for kExit.
    Action BeforeFlush();
    // Called by the file layer before each read of a file. Ends the process for
    // kExit.
    Action BeforeRead();
    // Called at a named point; ends the process when it is the armed one.
    void AtPoint(const char* szPoint);

    // Changes of names, each kind counted on its own: moves and renames
    // (FileMove), removals of files and directories (FileRemove, DirRemove; a
    // dustbox watcher's removals count too) and directory creation (DirCreate).
    // A failed one changes nothing and reports kFileIoError.
    enum NameOp { kMoveOp = 0, kRemoveOp, kDirCreateOp, kNameOpKinds };
    void FailNameOp(NameOp op, std::uint32_t nCount, Action action);
    std::uint32_t NameOps(NameOp op) const { return m_anNameOps[op].load(); }
    // Called by the file layer before each change of a name. Ends the process
    // for kExit.
    Action BeforeNameOp(NameOp op);

private:
    // Counts one call of a kind; what the plan armed for it when it is the armed one.
    static Action Arrive(std::atomic<std::uint32_t>* pnCalls, std::uint32_t nArmedAt, Action action);

    std::atomic<std::uint32_t> m_nWrites{0};
    std::atomic<std::uint32_t> m_nFlushes{0};
    std::atomic<std::uint32_t> m_nPointHits{0};
    std::atomic<std::uint32_t> m_nReads{0};
    std::uint32_t m_nWriteAt = 0;
    Action m_writeAction = kNone;
    std::uint32_t m_nFlushAt = 0;
    Action m_flushAction = kNone;
    std::uint32_t m_nReadAt = 0;
    Action m_readAction = kNone;
    std::string m_strPoint;
    std::uint32_t m_nPointAt = 0;
    std::atomic<std::uint32_t> m_anNameOps[kNameOpKinds] = {};
    std::uint32_t m_anNameOpAt[kNameOpKinds] = {};
    Action m_aNameOpAction[kNameOpKinds] = {kNone, kNone, kNone};
};

// The installed injector, or null (the normal case).
extern CFaultInjector* g_pFaultInjector;

// Installs pInjector (null removes it). The caller keeps ownership.
void SetFaultInjector(CFaultInjector* pInjector);

// Installs the process's own injector, armed from szText; false when malformed.
// Used by child scenarios and by the test main for ATTVIEW_FAULTS.
bool ArmFaults(const char* szText);

// Ends the process at once with kFaultExitCode (no clean-up of any kind).
[[noreturn]] void EndProcessNow();

// True when fault injection makes this change of a name fail.
inline bool NameOpFails(CFaultInjector::NameOp op)
{
    return g_pFaultInjector != nullptr &&
           g_pFaultInjector->BeforeNameOp(op) == CFaultInjector::kFail;
}

// True when fault injection makes this read of a file fail.
inline bool ReadFails()
{
    return g_pFaultInjector != nullptr && g_pFaultInjector->BeforeRead() == CFaultInjector::kFail;
}

// A named point of the engine where a crash test may end the process, e.g.
// CrashPoint("commit-marker") just after the commit marker exists.
inline void CrashPoint(const char* szPoint)
{
    if (g_pFaultInjector != nullptr)
        g_pFaultInjector->AtPoint(szPoint);
}

}  // namespace platform
