#include "NotificationCenter.h"
#include "RunLoop.h"

#include <gtest/gtest.h>
#include <thread>

// The run loop itself (watches dropped from inside their own callbacks, one-shot timers, nested runs) is what every
// TaskWrapper and ProbeFixture test runs on.
TEST(ThreadAffinityDeathTest, MainThreadObjectsRefuseOtherThreadsInDebugBuilds)
{
    auto& center = platform::NotificationCenter::defaultCenter();
    auto post = [&] { std::thread([&] { center.postNotification({ "Ping", {} }); }).join(); };
    EXPECT_DEBUG_DEATH(post(), "assertIsCurrent|m_thread");
}
