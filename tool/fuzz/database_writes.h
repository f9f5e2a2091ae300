// The write path on a damaged database, for the database fuzzer and the replay
// test: "add", "link", "rename" and "merge" run in turn on a copy of the damaged
// database, each in a write transaction of this process. Each must end in the
// engine's exception (or a refusal), or commit a database in which the integrity
// check finds nothing it did not find before the write (damage the write did not
// touch may stay; a sound database stays clean) and which still holds every name
// and file id that read before: a write never builds on damage, and never loses
// what it did not mean to change.
#pragma once

#include <string>

// Removes the file or directory tree at strPath (the engine's form), if any.
void RemoveTree(const std::string& strPath);

// Runs the writes on copies of the damaged database in strDb (the engine's form),
// made in strWork, which must not exist and is removed again. pPathOrder is the
// path-order id to associate with. Returns "" or a description of what went wrong.
std::string RunDamagedWrites(const std::string& strDb, const std::string& strWork,
                             const unsigned char* pPathOrder);
