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
    // Past the count there is no entry, whatever the chain holds.
    if (nIndex >= m_nCount)
        return CADB::kFailed;
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

// The index's count and its leaf chain must agree: a walk that runs out of leaves
// before the count, or finds entries after it, fails (1) rather than end (4), so
// that no caller takes a damaged index for a shorter list. The count fits a
// position: the tree refuses counts its leaf file cannot hold.
int CFindAtt::Next(std::uint32_t nSteps, int nPartial)
{
    if (nSteps == 0)
        return CADB::kOk;
    const std::int64_t nLast = static_cast<std::int64_t>(m_nCount) - 1;
    try {
        if (m_nPosition == nLast) {
            if (m_nCount != 0 && !m_pTree->IsLastEntry(&m_cursor))
                return CADB::kFailed;
            return CADB::kEndOfWalk;
        }
        CBPTree::Cursor cursor = m_cursor;
        const int nResult = m_pTree->Next(&cursor, nSteps, nPartial);
        // Short of the steps asked for, the end is real only past the count.
        if (nResult == CBPTree::kEndOfWalk &&
            static_cast<std::int64_t>(m_nPosition) + nSteps <= nLast)
            return CADB::kFailed;
        if (nResult != CADB::kOk)
            return nResult;
        const std::int64_t nPosition =
            std::min<std::int64_t>(static_cast<std::int64_t>(m_nPosition) + nSteps, nLast);
        // A walk of several steps may have stopped early at the end of the chain;
        // where it stands must then be where the count says the list ends.
        if (nSteps > 1 && m_pTree->IsLastEntry(&cursor) != (nPosition == nLast))
            return CADB::kFailed;
        m_cursor = cursor;
        m_nPosition = static_cast<std::int32_t>(nPosition);
        return CADB::kOk;
    } catch (...) {
        return CADB::kFailed;
    }
}

int CFindAtt::Prev(std::uint32_t nSteps, int nPartial)
{
    if (nSteps == 0)
        return CADB::kOk;
    // Also covers an empty index: there is no entry to step back from.
    if (m_nPosition <= 0)
        return CADB::kEndOfWalk;
    try {
        CBPTree::Cursor cursor = m_cursor;
        const int nResult = m_pTree->Prev(&cursor, nSteps, nPartial);
        // Short of steps the position says are there: the chain began too late.
        if (nResult == CBPTree::kEndOfWalk && static_cast<std::int64_t>(nSteps) <= m_nPosition)
            return CADB::kFailed;
        if (nResult != CADB::kOk)
            return nResult;
        m_cursor = cursor;
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
