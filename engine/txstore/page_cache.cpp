#include "engine/txstore/page_cache.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

namespace velk {

CPageCache::~CPageCache()
{
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    Leave();
}

std::size_t CPageCache::GetPageCount() const
{
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    return m_vPages.size();
}

std::ptrdiff_t CPageCache::Use(std::uint64_t nPage)
{
    for (std::size_t i = m_vPages.size(); i-- > 0;) {
        if (m_vPages[i].nPage != nPage)
            continue;
        m_vPages[i].nTick = NextTick();
        std::rotate(m_vPages.begin() + static_cast<std::ptrdiff_t>(i),
                    m_vPages.begin() + static_cast<std::ptrdiff_t>(i) + 1, m_vPages.end());
        PublishOldest();
        return static_cast<std::ptrdiff_t>(m_vPages.size()) - 1;
    }
    return -1;
}

void CPageCache::Erase(std::size_t i)
{
    m_vPages.erase(m_vPages.begin() + static_cast<std::ptrdiff_t>(i));
    Discharge(kPageSize);
    PublishOldest();
}

void CPageCache::PublishOldest()
{
    CCacheClient::PublishOldest(m_vPages.empty(), m_vPages.empty() ? 0 : m_vPages.front().nTick);
}

bool CPageCache::DropOldestClean()
{
    if (m_vPages.empty())
        return false;
    Erase(0);
    return true;
}

std::uint32_t CPageCache::Read(platform::CFileHandle* pFile, std::uint64_t nSize,
                               std::uint64_t* pnPosition, void* pBuffer, std::uint32_t cbCount)
{
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    unsigned char* pOut = static_cast<unsigned char*>(pBuffer);
    std::uint32_t cbDone = 0;
    while (cbDone < cbCount && *pnPosition < nSize) {
        const std::uint64_t nPage = *pnPosition / kPageSize;
        const std::uint32_t nOffset = static_cast<std::uint32_t>(*pnPosition % kPageSize);
        std::ptrdiff_t i = Use(nPage);
        if (i < 0) {
            SPage page;
            page.nPage = nPage;
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
            page.nTick = NextTick();
            // The oldest page makes room when the window is full, or when the
            // process's caches keep too much and nothing older can go elsewhere.
            if (m_vPages.size() >= kMaxPages ||
                (!m_vPages.empty() && IsOverBudget() && TakeFromOthers(false, m_vPages.front().nTick)))
                Erase(0);
            Join();
            m_vPages.push_back(std::move(page));
            Charge(kPageSize);
            PublishOldest();
            i = static_cast<std::ptrdiff_t>(m_vPages.size()) - 1;
        }
        const SPage& page = m_vPages[static_cast<std::size_t>(i)];
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
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    const unsigned char* pIn = static_cast<const unsigned char*>(pData);
    std::uint32_t cbDone = 0;
    while (cbDone < cbCount && !m_vPages.empty()) {
        const std::uint64_t nPage = (nPosition + cbDone) / kPageSize;
        const std::uint32_t nOffset = static_cast<std::uint32_t>((nPosition + cbDone) % kPageSize);
        const std::uint32_t cbPiece = std::min(cbCount - cbDone, kPageSize - nOffset);
        for (std::size_t i = 0; i < m_vPages.size(); ++i) {
            SPage& page = m_vPages[i];
            if (page.nPage != nPage)
                continue;
            if (nOffset <= page.cbValid) {
                std::memcpy(page.pBytes.get() + nOffset, pIn + cbDone, cbPiece);
                page.cbValid = std::max(page.cbValid, nOffset + cbPiece);
            } else {
                Erase(i);  // a gap of zeros in between: read it afresh
            }
            break;
        }
        cbDone += cbPiece;
    }
}

void CPageCache::Cut(std::uint64_t nSize)
{
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    const std::uint64_t nFirst = nSize / kPageSize;
    for (std::size_t i = m_vPages.size(); i-- > 0;) {
        if (m_vPages[i].nPage >= nFirst)
            Erase(i);
    }
}

}  // namespace velk
