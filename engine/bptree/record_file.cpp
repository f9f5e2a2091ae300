#include "engine/bptree/record_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/file_returner.h"

namespace velk {

namespace {

const unsigned char kMagic[8] = {0x89, 'F', 'L', 'R', 0x0D, 0x0A, 0x1A, 0x0A};
const std::uint64_t kHeaderSize = 16;
// The format's offsets are 32-bit: no byte of a record file may lie beyond this.
const std::uint64_t kMaxFileSize = 0xFFFFFFFFu;
// A few released records stay in memory whatever their size, so that a walk over
// large records still finds the last ones.
const std::size_t kCacheMinRecords = 8;

void WriteU32(CFileSystem::IFile* pFile, std::uint32_t nValue)
{
    unsigned char ab[4];
    PutU32LE(ab, nValue);
    if (pFile->Write(ab, 4) != 4)
        ThrowFault();
}

std::uint32_t ReadU32(CFileSystem::IFile* pFile)
{
    unsigned char ab[4];
    if (pFile->Read(ab, 4) != 4)
        ThrowFault();
    return GetU32LE(ab);
}

}  // namespace

CRecordFile::CRecordFile() {}

CRecordFile::~CRecordFile()
{
    try {
        Close();
    } catch (...) {
    }
}

int CRecordFile::Create(CFileSystem::IContext* pContext, const char* szPath,
                        std::uint32_t nRecordSize)
{
    if (pContext == nullptr || szPath == nullptr || nRecordSize == 0)
        return kInvalidArgument;
    int nResult = pContext->CreateFile(szPath);
    if (nResult != kOk)
        return nResult;
    CFileSystem::IFile* pFile = pContext->OpenFile(szPath, 1);
    CFileReturner returner(pContext, pFile);
    if (pFile->Write(kMagic, sizeof(kMagic)) != sizeof(kMagic))
        ThrowFault();
    WriteU32(pFile, nRecordSize);
    WriteU32(pFile, 0);
    WriteU32(pFile, 0);
    return kOk;
}

void CRecordFile::Open(CFileSystem::IContext* pContext, const char* szPath, int nWritable)
{
    Close();
    if (pContext == nullptr || szPath == nullptr)
        ThrowFault();
    if (nWritable && !pContext->IsWritable())
        ThrowFault();
    m_pContext = pContext;
    m_nWritable = nWritable ? 1 : 0;
    try {
        Join();
        m_pFile = pContext->OpenFile(szPath, m_nWritable);
        if (m_pFile == nullptr)
            ThrowFault();
        unsigned char abHeader[16];
        if (m_pFile->Read(abHeader, sizeof(abHeader)) != sizeof(abHeader))
            ThrowFault();
        if (std::memcmp(abHeader, kMagic, sizeof(kMagic)) != 0)
            ThrowFault();
        m_nRecordSize = GetU32LE(abHeader + 8);
        m_nRecordCount = GetU32LE(abHeader + 12);
        if (m_nRecordSize == 0)
            ThrowFault();
        ComputeKeep();
        // Reject before seeking: a file whose records alone pass 2^32 bytes cannot be
        // addressed by the format.
        std::uint64_t cbRecords = static_cast<std::uint64_t>(m_nRecordSize) * m_nRecordCount;
        if (kHeaderSize + cbRecords + 4 > kMaxFileSize)
            ThrowFault();
        if (m_pFile->Seek(static_cast<std::int64_t>(cbRecords), 1) != kHeaderSize + cbRecords)
            ThrowFault();
        std::uint32_t nFree = ReadU32(m_pFile);
        // Every free id lies in 1..N and appears once, so there are at most N; and
        // the list must be in the file, which bounds what is read and reserved.
        if (nFree > m_nRecordCount)
            ThrowFault();
        std::uint64_t nEnd = kHeaderSize + cbRecords + 4 + 4 * static_cast<std::uint64_t>(nFree);
        if (nEnd > kMaxFileSize || nEnd > m_pFile->GetSize())
            ThrowFault();
        m_vFreeIds.resize(nFree);
        if (nFree != 0) {
            std::vector<unsigned char> vBytes(4 * static_cast<std::size_t>(nFree));
            if (m_pFile->Read(vBytes.data(), static_cast<std::uint32_t>(vBytes.size())) !=
                vBytes.size())
                ThrowFault();
            std::uint32_t nPrevious = 0;
            for (std::uint32_t i = 0; i < nFree; ++i) {
                std::uint32_t nId = GetU32LE(&vBytes[4 * static_cast<std::size_t>(i)]);
                if (nId <= nPrevious || nId > m_nRecordCount)
                    ThrowFault();
                m_vFreeIds[i] = nId;
                nPrevious = nId;
            }
        }
    } catch (...) {
        DropState();
        throw;
    }
}

void CRecordFile::SetCacheBound(std::size_t cbBytes)
{
    m_cbCacheBound = cbBytes;
    ComputeKeep();
}

void CRecordFile::ComputeKeep()
{
    m_nKeep = m_nRecordSize == 0 ? kCacheMinRecords
                                 : std::max(kCacheMinRecords, m_cbCacheBound / m_nRecordSize);
}

void CRecordFile::PublishOldest()
{
    CCacheClient::PublishOldest(m_nOldest == 0 || m_nEntries <= kCacheMinRecords,
                                m_nOldest == 0 ? 0 : m_vSlots[m_nOldest].nTick);
}

bool CRecordFile::DropOldestClean()
{
    if (m_nOldest == 0 || m_nEntries <= kCacheMinRecords || m_nOldest == m_nPeeked)
        return false;
    const SSlot& slot = m_vSlots[m_nOldest];
    // A changed record goes back to the file only through this file's own calls.
    if (slot.bDirty)
        return false;
    Forget(m_nOldest);
    return true;
}

void CRecordFile::DropState()
{
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    Leave();
    for (const SSlot& slot : m_vSlots)
        std::free(slot.pBuffer);
    std::vector<SSlot>().swap(m_vSlots);
    m_nEntries = 0;
    m_vPinned.clear();
    m_nOldest = 0;
    m_nNewest = 0;
    std::free(m_pSpare);
    m_pSpare = nullptr;
    std::vector<unsigned char>().swap(m_vZeroRecord);
    m_nPeeked = 0;
    m_nRecordSize = 0;
    m_nRecordCount = 0;
    std::vector<std::uint32_t>().swap(m_vFreeIds);
    if (m_pFile != nullptr) {
        CFileSystem::IFile* pFile = m_pFile;
        m_pFile = nullptr;
        m_pContext->CloseFile(pFile);
    }
    m_nWritable = 0;
    m_bLostWrite = false;
    m_pContext = nullptr;
}

void CRecordFile::Close()
{
    if (m_pContext == nullptr)
        return;
    bool bFailed = false;
    if (m_nWritable) {
        try {
            // Changed records in id order; those past N are cut off below anyway.
            std::lock_guard<CEntryLock> lock(m_lockEntries);
            for (std::size_t nId = 1; nId < m_vSlots.size() && nId <= m_nRecordCount; ++nId) {
                const SSlot& slot = m_vSlots[nId];
                if (slot.pBuffer != nullptr && slot.bDirty)
                    WriteRecord(static_cast<std::uint32_t>(nId), slot.pBuffer);
            }
            if (m_pFile->Seek(12, 0) != 12)
                ThrowFault();
            WriteU32(m_pFile, m_nRecordCount);
            std::uint64_t nAt = kHeaderSize + static_cast<std::uint64_t>(m_nRecordSize) * m_nRecordCount;
            if (m_pFile->Seek(static_cast<std::int64_t>(nAt), 0) != nAt)
                ThrowFault();
            std::vector<unsigned char> vList(4 + 4 * m_vFreeIds.size());
            PutU32LE(&vList[0], static_cast<std::uint32_t>(m_vFreeIds.size()));
            for (std::size_t i = 0; i < m_vFreeIds.size(); ++i)
                PutU32LE(&vList[4 + 4 * i], m_vFreeIds[i]);
            if (m_pFile->Write(vList.data(), static_cast<std::uint32_t>(vList.size())) !=
                vList.size())
                ThrowFault();
            m_pFile->SetEnd();
        } catch (...) {
            bFailed = true;
            NoteLostWrite();
        }
    }
    bFailed = bFailed || m_bLostWrite;
    try {
        DropState();
    } catch (...) {
        bFailed = true;
    }
    if (bFailed)
        ThrowFault();
}

void CRecordFile::NoteLostWrite()
{
    m_bLostWrite = true;
    CTransaction::IContext* pTransaction = m_pContext->GetTransactionContext();
    if (pTransaction != nullptr)
        pTransaction->MarkIncomplete();
}

std::uint64_t CRecordFile::RecordOffset(std::uint32_t nId) const
{
    return kHeaderSize + static_cast<std::uint64_t>(nId - 1) * m_nRecordSize;
}

void CRecordFile::WriteRecord(std::uint32_t nId, const void* pBuffer)
{
    std::uint64_t nAt = RecordOffset(nId);
    if (m_pFile->Seek(static_cast<std::int64_t>(nAt), 0) != nAt)
        ThrowFault();
    if (m_pFile->Write(pBuffer, m_nRecordSize) != m_nRecordSize)
        ThrowFault();
}

int CRecordFile::IsAllocated(std::uint32_t nId) const
{
    if (nId == 0 || nId > m_nRecordCount)
        return 0;
    return std::binary_search(m_vFreeIds.begin(), m_vFreeIds.end(), nId) ? 0 : 1;
}

std::uint32_t CRecordFile::Allocate()
{
    if (m_pContext == nullptr || !m_nWritable)
        ThrowFault();
    std::uint32_t nId;
    if (!m_vFreeIds.empty()) {
        nId = m_vFreeIds.back();
        m_vFreeIds.pop_back();
        if (nId > m_nRecordCount)
            m_nRecordCount = nId;
    } else {
        std::uint64_t nEnd = kHeaderSize +
                             static_cast<std::uint64_t>(m_nRecordSize) * (m_nRecordCount + 1ull) +
                             4 + 4 * static_cast<std::uint64_t>(m_vFreeIds.size());
        if (nEnd > kMaxFileSize)
            ThrowFault();
        nId = ++m_nRecordCount;
    }
    // Made at the first allocation rather than at Open, so that a damaged header
    // with a huge record size costs nothing until a record that size can exist.
    if (m_vZeroRecord.size() != m_nRecordSize)
        m_vZeroRecord.assign(m_nRecordSize, 0);
    // A freed record may still be in memory; the zeros written now replace it.
    // (Only a caller that pins a freed record can find it pinned; it stays then.)
    {
        std::lock_guard<CEntryLock> lock(m_lockEntries);
        const SSlot* pSlot = FindInMemory(nId);
        if (pSlot != nullptr && pSlot->nPins == 0)
            Forget(nId);
    }
    WriteRecord(nId, m_vZeroRecord.data());
    return nId;
}

CRecordFile::SSlot* CRecordFile::FindInMemory(std::uint32_t nId)
{
    return nId < m_vSlots.size() && m_vSlots[nId].pBuffer != nullptr ? &m_vSlots[nId] : nullptr;
}

void CRecordFile::Unlist(std::uint32_t nId)
{
    SSlot& slot = m_vSlots[nId];
    (slot.nOlder != 0 ? m_vSlots[slot.nOlder].nNewer : m_nOldest) = slot.nNewer;
    (slot.nNewer != 0 ? m_vSlots[slot.nNewer].nOlder : m_nNewest) = slot.nOlder;
    slot.nOlder = 0;
    slot.nNewer = 0;
}

void CRecordFile::ListAsNewest(std::uint32_t nId)
{
    SSlot& slot = m_vSlots[nId];
    slot.nOlder = m_nNewest;
    slot.nNewer = 0;
    (m_nNewest != 0 ? m_vSlots[m_nNewest].nNewer : m_nOldest) = nId;
    m_nNewest = nId;
}

void CRecordFile::Forget(std::uint32_t nId)
{
    Unlist(nId);
    SSlot& slot = m_vSlots[nId];
    if (m_pSpare == nullptr)
        m_pSpare = slot.pBuffer;
    else
        std::free(slot.pBuffer);
    slot.pBuffer = nullptr;
    slot.bDirty = 0;
    --m_nEntries;
    Discharge(m_nRecordSize);
    PublishOldest();
}

void CRecordFile::Trim()
{
    while (m_nOldest != 0 && m_nEntries > kCacheMinRecords) {
        if (m_nEntries <= m_nKeep &&
            (!IsOverBudget() || !TakeFromOthers(false, m_vSlots[m_nOldest].nTick)))
            break;
        const std::uint32_t nId = m_nOldest;
        const SSlot& slot = m_vSlots[nId];
        // The record leaves memory whether or not its write succeeds. Its change
        // is then lost, and the exception may well be dropped by whoever releases
        // a record next: the failure is kept for Close and for the transaction.
        // Records past N are cut off at Close and need no write.
        try {
            if (slot.bDirty && nId <= m_nRecordCount)
                WriteRecord(nId, slot.pBuffer);
        } catch (...) {
            Forget(nId);
            NoteLostWrite();
            throw;
        }
        Forget(nId);
    }
}

void* CRecordFile::Get(std::uint32_t nId, int nWritable)
{
    if (m_pContext == nullptr || !IsAllocated(nId))
        ThrowFault();
    if (nWritable && !m_nWritable)
        ThrowFault();
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    m_nPeeked = 0;
    SSlot* pSlot = FindInMemory(nId);
    if (pSlot != nullptr) {
        if (pSlot->nPins == 0) {
            m_vPinned.reserve(m_vPinned.size() + 1);
            Unlist(nId);
            m_vPinned.push_back(nId);
            PublishOldest();
        }
        ++pSlot->nPins;
        if (nWritable)
            pSlot->bDirty = 1;
        return pSlot->pBuffer;
    }
    // Room in both lists first, so that nothing can fail once the record is read.
    if (nId >= m_vSlots.size())
        m_vSlots.resize(std::max<std::size_t>(nId + 1, m_vSlots.size() + m_vSlots.size() / 2),
                        SSlot{nullptr, 0, 0, 0, 0, 0});
    m_vPinned.reserve(m_vPinned.size() + 1);
    unsigned char* pBuffer = m_pSpare;
    m_pSpare = nullptr;
    if (pBuffer == nullptr) {
        pBuffer = static_cast<unsigned char*>(std::malloc(m_nRecordSize));
        if (pBuffer == nullptr)
            ThrowFault();
    }
    try {
        std::uint64_t nAt = RecordOffset(nId);
        if (m_pFile->Seek(static_cast<std::int64_t>(nAt), 0) != nAt)
            ThrowFault();
        if (m_pFile->Read(pBuffer, m_nRecordSize) != m_nRecordSize)
            ThrowFault();
    } catch (...) {
        m_pSpare = pBuffer;
        throw;
    }
    m_vSlots[nId] = SSlot{pBuffer, 0, 0, 1, nWritable != 0 ? 1u : 0u, 0};
    ++m_nEntries;
    Charge(m_nRecordSize);
    m_vPinned.push_back(nId);
    PublishOldest();
    return pBuffer;
}

const void* CRecordFile::Peek(std::uint32_t nId) const
{
    if (m_pContext == nullptr || !IsAllocated(nId))
        ThrowFault();
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    if (nId >= m_vSlots.size() || m_vSlots[nId].pBuffer == nullptr)
        return nullptr;
    m_nPeeked = nId;
    return m_vSlots[nId].pBuffer;
}

void CRecordFile::Release(void* pBuffer)
{
    if (m_pContext == nullptr || pBuffer == nullptr)
        return;
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    m_nPeeked = 0;
    // The latest pin is the one most often released first.
    std::size_t i = m_vPinned.size();
    while (i > 0 && m_vSlots[m_vPinned[i - 1]].pBuffer != pBuffer)
        --i;
    if (i == 0)
        return;
    const std::uint32_t nId = m_vPinned[i - 1];
    SSlot& slot = m_vSlots[nId];
    if (--slot.nPins != 0)
        return;
    m_vPinned[i - 1] = m_vPinned.back();
    m_vPinned.pop_back();
    slot.nTick = NextTick();
    ListAsNewest(nId);
    PublishOldest();
    Trim();
}

void CRecordFile::Free(std::uint32_t nId)
{
    if (m_pContext == nullptr || !m_nWritable || !IsAllocated(nId))
        return;
    if (nId == m_nRecordCount) {
        --m_nRecordCount;
        while (m_nRecordCount > 0 &&
               std::binary_search(m_vFreeIds.begin(), m_vFreeIds.end(), m_nRecordCount))
            --m_nRecordCount;
        m_vFreeIds.erase(std::lower_bound(m_vFreeIds.begin(), m_vFreeIds.end(), m_nRecordCount),
                         m_vFreeIds.end());
    } else {
        FreeKeepingCount(nId);
    }
}

void CRecordFile::FreeKeepingCount(std::uint32_t nId)
{
    if (m_pContext == nullptr || !m_nWritable || !IsAllocated(nId))
        return;
    // The free list grows by one entry: refused before it happens when the file
    // would pass the format's limit, for Open would refuse that file.
    const std::uint64_t nEnd = kHeaderSize +
                               static_cast<std::uint64_t>(m_nRecordSize) * m_nRecordCount + 4 +
                               4 * (static_cast<std::uint64_t>(m_vFreeIds.size()) + 1);
    if (nEnd > kMaxFileSize)
        ThrowFault();
    m_vFreeIds.insert(std::lower_bound(m_vFreeIds.begin(), m_vFreeIds.end(), nId), nId);
}

int CRecordFile::IsPinned(std::uint32_t nId) const
{
    std::lock_guard<CEntryLock> lock(m_lockEntries);
    return nId < m_vSlots.size() && m_vSlots[nId].pBuffer != nullptr && m_vSlots[nId].nPins != 0 ? 1 : 0;
}

}  // namespace velk
