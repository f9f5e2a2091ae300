#include "engine/bptree/record_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/test_store.h"
#include "platform/file.h"

namespace velk {
namespace {

using testing::Bytes;
using testing::CTestStore;

Bytes U32(std::uint32_t n)
{
    Bytes v(4);
    PutU32LE(v.data(), n);
    return v;
}

// A record file's bytes: header, N records of a repeated byte each, free list.
Bytes FileBytes(std::uint32_t cbRecord, std::uint32_t nRecords,
                const std::vector<std::uint32_t>& vFree)
{
    Bytes v = {0x89, 'F', 'L', 'R', 0x0D, 0x0A, 0x1A, 0x0A};
    for (std::uint32_t n : {cbRecord, nRecords}) {
        Bytes b = U32(n);
        v.insert(v.end(), b.begin(), b.end());
    }
    for (std::uint32_t i = 1; i <= nRecords; ++i)
        v.insert(v.end(), cbRecord, static_cast<unsigned char>(i));
    Bytes b = U32(static_cast<std::uint32_t>(vFree.size()));
    v.insert(v.end(), b.begin(), b.end());
    for (std::uint32_t n : vFree) {
        b = U32(n);
        v.insert(v.end(), b.begin(), b.end());
    }
    return v;
}

// Every case runs on the in-memory context and on the real one over a scratch
// directory.
class RecordFileTest : public ::testing::TestWithParam<testing::StoreKind> {
protected:
    RecordFileTest() : m_store(GetParam()), m_strPath(m_store.Path("records")), kPath(m_strPath.c_str()) {}

    void Write(const Bytes& v) { m_store.Write("records", v); }
    Bytes Disk() { return m_store.Read("records"); }
    // Nothing is left open: every file went back to its context. Only the memory
    // context counts its files.
    int OpenFiles() { return m_store.Memory() ? m_store.Memory()->GetOpenFileCount() : 0; }

