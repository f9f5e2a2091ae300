#include "engine/txstore/store_paths.h"

#include "engine/txstore/dustbox.h"

namespace velk {

CPath FileLogDirectory(const CPath& directory, const char* szPath)
{
    return directory.Join(txdir::kLog).Join(txdir::kFiles).Join(FileLogName(szPath).c_str());
}

CPath RecordedPath(const CPath& directory, const std::string& strRecord)
{
    CPath served;
    for (size_t i = 0; i + 1 < directory.GetComponentCount(); ++i)
        served = served.Join(directory.GetComponent(i).c_str());
    CPath path;
    if (path.Set(strRecord.c_str()) != CPath::kOk || !served.IsAncestorOnDisk(path) ||
        directory.IsAncestorOnDisk(path.Join("x")))  // T itself or below it
        ThrowFault();
    for (size_t i = served.GetComponentCount(); i < path.GetComponentCount(); ++i)
        if (path.GetComponent(i).find(':') != std::string::npos)
            ThrowFault();
    return path;
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

void FlushDirectory(const CPath& path)
{
    if (platform::DirFlush(path.GetString()) != platform::kFileOk)
        ThrowFault();
}

CPath Prefix(const CPath& path, size_t n)
{
    CPath prefix;
    for (size_t i = 0; i < n; ++i)
        prefix = prefix.Join(path.GetComponent(i).c_str());
    return prefix;
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

size_t WholeListRecordAt(const std::vector<unsigned char>& vList, size_t nOffset)
{
    if (vList.size() - nOffset < 4)
        return 0;
    const std::uint32_t n = GetU32LE(&vList[nOffset]);
    if (n < 2 || n > kMaxPathRecord || vList.size() - nOffset - 4 < n)
        return 0;
    const unsigned char* pText = &vList[nOffset + 4];
    for (std::uint32_t i = 0; i + 1 < n; ++i)
        if (pText[i] == 0)
            return 0;
    return pText[n - 1] == 0 ? 4 + n : 0;
}

bool IsUnflushedListTail(const std::vector<unsigned char>& vList, size_t nOffset)
{
    if (vList.size() - nOffset > 4 + kMaxPathRecord)
        return false;
    for (size_t i = nOffset + 1; i < vList.size(); ++i)
        if (WholeListRecordAt(vList, i) != 0)
            return false;
    return true;
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
