#include "engine/txstore/platform_file.h"

#include "engine/base/fault.h"
#include "engine/txstore/file_system.h"
#include "engine/txstore/transaction.h"

namespace velk {

template <class TInterface>
CPlatformFile<TInterface>::CPlatformFile(const char* szPath, int nWrite)
{
    const unsigned nAccess = nWrite != 0 ? platform::kFileAccessRead | platform::kFileAccessWrite
                                         : platform::kFileAccessRead;
    const unsigned nShare = nWrite != 0 ? 0u : static_cast<unsigned>(platform::kFileShareRead);
    if (szPath == nullptr ||
        platform::FileOpen(szPath, nAccess, nShare, platform::kFileOpenExisting, &m_hFile,
                           &m_nSize) != platform::kFileOk)
        ThrowFault();
}

template <class TInterface>
std::uint64_t CPlatformFile<TInterface>::Position()
{
    std::uint64_t nPosition = 0;
    m_hFile.Seek(0, platform::kFileCurrent, &nPosition);
    return nPosition;
}

template <class TInterface>
std::uint32_t CPlatformFile<TInterface>::Read(void* pBuffer, std::uint32_t cbCount)
{
    std::uint64_t nPosition = Position();
    std::uint32_t cbRead = m_cache.Read(&m_hFile, m_nSize, &nPosition, pBuffer, cbCount);
    m_hFile.Seek(static_cast<std::int64_t>(nPosition), platform::kFileBegin, nullptr);
    if (cbRead < cbCount && nPosition < m_nSize) {
        // What the cache could not give comes from the file, failures included.
        std::uint32_t cbMore = 0;
        m_hFile.Read(static_cast<unsigned char*>(pBuffer) + cbRead, cbCount - cbRead, &cbMore);
        cbRead += cbMore;
    }
    return cbRead;
}

template <class TInterface>
std::uint32_t CPlatformFile<TInterface>::Write(const void* pBuffer, std::uint32_t cbCount)
{
    const std::uint64_t nPosition = Position();
    std::uint32_t cbWritten = 0;
    m_hFile.Write(pBuffer, cbCount, &cbWritten);
    m_cache.Wrote(nPosition, pBuffer, cbWritten);
    if (nPosition + cbWritten > m_nSize)
        m_nSize = nPosition + cbWritten;
    return cbWritten;
}

// The share mode keeps every other writer out while the file is open, so the size
// known since the open, kept by this object's own writes and cuts, is the file's.
template <class TInterface>
std::uint64_t CPlatformFile<TInterface>::GetSize()
{
    return m_nSize;
}

template <class TInterface>
std::uint64_t CPlatformFile<TInterface>::Seek(std::int64_t nOffset, int nOrigin)
{
    std::uint64_t nPosition = 0;
    if (m_hFile.Seek(nOffset, nOrigin, &nPosition) != platform::kFileOk)
        ThrowFault();
    return nPosition;
}

template <class TInterface>
std::uint64_t CPlatformFile<TInterface>::Tell()
{
    return Seek(0, platform::kFileCurrent);
}

template <class TInterface>
int CPlatformFile<TInterface>::SetEnd()
{
    const std::uint64_t nPosition = Position();
    if (m_hFile.SetEnd() != platform::kFileOk)
        ThrowFault();
    m_nSize = nPosition;
    m_cache.Cut(nPosition);
    return 1;
}

template class CPlatformFile<CFileSystem::IFile>;
template class CPlatformFile<CTransaction::IFile>;

}  // namespace velk
