#include "engine/txstore/transaction.h"

#include <memory>
#include <string>

#include "engine/base/fault.h"
#include "engine/base/result.h"
#include "engine/path/path.h"
#include "engine/txstore/dustbox.h"
#include "engine/txstore/store_names.h"
#include "engine/txstore/swmrg.h"
#include "engine/txstore/t_context.h"
#include "platform/file.h"

namespace velk {

struct CTransaction::Impl {
    std::unique_ptr<CSWMRG> pGuard;  // none while the store is not open
    CPath pathDirectory;
    std::unique_ptr<CTContext> pContext;

    std::string Dustbox() const { return pathDirectory.Join(txdir::kDustbox).GetString(); }
    bool HasLog() const { return platform::PathExists(pathDirectory.Join(txdir::kLog).GetString()); }

    // Finishes a transaction a crashed process left behind; the guard is held for
    // writing.
    void Recover()
    {
        if (!HasLog())
            return;
        if (platform::PathExists(pathDirectory.Join(txdir::kLog).Join(txdir::kCommit).GetString()))
            RollForward(pathDirectory.GetString(), true);
        else
            RollBack(pathDirectory.GetString());
    }

    // Releases the guard; a failure to do so is not the caller's business.
    void Release()
    {
        try {
            pGuard->Done();
        } catch (...) {
        }
    }
};

CTransaction::CTransaction() : m_pImpl(new Impl) {}

CTransaction::~CTransaction()
{
    Close();
    delete m_pImpl;
}

int CTransaction::Open(const char* szDirectory)
{
    Close();
    if (szDirectory == nullptr)
        return kInvalidArgument;
    CPath directory;
    if (directory.Set(szDirectory) != CPath::kOk || directory.IsEmpty())
        return kFailed;  // no file of the store could be named under it
    bool bRegistered = false;
    try {
        m_pImpl->pGuard.reset(new CSWMRG((std::string(szDirectory) + "CTransaction").c_str()));
        m_pImpl->pathDirectory = directory;
        CDustbox::Instance().Register(m_pImpl->Dustbox().c_str());
        bRegistered = true;
        if (m_pImpl->pGuard->WaitToWrite(0)) {
            try {
                // A dustbox that is a link is a damaged store: never emptied.
                unsigned nAttributes = 0;
                if (platform::FileGetAttributes(m_pImpl->Dustbox().c_str(), &nAttributes) !=
                        platform::kFileOk ||
                    (nAttributes & platform::kFileAttrDirectory) == 0 ||
                    (nAttributes & platform::kFileAttrReparsePoint) != 0)
                    ThrowFault();
                m_pImpl->Recover();
            } catch (...) {
                m_pImpl->Release();
                throw;
            }
            m_pImpl->pGuard->Done();
        }
        return kOk;
    } catch (...) {
        if (bRegistered)
            CDustbox::Instance().Unregister(m_pImpl->Dustbox().c_str());
        m_pImpl->pGuard.reset();
        m_pImpl->pathDirectory = CPath();
        return kFailed;
    }
}

CTransaction::IContext* CTransaction::Begin(int nWrite, std::uint32_t nTimeout)
{
    Impl& t = *m_pImpl;
    if (!t.pGuard || t.pContext)
        return nullptr;
    auto take = [&](bool bWrite, std::uint32_t nWait) {
        return bWrite ? t.pGuard->WaitToWrite(nWait) : t.pGuard->WaitToRead(nWait);
    };
    if (!take(nWrite != 0, nTimeout))
        return nullptr;
    if (t.HasLog()) {
        bool bRecover = true;
        if (!nWrite) {
            t.pGuard->Done();
            bRecover = take(true, 0) != 0;
            if (!bRecover && !take(false, nTimeout))
                return nullptr;
        }
        if (bRecover) {
            try {
                t.Recover();
            } catch (...) {
                t.Release();
                throw;
            }
            t.pGuard->Done();
            if (!take(nWrite != 0, nTimeout))
                return nullptr;
        }
    }
    try {
        t.pContext.reset(new CTContext(t.pathDirectory, nWrite, &DestroyObject));
    } catch (...) {
        t.Release();
        return nullptr;
    }
    return t.pContext.get();
}

void CTransaction::End(int nCommit)
{
    Impl& t = *m_pImpl;
    if (!t.pContext)
        return;
    try {
        if (t.pContext->IsWritable()) {
            t.pContext->CloseKeptFiles();
            if (nCommit && !t.pContext->HasIncompleteLog()) {
                const LogFlushState known = t.pContext->FlushState();
                RollForward(t.pathDirectory.GetString(), true, &known);
            } else {
                RollBack(t.pathDirectory.GetString());
                if (nCommit)
                    ThrowFault();  // a log that could not be completed never commits
            }
        }
    } catch (...) {
        t.pContext.reset();
        t.Release();
        throw;
    }
    t.pContext.reset();
    t.pGuard->Done();
}

void CTransaction::Close()
{
    Impl& t = *m_pImpl;
    if (!t.pGuard)
        return;
    if (t.pContext) {
        try {
            End(0);
        } catch (...) {
        }
    }
    CDustbox::Instance().Unregister(t.Dustbox().c_str());
    t.pGuard.reset();
    t.pathDirectory = CPath();
}

}  // namespace velk
