// EWideString: a growable zero-terminated UTF-16 string; every text of a document
// tree is one. Same layout, growth and failure rules as EString, with 16-bit
// units compared as unsigned numbers.
#pragma once

#include <cstdint>

#include "support/text/string.h"
#include "support/text/string_buffer.h"

class EWideString : public EStringBuffer<char16_t> {
    VOK_DECLARE_CLASS("EWideString", VOKObject)

public:
    EWideString() = default;
    // nCount units of szText; -1 copies up to the terminator; null gives empty.
    EWideString(const char16_t* szText, int nCount = -1);
    EWideString(const EWideString& other) = default;
    // Conversion from the multi-byte code page (nCount bytes, -1 up to the
    // terminator), composed characters preferred; null gives an empty string.
    EWideString(const char* szText, int nCount);
    explicit EWideString(const EString& str);
    // The number formats of EString, converted.
    EWideString(int nValue, int nWidth);
    EWideString(EString::HexTag, uint32_t nValue, int nWidth);
    EWideString(double dValue, int nDigits);

    EWideString& operator=(const EWideString& other);
    EWideString& operator=(const char16_t* szText);

    EWideString& Append(const EWideString& str);
    EWideString& Append(const char16_t* szText);
    EWideString& operator+=(const EWideString& str) { return Append(str); }
    EWideString& operator+=(const char16_t* szText) { return Append(szText); }

    EWideString Left(int n) const;
    EWideString Middle(int nPosition, int nCount = -1) const;
    int Find(const char16_t* szText, int nStart = 0) const;
    int Compare(const char16_t* szText) const;
};

EWideString operator+(const EWideString& a, const EWideString& b);
EWideString operator+(const EWideString& a, const char16_t* b);
EWideString operator+(const char16_t* a, const EWideString& b);
