#include <gtest/gtest.h>

#include <string>

#include "support/runtime/heap.h"
#include "support/text/compare.h"
#include "support/text/string.h"
#include "support/text/wide_string.h"

namespace {

std::string Text(const EString& str)
{
    return std::string(str.GetText(), static_cast<size_t>(str.GetLength()));
}

std::u16string Text(const EWideString& str)
{
    return std::u16string(str.GetText(), static_cast<size_t>(str.GetLength()));
}

TEST(EString, FormatsNumbers)
{
    struct Decimal { int nValue; int nWidth; const char* sz; };
    const Decimal kDecimal[] = {
        {7, 2, "07"},     {2024, 0, "2024"}, {-5, 3, "-05"}, {123, 2, "23"},
        {0, 0, "0"},      {10, 0, "10"},     {-7, 0, "-7"},  {5, -1, "5"},
        {-2147483647 - 1, 0, "-2147483648"}, {2147483647, 0, "2147483647"},
        {42, 20, "00000000000000000042"},
    };
    for (const Decimal& c : kDecimal) {
        EXPECT_EQ(c.sz, Text(EString(c.nValue, c.nWidth))) << c.nValue << " " << c.nWidth;
        EXPECT_EQ(Text(EWideString(c.sz, -1)), Text(EWideString(c.nValue, c.nWidth)));
    }

    struct Hex { uint32_t nValue; int nWidth; const char* sz; };
    const Hex kHex[] = {
        {255, 8, "000000FF"}, {0, 0, "0"}, {0xABC, 0, "ABC"}, {0x12345, 2, "45"},
        {0xFFFFFFFFu, 0, "FFFFFFFF"},
    };
    for (const Hex& c : kHex)
        EXPECT_EQ(c.sz, Text(EString(EString::kHex, c.nValue, c.nWidth))) << c.nValue;
    EXPECT_EQ(u"000000FF", Text(EWideString(EString::kHex, 255, 8)));

    struct Real { double dValue; int nDigits; const char* sz; };
    const Real kReal[] = {
        {2.0, 0, "2."},      {1.5, 0, "1.5"},     {-0.25, 0, "-0.25"},
        {1.0 / 3, 0, "0.333333333"}, {0.9999999999, 0, "1."}, {2.5, 3, "2.500"},
        {2.0004, 3, "2.000"}, {2.0006, 3, "2.001"}, {0.0, 0, "0."},
        {1e30, 0, "0.0"},    {-1e30, 2, "-0.0"},  {0.5, 20, "0.50000000000000000000"},
    };
    for (const Real& c : kReal)
        EXPECT_EQ(c.sz, Text(EString(c.dValue, c.nDigits))) << c.dValue << " " << c.nDigits;
    EXPECT_EQ(u"1.5", Text(EWideString(1.5, 0)));
}

TEST(EString, GrowsByHalfAndCopiesKeepTheSourceCapacity)
{
    EString str;
    EXPECT_EQ(0, str.GetCapacity());
    EXPECT_STREQ("", str.GetText());
    str.Append("abc");
    EXPECT_EQ(3 + 1 + 1, str.GetCapacity());
    str.Append("de");  // length 5 is not below the capacity 5
    EXPECT_EQ(5 + 2 + 1, str.GetCapacity());
    str.Append("f");
    EXPECT_EQ(8, str.GetCapacity());
    EString strCopy(str);
    EXPECT_EQ(8, strCopy.GetCapacity());
    EXPECT_EQ("abcdef", Text(strCopy));
    EString strAssigned;
    strAssigned = "0123456789";
    EXPECT_EQ(10 + 5 + 1, strAssigned.GetCapacity());
    EWideString wstr;
    wstr.Append(u"abc");
    EXPECT_EQ(5, wstr.GetCapacity());
}

TEST(EString, JoinsCutsAndSearches)
{
    EString str("abcabc");
    str.Append(str);  // from its own buffer, which moves
    EXPECT_EQ("abcabcabcabc", Text(str));
    str = str.GetText() + 9;
    EXPECT_EQ("abc", Text(str));
    str = str;
    EXPECT_EQ("abc", Text(str));
    EXPECT_EQ("xabcy", Text("x" + str + "y"));
    EXPECT_EQ("abcabc", Text(str + str));
    EXPECT_EQ("ab", Text(EString("abcdef", 2)));
    EXPECT_EQ("", Text(EString(static_cast<const char*>(nullptr))));

    const EString s("hello world");
    EXPECT_EQ("hello", Text(s.Left(5)));
    EXPECT_EQ("hello world", Text(s.Left(50)));
    EXPECT_EQ("", Text(s.Left(-1)));
    EXPECT_EQ("world", Text(s.Middle(6)));
    EXPECT_EQ("wo", Text(s.Middle(6, 2)));
    EXPECT_EQ("world", Text(s.Middle(6, 100)));
    EXPECT_EQ("", Text(s.Middle(11)));
    EXPECT_EQ("", Text(s.Middle(-1, 2)));
    EXPECT_EQ(2, s.Find("l"));
    EXPECT_EQ(3, s.Find("l", 3));
    EXPECT_EQ(9, s.Find("ld"));
    EXPECT_EQ(-1, s.Find("ld", 10));
    EXPECT_EQ(-1, s.Find("xyz"));
    EXPECT_EQ(0, s.Compare("hello world"));
    EXPECT_GT(s.Compare("hello"), 0);
    EXPECT_EQ('h' - 'j', s.Compare("jello"));
    EXPECT_EQ(0, EString().Compare(nullptr));

    EWideString w(u"\u65E5\u672C\u8A9Eabc");
    EXPECT_EQ(3, w.Find(u"abc"));
    EXPECT_EQ(u"\u672C\u8A9E", Text(w.Middle(1, 2)));
    EXPECT_EQ(u"x\u65E5\u672C\u8A9Eabc", Text(u"x" + w));
    EXPECT_GT(EWideString(u"\uFFFF").Compare(u"a"), 0);  // units are unsigned
}

TEST(Compare, ExactAndAsciiCaseFree)
{
    EXPECT_EQ(0, CompareText("abc", "abc"));
    EXPECT_LT(CompareText("abc", "abd"), 0);
    EXPECT_EQ(0, CompareText(nullptr, ""));
    EXPECT_GT(CompareText("a", nullptr), 0);
    EXPECT_GT(CompareText("\x81", "a"), 0);  // bytes are unsigned
    EXPECT_NE(0, CompareText("ABC", "abc"));
    EXPECT_EQ(0, CompareTextNoCase("ABC", "abc"));
    EXPECT_EQ(0, CompareTextNoCase("xml:Lang", "XML:LANG"));
    EXPECT_NE(0, CompareTextNoCase("[", "{"));  // only letters fold
    EXPECT_GT(CompareTextNoCase("_", "a"), 0);  // '_' against 'A'
    EXPECT_EQ(0, CompareWideText(u"", nullptr));
    EXPECT_EQ(0, CompareWideTextNoCase(u"Item", u"ITEM"));
    EXPECT_NE(0, CompareWideTextNoCase(u"\u00E9", u"\u00C9"));
    EXPECT_GT(CompareWideText(u"\uFFFF", u"\u0001"), 0);
}

TEST(EString, ConvertsThroughTheCodePage)
{
    const char kJapanese[] = "\x93\xFA\x96\x7B\x8C\xEA\x95\x5C";  // 日本語表 in code page 932
    const EWideString w(kJapanese, -1);
    EXPECT_EQ(u"\u65E5\u672C\u8A9E\u8868", Text(w));
    EXPECT_EQ(kJapanese, Text(EString(w)));
    EXPECT_EQ(u"\u65E5", Text(EWideString(kJapanese, 2)));

    // U+4E02 and U+00E9 are not in code page 932: they do not come back.
    const char16_t kOutside[] = u"a\u4E02b\u00E9";
    const EString strNarrow(kOutside, -1);
    EXPECT_EQ(4, strNarrow.GetLength());
    EXPECT_EQ('a', strNarrow.GetText()[0]);
    EXPECT_EQ('b', strNarrow.GetText()[2]);
    const EWideString wBack(strNarrow);
    EXPECT_EQ(4, wBack.GetLength());
    EXPECT_NE(u'\u4E02', wBack.GetText()[1]);
    EXPECT_NE(u'\u00E9', wBack.GetText()[3]);

    const EString strNull(static_cast<const char16_t*>(nullptr), -1);
    EXPECT_EQ(0, strNull.GetLength());
    EXPECT_EQ(1, strNull.GetCapacity());  // with a buffer
    EXPECT_EQ(0, EWideString(static_cast<const char*>(nullptr), -1).GetLength());
    EXPECT_EQ(0, EString(u"", -1).GetLength());
}

TEST(EString, PathPartsStepOverDoubleByteCharacters)
{
    struct Case { const char* szPath; const char* szDirectory; const char* szName; };
    const Case kCases[] = {
        {"C:\\dir\\file.txt", "C:\\dir\\", "file.txt"},
        {"a/b\\c", "a/b\\", "c"},
        {"file", "", "file"},
        {"", "", ""},
        {"\x95\x5C", "", "\x95\x5C"},                    // 表: its trail byte is "\"
        {"dir\\\x95\x5C.txt", "dir\\", "\x95\x5C.txt"},
        {"\x95\x5C\\x", "\x95\x5C\\", "x"},
        {"dir\\\x81", "dir\\", "\x81"},                  // a lone lead byte at the end
        {"\x81\\x", "", "\x81\\x"},                      // 81 5C is one character
    };
    for (const Case& c : kCases) {
        EString str(c.szPath);
        EXPECT_EQ(c.szDirectory, Text(str.GetDirectoryPart())) << c.szPath;
        EXPECT_STREQ(c.szName, str.GetNamePart()) << c.szPath;
    }
    EString strEmpty;
    EXPECT_STREQ("", strEmpty.GetNamePart());
}

TEST(EString, CaseTrimAndCharacterSearchAreDoubleByteAware)
{
    // 83 61 is ヂ and 83 41 is ア: their trail bytes look like "a" and "A".
    EString str("x\x83\x61y\x83\x41z");
    EXPECT_EQ("X\x83\x61Y\x83\x41Z", Text(EString(str).MakeUpper()));
    EXPECT_EQ("x\x83\x61y\x83\x41z", Text(EString(str).MakeLower()));
    EXPECT_EQ("ABC", Text(EString("aBc").MakeUpper()));

    EXPECT_EQ("a b", Text(EString(" \t\r\na b \n").Trim()));
    EXPECT_EQ("a b \n", Text(EString(" \ta b \n").TrimLeft()));
    EXPECT_EQ("", Text(EString("   ").Trim()));
    EXPECT_EQ("", Text(EString().Trim()));

    const EString strPath("\x95\x5C\\a");
    EXPECT_EQ(2, strPath.FindChar('\\'));
    EXPECT_EQ(0, strPath.FindChar(0x955C));
    EXPECT_EQ(3, strPath.FindChar('a', 1));
    EXPECT_EQ(-1, strPath.FindChar('b'));
    EXPECT_EQ(2, EString("ab\x81").FindChar(0x81));
}

int FailAll(size_t)
{
    return 1;
}

TEST(EString, AFailedAllocationLeavesTheString)
{
    const size_t nBlocks = vokHeapGetBlockCount(nullptr);
    {
        EString str("abc");
        EWideString w(u"abc");
        const uint32_t nFlags = vokHeapGetGlobalFlag();
        vokHeapSetGlobalFlag(nFlags | kVokHeapNoQuestion);
        vokHeapHookRegionFault(&FailAll);
        // The largest capacities: on a 32-bit target their size in bytes cannot be
        // represented; elsewhere the heap has no region for them.
        EXPECT_EQ(1, w.AllocBuffer(EWideString::kMaxLength));
        EXPECT_EQ(1, str.AllocBuffer(EString::kMaxLength));
        EXPECT_EQ(1, str.AllocBuffer(-1));
        std::string strBig(200000, 'x');
        str.Append(strBig.c_str());
        vokHeapHookRegionFault(nullptr);
        vokHeapSetGlobalFlag(nFlags);
        EXPECT_EQ("abc", Text(str));
        EXPECT_EQ(u"abc", Text(w));
        EXPECT_EQ(5, str.GetCapacity());
        str.Append(strBig.c_str());
        EXPECT_EQ(200003, str.GetLength());
    }
    EXPECT_EQ(nBlocks, vokHeapGetBlockCount(nullptr));
}

TEST(EString, TypeQueries)
{
    EString str;
    EWideString w;
    EXPECT_STREQ("EString", str.GetClassName());
    EXPECT_STREQ("EWideString", w.GetClassName());
    EXPECT_NE(0, str.IsKindOf("VOKObject"));
    EXPECT_EQ(nullptr, str.DynamicCast("EWideString"));
    EXPECT_EQ(&w, w.DynamicCast("EWideString"));
    EXPECT_FALSE(str.IsSameClass(&w));
}

}  // namespace
