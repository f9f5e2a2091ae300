#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/bptree_check.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb_impl.h"
#include "engine/database/adb_tools.h"
#include "engine/txstore/store_names.h"
#include "engine/txstore/tfs_context.h"
#include "platform/file.h"

namespace velk {

namespace {

// One run of the check: the problems found so far and the stores it opened
// itself, read-only, inside one read transaction.
class CChecker {
public:
    CChecker(CFileSystem::IContext* pContext, const CPath& directory, const SDatabaseInfo& info,
             std::vector<std::string>* pvProblems)
        : m_pContext(pContext), m_directory(directory), m_info(info), m_pvProblems(pvProblems)
    {
    }

    void Run();

private:
    void Problem(const std::string& strText) { m_pvProblems->push_back(strText); }
    // Opens and checks one tree; false when it could not be opened.
    bool CheckTreeStore(CBPTree* pTree, const std::string& strName, const void* pGuid,
                        PFNCOMPAREKEYS pfnCompare);
    bool CheckRecordStore(CRecordFile* pFile, const std::string& strName);
    // Compares a tree's header, as it is on file, with the store's layout.
    void CheckTreeLayout(const CPath& tree, const std::string& strStore,
                         const SStoreLayout& store);
    void CheckNames();
    void CheckRecords();
    void CheckFileList(std::uint32_t nId, const std::string& strName);
    void CheckFileListDirectory();

