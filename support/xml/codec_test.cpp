#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"
#include "support/runtime/heap.h"
#include "support/xml/codec.h"

namespace {

std::u16string DecodeBytes(int nEncoding, const std::string& str)
{
    CHeapBuffer<char16_t> out;
    EXPECT_EQ(kVokOk, xmlcodec::Decode(nEncoding, reinterpret_cast<const unsigned char*>(str.data()),
                                       str.size(), &out));
    return std::u16string(out.Data() != nullptr ? out.Data() : u"", out.Size());
}

std::string EncodeText(int nEncoding, const std::u16string& str)
{
    CHeapBuffer<char> out;
    EXPECT_EQ(kVokOk, xmlcodec::Encode(nEncoding, str.data(), str.size(), &out));
    return std::string(out.Data() != nullptr ? out.Data() : "", out.Size());
}

TEST(XmlCodec, JisArithmeticIsItsOwnInverseOverTheWholeTable)
{
    for (unsigned j1 = 0x21; j1 <= 0x7E; ++j1) {
        for (unsigned j2 = 0x21; j2 <= 0x7E; ++j2) {
            unsigned char c1 = static_cast<unsigned char>(j1), c2 = static_cast<unsigned char>(j2);
            xmlcodec::JisToShiftJis(&c1, &c2);
            ASSERT_TRUE((c1 >= 0x81 && c1 <= 0x9F) || (c1 >= 0xE0 && c1 <= 0xEF)) << j1 << " " << j2;
            ASSERT_TRUE(c2 >= 0x40 && c2 <= 0xFC && c2 != 0x7F);
            xmlcodec::ShiftJisToJis(&c1, &c2);
            ASSERT_EQ(j1, c1);
            ASSERT_EQ(j2, c2);
        }
    }
    unsigned char c1 = 0x24, c2 = 0x22;  // "あ"
    xmlcodec::JisToShiftJis(&c1, &c2);
    EXPECT_EQ(0x82, c1);
    EXPECT_EQ(0xA0, c2);
}

TEST(XmlCodec, EncodesEachEncodingsBytes)
{
    // "aあｱ" and a line feed: ASCII, a JIS X 0208 character, a half-width katakana.
    const std::u16string str = u"a\u3042\uFF71\n";
    struct Case { int nEncoding; std::string strBytes; };
    const Case kCases[] = {
        {0, std::string("a\x82\xA0\xB1\n")},
        {1, std::string("a\xE3\x81\x82\xEF\xBD\xB1\n")},
        {2, std::string("a\x1B$B$\"\x1B(B\xB1\n")},
        {3, std::string("a\xA4\xA2\x8E\xB1\n")},
        {4, std::string("a\0B0q\xFF\n\0", 8)},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(c.strBytes, EncodeText(c.nEncoding, str)) << c.nEncoding;
        EXPECT_EQ(str, DecodeBytes(c.nEncoding, c.strBytes)) << c.nEncoding;
    }
    // A character beyond JIS X 0208 (a user-defined one) is written as "?" there,
    // never as bytes outside the encoding.
    EXPECT_EQ("a?b", EncodeText(2, u"a\uE000b"));
    EXPECT_EQ("a?b", EncodeText(3, u"a\uE000b"));

    CHeapBuffer<char> out;
    EXPECT_TRUE(IsMessageResult(xmlcodec::Encode(5, str.data(), str.size(), &out)));
    EXPECT_EQ(0u, out.Size());
}

TEST(XmlCodec, MalformedInputNeverPairsWithWhatFollowsIt)
{
    struct Case { int nEncoding; std::string strBytes; std::u16string strText; };
    const Case kCases[] = {
        // UTF-8: a lead at the end is dropped; a stray continuation byte is no
        // character; continuation bytes are not checked; four bytes give a pair.
        {1, "ab\xE3\x81", u"ab"},
        {1, "\x80z", u"\u30FBz"},
        {1, "\xC3<", u"\u00FC"},
        {1, "\xF0\x9F\x98\x80", u"\U0001F600"},
        {1, "\xE3\x81\x82", u"\u3042"},
        // ISO-2022-JP: half a character at the end; an unknown escape is copied.
        {2, "\x1B$B$\"$", u"\u3042"},
        {2, "\x1B$Bx\n\x1B(Bz", u"\u30FB\nz"},
        // EUC-JP: a lone lead or katakana marker at the end; a bad second byte.
        {3, "a\xA4", u"a"},
        {3, "a\x8E", u"a"},
        {3, "\xA4" "a", u"\u30FB" "a"},
        {3, "\x8F\xB0\xA1z", u"\u30FBz"},
        // UTF-16: an odd last byte is dropped.
        {4, std::string("A\0B", 3), u"A"},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(c.strText, DecodeBytes(c.nEncoding, c.strBytes)) << c.nEncoding << " " << c.strBytes;
}

// ISO-2022-JP: the escape byte only ever starts the writer's own mode switches,
// so what the reader takes from the bytes is written back as the same bytes.
TEST(XmlCodec, Iso2022JpWritesNoEscapeOfTheText)
{
    struct Case { std::u16string strText; std::string strBytes; };
    const Case kCases[] = {
        {u"\x1B$B$\"", "?$B$\""},
        {u"a\x1B", "a?"},
        {u"\x1B(B\x1B(J\x1B$@", "?(B?(J?$@"},
        {u"\u3042\x1B$B", "\x1B$B$\"\x1B(B?$B"},
        {u"\x1B\u3042\x1B", "?\x1B$B$\"\x1B(B?"},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(c.strBytes, EncodeText(2, c.strText)) << c.strBytes;
        EXPECT_EQ(c.strBytes, EncodeText(2, DecodeBytes(2, c.strBytes))) << c.strBytes;
    }
}

TEST(XmlCodec, Utf8WritesSixteenBitUnitsAndReadsThemBack)
{
    const std::u16string str = u"\u007F\u0080\u07FF\u0800\uFFFF\U0001F600";
    const std::string strBytes = EncodeText(1, str);
    EXPECT_EQ(std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xED\xA0\xBD\xED\xB8\x80"), strBytes);
    EXPECT_EQ(str, DecodeBytes(1, strBytes));
}

TEST(XmlCodec, FindsEncodingNamesWithoutAsciiCase)
{
    EXPECT_EQ(1, xmlcodec::FindEncoding(u"UTF-8", 5));
    EXPECT_EQ(2, xmlcodec::FindEncoding(u"ISO-2022-jp", 11));
    EXPECT_EQ(4, xmlcodec::FindEncoding(u"utf-16", 6));
    EXPECT_EQ(-1, xmlcodec::FindEncoding(u"utf-8x", 6));
    EXPECT_EQ(-1, xmlcodec::FindEncoding(u"utf", 3));
    EXPECT_EQ(-1, xmlcodec::FindEncoding(u"latin1", 6));
}

}  // namespace

// Encoding 0 looks characters up in tables read from the platform's conversion;
// whole texts must come out exactly as the platform converts them, odd bytes,
// lone lead bytes and surrogates included.
TEST(XmlCodec, SystemCodePageGivesWhatThePlatformGives)
{
    std::string strBytes;
    for (int b = 0; b < 256; ++b) {
        for (int t = 0; t < 256; t += (b >= 0x80 ? 1 : 37)) {
            strBytes += static_cast<char>(b);
            strBytes += static_cast<char>(t);
        }
    }
    // Lead bytes at odd places, and one alone at the very end.
    const std::string kTexts[] = {strBytes, strBytes.substr(1), "abc\x82", "\x82\xA0\x82", "\x81\x0A<a/>\xE0",
                                  std::string("x\x81\0y", 4)};
    for (const std::string& str : kTexts) {
        const std::u16string strPlatform = platform::AnsiToWide(str.data(), str.size());
        ASSERT_EQ(strPlatform, DecodeBytes(0, str)) << str.size();
    }

    std::u16string strUnits;
    for (uint32_t c = 0; c < 0x10000; ++c)
        strUnits += static_cast<char16_t>(c);
    const std::u16string kWide[] = {strUnits, u"a\xD83D\xDE00z\xDC00\xD800", u"\x3042\xFF71\x00A5~\\"};
    for (const std::u16string& str : kWide)
        ASSERT_EQ(platform::WideToAnsi(str.data(), str.size()), EncodeText(0, str)) << str.size();
}
