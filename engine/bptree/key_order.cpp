#include "engine/bptree/key_order.h"

#include <cstring>

namespace velk {

// {9DFB9954-A341-44FC-988F-DEFC5D2B097F}
const unsigned char kGuidBinaryAscending[16] = {0x54, 0x99, 0xFB, 0x9D, 0x41, 0xA3, 0xFC, 0x44,
                                                0x98, 0x8F, 0xDE, 0xFC, 0x5D, 0x2B, 0x09, 0x7F};
// {DE882A94-115E-4B70-A390-0964A88B5581}
const unsigned char kGuidBinaryDescending[16] = {0x94, 0x2A, 0x88, 0xDE, 0x5E, 0x11, 0x70, 0x4B,
                                                 0xA3, 0x90, 0x09, 0x64, 0xA8, 0x8B, 0x55, 0x81};
// {0FF6CC09-E288-475B-BC63-899F90164BAE}
const unsigned char kGuidStringAscending[16] = {0x09, 0xCC, 0xF6, 0x0F, 0x88, 0xE2, 0x5B, 0x47,
                                                0xBC, 0x63, 0x89, 0x9F, 0x90, 0x16, 0x4B, 0xAE};
// {1FEFB4D1-A060-459C-9040-482747170FDF}
const unsigned char kGuidStringDescending[16] = {0xD1, 0xB4, 0xEF, 0x1F, 0x60, 0xA0, 0x9C, 0x45,
                                                 0x90, 0x40, 0x48, 0x27, 0x47, 0x17, 0x0F, 0xDF};
// {B29E48BA-9495-4703-AF91-4882B65511F7}
const unsigned char kGuidNoCaseAscending[16] = {0xBA, 0x48, 0x9E, 0xB2, 0x95, 0x94, 0x03, 0x47,
                                                0xAF, 0x91, 0x48, 0x82, 0xB6, 0x55, 0x11, 0xF7};
// {B87C55DA-250E-48FA-8D6A-35E72131E8B4}
const unsigned char kGuidNoCaseDescending[16] = {0xDA, 0x55, 0x7C, 0xB8, 0x0E, 0x25, 0xFA, 0x48,
                                                 0x8D, 0x6A, 0x35, 0xE7, 0x21, 0x31, 0xE8, 0xB4};

namespace {

// The length of the string in a key slot: up to its first NUL, never past cbKey.
std::uint32_t StringLength(const unsigned char* pb, std::uint32_t cbKey)
{
    if (cbKey == 0)
        return 0;
    const void* pNul = std::memchr(pb, 0, cbKey);
    return pNul != nullptr ? static_cast<std::uint32_t>(static_cast<const unsigned char*>(pNul) - pb)
                           : cbKey;
}

// Whether any of the eight bytes is 0.
bool HasZeroByte(std::uint64_t n)
{
    return ((n - 0x0101010101010101ull) & ~n & 0x8080808080808080ull) != 0;
}

int FoldNoCase(unsigned char ch)
{
    int n = static_cast<signed char>(ch);
    if (n >= 'a' && n <= 'z')
        n -= 32;
    return n;
}

}  // namespace

int CompareBinaryAscending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                           std::uint32_t cbKey2)
{
    if (cbKey1 != cbKey2)
        return cbKey1 < cbKey2 ? -1 : 1;
    if (cbKey1 == 0)
        return 0;
    int n = std::memcmp(pKey1, pKey2, cbKey1);
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

int CompareBinaryDescending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                            std::uint32_t cbKey2)
{
    return -CompareBinaryAscending(pKey1, cbKey1, pKey2, cbKey2);
}

int CompareStringAscending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                           std::uint32_t cbKey2)
{
    const unsigned char* pb1 = static_cast<const unsigned char*>(pKey1);
    const unsigned char* pb2 = static_cast<const unsigned char*>(pKey2);
    const std::uint32_t cbBoth = cbKey1 < cbKey2 ? cbKey1 : cbKey2;
    std::uint32_t i = 0;
    // Eight bytes at a time over equal stretches without a NUL; the byte loop below
    // finds the difference or the NUL in the stretch that stops this one.
    for (; i + 8 <= cbBoth; i += 8) {
        std::uint64_t n1, n2;
        std::memcpy(&n1, pb1 + i, 8);
        std::memcpy(&n2, pb2 + i, 8);
        if (n1 != n2 || HasZeroByte(n1))
            break;
    }
    for (; i < cbBoth; ++i) {
        unsigned char ch1 = pb1[i];
        unsigned char ch2 = pb2[i];
        if (ch1 != ch2)
            return ch1 < ch2 ? -1 : 1;
        if (ch1 == 0)
            return 0;
    }
    // The shorter key has ended, as if by a NUL: the longer one sorts after it
    // unless its string ends right there too.
    if (cbKey1 > cbBoth)
        return pb1[cbBoth] != 0 ? 1 : 0;
    if (cbKey2 > cbBoth)
        return pb2[cbBoth] != 0 ? -1 : 0;
    return 0;
}

int CompareStringDescending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                            std::uint32_t cbKey2)
{
    return -CompareStringAscending(pKey1, cbKey1, pKey2, cbKey2);
}

int CompareNoCaseAscending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                           std::uint32_t cbKey2)
{
    const unsigned char* pb1 = static_cast<const unsigned char*>(pKey1);
    const unsigned char* pb2 = static_cast<const unsigned char*>(pKey2);
    // The string lengths, not the stored ones: comparing the stored lengths would put
    // "ab" after a longer key whose next byte is negative as a signed value.
    std::uint32_t cch1 = StringLength(pb1, cbKey1);
    std::uint32_t cch2 = StringLength(pb2, cbKey2);
    std::uint32_t cchCommon = cch1 < cch2 ? cch1 : cch2;
    for (std::uint32_t i = 0; i < cchCommon; ++i) {
        int n1 = FoldNoCase(pb1[i]);
        int n2 = FoldNoCase(pb2[i]);
        if (n1 != n2)
            return n1 < n2 ? -1 : 1;
    }
    if (cch1 == cch2)
        return 0;
    return cch1 < cch2 ? -1 : 1;
}

int CompareNoCaseDescending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                            std::uint32_t cbKey2)
{
    return -CompareNoCaseAscending(pKey1, cbKey1, pKey2, cbKey2);
}

PFNCOMPAREKEYS FindKeyOrder(const void* pGuid)
{
    struct SOrder {
        const unsigned char* pGuid;
        PFNCOMPAREKEYS pfn;
    };
    static const SOrder kOrders[] = {
        {kGuidBinaryAscending, &CompareBinaryAscending},
        {kGuidBinaryDescending, &CompareBinaryDescending},
        {kGuidStringAscending, &CompareStringAscending},
        {kGuidStringDescending, &CompareStringDescending},
        {kGuidNoCaseAscending, &CompareNoCaseAscending},
        {kGuidNoCaseDescending, &CompareNoCaseDescending},
    };
    if (pGuid == nullptr)
        return nullptr;
    for (const SOrder& order : kOrders) {
        if (std::memcmp(order.pGuid, pGuid, 16) == 0)
            return order.pfn;
    }
    return nullptr;
}

}  // namespace velk
