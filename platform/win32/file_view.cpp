#include <windows.h>

#include "platform/fault_injection.h"
#include "platform/file_view.h"

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
        return kFileInvalidArgument;
    HANDLE hFile = reinterpret_cast<HANDLE>(pFile->Native());
    // The mapping object may go at once: the view keeps it alive.
    HANDLE hMapping = CreateFileMappingA(hFile, nullptr, bWritable ? PAGE_READWRITE : PAGE_READONLY,
                                         0, 0, nullptr);
    if (hMapping == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED ? kFileAccessDenied : kFileIoError;
    void* pView = MapViewOfFile(hMapping, bWritable ? FILE_MAP_WRITE : FILE_MAP_READ,
                                static_cast<DWORD>(nOffset >> 32),
                                static_cast<DWORD>(nOffset & 0xFFFFFFFFu), cb);
    CloseHandle(hMapping);
    if (pView == nullptr)
        return kFileIoError;
    m_pFile = pFile;
    m_pData = static_cast<unsigned char*>(pView);
    m_nOffset = nOffset;
    m_cb = cb;
    m_bWritable = bWritable;
    return kFileOk;
}

FileResult CFileView::Flush()
{
    if (m_pData == nullptr || !m_bWritable)
        return kFileOk;
    if (g_pFaultInjector != nullptr && g_pFaultInjector->BeforeFlush() == CFaultInjector::kFail)
        return kFileIoError;
    return FlushViewOfFile(m_pData, m_cb) ? kFileOk : kFileIoError;
}

void CFileView::Unmap()
{
    if (m_pData == nullptr)
        return;
    UnmapViewOfFile(m_pData);  // the system writes the changed pages back
    m_pData = nullptr;
    m_pFile = nullptr;
    m_cb = 0;
}

void CFileView::Discard()
{
    Unmap();  // a mapped view's bytes are the file's already
}

}  // namespace platform
