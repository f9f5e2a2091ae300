// The document writer. A line is built as wide text and encoded on its own (an
// ISO-2022-JP line returns to ASCII at its end); the encoded lines gather in an
// output buffer that goes to the file in large writes, and the last of them when
// the document is complete. Every line ends in a carriage return and a line feed. The layout
// (tabs, attribute order, wrapping before column 80 - 7 per level, escapes) is the
// one the desktop application writes and reads.
#include <cstring>

#include "support/file/file_object.h"
#include "support/text/compare.h"
#include "support/xml/codec.h"
#include "support/xml/description.h"

namespace {

bool IsTextNode(const EDescription* p)
{
    return p->GetTagName().GetLength() == 0 && p->GetChildCount() == 0;
}

bool HasLineBreak(const EWideString& str)
{
    const char16_t* p = str.GetText();
    for (int i = 0; i < str.GetLength(); ++i) {
        if (p[i] == '\n' || p[i] == '\r')
            return true;
    }
    return false;
}

// The units the writer escapes in text and values: the markup characters and
// every unit up to U+0020, as bits of the units below 40.
constexpr uint64_t kEscaped = 0x1FFFFFFFFull | 1ull << '"' | 1ull << '&' | 1ull << '<' | 1ull << '>';

bool IsEscaped(char16_t c)
{
    return c < 64 && (kEscaped >> c & 1);
}

// The entities of the units the writer escapes, as the bytes written for them
// (up to six) with their length in the last byte.
struct CEntities {
    char ach[64][8];
    constexpr CEntities() : ach()
    {
        for (unsigned c = 0; c <= ' '; ++c) {
            char* q = ach[c];
            int n = 0;
            q[n++] = '&';
            q[n++] = '#';
            if (c >= 10)
                q[n++] = static_cast<char>('0' + c / 10);
            q[n++] = static_cast<char>('0' + c % 10);
            q[n++] = ';';
            q[7] = static_cast<char>(n);
        }
        const char* const kNamed[] = {"<&lt;", ">&gt;", "\"&quot;", "&&amp;"};
        for (const char* sz : kNamed) {
            char* q = ach[static_cast<unsigned char>(sz[0])];
            int n = 0;
            for (const char* s = sz + 1; *s != 0; ++s)
                q[n++] = *s;
            q[7] = static_cast<char>(n);
        }
    }
};
constexpr CEntities kEntities;

// Writes the units of p (n of them) at *pq in UTF-8 with the writer's entities,
// and moves *pq past them; with bStopAtLineFeed, stops after the entity of a
// line feed. *pq has room for six bytes a unit and eight more. Returns how many
// units it took; *pnExtra grows by the bytes beyond one per unit of the escaped
// text (units above 7F take two or three bytes).
template <bool bStopAtLineFeed>
inline __attribute__((always_inline)) size_t EscapeUtf8(const char16_t* p, size_t n, char** pq, size_t* pnExtra)
{
    char* q = *pq;
    size_t nExtra = 0;
    size_t i = 0;
    while (i < n) {
        const unsigned c = p[i++];
        if (c < 0x80) {
            if (!IsEscaped(static_cast<char16_t>(c))) {
                *q++ = static_cast<char>(c);
                continue;
            }
            // All eight bytes go over in one move; q moves past the entity only.
            const char* pEntity = kEntities.ach[c];
            std::memcpy(q, pEntity, 8);
            q += static_cast<unsigned char>(pEntity[7]);
            if (bStopAtLineFeed && c == '\n')
                break;
        } else {
            char* const qUnit = q;
            q = xmlcodec::PutUtf8Wide(c, q);
            nExtra += static_cast<size_t>(q - qUnit) - 1;
        }
    }
    *pq = q;
    *pnExtra += nExtra;
    return i;
}

// Appends the units of p (n of them) up to the first one the writer escapes;
// how many it took, or SIZE_MAX when memory runs out.
size_t AppendPlain(CHeapBuffer<char16_t>* pOut, const char16_t* p, size_t n)
{
    size_t i = 0;
    while (i < n && !IsEscaped(p[i]))
        ++i;
    return pOut->Append(p, i) ? i : SIZE_MAX;
}

// Appends a literal of ASCII text without measuring it.
template <class Out, size_t N>
bool AppendLiteral(Out* pOut, const char (&sz)[N])
{
    return pOut->AppendAscii(sz, N - 1);
}

template <class Out>
bool AppendDecimal(Out* pOut, unsigned v)
{
    char16_t ach[8];
    int n = 0;
    do {
        ach[n++] = static_cast<char16_t>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (!pOut->Reserve(static_cast<size_t>(n)))
        return false;
    while (n > 0)
        pOut->Push(ach[--n]);
    return true;
}

}  // namespace

class CDocumentWriter {
public:
    CDocumentWriter(VOKFileObject* pFile, int nEncoding, bool bBackslashes)
        : m_pFile(pFile),
          m_nEncoding(nEncoding),
          m_bBackslashes(bBackslashes),
          m_bDirect(nEncoding == EDescription::kUtf8)
    {
    }

