#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/base/fault.h"
#include "engine/txstore/file.h"
#include "engine/txstore/fs_context.h"
#include "engine/txstore/regular_file.h"
#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using platform::testing::CScratchDir;

struct ContextDeleter {
    void operator()(CFileSystem::IContext* p) const { DestroyObject(p); }
};
using ContextPtr = std::unique_ptr<CFileSystem::IContext, ContextDeleter>;

ContextPtr MakeContext(int nWritable)
{
    ContextPtr p(CreateFSContext(nWritable));
    EXPECT_NE(nullptr, p);
    return p;
}

void PutFile(const std::string& strPath, const std::string& strBytes)
{
    ContextPtr pContext = MakeContext(1);
    ASSERT_EQ(0, pContext->CreateFile(strPath.c_str()));
    CFileSystem::IFile* pFile = pContext->OpenFile(strPath.c_str(), 1);
    ASSERT_EQ(strBytes.size(), pFile->Write(strBytes.data(), static_cast<std::uint32_t>(strBytes.size())));
    pContext->CloseFile(pFile);
}

bool IsDirectory(const std::string& strPath)
{
    unsigned nAttributes = 0;
    return platform::FileGetAttributes(strPath.c_str(), &nAttributes) == platform::kFileOk &&
           (nAttributes & platform::kFileAttrDirectory) != 0;
}

TEST(FSContext, ReportsItsFlagAndNoTransaction)
{
    for (int nWritable : {0, 1}) {
        ContextPtr pContext = MakeContext(nWritable);
        EXPECT_EQ(nWritable, pContext->IsWritable());
        EXPECT_EQ(nullptr, pContext->GetTransactionContext());
    }
    DestroyObject(nullptr);
}

TEST(FSContext, CreateFileMakesAnEmptyFileOrReportsAnyExistingObject)
{
    CScratchDir dir;
    ContextPtr pContext = MakeContext(1);
    const std::string strFile = dir.Sub("f");
    EXPECT_EQ(0, pContext->CreateFile(strFile.c_str()));
    CFileSystem::IFile* pFile = pContext->OpenFile(strFile.c_str(), 0);
    EXPECT_EQ(0u, pFile->GetSize());
    pContext->CloseFile(pFile);
    EXPECT_EQ(5, pContext->CreateFile(strFile.c_str()));

    ASSERT_EQ(0, pContext->CreateDirectory(dir.Sub("d").c_str()));
    EXPECT_EQ(5, pContext->CreateFile(dir.Sub("d").c_str()));
    EXPECT_TRUE(IsDirectory(dir.Sub("d")));

    EXPECT_THROW(pContext->CreateFile(dir.Sub("none\\f").c_str()), CFault);
}

TEST(FSContext, DirectoryResults)
{
    CScratchDir dir;
    ContextPtr pContext = MakeContext(1);
    const std::string strDir = dir.Sub("d");
    EXPECT_EQ(0, pContext->CreateDirectory(strDir.c_str()));
    EXPECT_EQ(5, pContext->CreateDirectory(strDir.c_str()));
    EXPECT_EQ(1, pContext->CreateDirectory(dir.Sub("none\\d").c_str()));
    PutFile(dir.Sub("d\\f"), "x");
    EXPECT_EQ(5, pContext->CreateDirectory(dir.Sub("d\\f").c_str()));

    // Only empty directories go; the transactional context removes trees instead.
    EXPECT_THROW(pContext->RemoveDirectory(strDir.c_str()), CFault);
    EXPECT_NE(0, pContext->DeleteFile(dir.Sub("d\\f").c_str()));
    EXPECT_NE(0, pContext->RemoveDirectory(strDir.c_str()));
    EXPECT_FALSE(platform::PathExists(strDir.c_str()));
}

TEST(FSContext, MissingPathsGiveMinusOneWithoutThrowing)
{
    CScratchDir dir;
    ContextPtr pContext = MakeContext(1);
    EXPECT_EQ(-1, pContext->DeleteFile(dir.Sub("none").c_str()));
    EXPECT_EQ(-1, pContext->RemoveDirectory(dir.Sub("none").c_str()));
    EXPECT_EQ(-1, pContext->DeleteFile(dir.Sub("none\\deeper").c_str()));
}

