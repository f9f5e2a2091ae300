#include "engine/hash/md5.h"

#include <cstring>

#include "engine/base/byte_order.h"
#include "engine/base/result.h"

namespace velk {

namespace {

inline std::uint32_t RotateLeft(std::uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

// T[i] = floor(2^32 * |sin(i + 1)|).
const std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

const int kShift[4][4] = { { 7, 12, 17, 22 }, { 5, 9, 14, 20 }, { 4, 11, 16, 23 }, { 6, 10, 15, 21 } };

}  // namespace

CMD5::CMD5()
{
    Reset();
}

void CMD5::Reset()
{
    m_anState[0] = 0x67452301;
    m_anState[1] = 0xefcdab89;
    m_anState[2] = 0x98badcfe;
    m_anState[3] = 0x10325476;
    m_cbTotal = 0;
    m_cbBlock = 0;
    m_bFinished = false;
    std::memset(m_abBlock, 0, sizeof(m_abBlock));
    std::memset(m_abDigest, 0, sizeof(m_abDigest));
}

int CMD5::GetDigestSize()
{
    return kDigestSize;
}

void CMD5::Compress(std::uint32_t* pState, const unsigned char* pBlock)
{
    std::uint32_t X[16];
    for (int i = 0; i < 16; ++i)
        X[i] = GetU32LE(pBlock + 4 * i);
    std::uint32_t a = pState[0], b = pState[1], c = pState[2], d = pState[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int k;
        switch (i / 16) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d;          k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d);      k = (7 * i) % 16; break;
        }
        const std::uint32_t t = d;
        d = c;
        c = b;
        b = b + RotateLeft(a + f + kSine[i] + X[k], kShift[i / 16][i % 4]);
        a = t;
    }
    pState[0] += a;
    pState[1] += b;
    pState[2] += c;
    pState[3] += d;
}

int CMD5::Update(const void* pData, std::uint32_t cb)
{
    if (pData == nullptr || cb == 0)
        return kInvalidArgument;
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    m_cbTotal += cb;
    m_bFinished = false;
    if (m_cbBlock != 0) {
        const std::uint32_t cbTake = cb < kBlockSize - m_cbBlock ? cb : kBlockSize - m_cbBlock;
        std::memcpy(m_abBlock + m_cbBlock, p, cbTake);
        m_cbBlock += cbTake;
        p += cbTake;
        cb -= cbTake;
        if (m_cbBlock < kBlockSize)
            return kOk;
        Compress(m_anState, m_abBlock);
        m_cbBlock = 0;
    }
    for (; cb >= kBlockSize; p += kBlockSize, cb -= kBlockSize)
        Compress(m_anState, p);
    std::memcpy(m_abBlock, p, cb);
    m_cbBlock = cb;
    return kOk;
}

// Pads a copy of the pending state, so that the running message can go on.
void CMD5::Finish()
{
    std::uint32_t anState[4];
    std::memcpy(anState, m_anState, sizeof(anState));
    unsigned char abTail[2 * kBlockSize] = {};
    std::memcpy(abTail, m_abBlock, m_cbBlock);
    abTail[m_cbBlock] = 0x80;
    const std::uint32_t cbTail = m_cbBlock + 1 + 8 <= kBlockSize ? kBlockSize : 2 * kBlockSize;
    const std::uint64_t nBits = m_cbTotal * 8;
    PutU64LE(abTail + cbTail - 8, nBits);
    for (std::uint32_t i = 0; i < cbTail; i += kBlockSize)
        Compress(anState, abTail + i);
    for (int i = 0; i < 4; ++i)
        PutU32LE(m_abDigest + 4 * i, anState[i]);
    m_bFinished = true;
}

int CMD5::GetDigest(void* pBuffer, std::uint32_t cbBuffer)
{
    if (pBuffer == nullptr || cbBuffer == 0)
        return kInvalidArgument;
    if (!m_bFinished)
        Finish();
    std::memcpy(pBuffer, m_abDigest, cbBuffer < kDigestSize ? cbBuffer : kDigestSize);
    return kOk;
}

}  // namespace velk
