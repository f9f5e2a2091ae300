#include "engine/salvage/adb_recover.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>

#include "engine/bptree/bptree.h"
#include "engine/bptree/bptree_check.h"
#include "engine/base/byte_order.h"
#include "engine/bptree/key_order.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb_impl.h"
#include "engine/database/adb_tools.h"
#include "engine/salvage/salvage_info.h"
#include "engine/salvage/salvage_log.h"
#include "engine/salvage/salvage_read.h"
#include "engine/base/fault.h"
#include "engine/txstore/fs_context.h"
#include "engine/txstore/store_names.h"
#include "engine/txstore/remove_tree.h"
#include "engine/txstore/swmrg.h"
#include "engine/txstore/unique_name.h"
#include "platform/codepage.h"
#include "platform/file.h"

namespace velk {

namespace {

// "libid" and "adbinfo" are read up to this size; nothing of them is larger.
const std::uint32_t kSmallFileLimit = 65536;

// Entries of a database directory that no operation here reads; they are carried
// over as they are.
const char* const kForeignEntries[] = {"updatelist", "fidlist",    "syncatt",
                                       "syncfile",   "orgdirpath", "importfiles"};

struct SContextDeleter {
    void operator()(CFileSystem::IContext* p) const { DestroyObject(p); }
};

std::string Quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

// Whether the bytes are a name an attribute can have: not empty, and characters
// of code page 932 only (no control bytes, every lead byte with its trail byte).
// Damage turns a name into zeros or stray bytes, which this tells apart.
bool IsValidName(const std::string& strName)
{
    if (strName.empty())
        return false;
    for (std::size_t i = 0; i < strName.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(strName[i]);
        if (platform::IsLeadByte(b)) {
            if (++i == strName.size())
                return false;
            const unsigned char t = static_cast<unsigned char>(strName[i]);
            if (t < 0x40 || t == 0x7F || t > 0xFC)
                return false;
        } else if (b < 0x20 || b == 0x7F || b == 0x80 || b == 0xA0 || b > 0xDF) {
            return false;
        }
    }
    return true;
}

// One recovered attribute: its record as it was, and for a live one its file list.
struct SAttribute {
    std::vector<unsigned char> vRecord;
    std::uint32_t nState = 0;
    std::string strName;
    std::uint32_t nForward = 0;
    std::vector<std::string> vFiles;  // keys of the file list, in order
    bool bRestored = false;  // the record was made anew from the name index
};

class CRecovery {
public:
    CRecovery(const CPath& source, const CPath& target, const SDatabaseInfo& info,
              bool bInfoRebuilt, SRecoveryReport* pReport)
        : m_source(source), m_target(target), m_info(info), m_bInfoRebuilt(bInfoRebuilt),
          m_report(*pReport)
    {
    }

    // Reads everything from root (the source, or the copy where a log was
    // finished).
    void Read(const CPath& root);
    // Makes the new database; throws when the disk fails.
    void Write(const CPath& root);

private:
    std::uint32_t MinimumRecordSize() const
    {
        return kAttFixedSize + m_info.nAttNameSize + m_info.nExtraSize;
    }
    void ReadNames(const CPath& root);
    // The one valid name the index gives nId, or empty.
    std::string IndexName(std::uint32_t nId) const;
    // Settles the name of a record that reads, from its own name and the index's;
    // false when the attribute is lost (and reported).
    bool SettleName(std::uint32_t nId, bool bHeaderSound, bool bTerminated, SAttribute* pAtt);
    void ReadRecords(const CPath& root);
    void SettleNames();
    void SettleForwarders();
    void ReadFileLists(const CPath& root);
    void Lose(std::uint32_t nId, const std::string& strName, const std::string& strWhy);
    // An attribute whose record is gone (strWhy) keeps its id when the name index
    // gives it one sound name and its file list reads: a new record is made with
    // that name. Otherwise it is lost.
    void RestoreOrLose(std::uint32_t nId, const std::string& strWhy);
    // Counts the entries that still read in a file list that no recovered
    // attribute takes, as lost.
    void LoseList(std::uint32_t nId, const CPath& list);
    void FindLinks(const CPath& directory, const std::string& strShown, int nDepth);
    void WriteRecords(CFileSystem::IContext* pContext);
    void WriteNamesAndLists(CFileSystem::IContext* pContext);
    void CopyStores(const CPath& root);
    bool StoreReadsCleanly(const CPath& root, const char* szName, bool bTree, const void* pGuid);
    void ReplaceWithCopy(const CPath& root, const char* szName);

