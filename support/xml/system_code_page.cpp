#include "support/xml/system_code_page.h"

#include <cstdint>
#include <string>

#include "platform/codepage.h"
#include "support/xml/ascii_run.h"

namespace xmlcodec {
namespace {

// A pair the tables leave to the platform's conversion.
constexpr char16_t kAskPlatform = 0xFFFF;
constexpr int kMaxLeadBytes = 128;

bool IsSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

// The platform's conversions; false when they ran out of memory.
bool PlatformToWide(const std::string& str, std::u16string* pOut)
{
    try {
        *pOut = platform::AnsiToWide(str.data(), str.size());
        return true;
    } catch (...) {
        return false;
    }
}

class CTables {
public:
    CTables()
    {
        try {
            m_bDecode = BuildDecode();
            m_bEncode = m_bDecode && BuildEncode();
        } catch (...) {
            m_bDecode = m_bEncode = false;  // out of memory: the platform does it all
        }
    }

    bool Decode(const unsigned char* p, size_t cb, CHeapBuffer<char16_t>* pOut) const;
    bool IsPlain(const unsigned char* p, size_t cb) const;
    bool IsLead(unsigned char b) const { return m_anRow[b] != 0; }
    bool Encode(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut) const;
    bool CanDecode() const { return m_bDecode; }
    bool CanEncode() const { return m_bEncode; }

private:
    bool BuildDecode();
    bool BuildEncode();

