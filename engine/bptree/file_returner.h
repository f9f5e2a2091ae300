// Hands a file back to the context that opened it when the scope ends, on every
// path, exceptions included.
#pragma once

#include "engine/txstore/file_system.h"

namespace velk {

class CFileReturner {
public:
    CFileReturner(CFileSystem::IContext* pContext, CFileSystem::IFile* pFile)
        : m_pContext(pContext), m_pFile(pFile) {}
    ~CFileReturner()
    {
        if (m_pFile != nullptr)
            m_pContext->CloseFile(m_pFile);
    }
    CFileReturner(const CFileReturner&) = delete;
    CFileReturner& operator=(const CFileReturner&) = delete;

private:
    CFileSystem::IContext* m_pContext;
    CFileSystem::IFile* m_pFile;
};

}  // namespace velk