TEST(FSContext, DeleteFileRemovesTheFileAndThrowsWhenItCannot)
{
    CScratchDir dir;
    ContextPtr pContext = MakeContext(1);
    const std::string strFile = dir.Sub("f");
    PutFile(strFile, "x");
    CFileSystem::IFile* pFile = pContext->OpenFile(strFile.c_str(), 0);
    EXPECT_THROW(pContext->DeleteFile(strFile.c_str()), CFault);  // still open
    pContext->CloseFile(pFile);
    EXPECT_NE(0, pContext->DeleteFile(strFile.c_str()));
    EXPECT_FALSE(platform::PathExists(strFile.c_str()));

    ASSERT_EQ(0, pContext->CreateDirectory(dir.Sub("d").c_str()));
    EXPECT_THROW(pContext->DeleteFile(dir.Sub("d").c_str()), CFault);
}

TEST(FSContext, ReadOnlyContextThrowsOnEveryChangeButOpensForWriting)
{
    CScratchDir dir;
    const std::string strFile = dir.Sub("f");
    PutFile(strFile, "abc");
    ASSERT_EQ(0, MakeContext(1)->CreateDirectory(dir.Sub("d").c_str()));
    ContextPtr pContext = MakeContext(0);
    for (const std::string& strPath : {strFile, dir.Sub("d"), dir.Sub("none")}) {
        const char* sz = strPath.c_str();
        EXPECT_THROW(pContext->CreateFile(sz), CFault) << strPath;
        EXPECT_THROW(pContext->DeleteFile(sz), CFault) << strPath;
        EXPECT_THROW(pContext->CreateDirectory(sz), CFault) << strPath;
        EXPECT_THROW(pContext->RemoveDirectory(sz), CFault) << strPath;
    }
    EXPECT_TRUE(platform::PathExists(strFile.c_str()));
    EXPECT_TRUE(IsDirectory(dir.Sub("d")));
    EXPECT_FALSE(platform::PathExists(dir.Sub("none").c_str()));

    // Callers check IsWritable themselves; the context does not.
    CFileSystem::IFile* pFile = pContext->OpenFile(strFile.c_str(), 1);
    EXPECT_EQ(1u, pFile->Write("X", 1));
    pContext->CloseFile(pFile);
    pFile = pContext->OpenFile(strFile.c_str(), 0);
    char buffer[4] = {};
    EXPECT_EQ(3u, pFile->Read(buffer, sizeof(buffer)));
    EXPECT_EQ("Xbc", std::string(buffer, 3));
    pContext->CloseFile(pFile);
}

TEST(FSContext, OpenFileThrowsForMissingFilesAndDirectories)
{
    CScratchDir dir;
    ContextPtr pContext = MakeContext(1);
    EXPECT_THROW(pContext->OpenFile(dir.Sub("none").c_str(), 0), CFault);
    EXPECT_THROW(pContext->OpenFile(dir.Sub("none").c_str(), 1), CFault);
    EXPECT_THROW(pContext->OpenFile(dir.Path().c_str(), 0), CFault);
    EXPECT_THROW(pContext->OpenFile(nullptr, 0), CFault);
    EXPECT_THROW(pContext->CreateFile(nullptr), CFault);
}

