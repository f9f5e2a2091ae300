// EStreamBuffer: an in-memory byte queue made of blocks from the library heap.
// Bytes are appended at the end (Write, FillFromFile) and taken from the front
// (Read, or GetBuffer followed by Consume). The document reader takes its whole
// input at once through GetBuffer; a document appended in one block by the
// counted FillFromFile is handed to it without being copied. No lock: one thread at a time.
#pragma once

#include <cstdint>

#include "support/file/file_object.h"
#include "support/runtime/result.h"

class EStreamBuffer : public VOKObject {
    VOK_DECLARE_CLASS("EStreamBuffer", VOKObject)

public:
    EStreamBuffer() = default;
    ~EStreamBuffer() override;
    EStreamBuffer(const EStreamBuffer&) = delete;
    EStreamBuffer& operator=(const EStreamBuffer&) = delete;

    // Appends the rest of pFile, reading 8192 bytes at a time until a read returns
    // fewer; a read error therefore looks like the end of the file. Returns kVokOk
    // (also when memory runs out, which ends the filling early).
    VOKRESULT FillFromFile(VOKFileObject* pFile);
    // Appends the next cbCount bytes of pFile in one block, reading 8192 bytes at a
    // time until they are all there. False when memory runs out, the queue would pass 4 GiB or the file
    // ends or fails before them; nothing is appended then.
    bool FillFromFile(VOKFileObject* pFile, uint32_t cbCount);
    // Appends a copy of cbCount bytes; returns the number appended (fewer only
    // when memory runs out or the queue would pass 4 GiB).
    uint32_t Write(const void* pData, uint32_t cbCount);
    // Copies up to cbCount bytes from the front into pBuffer and removes them.
    uint32_t Read(void* pBuffer, uint32_t cbCount);
    // A contiguous view of the first cbCount bytes (all for 0 or more than held),
    // valid until the queue next changes; assembled into one block when needed.
    // Null when the queue is empty or memory runs out.
    const unsigned char* GetBuffer(uint32_t cbCount = 0);
    // Removes up to cbCount bytes from the front; returns the number removed.
    uint32_t Consume(uint32_t cbCount);
    uint32_t GetLength() const { return m_cbTotal; }

private:
    struct Block {
        Block* pNext;
        unsigned char* pData;
        uint32_t nStart;     // offset of the unread data
        uint32_t cbLength;   // unread bytes
        uint32_t cbCapacity;
    };

    // Room for cb bytes at the end: the last block's free room when it has
    // enough, else a new block of at least cb bytes. Null when memory runs out.
    unsigned char* Reserve(uint32_t cb);
    // Counts cb bytes just written into the reserved room.
    void Commit(uint32_t cb);
    Block* NewBlock(uint32_t cbCapacity);
    static void FreeBlock(Block* pBlock);
    // Removes up to cbCount bytes from the front, copying them to pOut when given.
    uint32_t TakeFront(unsigned char* pOut, uint32_t cbCount);

    Block* m_pFirst = nullptr;
    Block* m_pLast = nullptr;
    uint32_t m_cbTotal = 0;
};
