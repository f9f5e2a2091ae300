// Links for tests: the store must never follow a symbolic link or a junction when
// it deletes, and its tests put real links where a store expects directories.
//
// Windows makes symbolic links with CreateSymbolicLinkA and junctions with a
// mount-point reparse point. Wine (8.0) makes neither: its CreateSymbolicLinkA
// reports success and makes nothing, and it refuses to set a reparse point; it
// shows a Unix symbolic link to a directory as a directory link, though, so under
// Wine a directory link is made with the Unix "ln". A Unix link to a file looks
// like a plain file under Wine (and DeleteFileA removes its target), so there
// links to files are not made at all. Wine also acts on a directory link's target
// where Windows acts on the link: MoveFileA moves the target directory, and
// RemoveDirectoryA removes the target when that is empty (and fails otherwise).
// So under Wine the store's refusals of links can be tested, but not its moving
// and removing them (LinksBehaveAsLinks in platform/test_support.h tells). POSIX
// has no junctions.
#pragma once

#include "platform/file.h"

namespace platform {

enum LinkKind : int {
    kLinkToFile = 0,       // a symbolic link to a file
    kLinkToDirectory = 1,  // a symbolic link to a directory
    kLinkJunction = 2,     // a junction (Windows only)
};

// Makes szLink, which must not exist, a link of the kind given to szTarget (a
// path in the engine's form; a junction needs an absolute one). Fails with
// kFileInvalidArgument where the kind cannot be made on this system (see above),
// leaving nothing behind.
FileResult LinkCreate(const char* szLink, const char* szTarget, LinkKind kind);

// Removes a link that LinkCreate made, never its target, also under Wine.
FileResult LinkDelete(const char* szLink);

}  // namespace platform
