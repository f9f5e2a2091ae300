// A read cache below the record files and trees: the pages of one open file that
// its reads have brought in, kept up to date by its own writes and cuts, and
// dropped when the file closes. The file's share mode keeps other writers out
// while it is open, so the cached bytes stay those on disk. Every read, write and
// cut still reaches the file through the same platform calls in the same order,
// except reads that the cache answers.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "platform/file.h"

namespace velk {

class CPageCache {
public:
    // Reads up to cbCount bytes at *pnPosition of pFile (whose size is nSize),
    // from the cache where it can, and advances *pnPosition. Returns the number
    // read, short only at the end of the file or when the file fails.
    std::uint32_t Read(platform::CFileHandle* pFile, std::uint64_t nSize,
                       std::uint64_t* pnPosition, void* pBuffer, std::uint32_t cbCount);

    // Brings the pages that cbCount bytes written at nPosition touched up to date
    // (or forgets them). pData are the bytes that reached the file.
    void Wrote(std::uint64_t nPosition, const void* pData, std::uint32_t cbCount);

    // Forgets every page from the one holding nSize onwards: the file now ends there.
    void Cut(std::uint64_t nSize);

private:
    enum : std::uint32_t { kPageSize = 4096 };
    enum : std::size_t { kMaxBytes = 32u << 20 };

    struct Page {
        std::unique_ptr<unsigned char[]> pBytes;
        std::uint32_t cbValid;  // bytes of the file in the page (short at its end)
    };

    std::unordered_map<std::uint64_t, Page> m_mapPages;
};

}  // namespace velk
