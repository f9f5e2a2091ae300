#include "engine/bptree/key_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/node.h"

namespace velk {
namespace {

int Sign(int n)
{
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

TEST(KeyOrderTest, OrdersCompareAsDefined)
{
    struct Case {
        PFNCOMPAREKEYS pfn;
        std::string strKey1;
        std::string strKey2;
        int nSign;
    };
    using std::string;
    const Case kCases[] = {
        {CompareBinaryAscending, string("\xFF", 1), string("\0\0", 2), -1},
        {CompareBinaryAscending, string("\0\x01", 2), string("\0\x02", 2), -1},
        {CompareBinaryAscending, string("\x80", 1), string("\x7F", 1), 1},
        {CompareBinaryAscending, "", "", 0},
        {CompareBinaryDescending, string("\xFF", 1), string("\0\0", 2), 1},
        {CompareBinaryDescending, string("\0\x01", 2), string("\0\x02", 2), 1},
        {CompareStringAscending, string("ab\0x", 4), string("ab\0yz", 5), 0},
        {CompareStringAscending, string("abc\0", 4), string("abd\0", 4), -1},
        {CompareStringAscending, string("ab", 2), string("ab\0", 3), 0},  // bounded by the slot
        {CompareStringAscending, string("a\x81\0", 3), string("aA\0", 3), 1},
        {CompareStringAscending, string("ab\0", 3), string("abc\0", 4), -1},
        {CompareStringDescending, string("abc\0", 4), string("abd\0", 4), 1},
        {CompareNoCaseAscending, string("abc\0", 4), string("ABC\0", 4), 0},
        {CompareNoCaseAscending, string("ab\0", 3), string("abc\0", 4), -1},
        {CompareNoCaseAscending, string("\x81\0", 2), string("A\0", 2), -1},
        // The shorter string first, whatever the next byte of the longer one: "ab"
        // before "ab" followed by a double-byte character whose lead byte is negative.
        {CompareNoCaseAscending, string("ab\0", 3), string("ab\x95\x5C\0", 5), -1},
        {CompareNoCaseAscending, string("\x82\x61\0", 3), string("\x82\x41\0", 3), 0},
        {CompareNoCaseAscending, string("_\0", 2), string("a\0", 2), 1},  // '_' > 'A'
        {CompareNoCaseAscending, string("ab", 2), string("AB\0zz", 5), 0},
        {CompareNoCaseDescending, string("ab\0", 3), string("abc\0", 4), 1},
        {CompareNoCaseDescending, string("ABC\0", 4), string("abc\0", 4), 0},
    };
    int nCase = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(nCase++);
        EXPECT_EQ(c.nSign, Sign(c.pfn(c.strKey1.data(), static_cast<std::uint32_t>(c.strKey1.size()),
                                      c.strKey2.data(), static_cast<std::uint32_t>(c.strKey2.size()))));
        EXPECT_EQ(-c.nSign, Sign(c.pfn(c.strKey2.data(), static_cast<std::uint32_t>(c.strKey2.size()),
                                       c.strKey1.data(), static_cast<std::uint32_t>(c.strKey1.size()))));
    }
}

// The string order compares several bytes at a time: against the plain byte walk
// over keys whose NULs and differences fall on every side of those steps, each key
// in a block of exactly its length so that a read past it is caught.
TEST(KeyOrderTest, StringOrderMatchesTheByteWalk)
{
    auto reference = [](const std::vector<unsigned char>& v1, const std::vector<unsigned char>& v2) {
        for (std::size_t i = 0;; ++i) {
            unsigned char ch1 = i < v1.size() ? v1[i] : 0;
            unsigned char ch2 = i < v2.size() ? v2[i] : 0;
            if (ch1 != ch2)
                return ch1 < ch2 ? -1 : 1;
            if (ch1 == 0)
                return 0;
        }
    };
    const unsigned char kBytes[] = {0, 'a', 'b', 0x7F, 0x80, 0xFF};
    std::mt19937 random(18);
    for (int nCase = 0; nCase < 20000; ++nCase) {
        std::vector<unsigned char> v1(random() % 26);
        for (unsigned char& ch : v1)
            ch = random() % 4 != 0 ? 'a' : kBytes[random() % sizeof(kBytes)];
        // The second key shares a prefix of the first, then goes its own way.
        std::vector<unsigned char> v2(v1.begin(), v1.begin() + static_cast<std::ptrdiff_t>(random() % (v1.size() + 1)));
        v2.resize(v2.size() + random() % 10);
        for (std::size_t i = v2.size() - (v2.size() > 0 ? random() % (v2.size() + 1) : 0); i < v2.size(); ++i)
            v2[i] = random() % 3 != 0 ? 'a' : kBytes[random() % sizeof(kBytes)];
        std::unique_ptr<unsigned char[]> p1(new unsigned char[v1.size()]);
        std::unique_ptr<unsigned char[]> p2(new unsigned char[v2.size()]);
        std::copy(v1.begin(), v1.end(), p1.get());
        std::copy(v2.begin(), v2.end(), p2.get());
        const std::uint32_t cb1 = static_cast<std::uint32_t>(v1.size());
        const std::uint32_t cb2 = static_cast<std::uint32_t>(v2.size());
        ASSERT_EQ(reference(v1, v2), Sign(CompareStringAscending(p1.get(), cb1, p2.get(), cb2)))
            << nCase;
        ASSERT_EQ(reference(v2, v1), Sign(CompareStringAscending(p2.get(), cb2, p1.get(), cb1)))
            << nCase;
    }
}

TEST(KeyOrderTest, GuidsNameTheOrdersInMemoryLayout)
{
    // {9DFB9954-A341-44FC-988F-DEFC5D2B097F}: the first three groups little-endian.
    const unsigned char kBinaryAscending[16] = {0x54, 0x99, 0xFB, 0x9D, 0x41, 0xA3, 0xFC, 0x44,
                                                0x98, 0x8F, 0xDE, 0xFC, 0x5D, 0x2B, 0x09, 0x7F};
    EXPECT_EQ(&CompareBinaryAscending, FindKeyOrder(kBinaryAscending));
    EXPECT_EQ(&CompareBinaryDescending, FindKeyOrder(kGuidBinaryDescending));
    EXPECT_EQ(&CompareStringAscending, FindKeyOrder(kGuidStringAscending));
    EXPECT_EQ(&CompareStringDescending, FindKeyOrder(kGuidStringDescending));
    EXPECT_EQ(&CompareNoCaseAscending, FindKeyOrder(kGuidNoCaseAscending));
    EXPECT_EQ(&CompareNoCaseDescending, FindKeyOrder(kGuidNoCaseDescending));
    unsigned char abOther[16];
    std::memcpy(abOther, kBinaryAscending, 16);
    abOther[15] ^= 1;
    EXPECT_EQ(nullptr, FindKeyOrder(abOther));
}

TEST(NodeTest, SearchGivesFoundPositionOrLowerBound)
{
    // An index node of d = 2, K = 1 holding the keys 20, 40, 60.
    std::vector<unsigned char> v(static_cast<std::size_t>(CIndexNode::NodeSize(1, 2)));
    CIndexNode node(CompareBinaryAscending, 1, 2, v.data());
    std::uint32_t nPosition = 99;
    const unsigned char ch = 50;
    EXPECT_FALSE(node.Search(&ch, 1, &nPosition));
    EXPECT_EQ(0u, nPosition);
    for (unsigned char k : {20, 40, 60}) {
        std::uint32_t n = node.GetCount();
        node.InsertGap(n);
        node.SetKey(n, &k, 1);
    }
    struct Case {
        unsigned char chKey;
        bool bFound;
        std::uint32_t nPosition;
    };
    const Case kCases[] = {{10, false, 0}, {20, true, 0}, {30, false, 1}, {40, true, 1},
                           {50, false, 2}, {60, true, 2}, {70, false, 3}};
    for (const Case& c : kCases) {
        EXPECT_EQ(c.bFound, node.Search(&c.chKey, 1, &nPosition)) << int(c.chKey);
        EXPECT_EQ(c.nPosition, nPosition) << int(c.chKey);
    }
}

TEST(NodeTest, NodeSizesFollowFromTheOrders)
{
    EXPECT_EQ(6168u, CIndexNode::NodeSize(4, 256));
    EXPECT_EQ(3100u, CLeafNode::NodeSize(4, 0, 256));
    EXPECT_EQ(39u, CIndexNode::NodeSize(1, 1));
    EXPECT_EQ(43u, CLeafNode::NodeSize(1, 0, 2));
}

TEST(NodeTest, IndexGapRemoveSplitAndMergeKeepChildrenBesideTheirKeys)
{
    const std::uint32_t d = 2;
    std::vector<unsigned char> vLeft(static_cast<std::size_t>(CIndexNode::NodeSize(1, d)));
    std::vector<unsigned char> vRight(vLeft.size());
    CIndexNode left(CompareBinaryAscending, 1, d, vLeft.data());
    CIndexNode right(CompareBinaryAscending, 1, d, vRight.data());
    // Keys 1..5 with children 100..105, filled through gaps in mixed order.
    left.SetChild(0, 100);
    for (unsigned char k : {1, 3, 5, 2, 4}) {
        std::uint32_t i;
        left.Search(&k, 1, &i);
        left.InsertGap(i);
        left.SetKey(i, &k, 1);
        left.SetChild(i + 1, 100u + k);
    }
    ASSERT_EQ(5u, left.GetCount());
    EXPECT_THROW(left.InsertGap(0), CFault);  // 2d + 1 keys fill every slot
    left.SplitInto(&right);
    EXPECT_EQ(2u, left.GetCount());
    EXPECT_EQ(2u, right.GetCount());
    EXPECT_EQ(3, left.GetKeyBytes(2)[0]);  // the middle key stays readable
    EXPECT_EQ(4, right.GetKeyBytes(0)[0]);
    EXPECT_EQ(5, right.GetKeyBytes(1)[0]);
    EXPECT_EQ(103u, right.GetChild(0));
    EXPECT_EQ(105u, right.GetChild(2));
    const unsigned char chMiddle = 3;
    left.MergeFrom(&chMiddle, 1, right);
    ASSERT_EQ(5u, left.GetCount());
    for (std::uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(i + 1, left.GetKeyBytes(i)[0]);
        EXPECT_EQ(100u + i, left.GetChild(i));
    }
    EXPECT_EQ(105u, left.GetChild(5));
    left.RemoveKey(1);  // key 2 with child 102
    EXPECT_EQ(3, left.GetKeyBytes(1)[0]);
    EXPECT_EQ(101u, left.GetChild(1));
    EXPECT_EQ(103u, left.GetChild(2));
}

TEST(NodeTest, DamagedLengthsAndCountsThrowInsteadOfReachingOutside)
{
    std::vector<unsigned char> v(static_cast<std::size_t>(CLeafNode::NodeSize(2, 2, 2)));
    CLeafNode leaf(CompareBinaryAscending, 2, 2, 2, v.data());
    leaf.InsertGap(0);
    PutU32LE(v.data() + 4, 3);  // key 0 longer than K
    EXPECT_THROW(leaf.GetKeyLength(0), CFault);
    unsigned char ab[2] = {};
    std::uint32_t nPosition;
    EXPECT_THROW(leaf.Search(ab, 2, &nPosition), CFault);
    PutU32LE(v.data() + 4, 2);
    PutU32LE(v.data() + 4 + 4 + 2, 0x10000);  // value 0 longer than V
    EXPECT_THROW(leaf.GetValue(0, ab, 2), CFault);
    std::vector<unsigned char> vOther(v.size());
    CLeafNode other(CompareBinaryAscending, 2, 2, 2, vOther.data());
    other.SetCount(3);
    leaf.SetCount(1);
    EXPECT_THROW(leaf.AppendFrom(other), CFault);
}

}  // namespace
}  // namespace velk
