#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "platform/dir_watch.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace platform {
namespace {

// Waits without a time limit: a stop that did not end them would hang the test.
const unsigned kForever = UINT_MAX;

TEST(DirWatch, ReportsANewNameAndEndsAtARaisedStop)
{
    testing::CScratchDir dir;
    CDirWatch watch;
    ASSERT_TRUE(watch.Start(dir.Path().c_str()));
    CWatchStop stop;
    ASSERT_TRUE(stop.IsValid());
    EXPECT_EQ(0, watch.Wait(0, &stop));

    testing::WriteFileBytes(dir.Sub("new"), "x");
    EXPECT_EQ(1, watch.Wait(kForever, &stop));
    ASSERT_TRUE(watch.Rearm());
    EXPECT_EQ(0, watch.Wait(0, &stop));

    // Raised from another thread while the wait runs, and raised for good.
    std::thread raiser([&stop] { stop.Raise(); });
    EXPECT_EQ(0, watch.Wait(kForever, &stop));
    raiser.join();
    EXPECT_EQ(0, watch.Wait(kForever, &stop));

    // A change still counts as a change while the stop is up.
    ASSERT_EQ(kFileOk, FileRemove(dir.Sub("new").c_str()));
    EXPECT_EQ(1, watch.Wait(kForever, &stop));
}

}  // namespace
}  // namespace platform
