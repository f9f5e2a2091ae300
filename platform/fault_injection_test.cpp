#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace platform {
namespace {

using testing::CScratchDir;

std::string Contents(const std::string& strPath)
{
    CFileHandle file;
    if (FileOpen(strPath.c_str(), kFileAccessRead, kFileShareRead, kFileOpenExisting, &file) != kFileOk)
        return "<missing>";
    std::string str(256, '\0');
    std::uint32_t cb = 0;
    file.Read(&str[0], static_cast<std::uint32_t>(str.size()), &cb);
    str.resize(cb);
    return str;
}

// Installs an injector for one test and removes it again.
class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override { SetFaultInjector(&m_faults); }
    void TearDown() override { SetFaultInjector(nullptr); }
    CFaultInjector m_faults;
};

TEST_F(FaultInjection, TheArmedWriteFailsOrComesBackShortOnce)
{
    struct Case {
        CFaultInjector::Action action;
        FileResult result;
        std::uint32_t cbWritten;
        const char* szAfter;
    };
    const Case kCases[] = {
        {CFaultInjector::kFail, kFileIoError, 0, "aaaabbbbdddd"},
        {CFaultInjector::kShort, kFileDiskFull, 2, "aaaabbbbccdddd"},
    };
    CScratchDir dir;
    for (const Case& c : kCases) {
        const std::string strPath = dir.Sub("f" + std::to_string(c.action));
        CFileHandle file;
        ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), kFileAccessWrite, 0, kFileCreateNew, &file));
        m_faults.FailWrite(3, c.action);
        const std::uint32_t nBefore = m_faults.Writes();
        std::uint32_t cb = 0;
        EXPECT_EQ(kFileOk, file.Write("aaaa", 4, &cb));
        EXPECT_EQ(kFileOk, file.Write("bbbb", 4, &cb));
        EXPECT_EQ(c.result, file.Write("cccc", 4, &cb));
        EXPECT_EQ(c.cbWritten, cb);
        EXPECT_EQ(kFileOk, file.Write("dddd", 4, &cb));
        EXPECT_EQ(4u, cb);
        EXPECT_EQ(nBefore + 4, m_faults.Writes());
        file.Close();
        EXPECT_EQ(c.szAfter, Contents(strPath));
    }
}

TEST_F(FaultInjection, TheArmedFlushFailsOnce)
{
    CScratchDir dir;
    CFileHandle file;
    ASSERT_EQ(kFileOk, FileOpen(dir.Sub("f").c_str(), kFileAccessWrite, 0, kFileCreateNew, &file));
    m_faults.FailFlush(2, CFaultInjector::kFail);
    EXPECT_EQ(kFileOk, file.Flush());
    EXPECT_EQ(kFileIoError, file.Flush());
    EXPECT_EQ(kFileOk, file.Flush());
}

TEST_F(FaultInjection, TheArmedReadFailsOnceAndMovesNothing)
{
    CScratchDir dir;
    CFileHandle file;
    ASSERT_EQ(kFileOk, FileOpen(dir.Sub("f").c_str(), kFileAccessRead | kFileAccessWrite, 0,
                                kFileCreateNew, &file));
    std::uint32_t cb = 0;
    ASSERT_EQ(kFileOk, file.Write("aabbcc", 6, &cb));
    ASSERT_EQ(kFileOk, file.Seek(0, kFileBegin, nullptr));
    m_faults.FailRead(2, CFaultInjector::kFail);
    const std::uint32_t nBefore = m_faults.Reads();
    char ab[2] = {};
    EXPECT_EQ(kFileOk, file.Read(ab, 2, &cb));
    EXPECT_EQ(kFileIoError, file.Read(ab, 2, &cb));
    EXPECT_EQ(0u, cb);
    EXPECT_EQ(kFileOk, file.Read(ab, 2, &cb));
    EXPECT_EQ("bb", std::string(ab, cb));
    EXPECT_EQ(nBefore + 3, m_faults.Reads());
}