    bool WriteDeclaration();
    bool WriteNode(const EDescription* p, int nIndent, int nDepth);
    // Hands what the output buffer holds to the file. False when the file took
    // less than all of it.
    bool Finish();

private:
    bool Tabs(int n)
    {
        if (m_bDirect) {
            // Mostly a few tabs: written in place rather than copied.
            if (n <= 0)
                return true;
            const size_t cTabs = static_cast<size_t>(n);
            if (!m_bytes.Reserve(cTabs))
                return false;
            char* q = m_bytes.End();
            for (size_t i = 0; i < cTabs; ++i)
                q[i] = '\t';
            m_bytes.Grow(cTabs);
            m_nLineUnits += cTabs;
            return true;
        }
        static const char kTabs[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
        for (; n > 16; n -= 16) {
            if (!PutAscii(kTabs, 16))
                return false;
        }
        return n <= 0 || PutAscii(kTabs, static_cast<size_t>(n));
    }
    template <size_t N>
    bool Ascii(const char (&sz)[N])
    {
        m_nLineUnits += N - 1;
        return m_bDirect ? m_bytes.AppendFixed<N - 1>(sz) : m_line.AppendAscii(sz, N - 1);
    }
    bool Append(const EWideString& str) { return Put(str.GetText(), static_cast<size_t>(str.GetLength())); }
    // Adds to the line: n units at p, or n bytes of ASCII text at p. In UTF-8 the
    // line goes straight into the output buffer, encoded unit by unit as the
    // whole line would be; the other encodings collect it as wide text first.
    bool Put(const char16_t* p, size_t n)
    {
        m_nLineUnits += n;
        return m_bDirect ? xmlcodec::AppendUtf8(p, n, &m_bytes) : m_line.Append(p, n);
    }
    bool PutAscii(const char* p, size_t n)
    {
        m_nLineUnits += n;
        return m_bDirect ? m_bytes.Append(p, n) : m_line.AppendAscii(p, n);
    }
    // Entities for markup characters and for every character up to U+0020; after
    // an inner line feed, a line break and nIndent tabs when nIndent >= 0.
    template <class Out>
    bool EscapeText(Out* pOut, const EWideString& str, int nIndent);
    // The text with entities, into the line.
    bool EscapeText(const EWideString& str, int nIndent)
    {
        if (m_bDirect)
            return EscapeTextUtf8(str, nIndent);
        const size_t nBefore = m_line.Size();
        const bool bOk = EscapeText(&m_line, str, nIndent);
        m_nLineUnits += m_line.Size() - nBefore;
        return bOk;
    }
    // An attribute's value, escaped as wide text, for PutValue; *pnUnits gets
    // its units.
    bool EscapeValue(const EWideString& str, size_t* pnUnits)
    {
        m_value.Clear();
        *pnUnits = 0;
        if (!(m_bBackslashes ? EscapeBackslashes(&m_value, str) : EscapeText(&m_value, str, -1)))
            return false;
        *pnUnits = m_value.Size();
        return true;
    }
    // Adds the value EscapeValue made to the line.
    bool PutValue() { return Put(m_value.Data(), m_value.Size()); }
    // In UTF-8: the text with entities, straight into the output buffer.
    bool EscapeTextUtf8(const EWideString& str, int nIndent);
    // In UTF-8: nIndent tabs, '<' and the tag, in one piece.
    bool StartTagUtf8(const EWideString& strTag, int nIndent);
    // In UTF-8 with entities: an attribute, its value escaped straight into the
    // output buffer, with a line break in front when the line would reach
    // nLimit units.
    bool PutAttributeUtf8(const EWideString& strName, const EWideString& strValue, long long nLimit, int nIndent);
    // Backslash escapes for control characters, quotes and the backslash.
    bool EscapeBackslashes(CHeapBuffer<char16_t>* pOut, const EWideString& str);
    // Encodes the line into the output buffer, which goes to the file once it is
    // full, and empties the line.
    bool Flush();
    bool WriteBytes(const char* p, size_t cb);
    // In UTF-8: ends the line before the byte at nAt of the output (nLineUnits
    // units into the line) and starts the next one with nIndent tabs and a
    // space, moving what follows along.
    bool BreakBefore(size_t nAt, size_t nLineUnits, int nIndent);

    enum : size_t { kOutputBytes = 64 * 1024 };

    VOKFileObject* m_pFile;
    int m_nEncoding;
    bool m_bBackslashes;
    bool m_bDirect;
    size_t m_nLineUnits = 0;  // in the line so far
    CHeapBuffer<char16_t> m_line;
    CHeapBuffer<char16_t> m_value;
    CHeapBuffer<char> m_bytes;
};

bool CDocumentWriter::WriteBytes(const char* p, size_t cb)
{
    while (cb > 0) {
        const uint32_t n = cb > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(cb);
        if (m_pFile->Write(p, n) != n)
            return false;  // a full disk must not pass for success
        p += n;
        cb -= n;
    }
    return true;
}

bool CDocumentWriter::Flush()
{
    const bool bOk = (m_bDirect || xmlcodec::Encode(m_nEncoding, m_line.Data(), m_line.Size(), &m_bytes) == kVokOk) &&
                     (m_bytes.Size() < kOutputBytes || Finish());
    m_line.Clear();
    m_nLineUnits = 0;
    return bOk;
}

bool CDocumentWriter::Finish()
{
    const bool bOk = WriteBytes(m_bytes.Data(), m_bytes.Size());
    m_bytes.Clear();
    return bOk;
}

bool CDocumentWriter::BreakBefore(size_t nAt, size_t nLineUnits, int nIndent)
{
    const size_t cTabs = nIndent > 0 ? static_cast<size_t>(nIndent) : 0;
    const size_t cbBreak = 2 + cTabs + 1;
    if (!m_bytes.Reserve(cbBreak))
        return false;
    char* const q = m_bytes.Data() + nAt;
    std::memmove(q + cbBreak, q, m_bytes.Size() - nAt);
    q[0] = '\r';
    q[1] = '\n';
    for (size_t i = 0; i < cTabs; ++i)
        q[2 + i] = '\t';
    q[2 + cTabs] = ' ';
    m_bytes.Grow(cbBreak);
    m_nLineUnits = m_nLineUnits - nLineUnits + cTabs + 1;
    return true;
}

bool CDocumentWriter::WriteDeclaration()
{
    if (m_nEncoding == EDescription::kUtf16) {
        // Everything of a UTF-16 document is in UTF-16 units, the declaration
        // included; the reader knows it by its first units.
        return Ascii("<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n") && Flush();
    }
    static const char kStart[] = "<?xml version=\"1.0\" encoding=\"";
    static const char kEnd[] = "\"?>\r\n";
    const char* szName = xmlcodec::kEncodingNames[m_nEncoding];
    return m_bytes.Append(kStart, sizeof(kStart) - 1) && m_bytes.Append(szName, std::strlen(szName)) &&
           m_bytes.Append(kEnd, sizeof(kEnd) - 1);
}

template <class Out>
bool CDocumentWriter::EscapeText(Out* pOut, const EWideString& str, int nIndent)
{
    const char16_t* p = str.GetText();
    const int n = str.GetLength();
    for (int i = 0; i < n; ++i) {
        // Characters that stand for themselves go over as a run.
        const size_t nPlain = AppendPlain(pOut, p + i, static_cast<size_t>(n - i));
        if (nPlain == SIZE_MAX)
            return false;
        i += static_cast<int>(nPlain);
        if (i == n)
            break;
        const char16_t c = p[i];
        bool bOk;
        switch (c) {
        case '<': bOk = AppendLiteral(pOut, "&lt;"); break;
        case '>': bOk = AppendLiteral(pOut, "&gt;"); break;
        case '"': bOk = AppendLiteral(pOut, "&quot;"); break;
        case '&': bOk = AppendLiteral(pOut, "&amp;"); break;
        default:  // up to U+0020
            bOk = AppendLiteral(pOut, "&#") && AppendDecimal(pOut, c) && pOut->Push(';');
            if (bOk && c == '\n' && i + 1 < n && nIndent >= 0) {
                bOk = AppendLiteral(pOut, "\r\n") && pOut->Reserve(static_cast<size_t>(nIndent));
                for (int k = 0; bOk && k < nIndent; ++k)
                    pOut->Push('\t');
            }
            break;
        }
        if (!bOk)
            return false;
    }
    return true;
}

bool CDocumentWriter::EscapeTextUtf8(const EWideString& str, int nIndent)
{
    const char16_t* p = str.GetText();
    const size_t n = static_cast<size_t>(str.GetLength());
    size_t i = 0;
    for (;;) {
        if (n - i > SIZE_MAX / 8 || !m_bytes.Reserve(6 * (n - i) + 8))
            return false;
        char* const qStart = m_bytes.End();
        char* q = qStart;
        size_t nExtra = 0;
        i += nIndent >= 0 ? EscapeUtf8<true>(p + i, n - i, &q, &nExtra) : EscapeUtf8<false>(p + i, n - i, &q, &nExtra);
        const size_t cb = static_cast<size_t>(q - qStart);
        m_bytes.Grow(cb);
        m_nLineUnits += cb - nExtra;
        if (i == n)
            return true;
        // A line feed inside the text: the line breaks after its entity.
        if (!Ascii("\r\n") || !Tabs(nIndent))
            return false;
    }
}

bool CDocumentWriter::StartTagUtf8(const EWideString& strTag, int nIndent)
{
    const size_t cTabs = nIndent > 0 ? static_cast<size_t>(nIndent) : 0;
    const size_t nTag = static_cast<size_t>(strTag.GetLength());
    if (nTag > SIZE_MAX / 8 || !m_bytes.Reserve(cTabs + 1 + 3 * nTag))
        return false;
    char* const qStart = m_bytes.End();
    char* q = qStart;
    for (size_t i = 0; i < cTabs; ++i)
        *q++ = '\t';
    *q++ = '<';
    q = xmlcodec::PutUtf8(strTag.GetText(), nTag, q);
    m_bytes.Grow(static_cast<size_t>(q - qStart));
    m_nLineUnits += cTabs + 1 + nTag;
    return true;
}

bool CDocumentWriter::PutAttributeUtf8(const EWideString& strName, const EWideString& strValue, long long nLimit,
                                       int nIndent)
{
    const size_t nName = static_cast<size_t>(strName.GetLength());
    const size_t nValue = static_cast<size_t>(strValue.GetLength());
    // A space, the name, '="', the value and '"'; the lengths come from ints, so
    // that only a 32-bit size_t can overflow.
    if (nName + nValue > SIZE_MAX / 8 || !m_bytes.Reserve(4 + 3 * nName + 6 * nValue + 8))
        return false;
    const size_t nAt = m_bytes.Size();
    char* const qStart = m_bytes.End();
    char* q = qStart;
    *q++ = ' ';
    q = xmlcodec::PutUtf8(strName.GetText(), nName, q);
    *q++ = '=';
    *q++ = '"';
    char* const qValue = q;
    size_t nValueExtra = 0;
    EscapeUtf8<false>(strValue.GetText(), nValue, &q, &nValueExtra);
    const size_t nValueUnits = static_cast<size_t>(q - qValue) - nValueExtra;
    *q++ = '"';
    m_bytes.Grow(static_cast<size_t>(q - qStart));
    const size_t nLineBefore = m_nLineUnits;
    m_nLineUnits += 1 + nName + 2 + nValueUnits + 1;
    if (static_cast<long long>(nLineBefore + nValueUnits) + static_cast<long long>(nName) + 4 >= nLimit)
        return BreakBefore(nAt, nLineBefore, nIndent);
    return true;
}

bool CDocumentWriter::EscapeBackslashes(CHeapBuffer<char16_t>* pOut, const EWideString& str)
{
    static const char16_t kHex[] = u"0123456789ABCDEF";
    const char16_t* p = str.GetText();
    const int n = str.GetLength();
    for (int i = 0; i < n; ++i) {
        const char16_t c = p[i];
        bool bOk;
        if (c == '\n') {
            bOk = AppendLiteral(pOut, "\\n");
        } else if (c == '\r') {
            bOk = AppendLiteral(pOut, "\\r");
        } else if (c == '\t') {
            bOk = AppendLiteral(pOut, "\\t");
        } else if (c == '\\') {
            bOk = AppendLiteral(pOut, "\\\\");
        } else if (c < 0x20 || c == '"' || c == '\'') {
            // The reader takes up to three hex digits: a "0" in front keeps a hex
            // digit that follows out of the escape.
            const char16_t cNext = i + 1 < n ? p[i + 1] : 0;
            const bool bHexNext = (cNext >= '0' && cNext <= '9') || (cNext >= 'A' && cNext <= 'F') ||
                                  (cNext >= 'a' && cNext <= 'f');
            bOk = (bHexNext ? AppendLiteral(pOut, "\\x0") : AppendLiteral(pOut, "\\x")) && pOut->Push(kHex[c >> 4]) &&
                  pOut->Push(kHex[c & 15]);
        } else {
            bOk = pOut->Push(c);
        }
        if (!bOk)
            return false;
    }
    return true;
}

bool CDocumentWriter::WriteNode(const EDescription* p, int nIndent, int nDepth)
{
    if (nDepth > EDescription::kMaxDepth + 1)
        return false;
    const EWideString& strTag = p->GetTagName();
    const int nChildren = p->GetChildCount();
    void* const* ppChildren = p->m_vChildren.GetData();

    if (strTag.GetLength() == 0 && nChildren == 0)
        return Tabs(nIndent) && EscapeText(p->GetText(), nIndent) && Ascii("\r\n") && Flush();
    if (strTag.GetLength() == 0) {
        for (int n = 0; n < nChildren; ++n) {
            if (!WriteNode(static_cast<const EDescription*>(ppChildren[n]), nIndent, nDepth + 1))
                return false;
        }
        return true;
    }
    if (strTag.GetLength() == 3 && CompareWideText(strTag.GetText(), u"!--") == 0) {
        // A comment the reader found unterminated gets its end here; without it
        // the comment would swallow the rest of the document on the next read.
        const EWideString& strText = p->GetText();
        const int n = strText.GetLength();
        const char16_t* s = strText.GetText();
        const bool bEnded = n >= 3 && s[n - 3] == '-' && s[n - 2] == '-' && s[n - 1] == '>';
        return Tabs(nIndent) && Ascii("<") && Append(strText) && (bEnded || Ascii("-->")) && Ascii("\r\n") &&
               Flush();
    }

    if (!(m_bDirect ? StartTagUtf8(strTag, nIndent) : Tabs(nIndent) && Ascii("<") && Append(strTag)))
        return false;
    const long long nLimit = 80 - 7LL * nIndent;
    for (int n = 0; n < p->GetAttributeCount(); ++n) {
        const EWideString& strName = p->GetAttributeNameAt(n);
        if (m_bDirect && !m_bBackslashes) {
            if (!PutAttributeUtf8(strName, p->GetAttributeValueAt(n), nLimit, nIndent))
                return false;
            continue;
        }
        size_t nValueUnits = 0;
        if (!EscapeValue(p->GetAttributeValueAt(n), &nValueUnits))
            return false;
        if (static_cast<long long>(m_nLineUnits + nValueUnits) + strName.GetLength() + 4 >= nLimit) {
            if (!Ascii("\r\n") || !Flush() || !Tabs(nIndent) || !Ascii(" "))
                return false;
        }
        if (!Ascii(" ") || !Append(strName) || !Ascii("=\"") || !PutValue() ||
            !Ascii("\""))
            return false;
    }
    if (nChildren == 0)
        return Ascii("/>\r\n") && Flush();
    const EDescription* pFirst = static_cast<const EDescription*>(ppChildren[0]);
    if (nChildren == 1 && IsTextNode(pFirst) && !HasLineBreak(pFirst->GetText())) {
        return Ascii(">") && EscapeText(pFirst->GetText(), nIndent) && Ascii("</") && Append(strTag) &&
               Ascii(">\r\n") && Flush();
    }
    if (!Ascii(">\r\n") || !Flush())
        return false;
    for (int n = 0; n < nChildren; ++n) {
        if (!WriteNode(static_cast<const EDescription*>(ppChildren[n]), nIndent + 1, nDepth + 1))
            return false;
    }
    return Tabs(nIndent) && Ascii("</") && Append(strTag) && Ascii(">\r\n") && Flush();
}

VOKRESULT EDescription::WriteDocument(VOKFileObject* pFile, int nIndent, int nFlag, int nEncoding) const
{
    if (nEncoding < 0 || nEncoding >= xmlcodec::kEncodingCount)
        return xmlcodec::InvalidEncodingResult();
    if (pFile == nullptr || nIndent < 0 || nIndent > kMaxDepth)
        return kVokInvalidParameter;
    CDocumentWriter writer(pFile, nEncoding, nFlag != 0 && nFlag != 2);
    if (nFlag == 2 && !writer.WriteDeclaration())
        return kVokError;
    return writer.WriteNode(this, nIndent, 0) && writer.Finish() ? kVokOk : kVokError;
}
