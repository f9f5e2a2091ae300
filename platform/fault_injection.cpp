// The fault injector, the same on both targets; each backend's fault_injection.cpp
// adds EndProcessNow.
#include "platform/fault_injection.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace platform {

CFaultInjector* g_pFaultInjector = nullptr;

void SetFaultInjector(CFaultInjector* pInjector)
{
    g_pFaultInjector = pInjector;
}

bool ArmFaults(const char* szText)
{
    static CFaultInjector s_injector;
    if (!s_injector.Arm(szText))
        return false;
    SetFaultInjector(&s_injector);
    return true;
}

void CFaultInjector::FailWrite(std::uint32_t nCount, Action action)
{
    m_nWriteAt = m_nWrites.load() + nCount;
    m_writeAction = action;
}

void CFaultInjector::FailFlush(std::uint32_t nCount, Action action)
{
    m_nFlushAt = m_nFlushes.load() + nCount;
    m_flushAction = action;
}

void CFaultInjector::FailRead(std::uint32_t nCount, Action action)
{
    m_nReadAt = m_nReads.load() + nCount;
    m_readAction = action;
}

void CFaultInjector::ExitAt(const char* szPoint, std::uint32_t nCount)
{
    m_strPoint = szPoint;
    m_nPointHits = 0;
    m_nPointAt = nCount;
}

