#include "tool/fuzz/database_writes.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/key_order.h"
#include "engine/database/adb.h"
#include "engine/database/adb_impl.h"
#include "engine/database/adb_tools.h"
#include "platform/file.h"

namespace {

// What a database holds that a write must keep: names with their ids, and file
// ids by attribute.
struct SContent {
    std::map<std::string, std::uint32_t> mapNames;
    std::map<std::uint32_t, std::set<std::uint32_t>> mapFiles;
};

bool CopyTree(const std::string& strFrom, const std::string& strTo)
{
    if (platform::DirCreate(strTo.c_str()) != platform::kFileOk)
        return false;
    std::vector<platform::DirEntry> vEntries;
    if (platform::DirList(strFrom.c_str(), &vEntries) != platform::kFileOk)
        return false;
    for (const platform::DirEntry& entry : vEntries) {
        const std::string strSource = strFrom + "\\" + entry.strName;
        const std::string strTarget = strTo + "\\" + entry.strName;
        const bool bCopied = (entry.nAttributes & platform::kFileAttrDirectory)
                                 ? CopyTree(strSource, strTarget)
                                 : platform::FileCopy(strSource.c_str(), strTarget.c_str()) ==
                                       platform::kFileOk;
        if (!bCopied)
            return false;
    }
    return true;
}

// Reads the content of an open database; throws where it does not read. An
// enumeration that fails part of the way keeps the names it read: a damaged index
// may hide attributes, and only what read is compared.
SContent ReadContent(velk::CADB& db)
{
    SContent content;
    velk::CADB::IFindAtt* pFind = db.CreateFindAtt();
    if (pFind == nullptr)
        throw std::bad_alloc();
    std::vector<std::uint32_t> vIds;
    try {
        int nMoved = pFind->GetCount() == 0 ? velk::CADB::kEndOfWalk : velk::CADB::kOk;
        while (nMoved == velk::CADB::kOk) {
            velk::CADB::IAttInfo* pInfo = pFind->GetAttInfo();
            try {
                std::vector<char> vName(pInfo->GetName(nullptr, 0) + 1, '\0');
                pInfo->GetName(vName.data(), static_cast<std::uint32_t>(vName.size()));
                content.mapNames[vName.data()] = pInfo->GetId();
                vIds.push_back(pInfo->GetId());
            } catch (...) {
                pFind->ReleaseAttInfo(pInfo);
                throw;
            }
            pFind->ReleaseAttInfo(pInfo);
            nMoved = pFind->Next(1, 1);
        }
    } catch (...) {
        db.ReleaseFind(pFind);
        throw;
    }
    db.ReleaseFind(pFind);
    velk::CADBImpl* pImpl = db.GetImpl();
    for (std::uint32_t nId : vIds) {
        std::set<std::uint32_t>& setFiles = content.mapFiles[nId];
        velk::CBPTree list;
        list.Open(pImpl->m_pContext, pImpl->FileListPath(nId).c_str(), 0,
                  velk::kGuidBinaryAscending, nullptr);
        try {
            if (list.GetCount() > 0) {
                velk::CBPTree::Cursor cursor;
                list.First(&cursor);
                do {
                    unsigned char abFile[4];
                    list.GetKey(&cursor, abFile, 4);
                    setFiles.insert(velk::GetU32LE(abFile));
                } while (list.Next(&cursor, 1, 0) == 0);
            }
        } catch (...) {
            list.Close();
            throw;
        }
        list.Close();
    }
    return content;
}

struct SWrite {
    const char* szName;
    // Runs the write on the open database: false when it was refused.
    std::function<bool(velk::CADB&)> write;
    // What the write changes on purpose: the content that must remain afterwards.
    std::function<void(SContent*)> expect;
};

const std::uint32_t kLinkedFile = 999999;

const SWrite kWrites[] = {
    {"add", [](velk::CADB& db) {
         std::uint32_t nId = 0;
         return db.AddAtt("fuzz-added", &nId) == 0;
     },
     [](SContent*) {}},
    {"link", [](velk::CADB& db) { return velk::LinkFile(db, 1, kLinkedFile) == 0; },
     [](SContent* p) {
         // An attribute the enumeration did not reach cannot be read back either.
         if (p->mapFiles.count(1) != 0)
             p->mapFiles[1].insert(kLinkedFile);
     }},
    {"rename",
     [](velk::CADB& db) {
         std::unique_ptr<velk::CADB::IAttInfo> pInfo(db.GetAttInfo(1, 1));
         return pInfo->Rename("fuzz-renamed") == 0;
     },
     [](SContent* p) {
         for (auto it = p->mapNames.begin(); it != p->mapNames.end(); ++it)
             if (it->second == 1) {
                 p->mapNames.erase(it);
                 break;
             }
         p->mapNames["fuzz-renamed"] = 1;
     }},
    {"merge",
     [](velk::CADB& db) {
         std::unique_ptr<velk::CADB::IAttInfo> pInto(db.GetAttInfo(1, 1));
         return pInto->Merge(2) == 0;
     },
     [](SContent* p) {
         for (auto it = p->mapNames.begin(); it != p->mapNames.end(); ++it)
             if (it->second == 2) {
                 p->mapNames.erase(it);
                 break;
             }
         if (p->mapFiles.count(1) != 0)
             p->mapFiles[1].insert(p->mapFiles[2].begin(), p->mapFiles[2].end());
         p->mapFiles.erase(2);
     }},
};

// The problems the check finds, each by its kind and place: numbers and quoted
// names left out, since a write changes counts, and a rename the name, that a
// problem it did not touch mentions. A node found too full or too empty keeps its
// numbers: a write that changed that node's count built on it.
std::set<std::string> Problems(const std::string& strDb)
{
    std::vector<std::string> vProblems;
    velk::CheckDatabase(strDb.c_str(), 1000, &vProblems);
    std::set<std::string> setKinds;
    for (const std::string& strProblem : vProblems) {
        const bool bFill = strProblem.find(", too few") != std::string::npos ||
                           strProblem.find(", more than ") != std::string::npos;
        std::string strKind;
        bool bQuoted = false;
        for (char c : strProblem) {
            if (c == '"')
                bQuoted = !bQuoted;
            else if (!bQuoted && (bFill || c < '0' || c > '9'))
                strKind += c;
        }
        setKinds.insert(strKind);
    }
    return setKinds;
}

// Whether the check walked the whole name index: only then does it report records
// that no name refers to, so a write that lets a later check walk further may show
// that kind of problem for the first time without having made it.
bool AllNamesWalked(const std::set<std::string>& setProblems)
{
    for (const std::string& strProblem : setProblems)
        if (strProblem.find("are not checked") != std::string::npos ||
            strProblem.find("the walk ended before the record count") != std::string::npos ||
            strProblem.find("the names cannot be walked") != std::string::npos ||
            strProblem.find("the leaf chain goes on past the record count") != std::string::npos)
            return false;
    return true;
}

// Runs one write on the database in strDb. Returns "" or what went wrong.
std::string RunWrite(const SWrite& w, const std::string& strDb, const unsigned char* pPathOrder)
{
    // Damage the write does not touch may stay as it was; it must not grow.
    const std::set<std::string> setBefore = Problems(strDb);
    bool bBeforeRead = false;
    SContent before;
    bool bCommitted = false;
    {
        velk::CADB db;
        if (db.Associate(strDb.c_str(), pPathOrder, nullptr) != 0)
            return "";
        try {
            if (db.Open(1, 1000) == 0)
                return "";
            try {
                before = ReadContent(db);
                bBeforeRead = true;
            } catch (...) {
            }
            if (w.write(db)) {
                db.Close(1);
                bCommitted = true;
            } else {
                db.Close(0);
            }
        } catch (...) {
            // The engine's exception: the write refused the damage.
        }
    }
    if (!bCommitted)
        return "";
    const bool bAllNamesWalked = AllNamesWalked(setBefore);
    for (const std::string& strProblem : Problems(strDb))
        if (setBefore.count(strProblem) == 0 &&
            (bAllNamesWalked || strProblem.find("is not in the name index") == std::string::npos))
            return std::string(w.szName) + " committed, and the check finds new damage: " +
                   strProblem;
    if (!bBeforeRead)
        return "";
    w.expect(&before);
    SContent after;
    {
        velk::CADB db;
        try {
            if (db.Associate(strDb.c_str(), pPathOrder, nullptr) != 0 || db.Open(0, 1000) == 0)
                return std::string(w.szName) + " committed a database that does not open";
            after = ReadContent(db);
            db.Close(1);
        } catch (...) {
            return std::string(w.szName) + " committed a database that does not read";
        }
    }
    for (const auto& name : before.mapNames) {
        const auto it = after.mapNames.find(name.first);
        if (it == after.mapNames.end() || it->second != name.second)
            return std::string(w.szName) + " lost the name \"" + name.first + "\" of id " +
                   std::to_string(name.second);
    }
    for (const auto& files : before.mapFiles)
        for (std::uint32_t nFile : files.second)
            if (after.mapFiles[files.first].count(nFile) == 0)
                return std::string(w.szName) + " lost file id " + std::to_string(nFile) +
                       " of attribute " + std::to_string(files.first);
    return "";
}

}  // namespace

void RemoveTree(const std::string& strPath)
{
    unsigned nAttributes = 0;
    if (platform::FileGetAttributes(strPath.c_str(), &nAttributes) != platform::kFileOk)
        return;
    if ((nAttributes & platform::kFileAttrDirectory) == 0) {
        platform::FileRemove(strPath.c_str());
        return;
    }
    std::vector<platform::DirEntry> vEntries;
    platform::DirList(strPath.c_str(), &vEntries);
    for (const platform::DirEntry& entry : vEntries)
        RemoveTree(strPath + "\\" + entry.strName);
    platform::DirRemove(strPath.c_str());
}

std::string RunDamagedWrites(const std::string& strDb, const std::string& strWork,
                             const unsigned char* pPathOrder)
{
    // One copy takes the writes in turn: each reads what is there before it.
    std::string strWrong;
    RemoveTree(strWork);
    if (!CopyTree(strDb, strWork)) {
        RemoveTree(strWork);
        return "the damaged database could not be copied; ";
    }
    for (const SWrite& w : kWrites) {
        const std::string strOne = RunWrite(w, strWork, pPathOrder);
        if (!strOne.empty())
            strWrong += strOne + "; ";
    }
    RemoveTree(strWork);
    return strWrong;
}
