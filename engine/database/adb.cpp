#include "engine/database/adb.h"

#include <new>

#include "engine/base/fault.h"
#include "engine/database/adb_impl.h"
#include "engine/database/find_att.h"

namespace velk {

CADB::CADB() : m_pImpl(new CADBImpl) {}

CADB::~CADB()
{
    delete m_pImpl;
}

int CADB::Associate(const char* szDirectory, const void* pPathOrder, PFNCOMPAREKEYS pfnPathCompare)
{
    try {
        return m_pImpl->Associate(szDirectory, pPathOrder, pfnPathCompare);
    } catch (...) {
        return kFailed;
    }
}

void CADB::Disassociate()
{
    m_pImpl->Disassociate();
}

std::uint32_t CADB::GetParam1()
{
    return m_pImpl->m_nParam1;
}

std::uint32_t CADB::GetCommentSize()
{
    return m_pImpl->m_nCommentSize;
}

std::uint32_t CADB::GetExtraSize()
{
    return m_pImpl->m_nExtraSize;
}

std::uint32_t CADB::GetHashSize()
{
    return m_pImpl->m_nHashSize;
}

std::uint32_t CADB::GetAttNameSize()
{
    return m_pImpl->m_nAttNameSize;
}

int CADB::Open(int nWrite, std::uint32_t nTimeout)
{
    return m_pImpl->Open(nWrite, nTimeout);
}

void CADB::Close(int nCommit)
{
    m_pImpl->Close(nCommit);
}

int CADB::AddAtt(const char* szName, std::uint32_t* pnId)
{
    return m_pImpl->AddAtt(szName, pnId);
}

CADB::IAttInfo* CADB::GetAttInfo(std::uint32_t nId, int nWritable)
{
    return m_pImpl->GetAttInfo(nId, nWritable);
}

void CADB::ReleaseAttInfo(IAttInfo* pInfo)
{
    delete pInfo;
}

CADB::IFindAtt* CADB::CreateFindAtt()
{
    return m_pImpl->CreateFindAtt();
}

void CADB::ReleaseFind(IFind* pFind)
{
    delete pFind;
}

CADB::IFindAtt* CADBImpl::CreateFindAtt()
{
    if (!IsOpen())
        ThrowFault();
    return new (std::nothrow) CFindAtt(this);
}

}  // namespace velk
