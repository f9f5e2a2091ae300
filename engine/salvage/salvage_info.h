// The parameters of a database whose "adbinfo" is damaged, rebuilt from the
// stores: every store was made with sizes that the parameters fix, and its own
// header still says them (a tree's key size and key order in "bptinfo", a record
// file's record size in its header).
#pragma once

#include <string>
#include <vector>

#include "engine/database/adb_tools.h"
#include "engine/path/path.h"

namespace velk {

// Whether the 48 bytes of "adbinfo" in directory read and hold parameters a
// database can have; *pInfo is then filled.
bool ReadSoundDatabaseInfo(const CPath& directory, SDatabaseInfo* pInfo);

// Rebuilds *pInfo from the stores in directory. False when the name size, without
// which no attribute can be read, cannot be had. *pvUnknown receives one line per
// parameter that no store fixes: its name and the value taken (from the damaged
// file's bytes when they are there, else the default).
bool RebuildDatabaseInfo(const CPath& directory, SDatabaseInfo* pInfo,
                         std::vector<std::string>* pvUnknown);

}  // namespace velk
