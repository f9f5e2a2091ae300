// A record file inside a write transaction: a change that could not be written
// back when its record left memory is never committed, even when the exception
// that reported it was dropped on the way. The transaction then rolls back and the
// files keep their old bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/base/fault.h"
#include "engine/bptree/record_file.h"
#include "engine/txstore/tfs_context.h"
#include "engine/txstore/transaction.h"
#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using platform::CFaultInjector;
using platform::testing::SnapshotTree;

enum : std::uint32_t { kRecords = 9, kRecordSize = 4 };

struct Store {
    platform::testing::CScratchDir scratch;
    std::string Tx() const { return scratch.Sub("tx"); }
    std::string Data() const { return scratch.Sub("data"); }
    std::string Records() const { return scratch.Sub("data\\records"); }

    void Make() const
    {
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Tx().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate((Tx() + "\\dustbox").c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Data().c_str()));
    }
};

// Makes the record file with kRecords zeroed records through pFs.
void MakeRecords(CFileSystem::IContext* pFs, const std::string& strPath)
{
    ASSERT_EQ(0, CRecordFile::Create(pFs, strPath.c_str(), kRecordSize));
    CRecordFile file;
    file.Open(pFs, strPath.c_str(), 1);
    for (std::uint32_t n = 1; n <= kRecords; ++n)
        ASSERT_EQ(n, file.Allocate());
    file.Close();
}

TEST(RecordFileInTransaction, AChangeLostAtWriteBackNeverCommits)
{
    struct Case {
        const char* szName;
        bool bMadeInTransaction;  // written in place, else through the file's log
    };
    const Case kCases[] = {
        {"an older file: its log block cannot be set up", false},
        {"a file made in the transaction: its write fails", true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szName);
        Store s;
        s.Make();
        CTransaction store;
        ASSERT_EQ(0, store.Open(s.Tx().c_str()));
        if (!c.bMadeInTransaction) {
            CTransaction::IContext* pTx = store.Begin(1, 5000);
            ASSERT_NE(nullptr, pTx);
            CFileSystem::IContext* pFs = CreateTFSContext(pTx);
            MakeRecords(pFs, s.Records());
            DestroyObject(pFs);
            store.End(1);
        }
        const auto before = SnapshotTree(s.Data());

        CTransaction::IContext* pTx = store.Begin(1, 5000);
        ASSERT_NE(nullptr, pTx);
        CFileSystem::IContext* pFs = CreateTFSContext(pTx);
        if (c.bMadeInTransaction)
            MakeRecords(pFs, s.Records());
        CRecordFile file;
        file.Open(pFs, s.Records().c_str(), 1);
        file.SetCacheBound(0);  // the least it keeps: 8 records
        for (std::uint32_t n = 1; n < kRecords; ++n) {
            unsigned char* p = static_cast<unsigned char*>(file.Get(n, 1));
            std::memset(p, static_cast<int>(0xA0 + n), kRecordSize);
            file.Release(p);
        }
        // Releasing the ninth record sends the first out of memory, and its
        // write-back fails. The exception is dropped, as a holder's destructor
        // would drop it.
        unsigned char* p = static_cast<unsigned char*>(file.Get(kRecords, 1));
        std::memset(p, 0xFF, kRecordSize);
        CFaultInjector faults;
        if (c.bMadeInTransaction)
            faults.FailWrite(1, CFaultInjector::kFail);
        else
            faults.FailRead(1, CFaultInjector::kFail);  // the block's copy of the target
        platform::SetFaultInjector(&faults);
        EXPECT_THROW(file.Release(p), CFault);
        platform::SetFaultInjector(nullptr);
        // Every later write succeeds, but the change of record 1 is gone.
        EXPECT_THROW(file.Close(), CFault);
        DestroyObject(pFs);
        EXPECT_THROW(store.End(1), CFault);
        EXPECT_EQ(before, SnapshotTree(s.Data()));
        store.Close();
    }
}

// A write of a file's log whose block cannot be set up: the caller that goes on
// after the exception cannot commit the transaction without that change.
TEST(RecordFileInTransaction, AWriteWhoseBlockCannotBeSetUpNeverCommits)
{
    Store s;
    s.Make();
    platform::testing::WriteFileBytes(s.Data() + "\\plain.dat", std::string(70000, 'o'));
    const auto before = SnapshotTree(s.Data());
    CTransaction store;
    ASSERT_EQ(0, store.Open(s.Tx().c_str()));
    CTransaction::IContext* pTx = store.Begin(1, 5000);
    ASSERT_NE(nullptr, pTx);
    CTransaction::IFile* pFile = pTx->OpenFile((s.Data() + "\\plain.dat").c_str(), 1);
    EXPECT_EQ(3u, pFile->Write("new", 3));  // block 0 and the log are set up
    pFile->Seek(68000, 0);
    CFaultInjector faults;
    faults.FailRead(1, CFaultInjector::kFail);  // block 1's copy of the target
    platform::SetFaultInjector(&faults);
    EXPECT_THROW(pFile->Write("new", 3), CFault);
    platform::SetFaultInjector(nullptr);
    pFile->Seek(50, 0);
    EXPECT_EQ(3u, pFile->Write("new", 3));  // a later write goes through
    pTx->CloseFile(pFile);
    EXPECT_THROW(store.End(1), CFault);
    EXPECT_EQ(before, SnapshotTree(s.Data()));
}

}  // namespace
}  // namespace velk
