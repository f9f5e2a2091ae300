// The file object over a platform handle, written once for both file interfaces:
// CFile (CFileSystem::IFile) and CRegularFile (CTransaction::IFile) are this
// template and differ only in the interface they implement. Builds on
// platform/file.h; failures become the engine's exception except in Read and Write,
// which report short counts instead.
#pragma once

#include <cstdint>

#include "engine/txstore/page_cache.h"
#include "platform/file.h"

namespace velk {

template <class TInterface>
class CPlatformFile : public TInterface {
public:
    // Opens the existing file at szPath for reading (others may read too), or for
    // reading and writing (nobody else may open it) when nWrite is nonzero. Throws
    // when the file cannot be opened; nothing stays open then.
    CPlatformFile(const char* szPath, int nWrite);
    // Closes the file.
    ~CPlatformFile() override {}

    std::uint32_t Read(void* pBuffer, std::uint32_t cbCount) override;
    std::uint32_t Write(const void* pBuffer, std::uint32_t cbCount) override;
    std::uint64_t GetSize() override;
    std::uint64_t Seek(std::int64_t nOffset, int nOrigin) override;
    std::uint64_t Tell() override;
    int SetEnd() override;

private:
    std::uint64_t Position();

    platform::CFileHandle m_hFile;
    std::uint64_t m_nSize = 0;  // the file's size, kept by this object's own changes
    CPageCache m_cache;
};

}  // namespace velk
