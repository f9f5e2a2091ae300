#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/base/fault.h"
#include "engine/txstore/apply_log.h"
#include "engine/txstore/log_records.h"
#include "engine/txstore/logged_file.h"
#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using platform::testing::ReadFileBytes;
using platform::testing::WriteFileBytes;

// A target file and a per-file log directory for it, as a transaction sets them up.
struct LogFixture {
    platform::testing::CScratchDir scratch;
    std::string target = scratch.Sub("target.dat");
    CPath logDir = CPath(scratch.Path().c_str()).Join("log");

    explicit LogFixture(const std::string& content)
    {
        WriteFileBytes(target, content);
        EXPECT_EQ(platform::kFileOk, platform::DirCreate(logDir.GetString()));
        EXPECT_EQ(platform::kFileOk, platform::DirCreate(logDir.Join("blocks").GetString()));
        WritePathFile(logDir.Join("path").GetString(), target);
    }
    bool HasBlock(int n) const
    {
        return platform::PathExists(logDir.Join("blocks").Join(std::to_string(n).c_str()).GetString());
    }
    void Apply() const { ApplyFileLog(logDir.GetString(), target.c_str()); }
};

std::string ReadAt(CLoggedFile& file, std::uint64_t nPosition, std::uint32_t cb)
{
    std::string out(cb, '\0');
    file.Seek(static_cast<std::int64_t>(nPosition), 0);
    out.resize(file.Read(&out[0], cb));
    return out;
}

TEST(LoggedFile, ReadsSeeLoggedBlocksAndTheUntouchedTarget)
{
    LogFixture f("0123456789");
    {
        CLoggedFile file(f.target.c_str(), 1, f.logDir);
        EXPECT_EQ(10u, file.GetSize());
        EXPECT_EQ("", ReadAt(file, 10, 5));  // at and past the logical size
        EXPECT_EQ("", ReadAt(file, 11, 5));
        EXPECT_EQ("89", ReadAt(file, 8, 5));
        EXPECT_FALSE(f.HasBlock(0));  // reading materialises nothing

        file.Seek(70000, 0);
        EXPECT_EQ(3u, file.Write("xyz", 3));
        EXPECT_EQ(70003u, file.GetSize());
        EXPECT_TRUE(f.HasBlock(1));
        // The untouched block 0 reads from the target as far as it reaches...
        EXPECT_EQ("0123456789", ReadAt(file, 0, 10));
        // ...and a read past the target's end in a block never materialised fails.
        file.Seek(5, 0);
        char buffer[16];
        EXPECT_THROW(file.Read(buffer, sizeof(buffer)), CFault);
        // A materialised block past the target's end reads as zeros before the write.
        EXPECT_EQ(std::string(4, '\0') + "xyz", ReadAt(file, 69996, 100));
        EXPECT_EQ(10u, ReadFileBytes(f.target).size());  // the target is untouched
    }
    f.Apply();
    const std::string applied = ReadFileBytes(f.target);
    EXPECT_EQ("0123456789" + std::string(69990, '\0') + "xyz", applied);
    f.Apply();  // applying again gives the same bytes
    EXPECT_EQ(applied, ReadFileBytes(f.target));
}

TEST(LoggedFile, SetEndKeepsOldBytesForALaterExtension)
{
    LogFixture f("0123456789");
    {
        CLoggedFile file(f.target.c_str(), 1, f.logDir);
        file.Write("abc", 3);
        file.Seek(2, 0);
        file.SetEnd();
        EXPECT_EQ("ab", ReadAt(file, 0, 10));
        file.Seek(8, 0);
        file.SetEnd();
        EXPECT_EQ("abc34567", ReadAt(file, 0, 10));
    }
    f.Apply();
    EXPECT_EQ("abc34567", ReadFileBytes(f.target));
}

TEST(LoggedFile, ZeroByteWriteMaterialisesItsBlock)
{
    LogFixture f(std::string(70000, 'q'));
    {
        CLoggedFile file(f.target.c_str(), 1, f.logDir);
        file.Seek(65536 + 5, 0);
        EXPECT_EQ(0u, file.Write("", 0));
        EXPECT_FALSE(f.HasBlock(0));
    }
    EXPECT_TRUE(f.HasBlock(1));
    f.Apply();
    EXPECT_EQ(std::string(70000, 'q'), ReadFileBytes(f.target));
}

TEST(LoggedFile, ApplyHonoursTheLogicalSize)
{
    LogFixture f(std::string(200000, 'q'));
    {
        CLoggedFile file(f.target.c_str(), 1, f.logDir);
        file.Seek(140000, 0);
        file.Write("beyond", 6);  // block 2, later past the end
        file.Seek(3, 0);
        file.Write("W", 1);
        file.Seek(10, 0);
        file.SetEnd();
    }
    f.Apply();
    EXPECT_EQ("qqqWqqqqqq", ReadFileBytes(f.target));

    {
        CLoggedFile file(f.target.c_str(), 1, f.logDir);  // picks up the size record
        EXPECT_EQ(10u, file.GetSize());
        file.Seek(0, 0);
        file.SetEnd();
    }
    f.Apply();  // size 0 empties the target; the blocks are not read
    EXPECT_EQ("", ReadFileBytes(f.target));
}

