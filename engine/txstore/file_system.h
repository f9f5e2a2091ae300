// The file-system abstraction through which record files and B+ trees reach their
// files: a context that opens, creates and removes files and directories, and file
// objects that read and write bytes at a 64-bit position. The plain context
// (fs_context.h) acts on the disk directly; a transactional adapter routes the same
// calls into a transaction.
//
// Paths are code-page text with "\" separators, drive-absolute inside a database.
// Sizes and positions are unsigned 64-bit; one read or write moves at most
// 2^32 - 1 bytes. Seek origins: 0 from the start, 1 from the current position, 2
// from the end.
//
// Results that callers meet in normal use are return values (kOk done, kExists the
// path exists, -1 the path does not exist, kFailed a directory could not be
// created; the names are in engine/base/result.h); every
// other failure throws the engine's exception. Contexts and files carry no locks:
// each is used by one thread at a time.
#pragma once

#include <cstdint>

#include "engine/txstore/destroy_object.h"
#include "engine/txstore/transaction.h"

namespace velk {

class CFileSystem {
public:
    class IFile : public CStoreObject {
    public:
        // Closes the file.
        ~IFile() override {}
        // Reads up to cbCount bytes at the current position and advances it. Returns
        // the number read: 0 at or past the end, and whatever was read before a
        // failure. Never throws; a caller that needs every byte compares the count.
        virtual std::uint32_t Read(void* pBuffer, std::uint32_t cbCount) = 0;
        // Writes at the current position and advances it. Returns the number
        // written, which a failure makes short. Never throws.
        virtual std::uint32_t Write(const void* pBuffer, std::uint32_t cbCount) = 0;
        // The size in bytes. Throws when the platform cannot tell.
        virtual std::uint64_t GetSize() = 0;
        // Moves the position and returns the new one. A position beyond the end is
        // allowed; a position before the start, or a bad origin, throws.
        virtual std::uint64_t Seek(std::int64_t nOffset, int nOrigin) = 0;
        // The current position (Seek(0, 1)).
        virtual std::uint64_t Tell() = 0;
        // Makes the file end at the current position, cutting or extending it
        // (extension reads back as zeros). Returns nonzero; failure throws.
        virtual int SetEnd() = 0;
    };

    class IContext : public CStoreObject {
    public:
        ~IContext() override {}
        // The transaction context behind this context, or null for a context that
        // acts on the disk directly.
        virtual CTransaction::IContext* GetTransactionContext() { return nullptr; }
        // Nonzero when the context may change files.
        virtual int IsWritable() = 0;
        // Opens an existing file: nWrite zero for reading (other readers allowed),
        // nonzero for reading and writing (no other opener allowed). Does not
        // consult IsWritable; callers do. Throws when the file cannot be opened.
        // The file belongs to the caller until it goes back through CloseFile.
        virtual IFile* OpenFile(const char* szPath, int nWrite) = 0;
        // Destroys a file that OpenFile of this same context returned.
        virtual void CloseFile(IFile* pFile) = 0;
        // Creates an empty file. kOk created, kExists the path exists (as any
        // kind of object).
        virtual int CreateFile(const char* szPath) = 0;
        // Deletes a file. -1 the path does not exist, nonzero otherwise.
        virtual int DeleteFile(const char* szPath) = 0;
        // Creates a directory. kOk created, kExists the path exists, kFailed
        // creation failed.
        virtual int CreateDirectory(const char* szPath) = 0;
        // Removes a directory. -1 the path does not exist, nonzero otherwise.
        virtual int RemoveDirectory(const char* szPath) = 0;
    };
};

}  // namespace velk
