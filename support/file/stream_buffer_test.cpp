#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/file/memory_file.h"
#include "support/file/stream_buffer.h"
#include "support/runtime/heap.h"

namespace {

std::string Pattern(size_t n)
{
    std::string str(n, '\0');
    for (size_t i = 0; i < n; ++i)
        str[i] = static_cast<char>('a' + i % 23);
    return str;
}

TEST(StreamBuffer, FillsFromAFileUntilAShortRead)
{
    struct Case { size_t cb; int nReads; };
    const Case kCases[] = {{0, 1}, {100, 1}, {8191, 1}, {8192, 2}, {8193, 2}, {40000, 5}};
    for (const Case& c : kCases) {
        const std::string strData = Pattern(c.cb);
        EMemoryFile file(strData);
        EStreamBuffer buffer;
        EXPECT_EQ(kVokOk, buffer.FillFromFile(&file));
        EXPECT_EQ(c.nReads, file.m_nReads) << c.cb;
        ASSERT_EQ(c.cb, buffer.GetLength());
        const unsigned char* p = buffer.GetBuffer();
        if (c.cb == 0) {
            EXPECT_EQ(nullptr, p);
            continue;
        }
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(strData, std::string(reinterpret_cast<const char*>(p), c.cb));
        EXPECT_EQ(c.cb, buffer.Consume(static_cast<uint32_t>(c.cb)));
        EXPECT_EQ(0u, buffer.GetLength());
    }
}

// The counted fill appends exactly the bytes asked for, in one block that
// GetBuffer hands out without assembling, or nothing when the file has fewer.
TEST(StreamBuffer, CountedFillAppendsExactlyThatManyBytesInOneBlock)
{
    struct Case { size_t cbFile; uint32_t cbCount; bool bOk; };
    const Case kCases[] = {{0, 0, true}, {100, 100, true}, {40000, 40000, true}, {100, 50, true},
                           {100, 101, false}, {0, 1, false}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::to_string(c.cbFile) + " " + std::to_string(c.cbCount));
        EMemoryFile file(Pattern(c.cbFile));
        EStreamBuffer buffer;
        ASSERT_EQ(3u, buffer.Write("xyz", 3));
        EXPECT_EQ(c.bOk, buffer.FillFromFile(&file, c.cbCount));
        const uint32_t cbExpected = 3 + (c.bOk ? c.cbCount : 0);
        ASSERT_EQ(cbExpected, buffer.GetLength());
        EXPECT_EQ(3u, buffer.Consume(3));
        if (!c.bOk || c.cbCount == 0)
            continue;
        const size_t nBlocks = vokHeapGetBlockCount(nullptr);
        const unsigned char* p = buffer.GetBuffer();
        EXPECT_EQ(nBlocks, vokHeapGetBlockCount(nullptr));
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(Pattern(c.cbFile).substr(0, c.cbCount), std::string(reinterpret_cast<const char*>(p), c.cbCount));
    }
}

TEST(StreamBuffer, QueueKeepsOrderAcrossBlocks)
{
    const size_t nBlocks = vokHeapGetBlockCount(nullptr);
    {
        EStreamBuffer buffer;
        std::string strExpected;
        for (int i = 0; i < 50; ++i) {
            const std::string str = Pattern(static_cast<size_t>(i) * 700 + 1);
            EXPECT_EQ(str.size(), buffer.Write(str.data(), static_cast<uint32_t>(str.size())));
            strExpected += str;
        }
        EXPECT_EQ(strExpected.size(), buffer.GetLength());
        std::vector<char> v(5000);
        EXPECT_EQ(5000u, buffer.Read(v.data(), 5000));
        EXPECT_EQ(strExpected.substr(0, 5000), std::string(v.data(), 5000));
        strExpected.erase(0, 5000);

        // A view across several blocks is assembled; a shorter one is in place.
        const unsigned char* p = buffer.GetBuffer(20000);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(strExpected.substr(0, 20000), std::string(reinterpret_cast<const char*>(p), 20000));
        EXPECT_EQ(p, buffer.GetBuffer(10));
        EXPECT_EQ(100u, buffer.Consume(100));
        strExpected.erase(0, 100);
        EXPECT_EQ(strExpected.size(), buffer.GetLength());
        p = buffer.GetBuffer(0);
        EXPECT_EQ(strExpected, std::string(reinterpret_cast<const char*>(p), buffer.GetLength()));

        buffer.Write("tail", 4);
        strExpected += "tail";
        std::vector<char> vAll(strExpected.size() + 10);
        EXPECT_EQ(strExpected.size(), buffer.Read(vAll.data(), static_cast<uint32_t>(vAll.size())));
        EXPECT_EQ(strExpected, std::string(vAll.data(), strExpected.size()));
        EXPECT_EQ(0u, buffer.Read(vAll.data(), 1));
        EXPECT_EQ(0u, buffer.Consume(5));
        buffer.Write("left for the destructor", 23);
    }
    EXPECT_EQ(nBlocks, vokHeapGetBlockCount(nullptr));
}

}  // namespace
