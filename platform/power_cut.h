// Power cuts for crash tests: a mode of the file layer that remembers, below one
// directory, every change made since it was last made durable, and at a chosen
// moment ends the process after putting on the disk only what a power cut may
// leave there:
// - a file's writes and size changes since its last Flush are each dropped, kept,
//   or torn at 512-byte sectors (some sectors written, the others not);
// - a directory change (a file or directory made, removed or renamed) since the
//   last DirFlush of its directory is undone; a rename counts as durable once
//   either of its two directories has been flushed.
// While armed, Flush and DirFlush only mark what they would make durable; they
// do not wait for the disk.
//
// Only the POSIX backend simulates power cuts; elsewhere PowerCutSupported is
// false and arming fails. Arm at most once per process, in a child process of a
// crash test, before any file work.
#pragma once

#include <cstdint>

namespace platform {

bool PowerCutSupported();

// Starts recording the changes below szRoot (the engine's form; it must exist and
// stays out of the process's work: the simulation keeps removed files in a
// directory of its own there). szPlan says when the power goes, a comma-separated
// list of
//     write=n    flush=n    rename=n    (before the n-th such call, from 1)
//     seed=s     (how writes fare: s % 4 == 0 all dropped, 1 all kept,
//                 2 all torn, 3 each at random)
//     never      (no cut but PowerCutNow's; the same as no cut named) False, with nothing armed, when the text is
// malformed or the backend cannot simulate.
bool ArmPowerCut(const char* szRoot, const char* szPlan);

// Cuts the power now (when armed; otherwise it only ends the process): the disk
// is left as described above and the process ends with kFaultExitCode.
[[noreturn]] void PowerCutNow();

// Calls seen since arming: writes, flushes of files and directories, renames.
struct PowerCutCounts {
    std::uint32_t nWrites = 0;
    std::uint32_t nFlushes = 0;
    std::uint32_t nRenames = 0;
};
PowerCutCounts GetPowerCutCounts();

}  // namespace platform
