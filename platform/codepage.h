// Code-page text. The system's 8-bit text is in the ANSI code page, which is 932
// (Shift_JIS) on the systems the tool serves: the Win32 backend asks Windows, the
// POSIX backend fixes code page 932 with tables built once from the C library's
// converter. Windows' best-fit mappings are not imitated.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// True when b starts a double-byte character (81-9F and E0-FC in code page 932).
// A scan for a separator steps over the byte after a lead byte, unless that byte
// is the terminator: a lone lead byte at the end counts as a single byte.
bool IsLeadByte(unsigned char b);

// Converts cb bytes of ANSI text to UTF-16. A byte or pair that does not decode
// becomes U+30FB. Thread-safe.
std::u16string AnsiToWide(const char* pText, size_t cb);

// Converts cch UTF-16 units to ANSI text. A character the code page cannot
// represent becomes "?". Thread-safe.
std::string WideToAnsi(const char16_t* pText, size_t cch);

// Converts UTF-16 text to UTF-8; an unpaired surrogate becomes U+FFFD. The same
// on both targets, for text that leaves the program as UTF-8 (JSON documents).
std::string WideToUtf8(const std::u16string& strWide);

// The character at str[i] and, in *pcch, its length in units: a surrogate pair is
// one character, an unpaired surrogate a character of its own.
char32_t CodePointAt(const std::u16string& str, size_t i, size_t* pcch);

// A character as "U+00E9".
std::string CodePointName(char32_t c);

// Code-page text as UTF-8: AnsiToWide, then WideToUtf8.
std::string AnsiToUtf8Text(const std::string& strAnsi);

}  // namespace platform
