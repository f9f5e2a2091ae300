#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/arguments.h"
#include "platform/process.h"

namespace platform {
namespace {

struct ExactCase {
    std::u16string wide;
    const char* ansi;      // the text when it converts
    size_t nPosition;      // else the first character that does not
    char32_t cCharacter;
};

TEST(Arguments, OnlyTextTheCodePageHoldsExactlyConverts)
{
    const ExactCase kCases[] = {
        {u"blue", "blue", 0, 0},
        {u"\u8D64x", "\x90\xD4x", 0, 0},                 // 赤x
        {u"\u8868\\a", "\x95\x5C\\a", 0, 0},             // a trail byte 5C
        {u"\uFF71?", "\xB1?", 0, 0},                     // a "?" of its own is kept
        {u"caf\u00E9", nullptr, 4, 0xE9},                 // no best fit to "cafe"
        {u"na\u00EFve", nullptr, 3, 0xEF},
        {u"\U0001F600", nullptr, 1, 0x1F600},            // a pair counts as one
        {u"a\u301C", nullptr, 2, 0x301C},                // wave dash: 8160 reads back as U+FF5E
        {u"\u00AC", nullptr, 1, 0xAC},                   // not sign: 81CA reads back as U+FFE2
        {std::u16string(1, u'\xD800') + u"x", nullptr, 1, 0xD800},
    };
    for (const ExactCase& c : kCases) {
        std::string strAnsi;
        char32_t cCharacter = 0;
        const size_t nPosition = ExactAnsiFromWide(c.wide, &strAnsi, &cCharacter);
        EXPECT_EQ(c.nPosition, nPosition) << c.ansi;
        if (c.nPosition == 0)
            EXPECT_EQ(c.ansi, strAnsi);
        else
            EXPECT_EQ(c.cCharacter, cCharacter) << c.nPosition;
    }
}

TEST(Arguments, BytesThatAreNotUtf8AreRefused)
{
    // Windows reads its own wide command line, not the argv handed in.
    if (kExecutableSuffix[0] != '\0')
        GTEST_SKIP() << "POSIX arguments only";
    struct Case {
        std::vector<const char*> args;
        size_t nArgument, nPosition;
        const char* character;
    };
    const Case kCases[] = {
        {{"p", "a", "\xE8\xB5\xA4z"}, 0, 0, ""},
        {{"p", "a", "ab\xFF"}, 2, 3, "byte FF"},
        {{"p", "caf\xC3\xA9"}, 1, 4, "U+00E9"},
        {{"p", "\xC3\xA9\xC3"}, 1, 1, "U+00E9"},
        {{"p", "x\xC0\xAF"}, 1, 2, "byte C0"},               // overlong "/"
        {{"p", "\xED\xA0\x80"}, 1, 1, "byte ED"},            // a surrogate
        {{"p", "\xEF\xBF\xBD"}, 1, 1, "U+FFFD"},
    };
    for (const Case& c : kCases) {
        std::vector<char*> argv;
        for (const char* sz : c.args)
            argv.push_back(const_cast<char*>(sz));
        std::vector<std::string> vArgs;
        SUnheldCharacter unheld;
        const bool bExact =
            ExactArguments(static_cast<int>(argv.size()), argv.data(), &vArgs, &unheld);
        EXPECT_EQ(c.nArgument == 0, bExact) << c.args.back();
        if (bExact) {
            EXPECT_EQ("\x90\xD4z", vArgs.back());
        } else {
            EXPECT_EQ(c.nArgument, unheld.nArgument);
            EXPECT_EQ(c.nPosition, unheld.nPosition) << c.args.back();
            EXPECT_EQ(c.character, unheld.strCharacter) << c.args.back();
        }
    }
}

}  // namespace
}  // namespace platform
