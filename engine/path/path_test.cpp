#include <gtest/gtest.h>

#include <string>

#include "engine/path/full_path.h"
#include "engine/path/path.h"

namespace velk {
namespace {

struct SetCase {
    const char* input;
    int result;
    const char* text;  // after Set on a path holding "keep\me"
    size_t components;
};

TEST(CPath, SetNormalisesOrRefuses)
{
    const SetCase kCases[] = {
        {"a/b\\c", 0, "a\\b\\c", 3},
        {"a\\b\\", 0, "a\\b", 2},
        {"a\\.\\b", 0, "a\\b", 2},
        {"a\\x\\..\\b", 0, "a\\b", 2},
        {"C:\\x", 0, "C:\\x", 2},
        {"C:", 0, "C:", 1},
        {".", 0, "", 0},
        {"a\\..", 0, "", 0},
        {"", 0, "", 0},
        {"a\\\\b", 1, "keep\\me", 2},
        {"a\\b\\\\", 1, "keep\\me", 2},
        {"..\\a", 1, "keep\\me", 2},
        {"\\a", 2, "keep\\me", 2},
        {"/a", 2, "keep\\me", 2},
        // 0x95 0x5C is one character whose second byte is "\".
        {"a\\\x95\x5C", 0, "a\\\x95\x5C", 2},
        {"\x95\x5C\\b", 0, "\x95\x5C\\b", 2},
        {"\x95\x5C\x95\x5C", 0, "\x95\x5C\x95\x5C", 1},
        // A lead byte at the very end is one byte; the scan stops at the end.
        {"a\\\x81", 0, "a\\\x81", 2},
        {"a\\\x81\\", 0, "a\\\x81\\", 2},  // 81 5C is one character
    };
    for (const SetCase& c : kCases) {
        CPath path("keep\\me");
        EXPECT_EQ(c.result, path.Set(c.input)) << c.input;
        EXPECT_STREQ(c.text, path.GetString()) << c.input;
        EXPECT_EQ(c.components, path.GetComponentCount()) << c.input;
    }
    EXPECT_EQ(0, CPath("x").Set(nullptr));
}

TEST(CPath, ComponentsAndSeparator)
{
    CPath path("C:\\x/y", '/');
    EXPECT_STREQ("C:/x/y", path.GetString());
    ASSERT_EQ(3u, path.GetComponentCount());
    EXPECT_EQ("C:", path.GetComponent(0));
    EXPECT_EQ("y", path.GetComponent(2));
    EXPECT_STREQ("a\\b", CPath("a/b", '*').GetString());  // any other separator is "\"
    EXPECT_TRUE(CPath().IsEmpty());
}

TEST(CPath, JoinAppendsAndKeepsTheValueOnFailure)
{
    const CPath base("db");
    EXPECT_STREQ("db\\adb\\x", base.Join("adb/x").GetString());
    EXPECT_STREQ("db", base.Join("..\\..").GetString());
    EXPECT_STREQ("db", base.Join("a\\\\b").GetString());
    EXPECT_STREQ("adb", CPath().Join("adb").GetString());
    EXPECT_STREQ("a", CPath("a\\b").Join("..").GetString());
}

TEST(CPath, PrefixComparisonFoldsOnlyAsciiLetters)
{
    EXPECT_TRUE(CPath("db").IsAncestorOf(CPath("DB\\adb")));
    EXPECT_FALSE(CPath("db").IsAncestorOf(CPath("db")));
    EXPECT_FALSE(CPath("db\\x").IsAncestorOf(CPath("db")));
    EXPECT_EQ(2u, CPath("a\\b\\c").CommonPrefixLength(CPath("A\\B\\d\\e")));
    // 0x82 0x81 and 0x82 0xA1 differ only by 0x20: not ASCII letters, not folded.
    EXPECT_EQ(0u, CPath("\x82\x81").CommonPrefixLength(CPath("\x82\xA1")));
    EXPECT_EQ(0u, CPath("ab").CommonPrefixLength(CPath("abc")));
}

TEST(CFullPath, SetNormalisesOrRefuses)
{
    const SetCase kCases[] = {
        {"\\\\server\\share\\dir\\", 0, "\\\\server\\share\\dir", 3},
        {"\\\\server", 0, "\\\\server", 1},
        {"\\\\server\\share\\..", 0, "\\\\server", 1},
        {"C:\\tools\\", 0, "C:\\tools", 2},
        {"C:/a/./b/../c", 0, "C:\\a\\c", 3},
        {"rel\\x", 0, "rel\\x", 2},
        {"", 0, "", 0},
        {"\\foo", 3, "keep\\me", 2},
        {"/foo", 3, "keep\\me", 2},
        {"//server/share", 1, "keep\\me", 2},
        {"C:\\a\\\\b", 1, "keep\\me", 2},
        {"\\\\", 1, "keep\\me", 2},
        {"..\\x", 1, "keep\\me", 2},
        {"\\\\server\\..", 1, "keep\\me", 2},     // nothing left to carry the prefix
        {"\\\\..\\x", 1, "keep\\me", 2},
        {"C:\\\x95\x5C", 0, "C:\\\x95\x5C", 2},  // the trail byte 5C is not dropped
        {"C:\\a\\\x81", 0, "C:\\a\\\x81", 3},
    };
    for (const SetCase& c : kCases) {
        CFullPath path("keep\\me");
        EXPECT_EQ(c.result, path.Set(c.input)) << c.input;
        EXPECT_STREQ(c.text, path.GetString()) << c.input;
        EXPECT_EQ(c.components, path.GetComponentCount()) << c.input;
    }
    CFullPath unc("\\\\server\\share\\dir");
    EXPECT_EQ("\\\\server", unc.GetComponent(0));
    EXPECT_EQ("share", unc.GetComponent(1));
}

std::string g_strTrace;
void RecordTrace(const char* szText)
{
    g_strTrace += szText;
}

TEST(CFullPath, JoinReportsFailureToTheTraceHook)
{
    const CFullPath tools("C:\\tools\\");
    EXPECT_STREQ("C:\\tools\\db\\adb", tools.Join("db\\adb").GetString());

    g_strTrace.clear();
    SetPathTraceHook(&RecordTrace);
    EXPECT_STREQ("C:\\tools", tools.Join("a\\\\b").GetString());
    SetPathTraceHook(nullptr);
    EXPECT_EQ("パス文字列は正しく設定されませんでした。\n", g_strTrace);
    EXPECT_STREQ("C:\\tools", tools.Join("a\\\\b").GetString());  // no hook: silent
}

}  // namespace
}  // namespace velk
