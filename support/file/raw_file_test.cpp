#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/test_support.h"
#include "support/file/raw_file.h"
#include "support/runtime/heap.h"

namespace {

void WriteFile(const std::string& strPath, const std::string& strData)
{
    platform::CFileHandle file;
    ASSERT_EQ(platform::kFileOk, platform::FileOpen(strPath.c_str(), platform::kFileAccessWrite, 0,
                                                    platform::kFileCreateAlways, &file));
    uint32_t cb = 0;
    ASSERT_EQ(platform::kFileOk, file.Write(strData.data(), static_cast<uint32_t>(strData.size()), &cb));
}

std::string ReadAll(ERawFile* pFile)
{
    std::string str(pFile->GetLength(), '\0');
    pFile->Seek(0, 0);
    str.resize(pFile->Read(&str[0], static_cast<uint32_t>(str.size())));
    return str;
}

TEST(RawFile, OpenFlagsOfTheTool)
{
    platform::testing::CScratchDir dir;
    const std::string strPath = dir.Sub("view.xml");
    ERawFile file;
    EXPECT_EQ(1, file.Open(strPath.c_str(), 18));  // missing, must exist
    EXPECT_EQ(0, file.GetFlags());
    EXPECT_EQ(0u, file.Read(nullptr, 0));
    EXPECT_EQ(0u, file.GetLength());
    EXPECT_FALSE(platform::PathExists(strPath.c_str()));

    WriteFile(strPath, "old contents");
    ASSERT_EQ(0, file.Open(strPath.c_str(), 18));
    EXPECT_EQ(18, file.GetFlags());
    EXPECT_EQ("old contents", ReadAll(&file));
    EXPECT_EQ(0u, file.Write("x", 1));  // no write access
    file.Close();

    ASSERT_EQ(0, file.Open(strPath.c_str(), 5));  // create: truncates
    EXPECT_EQ(0u, file.GetLength());
    EXPECT_EQ(3u, file.Write("new", 3));
    EXPECT_EQ(3u, file.GetPosition());
    file.Close();
    ASSERT_EQ(0, file.Open(strPath.c_str(), 2));
    EXPECT_EQ("new", ReadAll(&file));
}

TEST(RawFile, SharingFollowsTheFlags)
{
    platform::testing::CScratchDir dir;
    const std::string strPath = dir.Sub("a.dat");
    WriteFile(strPath, "abc");
    ERawFile reader, second, writer;
    ASSERT_EQ(0, reader.Open(strPath.c_str(), 18));
    EXPECT_EQ(0, second.Open(strPath.c_str(), 18));  // both share reading
    EXPECT_EQ(1, writer.Open(strPath.c_str(), 4 | 16 | 32));  // they deny writing
    reader.Close();
    second.Close();
    EXPECT_EQ(0, writer.Open(strPath.c_str(), 4));  // nobody shares with it
    EXPECT_EQ(1, reader.Open(strPath.c_str(), 2 | 16 | 32));
}

TEST(RawFile, OpeningAgainClosesTheFirstFile)
{
    platform::testing::CScratchDir dir;
    WriteFile(dir.Sub("1"), "one");
    WriteFile(dir.Sub("2"), "two");
    ERawFile file;
    ASSERT_EQ(0, file.Open(dir.Sub("1").c_str(), 2 | 4));  // no sharing
    ASSERT_EQ(0, file.Open(dir.Sub("2").c_str(), 2));
    EXPECT_EQ("two", ReadAll(&file));
    ERawFile other;
    EXPECT_EQ(0, other.Open(dir.Sub("1").c_str(), 2 | 4));  // the first one is closed
    // A failed open leaves the object closed too.
    EXPECT_EQ(1, file.Open(dir.Sub("missing").c_str(), 2));
    EXPECT_EQ(0, file.GetFlags());
    EXPECT_STREQ("", file.GetPathName().GetText());
}

TEST(RawFile, NamesAndDrives)
{
    platform::testing::CScratchDir dir;
    ERawFile file;
    EXPECT_EQ(1, file.Open(nullptr, 2));
    EXPECT_EQ(1, file.Open("", 2));
    // No drive Q: on either target (POSIX has only Z:); the disk is not touched.
    EXPECT_EQ(1, file.Open("Q:\\attview-test.xml", 5));
    ASSERT_EQ(0, file.Open(dir.Sub("name.txt").c_str(), 5));
    EXPECT_EQ(dir.Sub("name.txt"), std::string(file.GetPathName().GetText()));
    EXPECT_STREQ("name.txt", file.GetFileName());
}

TEST(RawFile, SeekLengthEndAndDuplicate)
{
    platform::testing::CScratchDir dir;
    const std::string strPath = dir.Sub("s.dat");
    ERawFile file;
    ASSERT_EQ(0, file.Open(strPath.c_str(), 1 | 2 | 4 | 16 | 32));
    EXPECT_EQ(10u, file.Write("0123456789", 10));
    EXPECT_EQ(4u, file.Seek(4, 0));
    EXPECT_EQ(6u, file.Seek(2, 1));
    EXPECT_EQ(7u, file.Seek(-3, 2));
    EXPECT_EQ(0u, file.Seek(-20, 1));  // before the start: fails
    EXPECT_EQ(7u, file.GetPosition64());
    EXPECT_EQ(0, file.SetEndOfFile());
    EXPECT_EQ(7u, file.GetLength());
    EXPECT_EQ(7u, file.GetLength64());
    EXPECT_EQ(3u, file.Seek64(3, 0));

    VOKFileObject* pCopy = file.Duplicate();
    ASSERT_NE(nullptr, pCopy);
    ERawFile* pRaw = static_cast<ERawFile*>(pCopy->DynamicCast("ERawFile"));
    ASSERT_NE(nullptr, pRaw);
    EXPECT_EQ(file.GetFlags(), pRaw->GetFlags());
    EXPECT_STREQ(file.GetPathName().GetText(), pRaw->GetPathName().GetText());
    char ab[8] = {};
    EXPECT_EQ(7u, pCopy->Read(ab, 8));  // its own position
    EXPECT_EQ(std::string("0123456"), std::string(ab, 7));
    EXPECT_EQ(3u, file.GetPosition());
    delete pCopy;

    // Without read access (and so without a second open by name) the handle
    // itself is duplicated: same flags, same file.
    ERawFile writeOnly;
    ASSERT_EQ(0, writeOnly.Open(dir.Sub("w").c_str(), 5));
    EXPECT_EQ(2u, writeOnly.Write("ab", 2));
    VOKFileObject* pHandleCopy = writeOnly.Duplicate();
    ASSERT_NE(nullptr, pHandleCopy);
    EXPECT_EQ(5, static_cast<ERawFile*>(pHandleCopy->DynamicCast("ERawFile"))->GetFlags());
    EXPECT_EQ(2u, pHandleCopy->Seek(0, 2));
    EXPECT_EQ(1u, pHandleCopy->Write("c", 1));
    delete pHandleCopy;
    EXPECT_EQ(3u, writeOnly.GetLength());
    EXPECT_EQ(nullptr, ERawFile().Duplicate());
    EXPECT_EQ(1, ERawFile().SetEndOfFile());
}

}  // namespace