    CFileSystem::IContext* m_pContext;
    CPath m_directory;
    SDatabaseInfo m_info;
    std::vector<std::string>* m_pvProblems;
    CBPTree m_names;
    CRecordFile m_records;
    std::set<std::uint32_t> m_setNamedIds;
    bool m_bAllNamesSeen = false;  // the names walk reached the end of the index
    std::set<std::uint32_t> m_setLiveIds;
};

bool CChecker::CheckTreeStore(CBPTree* pTree, const std::string& strName, const void* pGuid,
                              PFNCOMPAREKEYS pfnCompare)
{
    try {
        pTree->Open(m_pContext, m_directory.Join(strName.c_str()).GetString(), 0, pGuid,
                    pfnCompare);
    } catch (...) {
        Problem(strName + ": the tree is missing, damaged or of another key order");
        return false;
    }
    try {
        std::vector<std::string> vTree;
        CheckTree(*pTree, &vTree);
        for (const std::string& strLine : vTree)
            Problem(strName + ": " + strLine);
    } catch (...) {
        Problem(strName + ": the tree cannot be read");
    }
    return true;
}

bool CChecker::CheckRecordStore(CRecordFile* pFile, const std::string& strName)
{
    try {
        pFile->Open(m_pContext, m_directory.Join(strName.c_str()).GetString(), 0);
        return true;
    } catch (...) {
        Problem(strName + ": the record file is missing or damaged");
        return false;
    }
}

void CChecker::CheckTreeLayout(const CPath& tree, const std::string& strStore,
                               const SStoreLayout& store)
{
    // The header as it is on file: every field that creation fixes, its length
    // included, against what the parameters give.
    const std::string strName = strStore + "\\bptinfo";
    std::string strHeader(CBPTree::kHeaderSize + 1, '\0');
    std::uint32_t cbRead = 0;
    try {
        CFileSystem::IFile* pFile =
            m_pContext->OpenFile(tree.Join("bptinfo").GetString(), 0);
        cbRead = pFile->Read(&strHeader[0], static_cast<std::uint32_t>(strHeader.size()));
        m_pContext->CloseFile(pFile);
    } catch (...) {
        Problem(strName + ": cannot be read");
        return;
    }
    if (cbRead != CBPTree::kHeaderSize)
        Problem(strName + ": " + (cbRead > CBPTree::kHeaderSize ? "longer" : "shorter") +
                " than the " + std::to_string(CBPTree::kHeaderSize) + " bytes of a tree header");
    if (cbRead < 28)
        return;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strHeader.data());
    const struct {
        const char* szField;
        std::uint32_t nOffset;
        std::uint32_t nWant;
    } kFields[] = {
        {"index order", 8, store.nIndexOrder},
        {"leaf order", 12, store.nLeafOrder},
        {"key size", 16, store.cbKey},
        {"value size", 20, store.cbValue},
        {"duplicates", 24, static_cast<std::uint32_t>(store.nDuplicates)},
    };
    for (const auto& field : kFields) {
        const std::uint32_t nHave = GetU32LE(p + field.nOffset);
        if (nHave != field.nWant)
            Problem(strName + ": " + field.szField + " " + std::to_string(nHave) +
                    ", but the parameters give " + std::to_string(field.nWant));
    }
}

void CChecker::Run()
{
    bool bNames = false;
    bool bRecords = false;
    for (const SStoreLayout& store : DatabaseLayout(m_info)) {
        if (store.bTree) {
            const bool bNameIndex = std::strcmp(store.szName, kNameIndexName) == 0;
            CBPTree tree;
            const bool bOpen =
                CheckTreeStore(bNameIndex ? &m_names : &tree, store.szName, store.pGuid, nullptr);
            if (bOpen)
                CheckTreeLayout(m_directory.Join(store.szName), store.szName, store);
            if (bNameIndex)
                bNames = bOpen;
            continue;
        }
        const bool bAttRecords = std::strcmp(store.szName, kAttRecordsName) == 0;
        CRecordFile records;
        CRecordFile* pFile = bAttRecords ? &m_records : &records;
        if (!CheckRecordStore(pFile, store.szName))
            continue;
        if (pFile->GetRecordSize() != store.cbRecord)
            Problem(std::string(store.szName) + ": records of " +
                    std::to_string(pFile->GetRecordSize()) + " bytes, but the parameters give " +
                    std::to_string(store.cbRecord));
        // Longer attribute records still hold every field, so the database opens
        // with them, but the files did not come from these parameters; shorter ones
        // cannot be read further.
        if (bAttRecords)
            bRecords = pFile->GetRecordSize() >= store.cbRecord;
    }
    if (!bNames || !bRecords)
        return;
    CheckNames();
    CheckRecords();
    CheckFileListDirectory();
}

void CChecker::CheckNames()
{
    const std::string strStore = kNameIndexName;
    try {
        const std::uint32_t nCount = m_names.GetCount();
        if (nCount == 0) {
            m_bAllNamesSeen = true;
            return;
        }
        CBPTree::Cursor cursor;
        m_names.First(&cursor);
        for (std::uint32_t i = 0; i < nCount; ++i) {
            const std::uint32_t cbKey = m_names.KeyLength(&cursor);
            std::string strKey(cbKey, '\0');
            if (cbKey > 0)
                m_names.GetKey(&cursor, &strKey[0], cbKey);
            const std::string strName = strKey.substr(0, strKey.find('\0'));
            if (cbKey == 0 || strKey.find('\0') != cbKey - 1)
                Problem(strStore + ": the name \"" + strName + "\" is not stored with one " +
                        "terminating NUL");
            unsigned char abId[4] = {};
            if (m_names.ValueLength(&cursor) != sizeof(abId)) {
                Problem(strStore + ": the name \"" + strName + "\" has no attribute id");
            } else {
                m_names.GetValue(&cursor, abId, sizeof(abId));
                const std::uint32_t nId = GetU32LE(abId);
                // Where a walk meets an id again, what follows may be the same
                // leaves over again: report it once and stop.
                if (!m_setNamedIds.insert(nId).second) {
                    Problem(strStore + ": attribute " + std::to_string(nId) +
                            " is named more than once; the names after \"" + strName +
                            "\" are not checked");
                    return;
                }
                if (!m_records.IsAllocated(nId)) {
                    Problem(strStore + ": the name \"" + strName + "\" refers to attribute " +
                            std::to_string(nId) + ", which has no record");
                } else {
                    const unsigned char* pRecord =
                        static_cast<const unsigned char*>(m_records.Get(nId, 0));
                    const std::uint32_t n = m_info.nAttNameSize;
                    const std::uint32_t nState = GetU32LE(pRecord + kAttStateOffset);
                    const void* pNul = std::memchr(pRecord + kAttNameOffset, 0, n);
                    const bool bSame =
                        pNul != nullptr &&
                        std::strcmp(reinterpret_cast<const char*>(pRecord + kAttNameOffset),
                                    strName.c_str()) == 0;
                    m_records.Release(const_cast<unsigned char*>(pRecord));
                    if (nState != kAttStateLive)
                        Problem(strStore + ": the name \"" + strName + "\" refers to attribute " +
                                std::to_string(nId) + ", which is not live");
                    else if (!bSame)
                        Problem(strStore + ": the name \"" + strName + "\" differs from the " +
                                "name in the record of attribute " + std::to_string(nId));
                }
            }
            if (i + 1 < nCount && m_names.Next(&cursor, 1, 0) != CBPTree::kOk) {
                Problem(strStore + ": the walk ended before the record count");
                return;
            }
        }
        if (!m_names.IsLastEntry(&cursor))
            Problem(strStore + ": the leaf chain goes on past the record count");
        else
            m_bAllNamesSeen = true;
    } catch (...) {
        Problem(strStore + ": the names cannot be walked: the leaf chain or a leaf is damaged");
    }
}

void CChecker::CheckRecords()
{
    const std::string strStore = kAttRecordsName;
    const std::uint32_t n = m_info.nAttNameSize;
    for (std::uint32_t nId = 1; nId <= m_records.GetRecordCount(); ++nId) {
        if (!m_records.IsAllocated(nId))
            continue;
        const std::string strId = "attribute " + std::to_string(nId);
        std::uint32_t nState = 0;
        std::uint32_t nForward = 0;
        std::string strName;
        bool bNul = false;
        try {
            const unsigned char* pRecord =
                static_cast<const unsigned char*>(m_records.Get(nId, 0));
            nState = GetU32LE(pRecord + kAttStateOffset);
            nForward = GetU32LE(pRecord + AttForwardOffset(n));
            const void* pNul = std::memchr(pRecord + kAttNameOffset, 0, n);
            bNul = pNul != nullptr;
            if (bNul)
                strName = reinterpret_cast<const char*>(pRecord + kAttNameOffset);
            m_records.Release(const_cast<unsigned char*>(pRecord));
        } catch (...) {
            Problem(strStore + ": " + strId + " cannot be read");
            continue;
        }
        if (!bNul)
            Problem(strStore + ": the name field of " + strId + " has no terminating NUL");
        if (nState == kAttStateLive) {
            m_setLiveIds.insert(nId);
            // Unless the walk was cut short, in which case this would say little.
            if (m_bAllNamesSeen && m_setNamedIds.count(nId) == 0)
                Problem(strStore + ": " + strId + " (\"" + strName + "\") is not in the " +
                        "name index");
            CheckFileList(nId, strName);
        } else if (nState == kAttStateMerged) {
            if (nForward == nId || !m_records.IsAllocated(nForward))
                Problem(strStore + ": " + strId + " forwards to attribute " +
                        std::to_string(nForward) + ", which has no record");
            if (m_setNamedIds.count(nId) != 0)
                Problem(strStore + ": " + strId + " was merged but is still named");
        } else {
            Problem(strStore + ": " + strId + " has the unknown state " + std::to_string(nState));
        }
    }
}

void CChecker::CheckFileList(std::uint32_t nId, const std::string& strName)
{
    const std::string strStore =
        std::string(kFileListsName) + "\\" + std::to_string(nId);
    CBPTree list;
    try {
        list.Open(m_pContext,
                  m_directory.Join(kFileListsName).Join(std::to_string(nId).c_str()).GetString(),
                  0, kGuidBinaryAscending, nullptr);
    } catch (...) {
        Problem(strStore + ": the file list of \"" + strName + "\" is missing or damaged");
        return;
    }
    try {
        const SStoreLayout layout = {kFileListsName,      true, kFileListIndexOrder,
                                     kFileListLeafOrder,  kFileListKeySize,
                                     kFileListValueSize,  kFileListDuplicates,
                                     kGuidBinaryAscending, 0};
        CheckTreeLayout(m_directory.Join(kFileListsName).Join(std::to_string(nId).c_str()),
                        strStore, layout);
        std::vector<std::string> vTree;
        CheckTree(list, &vTree);
        for (const std::string& strLine : vTree)
            Problem(strStore + ": " + strLine);
    } catch (...) {
        Problem(strStore + ": the file list cannot be read");
    }
}

void CChecker::CheckFileListDirectory()
{
    std::vector<platform::DirEntry> vEntries;
    if (platform::DirList(m_directory.Join(kFileListsName).GetString(), &vEntries) !=
        platform::kFileOk) {
        Problem(std::string(kFileListsName) + ": the directory cannot be listed");
        return;
    }
    for (const platform::DirEntry& entry : vEntries) {
        const std::string& s = entry.strName;
        char* pEnd = nullptr;
        const unsigned long nId = std::strtoul(s.c_str(), &pEnd, 10);
        const bool bDecimal = !s.empty() && s[0] != '0' && *pEnd == '\0' &&
                              s.find_first_not_of("0123456789") == std::string::npos;
        if (!bDecimal || m_setLiveIds.count(static_cast<std::uint32_t>(nId)) == 0)
            Problem(std::string(kFileListsName) + "\\" + s + ": belongs to no live attribute");
    }
}

}  // namespace

