// Files and directories: open with access, share mode and disposition; read, write,
// seek, size, set end and flush through a move-only handle; attributes, delete,
// move, create and remove directory, enumeration, the temporary directory, full
// path names and the drive check.
//
// The semantics are Win32's on both targets, because the files are shared with a
// program running on Windows:
// - share modes are enforced between processes and between two opens in one
//   process: a file open for writing without sharing refuses a second opener;
// - a file that is open without delete sharing can be neither deleted nor renamed;
// - a move never replaces an existing target;
// - a read-only file can be neither opened for writing nor deleted.
// The POSIX backend emulates share modes with open-file-description locks on bytes
// far past any data, so they bind only openers that go through this layer. Every
// descriptor it opens is close-on-exec.
//
// Paths are in the engine's form: code-page text with "\" separators; on POSIX the
// pseudo drive "Z:" is the root "/" and no other drive exists. Sizes and positions
// are 64-bit. Nothing here throws: every function returns a FileResult, translated
// from the OS error in one place per backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Results of this layer, the same on both targets.
enum FileResult : int {
    kFileOk = 0,
    kFileNotFound = 1,          // the file, or a directory on its path, does not exist
    kFileExists = 2,            // the target of a create or move exists already
    kFileAccessDenied = 3,      // no right to do it: read-only file, directory, wrong access
    kFileSharingViolation = 4,  // another opener's share mode forbids it
    kFileDirNotEmpty = 5,
    kFileDiskFull = 6,
    kFileBadName = 7,           // the name is malformed or too long
    kFileInvalidArgument = 8,   // e.g. a seek before the start, an unknown origin
    kFileNotSameDevice = 9,     // a move across volumes
    kFileIoError = 10,          // any other failure, and a failure made by fault injection
};

// Access rights of an open handle (bits). 0 opens for neither: enough to create a
// file or to hold it.
enum : unsigned { kFileAccessRead = 1, kFileAccessWrite = 2 };

// What other openers may do while the handle is open (bits).
enum : unsigned { kFileShareRead = 1, kFileShareWrite = 2, kFileShareDelete = 4 };

// What to do when the file exists or does not (the Win32 numbers).
enum FileDisposition : unsigned {
    kFileCreateNew = 1,        // create; fail with kFileExists when it exists
    kFileCreateAlways = 2,     // create, or truncate the existing file
    kFileOpenExisting = 3,     // open; fail with kFileNotFound when it does not exist
    kFileOpenAlways = 4,       // open, or create when it does not exist
    kFileTruncateExisting = 5, // open and truncate; needs write access
};

// Attribute bits (the Win32 values). Both targets keep kFileAttrReadOnly for files
// and report kFileAttrDirectory; on POSIX a regular file also reports
// kFileAttrArchive, and the read-only bit of a directory is not kept.
// Attributes describe a link itself, never what it points to: a symbolic link, a
// junction or any other reparse point reports kFileAttrReparsePoint, together with
// kFileAttrDirectory when it stands for a directory (on POSIX: when its target is
// one now). Opening a file, listing a directory's entries and a move follow a link
// in the middle of a path as usual.
enum : unsigned {
    kFileAttrReadOnly = 0x01,
    kFileAttrHidden = 0x02,
    kFileAttrSystem = 0x04,
    kFileAttrDirectory = 0x10,
    kFileAttrArchive = 0x20,
    kFileAttrNormal = 0x80,
    kFileAttrReparsePoint = 0x400,
};

// Seek origins.
enum : int { kFileBegin = 0, kFileCurrent = 1, kFileEnd = 2 };

