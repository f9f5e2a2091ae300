#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/dialog.h"
#include "platform/memory.h"
#include "platform/test_support.h"
#include "platform/timer.h"

namespace platform {
namespace {

TEST(Memory, RegionsAreZeroedWritableAndPageAligned)
{
    const size_t cbPage = MemoryPageSize();
    ASSERT_EQ(4096u, cbPage);
    unsigned char* p = static_cast<unsigned char*>(MemoryAllocate(3 * cbPage));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % cbPage);
    for (size_t i = 0; i < 3 * cbPage; i += 512)
        EXPECT_EQ(0, p[i]);
    std::memset(p, 0xAB, 3 * cbPage);
    MemoryRelease(p, 3 * cbPage);
    MemoryRelease(nullptr, 0);
}

TEST(Memory, AnImpossibleRegionIsRefused)
{
    EXPECT_EQ(nullptr, MemoryAllocate(0));
    // More than the address space of either target.
    EXPECT_EQ(nullptr, MemoryAllocate(~static_cast<size_t>(0) - MemoryPageSize() + 1));
}

TEST(Timer, TickAdvancesInMilliseconds)
{
    TimerSetFineResolution();
    const uint32_t nStart = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint32_t nElapsed = TickCount() - nStart;
    EXPECT_GE(nElapsed, 25u);
    EXPECT_LT(nElapsed, 5000u);
}

CHILD_SCENARIO(ask_question)
{
    (void)vArgs;
    return AskYesNo("title", "question?") ? 1 : 0;
}

TEST(Dialog, WithoutATerminalTheAnswerIsNo)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows shows a message box, which needs a user";
#endif
    CChildProcess child;
    const std::string input = "y\n";
    ASSERT_EQ(0, testing::StartChild(&child, "ask_question", {}, &input));
    int nCode = -1;
    ASSERT_TRUE(child.Wait(60000, &nCode));
    EXPECT_EQ(0, nCode);
}

}  // namespace
}  // namespace platform
