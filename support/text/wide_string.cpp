#include "support/text/wide_string.h"

#include <cstring>
#include <string>

#include "platform/codepage.h"
#include "support/text/compare.h"

EWideString::EWideString(const char16_t* szText, int nCount)
{
    AssignUnits(szText, CountOf(szText, nCount));
}

EWideString::EWideString(const char* szText, int nCount)
{
    if (szText == nullptr)
        return;
    const size_t cb = nCount < 0 ? std::strlen(szText) : static_cast<size_t>(nCount);
    try {
        const std::u16string str = platform::AnsiToWide(szText, cb);
        if (str.size() <= static_cast<size_t>(kMaxLength))
            AssignUnits(str.data(), static_cast<int>(str.size()));
    } catch (...) {
        // Out of memory in the conversion: the string stays empty.
    }
}

EWideString::EWideString(const EString& str) : EWideString(str.GetText(), str.GetLength())
{
}

EWideString::EWideString(int nValue, int nWidth) : EWideString(EString(nValue, nWidth))
{
}

EWideString::EWideString(EString::HexTag tag, uint32_t nValue, int nWidth)
    : EWideString(EString(tag, nValue, nWidth))
{
}

EWideString::EWideString(double dValue, int nDigits) : EWideString(EString(dValue, nDigits))
{
}

EWideString& EWideString::operator=(const EWideString& other)
{
    if (this != &other)
        AssignUnits(other.GetText(), other.GetLength());
    return *this;
}

EWideString& EWideString::operator=(const char16_t* szText)
{
    AssignUnits(szText, CountOf(szText, -1));
    return *this;
}

EWideString& EWideString::Append(const EWideString& str)
{
    AppendUnits(str.GetText(), str.GetLength());
    return *this;
}

EWideString& EWideString::Append(const char16_t* szText)
{
    AppendUnits(szText, CountOf(szText, -1));
    return *this;
}

EWideString EWideString::Left(int n) const
{
    if (n < 0)
        n = 0;
    return EWideString(GetText(), n < m_nLength ? n : m_nLength);
}

EWideString EWideString::Middle(int nPosition, int nCount) const
{
    if (nPosition < 0 || nPosition >= m_nLength)
        return EWideString();
    const int nRest = m_nLength - nPosition;
    return EWideString(GetText() + nPosition, nCount < 0 || nCount > nRest ? nRest : nCount);
}

int EWideString::Find(const char16_t* szText, int nStart) const
{
    return FindUnits(szText, CountOf(szText, -1), nStart);
}

int EWideString::Compare(const char16_t* szText) const
{
    return CompareWideText(GetText(), szText);
}

EWideString operator+(const EWideString& a, const EWideString& b)
{
    EWideString str(a);
    str.Append(b);
    return str;
}

EWideString operator+(const EWideString& a, const char16_t* b)
{
    EWideString str(a);
    str.Append(b);
    return str;
}

EWideString operator+(const char16_t* a, const EWideString& b)
{
    EWideString str(a);
    str.Append(b);
    return str;
}
