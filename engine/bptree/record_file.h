// Record files: records of one fixed size in a single file, addressed by 1-based
// record ids (0 means no record), with a list of freed ids that are handed out
// again. The B+ trees keep their nodes in record files, and the database keeps its
// per-record stores in them. A record file reaches its file only through a
// CFileSystem::IContext, so inside a transaction every change stays in the
// transaction.
//
// Record file. Integers are unsigned 32-bit little-endian.
//
//   offset           size       field
//   0                8          signature 89 'F' 'L' 'R' 0D 0A 1A 0A
//   8                4          record size, never 0
//   12               4          N, the highest id in use or freed but not yet trimmed
//   16               N * size   records; id k starts at 16 + (k - 1) * size
//   16 + N * size    4          F, the number of free ids
//   20 + N * size    4 * F      the free ids, ascending, each in 1..N
//
// The file ends right after the free list. Offsets in the format are 32-bit, so
// the whole file must stay below 2^32 bytes; a file that would grow past that is
// refused rather than wrapped over its own header.
//
// Records are cached: Get reads a record when it is not in memory, holders of one
// record share one buffer, and a released record stays in memory, so that walking
// and changing the same nodes again costs no file access. The records in memory
// are charged to the process's cache budget (cache_budget.h), which every record
// file and every plain file's pages share: when the caches keep more than the
// budget, records leave memory least recently released first, across files. A
// file always keeps its last few records. A record that any holder pinned for
// writing is written back when it leaves memory (only ever by its own file), or at
// Close, before the header and the free list; the bytes a Close leaves are those
// of writing every change at once. While the file is open nobody else writes it
// (its share mode, or the transaction's own copy of it), so what is in memory
// stays what is on file. A record file is used by one thread at a time; another
// file may take an unchanged, unpinned record out of it from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/txstore/cache_budget.h"
#include "engine/txstore/file_system.h"

namespace velk {

class CRecordFile : private CCacheClient {
public:
    enum { kOk = 0, kInvalidArgument = 2, kExists = 5 };

    // A closed record file.
    CRecordFile();
    // Closes the file if it is open; an error of that close is dropped.
    ~CRecordFile();
    CRecordFile(const CRecordFile&) = delete;
    CRecordFile& operator=(const CRecordFile&) = delete;

    // Creates an empty record file (20 bytes) at szPath. Returns kInvalidArgument
    // for a null context or path or a record size of 0, the context's CreateFile
    // result when it is nonzero (kExists: the path exists), else kOk. Throws when
    // the header cannot be written; the created file is then left as it is.
    static int Create(CFileSystem::IContext* pContext, const char* szPath,
                      std::uint32_t nRecordSize);

    // Opens an existing record file, for writing when nWritable is nonzero (the
    // context must then be writable). Closes whatever was open first. Throws on any
    // failure, including a header or free list that does not describe a sound
    // file; the object is closed then. The context must outlive the open file.
    void Open(CFileSystem::IContext* pContext, const char* szPath, int nWritable);

    // Writes back dirty pinned records, the record count and the free list (when
    // open for writing), and closes. Harmless on a closed file. Every pin is dropped
    // and the file is closed even when writing fails; the failure is then thrown,
    // as it is when a record that left memory earlier could not be written back.
    void Close();

    // Nonzero when nId lies in 1..N and is not free.
    int IsAllocated(std::uint32_t nId) const;

    // Allocates an id (the largest free one, else N + 1) and zero-fills its record
    // on disk. Throws when the file is not open for writing, when the write fails, or
    // when the file would grow beyond 2^32 - 1 bytes.
    std::uint32_t Allocate();

    // Pins record nId and returns its buffer of GetRecordSize() bytes; the buffer
    // stays valid until the matching Release. Every holder of one record gets the
    // same buffer. The caller may change it only when it asked for nWritable.
    // Throws when the file is closed, the id is not allocated, write access is asked
    // of a read-only file, or the record cannot be read; no pin is left then.
    void* Get(std::uint32_t nId, int nWritable);

    // The bytes of record nId when it is in memory, else null, without pinning it
    // or counting it as used: good only until the next call on this file, for a
    // reader that looks at one record and lets it go. Throws as Get does when the
    // file is closed or the id is not allocated.
    const void* Peek(std::uint32_t nId) const;

    // Unpins a buffer from Get; the record stays in memory. Unknown buffers, null
    // and a closed file are ignored. Throws when records that had to leave memory
    // could not be written back (the pin is gone all the same). Such a change is
    // lost: Close throws too, and the transaction of the context (when it has one)
    // can no longer commit.
    void Release(void* pBuffer);

