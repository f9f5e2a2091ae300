#include "engine/txstore/platform_file.h"

#include "engine/txstore/fault.h"
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
        platform::FileOpen(szPath, nAccess, nShare, platform::kFileOpenExisting, &m_hFile) !=
            platform::kFileOk)
        ThrowFault();
}

template <class TInterface>
std::uint32_t CPlatformFile<TInterface>::Read(void* pBuffer, std::uint32_t cbCount)
{
    std::uint32_t cbRead = 0;
    m_hFile.Read(pBuffer, cbCount, &cbRead);
    return cbRead;
}

template <class TInterface>
std::uint32_t CPlatformFile<TInterface>::Write(const void* pBuffer, std::uint32_t cbCount)
{
    std::uint32_t cbWritten = 0;
    m_hFile.Write(pBuffer, cbCount, &cbWritten);
    return cbWritten;
}

template <class TInterface>
std::uint64_t CPlatformFile<TInterface>::GetSize()
{
    std::uint64_t cbSize = 0;
    if (m_hFile.GetSize(&cbSize) != platform::kFileOk)
        ThrowFault();
    return cbSize;
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
    if (m_hFile.SetEnd() != platform::kFileOk)
        ThrowFault();
    return 1;
}

template class CPlatformFile<CFileSystem::IFile>;
template class CPlatformFile<CTransaction::IFile>;

}  // namespace velk
