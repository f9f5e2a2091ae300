// The apply step of a commit: every logged block is written into its target in
// place, and every target gets its logged length. It writes nothing but the
// targets, so applying the same log again gives the same bytes; recovery relies
// on that when it rolls a committed transaction forward after a crash.
#pragma once

#include <utility>
#include <vector>

#include "engine/path/path.h"

namespace velk {

// The per-file logs of szTransactionDir\log\files as (log directory, target),
// each target read from its path record. Throws when a record names a path
// outside the store, or the folder holds a link.
std::vector<std::pair<CPath, CPath>> FileLogs(const char* szTransactionDir);

// Applies every per-file log of szTransactionDir\log\files. Throws on any failure;
// the targets may then be partly applied, and applying again completes them.
void ApplyFileLogs(const char* szTransactionDir);

// The same for the per-file logs FileLogs gave, when nothing has changed them
// since.
void ApplyFileLogs(const std::vector<std::pair<CPath, CPath>>& vLogs);

// Applies one per-file log directory szLogDir to szTarget: the target is cut or
// extended to the size record's length (zeros), then each block file up to that
// length is written over it. Each target is flushed to the disk before it is
// closed. Throws on any failure.
void ApplyFileLog(const char* szLogDir, const char* szTarget);

}  // namespace velk
