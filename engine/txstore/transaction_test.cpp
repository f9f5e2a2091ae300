#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/fault.h"
#include "engine/txstore/swmrg.h"
#include "engine/txstore/tfs_context.h"
#include "engine/txstore/transaction.h"
#include "engine/txstore/transaction_test_support.h"
#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using namespace transaction_test;

TEST(Transaction, CommitAppliesEverythingAndRollBackNothing)
{
    platform::testing::CScratchDir scratch;
    Store s{scratch.Path()};
    s.Create();
    const Snapshot before = platform::testing::SnapshotTree(s.data());

    ASSERT_EQ(0, RunTransaction(s, 0));
    EXPECT_EQ(before, platform::testing::SnapshotTree(s.data()));

    ASSERT_EQ(0, RunTransaction(s, 1));
    const Snapshot after = platform::testing::SnapshotTree(s.data());
    Snapshot expected = before;
    std::string a = expected["\\a.dat"];
    a.replace(10, 7, "changed");
    a.resize(140000);
    a += Pattern(20000, 5);
    expected["\\a.dat"] = a;
    expected["\\b.dat"] = "again";
    expected.erase("\\dir");
    expected.erase("\\dir\\x.dat");
    expected.erase("\\dir\\sub");
    expected.erase("\\dir\\sub\\y.dat");
    expected["\\new.dat"] = Pattern(80000, 6);
    expected["\\newdir"] = "/";
    expected["\\newdir\\n.dat"] = "n";
    expected["\\empty.dat"] = "";
    EXPECT_EQ(expected, after);
    EXPECT_FALSE(platform::PathExists((s.tx() + "\\log").c_str()));
    CTransaction keepWatching;  // the watcher runs while a store is open
    ASSERT_EQ(0, keepWatching.Open(s.tx().c_str()));
    EXPECT_TRUE(s.DustboxEmptyWithin(10000));
}

TEST(Transaction, OpenAndBeginRules)
{
    platform::testing::CScratchDir scratch;
    Store s{scratch.Path()};
    s.Create();
    CTransaction t;
    EXPECT_EQ(nullptr, t.Begin(0, 0));  // not open
    EXPECT_EQ(2, t.Open(nullptr));
    EXPECT_EQ(1, t.Open("\\\\server\\share\\tx"));
    const std::string noDustbox = scratch.Sub("bare");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(noDustbox.c_str()));
    EXPECT_EQ(1, t.Open(noDustbox.c_str()));
    EXPECT_EQ(nullptr, t.Begin(0, 0));  // after a failed Open
    {
        // With the guard busy the dustbox is not checked.
        CSWMRG guard((noDustbox + "CTransaction").c_str());
        ASSERT_EQ(1, guard.WaitToRead(0));
        EXPECT_EQ(0, t.Open(noDustbox.c_str()));
        guard.Done();
    }

    ASSERT_EQ(0, t.Open(s.tx().c_str()));
    CTransaction::IContext* pRead = t.Begin(0, 1000);
    ASSERT_NE(nullptr, pRead);
    EXPECT_EQ(nullptr, t.Begin(0, 0));  // one at a time
    EXPECT_EQ(0, pRead->IsWritable());
    EXPECT_THROW(pRead->OpenFile(s.D("a.dat").c_str(), 1), CFault);
    EXPECT_THROW(pRead->CreateFile(s.D("z.dat").c_str()), CFault);
    {
        CTransaction other;  // a writer waits while a reader holds the guard
        ASSERT_EQ(0, other.Open(s.tx().c_str()));
        EXPECT_EQ(nullptr, other.Begin(1, 0));
    }
    t.End(1);  // a read transaction commits nothing
    EXPECT_FALSE(platform::PathExists((s.tx() + "\\log").c_str()));
}