    CTestStore m_store;
    std::string m_strPath;
    const char* kPath;
    CFileSystem::IContext* m_pContext = m_store.Context();
    CRecordFile m_file;
};

TEST_P(RecordFileTest, NewFileAndFirstRecordsHaveExactBytes)
{
    ASSERT_EQ(0, CRecordFile::Create(m_pContext, kPath, 4));
    const Bytes kEmpty = {0x89, 0x46, 0x4C, 0x52, 0x0D, 0x0A, 0x1A, 0x0A, 4, 0, 0, 0,
                          0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(kEmpty, Disk());

    m_file.Open(m_pContext, kPath, 1);
    EXPECT_EQ(0u, m_file.GetRecordCount());
    EXPECT_EQ(1u, m_file.Allocate());
    EXPECT_EQ(2u, m_file.Allocate());
    EXPECT_EQ(3u, m_file.Allocate());
    void* p = m_file.Get(2, 1);
    std::memcpy(p, "ABCD", 4);
    m_file.Release(p);
    m_file.Free(1);
    m_file.Close();
    const Bytes kThree = {0x89, 0x46, 0x4C, 0x52, 0x0D, 0x0A, 0x1A, 0x0A, 4, 0, 0, 0, 3, 0, 0, 0,
                          0, 0, 0, 0, 'A', 'B', 'C', 'D', 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(kThree, Disk());
    EXPECT_EQ(0, OpenFiles());
}

TEST_P(RecordFileTest, CreateRefusesBadArgumentsAndExistingPath)
{
    EXPECT_EQ(2, CRecordFile::Create(nullptr, kPath, 4));
    EXPECT_EQ(2, CRecordFile::Create(m_pContext, nullptr, 4));
    EXPECT_EQ(2, CRecordFile::Create(m_pContext, kPath, 0));
    EXPECT_EQ(0, CRecordFile::Create(m_pContext, kPath, 4));
    EXPECT_EQ(5, CRecordFile::Create(m_pContext, kPath, 4));
}

// Allocation, freeing and trimming, starting from N records with a free list.
TEST_P(RecordFileTest, FreeListAndTrimming)
{
    struct Case {
        std::vector<std::uint32_t> vFree;
        int nAllocate;                       // allocate this many first
        std::vector<std::uint32_t> vToFree;  // then free these
        std::uint32_t nAllocated;            // last id allocated (0: none)
        std::uint32_t nCount;                // N afterwards
        std::vector<std::uint32_t> vFreeAfter;
    };
    const Case kCases[] = {
        {{2, 4}, 1, {}, 4, 5, {2}},
        {{3, 4}, 0, {5}, 0, 2, {}},
        {{}, 0, {5, 4, 3, 2}, 0, 1, {}},
        {{}, 0, {2, 4, 1}, 0, 5, {1, 2, 4}},
        {{2}, 0, {2, 0, 6, 9}, 0, 5, {2}},  // already free, 0 and above N: no change
        {{1, 2, 3, 4}, 0, {5}, 0, 0, {}},
        {{}, 2, {}, 7, 7, {}},
        {{1, 3}, 3, {}, 6, 6, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.nCount);
        Write(FileBytes(4, 5, c.vFree));
        m_file.Open(m_pContext, kPath, 1);
        std::uint32_t nLast = 0;
        for (int i = 0; i < c.nAllocate; ++i)
            nLast = m_file.Allocate();
        for (std::uint32_t nId : c.vToFree)
            m_file.Free(nId);
        EXPECT_EQ(c.nAllocated, nLast);
        EXPECT_EQ(c.nCount, m_file.GetRecordCount());
        EXPECT_EQ(c.vFreeAfter, m_file.GetFreeIds());
        m_file.Close();
        EXPECT_EQ(16 + 4 * c.nCount + 4 + 4 * c.vFreeAfter.size(), Disk().size());
        m_file.Open(m_pContext, kPath, 0);
        EXPECT_EQ(c.vFreeAfter, m_file.GetFreeIds());
        m_file.Close();
        m_pContext->DeleteFile(kPath);
    }
}

TEST_P(RecordFileTest, ReusedRecordReadsAsZeros)
{
    Write(FileBytes(4, 3, {2}));
    m_file.Open(m_pContext, kPath, 1);
    ASSERT_EQ(2u, m_file.Allocate());
    void* p = m_file.Get(2, 0);
    EXPECT_EQ(0, std::memcmp(p, "\0\0\0\0", 4));
    m_file.Release(p);
    m_file.Close();
    EXPECT_EQ(FileBytes(4, 3, {}).size(), Disk().size());
    EXPECT_EQ(0, Disk()[20]);
}

TEST_P(RecordFileTest, GetRefusesWhatIsNotAllocatedOrNotWritable)
{
    Write(FileBytes(4, 3, {2}));
    m_file.Open(m_pContext, kPath, 0);
    for (std::uint32_t nId : {0u, 2u, 4u}) {
        EXPECT_THROW(m_file.Get(nId, 0), CFault) << nId;
        EXPECT_THROW(m_file.Peek(nId), CFault) << nId;
    }
    // A peek shows a record only while it is in memory, and pins nothing.
    EXPECT_EQ(nullptr, m_file.Peek(1));
    void* p = m_file.Get(1, 0);
    EXPECT_EQ(p, m_file.Peek(1));
    EXPECT_EQ(nullptr, m_file.Peek(3));
    EXPECT_EQ(1u, m_file.GetPinCount());
    EXPECT_THROW(m_file.Get(1, 1), CFault);
    EXPECT_THROW(m_file.Allocate(), CFault);
    m_file.Release(p);
    EXPECT_EQ(0u, m_file.GetPinCount());
}

TEST_P(RecordFileTest, PinsShareOneBufferAndChangesReachTheFileAtClose)
{
    Write(FileBytes(4, 2, {}));
    m_file.Open(m_pContext, kPath, 1);
    void* p1 = m_file.Get(2, 0);
    void* p2 = m_file.Get(2, 1);
    ASSERT_EQ(p1, p2);
    EXPECT_TRUE(m_file.IsPinned(2));
    std::memcpy(p2, "wxyz", 4);
    m_file.Release(p1);
    m_file.Release(p2);
    EXPECT_FALSE(m_file.IsPinned(2));
    EXPECT_EQ(0u, m_file.GetPinCount());
    m_file.Release(p2);  // no longer pinned: ignored
    // Pinned again, the record is the changed one, whether or not it is on file yet.
    void* p3 = m_file.Get(2, 0);
    EXPECT_EQ(0, std::memcmp(p3, "wxyz", 4));
    m_file.Release(p3);
    m_file.Close();
    EXPECT_EQ('w', Disk()[20]);
}

// More changed records than memory keeps: the file keeps 8 MiB of its own and
// draws on the process's budget (here 4 MiB) for more, the oldest go to the file on
// the way, the file after Close holds every change, and Close hands the budget back.
TEST_P(RecordFileTest, ChangesBeyondTheCacheBoundAllReachTheFile)
{
    struct SBudget {
        std::size_t cbBefore = CRecordFile::SetSharedCacheBound(4u << 20);
        ~SBudget() { CRecordFile::SetSharedCacheBound(cbBefore); }
    } budget;
    const std::uint32_t cbRecord = 1u << 18;
    const std::uint32_t nRecords = 64;
    const std::size_t cbSharedBefore = CRecordFile::GetSharedCacheBytes();
    ASSERT_EQ(0u, cbSharedBefore);
    ASSERT_EQ(0, CRecordFile::Create(m_pContext, kPath, cbRecord));
    m_file.Open(m_pContext, kPath, 1);
    for (std::uint32_t i = 1; i <= nRecords; ++i) {
        ASSERT_EQ(i, m_file.Allocate());
        unsigned char* p = static_cast<unsigned char*>(m_file.Get(i, 1));
        std::memset(p, static_cast<int>(i), cbRecord);
        m_file.Release(p);
        if (i == 40) {
            EXPECT_EQ(8 * cbRecord, CRecordFile::GetSharedCacheBytes());
        }
    }
    EXPECT_EQ(4u << 20, CRecordFile::GetSharedCacheBytes());
    if (m_store.Memory()) {
        EXPECT_EQ(1, Disk()[16]);  // the first record left memory long ago
    }
    for (std::uint32_t i = 1; i <= nRecords; ++i) {
        const unsigned char* p = static_cast<const unsigned char*>(m_file.Get(i, 0));
        EXPECT_EQ(i, p[0]) << i;
        EXPECT_EQ(i, p[cbRecord - 1]) << i;
        m_file.Release(const_cast<unsigned char*>(p));
    }
    m_file.Close();
    EXPECT_EQ(0u, CRecordFile::GetSharedCacheBytes());
    EXPECT_EQ(FileBytes(cbRecord, nRecords, {}), Disk());
}

// A file with a bound of its own keeps no more than that, whatever the budget.
TEST_P(RecordFileTest, AFixedBoundDrawsNothingFromTheBudget)
{
    const std::uint32_t cbRecord = 1u << 16;
    ASSERT_EQ(0, CRecordFile::Create(m_pContext, kPath, cbRecord));
    m_file.Open(m_pContext, kPath, 1);
    m_file.SetCacheBound(0);
    const std::size_t cbSharedBefore = CRecordFile::GetSharedCacheBytes();
    for (std::uint32_t i = 1; i <= 40; ++i) {
        ASSERT_EQ(i, m_file.Allocate());
        unsigned char* p = static_cast<unsigned char*>(m_file.Get(i, 1));
        std::memset(p, static_cast<int>(i), cbRecord);
        m_file.Release(p);
    }
    EXPECT_EQ(cbSharedBefore, CRecordFile::GetSharedCacheBytes());
    if (m_store.Memory()) {
        EXPECT_EQ(1, Disk()[16]);
    }
    m_file.Close();
    EXPECT_EQ(FileBytes(cbRecord, 40, {}), Disk());
}

// A freed record still in memory must not come back when its id is handed out
// again: the new record is zeros, on file and when pinned.
TEST_P(RecordFileTest, ReallocatedRecordsAreZeros)
{
    Write(FileBytes(4, 3, {}));
    m_file.Open(m_pContext, kPath, 1);
    for (std::uint32_t nId : {2u, 3u}) {  // 2 stays in the middle, 3 is trimmed
        void* p = m_file.Get(nId, 1);
        std::memcpy(p, "old!", 4);
        m_file.Release(p);
        m_file.Free(nId);
        ASSERT_EQ(nId, m_file.Allocate());
        p = m_file.Get(nId, 0);
        EXPECT_EQ(0, std::memcmp(p, "\0\0\0\0", 4)) << nId;
        m_file.Release(p);
    }
    m_file.Close();
    Bytes v = FileBytes(4, 3, {});
    std::fill(v.begin() + 20, v.begin() + 28, 0);
    EXPECT_EQ(v, Disk());
}

TEST_P(RecordFileTest, ReadOnlyCloseWritesNothing)
{
    Bytes v = FileBytes(4, 2, {});
    v.push_back(0xEE);  // beyond the free list: disregarded
    Write(v);
    m_file.Open(m_pContext, kPath, 0);
    void* p = m_file.Get(1, 0);
    static_cast<unsigned char*>(p)[0] = 0x55;  // a misbehaving holder
    m_file.Close();
    EXPECT_EQ(v, Disk());

    m_file.Open(m_pContext, kPath, 1);
    m_file.Close();
    EXPECT_EQ(FileBytes(4, 2, {}), Disk());
}

TEST_P(RecordFileTest, DamagedFilesFailToOpen)
{
    struct Case {
        const char* szWhat;
        Bytes v;
    };
    Bytes vBadMagic = FileBytes(4, 1, {});
    vBadMagic[1] = 'X';
    Bytes vZeroSize = FileBytes(4, 0, {});
    PutU32LE(&vZeroSize[8], 0);
    Bytes vHuge = FileBytes(0x10000000, 0, {});
    PutU32LE(&vHuge[12], 0x10);  // 16 + N * size wraps 32 bits to 16
    Bytes vTooManyFree = FileBytes(4, 1, {1});
    PutU32LE(&vTooManyFree[16 + 4], 2);
    vTooManyFree.insert(vTooManyFree.end(), {1, 0, 0, 0});
    Bytes vListCut = FileBytes(4, 3, {1, 2});
    vListCut.pop_back();
    Bytes vShort = FileBytes(4, 3, {});
    vShort.resize(vShort.size() - 6);
    const Case kCases[] = {
        {"bad magic", vBadMagic},
        {"header cut", Bytes(vBadMagic.begin(), vBadMagic.begin() + 15)},
        {"record size 0", vZeroSize},
        {"offsets beyond 32 bits", vHuge},
        {"records cut", vShort},
        {"free count above N", vTooManyFree},
        {"free list cut", vListCut},
        {"free ids descending", FileBytes(4, 3, {2, 1})},
        {"free id repeated", FileBytes(4, 3, {2, 2})},
        {"free id 0", FileBytes(4, 3, {0})},
        {"free id above N", FileBytes(4, 3, {4})},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        Write(c.v);
        for (int nWritable : {0, 1}) {
            EXPECT_THROW(m_file.Open(m_pContext, kPath, nWritable), CFault);
            EXPECT_FALSE(m_file.IsOpen());
            EXPECT_EQ(0, OpenFiles());
        }
        m_pContext->DeleteFile(kPath);
    }
}

TEST_P(RecordFileTest, OpenRefusesWriteOnReadOnlyContext)
{
    Write(FileBytes(4, 1, {}));
    CFileSystem::IContext* pReadOnly = m_store.ReadOnlyContext();
    EXPECT_THROW(m_file.Open(pReadOnly, kPath, 1), CFault);
    m_file.Open(pReadOnly, kPath, 0);
    EXPECT_EQ(1u, m_file.GetRecordCount());
}

TEST_P(RecordFileTest, GrowthBeyondThirtyTwoBitOffsetsIsRefused)
{
    ASSERT_EQ(0, CRecordFile::Create(m_pContext, kPath, 0xFFFFFFF0u));
    m_file.Open(m_pContext, kPath, 1);
    EXPECT_THROW(m_file.Allocate(), CFault);
    EXPECT_EQ(0u, m_file.GetRecordCount());
}

TEST_P(RecordFileTest, FreeingThatWouldPassThirtyTwoBitOffsetsIsRefused)
{
    if (m_store.Memory() != nullptr)
        GTEST_SKIP() << "a file of 4 GiB is made sparse on disk only";
    // Two records of almost 2 GiB: with an empty free list the file ends 1 byte
    // short of the limit, so one free entry would pass it.
    const std::uint32_t cbRecord = 2147483637u;
    {
        Bytes header = FileBytes(cbRecord, 0, {});
        header.resize(16);
        PutU32LE(&header[12], 2);
        platform::CFileHandle file;
        ASSERT_EQ(platform::kFileOk, platform::FileOpen(kPath, platform::kFileAccessWrite, 0,
                                                         platform::kFileCreateNew, &file));
        std::uint32_t cb = 0;
        ASSERT_EQ(platform::kFileOk, file.Write(header.data(), 16, &cb));
        ASSERT_EQ(platform::kFileOk,
                  file.Seek(16 + 2 * static_cast<std::int64_t>(cbRecord), platform::kFileBegin, nullptr));
        ASSERT_EQ(platform::kFileOk, file.Write(U32(0).data(), 4, &cb));
    }
    m_file.Open(m_pContext, kPath, 1);
    EXPECT_THROW(m_file.Free(1), CFault);
    EXPECT_TRUE(m_file.IsAllocated(1));
    m_file.Free(2);  // the last record: the file shrinks
    m_file.Close();
    m_file.Open(m_pContext, kPath, 1);
    EXPECT_EQ(1u, m_file.GetRecordCount());
    m_file.Close();
}

TEST_P(RecordFileTest, ShortWritesThrow)
{
    if (m_store.Memory() == nullptr)
        GTEST_SKIP() << "short writes are made by the memory context";
    testing::CMemoryContext* pMemory = m_store.Memory();
    Write(FileBytes(4, 2, {}));
    m_file.Open(m_pContext, kPath, 1);
    void* p = m_file.Get(1, 1);
    m_file.Release(p);
    EXPECT_FALSE(m_file.IsPinned(1));
    pMemory->FailWriteAfter(1);
    EXPECT_THROW(m_file.Allocate(), CFault);
    pMemory->FailWriteAfter(1);  // the changed record, at Close
    EXPECT_THROW(m_file.Close(), CFault);
    EXPECT_FALSE(m_file.IsOpen());
    EXPECT_EQ(0, OpenFiles());

    m_pContext->DeleteFile(kPath);
    pMemory->FailWriteAfter(2);
    EXPECT_THROW(CRecordFile::Create(m_pContext, kPath, 4), CFault);
    EXPECT_EQ(0, OpenFiles());
}

// A record whose write-back fails when it leaves memory is lost: Release says so,
// and so does Close, though every write of Close itself succeeds.
TEST_P(RecordFileTest, AWriteBackLostOnTheWayOutFailsClose)
{
    if (m_store.Memory() == nullptr)
        GTEST_SKIP() << "short writes are made by the memory context";
    Write(FileBytes(4, 9, {}));
    m_file.Open(m_pContext, kPath, 1);
    m_file.SetCacheBound(0);  // 8 records
    for (std::uint32_t n = 1; n <= 8; ++n)
        m_file.Release(m_file.Get(n, 1));
    void* p = m_file.Get(9, 1);
    m_store.Memory()->FailWriteAfter(1);  // record 1's, on its way out
    EXPECT_THROW(m_file.Release(p), CFault);
    EXPECT_THROW(m_file.Close(), CFault);
    EXPECT_FALSE(m_file.IsOpen());
    EXPECT_EQ(0, OpenFiles());
    // The failure belonged to that opening only.
    m_file.Open(m_pContext, kPath, 1);
    EXPECT_NO_THROW(m_file.Close());
}

INSTANTIATE_TEST_SUITE_P(Stores, RecordFileTest,
                         ::testing::Values(testing::kMemoryStore, testing::kDiskStore),
                         [](const ::testing::TestParamInfo<testing::StoreKind>& info) {
                             return std::string(testing::StoreName(info.param));
                         });

}  // namespace
}  // namespace velk
