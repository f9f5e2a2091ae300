#include "platform/file_view.h"

#include <cstdlib>
#include <cstring>

namespace platform {

FileResult CFileView::Map(CFileHandle* pFile, std::uint64_t nOffset, std::uint32_t cb,
                          bool bWritable)
{
    Unmap();
    if (pFile == nullptr || !pFile->IsOpen() || cb == 0 || nOffset % kViewAlignment != 0)
        return kFileInvalidArgument;
    std::uint64_t cbFile = 0;
    FileResult r = pFile->GetSize(&cbFile);
    if (r != kFileOk)
        return r;
    if (cbFile < nOffset || cbFile - nOffset < cb)
        return kFileInvalidArgument;  // a view never reaches past the end
    unsigned char* pData = static_cast<unsigned char*>(std::malloc(cb));
    if (pData == nullptr)
        return kFileIoError;
    std::uint32_t cbRead = 0;
    r = pFile->Seek(static_cast<std::int64_t>(nOffset), kFileBegin, nullptr);
    if (r == kFileOk)
        r = pFile->Read(pData, cb, &cbRead);
    if (r == kFileOk && cbRead != cb)
        r = kFileIoError;
    if (r != kFileOk) {
        std::free(pData);
        return r;
    }
    m_pFile = pFile;
    m_pData = pData;
    m_nOffset = nOffset;
    m_cb = cb;
    m_bWritable = bWritable;
    return kFileOk;
}

FileResult CFileView::Flush()
{
    if (m_pData == nullptr || !m_bWritable)
        return kFileOk;
    FileResult r = m_pFile->Seek(static_cast<std::int64_t>(m_nOffset), kFileBegin, nullptr);
    std::uint32_t cbWritten = 0;
    if (r == kFileOk)
        r = m_pFile->Write(m_pData, m_cb, &cbWritten);
    if (r == kFileOk && cbWritten != m_cb)
        r = kFileIoError;
    return r;
}

void CFileView::Unmap()
{
    if (m_pData == nullptr)
        return;
    Flush();
    Discard();
}

void CFileView::Discard()
{
    if (m_pData == nullptr)
        return;
    std::free(m_pData);
    m_pData = nullptr;
    m_pFile = nullptr;
    m_cb = 0;
}

}  // namespace platform
