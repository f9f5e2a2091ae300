#include "support/xml/codec.h"

#include <cstdint>
#include <new>
#include <string>

#include "support/xml/ascii_run.h"
#include "support/xml/system_code_page.h"

namespace xmlcodec {

const char* const kEncodingNames[kEncodingCount + 1] = {
    "shift_jis", "utf-8", "iso-2022-jp", "euc-jp", "utf-16", nullptr,
};

namespace {

const char kInvalidEncoding[] = "不正な文字エンコーディングが指定されました。";

// U+30FB in Shift_JIS, for byte sequences that name no character.
const unsigned char kUndecodable[2] = {0x81, 0x45};

bool IsShiftJisLead(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool IsJisByte(unsigned char b)
{
    return b >= 0x21 && b <= 0x7E;
}

VOKRESULT AnsiToWide(const char* p, size_t cb, CHeapBuffer<char16_t>* pOut)
{
    return SystemToWide(p, cb, pOut);
}

VOKRESULT WideToAnsi(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut)
{
    // Plain ASCII is the same in the code page; most lines are nothing else.
    size_t i = 0;
    while (i < cch && p[i] < 0x80)
        ++i;
    if (i == cch) {
        if (!pOut->Reserve(cch))
            return kVokError;
        char* const q = pOut->End();
        for (i = 0; i < cch; ++i)
            q[i] = static_cast<char>(p[i]);
        pOut->Grow(cch);
        return kVokOk;
    }
    return WideToSystem(p, cch, pOut);
}

VOKRESULT DecodeUtf8(const unsigned char* p, size_t cb, CHeapBuffer<char16_t>* pOut)
{
    // Never more units than bytes (four bytes give at most a pair), so the units
    // are written straight into room reserved once.
    if (!pOut->Reserve(cb))
        return kVokError;
    char16_t* const pStart = pOut->End();
    char16_t* q = pStart;
    size_t i = 0;
    while (i < cb) {
        const size_t nAscii = WidenAsciiRun(p + i, cb - i, q);
        q += nAscii;
        i += nAscii;
        if (i == cb)
            break;
        const unsigned char b = p[i++];
        if (b < 0x80) {
            *q++ = b;
            continue;
        }
        int nMore;
        uint32_t c;
        if ((b & 0xE0) == 0xC0) {
            nMore = 1;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            nMore = 2;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            nMore = 3;
            c = b & 0x07;
        } else {
            *q++ = 0x30FB;  // a continuation byte without lead, or no lead at all
            continue;
        }
        // Continuation bytes are taken as they come, as the application does.
        for (; nMore > 0 && i < cb; --nMore)
            c = c << 6 | (p[i++] & 0x3F);
        if (nMore > 0)
            break;  // the input ends inside the character
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            *q++ = static_cast<char16_t>(0xD800 + (c >> 10));
            *q++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *q++ = static_cast<char16_t>(c & 0xFFFF);
        }
    }
    pOut->Grow(static_cast<size_t>(q - pStart));
    return kVokOk;
}

VOKRESULT EncodeUtf8(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut)
{
    return AppendUtf8(p, cch, pOut) ? kVokOk : kVokError;
}

VOKRESULT DecodeIso2022Jp(const unsigned char* p, size_t cb, CHeapBuffer<char16_t>* pOut)
{
    // At most two bytes for each byte read, so no push below can fail.
    CHeapBuffer<char> sjis;
    if (cb > SIZE_MAX / 2 || !sjis.Reserve(cb * 2))
        return kVokError;
    bool bDouble = false;
    size_t i = 0;
    while (i < cb) {
        const unsigned char b = p[i];
        if (b == 0x1B && cb - i >= 3) {
            const unsigned char b1 = p[i + 1], b2 = p[i + 2];
            if (b1 == 0x24 && (b2 == 0x42 || b2 == 0x40)) {
                bDouble = true;
                i += 3;
                continue;
            }
            if (b1 == 0x28 && (b2 == 0x4A || b2 == 0x42)) {
                bDouble = false;
                i += 3;
                continue;
            }
        }
        if (bDouble && IsJisByte(b)) {
            if (cb - i < 2)
                break;  // half a character at the end
            unsigned char c1 = b, c2 = p[i + 1];
            if (!IsJisByte(c2)) {
                sjis.Append(reinterpret_cast<const char*>(kUndecodable), 2);
                ++i;  // the second byte starts over
                continue;
            }
            i += 2;
            JisToShiftJis(&c1, &c2);
            sjis.Push(static_cast<char>(c1));
            sjis.Push(static_cast<char>(c2));
            continue;
        }
        // One-byte mode, and control bytes such as line breaks in either mode.
        sjis.Push(static_cast<char>(b));
        ++i;
    }
    return AnsiToWide(sjis.Data(), sjis.Size(), pOut);
}

VOKRESULT DecodeEucJp(const unsigned char* p, size_t cb, CHeapBuffer<char16_t>* pOut)
{
    // At most two bytes for each byte read, so no push below can fail.
    CHeapBuffer<char> sjis;
    if (cb > SIZE_MAX / 2 || !sjis.Reserve(cb * 2))
        return kVokError;
    size_t i = 0;
    while (i < cb) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            sjis.Push(static_cast<char>(b));
            ++i;
        } else if (b == 0x8E) {
            if (cb - i < 2)
                break;
            sjis.Push(static_cast<char>(p[i + 1]));
            i += 2;
        } else if (b == 0x8F) {
            // A JIS X 0212 character: three bytes that Shift_JIS has no form for.
            if (cb - i < 3)
                break;
            sjis.Append(reinterpret_cast<const char*>(kUndecodable), 2);
            i += 3;
        } else if (b >= 0xA1 && b <= 0xFE) {
            if (cb - i < 2)
                break;
            unsigned char c1 = b & 0x7F, c2 = p[i + 1] & 0x7F;
            if (p[i + 1] < 0xA1 || p[i + 1] == 0xFF) {
                sjis.Append(reinterpret_cast<const char*>(kUndecodable), 2);
                ++i;  // the second byte starts over
                continue;
            }
            JisToShiftJis(&c1, &c2);
            sjis.Push(static_cast<char>(c1));
            sjis.Push(static_cast<char>(c2));
            i += 2;
        } else {
            sjis.Append(reinterpret_cast<const char*>(kUndecodable), 2);
            ++i;
        }
    }
    return AnsiToWide(sjis.Data(), sjis.Size(), pOut);
}

