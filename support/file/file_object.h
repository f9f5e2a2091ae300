// VOKFileObject, the interface through which the support library reads and writes
// files: ERawFile over a platform file, and anything a caller builds over memory.
// Counts are 32-bit; the 64-bit forms of length, seek and position default to the
// 32-bit ones.
#pragma once

#include <cstdint>

#include "support/runtime/object.h"

class VOKFileObject : public VOKObject {
    VOK_DECLARE_CLASS("VOKFileObject", VOKObject)

public:
    // A new file object for the same file, owned by the caller; null on failure.
    virtual VOKFileObject* Duplicate() = 0;
    // The number of bytes read or written.
    virtual uint32_t Read(void* pBuffer, uint32_t cbCount) = 0;
    virtual uint32_t Write(const void* pBuffer, uint32_t cbCount) = 0;
    virtual uint32_t GetLength() = 0;
    // Origin 0 start, 1 current, 2 end; returns the new position.
    virtual uint32_t Seek(int32_t nOffset, int nOrigin) = 0;
    virtual uint32_t GetPosition() = 0;
    // 0 when the file now ends at the position; 1 when not supported or failed.
    virtual int SetEndOfFile() { return 1; }
    virtual uint64_t GetLength64() { return GetLength(); }
    // The base passes the low 32 bits of the offset on.
    virtual uint64_t Seek64(int64_t nOffset, int nOrigin)
    {
        return Seek(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(nOffset))), nOrigin);
    }
    virtual uint64_t GetPosition64() { return GetPosition(); }
};
