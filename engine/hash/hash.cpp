#include "engine/hash/hash.h"

#include <cstring>
#include <new>

#include "engine/base/result.h"
#include "engine/hash/md5.h"
#include "engine/hash/sha256.h"

namespace velk {

namespace {
enum { kMaxDigestSize = 32 };
}  // namespace

void CHash::DestroyAlgorithm(IAlgorithm* pAlgorithm)
{
    delete pAlgorithm;
}

CHash::IAlgorithm* CHash::Create(int nCode)
{
    switch (nCode) {
    case kMD5:
        return new (std::nothrow) CMD5;
    case kSHA256:
        return new (std::nothrow) CSHA256;
    default:
        return nullptr;
    }
}

int CHash::ToHex(const void* pData, std::uint32_t cb, char* szOut, std::uint32_t cbOut,
                 int bLowercase)
{
    if (pData == nullptr || szOut == nullptr || cb == 0 || cbOut < 3)
        return kInvalidArgument;
    // n counts the characters written, NUL included; it is always odd, so a short
    // buffer holds whole bytes only.
    std::uint64_t n = 2 * std::uint64_t(cb) + 1;
    if (cbOut <= n)
        n = (cbOut % 2 == 0) ? cbOut - 1 : cbOut;
    const char* szDigits = bLowercase ? "0123456789abcdef" : "0123456789ABCDEF";
    const unsigned char* pBytes = static_cast<const unsigned char*>(pData);
    const std::uint64_t nBytes = (n - 1) / 2;
    for (std::uint64_t i = 0; i < nBytes; ++i) {
        szOut[2 * i] = szDigits[pBytes[i] >> 4];
        szOut[2 * i + 1] = szDigits[pBytes[i] & 0x0F];
    }
    szOut[n - 1] = '\0';
    return kOk;
}

int CHash::DigestData(const void* pData, std::uint32_t cb, int nCode, char* szOut,
                      std::uint32_t cbOut, int bLowercase)
{
    if (pData == nullptr && cb != 0)
        return kInvalidArgument;
    IAlgorithm* pRaw = Create(nCode);
    if (pRaw == nullptr)
        return kInvalidArgument;
    unsigned char abDigest[kMaxDigestSize];
    int nSize;
    try {
        // The shared pointer's control block may fail to allocate; it then
        // destroys the algorithm itself before the exception leaves.
        AlgorithmPtr pAlgorithm(pRaw, &CHash::DestroyAlgorithm);
        pAlgorithm->Update(pData, cb);
        nSize = pAlgorithm->GetDigestSize();
        pAlgorithm->GetDigest(abDigest, nSize);
    } catch (const std::bad_alloc&) {
        return kInvalidArgument;
    }
    return ToHex(abDigest, nSize, szOut, cbOut, bLowercase);
}

int CHash::DigestString(const char* szText, int nCode, char* szOut, std::uint32_t cbOut,
                        int bLowercase)
{
    if (szText == nullptr)
        return kInvalidArgument;
    const std::size_t cch = std::strlen(szText);
    if (cch > UINT32_MAX)
        return kInvalidArgument;  // would otherwise hash a truncated prefix
    return DigestData(szText, static_cast<std::uint32_t>(cch), nCode, szOut, cbOut, bLowercase);
}

}  // namespace velk