TEST(LoggedFile, ReadOnlyFileRefusesChangesAndSeesTheLog)
{
    LogFixture f("0123456789");
    {
        CLoggedFile writer(f.target.c_str(), 1, f.logDir);
        writer.Seek(2, 0);
        writer.Write("AB", 2);
    }
    CLoggedFile reader(f.target.c_str(), 0, f.logDir);
    EXPECT_EQ("01AB456789", ReadAt(reader, 0, 10));
    EXPECT_THROW(reader.Write("x", 1), CFault);
    EXPECT_THROW(reader.SetEnd(), CFault);
}

TEST(LoggedFile, SecondWriterOfABlockFails)
{
    LogFixture f("0123456789");
    CLoggedFile first(f.target.c_str(), 1, f.logDir);
    CLoggedFile second(f.target.c_str(), 1, f.logDir);
    first.Write("a", 1);
    EXPECT_THROW(second.Write("b", 1), CFault);
}

// A block file whose set-up fails goes again: left behind, it would pass for a
// copy of the block, and the next write would build on zeros instead of the
// target's bytes.
TEST(LoggedFile, BlockWhoseSetUpFailsLeavesNoBlockFile)
{
    std::string content(140000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + i % 23);
    LogFixture f(content);
    {
        CLoggedFile file(f.target.c_str(), 1, f.logDir);
        platform::CFaultInjector faults;
        struct Installed {
            explicit Installed(platform::CFaultInjector* p) { platform::SetFaultInjector(p); }
            ~Installed() { platform::SetFaultInjector(nullptr); }
        } installed(&faults);
        std::uint32_t nFailures = 0;
        for (std::uint32_t k = 1; k < 10; ++k) {  // each read of the set-up in turn
            faults.FailRead(k, platform::CFaultInjector::kFail);
            file.Seek(65536 + 10, 0);
            try {
                file.Write("X", 1);
                break;
            } catch (const CFault&) {
                ++nFailures;
                EXPECT_FALSE(f.HasBlock(1)) << "read " << k;
            }
        }
        EXPECT_GE(nFailures, 1u);
        EXPECT_LT(nFailures, 9u);
    }
    f.Apply();
    std::string expected = content;
    expected[65536 + 10] = 'X';
    EXPECT_TRUE(expected == ReadFileBytes(f.target));
}

TEST(LoggedFile, MissingTargetThrows)
{
    LogFixture f("x");
    EXPECT_THROW(CLoggedFile(f.scratch.Sub("missing").c_str(), 1, f.logDir), CFault);
}

TEST(LogRecords, PathRecordBytesAndDamage)
{
    platform::testing::CScratchDir scratch;
    const std::string path = scratch.Sub("path");
    WritePathFile(path.c_str(), "C:\\a");
    EXPECT_EQ(std::string("\x05\x00\x00\x00" "C:\\a\x00", 9), ReadFileBytes(path));
    EXPECT_EQ("C:\\a", ReadPathFile(path.c_str()));
    EXPECT_THROW(WritePathFile(path.c_str(), "again"), CFault);  // create-new
    EXPECT_THROW(WritePathFile(scratch.Sub("long").c_str(), std::string(261, 'a')), CFault);

    const std::string kDamaged[] = {
        std::string("\x00\x00\x00\x00", 4),                 // L = 0
        std::string("\x06\x01\x00\x00", 4) + "abc",         // L > 261
        std::string("\x04\x00\x00\x00" "abcd", 8),          // no NUL at L - 1
        std::string("\x05\x00\x00\x00" "ab", 6),            // short text
        std::string("\x05\x00", 2),                         // short length
    };
    for (const std::string& bytes : kDamaged) {
        WriteFileBytes(path, bytes);
        EXPECT_THROW(ReadPathFile(path.c_str()), CFault) << bytes.size();
    }

    const std::string list = scratch.Sub("clist");
    AppendPathRecord(list.c_str(), "a");
    AppendPathRecord(list.c_str(), "bc");
    platform::CFileHandle file;
    ASSERT_EQ(platform::kFileOk, platform::FileOpen(list.c_str(), platform::kFileAccessRead, 0,
                                                     platform::kFileOpenExisting, &file));
    std::string text;
    ASSERT_TRUE(ReadPathRecord(&file, &text));
    EXPECT_EQ("a", text);
    ASSERT_TRUE(ReadPathRecord(&file, &text));
    EXPECT_EQ("bc", text);
    EXPECT_FALSE(ReadPathRecord(&file, &text));
}

