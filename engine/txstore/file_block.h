// One block of a logged file held in memory. A writable block is a view of its
// block file, which it holds open without sharing (so a second writer of the same
// block fails); a new one starts as a copy of the target's bytes. A read-only block
// is a heap copy of the block file. Blocks are shared between the logged file's
// cache and a running operation through a shared pointer.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/file.h"
#include "platform/file_view.h"

namespace velk {

// The block size of every transaction log, fixed so that a log written on one
// target can be recovered on the other. Block N covers the file bytes from
// N * kBlockSize up to (N + 1) * kBlockSize.
enum : std::uint32_t { kBlockSize = 65536 };

class CFileBlock {
public:
    // Read-only block: a copy of the block file szPath, which must be exactly one
    // block long. Throws on any failure.
    explicit CFileBlock(const char* szPath);

    // Writable block N of a file: opens or makes the block file szPath, one block
    // long. A new block file starts with the target's bytes of that block (as far
    // as nInitialSize reaches; zeros after) read from pTarget, when given. Throws
    // on any failure; a new block file is then removed again, so that a later
    // attempt copies the target afresh.
    CFileBlock(const char* szPath, platform::CFileHandle* pTarget, std::uint64_t nInitialSize,
               std::uint64_t nBlock);

    // A writable block writes changed bytes back to the block file; failures are
    // lost (call Flush first when they matter).
    ~CFileBlock();

    CFileBlock(const CFileBlock&) = delete;
    CFileBlock& operator=(const CFileBlock&) = delete;

    unsigned char* Data() { return m_pData; }
    bool IsWritable() const { return m_hFile.IsOpen(); }

    // The caller changed the bytes of a writable block through Data().
    void MarkChanged() { m_bChanged = true; }

    // Writes a writable block's bytes to its block file, when they changed since
    // the block was made or last written, and starts their way to the disk (the
    // commit's flush waits for them). Throws on failure.
    void Flush();

private:
    platform::CFileHandle m_hFile;  // open only for a writable block
    platform::CFileView m_view;     // the writable block's bytes
    std::unique_ptr<unsigned char[]> m_pCopy;  // the read-only block's bytes
    unsigned char* m_pData = nullptr;
    bool m_bChanged = false;  // bytes the block file does not have yet
};

}  // namespace velk
