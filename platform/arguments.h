// The command line as code-page text, converted exactly. A name or path that the
// code page cannot hold is refused rather than changed: a substituted "?" or a
// best-fit "e" for "é" would make two different names one, or name another file.
// On Windows the arguments come from the wide command line; on POSIX from UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The first character of an argument that the code page cannot hold exactly.
struct SUnheldCharacter {
    size_t nArgument = 0;       // its argument's index; 0 is the program
    size_t nPosition = 0;       // its position in the argument, 1 for the first character
    std::string strCharacter;   // "U+00E9", or "byte FF" for a byte that is not UTF-8
};

// The arguments after argument 0, each converted to code-page text without loss.
// Returns true with *pvArgs holding argc elements (argument 0 converted as well as
// it goes), or false with *pUnheld describing the first character, in the first
// argument after the program, that does not convert exactly; *pvArgs is then
// unspecified. On Windows the arguments are read from GetCommandLineW, not argv.
bool ExactArguments(int argc, char** argv, std::vector<std::string>* pvArgs,
                    SUnheldCharacter* pUnheld);

// Converts UTF-16 text to code-page text exactly. Returns 0 when every character
// converts to bytes that convert back to it, or the position (1 for the first
// character, a surrogate pair counting as one) of the first that does not, with
// *pcCharacter set to it; *pAnsi then holds the text before it. Thread-safe.
size_t ExactAnsiFromWide(const std::u16string& strWide, std::string* pAnsi,
                         char32_t* pcCharacter);

}  // namespace platform
