#include "platform/codepage.h"

#include <cstdio>

namespace platform {

std::string WideToUtf8(const std::u16string& str)
{
    std::string out;
    out.reserve(str.size());
    for (size_t i = 0; i < str.size(); ++i) {
        char32_t c = str[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < str.size() && str[i + 1] >= 0xDC00 &&
            str[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (str[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

char32_t CodePointAt(const std::u16string& str, size_t i, size_t* pcch)
{
    const char32_t c = str[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < str.size() && str[i + 1] >= 0xDC00 &&
        str[i + 1] <= 0xDFFF) {
        *pcch = 2;
        return 0x10000 + ((c - 0xD800) << 10) + (str[i + 1] - 0xDC00);
    }
    *pcch = 1;
    return c;
}

std::string CodePointName(char32_t c)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "U+%04X", static_cast<unsigned>(c));
    return sz;
}

std::string AnsiToUtf8Text(const std::string& strAnsi)
{
    return WideToUtf8(AnsiToWide(strAnsi.data(), strAnsi.size()));
}

}  // namespace platform
