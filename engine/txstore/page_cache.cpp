#include "engine/txstore/page_cache.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace velk {

std::uint32_t CPageCache::Read(platform::CFileHandle* pFile, std::uint64_t nSize,
                               std::uint64_t* pnPosition, void* pBuffer, std::uint32_t cbCount)
{
    unsigned char* pOut = static_cast<unsigned char*>(pBuffer);
    std::uint32_t cbDone = 0;
    while (cbDone < cbCount && *pnPosition < nSize) {
        const std::uint64_t nPage = *pnPosition / kPageSize;
        const std::uint32_t nOffset = static_cast<std::uint32_t>(*pnPosition % kPageSize);
        auto it = m_mapPages.find(nPage);
        if (it == m_mapPages.end()) {
            if (m_mapPages.size() * kPageSize >= kMaxBytes)
                m_mapPages.clear();
            Page page;
            page.pBytes.reset(new (std::nothrow) unsigned char[kPageSize]);
            std::uint32_t cbRead = 0;
            const std::uint32_t cbWanted = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(kPageSize, nSize - nPage * kPageSize));
            if (!page.pBytes ||
                pFile->Seek(static_cast<std::int64_t>(nPage * kPageSize), platform::kFileBegin,
                            nullptr) != platform::kFileOk ||
                pFile->Read(page.pBytes.get(), cbWanted, &cbRead) != platform::kFileOk ||
                cbRead != cbWanted)
                break;  // the caller reads directly and meets the failure itself
            page.cbValid = cbRead;
            it = m_mapPages.emplace(nPage, std::move(page)).first;
        }
        const Page& page = it->second;
        if (nOffset >= page.cbValid)
            break;
        const std::uint32_t cbPiece = std::min(cbCount - cbDone, page.cbValid - nOffset);
        std::memcpy(pOut + cbDone, page.pBytes.get() + nOffset, cbPiece);
        cbDone += cbPiece;
        *pnPosition += cbPiece;
    }
    return cbDone;
}

void CPageCache::Wrote(std::uint64_t nPosition, const void* pData, std::uint32_t cbCount)
{
    const unsigned char* pIn = static_cast<const unsigned char*>(pData);
    std::uint32_t cbDone = 0;
    while (cbDone < cbCount) {
        const std::uint64_t nPage = (nPosition + cbDone) / kPageSize;
        const std::uint32_t nOffset = static_cast<std::uint32_t>((nPosition + cbDone) % kPageSize);
        const std::uint32_t cbPiece = std::min(cbCount - cbDone, kPageSize - nOffset);
        auto it = m_mapPages.find(nPage);
        if (it != m_mapPages.end()) {
            Page& page = it->second;
            if (nOffset <= page.cbValid) {
                std::memcpy(page.pBytes.get() + nOffset, pIn + cbDone, cbPiece);
                page.cbValid = std::max(page.cbValid, nOffset + cbPiece);
            } else {
                m_mapPages.erase(it);  // a gap of zeros in between: read it afresh
            }
        }
        cbDone += cbPiece;
    }
}

void CPageCache::Cut(std::uint64_t nSize)
{
    const std::uint64_t nFirst = nSize / kPageSize;
    for (auto it = m_mapPages.begin(); it != m_mapPages.end();) {
        if (it->first >= nFirst)
            it = m_mapPages.erase(it);
        else
            ++it;
    }
}

}  // namespace velk
