#include "engine/txstore/remove_tree.h"

#include <string>
#include <vector>

#include "engine/path/path.h"
#include "platform/file.h"

namespace velk {
namespace {

int RemoveLink(const char* szPath)
{
    const platform::FileResult r = platform::LinkRemove(szPath);
    return (r == platform::kFileOk || r == platform::kFileNotFound) ? kTreeRemoved : kTreeFailed;
}

}  // namespace

int RemoveTree(const char* szDirectory, RemoveTreeStopCheck pfnCheck, std::uintptr_t nUser,
               int bKeepRoot)
{
    const int nMissing = bKeepRoot ? kTreeMissing : kTreeRemoved;
    unsigned nRootAttributes = 0;
    if (platform::FileGetAttributes(szDirectory, &nRootAttributes) != platform::kFileOk)
        return nMissing;
    // A link is never entered: what it leads to lies outside the tree. Removing the
    // tree removes the link itself; a directory to be emptied that is a link is
    // left alone.
    if (nRootAttributes & platform::kFileAttrReparsePoint)
        return bKeepRoot ? kTreeFailed : RemoveLink(szDirectory);
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
        if (entry.nAttributes & platform::kFileAttrReparsePoint) {
            if (RemoveLink(path.GetString()) != kTreeRemoved)
                return kTreeFailed;
        } else if (entry.nAttributes & platform::kFileAttrDirectory) {
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
