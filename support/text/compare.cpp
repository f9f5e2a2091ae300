#include "support/text/compare.h"

#include <climits>

namespace {

template <typename T, bool bFold>
int CompareUnits(const T* pA, const T* pB)
{
    static const T kEmpty[1] = {0};
    if (pA == nullptr)
        pA = kEmpty;
    if (pB == nullptr)
        pB = kEmpty;
    for (;; ++pA, ++pB) {
        int a = static_cast<int>(*pA), b = static_cast<int>(*pB);
        if (sizeof(T) == 1) {
            a &= 0xFF;
            b &= 0xFF;
        }
        if (bFold) {
            if (a >= 'a' && a <= 'z')
                a -= 'a' - 'A';
            if (b >= 'a' && b <= 'z')
                b -= 'a' - 'A';
        }
        if (a != b)
            return a - b;
        if (a == 0)
            return 0;
    }
}

}  // namespace

int CompareText(const char* szA, const char* szB)
{
    return CompareUnits<char, false>(szA, szB);
}

int CompareWideText(const char16_t* szA, const char16_t* szB)
{
    return CompareUnits<char16_t, false>(szA, szB);
}

int CompareTextNoCase(const char* szA, const char* szB)
{
    return CompareUnits<char, true>(szA, szB);
}

int CompareWideTextNoCase(const char16_t* szA, const char16_t* szB)
{
    return CompareUnits<char16_t, true>(szA, szB);
}

int WideTextLength(const char16_t* sz)
{
    if (sz == nullptr)
        return 0;
    const char16_t* p = sz;
    while (*p != 0)
        ++p;
    return p - sz > INT_MAX ? INT_MAX : static_cast<int>(p - sz);
}
