#include "support/text/stream_wide_string.h"

namespace {

// Blanks and ASCII punctuation except "?", "@" and "_".
const uint32_t kDefaultDelimiters[4] = {0xFFFFFFFFu, 0x7C00FFFFu, 0x78000000u, 0xF8000001u};
// " ' ( ) , ; < > [ ] { }
const uint32_t kDefaultSymbols[4] = {0u, 0x58001384u, 0x28000000u, 0x28000000u};

bool IsBlank(char16_t c)
{
    return c <= 0x20;
}

int HexValue(char16_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool IsRadixSuffix(char16_t c)
{
    switch (c) {
    case 'B': case 'H': case 'O': case 'T':
    case 'b': case 'h': case 'o': case 't':
        return true;
    default:
        return false;
    }
}

}  // namespace

EStreamWideString::EStreamWideString(Variant eVariant) : m_eVariant(eVariant)
{
    for (int i = 0; i < 4; ++i) {
        m_anDelimiters[i] = kDefaultDelimiters[i];
        m_anSymbols[i] = kDefaultSymbols[i];
    }
}

EStreamWideString::EStreamWideString(const char16_t* szText, int nCount, Variant eVariant)
    : EStreamWideString(eVariant)
{
    Load(szText, nCount);
}

void EStreamWideString::Load(const char16_t* szText, int nCount)
{
    AssignUnits(szText, CountOf(szText, nCount));
    m_nPosition = 0;
}

void EStreamWideString::SetPosition(int nPosition)
{
    m_nPosition = nPosition < 0 ? 0 : (nPosition > m_nLength ? m_nLength : nPosition);
}

void EStreamWideString::SkipBlanks()
{
    while (!AtEnd() && IsBlank(Peek()))
        ++m_nPosition;
}

bool EStreamWideString::IsEOF()
{
    SkipBlanks();
    return AtEnd();
}

char16_t EStreamWideString::TestChar(const char16_t* szSet)
{
    SkipBlanks();
    if (AtEnd() || szSet == nullptr)
        return 0;
    const char16_t c = Peek();
    for (const char16_t* p = szSet; *p != 0; ++p) {
        if (*p == c) {
            ++m_nPosition;
            return c;
        }
    }
    return 0;
}

EWideString EStreamWideString::GetToken(int* pType)
{
    SkipBlanks();
    int nType = kTokenEnd;
    const int nStart = m_nPosition;
    if (!AtEnd()) {
        const char16_t c = Peek();
        ++m_nPosition;
        if (IsSymbol(c)) {
            nType = kTokenSymbol;
        } else if (IsDelimiter(c)) {
            nType = kTokenOperator;
            while (!AtEnd() && !IsBlank(Peek()) && IsDelimiter(Peek()) && !IsSymbol(Peek()))
                ++m_nPosition;
        } else {
            nType = kTokenWord;
            for (; !AtEnd(); ++m_nPosition) {
                const char16_t n = Peek();
                const bool bNameMark = m_eVariant == kXml && (n == '-' || n == '.' || n == ':');
                if (IsDelimiter(n) && !bNameMark)
                    break;
            }
        }
    }
    if (pType != nullptr)
        *pType = nType;
    return EWideString(GetText() + nStart, m_nPosition - nStart);
}

EWideString EStreamWideString::GetWord()
{
    SkipBlanks();
    const int nStart = m_nPosition;
    while (!AtEnd() && !IsBlank(Peek()))
        ++m_nPosition;
    return EWideString(GetText() + nStart, m_nPosition - nStart);
}

int EStreamWideString::ScanTo(char16_t ch, int nMode) const
{
    const bool bEscapes = m_eVariant == kXml && nMode == 1 && (ch == '"' || ch == '\'');
    const char16_t* pText = GetText();
    int i = m_nPosition;
    while (i < m_nLength && pText[i] != ch) {
        // A backslash makes the next character ordinary; at the end it stands alone.
        if (bEscapes && pText[i] == '\\' && i + 1 < m_nLength)
            ++i;
        ++i;
    }
    return i;
}

EWideString EStreamWideString::GetUntil(char16_t ch, int nMode)
{
    const int nStart = m_nPosition;
    const int nStop = ScanTo(ch, nMode);
    m_nPosition = nStop < m_nLength ? nStop + 1 : nStop;
    return EWideString(GetText() + nStart, nStop - nStart);
}

void EStreamWideString::SkipTo(char16_t ch, int nMode)
{
    m_nPosition = ScanTo(ch, nMode);
}

int EStreamWideString::DetectRadixAt(const char16_t* pText, int nLength, int nPosition)
{
    int nRadix = -1;
    while (nPosition < nLength && IsBlank(pText[nPosition]))
        ++nPosition;
    if (nPosition < nLength) {
        char16_t c = pText[nPosition++];
        bool bHave = true;
        if (c == '+' || c == '-') {
            while (nPosition < nLength && IsBlank(pText[nPosition]))
                ++nPosition;
            bHave = nPosition < nLength;
            if (bHave)
                c = pText[nPosition++];
        }
        if (bHave && ((c >= '0' && c <= '9') || c == '.')) {
            char16_t cLast = c;
            bool bDot = c == '.';
            int nMax = 0;  // over every accepted character but the last
            while (nPosition < nLength) {
                const char16_t n = pText[nPosition];
                const bool bAccept = HexValue(n) >= 0 || (n == '.' && !bDot);
                if (!bAccept)
                    break;
                if (HexValue(cLast) > nMax)
                    nMax = HexValue(cLast);
                bDot = bDot || n == '.';
                cLast = n;
                ++nPosition;
            }
            const char16_t cAfter = nPosition >= nLength ? cLast : pText[nPosition];
            if (nMax < 8 && (cAfter == 'O' || cAfter == 'o'))
                nRadix = 8;
            else if (nMax < 10 && (cAfter == 'T' || cAfter == 't'))
                nRadix = 10;
            else if (nMax < 16 && (cAfter == 'H' || cAfter == 'h'))
                nRadix = 16;
            else if (nMax < 2 && (cLast == 'B' || cLast == 'b'))
                nRadix = 2;
            else if (((cLast >= '0' && cLast <= '9') || cLast == '.') && nMax < 10)
                nRadix = 0;
        }
    }
    return nRadix;
}

double EStreamWideString::ParseNumberAt(const char16_t* pText, int nLength, int* pnPosition, int nRadix,
                                        bool bReal, int64_t* pInteger)
{
    *pInteger = 0;
    int nPosition = *pnPosition;
    if (nRadix == 0) {
        nRadix = DetectRadixAt(pText, nLength, nPosition);
        if (nRadix < 0)
            return 0.0;
        if (nRadix == 0)
            nRadix = 10;
    }
    while (nPosition < nLength && IsBlank(pText[nPosition]))
        ++nPosition;
    *pnPosition = nPosition;
    if (nPosition >= nLength)
        return 0.0;
    bool bNegative = false;
    if (pText[nPosition] == '+' || pText[nPosition] == '-') {
        bNegative = pText[nPosition] == '-';
        ++nPosition;
    }
    // Unsigned, so that an overlong number wraps instead of overflowing.
    uint64_t nValue = 0;
    double dValue = 0.0;
    double dUnit = 1.0;
    bool bFraction = false;
    for (; nPosition < nLength; ++nPosition) {
        const char16_t c = pText[nPosition];
        if (bReal && c == '.' && !bFraction) {
            bFraction = true;
            continue;
        }
        const int nDigit = HexValue(c);
        if (nDigit < 0 || (nRadix == 2 && (c == 'B' || c == 'b')) || (bReal && nDigit >= nRadix))
            break;
        nValue = nValue * static_cast<uint64_t>(nRadix) + static_cast<uint64_t>(nDigit);
        if (bFraction) {
            dUnit /= nRadix;
            dValue += nDigit * dUnit;
        } else {
            dValue = dValue * nRadix + nDigit;
        }
    }
    if (nPosition < nLength && IsRadixSuffix(pText[nPosition]))
        ++nPosition;
    *pnPosition = nPosition;
    *pInteger = static_cast<int64_t>(bNegative ? 0 - nValue : nValue);
    return bNegative ? -dValue : dValue;
}

int EStreamWideString::DetectRadix()
{
    return DetectRadixAt(GetText(), m_nLength, m_nPosition);
}

int64_t EStreamWideString::ParseInteger(int nRadix)
{
    int64_t n;
    ParseNumberAt(GetText(), m_nLength, &m_nPosition, nRadix, false, &n);
    return n;
}

double EStreamWideString::ParseReal(int nRadix)
{
    int64_t n;
    return ParseNumberAt(GetText(), m_nLength, &m_nPosition, nRadix, true, &n);
}

int EStreamWideString::DetectRadix(const char16_t* pText, int nLength)
{
    return DetectRadixAt(pText, nLength, 0);
}

int64_t EStreamWideString::ParseInteger(const char16_t* pText, int nLength, int nRadix, int* pnUsed)
{
    int nPosition = 0;
    int64_t n;
    ParseNumberAt(pText, nLength, &nPosition, nRadix, false, &n);
    if (pnUsed != nullptr)
        *pnUsed = nPosition;
    return n;
}

double EStreamWideString::ParseReal(const char16_t* pText, int nLength, int nRadix)
{
    int nPosition = 0;
    int64_t n;
    return ParseNumberAt(pText, nLength, &nPosition, nRadix, true, &n);
}
