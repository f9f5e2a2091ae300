#include "support/text/string.h"

#include <cstring>
#include <string>

#include "platform/codepage.h"
#include "support/text/compare.h"
#include "support/text/wide_string.h"

namespace {

// Length of the character at p, p < pEnd: 2 for a lead byte with a byte after it.
int CharLength(const char* p, const char* pEnd)
{
    return (pEnd - p >= 2 && platform::IsLeadByte(static_cast<unsigned char>(*p))) ? 2 : 1;
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool IsBlank(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

}  // namespace

EString::EString(const char* szText, int nCount)
{
    AssignUnits(szText, CountOf(szText, nCount));
}

EString::EString(int nValue, int nWidth)
{
    // Room for the wider of the width and any value, plus the terminator.
    const long long cb = (nWidth > 16 ? nWidth : 16) + 1LL;
    if (cb - 1 > kMaxLength || AllocBuffer(static_cast<int>(cb - 1)) != 0)
        return;
    char* p = m_pBuffer;
    const bool bNegative = nValue < 0;
    unsigned long long n = bNegative ? 0ULL - static_cast<unsigned long long>(static_cast<long long>(nValue))
                                     : static_cast<unsigned long long>(nValue);
    if (bNegative)
        *p++ = '-';
    int nDigits;
    if (nWidth > 0) {
        nDigits = bNegative ? nWidth - 1 : nWidth;
    } else {
        nDigits = 1;
        for (unsigned long long nPower = 10; nPower <= n; nPower *= 10)
            ++nDigits;
    }
    for (int i = nDigits - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    p[nDigits] = 0;
    m_nLength = static_cast<int>(p + nDigits - m_pBuffer);
}

EString::EString(HexTag, uint32_t nValue, int nWidth)
{
    int nDigits = nWidth;
    if (nDigits <= 0) {
        nDigits = 1;
        for (uint32_t n = nValue >> 4; n != 0; n >>= 4)
            ++nDigits;
    }
    if (!Reserve(nDigits))
        return;
    for (int i = nDigits - 1; i >= 0; --i) {
        m_pBuffer[i] = "0123456789ABCDEF"[nValue & 15];
        nValue >>= 4;
    }
    m_nLength = nDigits;
    m_pBuffer[nDigits] = 0;
}

EString::EString(double dValue, int nDigits)
{
    std::string strText;
    if (dValue < 0) {
        strText = "-";
        dValue = -dValue;
    }
    // A 64-bit scale holds at most 18 fraction digits; more are written as zeros.
    const int nFraction = nDigits > 0 ? nDigits : 9;
    const int nComputed = nFraction > 18 ? 18 : nFraction;
    unsigned long long nScale = 1;
    for (int i = 0; i < nComputed; ++i)
        nScale *= 10;
    const double dScaled = dValue * static_cast<double>(nScale) + 0.5;
    if (!(dScaled < 18446744073709551616.0)) {  // NaN lands here too
        strText += "0.0";
    } else {
        const unsigned long long nScaled = static_cast<unsigned long long>(dScaled);
        strText += std::to_string(nScaled / nScale);
        strText += '.';
        std::string strFraction = std::to_string(nScaled % nScale);
        strFraction.insert(0, static_cast<size_t>(nComputed) - strFraction.size(), '0');
        if (nDigits > 0) {
            strFraction.append(static_cast<size_t>(nFraction - nComputed), '0');
        } else {
            while (!strFraction.empty() && strFraction.back() == '0')
                strFraction.pop_back();
        }
        strText += strFraction;
    }
    AssignUnits(strText.data(), static_cast<int>(strText.size()));
}

EString::EString(const char16_t* szText, int nCount)
{
    if (szText == nullptr) {
        AssignUnits(nullptr, 0);
        return;
    }
    const int n = nCount < 0 ? WideTextLength(szText) : nCount;
    try {
        const std::string str = platform::WideToAnsi(szText, static_cast<size_t>(n));
        if (str.size() <= static_cast<size_t>(kMaxLength))
            AssignUnits(str.data(), static_cast<int>(str.size()));
    } catch (...) {
        // Out of memory in the conversion: the string stays empty.
    }
}

EString::EString(const EWideString& str) : EString(str.GetText(), str.GetLength())
{
}

EString& EString::operator=(const EString& other)
{
    if (this != &other)
        AssignUnits(other.GetText(), other.GetLength());
    return *this;
}

EString& EString::operator=(const char* szText)
{
    AssignUnits(szText, CountOf(szText, -1));
    return *this;
}

EString& EString::Append(const EString& str)
{
    AppendUnits(str.GetText(), str.GetLength());
    return *this;
}

EString& EString::Append(const char* szText)
{
    AppendUnits(szText, CountOf(szText, -1));
    return *this;
}

EString EString::Left(int n) const
{
    if (n < 0)
        n = 0;
    return EString(GetText(), n < m_nLength ? n : m_nLength);
}

EString EString::Middle(int nPosition, int nCount) const
{
    if (nPosition < 0 || nPosition >= m_nLength)
        return EString();
    const int nRest = m_nLength - nPosition;
    return EString(GetText() + nPosition, nCount < 0 || nCount > nRest ? nRest : nCount);
}

int EString::Find(const char* szText, int nStart) const
{
    return FindUnits(szText, CountOf(szText, -1), nStart);
}

int EString::FindChar(int ch, int nStart) const
{
    const char* pText = GetText();
    const char* pEnd = pText + m_nLength;
    for (const char* p = pText; p < pEnd;) {
        const int n = CharLength(p, pEnd);
        const int c = n == 2 ? (static_cast<unsigned char>(p[0]) << 8 | static_cast<unsigned char>(p[1]))
                             : static_cast<unsigned char>(*p);
        if (c == ch && p - pText >= nStart)
            return static_cast<int>(p - pText);
        p += n;
    }
    return -1;
}

int EString::Compare(const char* szText) const
{
    return CompareText(GetText(), szText);
}

const char* EString::GetNamePart()
{
    if (m_pBuffer == nullptr && AllocBuffer(0) != 0)
        return GetText();
    const char* pEnd = m_pBuffer + m_nLength;
    const char* pName = m_pBuffer;
    for (const char* p = m_pBuffer; p < pEnd;) {
        const int n = CharLength(p, pEnd);
        if (n == 1 && IsSeparator(*p))
            pName = p + 1;
        p += n;
    }
    return pName;
}

EString EString::GetDirectoryPart() const
{
    const char* pText = GetText();
    const char* pEnd = pText + m_nLength;
    int nDirectory = 0;
    for (const char* p = pText; p < pEnd;) {
        const int n = CharLength(p, pEnd);
        if (n == 1 && IsSeparator(*p))
            nDirectory = static_cast<int>(p - pText) + 1;
        p += n;
    }
    return nDirectory > 0 ? EString(pText, nDirectory) : EString();
}

EString& EString::MakeUpper()
{
    char* pEnd = m_pBuffer + m_nLength;
    for (char* p = m_pBuffer; p != nullptr && p < pEnd;) {
        const int n = CharLength(p, pEnd);
        if (n == 1 && *p >= 'a' && *p <= 'z')
            *p = static_cast<char>(*p - ('a' - 'A'));
        p += n;
    }
    return *this;
}

EString& EString::MakeLower()
{
    char* pEnd = m_pBuffer + m_nLength;
    for (char* p = m_pBuffer; p != nullptr && p < pEnd;) {
        const int n = CharLength(p, pEnd);
        if (n == 1 && *p >= 'A' && *p <= 'Z')
            *p = static_cast<char>(*p + ('a' - 'A'));
        p += n;
    }
    return *this;
}

EString& EString::TrimLeft()
{
    int n = 0;
    while (n < m_nLength && IsBlank(m_pBuffer[n]))
        ++n;
    if (n > 0)
        AssignUnits(m_pBuffer + n, m_nLength - n);
    return *this;
}

EString& EString::TrimRight()
{
    // Walked forwards, so that the byte after a lead byte is never judged alone.
    const char* pEnd = m_pBuffer + m_nLength;
    const char* pKeep = m_pBuffer;
    for (const char* p = m_pBuffer; p != nullptr && p < pEnd;) {
        const int n = CharLength(p, pEnd);
        if (n == 2 || !IsBlank(*p))
            pKeep = p + n;
        p += n;
    }
    if (m_pBuffer != nullptr) {
        m_nLength = static_cast<int>(pKeep - m_pBuffer);
        m_pBuffer[m_nLength] = 0;
    }
    return *this;
}

EString operator+(const EString& a, const EString& b)
{
    EString str(a);
    str.Append(b);
    return str;
}

EString operator+(const EString& a, const char* b)
{
    EString str(a);
    str.Append(b);
    return str;
}

EString operator+(const char* a, const EString& b)
{
    EString str(a);
    str.Append(b);
    return str;
}
