// EStreamWideString: a wide string with a read position that splits its text
// into tokens and reads numbers in the library's number syntax (a radix suffix
// B, O, T or H after the digits, as in 1AH or 1010B). The document reader scans
// with the XML variant, whose words may contain "-", "." and ":" and whose
// quoted reads in mode 1 honour a backslash before the next character.
//
// A blank is any character up to U+0020. Delimiters and symbols are looked up in
// two 128-bit tables (bit n of word k stands for character 32k + n); characters
// from U+0080 up are neither.
#pragma once

#include <cstdint>

#include "support/text/wide_string.h"

class EStreamWideString : public EWideString {
    VOK_DECLARE_CLASS("EStreamWideString", EWideString)

public:
    enum Variant { kPlain, kXml };
    enum TokenType { kTokenEnd = -1, kTokenWord = 0, kTokenOperator = 1, kTokenSymbol = 2 };

    explicit EStreamWideString(Variant eVariant = kPlain);
    EStreamWideString(const char16_t* szText, int nCount = -1, Variant eVariant = kPlain);

    // Replaces the text and moves the position to its start.
    void Load(const char16_t* szText, int nCount = -1);
    int GetPosition() const { return m_nPosition; }
    void SetPosition(int nPosition);

    // Skips blanks; true when the position has reached the end.
    bool IsEOF();
    // Skips blanks; when the next character is one of szSet, consumes and returns
    // it, else returns 0.
    char16_t TestChar(const char16_t* szSet);
    // Skips blanks and returns the next token with its type in *pType: a symbol
    // alone, a run of delimiters that are not symbols (an operator run), or a word.
    // At the end an empty string and kTokenEnd.
    EWideString GetToken(int* pType);
    // Skips blanks and returns the characters up to the next blank.
    EWideString GetWord();
    // The characters up to ch, which is consumed when present.
    EWideString GetUntil(char16_t ch, int nMode);
    // Moves to the next ch without consuming it (to the end when there is none).
    void SkipTo(char16_t ch, int nMode);

    // The radix of the number at the position without moving: 0 plain decimal,
    // 2, 8, 10 or 16 for a suffixed number, -1 when there is no number.
    int DetectRadix();
    // Reads an integer in 64 bits; radix 0 detects it first (no number gives 0).
    int64_t ParseInteger(int nRadix);
    // Reads a real number with at most one "."; radix 0 detects it first.
    double ParseReal(int nRadix);

    // The same over nLength units of a text that is not copied (nothing to
    // allocate, so nothing that running out of memory could turn into "no
    // number"), read from its start; *pnUsed receives the units the integer took.
    static int DetectRadix(const char16_t* pText, int nLength);
    static int64_t ParseInteger(const char16_t* pText, int nLength, int nRadix, int* pnUsed = nullptr);
    static double ParseReal(const char16_t* pText, int nLength, int nRadix);

private:
    bool IsDelimiter(char16_t c) const { return c < 128 && (m_anDelimiters[c >> 5] >> (c & 31) & 1); }
    bool IsSymbol(char16_t c) const { return c < 128 && (m_anSymbols[c >> 5] >> (c & 31) & 1); }
    bool AtEnd() const { return m_nPosition >= m_nLength; }
    char16_t Peek() const { return GetText()[m_nPosition]; }
    void SkipBlanks();
    // Where the scan for ch from the position stops (the length when not found).
    int ScanTo(char16_t ch, int nMode) const;
    static int DetectRadixAt(const char16_t* pText, int nLength, int nPosition);
    // Shared by ParseInteger and ParseReal: reads from *pnPosition and moves it on;
    // bReal allows one "." and stops at a digit not below the radix.
    static double ParseNumberAt(const char16_t* pText, int nLength, int* pnPosition, int nRadix, bool bReal,
                                int64_t* pInteger);

    int m_nPosition = 0;
    uint32_t m_anDelimiters[4];
    uint32_t m_anSymbols[4];
    Variant m_eVariant;
};