namespace {

bool ParseCount(const char* pBegin, const char* pEnd, std::uint32_t* pnCount)
{
    if (pBegin == pEnd || pEnd - pBegin > 9)
        return false;
    std::uint32_t n = 0;
    for (const char* p = pBegin; p != pEnd; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        n = n * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    *pnCount = n;
    return n != 0;
}

// Parses "fail-move=n" and its kin into *pPlan (one entry per kind of name
// change); false when the item is none of them or malformed.
bool ParseNameOp(const char* p, const char* pEnd,
                 std::pair<std::uint32_t, CFaultInjector::Action> (*pPlan)[CFaultInjector::kNameOpKinds],
                 bool* pbMalformed)
{
    static const struct {
        const char* szKey;
        CFaultInjector::NameOp op;
        CFaultInjector::Action action;
    } kKeys[] = {
        {"fail-move=", CFaultInjector::kMoveOp, CFaultInjector::kFail},
        {"exit-move=", CFaultInjector::kMoveOp, CFaultInjector::kExit},
        {"fail-remove=", CFaultInjector::kRemoveOp, CFaultInjector::kFail},
        {"exit-remove=", CFaultInjector::kRemoveOp, CFaultInjector::kExit},
        {"fail-mkdir=", CFaultInjector::kDirCreateOp, CFaultInjector::kFail},
        {"exit-mkdir=", CFaultInjector::kDirCreateOp, CFaultInjector::kExit},
    };
    for (const auto& key : kKeys) {
        const std::size_t cch = std::strlen(key.szKey);
        if (static_cast<std::size_t>(pEnd - p) > cch && std::strncmp(p, key.szKey, cch) == 0) {
            std::uint32_t n = 0;
            if (!ParseCount(p + cch, pEnd, &n))
                *pbMalformed = true;
            (*pPlan)[key.op] = {n, key.action};
            return true;
        }
    }
    return false;
}

}  // namespace

void CFaultInjector::FailNameOp(NameOp op, std::uint32_t nCount, Action action)
{
    m_anNameOpAt[op] = m_anNameOps[op].load() + nCount;
    m_aNameOpAction[op] = action;
}

CFaultInjector::Action CFaultInjector::BeforeNameOp(NameOp op)
{
    return Arrive(&m_anNameOps[op], m_anNameOpAt[op], m_aNameOpAction[op]);
}

CFaultInjector::Action CFaultInjector::Arrive(std::atomic<std::uint32_t>* pnCalls,
                                              std::uint32_t nArmedAt, Action action)
{
    const std::uint32_t n = ++*pnCalls;
    if (action == kNone || n != nArmedAt)
        return kNone;
    if (action == kExit)
        EndProcessNow();
    return action;
}

bool CFaultInjector::Arm(const char* szText)
{
    if (szText == nullptr)
        return false;
    // What each kind of call is armed with: writes, flushes, reads.
    enum { kWrites, kFlushes, kReads, kCallKinds };
    std::pair<std::uint32_t, Action> aCalls[kCallKinds] = {};
    std::uint32_t nPoint = 0;
    std::string strPoint;
    std::pair<std::uint32_t, Action> aNameOps[kNameOpKinds] = {};
    static const struct {
        const char* szKey;
        int nKind;
        Action action;
    } kKeys[] = {
        {"fail-write=", kWrites, kFail},   {"short-write=", kWrites, kShort},
        {"exit-write=", kWrites, kExit},   {"torn-write=", kWrites, kTorn},
        {"fail-flush=", kFlushes, kFail},  {"exit-flush=", kFlushes, kExit},
        {"fail-read=", kReads, kFail},
    };
    const char* p = szText;
    while (*p != '\0') {
        const char* pEnd = std::strchr(p, ',');
        if (pEnd == nullptr)
            pEnd = p + std::strlen(p);
        bool bKnown = false;
        for (const auto& key : kKeys) {
            const std::size_t cch = std::strlen(key.szKey);
            if (static_cast<std::size_t>(pEnd - p) > cch && std::strncmp(p, key.szKey, cch) == 0) {
                std::uint32_t n = 0;
                if (!ParseCount(p + cch, pEnd, &n))
                    return false;
                aCalls[key.nKind] = {n, key.action};
                bKnown = true;
                break;
            }
        }
        static const char kExitAt[] = "exit-at=";
        const std::size_t cchExitAt = sizeof(kExitAt) - 1;
        if (!bKnown && static_cast<std::size_t>(pEnd - p) > cchExitAt &&
            std::strncmp(p, kExitAt, cchExitAt) == 0) {
            const char* pName = p + cchExitAt;
            const char* pColon = pName;
            while (pColon != pEnd && *pColon != ':')
                ++pColon;
            if (pColon == pName)
                return false;
            strPoint.assign(pName, pColon);
            nPoint = 1;
            if (pColon != pEnd && !ParseCount(pColon + 1, pEnd, &nPoint))
                return false;
            bKnown = true;
        }
        bool bMalformed = false;
        if (!bKnown && ParseNameOp(p, pEnd, &aNameOps, &bMalformed))
            bKnown = !bMalformed;
        if (!bKnown)
            return false;
        p = *pEnd == ',' ? pEnd + 1 : pEnd;
    }
    if (aCalls[kWrites].second != kNone)
        FailWrite(aCalls[kWrites].first, aCalls[kWrites].second);
    if (aCalls[kFlushes].second != kNone)
        FailFlush(aCalls[kFlushes].first, aCalls[kFlushes].second);
    if (aCalls[kReads].second != kNone)
        FailRead(aCalls[kReads].first, aCalls[kReads].second);
    if (!strPoint.empty())
        ExitAt(strPoint.c_str(), nPoint);
    for (int op = 0; op < kNameOpKinds; ++op)
        if (aNameOps[op].second != kNone)
            FailNameOp(static_cast<NameOp>(op), aNameOps[op].first, aNameOps[op].second);
    return true;
}

CFaultInjector::Action CFaultInjector::BeforeWrite(std::uint32_t* pcbCount)
{
    const std::uint32_t n = ++m_nWrites;
    if (m_writeAction == kNone || n != m_nWriteAt)
        return kNone;
    switch (m_writeAction) {
    case kExit:
        EndProcessNow();
    case kShort:
    case kTorn:
        *pcbCount /= 2;
        break;
    default:
        break;
    }
    return m_writeAction;
}

CFaultInjector::Action CFaultInjector::BeforeFlush()
{
    return Arrive(&m_nFlushes, m_nFlushAt, m_flushAction);
}

CFaultInjector::Action CFaultInjector::BeforeRead()
{
    return Arrive(&m_nReads, m_nReadAt, m_readAction);
}

void CFaultInjector::AtPoint(const char* szPoint)
{
    if (m_nPointAt == 0 || m_strPoint != szPoint)
        return;
    if (++m_nPointHits == m_nPointAt)
        EndProcessNow();
}

}  // namespace platform
