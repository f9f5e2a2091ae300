#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/reparse_tag.h"
#include "platform/test_support.h"

namespace platform {
namespace {

using testing::CScratchDir;

void PutFile(const std::string& strPath, const std::string& strBytes)
{
    CFileHandle file;
    ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), kFileAccessWrite, 0, kFileCreateAlways, &file));
    std::uint32_t cb = 0;
    ASSERT_EQ(kFileOk, file.Write(strBytes.data(), static_cast<std::uint32_t>(strBytes.size()), &cb));
    ASSERT_EQ(strBytes.size(), cb);
}

std::string GetFile(const std::string& strPath)
{
    CFileHandle file;
    if (FileOpen(strPath.c_str(), kFileAccessRead, kFileShareRead, kFileOpenExisting, &file) != kFileOk)
        return "<missing>";
    std::string strBytes(4096, '\0');
    std::uint32_t cb = 0;
    file.Read(&strBytes[0], static_cast<std::uint32_t>(strBytes.size()), &cb);
    strBytes.resize(cb);
    return strBytes;
}

TEST(File, DispositionsCreateOpenAndTruncateAsOnWindows)
{
    struct Case {
        unsigned nDisposition;
        bool bExists;
        FileResult result;
        const char* szAfter;  // contents afterwards
    };
    const Case kCases[] = {
        {kFileCreateNew, false, kFileOk, ""},
        {kFileCreateNew, true, kFileExists, "old"},
        {kFileCreateAlways, false, kFileOk, ""},
        {kFileCreateAlways, true, kFileOk, ""},
        {kFileOpenExisting, false, kFileNotFound, "<missing>"},
        {kFileOpenExisting, true, kFileOk, "old"},
        {kFileOpenAlways, false, kFileOk, ""},
        {kFileOpenAlways, true, kFileOk, "old"},
        {kFileTruncateExisting, false, kFileNotFound, "<missing>"},
        {kFileTruncateExisting, true, kFileOk, ""},
    };
    CScratchDir dir;
    int n = 0;
    for (const Case& c : kCases) {
        const std::string strPath = dir.Sub("f" + std::to_string(n++));
        if (c.bExists)
            PutFile(strPath, "old");
        CFileHandle file;
        EXPECT_EQ(c.result, FileOpen(strPath.c_str(), kFileAccessRead | kFileAccessWrite, 0,
                                     c.nDisposition, &file))
            << "disposition " << c.nDisposition << " exists " << c.bExists;
        EXPECT_EQ(c.result == kFileOk, file.IsOpen());
        file.Close();
        EXPECT_EQ(c.szAfter, GetFile(strPath)) << "disposition " << c.nDisposition;
    }
}

