// CRegularFile: an unlogged platform file seen through CTransaction::IFile, which
// the transaction context hands out where no logging is needed. It behaves exactly
// as CFile; see platform_file.h.
#pragma once

#include "engine/txstore/platform_file.h"
#include "engine/txstore/transaction.h"

namespace velk {

class CRegularFile : public CPlatformFile<CTransaction::IFile> {
public:
    // Opens an existing file; see CPlatformFile. Throws when it cannot.
    CRegularFile(const char* szPath, int nWrite)
        : CPlatformFile<CTransaction::IFile>(szPath, nWrite)
    {
    }
};

}  // namespace velk
