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

// Appends the UTF-8 bytes of the units of p (cch of them), each unit on its own
// (a surrogate gives three bytes), up to the first unit for which stop is true.
// Returns how many units it took, or SIZE_MAX when memory runs out (nothing is
// appended then). Inline for the writer's many short pieces.
template <class Stop>
size_t AppendUtf8Until(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut, Stop stop)
{
    // At most three bytes a unit, written straight into room reserved once.
    if (cch > SIZE_MAX / 3 || !pOut->Reserve(cch * 3))
        return SIZE_MAX;
    char* const pStart = pOut->End();
    char* q = pStart;
    size_t i = 0;
    for (; i < cch; ++i) {
        const unsigned c = p[i];
        if (c < 0x80) {
            if (stop(c))
                break;
            *q++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *q++ = static_cast<char>(0xC0 | c >> 6);
            *q++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *q++ = static_cast<char>(0xE0 | c >> 12);
            *q++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            *q++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    pOut->Grow(static_cast<size_t>(q - pStart));
    return i;
}

// All cch units in UTF-8 (encoding 1 of Encode); false when memory runs out.
inline bool AppendUtf8(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut)
{
    return AppendUtf8Until(p, cch, pOut, [](unsigned) { return false; }) != SIZE_MAX;
}

// Shift_JIS double-byte characters to and from JIS X 0208 row and cell bytes
// (21-7E each for the characters JIS X 0208 has).
void ShiftJisToJis(unsigned char* pLead, unsigned char* pTrail);
void JisToShiftJis(unsigned char* pLead, unsigned char* pTrail);

}  // namespace xmlcodec
