// The salvage sweep: random 512-byte sectors of a made database overwritten with
// zeros or random bytes, the salvage run in-process, and its result compared with
// the truth. What "still reads" is decided from the damaged bytes alone: an entry
// still reads when none of its own bytes, nor its leaf's count, was touched, and
// its attribute still reads; an attribute still reads when its record and its
// name index entry (with that leaf's count) were not touched, and the stores that
// say their shape ("adbinfo" or the name index's header, the name index's header
// or its leaf file's header) were not both touched. The trees freed leaves whose
// stale entries stay in their files, so what still reads must also be told from
// what was removed: a tree's entries still read when the free list at its leaf
// file's end, or both its header and its index file were not touched. Headers are small targets: every other trial also damages the
// first sector of a leaf file that holds freed leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "adbtool/adb_salvage_test_support.h"
#include "engine/database/adb_tools.h"
#include "engine/salvage/adb_recover.h"
#include "engine/salvage/salvage_log.h"

namespace velk {
namespace {

using testing::Content;
using testing::kListLeaf;
using testing::kNameLeaf;
using testing::kRecordSize;
using testing::ReadWhole;
using testing::WriteWhole;

const std::uint32_t kSectorSize = 512;

// The made database: attributes with Shift_JIS names, most with a few files,
// every 25th with a list of several leaves.
std::string SweepName(std::uint32_t nId)
{
    char ach[32];
    std::snprintf(ach, sizeof(ach), nId % 3 == 0 ? "属性%03u" : nId % 3 == 1 ? "表示%u" : "tag-%u",
                  nId);
    return ach;
}

std::uint32_t SweepFileCount(std::uint32_t nId)
{
    return nId % 25 == 0 ? 700 + nId : nId % 9;
}

std::uint32_t SweepFile(std::uint32_t nId, std::uint32_t j)
{
    return nId * 100000 + j * 13 + 1;
}

// Then removals, so that the trees free leaves whose stale entries stay in their
// files: the middle of each long list unlinked (its leaves merge, and those
// freed lie below the last one, so that the file keeps them), an entry of some
// short lists, a fifth of the attributes renamed to names that sort elsewhere
// (the name index's leaves merge), and attributes merged away, with files (a
// forwarder) and without (a freed record).
void MakeRemovals(const std::string& strDir, std::uint32_t nAttributes)
{
    CADB db;
    ASSERT_EQ(0, testing::AssociateDefault(&db, strDir));
    ASSERT_EQ(1, db.Open(1, 30000));
    for (std::uint32_t nId = 1; nId <= nAttributes; ++nId) {
        const std::uint32_t nFiles = SweepFileCount(nId);
        const std::uint32_t nFrom = nFiles > 100 ? nFiles / 4 : 0;
        const std::uint32_t nTo = nFiles > 100 ? nFiles * 2 / 3 : nId % 7 == 3 ? 1 : 0;
        for (std::uint32_t j = nFrom; j < nTo && j < nFiles; ++j)
            ASSERT_EQ(0, UnlinkFile(db, nId, SweepFile(nId, j))) << nId << " " << j;
        if (nId % 5 == 2) {
            std::unique_ptr<CADB::IAttInfo> pAtt(db.GetAttInfo(nId, 1));
            ASSERT_EQ(0, pAtt->Rename(("zz" + SweepName(nId)).c_str()));
        }
    }
    for (std::uint32_t nId = 9; nId < nAttributes; nId += 40) {
        std::unique_ptr<CADB::IAttInfo> pInto(db.GetAttInfo(nId + 1, 1));
        ASSERT_EQ(0, pInto->Merge(nId));
    }
    db.Close(1);
}

// Byte ranges of one file, and whether a range meets one of them.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // [from, to)
bool Touched(const Ranges& v, std::uint64_t nFrom, std::uint64_t cb)
{
    for (const auto& r : v)
        if (nFrom < r.second && r.first < nFrom + cb)
            return true;
    return false;
}

// Where the truth lies in the sound files: per attribute its record, its name
// entry, and for each file id the bytes of its entry and of its leaf's count.
struct SEntryAt {
    std::uint64_t nEntry;  // offset of the entry's key length in the leaf file
    std::uint32_t cbEntry;  // bytes that matter: length and key (and value)
    std::uint64_t nCount;  // offset of the leaf's count
};
struct SLayout {
    std::map<std::uint32_t, SEntryAt> mapNameEntry;                      // by id
    std::map<std::uint32_t, std::map<std::uint32_t, SEntryAt>> mapFiles;  // id -> file -> where
    // Per tree directory: the offset of the free list at its leaf file's end (from
    // its count word to the end), and whether it names freed leaves.
    std::map<std::string, std::pair<std::uint64_t, bool>> mapFreeList;
};

void MapFreeList(const std::string& strDir, const std::string& strTree, SLayout* pLayout)
{
    const std::string s = ReadWhole(strDir + strTree + "\\leaf");
    const std::uint64_t nAt = 16 + std::uint64_t(GetU32LE(s.data() + 8)) * GetU32LE(s.data() + 12);
    pLayout->mapFreeList[strTree] = {nAt, GetU32LE(s.data() + nAt) != 0};
}

// The entries of a tree's leaves, walked along its chain in the sound files.
template <typename Visit>
void WalkLeaves(const std::string& strTree, const testing::SLeafShape& shape, Visit visit)
{
    const std::string strLeaf = ReadWhole(strTree + "\\leaf");
    for (std::uint32_t nLeaf : testing::Chain(strTree, shape)) {
        const std::size_t nAt = shape.At(nLeaf);
        const std::uint32_t n = GetU32LE(strLeaf.data() + nAt);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::size_t nEntry = nAt + 4 + std::size_t(i) * shape.cbEntry;
            visit(strLeaf, nEntry, nAt);
        }
    }
}

SLayout MapLayout(const std::string& strDir, const Content& truth)
{
    SLayout layout;
    WalkLeaves(strDir + "\\attname_db", kNameLeaf,
               [&](const std::string& s, std::size_t nEntry, std::size_t nCount) {
                   const std::uint32_t cbKey = GetU32LE(s.data() + nEntry);
                   const std::uint32_t nId = GetU32LE(s.data() + nEntry + 4 + 256 + 4);
                   // length, the key's bytes, and at the slot's end value length and value
                   layout.mapNameEntry[nId] = {nEntry, 4 + cbKey, nCount};
               });
    MapFreeList(strDir, "\\attname_db", &layout);
    for (const auto& att : truth) {
        if (att.second.nState == kAttStateLive)
            MapFreeList(strDir, "\\fidlists\\" + std::to_string(att.first), &layout);
    }
    for (const auto& att : truth)
        WalkLeaves(strDir + "\\fidlists\\" + std::to_string(att.first), kListLeaf,
                   [&](const std::string& s, std::size_t nEntry, std::size_t nCount) {
                       layout.mapFiles[att.first][GetU32LE(s.data() + nEntry + 4)] = {
                           nEntry, 8, nCount};
                   });
    return layout;
}

// Every file of the database directory with its size, by relative path.
void ListFiles(const std::string& strDir, const std::string& strRelative,
               std::vector<std::pair<std::string, std::uint64_t>>* pv)
{
    std::vector<platform::DirEntry> vEntries;
    platform::DirList((strDir + strRelative).c_str(), &vEntries);
    for (const platform::DirEntry& entry : vEntries) {
        const std::string strPath = strRelative + "\\" + entry.strName;
        if (entry.nAttributes & platform::kFileAttrDirectory) {
            if (entry.strName != "transaction" && entry.strName != "dustbox")
                ListFiles(strDir, strPath, pv);
        } else {
            std::uint64_t cb = 0;
            platform::CFileHandle file;
            if (platform::FileOpen((strDir + strPath).c_str(), platform::kFileAccessRead,
                                   platform::kFileShareRead, platform::kFileOpenExisting,
                                   &file) == platform::kFileOk)
                file.GetSize(&cb);
            if (cb != 0)
                pv->emplace_back(strPath, cb);
        }
    }
}

struct SFigures {
    std::uint64_t nTrials = 0, nFailed = 0;
    std::uint64_t nEntries = 0, nKept = 0, nLostStillReading = 0, nInventedEntries = 0;
    std::uint64_t nAttributes = 0, nAttributesKept = 0, nAttributesLostStillReading = 0;
    std::uint64_t nInvented = 0;      // names or ids that were never there
    std::uint64_t nMisreported = 0;   // losses not reported as they happened
    std::uint64_t nSourceChanged = 0;
};

void RunTrial(const std::string& strSound, const Content& truth, const SLayout& layout,
              std::uint32_t nSeed, const std::string& strScratch, SFigures* pFigures)
{
    std::mt19937 random(nSeed);
    const std::string strDir = strScratch + "\\db";
    const std::string strNew = strScratch + "\\new";
    platform::DirCreate(strScratch.c_str());
    ASSERT_TRUE(CopyEntry(CPath(strSound.c_str()), CPath(strDir.c_str())));
    std::vector<std::pair<std::string, std::uint64_t>> vFiles;
    ListFiles(strDir, "", &vFiles);
    std::uint64_t nSectors = 0;
    for (const auto& file : vFiles)
        nSectors += (file.second + kSectorSize - 1) / kSectorSize;
    // Damage: 1 to 16 sectors, all zeros or all random bytes.
    std::map<std::string, Ranges> mapDamage;
    const std::uint32_t nDamaged = 1 + random() % 16;
    const bool bZeros = random() % 2 == 0;
    const auto damageSector = [&](const std::string& strFile, std::uint64_t nSector) {
        std::string s = ReadWhole(strDir + strFile);
        const std::uint64_t nFrom = nSector * kSectorSize;
        const std::uint64_t nTo = std::min<std::uint64_t>(nFrom + kSectorSize, s.size());
        for (std::uint64_t i = nFrom; i < nTo; ++i)
            s[i] = bZeros ? '\0' : static_cast<char>(random() & 0xFF);
        WriteWhole(strDir + strFile, s);
        mapDamage[strFile].emplace_back(nFrom, nTo);
    };
    for (std::uint32_t k = 0; k < nDamaged; ++k) {
        std::uint64_t nSector = random() % nSectors;
        for (const auto& file : vFiles) {
            const std::uint64_t n = (file.second + kSectorSize - 1) / kSectorSize;
            if (nSector >= n) {
                nSector -= n;
                continue;
            }
            damageSector(file.first, nSector);
            break;
        }
    }
    if (nSeed % 2 == 0) {
        std::vector<std::string> vFreed;
        for (const auto& tree : layout.mapFreeList)
            if (tree.second.second)
                vFreed.push_back(tree.first + "\\leaf");
        ASSERT_FALSE(vFreed.empty());
        damageSector(vFreed[random() % vFreed.size()], 0);
    }
    const auto touched = [&](const std::string& strFile, std::uint64_t nFrom, std::uint64_t cb) {
        const auto it = mapDamage.find(strFile);
        return it != mapDamage.end() && Touched(it->second, nFrom, cb);
    };

    // What still reads, from the damage alone.
    const auto usedLeavesKnown = [&](const std::string& strTree) {
        const std::uint64_t nFreeList = layout.mapFreeList.at(strTree).first;
        return !touched(strTree + "\\leaf", nFreeList, UINT64_MAX - nFreeList) ||
               (!touched(strTree + "\\bptinfo", 0, 60) &&
                mapDamage.count(strTree + "\\index") == 0);
    };
    const bool bShapeKnown = !(touched("\\adbinfo", 0, 48) && touched("\\attname_db\\bptinfo", 0, 24)) &&
                             !(touched("\\attname_db\\bptinfo", 0, 24) &&
                               touched("\\attname_db\\leaf", 0, 16));
    std::set<std::uint32_t> setStillReads;
    for (const auto& att : truth) {
        const auto name = layout.mapNameEntry.find(att.first);
        if (bShapeKnown && name != layout.mapNameEntry.end() && usedLeavesKnown("\\attname_db") &&
            !touched("\\attinfo_db", 16 + (att.first - 1) * std::uint64_t(kRecordSize), kRecordSize) &&
            !touched("\\attname_db\\leaf", name->second.nEntry, name->second.cbEntry) &&
            !touched("\\attname_db\\leaf", name->second.nEntry + 4 + 256, 8) &&
            !touched("\\attname_db\\leaf", name->second.nCount, 4))
            setStillReads.insert(att.first);
    }

    const auto before = platform::testing::SnapshotTree(strDir);
    SRecoveryReport report;
    std::string strError;
    const int nResult = RecoverDatabase(strDir.c_str(), strNew.c_str(), 30000, &report, &strError);
    if (before != platform::testing::SnapshotTree(strDir))
        ++pFigures->nSourceChanged;
    ++pFigures->nTrials;
    Content got;
    if (nResult == kRecoverFailed)
        ++pFigures->nFailed;
    else
        got = testing::Dump(strNew);

    std::map<std::uint32_t, const SRecoveryReport::SListLoss*> mapReported;
    for (const auto& loss : report.vListLosses)
        mapReported[loss.nId] = &loss;
    std::set<std::uint32_t> setReportedLost;
    for (const auto& lost : report.vLostAttributes)
        setReportedLost.insert(lost.nId);
    for (const auto& att : got)
        if (truth.count(att.first) == 0 || truth.at(att.first).strName != att.second.strName)
            ++pFigures->nInvented;
    for (const auto& att : truth) {
        const std::uint32_t nId = att.first;
        const bool bStillReads = setStillReads.count(nId) != 0;
        ++pFigures->nAttributes;
        const auto it = got.find(nId);
        const bool bKept = it != got.end() && it->second.strName == att.second.strName;
        pFigures->nAttributesKept += bKept;
        if (!bKept && bStillReads)
            ++pFigures->nAttributesLostStillReading;
        if (nResult != kRecoverFailed && it == got.end() && setReportedLost.count(nId) == 0 &&
            report.vUncounted.empty())
            ++pFigures->nMisreported;
        const std::set<std::uint32_t> setGot =
            bKept ? std::set<std::uint32_t>(it->second.vFiles.begin(), it->second.vFiles.end())
                  : std::set<std::uint32_t>();
        std::uint64_t nLost = 0;
        const auto files = layout.mapFiles.find(nId);
        for (std::uint32_t nFile : att.second.vFiles) {
            ++pFigures->nEntries;
            if (setGot.count(nFile) != 0) {
                ++pFigures->nKept;
                continue;
            }
            ++nLost;
            const std::string strLeaf = "\\fidlists\\" + std::to_string(nId) + "\\leaf";
            const SEntryAt& at = files->second.at(nFile);
            if (bStillReads && !touched(strLeaf, at.nEntry, at.cbEntry) &&
                !touched(strLeaf, at.nCount, 4) &&
                usedLeavesKnown("\\fidlists\\" + std::to_string(nId))) {
                if (++pFigures->nLostStillReading <= 5) {
                    std::printf("seed %u: attribute %u lost file %u, which still reads;", nSeed,
                                nId, nFile);
                    for (const auto& damage : mapDamage)
                        for (const auto& range : damage.second)
                            std::printf(" %s@%llu", damage.first.c_str(),
                                        static_cast<unsigned long long>(range.first));
                    std::printf("\n");
                }
            }
        }
        const std::set<std::uint32_t> setTrue(att.second.vFiles.begin(), att.second.vFiles.end());
        for (std::uint32_t nFile : setGot)
            if (setTrue.count(nFile) == 0)
                ++pFigures->nInventedEntries;
        // The loss as reported: exact, or at least a number no larger than it.
        if (nResult == kRecoverFailed)
            continue;
        const auto reported = mapReported.find(nId);
        const bool bRight =
            reported == mapReported.end()
                ? nLost == 0
                : (reported->second->bUnknown ? reported->second->nLost <= nLost && nLost > 0
                                              : reported->second->nLost == nLost);
        if (!bRight) {
            ++pFigures->nMisreported;
            if (pFigures->nMisreported <= 5)
                std::printf("seed %u: attribute %u lost %llu entries, reported %s\n", nSeed, nId,
                            static_cast<unsigned long long>(nLost),
                            reported == mapReported.end()
                                ? "none"
                                : (std::to_string(reported->second->nLost) +
                                   (reported->second->bUnknown ? " or more" : ""))
                                      .c_str());
        }
    }
    platform::testing::RemoveTree(strDir);
    platform::testing::RemoveTree(strNew);
}

TEST(SalvageSweepTest, KeepsWhatStillReadsAndInventsNothing)
{
    const std::uint32_t nAttributes = platform::testing::LongRuns() ? 400 : 250;
    const std::uint32_t nTrials = platform::testing::LongRuns() ? 240 : 8;
    platform::testing::CScratchDir scratch;
    const std::string strSound = scratch.Sub("sound");
    testing::MakeDatabase(strSound, nAttributes, SweepName, SweepFileCount, SweepFile);
    MakeRemovals(strSound, nAttributes);
    const Content truth = testing::Dump(strSound);
    std::uint32_t nFreed = 0, nForwarders = 0;
    for (std::uint32_t nId = 9; nId < nAttributes; nId += 40)
        ++(SweepFileCount(nId) == 0 ? nFreed : nForwarders);
    ASSERT_EQ(nAttributes - nFreed, truth.size());
    const SLayout layout = MapLayout(strSound, truth);
    ASSERT_EQ(nAttributes - nFreed - nForwarders, layout.mapNameEntry.size());
    std::uint32_t nTreesWithFreedLeaves = 0;
    for (const auto& tree : layout.mapFreeList)
        nTreesWithFreedLeaves += tree.second.second;
    // The name index and some lists: removals there must not come back.
    ASSERT_TRUE(layout.mapFreeList.at("\\attname_db").second);
    ASSERT_LE(2u, nTreesWithFreedLeaves);

    SFigures figures;
    for (std::uint32_t nSeed = 1; nSeed <= nTrials; ++nSeed) {
        SCOPED_TRACE(nSeed);
        RunTrial(strSound, truth, layout, nSeed, scratch.Sub("trial"), &figures);
    }
    std::printf("salvage sweep: %llu trials (%llu failed); attributes %llu of %llu kept, %llu "
                "lost that still read; entries %llu of %llu kept, %llu lost that still read, "
                "%llu invented; %llu invented names or ids; %llu losses misreported; source "
                "changed %llu times\n",
                static_cast<unsigned long long>(figures.nTrials),
                static_cast<unsigned long long>(figures.nFailed),
                static_cast<unsigned long long>(figures.nAttributesKept),
                static_cast<unsigned long long>(figures.nAttributes),
                static_cast<unsigned long long>(figures.nAttributesLostStillReading),
                static_cast<unsigned long long>(figures.nKept),
                static_cast<unsigned long long>(figures.nEntries),
                static_cast<unsigned long long>(figures.nLostStillReading),
                static_cast<unsigned long long>(figures.nInventedEntries),
                static_cast<unsigned long long>(figures.nInvented),
                static_cast<unsigned long long>(figures.nMisreported),
                static_cast<unsigned long long>(figures.nSourceChanged));
    EXPECT_EQ(0u, figures.nSourceChanged);
    EXPECT_EQ(0u, figures.nInvented);
    EXPECT_EQ(0u, figures.nInventedEntries);
    EXPECT_EQ(0u, figures.nAttributesLostStillReading);
    EXPECT_EQ(0u, figures.nLostStillReading);
    EXPECT_EQ(0u, figures.nMisreported);
}

}  // namespace
}  // namespace velk