TEST(LogRecords, SizeRecordIsEightBytes)
{
    platform::testing::CScratchDir scratch;
    const std::string size = scratch.Sub("size");
    WriteSizeRecord(size.c_str(), 0x0102030405060708ull);
    EXPECT_EQ(std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8), ReadFileBytes(size));
    EXPECT_EQ(0x0102030405060708ull, ReadSizeRecord(size.c_str()));
    // Rewritten in place, and a longer file is cut to the record.
    WriteFileBytes(size, "123456789ABC");
    WriteSizeRecord(size.c_str(), 0x1122);
    EXPECT_EQ(std::string("\x22\x11\0\0\0\0\0\0", 8), ReadFileBytes(size));
    WriteFileBytes(size, "1234567");
    EXPECT_THROW(ReadSizeRecord(size.c_str()), CFault);
    EXPECT_THROW(ReadSizeRecord(scratch.Sub("missing").c_str()), CFault);
}

// The logged file against a model: the backing bytes of materialised blocks, the
// target's bytes elsewhere, and the logical size.
TEST(LoggedFile, RandomOperationsMatchTheModelAfterApply)
{
    std::mt19937 random(20261210);
    const size_t kSpan = 4 * 65536;
    for (int round = 0; round < 3; ++round) {
        const size_t nInitial = random() % (2 * 65536);
        std::string target(nInitial, '\0');
        for (char& c : target)
            c = static_cast<char>('a' + random() % 26);
        LogFixture f(target);
        std::string backing = target;
        backing.resize(kSpan + 65536, '\0');
        std::set<size_t> materialised;
        std::uint64_t nSize = nInitial;
        std::uint64_t nPosition = 0;
        auto pFile = std::make_unique<CLoggedFile>(f.target.c_str(), 1, f.logDir);
        for (int step = 0; step < 400; ++step) {
            const int op = static_cast<int>(random() % 10);
            if (op < 4) {  // write
                nPosition = random() % kSpan;
                const std::uint32_t cb = static_cast<std::uint32_t>(random() % 70000);
                std::string data(cb, static_cast<char>('A' + random() % 26));
                pFile->Seek(static_cast<std::int64_t>(nPosition), 0);
                ASSERT_EQ(cb, pFile->Write(data.data(), cb));
                for (size_t b = nPosition / 65536; b <= (nPosition + cb) / 65536; ++b) {
                    if (b == (nPosition + cb) / 65536 && cb > 0 && (nPosition + cb) % 65536 == 0)
                        break;
                    if (materialised.insert(b).second)
                        for (size_t i = b * 65536; i < (b + 1) * 65536; ++i)
                            backing[i] = i < nInitial ? target[i] : '\0';
                }
                backing.replace(static_cast<size_t>(nPosition), cb, data);
                nPosition += cb;
                nSize = std::max(nSize, nPosition);
            } else if (op < 7) {  // read
                nPosition = random() % (kSpan + 1000);
                const std::uint32_t cb = static_cast<std::uint32_t>(random() % 70000);
                const std::uint64_t nEnd = std::min<std::uint64_t>(nSize, nPosition + cb);
                bool bThrows = false;
                std::string expected;
                for (std::uint64_t i = nPosition; i < nEnd; ++i) {
                    if (materialised.count(static_cast<size_t>(i / 65536)))
                        expected += backing[static_cast<size_t>(i)];
                    else if (i < nInitial)
                        expected += target[static_cast<size_t>(i)];
                    else
                        bThrows = true;
                }
                pFile->Seek(static_cast<std::int64_t>(nPosition), 0);
                std::string got(cb, '\0');
                if (bThrows) {
                    EXPECT_THROW(pFile->Read(&got[0], cb), CFault);
                } else {
                    got.resize(pFile->Read(&got[0], cb));
                    ASSERT_EQ(expected, got) << "step " << step;
                }
            } else if (op < 9) {  // set end
                nPosition = random() % kSpan;
                pFile->Seek(static_cast<std::int64_t>(nPosition), 0);
                pFile->SetEnd();
                nSize = nPosition;
            } else {  // hand the file back and take a new one over the same log
                pFile.reset();
                pFile = std::make_unique<CLoggedFile>(f.target.c_str(), 1, f.logDir);
                ASSERT_EQ(nSize, pFile->GetSize());
            }
        }
        pFile->Finish();
        pFile.reset();
        f.Apply();
        std::string expected(static_cast<size_t>(nSize), '\0');
        for (size_t i = 0; i < nSize; ++i) {
            if (materialised.count(i / 65536))
                expected[i] = backing[i];
            else if (i < nInitial)
                expected[i] = target[i];
        }
        ASSERT_EQ(expected, ReadFileBytes(f.target)) << "round " << round;
    }
}

}  // namespace
}  // namespace velk
