// The view steps of the restoration: read the source view, rewrite its ids under a
// write transaction, commit, append the attributes the view lacked, keep the old
// view under a dated backup name and write the new one. Each step prints its
// label and its result.
#pragma once

#include "engine/database/adb.h"
#include "reconcile/att_table.h"
#include "tool/tool_paths.h"

// Runs the steps on the associated, closed database; the table holds every
// attribute. Returns 0 after "復元完了", or -1 after printing "NG" (or the time-out
// text) and a reason on standard error. Does not wait for a key.
int RunRestoreSteps(velk::CADB* pDatabase, const ToolPaths& paths, AttTable* pTable);

// The backup name for the given local time: the prefix, then year, month, day,
// hour, minute and second joined by "_" (all but the year two digits), ".xml";
// empty when memory ran out while it was made.
std::string BackupName(const char* szPrefix, int nYear, int nMonth, int nDay, int nHour,
                       int nMinute, int nSecond);