TEST(File, ReadWriteSeekAndSetEnd)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("data");
    CFileHandle file;
    ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), kFileAccessRead | kFileAccessWrite, 0,
                                kFileCreateNew, &file));
    std::uint32_t cb = 0;
    ASSERT_EQ(kFileOk, file.Write("hello", 5, &cb));
    EXPECT_EQ(5u, cb);

    char buffer[16] = {};
    std::uint64_t nPos = 99;
    ASSERT_EQ(kFileOk, file.Seek(1, kFileBegin, &nPos));
    EXPECT_EQ(1u, nPos);
    ASSERT_EQ(kFileOk, file.Read(buffer, sizeof(buffer), &cb));
    EXPECT_EQ(4u, cb);
    EXPECT_EQ("ello", std::string(buffer, cb));
    ASSERT_EQ(kFileOk, file.Read(buffer, sizeof(buffer), &cb));  // at the end
    EXPECT_EQ(0u, cb);

    // Past the end: reading gives nothing, SetEnd extends with zeros.
    ASSERT_EQ(kFileOk, file.Seek(5, kFileEnd, &nPos));
    EXPECT_EQ(10u, nPos);
    ASSERT_EQ(kFileOk, file.Read(buffer, sizeof(buffer), &cb));
    EXPECT_EQ(0u, cb);
    std::uint64_t cbSize = 0;
    ASSERT_EQ(kFileOk, file.GetSize(&cbSize));
    EXPECT_EQ(5u, cbSize);
    ASSERT_EQ(kFileOk, file.SetEnd());
    ASSERT_EQ(kFileOk, file.GetSize(&cbSize));
    EXPECT_EQ(10u, cbSize);
    ASSERT_EQ(kFileOk, file.Seek(-7, kFileCurrent, &nPos));
    EXPECT_EQ(3u, nPos);
    ASSERT_EQ(kFileOk, file.Read(buffer, sizeof(buffer), &cb));
    EXPECT_EQ(std::string("lo\0\0\0\0\0", 7), std::string(buffer, cb));

    // A write past the end fills the gap with zeros; SetEnd cuts.
    ASSERT_EQ(kFileOk, file.Seek(12, kFileBegin, &nPos));
    ASSERT_EQ(kFileOk, file.Write("!", 1, &cb));
    ASSERT_EQ(kFileOk, file.Seek(2, kFileBegin, &nPos));
    ASSERT_EQ(kFileOk, file.SetEnd());
    ASSERT_EQ(kFileOk, file.GetSize(&cbSize));
    EXPECT_EQ(2u, cbSize);
    ASSERT_EQ(kFileOk, file.Flush());

    // Bad moves change nothing.
    EXPECT_EQ(kFileInvalidArgument, file.Seek(-3, kFileBegin, &nPos));
    EXPECT_EQ(kFileInvalidArgument, file.Seek(-3, kFileEnd, &nPos));
    EXPECT_EQ(kFileInvalidArgument, file.Seek(0, 3, &nPos));
    ASSERT_EQ(kFileOk, file.Seek(0, kFileCurrent, &nPos));
    EXPECT_EQ(2u, nPos);
    file.Close();
    EXPECT_EQ("he", GetFile(strPath));
}

TEST(File, AccessIsEnforcedPerHandle)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("data");
    PutFile(strPath, "abc");
    CFileHandle file;
    ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), kFileAccessRead, kFileShareRead, kFileOpenExisting, &file));
    std::uint32_t cb = 7;
    EXPECT_NE(kFileOk, file.Write("x", 1, &cb));
    EXPECT_EQ(0u, cb);
    EXPECT_NE(kFileOk, file.SetEnd());
    file.Close();
    ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), kFileAccessWrite, 0, kFileOpenExisting, &file));
    char c;
    EXPECT_NE(kFileOk, file.Read(&c, 1, &cb));
    file.Close();
    EXPECT_EQ("abc", GetFile(strPath));
}

TEST(File, PositionsAndSizesBeyondFourGiB)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("sparse");
    const std::uint64_t nFar = (5ull << 30) + 3;
    CFileHandle file;
    ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), kFileAccessRead | kFileAccessWrite, 0,
                                kFileCreateNew, &file));
    std::uint64_t nPos = 0;
    ASSERT_EQ(kFileOk, file.Seek(static_cast<std::int64_t>(nFar), kFileBegin, &nPos));
    EXPECT_EQ(nFar, nPos);
    std::uint32_t cb = 0;
    ASSERT_EQ(kFileOk, file.Write("far", 3, &cb));
    std::uint64_t cbSize = 0;
    ASSERT_EQ(kFileOk, file.GetSize(&cbSize));
    EXPECT_EQ(nFar + 3, cbSize);
    ASSERT_EQ(kFileOk, file.Seek(-4, kFileEnd, &nPos));
    EXPECT_EQ(nFar - 1, nPos);
    char buffer[8] = {};
    ASSERT_EQ(kFileOk, file.Read(buffer, sizeof(buffer), &cb));
    EXPECT_EQ(std::string("\0far", 4), std::string(buffer, cb));
    // The low 32 bits of the size alone would say 1 GiB + 6.
    ASSERT_EQ(kFileOk, file.Seek(1ll << 32, kFileBegin, &nPos));
    ASSERT_EQ(kFileOk, file.SetEnd());
    ASSERT_EQ(kFileOk, file.GetSize(&cbSize));
    EXPECT_EQ(1ull << 32, cbSize);
}

