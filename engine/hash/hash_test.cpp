#include "engine/hash/hash.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace velk {
namespace {

std::string HexDigest(int nCode, const std::string& strData, int bLowercase = 1)
{
    char szOut[65];
    std::memset(szOut, '#', sizeof(szOut));
    if (CHash::DigestData(strData.data(), static_cast<std::uint32_t>(strData.size()), nCode, szOut,
                          sizeof(szOut), bLowercase) != 0)
        return "(failed)";
    return szOut;
}

std::string Hex(const unsigned char* pBytes, int cb)
{
    char szOut[65];
    EXPECT_EQ(0, CHash::ToHex(pBytes, cb, szOut, sizeof(szOut), 1));
    return szOut;
}

const char k448[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const char k896[] =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

struct DigestCase {
    std::string strData;
    const char* szMD5;
    const char* szSHA256;
};

// The standards' vectors, plus runs of "a" whose lengths put the padding on each
// side of a block boundary.
const DigestCase kDigests[] = {
    { "", "d41d8cd98f00b204e9800998ecf8427e",
      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" },
    { "abc", "900150983cd24fb0d6963f7d28e17f72",
      "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" },
    { k448, "8215ef0796a20bcaaae116d3876c664a",
      "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1" },
    { k896, "03dd8807a93175fb062dfb55dc7d359c",
      "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1" },
    { std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21",
      "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0" },
    { std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65",
      "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318" },
    { std::string(63, 'a'), "b06521f39153d618550606be297466d5",
      "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34" },
    { std::string(64, 'a'), "014842d480b571495a4a0363793f7367",
      "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb" },
    { std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435",
      "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0" },
    { std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613",
      "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb" },
    { std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537",
      "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c" },
};

TEST(Hash, DigestsMatchStandardVectors)
{
    for (const DigestCase& c : kDigests) {
        SCOPED_TRACE(c.strData.size());
        EXPECT_EQ(c.szMD5, HexDigest(CHash::kMD5, c.strData));
        EXPECT_EQ(c.szSHA256, HexDigest(CHash::kSHA256, c.strData));
    }
}

TEST(Hash, DigestStringRendersUppercaseIntoExactBuffer)
{
    char szSha[65];
    ASSERT_EQ(0, CHash::DigestString("abc", 4, szSha, sizeof(szSha), 0));
    EXPECT_STREQ("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", szSha);
    char szMd5[33];
    ASSERT_EQ(0, CHash::DigestString("abc", 2, szMd5, sizeof(szMd5), 0));
    EXPECT_STREQ("900150983CD24FB0D6963F7D28E17F72", szMd5);
    ASSERT_EQ(0, CHash::DigestString("", 2, szMd5, sizeof(szMd5), 1));
    EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", szMd5);
}

TEST(Hash, ToHexWritesWholeBytesOnly)
{
    const unsigned char abData[] = { 0xAB, 0x01 };
    struct Case { std::uint32_t cbOut; int bLowercase; const char* szExpected; };
    const Case kCases[] = {
        { 5, 1, "ab01" },   // exact fit
        { 40, 0, "AB01" },  // room to spare: stops after the data
        { 4, 1, "ab" },     // even size: one character less, no half byte
        { 3, 1, "ab" },
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.cbOut);
        char szOut[40];
        std::memset(szOut, '#', sizeof(szOut));
        ASSERT_EQ(0, CHash::ToHex(abData, sizeof(abData), szOut, c.cbOut, c.bLowercase));
        EXPECT_STREQ(c.szExpected, szOut);
        // Nothing past the terminator is touched.
        const size_t cch = std::strlen(c.szExpected);
        for (size_t i = cch + 1; i < sizeof(szOut); ++i)
            ASSERT_EQ('#', szOut[i]) << i;
    }
}

TEST(Hash, InvalidArgumentsReturnTwoAndWriteNothing)
{
    const unsigned char abData[] = { 0xAB, 0x01 };
    char szOut[65];
    std::memset(szOut, '#', sizeof(szOut));
    EXPECT_EQ(2, CHash::ToHex(abData, sizeof(abData), szOut, 2, 1));
    EXPECT_EQ(2, CHash::ToHex(abData, sizeof(abData), szOut, 0, 1));
    EXPECT_EQ(2, CHash::ToHex(abData, 0, szOut, sizeof(szOut), 1));
    EXPECT_EQ(2, CHash::ToHex(nullptr, 2, szOut, sizeof(szOut), 1));
    EXPECT_EQ(2, CHash::ToHex(abData, sizeof(abData), nullptr, sizeof(szOut), 1));
    for (int nCode : { -1, 0, 1, 3, 5 }) {
        EXPECT_EQ(nullptr, CHash::Create(nCode));
        EXPECT_EQ(2, CHash::DigestString("abc", nCode, szOut, sizeof(szOut), 1));
    }
    EXPECT_EQ(2, CHash::DigestData(nullptr, 3, 4, szOut, sizeof(szOut), 1));
    EXPECT_EQ(2, CHash::DigestString(nullptr, 4, szOut, sizeof(szOut), 1));
    EXPECT_EQ(2, CHash::DigestString("abc", 4, szOut, 2, 1));
    EXPECT_EQ(std::string(sizeof(szOut), '#'), std::string(szOut, sizeof(szOut)));
    // Null data with no length is the empty message.
    ASSERT_EQ(0, CHash::DigestData(nullptr, 0, 2, szOut, sizeof(szOut), 1));
    EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", szOut);
}

TEST(Hash, AlgorithmArgumentsAndPartialDigest)
{
    for (int nCode : { 2, 4 }) {
        CHash::AlgorithmPtr pAlgorithm(CHash::Create(nCode), &CHash::DestroyAlgorithm);
        ASSERT_TRUE(pAlgorithm);
        EXPECT_EQ(nCode == 2 ? 16 : 32, pAlgorithm->GetDigestSize());
        EXPECT_EQ(2, pAlgorithm->Update(nullptr, 3));
        EXPECT_EQ(2, pAlgorithm->Update("abc", 0));
        ASSERT_EQ(0, pAlgorithm->Update("abc", 3));
        unsigned char abDigest[40];
        std::memset(abDigest, 0xEE, sizeof(abDigest));
        EXPECT_EQ(2, pAlgorithm->GetDigest(nullptr, 8));
        EXPECT_EQ(2, pAlgorithm->GetDigest(abDigest, 0));
        ASSERT_EQ(0, pAlgorithm->GetDigest(abDigest, 8));
        const std::string strExpected = nCode == 2 ? kDigests[1].szMD5 : kDigests[1].szSHA256;
        EXPECT_EQ(strExpected.substr(0, 16), Hex(abDigest, 8));
        EXPECT_EQ(0xEE, abDigest[8]);
        // A buffer larger than the digest gets the digest and no more.
        ASSERT_EQ(0, pAlgorithm->GetDigest(abDigest, sizeof(abDigest)));
        EXPECT_EQ(strExpected, Hex(abDigest, pAlgorithm->GetDigestSize()));
        EXPECT_EQ(0xEE, abDigest[pAlgorithm->GetDigestSize()]);
    }
}

// Reading the digest leaves the message open: every split of the input, with a
// digest read in the middle, ends with the digest of the whole input.
TEST(Hash, RunningDigestCoversEverythingFed)
{
    const std::string strData = std::string(k896) + k448;  // 168 bytes, three blocks
    for (int nCode : { 2, 4 }) {
        const std::string strWhole = HexDigest(nCode, strData);
        CHash::AlgorithmPtr pAlgorithm(CHash::Create(nCode), &CHash::DestroyAlgorithm);
        ASSERT_TRUE(pAlgorithm);
        const int cbDigest = pAlgorithm->GetDigestSize();
        unsigned char abDigest[32];
        for (size_t nSplit = 1; nSplit < strData.size(); ++nSplit) {
            SCOPED_TRACE(nSplit);
            pAlgorithm->Reset();
            ASSERT_EQ(0, pAlgorithm->Update(strData.data(), static_cast<std::uint32_t>(nSplit)));
            ASSERT_EQ(0, pAlgorithm->GetDigest(abDigest, cbDigest));
            ASSERT_EQ(HexDigest(nCode, strData.substr(0, nSplit)), Hex(abDigest, cbDigest));
            ASSERT_EQ(0, pAlgorithm->Update(strData.data() + nSplit,
                                            static_cast<std::uint32_t>(strData.size() - nSplit)));
            ASSERT_EQ(0, pAlgorithm->GetDigest(abDigest, cbDigest));
            ASSERT_EQ(strWhole, Hex(abDigest, cbDigest));
        }
        // Reset starts over with the empty message.
        pAlgorithm->Reset();
        ASSERT_EQ(0, pAlgorithm->GetDigest(abDigest, cbDigest));
        EXPECT_EQ(HexDigest(nCode, ""), Hex(abDigest, cbDigest));
    }
}

}  // namespace
}  // namespace velk
