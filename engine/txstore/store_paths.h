// Paths inside a transaction directory, and the moves into its dustbox, shared by
// the transaction, its context and recovery. The names are in store_names.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/path/path.h"
#include "engine/txstore/store_names.h"

namespace velk {

// T\log\files\<FileLogName(szPath)>.
CPath FileLogDirectory(const CPath& directory, const char* szPath);

// The path that a record of T's log names, normalised. Recovery acts only inside
// the directory the store serves (the one that holds T) and never on T itself: a
// record naming anything else is damage and throws, as does one that is not a
// relative path or names a drive or stream below that directory.
CPath RecordedPath(const CPath& directory, const std::string& strRecord);

// Moves szPath into T\dustbox. Returns nothing: the watcher may be stopped, and a
// failed move leaves the object where it is. With szFrom, the move is durable
// before the watcher of this process removes anything of it (CDustbox).
void MoveToDustbox(const CPath& directory, const char* szPath, const char* szFrom = nullptr);

// As MoveToDustbox, but throws when szPath still exists afterwards.
void MoveToDustboxOrThrow(const CPath& directory, const char* szPath);

// Makes the entries of a directory durable (nothing to do on Windows). Throws.
void FlushDirectory(const CPath& path);

// The path made of the first n components of path.
CPath Prefix(const CPath& path, size_t n);

// Opens (or creates) a file with the given access and makes it durable. Throws.
void FlushFile(const char* szPath);

// Reads the creation list szList from the start; calls pfn(offset, path) for each
// record until it returns false. A record is its length (2..261) and its text with
// no NUL but the last byte. The unflushed tail of a record being appended when a
// power cut came ends the list (IsUnflushedListTail); any other bytes that are not
// a whole record throw.
template <class F>
void ForEachListRecord(const char* szList, F pfn);

// The offset of the first record in the creation list that equals szPath byte for
// byte, or -1 (also when the list does not exist).
std::int64_t FindListRecord(const char* szList, const char* szPath);

}  // namespace velk

#include "engine/txstore/store_paths_inl.h"
