// A summary of an open database for inspection: how many attribute records are
// live, forward to another (merged with files) or freed, and how many file-list
// entries the live ones hold. Built on the attribute records and file lists of
// CADBImpl; adbtool's info prints it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/database/adb.h"

namespace velk {

struct SDatabaseSummary {
    std::uint32_t nHighestId = 0;     // the highest attribute id ever given, or 0
    std::uint32_t nLive = 0;
    std::uint32_t nForwarders = 0;
    std::uint32_t nFreed = 0;         // ids up to nHighestId without a record
    std::uint64_t nFileEntries = 0;   // entries of the live attributes' file lists
    std::uint32_t nUnreadable = 0;    // records or file lists that did not read
};

// Summarises the open database db; a record or file list that does not read is
// counted in nUnreadable and left out of the other counts. Throws when the
// database is not open.
SDatabaseSummary SummarizeDatabase(CADB& db);

// The first nCount ids that AddAtt would hand out, in order, were the open
// database db opened for writing now: its freed ids from the largest down, then
// the ids after the highest. Throws when the database is not open.
std::vector<std::uint32_t> NextAttributeIds(CADB& db, std::uint32_t nCount);

}  // namespace velk
