// The adapters that present a transaction context as a CFileSystem::IContext, the
// interface record files and B+ trees work with. An adapter does not own the
// transaction context; it and every file it opened must be destroyed before the
// transaction ends.
#pragma once

#include "engine/txstore/destroy_object.h"
#include "engine/txstore/file_system.h"
#include "engine/txstore/transaction.h"

namespace velk {

class CTFSContext : public CFileSystem::IContext {
public:
    // Throws when pContext is null.
    CTFSContext(CTransaction::IContext* pContext, PFNDESTROYOBJECT pfnDeleter);
    ~CTFSContext() override {}

    CTransaction::IContext* GetTransactionContext() override { return m_pContext; }
    int IsWritable() override { return m_pContext->IsWritable(); }
    // A new CTFile over the transaction context's file; see CTFile.
    CFileSystem::IFile* OpenFile(const char* szPath, int nWrite) override;
    void CloseFile(CFileSystem::IFile* pFile) override;
    int CreateFile(const char* szPath) override { return m_pContext->CreateFile(szPath); }
    // The transaction context reports nothing: the results carry no information.
    int DeleteFile(const char* szPath) override;
    int CreateDirectory(const char* szPath) override { return m_pContext->CreateDirectory(szPath); }
    int RemoveDirectory(const char* szPath) override;

private:
    CTransaction::IContext* m_pContext;
    PFNDESTROYOBJECT m_pfnDeleter;
};

// A file of a transaction context seen as a CFileSystem::IFile. The operations
// forward to the transaction's file (which may throw); the destructor hands it
// back through the context's CloseFile.
class CTFile : public CFileSystem::IFile {
public:
    // Opens szPath through pContext; exceptions pass through, nothing stays open.
    CTFile(CTransaction::IContext* pContext, const char* szPath, int nWrite);
    ~CTFile() override;

    std::uint32_t Read(void* pBuffer, std::uint32_t cbCount) override
    {
        return m_pFile->Read(pBuffer, cbCount);
    }
    std::uint32_t Write(const void* pBuffer, std::uint32_t cbCount) override
    {
        return m_pFile->Write(pBuffer, cbCount);
    }
    std::uint64_t GetSize() override { return m_pFile->GetSize(); }
    std::uint64_t Seek(std::int64_t nOffset, int nOrigin) override
    {
        return m_pFile->Seek(nOffset, nOrigin);
    }
    std::uint64_t Tell() override { return m_pFile->Tell(); }
    int SetEnd() override { return m_pFile->SetEnd(); }

    // Hands the file back now, so that a failure to complete its log can still be
    // thrown; the destructor then has nothing left to do.
    void Close();

private:
    CTransaction::IContext* m_pContext;
    CTransaction::IFile* m_pFile;
};

// A new adapter over pContext with DestroyObject as its deleter, or null when
// memory is exhausted. Throws when pContext is null.
CFileSystem::IContext* CreateTFSContext(CTransaction::IContext* pContext);

}  // namespace velk
