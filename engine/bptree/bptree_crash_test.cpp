// Crashes in the middle of a write transaction on trees and record files: the
// child process does the work through the transactional adapters and is ended at
// its k-th file write or flush, at a named point of the commit, or by a kill at a
// random moment; recovery must then leave exactly the state before or after the
// transaction, with sound trees, and an empty dustbox.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/bptree_check.h"
#include "engine/bptree/record_file.h"
#include "engine/txstore/fs_context.h"
#include "engine/txstore/tfs_context.h"
#include "engine/txstore/transaction.h"
#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using Snapshot = std::map<std::string, std::string>;  // relative path -> bytes ("/" for dirs)

struct Store {
    std::string root;  // with a trailing "\"
    std::string Tx() const { return root + "tx"; }
    std::string Data() const { return root + "data"; }
    std::string D(const char* szName) const { return Data() + "\\" + szName; }

    Snapshot Take() const { return platform::testing::SnapshotTree(Data()); }
};

void Key(std::uint32_t n, unsigned char ab[4])
{
    ab[0] = static_cast<unsigned char>(n >> 24);
    ab[1] = static_cast<unsigned char>(n >> 16);
    ab[2] = static_cast<unsigned char>(n >> 8);
    ab[3] = static_cast<unsigned char>(n);
}

// Runs pfn(file-system context) in one write transaction and commits.
template <class F>
void InTransaction(const Store& s, F pfn)
{
    CTransaction store;
    if (store.Open(s.Tx().c_str()) != 0)
        ThrowFault();
    CTransaction::IContext* pTx = store.Begin(1, 30000);
    if (pTx == nullptr)
        ThrowFault();
    CFileSystem::IContext* pFs = CreateTFSContext(pTx);
    pfn(pFs);
    DestroyObject(pFs);
    store.End(1);
}