TEST(Transaction, ContextSeesItsOwnChanges)
{
    platform::testing::CScratchDir scratch;
    Store s{scratch.Path()};
    s.Create();
    CTransaction t;
    ASSERT_EQ(0, t.Open(s.tx().c_str()));
    CTransaction::IContext* pContext = t.Begin(1, 1000);
    ASSERT_NE(nullptr, pContext);
    CFileSystem::IContext* pFs = CreateTFSContext(pContext);
    EXPECT_EQ(5, pFs->CreateFile(s.D("a.dat").c_str()));
    WriteAt(pFs, s.D("a.dat"), 0, "XY");
    CFileSystem::IFile* pFile = pFs->OpenFile(s.D("a.dat").c_str(), 0);
    char ab[4] = {};
    EXPECT_EQ(4u, pFile->Read(ab, 4));
    EXPECT_EQ("XY" + Pattern(4, 1).substr(2), std::string(ab, 4));
    pFs->CloseFile(pFile);
    pFile = pFs->OpenFile(s.D("b.dat").c_str(), 0);  // untouched: read directly
    EXPECT_EQ(5000u, pFile->GetSize());
    pFs->CloseFile(pFile);
    EXPECT_EQ(Pattern(150000, 1), ReadFileBytes(s.D("a.dat")));  // nothing in place yet
    DestroyObject(pFs);
    t.End(0);
    EXPECT_EQ(Pattern(150000, 1), ReadFileBytes(s.D("a.dat")));
}

TEST(Transaction, FilesClosedAndOpenedAgainKeepTheirChangesAndModes)
{
    platform::testing::CScratchDir scratch;
    Store s{scratch.Path()};
    s.Create();
    std::vector<std::string> vFiles;
    for (int i = 0; i < 40; ++i) {  // more than the context keeps open at once
        vFiles.push_back(s.D(("f" + std::to_string(i) + ".dat").c_str()));
        WriteFileBytes(vFiles.back(), Pattern(100, i));
    }
    CTransaction t;
    ASSERT_EQ(0, t.Open(s.tx().c_str()));
    CTransaction::IContext* pContext = t.Begin(1, 1000);
    ASSERT_NE(nullptr, pContext);
    CFileSystem::IContext* pFs = CreateTFSContext(pContext);
    for (int nRound = 0; nRound < 3; ++nRound) {
        for (size_t i = 0; i < vFiles.size(); ++i)
            WriteAt(pFs, vFiles[i], static_cast<std::uint64_t>(10 * nRound), "round" + std::to_string(nRound));
    }
    // Opened again for reading: the changes are there, and writing is refused.
    CFileSystem::IFile* pFile = pFs->OpenFile(vFiles[0].c_str(), 0);
    char ab[6] = {};
    EXPECT_EQ(6u, pFile->Read(ab, 6));
    EXPECT_EQ("round0", std::string(ab, 6));
    EXPECT_THROW(pFile->Write("x", 1), CFault);
    EXPECT_THROW(pFile->SetEnd(), CFault);
    pFs->CloseFile(pFile);
    // Held by the transaction as any open target is: nobody may write it.
    platform::CFileHandle other;
    EXPECT_EQ(platform::kFileSharingViolation,
              platform::FileOpen(vFiles.back().c_str(), platform::kFileAccessWrite,
                                 platform::kFileShareRead | platform::kFileShareWrite,
                                 platform::kFileOpenExisting, &other));
    // A file that was just written and closed can still be removed.
    pFs->DeleteFile(vFiles[38].c_str());
    WriteAt(pFs, vFiles[0], 100, "end");
    DestroyObject(pFs);
    t.End(1);

    for (size_t i = 0; i < vFiles.size(); ++i) {
        if (i == 38) {
            EXPECT_FALSE(platform::PathExists(vFiles[i].c_str()));
            continue;
        }
        std::string expected = Pattern(100, static_cast<int>(i));
        for (int nRound = 0; nRound < 3; ++nRound)
            expected.replace(static_cast<size_t>(10 * nRound), 6, "round" + std::to_string(nRound));
        if (i == 0)
            expected += "end";
        EXPECT_EQ(expected, ReadFileBytes(vFiles[i])) << i;
    }
    EXPECT_FALSE(platform::PathExists((s.tx() + "\\log").c_str()));
}

