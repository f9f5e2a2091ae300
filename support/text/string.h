// EString: a growable zero-terminated 8-bit string in the system's multi-byte code
// page (code page 932). Besides copying, joining and searching it formats numbers,
// converts from UTF-16, and splits path names; every scan that looks for a
// separator or a character steps over double-byte characters, so a trail byte 5C
// is never taken for "\". A lead byte right before the end of the text counts as
// one byte.
//
// Operations never fail loudly: when memory cannot be had the string keeps its
// old text, and out-of-range positions give empty results.
#pragma once

#include <cstdint>

#include "support/text/string_buffer.h"

class EWideString;

class EString : public EStringBuffer<char> {
    VOK_DECLARE_CLASS("EString", VOKObject)

public:
    struct HexTag {};
    static constexpr HexTag kHex = {};

    EString() = default;
    // nCount bytes of szText; -1 copies up to the terminator; null gives empty.
    EString(const char* szText, int nCount = -1);
    EString(const EString& other) = default;
    // Decimal: "-" for a negative value; with nWidth > 0 exactly nWidth
    // characters, sign included, zero-filled, surplus digits dropped from the
    // left; otherwise as many digits as needed.
    EString(int nValue, int nWidth);
    // Upper-case hexadecimal: exactly nWidth digits when nWidth > 0, zero-filled,
    // else as many as needed.
    EString(HexTag, uint32_t nValue, int nWidth);
    // "-", the integer part, ".", then exactly nDigits fraction digits when
    // nDigits > 0 (at most 18 are computed, more are zeros), otherwise up to 9,
    // ending where the rest of the fraction is zero (2.0 gives "2."). Rounded at
    // the last digit; a value too large for 64 bits once scaled gives "0.0" after
    // the sign.
    EString(double dValue, int nDigits);
    // Conversion from UTF-16 (nCount units, -1 up to the terminator); a character
    // the code page lacks becomes the platform's default character. A null text
    // gives an empty string with a buffer.
    EString(const char16_t* szText, int nCount);
    explicit EString(const EWideString& str);

    EString& operator=(const EString& other);
    EString& operator=(const char* szText);

    EString& Append(const EString& str);
    EString& Append(const char* szText);
    EString& operator+=(const EString& str) { return Append(str); }
    EString& operator+=(const char* szText) { return Append(szText); }

    // The first n bytes (all when shorter).
    EString Left(int n) const;
    // nCount bytes from nPosition (to the end for -1); empty beyond the end.
    EString Middle(int nPosition, int nCount = -1) const;
    // Position of the first occurrence of szText at or after nStart, -1 when none.
    int Find(const char* szText, int nStart = 0) const;
    // Position of the first character ch (a byte, or lead << 8 | trail for a
    // double-byte character) at or after nStart, -1 when none.
    int FindChar(int ch, int nStart = 0) const;
    // 0 when equal, else the difference of the first differing bytes.
    int Compare(const char* szText) const;

    // The text after the last "\" or "/"; all of it when there is none.
    const char* GetNamePart();
    // The text up to and including the last "\" or "/"; empty when there is none.
    EString GetDirectoryPart() const;

    // ASCII letters only; bytes of double-byte characters are left alone.
    EString& MakeUpper();
    EString& MakeLower();
    // Removes characters up to U+0020 at either end.
    EString& TrimLeft();
    EString& TrimRight();
    EString& Trim() { return TrimRight().TrimLeft(); }
};

EString operator+(const EString& a, const EString& b);
EString operator+(const EString& a, const char* b);
EString operator+(const char* a, const EString& b);
