// What a write transaction that stopped leaves in its transaction directory. The
// desktop application recovers the same directory, so every name and every byte
// is compared with what this file spells out by hand: names as literals, records
// built here from their layout, the per-file log name as the SHA-256 of the exact
// path text.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/base/fault.h"
#include "engine/hash/hash.h"
#include "engine/txstore/store_names.h"
#include "engine/txstore/tfs_context.h"
#include "engine/txstore/transaction.h"
#include "engine/txstore/transaction_test_support.h"
#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using Snapshot = std::map<std::string, std::string>;  // relative path -> bytes ("/" for dirs)

// Bytes nFrom..nTo-1 of a file that holds "0123456789" over and over.
std::string Digits(size_t nFrom, size_t nTo)
{
    std::string s;
    for (size_t i = nFrom; i < nTo; ++i)
        s += static_cast<char>('0' + i % 10);
    return s;
}

// A path record: the length of the text with its NUL, 4 bytes little-endian, then
// the text and the NUL.
std::string PathRecord(const std::string& strText)
{
    const size_t n = strText.size() + 1;
    const char abLength[4] = {static_cast<char>(n & 0xFF), static_cast<char>(n >> 8), 0, 0};
    return std::string(abLength, 4) + strText + std::string(1, '\0');
}

// The SHA-256 of the bytes of strText, 64 uppercase hexadecimal digits.
std::string Sha256Upper(const std::string& strText)
{
    char szHex[65] = {};
    EXPECT_EQ(0, CHash::DigestData(strText.data(), static_cast<std::uint32_t>(strText.size()),
                                   CHash::kSHA256, szHex, sizeof(szHex), 0));
    return szHex;
}

// The store: R\tx with its dustbox, and R\data with a 70000-byte file of digits and
// a directory holding one small file.
struct Store {
    std::string root;  // with a trailing "\"
    std::string tx() const { return root + "tx"; }
    std::string D(const char* szName) const { return root + "data\\" + szName; }

