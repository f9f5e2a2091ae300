// Comparison of narrow and wide texts, as the library's type system, document
// reader and tag search use them. A null text equals an empty one. Results are the
// difference of the first differing units (bytes and 16-bit units as unsigned
// numbers), 0 when the texts are equal.
#pragma once

int CompareText(const char* szA, const char* szB);
int CompareWideText(const char16_t* szA, const char16_t* szB);

// The same with the ASCII letters a-z folded to A-Z first; nothing else is folded.
int CompareTextNoCase(const char* szA, const char* szB);
int CompareWideTextNoCase(const char16_t* szA, const char16_t* szB);

// Length of a zero-terminated wide text; 0 for null.
int WideTextLength(const char16_t* sz);
