// Power cuts in the middle of a write transaction and just after it: the child
// process runs the transaction with the file layer's power-cut simulation armed,
// and the power goes before a chosen flush, rename or write, or after the commit
// returned. Each unflushed write is dropped, kept or torn, and every directory
// change not yet made durable is undone. Opening the store must then recover
// exactly the state before or after the transaction, and after a commit that
// returned, the state after.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/txstore/transaction_test_support.h"
#include "platform/fault_injection.h"
#include "platform/power_cut.h"
#include "platform/process.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using namespace transaction_test;

// Runs the work with the power going as vArgs[1] plans; says "committed" when the
// commit returned before the power went.
CHILD_SCENARIO(transaction_power_cut)
{
    const Store s{vArgs.at(0)};
    if (!platform::ArmPowerCut(s.root.c_str(), vArgs.at(1).c_str()))
        return 98;
    try {
        RunTransaction(s, 1);
        std::printf("committed\n");
        std::fflush(stdout);
    } catch (...) {
    }
    platform::PowerCutNow();
}

// The writes, flushes and renames of the whole work.
CHILD_SCENARIO(transaction_power_cut_count)
{
    const Store s{vArgs.at(0)};
    if (!platform::ArmPowerCut(s.root.c_str(), "never") || RunTransaction(s, 1) != 0)
        return 98;
    const platform::PowerCutCounts counts = platform::GetPowerCutCounts();
    std::printf("%u %u %u\n", counts.nWrites, counts.nFlushes, counts.nRenames);
    return 0;
}

platform::PowerCutCounts CountSteps()
{
    platform::PowerCutCounts counts;
    platform::testing::CScratchDir scratch;
    const Store s{scratch.Path()};
    s.Create();
    platform::CChildProcess child;
    EXPECT_EQ(0, platform::testing::StartChild(&child, "transaction_power_cut_count", {s.root}));
    int nCode = -1;
    EXPECT_TRUE(child.Wait(60000, &nCode));
    EXPECT_EQ(0, nCode);
    EXPECT_EQ(3, std::sscanf(child.Output().c_str(), "%u %u %u", &counts.nWrites,
                             &counts.nFlushes, &counts.nRenames));
    return counts;
}

// One cut: a fresh store, the work in a child cut as szPlan says, then recovery.
// With bLongPaths the store lies deep enough for its log records to cross the
// disk's 512-byte sectors.
void CutAndRecover(const std::string& strPlan, const Snapshot& after, bool bLongPaths = false)
{
    platform::testing::CScratchDir scratch;
    std::string strRoot = scratch.Path();
    if (bLongPaths) {
        strRoot += std::string(120, 'p');
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(strRoot.c_str()));
        strRoot += "\\";
    }
    const Store s{strRoot};
    s.Create();
    const Snapshot before = platform::testing::SnapshotTree(s.data());
    platform::CChildProcess child;
    ASSERT_EQ(0, platform::testing::StartChild(&child, "transaction_power_cut", {s.root, strPlan}));
    int nCode = -1;
    ASSERT_TRUE(child.Wait(60000, &nCode)) << strPlan;
    ASSERT_EQ(platform::kFaultExitCode, nCode) << strPlan;
    ExpectOldOrNew(s, before, after, strPlan, false);
    if (child.Output().find("committed") != std::string::npos) {
        EXPECT_TRUE(platform::testing::SnapshotTree(s.data()) == after) << strPlan << " committed";
    }
}

TEST(TransactionPowerCut, EveryFlushRenameAndSampledWriteRecoversOldOrNew)
{
    if (!platform::PowerCutSupported())
        GTEST_SKIP() << "power cuts are simulated by the POSIX backend only";
    const Snapshot after = CommittedState();
    const platform::PowerCutCounts counts = CountSteps();
    ASSERT_GT(counts.nFlushes, 10u);
    ASSERT_GT(counts.nRenames, 3u);
    // The seed picks the fate of the unflushed writes: dropped, kept, torn, mixed.
    // Every point with one fate in turn, and the writes sampled; in the long runs
    // every point, writes included, with every fate.
    const bool bLong = platform::testing::LongRuns();
    const unsigned nWriteStride = bLong ? 1 : std::max(1u, counts.nWrites / 12);
    SweepPowerCuts(counts, nWriteStride, 0, bLong ? 4 : 1, 1,
                   [&](const std::string& strPlan) { CutAndRecover(strPlan, after); });
    if (::testing::Test::HasFailure())
        return;
    // Records that cross sectors, torn with a later sector kept and an earlier one
    // lost as well as in order: every flush and rename torn, and the writes
    // sampled; every point with every fate in the long runs.
    const unsigned nLongStride = bLong ? 1 : std::max(1u, counts.nWrites / 6);
    SweepPowerCuts(counts, nLongStride, bLong ? 0 : 2, bLong ? 4 : 3, 4,
                   [&](const std::string& strPlan) { CutAndRecover(strPlan, after, true); });
    if (::testing::Test::HasFailure())
        return;
    // Just after the commit returned, whatever became of the writes.
    for (unsigned nSeed = 0; nSeed < 4; ++nSeed)
        CutAndRecover("seed=" + std::to_string(nSeed), after);
}

}  // namespace
}  // namespace velk
