// Shared by the transaction tests: a small store, one write transaction's work on
// it (changes, creations, a dig-out, removals), the state that work commits, and
// the check that a store recovers to exactly the state before or after it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/fault.h"
#include "engine/txstore/tfs_context.h"
#include "engine/txstore/transaction.h"
#include "platform/file.h"
#include "platform/power_cut.h"
#include "platform/test_support.h"

namespace velk {
namespace transaction_test {

using Snapshot = std::map<std::string, std::string>;  // relative path -> bytes ("/" for dirs)
using platform::testing::ReadFileBytes;
using platform::testing::WriteFileBytes;

inline std::string Pattern(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + seed * 13 + i / 997) % 26);
    return s;
}

// A store: T (the transaction directory with its dustbox) and the data it guards.
struct Store {
    std::string root;  // with a trailing "\"
    std::string tx() const { return root + "tx"; }
    std::string data() const { return root + "data"; }
    std::string D(const char* name) const { return data() + "\\" + name; }

    void Create() const
    {
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(tx().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate((tx() + "\\dustbox").c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(data().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(D("dir").c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(D("dir\\sub").c_str()));
        WriteFileBytes(D("a.dat"), Pattern(150000, 1));
        WriteFileBytes(D("b.dat"), Pattern(5000, 2));
        WriteFileBytes(D("dir\\x.dat"), Pattern(70000, 3));
        WriteFileBytes(D("dir\\sub\\y.dat"), Pattern(10, 4));
    }

    bool DustboxEmptyWithin(int nMs) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        for (;;) {
            std::vector<platform::DirEntry> v;
            platform::DirList((tx() + "\\dustbox").c_str(), &v);
            if (v.empty())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
};

inline void WriteAt(CFileSystem::IContext* pFs, const std::string& path, std::uint64_t nAt,
                    const std::string& data)
{
    CFileSystem::IFile* pFile = pFs->OpenFile(path.c_str(), 1);
    pFile->Seek(static_cast<std::int64_t>(nAt), 0);
    std::uint32_t cb = 0;
    try {
        // A file's log is made at its first change, so a write may fail for it.
        cb = pFile->Write(data.data(), static_cast<std::uint32_t>(data.size()));
    } catch (...) {
        pFs->CloseFile(pFile);
        throw;
    }
    pFs->CloseFile(pFile);
    if (cb != data.size())
        ThrowFault();
}

// One write transaction's work through the adapters: changes in place and past the
// end, a cut, new files and directories, a removed pre-existing tree, a path
// removed and made again, a new file removed again after others were made, and a
// new file left empty.
inline void DoWork(const Store& s, CFileSystem::IContext* pFs)
{
    WriteAt(pFs, s.D("a.dat"), 10, "changed");
    WriteAt(pFs, s.D("a.dat"), 140000, Pattern(20000, 5));  // across blocks, past the end
    CFileSystem::IFile* pFile = pFs->OpenFile(s.D("b.dat").c_str(), 1);
    pFile->Seek(100, 0);
    try {
        pFile->SetEnd();
    } catch (...) {
        pFs->CloseFile(pFile);
        throw;
    }
    pFs->CloseFile(pFile);
    WriteAt(pFs, s.D("dir\\x.dat"), 0, "pending");  // dropped with its directory
    // Made inside the old tree and removed with it: a roll-back must not bring
    // them back with the tree.
    if (pFs->CreateFile(s.D("dir\\sub\\made.dat").c_str()) != 0 ||
        pFs->CreateDirectory(s.D("dir\\madedir").c_str()) != 0 ||
        pFs->CreateFile(s.D("dir\\madedir\\m.dat").c_str()) != 0)
        ThrowFault();
    WriteAt(pFs, s.D("dir\\sub\\made.dat"), 0, "made");
    pFs->RemoveDirectory(s.D("dir").c_str());
    if (pFs->CreateFile(s.D("gone.dat").c_str()) != 0 ||  // removed again below
        pFs->CreateFile(s.D("new.dat").c_str()) != 0 ||
        pFs->CreateDirectory(s.D("newdir").c_str()) != 0 ||
        pFs->CreateFile(s.D("newdir\\n.dat").c_str()) != 0)
        ThrowFault();
    WriteAt(pFs, s.D("new.dat"), 0, Pattern(80000, 6));
    WriteAt(pFs, s.D("newdir\\n.dat"), 0, "n");
    pFs->DeleteFile(s.D("b.dat").c_str());
    if (pFs->CreateFile(s.D("b.dat").c_str()) != 0)
        ThrowFault();
    WriteAt(pFs, s.D("b.dat"), 0, "again");
    pFs->DeleteFile(s.D("gone.dat").c_str());
    if (pFs->CreateFile(s.D("empty.dat").c_str()) != 0)  // made and never written
        ThrowFault();
}

// Opens the transaction store strTx and begins a write transaction, with the
// adapters' context on it in *ppFs (the caller destroys it before the end).
// Returns 0, 1 when the store did not open, 2 when no transaction began.
inline int BeginWrite(const std::string& strTx, CTransaction* pTransaction,
                      CFileSystem::IContext** ppFs)
{
    if (pTransaction->Open(strTx.c_str()) != 0)
        return 1;
    CTransaction::IContext* pContext = pTransaction->Begin(1, 30000);
    if (pContext == nullptr)
        return 2;
    *ppFs = CreateTFSContext(pContext);
    return 0;
}

// Opens the store, runs the work in one write transaction and ends it.
inline int RunTransaction(const Store& s, int nCommit)
{
    CTransaction transaction;
    CFileSystem::IContext* pFs = nullptr;
    const int nBegun = BeginWrite(s.tx(), &transaction, &pFs);
    if (nBegun != 0)
        return nBegun;
    try {
        DoWork(s, pFs);
    } catch (...) {
        DestroyObject(pFs);  // the transaction rolls back as it closes
        throw;
    }
    DestroyObject(pFs);
    transaction.End(nCommit);
    return 0;
}

// The state of a store after the work was committed, made once per test binary.
inline Snapshot CommittedState()
{
    static Snapshot s_committed;
    if (s_committed.empty()) {
        platform::testing::CScratchDir scratch;
        Store s{scratch.Path()};
        s.Create();
        EXPECT_EQ(0, RunTransaction(s, 1));
        s_committed = platform::testing::SnapshotTree(s.data());
    }
    return s_committed;
}

// The paths whose contents differ between two states, for a failure message.
inline std::string Differences(const Snapshot& a, const Snapshot& b)
{
    std::string text;
    for (const auto& entry : a) {
        const auto it = b.find(entry.first);
        if (it == b.end())
            text += " -" + entry.first;
        else if (it->second != entry.second)
            text += " ~" + entry.first;
    }
    for (const auto& entry : b)
        if (a.count(entry.first) == 0)
            text += " +" + entry.first;
    return text;
}

// Recovers in this process and checks the store holds exactly one of the states.
inline void ExpectOldOrNew(const Store& s, const Snapshot& before, const Snapshot& after,
                           const std::string& what, bool bCheckDustbox = true)
{
    CTransaction t;
    ASSERT_EQ(0, t.Open(s.tx().c_str())) << what;
    EXPECT_FALSE(platform::PathExists((s.tx() + "\\log").c_str())) << what;
    const Snapshot now = platform::testing::SnapshotTree(s.data());
    EXPECT_TRUE(now == before || now == after)
        << what << "; from the state before:" << Differences(before, now)
        << "; from the state after:" << Differences(after, now);
    if (bCheckDustbox) {
        EXPECT_TRUE(s.DustboxEmptyWithin(10000)) << what;
    }
}

// The power-cut plans of one sweep over a run with the given counts: before every
// flush and rename, and before every nWriteStride-th write, each with the fates
// nFateFrom..nFateTo-1 of the unflushed writes (the seed nSeedScale * k + fate).
// Calls pfnCut(plan) for each, and stops at the first test failure.
template <class F>
void SweepPowerCuts(const platform::PowerCutCounts& counts, unsigned nWriteStride,
                    unsigned nFateFrom, unsigned nFateTo, unsigned nSeedScale, F pfnCut)
{
    struct Sweep {
        const char* szKind;
        unsigned nPoints;
        unsigned nStride;
    };
    const Sweep kSweeps[] = {
        {"flush", counts.nFlushes, 1},
        {"rename", counts.nRenames, 1},
        {"write", counts.nWrites, nWriteStride},
    };
    for (const Sweep& sweep : kSweeps) {
        for (unsigned k = 1; k <= sweep.nPoints; k += sweep.nStride) {
            for (unsigned nFate = nFateFrom; nFate < nFateTo; ++nFate) {
                pfnCut(std::string(sweep.szKind) + "=" + std::to_string(k) +
                       ",seed=" + std::to_string(nSeedScale * k + nFate));
                if (::testing::Test::HasFailure())
                    return;
            }
        }
    }
}

}  // namespace transaction_test
}  // namespace velk
