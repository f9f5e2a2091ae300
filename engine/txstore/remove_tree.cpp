#include "engine/txstore/remove_tree.h"

#include <string>
#include <vector>

#include "platform/file.h"

namespace velk {
namespace {

int RemoveLink(const char* szPath)
{
    const platform::FileResult r = platform::LinkRemove(szPath);
    return (r == platform::kFileOk || r == platform::kFileNotFound) ? kTreeRemoved : kTreeFailed;
}

// Empties the open directory dir. Every entry is reached relative to dir, so a
// directory of the tree swapped for a link meanwhile leads nowhere outside: a
// link is removed as itself wherever it stands, and an entry that is gone
// counts as removed.
int EmptyOpenDirectory(const platform::CDirWalk& dir, RemoveTreeStopCheck pfnCheck,
                       std::uintptr_t nUser)
{
    std::vector<platform::DirEntry> vEntries;
    const platform::FileResult r = dir.List(&vEntries);
    if (r == platform::kFileNotFound)
        return kTreeRemoved;
    if (r != platform::kFileOk)
        return kTreeFailed;
    for (const platform::DirEntry& entry : vEntries) {
        if (pfnCheck != nullptr && pfnCheck(nUser, 0) == 0)
            return kTreeStopped;
        const char* szName = entry.strName.c_str();
        if ((entry.nAttributes & platform::kFileAttrDirectory) != 0 &&
            (entry.nAttributes & platform::kFileAttrReparsePoint) == 0) {
            platform::CDirWalk child;
            const platform::FileResult rOpen = child.OpenChild(dir, szName);
            if (rOpen == platform::kFileNotFound)
                continue;
            if (rOpen == platform::kFileOk) {
                const int nResult = EmptyOpenDirectory(child, pfnCheck, nUser);
                if (nResult != kTreeRemoved)
                    return nResult;
            } else if (rOpen != platform::kFileInvalidArgument) {
                return kTreeFailed;  // kFileInvalidArgument: a link now, removed below
            }
        }
        const platform::FileResult rRemove = dir.Remove(szName);
        if (rRemove != platform::kFileOk && rRemove != platform::kFileNotFound)
            return kTreeFailed;
    }
    return kTreeRemoved;
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
    platform::CDirWalk root;
    const platform::FileResult r = root.Open(szDirectory);
    if (r == platform::kFileNotFound)
        return nMissing;
    if (r == platform::kFileInvalidArgument)
        return bKeepRoot ? kTreeFailed : RemoveLink(szDirectory);
    if (r != platform::kFileOk)
        return kTreeFailed;
    const int nResult = EmptyOpenDirectory(root, pfnCheck, nUser);
    root.Close();
    if (nResult != kTreeRemoved || bKeepRoot)
        return nResult;
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
