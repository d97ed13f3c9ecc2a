#include "FileHandle.h"
#include "NotificationCenter.h"
#include "RunLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace platform;
using namespace std::chrono_literals;

TEST(RunLoop, WatchesAndTimersComeAndGoFromInsideCallbacks)
{
    RunLoop& loop = RunLoop::current();
    auto pipe = Pipe::pipe();
    ASSERT_TRUE(pipe);
    int readEnd = (*pipe)->fileHandleForReading()->fileDescriptor();
    std::vector<std::string> events;

    RunLoop::Registration watch;
    watch = loop.watchReadable(readEnd, [&] {
        events.emplace_back("readable");
        watch.reset(); // from inside its own callback
    });
    auto late = loop.scheduleTimer(RunLoop::Clock::now() + 20ms, [&] { events.emplace_back("late"); });
    auto early = loop.scheduleTimer(RunLoop::Clock::now(), [&] {
        events.emplace_back("early");
        ASSERT_EQ(::write((*pipe)->fileHandleForWriting()->fileDescriptor(), "x", 1), 1);
    });
    {
        auto cancelled = loop.scheduleTimer(RunLoop::Clock::now(), [&] { events.emplace_back("cancelled"); });
    }
    loop.runUntil([&] { return events.size() >= 3; }, RunLoop::Clock::now() + 10s);
    EXPECT_EQ(events, (std::vector<std::string> { "early", "readable", "late" }));
    EXPECT_FALSE(watch.isActive());
    EXPECT_FALSE(late.isActive()) << "timers fire once";
    // Nothing left to wait for: returns instead of blocking.
    EXPECT_FALSE(loop.runUntil([] { return false; }));
}

TEST(NotificationCenter, ObserversMatchAndCanBeRemovedWhilePosting)
{
    auto& center = NotificationCenter::defaultCenter();
    int sender = 0, other = 0;
    int first = 0, second = 0, any = 0;
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
        &anyObserver,
        [&](const Notification& notification) {
            any += notification.userInfoItem<int>("value") ? *notification.userInfoItem<int>("value") : 100;
        },
        "", nullptr);

    std::shared_ptr<void> senderReference { std::shared_ptr<void>(), &sender };
    std::shared_ptr<void> otherReference { std::shared_ptr<void>(), &other };
    center.postNotification(Notification { "Ping", otherReference });
    center.postNotification(Notification { "Ping", senderReference, { { "value", 5 } } });
    center.postNotification(Notification { "Ping", senderReference });
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(any, 205);
    center.removeObserver(&anyObserver);
}

TEST(FileHandle, BackgroundReadPostsOnceAndEndOfFileIsEmpty)
{
    auto pipe = Pipe::pipe();
    ASSERT_TRUE(pipe);
    auto reading = (*pipe)->fileHandleForReading();
    EXPECT_GE((*pipe)->capacity(), 65536u);
    EXPECT_EQ(reading->readSize(), (*pipe)->capacity());
    std::vector<std::string> received;
    char observer;
    NotificationCenter::defaultCenter().addObserver(
        &observer,
        [&](const Notification& notification) {
            EXPECT_EQ(notification.object(), reading.get());
            auto data = *notification.userInfoItem<std::span<char>>(FileHandleNotificationDataItem);
            received.emplace_back(data.data(), data.size());
        },
        FileHandleReadCompletionNotification, reading.get());

    ASSERT_EQ(::write((*pipe)->fileHandleForWriting()->fileDescriptor(), "abc", 3), 3);
    reading->readInBackgroundAndNotify();
    RunLoop::current().runUntil([&] { return !received.empty(); }, RunLoop::Clock::now() + 10s);
    EXPECT_FALSE(reading->isReadingInBackground()) << "one-shot";
    ASSERT_EQ(::write((*pipe)->fileHandleForWriting()->fileDescriptor(), "de", 2), 2);
    (*pipe)->fileHandleForWriting()->closeFile();
    reading->readInBackgroundAndNotify();
    RunLoop::current().runUntil([&] { return received.size() == 2; }, RunLoop::Clock::now() + 10s);
    reading->readInBackgroundAndNotify();
    RunLoop::current().runUntil([&] { return received.size() == 3; }, RunLoop::Clock::now() + 10s);
    EXPECT_EQ(received, (std::vector<std::string> { "abc", "de", "" }));
    auto end = reading->availableData();
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, "");
    NotificationCenter::defaultCenter().removeObserver(&observer);
}
