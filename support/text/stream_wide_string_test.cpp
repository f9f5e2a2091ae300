#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/text/compare.h"
#include "support/text/stream_wide_string.h"

namespace {

std::u16string Text(const EWideString& str)
{
    return std::u16string(str.GetText(), static_cast<size_t>(str.GetLength()));
}

using Tokens = std::vector<std::pair<std::u16string, int>>;

Tokens Split(const char16_t* sz, EStreamWideString::Variant eVariant)
{
    EStreamWideString s(sz, -1, eVariant);
    Tokens v;
    for (;;) {
        int nType = 99;
        EWideString t = s.GetToken(&nType);
        v.emplace_back(Text(t), nType);
        if (nType == -1)
            return v;
    }
}

TEST(StreamWideString, SplitsTokens)
{
    const auto P = EStreamWideString::kPlain;
    const auto X = EStreamWideString::kXml;
    struct Case { const char16_t* sz; EStreamWideString::Variant e; Tokens v; };
    const Case kCases[] = {
        {u"<item", P, {{u"<", 2}, {u"item", 0}, {u"", -1}}},
        {u"a=b", P, {{u"a", 0}, {u"=", 1}, {u"b", 0}, {u"", -1}}},
        {u"/>", P, {{u"/", 1}, {u">", 2}, {u"", -1}}},
        {u"<!-- x -->", P, {{u"<", 2}, {u"!--", 1}, {u"x", 0}, {u"--", 1}, {u">", 2}, {u"", -1}}},
        {u"  id_att ?x@y\t", P, {{u"id_att", 0}, {u"?x@y", 0}, {u"", -1}}},
        {u"xml:lang", P, {{u"xml", 0}, {u":", 1}, {u"lang", 0}, {u"", -1}}},
        {u"xml:lang a-b.c", X, {{u"xml:lang", 0}, {u"a-b.c", 0}, {u"", -1}}},
        {u"\u5C5E\u6027=\"1\"", X,
         {{u"\u5C5E\u6027", 0}, {u"=", 1}, {u"\"", 2}, {u"1", 0}, {u"\"", 2}, {u"", -1}}},
        {u"", P, {{u"", -1}}},
        {u" \r\n ", P, {{u"", -1}}},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(c.v, Split(c.sz, c.e)) << std::string(c.sz, c.sz + 3);
}

TEST(StreamWideString, WordsQuotesAndCharacters)
{
    EStreamWideString s(u"  'abc' next");
    EXPECT_EQ(u"'abc'", Text(s.GetWord()));
    EXPECT_EQ(u"next", Text(s.GetWord()));
    EXPECT_TRUE(s.IsEOF());
    EXPECT_EQ(u"", Text(s.GetWord()));

    EStreamWideString x(u"a\\\"b\" rest", -1, EStreamWideString::kXml);
    EXPECT_EQ(u"a\\\"b", Text(x.GetUntil(u'"', 1)));
    EXPECT_EQ(u" rest", Text(x.GetUntil(u'"', 1)));  // not found: to the end
    EXPECT_TRUE(x.IsEOF());

    EStreamWideString plain(u"a\\\"b\"");
    EXPECT_EQ(u"a\\", Text(plain.GetUntil(u'"', 1)));  // the plain variant has no escapes
    EStreamWideString mode0(u"a\\\"b\"", -1, EStreamWideString::kXml);
    EXPECT_EQ(u"a\\", Text(mode0.GetUntil(u'"', 0)));
    EStreamWideString trailing(u"ab\\", -1, EStreamWideString::kXml);
    EXPECT_EQ(u"ab\\", Text(trailing.GetUntil(u'\'', 1)));

    EStreamWideString skip(u"x\\>y>z", -1, EStreamWideString::kXml);
    skip.SkipTo(u'>', 1);
    EXPECT_EQ(2, skip.GetPosition());
    skip.SkipTo(u'#', 0);
    EXPECT_EQ(6, skip.GetPosition());

    EStreamWideString t(u"  ?>");
    EXPECT_EQ(0, t.TestChar(u"!>"));
    EXPECT_EQ(u'?', t.TestChar(u"!?"));
    EXPECT_EQ(u'>', t.TestChar(u">"));
    EXPECT_EQ(0, t.TestChar(u">"));
    EXPECT_STREQ("EStreamWideString", t.GetClassName());
    EXPECT_NE(0, t.IsKindOf("EWideString"));
}

TEST(StreamWideString, DetectsTheRadixWithoutMoving)
{
    struct Case { const char16_t* sz; int nRadix; };
    const Case kCases[] = {
        {u"12", 0},    {u"0FFFFFFFFH", 16}, {u"1AH", 16}, {u"17O", 8},   {u"1010B", 2},
        {u"FFH", -1},  {u"x41", -1},        {u"", -1},    {u"  ", -1},   {u"-42", 0},
        {u"- 42", 0},  {u"+", -1},          {u"1.5", 0},  {u".5", 0},    {u"99T", 10},
        {u"12B", -1},        {u"1E3", -1}, {u"7 ", 0},    {u"1.2.3", 0},
    };
    for (const Case& c : kCases) {
        EStreamWideString s(c.sz);
        EXPECT_EQ(c.nRadix, s.DetectRadix()) << std::string(c.sz, c.sz + WideTextLength(c.sz));
        EXPECT_EQ(0, s.GetPosition());
    }
}

TEST(StreamWideString, ParsesNumbers)
{
    struct Case { const char16_t* sz; int nRadix; int64_t n; int nPositionAfter; };
    const Case kCases[] = {
        {u"1AH", 0, 26, 3},          {u"17O", 0, 15, 3},   {u"1010B", 0, 10, 5},
        {u"-42", 0, -42, 3},         {u" 12 ", 0, 12, 3},  {u"0FFFFFFFFH", 0, 4294967295LL, 10},
        {u"FFH", 0, 0, 0},           {u"", 0, 0, 0},       {u"99T", 0, 99, 3},
        {u"7F", 16, 127, 2},         {u"1.5", 0, 1, 1},    {u"101b1", 2, 5, 4},
        {u"+8", 10, 8, 2},           {u"12x", 10, 12, 2},
    };
    for (const Case& c : kCases) {
        EStreamWideString s(c.sz);
        EXPECT_EQ(c.n, s.ParseInteger(c.nRadix)) << std::string(c.sz, c.sz + WideTextLength(c.sz));
        EXPECT_EQ(c.nPositionAfter, s.GetPosition()) << std::string(c.sz, c.sz + WideTextLength(c.sz));
    }
    // Two numbers in a row, the way attribute lists are read.
    EStreamWideString s(u"10 0AH");
    EXPECT_EQ(10, s.ParseInteger(0));
    EXPECT_EQ(10, s.ParseInteger(0));
    EXPECT_TRUE(s.IsEOF());

    struct Real { const char16_t* sz; int nRadix; double d; };
    const Real kReals[] = {
        {u"1.5", 0, 1.5}, {u"-0.25", 0, -0.25}, {u"12", 0, 12.0}, {u"1.8H", 0, 1.5},
        {u"1.1B", 0, 1.5}, {u"3.5x", 10, 3.5}, {u"1A", 10, 1.0}, {u"abc", 0, 0.0},
    };
    for (const Real& c : kReals) {
        EStreamWideString r(c.sz);
        EXPECT_DOUBLE_EQ(c.d, r.ParseReal(c.nRadix)) << std::string(c.sz, c.sz + WideTextLength(c.sz));
    }
}

}  // namespace