// One open file. Closes it on destruction; movable, not copyable. A handle is used
// by one thread at a time. Its position belongs to the handle: two handles of one
// file move independently.
class CFileHandle {
public:
    CFileHandle() {}
    ~CFileHandle() { Close(); }
    CFileHandle(CFileHandle&& other) noexcept { *this = static_cast<CFileHandle&&>(other); }
    CFileHandle& operator=(CFileHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_hNative = other.m_hNative;
            m_nAccess = other.m_nAccess;
            m_nPosition = other.m_nPosition;
            other.m_hNative = kInvalid;
        }
        return *this;
    }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;

    bool IsOpen() const { return m_hNative != kInvalid; }

    // Reads up to cbCount bytes at the position and advances it by the number read,
    // which goes to *pcbRead (0 at or past the end). On failure *pcbRead holds what
    // was read before it.
    FileResult Read(void* pBuffer, std::uint32_t cbCount, std::uint32_t* pcbRead);

    // Writes cbCount bytes at the position (a position past the end fills the gap
    // with zeros) and advances it by the number written, which goes to *pcbWritten.
    // Fault injection may make the write fail or come back short.
    FileResult Write(const void* pBuffer, std::uint32_t cbCount, std::uint32_t* pcbWritten);

    // Moves the position; *pnPosition (may be null) receives the new one. Positions
    // past the end are allowed, before the start give kFileInvalidArgument.
    FileResult Seek(std::int64_t nOffset, int nOrigin, std::uint64_t* pnPosition);

    FileResult GetSize(std::uint64_t* pcbSize);

    // Makes the file end at the position, cutting or extending it with zeros.
    FileResult SetEnd();

    // Forces written data to the disk (FlushFileBuffers / fdatasync). Fault
    // injection may make it fail or end the process here.
    FileResult Flush();

    // Starts writing the file's changed data to the disk without waiting for it
    // (sync_file_range on Linux), so that a later Flush of any handle of the file
    // finds most of the work done; several files started before they are flushed
    // one by one share the disk's time. Nothing to do on Windows. Ignored by fault
    // injection: it promises nothing.
    FileResult StartFlush();

    // Closes the file; does nothing when none is open.
    void Close();

    // The OS handle or descriptor, for other files of the same backend only.
    std::intptr_t Native() const { return m_hNative; }

private:
    friend FileResult FileOpen(const char*, unsigned, unsigned, unsigned, CFileHandle*,
                               std::uint64_t*);
    friend FileResult FileDuplicate(const CFileHandle&, CFileHandle*);
    static constexpr std::intptr_t kInvalid = -1;

    std::intptr_t m_hNative = kInvalid;
    unsigned m_nAccess = 0;
    std::uint64_t m_nPosition = 0;  // kept by the POSIX backend; Windows keeps its own
};

// Opens or creates szPath with the access, share and disposition given, normal
// attributes. On success *pFile (closed first when open) owns the file; on failure
// it is left untouched. A directory cannot be opened (kFileAccessDenied).
// *pcbSize (may be null) receives the file's size as the open left it, which
// saves the caller a GetSize.
FileResult FileOpen(const char* szPath, unsigned nAccess, unsigned nShare, unsigned nDisposition,
                    CFileHandle* pFile, std::uint64_t* pcbSize);
inline FileResult FileOpen(const char* szPath, unsigned nAccess, unsigned nShare,
                           unsigned nDisposition, CFileHandle* pFile)
{
    return FileOpen(szPath, nAccess, nShare, nDisposition, pFile, nullptr);
}

// A second handle of the same open file with the same access (DuplicateHandle;
// on POSIX a duplicate descriptor of the same open file description). The file's
// share mode holds until both are closed. On Windows the two share one position;
// on POSIX the new handle starts at the old one's position and then moves on its
// own. On failure *pCopy is left untouched.
FileResult FileDuplicate(const CFileHandle& file, CFileHandle* pCopy);

// The attributes of the file, directory or link at szPath (GetFileAttributesA; a
// link is described, not followed).
FileResult FileGetAttributes(const char* szPath, unsigned* pnAttributes);

// Sets the attributes (only kFileAttrReadOnly takes effect on POSIX, and only for
// files, not for directories or links; kFileAttrNormal alone clears it).
FileResult FileSetAttributes(const char* szPath, unsigned nAttributes);

// True when something (file, directory or link, even one that leads nowhere)
// exists at szPath.
bool PathExists(const char* szPath);

// Deletes a file. Fails for a directory, a read-only file, and a file that is open
// without delete sharing (kFileSharingViolation).
FileResult FileRemove(const char* szPath);

