#include "platform/file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/codepage.h"
#include "platform/fault_injection.h"
#include "platform/posix/native_text.h"
#include "platform/posix/os_error.h"
#include "platform/posix/power_cut_hooks.h"

namespace platform {
namespace {

FileResult LastError()
{
    return TranslateError(errno);
}

// Share modes. Windows lets a new opener in only when its access does not meet
// another opener's denial and its denial does not meet another opener's access.
// Each opener takes a read lock on one byte per access it has and per sharing it
// denies, then checks the opposite bytes for anybody else's lock. Only read locks
// are ever taken, so locks never collide by themselves and readers that all deny
// writing still coexist; two racing openers may both be refused, never both let in.
// The bytes lie far past any data that a file of ours holds.
const off_t kLockBase = static_cast<off_t>(0x7FFFFFFF00000000LL);
enum : off_t {
    kAccessReadByte = 0,
    kAccessWriteByte = 1,
    kDenyReadByte = 2,
    kDenyWriteByte = 3,
    kDenyDeleteByte = 4,
};

// Calls fn(fl) with a lock of type nType over each run of adjacent share bytes in
// nBytes (bit n: byte n), until fn returns nonzero; returns what it returned, or 0.
template <typename Fn>
int ForEachRun(unsigned nBytes, short nType, Fn fn)
{
    for (off_t nByte = 0; nBytes >> nByte != 0;) {
        if ((nBytes >> nByte & 1u) == 0) {
            ++nByte;
            continue;
        }
        off_t nLength = 1;
        while (nBytes >> (nByte + nLength) & 1u)
            ++nLength;
        struct flock fl;
        std::memset(&fl, 0, sizeof(fl));
        fl.l_type = nType;
        fl.l_whence = SEEK_SET;
        fl.l_start = kLockBase + nByte;
        fl.l_len = nLength;
        if (const int nResult = fn(&fl))
            return nResult;
        nByte += nLength;
    }
    return 0;
}

// Takes read locks on the share bytes in nBytes (bit n: byte n), one call per run
// of adjacent bytes. Returns 0 or the error.
int TakeLocks(int fd, unsigned nBytes)
{
    return ForEachRun(nBytes, F_RDLCK, [fd](struct flock* pLock) {
        while (fcntl(fd, F_OFD_SETLK, pLock) != 0) {
            if (errno != EINTR)
                return errno;
        }
        return 0;
    });
}

// True when an open file description other than fd's holds a lock on one of the
// share bytes in nBytes (bit n: byte n); one test per run of adjacent bytes.
bool OthersHoldAny(int fd, unsigned nBytes)
{
    return ForEachRun(nBytes, F_WRLCK, [fd](struct flock* pLock) {
        return fcntl(fd, F_OFD_GETLK, pLock) == 0 && pLock->l_type != F_UNLCK ? 1 : 0;
    }) != 0;
}

bool OthersHold(int fd, off_t nByte)
{
    return OthersHoldAny(fd, 1u << nByte);
}

// An engine path as a POSIX path. Only the pseudo drive "Z:" exists; another drive
// letter names nothing, as a missing drive on Windows.
FileResult NativePath(const char* szPath, std::string* pstrNative)
{
    if (szPath == nullptr || szPath[0] == '\0')
        return kFileNotFound;
    if (szPath[1] == ':' && szPath[0] != 'Z' && szPath[0] != 'z')
        return kFileNotFound;
    *pstrNative = posix::ToNativePath(szPath);
    return kFileOk;
}

bool IsReadOnlyFile(const struct stat& st)
{
    return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

// The attributes of what lstat (or fstatat without following) described as st. A
// link reports itself, and stands for a directory when its target is one now
// (stat of it through szFollow, relative to fdDir).
unsigned Attributes(const struct stat& st, int fdDir, const char* szFollow)
{
    if (S_ISLNK(st.st_mode)) {
        struct stat stTarget;
        const bool bDirectory = fstatat(fdDir, szFollow, &stTarget, 0) == 0 &&
                                S_ISDIR(stTarget.st_mode);
        return kFileAttrReparsePoint | (bDirectory ? kFileAttrDirectory : kFileAttrArchive);
    }
    if (S_ISDIR(st.st_mode))
        return kFileAttrDirectory;
    return kFileAttrArchive | (IsReadOnlyFile(st) ? kFileAttrReadOnly : 0u);
}

// Windows refuses to delete or rename a file that someone holds open without delete
// sharing.
FileResult CheckNotHeldOpen(const std::string& strNative)
{
    const int fd = open(strNative.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return kFileOk;  // nobody of ours can hold what we cannot open either
    const bool bHeld = OthersHold(fd, kDenyDeleteByte);
    close(fd);
    return bHeld ? kFileSharingViolation : kFileOk;
}

}  // namespace

FileResult FileOpen(const char* szPath, unsigned nAccess, unsigned nShare, unsigned nDisposition,
                    CFileHandle* pFile, std::uint64_t* pcbSize)
{
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    const bool bWrite = (nAccess & kFileAccessWrite) != 0;
    int nCreate = 0;
    bool bTruncate = false;
    switch (nDisposition) {
    case kFileCreateNew:
        nCreate = O_CREAT | O_EXCL;
        break;
    case kFileCreateAlways:
        nCreate = O_CREAT;
        bTruncate = true;
        break;
    case kFileOpenExisting:
        break;
    case kFileOpenAlways:
        nCreate = O_CREAT;
        break;
    case kFileTruncateExisting:
        if (!bWrite)
            return kFileInvalidArgument;
        bTruncate = true;
        break;
    default:
        return kFileInvalidArgument;
    }

    const int nMode = (bWrite || bTruncate) ? O_RDWR : O_RDONLY;
    posix::CPowerCutStep step(posix::CPowerCutStep::kChange);
    const bool bExisted = posix::g_bPowerCutArmed && posix::PowerCutExists(strNative);
    int fd;
    do {
        fd = open(strNative.c_str(), nMode | nCreate | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    struct stat st;
    if (fd < 0) {
        // A directory, or a read-only file opened for writing, is refused as
        // access denied whatever open() said about it.
        const int nError = errno;
        if (stat(strNative.c_str(), &st) == 0 &&
            (S_ISDIR(st.st_mode) || (IsReadOnlyFile(st) && (bWrite || bTruncate))))
            return kFileAccessDenied;
        return TranslateError(nError);
    }
    if (posix::g_bPowerCutArmed && !bExisted)
        posix::PowerCutCreated(strNative);
    // Checked on the open file rather than by a stat before: the same answers with
    // one call less. Nothing has changed yet (a truncation comes last), except that
    // a create of a new file made it, which is what the caller asked for.
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || !S_ISREG(st.st_mode)) {
        close(fd);
        return kFileAccessDenied;
    }
    // The read-only attribute is the owner's write bit; Windows honours it even for
    // an administrator, so it is checked here rather than left to open().
    if (IsReadOnlyFile(st) && (bWrite || bTruncate)) {
        close(fd);
        return kFileAccessDenied;
    }

    // Openers with no access take part in no sharing check, as on Windows.
    if ((nAccess & (kFileAccessRead | kFileAccessWrite)) != 0) {
        unsigned nOwn = 0, nOpposite = 0;
        if ((nAccess & kFileAccessRead) != 0) {
            nOwn |= 1u << kAccessReadByte;
            nOpposite |= 1u << kDenyReadByte;
        }
        if (bWrite) {
            nOwn |= 1u << kAccessWriteByte;
            nOpposite |= 1u << kDenyWriteByte;
        }
        if ((nShare & kFileShareRead) == 0) {
            nOwn |= 1u << kDenyReadByte;
            nOpposite |= 1u << kAccessReadByte;
        }
        if ((nShare & kFileShareWrite) == 0) {
            nOwn |= 1u << kDenyWriteByte;
            nOpposite |= 1u << kAccessWriteByte;
        }
        if ((nShare & kFileShareDelete) == 0)
            nOwn |= 1u << kDenyDeleteByte;
        const int nError = TakeLocks(fd, nOwn);
        if (nError != 0) {
            close(fd);
            return TranslateError(nError);
        }
        if (OthersHoldAny(fd, nOpposite)) {
            close(fd);
            return kFileSharingViolation;
        }
    }

    if (bTruncate && st.st_size != 0) {
        posix::PowerCutBeforeFileChange(fd);
        if (ftruncate(fd, 0) != 0) {
            result = LastError();
            close(fd);
            return result;
        }
        posix::PowerCutResized(fd, 0);
    }
    pFile->Close();
    pFile->m_hNative = fd;
    pFile->m_nAccess = nAccess;
    pFile->m_nPosition = 0;
    if (pcbSize != nullptr)
        *pcbSize = bTruncate ? 0 : static_cast<std::uint64_t>(st.st_size);
    return kFileOk;
}

FileResult CFileHandle::Read(void* pBuffer, std::uint32_t cbCount, std::uint32_t* pcbRead)
{
    *pcbRead = 0;
    if (!IsOpen())
        return kFileInvalidArgument;
    if ((m_nAccess & kFileAccessRead) == 0)
        return kFileAccessDenied;
    if (ReadFails())
        return kFileIoError;
    const int fd = static_cast<int>(m_hNative);
    char* p = static_cast<char*>(pBuffer);
    while (*pcbRead < cbCount) {
        const ssize_t n = pread(fd, p + *pcbRead, cbCount - *pcbRead,
                                static_cast<off_t>(m_nPosition));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastError();
        }
        if (n == 0)
            break;
        *pcbRead += static_cast<std::uint32_t>(n);
        m_nPosition += static_cast<std::uint64_t>(n);
    }
    return kFileOk;
}

FileResult CFileHandle::Write(const void* pBuffer, std::uint32_t cbCount, std::uint32_t* pcbWritten)
{
    *pcbWritten = 0;
    if (!IsOpen())
        return kFileInvalidArgument;
    if ((m_nAccess & kFileAccessWrite) == 0)
        return kFileAccessDenied;
    posix::CPowerCutStep step(posix::CPowerCutStep::kWrite);
    CFaultInjector::Action fault = CFaultInjector::kNone;
    if (g_pFaultInjector != nullptr) {
        fault = g_pFaultInjector->BeforeWrite(&cbCount);
        if (fault == CFaultInjector::kFail)
            return kFileIoError;
    }
    const int fd = static_cast<int>(m_hNative);
    const std::uint64_t nStart = m_nPosition;
    posix::PowerCutBeforeFileChange(fd);
    const char* p = static_cast<const char*>(pBuffer);
    while (*pcbWritten < cbCount) {
        const ssize_t n = pwrite(fd, p + *pcbWritten, cbCount - *pcbWritten,
                                 static_cast<off_t>(m_nPosition));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastError();
        }
        *pcbWritten += static_cast<std::uint32_t>(n);
        m_nPosition += static_cast<std::uint64_t>(n);
    }
    posix::PowerCutWrote(fd, nStart, pBuffer, *pcbWritten);
    if (fault == CFaultInjector::kTorn)
        EndProcessNow();
    return fault == CFaultInjector::kShort ? kFileDiskFull : kFileOk;
}

FileResult CFileHandle::Seek(std::int64_t nOffset, int nOrigin, std::uint64_t* pnPosition)
{
    if (!IsOpen())
        return kFileInvalidArgument;
    std::int64_t nBase = 0;
    switch (nOrigin) {
    case kFileBegin:
        break;
    case kFileCurrent:
        nBase = static_cast<std::int64_t>(m_nPosition);
        break;
    case kFileEnd: {
        struct stat st;
        if (fstat(static_cast<int>(m_hNative), &st) != 0)
            return LastError();
        nBase = st.st_size;
        break;
    }
    default:
        return kFileInvalidArgument;
    }
    if ((nOffset > 0 && nBase > INT64_MAX - nOffset) || nBase + nOffset < 0)
        return kFileInvalidArgument;
    m_nPosition = static_cast<std::uint64_t>(nBase + nOffset);
    if (pnPosition != nullptr)
        *pnPosition = m_nPosition;
    return kFileOk;
}

FileResult CFileHandle::GetSize(std::uint64_t* pcbSize)
{
    if (!IsOpen())
        return kFileInvalidArgument;
    struct stat st;
    if (fstat(static_cast<int>(m_hNative), &st) != 0)
        return LastError();
    *pcbSize = static_cast<std::uint64_t>(st.st_size);
    return kFileOk;
}

FileResult CFileHandle::SetEnd()
{
    if (!IsOpen())
        return kFileInvalidArgument;
    if ((m_nAccess & kFileAccessWrite) == 0)
        return kFileAccessDenied;
    posix::CPowerCutStep step(posix::CPowerCutStep::kChange);
    posix::PowerCutBeforeFileChange(static_cast<int>(m_hNative));
    while (ftruncate(static_cast<int>(m_hNative), static_cast<off_t>(m_nPosition)) != 0) {
        if (errno != EINTR)
            return LastError();
    }
    posix::PowerCutResized(static_cast<int>(m_hNative), m_nPosition);
    return kFileOk;
}

FileResult CFileHandle::Flush()
{
    if (!IsOpen())
        return kFileInvalidArgument;
    if ((m_nAccess & kFileAccessWrite) == 0)
        return kFileAccessDenied;
    posix::CPowerCutStep step(posix::CPowerCutStep::kFlush);
    if (g_pFaultInjector != nullptr && g_pFaultInjector->BeforeFlush() == CFaultInjector::kFail)
        return kFileIoError;
    posix::PowerCutFlushed(static_cast<int>(m_hNative));
    while (!posix::g_bPowerCutArmed && fdatasync(static_cast<int>(m_hNative)) != 0) {
        if (errno != EINTR)
            return LastError();
    }
    return kFileOk;
}

FileResult CFileHandle::StartFlush()
{
    if (!IsOpen())
        return kFileInvalidArgument;
    if ((m_nAccess & kFileAccessWrite) == 0)
        return kFileAccessDenied;
    if (sync_file_range(static_cast<int>(m_hNative), 0, 0, SYNC_FILE_RANGE_WRITE) != 0)
        return LastError();
    return kFileOk;
}

FileResult FileDuplicate(const CFileHandle& file, CFileHandle* pCopy)
{
    if (!file.IsOpen() || pCopy == nullptr)
        return kFileInvalidArgument;
    const int fd = fcntl(static_cast<int>(file.m_hNative), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return LastError();
    pCopy->Close();
    pCopy->m_hNative = fd;
    pCopy->m_nAccess = file.m_nAccess;
    pCopy->m_nPosition = file.m_nPosition;
    return kFileOk;
}

void CFileHandle::Close()
{
    if (!IsOpen())
        return;
    close(static_cast<int>(m_hNative));  // drops the share locks with the description
    m_hNative = kInvalid;
    m_nAccess = 0;
    m_nPosition = 0;
}

FileResult FileGetAttributes(const char* szPath, unsigned* pnAttributes)
{
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    struct stat st;
    if (lstat(strNative.c_str(), &st) != 0)
        return LastError();
    *pnAttributes = Attributes(st, AT_FDCWD, strNative.c_str());
    return kFileOk;
}

FileResult FileSetAttributes(const char* szPath, unsigned nAttributes)
{
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    struct stat st;
    if (lstat(strNative.c_str(), &st) != 0)
        return LastError();
    if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))
        return kFileOk;  // chmod would change a link's target
    mode_t mode = st.st_mode & 07777;
    if ((nAttributes & kFileAttrReadOnly) != 0)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    if (chmod(strNative.c_str(), mode) != 0)
        return LastError();
    return kFileOk;
}

bool PathExists(const char* szPath)
{
    unsigned nAttributes = 0;
    return FileGetAttributes(szPath, &nAttributes) == kFileOk;
}

FileResult FileRemove(const char* szPath)
{
    if (NameOpFails(CFaultInjector::kRemoveOp))
        return kFileIoError;
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    struct stat st;
    if (lstat(strNative.c_str(), &st) != 0)
        return LastError();
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && IsReadOnlyFile(st)))
        return kFileAccessDenied;
    if (S_ISREG(st.st_mode)) {
        result = CheckNotHeldOpen(strNative);
        if (result != kFileOk)
            return result;
    }
    posix::CPowerCutStep step(posix::CPowerCutStep::kChange);
    if (posix::PowerCutUnlink(strNative) != 0)
        return LastError();
    return kFileOk;
}

