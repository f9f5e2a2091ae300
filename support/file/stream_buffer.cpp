#include "support/file/stream_buffer.h"

#include <cstring>

#include "support/runtime/heap.h"

namespace {

constexpr uint32_t kFillChunk = 8192;
constexpr uint32_t kMinimumBlock = 8192;

}  // namespace

EStreamBuffer::~EStreamBuffer()
{
    while (m_pFirst != nullptr) {
        Block* pNext = m_pFirst->pNext;
        FreeBlock(m_pFirst);
        m_pFirst = pNext;
    }
}

EStreamBuffer::Block* EStreamBuffer::NewBlock(uint32_t cbCapacity)
{
    Block* pBlock = static_cast<Block*>(vokAllocate(sizeof(Block)));
    if (pBlock == nullptr)
        return nullptr;
    pBlock->pData = static_cast<unsigned char*>(vokAllocate(cbCapacity));
    if (pBlock->pData == nullptr) {
        vokFree(pBlock);
        return nullptr;
    }
    pBlock->pNext = nullptr;
    pBlock->nStart = 0;
    pBlock->cbLength = 0;
    pBlock->cbCapacity = cbCapacity;
    return pBlock;
}

void EStreamBuffer::FreeBlock(Block* pBlock)
{
    vokFree(pBlock->pData);
    vokFree(pBlock);
}

unsigned char* EStreamBuffer::Reserve(uint32_t cb)
{
    if (cb > UINT32_MAX - m_cbTotal)
        return nullptr;  // the total would no longer fit its 32 bits
    Block* pLast = m_pLast;
    if (pLast != nullptr && pLast->cbCapacity - pLast->nStart - pLast->cbLength >= cb)
        return pLast->pData + pLast->nStart + pLast->cbLength;
    Block* pBlock = NewBlock(cb > kMinimumBlock ? cb : kMinimumBlock);
    if (pBlock == nullptr)
        return nullptr;
    if (pLast != nullptr)
        pLast->pNext = pBlock;
    else
        m_pFirst = pBlock;
    m_pLast = pBlock;
    return pBlock->pData;
}

void EStreamBuffer::Commit(uint32_t cb)
{
    m_pLast->cbLength += cb;
    m_cbTotal += cb;
}

VOKRESULT EStreamBuffer::FillFromFile(VOKFileObject* pFile)
{
    if (pFile == nullptr)
        return kVokOk;
    for (;;) {
        unsigned char* p = Reserve(kFillChunk);
        if (p == nullptr)
            break;
        uint32_t cbRead = pFile->Read(p, kFillChunk);
        if (cbRead > kFillChunk)
            cbRead = kFillChunk;  // a file object must not claim more than it was given room for
        Commit(cbRead);
        if (cbRead < kFillChunk)
            break;
    }
    return kVokOk;
}

bool EStreamBuffer::FillFromFile(VOKFileObject* pFile, uint32_t cbCount)
{
    if (pFile == nullptr)
        return false;
    if (cbCount == 0)
        return true;
    unsigned char* const p = Reserve(cbCount);
    if (p == nullptr)
        return false;
    for (uint32_t cbRead = 0; cbRead < cbCount;) {
        const uint32_t cbWanted = cbCount - cbRead < kFillChunk ? cbCount - cbRead : kFillChunk;
        const uint32_t cb = pFile->Read(p + cbRead, cbWanted);
        if (cb == 0 || cb > cbWanted)
            return false;  // the room stays unused
        cbRead += cb;
    }
    Commit(cbCount);
    return true;
}

uint32_t EStreamBuffer::Write(const void* pData, uint32_t cbCount)
{
    if (pData == nullptr || cbCount == 0)
        return 0;
    unsigned char* p = Reserve(cbCount);
    if (p == nullptr)
        return 0;
    std::memcpy(p, pData, cbCount);
    Commit(cbCount);
    return cbCount;
}

uint32_t EStreamBuffer::TakeFront(unsigned char* pOut, uint32_t cbCount)
{
    uint32_t cbDone = 0;
    while (cbDone < cbCount && m_pFirst != nullptr) {
        Block* pBlock = m_pFirst;
        uint32_t cb = cbCount - cbDone;
        if (cb > pBlock->cbLength)
            cb = pBlock->cbLength;
        if (pOut != nullptr)
            std::memcpy(pOut + cbDone, pBlock->pData + pBlock->nStart, cb);
        pBlock->nStart += cb;
        pBlock->cbLength -= cb;
        m_cbTotal -= cb;
        cbDone += cb;
        if (pBlock->cbLength == 0) {
            m_pFirst = pBlock->pNext;
            if (m_pFirst == nullptr)
                m_pLast = nullptr;
            FreeBlock(pBlock);
        }
    }
    return cbDone;
}

uint32_t EStreamBuffer::Read(void* pBuffer, uint32_t cbCount)
{
    if (pBuffer == nullptr)
        return 0;
    return TakeFront(static_cast<unsigned char*>(pBuffer), cbCount);
}

uint32_t EStreamBuffer::Consume(uint32_t cbCount)
{
    return TakeFront(nullptr, cbCount);
}

const unsigned char* EStreamBuffer::GetBuffer(uint32_t cbCount)
{
    if (cbCount == 0 || cbCount > m_cbTotal)
        cbCount = m_cbTotal;
    if (cbCount == 0)
        return nullptr;
    if (m_pFirst->cbLength >= cbCount)
        return m_pFirst->pData + m_pFirst->nStart;
    Block* pBlock = NewBlock(cbCount);
    if (pBlock == nullptr)
        return nullptr;
    TakeFront(pBlock->pData, cbCount);
    pBlock->cbLength = cbCount;
    m_cbTotal += cbCount;
    pBlock->pNext = m_pFirst;
    m_pFirst = pBlock;
    if (m_pLast == nullptr)
        m_pLast = pBlock;
    return pBlock->pData;
}
