#include "engine/database/att_info.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/database/adb_impl.h"

namespace velk {

namespace {

// Drops the ids RequireUnnamed keeps when a write of the name index ends in an
// exception: the index may then differ from them in a way its count does not show.
class CForgetNamedIdsOnThrow {
public:
    explicit CForgetNamedIdsOnThrow(CADBImpl* pOwner) : m_pOwner(pOwner), m_nThrown(std::uncaught_exceptions()) {}
    ~CForgetNamedIdsOnThrow()
    {
        if (std::uncaught_exceptions() > m_nThrown)
            m_pOwner->ForgetNamedIds();
    }
    CForgetNamedIdsOnThrow(const CForgetNamedIdsOnThrow&) = delete;
    CForgetNamedIdsOnThrow& operator=(const CForgetNamedIdsOnThrow&) = delete;

private:
    CADBImpl* m_pOwner;
    int m_nThrown;
};

// The name index's entry of strName, which must name nId: an index that lacks
// the name or gives it to another id is damaged, and a write that renames or
// removes the attribute would build on that.
CBPTree::Cursor FindOwnName(CBPTree& names, const std::string& strName, std::uint32_t nId)
{
    CBPTree::Cursor cursor;
    unsigned char abId[4] = {};
    if (!names.Find(strName.c_str(), static_cast<std::uint32_t>(strName.size() + 1), &cursor,
                    CBPTree::kFindAny) ||
        names.ValueLength(&cursor) != sizeof(abId))
        ThrowFault();
    names.GetValue(&cursor, abId, sizeof(abId));
    if (GetU32LE(abId) != nId)
        ThrowFault();
    return cursor;
}

}  // namespace

CAttInfo::CAttInfo(CADBImpl* pOwner, std::uint32_t nId, int nWritable)
    : m_pOwner(pOwner), m_nId(nId), m_nWritable(nWritable != 0 ? 1 : 0), m_pRecord(nullptr)
{
    const std::uint32_t n = pOwner->m_nAttNameSize;
    m_nStateOffset = kAttStateOffset;
    m_nNameOffset = kAttNameOffset;
    m_nFileCountOffset = AttFileCountOffset(n);
    m_nForwardOffset = AttForwardOffset(n);
    m_nReservedOffset = AttReservedOffset(n);
    m_nExtraOffset = AttExtraOffset(n);
    m_pRecord = static_cast<unsigned char*>(pOwner->m_attRecords.Get(nId, m_nWritable));
}

CAttInfo::~CAttInfo()
{
    try {
        Release();
    } catch (...) {
    }
}

void CAttInfo::Release()
{
    if (m_pRecord != nullptr) {
        unsigned char* pRecord = m_pRecord;
        m_pRecord = nullptr;
        m_pOwner->m_attRecords.Release(pRecord);
    }
}

std::uint32_t CAttInfo::GetState() const
{
    return GetU32LE(m_pRecord + m_nStateOffset);
}

void CAttInfo::SetState(std::uint32_t nState)
{
    PutU32LE(m_pRecord + m_nStateOffset, nState);
}

std::uint32_t CAttInfo::NameLength() const
{
    const std::uint32_t n = m_pOwner->m_nAttNameSize;
    const void* pEnd = std::memchr(m_pRecord + m_nNameOffset, 0, n);
    if (pEnd == nullptr)
        ThrowFault();  // a damaged record: the name runs past its field
    return static_cast<std::uint32_t>(static_cast<const unsigned char*>(pEnd) -
                                      (m_pRecord + m_nNameOffset));
}

const char* CAttInfo::Name() const
{
    NameLength();
    return reinterpret_cast<const char*>(m_pRecord + m_nNameOffset);
}

void CAttInfo::SetName(const char* szName)
{
    const std::uint32_t n = m_pOwner->m_nAttNameSize;
    const std::size_t cb = std::strlen(szName) + 1;
    if (cb > n)
        ThrowFault();
    std::memset(m_pRecord + m_nNameOffset, 0, n);
    std::memcpy(m_pRecord + m_nNameOffset, szName, cb);
}

std::uint32_t CAttInfo::GetFileCount() const
{
    return GetU32LE(m_pRecord + m_nFileCountOffset);
}

void CAttInfo::SetFileCount(std::uint32_t n)
{
    PutU32LE(m_pRecord + m_nFileCountOffset, n);
}

std::uint32_t CAttInfo::GetForwardId() const
{
    return GetU32LE(m_pRecord + m_nForwardOffset);
}

void CAttInfo::SetForwardId(std::uint32_t nId)
{
    PutU32LE(m_pRecord + m_nForwardOffset, nId);
}

std::uint32_t CAttInfo::GetRefCount()
{
    CBPTree list;
    list.Open(m_pOwner->m_pContext, m_pOwner->FileListPath(m_nId).c_str(), 0,
              kGuidBinaryAscending, nullptr);
    const std::uint32_t nCount = list.GetCount();
    list.Close();
    return nCount;
}

std::uint32_t CAttInfo::GetName(char* pBuffer, std::uint32_t cbBuffer)
{
    const std::uint32_t cbName = NameLength() + 1;
    if (pBuffer != nullptr) {
        if (cbBuffer < cbName)
            return 0;
        std::memcpy(pBuffer, m_pRecord + m_nNameOffset, cbName);
    }
    return cbName;
}

int CAttInfo::Rename(const char* szNewName)
{
    if (m_nWritable == 0)
        return CADB::kFailed;
    if (szNewName == nullptr)
        return CADB::kInvalidArgument;
    const std::size_t cbNew = std::strlen(szNewName) + 1;
    if (cbNew > m_pOwner->m_nAttNameSize)
        return CADB::kFailed;
    const std::string strOld = Name();

    CBPTree& names = m_pOwner->m_nameIndex;
    CBPTree::Cursor cursor = FindOwnName(names, strOld, m_nId);
    CForgetNamedIdsOnThrow forget(m_pOwner);
    const int nResult =
        names.Insert(szNewName, static_cast<std::uint32_t>(cbNew), nullptr, 0, &cursor);
    if (nResult != CBPTree::kOk)
        return nResult;
    m_pOwner->NoteNameInserted();
    unsigned char abId[4];
    PutU32LE(abId, m_nId);
    names.SetValue(&cursor, abId, sizeof(abId));
    m_pOwner->NoteNameGives(m_nId);
    if (names.Find(strOld.c_str(), static_cast<std::uint32_t>(strOld.size() + 1), &cursor,
                   CBPTree::kFindAny)) {
        names.Erase(&cursor);
        m_pOwner->NoteNameErased(m_nId);
    }
    SetName(szNewName);
    return CADB::kOk;
}

int CAttInfo::Merge(std::uint32_t nOtherId)
{
    CRecordFile& records = m_pOwner->m_attRecords;
    if (m_nWritable == 0 || !records.IsAllocated(nOtherId) || records.IsPinned(nOtherId))
        return CADB::kFailed;
    std::unique_ptr<CAttInfo> pOther(new CAttInfo(m_pOwner, nOtherId, 1));
    if (pOther->GetState() != kAttStateLive)
        return CADB::kFailed;
    const std::string strOtherName = pOther->Name();
    CBPTree& names = m_pOwner->m_nameIndex;
    // Found before anything changes; the index is not written until the erase.
    const CBPTree::Cursor nameCursor = FindOwnName(names, strOtherName, nOtherId);
    const std::uint32_t nOtherFileCount = pOther->GetFileCount();
    const std::string strOtherList = m_pOwner->FileListPath(nOtherId);

    CBPTree otherList;
    otherList.Open(m_pOwner->m_pContext, strOtherList.c_str(), 0, kGuidBinaryAscending, nullptr);
    const std::uint32_t nOtherEntries = otherList.GetCount();
    // The file count only counts files that merging brought in; an attribute whose
    // own list has entries still has files that refer to its id, so it must stay
    // behind as a forwarder rather than have its id handed out again.
    const bool bForward = nOtherFileCount != 0 || nOtherEntries != 0;
    if (bForward) {
        pOther->SetState(kAttStateMerged);
        pOther->SetForwardId(m_nId);
        if (nOtherEntries != 0) {
            CBPTree ownList;
            ownList.Open(m_pOwner->m_pContext, m_pOwner->FileListPath(m_nId).c_str(), 1,
                         kGuidBinaryAscending, nullptr);
            CBPTree::Cursor cursor;
            otherList.First(&cursor);
            std::uint32_t nAdded = 0;
            for (std::uint32_t i = 0; i < nOtherEntries; ++i) {
                unsigned char abFileId[kFileListKeySize];
                if (otherList.KeyLength(&cursor) != sizeof(abFileId))
                    ThrowFault();
                otherList.GetKey(&cursor, abFileId, sizeof(abFileId));
                if (ownList.Insert(abFileId, sizeof(abFileId), nullptr, 0, nullptr) == CBPTree::kOk)
                    ++nAdded;
                // The list is removed afterwards: a chain that ends before its count
                // or goes on after it would take files with it.
                if (i + 1 < nOtherEntries && otherList.Next(&cursor, 1, 0) != CBPTree::kOk)
                    ThrowFault();
            }
            if (!otherList.IsLastEntry(&cursor))
                ThrowFault();
            SetFileCount(GetFileCount() + nAdded);
            ownList.Close();
        }
    }
    otherList.Close();

    m_pOwner->m_pContext->RemoveDirectory(strOtherList.c_str());
    CForgetNamedIdsOnThrow forget(m_pOwner);
    names.Erase(&nameCursor);
    m_pOwner->NoteNameErased(nOtherId);
    // Another name still given to the merged id would name a forwarder, or a record
    // freed for reuse: the index is damaged.
    m_pOwner->RequireUnnamed(nOtherId);
    pOther->Release();
    pOther.reset();
    if (!bForward)
        records.Free(nOtherId);
    return CADB::kOk;
}

int CAttInfo::GetExtra(void* pBuffer, std::uint32_t cbBuffer)
{
    const std::uint32_t cbExtra = m_pOwner->m_nExtraSize;
    if (cbExtra == 0 || cbBuffer < cbExtra || pBuffer == nullptr)
        return CADB::kFailed;
    std::memcpy(pBuffer, m_pRecord + m_nExtraOffset, cbExtra);
    return CADB::kOk;
}

int CAttInfo::SetExtra(const void* pData)
{
    const std::uint32_t cbExtra = m_pOwner->m_nExtraSize;
    if (cbExtra == 0 || m_nWritable == 0 || pData == nullptr)
        return CADB::kFailed;
    std::memcpy(m_pRecord + m_nExtraOffset, pData, cbExtra);
    return CADB::kOk;
}

// The attribute operations of the implementation object.

void CADBImpl::RequireUnnamed(std::uint32_t nId)
{
    if (!m_bNamedIdsKnown || m_nNamedEntries != m_nameIndex.GetCount()) {
        // The name index is walked whole once: it holds one short entry per
        // attribute. Registering many names then costs one walk, not one a name.
        ForgetNamedIds();
        std::vector<std::uint32_t> vIds;
        vIds.reserve(m_nameIndex.GetCount());
        if (m_nameIndex.GetCount() != 0) {
            CBPTree::Cursor cursor;
            m_nameIndex.First(&cursor);
            for (std::uint32_t i = 0; i < m_nameIndex.GetCount(); ++i) {
                // A name being registered has no value yet.
                unsigned char abId[4] = {};
                const std::uint32_t cbValue = m_nameIndex.ValueLength(&cursor);
                if (cbValue != 0 && cbValue != sizeof(abId))
                    ThrowFault();
                m_nameIndex.GetValue(&cursor, abId, cbValue);
                if (cbValue != 0)
                    vIds.push_back(GetU32LE(abId));
                // A chain that ends before the count, or goes on after it, hides
                // names from this walk.
                if (i + 1 < m_nameIndex.GetCount() && m_nameIndex.Next(&cursor, 1, 0) != CBPTree::kOk)
                    ThrowFault();
            }
            if (!m_nameIndex.IsLastEntry(&cursor))
                ThrowFault();
        }
        std::sort(vIds.begin(), vIds.end());
        m_vNamedIds.swap(vIds);
        m_nNamedEntries = m_nameIndex.GetCount();
        m_bNamedIdsKnown = true;
    }
    if (std::binary_search(m_vNamedIds.begin(), m_vNamedIds.end(), nId))
        ThrowFault();
}

void CADBImpl::NoteNameInserted()
{
    ++m_nNamedEntries;
}

void CADBImpl::NoteNameGives(std::uint32_t nId)
{
    if (m_bNamedIdsKnown)
        m_vNamedIds.insert(std::upper_bound(m_vNamedIds.begin(), m_vNamedIds.end(), nId), nId);
}

void CADBImpl::NoteNameErased(std::uint32_t nId)
{
    --m_nNamedEntries;
    const auto it = std::lower_bound(m_vNamedIds.begin(), m_vNamedIds.end(), nId);
    if (it != m_vNamedIds.end() && *it == nId)
        m_vNamedIds.erase(it);
    else
        ForgetNamedIds();
}

void CADBImpl::ForgetNamedIds()
{
    std::vector<std::uint32_t>().swap(m_vNamedIds);
    m_bNamedIdsKnown = false;
    m_nNamedEntries = 0;
}

void CADBImpl::ClaimFreeId(std::uint32_t nId)
{
    // A free record that is named: the record file or the index is damaged.
    RequireUnnamed(nId);
    // A free id owns no list: anything under its list's name is a leftover that
    // would make the creation fail, and it goes, through the transaction, so that
    // a roll-back puts it back. A list that reads with entries is another
    // attribute's files: damage, never removed.
    const std::string strList = FileListPath(nId);
    std::uint32_t nEntries = 0;
    try {
        CBPTree list;
        list.Open(m_pContext, strList.c_str(), 0, kGuidBinaryAscending, nullptr);
        nEntries = list.GetCount();
        list.Close();
    } catch (const CFault&) {
        // Missing, or not a list.
    }
    if (nEntries != 0)
        ThrowFault();
    m_pContext->RemoveDirectory(strList.c_str());
    m_pContext->DeleteFile(strList.c_str());
}

CADB::IAttInfo* CADBImpl::GetAttInfo(std::uint32_t nId, int nWritable)
{
    if (!IsOpen() || (nWritable != 0 && m_nLiveEnumerators != 0))
        ThrowFault();
    return new CAttInfo(this, nId, nWritable);
}

int CADBImpl::AddAtt(const char* szName, std::uint32_t* pnId)
{
    if (!IsOpen() || szName == nullptr)
        ThrowFault();
    if (m_nLiveEnumerators != 0)
        return CADB::kFailed;
    const std::size_t cbName = std::strlen(szName) + 1;
    if (cbName > m_nAttNameSize)
        return CADB::kFailed;

    CBPTree::Cursor cursor;
    CForgetNamedIdsOnThrow forget(this);
    if (m_nameIndex.Insert(szName, static_cast<std::uint32_t>(cbName), nullptr, 0, &cursor) ==
        CBPTree::kExists) {
        if (pnId != nullptr) {
            unsigned char abId[4] = {};
            if (m_nameIndex.ValueLength(&cursor) > sizeof(abId))
                ThrowFault();
            m_nameIndex.GetValue(&cursor, abId, sizeof(abId));
            *pnId = GetU32LE(abId);
        }
        return CADB::kAttExists;
    }
    NoteNameInserted();
    const std::uint32_t nId = m_attRecords.Allocate();
    ClaimFreeId(nId);
    const std::string strList = FileListPath(nId);
    if (CBPTree::Create(m_pContext, strList.c_str(), kFileListIndexOrder,
                        kFileListLeafOrder, kFileListKeySize, kFileListValueSize,
                        kFileListDuplicates, kGuidBinaryAscending) != CBPTree::kOk)
        ThrowFault();
    {
        CAttInfo info(this, nId, 1);
        info.SetState(kAttStateLive);
        info.SetName(szName);
        info.Release();
    }
    unsigned char abId[4];
    PutU32LE(abId, nId);
    m_nameIndex.SetValue(&cursor, abId, sizeof(abId));
    NoteNameGives(nId);
    if (pnId != nullptr)
        *pnId = nId;
    return CADB::kOk;
}

}  // namespace velk
