// Read, write, read again. Where the encoding keeps every 16-bit unit (UTF-8 and
// UTF-16) the two trees must agree; where characters may be lost (the code page,
// whose tables need not be symmetric, and the JIS encodings) the second and third
// generation must.
#include <cstdio>
#include <cstdlib>

#include "support/xml/fuzz/fuzz_support.h"

namespace {

std::string WriteTree(const EDescription& root, int nFlag, int nEncoding)
{
    EMemoryFile file;
    if (root.WriteDocument(&file, 0, nFlag, nEncoding) != 0)
        __builtin_trap();
    return file.m_str;
}

// XML_FUZZ_VERBOSE=1 shows what was compared when a check fails.
std::string Show(const std::u16string& str)
{
    std::string s;
    for (const char16_t c : str) {
        char sz[8];
        if (c >= 0x20 && c < 0x7F)
            s.push_back(static_cast<char>(c));
        else
            std::snprintf(sz, sizeof(sz), "\\u%04X", static_cast<unsigned>(c)), s += sz;
    }
    return s;
}

void Check(bool b, const char* szWhat, const std::u16string& strA = u"", const std::u16string& strB = u"",
           const std::string& strBytes = "")
{
    if (!b) {
        std::fprintf(stderr, "round trip: %s\n", szWhat);
        if (std::getenv("XML_FUZZ_VERBOSE") != nullptr) {
            std::fprintf(stderr, "A: %s\nB: %s\nbytes: ", Show(strA).c_str(), Show(strB).c_str());
            std::fwrite(strBytes.data(), 1, strBytes.size(), stderr);
            std::fprintf(stderr, "\n");
        }
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    if (cb < 1)
        return 0;
    const int nFlag = pData[0] % 2;             // 0 entities, 1 backslashes
    const int nEncoding = pData[0] / 2 % 5;
    const int nWriteFlag = nFlag == 1 ? 1 : 2;  // 2: the declaration brings mode 0 back
    const int nReadFlag = nFlag == 1 ? 1 : 2;

    EDescription first;
    ReadBytes(&first, pData + 1, cb - 1, nFlag, nEncoding);
    std::u16string strFirst;
    if (!Canonical(first, &strFirst))
        return 0;

    const std::string strBytes = WriteTree(first, nWriteFlag, nEncoding);
    EDescription second;
    const bool bLossless = nEncoding == 1 || nEncoding == 4;
    const intptr_t nSecond = ReadBytes(&second, strBytes.data(), strBytes.size(), nReadFlag, nEncoding);
    if (!bLossless && nSecond != 0)
        return 0;  // a character lost in a tag name may well break the markup
    Check(nSecond == 0, "second read");
    std::u16string strSecond;
    Check(Canonical(second, &strSecond), "second tree");
    if (bLossless) {
        Check(strFirst == strSecond, "trees differ", strFirst, strSecond, strBytes);
        return 0;
    }
    const std::string strAgain = WriteTree(second, nWriteFlag, nEncoding);
    EDescription third;
    Check(ReadBytes(&third, strAgain.data(), strAgain.size(), nReadFlag, nEncoding) == 0, "third read");
    std::u16string strThird;
    Check(Canonical(third, &strThird) && strSecond == strThird, "second and third trees differ", strSecond,
          strThird, strAgain);
    return 0;
}
