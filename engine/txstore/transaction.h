// CTransaction turns a directory of files into a store with all-or-nothing
// transactions, shared between processes through the access guard (any number of
// read transactions, or one write transaction). Its context, CTransaction::IContext,
// opens, creates and removes files; record files and B+ trees reach it through the
// CFileSystem adapters (tfs_context.h). The layout of the transaction directory and
// its records is in log_records.h.
//
// Crash rules, for a transaction directory T:
// (1) No file that existed before the transaction is written in place until
//     T\log\commit exists: changes sit in per-file logs.
// (2) Once T\log\commit exists the transaction is committed; recovery only rolls it
//     forward, applying the logs again from the start (applying is repeatable).
// (3) A log without T\log\commit is rolled back: created objects (listed in the
//     creation list before they are made) go to the dustbox, then removed objects
//     come back from the dugout. Roll-back is repeatable too: the creation list is
//     moved away before the dugout is restored.
// (4) Nothing on a transaction's path is deleted in place; the dustbox watcher
//     deletes later.
// (5) Block files, size records and created files reach stable storage before the
//     commit marker is made, and every target before the log is moved away. Each
//     path record is on the disk before the step it guards (a creation-list record
//     before its object is made, a dug-out object's record before the move), and
//     the directory entries recovery depends on are made durable (DirFlush) before
//     the marker: the log's own, those of created and dug-out objects, the
//     dustbox's. The log's removal is made durable before the watcher empties it.
//
// A commit passes through: CloseFile of every logged file (CLoggedFile::Finish:
// blocks and size record written), End(1) -> RollForward: the check that every
// per-file log can be applied (its target a plain file, not reached through
// anything the transaction dug out), SyncLog (flush point 1), the commit marker,
// ApplyFileLogs (each target flushed: flush point 2), the log moved into the
// dustbox.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "engine/txstore/destroy_object.h"

namespace velk {

class CTransaction {
public:
    // A file opened through a transaction context. Same operations, in the same
    // order, as CFileSystem::IFile; see there for each contract. The file belongs to
    // whoever opened it until it is handed back through IContext::CloseFile.
    class IFile : public CStoreObject {
    public:
        // Closes the file.
        ~IFile() override {}
        virtual std::uint32_t Read(void* pBuffer, std::uint32_t cbCount) = 0;
        virtual std::uint32_t Write(const void* pBuffer, std::uint32_t cbCount) = 0;
        virtual std::uint64_t GetSize() = 0;
        virtual std::uint64_t Seek(std::int64_t nOffset, int nOrigin) = 0;
        virtual std::uint64_t Tell() = 0;
        virtual int SetEnd() = 0;
    };

    // The context of one active transaction. Paths are code-page text with "\"
    // separators. Used by one thread at a time; everything it hands out must be given
    // back before the transaction ends.
    class IContext : public CStoreObject {
    public:
        ~IContext() override {}
        // Nonzero for a write transaction.
        virtual int IsWritable() = 0;
        // Opens an existing file for reading, or for reading and writing when
        // nWrite is nonzero; throws when it cannot. Give the file back with
        // CloseFile.
        virtual IFile* OpenFile(const char* szPath, int nWrite) = 0;
        // Destroys a file that OpenFile of this context returned.
        virtual void CloseFile(IFile* pFile) = 0;
        // 0 created (empty), 5 the path exists already.
        virtual int CreateFile(const char* szPath) = 0;
        virtual void DeleteFile(const char* szPath) = 0;
        // 0 created, 5 the path exists already.
        virtual int CreateDirectory(const char* szPath) = 0;
        virtual void RemoveDirectory(const char* szPath) = 0;
        // A change made through this context was lost (a write that failed, whose
        // exception a caller may have dropped): the transaction can no longer
        // commit, and End(1) rolls it back and throws.
        virtual void MarkIncomplete() = 0;
    };

    CTransaction();
    // Close.
    ~CTransaction();
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;

    // Attaches the store to the transaction directory szDirectory (drive-absolute
    // or relative), after closing it first. Creates the access guard named after
    // szDirectory exactly as given, puts szDirectory\dustbox under watch and, when
    // the guard can be had for writing at once, finishes a transaction that a
    // crashed process left behind. Returns 0 attached; 1 failed (the directory has
    // no dustbox, recovery failed, the guard could not be made, or the path is not
    // one the store can name files under); 2 szDirectory is null.
    int Open(const char* szDirectory);

    // Begins a write (nWrite nonzero) or read transaction, waiting up to nTimeout
    // ms for the guard. Returns the context (owned by this object until End), or
    // null when the store is not open, a transaction is active, the guard cannot be
    // had in time or the context cannot be set up. A failed recovery of an
    // interrupted transaction throws.
    IContext* Begin(int nWrite, std::uint32_t nTimeout);

    // Commits (nCommit nonzero) or rolls back the active transaction, destroys its
    // context and releases the guard; nothing without one. Every file and adapter
    // of the context must have been given back before. Throws after the clean-up
    // when committing or rolling back failed; a commit that fails before its marker
    // is rolled back.
    void End(int nCommit);

    // Rolls back an active transaction (failures swallowed) and detaches.
    void Close();

private:
    struct Impl;
    Impl* m_pImpl;
};

// Recovery and the two ends of a write transaction in directory szDirectory.
// RollForward makes the commit marker when missing (after flushing the log when
// bSync), applies the logs and moves the log into the dustbox. RollBack discards
// created objects, restores removed ones and moves the log into the dustbox. Both
// throw on failure and may be run again.
//
// A write context that kept track of what it made durable passes it in pKnown, so
// that the flush before the marker skips what is on the disk already and has not
// changed since; without it everything is flushed.
struct LogFlushState {
    // T\log's entry in T and T\log's own entries were flushed and are unchanged.
    bool bLogDurable = false;
    // Something moved into the dustbox since the dustbox was last flushed.
    bool bDustboxChanged = true;
    // The created files opened for writing; a created file not among them holds no
    // data, and its entry is made durable with its directory.
    const std::unordered_set<std::string>* pWrittenCreated = nullptr;
    // Objects made inside a directory made in the same transaction: the creation
    // list does not name them (roll-back discards the directory with them), but
    // they are made durable with the rest.
    const std::unordered_set<std::string>* pUnrecorded = nullptr;
};
void RollForward(const char* szDirectory, bool bSync, const LogFlushState* pKnown = nullptr);
void RollBack(const char* szDirectory);


}  // namespace velk
