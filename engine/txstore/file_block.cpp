#include "engine/txstore/file_block.h"

#include <new>

#include "engine/base/fault.h"

namespace velk {

CFileBlock::CFileBlock(const char* szPath)
{
    platform::CFileHandle file;
    if (platform::FileOpen(szPath, platform::kFileAccessRead, platform::kFileShareRead,
                           platform::kFileOpenExisting, &file) != platform::kFileOk)
        ThrowFault();
    m_pCopy.reset(new (std::nothrow) unsigned char[kBlockSize]);
    if (!m_pCopy)
        ThrowFault();
    std::uint32_t cbRead = 0;
    if (file.Read(m_pCopy.get(), kBlockSize, &cbRead) != platform::kFileOk || cbRead != kBlockSize)
        ThrowFault();
    m_pData = m_pCopy.get();
}

CFileBlock::CFileBlock(const char* szPath, platform::CFileHandle* pTarget,
                       std::uint64_t nInitialSize, std::uint64_t nBlock)
{
    const bool bNew = !platform::PathExists(szPath);
    if (platform::FileOpen(szPath, platform::kFileAccessRead | platform::kFileAccessWrite, 0,
                           platform::kFileOpenAlways, &m_hFile) != platform::kFileOk)
        ThrowFault();
    try {
        std::uint64_t cbFile = 0;
        if (m_hFile.GetSize(&cbFile) != platform::kFileOk)
            ThrowFault();
        if (cbFile < kBlockSize &&
            (m_hFile.Seek(kBlockSize, platform::kFileBegin, nullptr) != platform::kFileOk ||
             m_hFile.SetEnd() != platform::kFileOk))
            ThrowFault();
        if (m_view.Map(&m_hFile, 0, kBlockSize, true) != platform::kFileOk)
            ThrowFault();
        m_pData = m_view.Data();
        m_bChanged = bNew;  // a new block file holds zeros, not the block
        const std::uint64_t nStart = nBlock * kBlockSize;
        if (bNew && pTarget != nullptr && nStart < nInitialSize) {
            const std::uint64_t cbLeft = nInitialSize - nStart;
            const std::uint32_t cb = cbLeft < kBlockSize ? static_cast<std::uint32_t>(cbLeft)
                                                         : static_cast<std::uint32_t>(kBlockSize);
            std::uint32_t cbRead = 0;
            if (pTarget->Seek(static_cast<std::int64_t>(nStart), platform::kFileBegin, nullptr) !=
                    platform::kFileOk ||
                pTarget->Read(m_pData, cb, &cbRead) != platform::kFileOk || cbRead != cb)
                ThrowFault();
        }
    } catch (...) {
        // Left behind, a new block file would be taken as materialised: the next
        // attempt would skip the copy from the target and read zeros.
        m_view.Unmap();
        m_hFile.Close();
        if (bNew)
            platform::FileRemove(szPath);
        throw;
    }
}

CFileBlock::~CFileBlock()
{
    if (m_bChanged)
        m_view.Unmap();
    else
        m_view.Discard();
}

void CFileBlock::Flush()
{
    if (!m_view.IsMapped() || !m_bChanged)
        return;
    if (m_view.Flush() != platform::kFileOk)
        ThrowFault();
    m_bChanged = false;
    m_hFile.StartFlush();
}

}  // namespace velk