// CFile and CRegularFile are one implementation behind two interfaces; both are
// exercised through their own interface.
template <class TFile>
void CheckFileOperations(const std::string& strPath)
{
    PutFile(strPath, "hello");
    char buffer[16] = {};
    {
    TFile file(strPath.c_str(), 1);
    EXPECT_EQ(5u, file.GetSize());
    EXPECT_EQ(0u, file.Tell());
    EXPECT_EQ(5u, file.Read(buffer, sizeof(buffer)));
    EXPECT_EQ(0u, file.Read(buffer, sizeof(buffer)));  // at the end
    EXPECT_EQ(5u, file.Tell());

    // Past the end: reading gives 0, SetEnd extends the file with zeros.
    EXPECT_EQ(9u, file.Seek(4, 1));
    EXPECT_EQ(0u, file.Read(buffer, sizeof(buffer)));
    EXPECT_EQ(5u, file.GetSize());
    EXPECT_NE(0, file.SetEnd());
    EXPECT_EQ(9u, file.GetSize());
    EXPECT_EQ(3u, file.Seek(-6, 2));
    EXPECT_EQ(6u, file.Read(buffer, sizeof(buffer)));
    EXPECT_EQ(std::string("lo\0\0\0\0", 6), std::string(buffer, 6));

    EXPECT_EQ(1u, file.Seek(1, 0));
    EXPECT_EQ(2u, file.Write("EL", 2));
    EXPECT_EQ(3u, file.Tell());
    EXPECT_NE(0, file.SetEnd());
    EXPECT_EQ(3u, file.GetSize());
    EXPECT_EQ(0u, file.Seek(0, 0));
    EXPECT_EQ(3u, file.Read(buffer, sizeof(buffer)));
    EXPECT_EQ("hEL", std::string(buffer, 3));

    // A position before the start or an unknown origin throws and moves nothing.
    EXPECT_THROW(file.Seek(-1, 0), CFault);
    EXPECT_THROW(file.Seek(0, 3), CFault);
    EXPECT_EQ(3u, file.Tell());

    // 64-bit positions: a sparse file beyond 4 GiB.
    const std::uint64_t nFar = (4ull << 30) + 10;
    EXPECT_EQ(nFar, file.Seek(static_cast<std::int64_t>(nFar), 0));
    EXPECT_EQ(1u, file.Write("z", 1));
    EXPECT_EQ(nFar + 1, file.GetSize());
    EXPECT_EQ(nFar, file.Seek(-1, 2));
    EXPECT_EQ(1u, file.Read(buffer, 1));
    EXPECT_EQ('z', buffer[0]);
    }

    // A read-only file refuses writing and cutting, without throwing for the write.
    TFile reader(strPath.c_str(), 0);
    EXPECT_EQ(0u, reader.Write("x", 1));
    EXPECT_THROW(reader.SetEnd(), CFault);
}

TEST(PlatformFiles, FileOperationsOfCFile)
{
    CScratchDir dir;
    CheckFileOperations<CFile>(dir.Sub("a"));
}

TEST(PlatformFiles, FileOperationsOfCRegularFile)
{
    CScratchDir dir;
    CheckFileOperations<CRegularFile>(dir.Sub("a"));
}

TEST(PlatformFiles, AWriterAdmitsNoOtherOpenerAndReadersOnlyReaders)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("f");
    PutFile(strPath, "x");
    {
        CFile writer(strPath.c_str(), 1);
        EXPECT_THROW(CFile(strPath.c_str(), 1), CFault);
        EXPECT_THROW(CRegularFile(strPath.c_str(), 0), CFault);
    }
    {
        CRegularFile reader(strPath.c_str(), 0);
        CFile other(strPath.c_str(), 0);
        EXPECT_THROW(CFile(strPath.c_str(), 1), CFault);
    }
    CFile writer(strPath.c_str(), 1);  // everything above was closed
}

CHILD_SCENARIO(open_file)
{
    // open_file <path> <write>: 0 when a CFile opened, 1 when it threw.
    if (vArgs.size() != 2)
        return 99;
    try {
        CFile file(vArgs[0].c_str(), vArgs[1] == "1" ? 1 : 0);
        return 0;
    } catch (const CFault&) {
        return 1;
    }
}

TEST(PlatformFiles, AnotherProcessCannotOpenAFileOpenForWriting)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("f");
    PutFile(strPath, "x");
    {
        CFile writer(strPath.c_str(), 1);
        EXPECT_EQ(1, platform::testing::RunChild("open_file", {strPath, "1"}));
        EXPECT_EQ(1, platform::testing::RunChild("open_file", {strPath, "0"}));
    }
    {
        CFile reader(strPath.c_str(), 0);
        EXPECT_EQ(0, platform::testing::RunChild("open_file", {strPath, "0"}));
        EXPECT_EQ(1, platform::testing::RunChild("open_file", {strPath, "1"}));
    }
    EXPECT_EQ(0, platform::testing::RunChild("open_file", {strPath, "1"}));
}

TEST(PlatformFiles, ShortWritesAreReportedByTheirCount)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("f");
    PutFile(strPath, "");
    CFile file(strPath.c_str(), 1);
    platform::CFaultInjector faults;
    platform::SetFaultInjector(&faults);
    faults.FailWrite(1, platform::CFaultInjector::kShort);
    const std::uint32_t cbShort = file.Write("abcdef", 6);
    faults.FailWrite(1, platform::CFaultInjector::kFail);
    const std::uint32_t cbFailed = file.Write("ghij", 4);
    platform::SetFaultInjector(nullptr);
    EXPECT_EQ(3u, cbShort);
    EXPECT_EQ(0u, cbFailed);
    EXPECT_EQ(3u, file.GetSize());
}

}  // namespace
}  // namespace velk
