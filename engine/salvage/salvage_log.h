// A transaction left behind in a database directory, finished on a copy: the
// salvage of a damaged database must honour the log as opening would (a committed
// transaction rolled forward, an uncommitted one rolled back), yet never write to
// the directory it salvages. The log names its targets by the paths the writer
// used, so the copy's log is made to name the copy's files first. Builds on the
// transactional store's recovery (engine/txstore).
#pragma once

#include <string>

#include "engine/path/path.h"

namespace velk {

// Copies the file or directory tree from to the new path to (a directory tree no
// deeper than the stores go). Links are never followed: links inside the tree are
// left out, and a link at from itself is a failure. False on any failure; what was
// copied stays.
bool CopyEntry(const CPath& from, const CPath& to);

// Whether two names of one directory's entries name the same entry: ASCII letters
// compare without case, as the file systems the database lives on compare them.
bool SameName(const std::string& a, const std::string& b);

// True when szDirectory's transaction directory holds a log.
bool HasTransactionLog(const CPath& directory);

// Copies the database in source (everything but its dustboxes and "temp") into
// work, which must not exist yet, makes the path records of the copy's log name
// the copy's files, and rolls the copy's transaction forward when it committed,
// else back. Returns an empty text when done, or why it could not be done (a log
// naming files outside the database, a damaged log, a failed copy); the copy is
// left for the caller to remove in every case. Never writes under source.
std::string FinishLogOnCopy(const CPath& source, const CPath& work);

}  // namespace velk