struct ShareCase {
    unsigned nAccess1, nShare1, nAccess2, nShare2;
    bool bSecondOpens;
};
const unsigned R = kFileAccessRead, W = kFileAccessWrite, SR = kFileShareRead, SW = kFileShareWrite;
const ShareCase kShareCases[] = {
    {R, SR, R, SR, true},             // readers that deny writing coexist
    {R, SR, R | W, SR | SW, false},   // the second wants to write, the first denies it
    {R | W, 0, R, SR | SW, false},    // nothing is shared with a writer that denies all
    {R | W, SR, R, SR, false},        // the second denies writing to a writer
    {R | W, SR | SW, R | W, SR | SW, true},
    {R, SR | SW, R | W, SR, true},
    {R, SW, W, SR | SW, true},        // denying reading does not stop a writer
    {R, 0, R, SR | SW, false},
};

TEST(File, ShareModesBindTwoOpensInOneProcess)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("shared");
    PutFile(strPath, "x");
    for (const ShareCase& c : kShareCases) {
        CFileHandle first, second;
        ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), c.nAccess1, c.nShare1, kFileOpenExisting, &first));
        EXPECT_EQ(c.bSecondOpens ? kFileOk : kFileSharingViolation,
                  FileOpen(strPath.c_str(), c.nAccess2, c.nShare2, kFileOpenExisting, &second))
            << c.nAccess1 << "/" << c.nShare1 << " then " << c.nAccess2 << "/" << c.nShare2;
        // A refused open does not linger: the first close frees the file.
        first.Close();
        second.Close();
        CFileHandle third;
        EXPECT_EQ(kFileOk, FileOpen(strPath.c_str(), R | W, 0, kFileOpenExisting, &third));
    }
}

// Every pair of reading or writing openers with every sharing, against Windows'
// rule: the second gets in only when neither one's access meets the other's denial.
TEST(File, ShareModesFollowTheWindowsRuleForEveryPair)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("shared");
    PutFile(strPath, "x");
    auto denies = [](unsigned nAccess, unsigned nShare) {
        return ((nAccess & R) != 0 && (nShare & SR) == 0) || ((nAccess & W) != 0 && (nShare & SW) == 0);
    };
    for (unsigned nAccess1 : {R, W, R | W}) {
        for (unsigned nShare1 = 0; nShare1 < 8; ++nShare1) {
            CFileHandle first;
            ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), nAccess1, nShare1, kFileOpenExisting, &first));
            for (unsigned nAccess2 : {R, W, R | W}) {
                for (unsigned nShare2 = 0; nShare2 < 8; ++nShare2) {
                    const bool bOpens = !denies(nAccess2, nShare1) && !denies(nAccess1, nShare2);
                    CFileHandle second;
                    EXPECT_EQ(bOpens ? kFileOk : kFileSharingViolation,
                              FileOpen(strPath.c_str(), nAccess2, nShare2, kFileOpenExisting, &second))
                        << nAccess1 << "/" << nShare1 << " then " << nAccess2 << "/" << nShare2;
                }
            }
        }
    }
}

CHILD_SCENARIO(try_open)
{
    // try_open <path> <access> <share>: exits with the FileResult of the open.
    if (vArgs.size() != 3)
        return 99;
    CFileHandle file;
    return FileOpen(vArgs[0].c_str(), static_cast<unsigned>(std::atoi(vArgs[1].c_str())),
                    static_cast<unsigned>(std::atoi(vArgs[2].c_str())), kFileOpenExisting, &file);
}

TEST(File, ShareModesBindAnotherProcess)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("shared");
    PutFile(strPath, "x");
    for (const ShareCase& c : kShareCases) {
        CFileHandle first;
        ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), c.nAccess1, c.nShare1, kFileOpenExisting, &first));
        EXPECT_EQ(c.bSecondOpens ? kFileOk : kFileSharingViolation,
                  testing::RunChild("try_open", {strPath, std::to_string(c.nAccess2),
                                                 std::to_string(c.nShare2)}))
            << c.nAccess1 << "/" << c.nShare1 << " then " << c.nAccess2 << "/" << c.nShare2;
    }
    EXPECT_EQ(kFileOk, testing::RunChild("try_open", {strPath, std::to_string(R | W), "0"}));
}

