#include "engine/txstore/store_paths.h"

#include "engine/txstore/dustbox.h"

namespace velk {

CPath FileLogDirectory(const CPath& directory, const char* szPath)
{
    return directory.Join(txdir::kLog).Join(txdir::kFiles).Join(FileLogName(szPath).c_str());
}

void MoveToDustbox(const CPath& directory, const char* szPath, const char* szFrom)
{
    CDustbox::Instance().MoveToDustbox(directory.Join(txdir::kDustbox).GetString(), szPath,
                                       szFrom);
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

}  // namespace velk