// A Shift_JIS pair as JIS X 0208 bytes; false for the pairs beyond that set
// (user-defined and vendor rows, leads F0 and up), which the JIS encodings
// cannot carry: they are written as "?", as the code page writes what it lacks.
bool ToJis0208(unsigned char* pLead, unsigned char* pTrail)
{
    ShiftJisToJis(pLead, pTrail);
    return IsJisByte(*pLead) && IsJisByte(*pTrail);
}

VOKRESULT EncodeIso2022Jp(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut)
{
    CHeapBuffer<char> sjis;
    if (WideToAnsi(p, cch, &sjis) != kVokOk)
        return kVokError;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(sjis.Data());
    const size_t cb = sjis.Size();
    bool bDouble = false;
    for (size_t i = 0; i < cb;) {
        unsigned char c1 = s[i], c2 = 0;
        bool bPair = IsShiftJisLead(c1) && cb - i >= 2;
        size_t nUsed = bPair ? 2 : 1;
        if (bPair) {
            c2 = s[i + 1];
            bPair = ToJis0208(&c1, &c2);
            if (!bPair)
                c1 = '?';
        }
        if (bPair != bDouble) {
            if (!pOut->Append(bPair ? "\x1B\x24\x42" : "\x1B\x28\x42", 3))
                return kVokError;
            bDouble = bPair;
        }
        if (!pOut->Push(static_cast<char>(c1)) || (bPair && !pOut->Push(static_cast<char>(c2))))
            return kVokError;
        i += nUsed;
    }
    if (bDouble && !pOut->Append("\x1B\x28\x42", 3))
        return kVokError;
    return kVokOk;
}

