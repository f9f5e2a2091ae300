// The byte encodings of documents and their conversion to and from UTF-16:
//
//   0  shift_jis     the system code page (932), through the platform's conversion
//   1  utf-8         the library's own code; 16-bit units, surrogates one by one
//   2  iso-2022-jp   JIS X 0208 between escape sequences, through Shift_JIS
//   3  euc-jp        through Shift_JIS
//   4  utf-16        little-endian units, no byte-order mark
//
// Malformed input never makes a decoder read past its input: an incomplete
// character at the end is dropped, and byte sequences that name no character
// become U+30FB, the character the code-page conversion uses for the same case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/runtime/result.h"
#include "support/xml/heap_buffer.h"

namespace xmlcodec {

enum { kEncodingCount = 5 };

// The names of the encodings in declarations, by index, ended by a null entry.
extern const char* const kEncodingNames[kEncodingCount + 1];

// The index of szName (cch units; ASCII letters without case) in kEncodingNames,
// or -1.
int FindEncoding(const char16_t* szName, size_t cch);

// The message result for an encoding index outside 0..4.
VOKRESULT InvalidEncodingResult();

// Appends the text of cb bytes in the encoding to *pOut. Returns kVokOk, kVokError
// when memory runs out, or InvalidEncodingResult().
VOKRESULT Decode(int nEncoding, const unsigned char* p, size_t cb, CHeapBuffer<char16_t>* pOut);
// Appends the bytes of cch units in the encoding to *pOut; same results.
VOKRESULT Encode(int nEncoding, const char16_t* p, size_t cch, CHeapBuffer<char>* pOut);

// Writes the two or three UTF-8 bytes of the unit c, above 7F, at q; returns
// the end of what it wrote.
inline char* PutUtf8Wide(unsigned c, char* q)
{
    if (c < 0x800) {
        q[0] = static_cast<char>(0xC0 | c >> 6);
        q[1] = static_cast<char>(0x80 | (c & 0x3F));
        return q + 2;
    }
    q[0] = static_cast<char>(0xE0 | c >> 12);
    q[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    q[2] = static_cast<char>(0x80 | (c & 0x3F));
    return q + 3;
}

// Writes the UTF-8 bytes of the units of p (cch of them) at q, each unit on its
// own (a surrogate gives three bytes); q has room for three bytes a unit.
// Returns the end of what it wrote. Inline for the writer's many short pieces.
inline char* PutUtf8(const char16_t* p, size_t cch, char* q)
{
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "four units are read as one word");
    // Four ASCII units at a time, mostly names that are nothing else: the word
    // holds them in the low byte of each 16-bit lane, and two shifts pack those
    // four bytes together.
    size_t i = 0;
    for (; cch - i >= 4; i += 4) {
        uint64_t nUnits;
        std::memcpy(&nUnits, p + i, sizeof(nUnits));
        if (nUnits & 0xFF80FF80FF80FF80ull)
            break;
        const uint64_t nPairs = nUnits | nUnits >> 8;
        const uint32_t nBytes = static_cast<uint32_t>((nPairs & 0xFFFF) | (nPairs >> 16 & 0xFFFF0000u));
        std::memcpy(q, &nBytes, sizeof(nBytes));
        q += 4;
    }
    for (; i < cch; ++i) {
        const unsigned c = p[i];
        if (c < 0x80)
            *q++ = static_cast<char>(c);
        else
            q = PutUtf8Wide(c, q);
    }
    return q;
}

// All cch units in UTF-8 (encoding 1 of Encode); false when memory runs out,
// and nothing is appended then.
inline bool AppendUtf8(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut)
{
    if (cch > SIZE_MAX / 3 || !pOut->Reserve(cch * 3))
        return false;
    char* const q = pOut->End();
    pOut->Grow(static_cast<size_t>(PutUtf8(p, cch, q) - q));
    return true;
}

// Shift_JIS double-byte characters to and from JIS X 0208 row and cell bytes
// (21-7E each for the characters JIS X 0208 has).
void ShiftJisToJis(unsigned char* pLead, unsigned char* pTrail);
void JisToShiftJis(unsigned char* pLead, unsigned char* pTrail);

}  // namespace xmlcodec
