#include <windows.h>

#include <cstring>

#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/reparse_tag.h"
#include "platform/win32/os_error.h"

namespace platform {
namespace {

FileResult LastError()
{
    return TranslateError(GetLastError());
}

HANDLE Handle(std::intptr_t hNative)
{
    return reinterpret_cast<HANDLE>(hNative);
}

// The reparse tag of the reparse point at szPath, from its directory entry; 0 when
// it cannot be read.
std::uint32_t ReparseTag(const char* szPath)
{
    WIN32_FIND_DATAA data;
    const HANDLE hFind = FindFirstFileA(szPath, &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(hFind);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0;
}

// True when what has these attributes at strPath is a link; its reparse tag is
// read only for a reparse point.
bool IsLinkAt(const std::string& strPath, DWORD dwAttributes)
{
    return (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           ReparseTagIsLink(ReparseTag(strPath.c_str()));
}

}  // namespace

FileResult FileOpen(const char* szPath, unsigned nAccess, unsigned nShare, unsigned nDisposition,
                    CFileHandle* pFile, std::uint64_t* pcbSize)
{
    if (szPath == nullptr)
        return kFileNotFound;
    if (nDisposition < kFileCreateNew || nDisposition > kFileTruncateExisting)
        return kFileInvalidArgument;
    DWORD dwAccess = 0;
    if ((nAccess & kFileAccessRead) != 0)
        dwAccess |= GENERIC_READ;
    if ((nAccess & kFileAccessWrite) != 0)
        dwAccess |= GENERIC_WRITE;
    DWORD dwShare = 0;
    if ((nShare & kFileShareRead) != 0)
        dwShare |= FILE_SHARE_READ;
    if ((nShare & kFileShareWrite) != 0)
        dwShare |= FILE_SHARE_WRITE;
    if ((nShare & kFileShareDelete) != 0)
        dwShare |= FILE_SHARE_DELETE;
    // No "insert a disk" dialog for a removable drive that is empty.
    const UINT uOldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const HANDLE h = CreateFileA(szPath, dwAccess, dwShare, nullptr, nDisposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD dwError = GetLastError();
    SetErrorMode(uOldMode);
    if (h == INVALID_HANDLE_VALUE)
        return TranslateError(dwError);
    if (pcbSize != nullptr) {
        LARGE_INTEGER liSize;
        if (!GetFileSizeEx(h, &liSize)) {
            const FileResult result = LastError();
            CloseHandle(h);
            return result;
        }
        *pcbSize = static_cast<std::uint64_t>(liSize.QuadPart);
    }
    pFile->Close();
    pFile->m_hNative = reinterpret_cast<std::intptr_t>(h);
    pFile->m_nAccess = nAccess;
    pFile->m_nPosition = 0;
    return kFileOk;
}

FileResult CFileHandle::Read(void* pBuffer, std::uint32_t cbCount, std::uint32_t* pcbRead)
{
    *pcbRead = 0;
    if (!IsOpen())
        return kFileInvalidArgument;
    if (ReadFails())
        return kFileIoError;
    DWORD dwRead = 0;
    const BOOL bOk = ReadFile(Handle(m_hNative), pBuffer, cbCount, &dwRead, nullptr);
    *pcbRead = dwRead;
    return bOk ? kFileOk : LastError();
}

FileResult CFileHandle::Write(const void* pBuffer, std::uint32_t cbCount, std::uint32_t* pcbWritten)
{
    *pcbWritten = 0;
    if (!IsOpen())
        return kFileInvalidArgument;
    CFaultInjector::Action fault = CFaultInjector::kNone;
    if (g_pFaultInjector != nullptr) {
        fault = g_pFaultInjector->BeforeWrite(&cbCount);
        if (fault == CFaultInjector::kFail)
            return kFileIoError;
    }
    DWORD dwWritten = 0;
    const BOOL bOk = WriteFile(Handle(m_hNative), pBuffer, cbCount, &dwWritten, nullptr);
    *pcbWritten = dwWritten;
    if (!bOk)
        return LastError();
    if (fault == CFaultInjector::kTorn)
        EndProcessNow();
    return fault == CFaultInjector::kShort ? kFileDiskFull : kFileOk;
}

FileResult CFileHandle::Seek(std::int64_t nOffset, int nOrigin, std::uint64_t* pnPosition)
{
    if (!IsOpen())
        return kFileInvalidArgument;
    if (nOrigin != kFileBegin && nOrigin != kFileCurrent && nOrigin != kFileEnd)
        return kFileInvalidArgument;
    LARGE_INTEGER liOffset, liNew;
    liOffset.QuadPart = nOffset;
    if (!SetFilePointerEx(Handle(m_hNative), liOffset, &liNew, static_cast<DWORD>(nOrigin)))
        return LastError();
    if (pnPosition != nullptr)
        *pnPosition = static_cast<std::uint64_t>(liNew.QuadPart);
    return kFileOk;
}

FileResult CFileHandle::GetSize(std::uint64_t* pcbSize)
{
    if (!IsOpen())
        return kFileInvalidArgument;
    LARGE_INTEGER liSize;
    if (!GetFileSizeEx(Handle(m_hNative), &liSize))
        return LastError();
    *pcbSize = static_cast<std::uint64_t>(liSize.QuadPart);
    return kFileOk;
}

FileResult CFileHandle::SetEnd()
{
    if (!IsOpen())
        return kFileInvalidArgument;
    return SetEndOfFile(Handle(m_hNative)) ? kFileOk : LastError();
}

FileResult CFileHandle::Flush()
{
    if (!IsOpen())
        return kFileInvalidArgument;
    if (g_pFaultInjector != nullptr && g_pFaultInjector->BeforeFlush() == CFaultInjector::kFail)
        return kFileIoError;
    return FlushFileBuffers(Handle(m_hNative)) ? kFileOk : LastError();
}

FileResult CFileHandle::StartFlush()
{
    return IsOpen() ? kFileOk : kFileInvalidArgument;
}

FileResult FileDuplicate(const CFileHandle& file, CFileHandle* pCopy)
{
    if (!file.IsOpen() || pCopy == nullptr)
        return kFileInvalidArgument;
    HANDLE hCopy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), Handle(file.m_hNative), GetCurrentProcess(), &hCopy,
                         0, FALSE, DUPLICATE_SAME_ACCESS))
        return LastError();
    pCopy->Close();
    pCopy->m_hNative = reinterpret_cast<std::intptr_t>(hCopy);
    pCopy->m_nAccess = file.m_nAccess;
    pCopy->m_nPosition = file.m_nPosition;
    return kFileOk;
}

void CFileHandle::Close()
{
    if (!IsOpen())
        return;
    CloseHandle(Handle(m_hNative));
    m_hNative = kInvalid;
    m_nAccess = 0;
    m_nPosition = 0;
}

FileResult FileGetAttributes(const char* szPath, unsigned* pnAttributes)
{
    if (szPath == nullptr)
        return kFileNotFound;
    const DWORD dw = GetFileAttributesA(szPath);
    if (dw == INVALID_FILE_ATTRIBUTES)
        return LastError();
    *pnAttributes = dw;
    if ((dw & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        *pnAttributes = LinkAttributes(dw, ReparseTag(szPath));
    return kFileOk;
}

FileResult FileSetAttributes(const char* szPath, unsigned nAttributes)
{
    if (szPath == nullptr)
        return kFileNotFound;
    return SetFileAttributesA(szPath, nAttributes) ? kFileOk : LastError();
}

bool PathExists(const char* szPath)
{
    return szPath != nullptr && GetFileAttributesA(szPath) != INVALID_FILE_ATTRIBUTES;
}

FileResult FileRemove(const char* szPath)
{
    if (NameOpFails(CFaultInjector::kRemoveOp))
        return kFileIoError;
    if (szPath == nullptr)
        return kFileNotFound;
    return DeleteFileA(szPath) ? kFileOk : LastError();
}

FileResult LinkRemove(const char* szPath)
{
    if (szPath == nullptr)
        return kFileNotFound;
    const DWORD dw = GetFileAttributesA(szPath);
    if (dw == INVALID_FILE_ATTRIBUTES)
        return LastError();
    if (!IsLinkAt(szPath, dw))
        return kFileInvalidArgument;
    // RemoveDirectoryA takes a directory link or junction away, not its target's
    // contents; DeleteFileA removes a link to a file, not the file.
    const BOOL bOk = (dw & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryA(szPath)
                                                           : DeleteFileA(szPath);
    return bOk ? kFileOk : LastError();
}

FileResult FileCopy(const char* szFrom, const char* szTo)
{
    if (szFrom == nullptr || szTo == nullptr)
        return kFileNotFound;
    return CopyFileA(szFrom, szTo, TRUE) ? kFileOk : LastError();
}

FileResult FileMove(const char* szFrom, const char* szTo)
{
    if (NameOpFails(CFaultInjector::kMoveOp))
        return kFileIoError;
    if (szFrom == nullptr || szTo == nullptr)
        return kFileNotFound;
    return MoveFileA(szFrom, szTo) ? kFileOk : LastError();
}

FileResult DirCreate(const char* szPath)
{
    if (NameOpFails(CFaultInjector::kDirCreateOp))
        return kFileIoError;
    if (szPath == nullptr)
        return kFileNotFound;
    return CreateDirectoryA(szPath, nullptr) ? kFileOk : LastError();
}

bool FileNamesFoldCase()
{
    return true;
}

FileResult DirFlush(const char* szPath)
{
    if (szPath == nullptr)
        return kFileNotFound;
    if (g_pFaultInjector != nullptr && g_pFaultInjector->BeforeFlush() == CFaultInjector::kFail)
        return kFileIoError;
    return GetFileAttributesA(szPath) == INVALID_FILE_ATTRIBUTES ? LastError() : kFileOk;
}

FileResult DirRemove(const char* szPath)
{
    if (NameOpFails(CFaultInjector::kRemoveOp))
        return kFileIoError;
    if (szPath == nullptr)
        return kFileNotFound;
    return RemoveDirectoryA(szPath) ? kFileOk : LastError();
}

FileResult DirList(const char* szDir, std::vector<DirEntry>* pvEntries)
{
    if (szDir == nullptr)
        return kFileNotFound;
    pvEntries->clear();
    std::string strPattern = szDir;
    if (!strPattern.empty() && strPattern.back() != '\\' && strPattern.back() != '/')
        strPattern += '\\';
    strPattern += '*';
    WIN32_FIND_DATAA data;
    const HANDLE hFind = FindFirstFileA(strPattern.c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE) {
        const DWORD dwError = GetLastError();
        return dwError == ERROR_FILE_NOT_FOUND ? kFileOk : TranslateError(dwError);
    }
    FileResult result = kFileOk;
    do {
        if (lstrcmpA(data.cFileName, ".") == 0 || lstrcmpA(data.cFileName, "..") == 0)
            continue;
        DirEntry entry;
        entry.strName = data.cFileName;
        // For a reparse point the listing carries its tag in dwReserved0.
        entry.nAttributes = LinkAttributes(data.dwFileAttributes, data.dwReserved0);
        pvEntries->push_back(entry);
    } while (FindNextFileA(hFind, &data));
    const DWORD dwError = GetLastError();
    if (dwError != ERROR_NO_MORE_FILES)
        result = TranslateError(dwError);
    FindClose(hFind);
    return result;
}

namespace {

// Opens szPath itself, never what a link leads to. A directory of the walk is held
// without delete sharing: nobody can rename or remove it while it is open.
HANDLE OpenNoFollow(const std::string& strPath, DWORD dwAccess, DWORD dwShare)
{
    return CreateFileA(strPath.c_str(), dwAccess, dwShare, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Opens the directory at strPath for a walk; kFileInvalidArgument for a link.
FileResult OpenWalkDirectory(const std::string& strPath, std::intptr_t* phNative)
{
    const HANDLE h = OpenNoFollow(strPath, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    BY_HANDLE_FILE_INFORMATION info;
    FileResult result = kFileOk;
    if (!GetFileInformationByHandle(h, &info))
        result = LastError();
    else if (IsLinkAt(strPath, info.dwFileAttributes))
        result = kFileInvalidArgument;
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        result = kFileNotFound;
    if (result != kFileOk) {
        CloseHandle(h);
        return result;
    }
    *phNative = reinterpret_cast<std::intptr_t>(h);
    return kFileOk;
}

}  // namespace

FileResult CDirWalk::Open(const char* szPath)
{
    Close();
    if (szPath == nullptr)
        return kFileNotFound;
    std::string strPath = szPath;
    while (strPath.size() > 3 && (strPath.back() == '\\' || strPath.back() == '/'))
        strPath.pop_back();
    const FileResult result = OpenWalkDirectory(strPath, &m_hNative);
    if (result == kFileOk)
        m_strPath = strPath;
    return result;
}

FileResult CDirWalk::OpenChild(const CDirWalk& parent, const char* szName)
{
    Close();
    if (parent.m_hNative == -1 || szName == nullptr)
        return kFileNotFound;
    // The parent is held open without delete sharing, so its path still leads to it.
    const std::string strPath = parent.m_strPath + "\\" + szName;
    const FileResult result = OpenWalkDirectory(strPath, &m_hNative);
    if (result == kFileOk)
        m_strPath = strPath;
    return result;
}

FileResult CDirWalk::List(std::vector<DirEntry>* pvEntries) const
{
    pvEntries->clear();
    if (m_hNative == -1)
        return kFileNotFound;
    return DirList(m_strPath.c_str(), pvEntries);
}

FileResult CDirWalk::Remove(const char* szName) const
{
    if (NameOpFails(CFaultInjector::kRemoveOp))
        return kFileIoError;
    if (m_hNative == -1 || szName == nullptr)
        return kFileNotFound;
    const std::string strPath = m_strPath + "\\" + szName;
    const HANDLE h = OpenNoFollow(strPath, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        const FileResult result = LastError();
        CloseHandle(h);
        return result;
    }
    if (IsLinkAt(strPath, info.dwFileAttributes)) {
        // A link goes as LinkRemove takes it: the link itself, never its target.
        CloseHandle(h);
        const BOOL bOk = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                             ? RemoveDirectoryA(strPath.c_str())
                             : DeleteFileA(strPath.c_str());
        return bOk ? kFileOk : LastError();
    }
    FileResult result = kFileOk;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO basic;
        std::memset(&basic, 0, sizeof(basic));
        basic.FileAttributes = (info.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY)) |
                               ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                    ? 0
                                    : DWORD(FILE_ATTRIBUTE_NORMAL));
        if (!SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof(basic)))
            result = LastError();
    }
    if (result == kFileOk) {
        FILE_DISPOSITION_INFO disposition;
        disposition.DeleteFile = TRUE;
        if (!SetFileInformationByHandle(h, FileDispositionInfo, &disposition,
                                        sizeof(disposition)))
            result = LastError();
    }
    CloseHandle(h);
    return result;
}

void CDirWalk::Close()
{
    if (m_hNative != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_hNative));
    m_hNative = -1;
    m_strPath.clear();
}

std::string TempDirectory()
{
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof(buffer), buffer);
    if (n == 0 || n > sizeof(buffer))
        return std::string();
    return std::string(buffer, n);
}

FileResult FullPathName(const char* szPath, std::string* pstrFull, std::size_t* pnFilePart)
{
    if (szPath == nullptr || szPath[0] == '\0')
        return kFileBadName;
    std::string strBuffer(MAX_PATH, '\0');
    for (;;) {
        char* pFilePart = nullptr;
        const DWORD n = GetFullPathNameA(szPath, static_cast<DWORD>(strBuffer.size()),
                                         &strBuffer[0], &pFilePart);
        if (n == 0)
            return LastError();
        if (n < strBuffer.size()) {
            const std::size_t nFilePart =
                pFilePart != nullptr ? static_cast<std::size_t>(pFilePart - strBuffer.data()) : n;
            strBuffer.resize(n);
            *pstrFull = strBuffer;
            if (pnFilePart != nullptr)
                *pnFilePart = nFilePart;
            return kFileOk;
        }
        strBuffer.assign(n + 1, '\0');
    }
}

bool DriveExists(char chDrive)
{
    const char szRoot[4] = {chDrive, ':', '\\', '\0'};
    const UINT uOldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const UINT uType = GetDriveTypeA(szRoot);
    SetErrorMode(uOldMode);
    return uType != DRIVE_UNKNOWN && uType != DRIVE_NO_ROOT_DIR;
}

}  // namespace platform
