// The database steps of the restoration: associate the database, check its
// parameters, open it read-only, list every attribute into the table, close it.
// Each step prints its label and its result.
#pragma once

#include "engine/database/adb.h"
#include "reconcile/att_table.h"
#include "tool/tool_paths.h"

// The id of the path order the tool works with (ASCII case folded, ascending).
extern const unsigned char kNoCaseAscendingId[16];

// Runs the steps; returns 0, or -1 after printing "NG" (or the time-out text)
// and a reason on standard error. The caller then stops.
int RunDatabaseSteps(velk::CADB* pDatabase, const ToolPaths& paths, AttTable* pTable);