FileResult LinkRemove(const char* szPath)
{
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    struct stat st;
    if (lstat(strNative.c_str(), &st) != 0)
        return LastError();
    if (!S_ISLNK(st.st_mode))
        return kFileInvalidArgument;
    if (unlink(strNative.c_str()) != 0)
        return LastError();
    return kFileOk;
}

FileResult FileCopy(const char* szFrom, const char* szTo)
{
    std::string strFrom, strTo;
    FileResult result = NativePath(szFrom, &strFrom);
    if (result == kFileOk)
        result = NativePath(szTo, &strTo);
    if (result != kFileOk)
        return result;
    const int fdFrom = open(strFrom.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fdFrom < 0)
        return LastError();
    struct stat st;
    if (fstat(fdFrom, &st) != 0 || !S_ISREG(st.st_mode)) {
        result = S_ISDIR(st.st_mode) ? kFileAccessDenied : LastError();
        close(fdFrom);
        return result;
    }
    posix::CPowerCutStep step(posix::CPowerCutStep::kChange);
    const int fdTo = open(strTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                          st.st_mode & 07777);
    if (fdTo < 0) {
        result = LastError();
        close(fdFrom);
        return result;
    }
    posix::PowerCutCreated(strTo);
    std::uint64_t nCopied = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fdFrom, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result = n == 0 ? kFileOk : LastError();
            break;
        }
        ssize_t nDone = 0;
        while (nDone < n) {
            posix::PowerCutBeforeFileChange(fdTo);
            const ssize_t w = write(fdTo, buffer + nDone, static_cast<size_t>(n - nDone));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                result = LastError();
                break;
            }
            posix::PowerCutWrote(fdTo, nCopied, buffer + nDone, static_cast<std::size_t>(w));
            nCopied += static_cast<std::uint64_t>(w);
            nDone += w;
        }
        if (result != kFileOk)
            break;
    }
    close(fdFrom);
    close(fdTo);
    return result;
}

