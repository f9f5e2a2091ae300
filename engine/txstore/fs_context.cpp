#include "engine/txstore/fs_context.h"

#include <new>

#include "engine/base/fault.h"
#include "engine/base/result.h"
#include "engine/txstore/file.h"
#include "platform/file.h"

namespace velk {

CFSContext::CFSContext(int nWritable, PFNDESTROYOBJECT pfnDeleter)
    : m_bWritable(nWritable), m_pfnDeleter(pfnDeleter)
{
}

int CFSContext::IsWritable()
{
    return m_bWritable;
}

CFileSystem::IFile* CFSContext::OpenFile(const char* szPath, int nWrite)
{
    return new CFile(szPath, nWrite);
}

void CFSContext::CloseFile(CFileSystem::IFile* pFile)
{
    m_pfnDeleter(pFile);
}

int CFSContext::CreateFile(const char* szPath)
{
    if (!m_bWritable || szPath == nullptr)
        ThrowFault();
    if (platform::PathExists(szPath))
        return kExists;
    platform::CFileHandle file;
    if (platform::FileOpen(szPath, 0, 0, platform::kFileCreateNew, &file) != platform::kFileOk)
        ThrowFault();
    return kOk;
}

int CFSContext::DeleteFile(const char* szPath)
{
    if (!m_bWritable || szPath == nullptr)
        ThrowFault();
    if (!platform::PathExists(szPath))
        return -1;
    if (platform::FileRemove(szPath) != platform::kFileOk)
        ThrowFault();
    return 1;
}

int CFSContext::CreateDirectory(const char* szPath)
{
    if (!m_bWritable || szPath == nullptr)
        ThrowFault();
    if (platform::PathExists(szPath))
        return kExists;
    return platform::DirCreate(szPath) == platform::kFileOk ? kOk : kFailed;
}

int CFSContext::RemoveDirectory(const char* szPath)
{
    if (!m_bWritable || szPath == nullptr)
        ThrowFault();
    if (!platform::PathExists(szPath))
        return -1;
    if (platform::DirRemove(szPath) != platform::kFileOk)
        ThrowFault();
    return 1;
}

CFileSystem::IContext* CreateFSContext(int nWritable)
{
    return new (std::nothrow) CFSContext(nWritable, DestroyObject);
}

}  // namespace velk