    // Frees an allocated id; when it is the highest, N shrinks past every free id
    // at the top and the file is cut at the next Close. Does nothing when the file
    // is closed or read-only or the id is not allocated.
    void Free(std::uint32_t nId);
    // Frees an allocated id as Free does, but keeps N even when the id is the
    // highest: it stays in the free list, as files written by other programs may
    // hold freed ids at their end. For copying such a file id for id.
    void FreeKeepingCount(std::uint32_t nId);

    // Nonzero while record nId is pinned.
    int IsPinned(std::uint32_t nId) const;

    bool IsOpen() const { return m_pContext != nullptr; }
    bool IsWritable() const { return m_nWritable != 0; }
    std::uint32_t GetRecordSize() const { return m_nRecordSize; }
    // N: the highest id in use or freed but not yet trimmed.
    std::uint32_t GetRecordCount() const { return m_nRecordCount; }
    // The free ids, ascending.
    const std::vector<std::uint32_t>& GetFreeIds() const { return m_vFreeIds; }
    // The number of pinned records (for checks that every pin was released).
    std::size_t GetPinCount() const { return m_vPinned.size(); }
    // Fixes the bytes of records this file keeps in memory, whatever room the
    // process's budget has; at least 8 records stay whatever the bound. Tests set a
    // small one so that records leave memory in the middle of tree operations.
    void SetCacheBound(std::size_t cbBytes);

private:
    // What is kept of one record id: its bytes while the record is in memory, its
    // pins, whether a holder pinned it for writing, and its neighbours (ids, 0 for
    // none) on the list of unpinned records in memory, least recently released
    // first, from which records leave memory when the cache outgrows its bound. The
    // slots lie in one array by id, apart from the records' bytes, so that finding,
    // pinning and reordering records touches little memory.
    struct SSlot {
        unsigned char* pBuffer;  // null while the record is not in memory
        std::uint32_t nOlder;
        std::uint32_t nNewer;
        std::uint32_t nPins : 31;
        std::uint32_t bDirty : 1;
        std::uint32_t nTick;  // the budget's tick of its last release
    };

    std::uint64_t RecordOffset(std::uint32_t nId) const;
    void WriteRecord(std::uint32_t nId, const void* pBuffer);
    void DropState();
    // The slot of a record in memory, else null.
    SSlot* FindInMemory(std::uint32_t nId);
    void Unlist(std::uint32_t nId);
    void ListAsNewest(std::uint32_t nId);
    // Drops an unpinned record from memory, without writing it.
    void Forget(std::uint32_t nId);
    // A change that was to be written back is lost: remembered for Close, and the
    // context's transaction must not commit without it.
    void NoteLostWrite();
    // Writes back and drops the least recently released records while the file
    // keeps more than its own bound, or the process's caches more than the budget
    // and this file's records are the oldest.
    void Trim();
    // The number of records the file keeps at most of its own bound.
    void ComputeKeep();
    // Publishes which record would leave memory first to the budget.
    void PublishOldest();
    bool DropOldestClean() override;

    CFileSystem::IContext* m_pContext = nullptr;
    int m_nWritable = 0;
    CFileSystem::IFile* m_pFile = nullptr;
    bool m_bLostWrite = false;  // a record that left memory was not written back
    std::uint32_t m_nRecordSize = 0;
    std::uint32_t m_nRecordCount = 0;
    std::vector<std::uint32_t> m_vFreeIds;
    // Grown to the highest id pinned so far (ids are dense and at most N, which the
    // file's size bounds).
    std::vector<SSlot> m_vSlots;
    std::size_t m_nEntries = 0;  // records in memory
    // The ids of the pinned records: few at a time, so Release finds its buffer
    // here, and a buffer that is not here is ignored without being looked at.
    std::vector<std::uint32_t> m_vPinned;
    std::uint32_t m_nOldest = 0;
    std::uint32_t m_nNewest = 0;
    // The bytes of the last record to leave memory, kept for the next one read.
    unsigned char* m_pSpare = nullptr;
    std::size_t m_cbCacheBound = static_cast<std::size_t>(-1);
    std::size_t m_nKeep = static_cast<std::size_t>(-1);  // records of its own bound
    // The record that the last Peek showed: no other file takes it out of memory
    // before this file's next call.
    mutable std::uint32_t m_nPeeked = 0;
    std::vector<unsigned char> m_vZeroRecord;  // made at the first Allocate
};

// The owning handle through which the database holds a record file: it creates a
// closed record file, and its destruction closes it (dropping any error) and frees
// it.
class CRecordFileHandle {
public:
    CRecordFileHandle() : m_pFile(new CRecordFile) {}
    CRecordFile* operator->() const { return m_pFile.get(); }
    CRecordFile& operator*() const { return *m_pFile; }
    CRecordFile* Get() const { return m_pFile.get(); }

private:
    std::unique_ptr<CRecordFile> m_pFile;
};

}  // namespace velk