TEST(File, ChildProcessesInheritNoOpenFile)
{
    // A child started while a file is open must not keep it open (and locked) after
    // the parent closes it.
    CScratchDir dir;
    const std::string strPath = dir.Sub("held");
    PutFile(strPath, "x");
    CFileHandle file;
    ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), R | W, 0, kFileOpenExisting, &file));
    CChildProcess child;
    ASSERT_EQ(0, testing::StartChild(&child, "sleep_long", {}));
    file.Close();
    EXPECT_EQ(kFileOk, FileOpen(strPath.c_str(), R | W, 0, kFileOpenExisting, &file));
    file.Close();
    EXPECT_EQ(kFileOk, FileRemove(strPath.c_str()));
    child.Kill();
}

TEST(File, OpenFileCannotBeDeletedOrMoved)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("open");
    PutFile(strPath, "keep");
    for (unsigned nAccess : {R, R | W}) {
        CFileHandle file;
        ASSERT_EQ(kFileOk, FileOpen(strPath.c_str(), nAccess, SR | SW, kFileOpenExisting, &file));
        EXPECT_EQ(kFileSharingViolation, FileRemove(strPath.c_str()));
        EXPECT_EQ(kFileSharingViolation, FileMove(strPath.c_str(), dir.Sub("moved").c_str()));
        EXPECT_FALSE(PathExists(dir.Sub("moved").c_str()));
    }
    EXPECT_EQ("keep", GetFile(strPath));
    EXPECT_EQ(kFileOk, FileMove(strPath.c_str(), dir.Sub("moved").c_str()));
    EXPECT_EQ(kFileOk, FileRemove(dir.Sub("moved").c_str()));
    EXPECT_FALSE(PathExists(dir.Sub("moved").c_str()));
}

TEST(File, MoveNeverReplacesATarget)
{
    CScratchDir dir;
    PutFile(dir.Sub("a"), "A");
    PutFile(dir.Sub("b"), "B");
    ASSERT_EQ(kFileOk, DirCreate(dir.Sub("d").c_str()));
    EXPECT_EQ(kFileExists, FileMove(dir.Sub("a").c_str(), dir.Sub("b").c_str()));
    EXPECT_EQ(kFileExists, FileMove(dir.Sub("a").c_str(), dir.Sub("d").c_str()));
    EXPECT_EQ(kFileExists, FileMove(dir.Sub("d").c_str(), dir.Sub("b").c_str()));
    EXPECT_EQ("A", GetFile(dir.Sub("a")));
    EXPECT_EQ("B", GetFile(dir.Sub("b")));
    EXPECT_EQ(kFileNotFound, FileMove(dir.Sub("none").c_str(), dir.Sub("c").c_str()));

    // Files and whole directories move within the volume.
    EXPECT_EQ(kFileOk, FileMove(dir.Sub("a").c_str(), dir.Sub("d\\a").c_str()));
    EXPECT_EQ(kFileOk, FileMove(dir.Sub("d").c_str(), dir.Sub("e").c_str()));
    EXPECT_EQ("A", GetFile(dir.Sub("e\\a")));
}

TEST(File, DeleteAndDirectoryResults)
{
    CScratchDir dir;
    const std::string strSub = dir.Sub("sub");
    EXPECT_EQ(kFileOk, DirCreate(strSub.c_str()));
    EXPECT_EQ(kFileExists, DirCreate(strSub.c_str()));
    EXPECT_EQ(kFileNotFound, DirCreate(dir.Sub("none\\sub").c_str()));
    PutFile(dir.Sub("sub\\f"), "f");
    EXPECT_EQ(kFileExists, DirCreate(dir.Sub("sub\\f").c_str()));
    EXPECT_EQ(kFileDirNotEmpty, DirRemove(strSub.c_str()));
    EXPECT_EQ(kFileAccessDenied, FileRemove(strSub.c_str()));
    EXPECT_NE(kFileOk, DirRemove(dir.Sub("sub\\f").c_str()));
    EXPECT_EQ(kFileNotFound, FileRemove(dir.Sub("none").c_str()));
    EXPECT_EQ(kFileNotFound, DirRemove(dir.Sub("none").c_str()));
    EXPECT_EQ(kFileOk, FileRemove(dir.Sub("sub\\f").c_str()));
    EXPECT_EQ(kFileOk, DirRemove(strSub.c_str()));
    EXPECT_FALSE(PathExists(strSub.c_str()));

    CFileHandle file;
    EXPECT_EQ(kFileAccessDenied, FileOpen(dir.Path().c_str(), R, SR, kFileOpenExisting, &file));
}

