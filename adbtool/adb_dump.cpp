#include "adbtool/adb_dump.h"

#include <cstring>
#include <set>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/key_order.h"
#include "engine/database/adb_impl.h"
#include "engine/database/att_info.h"

namespace velk {
namespace {

std::vector<std::uint32_t> ReadFileList(CADBImpl* pImpl, std::uint32_t nId)
{
    std::vector<std::uint32_t> vFiles;
    CBPTree list;
    list.Open(pImpl->m_pContext, pImpl->FileListPath(nId).c_str(), 0, kGuidBinaryAscending,
              nullptr);
    const std::uint32_t nCount = list.GetCount();
    if (nCount != 0) {
        CBPTree::Cursor cursor;
        list.First(&cursor);
        for (std::uint32_t i = 0; i < nCount; ++i) {
            unsigned char abFileId[kFileListKeySize];
            if (list.KeyLength(&cursor) != sizeof(abFileId))
                ThrowFault();
            list.GetKey(&cursor, abFileId, sizeof(abFileId));
            vFiles.push_back(GetU32LE(abFileId));
            if (i + 1 < nCount && list.Next(&cursor, 1, 0) != CBPTree::kOk)
                ThrowFault();
        }
    }
    list.Close();
    return vFiles;
}

}  // namespace

std::vector<SAttributeRecord> ReadAttributeRecords(CADB& db)
{
    CADBImpl* pImpl = db.GetImpl();
    if (!pImpl->IsOpen())
        ThrowFault();
    CRecordFile& records = pImpl->m_attRecords;
    const std::uint32_t n = pImpl->m_nAttNameSize;
    const std::uint32_t cbExtra = records.GetRecordSize() - kAttFixedSize - n;
    std::vector<SAttributeRecord> vRecords;
    for (std::uint32_t nId = 1; nId <= records.GetRecordCount(); ++nId) {
        if (!records.IsAllocated(nId))
            continue;
        SAttributeRecord record;
        record.nId = nId;
        const unsigned char* pRecord = static_cast<const unsigned char*>(records.Get(nId, 0));
        record.nState = GetU32LE(pRecord + kAttStateOffset);
        record.nForward = GetU32LE(pRecord + AttForwardOffset(n));
        record.nMergedFiles = GetU32LE(pRecord + AttFileCountOffset(n));
        const void* pNul = std::memchr(pRecord + kAttNameOffset, 0, n);
        const std::size_t cbName =
            pNul != nullptr ? static_cast<const unsigned char*>(pNul) - (pRecord + kAttNameOffset)
                            : 0;
        record.strName.assign(reinterpret_cast<const char*>(pRecord + kAttNameOffset), cbName);
        record.strExtra.assign(reinterpret_cast<const char*>(pRecord + AttExtraOffset(n)),
                               cbExtra);
        records.Release(const_cast<unsigned char*>(pRecord));
        if (pNul == nullptr)
            ThrowFault();
        if (record.nState == kAttStateLive)
            record.vFiles = ReadFileList(pImpl, nId);
        vRecords.push_back(std::move(record));
    }
    return vRecords;
}

std::uint32_t HighestAttributeId(CADB& db)
{
    CADBImpl* pImpl = db.GetImpl();
    if (!pImpl->IsOpen())
        ThrowFault();
    return pImpl->m_attRecords.GetRecordCount();
}

int WriteAttributeRecords(CADB& db, const std::vector<SAttributeRecord>& vRecords,
                          std::uint32_t nHighestId)
{
    CADBImpl* pImpl = db.GetImpl();
    if (!pImpl->IsOpen() || !pImpl->m_attRecords.IsWritable())
        ThrowFault();
    CRecordFile& records = pImpl->m_attRecords;
    const std::uint32_t n = pImpl->m_nAttNameSize;
    const std::uint32_t cbExtra = records.GetRecordSize() - kAttFixedSize - n;
    if (records.GetRecordCount() != 0)
        return CADB::kInvalidArgument;
    std::set<std::uint32_t> setIds;
    std::set<std::string> setNames;
    std::uint32_t nPrevious = 0;
    for (const SAttributeRecord& record : vRecords) {
        if (record.nId <= nPrevious || record.strName.size() >= n ||
            record.strName.find('\0') != std::string::npos || record.strExtra.size() != cbExtra ||
            (record.nState != kAttStateLive && record.nState != kAttStateMerged))
            return CADB::kInvalidArgument;
        if (record.nState == kAttStateLive && !setNames.insert(record.strName).second)
            return CADB::kInvalidArgument;
        for (std::uint32_t nFile : record.vFiles)
            if (nFile == 0)
                return CADB::kInvalidArgument;
        nPrevious = record.nId;
        setIds.insert(record.nId);
    }
    for (const SAttributeRecord& record : vRecords)
        if (record.nState == kAttStateMerged &&
            (record.nForward == record.nId || setIds.count(record.nForward) == 0))
            return CADB::kInvalidArgument;

    if (nHighestId < nPrevious)
        nHighestId = nPrevious;
    // Ids so high that the record file would pass its limit of 2^32 - 1 bytes are
    // refused before anything is written.
    const std::uint64_t cbFile =
        20 + static_cast<std::uint64_t>(records.GetRecordSize()) * nHighestId +
        4ull * (nHighestId - vRecords.size());
    if (cbFile > 0xFFFFFFFFull)
        return CADB::kInvalidArgument;
    for (std::uint32_t nId = 1; nId <= nHighestId; ++nId)
        if (records.Allocate() != nId)
            ThrowFault();
    for (const SAttributeRecord& record : vRecords) {
        {
            CAttInfo info(pImpl, record.nId, 1);
            info.SetState(record.nState);
            info.SetName(record.strName.c_str());
            info.SetForwardId(record.nForward);
            info.SetFileCount(record.nMergedFiles);
            if (cbExtra != 0)
                info.SetExtra(record.strExtra.data());
            info.Release();
        }
        if (record.nState != kAttStateLive)
            continue;
        unsigned char abId[4];
        PutU32LE(abId, record.nId);
        if (pImpl->m_nameIndex.Insert(record.strName.c_str(),
                                      static_cast<std::uint32_t>(record.strName.size() + 1), abId,
                                      sizeof(abId), nullptr) != CBPTree::kOk)
            ThrowFault();
        const std::string strList = pImpl->FileListPath(record.nId);
        if (CBPTree::Create(pImpl->m_pContext, strList.c_str(), kFileListIndexOrder,
                            kFileListLeafOrder, kFileListKeySize, kFileListValueSize,
                            kFileListDuplicates, kGuidBinaryAscending) != CBPTree::kOk)
            ThrowFault();
        CBPTree list;
        list.Open(pImpl->m_pContext, strList.c_str(), 1, kGuidBinaryAscending, nullptr);
        for (std::uint32_t nFile : record.vFiles) {
            unsigned char abFileId[kFileListKeySize];
            PutU32LE(abFileId, nFile);
            list.Insert(abFileId, sizeof(abFileId), nullptr, 0, nullptr);
        }
        list.Close();
    }
    // Freed ids after the last record stay, as in the database dumped; below it,
    // from the top down, no freed id is at the end.
    for (std::uint32_t nId = nHighestId; nId > nPrevious; --nId)
        records.FreeKeepingCount(nId);
    for (std::uint32_t nId = nPrevious; nId >= 1; --nId)
        if (setIds.count(nId) == 0)
            records.Free(nId);
    return CADB::kOk;
}

}  // namespace velk