TEST(Transaction, FilesOpenedForWritingLeaveNoLogUntilTheyChange)
{
    platform::testing::CScratchDir scratch;
    Store s{scratch.Path()};
    s.Create();
    const std::string a = Pattern(150000, 1);
    CTransaction t;
    ASSERT_EQ(0, t.Open(s.tx().c_str()));
    CTransaction::IContext* pContext = t.Begin(1, 1000);
    ASSERT_NE(nullptr, pContext);
    CFileSystem::IContext* pFs = CreateTFSContext(pContext);
    CFileSystem::IFile* pFile = pFs->OpenFile(s.D("b.dat").c_str(), 1);
    pFile->Seek(4000, 0);
    pFile->SetEnd();
    pFs->CloseFile(pFile);
    const std::string files = s.tx() + "\\log\\files";
    auto logs = [&] {
        std::vector<platform::DirEntry> v;
        EXPECT_EQ(platform::kFileOk, platform::DirList(files.c_str(), &v));
        return v.size();
    };
    EXPECT_EQ(1u, logs());  // the cut made b.dat's log
    // Opened for writing, read, and written back with the bytes it holds: no log.
    WriteAt(pFs, s.D("a.dat"), 0, a.substr(0, 100));
    WriteAt(pFs, s.D("a.dat"), 8190, a.substr(8190, 10));
    pFile = pFs->OpenFile(s.D("a.dat").c_str(), 1);
    pFile->Seek(static_cast<std::int64_t>(a.size()), 0);
    pFile->SetEnd();  // at the end already: no change
    pFs->CloseFile(pFile);
    EXPECT_EQ(1u, logs());
    // One byte differs: now the file is logged, and the commit writes it.
    WriteAt(pFs, s.D("a.dat"), 10, a.substr(10, 4) + "!" + a.substr(15, 5));
    EXPECT_EQ(2u, logs());
    DestroyObject(pFs);
    t.End(1);
    std::string expected = a;
    expected[14] = '!';
    EXPECT_EQ(expected, ReadFileBytes(s.D("a.dat")));
    EXPECT_EQ(Pattern(5000, 2).substr(0, 4000), ReadFileBytes(s.D("b.dat")));
    EXPECT_FALSE(platform::PathExists((s.tx() + "\\log").c_str()));
}

// ---- Crashes ---------------------------------------------------------------

// The work, ended by the fault injector as vArgs[1] says ("-" for none).
CHILD_SCENARIO(transaction_work)
{
    if (vArgs.at(1) != "-" && !platform::ArmFaults(vArgs[1].c_str()))
        return 98;
    Store s{vArgs.at(0)};
    try {
        return RunTransaction(s, 1);
    } catch (...) {
        return 97;
    }
}

// Opens the store (recovering), ended by the fault injector as vArgs[1] says.
CHILD_SCENARIO(transaction_recover)
{
    if (!platform::ArmFaults(vArgs.at(1).c_str()))
        return 98;
    CTransaction t;
    return t.Open(vArgs.at(0).c_str()) == 0 ? 0 : 1;
}


// Every flush of a write transaction guards a step that follows it, so a flush
// that fails fails the transaction (rolled back before the commit marker, rolled
// forward after it); only the flush after the log has gone (the store's
// directory) may fail unnoticed.
TEST(Transaction, EveryFailedFlushFailsTheTransaction)
{
    const Snapshot after = CommittedState();
    std::uint32_t nFlushes = 0;
    {
        platform::testing::CScratchDir scratch;
        Store s{scratch.Path()};
        s.Create();
        platform::CFaultInjector counter;
        platform::SetFaultInjector(&counter);
        RunTransaction(s, 1);
        platform::SetFaultInjector(nullptr);
        nFlushes = counter.Flushes();
    }
    ASSERT_GT(nFlushes, 10u);
    for (std::uint32_t k = 1; k <= nFlushes; ++k) {
        platform::testing::CScratchDir scratch;
        Store s{scratch.Path()};
        s.Create();
        const Snapshot before = platform::testing::SnapshotTree(s.data());
        platform::CFaultInjector faults;
        faults.FailFlush(k, platform::CFaultInjector::kFail);
        platform::SetFaultInjector(&faults);
        bool bThrew = false;
        try {
            RunTransaction(s, 1);
        } catch (const CFault&) {
            bThrew = true;
        }
        platform::SetFaultInjector(nullptr);
        const std::string what = "flush " + std::to_string(k) + " of " + std::to_string(nFlushes);
        EXPECT_EQ(k < nFlushes, bThrew) << what;
        ExpectOldOrNew(s, before, after, what, false);
        EXPECT_TRUE(bThrew || platform::testing::SnapshotTree(s.data()) == after) << what;
    }
}

