#include "adbtool/adb_summary.h"

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/key_order.h"
#include "engine/database/adb_impl.h"

namespace velk {

SDatabaseSummary SummarizeDatabase(CADB& db)
{
    CADBImpl* pImpl = db.GetImpl();
    if (!pImpl->IsOpen())
        ThrowFault();
    SDatabaseSummary summary;
    CRecordFile& records = pImpl->m_attRecords;
    summary.nHighestId = records.GetRecordCount();
    for (std::uint32_t nId = 1; nId <= summary.nHighestId; ++nId) {
        if (!records.IsAllocated(nId)) {
            ++summary.nFreed;
            continue;
        }
        try {
            const unsigned char* pRecord = static_cast<const unsigned char*>(records.Get(nId, 0));
            const std::uint32_t nState = GetU32LE(pRecord + kAttStateOffset);
            records.Release(const_cast<unsigned char*>(pRecord));
            if (nState == kAttStateMerged) {
                ++summary.nForwarders;
                continue;
            }
            CBPTree list;
            list.Open(pImpl->m_pContext, pImpl->FileListPath(nId).c_str(), 0,
                      kGuidBinaryAscending, nullptr);
            summary.nFileEntries += list.GetCount();
            list.Close();
            ++summary.nLive;
        } catch (const CFault&) {
            ++summary.nUnreadable;
        }
    }
    return summary;
}

std::vector<std::uint32_t> NextAttributeIds(CADB& db, std::uint32_t nCount)
{
    CADBImpl* pImpl = db.GetImpl();
    if (!pImpl->IsOpen())
        ThrowFault();
    const CRecordFile& records = pImpl->m_attRecords;
    const std::vector<std::uint32_t>& vFree = records.GetFreeIds();
    std::vector<std::uint32_t> vIds;
    for (auto it = vFree.rbegin(); it != vFree.rend() && vIds.size() < nCount; ++it)
        vIds.push_back(*it);
    for (std::uint32_t nId = records.GetRecordCount(); vIds.size() < nCount;)
        vIds.push_back(++nId);
    return vIds;
}

}  // namespace velk
