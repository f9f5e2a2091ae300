#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/power_cut.h"
#include "platform/test_support.h"

namespace platform {
namespace {

using Snapshot = std::map<std::string, std::string>;

const std::string kOld = std::string(1800, 'o');

void WriteFile(const std::string& strPath, std::uint64_t nAt, const std::string& strData,
               bool bFlush)
{
    CFileHandle file;
    if (FileOpen(strPath.c_str(), kFileAccessWrite, 0, kFileOpenAlways, &file) != kFileOk)
        EndProcessNow();
    std::uint32_t cb = 0;
    file.Seek(static_cast<std::int64_t>(nAt), kFileBegin, nullptr);
    file.Write(strData.data(), static_cast<std::uint32_t>(strData.size()), &cb);
    if (bFlush)
        file.Flush();
}

// Changes of every kind below vArgs[0], some made durable by a flush of their
// directory half-way; the power goes as vArgs[1] plans, or at the end.
CHILD_SCENARIO(power_cut_steps)
{
    const std::string r = vArgs.at(0);
    if (!ArmPowerCut(r.c_str(), vArgs.at(1).c_str()))
        return 98;
    WriteFile(r + "old.dat", 0, std::string(1800, 'N'), false);
    WriteFile(r + "new.dat", 0, "new", true);
    FileRemove((r + "gone.dat").c_str());
    DirRemove((r + "emptydir").c_str());
    FileMove((r + "sub\\moved.dat").c_str(), (r + "moved.dat").c_str());
    DirFlush(r.c_str());
    WriteFile(r + "new.dat", 3, "XYZ", false);
    DirCreate((r + "later").c_str());
    WriteFile(r + "later\\f.dat", 0, "f", true);
    FileMove((r + "moved.dat").c_str(), (r + "sub\\back.dat").c_str());
    PowerCutNow();
}

Snapshot Take(const std::string& strRoot)
{
    Snapshot snapshot = testing::SnapshotTree(strRoot);
    for (auto it = snapshot.begin(); it != snapshot.end();)
        it = it->first.compare(0, 11, "\\.power-cut") == 0 ? snapshot.erase(it) : std::next(it);
    return snapshot;
}

TEST(PowerCut, LeavesWhatWasFlushedAndDropsOrKeepsTheRest)
{
    if (!PowerCutSupported())
        GTEST_SKIP() << "power cuts are simulated by the POSIX backend only";
    const Snapshot before = {{"\\old.dat", kOld}, {"\\gone.dat", "gone"}, {"\\sub", "/"},
                             {"\\sub\\moved.dat", "moved"}, {"\\emptydir", "/"}};
    // The directory flush made the creation, the removals and the first rename
    // durable; "new" was flushed, the other writes were not.
    const Snapshot dropped = {{"\\old.dat", kOld}, {"\\new.dat", "new"}, {"\\sub", "/"},
                              {"\\moved.dat", "moved"}};
    Snapshot kept = dropped;
    kept["\\old.dat"] = std::string(1800, 'N');
    kept["\\new.dat"] = "newXYZ";
    Snapshot keptBefore = before;
    keptBefore["\\old.dat"] = std::string(1800, 'N');
    struct Case {
        const char* szPlan;
        const Snapshot* pExpected;
    };
    const Case kCases[] = {
        {"flush=2,seed=0", &before},  // just before the directory flush
        {"flush=2,seed=1", &keptBefore},
        {"rename=1,seed=0", &before},
        {"never,seed=0", &dropped},
        {"seed=4", &dropped},
        {"seed=1", &kept},
    };
    for (const Case& c : kCases) {
        testing::CScratchDir dir;
        for (const auto& entry : before) {
            if (entry.second == "/")
                ASSERT_EQ(kFileOk, DirCreate(dir.Sub(entry.first.substr(1)).c_str()));
            else
                testing::WriteFileBytes(dir.Sub(entry.first.substr(1)), entry.second);
        }
        ASSERT_EQ(kFaultExitCode, testing::RunChild("power_cut_steps", {dir.Path(), c.szPlan}))
            << c.szPlan;
        EXPECT_TRUE(Take(dir.Path()) == *c.pExpected) << c.szPlan;
    }
}

TEST(PowerCut, TearsUnflushedWritesAtSectors)
{
    if (!PowerCutSupported())
        GTEST_SKIP() << "power cuts are simulated by the POSIX backend only";
    int nMixed = 0;
    for (int nSeed = 2; nSeed < 40; nSeed += 4) {
        testing::CScratchDir dir;
        ASSERT_EQ(kFileOk, DirCreate(dir.Sub("sub").c_str()));
        ASSERT_EQ(kFileOk, DirCreate(dir.Sub("emptydir").c_str()));
        testing::WriteFileBytes(dir.Sub("old.dat"), kOld);
        testing::WriteFileBytes(dir.Sub("gone.dat"), "gone");
        testing::WriteFileBytes(dir.Sub("sub\\moved.dat"), "moved");
        ASSERT_EQ(kFaultExitCode,
                  testing::RunChild("power_cut_steps", {dir.Path(), "seed=" + std::to_string(nSeed)}));
        const std::string old = testing::ReadFileBytes(dir.Sub("old.dat"));
        ASSERT_EQ(1800u, old.size());
        for (size_t nSector = 0; nSector < 1800; nSector += 512) {
            const std::string piece = old.substr(nSector, 512);
            EXPECT_TRUE(piece == std::string(piece.size(), 'o') ||
                        piece == std::string(piece.size(), 'N'))
                << nSeed << " " << nSector;
        }
        nMixed += old.find('o') != std::string::npos && old.find('N') != std::string::npos;
    }
    EXPECT_GT(nMixed, 0);
}

TEST(PowerCut, RefusesMalformedPlans)
{
    testing::CScratchDir dir;
    for (const char* szPlan : {"flush=0", "write=x", "cut=3", "rename=1;seed=2", "seed=-1"})
        EXPECT_FALSE(ArmPowerCut(dir.Path().c_str(), szPlan)) << szPlan;
    EXPECT_FALSE(ArmPowerCut(dir.Sub("missing").c_str(), "never"));
}

}  // namespace
}  // namespace platform
