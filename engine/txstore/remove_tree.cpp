#include "engine/txstore/remove_tree.h"

#include <string>
#include <vector>

#include "engine/path/path.h"
#include "platform/file.h"

namespace velk {

int RemoveTree(const char* szDirectory, RemoveTreeStopCheck pfnCheck, std::uintptr_t nUser,
               int bKeepRoot)
{
    const int nMissing = bKeepRoot ? kTreeMissing : kTreeRemoved;
    if (!platform::PathExists(szDirectory))
        return nMissing;
    std::vector<platform::DirEntry> vEntries;
    const platform::FileResult r = platform::DirList(szDirectory, &vEntries);
    if (r == platform::kFileNotFound)
        return nMissing;
    if (r != platform::kFileOk)
        return kTreeFailed;

    CPath directory;
    if (directory.Set(szDirectory) != CPath::kOk)
        return kTreeFailed;
    for (const platform::DirEntry& entry : vEntries) {
        if (pfnCheck != nullptr && pfnCheck(nUser, 0) == 0)
            return kTreeStopped;
        const CPath path = directory.Join(entry.strName.c_str());
        if (entry.nAttributes & platform::kFileAttrDirectory) {
            const int nResult = RemoveTree(path.GetString(), pfnCheck, nUser, 0);
            if (nResult != kTreeRemoved)
                return nResult;
        } else {
            platform::FileSetAttributes(path.GetString(), platform::kFileAttrNormal);
            const platform::FileResult rDelete = platform::FileRemove(path.GetString());
            if (rDelete != platform::kFileOk && rDelete != platform::kFileNotFound)
                return kTreeFailed;
        }
    }
    if (bKeepRoot)
        return kTreeRemoved;
    platform::FileSetAttributes(szDirectory, platform::kFileAttrNormal);
    const platform::FileResult rRemove = platform::DirRemove(szDirectory);
    return (rRemove == platform::kFileOk || rRemove == platform::kFileNotFound) ? kTreeRemoved
                                                                                  : kTreeFailed;
}

int EmptyDirectory(const char* szDirectory, RemoveTreeStopCheck pfnCheck, std::uintptr_t nUser)
{
    return RemoveTree(szDirectory, pfnCheck, nUser, 1);
}

}  // namespace velk
