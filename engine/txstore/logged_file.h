// A file changed inside a write transaction without touching it: every change goes
// to copies of whole blocks in the file's log directory (log\files\H, see
// log_records.h), and the file's new length to its size record. Reads see the
// logged blocks where they exist and the untouched target elsewhere. The apply
// step (apply_log.h) later writes the blocks into the target.
//
// Rules a reader of the log relies on:
// - a block is copied from the target once, when it is first materialised;
// - bytes past the logical size carry no meaning, and blocks past it are ignored;
// - the block contents and the size record are on disk once Finish has returned
//   (or, failing that, once the object is destroyed).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "engine/path/path.h"
#include "engine/txstore/file_block.h"
#include "engine/txstore/transaction.h"
#include "platform/file.h"

namespace velk {

class CLoggedFile : public CTransaction::IFile {
public:
    // Opens the target szTarget for reading (others may read it too, nobody may
    // write it) and takes its log directory pathLog, which already holds its path
    // record and its "blocks" directory. The logical size comes from the size
    // record when there is one; otherwise it is the target's size, and the record
    // is written now. Throws on any failure, with nothing left open.
    //
    // pbFailed, when given, is set when the destructor could not write the size
    // record or a block back, or when a write failed: the log is then incomplete
    // and must not be applied.
    CLoggedFile(const char* szTarget, int nWrite, const CPath& pathLog, bool* pbFailed = nullptr);

    // A file opened for writing whose log directory does not exist yet: nothing is
    // written until the first change (a write, or a cut that changes the size),
    // which first calls fnMakeLog to make pathLog with its path record, its
    // "blocks" directory and its size record. A file that is never
    // changed leaves no log. fnMakeLog gets the size record's value and writes
    // the record too, leaving nothing behind when it throws; the change then
    // throws and sets pbFailed. Throws when the target cannot be opened.
    CLoggedFile(const char* szTarget, const CPath& pathLog,
                std::function<void(std::uint64_t)> fnMakeLog, bool* pbFailed);

    // Writes the size record and the blocks back (see Finish), reporting failure
    // through pbFailed only.
    ~CLoggedFile() override;

    // Reads from the logged blocks and the untouched target. Throws when a block
    // cannot be read, or when a read of a block that was never materialised
    // reaches past the target's initial size.
    std::uint32_t Read(void* pBuffer, std::uint32_t cbCount) override;
    // Writes into blocks, materialising them; a write of 0 bytes still makes the
    // block under the position. Throws for a file opened for reading.
    std::uint32_t Write(const void* pBuffer, std::uint32_t cbCount) override;
    std::uint64_t GetSize() override { return m_nLogicalSize; }
    // Origin 0 start, 1 current, 2 logical end; another origin leaves the position.
    // No range check. Returns the position.
    std::uint64_t Seek(std::int64_t nOffset, int nOrigin) override;
    std::uint64_t Tell() override { return m_nPosition; }
    // The logical size becomes the position; the bytes past it stay in the log
    // and become visible again when the size grows back. Throws for a file opened
    // for reading.
    int SetEnd() override;

    // Brings the log up to date: the size record and every writable block's bytes.
    // Throws on failure. Nothing to do for a file opened for reading.
    void Finish();

    // The target's path as given, and whether the file was made for writing.
    const std::string& Target() const { return m_strTarget; }
    bool IsWritable() const { return m_bWrite != 0; }

    // Hands a file made for writing out again as a new opening: the position goes
    // back to 0, and with nWrite zero writes and cuts throw until the next
    // Reopen, as for a file opened for reading.
    void Reopen(int nWrite);

private:
    typedef std::shared_ptr<CFileBlock> BlockPtr;

    CPath BlockPath(std::uint64_t nBlock) const;
    // The cached or logged block N, or null when block file N does not exist.
    CFileBlock* FindBlock(std::uint64_t nBlock);
    // Block N for writing, materialised when new.
    CFileBlock* WritableBlock(std::uint64_t nBlock);
    void ReadTarget(std::uint64_t nPosition, void* pBuffer, std::uint32_t cb);
    // Write's work once the file is known to be writable.
    std::uint32_t WriteBlocks(const unsigned char* pIn, std::uint32_t cbCount);
    void OpenTarget(const char* szTarget);
    // True when a file without a log yet is written bytes it holds already at the
    // position: nothing changes, and no log is needed for it.
    bool IsUnchangedWrite(const unsigned char* pIn, std::uint32_t cbCount);
    // Makes the log directory and the size record of a file opened without them.
    void MakeLog();

    int m_bWrite;
    bool m_bReadOnlyView = false;  // reopened for reading
    std::string m_strTarget;
    CPath m_pathLog;
    platform::CFileHandle m_hTarget;
    std::uint64_t m_nInitialSize = 0;
    std::uint64_t m_nLogicalSize = 0;
    std::uint64_t m_nRecordedSize = 0;  // what the size record holds
    std::uint64_t m_nPosition = 0;
    std::map<std::uint64_t, BlockPtr> m_mapBlocks;
    // Blocks known to have no block file. Only a writable file keeps it: nobody
    // else can make its block files while it exists.
    std::set<std::uint64_t> m_setUnlogged;
    bool* m_pbFailed;
    std::function<void(std::uint64_t)> m_fnMakeLog;  // set while the log directory is still to be made
};

}  // namespace velk
