// POSIX backend only: the boundary between the engine's text (code page 932, "\"
// separators, the pseudo drive "Z:") and the system's (UTF-8, "/").
#pragma once

#include <string>

namespace platform {
namespace posix {

std::string Utf16ToUtf8(const std::u16string& str);
// Invalid UTF-8 becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& str);

std::string AnsiToUtf8(const std::string& strAnsi);
std::string Utf8ToAnsi(const std::string& strUtf8);

// An engine path as a POSIX path: the text is converted to UTF-8 first (so a
// trail byte 5C of a double-byte character is no separator), then "\" becomes
// "/" and a leading "Z:" stands for the root.
std::string ToNativePath(const char* szPath);

// A POSIX path or argument in the engine's form: UTF-8 to code page 932, and an
// absolute "/a/b" becomes "Z:\a\b".
std::string FromNativePath(const std::string& strNative);

}  // namespace posix
}  // namespace platform
