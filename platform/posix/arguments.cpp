#include "platform/arguments.h"

#include <cstdio>

#include "platform/codepage.h"
#include "platform/posix/native_text.h"

namespace platform {
namespace {

// The length of the valid UTF-8 sequence at str[i], or 0 when it is not one.
size_t Utf8Length(const std::string& str, size_t i)
{
    const unsigned char b = static_cast<unsigned char>(str[i]);
    const size_t cb = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    if (cb == 0 || i + cb > str.size())
        return 0;
    // The decoder turns anything malformed (overlong, surrogate, cut short) into
    // U+FFFD; a U+FFFD that was really written encodes as EF BF BD.
    const std::u16string w = posix::Utf8ToUtf16(str.substr(i, cb));
    size_t cch = 0;
    if (w.empty() || CodePointAt(w, 0, &cch) == 0xFFFD) {
        if (str.compare(i, 3, "\xEF\xBF\xBD") != 0)
            return 0;
    }
    return w.size() == cch ? cb : 0;
}

}  // namespace

size_t ExactAnsiFromWide(const std::u16string& strWide, std::string* pAnsi,
                         char32_t* pcCharacter)
{
    pAnsi->clear();
    size_t nPosition = 1;
    for (size_t i = 0; i < strWide.size(); ++nPosition) {
        size_t cch = 0;
        const char32_t c = CodePointAt(strWide, i, &cch);
        const std::string strBytes = WideToAnsi(strWide.data() + i, cch);
        const std::u16string strBack = AnsiToWide(strBytes.data(), strBytes.size());
        if (strBack != strWide.substr(i, cch)) {
            *pcCharacter = c;
            return nPosition;
        }
        *pAnsi += strBytes;
        i += cch;
    }
    return 0;
}

bool ExactArguments(int argc, char** argv, std::vector<std::string>* pvArgs,
                    SUnheldCharacter* pUnheld)
{
    pvArgs->clear();
    for (int n = 0; n < argc; ++n) {
        const std::string strUtf8 = argv[n];
        if (n == 0) {
            pvArgs->push_back(posix::Utf8ToAnsi(strUtf8));
            continue;
        }
        // Character by character, so that the first bad one is named whichever
        // way it is bad.
        std::string strAnsi;
        size_t nPosition = 1;
        for (size_t i = 0; i < strUtf8.size(); ++nPosition) {
            const size_t cb = Utf8Length(strUtf8, i);
            if (cb == 0) {
                char sz[16];
                std::snprintf(sz, sizeof(sz), "byte %02X",
                              static_cast<unsigned>(static_cast<unsigned char>(strUtf8[i])));
                *pUnheld = {static_cast<size_t>(n), nPosition, sz};
                return false;
            }
            std::string strBytes;
            char32_t c = 0;
            if (ExactAnsiFromWide(posix::Utf8ToUtf16(strUtf8.substr(i, cb)), &strBytes, &c) != 0) {
                *pUnheld = {static_cast<size_t>(n), nPosition, CodePointName(c)};
                return false;
            }
            strAnsi += strBytes;
            i += cb;
        }
        pvArgs->push_back(strAnsi);
    }
    return true;
}

}  // namespace platform