    CPath m_source;
    CPath m_target;
    SDatabaseInfo m_info;
    bool m_bInfoRebuilt;  // "adbinfo" was damaged; m_info comes from the stores
    SRecoveryReport& m_report;
    std::uint32_t m_cbRecord = 0;
    // What the index says, its valid names only: id -> names, name -> id.
    std::map<std::uint32_t, std::vector<std::string>> m_mapIndexNames;
    std::map<std::string, std::uint32_t> m_mapIndexIds;
    std::set<std::uint32_t> m_setBadlyNamedIds;  // named by an entry whose key is damaged
    std::map<std::uint32_t, SAttribute> m_mapAttributes;   // recovered, by id
    CPath m_lists;  // the file lists' directory of what is read
};

void CRecovery::Lose(std::uint32_t nId, const std::string& strName, const std::string& strWhy)
{
    const std::string strKnown = strName.empty() ? IndexName(nId) : strName;
    m_report.vLostAttributes.push_back({nId, strKnown, strWhy});
}

void CRecovery::RestoreOrLose(std::uint32_t nId, const std::string& strWhy)
{
    const std::string strName = IndexName(nId);
    const CPath list = m_lists.Join(std::to_string(nId).c_str());
    if (strName.empty() || m_setBadlyNamedIds.count(nId) != 0 ||
        !SalvageTree(list.GetString(), kFileListKeySize, true, kFileListValueSize,
                     kFileListLeafOrder, CompareBinaryAscending)
             .bHeaderRead) {
        Lose(nId, "", strWhy);
        return;
    }
    SAttribute att;
    att.vRecord.assign(m_cbRecord, 0);
    PutU32LE(&att.vRecord[kAttStateOffset], kAttStateLive);
    std::memcpy(&att.vRecord[kAttNameOffset], strName.data(), strName.size());
    att.nState = kAttStateLive;
    att.strName = strName;
    att.bRestored = true;
    m_mapAttributes.emplace(nId, std::move(att));
    m_report.vNotes.push_back(std::string(kAttRecordsName) + ": attribute " +
                              std::to_string(nId) + " " + Quoted(strName) + ": " + strWhy +
                              "; a new record was made from the name index and its file list" +
                              (m_info.nExtraSize != 0 ? " (its extra data is empty)" : ""));
}

void CRecovery::ReadNames(const CPath& root)
{
    const STreeSalvage names =
        SalvageTree(root.Join(kNameIndexName).GetString(), m_info.nAttNameSize, false, 4, 0,
                    CompareStringAscending);
    if (!names.bSound)
        m_report.vNotes.push_back(std::string(kNameIndexName) +
                                  ": damaged; where it does not name a record, the record's own "
                                  "name was kept");
    for (const auto& entry : names.vEntries) {
        const std::string& strKey = entry.first;
        if (entry.second.size() != 4)
            continue;
        const std::uint32_t nId = GetU32LE(entry.second.data());
        // A name is stored with exactly one NUL, at its end.
        const std::string strName = strKey.substr(0, strKey.size() - 1);
        if (strKey.find('\0') != strKey.size() - 1 || !IsValidName(strName)) {
            m_setBadlyNamedIds.insert(nId);
            continue;
        }
        m_mapIndexIds[strName] = nId;
        m_mapIndexNames[nId].push_back(strName);
    }
}

std::string CRecovery::IndexName(std::uint32_t nId) const
{
    const auto it = m_mapIndexNames.find(nId);
    return it == m_mapIndexNames.end() || it->second.size() != 1 ? std::string()
                                                                 : it->second.front();
}

void CRecovery::ReadRecords(const CPath& root)
{
    const std::string strFile = root.Join(kAttRecordsName).GetString();
    CSalvageRecords records;
    if (!records.Open(strFile.c_str(), 0) || !records.IsHeaderSound() ||
        records.GetRecordSize() < MinimumRecordSize()) {
        if (!records.Open(strFile.c_str(), MinimumRecordSize())) {
            m_cbRecord = MinimumRecordSize();
            m_report.vUncounted.push_back(
                std::string(kAttRecordsName) + " is missing: merged attributes, which only "
                "their records know, and every attribute the name index does not name");
            for (const auto& named : m_mapIndexNames)
                RestoreOrLose(named.first, "the attribute records are missing");
            return;
        }
    }
    m_cbRecord = records.GetRecordSize();
    const bool bKnown = records.IsHeaderSound();
    if (!bKnown)
        m_report.vNotes.push_back(std::string(kAttRecordsName) +
                                  ": the header is damaged; the records were read one by one");
    const std::uint32_t n = m_info.nAttNameSize;
    std::vector<unsigned char> vRecord;
    for (std::uint32_t nId = 1; nId <= records.GetRecordCount(); ++nId) {
        if (!records.MayBeAllocated(nId))
            continue;
        const bool bNamed = m_mapIndexNames.count(nId) != 0;
        if (!records.Read(nId, &vRecord)) {
            if (bKnown || bNamed)
                RestoreOrLose(nId, "its record cannot be read");
            continue;
        }
        SAttribute att;
        att.nState = GetU32LE(vRecord.data() + kAttStateOffset);
        if (att.nState != kAttStateLive && att.nState != kAttStateMerged) {
            if (bKnown || bNamed)
                RestoreOrLose(nId, "its record is damaged: unknown state " +
                                       std::to_string(att.nState));
            continue;
        }
        const bool bTerminated = std::memchr(vRecord.data() + kAttNameOffset, 0, n) != nullptr;
        if (bTerminated)
            att.strName = reinterpret_cast<const char*>(vRecord.data() + kAttNameOffset);
        att.nForward = GetU32LE(vRecord.data() + AttForwardOffset(n));
        att.vRecord = vRecord;
        if (!SettleName(nId, bKnown, bTerminated, &att))
            continue;
        m_mapAttributes.emplace(nId, std::move(att));
    }
    // With the header damaged the file may have lost records at its end; a name
    // pointing there named a record that is gone. (With a sound header such a
    // name is only damage of the index.)
    if (!bKnown)
        for (const auto& named : m_mapIndexNames)
            if (named.first > records.GetRecordCount())
                RestoreOrLose(named.first, "its record is beyond the end of the records");
}

bool CRecovery::SettleName(std::uint32_t nId, bool bHeaderSound, bool bTerminated,
                           SAttribute* pAtt)
{
    const std::string strOwn = pAtt->strName;
    const bool bOwnValid = bTerminated && IsValidName(strOwn);
    const auto it = m_mapIndexNames.find(nId);
    const std::vector<std::string> vIndexed =
        it == m_mapIndexNames.end() ? std::vector<std::string>() : it->second;
    const std::string strWhyOwn = !bTerminated      ? "has no end"
                                  : strOwn.empty() ? "is empty"
                                                   : "is not a valid name";
    if (pAtt->nState == kAttStateMerged) {
        // A forwarder's name is in no index: its record alone vouches for it.
        if (!bOwnValid) {
            Lose(nId, "", "its record is damaged: the name " + strWhyOwn);
            return false;
        }
        return true;
    }
    if (pAtt->nForward != 0)
        m_report.vNotes.push_back(std::string(kAttRecordsName) + ": attribute " +
                                  std::to_string(nId) + " is live but forwards to attribute " +
                                  std::to_string(pAtt->nForward) + "; kept as it was");
    if (bOwnValid) {
        if (std::find(vIndexed.begin(), vIndexed.end(), strOwn) != vIndexed.end())
            return true;
        if (!vIndexed.empty()) {
            // Which of the two is the name is not known: the report names neither.
            m_report.vLostAttributes.push_back(
                {nId, "", "its record names it " + Quoted(strOwn) + ", the name index " +
                              Quoted(vIndexed.front()) + "; neither can be trusted"});
            return false;
        }
        if (!bHeaderSound) {
            // Without the free list a freed record reads like a live one; only the
            // name index can vouch for it.
            Lose(nId, strOwn,
                 "its record reads, but with the header damaged and no name pointing to "
                 "it, it cannot be told from a freed one");
            return false;
        }
        // The index lost or damaged its entry; the record is whole.
        return true;
    }
    if (vIndexed.size() == 1 && m_setBadlyNamedIds.count(nId) == 0) {
        // The record's name is damaged and the index's is whole: the index's wins.
        const std::uint32_t n = m_info.nAttNameSize;
        pAtt->strName = vIndexed.front();
        std::memset(&pAtt->vRecord[kAttNameOffset], 0, n);
        std::memcpy(&pAtt->vRecord[kAttNameOffset], pAtt->strName.data(), pAtt->strName.size());
        m_report.vNotes.push_back(std::string(kAttRecordsName) + ": the name in the record of "
                                  "attribute " + std::to_string(nId) + " " + strWhyOwn +
                                  "; the name index's " + Quoted(pAtt->strName) + " was kept");
        return true;
    }
    Lose(nId, "",
         "its record is damaged: the name " + strWhyOwn +
             (vIndexed.empty() ? ", and the name index has no sound name for it"
                               : ", and the name index gives it more than one name"));
    return false;
}

void CRecovery::SettleNames()
{
    // Two live records with one name cannot both be named: the one the index
    // points to keeps it, else the lowest id.
    std::map<std::string, std::uint32_t> mapOwner;
    for (const auto& att : m_mapAttributes) {
        if (att.second.nState != kAttStateLive)
            continue;
        auto it = mapOwner.find(att.second.strName);
        if (it == mapOwner.end()) {
            mapOwner.emplace(att.second.strName, att.first);
            continue;
        }
        const auto indexed = m_mapIndexIds.find(att.second.strName);
        if (indexed != m_mapIndexIds.end() && indexed->second == att.first)
            it->second = att.first;
    }
    for (auto it = m_mapAttributes.begin(); it != m_mapAttributes.end();) {
        const SAttribute& att = it->second;
        if (att.nState == kAttStateLive && mapOwner[att.strName] != it->first) {
            Lose(it->first, att.strName,
                 "its name is also the name of attribute " +
                     std::to_string(mapOwner[att.strName]));
            it = m_mapAttributes.erase(it);
        } else {
            ++it;
        }
    }
}

void CRecovery::SettleForwarders()
{
    // A merged record is kept only while the attribute it forwards to is kept;
    // losing one may lose the records that forward to it, so repeat until stable.
    bool bChanged = true;
    while (bChanged) {
        bChanged = false;
        for (auto it = m_mapAttributes.begin(); it != m_mapAttributes.end();) {
            const SAttribute& att = it->second;
            if (att.nState == kAttStateMerged &&
                (att.nForward == it->first || m_mapAttributes.count(att.nForward) == 0)) {
                Lose(it->first, att.strName,
                     "it was merged into attribute " + std::to_string(att.nForward) +
                         ", which was not recovered");
                it = m_mapAttributes.erase(it);
                bChanged = true;
            } else {
                ++it;
            }
        }
    }
    // A cycle of forwarders leads to no attribute at all.
    for (auto it = m_mapAttributes.begin(); it != m_mapAttributes.end();) {
        std::set<std::uint32_t> setSeen;
        std::uint32_t nAt = it->first;
        while (m_mapAttributes.at(nAt).nState == kAttStateMerged && setSeen.insert(nAt).second)
            nAt = m_mapAttributes.at(nAt).nForward;
        if (m_mapAttributes.at(nAt).nState == kAttStateMerged) {
            Lose(it->first, it->second.strName, "its chain of merges leads to no attribute");
            it = m_mapAttributes.erase(it);
        } else {
            ++it;
        }
    }
}

// How many entries a damaged list lost, from what its reading counted: the
// entries of leaves that read but did not pass, and the header's count where it
// asks for more than the leaves held (leaves that did not read, or a leaf zeroed
// whole). Without the header, leaves that did not read leave the number unknown.
void CountListLoss(const STreeSalvage& files, std::uint64_t nRecovered,
                   SRecoveryReport::SListLoss* pLoss)
{
    const std::uint64_t nKnown = nRecovered + files.nEntriesDropped;
    pLoss->nLost = files.nEntriesDropped;
    pLoss->bUnknown =
        files.nLeavesSkipped != 0 || files.nLeavesUncertain != 0 || !files.bLeafFileRead;
    if (files.bHeaderRead && files.nHeaderCount >= nKnown &&
        (pLoss->bUnknown || files.nHeaderCount > nKnown)) {
        pLoss->nLost = files.nHeaderCount - nRecovered;
        pLoss->bUnknown = false;
    }
}

void CRecovery::LoseList(std::uint32_t nId, const CPath& list)
{
    const STreeSalvage files = SalvageTree(list.GetString(), kFileListKeySize, true,
                                           kFileListValueSize, kFileListLeafOrder,
                                           CompareBinaryAscending);
    SRecoveryReport::SListLoss loss = {nId, "", 0, 0, false, ""};
    // Every entry that read is lost too, with those that did not.
    CountListLoss(files, files.vEntries.size(), &loss);
    loss.nLost += files.vEntries.size();
    if (loss.nLost == 0 && !loss.bUnknown) {
        m_report.vNotes.push_back(std::string(kFileListsName) + "\\" + std::to_string(nId) +
                                  ": belongs to no recovered attribute and holds no entry that "
                                  "reads; left out");
        return;
    }
    for (const SRecoveryReport::SLostAttribute& lost : m_report.vLostAttributes)
        if (lost.nId == nId)
            loss.strName = lost.strName;
    loss.strWhy = "the list belongs to no recovered attribute";
    m_report.vListLosses.push_back(loss);
}

void CRecovery::ReadFileLists(const CPath& root)
{
    const CPath& lists = m_lists;
    (void)root;
    for (auto& entry : m_mapAttributes) {
        SAttribute& att = entry.second;
        if (att.nState != kAttStateLive)
            continue;
        const CPath list = lists.Join(std::to_string(entry.first).c_str());
        STreeSalvage files = SalvageTree(list.GetString(), kFileListKeySize, true,
                                         kFileListValueSize, kFileListLeafOrder,
                                         CompareBinaryAscending);
        for (auto& file : files.vEntries)
            att.vFiles.push_back(std::move(file.first));
        const std::uint64_t nRecovered = att.vFiles.size();
        if (att.bRestored)
            PutU32LE(&att.vRecord[AttFileCountOffset(m_info.nAttNameSize)],
                     static_cast<std::uint32_t>(nRecovered));
        m_report.nEntriesRecovered += nRecovered;
        if (files.bChainWhole) {
            if (!files.bSound)
                m_report.vNotes.push_back(std::string(kFileListsName) + "\\" +
                                          std::to_string(entry.first) +
                                          ": the header's count was wrong; every leaf read");
            continue;
        }
        SRecoveryReport::SListLoss loss = {entry.first, att.strName, nRecovered, 0, true, ""};
        if (!platform::PathExists(list.GetString())) {
            loss.strWhy = "the file list is missing";
        } else if (IsLink(list.GetString())) {
            loss.strWhy = "the file list is a link, not followed";
        } else if (!files.bHeaderRead) {
            loss.strWhy = "the file list's header is missing or damaged";
            CountListLoss(files, nRecovered, &loss);
            if (loss.nLost == 0 && !loss.bUnknown) {
                m_report.vNotes.push_back(std::string(kFileListsName) + "\\" +
                                          std::to_string(entry.first) +
                                          ": the header was damaged; every leaf read");
                continue;
            }
        } else {
            loss.strWhy = "the file list is damaged";
            CountListLoss(files, nRecovered, &loss);
            if (loss.nLost == 0 && !loss.bUnknown) {
                // Every entry of every leaf read: only links or counts were damaged.
                m_report.vNotes.push_back(std::string(kFileListsName) + "\\" +
                                          std::to_string(entry.first) +
                                          ": the links were damaged; every leaf read");
                continue;
            }
        }
        // The record's count of files follows what its list still holds.
        PutU32LE(&att.vRecord[AttFileCountOffset(m_info.nAttNameSize)],
                 static_cast<std::uint32_t>(nRecovered));
        m_report.vListLosses.push_back(loss);
    }
    std::vector<platform::DirEntry> vEntries;
    if (platform::DirList(lists.GetString(), &vEntries) == platform::kFileOk) {
        for (const platform::DirEntry& dir : vEntries) {
            char* pEnd = nullptr;
            const unsigned long nId = std::strtoul(dir.strName.c_str(), &pEnd, 10);
            const bool bNumbered = *pEnd == '\0' && dir.strName == std::to_string(nId) &&
                                   nId != 0 && nId <= 0xFFFFFFFFul;
            const auto it = m_mapAttributes.find(static_cast<std::uint32_t>(nId));
            if (bNumbered && it != m_mapAttributes.end() && it->second.nState == kAttStateLive)
                continue;
            if (bNumbered && it == m_mapAttributes.end() &&
                !(dir.nAttributes & platform::kFileAttrReparsePoint)) {
                LoseList(static_cast<std::uint32_t>(nId), lists.Join(dir.strName.c_str()));
                continue;
            }
            m_report.vNotes.push_back(std::string(kFileListsName) + "\\" + dir.strName +
                                      ": belongs to no recovered attribute; left out");
        }
    }
}

void CRecovery::Read(const CPath& root)
{
    FindLinks(m_source, "", 0);
    m_lists = root.Join(kFileListsName);
    if (IsLink(m_lists.GetString()))
        m_lists = m_lists.Join("-");  // a path that names nothing: every list is missing
    ReadNames(root);
    ReadRecords(root);
    SettleNames();
    SettleForwarders();
    ReadFileLists(root);
    std::sort(m_report.vLostAttributes.begin(), m_report.vLostAttributes.end(),
              [](const SRecoveryReport::SLostAttribute& a,
                 const SRecoveryReport::SLostAttribute& b) { return a.nId < b.nId; });
    m_report.nAttributes = static_cast<std::uint32_t>(m_mapAttributes.size());
}

void CRecovery::FindLinks(const CPath& directory, const std::string& strShown, int nDepth)
{
    // Stores lie at most three levels down ("fidlists\\<id>\\leaf"); the dustboxes,
    // "temp" and the transaction directory hold nothing that is read as a store.
    std::vector<platform::DirEntry> vEntries;
    if (nDepth > 2 || platform::DirList(directory.GetString(), &vEntries) != platform::kFileOk)
        return;
    std::sort(vEntries.begin(), vEntries.end(),
              [](const platform::DirEntry& a, const platform::DirEntry& b) {
                  return a.strName < b.strName;
              });
    for (const platform::DirEntry& entry : vEntries) {
        const std::string strPath = strShown.empty() ? entry.strName : strShown + "\\" + entry.strName;
        if (nDepth == 0 && (SameName(entry.strName, kDustboxName) ||
                            SameName(entry.strName, kTempName) ||
                            SameName(entry.strName, kTransactionName)))
            continue;
        if (entry.nAttributes & platform::kFileAttrReparsePoint)
            m_report.vLinksLeftOut.push_back(strPath);
        else if (entry.nAttributes & platform::kFileAttrDirectory)
            FindLinks(directory.Join(entry.strName.c_str()), strPath, nDepth + 1);
    }
}

void CRecovery::WriteRecords(CFileSystem::IContext* pContext)
{
    const std::string strFile = m_target.Join(kAttRecordsName).GetString();
    if (m_cbRecord > MinimumRecordSize()) {
        // The source's records are longer than the parameters need: keep their size.
        if (pContext->DeleteFile(strFile.c_str()) != 1 ||
            CRecordFile::Create(pContext, strFile.c_str(), m_cbRecord) != CRecordFile::kOk)
            ThrowFault();
    }
    CRecordFile records;
    records.Open(pContext, strFile.c_str(), 1);
    const std::uint32_t nTop = m_mapAttributes.empty() ? 0 : m_mapAttributes.rbegin()->first;
    for (std::uint32_t nId = 1; nId <= nTop; ++nId) {
        if (records.Allocate() != nId)
            ThrowFault();
        const auto it = m_mapAttributes.find(nId);
        if (it == m_mapAttributes.end())
            continue;
        unsigned char* pRecord = static_cast<unsigned char*>(records.Get(nId, 1));
        std::memcpy(pRecord, it->second.vRecord.data(),
                    std::min<std::size_t>(records.GetRecordSize(), it->second.vRecord.size()));
        records.Release(pRecord);
    }
    for (std::uint32_t nId = nTop; nId >= 1; --nId)
        if (m_mapAttributes.count(nId) == 0)
            records.Free(nId);
    records.Close();
}

void CRecovery::WriteNamesAndLists(CFileSystem::IContext* pContext)
{
    CBPTree names;
    names.Open(pContext, m_target.Join(kNameIndexName).GetString(), 1, kGuidStringAscending,
               nullptr);
    const CPath lists = m_target.Join(kFileListsName);
    for (const auto& entry : m_mapAttributes) {
        const SAttribute& att = entry.second;
        if (att.nState != kAttStateLive)
            continue;
        unsigned char abId[4];
        PutU32LE(abId, entry.first);
        if (names.Insert(att.strName.c_str(), static_cast<std::uint32_t>(att.strName.size() + 1),
                         abId, sizeof(abId), nullptr) != CBPTree::kOk)
            ThrowFault();
        const std::string strList = lists.Join(std::to_string(entry.first).c_str()).GetString();
        if (CBPTree::Create(pContext, strList.c_str(), kFileListIndexOrder, kFileListLeafOrder,
                            kFileListKeySize, kFileListValueSize, kFileListDuplicates,
                            kGuidBinaryAscending) != CBPTree::kOk)
            ThrowFault();
        CBPTree list;
        list.Open(pContext, strList.c_str(), 1, kGuidBinaryAscending, nullptr);
        for (const std::string& strFile : att.vFiles)
            if (list.Insert(strFile.data(), static_cast<std::uint32_t>(strFile.size()), nullptr,
                            0, nullptr) != CBPTree::kOk)
                ThrowFault();
        list.Close();
    }
    names.Close();
}

bool CRecovery::StoreReadsCleanly(const CPath& root, const char* szName, bool bTree,
                                  const void* pGuid)
{
    CFSContext context(0, DestroyObject);
    const std::string strPath = root.Join(szName).GetString();
    try {
        if (!bTree) {
            CRecordFile records;
            records.Open(&context, strPath.c_str(), 0);
            records.Close();
            return true;
        }
        CBPTree tree;
        tree.Open(&context, strPath.c_str(), 0, pGuid, nullptr);
        const bool bClean = CheckTree(tree, nullptr) == 0;
        tree.Close();
        return bClean;
    } catch (...) {
        return false;
    }
}

void CRecovery::ReplaceWithCopy(const CPath& root, const char* szName)
{
    const CPath to = m_target.Join(szName);
    unsigned nAttributes = 0;
    if (platform::FileGetAttributes(to.GetString(), &nAttributes) == platform::kFileOk) {
        const bool bRemoved = (nAttributes & platform::kFileAttrDirectory)
                                  ? RemoveTree(to.GetString(), nullptr, 0, 0) == kTreeRemoved
                                  : platform::FileRemove(to.GetString()) == platform::kFileOk;
        if (!bRemoved)
            ThrowFault();
    }
    if (!CopyEntry(root.Join(szName), to))
        ThrowFault();
}

void CRecovery::CopyStores(const CPath& root)
{
    struct SStore {
        const char* szName;
        bool bTree;
        const void* pGuid;
        bool bPresent;
    };
    const SStore kStores[] = {
        {kPathIndexName, true, m_info.abPathOrder, true},
        {kHashIndexName, true, kGuidBinaryAscending, m_info.nHashSize != 0},
        {kImportIndexName, true, kGuidNoCaseAscending, m_info.nHashSize != 0},
        {kFileRecordsName, false, nullptr, true},
        {kCommentIndexName, true, kGuidBinaryAscending, m_info.nCommentSize != 0},
        {kCommentRecordsName, false, nullptr, m_info.nCommentSize != 0},
    };
    for (const SStore& store : kStores) {
        if (!store.bPresent)
            continue;
        if (!IsLink(root.Join(store.szName).GetString()) &&
            StoreReadsCleanly(root, store.szName, store.bTree, store.pGuid)) {
            ReplaceWithCopy(root, store.szName);
            m_report.vCopied.push_back(store.szName);
        } else {
            m_report.vLeftEmpty.push_back(store.szName);
        }
    }
    for (const char* szName : kForeignEntries) {
        if (!platform::PathExists(root.Join(szName).GetString()) ||
            IsLink(root.Join(szName).GetString()))
            continue;
        ReplaceWithCopy(root, szName);
        m_report.vCopied.push_back(std::string(szName) + " (as it was; not read here)");
    }
}

void CRecovery::Write(const CPath& root)
{
    const int nCreated = CreateDatabase(m_target.GetString(), m_info);
    if (nCreated != CADB::kOk)
        ThrowFault();
    // The identification goes last, so that a target left half made by a failure
    // is never taken for a database.
    const CPath libid = m_target.Join(kLibIdName);
    if (platform::FileRemove(libid.GetString()) != platform::kFileOk)
        ThrowFault();
    {
        std::unique_ptr<CFileSystem::IContext, SContextDeleter> pContext(CreateFSContext(1));
        if (!pContext)
            throw std::bad_alloc();
        WriteRecords(pContext.get());
        WriteNamesAndLists(pContext.get());
    }
    m_report.vRebuilt = {kNameIndexName, kAttRecordsName, kFileListsName};
    CopyStores(root);

    std::string strInfo;
    if (m_bInfoRebuilt) {
        m_report.vRebuilt.insert(m_report.vRebuilt.begin(), kInfoName);
    } else {
        if (ReadSmallFile(m_source.Join(kInfoName).GetString(), kSmallFileLimit, &strInfo) &&
            strInfo.size() > 48) {
            // Bytes past the parameters are kept too.
            platform::FileRemove(m_target.Join(kInfoName).GetString());
            if (!CopyEntry(root.Join(kInfoName), m_target.Join(kInfoName)))
                ThrowFault();
        }
        m_report.vCopied.insert(m_report.vCopied.begin(), kInfoName);
    }
    std::string strLibId;
    const bool bLibId = ReadSmallFile(root.Join(kLibIdName).GetString(), kSmallFileLimit, &strLibId) &&
                        strLibId.size() >= sizeof(kLibId) &&
                        std::memcmp(strLibId.data(), kLibId, sizeof(kLibId)) == 0;
    if (!bLibId)
        strLibId.assign(reinterpret_cast<const char*>(kLibId), sizeof(kLibId));
    platform::CFileHandle file;
    std::uint32_t cbWritten = 0;
    if (platform::FileOpen(libid.GetString(), platform::kFileAccessWrite, 0,
                           platform::kFileCreateNew, &file) != platform::kFileOk ||
        file.Write(strLibId.data(), static_cast<std::uint32_t>(strLibId.size()), &cbWritten) !=
            platform::kFileOk ||
        cbWritten != strLibId.size() || file.Flush() != platform::kFileOk)
        ThrowFault();
    if (bLibId)
        m_report.vCopied.insert(m_report.vCopied.begin(), kLibIdName);
    else
        m_report.vRebuilt.insert(m_report.vRebuilt.begin(), kLibIdName);
}

bool IsEmptyOrAbsent(const CPath& directory)
{
    if (!platform::PathExists(directory.GetString()))
        return true;
    std::vector<platform::DirEntry> vEntries;
    return platform::DirList(directory.GetString(), &vEntries) == platform::kFileOk &&
           vEntries.empty();
}

// The directory that holds path, or an empty path for a single component.
CPath Parent(const CPath& path)
{
    CPath parent;
    for (std::size_t i = 0; i + 1 < path.GetComponentCount(); ++i)
        parent = parent.Join(path.GetComponent(i).c_str());
    return parent;
}

int Recover(const CPath& source, const CPath& target, std::uint32_t nTimeout,
            SRecoveryReport* pReport, std::string* pstrError)
{
    SDatabaseInfo info;
    const bool bInfoRebuilt = !ReadSoundDatabaseInfo(source, &info);
    if (bInfoRebuilt && !RebuildDatabaseInfo(source, &info, &pReport->vUnknownParameters)) {
        *pstrError = "not a database directory: \"adbinfo\" is missing, shorter than 48 bytes, "
                     "of another version or damaged, and the name index's header, which "
                     "would give the parameters again, does not read either";
        return kRecoverFailed;
    }
    if (source.IsAncestorOf(target) || target.IsAncestorOf(source) ||
        source.CommonPrefixLength(target) == source.GetComponentCount()) {
        *pstrError = "the new directory must lie outside the database directory";
        return kRecoverFailed;
    }
    if (!IsEmptyOrAbsent(target)) {
        *pstrError = "the new directory exists and is not empty";
        return kRecoverFailed;
    }
    // Readers share the guard: a writer of the source waits, and no writer is
    // half way through while the files are read.
    CSWMRG guard((std::string(source.Join(kTransactionName).GetString()) + "CTransaction").c_str());
    if (!guard.WaitToRead(nTimeout)) {
        *pstrError = "read access was not granted within " + std::to_string(nTimeout) +
                     " ms; another program is using the database";
        return kRecoverFailed;
    }
    CPath root = source;
    CPath work;
    if (HasTransactionLog(source)) {
        const bool bCommitted =
            platform::PathExists(source.Join(kTransactionName).Join(txdir::kLog).Join(txdir::kCommit).GetString());
        std::string strWhy = "no place for a copy next to the new directory";
        // The copy goes beside the new directory, on the disk that must hold the
        // new database anyway.
        const CPath parent = Parent(target);
        for (std::size_t i = 1; i <= parent.GetComponentCount(); ++i) {
            CPath prefix;
            for (std::size_t j = 0; j < i; ++j)
                prefix = prefix.Join(parent.GetComponent(j).c_str());
            if (!platform::PathExists(prefix.GetString()))
                platform::DirCreate(prefix.GetString());
        }
        if (MakeUniquePath(&work, nullptr, parent.GetString()) == 0)
            strWhy = FinishLogOnCopy(source, work);
        if (strWhy.empty()) {
            root = work;
            pReport->strLog = bCommitted ? "a committed transaction left in the database was "
                                           "applied to a copy of it"
                                         : "an unfinished transaction left in the database was "
                                           "rolled back on a copy of it";
        } else {
            pReport->strLog = "the transaction left in the database could not be finished on a "
                              "copy (" + strWhy + "); the files were read as they were";
            pReport->bLogLost = bCommitted;
        }
    }
    const bool bTargetExisted = platform::PathExists(target.GetString());
    CRecovery recovery(source, target, info, bInfoRebuilt, pReport);
    int nResult = kRecoverFailed;
    try {
        recovery.Read(root);
        recovery.Write(root);
        nResult = pReport->LostSomething() ? kRecoverLost : kRecoverComplete;
    } catch (const std::bad_alloc&) {
        *pstrError = "out of memory";
    } catch (...) {
        *pstrError = "the new database could not be written";
    }
    guard.Done();
    if (!work.IsEmpty())
        RemoveTree(work.GetString(), nullptr, 0, 0);
    if (nResult == kRecoverFailed) {
        RemoveTree(target.GetString(), nullptr, 0, bTargetExisted ? 1 : 0);
        return nResult;
    }
    std::vector<std::string> vProblems;
    if (CheckDatabase(target.GetString(), nTimeout, &vProblems) != 0) {
        *pstrError = "the new database does not pass its check: " + vProblems.front();
        return kRecoverFailed;
    }
    return nResult;
}

}  // namespace

std::vector<std::string> SRecoveryReport::Lines() const
{
    std::vector<std::string> v;
    if (!strLog.empty())
        v.push_back("log: " + strLog);
    for (const SLostAttribute& lost : vLostAttributes)
        v.push_back("lost attribute " + std::to_string(lost.nId) +
                    (lost.strName.empty() ? std::string() : " " + Quoted(lost.strName)) + ": " +
                    lost.strWhy);
    for (const SListLoss& loss : vListLosses)
        v.push_back("lost file-list entries of attribute " + std::to_string(loss.nId) +
                    (loss.strName.empty() ? std::string() : " " + Quoted(loss.strName)) + ": " +
                    (!loss.bUnknown     ? std::to_string(loss.nLost)
                     : loss.nLost == 0 ? std::string("an unknown number")
                                       : "at least " + std::to_string(loss.nLost)) +
                    " (" + loss.strWhy + "; " + std::to_string(loss.nRecovered) + " recovered)");
    for (const std::string& strNote : vNotes)
        v.push_back("note: " + strNote);
    for (const std::string& strLink : vLinksLeftOut)
        v.push_back("left out: " + strLink + " is a link; links are neither followed nor copied");
    for (const std::string& strParameter : vUnknownParameters)
        v.push_back("adbinfo: " + strParameter);
    for (const std::string& strWhat : vUncounted)
        v.push_back("lost: " + strWhat);
    v.push_back("attributes: " + std::to_string(nAttributes) + " recovered, " +
                std::to_string(vLostAttributes.size()) + " lost");
    std::uint64_t nLost = 0;
    bool bUnknown = false;
    for (const SListLoss& loss : vListLosses) {
        nLost += loss.nLost;
        bUnknown = bUnknown || loss.bUnknown;
    }
    v.push_back("file-list entries: " + std::to_string(nEntriesRecovered) + " recovered, " +
                std::to_string(nLost) + (bUnknown ? " or more" : "") + " lost");
    auto join = [](const std::vector<std::string>& vNames) {
        std::string s;
        for (const std::string& strName : vNames)
            s += (s.empty() ? "" : ", ") + strName;
        return s.empty() ? std::string("none") : s;
    };
    v.push_back("stores copied: " + join(vCopied));
    v.push_back("stores rebuilt: " + join(vRebuilt));
    v.push_back("stores left empty (damaged or missing): " + join(vLeftEmpty));
    return v;
}

int RecoverDatabase(const char* szSource, const char* szTarget, std::uint32_t nTimeout,
                    SRecoveryReport* pReport, std::string* pstrError)
{
    try {
        const CPath source(szSource);
        const CPath target(szTarget);
        if (source.IsEmpty() || target.IsEmpty()) {
            *pstrError = "a directory name is not a usable path";
            return kRecoverFailed;
        }
        return Recover(source, target, nTimeout, pReport, pstrError);
    } catch (...) {
        *pstrError = "the recovery failed: out of memory or a failing system call";
        return kRecoverFailed;
    }
}

}  // namespace velk
