#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "support/file/memory_file.h"
#include "support/file/raw_file.h"
#include "support/file/stream_buffer.h"
#include "support/runtime/heap.h"
#include "support/xml/codec.h"
#include "support/xml/description.h"

namespace {

// A node that records the reader's reports; the nodes it makes share its log.
class CRecorder : public EDescription {
public:
    explicit CRecorder(std::vector<std::string>* pLog) : m_pLog(pLog) {}
    EDescription* CreateInstance() override { return new CRecorder(m_pLog); }
    int OnError(const char* sz) override { return Record("error", sz); }
    int OnWarning(const char* sz) override { return Record("warning", sz); }

private:
    int Record(const char* szKind, const char* sz)
    {
        m_pLog->push_back(std::string(szKind) + " on <" + EString(GetTagName()).GetText() + ">: " + sz);
        return 0;
    }
    std::vector<std::string>* m_pLog;
};

void AppendUtf8(std::string* p, unsigned c)
{
    if (c < 0x80) {
        p->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        p->push_back(static_cast<char>(0xC0 | c >> 6));
        p->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        p->push_back(static_cast<char>(0xE0 | c >> 12));
        p->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        p->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Wide text as UTF-8 with control characters as \xNN, for readable expectations.
std::string Show(const EWideString& str)
{
    std::string s;
    for (int i = 0; i < str.GetLength(); ++i) {
        const unsigned c = str.GetText()[i];
        if (c < 0x20 || c == '\\') {
            char sz[8];
            std::snprintf(sz, sizeof(sz), "\\x%02X", c);
            s += sz;
        } else {
            AppendUtf8(&s, c);
        }
    }
    return s;
}

// A tree as one line: elements tag{name=value ...}(children), text "...",
// comments as their text.
std::string Dump(const EDescription& node)
{
    std::string s;
    const std::string strTag = Show(node.GetTagName());
    if (strTag == "!--")
        return "<" + Show(node.GetText());
    if (strTag.empty() && node.GetChildCount() == 0)
        return "\"" + Show(node.GetText()) + "\"";
    s = strTag;
    if (node.GetAttributeCount() > 0) {
        s += "{";
        for (int i = 0; i < node.GetAttributeCount(); ++i)
            s += (i > 0 ? " " : "") + Show(node.GetAttributeNameAt(i)) + "=" + Show(node.GetAttributeValueAt(i));
        s += "}";
    }
    if (node.GetChildCount() > 0) {
        s += "(";
        for (int i = 0; i < node.GetChildCount(); ++i)
            s += (i > 0 ? " " : "") + Dump(*node.GetChildAt(i));
        s += ")";
    }
    return s;
}

std::string DumpChildren(const EDescription& node)
{
    std::string s;
    for (int i = 0; i < node.GetChildCount(); ++i)
        s += (i > 0 ? " " : "") + Dump(*node.GetChildAt(i));
    return s;
}

std::u16string Text(const EWideString& str)
{
    return std::u16string(str.GetText(), static_cast<size_t>(str.GetLength()));
}

VOKRESULT Read(EDescription* pRoot, const std::string& strBytes, int nFlag, int nEncoding = 1)
{
    EStreamBuffer stream;
    stream.Write(strBytes.data(), static_cast<uint32_t>(strBytes.size()));
    const VOKRESULT nResult = pRoot->ReadDocument(&stream, nFlag, nEncoding);
    EXPECT_EQ(0u, stream.GetLength());
    return nResult;
}

std::string Write(const EDescription& root, int nFlag, int nEncoding = 0, int nIndent = 0)
{
    EMemoryFile file;
    EXPECT_EQ(kVokOk, root.WriteDocument(&file, nIndent, nFlag, nEncoding));
    return file.m_str;
}

EDescription* Element(const char16_t* szTag)
{
    EDescription* p = new EDescription;
    p->SetTagName(szTag);
    return p;
}

EDescription* TextNode(const char16_t* szText)
{
    EDescription* p = new EDescription;
    p->SetText(szText);
    return p;
}

class XmlDocument : public ::testing::Test {
protected:
    void SetUp() override { m_nBlocks = vokHeapGetBlockCount(nullptr); }
    void TearDown() override { EXPECT_EQ(m_nBlocks, vokHeapGetBlockCount(nullptr)); }
    size_t m_nBlocks = 0;
};

TEST_F(XmlDocument, ReadsContent)
{
    struct Case { const char* szInput; int nFlag; VOKRESULT nResult; const char* szTree; };
    const Case kCases[] = {
        {"<a x=\"1\" b=2 >text</a>", 0, 0, "a{b=2 x=1}(\"text\")"},
        // An unquoted value runs to the next blank.
        {"<a b=2>text</a> <c/>", 0, 1, "a{b=2>text</a>}"},
        // Indentation and line breaks vanish; blanks inside and at the end of a line stay.
        {"<a>\r\n\t\tone  two \r\n\tthree&#10;</a>", 0, 0, "a(\"one  two three\\x0A\")"},
        // Text on both sides of a child makes two nodes.
        {"<a>x <b/> y</a>", 0, 0, "a(\"x \" b \" y\")"},
        {"<a><b></a>", 0, 1, "a(b)"},
        {"<a><b>", 0, 0, "a(b)"},
        {"<A></a>tail", 0, 0, "A \"tail\""},
        {"<?xml version=\"1.0\"?><!DOCTYPE x><a/><!-- c -- d -->", 0, 0, "a <!-- c -- d -->"},
        {"<!-- open", 0, 0, "<!-- open"},
        {"<!-->x", 0, 0, "<!--> \"x\""},
        {"<>a< >b<", 0, 0, "\"a\" \"b\""},
        {"<x a/>", 0, 0, "x{a=}"},
        // Attributes in name order, a prefix first; of a name given twice the last value.
        {"<x zb=\"1\" ab=2 z=\"3\" a zb=\"4\" b=\"\"/>", 0, 0, "x{a= ab=2 b= z=3 zb=4}"},
        {"<x a=\"1\" =\"2\">in</x>", 0, 1, "x{a=1}(\"in\")"},
        {"<x a=\"&lt;&#65;& amp ;&bogus;&\"/>", 0, 0, "x{a=<A&&bogus;&}"},
        {"<x a=\"a\\tb\" b=\"q\\\"q\" c=\"\\x41\\101\\z\\\"/>", 1, 0, "x{a=a\\x09b b=q\"q c=AAz\"/>}"},
        {"<x a=\"a\\tb\"/>", 0, 0, "x{a=a\\x5Ctb}"},
        {"</a>", 0, 1, ""},
        {"<a></a x>", 0, 1, "a"},
    };
    for (const Case& c : kCases) {
        EDescription root;
        EXPECT_EQ(c.nResult, Read(&root, c.szInput, c.nFlag)) << c.szInput;
        EXPECT_EQ(c.szTree, DumpChildren(root)) << c.szInput;
    }
}

// Elements share the names of their attributes; whatever one element does with
// its attributes, the others keep theirs, also with more names than the reader
// keeps in mind at once and names that push one another out within an element.
TEST_F(XmlDocument, ElementsSharingAttributeNamesKeepTheirOwn)
{
    std::string strDocument;
    for (int nElement = 0; nElement < 3; ++nElement) {
        strDocument += "<e";
        for (int i = 0; i < 300; ++i) {
            const int k = nElement == 1 ? 299 - i : i;  // the second one in reverse
            strDocument += " n" + std::to_string(k) + "=\"" + std::to_string(nElement * 1000 + k) + "\"";
        }
        // The first name once more: the last value counts.
        strDocument += " n0=\"last" + std::to_string(nElement) + "\"/>";
    }
    EDescription* pRoot = new EDescription;
    ASSERT_EQ(kVokOk, Read(pRoot, strDocument, 0));
    ASSERT_EQ(3, pRoot->GetChildCount());
    EDescription* pFirst = pRoot->DetachChildAt(0);
    EDescription* pSecond = pRoot->GetChildAt(0);
    EDescription* pThird = pRoot->GetChildAt(1);
    pThird->RemoveAllAttributes();
    EXPECT_EQ(300, pSecond->GetAttributeCount());
    EXPECT_EQ(u"last1", Text(pSecond->GetAttributeValueAt(pSecond->FindAttribute(u"n0"))));
    EXPECT_EQ(u"1299", Text(pSecond->GetAttributeValueAt(pSecond->FindAttribute(u"n299"))));
    pFirst->RemoveAttribute(u"n5");
    EXPECT_EQ(0, pFirst->SetStringAttribute(u"n7", u"changed"));
    delete pRoot;  // the second and the third go; the first keeps the names
    ASSERT_EQ(299, pFirst->GetAttributeCount());
    for (int i = 0; i < 300; ++i) {
        const std::u16string strName = u"n" + Text(EDescription::FormatInteger(i));
        const int n = pFirst->FindAttribute(strName.c_str());
        if (i == 5) {
            EXPECT_EQ(-1, n);
            continue;
        }
        ASSERT_LE(0, n) << i;
        EXPECT_EQ(strName, Text(pFirst->GetAttributeNameAt(n)));
        const std::u16string strValue = i == 0 ? u"last0" : i == 7 ? u"changed" : Text(EDescription::FormatInteger(i));
        EXPECT_EQ(strValue, Text(pFirst->GetAttributeValueAt(n))) << i;
    }
    delete pFirst;
}

// The reader keeps an element's attributes and their texts in one block, and short
// tag names in the node: changed afterwards, they behave as any others.
TEST_F(XmlDocument, ReadAttributesAndTagsChangeAsAnyOthers)
{
    EDescription root;
    ASSERT_EQ(kVokOk, Read(&root, "<item name=\"old\" icon=\"1\" id_att=\"7\"/><averyverylongtagname/>", 0));
    EDescription* pItem = root.GetChildAt(0);
    ASSERT_NE(nullptr, pItem);
    const EWideString& strName = pItem->GetAttributeValueAt(pItem->FindAttribute(u"name"));
    // Shorter, then longer than the room the value had: the same string object.
    EXPECT_EQ(0, pItem->SetStringAttribute(u"name", u"ne"));
    EXPECT_EQ(u"ne", Text(strName));
    EXPECT_EQ(0, pItem->SetStringAttribute(u"name", u"a much longer name than before"));
    EXPECT_EQ(u"a much longer name than before", Text(strName));
    EXPECT_EQ(0, pItem->SetIntAttribute(u"id_att", 70000));
    EXPECT_EQ(0, pItem->SetIntAttribute(u"category", 0));
    EXPECT_EQ(0, pItem->SetStringAttribute(u"zz", u"last"));
    pItem->RemoveAttribute(u"icon");
    EXPECT_EQ(4, pItem->GetAttributeCount());

    EDescription* pLong = root.GetChildAt(1);
    ASSERT_NE(nullptr, pLong);
    EXPECT_EQ(u"averyverylongtagname", Text(pLong->GetTagName()));
    EXPECT_EQ(0, pItem->SetTagName(u"an-item-with-a-long-tag"));
    EXPECT_EQ(0, pLong->SetTagName(u"b"));
    EXPECT_EQ("<an-item-with-a-long-tag category=\"0\" id_att=\"00011170H\"\r\n  name=\"a&#32;much&#32;longer&#32;"
              "name&#32;than&#32;before\" zz=\"last\"/>\r\n<b/>\r\n",
              Write(root, 0));
    pItem->RemoveAllAttributes();
    EXPECT_EQ(0, pItem->SetStringAttribute(u"a", u"1"));
    EXPECT_EQ("<an-item-with-a-long-tag a=\"1\"/>\r\n<b/>\r\n", Write(root, 0));
    EXPECT_EQ(kVokOk, vokVerifyHeapChain(nullptr));
}

// The attributes the reader made are their own list until one is added: removing
// one, also with a value that moved out of the block, needs no memory, and what
// follows keeps its values.
TEST_F(XmlDocument, ReadAttributesAreRemovedWithoutMemory)
{
    EDescription root;
    ASSERT_EQ(kVokOk, Read(&root, "<e a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\"/>", 0));
    EDescription* p = root.GetChildAt(0);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0, p->SetStringAttribute(u"c", u"a value longer than its room"));
    EXPECT_EQ(0, p->SetStringAttribute(u"d", u""));  // shorter: stays in the block
    EXPECT_EQ(0, p->SetStringAttribute(u"e", u"another value longer than its room"));
    vokHeapFailAllocation(1);
    p->RemoveAttribute(u"b");
    p->RemoveAttributeAt(0);
    p->RemoveAttribute(u"e");
    vokHeapFailAllocation(0);
    EXPECT_EQ("<e c=\"a&#32;value&#32;longer&#32;than&#32;its&#32;room\" d=\"\"/>\r\n", Write(root, 0));
    EXPECT_EQ(0, p->SetStringAttribute(u"cc", u"x"));
    EXPECT_EQ(0, p->SetStringAttribute(u"a", u"y"));
    p->RemoveAttribute(u"c");
    EXPECT_EQ(0, p->SetStringAttribute(u"d", u"a longer one"));
    EXPECT_EQ("<e a=\"y\" cc=\"x\" d=\"a&#32;longer&#32;one\"/>\r\n", Write(root, 0));
    EXPECT_EQ(kVokOk, vokVerifyHeapChain(nullptr));
}

// The reader gives every element of one tag the same name, and a copy shares it
// too: a node whose tag changes, or that goes, leaves the others' alone.
TEST_F(XmlDocument, TagsReadOnceChangeAndGoOneNodeAtATime)
{
    EDescription* pRoot = new EDescription;
    ASSERT_EQ(kVokOk, Read(pRoot, "<item><item/><item a=\"1\"/></item>", 0));
    EDescription* pOuter = pRoot->GetChildAt(0);
    ASSERT_NE(nullptr, pOuter);
    ASSERT_EQ(2, pOuter->GetChildCount());
    EDescription copy;
    ASSERT_EQ(0, copy.CopyFrom(pOuter));
    EXPECT_EQ(0, pOuter->GetChildAt(0)->SetTagName(u"other"));
    EXPECT_EQ(0, copy.GetChildAt(1)->SetTagName(u""));
    EXPECT_EQ("<item>\r\n\t<other/>\r\n\t<item a=\"1\"/>\r\n</item>\r\n", Write(*pRoot, 0));
    delete pRoot;
    EXPECT_EQ(u"item", Text(copy.GetTagName()));
    EXPECT_EQ(u"item", Text(copy.GetChildAt(0)->GetTagName()));
    EXPECT_EQ(u"", Text(copy.GetChildAt(1)->GetTagName()));
    EXPECT_EQ(0, copy.SetTagName(nullptr));
    EXPECT_EQ(u"", Text(copy.GetTagName()));
    copy.DeleteAllChildren();
}

// Plain UTF-8 is walked as bytes; whatever the bytes, the tree, the result and
// every report must be those of the same text read as UTF-16 units.
// Documents made of random pieces, read from their bytes and from their decoded
// units in UTF-16, give the same trees, results and reports. The last nOdd pieces
// are sequences the decoder reads otherwise than character by character, which a
// third of the documents may hold: such a text falls back to being decoded whole.
void ExpectBytesReadAsTheirDecodedText(int nEncoding, const char* const* ppPieces, size_t nPieces, size_t nOdd)
{
    unsigned nSeed = 4711;
    const auto next = [&nSeed] { return nSeed = nSeed * 1103515245u + 12345u, nSeed >> 8; };
    for (int nCase = 0; nCase < 600; ++nCase) {
        std::string strBytes;
        const bool bPlain = nCase % 3 != 0;
        const unsigned nCount = 1 + next() % 24;
        for (unsigned i = 0; i < nCount; ++i)
            strBytes += ppPieces[next() % (bPlain ? nPieces - nOdd : nPieces)];
        CHeapBuffer<char16_t> units;
        ASSERT_EQ(kVokOk, xmlcodec::Decode(nEncoding, reinterpret_cast<const unsigned char*>(strBytes.data()),
                                           strBytes.size(), &units));
        std::string strUtf16;
        for (size_t i = 0; i < units.Size(); ++i) {
            strUtf16 += static_cast<char>(units.Data()[i] & 0xFF);
            strUtf16 += static_cast<char>(units.Data()[i] >> 8);
        }
        for (int nFlag = 0; nFlag <= 1; ++nFlag) {
            std::vector<std::string> vBytes, vUnits;
            CRecorder fromBytes(&vBytes), fromUnits(&vUnits);
            const VOKRESULT r = Read(&fromBytes, strBytes, nFlag, nEncoding);
            EXPECT_EQ(Read(&fromUnits, strUtf16, nFlag, EDescription::kUtf16), r) << strBytes;
            EXPECT_EQ(DumpChildren(fromUnits), DumpChildren(fromBytes)) << strBytes;
            EXPECT_EQ(vUnits, vBytes) << strBytes;
        }
        if (::testing::Test::HasFailure())
            return;
    }
}

TEST_F(XmlDocument, Utf8ReadsAsItsDecodedText)
{
    static const char* const kPieces[] = {
        "<a", "<b x=\"", "\"", " y=", "\xC3\xA9", "\xE5\x86\x99\xE7\x9C\x9F", "\xF0\x9F\x98\x80", "&amp;",
        "&#65;", "&#41H;", "&#1", "&#12\xC3\xA9", "&#x41;", "&foo;", "& \xC3\xA9", "\\", "\\\xC3\xA9", "\\x4",
        ">", "/>", "</a>", "</b >", "</\xC3\xA9>", "<\xC3\xA9 \xC3\xA9=\"\xC3\xA9\">", "<!-- \xC3\xA9", "-->",
        "\r\n\t", " ", "\x80", "\xBF\xFF", "\xF8", "<?pi \xC3\xA9?>", "<!D>", "=", "\xEF\xBF\xBF", "z",
        "\xF7\xBF\xBF\xBF",
        "\xC1\xBC", "\xC3<", "\xF4\x90\x80\x80",
    };
    ExpectBytesReadAsTheirDecodedText(EDescription::kUtf8, kPieces, sizeof(kPieces) / sizeof(kPieces[0]), 3);
}

// Trail bytes of the code page that look like a backslash, a bracket or another
// delimiter belong to their character: in names, values and escapes alike.
TEST_F(XmlDocument, ShiftJisReadsAsItsDecodedText)
{
    static const char* const kPieces[] = {
        "<a", "<b x=\"", "\"", " y=", "\x83\x5C", "\x95\x5C\x94\x5C", "\x83\x5B\x83\x5D", "\x81\x60",
        "\x83\x7B\x83\x7C\x83\x7D\x81\x7E", "\x81\x40", "\xB1", "&amp;", "&#65;", "&#1", "&#12\x83\x5C",
        "&\x83\x5C;", "\\", "\\\x83\x5C", "\\x4", "\x83\x5C\\", ">", "/>", "</a>", "</b >", "</\x83\x5C>",
        "<\x83\x5C \x95\x5C=\"\x94\x5C\">", "<\x83\x5B\x83\x5C\x83\x5D>", "<!-- \x83\x5C", "-->", "\r\n\t",
        " ", "\x80", "\xA0", "<?pi \x83\x5C?>", "<!D>", "=", "z",
        "\x81", "\x81<", "\x81\x7F",
    };
    ExpectBytesReadAsTheirDecodedText(EDescription::kShiftJis, kPieces, sizeof(kPieces) / sizeof(kPieces[0]), 3);
}

// A node that comes with an attribute of its own takes the ones read one by one:
// decoded as any, sorted in among its own, replacing it when named alike.
class CPreset : public EDescription {
public:
    CPreset() { SetStringAttribute(u"m", u"preset"); }
    EDescription* CreateInstance() override { return new CPreset; }
};

TEST_F(XmlDocument, NodesWithAttributesOfTheirOwnTakeTheReadOnes)
{
    const struct {
        const char* szInput;
        int nFlag;
        int nEncoding;
        std::u16string strExpected;  // name=value pairs in the node's order
    } kCases[] = {
        {"<x z=\"&amp;\xC3\xA9\" a=\"1\"/>", 0, EDescription::kUtf8, u"a=1 m=preset z=&\u00E9"},
        {"<x m=\"\xE5\x86\x99&#65;\" b/>", 0, EDescription::kUtf8, u"b= m=\u5199A"},
        {"<x z=\"\\x41\\n\"/>", 1, EDescription::kUtf8, u"m=preset z=A\n"},
        {"<x z=\"\x83\x5C&lt;\" m=\"\"/>", 0, EDescription::kShiftJis, u"m= z=\u30BD<"},
    };
    for (const auto& c : kCases) {
        CPreset root;
        ASSERT_EQ(kVokOk, Read(&root, c.szInput, c.nFlag, c.nEncoding)) << c.szInput;
        const EDescription* pNode = root.GetChildAt(0);
        ASSERT_NE(nullptr, pNode);
        std::u16string str;
        for (int i = 0; i < pNode->GetAttributeCount(); ++i) {
            str += (i > 0 ? u" " : u"") + Text(pNode->GetAttributeNameAt(i)) + u"=" +
                   Text(pNode->GetAttributeValueAt(i));
        }
        EXPECT_EQ(c.strExpected, str) << c.szInput;
    }
}

TEST_F(XmlDocument, ReportsErrorsOnTheNodeBeingParsed)
{
    struct Case { const char* szInput; std::vector<std::string> vLog; };
    const Case kCases[] = {
        {"<a><b></a>", {"error on <b>: </a> に対応するタグがありません。"}},
        {"<a></a", {"error on <a>: </a> の閉じ括弧がありません。"}},
        {"<a><b / x>", {"error on <a>: 書式中に不正な / 記号を見つけました。"}},
        {"<a><b =x></b></a>", {"error on <a>: <b> タグに不正なタグ属性 '=' が指定されています。"}},
        {"&#65;&#41H;&#x41;", {"warning on <>: &#xxx; 構文で文字コードの指定が不正です。\n"}},
        {"&#65", {"warning on <>: &#xxx; 構文がセミコロンで閉じられていません。\n"}},
        {"&amp x&foo;", {"warning on <>: 特殊文字の終端はセミコロンで終わらなければなりません。\n",
                         "warning on <>: & 記号は &amp; と記述しなければなりません。\n"}},
    };
    for (const Case& c : kCases) {
        std::vector<std::string> vLog;
        CRecorder root(&vLog);
        Read(&root, c.szInput, 0);
        EXPECT_EQ(c.vLog, vLog) << c.szInput;
    }

    std::vector<std::string> vLog;
    CRecorder root(&vLog);
    EXPECT_EQ(kVokOk, Read(&root, "&#65;&#41H;&#x41;&amp x&foo;", 0));
    EXPECT_EQ("(\"AA&#x41;&x&foo;\")", Dump(root));
    EXPECT_NE(nullptr, dynamic_cast<CRecorder*>(root.GetChildAt(0)));  // made through CreateInstance
}

TEST_F(XmlDocument, DeclarationChoosesModeAndEncoding)
{
    struct Case { std::string strInput; int nFlag; int nEncoding; const char* szTree; };
    const Case kCases[] = {
        // Without a declaration flag 2 reads backslash escapes; flag 0 does not.
        {"<x v=\"a\\tb\"/>", 2, 1, "(x{v=a\\x09b})"},
        {"<x v=\"a\\tb\"/>", 0, 1, "(x{v=a\\x5Ctb})"},
        {"<?xml encoding=\"UTF-8\"?><x v=\"a\\tb\">\xC3\xA9</x>", 2, 0, "(x{v=a\\x5Ctb}(\"\xC3\xA9\"))"},
        {"<?xml encoding=\"latin1\"?><x>\x82\xA0</x>", 2, 1, "(x(\"\xE3\x81\x82\"))"},
        {"<?xml version=\"1.0\"?><x>\xC3\xA9</x>", 2, 1, "(x(\"\xC3\xA9\"))"},
        // A declaration further in is no declaration.
        {" <?xml encoding=\"euc-jp\"?><x v=\"\\n\"/>", 2, 1, "(x{v=\\x0A})"},
        {std::string("<\0?\0x\0m\0l\0?\0>\0<\0x\0/\0>\0", 22), 2, 0, "(x)"},
    };
    for (const Case& c : kCases) {
        EDescription root;
        EXPECT_EQ(kVokOk, Read(&root, c.strInput, c.nFlag, c.nEncoding)) << c.strInput;
        EXPECT_EQ(c.szTree, Dump(root)) << c.strInput;
    }
}

TEST_F(XmlDocument, InvalidEncodingLeavesTheTreeAlone)
{
    EDescription root;
    ASSERT_EQ(kVokOk, Read(&root, "<kept/>", 0));
    const VOKRESULT nResult = Read(&root, "<x/>", 0, 5);
    ASSERT_TRUE(IsMessageResult(nResult));
    EXPECT_STREQ("不正な文字エンコーディングが指定されました。", GetErrorMessage(nResult));
    EXPECT_EQ("(kept)", Dump(root));
    EMemoryFile file;
    EXPECT_EQ(nResult, root.WriteDocument(&file, 0, 2, -1));
    EXPECT_EQ("", file.m_str);
}

TEST_F(XmlDocument, NestingIsBounded)
{
    std::string strDeep;
    for (int i = 0; i < EDescription::kMaxDepth; ++i)
        strDeep += "<d>";
    EDescription root;
    EXPECT_EQ(kVokOk, Read(&root, strDeep + "text", 0));
    EDescription copy;
    EXPECT_EQ(0, copy.CopyFrom(&root));
    EMemoryFile file;
    EXPECT_EQ(kVokOk, copy.WriteDocument(&file, 0, 0, 0));
    EDescription again;
    EXPECT_EQ(kVokOk, Read(&again, file.m_str, 0, 0));
    EXPECT_EQ(Dump(root), Dump(again));

    std::vector<std::string> vLog;
    CRecorder deep(&vLog);
    EXPECT_EQ(kVokError, Read(&deep, strDeep + "<d>", 0));
    EXPECT_EQ(1u, vLog.size());
    EXPECT_EQ(1, Read(&deep, std::string(1000000, '<').insert(0, "<x>"), 0));

    // A tree built by hand beyond the limit is refused by the writer.
    EDescription* p = &copy;
    while (p->GetChildCount() > 0 && p->GetChildAt(0)->GetChildCount() > 0)
        p = p->GetChildAt(0);
    p->GetChildAt(0)->AppendChild(Element(u"d"));
    EXPECT_EQ(kVokError, copy.WriteDocument(&file, 0, 0, 0));
}

TEST_F(XmlDocument, WritesTheApplicationsLayout)
{
    EDescription root;
    EDescription* pView = Element(u"view");
    root.AppendChild(pView);
    EDescription* pLine = Element(u"line");
    pLine->SetStringAttribute(u"v", u"a b\"<&>");
    pLine->AppendChild(TextNode(u"one line"));
    pView->AppendChild(pLine);
    EDescription* pBreak = Element(u"para");
    pBreak->AppendChild(TextNode(u"first\nsecond\n"));
    pView->AppendChild(pBreak);
    pView->AppendChild(Element(u"empty"));
    EDescription* pMixed = Element(u"mixed");
    pMixed->AppendChild(TextNode(u"t"));
    pMixed->AppendChild(Element(u"e"));
    pView->AppendChild(pMixed);
    EDescription* pComment = Element(u"!--");
    pComment->SetText(u"!-- note -->");
    pView->AppendChild(pComment);
    EDescription* pOpen = Element(u"!--");
    pOpen->SetText(u"!-- open");
    pView->AppendChild(pOpen);

    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"shift_jis\"?>\r\n"
              "<view>\r\n"
              "\t<line v=\"a&#32;b&quot;&lt;&amp;&gt;\">one&#32;line</line>\r\n"
              "\t<para>\r\n"
              "\t\tfirst&#10;\r\n"
              "\t\tsecond&#10;\r\n"
              "\t</para>\r\n"
              "\t<empty/>\r\n"
              "\t<mixed>\r\n"
              "\t\tt\r\n"
              "\t\t<e/>\r\n"
              "\t</mixed>\r\n"
              "\t<!-- note -->\r\n"
              "\t<!-- open-->\r\n"
              "</view>\r\n",
              Write(root, 2));

    pLine->SetStringAttribute(u"w", u"\"\x01" u"A\\'\n");
    EXPECT_EQ("<line v=\"a b\\x22<&>\" w=\"\\x22\\x001A\\\\\\x27\\n\">one&#32;line</line>\r\n",
              Write(*pLine, 1));
}

TEST_F(XmlDocument, WrapsAttributesBeforeTheLineReachesItsLimit)
{
    // At the top level a line may not reach 80 characters, one level down 73.
    EDescription item;
    item.SetTagName(u"item");
    item.SetStringAttribute(u"a", u"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");  // 63
    item.SetStringAttribute(u"b", u"12345");
    // "<item a=...63..." is 5 + 68 = 73 long; b needs 73 + 5 + 1 + 4 = 83.
    EXPECT_EQ("<item a=\"" + std::string(63, 'x') + "\"\r\n  b=\"12345\"/>\r\n", Write(item, 0));
    item.SetStringAttribute(u"b", u"1");
    // 73 + 1 + 1 + 4 = 79 stays on the line at the top level...
    EXPECT_EQ("<item a=\"" + std::string(63, 'x') + "\" b=\"1\"/>\r\n", Write(item, 0));
    // ...and one level down the first attribute already needs a new line: 6 + 63 + 1 + 4 >= 73.
    EXPECT_EQ("\t<item\r\n\t  a=\"" + std::string(63, 'x') + "\"\r\n\t  b=\"1\"/>\r\n", Write(item, 0, 0, 1));
}

// UTF-8 escapes values straight into the output, the other encodings into a
// line of wide text first: with ASCII text both must wrap at the same places,
// whatever entities the values take.
TEST_F(XmlDocument, EntitiesCountTowardsTheLineAlikeInEveryEncoding)
{
    static const char16_t kUnits[] = {u'x', u'<', u'>', u'"', u'&', u'\t', u'\n', u'\x1F', u' '};
    for (char16_t c : kUnits) {
        for (int n = 0; n < 40; ++n) {
            EDescription item;
            item.SetTagName(u"item");
            item.SetStringAttribute(u"a", std::u16string(static_cast<size_t>(n), u'y').c_str());
            item.SetStringAttribute(u"b", (std::u16string(static_cast<size_t>(n % 7), c) + u"z").c_str());
            item.SetStringAttribute(u"c", std::u16string(static_cast<size_t>(n / 3), c).c_str());
            const std::string strWide = Write(item, 0, EDescription::kShiftJis, 1);
            EXPECT_EQ(strWide, Write(item, 0, EDescription::kUtf8, 1)) << static_cast<int>(c) << " " << n;
        }
    }
}

TEST_F(XmlDocument, ReportsAShortWrite)
{
    EDescription root;
    ASSERT_EQ(kVokOk, Read(&root, "<a><b x=\"1\"/><c>text</c></a>", 0));
    const std::string strFull = Write(root, 2);
    for (size_t cb = 0; cb < strFull.size(); cb += 7) {
        EMemoryFile file;
        file.m_cbLimit = cb;
        EXPECT_EQ(kVokError, root.WriteDocument(&file, 0, 2, 0)) << cb;
    }
}

TEST_F(XmlDocument, WritesALargeDocumentAsItsLinesAndReportsAShortWriteAnywhere)
{
    // Far more than the writer's output buffer, Japanese text included, so that
    // every encoding's bytes cross several buffer boundaries.
    EDescription root;
    EDescription* pView = Element(u"view");
    root.AppendChild(pView);
    for (int i = 0; i < 6000; ++i) {
        EDescription* pItem = Element(u"item");
        const std::u16string strId(static_cast<size_t>(1 + i % 7), static_cast<char16_t>(u'0' + i % 10));
        pItem->SetStringAttribute(u"id", strId.c_str());
        pItem->SetStringAttribute(u"name", u"\u5c5e\u6027 attribute");
        pView->AppendChild(pItem);
    }
    auto ascii = [](const char* sz, int nEncoding) {
        std::string str;
        for (; *sz != 0; ++sz) {
            str += *sz;
            if (nEncoding == EDescription::kUtf16)
                str += '\0';
        }
        return str;
    };
    for (int nEncoding = 0; nEncoding < 5; ++nEncoding) {
        // The document is its lines, each encoded on its own, one after the other.
        std::string strExpected = ascii("<view>\r\n", nEncoding);
        for (int i = 0; i < pView->GetChildCount(); ++i)
            strExpected += Write(*pView->GetChildAt(static_cast<unsigned>(i)), 0, nEncoding, 1);
        strExpected += ascii("</view>\r\n", nEncoding);
        const std::string strAll = Write(root, 0, nEncoding);
        ASSERT_GT(strAll.size(), 3u * 65536) << nEncoding;
        EXPECT_TRUE(strAll == strExpected) << nEncoding;
        for (size_t cb : {size_t{0}, size_t{65535}, size_t{65536}, size_t{65537}, strAll.size() / 2,
                          strAll.size() - 1}) {
            EMemoryFile file;
            file.m_cbLimit = cb;
            EXPECT_EQ(kVokError, root.WriteDocument(&file, 0, 0, nEncoding)) << nEncoding << " " << cb;
        }
    }
}

std::string ReadFileBytes(const std::string& strPath)
{
    ERawFile file;
    EXPECT_EQ(0, file.Open(strPath.c_str(), ERawFile::kRead | ERawFile::kShareRead)) << strPath;
    std::string str(file.GetLength(), '\0');
    EXPECT_EQ(str.size(), file.Read(&str[0], static_cast<uint32_t>(str.size())));
    return str;
}

TEST_F(XmlDocument, ReadsAndWritesTheSampleInEveryEncoding)
{
    const char* kFiles[] = {"shift_jis.xml", "utf-8.xml", "iso-2022-jp.xml", "euc-jp.xml", "utf-16.xml"};
    std::string strFirst;
    for (int nEncoding = 0; nEncoding < 5; ++nEncoding) {
        const std::string strBytes =
            ReadFileBytes(platform::testing::BinaryDirectory() + "xml_testdata\\" + kFiles[nEncoding]);
        EDescription root;
        // The declaration names the encoding; the caller's guess is wrong on purpose.
        ASSERT_EQ(kVokOk, Read(&root, strBytes, 2, (nEncoding + 1) % 4)) << kFiles[nEncoding];
        if (nEncoding == 0) {
            strFirst = Dump(root);
            EXPECT_NE(std::string::npos, strFirst.find(u8"name=家族 & 旅行")) << strFirst;
            EXPECT_NE(std::string::npos, strFirst.find(u8"memo(\"一行目\\x0A二行目\")")) << strFirst;
            EXPECT_NE(std::string::npos, strFirst.find(u8"<!-- 属性ビュー -->")) << strFirst;
            EDescription* pItem = root.FindPath(u"attview\\container\\item")->GetChildAt(1);
            EXPECT_EQ(65536, pItem->GetIntAttribute(u"id_att", 0));
        }
        EXPECT_EQ(strFirst, Dump(root)) << kFiles[nEncoding];
        EXPECT_EQ(strBytes, Write(root, 2, nEncoding)) << kFiles[nEncoding];
    }
}

// A document in a byte encoding is its UTF-16 lines encoded: the lines wrap by
// units, however many bytes a character takes.
TEST_F(XmlDocument, WritesTheLinesOfUtf16InEveryByteEncoding)
{
    EDescription tree;
    EDescription* pTop = Element(u"\u4E00\u89A7");
    tree.AppendChild(pTop);
    const std::u16string strLong(30, u'\u3042');
    pTop->SetStringAttribute(u"a", strLong.c_str());
    pTop->SetStringAttribute(u"b", (strLong + u"<&> \uFF71\"").c_str());
    pTop->SetStringAttribute(u"c", u"\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9");
    EDescription* pChild = Element(u"\u5B50");
    pChild->AppendChild(TextNode(u"\u884C\n\u884C & \u884C\n"));
    pTop->AppendChild(pChild);
    pTop->AppendChild(TextNode(u"\u6587 <\u5B57>"));
    for (int nEncoding : {EDescription::kShiftJis, EDescription::kUtf8, EDescription::kEucJp}) {
        for (int nFlag : {0, 1}) {
            for (int nIndent : {0, 2}) {
                const std::string strUtf16 = Write(tree, nFlag, EDescription::kUtf16, nIndent);
                CHeapBuffer<char> bytes;
                ASSERT_EQ(kVokOk, xmlcodec::Encode(nEncoding, reinterpret_cast<const char16_t*>(strUtf16.data()),
                                                   strUtf16.size() / 2, &bytes));
                EXPECT_EQ(std::string(bytes.Data(), bytes.Size()), Write(tree, nFlag, nEncoding, nIndent))
                    << nEncoding << " " << nFlag << " " << nIndent;
            }
        }
    }
}

// UTF-8 is written from the tree straight into bytes, four ASCII units at a
// time where it can; UTF-16 goes through a line of wide text. Every ASCII unit
// and a unit of each UTF-8 length, at each place before, on and after the edge
// of a group of four, in names, values and text, must give the UTF-16 document
// encoded.
TEST_F(XmlDocument, Utf8IsTheUtf16DocumentEncodedForEveryUnit)
{
    std::u16string strUnits;
    for (char16_t c = 0; c < 0x80; ++c)
        strUnits += c;
    strUnits += u"\u0080\u07FF\u0800\u3042\U0001F600\uFFFF";
    strUnits += static_cast<char16_t>(0xDC00);
    for (char16_t c : strUnits) {
        for (size_t nAt = 0; nAt <= 8; ++nAt) {
            std::u16string str = u"abcdefgh";
            str.insert(nAt, 1, c);
            const std::u16string strName = c > ' ' && c != '=' ? str : u"name";
            EDescription tree;
            EDescription* pTop = Element(strName.c_str());
            tree.AppendChild(pTop);
            pTop->SetAttributeText(strName.c_str(), str.data(), static_cast<int>(str.size()));
            const std::u16string strLong = str + str + str + str + str + str + str;
            pTop->SetAttributeText(u"long", strLong.data(), static_cast<int>(strLong.size()));
            EDescription* pText = new EDescription;
            pText->SetText(str.data(), static_cast<int>(str.size()));
            pTop->AppendChild(pText);
            EDescription* pLine = Element(u"line");
            EDescription* pLineText = new EDescription;
            pLineText->SetText(strLong.data(), static_cast<int>(strLong.size()));
            pLine->AppendChild(pLineText);
            pTop->AppendChild(pLine);
            for (int nFlag : {0, 1}) {
                for (int nIndent : {0, 3}) {
                    const std::string strUtf16 = Write(tree, nFlag, EDescription::kUtf16, nIndent);
                    CHeapBuffer<char> bytes;
                    ASSERT_EQ(kVokOk, xmlcodec::Encode(EDescription::kUtf8,
                                                       reinterpret_cast<const char16_t*>(strUtf16.data()),
                                                       strUtf16.size() / 2, &bytes));
                    ASSERT_EQ(std::string(bytes.Data(), bytes.Size()),
                              Write(tree, nFlag, EDescription::kUtf8, nIndent))
                        << static_cast<int>(c) << " at " << nAt << ", flag " << nFlag << ", indent " << nIndent;
                }
            }
        }
    }
}

TEST_F(XmlDocument, RoundTripsInEveryEncodingAndMode)
{
    // Control characters, markup, backslashes, quotes and blanks at the edges;
    // half-width katakana pass through every encoding, other characters where the
    // encoding has them.
    EDescription tree;
    EDescription* pTop = Element(u"top");
    tree.AppendChild(pTop);
    pTop->SetStringAttribute(u"plain", u"  \t<a href=\"x\">&amp;\\n\\'\x01\x1F\r\n ");
    pTop->SetStringAttribute(u"kana", u"\uFF71\uFF72 \u3042\u6F22");
    pTop->AppendChild(TextNode(u" lead & trail \t"));
    EDescription* pChild = Element(u"child");
    pChild->SetIntAttribute(u"n", -32769);
    pChild->AppendChild(TextNode(u"a\nb\r\nc\n"));
    pTop->AppendChild(pChild);
    EDescription* pComment = Element(u"!--");
    pComment->SetText(u"!-- \u3042 -->");
    pTop->AppendChild(pComment);
    pTop->AppendChild(Element(u"x:y.z-w"));

    EDescription wide;
    wide.CopyFrom(&tree);
    wide.GetChildAt(0)->SetStringAttribute(u"wide", u"\u00E9\U0001F600\uFFFF");

    for (int nEncoding = 0; nEncoding < 5; ++nEncoding) {
        const EDescription& source = nEncoding == 1 || nEncoding == 4 ? wide : tree;
        for (int nFlag : {0, 1, 2}) {
            EDescription back;
            ASSERT_EQ(kVokOk, Read(&back, Write(source, nFlag, nEncoding), nFlag == 2 ? 2 : nFlag,
                                   nFlag == 2 ? 0 : nEncoding))
                << nEncoding << " " << nFlag;
            EXPECT_EQ(Dump(source), Dump(back)) << nEncoding << " " << nFlag;
        }
    }
}

}  // namespace
