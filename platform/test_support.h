// Test support shared by every module's tests: child scenarios (a test binary
// re-runs itself as "--child <scenario> <arguments...>", on both targets) and the
// main function that dispatches them before GoogleTest sees the command line.
#pragma once

#include <string>
#include <vector>

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

}  // namespace testing
}  // namespace platform
