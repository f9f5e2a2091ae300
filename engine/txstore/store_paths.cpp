#include "engine/txstore/store_paths.h"

#include "engine/txstore/dustbox.h"

namespace velk {

CPath FileLogDirectory(const CPath& directory, const char* szPath)
{
    return directory.Join(txdir::kLog).Join(txdir::kFiles).Join(FileLogName(szPath).c_str());
}

void MoveToDustbox(const CPath& directory, const char* szPath)
{
    CDustbox::Instance().MoveToDustbox(directory.Join(txdir::kDustbox).GetString(), szPath);
}

void MoveToDustboxOrThrow(const CPath& directory, const char* szPath)
{
    MoveToDustbox(directory, szPath);
    if (platform::PathExists(szPath))
        ThrowFault();
}

void FlushFile(const char* szPath)
{
    platform::CFileHandle file;
    if (platform::FileOpen(szPath, platform::kFileAccessRead | platform::kFileAccessWrite,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::kFileOpenExisting, &file) != platform::kFileOk ||
        file.Flush() != platform::kFileOk)
        ThrowFault();
}

std::vector<unsigned char> ReadListFile(const char* szList)
{
    std::vector<unsigned char> vList;
    platform::CFileHandle file;
    const platform::FileResult r = platform::FileOpen(
        szList, platform::kFileAccessRead, 0, platform::kFileOpenExisting, &file);
    if (r == platform::kFileNotFound)
        return vList;
    std::uint64_t cb = 0;
    if (r != platform::kFileOk || file.GetSize(&cb) != platform::kFileOk || cb > 0x7FFFFFFF)
        ThrowFault();
    vList.resize(static_cast<size_t>(cb));
    std::uint32_t cbRead = 0;
    if (cb > 0 && (file.Read(vList.data(), static_cast<std::uint32_t>(cb), &cbRead) !=
                       platform::kFileOk ||
                   cbRead != cb))
        ThrowFault();
    return vList;
}

std::int64_t FindListRecord(const char* szList, const char* szPath)
{
    std::int64_t nFound = -1;
    ForEachListRecord(szList, [&](std::int64_t nOffset, const std::string& path) {
        if (path != szPath)
            return true;
        nFound = nOffset;
        return false;
    });
    return nFound;
}

void RemoveListRecord(const char* szList, std::int64_t nOffset)
{
    std::vector<unsigned char> vList = ReadListFile(szList);
    const size_t n = static_cast<size_t>(nOffset);
    if (nOffset < 0 || vList.size() < n + 4)
        ThrowFault();
    const std::uint32_t cbText = GetU32LE(&vList[n]);
    if (cbText > kMaxPathRecord || vList.size() - n - 4 < cbText)
        ThrowFault();
    vList.erase(vList.begin() + static_cast<std::ptrdiff_t>(n),
                vList.begin() + static_cast<std::ptrdiff_t>(n + 4 + cbText));

    platform::CFileHandle file;
    std::uint32_t cbWritten = 0;
    const std::uint32_t cbTail = static_cast<std::uint32_t>(vList.size() - n);
    if (platform::FileOpen(szList, platform::kFileAccessRead | platform::kFileAccessWrite, 0,
                           platform::kFileOpenExisting, &file) != platform::kFileOk ||
        file.Seek(static_cast<std::int64_t>(n), platform::kFileBegin, nullptr) != platform::kFileOk ||
        (cbTail > 0 && (file.Write(vList.data() + n, cbTail, &cbWritten) != platform::kFileOk ||
                        cbWritten != cbTail)) ||
        file.SetEnd() != platform::kFileOk)
        ThrowFault();
}

}  // namespace velk
