// CFindAtt: the enumerator over the attributes (CADB::IFindAtt). It walks the name
// index "attname_db" with a B+ tree cursor, in name order. While any enumerator is
// alive the database refuses to change the name index (AddAtt) and to hand out
// writable record objects, so the cursor stays meaningful. Made by
// CADBImpl::CreateFindAtt; used by one thread at a time.
#pragma once

#include <cstdint>

#include "engine/bptree/bptree.h"
#include "engine/database/adb.h"

namespace velk {

class CADBImpl;

class CFindAtt : public CADB::IFindAtt {
public:
    // Counts the entries and moves to the first. Throws when the index fails.
    explicit CFindAtt(CADBImpl* pOwner);
    ~CFindAtt() override;
    CFindAtt(const CFindAtt&) = delete;
    CFindAtt& operator=(const CFindAtt&) = delete;

    std::uint32_t GetCount() override { return m_nCount; }
    std::int32_t GetPosition() override { return m_nPosition; }
    int MoveTo(std::uint32_t nIndex) override;
    int Next(std::uint32_t nSteps, int nPartial) override;
    int Prev(std::uint32_t nSteps, int nPartial) override;
    std::uint32_t GetId() override;
    CADB::IAttInfo* GetAttInfo() override;
    void ReleaseAttInfo(CADB::IAttInfo* pInfo) override;

private:
    CADBImpl* m_pOwner;
    CBPTree* m_pTree;
    std::uint32_t m_nCount;
    CBPTree::Cursor m_cursor;
    std::int32_t m_nPosition;
};

}  // namespace velk
