// The system code page (encoding 0 of documents, and the way to and from the JIS
// encodings) for whole documents: the platform's conversion, read once into
// tables when it is first needed, and looked up per character from then on,
// instead of a conversion call and a string per piece of text.
//
// The tables hold exactly what the platform's conversion gives for each character
// on its own; a code page whose characters do not convert one by one (a lead
// byte whose pairs depend on what follows, bytes that combine beyond two, units
// that give more than two bytes) is not put in tables, and everything then goes
// through the platform's conversion as before. So do the odd cases the tables
// leave out: a lead byte with a trail outside the usual range, a lone lead byte
// at the end, and surrogate units.
#pragma once

#include <cstddef>

#include "support/runtime/result.h"
#include "support/xml/heap_buffer.h"

namespace xmlcodec {

// Appends the text of cb bytes in the system code page to *pOut. Returns kVokOk, or
// kVokError when memory runs out.
VOKRESULT SystemToWide(const char* p, size_t cb, CHeapBuffer<char16_t>* pOut);
// Appends the bytes of cch units in the system code page to *pOut; same results.
VOKRESULT WideToSystem(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut);

}  // namespace xmlcodec
