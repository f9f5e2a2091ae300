// The transaction store's own pair of interfaces: the transaction context that a
// transaction hands out, and the file objects it opens. Record files and B+ trees
// never see these directly; they reach them through the CFileSystem adapters.
#pragma once

#include <cstdint>

#include "engine/txstore/destroy_object.h"

namespace velk {

class CTransaction {
public:
    // A file opened through a transaction context. Same operations, in the same
    // order, as CFileSystem::IFile; see there for each contract. The file belongs to
    // whoever opened it until it is handed back through IContext::CloseFile.
    class IFile : public CStoreObject {
    public:
        // Closes the file.
        ~IFile() override {}
        virtual std::uint32_t Read(void* pBuffer, std::uint32_t cbCount) = 0;
        virtual std::uint32_t Write(const void* pBuffer, std::uint32_t cbCount) = 0;
        virtual std::uint64_t GetSize() = 0;
        virtual std::uint64_t Seek(std::int64_t nOffset, int nOrigin) = 0;
        virtual std::uint64_t Tell() = 0;
        virtual int SetEnd() = 0;
    };

    // The context of one active transaction. Paths are code-page text with "\"
    // separators. Used by one thread at a time; everything it hands out must be given
    // back before the transaction ends.
    class IContext : public CStoreObject {
    public:
        ~IContext() override {}
        // Nonzero for a write transaction.
        virtual int IsWritable() = 0;
        // Opens an existing file for reading, or for reading and writing when
        // nWrite is nonzero; throws when it cannot. Give the file back with
        // CloseFile.
        virtual IFile* OpenFile(const char* szPath, int nWrite) = 0;
        // Destroys a file that OpenFile of this context returned.
        virtual void CloseFile(IFile* pFile) = 0;
        // 0 created (empty), 5 the path exists already.
        virtual int CreateFile(const char* szPath) = 0;
        virtual void DeleteFile(const char* szPath) = 0;
        // 0 created, 5 the path exists already.
        virtual int CreateDirectory(const char* szPath) = 0;
        virtual void RemoveDirectory(const char* szPath) = 0;
    };
};

}  // namespace velk
