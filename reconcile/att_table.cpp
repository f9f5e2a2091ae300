#include "reconcile/att_table.h"

#include "engine/base/fault.h"
#include "engine/txstore/cache_budget.h"
#include "platform/console.h"

namespace {

// The listing reads every name leaf and every attribute record once, so what the
// caches keep of it is never asked for again. Left at the process's bound, they
// would fill it with records that the table's entries lie between; freed when the
// database closes, that memory stays with the C heap, where the view's tree (built
// next, from the library heap) cannot use it. A small bound keeps what the walk
// itself comes back to while it moves on.
const std::size_t kListingCacheBytes = 1u << 20;

// Holds the process's cache bound at cbBound while it lives, never raising it.
class CLowerCacheBound {
public:
    explicit CLowerCacheBound(std::size_t cbBound)
        : m_cbBefore(velk::CCacheClient::GetBudgetBound())
    {
        if (cbBound < m_cbBefore)
            velk::CCacheClient::SetBudgetBound(cbBound);
    }
    ~CLowerCacheBound() { velk::CCacheClient::SetBudgetBound(m_cbBefore); }
    CLowerCacheBound(const CLowerCacheBound&) = delete;
    CLowerCacheBound& operator=(const CLowerCacheBound&) = delete;

private:
    const std::size_t m_cbBefore;
};

}  // namespace

void FillAttTable(velk::CADB* pDatabase, AttTable* pTable, bool bShowProgress)
{
    const CLowerCacheBound bound(kListingCacheBytes);
    velk::CADB::IFindAtt* pFind = pDatabase->CreateFindAtt();
    if (pFind == nullptr)
        velk::ThrowFault();
    try {
        if (pFind->GetCount() != 0) {
            int nMoved;
            do {
                if (bShowProgress)
                    platform::ConsoleWrite("*");
                velk::CADB::IAttInfo* pInfo = pFind->GetAttInfo();
                if (pInfo == nullptr)
                    velk::ThrowFault();
                char achName[256];
                std::uint32_t cbName, nCount, nId;
                try {
                    cbName = pInfo->GetName(achName, sizeof(achName));
                    nCount = pInfo->GetRefCount();
                    nId = pInfo->GetId();
                } catch (...) {
                    pFind->ReleaseAttInfo(pInfo);
                    throw;
                }
                pFind->ReleaseAttInfo(pInfo);
                // A name that does not fit was not copied: the buffer holds nothing.
                if (cbName == 0)
                    velk::ThrowFault();
                (*pTable)[achName] = std::make_pair(nId, static_cast<std::int32_t>(nCount));
                nMoved = pFind->Next(1, 1);
            } while (nMoved == 0);
            // Anything but the end of the walk is a failure of the index.
            if (nMoved != velk::CADB::kEndOfWalk)
                velk::ThrowFault();
        }
    } catch (...) {
        pDatabase->ReleaseFind(pFind);
        throw;
    }
    pDatabase->ReleaseFind(pFind);
}

std::string UnusableParameters(velk::CADB* pDatabase)
{
    const std::uint32_t nNameSize = pDatabase->GetAttNameSize();
    const std::uint32_t nParam1 = pDatabase->GetParam1();
    const std::uint32_t nHashSize = pDatabase->GetHashSize();
    const std::uint32_t nCommentSize = pDatabase->GetCommentSize();
    std::string why;
    if (nNameSize > 256)
        why += " name size " + std::to_string(nNameSize) + " (at most 256);";
    if (nParam1 > 261)
        why += " parameter 1 " + std::to_string(nParam1) + " (at most 261);";
    if (nHashSize != 16)
        why += " hash size " + std::to_string(nHashSize) + " (must be 16);";
    if (nCommentSize > 512)
        why += " comment size " + std::to_string(nCommentSize) + " (at most 512);";
    return why;
}
