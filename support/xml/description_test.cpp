#include <gtest/gtest.h>

#include <string>

#include "support/runtime/heap.h"
#include "support/xml/description.h"

namespace {

std::u16string Text(const EWideString& str)
{
    return std::u16string(str.GetText(), static_cast<size_t>(str.GetLength()));
}

// Counts the library heap's blocks around a test: every tree goes back whole.
class HeapCheck : public ::testing::Test {
protected:
    void SetUp() override { m_nBlocks = vokHeapGetBlockCount(nullptr); }
    void TearDown() override { EXPECT_EQ(m_nBlocks, vokHeapGetBlockCount(nullptr)); }
    size_t m_nBlocks = 0;
};

EDescription* NewElement(const char16_t* szTag)
{
    EDescription* p = new EDescription;
    p->SetTagName(szTag);
    return p;
}

TEST(EPtrArray, InsertsRemovesAndGrows)
{
    EPtrArray a;
    int x[5];
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(0, a.Add(&x[i]));
    ASSERT_EQ(0, a.InsertAt(0, &x[4]));
    EXPECT_EQ(6, a.GetSize());
    EXPECT_EQ(&x[4], a.GetAt(0));
    EXPECT_EQ(&x[0], a.GetAt(1));
    EXPECT_EQ(&x[0], a.RemoveAt(1));
    EXPECT_EQ(&x[1], a.GetAt(1));
    EXPECT_EQ(nullptr, a.GetAt(5));
    EXPECT_EQ(nullptr, a.RemoveAt(-1));
    EXPECT_EQ(1, a.InsertAt(7, &x[0]));
    ASSERT_EQ(0, a.SetSize(100, 7));
    EXPECT_EQ(nullptr, a.GetAt(99));  // new slots are null
    EXPECT_EQ(&x[4], a.GetAt(4));
    EXPECT_EQ(1, a.SetSize(-1));
    a.RemoveAll();
    EXPECT_EQ(0, a.GetSize());
}

TEST_F(HeapCheck, AttributesStaySortedAndAreReplacedInPlace)
{
    EDescription node;
    node.SetStringAttribute(u"name", u"x");
    node.SetIntAttribute(u"category", 1);
    node.SetIntAttribute(u"icon", 2);
    node.SetStringAttribute(u"nam", u"prefix sorts first");
    ASSERT_EQ(4, node.GetAttributeCount());
    const char16_t* kOrder[] = {u"category", u"icon", u"nam", u"name"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(kOrder[i], Text(node.GetAttributeNameAt(i)));

    node.SetStringAttribute(u"icon", u"replaced");
    EXPECT_EQ(4, node.GetAttributeCount());
    EXPECT_EQ(u"replaced", Text(node.GetAttributeValueAt(1)));
    EXPECT_EQ(-1, node.FindAttribute(u"Name"));  // case-sensitive
    EXPECT_EQ(u"", Text(node.GetAttributeValueAt(9)));

    node.RemoveAttribute(u"nam");
    EXPECT_EQ(3, node.FindAttribute(u"name") + 1);
    node.SetStringAttribute(u"empty", nullptr);
    EXPECT_EQ(u"", Text(node.GetAttributeValueAt(node.FindAttribute(u"empty"))));
}

TEST_F(HeapCheck, IntegersUseDecimalOrTheHexadecimalForm)
{
    struct Case { int nValue; const char16_t* szText; };
    const Case kCases[] = {
        {0, u"0"}, {-1, u"-1"}, {32768, u"32768"}, {-32768, u"-32768"},
        {32769, u"00008001H"}, {65536, u"00010000H"}, {2147483647, u"7FFFFFFFH"},
        {-2147483647 - 1, u"80000000H"}, {-32769, u"0FFFF7FFFH"}, {-1610612736, u"0A0000000H"},
    };
    EDescription node;
    for (const Case& c : kCases) {
        node.SetIntAttribute(u"v", c.nValue);
        EXPECT_EQ(c.szText, Text(node.GetAttributeValueAt(0))) << c.nValue;
        EXPECT_EQ(c.nValue, node.GetIntAttribute(u"v", 12345)) << c.nValue;
    }
}

TEST_F(HeapCheck, GettersReadTheNumberSyntaxOrGiveTheDefault)
{
    struct Case { const char16_t* szText; int nExpected; };
    const Case kCases[] = {
        {u"abc", -7}, {u"", -7}, {u"12", 12}, {u"1AH", 26}, {u"17O", 15}, {u" 42", 42},
        {u"0FFFFFFFFH", -1}, {u"1010B", 10}, {u"FFH", -7},
    };
    EDescription node;
    for (const Case& c : kCases) {
        node.SetStringAttribute(u"v", c.szText);
        EXPECT_EQ(c.nExpected, node.GetIntAttribute(u"v", -7)) << Text(EWideString(c.szText)).size();
    }
    EXPECT_EQ(-7, node.GetIntAttribute(u"missing", -7));
    node.SetRealAttribute(u"r", 1.5);
    EXPECT_EQ(u"1.5", Text(node.GetAttributeValueAt(node.FindAttribute(u"r"))));
    EXPECT_DOUBLE_EQ(1.5, node.GetRealAttribute(u"r", 0.0));
    // Memory running out does not turn a number into the default: a category
    // would pass for an item.
    node.SetStringAttribute(u"v", u"1AH");
    vokHeapFailAllocation(1);
    EXPECT_EQ(26, node.GetIntAttribute(u"v", -7));
    EXPECT_DOUBLE_EQ(1.5, node.GetRealAttribute(u"r", 0.0));
    vokHeapFailAllocation(0);
    EXPECT_DOUBLE_EQ(2.5, node.GetRealAttribute(u"missing", 2.5));

    EWideString* p = node.GetStringAttribute(u"missing", nullptr);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(u"", Text(*p));
    delete p;
    p = node.GetStringAttribute(u"missing", u"dflt");
    EXPECT_EQ(u"dflt", Text(*p));
    delete p;
    p = node.GetStringAttribute(u"r", u"dflt");
    EXPECT_EQ(u"1.5", Text(*p));
    delete p;
}

TEST_F(HeapCheck, ChildSearchesFoldAsciiCaseOnly)
{
    EDescription root;
    root.AppendChild(NewElement(u"cat"));
    EDescription* pItem = NewElement(u"item");
    pItem->SetStringAttribute(u"name", u"b");
    root.AppendChild(pItem);
    EDescription* pItem2 = NewElement(u"Item");
    pItem2->SetStringAttribute(u"name", u"a");
    root.AppendChild(pItem2);
    root.AppendChild(NewElement(u"\u00E9"));

    int nNext = 0;
    EXPECT_EQ(pItem, root.FindChild(0, u"ITEM", &nNext));
    EXPECT_EQ(2, nNext);
    EXPECT_EQ(pItem2, root.FindChild(nNext, u"item", &nNext));
    EXPECT_EQ(nullptr, root.FindChild(3, u"item", &nNext));
    EXPECT_EQ(-1, nNext);
    EXPECT_EQ(-1, root.FindChildIndex(0, u"\u00C9"));  // only a-z fold
    EXPECT_EQ(pItem2, root.FindChildWithAttribute(0, u"name", u"a", nullptr));
    EXPECT_EQ(nullptr, root.FindChildWithAttribute(0, u"Name", u"a", nullptr));
    EXPECT_EQ(&root, pItem->GetParent());

    EXPECT_EQ(nullptr, root.GetChildAt(4));
    EXPECT_EQ(nullptr, root.GetChildAt(static_cast<unsigned>(-1)));
    EDescription* pDetached = root.DetachChildAt(0);
    EXPECT_EQ(nullptr, pDetached->GetParent());
    root.InsertChild(99, pDetached);
    EXPECT_EQ(pDetached, root.GetChildAt(3));
    root.DeleteChildAt(3);
    EXPECT_EQ(3, root.GetChildCount());

    EXPECT_EQ(root.GetChildCount(), 3);
    EDescription* pCreated = root.GetOrCreateChild(0, u"new");
    EXPECT_EQ(4, root.GetChildCount());
    EXPECT_EQ(pCreated, root.GetOrCreateChild(0, u"NEW"));
}

TEST_F(HeapCheck, ChildTextAndPaths)
{
    EDescription root;
    EXPECT_EQ(0, root.SetChildText(u"title", u"hello"));
    EXPECT_EQ(std::u16string(u"hello"), root.GetChildText(u"title", u"none"));
    EXPECT_EQ(std::u16string(u"none"), root.GetChildText(u"other", u"none"));
    root.FindChild(0, u"title")->InsertChild(0, NewElement(u"x"));
    EXPECT_EQ(1, root.SetChildText(u"title", u"again"));  // first child is no text node

    EDescription* pLeaf = root.CreatePath(u"\\a\\\\b\\c");
    ASSERT_NE(nullptr, pLeaf);
    EXPECT_EQ(pLeaf, root.FindPath(u"a\\b\\c"));
    EXPECT_EQ(nullptr, root.FindPath(u"a\\x"));
    EXPECT_EQ(&root, root.FindPath(u""));

    EXPECT_EQ(0, root.SetPathInteger(u"a\\b", u"n", 100000));
    EXPECT_EQ(100000, root.GetPathInteger(u"a\\b", u"n", 0));
    EXPECT_EQ(u"000186A0H", Text(root.GetPathString(u"a\\b", u"n", nullptr)));
    EXPECT_EQ(5, root.GetPathInteger(u"a\\b", u"missing", 5));
    EXPECT_EQ(0, root.SetPathReal(u"a", u"r", -0.25));
    EXPECT_DOUBLE_EQ(-0.25, root.GetPathReal(u"a", u"r", 0));

    // A value already kept as a child's text stays there.
    root.FindPath(u"a")->SetChildText(u"kept", u"old");
    EXPECT_EQ(0, root.SetPathString(u"a", u"kept", u"new"));
    EXPECT_EQ(-1, root.FindPath(u"a")->FindAttribute(u"kept"));
    EXPECT_EQ(u"new", Text(root.GetPathString(u"a", u"kept", nullptr)));

    for (uint32_t cb = 0; cb <= 5; ++cb) {
        const unsigned char abData[5] = {0x00, 0xFF, 0x10, 'a', 0x80};
        ASSERT_EQ(0, root.SetPathBinary(u"bin", u"data", abData, cb));
        unsigned char abRead[5] = {};
        ASSERT_EQ(static_cast<int>(cb), root.GetPathBinary(u"bin", u"data", abRead, sizeof(abRead)));
        EXPECT_EQ(0, memcmp(abData, abRead, cb));
    }
    EXPECT_EQ(u"AP8QYYA=", Text(root.GetPathString(u"bin", u"data", nullptr)));
    unsigned char abSmall[2] = {};
    EXPECT_EQ(5, root.GetPathBinary(u"bin", u"data", abSmall, 2));  // nothing written past the buffer
    root.SetPathString(u"bin", u"bad", u"AB*D");
    EXPECT_EQ(-1, root.GetPathBinary(u"bin", u"bad", abSmall, 2));
}

TEST_F(HeapCheck, TextIsKeptInPlaceOnceStored)
{
    // An element has no text of its own; storing nothing keeps it that way.
    EDescription element;
    EXPECT_EQ(0, element.GetText().GetLength());
    EXPECT_EQ(0, element.SetText(u""));
    EXPECT_EQ(0, element.SetText(nullptr));
    EXPECT_EQ(0, element.GetText().GetLength());

    // Once stored, the string a caller holds follows every later change.
    EDescription text;
    ASSERT_EQ(0, text.SetText(u"short"));
    const EWideString& strHeld = text.GetText();
    const std::u16string strLong(300, u'長');
    const struct {
        const char16_t* szText;
        int nCount;
        std::u16string strExpected;
    } kSteps[] = {
        {strLong.c_str(), -1, strLong},  // outgrows the room it was made with
        {u"ab\0cd", 2, u"ab"},
        {u"", -1, u""},
        {nullptr, 0, u""},
        {u"again", -1, u"again"},
    };
    for (const auto& step : kSteps) {
        ASSERT_EQ(0, text.SetText(step.szText, step.nCount));
        EXPECT_EQ(&strHeld, &text.GetText());
        EXPECT_EQ(step.strExpected, Text(strHeld));
    }

    // A copy of an element takes away the text; a merge of one leaves it.
    EDescription copy;
    copy.SetText(u"old");
    copy.MergeFrom(&element);
    EXPECT_EQ(u"old", Text(copy.GetText()));
    ASSERT_EQ(0, copy.CopyFrom(&element));
    EXPECT_EQ(u"", Text(copy.GetText()));
    ASSERT_EQ(0, element.MergeFrom(&text));
    EXPECT_EQ(u"again", Text(element.GetText()));

    // A text that cannot be made leaves the node as it was.
    EDescription failing;
    vokHeapFailAllocation(1);
    EXPECT_EQ(1, failing.SetText(u"lost"));
    vokHeapFailAllocation(0);
    EXPECT_EQ(0, failing.GetText().GetLength());
}

TEST_F(HeapCheck, CopyMergeAndSort)
{
    EDescription source;
    source.SetTagName(u"root");
    source.SetStringAttribute(u"a", u"1");
    EDescription* pList = NewElement(u"list");
    source.AppendChild(pList);
    const char16_t* kNames[] = {u"c", u"a", u"b", u"a"};
    const int kOrder[] = {3, 10, 2, 1};
    for (int i = 0; i < 4; ++i) {
        EDescription* p = NewElement(u"item");
        p->SetIntAttribute(u"order", kOrder[i]);
        p->SetStringAttribute(u"name", kNames[i]);
        pList->AppendChild(p);
    }
    pList->InsertChild(2, NewElement(u"fixed"));

    EDescription copy;
    ASSERT_EQ(0, copy.CopyFrom(&source));
    EXPECT_EQ(u"root", Text(copy.GetTagName()));
    EDescription* pCopied = copy.FindChild(0, u"list");
    ASSERT_NE(nullptr, pCopied);
    ASSERT_EQ(5, pCopied->GetChildCount());
    EXPECT_NE(pList->GetChildAt(0), pCopied->GetChildAt(0));
    EXPECT_EQ(pCopied, pCopied->GetChildAt(0)->GetParent());

    // Numbers numerically; the element of another tag keeps its place.
    ASSERT_EQ(0, pCopied->SortChildren(u"item", u"order", nullptr));
    const char16_t* kSorted[] = {u"item", u"item", u"fixed", u"item", u"item"};
    const int kSortedOrder[] = {1, 2, 0, 3, 10};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(kSorted[i], Text(pCopied->GetChildAt(i)->GetTagName()));
        EXPECT_EQ(kSortedOrder[i], pCopied->GetChildAt(i)->GetIntAttribute(u"order", 0));
    }
    // Stable: equal names keep their order (orders 10 and 1 are both "a").
    pCopied->SortChildren(u"item", u"name", nullptr);
    EXPECT_EQ(1, pCopied->GetChildAt(0)->GetIntAttribute(u"order", 0));
    EXPECT_EQ(10, pCopied->GetChildAt(1)->GetIntAttribute(u"order", 0));

    EDescription other;
    other.SetStringAttribute(u"b", u"2");
    EDescription* pOtherList = NewElement(u"LIST");
    pOtherList->SetStringAttribute(u"merged", u"yes");
    other.AppendChild(pOtherList);
    other.AppendChild(NewElement(u"extra"));
    ASSERT_EQ(0, copy.MergeFrom(&other));
    EXPECT_EQ(2, copy.GetAttributeCount());
    EXPECT_EQ(2, copy.GetChildCount());
    EXPECT_EQ(u"yes", Text(pCopied->GetAttributeValueAt(pCopied->FindAttribute(u"merged"))));
    EXPECT_EQ(5, pCopied->GetChildCount());
}

TEST_F(HeapCheck, DeepTreesAreDestroyedWithoutRecursionAndRefusedByCopy)
{
    // Far deeper than any stack would take in recursion.
    EDescription* pRoot = NewElement(u"r");
    EDescription* p = pRoot;
    for (int i = 0; i < 100000; ++i) {
        EDescription* pChild = NewElement(u"d");
        p->AppendChild(pChild);
        p->AppendChild(NewElement(u"sibling"));
        p = pChild;
    }
    EDescription copy;
    copy.SetStringAttribute(u"old", u"x");
    EXPECT_EQ(1, copy.CopyFrom(pRoot));
    EXPECT_EQ(0, copy.GetChildCount());
    EXPECT_EQ(0, copy.GetAttributeCount());
    EXPECT_EQ(1, copy.MergeFrom(pRoot));
    delete pRoot;
}

TEST(EDescription, ReportsItsClass)
{
    EDescription node;
    EXPECT_STREQ("EDescription", node.GetClassName());
    EXPECT_TRUE(node.IsKindOf("EDescription"));
    EXPECT_EQ(&node, node.DynamicCast("EDescription"));
    EXPECT_EQ(nullptr, node.DynamicCast("EString"));
    EDescription* p = node.CreateInstance();
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(p->IsSameClass(&node));
    delete p;
}

}  // namespace