    void Create() const
    {
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(tx().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate((tx() + "\\dustbox").c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate((root + "data").c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(D("dir").c_str()));
        platform::testing::WriteFileBytes(D("a.dat"), Digits(0, 70000));
        platform::testing::WriteFileBytes(D("dir\\x.dat"), "x");
    }
};

void WriteAt(CFileSystem::IFile* pFile, std::int64_t nAt, const std::string& strData)
{
    pFile->Seek(nAt, 0);
    if (pFile->Write(strData.data(), static_cast<std::uint32_t>(strData.size())) != strData.size())
        ThrowFault();
}

// The work: a.dat changed in its first and second block and grown by two bytes,
// new.dat created, dir removed. With bCommit the transaction commits (a test arms
// a stop at the commit marker); without, the process ends before the marker.
int DoWork(const Store& s, bool bCommit)
{
    CTransaction transaction;
    CFileSystem::IContext* pFs = nullptr;
    const int nBegun = transaction_test::BeginWrite(s.tx(), &transaction, &pFs);
    if (nBegun != 0)
        return nBegun;
    CFileSystem::IFile* pFile = pFs->OpenFile(s.D("a.dat").c_str(), 1);
    WriteAt(pFile, 10, "AB");
    WriteAt(pFile, 69998, "CDEF");
    pFs->CloseFile(pFile);
    if (pFs->CreateFile(s.D("new.dat").c_str()) != 0 ||
        pFs->RemoveDirectory(s.D("dir").c_str()) == -1)
        return 3;
    DestroyObject(pFs);
    if (!bCommit)
        platform::EndProcessNow();
    transaction.End(1);
    return 0;
}

CHILD_SCENARIO(leftover_log_work)
{
    if (vArgs.at(1) != "-" && !platform::ArmFaults(vArgs[1].c_str()))
        return 98;
    try {
        return DoWork(Store{vArgs.at(0)}, vArgs[1] != "-");
    } catch (...) {
        return 97;
    }
}

// The transaction directory as the application finds it, with the one dug-out
// entry's unique name replaced by "U".
Snapshot LeftoverLog(const Store& s)
{
    Snapshot tree = platform::testing::SnapshotTree(s.tx());
    Snapshot out;
    std::string strUnique;
    for (const auto& entry : tree) {
        std::string name = entry.first;
        const std::string dugout = "\\log\\dugout\\";
        if (name.compare(0, dugout.size(), dugout) == 0) {
            const std::string rest = name.substr(dugout.size());
            const std::string unique = rest.substr(0, rest.find('\\'));
            EXPECT_TRUE(strUnique.empty() || strUnique == unique) << "a second dug-out entry " << unique;
            EXPECT_EQ(std::string::npos, unique.find_first_not_of("0123456789abcdef")) << unique;
            strUnique = unique;
            name = dugout + "U" + rest.substr(unique.size());
        }
        out[name] = entry.second;
    }
    return out;
}

// Every name and byte of the log that the work leaves before its marker.
Snapshot ExpectedLog(const Store& s)
{
    const std::string H = "\\log\\files\\" + Sha256Upper(s.D("a.dat"));
    std::string block0 = Digits(0, 65536);
    block0.replace(10, 2, "AB");
    const std::string block1 = Digits(65536, 69998) + "CDEF" + std::string(65536 - 4466, '\0');
    return {
        {"\\dustbox", "/"},
        {"\\log", "/"},
        {"\\log\\clist", PathRecord(s.D("new.dat"))},
        {"\\log\\dugout", "/"},
        {"\\log\\dugout\\U", "/"},
        {"\\log\\dugout\\U\\hoge", "/"},
        {"\\log\\dugout\\U\\hoge\\x.dat", "x"},
        {"\\log\\dugout\\U\\path", PathRecord(s.D("dir"))},
        {"\\log\\files", "/"},
        {H, "/"},
        {H + "\\blocks", "/"},
        {H + "\\blocks\\0", block0},
        {H + "\\blocks\\1", block1},
        {H + "\\path", PathRecord(s.D("a.dat"))},
        {H + "\\size", std::string("\x72\x11\x01\x00\x00\x00\x00\x00", 8)},  // 70002
    };
}

void ExpectLeftoverLog(bool bCommitted)
{
    platform::testing::CScratchDir scratch;
    Store s{scratch.Path()};
    s.Create();
    const int nCode = platform::testing::RunChild(
        "leftover_log_work", {s.root, bCommitted ? "exit-at=commit-marker" : "-"});
    ASSERT_EQ(platform::kFaultExitCode, nCode);

    Snapshot expected = ExpectedLog(s);
    if (bCommitted)
        expected["\\log\\commit"] = "";
    const Snapshot found = LeftoverLog(s);
    for (const auto& entry : expected) {
        const auto it = found.find(entry.first);
        if (it == found.end())
            ADD_FAILURE() << "missing " << entry.first;
        else
            EXPECT_TRUE(it->second == entry.second) << "bytes of " << entry.first;
    }
    for (const auto& entry : found)
        EXPECT_EQ(1u, expected.count(entry.first)) << "unexpected " << entry.first;

    // The log is one that recovery finishes: forward with the marker, back without.
    CTransaction transaction;
    ASSERT_EQ(0, transaction.Open(s.tx().c_str()));
    std::string strA = Digits(0, 70000);
    if (bCommitted)
        strA = strA.replace(10, 2, "AB").substr(0, 69998) + "CDEF";
    EXPECT_TRUE(strA == platform::testing::ReadFileBytes(s.D("a.dat")));
    EXPECT_EQ(bCommitted, platform::PathExists(s.D("new.dat").c_str()));
    EXPECT_EQ(bCommitted, !platform::PathExists(s.D("dir\\x.dat").c_str()));
}

TEST(LeftoverLog, StoppedAtTheCommitMarker)
{
    ExpectLeftoverLog(true);
}

TEST(LeftoverLog, StoppedBeforeTheCommitMarker)
{
    ExpectLeftoverLog(false);
}

// The per-file log name is the SHA-256 of the path text exactly as given: case,
// separators, trailing spaces and double-byte characters all count.
TEST(LeftoverLog, PerFileLogNameIsTheDigestOfThePathText)
{
    const struct {
        const char* szPath;
        const char* szName;
    } kCases[] = {
        {"C:\\db\\adb\\attname_db\\leaf", "0E3F2D3B02D5720CF709824E8798488AF7403867596E9D32BC906B03C18D0F95"},
        {"c:\\db\\adb\\attname_db\\leaf", "BD0047E0F2F8ACD77549A849C9831EECA7B6670B495C8282D14512E90BBD9CC8"},
        {"C:/db/adb/attname_db/leaf", "3A84947B0470F590DD300F5506406B588B7F5CA21667A15DB85C368768E6F93E"},
        {"C:\\db\\adb\\attname_db\\leaf ", "6A69B14AB6EF5661A8790615D9C7303AB153AEE232BCD9E7177C84C4953867CF"},
        {"C:\\\x83\\.dat", "5BAC3257A71A6C5E6538046167210735B07FED9A12D60FCA0B11222BAF5D6794"},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.szName, FileLogName(c.szPath)) << c.szPath;
}

}  // namespace
}  // namespace velk
