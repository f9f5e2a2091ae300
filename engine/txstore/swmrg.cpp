#include "engine/txstore/swmrg.h"

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/hash/hash.h"
#include "platform/interrupt.h"

namespace velk {
namespace {

const std::uint32_t kSliceMs = 100;
const std::uint32_t kForever = 0xFFFFFFFFu;
const std::uint32_t kStateSize = 12;

bool SameState(const CSWMRG::State& a, const CSWMRG::State& b)
{
    return a.nWaitingReaders == b.nWaitingReaders && a.nWaitingWriters == b.nWaitingWriters &&
           a.nActive == b.nActive;
}

// True when the state records the grant that a unit of this kind stands for.
bool StateAgrees(const CSWMRG::State& s, bool bWriter)
{
    return bWriter ? s.nActive == -1 : s.nActive > 0;
}

// Takes away every unit left in a semaphore.
void Drain(platform::CNamedSemaphore* pSemaphore)
{
    while (pSemaphore->Wait(0) == platform::kWaitSignaled) {
    }
}

}  // namespace

// Owns m_hmtxState for its scope. Read copies the state out; Write copies it in and
// gives the mutex up. A scope left without Write (an exception, or nothing to
// change) gives the mutex up with the state untouched.
class CSWMRG::CStateLock {
public:
    CStateLock(platform::CNamedMutex* pMutex, platform::CNamedSharedMemory* pMemory)
        : m_pMutex(pMutex), m_pMemory(pMemory)
    {
        // An abandoned mutex is owned all the same: its owner died, and the state
        // is as it left it.
        if (m_pMutex->Wait() == platform::kWaitFailed)
            ThrowFault();
        m_bOwned = true;
    }
    ~CStateLock() { Unlock(); }
    CStateLock(const CStateLock&) = delete;
    CStateLock& operator=(const CStateLock&) = delete;

    State Read()
    {
        unsigned char ab[kStateSize];
        if (m_pMemory->Read(ab, kStateSize) != 0)
            ThrowFault();
        State s;
        s.nWaitingReaders = GetU32LE(ab);
        s.nWaitingWriters = GetU32LE(ab + 4);
        s.nActive = static_cast<std::int32_t>(GetU32LE(ab + 8));
        return s;
    }

    void Write(const State& s)
    {
        unsigned char ab[kStateSize];
        PutU32LE(ab, s.nWaitingReaders);
        PutU32LE(ab + 4, s.nWaitingWriters);
        PutU32LE(ab + 8, static_cast<std::uint32_t>(s.nActive));
        const int e = m_pMemory->Write(ab, kStateSize);
        Unlock();
        if (e != 0)
            ThrowFault();
    }

