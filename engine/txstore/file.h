// CFile: the file object of the plain file-system context, a platform file seen
// through CFileSystem::IFile. See platform_file.h for its behaviour.
#pragma once

#include "engine/txstore/file_system.h"
#include "engine/txstore/platform_file.h"

namespace velk {

class CFile : public CPlatformFile<CFileSystem::IFile> {
public:
    // Opens an existing file; see CPlatformFile. Throws when it cannot.
    CFile(const char* szPath, int nWrite) : CPlatformFile<CFileSystem::IFile>(szPath, nWrite) {}
};

}  // namespace velk
