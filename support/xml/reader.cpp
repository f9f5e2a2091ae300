// The document reader: bytes to wide text, then one pass over the text that
// builds the tree. Nesting is kept on an explicit stack of levels, so the depth
// of the input costs no machine stack; it is bounded by kMaxDepth all the same,
// because every other walk of a tree recurses.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "support/file/stream_buffer.h"
#include "support/text/compare.h"
#include "support/text/stream_wide_string.h"
#include "support/xml/codec.h"
#include "support/xml/description.h"

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

bool SameUnits(const char16_t* p, const char16_t* q, size_t n)
{
    return std::memcmp(p, q, n * sizeof(char16_t)) == 0;
}

// The character of the entity named by n units at p, or 0.
char16_t FindEntity(const char16_t* p, size_t n)
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
        if (n == e.nLength && SameUnits(p, e.szName, n))
            return e.ch;
    }
    return 0;
}

// Attribute values with entities: "&#" and decimal digits, or one of the five
// names, between "&" and ";" (blanks around them ignored).
bool DecodeEntities(const char16_t* p, size_t n, CHeapBuffer<char16_t>* pOut)
{
    size_t i = 0;
    while (i < n) {
        size_t nAmp = i;
        while (nAmp < n && p[nAmp] != '&')
            ++nAmp;
        if (!pOut->Append(p + i, nAmp - i))
            return false;
        if (nAmp == n)
            break;
        size_t nSemicolon = nAmp + 1;
        while (nSemicolon < n && p[nSemicolon] != ';')
            ++nSemicolon;
        if (nSemicolon == n)
            return pOut->Append(p + nAmp, n - nAmp);
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
bool DecodeBackslashes(const char16_t* p, size_t n, CHeapBuffer<char16_t>* pOut)
{
    for (size_t i = 0; i < n;) {
        const char16_t c = p[i++];
        if (c != '\\') {
            if (!pOut->Push(c))
                return false;
            continue;
        }
        if (i == n)
            break;  // a backslash at the very end is dropped
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
// each level keeps its node, its within-text switch and its result.
class CDocumentReader {
public:
    CDocumentReader(const char16_t* pText, size_t nLength, int nFlag)
        : m_pText(pText), m_nLength(nLength), m_bBackslashes(nFlag == 1)
    {
    }

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
    EWideString TokenText(const Token& t) const
    {
        return EWideString(m_pText + t.nStart, static_cast<int>(t.nLength));
    }
    // The token as a zero-terminated text in a buffer of the reader (a token
    // never holds a zero, which is a blank); null when memory runs out.
    const char16_t* TerminatedToken(const Token& t)
    {
        m_name.Clear();
        return m_name.Append(m_pText + t.nStart, t.nLength) && m_name.Push(0) ? m_name.Data() : nullptr;
    }
    bool TokenIsTag(const Token& t, const EWideString& strTag) const
    {
        if (t.nLength != static_cast<size_t>(strTag.GetLength()))
            return false;
        for (size_t i = 0; i < t.nLength; ++i) {
            char16_t a = m_pText[t.nStart + i], b = strTag.GetText()[i];
            a = a >= 'a' && a <= 'z' ? static_cast<char16_t>(a - ('a' - 'A')) : a;
            b = b >= 'a' && b <= 'z' ? static_cast<char16_t>(b - ('a' - 'A')) : b;
            if (a != b)
                return false;
        }
        return true;
    }
    bool TokenIs(const Token& t, char16_t c) const { return t.nLength == 1 && m_pText[t.nStart] == c; }

    // Makes a text node of the buffer, when it holds anything, as the last child of pNode.
    bool FlushText(EDescription* pNode);
    bool ParseReference(EDescription* pNode);
    // Reads the attributes of pElement up to its ">" ("/>": *pEmpty is set).
    bool ParseAttributes(Level* pLevel, EDescription* pElement, bool* pEmpty);
    // Gives pElement the attributes read so far, all in one block.
    bool AdoptPending(EDescription* pElement);
    void Error(Level* pLevel, const EString& strMessage)
    {
        pLevel->pNode->OnError(strMessage.GetText());
        pLevel->bError = true;
    }

    const char16_t* m_pText;
    size_t m_nLength;
    size_t m_nPosition = 0;
    bool m_bBackslashes;
    // An attribute read: its name in the text, its value in m_values.
    struct Pending {
        size_t nNameStart;
        int nNameLength;
        size_t nValueStart;
        int nValueLength;
    };

    CHeapBuffer<char16_t> m_text;    // the text run being collected
    CHeapBuffer<char16_t> m_values;  // the decoded values of the element's attributes
    CHeapBuffer<Pending> m_pending;  // the element's attributes read so far
    CHeapBuffer<size_t> m_order;     // their order by name, when not in order
    CHeapBuffer<EDescription::AttributeText> m_adopt;
    CHeapBuffer<char16_t> m_name;    // a tag name, zero-terminated
    Level m_aLevels[EDescription::kMaxDepth + 1];
};

CDocumentReader::Token CDocumentReader::GetToken()
{
    SkipBlanks();
    Token t = {m_nPosition, 0, EStreamWideString::kTokenEnd};
    if (AtEnd())
        return t;
    const char16_t c = m_pText[m_nPosition++];
    if (IsSymbol(c)) {
        t.nType = EStreamWideString::kTokenSymbol;
    } else if (IsDelimiter(c)) {
        t.nType = EStreamWideString::kTokenOperator;
        while (!AtEnd() && !IsBlank(m_pText[m_nPosition]) && IsDelimiter(m_pText[m_nPosition]) &&
               !IsSymbol(m_pText[m_nPosition]))
            ++m_nPosition;
    } else {
        t.nType = EStreamWideString::kTokenWord;
        for (; !AtEnd(); ++m_nPosition) {
            const char16_t n = m_pText[m_nPosition];
            if (IsDelimiter(n) && n != '-' && n != '.' && n != ':')
                break;
        }
    }
    t.nLength = m_nPosition - t.nStart;
    return t;
}

bool CDocumentReader::FlushText(EDescription* pNode)
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

bool CDocumentReader::ParseReference(EDescription* pNode)
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
            ++nEnd;
        EStreamWideString number(m_pText + m_nPosition, static_cast<int>(nEnd - m_nPosition));
        const int nRadix = number.DetectRadix();
        if (nRadix < 0) {
            pNode->OnWarning("&#xxx; 構文で文字コードの指定が不正です。\n");
            return m_text.Push('&') && m_text.Push('#');
        }
        const int64_t nValue = number.ParseInteger(nRadix);
        m_nPosition += static_cast<size_t>(number.GetPosition());
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
    return m_text.Push('&') && m_text.Append(m_pText + t.nStart, t.nLength);
}

bool CDocumentReader::ParseAttributes(Level* pLevel, EDescription* pElement, bool* pEmpty)
{
    *pEmpty = false;
    m_pending.Clear();
    m_values.Clear();
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
        if (name.nLength > static_cast<size_t>(EWideString::kMaxLength))
            return false;
        const size_t nValueStart = m_values.Size();
        SkipBlanks();
        if (!AtEnd() && m_pText[m_nPosition] == '=') {
            ++m_nPosition;
            SkipBlanks();
            size_t nStart = m_nPosition, nStop;
            if (!AtEnd() && m_pText[m_nPosition] == '"') {
                nStart = ++m_nPosition;
                while (m_nPosition < m_nLength && m_pText[m_nPosition] != '"') {
                    // In mode 1 a backslash keeps the next character in the value.
                    if (m_bBackslashes && m_pText[m_nPosition] == '\\' && m_nPosition + 1 < m_nLength)
                        ++m_nPosition;
                    ++m_nPosition;
                }
                nStop = m_nPosition;
                if (!AtEnd())
                    ++m_nPosition;
            } else {
                while (m_nPosition < m_nLength && !IsBlank(m_pText[m_nPosition]))
                    ++m_nPosition;
                nStop = m_nPosition;
            }
            const bool bDecoded = m_bBackslashes ? DecodeBackslashes(m_pText + nStart, nStop - nStart, &m_values)
                                                 : DecodeEntities(m_pText + nStart, nStop - nStart, &m_values);
            if (!bDecoded || m_values.Size() - nValueStart > static_cast<size_t>(EWideString::kMaxLength))
                return false;
        }
        const Pending pending = {name.nStart, static_cast<int>(name.nLength), nValueStart,
                                 static_cast<int>(m_values.Size() - nValueStart)};
        if (!m_pending.Push(pending))
            return false;
    }
}

namespace {

// Attribute names in the order of the tree: by code unit, a prefix first.
int CompareNames(const char16_t* p, int n, const char16_t* q, int m)
{
    const int nCommon = n < m ? n : m;
    for (int i = 0; i < nCommon; ++i) {
        if (p[i] != q[i])
            return static_cast<int>(p[i]) - static_cast<int>(q[i]);
    }
    return n - m;
}

}  // namespace

bool CDocumentReader::AdoptPending(EDescription* pElement)
{
    const size_t n = m_pending.Size();
    if (n == 0)
        return true;
    m_adopt.Clear();
    if (!m_adopt.Reserve(n))
        return false;
    const Pending* a = m_pending.Data();
    const auto text = [&](const Pending& p) {
        return EDescription::AttributeText{m_pText + p.nNameStart, p.nNameLength,
                                           p.nValueLength > 0 ? m_values.Data() + p.nValueStart : u"",
                                           p.nValueLength};
    };
    size_t i = 1;
    while (i < n && CompareNames(m_pText + a[i - 1].nNameStart, a[i - 1].nNameLength, m_pText + a[i].nNameStart,
                                 a[i].nNameLength) < 0)
        ++i;
    if (i == n) {
        // In order already, as written: no name twice.
        for (i = 0; i < n; ++i)
            m_adopt.Push(text(a[i]));
    } else {
        // Sorted by name; of a name given twice the last value counts.
        m_order.Clear();
        if (!m_order.Reserve(n))
            return false;
        for (i = 0; i < n; ++i)
            m_order.Push(i);
        std::sort(m_order.Data(), m_order.Data() + n, [&](size_t x, size_t y) {
            const int nCompare =
                CompareNames(m_pText + a[x].nNameStart, a[x].nNameLength, m_pText + a[y].nNameStart, a[y].nNameLength);
            return nCompare != 0 ? nCompare < 0 : x < y;
        });
        const size_t* pOrder = m_order.Data();
        for (i = 0; i < n; ++i) {
            const Pending& p = a[pOrder[i]];
            if (i + 1 < n) {
                const Pending& q = a[pOrder[i + 1]];
                if (CompareNames(m_pText + p.nNameStart, p.nNameLength, m_pText + q.nNameStart, q.nNameLength) == 0)
                    continue;
            }
            m_adopt.Push(text(p));
        }
    }
    if (m_adopt.Size() > static_cast<size_t>(INT_MAX))
        return false;
    m_pending.Clear();
    return pElement->AdoptAttributes(m_adopt.Data(), static_cast<int>(m_adopt.Size()));
}

VOKRESULT CDocumentReader::Parse(EDescription* pRoot)
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
                if (!m_text.Append(m_pText + m_nPosition, nEnd - m_nPosition))
                    return kVokError;
                m_nPosition = nEnd;
                pLevel->bInText = true;
            } else {
                if (c == ' ' || c == '\t') {
                    if (pLevel->bInText && !m_text.Push(c))
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
            if (TokenIsTag(name, pNode->GetTagName())) {
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
                const size_t nCount = m_nPosition - nStart;
                // Comments are plain nodes, whatever the class of the tree.
                EDescription* pComment = new EDescription;
                if (pComment == nullptr || nCount > static_cast<size_t>(EWideString::kMaxLength) ||
                    pComment->SetTagName(u"!--") != 0 ||
                    pComment->SetText(m_pText + nStart, static_cast<int>(nCount)) != 0 ||
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
        const char16_t* szTag = TerminatedToken(name);
        if (pElement == nullptr || szTag == nullptr || pElement->SetTagName(szTag) != 0 ||
            pNode->AppendChild(pElement) != 0) {
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
    CHeapBuffer<char16_t> text;
    const VOKRESULT nDecoded = xmlcodec::Decode(nEncoding, p, cb, &text);
    pStream->Consume(cb);
    if (nDecoded != kVokOk)
        return nDecoded;

    RemoveAllAttributes();
    DeleteAllChildren();
    // The reader's stack of levels is kept off the machine stack.
    void* pMemory = vokAllocate(sizeof(CDocumentReader));
    if (pMemory == nullptr)
        return kVokError;
    CDocumentReader* pReader =
        new (pMemory) CDocumentReader(text.Data() != nullptr ? text.Data() : u"", text.Size(), nFlag);
    const VOKRESULT nResult = pReader->Parse(this);
    pReader->~CDocumentReader();
    vokFree(pReader);
    return nResult;
}
