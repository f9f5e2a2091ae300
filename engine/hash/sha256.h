// SHA-256 message digest, as FIPS 180-2 defines it: 32-byte digests, words stored
// big-endian. Implements CHash::IAlgorithm with a running digest: the digest
// can be read at any time and more data fed after it.
#pragma once

#include <cstdint>

#include "engine/hash/hash.h"

namespace velk {

class CSHA256 : public CHash::IAlgorithm {
public:
    static constexpr std::uint32_t kDigestSize = 32;
    static constexpr std::uint32_t kBlockSize = 64;

    CSHA256();

    int Update(const void* pData, std::uint32_t cb) override;
    int GetDigestSize() override;
    int GetDigest(void* pBuffer, std::uint32_t cbBuffer) override;
    void Reset() override;

private:
    static void Compress(std::uint32_t* pState, const unsigned char* pBlock);
    void Finish();

    std::uint32_t m_anState[8];
    // Bytes fed since Reset. 64 bits wide so that a message past 4 GiB still gets
    // its true length in the padding.
    std::uint64_t m_cbTotal;
    unsigned char m_abBlock[kBlockSize];
    std::uint32_t m_cbBlock;
    bool m_bFinished;
    unsigned char m_abDigest[kDigestSize];
};

}  // namespace velk
