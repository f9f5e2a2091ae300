// Power cuts during recovery: a child process leaves the work's log behind, either
// committed (ended just after the commit marker) or not (ended before End); a
// second child opens the store, which rolls the log forward or back, with the
// file layer's power-cut simulation armed, and the power goes before a chosen
// flush, rename or write of that recovery, or right after it. Opening the store
// again must give exactly what one uninterrupted recovery gives: the state after
// the work for a committed log, the state before it otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "engine/txstore/transaction_test_support.h"
#include "platform/fault_injection.h"
#include "platform/power_cut.h"
#include "platform/process.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using namespace transaction_test;

// Leaves the work's log in the store vArgs[0]: committed with vArgs[1] "forward",
// without its marker with "back". The process ends without any clean-up.
CHILD_SCENARIO(recovery_leave_log)
{
    const Store s{vArgs.at(0)};
    const bool bForward = vArgs.at(1) == "forward";
    if (bForward && !platform::ArmFaults("exit-at=commit-marker"))
        return 98;
    CTransaction transaction;
    CFileSystem::IContext* pFs = nullptr;
    if (BeginWrite(s.tx(), &transaction, &pFs) != 0)
        return 97;
    DoWork(s, pFs);
    DestroyObject(pFs);
    if (bForward)
        transaction.End(1);  // ends the process at the marker
    platform::EndProcessNow();
}

// Recovers the store vArgs[0] with the power going as vArgs[1] plans; with the
// plan "never", prints the writes, flushes and renames of the recovery instead.
CHILD_SCENARIO(recovery_power_cut)
{
    const Store s{vArgs.at(0)};
    if (!platform::ArmPowerCut(s.root.c_str(), vArgs.at(1).c_str()))
        return 98;
    CTransaction transaction;
    const int nOpened = transaction.Open(s.tx().c_str());
    if (vArgs.at(1) == "never") {
        const platform::PowerCutCounts counts = platform::GetPowerCutCounts();
        std::printf("%d %u %u %u\n", nOpened, counts.nWrites, counts.nFlushes, counts.nRenames);
        std::fflush(stdout);
    }
    platform::PowerCutNow();
}

// A fresh store with the work's log left in it as strMode says.
void LeaveLog(const Store& s, const std::string& strMode)
{
    s.Create();
    platform::CChildProcess child;
    ASSERT_EQ(0, platform::testing::StartChild(&child, "recovery_leave_log", {s.root, strMode}));
    int nCode = -1;
    ASSERT_TRUE(child.Wait(60000, &nCode));
    ASSERT_EQ(platform::kFaultExitCode, nCode);
    ASSERT_TRUE(platform::PathExists((s.tx() + "\\log").c_str()));
    ASSERT_EQ(strMode == "forward", platform::PathExists((s.tx() + "\\log\\commit").c_str()));
}

// Runs the recovery child with strPlan; its output.
std::string RecoverInChild(const Store& s, const std::string& strPlan)
{
    platform::CChildProcess child;
    EXPECT_EQ(0, platform::testing::StartChild(&child, "recovery_power_cut", {s.root, strPlan}));
    int nCode = -1;
    EXPECT_TRUE(child.Wait(60000, &nCode)) << strPlan;
    EXPECT_EQ(platform::kFaultExitCode, nCode) << strPlan;
    return child.Output();
}

// One cut: a fresh log, its recovery cut as strPlan says, then recovery here.
void CutRecoveryAndRecover(const std::string& strMode, const std::string& strPlan,
                           const Snapshot& expected)
{
    platform::testing::CScratchDir scratch;
    const Store s{scratch.Path()};
    LeaveLog(s, strMode);
    if (::testing::Test::HasFatalFailure())
        return;
    RecoverInChild(s, strPlan);
    const std::string what = strMode + " " + strPlan;
    CTransaction t;
    ASSERT_EQ(0, t.Open(s.tx().c_str())) << what;
    EXPECT_FALSE(platform::PathExists((s.tx() + "\\log").c_str())) << what;
    const Snapshot now = platform::testing::SnapshotTree(s.data());
    EXPECT_TRUE(now == expected) << what << ":" << Differences(expected, now);
}

TEST(RecoveryPowerCut, ACutRecoveryRecoversAsOneCleanRecovery)
{
    if (!platform::PowerCutSupported())
        GTEST_SKIP() << "power cuts are simulated by the POSIX backend only";
    const Snapshot after = CommittedState();
    Snapshot before;
    {
        platform::testing::CScratchDir scratch;
        const Store s{scratch.Path()};
        s.Create();
        before = platform::testing::SnapshotTree(s.data());
    }
    const bool bLong = platform::testing::LongRuns();
    for (const char* szMode : {"forward", "back"}) {
        SCOPED_TRACE(szMode);
        const Snapshot& expected = std::string(szMode) == "forward" ? after : before;
        platform::PowerCutCounts counts;
        {
            platform::testing::CScratchDir scratch;
            const Store s{scratch.Path()};
            LeaveLog(s, szMode);
            ASSERT_FALSE(::testing::Test::HasFatalFailure());
            int nOpened = -1;
            ASSERT_EQ(4, std::sscanf(RecoverInChild(s, "never").c_str(), "%d %u %u %u", &nOpened,
                                     &counts.nWrites, &counts.nFlushes, &counts.nRenames));
            ASSERT_EQ(0, nOpened);
        }
        ASSERT_GE(counts.nFlushes, 2u);
        ASSERT_GE(counts.nRenames, 1u);
        // Every flush and rename with one fate of the unflushed writes, and the
        // writes sampled; every point with every fate in the long runs.
        const unsigned nWriteStride = bLong ? 1 : std::max(1u, counts.nWrites / 6);
        SweepPowerCuts(counts, nWriteStride, 0, bLong ? 4 : 1, 1, [&](const std::string& strPlan) {
            CutRecoveryAndRecover(szMode, strPlan, expected);
        });
        if (::testing::Test::HasFailure())
            return;
        // Just after the recovery returned, whatever became of the writes.
        for (unsigned nSeed = 0; nSeed < 4; ++nSeed)
            CutRecoveryAndRecover(szMode, "seed=" + std::to_string(nSeed), expected);
    }
}

}  // namespace
}  // namespace velk
