#include "NotificationCenter.h"
#include "RunLoop.h"

#include <gtest/gtest.h>
#include <thread>

using platform::RunLoop;
using namespace std::chrono_literals;

// A timer fires once, not before its deadline and in deadline order; one
// dropped (also from inside another's callback) never fires; a run with a
// deadline and nothing ready returns then, not done.
TEST(RunLoop, TimersFireOnceInDeadlineOrderAndARunEndsAtItsDeadline)
{
    RunLoop& loop = RunLoop::current();
    std::vector<int> fired;
    auto start = RunLoop::Clock::now();
    RunLoop::Registration dropped;
    auto late = loop.scheduleTimer(start + 40ms, [&] { fired.push_back(2); });
    auto early = loop.scheduleTimer(start + 20ms, [&] {
        fired.push_back(1);
        dropped.reset();
    });
    dropped = loop.scheduleTimer(start + 30ms, [&] { fired.push_back(3); });
    auto done = loop.runUntil([&] { return fired.size() == 2; }, start + 5s);
    ASSERT_TRUE(done && *done);
    EXPECT_EQ(fired, (std::vector<int> { 1, 2 }));
    EXPECT_GE(RunLoop::Clock::now() - start, 40ms);
    auto keep = loop.scheduleTimer(start + 1h, [&] { fired.push_back(4); });
    auto deadline = RunLoop::Clock::now() + 30ms;
    auto timedOut = loop.runUntil([] { return false; }, deadline);
    ASSERT_TRUE(timedOut);
    EXPECT_FALSE(*timedOut);
    EXPECT_GE(RunLoop::Clock::now(), deadline);
    EXPECT_EQ(fired.size(), 2u);
}

// Objects of the main thread check their thread in every build.
TEST(ThreadAffinityDeathTest, MainThreadObjectsRefuseOtherThreads)
{
    auto& center = platform::NotificationCenter::defaultCenter();
    auto post = [&] { std::thread([&] { center.postNotification({ "Ping", {} }); }).join(); };
    EXPECT_DEATH(post(), "used on another thread");
}
