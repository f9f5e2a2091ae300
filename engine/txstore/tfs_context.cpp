#include "engine/txstore/tfs_context.h"

#include <new>

#include "engine/base/fault.h"

namespace velk {

CTFSContext::CTFSContext(CTransaction::IContext* pContext, PFNDESTROYOBJECT pfnDeleter)
    : m_pContext(pContext), m_pfnDeleter(pfnDeleter)
{
    if (m_pContext == nullptr)
        ThrowFault();
}

CFileSystem::IFile* CTFSContext::OpenFile(const char* szPath, int nWrite)
{
    return new CTFile(m_pContext, szPath, nWrite);
}

void CTFSContext::CloseFile(CFileSystem::IFile* pFile)
{
    CTFile* pTFile = dynamic_cast<CTFile*>(pFile);
    if (pTFile != nullptr) {
        try {
            pTFile->Close();
        } catch (...) {
            m_pfnDeleter(pFile);
            throw;
        }
    }
    m_pfnDeleter(pFile);
}

int CTFSContext::DeleteFile(const char* szPath)
{
    m_pContext->DeleteFile(szPath);
    return 0;
}

int CTFSContext::RemoveDirectory(const char* szPath)
{
    m_pContext->RemoveDirectory(szPath);
    return 0;
}

CTFile::CTFile(CTransaction::IContext* pContext, const char* szPath, int nWrite)
    : m_pContext(pContext), m_pFile(pContext->OpenFile(szPath, nWrite))
{
}

CTFile::~CTFile()
{
    try {
        Close();
    } catch (...) {
    }
}

void CTFile::Close()
{
    CTransaction::IFile* pFile = m_pFile;
    m_pFile = nullptr;
    if (pFile != nullptr)
        m_pContext->CloseFile(pFile);
}

CFileSystem::IContext* CreateTFSContext(CTransaction::IContext* pContext)
{
    if (pContext == nullptr)
        ThrowFault();
    return new (std::nothrow) CTFSContext(pContext, &DestroyObject);
}

}  // namespace velk
