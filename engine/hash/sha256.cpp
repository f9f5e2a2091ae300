#include "engine/hash/sha256.h"

#include <cstring>

#include "engine/base/result.h"

namespace velk {

namespace {

inline std::uint32_t RotateRight(std::uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

inline std::uint32_t GetU32BE(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

inline void PutU32BE(unsigned char* p, std::uint32_t x)
{
    p[0] = static_cast<unsigned char>(x >> 24);
    p[1] = static_cast<unsigned char>(x >> 16);
    p[2] = static_cast<unsigned char>(x >> 8);
    p[3] = static_cast<unsigned char>(x);
}

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
const std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

}  // namespace

CSHA256::CSHA256()
{
    Reset();
}

void CSHA256::Reset()
{
    // The first 32 bits of the fractional parts of the square roots of the first 8 primes.
    m_anState[0] = 0x6a09e667;
    m_anState[1] = 0xbb67ae85;
    m_anState[2] = 0x3c6ef372;
    m_anState[3] = 0xa54ff53a;
    m_anState[4] = 0x510e527f;
    m_anState[5] = 0x9b05688c;
    m_anState[6] = 0x1f83d9ab;
    m_anState[7] = 0x5be0cd19;
    m_cbTotal = 0;
    m_cbBlock = 0;
    m_bFinished = false;
    std::memset(m_abBlock, 0, sizeof(m_abBlock));
    std::memset(m_abDigest, 0, sizeof(m_abDigest));
}

int CSHA256::GetDigestSize()
{
    return kDigestSize;
}

void CSHA256::Compress(std::uint32_t* pState, const unsigned char* pBlock)
{
    std::uint32_t W[64];
    for (int t = 0; t < 16; ++t)
        W[t] = GetU32BE(pBlock + 4 * t);
    for (int t = 16; t < 64; ++t) {
        const std::uint32_t s0 = RotateRight(W[t - 15], 7) ^ RotateRight(W[t - 15], 18) ^ (W[t - 15] >> 3);
        const std::uint32_t s1 = RotateRight(W[t - 2], 17) ^ RotateRight(W[t - 2], 19) ^ (W[t - 2] >> 10);
        W[t] = W[t - 16] + s0 + W[t - 7] + s1;
    }
    std::uint32_t a = pState[0], b = pState[1], c = pState[2], d = pState[3];
    std::uint32_t e = pState[4], f = pState[5], g = pState[6], h = pState[7];
    for (int t = 0; t < 64; ++t) {
        const std::uint32_t S1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const std::uint32_t ch = (e & f) ^ (~e & g);
        const std::uint32_t T1 = h + S1 + ch + kRound[t] + W[t];
        const std::uint32_t S0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t T2 = S0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + T1;
        d = c;
        c = b;
        b = a;
        a = T1 + T2;
    }
    pState[0] += a;
    pState[1] += b;
    pState[2] += c;
    pState[3] += d;
    pState[4] += e;
    pState[5] += f;
    pState[6] += g;
    pState[7] += h;
}

int CSHA256::Update(const void* pData, std::uint32_t cb)
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
void CSHA256::Finish()
{
    std::uint32_t anState[8];
    std::memcpy(anState, m_anState, sizeof(anState));
    unsigned char abTail[2 * kBlockSize] = {};
    std::memcpy(abTail, m_abBlock, m_cbBlock);
    abTail[m_cbBlock] = 0x80;
    const std::uint32_t cbTail = m_cbBlock + 1 + 8 <= kBlockSize ? kBlockSize : 2 * kBlockSize;
    const std::uint64_t nBits = m_cbTotal * 8;
    PutU32BE(abTail + cbTail - 8, static_cast<std::uint32_t>(nBits >> 32));
    PutU32BE(abTail + cbTail - 4, static_cast<std::uint32_t>(nBits));
    for (std::uint32_t i = 0; i < cbTail; i += kBlockSize)
        Compress(anState, abTail + i);
    for (int i = 0; i < 8; ++i)
        PutU32BE(m_abDigest + 4 * i, anState[i]);
    m_bFinished = true;
}

int CSHA256::GetDigest(void* pBuffer, std::uint32_t cbBuffer)
{
    if (pBuffer == nullptr || cbBuffer == 0)
        return kInvalidArgument;
    if (!m_bFinished)
        Finish();
    std::memcpy(pBuffer, m_abDigest, cbBuffer < kDigestSize ? cbBuffer : kDigestSize);
    return kOk;
}

}  // namespace velk