// Removes the link at szPath itself (a symbolic link to a file or a directory, a
// junction), never anything it points to: unlink on POSIX; on Windows
// RemoveDirectoryA for a link that stands for a directory, DeleteFileA otherwise.
// kFileInvalidArgument when szPath is no link.
FileResult LinkRemove(const char* szPath);

// Moves or renames a file or directory on one volume; a link is moved itself. Never replaces an existing
// target (kFileExists); a file open without delete sharing cannot be moved.
FileResult FileMove(const char* szFrom, const char* szTo);

// Copies a file to a new name (never over an existing one), with its contents
// and, on POSIX, its permission bits (an executable stays executable).
FileResult FileCopy(const char* szFrom, const char* szTo);

// Creates one directory; its parent must exist.
FileResult DirCreate(const char* szPath);

// Removes an empty directory.
FileResult DirRemove(const char* szPath);

// Makes the directory's entries (names created, removed or renamed in it) durable
// on the disk (fsync of the directory on POSIX). Windows' file systems journal
// their directories themselves: nothing to do there. Counts as a flush for fault
// injection.
FileResult DirFlush(const char* szPath);

// True where the file system takes names that differ only in the case of ASCII
// letters for the same name (Windows); false where it compares names byte for
// byte (POSIX).
bool FileNamesFoldCase();

struct DirEntry {
    std::string strName;   // the name alone, in the engine's code page
    unsigned nAttributes;  // as FileGetAttributes gives them: a link is described
};

// The entries of the directory szDir, without "." and "..", in no particular order.
FileResult DirList(const char* szDir, std::vector<DirEntry>* pvEntries);

// A directory held open for a walk that no directory swapped for a link can lead
// elsewhere: its entries are listed, entered and removed relative to the open
// directory, and a link is never followed. POSIX reaches entries with openat,
// fstatat and unlinkat (O_NOFOLLOW | O_DIRECTORY). Windows holds each directory
// of the walk open without delete sharing, so that none can be renamed or removed
// while the walk is inside it, opens entries with FILE_FLAG_OPEN_REPARSE_POINT and
// removes files and directories by handle (FileDispositionInfo).
class CDirWalk {
public:
    CDirWalk() {}
    ~CDirWalk() { Close(); }
    CDirWalk(const CDirWalk&) = delete;
    CDirWalk& operator=(const CDirWalk&) = delete;

    // Opens the directory szPath. kFileInvalidArgument when szPath itself is a
    // link (it is not followed).
    FileResult Open(const char* szPath);
    // Opens the subdirectory szName (a name alone) of the open directory parent.
    // kFileInvalidArgument when that is a link now, kFileNotFound when it is gone.
    FileResult OpenChild(const CDirWalk& parent, const char* szName);
    // The entries, as DirList gives them.
    FileResult List(std::vector<DirEntry>* pvEntries) const;
    // Removes the entry szName as it is now, never following it: a file (also a
    // read-only one; kFileSharingViolation when it is open without delete
    // sharing), a link itself, or an empty directory (kFileDirNotEmpty otherwise).
    // Counts as a removal for fault injection.
    FileResult Remove(const char* szName) const;
    void Close();

private:
    std::intptr_t m_hNative = -1;  // a descriptor on POSIX, a HANDLE on Windows
    std::string m_strPath;         // the directory's path (native form on POSIX)
};

// The directory for temporary files, in the engine's form with a trailing "\"
// (GetTempPathA).
std::string TempDirectory();

// szPath made absolute against the current directory, with "." and ".." resolved
// and "/" taken as "\" (GetFullPathNameA). *pnFilePart (may be null) receives the
// offset of the last component. The file need not exist.
FileResult FullPathName(const char* szPath, std::string* pstrFull, std::size_t* pnFilePart);

// True when the drive with letter chDrive exists (GetDriveTypeA of its root, with
// critical-error dialogs suppressed). On POSIX only "Z" exists.
bool DriveExists(char chDrive);

}  // namespace platform
