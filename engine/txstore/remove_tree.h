// Recursive deletion with a stop check, used by the dustbox watcher to empty its
// directories. Read-only entries are made writable first. An entry that is already
// gone counts as deleted: the desktop application watches the same dustboxes, so
// two watchers may empty one tree at once. A symbolic link or junction is removed
// as the link itself and never entered, wherever it stands in the tree. The walk
// goes relative to open directories (platform::CDirWalk): a directory swapped for
// a link while the walk is inside it cannot lead the removal outside the tree.
#pragma once

#include <cstdint>

namespace velk {

// Asked before each directory entry with (user value, 0); returns nonzero to go on.
typedef int (*RemoveTreeStopCheck)(std::uintptr_t nUser, int nReserved);

enum { kTreeRemoved = 0, kTreeFailed = 1, kTreeMissing = 2, kTreeStopped = 3 };

// Deletes everything inside szDirectory, and szDirectory itself unless bKeepRoot.
// Returns kTreeRemoved; kTreeFailed when a deletion, removal or enumeration
// failed, or when szDirectory itself is a link and bKeepRoot is set (a link
// without bKeepRoot is removed); kTreeMissing when the directory does not exist and bKeepRoot is set
// (without bKeepRoot a missing directory is kTreeRemoved); kTreeStopped when the
// stop check (may be null) said stop.
int RemoveTree(const char* szDirectory, RemoveTreeStopCheck pfnCheck, std::uintptr_t nUser,
               int bKeepRoot);

// RemoveTree keeping the directory itself.
int EmptyDirectory(const char* szDirectory, RemoveTreeStopCheck pfnCheck, std::uintptr_t nUser);

}  // namespace velk
