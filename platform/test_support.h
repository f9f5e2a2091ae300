// Test support shared by every module's tests: child scenarios (a test binary
// re-runs itself as "--child <scenario> <arguments...>", on both targets), scratch
// directories, and the main function that dispatches child scenarios before
// GoogleTest sees the command line. The main function also arms the fault injector
// from the environment variable ATTVIEW_FAULTS when it is set (see
// platform/fault_injection.h).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/file_link.h"
#include "platform/process.h"

namespace platform {
namespace testing {

// A scenario run in a child process. vArgs are the arguments after the
// scenario's name; the result is the child's exit code.
using ChildScenario = int (*)(const std::vector<std::string>& vArgs);

struct ChildRegistration {
    ChildRegistration(const char* szName, ChildScenario pfn);
};

// Defines and registers a child scenario:
//   CHILD_SCENARIO(hold_lock) { ...; return 0; }
#define CHILD_SCENARIO(name)                                                        \
    static int ChildScenario_##name(const std::vector<std::string>& vArgs);        \
    static ::platform::testing::ChildRegistration g_childRegistration_##name(      \
        #name, &ChildScenario_##name);                                              \
    static int ChildScenario_##name(const std::vector<std::string>& vArgs)

// Starts this test binary again as "--child szScenario vArgs...".
int StartChild(CChildProcess* pChild, const char* szScenario,
               const std::vector<std::string>& vArgs, const std::string* pInput = nullptr);

// Runs a child scenario to its end (at most nTimeoutMs) and returns its exit code,
// or -1000 when it did not end in time (it is killed then).
int RunChild(const char* szScenario, const std::vector<std::string>& vArgs,
             int nTimeoutMs = 60000);

// The directory of this test binary, in the engine's form, with a trailing "\".
std::string BinaryDirectory();

// A test's own scratch directory: a new empty directory under the temporary
// directory, removed with everything below it (read-only files included) when the
// object goes. Not copyable.
class CScratchDir {
public:
    CScratchDir();
    ~CScratchDir();
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;

    // The directory in the engine's form, with a trailing "\". Empty when it could
    // not be created (the constructor then records a test failure).
    const std::string& Path() const { return m_strPath; }
    // Path() followed by strName, e.g. Sub("a\\b.dat").
    std::string Sub(const std::string& strName) const { return m_strPath + strName; }

private:
    std::string m_strPath;
};

// Removes the file or directory at strPath and everything below it, clearing
// read-only attributes on the way; a link is removed itself, never entered. True
// when nothing is left.
bool RemoveTree(const std::string& strPath);

// The whole file at strPath (other openers may read and write it), or
// "<unreadable>" when it cannot be opened.
std::string ReadFileBytes(const std::string& strPath);

// Creates or replaces the file at strPath with strData; a test failure when it
// cannot.
void WriteFileBytes(const std::string& strPath, const std::string& strData);

// Every file and directory below strRoot, by path relative to it ("\a\b"): the
// bytes of a file, "/" for a directory, "->" for a link (never entered).
std::map<std::string, std::string> SnapshotTree(const std::string& strRoot);

// Makes strLink a link of the kind given to strTarget (platform/file_link.h). False
// when this system cannot make that kind; a test failure when it should have.
bool MakeLink(const std::string& strLink, const std::string& strTarget, LinkKind kind);

// True when a link to a directory is moved (FileMove) and removed (LinkRemove)
// as the link itself, as on Windows and POSIX; Wine acts on the target instead.
bool LinksBehaveAsLinks();

// Crash sweeps, shared by the store's and the trees' crash tests. A test counts the
// file writes and flushes of one complete run of its work in a child whose scenario
// returns PrintWritesAndFlushes(work), then runs the work once more in a fresh
// child for each plan of CrashPlans and checks what recovery leaves.
struct SRunCounts {
    unsigned nWrites = 0;
    unsigned nFlushes = 0;
};

// In a counting child: runs pfnWork with a fresh injector installed and prints the
// counts for CountWritesAndFlushes. Returns the child's exit code.
int PrintWritesAndFlushes(void (*pfnWork)(const std::vector<std::string>& vArgs),
                          const std::vector<std::string>& vArgs);

// Runs the counting scenario szScenario with vArgs. False when it fails.
bool CountWritesAndFlushes(const char* szScenario, const std::vector<std::string>& vArgs,
                           SRunCounts* pCounts);

// The fault texts (platform/fault_injection.h) of one sweep: the process ended at
// nWriteSteps writes spread over the run, torn at nTornSteps writes, ended at
// nFlushSteps flushes (every write and flush in the long runs), and ended at each
// of the named points.
std::vector<std::string> CrashPlans(const SRunCounts& counts, unsigned nWriteSteps,
                                    unsigned nTornSteps, unsigned nFlushSteps,
                                    const std::vector<std::string>& vPoints);

// The one switch for the long runs: true in a build configured with LONG_TESTS=ON
// (what `LONG_TESTS=1 scripts/test.sh` does). Such a build also registers the long
// test executables (ctest label "long"); the normal tests use it to widen their
// sweeps from a stride to every point.
bool LongRuns();

}  // namespace testing
}  // namespace platform
