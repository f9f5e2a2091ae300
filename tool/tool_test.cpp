#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/process.h"
#include "platform/test_support.h"
#include "support/fault/fault_report.h"
#include "tool/startup.h"
#include "tool/tool_paths.h"

namespace {

struct PathCase {
    const char* program;
    const char* database;
    const char* target;
    const char* backup;
};

TEST(ToolPaths, DerivedFromTheProgramPath)
{
    const PathCase kCases[] = {
        {"C:\\tools\\x.exe", "C:\\tools\\db\\adb", "C:\\tools\\db\\attview.xml",
         "C:\\tools\\db\\attview_"},
        {"x.exe", "db\\adb", "db\\attview.xml", "db\\attview_"},
        {"Z:/opt/app/x", "Z:\\opt\\app\\db\\adb", "Z:\\opt\\app\\db\\attview.xml",
         "Z:\\opt\\app\\db\\attview_"},
        // 0x95 0x5C: the trail byte is no separator, in the directory or the name.
        {"C:\\\x95\x5C\\x.exe", "C:\\\x95\x5C\\db\\adb", "C:\\\x95\x5C\\db\\attview.xml",
         "C:\\\x95\x5C\\db\\attview_"},
        {"C:\\a\\b\x95\x5C" "c.exe", "C:\\a\\db\\adb", "C:\\a\\db\\attview.xml",
         "C:\\a\\db\\attview_"},
        {"\\\\srv\\share\\x.exe", "\\\\srv\\share\\db\\adb", "\\\\srv\\share\\db\\attview.xml",
         "\\\\srv\\share\\db\\attview_"},
    };
    for (const PathCase& c : kCases) {
        const ToolPaths paths = DeriveToolPaths(c.program, "C:\\v\\attview.xml");
        EXPECT_STREQ(c.database, paths.databaseDirectory.GetString()) << c.program;
        EXPECT_STREQ(c.target, paths.targetFile.GetString()) << c.program;
        EXPECT_STREQ(c.backup, paths.backupPrefix.GetString()) << c.program;
    }
}

TEST(ToolPaths, SourcePathIsNormalisedOrEmpty)
{
    EXPECT_STREQ("C:\\v\\attview.xml",
                 DeriveToolPaths("C:\\t\\x.exe", "C:/v/./attview.xml").sourcePath.GetString());
    EXPECT_STREQ("", DeriveToolPaths("C:\\t\\x.exe", "\\v\\attview.xml").sourcePath.GetString());
}

std::string ToolExecutable()
{
    return platform::testing::BinaryDirectory() + "attview-restore" + platform::kExecutableSuffix;
}

TEST(Tool, WithoutArgumentPrintsUsageAndFails)
{
    platform::CChildProcess tool;
    const std::string input = "\n";
    ASSERT_EQ(0, tool.Start(ToolExecutable(), {"attview-restore"}, &input));
    int nCode = 0;
    ASSERT_TRUE(tool.Wait(60000, &nCode));
    EXPECT_EQ(platform::ExitCodeAsSeen(-1), nCode);
    EXPECT_EQ(platform::ConsoleEncode(
                  "復元する属性ビュー情報(attview.xmlのパス)を指定して下さい。\n"),
              tool.Output());
}

CHILD_SCENARIO(tool_startup)
{
    (void)vArgs;
    const int nBefore = vokIsFaultReportInstalled();
    CToolStartup startup;
    return nBefore == 0 && vokIsFaultReportInstalled() != 0 ? 0 : 1;
}

TEST(Tool, StartUpInstallsTheFaultReport)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer build catches faults itself and installs no handler";
#endif
    EXPECT_EQ(0, platform::testing::RunChild("tool_startup", {}));
}

}  // namespace
