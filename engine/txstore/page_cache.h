// A read window below the record files and trees: the last pages of one open file
// that its reads have brought in, kept up to date by its own writes and cuts, and
// dropped when the file closes. It keeps few pages (its neighbouring small reads
// share one file read), so that the bytes that a record file above keeps in its
// own cache stay here only for a short while; the pages are charged to the
// process's cache budget beside the records. The file's share mode keeps other
// writers out while it is open, so the cached bytes stay those on disk. Every
// read, write and cut still reaches the file through the same platform calls in
// the same order, except reads that the cache answers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/txstore/cache_budget.h"
#include "platform/file.h"

namespace velk {

class CPageCache : private CCacheClient {
public:
    enum : std::uint32_t { kPageSize = 4096, kMaxPages = 16 };

    CPageCache() = default;
    ~CPageCache();

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

    // The number of pages kept (for tests).
    std::size_t GetPageCount() const;

private:
    struct SPage {
        std::uint64_t nPage;
        std::unique_ptr<unsigned char[]> pBytes;
        std::uint32_t cbValid;  // bytes of the file in the page (short at its end)
        std::uint32_t nTick;    // the budget's tick of its last use
    };

    // The index of page nPage in m_vPages, made the most recently used; or -1.
    std::ptrdiff_t Use(std::uint64_t nPage);
    void Erase(std::size_t i);
    void PublishOldest();
    bool DropOldestClean() override;

    // Least recently used first.
    std::vector<SPage> m_vPages;
};

}  // namespace velk
