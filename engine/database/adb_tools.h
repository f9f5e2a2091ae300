// The database's own tools, beside the CADB interface: making a new database
// directory, reading its parameters without associating, adding files to an
// attribute's file list, and the integrity check. The utility adbtool and the
// tests build on them.
//
// Stores of a new database. The name index, the attribute records and the file
// lists have fixed formats (adb.h); for the other indexes these are our choices
// (d index order, L leaf order, K key size, V value size):
//
//   store            d    L    K    V   duplicates  key order
//   path_db          16   32   P1   4   no          the path order of adbinfo
//   hash_db          64   64   P6   4   yes         BinaryAscending
//   import_db        16   32   P1   4   no          NoCaseAscending
//   comment_db       16   32   P3   4   no          BinaryAscending
//   attname_db       32   32   P7   4   no          StringAscending
//   fidlists\<id>    256  256  4    0   no          BinaryAscending
//
//   record file      record size
//   fileinfo_db      80 + P1 + P6
//   commentinfo_db   8 + P3
//   attinfo_db       80 + P7 + P4
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/database/adb.h"

namespace velk {

// The contents of "adbinfo".
struct SDatabaseInfo {
    std::uint32_t nVersion = 0x00020000;
    std::uint32_t nParam1 = 261;
    std::uint32_t nParam2 = 0;
    std::uint32_t nCommentSize = 512;
    std::uint32_t nExtraSize = 0;
    std::uint32_t nParam5 = 0;
    std::uint32_t nHashSize = 16;
    std::uint32_t nAttNameSize = 256;
    unsigned char abPathOrder[16] = {};  // set by the constructor: NoCaseAscending
    SDatabaseInfo();
};

// The bytes of "adbinfo" that are read; anything after them is ignored.
enum : std::uint32_t { kDatabaseInfoSize = 48 };

// The one encoder and decoder of those bytes (layout in adb.h).
void EncodeDatabaseInfo(const SDatabaseInfo& info, unsigned char* pbInfo);
void DecodeDatabaseInfo(const unsigned char* pbInfo, SDatabaseInfo* pInfo);

// The largest key and record part sizes CreateDatabase accepts, so that one node
// or record stays a reasonable size.
enum : std::uint32_t { kMaxDatabaseFieldSize = 65536 };

// Whether a database can have these parameters: major version 2, P1 and P7 at
// least 1 and 2, no size above kMaxDatabaseFieldSize, a built-in path order.
bool ParametersAreSound(const SDatabaseInfo& info);

// Makes a new, empty database in szDirectory, which is created (with missing
// parents) when absent and must be empty otherwise. Everything is written before
// "libid", so a directory left half made by a failure is never taken for a
// database. Returns 0 made; 5 szDirectory exists and is not empty; 2 a parameter
// is out of range (P1, P7 below 1 or 2, any size above kMaxDatabaseFieldSize, a
// major version other than 2, or a path order that names no built-in order).
// Throws when the disk fails; what was made stays.
int CreateDatabase(const char* szDirectory, const SDatabaseInfo& info);

// The shape that the parameters give one store of a database (the file lists
// aside): a tree's orders, key and value sizes, duplicate mode and key order, or
// a record file's record size.
struct SStoreLayout {
    const char* szName;
    bool bTree;
    std::uint32_t nIndexOrder;
    std::uint32_t nLeafOrder;
    std::uint32_t cbKey;
    std::uint32_t cbValue;
    int nDuplicates;
    const void* pGuid;
    std::uint64_t cbRecord;  // wide: damaged parameters may add up past 32 bits
};
// The stores the parameters call for, in the order they are made.
std::vector<SStoreLayout> DatabaseLayout(const SDatabaseInfo& info);

// Reads "adbinfo" of szDirectory. False when it is missing or shorter than 48 bytes.
bool ReadDatabaseInfo(const char* szDirectory, SDatabaseInfo* pInfo);

// The id of the attribute named szName in an open database, or 0 when there is
// none. Throws when the database is not open.
std::uint32_t FindAttribute(CADB& db, const char* szName);

// Adds file id nFileId to the file list of attribute nAttId of a database open for
// writing. 0 added; 5 the file is in the list already; 1 nFileId is 0 or nAttId is
// no live attribute. Throws when the file list is missing or damaged, or the
// database is not open for writing.
int LinkFile(CADB& db, std::uint32_t nAttId, std::uint32_t nFileId);

// Removes file id nFileId from the file list of attribute nAttId of a database
// open for writing; the record's count of files brought in by merging is lowered
// where it would pass the list's entries. 0
// removed; 1 the file is not in the list, nFileId is 0 or nAttId is no live
// attribute. Throws as LinkFile does.
int UnlinkFile(CADB& db, std::uint32_t nAttId, std::uint32_t nFileId);

// Checks the database in szDirectory and appends one line per problem found to
// *pvProblems: the identification files, a transaction that was left pending, every
// tree and record file, and the agreement of the name index, the attribute records
// and the file lists. Waits up to nTimeout ms for read access. Returns the number
// of problems; never throws for a damaged database. A database that another
// program keeps from being read is no problem in it: when pbBusy is given, it is
// set to true and 0 returned; otherwise that is reported as one problem.
std::size_t CheckDatabase(const char* szDirectory, std::uint32_t nTimeout,
                          std::vector<std::string>* pvProblems, bool* pbBusy = nullptr);

}  // namespace velk
