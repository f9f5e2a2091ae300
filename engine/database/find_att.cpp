#include "engine/database/find_att.h"

#include <algorithm>

#include "engine/base/byte_order.h"
#include "engine/database/adb_impl.h"

namespace velk {

CFindAtt::CFindAtt(CADBImpl* pOwner)
    : m_pOwner(pOwner), m_pTree(&pOwner->m_nameIndex), m_nCount(0), m_cursor{0, 0}, m_nPosition(-1)
{
    m_nCount = m_pTree->GetCount();
    if (m_nCount > 0) {
        m_pTree->First(&m_cursor);
        m_nPosition = 0;
    }
    ++m_pOwner->m_nLiveEnumerators;
}

CFindAtt::~CFindAtt()
{
    --m_pOwner->m_nLiveEnumerators;
}

int CFindAtt::MoveTo(std::uint32_t nIndex)
{
    try {
        CBPTree::Cursor cursor = m_cursor;
        m_pTree->Seek(nIndex, &cursor);
        m_cursor = cursor;
        m_nPosition = static_cast<std::int32_t>(nIndex);
        return CADB::kOk;
    } catch (...) {
        return CADB::kFailed;
    }
}

int CFindAtt::Next(std::uint32_t nSteps, int nPartial)
{
    if (nSteps == 0)
        return CADB::kOk;
    if (static_cast<std::int64_t>(m_nPosition) + 1 == static_cast<std::int64_t>(m_nCount))
        return CADB::kEndOfWalk;
    try {
        const int nResult = m_pTree->Next(&m_cursor, nSteps, nPartial);
        if (nResult != CADB::kOk)
            return nResult;
    } catch (...) {
        return CADB::kFailed;
    }
    const std::int64_t nPosition =
        std::min<std::int64_t>(static_cast<std::int64_t>(m_nPosition) + nSteps,
                               static_cast<std::int64_t>(m_nCount) - 1);
    m_nPosition = static_cast<std::int32_t>(nPosition);
    return CADB::kOk;
}

int CFindAtt::Prev(std::uint32_t nSteps, int nPartial)
{
    if (nSteps == 0)
        return CADB::kOk;
    // Also covers an empty index: there is no entry to step back from.
    if (m_nPosition <= 0)
        return CADB::kEndOfWalk;
    try {
        const int nResult = m_pTree->Prev(&m_cursor, nSteps, nPartial);
        if (nResult != CADB::kOk)
            return nResult;
    } catch (...) {
        return CADB::kFailed;
    }
    if (static_cast<std::int64_t>(nSteps) < m_nPosition)
        m_nPosition -= static_cast<std::int32_t>(nSteps);
    else
        m_nPosition = 0;
    return CADB::kOk;
}

std::uint32_t CFindAtt::GetId()
{
    if (m_nPosition < 0)
        return 0;
    unsigned char abId[4] = {};
    if (m_pTree->ValueLength(&m_cursor) > sizeof(abId))
        return 0;
    m_pTree->GetValue(&m_cursor, abId, sizeof(abId));
    return GetU32LE(abId);
}

CADB::IAttInfo* CFindAtt::GetAttInfo()
{
    return m_pOwner->GetAttInfo(GetId(), 0);
}

void CFindAtt::ReleaseAttInfo(CADB::IAttInfo* pInfo)
{
    delete pInfo;
}

}  // namespace velk
