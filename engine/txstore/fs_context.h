// CFSContext: the file-system context that acts on the disk directly, for work
// outside a transaction. Builds on platform/file.h; its files are CFile objects.
#pragma once

#include "engine/txstore/destroy_object.h"
#include "engine/txstore/file_system.h"

namespace velk {

class CFSContext : public CFileSystem::IContext {
public:
    // nWritable fixes for the context's life whether it may change files;
    // pfnDeleter destroys the files handed back through CloseFile.
    CFSContext(int nWritable, PFNDESTROYOBJECT pfnDeleter);
    ~CFSContext() override {}

    int IsWritable() override;
    // A new CFile for the existing file. The writable flag is not consulted.
    CFileSystem::IFile* OpenFile(const char* szPath, int nWrite) override;
    void CloseFile(CFileSystem::IFile* pFile) override;
    // Throws on a read-only context. 5 when the path exists as anything; otherwise
    // creates an empty file and returns 0, or throws when it cannot.
    int CreateFile(const char* szPath) override;
    // Throws on a read-only context. -1 when the path does not exist; otherwise
    // deletes the file and returns 1, or throws when it cannot.
    int DeleteFile(const char* szPath) override;
    // Throws on a read-only context. 5 when the path exists; otherwise 0 created or
    // 1 creation failed (no exception).
    int CreateDirectory(const char* szPath) override;
    // Throws on a read-only context. -1 when the path does not exist; otherwise
    // removes the directory, which must be empty, and returns 1, or throws.
    int RemoveDirectory(const char* szPath) override;

private:
    int m_bWritable;
    PFNDESTROYOBJECT m_pfnDeleter;
};

// A new CFSContext with DestroyObject as its deleter, or null when memory is
// exhausted. The caller owns it and disposes of it with DestroyObject.
CFileSystem::IContext* CreateFSContext(int nWritable);

}  // namespace velk