std::size_t CheckDatabase(const char* szDirectory, std::uint32_t nTimeout,
                          std::vector<std::string>* pvProblems, bool* pbBusy)
{
    std::vector<std::string> vProblems;
    std::vector<std::string>& v = pvProblems != nullptr ? *pvProblems : vProblems;
    const std::size_t nBefore = v.size();
    try {
        const CPath directory(szDirectory);
        if (directory.IsEmpty()) {
            v.push_back("the directory name is not a usable engine path");
            return v.size() - nBefore;
        }
        if (!IsDatabaseDirectory(szDirectory)) {
            v.push_back("not a database directory: \"libid\" or \"adbinfo\" is missing, short "
                        "or of another format or version");
            return v.size() - nBefore;
        }
        SDatabaseInfo info;
        if (!ReadDatabaseInfo(szDirectory, &info)) {
            v.push_back(std::string(kInfoName) + ": shorter than 48 bytes");
            return v.size() - nBefore;
        }
        CADB db;
        if (db.Associate(szDirectory, info.abPathOrder, nullptr) != CADB::kOk) {
            v.push_back("the database cannot be associated: its transaction store or its "
                        "dustbox is missing or cannot be recovered");
            return v.size() - nBefore;
        }
        CADBImpl* pImpl = db.GetImpl();
        CTransaction::IContext* pTransactionContext = pImpl->m_transaction.Begin(0, nTimeout);
        if (pTransactionContext == nullptr && pbBusy != nullptr) {
            *pbBusy = true;
            return 0;
        }
        if (pTransactionContext == nullptr) {
            v.push_back("read access was not granted within " + std::to_string(nTimeout) +
                        " ms");
            return v.size() - nBefore;
        }
        // Looked for only under read access: a writer's running transaction has a
        // log too, and is none of the check's business. Beside readers that kept
        // the opening from finishing it, a log left by an interrupted one remains.
        if (platform::PathExists(directory.Join(kTransactionName).Join(txdir::kLog).GetString()))
            v.push_back(std::string(kTransactionName) + "\\" + txdir::kLog +
                        ": a transaction was interrupted; the next opening for writing finishes it");
        {
            std::unique_ptr<CFileSystem::IContext, void (*)(CStoreObject*)> pContext(
                CreateTFSContext(pTransactionContext), &DestroyObject);
            if (pContext) {
                CChecker checker(pContext.get(), directory, info, &v);
                checker.Run();
            } else {
                v.push_back("out of memory");
            }
        }
        pImpl->m_transaction.End(0);
    } catch (...) {
        v.push_back("the check failed: a store could not be read");
    }
    return v.size() - nBefore;
}

}  // namespace velk