TEST(File, ReadOnlyAttributeRefusesWritingAndDeletion)
{
    CScratchDir dir;
    const std::string strPath = dir.Sub("ro");
    PutFile(strPath, "ro");
    unsigned nAttributes = 0;
    ASSERT_EQ(kFileOk, FileGetAttributes(strPath.c_str(), &nAttributes));
    EXPECT_EQ(0u, nAttributes & (kFileAttrReadOnly | kFileAttrDirectory));
    ASSERT_EQ(kFileOk, FileGetAttributes(dir.Path().c_str(), &nAttributes));
    EXPECT_NE(0u, nAttributes & kFileAttrDirectory);
    EXPECT_EQ(kFileNotFound, FileGetAttributes(dir.Sub("none").c_str(), &nAttributes));

    ASSERT_EQ(kFileOk, FileSetAttributes(strPath.c_str(), kFileAttrReadOnly));
    ASSERT_EQ(kFileOk, FileGetAttributes(strPath.c_str(), &nAttributes));
    EXPECT_NE(0u, nAttributes & kFileAttrReadOnly);
    CFileHandle file;
#ifndef _WIN32
    // Wine leaves this refusal to the host's file permissions, which do not bind the
    // superuser the tests may run as; Windows itself and the POSIX backend refuse.
    EXPECT_EQ(kFileAccessDenied, FileOpen(strPath.c_str(), R | W, 0, kFileOpenExisting, &file));
    EXPECT_EQ(kFileAccessDenied, FileOpen(strPath.c_str(), W, 0, kFileCreateAlways, &file));
#endif
    EXPECT_EQ(kFileAccessDenied, FileRemove(strPath.c_str()));
    EXPECT_EQ("ro", GetFile(strPath));

    ASSERT_EQ(kFileOk, FileSetAttributes(strPath.c_str(), kFileAttrNormal));
    EXPECT_EQ(kFileOk, FileOpen(strPath.c_str(), R | W, 0, kFileOpenExisting, &file));
    file.Close();
    EXPECT_EQ(kFileOk, FileRemove(strPath.c_str()));
}

