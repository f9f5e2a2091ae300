#include "platform/codepage.h"

#include <iconv.h>

#include <mutex>
#include <vector>

namespace platform {
namespace {

constexpr char16_t kUndecodable = 0x30FB;

// Code page 932 as two tables, built once from the C library's converter.
struct CodePage932 {
    char16_t single[256];                 // single bytes; lead bytes unused
    std::vector<char16_t> pairs;          // (lead index * 256 + trail)
    std::vector<unsigned short> fromWide; // UTF-16 unit -> bytes (high byte 0: single)

    static int LeadIndex(unsigned char b)
    {
        if (b >= 0x81 && b <= 0x9F)
            return b - 0x81;
        if (b >= 0xE0 && b <= 0xFC)
            return b - 0xE0 + 31;
        return -1;
    }

    CodePage932() : pairs(60 * 256, kUndecodable), fromWide(65536, 0)
    {
        iconv_t toWide = iconv_open("UTF-16LE", "CP932");
        iconv_t toAnsi = iconv_open("CP932", "UTF-16LE");
        for (int b = 0; b < 256; ++b) {
            unsigned char in[1] = {static_cast<unsigned char>(b)};
            single[b] = LeadIndex(in[0]) >= 0 ? kUndecodable : Decode(toWide, in, 1);
        }
        for (int lead = 0x81; lead <= 0xFC; ++lead) {
            const int i = LeadIndex(static_cast<unsigned char>(lead));
            if (i < 0)
                continue;
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                unsigned char in[2] = {static_cast<unsigned char>(lead),
                                       static_cast<unsigned char>(trail)};
                pairs[i * 256 + trail] = Decode(toWide, in, 2);
            }
        }
        for (int c = 0; c < 65536; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            unsigned char in[2] = {static_cast<unsigned char>(c & 0xFF),
                                   static_cast<unsigned char>(c >> 8)};
            unsigned char out[4];
            char* pIn = reinterpret_cast<char*>(in);
            char* pOut = reinterpret_cast<char*>(out);
            size_t cbIn = 2, cbOut = sizeof(out);
            iconv(toAnsi, nullptr, nullptr, nullptr, nullptr);
            if (iconv(toAnsi, &pIn, &cbIn, &pOut, &cbOut) == static_cast<size_t>(-1))
                continue;
            const size_t cb = sizeof(out) - cbOut;
            if (cb == 1)
                fromWide[c] = out[0];
            else if (cb == 2)
                fromWide[c] = static_cast<unsigned short>(out[0] << 8 | out[1]);
        }
        fromWide[0] = 0;
        iconv_close(toWide);
        iconv_close(toAnsi);
    }

    static char16_t Decode(iconv_t cd, unsigned char* in, size_t cbIn)
    {
        unsigned char out[8];
        char* pIn = reinterpret_cast<char*>(in);
        char* pOut = reinterpret_cast<char*>(out);
        size_t cbOut = sizeof(out);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &pIn, &cbIn, &pOut, &cbOut) == static_cast<size_t>(-1) || cbIn != 0 ||
            sizeof(out) - cbOut != 2)
            return kUndecodable;
        return static_cast<char16_t>(out[0] | out[1] << 8);
    }
};

const CodePage932& Tables()
{
    static const CodePage932* pTables = new CodePage932();  // never destroyed
    return *pTables;
}

}  // namespace

bool IsLeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Both conversions write into a string sized for the longest result (one unit per
// byte; two bytes per unit) and cut it to what they made.
std::u16string AnsiToWide(const char* pText, size_t cb)
{
    const CodePage932& t = Tables();
    std::u16string out(cb, u'\0');
    char16_t* pOut = &out[0];
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pText);
    for (size_t i = 0; i < cb; ++i) {
        const int lead = CodePage932::LeadIndex(p[i]);
        if (lead < 0) {
            *pOut++ = t.single[p[i]];
        } else if (i + 1 < cb) {
            *pOut++ = t.pairs[lead * 256 + p[i + 1]];
            ++i;
        } else {
            *pOut++ = kUndecodable;
        }
    }
    out.resize(static_cast<size_t>(pOut - out.data()));
    return out;
}

std::string WideToAnsi(const char16_t* pText, size_t cch)
{
    const CodePage932& t = Tables();
    std::string out(cch * 2, '\0');
    char* pOut = &out[0];
    for (size_t i = 0; i < cch; ++i) {
        const char16_t c = pText[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < cch && pText[i + 1] >= 0xDC00 &&
            pText[i + 1] <= 0xDFFF) {
            *pOut++ = '?';  // a pair outside the code page: one character, one "?"
            ++i;
            continue;
        }
        const unsigned short bytes = t.fromWide[c];
        if (c == 0) {
            *pOut++ = '\0';
        } else if (bytes == 0) {
            *pOut++ = '?';
        } else if (bytes > 0xFF) {
            *pOut++ = static_cast<char>(bytes >> 8);
            *pOut++ = static_cast<char>(bytes & 0xFF);
        } else {
            *pOut++ = static_cast<char>(bytes);
        }
    }
    out.resize(static_cast<size_t>(pOut - out.data()));
    return out;
}

}  // namespace platform
