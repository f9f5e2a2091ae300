#include "support/file/raw_file.h"

#include <string>

ERawFile::~ERawFile()
{
    Close();
}

void ERawFile::CloseLocked()
{
    m_file.Close();
    m_nFlags = 0;
    m_strPathName = "";
    m_nFileName = 0;
}

void ERawFile::Close()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    CloseLocked();
}

int ERawFile::Open(const char* szName, int nFlags)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    CloseLocked();
    if (szName == nullptr || szName[0] == 0)
        return 1;
    if (szName[1] == ':' && !platform::DriveExists(szName[0]))
        return 1;
    const unsigned nAccess = ((nFlags & kRead) ? platform::kFileAccessRead : 0u) |
                             ((nFlags & kWrite) ? platform::kFileAccessWrite : 0u);
    const unsigned nShare = ((nFlags & kShareRead) ? platform::kFileShareRead : 0u) |
                            ((nFlags & kShareWrite) ? platform::kFileShareWrite : 0u);
    const unsigned nDisposition =
        (nFlags & kCreate) ? platform::kFileCreateAlways : platform::kFileOpenExisting;
    if (platform::FileOpen(szName, nAccess, nShare, nDisposition, &m_file) != platform::kFileOk)
        return 1;
    m_nFlags = nFlags;
    std::string strFull;
    size_t nFilePart = 0;
    try {
        if (platform::FullPathName(szName, &strFull, &nFilePart) != platform::kFileOk) {
            strFull = szName;
            nFilePart = 0;
        }
    } catch (...) {
        strFull.clear();
        nFilePart = 0;
    }
    m_strPathName = EString(strFull.c_str(), static_cast<int>(strFull.size()));
    m_nFileName = nFilePart <= static_cast<size_t>(m_strPathName.GetLength())
                      ? static_cast<int>(nFilePart)
                      : 0;
    return 0;
}

VOKFileObject* ERawFile::Duplicate()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    if (!m_file.IsOpen())
        return nullptr;
    ERawFile* pCopy = new ERawFile;
    if (pCopy == nullptr)
        return nullptr;
    // Opening the name again gives the copy a position of its own; where that is
    // refused (no read access, or the sharing forbids a second opener), the
    // handle itself is duplicated.
    if ((m_nFlags & kRead) && m_strPathName.GetLength() > 0 &&
        pCopy->Open(m_strPathName.GetText(), m_nFlags & ~kCreate) == 0) {
        pCopy->m_nFlags = m_nFlags;
        return pCopy;
    }
    if (platform::FileDuplicate(m_file, &pCopy->m_file) != platform::kFileOk) {
        delete pCopy;
        return nullptr;
    }
    pCopy->m_nFlags = m_nFlags;
    pCopy->m_strPathName = m_strPathName;
    pCopy->m_nFileName = m_nFileName;
    return pCopy;
}

uint32_t ERawFile::Read(void* pBuffer, uint32_t cbCount)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    uint32_t cbRead = 0;
    if (!m_file.IsOpen() || m_file.Read(pBuffer, cbCount, &cbRead) != platform::kFileOk)
        return 0;
    return cbRead;
}

uint32_t ERawFile::Write(const void* pBuffer, uint32_t cbCount)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    uint32_t cbWritten = 0;
    if (!m_file.IsOpen() || m_file.Write(pBuffer, cbCount, &cbWritten) != platform::kFileOk)
        return 0;
    return cbWritten;
}

uint64_t ERawFile::GetLength64()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    uint64_t cbSize = 0;
    if (!m_file.IsOpen() || m_file.GetSize(&cbSize) != platform::kFileOk)
        return 0;
    return cbSize;
}

uint32_t ERawFile::GetLength()
{
    return static_cast<uint32_t>(GetLength64());
}

uint64_t ERawFile::Seek64(int64_t nOffset, int nOrigin)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    uint64_t nPosition = 0;
    if (!m_file.IsOpen() || m_file.Seek(nOffset, nOrigin, &nPosition) != platform::kFileOk)
        return 0;
    return nPosition;
}

uint32_t ERawFile::Seek(int32_t nOffset, int nOrigin)
{
    return static_cast<uint32_t>(Seek64(nOffset, nOrigin));
}

uint64_t ERawFile::GetPosition64()
{
    return Seek64(0, platform::kFileCurrent);
}

uint32_t ERawFile::GetPosition()
{
    return static_cast<uint32_t>(GetPosition64());
}

int ERawFile::SetEndOfFile()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return m_file.IsOpen() && m_file.SetEnd() == platform::kFileOk ? 0 : 1;
}