TEST(File, ListsNamesAndAttributes)
{
    CScratchDir dir;
    PutFile(dir.Sub("file"), "");
    PutFile(dir.Sub("\x95\x5C"), "");  // a double-byte name whose trail byte is "\"
    ASSERT_EQ(kFileOk, DirCreate(dir.Sub("dir").c_str()));
    std::vector<DirEntry> entries;
    ASSERT_EQ(kFileOk, DirList(dir.Path().c_str(), &entries));
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.strName < b.strName; });
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ("dir", entries[0].strName);
    EXPECT_NE(0u, entries[0].nAttributes & kFileAttrDirectory);
    EXPECT_EQ("file", entries[1].strName);
    EXPECT_EQ(0u, entries[1].nAttributes & kFileAttrDirectory);
    EXPECT_EQ("\x95\x5C", entries[2].strName);

    ASSERT_EQ(kFileOk, DirList(dir.Sub("dir").c_str(), &entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(kFileNotFound, DirList(dir.Sub("none").c_str(), &entries));
}

// Only symbolic links and junctions are links; other reparse points (cloud
// placeholders, deduplicated files, ...) are the plain files and directories they
// stand for, and a tag not known as Microsoft's counts as a link.
TEST(File, OnlyLinkReparseTagsMakeLinks)
{
    const unsigned kDirPoint = kFileAttrDirectory | kFileAttrReparsePoint;
    const unsigned kFilePoint = kFileAttrArchive | kFileAttrReparsePoint;
    const struct {
        unsigned nAttributes;
        std::uint32_t nTag;
        unsigned nExpected;
    } cases[] = {
        {kDirPoint, 0xA000000Cu, kDirPoint},                 // symbolic link to a directory
        {kFilePoint, 0xA000000Cu, kFilePoint},               // symbolic link to a file
        {kDirPoint, 0xA0000003u, kDirPoint},                 // junction
        {kDirPoint, 0xA000001Du, kDirPoint},                 // another system's symbolic link
        {kDirPoint, 0u, kDirPoint},                          // tag unread
        {kDirPoint, 1u, kDirPoint},                          // Wine's listing
        {kFilePoint, 0x00001234u, kFilePoint},               // someone else's tag
        {kFilePoint, 0x9000001Au, kFileAttrArchive},         // cloud file placeholder
        {kDirPoint, 0x9000601Au, kFileAttrDirectory},        // cloud folder
        {kFilePoint, 0x80000013u, kFileAttrArchive},         // deduplicated file
        {kFilePoint, 0x8000001Bu, kFileAttrArchive},         // app execution alias
        {kFilePoint, 0x80000017u, kFileAttrArchive},         // WOF-compressed file
        {kFileAttrArchive, 0xA000000Cu, kFileAttrArchive},   // no reparse point at all
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.nExpected, LinkAttributes(c.nAttributes, c.nTag))
            << std::hex << c.nAttributes << " tag " << c.nTag;
}

// A link is described and removed as itself; what it leads to stays as it was.
TEST(File, LinksAreDescribedAndRemovedThemselves)
{
    CScratchDir dir;
    ASSERT_EQ(kFileOk, DirCreate(dir.Sub("victim").c_str()));
    PutFile(dir.Sub("victim\\keep"), "keep");
    PutFile(dir.Sub("file"), "file");
    const auto before = testing::SnapshotTree(dir.Path());
    struct Case {
        const char* szLink;
        const char* szTarget;
        LinkKind kind;
    };
    const Case kCases[] = {
        {"to-file", "file", kLinkToFile},
        {"to-dir", "victim", kLinkToDirectory},
        {"junction", "victim", kLinkJunction},
    };
    int nMade = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szLink);
        const std::string strLink = dir.Sub(c.szLink);
        if (!testing::MakeLink(strLink, dir.Sub(c.szTarget), c.kind))
            continue;  // not on this system: see platform/file_link.h
        ++nMade;
        const unsigned nKind =
            kFileAttrReparsePoint | (c.kind == kLinkToFile ? 0u : unsigned(kFileAttrDirectory));
        unsigned nAttributes = 0;
        ASSERT_EQ(kFileOk, FileGetAttributes(strLink.c_str(), &nAttributes));
        EXPECT_EQ(nKind, nAttributes & (kFileAttrReparsePoint | kFileAttrDirectory));
        EXPECT_TRUE(PathExists(strLink.c_str()));
        std::vector<DirEntry> entries;
        ASSERT_EQ(kFileOk, DirList(dir.Path().c_str(), &entries));
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [&](const DirEntry& e) { return e.strName == c.szLink; });
        ASSERT_NE(entries.end(), it);
        EXPECT_EQ(nKind, it->nAttributes & (kFileAttrReparsePoint | kFileAttrDirectory));
        // Setting attributes on a link never makes its target read-only.
        FileSetAttributes(strLink.c_str(), kFileAttrReadOnly);
        FileSetAttributes(strLink.c_str(), kFileAttrNormal);

        const FileResult result = LinkRemove(strLink.c_str());
        if (c.kind == kLinkToFile || testing::LinksBehaveAsLinks()) {
            EXPECT_EQ(kFileOk, result);
            EXPECT_FALSE(PathExists(strLink.c_str()));
        } else {
            EXPECT_EQ(kFileOk, LinkDelete(strLink.c_str()));
        }
        EXPECT_EQ(before, testing::SnapshotTree(dir.Path()));
    }
    EXPECT_GT(nMade, 0) << "no kind of link can be made here";
    unsigned nAttributes = 0;
    ASSERT_EQ(kFileOk, FileGetAttributes(dir.Sub("file").c_str(), &nAttributes));
    EXPECT_EQ(0u, nAttributes & kFileAttrReadOnly);

    // LinkRemove refuses what is no link.
    EXPECT_EQ(kFileInvalidArgument, LinkRemove(dir.Sub("file").c_str()));
    EXPECT_EQ(kFileInvalidArgument, LinkRemove(dir.Sub("victim").c_str()));
    EXPECT_EQ(kFileNotFound, LinkRemove(dir.Sub("none").c_str()));
    EXPECT_EQ(before, testing::SnapshotTree(dir.Path()));
}

