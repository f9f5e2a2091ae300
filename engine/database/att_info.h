// CAttInfo: the record object of one attribute (CADB::IAttInfo), over a record of
// "attinfo_db" that it keeps pinned for its whole life. The record layout is in
// adb.h. Made by CADBImpl::GetAttInfo; used by one thread at a time.
#pragma once

#include <cstdint>

#include "engine/database/adb.h"

namespace velk {

class CADBImpl;

class CAttInfo : public CADB::IAttInfo {
public:
    // Pins record nId of pOwner's attribute records (for writing when nWritable is
    // nonzero). Throws when the id is not allocated or the record cannot be read.
    CAttInfo(CADBImpl* pOwner, std::uint32_t nId, int nWritable);
    // Releases the record; a writable record is written back then (a failure of
    // that write is dropped here; the transaction's close reports its store).
    ~CAttInfo() override;
    CAttInfo(const CAttInfo&) = delete;
    CAttInfo& operator=(const CAttInfo&) = delete;

    int IsWritable() override { return m_nWritable; }
    std::uint32_t GetId() override { return m_nId; }
    int Reserved3() override { return 0; }
    int Reserved4(std::uint32_t) override { return 0; }
    int Reserved5(std::uint32_t) override { return m_nWritable != 0 ? -1 : 1; }
    std::uint32_t GetRefCount() override;
    std::uint32_t GetName(char* pBuffer, std::uint32_t cbBuffer) override;
    int Rename(const char* szNewName) override;
    int Merge(std::uint32_t nOtherId) override;
    int GetExtra(void* pBuffer, std::uint32_t cbBuffer) override;
    int SetExtra(const void* pData) override;

    // Field access for the database's own operations.
    std::uint32_t GetState() const;
    void SetState(std::uint32_t nState);
    // The length of the name; throws when the name field holds no NUL.
    std::uint32_t NameLength() const;
    const char* Name() const;
    void SetName(const char* szName);
    std::uint32_t GetFileCount() const;
    void SetFileCount(std::uint32_t n);
    std::uint32_t GetForwardId() const;
    void SetForwardId(std::uint32_t nId);

    // Writes the record back now, so that a failure can still be thrown; the
    // destructor then has nothing left to do.
    void Release();

private:
    CADBImpl* m_pOwner;
    std::uint32_t m_nId;
    int m_nWritable;
    unsigned char* m_pRecord;
    std::uint32_t m_nStateOffset;
    std::uint32_t m_nNameOffset;
    std::uint32_t m_nFileCountOffset;
    std::uint32_t m_nForwardOffset;
    std::uint32_t m_nReservedOffset;
    std::uint32_t m_nExtraOffset;
};

}  // namespace velk
