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
    // One change may be reported more than once, the later reports a moment after
    // the first (Wine's notifications do that): wait until they are over.
    int nRearms = 0;
    do {
        ASSERT_TRUE(watch.Rearm());
        ASSERT_LT(++nRearms, 20);
    } while (watch.Wait(300, &stop) != 0);

    // Raised from another thread while the wait runs, and raised for good.
    std::thread raiser([&stop] { stop.Raise(); });
    EXPECT_EQ(0, watch.Wait(kForever, &stop));
    raiser.join();
    EXPECT_EQ(0, watch.Wait(kForever, &stop));
}

}  // namespace
}  // namespace platform
