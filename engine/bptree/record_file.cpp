#include "engine/bptree/record_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

void CRecordFile::DropState()
{
    for (SEntry* pEntry : m_vById)
        std::free(pEntry);
    std::vector<SEntry*>().swap(m_vById);
    m_nEntries = 0;
    m_vPinned.clear();
    m_pOldest = nullptr;
    m_pNewest = nullptr;
    std::vector<unsigned char>().swap(m_vZeroRecord);
    m_nRecordSize = 0;
    m_nRecordCount = 0;
    std::vector<std::uint32_t>().swap(m_vFreeIds);
    if (m_pFile != nullptr) {
        CFileSystem::IFile* pFile = m_pFile;
        m_pFile = nullptr;
        m_pContext->CloseFile(pFile);
    }
    m_nWritable = 0;
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
            for (const SEntry* pEntry : m_vById) {
                if (pEntry != nullptr && pEntry->bDirty && pEntry->nId <= m_nRecordCount)
                    WriteRecord(pEntry->nId, pEntry->pBuffer);
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
        }
    }
    try {
        DropState();
    } catch (...) {
        bFailed = true;
    }
    if (bFailed)
        ThrowFault();
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
    SEntry* pEntry = FindEntry(nId);
    if (pEntry != nullptr && pEntry->nPins == 0)
        Forget(pEntry);
    WriteRecord(nId, m_vZeroRecord.data());
    return nId;
}

CRecordFile::SEntry* CRecordFile::FindEntry(std::uint32_t nId)
{
    return nId < m_vById.size() ? m_vById[nId] : nullptr;
}

void CRecordFile::Unlist(SEntry* pEntry)
{
    (pEntry->pOlder != nullptr ? pEntry->pOlder->pNewer : m_pOldest) = pEntry->pNewer;
    (pEntry->pNewer != nullptr ? pEntry->pNewer->pOlder : m_pNewest) = pEntry->pOlder;
    pEntry->pOlder = nullptr;
    pEntry->pNewer = nullptr;
}

void CRecordFile::ListAsNewest(SEntry* pEntry)
{
    pEntry->pOlder = m_pNewest;
    pEntry->pNewer = nullptr;
    (m_pNewest != nullptr ? m_pNewest->pNewer : m_pOldest) = pEntry;
    m_pNewest = pEntry;
}

void CRecordFile::Forget(SEntry* pEntry)
{
    Unlist(pEntry);
    m_vById[pEntry->nId] = nullptr;
    --m_nEntries;
    std::free(pEntry);
}

void CRecordFile::Trim()
{
    const std::size_t nKeep = std::max(kCacheMinRecords, m_cbCacheBound / m_nRecordSize);
    while (m_nEntries > nKeep && m_pOldest != nullptr) {
        SEntry* pEntry = m_pOldest;
        // The record leaves memory whether or not its write succeeds; a failed
        // write leaves the enclosing transaction to be rolled back. Records past N
        // are cut off at Close and need no write.
        try {
            if (pEntry->bDirty && pEntry->nId <= m_nRecordCount)
                WriteRecord(pEntry->nId, pEntry->pBuffer);
        } catch (...) {
            Forget(pEntry);
            throw;
        }
        Forget(pEntry);
    }
}

void* CRecordFile::Get(std::uint32_t nId, int nWritable)
{
    if (m_pContext == nullptr || !IsAllocated(nId))
        ThrowFault();
    if (nWritable && !m_nWritable)
        ThrowFault();
    SEntry* pEntry = FindEntry(nId);
    if (pEntry != nullptr) {
        if (pEntry->nPins == 0) {
            m_vPinned.reserve(m_vPinned.size() + 1);
            Unlist(pEntry);
            m_vPinned.push_back(pEntry);
        }
        ++pEntry->nPins;
        if (nWritable)
            pEntry->bDirty = true;
        return pEntry->pBuffer;
    }
    // Room in both lists first, so that nothing can fail once the record is read.
    if (nId >= m_vById.size())
        m_vById.resize(std::max<std::size_t>(nId + 1, m_vById.size() + m_vById.size() / 2));
    m_vPinned.reserve(m_vPinned.size() + 1);
    pEntry = static_cast<SEntry*>(std::malloc(sizeof(SEntry) + m_nRecordSize));
    if (pEntry == nullptr)
        ThrowFault();
    *pEntry = SEntry{reinterpret_cast<unsigned char*>(pEntry + 1), nId, 1, nWritable != 0, nullptr, nullptr};
    try {
        std::uint64_t nAt = RecordOffset(nId);
        if (m_pFile->Seek(static_cast<std::int64_t>(nAt), 0) != nAt)
            ThrowFault();
        if (m_pFile->Read(pEntry->pBuffer, m_nRecordSize) != m_nRecordSize)
            ThrowFault();
    } catch (...) {
        std::free(pEntry);
        throw;
    }
    m_vById[nId] = pEntry;
    ++m_nEntries;
    m_vPinned.push_back(pEntry);
    return pEntry->pBuffer;
}

void CRecordFile::Release(void* pBuffer)
{
    if (m_pContext == nullptr || pBuffer == nullptr)
        return;
    // The latest pin is the one most often released first.
    std::size_t i = m_vPinned.size();
    while (i > 0 && m_vPinned[i - 1]->pBuffer != pBuffer)
        --i;
    if (i == 0)
        return;
    SEntry* pEntry = m_vPinned[i - 1];
    if (--pEntry->nPins != 0)
        return;
    m_vPinned[i - 1] = m_vPinned.back();
    m_vPinned.pop_back();
    ListAsNewest(pEntry);
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
        // The free list grows by one entry: refused before it happens when the file
        // would pass the format's limit, for Open would refuse that file.
        const std::uint64_t nEnd = kHeaderSize +
                                   static_cast<std::uint64_t>(m_nRecordSize) * m_nRecordCount + 4 +
                                   4 * (static_cast<std::uint64_t>(m_vFreeIds.size()) + 1);
        if (nEnd > kMaxFileSize)
            ThrowFault();
        m_vFreeIds.insert(std::lower_bound(m_vFreeIds.begin(), m_vFreeIds.end(), nId), nId);
    }
}

int CRecordFile::IsPinned(std::uint32_t nId) const
{
    return nId < m_vById.size() && m_vById[nId] != nullptr && m_vById[nId]->nPins != 0 ? 1 : 0;
}

}  // namespace velk
