#include "engine/hash/hash.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velk {
namespace {

// A message past 4 GiB, fed in pieces that each fit the 32-bit length, still
// carries its full bit length in the padding.
TEST(HashLong, MessagePastFourGibibytes)
{
    const std::vector<unsigned char> vZeros(1 << 20);
    struct Case { int nCode; const char* szExpected; };
    const Case kCases[] = {
        { 2, "4ca27e0aa2e7592739ca3de160d1c3a6" },
        { 4, "930fa067940ff8d9f427e3a116b7598503c70ce7380d66ff65f8de33d558f7f3" },
    };
    for (const Case& c : kCases) {
        CHash::AlgorithmPtr pAlgorithm(CHash::Create(c.nCode), &CHash::DestroyAlgorithm);
        ASSERT_TRUE(pAlgorithm);
        for (int i = 0; i < 4096; ++i)  // 2^32 bytes
            ASSERT_EQ(0, pAlgorithm->Update(vZeros.data(), static_cast<std::uint32_t>(vZeros.size())));
        ASSERT_EQ(0, pAlgorithm->Update(vZeros.data(), 3));
        unsigned char abDigest[32];
        ASSERT_EQ(0, pAlgorithm->GetDigest(abDigest, sizeof(abDigest)));
        char szHex[65];
        ASSERT_EQ(0, CHash::ToHex(abDigest, pAlgorithm->GetDigestSize(), szHex, sizeof(szHex), 1));
        EXPECT_STREQ(c.szExpected, szHex);
    }
}

}  // namespace
}  // namespace velk
