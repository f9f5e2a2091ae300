// Paths inside a transaction directory, and the moves into its dustbox, shared by
// the transaction, its context and recovery. The names are in store_names.h.
#pragma once

#include <cstdint>
#include <string>

#include "engine/path/path.h"
#include "engine/txstore/store_names.h"

namespace velk {

// T\log\files\<FileLogName(szPath)>.
CPath FileLogDirectory(const CPath& directory, const char* szPath);

// Moves szPath into T\dustbox. Returns nothing: the watcher may be stopped, and a
// failed move leaves the object where it is. With szFrom, the move is durable
// before the watcher of this process removes anything of it (CDustbox).
void MoveToDustbox(const CPath& directory, const char* szPath, const char* szFrom = nullptr);

// As MoveToDustbox, but throws when szPath still exists afterwards.
void MoveToDustboxOrThrow(const CPath& directory, const char* szPath);

// Opens (or creates) a file with the given access and makes it durable. Throws.
void FlushFile(const char* szPath);

// Reads the creation list szList from the start; calls pfn(offset, path) for each
// record until it returns false. A length field of fewer than 4 bytes, or a record
// that runs past the end (torn by a crash during its append), ends the list; a
// length of 0 or above 261, or a text without its NUL, throws.
template <class F>
void ForEachListRecord(const char* szList, F pfn);

// The offset of the first record in the creation list that equals szPath byte for
// byte, or -1 (also when the list does not exist).
std::int64_t FindListRecord(const char* szList, const char* szPath);

}  // namespace velk

#include "engine/txstore/store_paths_inl.h"
