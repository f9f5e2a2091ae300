// The salvage of a damaged database: whatever still reads in one database
// directory goes into a new, sound database in another, with the same parameters
// and the same attribute ids. The source is never written to: it is read straight
// from its bytes (salvage_read.h), under the read side of its access guard, and a
// transaction left in it is finished on a copy (salvage_log.h).
//
// What is rebuilt and what is copied:
// - the attribute records ("attinfo_db"): every record that reads keeps its id and
//   its bytes; the ids that were not recovered become free records;
// - an attribute whose record is gone, but whose name the name index gives and
//   whose file list reads, gets a new record with that name;
// - the name index ("attname_db") is made anew from the recovered records;
// - each recovered attribute's file list keeps every entry that still reads;
// - "libid", "adbinfo" and the other stores are copied as they are when they read
//   cleanly; a damaged or missing store is left empty. A damaged "adbinfo" is
//   rebuilt from the sizes the stores themselves were made with.
// - a link in the source is never followed: it is left out and reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velk {

struct SRecoveryReport {
    struct SLostAttribute {
        std::uint32_t nId;
        std::string strName;  // empty when no name is known
        std::string strWhy;
    };
    struct SListLoss {
        std::uint32_t nId;
        std::string strName;
        std::uint64_t nRecovered;
        std::uint64_t nLost;  // exact unless bUnknown, then at least this many
        bool bUnknown;        // entries were lost, how many is not known
        std::string strWhy;
    };

    // What became of a transaction left in the source; empty when there was none.
    std::string strLog;
    bool bLogLost = false;  // a committed transaction could not be applied
    std::uint32_t nAttributes = 0;  // recovered attributes, merged ones included
    std::vector<SLostAttribute> vLostAttributes;
    std::uint64_t nEntriesRecovered = 0;
    std::vector<SListLoss> vListLosses;
    // Damage that cost nothing, and what was left out that belonged to nothing.
    std::vector<std::string> vNotes;
    std::vector<std::string> vCopied;
    std::vector<std::string> vRebuilt;
    std::vector<std::string> vLeftEmpty;
    // Links found in the source (relative paths); none is read through or copied.
    std::vector<std::string> vLinksLeftOut;
    // Parameters of "adbinfo" that could not be rebuilt from the stores.
    std::vector<std::string> vUnknownParameters;
    // What was lost that cannot be counted by attribute or entry.
    std::vector<std::string> vUncounted;

    bool LostSomething() const
    {
        return bLogLost || !vLostAttributes.empty() || !vListLosses.empty() ||
               !vLeftEmpty.empty() || !vUnknownParameters.empty() || !vUncounted.empty();
    }
    // The report as lines of text, in the order: the log, the losses, the
    // notes, the summary of attributes and entries, the stores.
    std::vector<std::string> Lines() const;
};

enum { kRecoverComplete = 0, kRecoverLost = 1, kRecoverFailed = 2 };

// Salvages the database in szSource into a new database in szTarget, which is
// created (with missing parents) when absent and must be empty otherwise, and may
// lie neither inside szSource nor around it. Waits up to nTimeout ms for read
// access to the source. Returns kRecoverComplete when everything was recovered,
// kRecoverLost when something was lost (the report says what; the new database is
// sound all the same), kRecoverFailed with the reason in *pstrError when no
// database could be made (a source without readable parameters, a target in the
// way, access not granted, a failing disk); what was made in szTarget is then
// removed. Never throws.
int RecoverDatabase(const char* szSource, const char* szTarget, std::uint32_t nTimeout,
                    SRecoveryReport* pReport, std::string* pstrError);

}  // namespace velk
