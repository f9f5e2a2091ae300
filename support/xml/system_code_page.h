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

// True when the tables give the characters of these bytes one at a time, so that
// a document can be walked as bytes and only its pieces decoded: every lead byte
// has a trail the tables know, and every byte above 7F gives a unit above 7F. The
// ASCII bytes the syntax is made of then stand for themselves; a trail byte may
// still look like ASCII (40-7E), so a walk steps over it with SystemCharLength.
// SystemToWide decodes such text piece by piece as it would decode it whole, when
// every piece is whole characters.
bool IsPlainSystemText(const unsigned char* p, size_t cb);
// The bytes of the character at p[i] of n: 2 for a lead byte with a byte after it,
// else 1. For text IsPlainSystemText accepted.
size_t SystemCharLength(const unsigned char* p, size_t i, size_t n);

}  // namespace xmlcodec