// Counts the writes and flushes of one complete run.
CHILD_SCENARIO(transaction_count)
{
    return platform::testing::PrintWritesAndFlushes(
        [](const std::vector<std::string>& v) {
            if (RunTransaction(Store{v.at(0)}, 1) != 0)
                ThrowFault();
        },
        vArgs);
}

TEST(TransactionCrash, EndedAtAnyWriteOrFlushLeavesOldOrNewState)
{
    platform::testing::SRunCounts counts;
    {
        platform::testing::CScratchDir scratch;
        Store s{scratch.Path()};
        s.Create();
        ASSERT_TRUE(platform::testing::CountWritesAndFlushes("transaction_count", {s.root}, &counts));
    }
    ASSERT_GT(counts.nWrites, 10u);
    const Snapshot after = CommittedState();
    int k = 0;
    for (const std::string& faults : platform::testing::CrashPlans(
             counts, 60, 20, 20, {"commit-marker", "applied", "discarded"})) {
        ++k;
        platform::testing::CScratchDir scratch;
        Store s{scratch.Path()};
        s.Create();
        const Snapshot before = platform::testing::SnapshotTree(s.data());
        const int nCode = platform::testing::RunChild("transaction_work", {s.root, faults});
        ASSERT_TRUE(nCode == 0 || nCode == platform::kFaultExitCode) << faults << " " << nCode;
        if (k % 3 == 0 && nCode != 0) {
            // Crash the recovery too, then recover for real.
            platform::testing::RunChild("transaction_recover", {s.root, "exit-write=" + std::to_string(k % 7 + 1)});
        }
        ExpectOldOrNew(s, before, after, faults, k % 4 == 1);
        if (::testing::Test::HasFailure())
            return;
    }
}

TEST(TransactionCrash, KilledAtRandomMomentsLeavesOldOrNewState)
{
    const Snapshot after = CommittedState();
    std::mt19937 random(12345);
    for (int round = 0; round < 12; ++round) {
        platform::testing::CScratchDir scratch;
        Store s{scratch.Path()};
        s.Create();
        const Snapshot before = platform::testing::SnapshotTree(s.data());
        platform::CChildProcess child;
        ASSERT_EQ(0, platform::testing::StartChild(&child, "transaction_work", {s.root, "-"}));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        child.Kill();
        int nCode = 0;
        ASSERT_TRUE(child.Wait(60000, &nCode));
        ExpectOldOrNew(s, before, after, "round " + std::to_string(round));
    }
}

// ---- Failed changes of names -------------------------------------------------

// The work with the k-th change of a name of one kind failing. A failure before the
// commit must leave the old state, a commit that returned the new one; an End that
// threw may leave either (recovery at the next Open decides).
enum class Outcome { kRolledBack, kCommitted, kEither };

Outcome RunWithFailedNameOp(const Store& s)
{
    CTransaction transaction;
    if (transaction.Open(s.tx().c_str()) != 0)
        return Outcome::kRolledBack;
    CTransaction::IContext* pContext = transaction.Begin(1, 30000);
    if (pContext == nullptr)
        return Outcome::kRolledBack;
    CFileSystem::IContext* pFs = CreateTFSContext(pContext);
    try {
        DoWork(s, pFs);
    } catch (const CFault&) {
        DestroyObject(pFs);
        try {
            transaction.End(0);
        } catch (const CFault&) {
        }
        return Outcome::kRolledBack;
    }
    DestroyObject(pFs);
    try {
        transaction.End(1);
    } catch (const CFault&) {
        return Outcome::kEither;
    }
    return Outcome::kCommitted;
}

