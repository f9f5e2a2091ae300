// adbtool's commands. Each takes the command's words in order, DIR first (for
// create, then option names and values in pairs), prints what it did or why not,
// and returns the exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace adbtool {

using Words = std::vector<std::string>;

// Changing commands: each runs in one write transaction.
int Create(const Words& vArgs);
int Add(const Words& vArgs, std::uint32_t nTimeout);
// link and unlink: adds the file ids to the list of attribute vArgs[1], or removes
// them from it, all in one transaction.
int Link(const Words& vArgs, std::uint32_t nTimeout, bool bUnlink);
int Rename(const Words& vArgs, std::uint32_t nTimeout);
int Merge(const Words& vArgs, std::uint32_t nTimeout);

// Reading commands.
int List(const Words& vArgs, std::uint32_t nTimeout);
int Check(const Words& vArgs, std::uint32_t nTimeout);
int Info(const Words& vArgs, std::uint32_t nTimeout);

// The database as text and back.
int Dump(const Words& vArgs, std::uint32_t nTimeout);
int Load(const Words& vArgs, std::uint32_t nTimeout);

// What attview-restore would do to database vArgs[0] and view vArgs[1], with the
// database only read.
int Preview(const Words& vArgs, std::uint32_t nTimeout);

// The salvage of a damaged database into a new one.
int Recover(const Words& vArgs, std::uint32_t nTimeout);

}  // namespace adbtool
