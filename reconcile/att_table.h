// The attribute table: every attribute of the database by name, with its id and
// reference count. std::string orders by unsigned byte value, a shorter key
// before every longer one that starts with it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "engine/database/adb.h"

typedef std::map<std::string, std::pair<std::uint32_t, std::int32_t>> AttTable;

// Lists every attribute of the open database into *pTable, printing "*" for each
// when bShowProgress is set. Throws the engine's exception when the walk or a
// record fails.
void FillAttTable(velk::CADB* pDatabase, AttTable* pTable, bool bShowProgress = true);

// Why the tool cannot work with the associated database's parameters: one
// " <parameter> <value> (<limit>);" per parameter out of range, or empty.
std::string UnusableParameters(velk::CADB* pDatabase);
