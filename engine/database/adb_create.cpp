#include <cstring>
#include <memory>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb_impl.h"
#include "engine/database/adb_tools.h"
#include "engine/database/att_info.h"
#include "engine/txstore/fs_context.h"
#include "engine/txstore/store_names.h"
#include "platform/file.h"

namespace velk {

namespace {

struct SContextDeleter {
    void operator()(CFileSystem::IContext* p) const { DestroyObject(p); }
};

void WriteNewFile(const CPath& path, const void* pData, std::uint32_t cb)
{
    platform::CFileHandle file;
    if (platform::FileOpen(path.GetString(), platform::kFileAccessWrite, 0,
                           platform::kFileCreateNew, &file) != platform::kFileOk)
        ThrowFault();
    std::uint32_t cbWritten = 0;
    if (file.Write(pData, cb, &cbWritten) != platform::kFileOk || cbWritten != cb ||
        file.Flush() != platform::kFileOk)
        ThrowFault();
}

void MakeDirectory(const CPath& path)
{
    if (platform::DirCreate(path.GetString()) != platform::kFileOk)
        ThrowFault();
}

// Creates the directory and its missing parents; false when that fails.
bool MakeDirectories(const CPath& path)
{
    std::string strPrefix;
    for (size_t i = 0; i < path.GetComponentCount(); ++i) {
        if (i > 0)
            strPrefix += '\\';
        strPrefix += path.GetComponent(i);
        if (platform::PathExists(strPrefix.c_str()))
            continue;
        if (platform::DirCreate(strPrefix.c_str()) != platform::kFileOk)
            return false;
    }
    unsigned nAttributes = 0;
    return platform::FileGetAttributes(path.GetString(), &nAttributes) == platform::kFileOk &&
           (nAttributes & platform::kFileAttrDirectory) != 0;
}

void CreateTree(CFileSystem::IContext* pContext, const CPath& path, std::uint32_t d,
                std::uint32_t l, std::uint32_t cbKey, std::uint32_t cbValue, int nDuplicates,
                const void* pGuid)
{
    if (CBPTree::Create(pContext, path.GetString(), d, l, cbKey, cbValue, nDuplicates, pGuid) !=
        CBPTree::kOk)
        ThrowFault();
}

void CreateRecords(CFileSystem::IContext* pContext, const CPath& path, std::uint32_t cbRecord)
{
    if (CRecordFile::Create(pContext, path.GetString(), cbRecord) != CRecordFile::kOk)
        ThrowFault();
}

}  // namespace

bool ParametersAreSound(const SDatabaseInfo& info)
{
    const std::uint32_t kMax = kMaxDatabaseFieldSize;
    return (info.nVersion >> 16) == kMajorVersion && info.nParam1 >= 1 && info.nParam1 <= kMax &&
           info.nAttNameSize >= 2 && info.nAttNameSize <= kMax && info.nCommentSize <= kMax &&
           info.nExtraSize <= kMax && info.nHashSize <= kMax &&
           FindKeyOrder(info.abPathOrder) != nullptr;
}

SDatabaseInfo::SDatabaseInfo()
{
    std::memcpy(abPathOrder, kGuidNoCaseAscending, sizeof(abPathOrder));
}

int CreateDatabase(const char* szDirectory, const SDatabaseInfo& info)
{
    const CPath directory(szDirectory);
    if (directory.IsEmpty() || !ParametersAreSound(info))
        return CADB::kInvalidArgument;
    if (platform::PathExists(directory.GetString())) {
        std::vector<platform::DirEntry> vEntries;
        if (platform::DirList(directory.GetString(), &vEntries) != platform::kFileOk ||
            !vEntries.empty())
            return CADB::kExists;
    } else if (!MakeDirectories(directory)) {
        ThrowFault();
    }

    unsigned char abInfo[kDatabaseInfoSize];
    EncodeDatabaseInfo(info, abInfo);
    WriteNewFile(directory.Join(kInfoName), abInfo, sizeof(abInfo));
    MakeDirectory(directory.Join(kTransactionName));
    MakeDirectory(directory.Join(kTransactionName).Join(txdir::kDustbox));
    MakeDirectory(directory.Join(kDustboxName));
    MakeDirectory(directory.Join(kFileListsName));

    std::unique_ptr<CFileSystem::IContext, SContextDeleter> pContext(CreateFSContext(1));
    if (!pContext)
        throw std::bad_alloc();
    CFileSystem::IContext* pc = pContext.get();
    for (const SStoreLayout& store : DatabaseLayout(info)) {
        if (store.bTree)
            CreateTree(pc, directory.Join(store.szName), store.nIndexOrder, store.nLeafOrder,
                       store.cbKey, store.cbValue, store.nDuplicates, store.pGuid);
        else
            CreateRecords(pc, directory.Join(store.szName),
                          static_cast<std::uint32_t>(store.cbRecord));
    }

    // Last: only a complete directory is recognised as a database.
    WriteNewFile(directory.Join(kLibIdName), kLibId, sizeof(kLibId));
    return CADB::kOk;
}

std::vector<SStoreLayout> DatabaseLayout(const SDatabaseInfo& info)
{
    std::vector<SStoreLayout> v;
    auto tree = [&](const char* szName, std::uint32_t d, std::uint32_t l, std::uint32_t cbKey,
                    int nDuplicates, const void* pGuid) {
        v.push_back({szName, true, d, l, cbKey, 4, nDuplicates, pGuid, 0});
    };
    auto records = [&](const char* szName, std::uint64_t cbRecord) {
        v.push_back({szName, false, 0, 0, 0, 0, 0, nullptr, cbRecord});
    };
    tree(kPathIndexName, 16, 32, info.nParam1, 0, info.abPathOrder);
    if (info.nHashSize != 0) {
        tree(kHashIndexName, 64, 64, info.nHashSize, 1, kGuidBinaryAscending);
        tree(kImportIndexName, 16, 32, info.nParam1, 0, kGuidNoCaseAscending);
    }
    records(kFileRecordsName, std::uint64_t(80) + info.nParam1 + info.nHashSize);
    if (info.nCommentSize != 0) {
        tree(kCommentIndexName, 16, 32, info.nCommentSize, 0, kGuidBinaryAscending);
        records(kCommentRecordsName, std::uint64_t(8) + info.nCommentSize);
    }
    tree(kNameIndexName, 32, 32, info.nAttNameSize, 0, kGuidStringAscending);
    records(kAttRecordsName, std::uint64_t(kAttFixedSize) + info.nAttNameSize + info.nExtraSize);
    return v;
}

bool ReadDatabaseInfo(const char* szDirectory, SDatabaseInfo* pInfo)
{
    const CPath directory(szDirectory);
    if (directory.IsEmpty() || pInfo == nullptr)
        return false;
    platform::CFileHandle file;
    if (platform::FileOpen(directory.Join(kInfoName).GetString(), platform::kFileAccessRead,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::kFileOpenExisting, &file) != platform::kFileOk)
        return false;
    unsigned char abInfo[kDatabaseInfoSize];
    std::uint32_t cbRead = 0;
    if (file.Read(abInfo, sizeof(abInfo), &cbRead) != platform::kFileOk || cbRead != sizeof(abInfo))
        return false;
    DecodeDatabaseInfo(abInfo, pInfo);
    return true;
}

void EncodeDatabaseInfo(const SDatabaseInfo& info, unsigned char* pbInfo)
{
    const std::uint32_t anFields[8] = {info.nVersion,     info.nParam1,   info.nParam2,
                                       info.nCommentSize, info.nExtraSize, info.nParam5,
                                       info.nHashSize,    info.nAttNameSize};
    for (int i = 0; i < 8; ++i)
        PutU32LE(pbInfo + 4 * i, anFields[i]);
    std::memcpy(pbInfo + 32, info.abPathOrder, 16);
}

void DecodeDatabaseInfo(const unsigned char* pbInfo, SDatabaseInfo* pInfo)
{
    std::uint32_t* apnFields[8] = {&pInfo->nVersion,     &pInfo->nParam1,   &pInfo->nParam2,
                                   &pInfo->nCommentSize, &pInfo->nExtraSize, &pInfo->nParam5,
                                   &pInfo->nHashSize,    &pInfo->nAttNameSize};
    for (int i = 0; i < 8; ++i)
        *apnFields[i] = GetU32LE(pbInfo + 4 * i);
    std::memcpy(pInfo->abPathOrder, pbInfo + 32, 16);
}

std::uint32_t FindAttribute(CADB& db, const char* szName)
{
    return db.GetImpl()->FindAttId(szName);
}

namespace {

// Opens the file list of attribute nAttId for writing. False when nFileId is 0 or
// nAttId is no live attribute; throws as LinkFile does.
bool OpenFileList(CADB& db, std::uint32_t nAttId, std::uint32_t nFileId, CBPTree* pList)
{
    CADBImpl* pImpl = db.GetImpl();
    if (!pImpl->IsOpen() || !pImpl->m_attRecords.IsWritable())
        ThrowFault();
    if (nFileId == 0 || !pImpl->m_attRecords.IsAllocated(nAttId))
        return false;
    {
        CAttInfo info(pImpl, nAttId, 0);
        if (info.GetState() != kAttStateLive)
            return false;
    }
    pList->Open(pImpl->m_pContext, pImpl->FileListPath(nAttId).c_str(), 1, kGuidBinaryAscending,
                nullptr);
    return true;
}

}  // namespace

int LinkFile(CADB& db, std::uint32_t nAttId, std::uint32_t nFileId)
{
    CBPTree list;
    if (!OpenFileList(db, nAttId, nFileId, &list))
        return CADB::kFailed;
    unsigned char abFileId[kFileListKeySize];
    PutU32LE(abFileId, nFileId);
    const int nResult = list.Insert(abFileId, sizeof(abFileId), nullptr, 0, nullptr);
    list.Close();
    return nResult == CBPTree::kOk ? CADB::kOk : CADB::kExists;
}

int UnlinkFile(CADB& db, std::uint32_t nAttId, std::uint32_t nFileId)
{
    CBPTree list;
    if (!OpenFileList(db, nAttId, nFileId, &list))
        return CADB::kFailed;
    unsigned char abFileId[kFileListKeySize];
    PutU32LE(abFileId, nFileId);
    CBPTree::Cursor cursor;
    int nResult = CADB::kFailed;
    if (list.Find(abFileId, sizeof(abFileId), &cursor, CBPTree::kFindAny) != 0 &&
        list.Erase(&cursor) == 0)
        nResult = CADB::kOk;
    const std::uint32_t nEntries = list.GetCount();
    list.Close();
    // The record counts the files that merging brought in, which cannot be more
    // than the list holds; which file came in that way is not kept, so a removal
    // lowers the count only where it would pass the list.
    CAttInfo info(db.GetImpl(), nAttId, 1);
    if (info.GetFileCount() > nEntries)
        info.SetFileCount(nEntries);
    info.Release();
    return nResult;
}

}  // namespace velk