FileResult FileMove(const char* szFrom, const char* szTo)
{
    if (NameOpFails(CFaultInjector::kMoveOp))
        return kFileIoError;
    std::string strFrom, strTo;
    FileResult result = NativePath(szFrom, &strFrom);
    if (result == kFileOk)
        result = NativePath(szTo, &strTo);
    if (result != kFileOk)
        return result;
    struct stat st;
    if (lstat(strFrom.c_str(), &st) != 0)
        return LastError();
    if (S_ISREG(st.st_mode)) {
        result = CheckNotHeldOpen(strFrom);
        if (result != kFileOk)
            return result;
    }
    posix::CPowerCutStep step(posix::CPowerCutStep::kRename);
    if (renameat2(AT_FDCWD, strFrom.c_str(), AT_FDCWD, strTo.c_str(), RENAME_NOREPLACE) == 0) {
        posix::PowerCutRenamed(strFrom, strTo);
        return kFileOk;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return LastError();
    // A file system without the no-replace rename: a file moves by a new link (which
    // refuses an existing name) and the removal of the old one.
    if (!S_ISDIR(st.st_mode)) {
        if (link(strFrom.c_str(), strTo.c_str()) != 0)
            return LastError();
        if (unlink(strFrom.c_str()) != 0)
            return LastError();
        posix::PowerCutRenamed(strFrom, strTo);
        return kFileOk;
    }
    struct stat stTo;
    if (lstat(strTo.c_str(), &stTo) == 0)
        return kFileExists;
    if (rename(strFrom.c_str(), strTo.c_str()) != 0)
        return LastError();
    posix::PowerCutRenamed(strFrom, strTo);
    return kFileOk;
}

FileResult DirCreate(const char* szPath)
{
    if (NameOpFails(CFaultInjector::kDirCreateOp))
        return kFileIoError;
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    posix::CPowerCutStep step(posix::CPowerCutStep::kChange);
    if (mkdir(strNative.c_str(), 0777) != 0)
        return LastError();
    posix::PowerCutCreated(strNative);
    return kFileOk;
}

bool FileNamesFoldCase()
{
    return false;
}

FileResult DirFlush(const char* szPath)
{
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    posix::CPowerCutStep step(posix::CPowerCutStep::kFlush);
    if (g_pFaultInjector != nullptr && g_pFaultInjector->BeforeFlush() == CFaultInjector::kFail)
        return kFileIoError;
    const int fd = open(strNative.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return LastError();
    posix::PowerCutFlushedDirectory(strNative);
    int nResult = 0;
    while (!posix::g_bPowerCutArmed && (nResult = fsync(fd)) != 0 && errno == EINTR) {
    }
    result = nResult == 0 ? kFileOk : LastError();
    close(fd);
    return result;
}

FileResult DirRemove(const char* szPath)
{
    if (NameOpFails(CFaultInjector::kRemoveOp))
        return kFileIoError;
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    posix::CPowerCutStep step(posix::CPowerCutStep::kChange);
    if (posix::PowerCutRmdir(strNative) != 0)
        return errno == EEXIST ? kFileDirNotEmpty : LastError();
    return kFileOk;
}

namespace {

// The entries of the open directory stream pDir (whose descriptor is fdDir).
FileResult ListOpenDir(DIR* pDir, std::vector<DirEntry>* pvEntries)
{
    pvEntries->clear();
    const int fdDir = dirfd(pDir);
    for (;;) {
        errno = 0;
        const struct dirent* pEntry = readdir(pDir);
        if (pEntry == nullptr)
            return LastError();
        if (std::strcmp(pEntry->d_name, ".") == 0 || std::strcmp(pEntry->d_name, "..") == 0)
            continue;
        DirEntry entry;
        entry.strName = posix::Utf8ToAnsi(pEntry->d_name);
        struct stat st;
        if (fstatat(fdDir, pEntry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone since readdir saw it
        entry.nAttributes = Attributes(st, fdDir, pEntry->d_name);
        pvEntries->push_back(entry);
    }
}

// An open directory that is no link: ELOOP or ENOTDIR from O_NOFOLLOW | O_DIRECTORY
// on a symbolic link means a link.
FileResult OpenDirNoFollow(int fdAt, const std::string& strNative, int* pfd)
{
    const int fd = openat(fdAt, strNative.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        *pfd = fd;
        return kFileOk;
    }
    const int nError = errno;
    struct stat st;
    if ((nError == ELOOP || nError == ENOTDIR) &&
        fstatat(fdAt, strNative.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return kFileInvalidArgument;
    errno = nError;
    return LastError();
}

}  // namespace

FileResult DirList(const char* szDir, std::vector<DirEntry>* pvEntries)
{
    std::string strNative;
    FileResult result = NativePath(szDir, &strNative);
    if (result != kFileOk)
        return result;
    pvEntries->clear();
    DIR* pDir = opendir(strNative.c_str());  // glibc opens it close-on-exec
    if (pDir == nullptr)
        return LastError();
    result = ListOpenDir(pDir, pvEntries);
    closedir(pDir);
    return result;
}

FileResult CDirWalk::Open(const char* szPath)
{
    Close();
    std::string strNative;
    FileResult result = NativePath(szPath, &strNative);
    if (result != kFileOk)
        return result;
    int fd = -1;
    result = OpenDirNoFollow(AT_FDCWD, strNative, &fd);
    if (result != kFileOk)
        return result;
    m_hNative = fd;
    m_strPath = strNative;
    return kFileOk;
}

FileResult CDirWalk::OpenChild(const CDirWalk& parent, const char* szName)
{
    Close();
    if (parent.m_hNative < 0 || szName == nullptr)
        return kFileNotFound;
    const std::string strName = posix::AnsiToUtf8(szName);
    int fd = -1;
    const FileResult result = OpenDirNoFollow(static_cast<int>(parent.m_hNative), strName, &fd);
    if (result != kFileOk)
        return result;
    m_hNative = fd;
    m_strPath = parent.m_strPath + "/" + strName;
    return kFileOk;
}

FileResult CDirWalk::List(std::vector<DirEntry>* pvEntries) const
{
    pvEntries->clear();
    if (m_hNative < 0)
        return kFileNotFound;
    // The stream takes a descriptor of its own and reads from the start.
    const int fd = openat(static_cast<int>(m_hNative), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return LastError();
    DIR* pDir = fdopendir(fd);
    if (pDir == nullptr) {
        const FileResult result = LastError();
        close(fd);
        return result;
    }
    const FileResult result = ListOpenDir(pDir, pvEntries);
    closedir(pDir);
    return result;
}

FileResult CDirWalk::Remove(const char* szName) const
{
    if (NameOpFails(CFaultInjector::kRemoveOp))
        return kFileIoError;
    if (m_hNative < 0 || szName == nullptr)
        return kFileNotFound;
    const int fdDir = static_cast<int>(m_hNative);
    const std::string strName = posix::AnsiToUtf8(szName);
    struct stat st;
    if (fstatat(fdDir, strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return LastError();
    if (S_ISREG(st.st_mode)) {
        const int fd = openat(fdDir, strName.c_str(),
                              O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            const bool bHeld = OthersHold(fd, kDenyDeleteByte);
            close(fd);
            if (bHeld)
                return kFileSharingViolation;
        }
    }
    const bool bDirectory = S_ISDIR(st.st_mode);
    posix::CPowerCutStep step(posix::CPowerCutStep::kChange);
    int nResult;
    if (posix::g_bPowerCutArmed) {
        // The power-cut model follows changes by path; it runs only in tests.
        const std::string strPath = m_strPath + "/" + strName;
        nResult = bDirectory ? posix::PowerCutRmdir(strPath) : posix::PowerCutUnlink(strPath);
    } else {
        nResult = unlinkat(fdDir, strName.c_str(), bDirectory ? AT_REMOVEDIR : 0);
    }
    if (nResult != 0)
        return bDirectory && errno == EEXIST ? kFileDirNotEmpty : LastError();
    return kFileOk;
}

void CDirWalk::Close()
{
    if (m_hNative >= 0)
        close(static_cast<int>(m_hNative));
    m_hNative = -1;
    m_strPath.clear();
}

std::string TempDirectory()
{
    std::string strDir = "/tmp";
    const char* szTmp = getenv("TMPDIR");
    struct stat st;
    if (szTmp != nullptr && szTmp[0] == '/' && stat(szTmp, &st) == 0 && S_ISDIR(st.st_mode))
        strDir = szTmp;
    std::string strEngine = posix::FromNativePath(strDir);
    if (strEngine.empty() || strEngine.back() != '\\')
        strEngine += '\\';
    return strEngine;
}

FileResult FullPathName(const char* szPath, std::string* pstrFull, std::size_t* pnFilePart)
{
    if (szPath == nullptr || szPath[0] == '\0')
        return kFileBadName;
    std::string strPath(szPath);
    for (char& c : strPath)  // "/" is never the trail byte of a double-byte character
        if (c == '/')
            c = '\\';

    std::string strCurrent;
    {
        char buffer[PATH_MAX];
        if (getcwd(buffer, sizeof(buffer)) == nullptr)
            return LastError();
        strCurrent = posix::FromNativePath(buffer);
    }

    // Split into a prefix that ".." never climbs above ("Z:", "\\server\share") and
    // the rest, taken from the root of that prefix.
    std::string strPrefix, strRest;
    const bool bDrive = strPath.size() >= 2 && strPath[1] == ':' &&
                        ((strPath[0] >= 'A' && strPath[0] <= 'Z') ||
                         (strPath[0] >= 'a' && strPath[0] <= 'z'));
    if (strPath.compare(0, 2, "\\\\") == 0) {
        std::size_t n = 2;
        for (int nPart = 0; nPart < 2 && n < strPath.size(); ++nPart) {
            const std::size_t nNext = strPath.find('\\', n);
            n = nNext == std::string::npos ? strPath.size() : nNext + (nPart == 0 ? 1 : 0);
        }
        strPrefix = strPath.substr(0, n);
        strRest = strPath.substr(n);
    } else if (bDrive) {
        strPrefix = strPath.substr(0, 2);
        strRest = strPath.substr(2);
        if (strRest.empty() || strRest[0] != '\\') {
            // Drive-relative: against the current directory when it is on that drive.
            if ((strPath[0] & 0xDF) == (strCurrent[0] & 0xDF))
                strRest = strCurrent.substr(2) + "\\" + strRest;
        }
    } else if (strPath[0] == '\\') {
        strPrefix = strCurrent.substr(0, 2);
        strRest = strPath;
    } else {
        strPrefix = strCurrent.substr(0, 2);
        strRest = strCurrent.substr(2) + "\\" + strPath;
    }

    std::vector<std::string> vParts;
    std::size_t i = 0;
    std::string strPart;
    bool bTrailingSeparator = false;
    while (i <= strRest.size()) {
        const unsigned char c = i < strRest.size() ? static_cast<unsigned char>(strRest[i]) : 0;
        if (c == '\\' || c == 0) {
            if (c == '\\')
                bTrailingSeparator = i + 1 == strRest.size();
            if (strPart == "..") {
                if (!vParts.empty())
                    vParts.pop_back();
            } else if (!strPart.empty() && strPart != ".") {
                vParts.push_back(strPart);
            }
            strPart.clear();
            ++i;
            continue;
        }
        strPart += static_cast<char>(c);
        if (IsLeadByte(c) && i + 1 < strRest.size()) {
            strPart += strRest[i + 1];
            ++i;
        }
        ++i;
    }

    std::string strFull = strPrefix;
    std::size_t nFilePart = 0;
    for (const std::string& part : vParts) {
        strFull += '\\';
        nFilePart = strFull.size();
        strFull += part;
    }
    if (vParts.empty() || bTrailingSeparator) {
        strFull += '\\';
        nFilePart = strFull.size();
    }
    *pstrFull = strFull;
    if (pnFilePart != nullptr)
        *pnFilePart = nFilePart;
    return kFileOk;
}

bool DriveExists(char chDrive)
{
    return chDrive == 'Z' || chDrive == 'z';
}

}  // namespace platform
