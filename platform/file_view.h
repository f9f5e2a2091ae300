// A view of a file region held in memory: a mapped view of the file on Windows
// (CreateFileMappingA, MapViewOfFile); on POSIX a heap buffer filled by reading the
// region and written back through the file handle, because mapping and unmapping
// per access costs many times a read or write there. Either way, changes to a
// writable view reach the file at Flush and at Unmap. A process that is killed
// keeps the changes of a mapped view (Windows) but loses those of an unflushed
// buffer (POSIX); callers flush before they depend on the bytes.
#pragma once

#include <cstdint>

#include "platform/file.h"

namespace platform {

// Offsets of views are multiples of this (the mapping granularity of Windows).
enum : std::uint32_t { kViewAlignment = 65536 };

class CFileView {
public:
    CFileView() {}
    ~CFileView() { Unmap(); }
    CFileView(const CFileView&) = delete;
    CFileView& operator=(const CFileView&) = delete;

    // Maps cb bytes (above 0) at nOffset (a multiple of kViewAlignment) of the open
    // file *pFile, which must reach at least to nOffset + cb. A writable view needs a
    // handle open for reading and writing. The handle must stay open while the view
    // exists; on POSIX its position is not kept.
    FileResult Map(CFileHandle* pFile, std::uint64_t nOffset, std::uint32_t cb, bool bWritable);

    bool IsMapped() const { return m_pData != nullptr; }
    unsigned char* Data() const { return m_pData; }
    std::uint32_t Size() const { return m_cb; }

    // Writes a writable view's bytes to the file (to the system's cache; the
    // handle's Flush forces them to the disk). Does nothing for a read-only view.
    FileResult Flush();

    // Releases the view; a writable view is flushed first (a failure is lost: call
    // Flush before when it matters).
    void Unmap();

    // Releases the view without writing it back: for a view whose bytes have
    // reached the file already (unchanged since its last Flush). On Windows the
    // same as Unmap.
    void Discard();

private:
    CFileHandle* m_pFile = nullptr;
    unsigned char* m_pData = nullptr;
    std::uint64_t m_nOffset = 0;
    std::uint32_t m_cb = 0;
    bool m_bWritable = false;
};

}  // namespace platform
