// The arena's blocks are given back one by one, in any order and on either side
// of the arena's end, and nodes read through it move between trees as any other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/file/memory_file.h"
#include "support/file/stream_buffer.h"
#include "support/runtime/heap.h"
#include "support/xml/description.h"
#include "support/xml/node_arena.h"

namespace {

class NodeArena : public ::testing::Test {
protected:
    void SetUp() override { m_nBlocks = vokHeapGetBlockCount(nullptr); }
    void TearDown() override
    {
        EXPECT_EQ(m_nBlocks, vokHeapGetBlockCount(nullptr));
        EXPECT_EQ(kVokOk, vokVerifyHeapChain(nullptr));
    }
    size_t m_nBlocks = 0;
};

struct Block {
    unsigned char* p;
    size_t cb;
};

bool Intact(const Block& b)
{
    for (size_t i = 0; i < b.cb; ++i) {
        if (b.p[i] != static_cast<unsigned char>(b.cb + i))
            return false;
    }
    return true;
}

TEST_F(NodeArena, BlocksGoBackInAnyOrderAndOutliveTheArena)
{
    std::vector<Block> v;
    {
        CNodeArena outer;
        {
            CNodeArena arena;
            // Sizes from a few bytes to more than a chunk, so that blocks share
            // chunks, end chunks, and take chunks of their own.
            for (size_t i = 0; i < 3000; ++i) {
                const size_t cb = i % 97 == 0 ? 5000 + i : i % 41 == 0 ? 40000 : 1 + i % 300;
                unsigned char* p = static_cast<unsigned char*>(CNodeArena::Allocate(cb));
                ASSERT_NE(nullptr, p);
                ASSERT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 8);
                for (size_t k = 0; k < cb; ++k)
                    p[k] = static_cast<unsigned char>(cb + k);
                v.push_back({p, cb});
            }
            // Many blocks, few heap blocks: that is the point of the arena.
            EXPECT_LT(vokHeapGetBlockCount(nullptr) - m_nBlocks, 300u);
            // Every other block back while the arena still carves.
            for (size_t i = 0; i < v.size(); i += 2) {
                ASSERT_TRUE(Intact(v[i])) << i;
                CNodeArena::Free(v[i].p);
                v[i].p = nullptr;
            }
        }
        // The outer arena serves again once the inner one is gone.
        void* p = CNodeArena::Allocate(16);
        ASSERT_NE(nullptr, p);
        v.push_back({static_cast<unsigned char*>(p), 0});
    }
    v.erase(std::remove_if(v.begin(), v.end(), [](const Block& b) { return b.p == nullptr; }), v.end());
    // The rest in a scrambled order, each still holding what was written.
    for (size_t i = 0; i < v.size(); ++i)
        std::swap(v[i], v[(i * 7919) % v.size()]);
    for (const Block& b : v) {
        ASSERT_TRUE(Intact(b));
        CNodeArena::Free(b.p);
    }
    // Without an arena a block is the heap's own.
    void* p = CNodeArena::Allocate(24);
    EXPECT_EQ(m_nBlocks + 1, vokHeapGetBlockCount(nullptr));
    CNodeArena::Free(p);
    CNodeArena::Free(nullptr);
}

TEST_F(NodeArena, OnlyTheLastCarvedBlockShrinks)
{
    char* aBlocks[6] = {};
    {
        CNodeArena arena;
        char* a = static_cast<char*>(CNodeArena::Allocate(200));
        char* b = static_cast<char*>(CNodeArena::Allocate(64));
        ASSERT_NE(nullptr, a);
        ASSERT_NE(nullptr, b);
        std::memset(a, 'a', 200);
        std::memset(b, 'b', 64);
        // Not the last block: its room stays, and b is untouched.
        CNodeArena::Shrink(a, 200, 8);
        EXPECT_EQ(std::string(64, 'b'), std::string(b, 64));
        // The last one gives back its tail to the block after it, rounded to 8.
        CNodeArena::Shrink(b, 64, 13);
        char* c = static_cast<char*>(CNodeArena::Allocate(32));
        ASSERT_NE(nullptr, c);
        EXPECT_EQ(b + 16 + 8, c);  // 13 bytes in 16, then the next block's head
        std::memset(c, 'c', 32);
        EXPECT_EQ(std::string(13, 'b'), std::string(b, 13));
        // A block of a chunk of its own keeps its size; so does a heap block.
        char* d = static_cast<char*>(CNodeArena::Allocate(20000));
        ASSERT_NE(nullptr, d);
        CNodeArena::Shrink(d, 20000, 16);
        char* e = static_cast<char*>(CNodeArena::Allocate(16));
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(c + 32 + 8, e);
        aBlocks[0] = a, aBlocks[1] = b, aBlocks[2] = c, aBlocks[3] = d, aBlocks[4] = e;
    }
    char* f = static_cast<char*>(CNodeArena::Allocate(40));
    CNodeArena::Shrink(f, 40, 8);
    aBlocks[5] = f;
    for (char* p : aBlocks)
        CNodeArena::Free(p);
}

std::string Write(const EDescription& root)
{
    EMemoryFile file;
    EXPECT_EQ(kVokOk, root.WriteDocument(&file, 0, 0, 1));
    return file.m_str;
}

TEST_F(NodeArena, ReadNodesOutliveTheirDocumentAndMoveToAnother)
{
    std::string strDocument = "<view>";
    for (int i = 0; i < 2000; ++i)
        strDocument += "<item id=\"" + std::to_string(i) + "\" name=\"n" + std::to_string(i) + "\"><x/></item>";
    strDocument += "</view>";
    EDescription* pDocument = new EDescription;
    EStreamBuffer stream;
    stream.Write(strDocument.data(), static_cast<uint32_t>(strDocument.size()));
    ASSERT_EQ(kVokOk, pDocument->ReadDocument(&stream, 0, 1));
    EDescription* pView = pDocument->GetChildAt(0);
    ASSERT_NE(nullptr, pView);
    ASSERT_EQ(2000, pView->GetChildCount());

    // Nodes from the start, the middle and the end of the read, taken out of it;
    // one deleted on its own while the document still stands.
    EDescription* pFirst = pView->DetachChildAt(0);
    EDescription* pMiddle = pView->DetachChildAt(1000);
    EDescription* pLast = pView->DetachChildAt(pView->GetChildCount() - 1);
    delete pView->DetachChildAt(500);
    ASSERT_NE(nullptr, pFirst);
    ASSERT_NE(nullptr, pMiddle);
    ASSERT_NE(nullptr, pLast);
    delete pDocument;

    EDescription other;
    EXPECT_EQ(0, pMiddle->SetStringAttribute(u"name", u"a_value_longer_than_its_room"));
    EXPECT_EQ(0, other.AppendChild(pMiddle));
    EXPECT_EQ(0, other.AppendChild(pLast));
    EXPECT_EQ(0, other.InsertChild(0, pFirst));
    EXPECT_EQ("<item id=\"0\" name=\"n0\">\r\n\t<x/>\r\n</item>\r\n"
              "<item id=\"1001\" name=\"a_value_longer_than_its_room\">\r\n\t<x/>\r\n</item>\r\n"
              "<item id=\"1999\" name=\"n1999\">\r\n\t<x/>\r\n</item>\r\n",
              Write(other));
    // A copy of read nodes into a tree of heap nodes and back into a read one.
    EDescription copy;
    EXPECT_EQ(0, copy.CopyFrom(&other));
    EXPECT_EQ(Write(other), Write(copy));
}

}  // namespace
