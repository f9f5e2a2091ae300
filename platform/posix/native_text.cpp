#include "platform/posix/native_text.h"

#include "platform/codepage.h"
#include "platform/process.h"

namespace platform {
namespace posix {

std::string Utf16ToUtf8(const std::u16string& str)
{
    return WideToUtf8(str);
}

std::u16string Utf8ToUtf16(const std::string& str)
{
    std::u16string out;
    out.reserve(str.size());
    const size_t n = str.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = static_cast<unsigned char>(str[i]);
        int nTrail = 0;
        char32_t c = 0, cMin = 0;
        if (b < 0x80) {
            c = b;
        } else if (b >= 0xC2 && b <= 0xDF) {
            c = b & 0x1F; nTrail = 1; cMin = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            c = b & 0x0F; nTrail = 2; cMin = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            c = b & 0x07; nTrail = 3; cMin = 0x10000;
        } else {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        size_t j = i + 1;
        for (int k = 0; k < nTrail; ++k, ++j) {
            if (j >= n || (static_cast<unsigned char>(str[j]) & 0xC0) != 0x80)
                break;
            c = (c << 6) | (static_cast<unsigned char>(str[j]) & 0x3F);
        }
        if (j - i != static_cast<size_t>(nTrail) + 1 || c < cMin || c > 0x10FFFF ||
            (c >= 0xD800 && c <= 0xDFFF)) {
            out += u'\xFFFD';
            i = (j > i + 1) ? j : i + 1;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i = j;
    }
    return out;
}

std::string AnsiToUtf8(const std::string& strAnsi)
{
    return AnsiToUtf8Text(strAnsi);
}

std::string Utf8ToAnsi(const std::string& strUtf8)
{
    const std::u16string w = Utf8ToUtf16(strUtf8);
    return WideToAnsi(w.data(), w.size());
}

std::string ToNativePath(const char* szPath)
{
    std::string s = AnsiToUtf8(szPath);
    for (char& c : s)
        if (c == '\\')
            c = '/';
    if (s.size() >= 2 && (s[0] == 'Z' || s[0] == 'z') && s[1] == ':') {
        s.erase(0, 2);
        if (s.empty() || s[0] != '/')
            s.insert(s.begin(), '/');
    }
    return s;
}

std::string FromNativePath(const std::string& strNative)
{
    return EnginePathFromUser(Utf8ToAnsi(strNative));
}

}  // namespace posix
}  // namespace platform