    void Unlock()
    {
        if (m_bOwned) {
            m_bOwned = false;
            m_pMutex->Release();
        }
    }

private:
    platform::CNamedMutex* m_pMutex;
    platform::CNamedSharedMemory* m_pMemory;
    bool m_bOwned = false;
};

std::string CSWMRG::ObjectName(const char* szGuard, const char* szMember)
{
    const std::string text = std::string("CSWMRG") + szGuard + szMember;
    char szDigest[65];
    if (CHash::DigestString(text.c_str(), CHash::kSHA256, szDigest, sizeof(szDigest), 0) != 0)
        ThrowFault();
    return szDigest;
}

CSWMRG::CSWMRG(const char* szName)
{
    // A throw leaves through the members' destructors, which close what is open.
    if (szName == nullptr)
        ThrowFault();
    if (m_hmtxState.Create(ObjectName(szName, "m_hmtxState").c_str(), false, nullptr) != 0)
        ThrowFault();
    {
        CStateLock lock(&m_hmtxState, &m_hfmState);
        bool bExisted = false;
        if (m_hfmState.Create(ObjectName(szName, "m_hfmState").c_str(), kStateSize, &bExisted) != 0)
            ThrowFault();
        if (!bExisted)
            lock.Write(State{0, 0, 0});
    }
    if (m_hsemReaders.Create(ObjectName(szName, "m_hsemReaders").c_str(), 0, 0x7FFFFFFF, nullptr) != 0 ||
        m_hsemWriters.Create(ObjectName(szName, "m_hsemWriters").c_str(), 0, 1, nullptr) != 0)
        ThrowFault();
    m_strAccessName = ObjectName(szName, "m_hmtxAccess");
}

CSWMRG::~CSWMRG()
{
    try {
        Done();
    } catch (...) {
    }
}

int CSWMRG::WaitToRead(std::uint32_t nTimeout)
{
    return Wait(false, nTimeout);
}

int CSWMRG::WaitToWrite(std::uint32_t nTimeout)
{
    return Wait(true, nTimeout);
}

void CSWMRG::OpenAccess()
{
    if (m_hmtxAccess.Create(m_strAccessName.c_str(), true, nullptr) != 0)
        ThrowFault();
}

int CSWMRG::Wait(bool bWriter, std::uint32_t nTimeout)
{
    if (m_hmtxAccess.IsOpen())
        ThrowFault();  // one access at a time per object
    State previous;
    {
        CStateLock lock(&m_hmtxState, &m_hfmState);
        State s = lock.Read();
        const bool bMustWait = bWriter ? s.nActive != 0 : (s.nWaitingWriters > 0 || s.nActive < 0);
        if (!bMustWait) {
            // No grant can be pending for a unit now (for readers: none when the
            // guard is free), so any unit still there was left for a killed waiter.
            Drain(&m_hsemWriters);
            if (bWriter || s.nActive == 0)
                Drain(&m_hsemReaders);
            s.nActive = bWriter ? -1 : s.nActive + 1;
            OpenAccess();
            try {
                lock.Write(s);
            } catch (...) {
                m_hmtxAccess.Close();
                throw;
            }
            return 1;
        }
        if (bWriter)
            ++s.nWaitingWriters;
        else
            ++s.nWaitingReaders;
        lock.Write(s);
        previous = s;
    }

    platform::CInterruptDeferral deferral;
    platform::CNamedSemaphore* pSemaphore = bWriter ? &m_hsemWriters : &m_hsemReaders;
    std::uint32_t nLeft = nTimeout;
    for (;;) {
        if (platform::IsInterruptPending()) {
            CStateLock lock(&m_hmtxState, &m_hfmState);
            State s = lock.Read();
            GiveUp(&lock, &s, bWriter, false);
            return 0;  // the deferral's end stops the process
        }
        const std::uint32_t nSlice = nLeft < kSliceMs ? nLeft : kSliceMs;
        if (nLeft != kForever)
            nLeft -= nSlice;
        const platform::WaitResult r = pSemaphore->Wait(nSlice);
        if (r == platform::kWaitSignaled) {
            CStateLock lock(&m_hmtxState, &m_hfmState);
            State s = lock.Read();
            if (StateAgrees(s, bWriter)) {
                try {
                    OpenAccess();
                } catch (...) {
                    ReleaseHolding(&s);
                    lock.Write(s);
                    throw;
                }
                lock.Unlock();
                break;
            }
            // A unit meant for a killed waiter: still counted, wait on. Such a
            // unit is there at once, so the slice is given back.
            if (nLeft != kForever)
                nLeft += nSlice;
            continue;
        }
        if (r == platform::kWaitFailed || nLeft == 0) {
            CStateLock lock(&m_hmtxState, &m_hfmState);
            State s = lock.Read();
            if (GiveUp(&lock, &s, bWriter, r != platform::kWaitFailed))
                break;
            return 0;
        }
        if (r == platform::kWaitTimedOut)
            CheckHolders(bWriter, &previous);
    }
    if (platform::IsInterruptPending()) {
        Done();
        return 0;
    }
    return 1;
}

// Takes this waiter out of the state, under the lock the caller holds, and writes
// the state. A hand-over made in the same instant is found by one more try of the
// semaphore: it is kept (returns true, access open) when bAcceptGrant, else handed
// on.
bool CSWMRG::GiveUp(CStateLock* pLock, State* pState, bool bWriter, bool bAcceptGrant)
{
    State& s = *pState;
    platform::CNamedSemaphore* pSemaphore = bWriter ? &m_hsemWriters : &m_hsemReaders;
    if (pSemaphore->Wait(0) == platform::kWaitSignaled && StateAgrees(s, bWriter)) {
        if (bAcceptGrant) {
            try {
                OpenAccess();
            } catch (...) {
                ReleaseHolding(pState);
                pLock->Write(s);
                throw;
            }
            pLock->Unlock();
            return true;
        }
        ReleaseHolding(pState);
        pLock->Write(s);
        return false;
    }
    // The counts never go below 0, even if a killed process left them wrong.
    if (bWriter) {
        if (s.nWaitingWriters > 0)
            --s.nWaitingWriters;
        // Readers that queued behind this writer need not wait for it any longer.
        if (s.nActive > 0 && s.nWaitingWriters == 0 && s.nWaitingReaders > 0) {
            if (m_hsemReaders.Release(s.nWaitingReaders, nullptr) != 0)
                ThrowFault();
            s.nActive += static_cast<std::int32_t>(s.nWaitingReaders);
            s.nWaitingReaders = 0;
        }
    } else if (s.nWaitingReaders > 0) {
        --s.nWaitingReaders;
    }
    pLock->Write(s);
    return false;
}

// Between slices: when no process holds the access mutex and nothing has been
// handed over since the previous slice, every holding in the state is left by a
// dead process, and the guard is handed on.
void CSWMRG::CheckHolders(bool bWriter, State* pPrevious)
{
    CStateLock lock(&m_hmtxState, &m_hfmState);
    State s = lock.Read();
    platform::CNamedMutex probe;
    bool bExisted = false;
    if (probe.Create(m_strAccessName.c_str(), true, &bExisted) != 0) {
        GiveUp(&lock, &s, bWriter, false);
        ThrowFault();
    }
    if (bExisted || !SameState(s, *pPrevious)) {
        // Holders alive, or a hand-over whose grantee may not have opened its
        // access mutex yet: look again next slice.
        if (!bExisted)
            probe.Release();
        probe.Close();
        *pPrevious = s;
        return;
    }
    probe.Release();
    probe.Close();
    s.nActive = 0;
    HandOn(&s);
    lock.Write(s);
    *pPrevious = s;
}

void CSWMRG::ReleaseHolding(State* pState)
{
    State& s = *pState;
    if (s.nActive > 0)
        --s.nActive;
    else
        s.nActive = 0;
    if (s.nActive == 0)
        HandOn(pState);
}

// The guard is free: gives it to a waiting writer, else to every waiting reader.
void CSWMRG::HandOn(State* pState)
{
    State& s = *pState;
    // Nobody holds the guard, so no unit can be pending for a grantee: whatever is
    // left was meant for a killed waiter and would let the next waiter in wrongly.
    Drain(&m_hsemWriters);
    Drain(&m_hsemReaders);
    if (s.nWaitingWriters > 0) {
        if (m_hsemWriters.Release(1, nullptr) != 0)
            ThrowFault();
        s.nActive = -1;
        --s.nWaitingWriters;
    } else if (s.nWaitingReaders > 0) {
        if (m_hsemReaders.Release(s.nWaitingReaders, nullptr) != 0)
            ThrowFault();
        s.nActive = static_cast<std::int32_t>(s.nWaitingReaders);
        s.nWaitingReaders = 0;
    }
}

void CSWMRG::Done()
{
    if (!m_hmtxAccess.IsOpen())
        return;
    // The access mutex goes after the state is written (or the write failed): a
    // holder check must never see this holding recorded without it.
    struct CCloseAccess {
        platform::CNamedMutex* p;
        ~CCloseAccess() { p->Close(); }
    } closeAccess{&m_hmtxAccess};
    CStateLock lock(&m_hmtxState, &m_hfmState);
    State s = lock.Read();
    ReleaseHolding(&s);
    lock.Write(s);
}

}  // namespace velk
