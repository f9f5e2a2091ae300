// The document reader: bytes to wide text, then one pass over the text that
// builds the tree. UTF-8 and system code page text that the decoder would turn
// into the same characters piece by piece is walked as bytes instead, and only
// the pieces that go into the tree are decoded: the ASCII characters the syntax is
// made of stand for themselves, and every other character is bytes above 7F
// (a trail byte of the code page may look like ASCII; the walk steps over it).
// Nesting is kept on an explicit stack of levels, so the depth of the input costs
// no machine stack; it is bounded by kMaxDepth all the same, because every other
// walk of a tree recurses.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <type_traits>

#include "support/file/stream_buffer.h"
#include "support/text/compare.h"
#include "support/text/stream_wide_string.h"
#include "support/xml/ascii_run.h"
#include "support/xml/codec.h"
#include "support/xml/description.h"
#include "support/xml/node_arena.h"
#include "support/xml/system_code_page.h"

namespace {

// The token classes of the library's XML token reader: blanks and ASCII
// punctuation except "?", "@" and "_" delimit; the symbols stand alone.
const uint32_t kDelimiters[4] = {0xFFFFFFFFu, 0x7C00FFFFu, 0x78000000u, 0xF8000001u};
const uint32_t kSymbols[4] = {0u, 0x58001384u, 0x28000000u, 0x28000000u};

bool IsDelimiter(char16_t c)
{
    return c < 128 && (kDelimiters[c >> 5] >> (c & 31) & 1);
}

bool IsSymbol(char16_t c)
{
    return c < 128 && (kSymbols[c >> 5] >> (c & 31) & 1);
}

bool IsBlank(char16_t c)
{
    return c <= 0x20;
}

bool IsHexDigit(char16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The character of the entity named by n units at p, or 0.
template <typename T>
char16_t FindEntity(const T* p, size_t n)
{
    struct Entity {
        const char16_t* szName;
        size_t nLength;
        char16_t ch;
    };
    static const Entity kEntities[] = {
        {u"lt", 2, '<'}, {u"gt", 2, '>'}, {u"quot", 4, '"'}, {u"amp", 3, '&'}, {u"nbsp", 4, ' '},
    };
    for (const Entity& e : kEntities) {
        if (n != e.nLength)
            continue;
        size_t i = 0;
        while (i < n && p[i] == e.szName[i])
            ++i;
        if (i == n)
            return e.ch;
    }
    return 0;
}

// Room for what a decoder writes: an attribute's place in its node, sized for
// the worst case, since a value never has more units than its text. Every write
// checks the room all the same. pScratch serves decoders that cannot write in
// place.
struct CRoom {
    char16_t* q;
    char16_t* pEnd;
    CHeapBuffer<char16_t>* pScratch;
    bool Push(char16_t c)
    {
        if (q == pEnd)
            return false;
        *q++ = c;
        return true;
    }
    bool Fits(size_t n) const { return n <= static_cast<size_t>(pEnd - q); }
};

// The units of the reader's texts, and how they give UTF-16: UTF-16 units
// themselves, the bytes of UTF-8 that IsPlainUtf8 accepted, or the bytes of the
// system code page that IsPlainSystemText accepted. kAsciiTrails: a byte inside a
// character may look like ASCII, so walks that look for ASCII above 3F (token
// delimiters, backslashes) step over whole characters.
struct CWideUnits {
    typedef char16_t Unit;
    static constexpr bool kAsciiTrails = false;
    static bool Append(CHeapBuffer<char16_t>* pOut, const char16_t* p, size_t n) { return pOut->Append(p, n); }
    static bool Put(CRoom* pRoom, const char16_t* p, size_t n)
    {
        if (!pRoom->Fits(n))
            return false;
        if (n > 0)
            std::memcpy(pRoom->q, p, n * sizeof(char16_t));
        pRoom->q += n;
        return true;
    }
    // Puts the units before the first unit c (all n when there is none), and
    // gives their count in *pnTaken.
    static bool PutUntil(CRoom* pRoom, const char16_t* p, size_t n, char c, size_t* pnTaken);
    // The units of the character at p[i] of n.
    static size_t CharLength(const char16_t*, size_t, size_t) { return 1; }
};

struct CUtf8Units {
    typedef unsigned char Unit;
    static constexpr bool kAsciiTrails = false;
    // The decoder's characters, for sequences IsPlainUtf8 accepted: never more
    // units than bytes.
    static bool Append(CHeapBuffer<char16_t>* pOut, const unsigned char* p, size_t n)
    {
        if (!pOut->Reserve(n))
            return false;
        char16_t* const pStart = pOut->End();
        pOut->Grow(static_cast<size_t>(Decode(pStart, p, n) - pStart));
        return true;
    }
    static bool Put(CRoom* pRoom, const unsigned char* p, size_t n)
    {
        if (!pRoom->Fits(n))
            return false;
        pRoom->q = Decode(pRoom->q, p, n);
        return true;
    }
    // As CWideUnits::PutUntil, in one pass: the bytes are looked at once.
    static bool PutUntil(CRoom* pRoom, const unsigned char* p, size_t n, char c, size_t* pnTaken)
    {
        if (!pRoom->Fits(n))
            return false;
        char16_t* q = pRoom->q;
        size_t i = 0;
        while (i < n) {
            const unsigned char b = p[i];
            if (b < 0x80) {
                if (b == static_cast<unsigned char>(c))
                    break;
                *q++ = b;
                ++i;
                continue;
            }
            // A character of several bytes: none of them is ASCII.
            const size_t nLength = CharLength(p, i, n);
            q = Decode(q, p + i, nLength);
            i += nLength;
        }
        pRoom->q = q;
        *pnTaken = i;
        return true;
    }
    // Writes the units of the n bytes at p (at most n) at q; returns the end.
    static char16_t* Decode(char16_t* q, const unsigned char* p, size_t n)
    {
        for (size_t i = 0; i < n;) {
            const unsigned char b = p[i];
            if (b < 0x80) {
                *q++ = b;
                ++i;
                continue;
            }
            const size_t nLength = CharLength(p, i, n);
            if (nLength == 1) {
                *q++ = 0x30FB;  // a continuation byte without lead, or no lead at all
                ++i;
                continue;
            }
            uint32_t c = b & (0x7F >> nLength);
            for (size_t k = 1; k < nLength; ++k)
                c = c << 6 | (p[i + k] & 0x3F);
            i += nLength;
            if (c >= 0x10000 && c <= 0x10FFFF) {
                c -= 0x10000;
                *q++ = static_cast<char16_t>(0xD800 + (c >> 10));
                *q++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
            } else {
                *q++ = static_cast<char16_t>(c & 0xFFFF);
            }
        }
        return q;
    }
    static size_t CharLength(const unsigned char* p, size_t i, size_t n)
    {
        const unsigned char b = p[i];
        const size_t nLength = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
        return nLength < n - i ? nLength : n - i;
    }
};

struct CSystemUnits {
    typedef unsigned char Unit;
    static constexpr bool kAsciiTrails = true;
    static bool Append(CHeapBuffer<char16_t>* pOut, const unsigned char* p, size_t n)
    {
        return xmlcodec::SystemToWide(reinterpret_cast<const char*>(p), n, pOut) == kVokOk;
    }
    static bool Put(CRoom* pRoom, const unsigned char* p, size_t n)
    {
        pRoom->pScratch->Clear();
        if (!Append(pRoom->pScratch, p, n))
            return false;
        return CWideUnits::Put(pRoom, pRoom->pScratch->Data(), pRoom->pScratch->Size());
    }
    static bool PutUntil(CRoom* pRoom, const unsigned char* p, size_t n, char c, size_t* pnTaken);
    static size_t CharLength(const unsigned char* p, size_t i, size_t n)
    {
        return p[i] < 0x80 ? 1 : xmlcodec::SystemCharLength(p, i, n);
    }
};

// The length of the sequence at p[i] (a byte above 7F) when the decoder gives its
// character on its own, else 0: complete, with continuation bytes 80-BF, and no
// unit below 80. A byte that leads nothing stands alone (it gives U+30FB).
size_t PlainUtf8Sequence(const unsigned char* p, size_t i, size_t cb)
{
    const unsigned char b = p[i];
    const size_t nLength = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
    if (nLength == 1)
        return 1;
    if (cb - i < nLength)
        return 0;
    uint32_t c = b & (0x7F >> nLength);
    for (size_t k = 1; k < nLength; ++k) {
        if ((p[i + k] & 0xC0) != 0x80)
            return 0;
        c = c << 6 | (p[i + k] & 0x3F);
    }
    const bool bPair = nLength == 4 && c >= 0x10000 && c <= 0x10FFFF;
    return bPair || (c & 0xFFFF) >= 0x80 ? nLength : 0;
}

// True when the decoder gives the characters of these bytes one sequence at a
// time, so that they can be walked as bytes: every sequence plain as above.
bool IsPlainUtf8(const unsigned char* p, size_t cb)
{
    size_t i = 0;
    while (i < cb) {
        // Long runs of ASCII eight bytes at a time; then the group where the run
        // ended byte by byte, and the sequences after it, before the next run.
        i += xmlcodec::AsciiRun(p + i, cb - i);
        while (i < cb && p[i] < 0x80)
            ++i;
        while (i < cb && p[i] >= 0x80) {
            const size_t n = PlainUtf8Sequence(p, i, cb);
            if (n == 0)
                return false;
            i += n;
        }
    }
    return true;
}

// The index of the first unit c of the n at p, or n. Values and texts are short:
// a plain loop beats a library call.
template <typename T>
size_t FindUnit(const T* p, size_t n, char c)
{
    size_t i = 0;
    while (i < n && p[i] != static_cast<T>(c))
        ++i;
    return i;
}

bool CWideUnits::PutUntil(CRoom* pRoom, const char16_t* p, size_t n, char c, size_t* pnTaken)
{
    *pnTaken = FindUnit(p, n, c);
    return Put(pRoom, p, *pnTaken);
}

bool CSystemUnits::PutUntil(CRoom* pRoom, const unsigned char* p, size_t n, char c, size_t* pnTaken)
{
    *pnTaken = FindUnit(p, n, c);
    return Put(pRoom, p, *pnTaken);
}

// Attribute values with entities: "&#" and decimal digits, or one of the five
// names, between "&" and ";" (blanks around them ignored).
template <typename U>
bool DecodeEntities(const typename U::Unit* p, size_t n, CRoom* pOut)
{
    size_t i = 0;
    while (i < n) {
        size_t nAmp = 0;
        if (!U::PutUntil(pOut, p + i, n - i, '&', &nAmp))
            return false;
        nAmp += i;
        if (nAmp == n)
            break;
        size_t nSemicolon = nAmp + 1;
        while (nSemicolon < n && p[nSemicolon] != ';')
            ++nSemicolon;
        if (nSemicolon == n)
            return U::Put(pOut, p + nAmp, n - nAmp);
        size_t nFirst = nAmp + 1, nLast = nSemicolon;
        while (nFirst < nLast && IsBlank(p[nFirst]))
            ++nFirst;
        while (nLast > nFirst && IsBlank(p[nLast - 1]))
            --nLast;
        if (nFirst < nLast && p[nFirst] == '#') {
            uint32_t v = 0;
            for (size_t k = nFirst + 1; k < nLast && p[k] >= '0' && p[k] <= '9'; ++k)
                v = v * 10 + (p[k] - '0');
            if (!pOut->Push(static_cast<char16_t>(v)))
                return false;
            i = nSemicolon + 1;
            continue;
        }
        const char16_t ch = FindEntity(p + nFirst, nLast - nFirst);
        if (ch != 0) {
            if (!pOut->Push(ch))
                return false;
            i = nSemicolon + 1;
            continue;
        }
        if (!pOut->Push('&'))
            return false;
        i = nAmp + 1;
    }
    return true;
}

// Attribute values with backslash escapes.
template <typename U>
bool DecodeBackslashes(const typename U::Unit* p, size_t n, CRoom* pOut)
{
    for (size_t i = 0; i < n;) {
        if (p[i] != '\\') {
            // A character stands for itself, up to the next backslash.
            size_t nEnd = i;
            while (nEnd < n && p[nEnd] != '\\')
                nEnd += U::kAsciiTrails && p[nEnd] >= 0x80 ? U::CharLength(p, nEnd, n) : 1;
            if (!U::Put(pOut, p + i, nEnd - i))
                return false;
            i = nEnd;
            continue;
        }
        if (++i == n)
            break;  // a backslash at the very end is dropped
        if (p[i] >= 0x80) {
            // The backslash is dropped and the character kept.
            const size_t nLength = U::CharLength(p, i, n);
            if (!U::Put(pOut, p + i, nLength))
                return false;
            i += nLength;
            continue;
        }
        char16_t e = p[i++];
        if (e >= '0' && e <= '7') {
            unsigned v = e - '0';
            for (int k = 1; k < 3 && i < n && p[i] >= '0' && p[i] <= '7'; ++k)
                v = v * 8 + (p[i++] - '0');
            e = static_cast<char16_t>(v);
        } else if (e == 'x' && i < n && IsHexDigit(p[i])) {
            unsigned v = 0;
            for (int k = 0; k < 3 && i < n && IsHexDigit(p[i]); ++k) {
                const char16_t h = p[i++];
                v = v * 16 + (h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
            }
            e = static_cast<char16_t>(v);
        } else {
            switch (e) {
            case 'n': e = '\n'; break;
            case 'r': e = '\r'; break;
            case 't': e = '\t'; break;
            case 'v': e = '\v'; break;
            case 'b': e = '\b'; break;
            case 'a': e = '\a'; break;
            case 'f': e = '\f'; break;
            default: break;  // "?", "\", quotes and anything else stand for themselves
            }
        }
        if (!pOut->Push(e))
            return false;
    }
    return true;
}

}  // namespace

// The parse of one document: the position in the text is shared by every level;
// each level keeps its node, its within-text switch and its result. U says what
// the units of the text are (see CWideUnits).
template <typename U>
class CDocumentReader {
    typedef typename U::Unit T;

public:
    CDocumentReader(const T* pText, size_t nLength, int nFlag)
        : m_pText(pText), m_nLength(nLength), m_bBackslashes(nFlag == 1)
    {
    }
    ~CDocumentReader()
    {
        ClearPending();
        for (const KnownName& k : m_aKnownNames)
            EDescription::CloseName(k.pName);
    }
    CDocumentReader(const CDocumentReader&) = delete;
    CDocumentReader& operator=(const CDocumentReader&) = delete;

    VOKRESULT Parse(EDescription* pRoot);

private:
    struct Level {
        EDescription* pNode;
        bool bInText;
        bool bError;
    };

    struct Token {
        size_t nStart;
        size_t nLength;
        int nType;  // EStreamWideString::TokenType
    };

    bool AtEnd() const { return m_nPosition >= m_nLength; }
    // The position of the first unit c at or after nFrom, or the length.
    size_t Find(size_t nFrom, char c) const { return nFrom + FindUnit(m_pText + nFrom, m_nLength - nFrom, c); }
    void SkipBlanks()
    {
        while (m_nPosition < m_nLength && IsBlank(m_pText[m_nPosition]))
            ++m_nPosition;
    }
    // Past the next ">", or to the end.
    void SkipPastClose()
    {
        while (m_nPosition < m_nLength && m_pText[m_nPosition] != '>')
            ++m_nPosition;
        if (m_nPosition < m_nLength)
            ++m_nPosition;
    }
    Token GetToken();
    // The n units of the text at nStart as UTF-16 units: in the text itself, or
    // decoded into a buffer of the reader; null when memory runs out.
    const char16_t* Wide(size_t nStart, size_t n, size_t* pnUnits)
    {
        if constexpr (std::is_same<T, char16_t>::value) {
            *pnUnits = n;
            return m_pText + nStart;
        } else {
            m_wide.Clear();
            if (!U::Append(&m_wide, m_pText + nStart, n))
                return nullptr;
            *pnUnits = m_wide.Size();
            return m_wide.Data() != nullptr ? m_wide.Data() : u"";
        }
    }
    EWideString TokenText(const Token& t)
    {
        size_t n = 0;
        const char16_t* p = Wide(t.nStart, t.nLength, &n);
        return p != nullptr && n <= static_cast<size_t>(EWideString::kMaxLength) ? EWideString(p, static_cast<int>(n))
                                                                                : EWideString();
    }
    // 1 when the token names strTag (ASCII letters without case), 0 when not, -1
    // when memory runs out.
    int TokenIsTag(const Token& t, const EWideString& strTag)
    {
        size_t n = 0;
        const char16_t* p = Wide(t.nStart, t.nLength, &n);
        if (p == nullptr)
            return -1;
        if (n != static_cast<size_t>(strTag.GetLength()))
            return 0;
        for (size_t i = 0; i < n; ++i) {
            char16_t a = p[i], b = strTag.GetText()[i];
            a = a >= 'a' && a <= 'z' ? static_cast<char16_t>(a - ('a' - 'A')) : a;
            b = b >= 'a' && b <= 'z' ? static_cast<char16_t>(b - ('a' - 'A')) : b;
            if (a != b)
                return 0;
        }
        return 1;
    }
    bool TokenIs(const Token& t, char16_t c) const { return t.nLength == 1 && m_pText[t.nStart] == c; }
    // Gives pElement the token as its tag name, shared with every other use of
    // the name the reader keeps in mind. False when memory runs out.
    bool SetTagName(EDescription* pElement, const Token& t)
    {
        EDescription::Name* pName = NameOf(t);
        if (pName == nullptr)
            return false;
        pElement->TakeOpenTag(pName);
        return true;
    }

    // Makes a text node of the buffer, when it holds anything, as the last child of pNode.
    bool FlushText(EDescription* pNode);
    bool ParseReference(EDescription* pNode);
    // Reads the attributes of pElement up to its ">" ("/>": *pEmpty is set).
    bool ParseAttributes(Level* pLevel, EDescription* pElement, bool* pEmpty);
    // Gives pElement the attributes read so far, all in one block.
    bool AdoptPending(EDescription* pElement);
    // The PutValueProc of AdoptPending: decodes the value of the attribute read
    // nIndex-th into its place.
    static long long PutValue(void* pContext, size_t nIndex, char16_t* q);
    // The open name of the token (an attribute's name or a tag), valid until
    // ClearPending; null when memory runs out or the name is too long.
    EDescription::Name* NameOf(const Token& t);
    // Forgets the attributes read, and closes the names no longer known.
    void ClearPending();
    void Error(Level* pLevel, const EString& strMessage)
    {
        pLevel->pNode->OnError(strMessage.GetText());
        pLevel->bError = true;
    }

    const T* m_pText;
    size_t m_nLength;
    size_t m_nPosition = 0;
    bool m_bBackslashes;
    // An attribute read: its name and the text of its value, still encoded
    // (nValueStart to nValueStop of the text; the same for none).
    struct Pending {
        EDescription::Name* pName;
        size_t nValueStart;
        size_t nValueStop;
    };
    // Names met lately, by their units in the text: most documents use a few
    // names over and over, and each then lies in memory once. The names are
    // open; one pushed out of its slot is closed once the attributes that may
    // name it are adopted.
    struct KnownName {
        const T* p;
        size_t n;
        EDescription::Name* pName;
    };
    enum { kKnownNames = 64 };

    CHeapBuffer<char16_t> m_text;    // the text run being collected
    CHeapBuffer<Pending> m_pending;  // the element's attributes read so far
    CHeapBuffer<EDescription::Name*> m_retired;  // names pushed out of their slots
    CHeapBuffer<size_t> m_order;     // their order by name, when not in order
    CHeapBuffer<EDescription::AttributeText> m_adopt;
    CHeapBuffer<char16_t> m_name;    // a name, decoded
    CHeapBuffer<char16_t> m_wide;    // a piece of text, decoded
    KnownName m_aKnownNames[kKnownNames] = {};
    Level m_aLevels[EDescription::kMaxDepth + 1];
};

template <typename U>
typename CDocumentReader<U>::Token CDocumentReader<U>::GetToken()
{
    SkipBlanks();
    Token t = {m_nPosition, 0, EStreamWideString::kTokenEnd};
    if (AtEnd())
        return t;
    const char16_t c = m_pText[m_nPosition];
    if (IsSymbol(c)) {
        ++m_nPosition;
        t.nType = EStreamWideString::kTokenSymbol;
    } else if (IsDelimiter(c)) {
        ++m_nPosition;
        t.nType = EStreamWideString::kTokenOperator;
        while (!AtEnd() && !IsBlank(m_pText[m_nPosition]) && IsDelimiter(m_pText[m_nPosition]) &&
               !IsSymbol(m_pText[m_nPosition]))
            ++m_nPosition;
    } else {
        t.nType = EStreamWideString::kTokenWord;
        while (!AtEnd()) {
            const char16_t n = m_pText[m_nPosition];
            if (IsDelimiter(n) && n != '-' && n != '.' && n != ':')
                break;
            m_nPosition += U::kAsciiTrails && n >= 0x80 ? U::CharLength(m_pText, m_nPosition, m_nLength) : 1;
        }
    }
    t.nLength = m_nPosition - t.nStart;
    return t;
}

template <typename U>
bool CDocumentReader<U>::FlushText(EDescription* pNode)
{
    if (m_text.Empty())
        return true;
    if (m_text.Size() > static_cast<size_t>(EWideString::kMaxLength))
        return false;
    EDescription* p = pNode->CreateInstance();
    const int nCount = static_cast<int>(m_text.Size());
    // Zero-terminated, a text without a zero in it is stored in one step.
    if (p == nullptr || !m_text.Push(0) ||
        p->SetText(m_text.Data(), WideTextLength(m_text.Data()) == nCount ? -1 : nCount) != 0 ||
        pNode->AppendChild(p) != 0) {
        delete p;
        return false;
    }
    m_text.Clear();
    return true;
}

template <typename U>
bool CDocumentReader<U>::ParseReference(EDescription* pNode)
{
    if (!AtEnd() && m_pText[m_nPosition] == '#') {
        ++m_nPosition;
        // The number reader sees only the characters a number could take up, and
        // the one after them that may be its radix suffix.
        size_t nEnd = m_nPosition;
        while (nEnd < m_nLength && IsBlank(m_pText[nEnd]))
            ++nEnd;
        if (nEnd < m_nLength && (m_pText[nEnd] == '+' || m_pText[nEnd] == '-'))
            ++nEnd;
        while (nEnd < m_nLength && IsBlank(m_pText[nEnd]))
            ++nEnd;
        while (nEnd < m_nLength && (IsHexDigit(m_pText[nEnd]) || m_pText[nEnd] == '.'))
            ++nEnd;
        if (nEnd < m_nLength)
            nEnd += U::CharLength(m_pText, nEnd, m_nLength);
        size_t nUnits = 0;
        const char16_t* pNumber = Wide(m_nPosition, nEnd - m_nPosition, &nUnits);
        if (pNumber == nullptr)
            return false;
        // Read in place; what the number reader takes is ASCII: as many bytes as
        // units.
        const int nNumber = static_cast<int>(nUnits < static_cast<size_t>(INT_MAX) ? nUnits : INT_MAX);
        const int nRadix = EStreamWideString::DetectRadix(pNumber, nNumber);
        if (nRadix < 0) {
            pNode->OnWarning("&#xxx; 構文で文字コードの指定が不正です。\n");
            return m_text.Push('&') && m_text.Push('#');
        }
        int nUsed = 0;
        const int64_t nValue = EStreamWideString::ParseInteger(pNumber, nNumber, nRadix, &nUsed);
        m_nPosition += static_cast<size_t>(nUsed);
        if (!m_text.Push(static_cast<char16_t>(nValue & 0xFFFF)))
            return false;
        SkipBlanks();
        if (!AtEnd() && m_pText[m_nPosition] == ';')
            ++m_nPosition;
        else
            pNode->OnWarning("&#xxx; 構文がセミコロンで閉じられていません。\n");
        return true;
    }
    const Token t = GetToken();
    const char16_t ch = FindEntity(m_pText + t.nStart, t.nLength);
    if (ch != 0) {
        SkipBlanks();
        if (!AtEnd() && m_pText[m_nPosition] == ';')
            ++m_nPosition;
        else
            pNode->OnWarning("特殊文字の終端はセミコロンで終わらなければなりません。\n");
        return m_text.Push(ch);
    }
    pNode->OnWarning("& 記号は &amp; と記述しなければなりません。\n");
    return m_text.Push('&') && U::Append(&m_text, m_pText + t.nStart, t.nLength);
}

template <typename U>
bool CDocumentReader<U>::ParseAttributes(Level* pLevel, EDescription* pElement, bool* pEmpty)
{
    *pEmpty = false;
    ClearPending();
    for (;;) {
        SkipBlanks();
        if (AtEnd())
            return AdoptPending(pElement);
        const char16_t c = m_pText[m_nPosition];
        if (c == '>') {
            ++m_nPosition;
            return AdoptPending(pElement);
        }
        if (c == '/') {
            ++m_nPosition;
            *pEmpty = true;
            if (!AdoptPending(pElement))
                return false;
            SkipBlanks();
            if (!AtEnd() && m_pText[m_nPosition] == '>')
                ++m_nPosition;
            else
                Error(pLevel, EString("書式中に不正な / 記号を見つけました。"));
            return true;
        }
        const Token name = GetToken();
        if (name.nType != EStreamWideString::kTokenWord) {
            if (!AdoptPending(pElement))
                return false;
            Error(pLevel, EString("<") + EString(pElement->GetTagName()) + "> タグに不正なタグ属性 '" +
                              EString(TokenText(name)) + "' が指定されています。");
            // The position is left behind the ">", so that the ">" does not become text.
            SkipPastClose();
            return true;
        }
        EDescription::Name* pName = NameOf(name);
        Pending pending = {pName, 0, 0};
        SkipBlanks();
        if (!AtEnd() && m_pText[m_nPosition] == '=') {
            ++m_nPosition;
            SkipBlanks();
            size_t nStart = m_nPosition, nStop;
            if (!AtEnd() && m_pText[m_nPosition] == '"') {
                nStart = ++m_nPosition;
                if (!m_bBackslashes)
                    m_nPosition = Find(m_nPosition, '"');
                while (m_nPosition < m_nLength && m_pText[m_nPosition] != '"') {
                    // In mode 1 a backslash keeps the next character in the value.
                    if (m_bBackslashes && m_pText[m_nPosition] == '\\' && m_nPosition + 1 < m_nLength)
                        ++m_nPosition;
                    m_nPosition += U::kAsciiTrails && m_pText[m_nPosition] >= 0x80
                                       ? U::CharLength(m_pText, m_nPosition, m_nLength)
                                       : 1;
                }
                nStop = m_nPosition;
                if (!AtEnd())
                    ++m_nPosition;
            } else {
                while (m_nPosition < m_nLength && !IsBlank(m_pText[m_nPosition]))
                    ++m_nPosition;
                nStop = m_nPosition;
            }
            pending.nValueStart = nStart;
            pending.nValueStop = nStop;
        }
        if (pName == nullptr || !m_pending.Push(pending))
            return false;
    }
}

template <typename U>
EDescription::Name* CDocumentReader<U>::NameOf(const Token& t)
{
    // A name is a token: never empty. Its length and its first, middle and last
    // units tell most names apart; the comparison does the rest.
    const T* p = m_pText + t.nStart;
    const size_t n = t.nLength;
    size_t nHash = (static_cast<size_t>(p[0]) * 31 + p[n - 1]) * 31 + n * 7 + p[n / 2];
    nHash ^= nHash >> 6;
    KnownName& k = m_aKnownNames[nHash % kKnownNames];
    bool bKnown = k.pName != nullptr && k.n == n;
    for (size_t i = 0; bKnown && i < n; ++i)
        bKnown = k.p[i] == p[i];
    if (!bKnown) {
        m_name.Clear();
        if (!U::Append(&m_name, p, t.nLength) || m_name.Size() > static_cast<size_t>(EWideString::kMaxLength))
            return nullptr;
        EDescription::Name* pName =
            EDescription::NewName(m_name.Data() != nullptr ? m_name.Data() : u"", static_cast<int>(m_name.Size()));
        if (pName == nullptr || (k.pName != nullptr && !m_retired.Push(k.pName))) {
            EDescription::CloseName(pName);
            return nullptr;
        }
        k = {p, t.nLength, pName};
    }
    return k.pName;
}

template <typename U>
void CDocumentReader<U>::ClearPending()
{
    m_pending.Clear();
    for (size_t i = 0; i < m_retired.Size(); ++i)
        EDescription::CloseName(m_retired.Data()[i]);
    m_retired.Clear();
}

namespace {

// Attribute names in the order of the tree: by code unit, a prefix first.
int CompareNames(const EWideString& a, const EWideString& b)
{
    const char16_t* p = a.GetText();
    const char16_t* q = b.GetText();
    const int n = a.GetLength(), m = b.GetLength();
    const int nCommon = n < m ? n : m;
    for (int i = 0; i < nCommon; ++i) {
        if (p[i] != q[i])
            return static_cast<int>(p[i]) - static_cast<int>(q[i]);
    }
    return n - m;
}

}  // namespace

template <typename U>
bool CDocumentReader<U>::AdoptPending(EDescription* pElement)
{
    const size_t n = m_pending.Size();
    if (n == 0)
        return true;
    m_adopt.Clear();
    if (!m_adopt.Reserve(n))
        return false;
    const Pending* a = m_pending.Data();
    const auto text = [&](size_t x) {
        return EDescription::AttributeText{a[x].pName, a[x].nValueStop - a[x].nValueStart, x};
    };
    const auto name = [&](size_t x) -> const EWideString& { return EDescription::NameText(a[x].pName); };
    size_t i = 1;
    while (i < n && (a[i - 1].pName != a[i].pName && CompareNames(name(i - 1), name(i)) < 0))
        ++i;
    if (i == n) {
        // In order already, as written: no name twice.
        for (i = 0; i < n; ++i)
            m_adopt.Push(text(i));
    } else {
        // Sorted by name; of a name given twice the last value counts.
        m_order.Clear();
        if (!m_order.Reserve(n))
            return false;
        for (i = 0; i < n; ++i)
            m_order.Push(i);
        std::sort(m_order.Data(), m_order.Data() + n, [&](size_t x, size_t y) {
            const int nCompare = CompareNames(name(x), name(y));
            return nCompare != 0 ? nCompare < 0 : x < y;
        });
        const size_t* pOrder = m_order.Data();
        for (i = 0; i < n; ++i) {
            if (i + 1 < n && CompareNames(name(pOrder[i]), name(pOrder[i + 1])) == 0)
                continue;
            m_adopt.Push(text(pOrder[i]));
        }
    }
    if (m_adopt.Size() > static_cast<size_t>(INT_MAX))
        return false;
    const bool bAdopted = pElement->AdoptAttributes(m_adopt.Data(), static_cast<int>(m_adopt.Size()), PutValue, this);
    ClearPending();
    return bAdopted;
}

template <typename U>
long long CDocumentReader<U>::PutValue(void* pContext, size_t nIndex, char16_t* q)
{
    CDocumentReader* pReader = static_cast<CDocumentReader*>(pContext);
    const Pending& a = pReader->m_pending.Data()[nIndex];
    const size_t n = a.nValueStop - a.nValueStart;
    CRoom room = {q, q + n, &pReader->m_wide};
    const T* p = pReader->m_pText + a.nValueStart;
    const bool bDecoded =
        pReader->m_bBackslashes ? DecodeBackslashes<U>(p, n, &room) : DecodeEntities<U>(p, n, &room);
    const size_t nUnits = static_cast<size_t>(room.q - q);
    return bDecoded && nUnits <= static_cast<size_t>(EWideString::kMaxLength) ? static_cast<long long>(nUnits) : -1;
}

template <typename U>
VOKRESULT CDocumentReader<U>::Parse(EDescription* pRoot)
{
    int nDepth = 0;
    m_aLevels[0] = {pRoot, false, false};
    while (!AtEnd()) {
        Level* pLevel = &m_aLevels[nDepth];
        EDescription* pNode = pLevel->pNode;
        const char16_t c = m_pText[m_nPosition];
        if (c == '&') {
            ++m_nPosition;
            if (!ParseReference(pNode))
                return kVokError;
            pLevel->bInText = true;
            continue;
        }
        if (c != '<') {
            if (c > 0x20) {
                // A run of plain characters goes into the buffer at once.
                size_t nEnd = m_nPosition + 1;
                while (nEnd < m_nLength && m_pText[nEnd] > 0x20 && m_pText[nEnd] != '<' && m_pText[nEnd] != '&')
                    ++nEnd;
                if (!U::Append(&m_text, m_pText + m_nPosition, nEnd - m_nPosition))
                    return kVokError;
                m_nPosition = nEnd;
                pLevel->bInText = true;
            } else if (!pLevel->bInText) {
                SkipBlanks();  // outside a run of text blanks are nothing
            } else {
                if (c == ' ' || c == '\t') {
                    if (!m_text.Push(c))
                        return kVokError;
                } else {
                    pLevel->bInText = false;  // line breaks end a run of text
                }
                ++m_nPosition;
            }
            continue;
        }

        ++m_nPosition;
        if (!FlushText(pNode))
            return kVokError;
        SkipBlanks();
        if (AtEnd())
            break;
        const char16_t cNext = m_pText[m_nPosition];
        if (cNext == '/') {
            ++m_nPosition;
            const Token name = GetToken();
            const int nIsTag = TokenIsTag(name, pNode->GetTagName());
            if (nIsTag < 0)
                return kVokError;
            if (nIsTag > 0) {
                SkipBlanks();
                if (!AtEnd() && m_pText[m_nPosition] == '>')
                    ++m_nPosition;
                else
                    Error(pLevel, EString("</") + EString(TokenText(name)) + "> の閉じ括弧がありません。");
                if (pLevel->bError || nDepth == 0)
                    return pLevel->bError ? kVokError : kVokOk;
                --nDepth;
                continue;
            }
            Error(pLevel, EString("</") + EString(TokenText(name)) + "> に対応するタグがありません。");
            SkipPastClose();
            continue;
        }
        if (cNext == '?') {
            SkipPastClose();
            continue;
        }
        if (cNext == '!') {
            if (m_nLength - m_nPosition >= 3 && m_pText[m_nPosition + 1] == '-' && m_pText[m_nPosition + 2] == '-') {
                const size_t nStart = m_nPosition;
                size_t i = nStart + 3;
                while (i < m_nLength && !(m_pText[i] == '>' && m_pText[i - 1] == '-' && m_pText[i - 2] == '-'))
                    ++i;
                m_nPosition = i < m_nLength ? i + 1 : m_nLength;
                size_t nCount = 0;
                const char16_t* pText = Wide(nStart, m_nPosition - nStart, &nCount);
                // Comments are plain nodes, whatever the class of the tree.
                EDescription* pComment = pText != nullptr ? new EDescription : nullptr;
                if (pComment == nullptr || nCount > static_cast<size_t>(EWideString::kMaxLength) ||
                    pComment->SetTagName(u"!--") != 0 ||
                    pComment->SetText(pText, static_cast<int>(nCount)) != 0 ||
                    pNode->AppendChild(pComment) != 0) {
                    delete pComment;
                    return kVokError;
                }
                continue;
            }
            SkipPastClose();
            continue;
        }

        // An element.
        const Token name = GetToken();
        if (TokenIs(name, '>') || name.nLength == 0)
            continue;  // "<>", or "<" at the very end: nothing to make
        if (nDepth == EDescription::kMaxDepth) {
            Error(pLevel, EString("タグの入れ子が深すぎます。"));
            return kVokError;
        }
        EDescription* pElement = pNode->CreateInstance();
        if (pElement == nullptr || !SetTagName(pElement, name) || pNode->AppendChild(pElement) != 0) {
            delete pElement;
            return kVokError;
        }
        bool bEmpty = false;
        if (!ParseAttributes(pLevel, pElement, &bEmpty))
            return kVokError;
        if (!bEmpty)
            m_aLevels[++nDepth] = {pElement, false, false};
    }
    if (!FlushText(m_aLevels[nDepth].pNode))
        return kVokError;
    // An element still open at the end is no error; one found earlier on an open
    // level is.
    for (int n = nDepth; n >= 0; --n) {
        if (m_aLevels[n].bError)
            return kVokError;
    }
    return kVokOk;
}

namespace {

// Scans the inside of a declaration for encoding="..."; sets *pEncoding to the
// index named (0 for a name not in the table) and leaves it when there is none.
// Returns false when a name or value could not be made (memory ran out): the
// encoding it named would be missed.
bool ScanDeclaration(const char16_t* p, int n, int* pEncoding)
{
    EStreamWideString reader(p, n, EStreamWideString::kXml);
    if (reader.GetLength() != n)
        return false;
    while (!reader.IsEOF()) {
        int nType;
        const int nNameAt = reader.GetPosition();
        const EWideString strName = reader.GetToken(&nType);
        if (strName.GetLength() == 0 && reader.GetPosition() > nNameAt)
            return false;
        if (reader.TestChar(u"=") == 0)
            break;
        const bool bQuoted = reader.TestChar(u"\"") != 0;
        if (!bQuoted)
            reader.IsEOF();  // past the blanks, so that only the value is counted
        const int nValueAt = reader.GetPosition();
        const EWideString strValue = bQuoted ? reader.GetUntil('"', 0) : reader.GetWord();
        if (strValue.GetLength() == 0 && reader.GetPosition() - nValueAt > (bQuoted ? 1 : 0))
            return false;
        if (CompareWideText(strName.GetText(), u"encoding") == 0) {
            const int nFound = xmlcodec::FindEncoding(strValue.GetText(), static_cast<size_t>(strValue.GetLength()));
            *pEncoding = nFound >= 0 ? nFound : 0;
        }
    }
    return true;
}

// Looks for a declaration at the start of the bytes. Returns true when there is
// one, and updates *pEncoding from it. A declaration in UTF-16 units (as the
// writer makes for encoding 4) proves that encoding.
bool ReadDeclaration(const unsigned char* p, size_t cb, int* pEncoding, bool* pbNoMemory)
{
    if (cb >= 5 && std::memcmp(p, "<?xml", 5) == 0) {
        for (size_t i = 5; i + 1 < cb; ++i) {
            if (p[i] == '?' && p[i + 1] == '>') {
                const EWideString strInside(reinterpret_cast<const char*>(p) + 5, static_cast<int>(i - 5));
                // Bytes that give no text at all: the string could not be made,
                // and reading on would decode the document in the wrong encoding.
                if (i > 5 && strInside.GetLength() == 0) {
                    *pbNoMemory = true;
                    return true;
                }
                if (!ScanDeclaration(strInside.GetText(), strInside.GetLength(), pEncoding))
                    *pbNoMemory = true;
                break;
            }
        }
        return true;
    }
    static const unsigned char kWide[10] = {'<', 0, '?', 0, 'x', 0, 'm', 0, 'l', 0};
    if (cb >= 10 && std::memcmp(p, kWide, 10) == 0) {
        *pEncoding = EDescription::kUtf16;
        return true;
    }
    return false;
}

}  // namespace

namespace {

// Parses n units of text at p into pRoot. The reader's stack of levels is kept off
// the machine stack; the nodes and attribute blocks come from an arena.
template <typename U>
VOKRESULT ParseText(EDescription* pRoot, const typename U::Unit* p, size_t n, int nFlag)
{
    void* pMemory = vokAllocate(sizeof(CDocumentReader<U>));
    if (pMemory == nullptr)
        return kVokError;
    CDocumentReader<U>* pReader = new (pMemory) CDocumentReader<U>(p, n, nFlag);
    VOKRESULT nResult;
    {
        CNodeArena arena;
        nResult = pReader->Parse(pRoot);
    }
    pReader->~CDocumentReader();
    vokFree(pReader);
    return nResult;
}

}  // namespace

VOKRESULT EDescription::ReadDocument(EStreamBuffer* pStream, int nFlag, int nEncoding)
{
    if (pStream == nullptr)
        return kVokInvalidParameter;
    const uint32_t cb = pStream->GetLength();
    const unsigned char* p = cb != 0 ? pStream->GetBuffer(0) : nullptr;
    if (cb != 0 && p == nullptr)
        return kVokError;  // the bytes could not be put together in memory

    if (nFlag == 0 || nFlag == 2) {
        bool bNoMemory = false;
        const bool bDeclaration = p != nullptr && ReadDeclaration(p, cb, &nEncoding, &bNoMemory);
        if (bNoMemory) {
            pStream->Consume(cb);
            return kVokError;
        }
        nFlag = bDeclaration || nFlag == 0 ? 0 : 1;
    }
    if (nEncoding == kUtf8 && IsPlainUtf8(p, cb)) {
        RemoveAllAttributes();
        DeleteAllChildren();
        static const unsigned char kNothing[1] = {0};
        const VOKRESULT nResult = ParseText<CUtf8Units>(this, p != nullptr ? p : kNothing, cb, nFlag);
        pStream->Consume(cb);
        return nResult;
    }
    if (nEncoding == kShiftJis && p != nullptr && xmlcodec::IsPlainSystemText(p, cb)) {
        RemoveAllAttributes();
        DeleteAllChildren();
        const VOKRESULT nResult = ParseText<CSystemUnits>(this, p, cb, nFlag);
        pStream->Consume(cb);
        return nResult;
    }
    CHeapBuffer<char16_t> text;
    const VOKRESULT nDecoded = xmlcodec::Decode(nEncoding, p, cb, &text);
    pStream->Consume(cb);
    if (nDecoded != kVokOk)
        return nDecoded;

    RemoveAllAttributes();
    DeleteAllChildren();
    return ParseText<CWideUnits>(this, text.Data() != nullptr ? text.Data() : u"", text.Size(), nFlag);
}