VOKRESULT EncodeEucJp(const char16_t* p, size_t cch, CHeapBuffer<char>* pOut)
{
    CHeapBuffer<char> sjis;
    if (WideToAnsi(p, cch, &sjis) != kVokOk)
        return kVokError;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(sjis.Data());
    const size_t cb = sjis.Size();
    if (cb > SIZE_MAX / 2 || !pOut->Reserve(cb * 2))
        return kVokError;
    for (size_t i = 0; i < cb;) {
        const unsigned char b = s[i];
        if (IsShiftJisLead(b) && cb - i >= 2) {
            unsigned char c1 = b, c2 = s[i + 1];
            if (ToJis0208(&c1, &c2)) {
                pOut->Push(static_cast<char>(c1 | 0x80));
                pOut->Push(static_cast<char>(c2 | 0x80));
            } else {
                pOut->Push('?');
            }
            i += 2;
        } else {
            if (b >= 0xA0 && b <= 0xDF)
                pOut->Push(static_cast<char>(0x8E));
            pOut->Push(static_cast<char>(b));
            ++i;
        }
    }
    return kVokOk;
}

}  // namespace

int FindEncoding(const char16_t* szName, size_t cch)
{
    for (int n = 0; kEncodingNames[n] != nullptr; ++n) {
        const char* szEntry = kEncodingNames[n];
        size_t i = 0;
        for (; i < cch && szEntry[i] != 0; ++i) {
            char16_t c = szName[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char16_t>(c + ('a' - 'A'));
            if (c != static_cast<unsigned char>(szEntry[i]))
                break;
        }
        if (i == cch && szEntry[i] == 0)
            return n;
    }
    return -1;
}

VOKRESULT InvalidEncodingResult()
{
    return reinterpret_cast<VOKRESULT>(kInvalidEncoding);
}

void ShiftJisToJis(unsigned char* pLead, unsigned char* pTrail)
{
    const unsigned c1 = *pLead, c2 = *pTrail;
    const unsigned nAdjust = c2 < 0x9F ? 1 : 0;
    const unsigned nRowOffset = c1 < 0xA0 ? 0x70 : 0xB0;
    const unsigned nCellOffset = nAdjust ? (c2 > 0x7F ? 0x20 : 0x1F) : 0x7E;
    *pLead = static_cast<unsigned char>(((c1 - nRowOffset) << 1) - nAdjust);
    *pTrail = static_cast<unsigned char>(c2 - nCellOffset);
}

void JisToShiftJis(unsigned char* pLead, unsigned char* pTrail)
{
    const unsigned c1 = *pLead, c2 = *pTrail;
    const unsigned nRowOffset = c1 < 0x5F ? 0x70 : 0xB0;
    const unsigned nCellOffset = (c1 & 1) ? (c2 > 0x5F ? 0x20 : 0x1F) : 0x7E;
    *pLead = static_cast<unsigned char>(((c1 + 1) >> 1) + nRowOffset);
    *pTrail = static_cast<unsigned char>(c2 + nCellOffset);
}

VOKRESULT Decode(int nEncoding, const unsigned char* p, size_t cb, CHeapBuffer<char16_t>* pOut)
{
    switch (nEncoding) {
    case 0:
        return AnsiToWide(reinterpret_cast<const char*>(p), cb, pOut);
    case 1:
        return DecodeUtf8(p, cb, pOut);
    case 2:
        return DecodeIso2022Jp(p, cb, pOut);
    case 3:
        return DecodeEucJp(p, cb, pOut);
    case 4:
        if (!pOut->Reserve(cb / 2))
            return kVokError;
        for (size_t i = 0; i + 1 < cb; i += 2)
            pOut->Push(static_cast<char16_t>(p[i] | p[i + 1] << 8));
        return kVokOk;
    default:
        return InvalidEncodingResult();
    }
}

VOKRESULT Encode(int nEncoding, const char16_t* p, size_t cch, CHeapBuffer<char>* pOut)
{
    switch (nEncoding) {
    case 0:
        return WideToAnsi(p, cch, pOut);
    case 1:
        return EncodeUtf8(p, cch, pOut);
    case 2:
        return EncodeIso2022Jp(p, cch, pOut);
    case 3:
        return EncodeEucJp(p, cch, pOut);
    case 4:
        if (cch > SIZE_MAX / 2 || !pOut->Reserve(cch * 2))
            return kVokError;
        for (size_t i = 0; i < cch; ++i) {
            pOut->Push(static_cast<char>(p[i] & 0xFF));
            pOut->Push(static_cast<char>(p[i] >> 8));
        }
        return kVokOk;
    default:
        return InvalidEncodingResult();
    }
}

}  // namespace xmlcodec
