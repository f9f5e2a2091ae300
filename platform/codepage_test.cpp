#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/console.h"

namespace platform {
namespace {

TEST(CodePage, LeadBytesAreThoseOfShiftJis)
{
    for (int b = 0; b < 256; ++b) {
        const bool bLead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        EXPECT_EQ(bLead, IsLeadByte(static_cast<unsigned char>(b))) << b;
    }
}

struct TextCase {
    const char* ansi;
    std::u16string wide;
};

TEST(CodePage, ConvertsBothWays)
{
    const TextCase kCases[] = {
        {"abc", u"abc"},
        {"\x95\x5C", u"\u8868"},                    // a trail byte 5C
        {"\x83\x65\x83\x58\x83\x67", u"\u30C6\u30B9\u30C8"},
        {"\xB1\xDF", u"\uFF71\uFF9F"},              // half-width katakana
        {"\x82\xA0x", u"\u3042x"},
        {"", u""},
    };
    for (const TextCase& c : kCases) {
        const std::string ansi(c.ansi);
        EXPECT_EQ(c.wide, AnsiToWide(ansi.data(), ansi.size())) << c.ansi;
        EXPECT_EQ(ansi, WideToAnsi(c.wide.data(), c.wide.size())) << c.ansi;
    }
}

TEST(CodePage, UnmappableBecomesQuestionMark)
{
    const std::u16string w = u"a\u0E01b";  // a Thai letter: not in code page 932
    EXPECT_EQ("a?b", WideToAnsi(w.data(), w.size()));
}

TEST(CodePage, LiteralsAreShiftJis)
{
    // Narrow literals compile to code page 932.
    EXPECT_EQ(std::string("\x95\x5C"), std::string("表"));
}

TEST(Console, EncodesForTheTerminal)
{
    const std::string ansi = "OK \x95\x5C";
    const std::string encoded = ConsoleEncode(ansi);
    // Windows consoles take the bytes unchanged, POSIX terminals get UTF-8.
    EXPECT_TRUE(encoded == ansi || encoded == "OK \xE8\xA1\xA8") << encoded;
}

}  // namespace
}  // namespace platform
