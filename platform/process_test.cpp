#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/test_support.h"

namespace platform {
namespace {

CHILD_SCENARIO(echo_arguments)
{
    // Prints its arguments, then what it reads, and exits with the first argument.
    for (const std::string& a : vArgs)
        ConsolePrintf("[%s]", a.c_str());
    int c;
    while ((c = ConsoleReadChar()) != -1)
        ConsolePrintf("%c", c);
    return vArgs.empty() ? 0 : std::atoi(vArgs[0].c_str());
}

CHILD_SCENARIO(sleep_long)
{
    (void)vArgs;
    for (;;)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

CHILD_SCENARIO(touch_memory)
{
    // Touches the given number of MiB, holds them a moment, and exits.
    const std::size_t cb = static_cast<std::size_t>(std::atoi(vArgs.at(0).c_str())) << 20;
    volatile char* p = static_cast<volatile char*>(std::malloc(cb));
    for (std::size_t i = 0; p != nullptr && i < cb; i += 4096)
        p[i] = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::free(const_cast<char*>(p));
    return p != nullptr ? 0 : 1;
}

TEST(ChildProcess, ReportsTheChildsPeakMemory)
{
    CChildProcess small, large;
    int nCode = -1;
    ASSERT_EQ(0, testing::StartChild(&small, "touch_memory", {"1"}));
    ASSERT_TRUE(small.Wait(-1, &nCode));
    EXPECT_EQ(0, nCode);
    ASSERT_EQ(0, testing::StartChild(&large, "touch_memory", {"96"}));
    ASSERT_TRUE(large.Wait(-1, &nCode));
    EXPECT_EQ(0, nCode);
    EXPECT_GT(small.PeakMemory(), 0u);
    EXPECT_LT(small.PeakMemory(), std::uint64_t{64} << 20);
    EXPECT_GE(large.PeakMemory(), std::uint64_t{96} << 20);
}

TEST(ChildProcess, PassesArgumentsAndInputAndCapturesOutput)
{
    CChildProcess child;
    const std::string input = "xyz";
    ASSERT_EQ(0, testing::StartChild(&child, "echo_arguments", {"7", "a b", "\"q\"", "c\\"}, &input));
    int nCode = 0;
    ASSERT_TRUE(child.Wait(60000, &nCode));
    EXPECT_EQ(7, nCode);
    EXPECT_EQ("[7][a b][\"q\"][c\\]xyz", child.Output());
}

TEST(ChildProcess, ReportsMinusOneAsThePlatformDoes)
{
    EXPECT_EQ(ExitCodeAsSeen(-1), testing::RunChild("echo_arguments", {"-1"}));
}

TEST(ChildProcess, EmptyInputEndsAtOnce)
{
    EXPECT_EQ(0, testing::RunChild("echo_arguments", {}));
}

TEST(ChildProcess, KillEndsARunningChild)
{
    CChildProcess child;
    ASSERT_EQ(0, testing::StartChild(&child, "sleep_long", {}));
    int nCode = 0;
    child.Kill();
    EXPECT_TRUE(child.Wait(30000, &nCode));
    EXPECT_NE(0, nCode);
}

TEST(ChildProcess, OwnPathIsAbsoluteInEngineForm)
{
    const std::string path = OwnExecutablePath();
    ASSERT_GT(path.size(), 3u);
    EXPECT_EQ(':', path[1]);
    EXPECT_EQ('\\', path[2]);
    EXPECT_EQ(std::string::npos, path.find('/'));
}

CHILD_SCENARIO(print_places)
{
    // Prints its program's path and the full path of "here" in its current directory.
    (void)vArgs;
    std::string strHere;
    if (FullPathName("here", &strHere, nullptr) != kFileOk)
        return 1;
    ConsolePrintf("%s|%s", OwnExecutablePath().c_str(), strHere.c_str());
    return 0;
}

// Started by its bare name from a directory on the search path, and in another
// directory: the child runs there and knows where its program lies.
TEST(ChildProcess, BareNameIsFoundOnTheSearchPathAndRunsInTheGivenDirectory)
{
    testing::CScratchDir scratch;
    const std::string bin = scratch.Sub("bin"), work = scratch.Sub("work");
    ASSERT_EQ(kFileOk, DirCreate(bin.c_str()));
    ASSERT_EQ(kFileOk, DirCreate(work.c_str()));
    const std::string name = std::string("copied-test") + kExecutableSuffix;
    ASSERT_EQ(kFileOk, FileCopy(OwnExecutablePath().c_str(), (bin + "\\" + name).c_str()));
    CChildProcess child;
    child.SetWorkingDirectory(work);
    child.SetSearchPathFront(bin);
    ASSERT_EQ(0, child.Start(name, {"copied-test", "--child", "print_places"}));
    int nCode = -1;
    ASSERT_TRUE(child.Wait(60000, &nCode));
    EXPECT_EQ(0, nCode);
    EXPECT_EQ(bin + "\\" + name + "|" + work + "\\here", child.Output());

    CChildProcess missing;
    missing.SetSearchPathFront(bin);
    EXPECT_EQ(kFileNotFound, missing.Start("no-such-program", {"no-such-program"}));
}

// A program that is not there: the layer's own result, the same on both targets.
TEST(Process, StartingAMissingProgramSaysNotFound)
{
    CChildProcess child;
    const std::string missing = testing::BinaryDirectory() + "no-such-program" + kExecutableSuffix;
    EXPECT_EQ(kFileNotFound, child.Start(missing, {missing}));
}

}  // namespace
}  // namespace platform
