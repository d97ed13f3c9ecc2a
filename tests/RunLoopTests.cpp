#include "FileHandle.h"
#include "NotificationCenter.h"
#include "RunLoop.h"

#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace platform;
using namespace std::chrono_literals;

namespace {

void runUntil(const std::function<bool()>& done)
{
    auto result = RunLoop::current().runUntil(done, RunLoop::Clock::now() + 10s);
    EXPECT_TRUE(result && *result);
}

}

TEST(RunLoop, WatchesAndTimersComeAndGoFromInsideCallbacks)
{
    RunLoop& loop = RunLoop::current();
    auto pipe = Pipe::pipe();
    ASSERT_TRUE(pipe);
    std::vector<std::string> events;
    RunLoop::Registration watch;
    watch = loop.watchReadable((*pipe)->fileHandleForReading()->fileDescriptor(), [&] {
        events.emplace_back("readable");
        watch.reset(); // from inside its own callback
    });
    auto late = loop.scheduleTimer(RunLoop::Clock::now() + 20ms, [&] { events.emplace_back("late"); });
    auto early = loop.scheduleTimer(RunLoop::Clock::now(), [&] {
        events.emplace_back("early");
        ASSERT_EQ(::write((*pipe)->fileHandleForWriting()->fileDescriptor(), "x", 1), 1);
    });
    (void)loop.scheduleTimer(RunLoop::Clock::now(), [&] { events.emplace_back("cancelled"); }); // dropped at once
    runUntil([&] { return events.size() >= 3; });
    EXPECT_EQ(events, (std::vector<std::string> { "early", "readable", "late" }));
    EXPECT_FALSE(late.isActive()) << "timers fire once";
    auto idle = loop.runUntil([] { return false; });
    EXPECT_TRUE(idle && !*idle) << "nothing left to wait for: returns instead of blocking";
}

TEST(NotificationCenter, ObserversMatchAndCanBeRemovedWhilePosting)
{
    auto& center = NotificationCenter::defaultCenter();
    int sender = 0, other = 0, first = 0, second = 0, any = 0;
    char firstObserver, secondObserver, anyObserver;
    center.addObserver(
        &firstObserver,
        [&](const Notification&) {
            ++first;
            center.removeObserver(&secondObserver); // before it gets this one
            center.removeObserver(&firstObserver, "Ping", &sender);
        },
        "Ping", &sender);
    center.addObserver(
        &secondObserver, [&](const Notification&) { ++second; }, "Ping", &sender);
    center.addObserver(
        &anyObserver, [&](const Notification& note) { any += note.userInfoItem<int>("v") ? 5 : 100; }, "", nullptr);
    std::shared_ptr<void> senderReference { std::shared_ptr<void>(), &sender };
    center.postNotification(Notification { "Ping", { std::shared_ptr<void>(), &other } });
    center.postNotification(Notification { "Ping", senderReference, { { "v", 5 } } });
    center.postNotification(Notification { "Ping", senderReference });
    EXPECT_EQ(std::tuple(first, second, any), std::tuple(1, 0, 205));
    center.removeObserver(&anyObserver);
}

TEST(FileHandle, BackgroundReadPostsOnceAndEndOfFileIsEmpty)
{
    auto pipe = Pipe::pipe();
    ASSERT_TRUE(pipe);
    auto reading = (*pipe)->fileHandleForReading();
    std::vector<std::string> received;
    char observer;
    NotificationCenter::defaultCenter().addObserver(
        &observer,
        [&](const Notification& notification) {
            auto data = *notification.userInfoItem<std::span<char>>(FileHandleNotificationDataItem);
            received.emplace_back(data.data(), data.size());
        },
        FileHandleReadCompletionNotification, reading.get());
    ASSERT_EQ(::write((*pipe)->fileHandleForWriting()->fileDescriptor(), "abc", 3), 3);
    for (size_t reads = 1; reads <= 2; ++reads) {
        reading->readInBackgroundAndNotify();
        runUntil([&] { return received.size() == reads; });
        EXPECT_FALSE(reading->isReadingInBackground()) << "one-shot";
        (*pipe)->fileHandleForWriting()->closeFile();
    }
    EXPECT_EQ(received, (std::vector<std::string> { "abc", "" }));
    NotificationCenter::defaultCenter().removeObserver(&observer);
}

TEST(ThreadAffinityDeathTest, MainThreadObjectsRefuseOtherThreadsInDebugBuilds)
{
    auto& center = NotificationCenter::defaultCenter();
    auto fromAnotherThread = [&] { std::thread([&] { center.postNotification(Notification { "Ping", {} }); }).join(); };
    EXPECT_DEBUG_DEATH(fromAnotherThread(), "assertIsCurrent|m_thread");
}