// The state before: a deep tree (small orders) of 600 keys, a record file, and a
// directory that the work removes and makes again.
void MakeStore(const Store& s)
{
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(s.Tx().c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate((s.Tx() + "\\dustbox").c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(s.Data().c_str()));
    InTransaction(s, [&](CFileSystem::IContext* pFs) {
        CBPTree::Create(pFs, s.D("tree").c_str(), 3, 4, 4, 4, 0, kGuidBinaryAscending);
        CBPTree tree;
        tree.Open(pFs, s.D("tree").c_str(), 1, kGuidBinaryAscending, nullptr);
        unsigned char ab[4];
        for (std::uint32_t n = 0; n < 600; ++n) {
            Key(n * 7 % 600, ab);
            tree.Insert(ab, 4, ab, 4, nullptr);
        }
        tree.Close();
        CRecordFile::Create(pFs, s.D("records").c_str(), 32);
        CRecordFile records;
        records.Open(pFs, s.D("records").c_str(), 1);
        for (int i = 0; i < 40; ++i) {
            const std::uint32_t nId = records.Allocate();
            void* p = records.Get(nId, 1);
            std::memset(p, 'a' + i % 26, 32);
            records.Release(p);
        }
        records.Close();
        pFs->CreateDirectory(s.D("old").c_str());
        pFs->CreateFile(s.D("old\\x.dat").c_str());
    });
}

// The work: inserts and erases (splits, merges, a new root), records changed,
// allocated and freed, a new tree, and a path removed and made again.
void DoWork(const Store& s)
{
    InTransaction(s, [&](CFileSystem::IContext* pFs) {
        CBPTree tree;
        tree.Open(pFs, s.D("tree").c_str(), 1, kGuidBinaryAscending, nullptr);
        unsigned char ab[4];
        for (std::uint32_t n = 600; n < 900; ++n) {
            Key(n * 11 % 900 + 600, ab);
            tree.Insert(ab, 4, ab, 4, nullptr);
        }
        CBPTree::Cursor cursor;
        for (std::uint32_t n = 0; n < 600; n += 2) {
            Key(n, ab);
            if (tree.Find(ab, 4, &cursor, CBPTree::kFindAny))
                tree.Erase(&cursor);
        }
        tree.Close();
        CRecordFile records;
        records.Open(pFs, s.D("records").c_str(), 1);
        for (std::uint32_t nId = 1; nId <= 40; nId += 3) {
            void* p = records.Get(nId, 1);
            std::memset(p, 'Z', 16);
            records.Release(p);
        }
        records.Free(40);
        records.Free(5);
        for (int i = 0; i < 10; ++i)
            records.Allocate();
        records.Close();
        CBPTree::Create(pFs, s.D("tree2").c_str(), 8, 8, 4, 0, 1, kGuidBinaryDescending);
        CBPTree tree2;
        tree2.Open(pFs, s.D("tree2").c_str(), 1, kGuidBinaryDescending, nullptr);
        for (std::uint32_t n = 0; n < 200; ++n) {
            Key(n % 50, ab);
            tree2.Insert(ab, 4, nullptr, 0, nullptr);
        }
        tree2.Close();
        pFs->RemoveDirectory(s.D("old").c_str());
        pFs->CreateDirectory(s.D("old").c_str());
        pFs->CreateFile(s.D("old\\y.dat").c_str());
    });
}

CHILD_SCENARIO(bptree_transaction)
{
    if (vArgs.at(1) != "-" && !platform::ArmFaults(vArgs[1].c_str()))
        return 98;
    try {
        DoWork(Store{vArgs.at(0)});
        return 0;
    } catch (...) {
        return 97;
    }
}

CHILD_SCENARIO(bptree_count_writes)
{
    return platform::testing::PrintWritesAndFlushes(
        [](const std::vector<std::string>& v) { DoWork(Store{v.at(0)}); }, vArgs);
}

// Recovers, then checks the state is one of the two and every tree is sound.
void ExpectOldOrNew(const Store& s, const Snapshot& before, const Snapshot& after,
                    const std::string& what)
{
    CTransaction store;
    ASSERT_EQ(0, store.Open(s.Tx().c_str())) << what;
    const Snapshot now = s.Take();
    ASSERT_TRUE(now == before || now == after) << what;
    CFileSystem::IContext* pFs = CreateFSContext(0);
    for (const char* szTree : {"tree", "tree2"}) {
        if (!platform::PathExists(s.D(szTree).c_str()))
            continue;
        CBPTree tree;
        const unsigned char* pGuid =
            std::strcmp(szTree, "tree") == 0 ? kGuidBinaryAscending : kGuidBinaryDescending;
        tree.Open(pFs, s.D(szTree).c_str(), 0, pGuid, nullptr);
        std::vector<std::string> vProblems;
        EXPECT_EQ(0u, CheckTree(tree, &vProblems)) << what << " " << szTree
                                                   << (vProblems.empty() ? "" : vProblems[0]);
        tree.Close();
    }
    DestroyObject(pFs);
}

struct Fixture {
    platform::testing::CScratchDir scratch;
    Store s{scratch.Path()};
    Fixture() { MakeStore(s); }
};

const Snapshot& CommittedState()
{
    static Snapshot s_after;
    if (s_after.empty()) {
        Fixture f;
        DoWork(f.s);
        s_after = f.s.Take();
    }
    return s_after;
}

TEST(BPTreeCrash, EndedAtAnyWriteLeavesOldOrNewSoundTrees)
{
    const Snapshot& after = CommittedState();
    platform::testing::SRunCounts counts;
    {
        Fixture f;
        ASSERT_TRUE(platform::testing::CountWritesAndFlushes("bptree_count_writes", {f.s.root}, &counts));
    }
    for (const std::string& faults :
         platform::testing::CrashPlans(counts, 40, 2, 8, {"commit-marker", "applied"})) {
        Fixture f;
        const Snapshot before = f.s.Take();
        const int nCode = platform::testing::RunChild("bptree_transaction", {f.s.root, faults});
        ASSERT_TRUE(nCode == 0 || nCode == platform::kFaultExitCode) << faults << " " << nCode;
        ExpectOldOrNew(f.s, before, after, faults);
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

TEST(BPTreeCrash, KilledAtRandomMomentsLeavesOldOrNewSoundTrees)
{
    const Snapshot& after = CommittedState();
    const int nRounds = platform::testing::LongRuns() ? 2000 : 10;
    std::mt19937 random(4242);
    for (int round = 0; round < nRounds; ++round) {
        Fixture f;
        const Snapshot before = f.s.Take();
        platform::CChildProcess child;
        ASSERT_EQ(0, platform::testing::StartChild(&child, "bptree_transaction", {f.s.root, "-"}));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 150000));
        child.Kill();
        int nCode = 0;
        ASSERT_TRUE(child.Wait(60000, &nCode));
        ExpectOldOrNew(f.s, before, after, "round " + std::to_string(round));
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

}  // namespace
}  // namespace velk
