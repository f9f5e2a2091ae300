// Every attribute record of a database as plain values, read out of an open
// database and written into a new one with the same ids: adbtool's dump and load
// build on it. Built on the attribute records, the name index and the file lists
// of CADBImpl.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/database/adb.h"

namespace velk {

struct SAttributeRecord {
    std::uint32_t nId = 0;
    std::uint32_t nState = 0;          // 0 live, 2 merged (a forwarder)
    std::uint32_t nForward = 0;        // a forwarder's attribute
    std::uint32_t nMergedFiles = 0;    // the record's count of files merging brought in
    std::string strName;               // the name field up to its NUL
    std::string strExtra;              // the X bytes of extra data
    std::vector<std::uint32_t> vFiles; // a live attribute's file list, ascending
};

// Reads every allocated attribute record of the open database db in id order,
// with the file lists of the live ones. Ids without a record are freed ones.
// Throws when a record or file list does not read.
std::vector<SAttributeRecord> ReadAttributeRecords(CADB& db);

// The highest attribute id of the open database db in use or freed: freed ids may
// follow the last record. Throws when the database is not open.
std::uint32_t HighestAttributeId(CADB& db);

// Writes vRecords into db, a new database without attributes, open for writing:
// each record under its own id, ids up to nHighestId (or up to the last record's,
// when that is higher) that are not given are left free, live names go into the
// name index and their files into new file lists.
// Returns 0; 2 when vRecords cannot be a database of db's parameters (ids not
// ascending or 0, a state other than 0 and 2, a forwarder to an id not given or to
// itself, a name that does not fit or is given twice, extra data of another size,
// file id 0), or when db has attributes already; nothing is written then. Throws
// when the disk fails.
int WriteAttributeRecords(CADB& db, const std::vector<SAttributeRecord>& vRecords,
                          std::uint32_t nHighestId = 0);

}  // namespace velk