TEST_F(FaultInjection, TheArmedChangeOfANameFailsOnceAndChangesNothing)
{
    CScratchDir dir;
    const std::string a = dir.Sub("a"), b = dir.Sub("b"), d = dir.Sub("d");
    {
        CFileHandle file;
        ASSERT_EQ(kFileOk, FileOpen(a.c_str(), kFileAccessWrite, 0, kFileCreateNew, &file));
    }
    m_faults.FailNameOp(CFaultInjector::kMoveOp, 1, CFaultInjector::kFail);
    m_faults.FailNameOp(CFaultInjector::kDirCreateOp, 1, CFaultInjector::kFail);
    m_faults.FailNameOp(CFaultInjector::kRemoveOp, 2, CFaultInjector::kFail);
    EXPECT_EQ(kFileIoError, FileMove(a.c_str(), b.c_str()));
    EXPECT_TRUE(PathExists(a.c_str()));
    EXPECT_FALSE(PathExists(b.c_str()));
    EXPECT_EQ(kFileIoError, DirCreate(d.c_str()));
    EXPECT_FALSE(PathExists(d.c_str()));
    EXPECT_EQ(kFileOk, DirCreate(d.c_str()));
    EXPECT_EQ(kFileOk, FileMove(a.c_str(), b.c_str()));
    // Removals of files and of directories share one count.
    EXPECT_EQ(kFileOk, DirRemove(d.c_str()));
    EXPECT_EQ(kFileIoError, FileRemove(b.c_str()));
    EXPECT_TRUE(PathExists(b.c_str()));
    EXPECT_EQ(kFileOk, FileRemove(b.c_str()));
    EXPECT_EQ(2u, m_faults.NameOps(CFaultInjector::kMoveOp));
    EXPECT_EQ(3u, m_faults.NameOps(CFaultInjector::kRemoveOp));
}

TEST(FaultInjectionText, ArmAcceptsOnlyWellFormedPlans)
{
    struct Case {
        const char* szText;
        bool bValid;
    };
    const Case kCases[] = {
        {"fail-write=2", true},
        {"short-write=1,fail-flush=3", true},
        {"exit-at=commit-marker:2,torn-write=7", true},
        {"exit-flush=1,exit-at=log", true},
        {"fail-move=2,exit-remove=1,fail-mkdir=3,fail-write=1", true},
        {"fail-read=3,fail-write=1", true},
        {"fail-read=0", false},
        {"fail-move=0", false},
        {"fail-mkdir=", false},
        {"exit-move=2y", false},
        {"fail-write=0", false},
        {"fail-write=", false},
        {"fail-write=x", false},
        {"fail-write=1x", false},
        {"crash-write=1", false},
        {"exit-at=", false},
        {"exit-at=p:", false},
        {"exit-at=p:0", false},
    };
    for (const Case& c : kCases) {
        CFaultInjector faults;
        EXPECT_EQ(c.bValid, faults.Arm(c.szText)) << c.szText;
    }
}

CHILD_SCENARIO(write_records)
{
    // write_records <path> <faults>: arms the faults, makes the directory
    // <path>.dir and the file <path>, then writes "1111", "2222",
    // ... "5555" with one write each, passing the point "record" before each.
    if (vArgs.size() != 2 || !ArmFaults(vArgs[1].c_str()))
        return 99;
    DirCreate((vArgs[0] + ".dir").c_str());  // where "exit-mkdir" ends it
    CFileHandle file;
    if (FileOpen(vArgs[0].c_str(), kFileAccessWrite, 0, kFileCreateNew, &file) != kFileOk)
        return 98;
    for (char c = '1'; c <= '5'; ++c) {
        CrashPoint("record");
        const std::string strRecord(4, c);
        std::uint32_t cb = 0;
        if (file.Write(strRecord.data(), 4, &cb) != kFileOk || cb != 4)
            return 97;
    }
    return 0;
}

TEST(FaultInjectionChild, EndsTheProcessWhereArmed)
{
    struct Case {
        const char* szFaults;
        int nExitCode;
        const char* szAfter;
    };
    const Case kCases[] = {
        {"exit-write=3", kFaultExitCode, "11112222"},
        {"torn-write=3", kFaultExitCode, "1111222233"},
        {"exit-at=record:2", kFaultExitCode, "1111"},
        {"exit-write=6", 0, "11112222333344445555"},  // the child finished first
        {"fail-write=2", 97, "1111"},
        {"exit-mkdir=1", kFaultExitCode, "<missing>"},
    };
    CScratchDir dir;
    int n = 0;
    for (const Case& c : kCases) {
        const std::string strPath = dir.Sub("f" + std::to_string(n++));
        EXPECT_EQ(c.nExitCode, testing::RunChild("write_records", {strPath, c.szFaults})) << c.szFaults;
        EXPECT_EQ(c.szAfter, Contents(strPath)) << c.szFaults;
    }
}

}  // namespace
}  // namespace platform