    bool m_bDecode = false;
    bool m_bEncode = false;
    bool m_bAsciiSame = false;               // bytes below 80 are the same units
    unsigned char m_anRow[256] = {};         // lead byte: its row + 1; 0 for others
    char16_t m_achSingle[256] = {};
    char16_t m_aachPairs[kMaxLeadBytes][256] = {};
    uint16_t m_anBytes[65536] = {};          // a unit's bytes: one below 100, else lead << 8 | trail
};

bool CTables::BuildDecode()
{
    std::string strSingles;
    int nRows = 0;
    for (int b = 0; b < 256; ++b) {
        if (!platform::IsLeadByte(static_cast<unsigned char>(b))) {
            strSingles += static_cast<char>(b);
        } else {
            if (nRows == kMaxLeadBytes)
                return false;
            m_anRow[b] = static_cast<unsigned char>(++nRows);
        }
    }
    std::u16string str;
    if (!PlatformToWide(strSingles, &str) || str.size() != strSingles.size())
        return false;
    for (size_t i = 0; i < strSingles.size(); ++i)
        m_achSingle[static_cast<unsigned char>(strSingles[i])] = str[i];
    m_bAsciiSame = true;
    for (int b = 0; b < 0x80; ++b)
        m_bAsciiSame = m_bAsciiSame && (m_anRow[b] != 0 || m_achSingle[b] == b);

    // A high byte that is no lead byte must stay one character whatever follows
    // (in a code page of longer sequences it would not).
    for (int b = 0x80; b < 256; ++b) {
        if (m_anRow[b] != 0)
            continue;
        static const unsigned char kFollowers[] = {0x80, 0xA0, 0xBF, 0x41};
        std::string strTest;
        std::u16string strExpected;
        for (unsigned char t : kFollowers) {
            if (m_anRow[t] != 0)
                continue;
            strTest += static_cast<char>(b);
            strTest += static_cast<char>(t);
            strExpected += m_achSingle[b];
            strExpected += m_achSingle[t];
        }
        if (!PlatformToWide(strTest, &str) || str != strExpected)
            return false;
    }

    // Each lead byte with the usual trail bytes in one call; where that does not
    // give one unit per pair, pair by pair. Other trails are left to the platform.
    for (int b = 0; b < 256; ++b) {
        if (m_anRow[b] == 0)
            continue;
        char16_t* pRow = m_aachPairs[m_anRow[b] - 1];
        std::string strPairs;
        for (int t = 0; t < 256; ++t) {
            pRow[t] = kAskPlatform;
            if (t >= 0x40 && t <= 0xFC && t != 0x7F) {
                strPairs += static_cast<char>(b);
                strPairs += static_cast<char>(t);
            } else if (m_anRow[t] != 0) {
                return false;  // a lead byte must be among the usual trails
            }
        }
        if (!PlatformToWide(strPairs, &str))
            return false;
        if (str.size() * 2 == strPairs.size()) {
            for (size_t i = 0; i < str.size(); ++i)
                pRow[static_cast<unsigned char>(strPairs[2 * i + 1])] = str[i];
            continue;
        }
        for (size_t i = 0; i < strPairs.size(); i += 2) {
            const unsigned char t = static_cast<unsigned char>(strPairs[i + 1]);
            if (!PlatformToWide(strPairs.substr(i, 2), &str))
                return false;
            if (str.size() == 1)
                pRow[t] = str[0];
            else if (m_anRow[t] != 0)
                return false;  // a trail that may start the next pair: not by the table
        }
    }
    return true;
}

bool CTables::BuildEncode()
{
    std::u16string strUnits;
    for (uint32_t c = 1; c < 0x10000; ++c) {
        if (!IsSurrogate(static_cast<char16_t>(c)))
            strUnits += static_cast<char16_t>(c);
    }
    std::string str;
    try {
        str = platform::WideToAnsi(strUnits.data(), strUnits.size());
    } catch (...) {
        return false;
    }
    // One character of one byte, or of a lead byte and a trail, per unit.
    size_t k = 0;
    for (char16_t c : strUnits) {
        if (k == str.size())
            return false;
        const unsigned char b = static_cast<unsigned char>(str[k++]);
        if (m_anRow[b] == 0) {
            m_anBytes[c] = b;
            continue;
        }
        if (k == str.size())
            return false;
        m_anBytes[c] = static_cast<uint16_t>(b << 8 | static_cast<unsigned char>(str[k++]));
    }
    return k == str.size();
}

bool CTables::Decode(const unsigned char* p, size_t cb, CHeapBuffer<char16_t>* pOut) const
{
    // Never more units than bytes from the tables; what the platform adds for the
    // odd cases is appended on its own.
    if (!pOut->Reserve(cb))
        return false;
    char16_t* pStart = pOut->End();
    char16_t* q = pStart;
    size_t i = 0;
    while (i < cb) {
        if (m_bAsciiSame) {
            const size_t nAscii = WidenAsciiRun(p + i, cb - i, q);
            q += nAscii;
            i += nAscii;
            if (i == cb)
                break;
        }
        const unsigned char b = p[i];
        const int nRow = m_anRow[b];
        if (nRow == 0) {
            *q++ = m_achSingle[b];
            ++i;
            continue;
        }
        const char16_t c = i + 1 < cb ? m_aachPairs[nRow - 1][p[i + 1]] : kAskPlatform;
        if (c != kAskPlatform) {
            *q++ = c;
            i += 2;
            continue;
        }
        const size_t n = i + 1 < cb ? 2 : 1;
        std::u16string str;
        if (!PlatformToWide(std::string(reinterpret_cast<const char*>(p + i), n), &str))
            return false;
        pOut->Grow(static_cast<size_t>(q - pStart));
        i += n;
        if (!pOut->Append(str.data(), str.size()) || !pOut->Reserve(cb - i))
            return false;
        pStart = q = pOut->End();
    }
    pOut->Grow(static_cast<size_t>(q - pStart));
    return true;
}

bool CTables::IsPlain(const unsigned char* p, size_t cb) const
{
    if (!m_bDecode || !m_bAsciiSame)
        return false;
    size_t i = 0;
    while (i < cb) {
        i += AsciiRun(p + i, cb - i);
        if (i == cb)
            break;
        const unsigned char b = p[i];
        const int nRow = m_anRow[b];
        if (nRow == 0) {
            if (b >= 0x80 && m_achSingle[b] < 0x80)
                return false;
            ++i;
            continue;
        }
        if (cb - i < 2)
            return false;
        const char16_t c = m_aachPairs[nRow - 1][p[i + 1]];
        if (c == kAskPlatform || c < 0x80)
            return false;
        i += 2;
    }
    return true;
}

bool CTables::Encode(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut) const
{
    if (cch > SIZE_MAX / 2 || !pOut->Reserve(cch * 2))
        return false;
    char* pStart = pOut->End();
    char* q = pStart;
    for (size_t i = 0; i < cch; ++i) {
        const char16_t c = p[i];
        if (IsSurrogate(c)) {
            // From the first surrogate on, the platform converts the rest: a pair
            // is one character to it.
            pOut->Grow(static_cast<size_t>(q - pStart));
            try {
                const std::string str = platform::WideToAnsi(p + i, cch - i);
                return pOut->Append(str.data(), str.size());
            } catch (...) {
                return false;
            }
        }
        const uint16_t n = m_anBytes[c];
        if (n > 0xFF)
            *q++ = static_cast<char>(n >> 8);
        *q++ = static_cast<char>(n & 0xFF);
    }
    pOut->Grow(static_cast<size_t>(q - pStart));
    return true;
}

// Built on first use, once for the process.
const CTables& Tables()
{
    static const CTables s_tables;
    return s_tables;
}

}  // namespace

VOKRESULT SystemToWide(const char* p, size_t cb, CHeapBuffer<char16_t>* pOut)
{
    const CTables& t = Tables();
    if (t.CanDecode())
        return t.Decode(reinterpret_cast<const unsigned char*>(p), cb, pOut) ? kVokOk : kVokError;
    try {
        const std::u16string str = platform::AnsiToWide(p, cb);
        return pOut->Append(str.data(), str.size()) ? kVokOk : kVokError;
    } catch (...) {
        return kVokError;  // out of memory in the conversion
    }
}

bool IsPlainSystemText(const unsigned char* p, size_t cb)
{
    return Tables().IsPlain(p, cb);
}

size_t SystemCharLength(const unsigned char* p, size_t i, size_t n)
{
    return n - i >= 2 && Tables().IsLead(p[i]) ? 2 : 1;
}

VOKRESULT WideToSystem(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut)
{
    const CTables& t = Tables();
    if (t.CanEncode())
        return t.Encode(p, cch, pOut) ? kVokOk : kVokError;
    try {
        const std::string str = platform::WideToAnsi(p, cch);
        return pOut->Append(str.data(), str.size()) ? kVokOk : kVokError;
    } catch (...) {
        return kVokError;
    }
}

}  // namespace xmlcodec