#ifndef _WIN32
// A link is moved and removed itself (the probe the store's tests rely on); Wine
// moves and removes a directory link's target instead (platform/file_link.h).
TEST(File, LinksMoveAsLinks)
{
    EXPECT_TRUE(testing::LinksBehaveAsLinks());
}

// A link whose target is gone still exists and is removed (Wine cannot show one).
TEST(File, DanglingLinkExistsAndIsRemoved)
{
    CScratchDir dir;
    ASSERT_TRUE(testing::MakeLink(dir.Sub("link"), dir.Sub("gone"), kLinkToFile));
    unsigned nAttributes = 0;
    ASSERT_EQ(kFileOk, FileGetAttributes(dir.Sub("link").c_str(), &nAttributes));
    EXPECT_EQ(unsigned(kFileAttrReparsePoint), nAttributes & (kFileAttrReparsePoint | kFileAttrDirectory));
    EXPECT_EQ(kFileOk, LinkRemove(dir.Sub("link").c_str()));
    EXPECT_FALSE(PathExists(dir.Sub("link").c_str()));
}
#endif

TEST(File, FullPathNamesResolveLikeWindows)
{
    struct Case {
        const char* szIn;
        const char* szOut;
        std::size_t nFilePart;
    };
    const Case kCases[] = {
        {"Z:\\a\\.\\b\\..\\c", "Z:\\a\\c", 5},
        {"Z:/a//b", "Z:\\a\\b", 5},
        {"Z:\\a\\b\\", "Z:\\a\\b\\", 7},
        {"Z:\\..\\..\\a", "Z:\\a", 3},
        {"Z:\\", "Z:\\", 3},
        {"Z:\\\x95\x5C\\x", "Z:\\\x95\x5C\\x", 6},  // 95 5C is one character
    };
    for (const Case& c : kCases) {
        std::string strFull;
        std::size_t nFilePart = 0;
        ASSERT_EQ(kFileOk, FullPathName(c.szIn, &strFull, &nFilePart)) << c.szIn;
        EXPECT_EQ(c.szOut, strFull) << c.szIn;
        EXPECT_EQ(c.nFilePart, nFilePart) << c.szIn;
    }
    std::string strCurrent, strRelative;
    ASSERT_EQ(kFileOk, FullPathName(".", &strCurrent, nullptr));
    ASSERT_EQ(kFileOk, FullPathName("x\\..\\y", &strRelative, nullptr));
    if (strCurrent.back() != '\\')
        strCurrent += '\\';
    EXPECT_EQ(strCurrent + "y", strRelative);
    EXPECT_NE(kFileOk, FullPathName("", &strRelative, nullptr));
}

TEST(File, DrivesAndTemporaryDirectory)
{
    // Wine maps Z: to the root as the POSIX backend does; Q: exists on neither.
    EXPECT_TRUE(DriveExists('Z'));
    EXPECT_FALSE(DriveExists('Q'));
    CFileHandle file;
    EXPECT_EQ(kFileNotFound, FileOpen("Q:\\x", R | W, 0, kFileCreateAlways, &file));
    const std::string strTemp = TempDirectory();
    ASSERT_FALSE(strTemp.empty());
    EXPECT_EQ('\\', strTemp.back());
    unsigned nAttributes = 0;
    ASSERT_EQ(kFileOk, FileGetAttributes(strTemp.c_str(), &nAttributes));
    EXPECT_NE(0u, nAttributes & kFileAttrDirectory);
}

}  // namespace
}  // namespace platform