TEST(TransactionFaults, AFailedMoveOrDirectoryCreationNeverPassesForDone)
{
    const Snapshot after = CommittedState();
    for (auto op : {platform::CFaultInjector::kMoveOp, platform::CFaultInjector::kDirCreateOp}) {
        std::uint32_t nOps = 0;
        {
            platform::testing::CScratchDir scratch;
            Store s{scratch.Path()};
            s.Create();
            platform::CFaultInjector counter;
            platform::SetFaultInjector(&counter);
            EXPECT_EQ(Outcome::kCommitted, RunWithFailedNameOp(s));
            platform::SetFaultInjector(nullptr);
            nOps = counter.NameOps(op);
        }
        ASSERT_GT(nOps, 2u);
        bool bSawRollBack = false;
        for (std::uint32_t k = 1; k <= nOps; ++k) {
            platform::testing::CScratchDir scratch;
            Store s{scratch.Path()};
            s.Create();
            const Snapshot before = platform::testing::SnapshotTree(s.data());
            platform::CFaultInjector faults;
            faults.FailNameOp(op, k, platform::CFaultInjector::kFail);
            platform::SetFaultInjector(&faults);
            const Outcome outcome = RunWithFailedNameOp(s);
            platform::SetFaultInjector(nullptr);
            const std::string what = "kind " + std::to_string(op) + " k=" + std::to_string(k);
            bSawRollBack |= outcome == Outcome::kRolledBack;
            CTransaction t;  // recovers what a failed End left
            ASSERT_EQ(0, t.Open(s.tx().c_str())) << what;
            EXPECT_FALSE(platform::PathExists((s.tx() + "\\log").c_str())) << what;
            const Snapshot now = platform::testing::SnapshotTree(s.data());
            if (outcome == Outcome::kRolledBack)
                EXPECT_TRUE(now == before) << what;
            else if (outcome == Outcome::kCommitted)
                EXPECT_TRUE(now == after) << what;
            else
                EXPECT_TRUE(now == before || now == after) << what;
            if (::testing::Test::HasFailure())
                return;
        }
        EXPECT_TRUE(bSawRollBack);
    }
}

// A cut alone leaves nothing in the log but the size record. When a write of that
// record fails, the commit is refused even though the caller goes on to commit,
// and the store keeps its old state.
TEST(TransactionFaults, AFailedSizeRecordWriteRefusesTheCommit)
{
    for (auto action : {platform::CFaultInjector::kFail, platform::CFaultInjector::kShort}) {
        bool bCommitted = false;
        std::uint32_t nRefused = 0;
        for (std::uint32_t k = 1; k < 10 && !bCommitted; ++k) {
            const std::string what = "action " + std::to_string(action) + ", write " + std::to_string(k);
            platform::testing::CScratchDir scratch;
            Store s{scratch.Path()};
            s.Create();
            const Snapshot before = platform::testing::SnapshotTree(s.data());
            platform::CFaultInjector faults;
            bool bOpened = false, bThrew = false;
            {
                CTransaction t;
                CFileSystem::IContext* pFs = nullptr;
                ASSERT_EQ(0, BeginWrite(s.tx(), &t, &pFs));
                faults.FailWrite(k, action);
                platform::SetFaultInjector(&faults);
                CFileSystem::IFile* pFile = nullptr;
                try {
                    pFile = pFs->OpenFile(s.D("b.dat").c_str(), 1);
                    bOpened = true;
                    pFile->Seek(100, 0);
                    pFile->SetEnd();
                } catch (const CFault&) {
                    // A careless caller: it commits all the same.
                }
                if (pFile != nullptr)
                    pFs->CloseFile(pFile);
                DestroyObject(pFs);
                try {
                    t.End(1);
                } catch (const CFault&) {
                    bThrew = true;
                }
                platform::SetFaultInjector(nullptr);
            }
            CTransaction check;
            ASSERT_EQ(0, check.Open(s.tx().c_str())) << what;
            EXPECT_FALSE(platform::PathExists((s.tx() + "\\log").c_str())) << what;
            const Snapshot now = platform::testing::SnapshotTree(s.data());
            if (faults.Writes() < k) {
                bCommitted = true;
                EXPECT_FALSE(bThrew) << what;
                EXPECT_EQ(Pattern(5000, 2).substr(0, 100), now.at("\\b.dat")) << what;
            } else {
                // A failure before the file was opened leaves nothing to commit.
                EXPECT_TRUE(bThrew || !bOpened) << what;
                nRefused += bThrew ? 1 : 0;
                EXPECT_TRUE(now == before) << what << ":" << Differences(before, now);
            }
        }
        EXPECT_TRUE(bCommitted);
        EXPECT_GE(nRefused, 1u);
    }
}

}  // namespace
}  // namespace velk
