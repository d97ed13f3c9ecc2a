#include "NotificationCenter.h"
#include "RunLoop.h"
#include "SimpleTaskWrapperController.h"
#include "SimpleTaskWrapperWindowController.h"
#include "TaskWrapper.h"
#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

void writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count <= 0)
            std::_Exit(5);
        bytes.remove_prefix(static_cast<size_t>(count));
    }
}

// Children, run as "<test binary> --child=NAME ...".
const bool childrenRegistered = [] {
    // Each argument "o:HEX" or "e:HEX" goes to standard output or error; "p"
    // pauses a little so the next piece tends to arrive in a read of its own.
    test::registerChildBehaviour("emit", [](int argc, char** argv) {
        for (int index = 2; index < argc; ++index) {
            std::string_view argument { argv[index] };
            if (argument == "p")
                std::this_thread::sleep_for(20ms);
            else
                writeAll(argument[0] == 'e' ? 2 : 1, test::fromHex(argument.substr(2)));
        }
        return 0;
    });
    // Numbered lines, written in writes of varying size.
    test::registerChildBehaviour("lines", [](int argc, char** argv) {
        int count = argc > 2 ? std::stoi(argv[2]) : 1000;
        std::string pending;
        for (int line = 0; line < count; ++line) {
            pending += "line " + std::to_string(line) + "\n";
            if (pending.size() > static_cast<size_t>(1 + line % 5000)) {
                writeAll(1, pending);
                pending.clear();
            }
        }
        writeAll(1, pending);
        return 0;
    });
    test::registerChildBehaviour("arguments", [](int argc, char** argv) {
        std::string text = std::to_string(argc - 2) + "\n";
        for (int index = 2; index < argc; ++index)
            text += std::string { argv[index] } + "\n";
        writeAll(1, text);
        return 0;
    });
    test::registerChildBehaviour("environment", [](int, char** argv) {
        const char* value = std::getenv(argv[2]);
        writeAll(1, value ? value : "(unset)");
        return 0;
    });
    test::registerChildBehaviour("silent", [](int, char**) { return 0; });
    test::registerChildBehaviour("sleep", [](int, char**) {
        std::this_thread::sleep_for(60s);
        return 0;
    });
    // Says so, then outlives any polite request.
    test::registerChildBehaviour("ignore-term", [](int, char**) {
        std::signal(SIGTERM, SIG_IGN);
        writeAll(1, "ignoring\n");
        std::this_thread::sleep_for(60s);
        return 0;
    });
    // Leaves a grandchild behind that holds the output pipe open.
    test::registerChildBehaviour("grandchild", [](int, char**) {
        platform::Task grandchild;
        grandchild.setLaunchPath(test::testBinaryPath());
        grandchild.setArguments({ "--child=sleep" });
        if (!grandchild.launch())
            return 4;
        writeAll(1, std::to_string(grandchild.processIdentifier()) + "\n");
        std::_Exit(0);
    });
    return true;
}();

// Records every event of its wrapper.
class RecordingController : public TaskWrapperController {
public:
    std::vector<std::string> events;
    std::vector<std::string> chunks;
    std::function<void(std::string_view)> onChunk;

    void appendOutput(std::string_view text) override
    {
        events.emplace_back("chunk");
        chunks.emplace_back(text);
        if (onChunk)
            onChunk(text);
    }
    void processStarted() override { events.emplace_back("started"); }
    void processFinished() override { events.emplace_back("finished"); }

    std::string joined() const
    {
        std::string text;
        for (const auto& chunk : chunks)
            text += chunk;
        return text;
    }
    size_t count(const std::string& event) const { return std::count(events.begin(), events.end(), event); }
};

// The same, holding its wrapper.
class HoldingController : public RecordingController, public TaskWrapperControllerInfo {
public:
    std::shared_ptr<TaskWrapper> wrapper;
    int handedOver { 0 };
    void setTaskWrapper(std::shared_ptr<TaskWrapper> given) override
    {
        ++handedOver;
        wrapper = std::move(given);
    }
    TaskWrapper* taskWrapper() const override { return wrapper.get(); }
};

std::vector<std::string> child(const std::string& name, std::vector<std::string> arguments = {})
{
    arguments.insert(arguments.begin(), { test::testBinaryPath(), "--child=" + name });
    return arguments;
}

// A lost event must fail the test, not hang it: past the deadline the child is killed.
class Watchdog {
public:
    explicit Watchdog(TaskWrapper& wrapper, std::chrono::seconds limit = 30s)
        : m_timer(platform::RunLoop::current().scheduleTimer(platform::RunLoop::Clock::now() + limit, [&wrapper] {
            ADD_FAILURE() << "the child did not finish in time";
            if (wrapper.task())
                wrapper.task()->kill();
        }))
    {
    }

private:
    platform::RunLoop::Registration m_timer;
};

std::string run(TaskWrapper& wrapper)
{
    Watchdog watchdog { wrapper };
    EXPECT_TRUE(wrapper.startProcess());
    wrapper.waitUntilExit();
    return wrapper.output() ? *wrapper.output() : std::string { "(none)" };
}

std::string expectedLines(int count)
{
    std::string text;
    for (int line = 0; line < count; ++line)
        text += "line " + std::to_string(line) + "\n";
    return text;
}

}

TEST(TaskWrapper, ChunksArriveInOrderAndComplete)
{
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("lines", { "200000" }));
    wrapper->setGatherOutput(true);
    std::string output = run(*wrapper);
    std::string expected = expectedLines(200000);
    EXPECT_EQ(output.size(), expected.size());
    EXPECT_TRUE(output == expected);
    EXPECT_TRUE(controller.joined() == expected);
    ASSERT_GE(controller.events.size(), 3u);
    EXPECT_EQ(controller.events.front(), "started");
    EXPECT_EQ(controller.events.back(), "finished");
    EXPECT_EQ(controller.count("started"), 1u);
    EXPECT_EQ(controller.count("finished"), 1u);
    EXPECT_EQ(wrapper->controller(), nullptr);
}

TEST(TaskWrapper, GatheringOnOffAndOutputVersusCopy)
{
    // Off: the controller still hears everything, output is none.
    RecordingController quiet;
    auto off = TaskWrapper::taskWrapperWithController(&quiet, child("emit", { "o:" + test::toHex("hello") }));
    run(*off);
    EXPECT_EQ(off->output(), nullptr);
    EXPECT_FALSE(off->outputCopy());
    EXPECT_EQ(quiet.joined(), "hello");

    // Nothing written: an empty string, not none.
    auto silent = TaskWrapper::taskWrapperWithController(nullptr, child("silent"));
    silent->setGatherOutput(true);
    EXPECT_EQ(run(*silent), "");

    // Switched off after a run: none, though text was gathered.
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("emit", { "o:" + test::toHex("abc") }));
    wrapper->setGatherOutput(true);
    EXPECT_EQ(run(*wrapper), "abc");
    const std::string* live = wrapper->output();
    auto copy = wrapper->outputCopy();
    ASSERT_TRUE(live && copy);
    EXPECT_EQ(live, wrapper->output()) << "output is the wrapper's own string";
    wrapper->setGatherOutput(false);
    EXPECT_EQ(wrapper->output(), nullptr);
    EXPECT_FALSE(wrapper->outputCopy());
    wrapper->setGatherOutput(true);
    EXPECT_EQ(*wrapper->output(), "abc");
    EXPECT_EQ(*copy, "abc");
}

TEST(TaskWrapper, LaterTextChangesOutputButNotTheCopy)
{
    auto wrapper = TaskWrapper::taskWrapperWithController(nullptr, child("emit", { "o:" + test::toHex("first "), "p", "o:" + test::toHex("second") }));
    wrapper->setGatherOutput(true);
    Watchdog watchdog { *wrapper };
    ASSERT_TRUE(wrapper->startProcess());
    const std::string* live = wrapper->output();
    platform::RunLoop::current().runUntil([&] { return !live->empty(); }, platform::RunLoop::Clock::now() + 30s);
    auto copy = wrapper->outputCopy();
    std::string copied = *copy;
    wrapper->waitUntilExit();
    EXPECT_EQ(*live, "first second");
    EXPECT_EQ(*copy, copied);
    EXPECT_FALSE(copy->empty());
    EXPECT_EQ(live->compare(0, copy->size(), *copy), 0);
}

TEST(TaskWrapper, StandardErrorIsMixedIn)
{
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller,
        child("emit", { "o:" + test::toHex("out1 "), "p", "e:" + test::toHex("err1 "), "p", "o:" + test::toHex("out2") }));
    wrapper->setGatherOutput(true);
    EXPECT_EQ(run(*wrapper), "out1 err1 out2");
}

TEST(TaskWrapper, ConstructorsFormTheArgumentList)
{
    // The path alone: no arguments.
    auto bare = TaskWrapper::taskWrapperWithController(nullptr, test::testBinaryPath());
    EXPECT_EQ(bare->arguments(), std::vector<std::string> { test::testBinaryPath() });

    // Path and list: the path first; the caller's list is left as it was.
    std::vector<std::string> callers { "--child=arguments", "-v", "two words" };
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, test::testBinaryPath(), callers);
    EXPECT_EQ(callers, (std::vector<std::string> { "--child=arguments", "-v", "two words" }));
    wrapper->setGatherOutput(true);
    EXPECT_EQ(run(*wrapper), "2\n-v\ntwo words\n");
    EXPECT_EQ(wrapper->task()->launchPath(), test::testBinaryPath());
    EXPECT_EQ(wrapper->task()->arguments(), (std::vector<std::string> { "--child=arguments", "-v", "two words" }));
}

TEST(TaskWrapper, EnvironmentIsOursOrReplacedWhole)
{
    setenv("ZELVANT_TEST_INHERITED", "ours", 1);
    auto inherited = TaskWrapper::taskWrapperWithController(nullptr, child("environment", { "ZELVANT_TEST_INHERITED" }));
    inherited->setGatherOutput(true);
    EXPECT_EQ(run(*inherited), "ours");

    auto replaced = TaskWrapper::taskWrapperWithController(nullptr, child("environment", { "ZELVANT_TEST_INHERITED" }));
    replaced->setGatherOutput(true);
    Watchdog watchdog { *replaced };
    ASSERT_TRUE(replaced->startProcessWithEnvironment(platform::Task::Environment { { "OTHER", "1" } }));
    replaced->waitUntilExit();
    EXPECT_EQ(*replaced->output(), "(unset)");
    unsetenv("ZELVANT_TEST_INHERITED");
}

TEST(TaskWrapper, ControllersWithAndWithoutTheInfoInterface)
{
    // Nil controller: runs and gathers.
    auto orphan = TaskWrapper::taskWrapperWithController(nullptr, child("emit", { "o:" + test::toHex("x") }));
    orphan->setGatherOutput(true);
    EXPECT_EQ(run(*orphan), "x");

    // Without the info interface the caller keeps the wrapper; with it the controller does.
    RecordingController plain;
    std::weak_ptr<TaskWrapper> plainWrapper = TaskWrapper::taskWrapperWithController(&plain, child("silent"));
    EXPECT_TRUE(plainWrapper.expired());
    EXPECT_EQ(plain.events, std::vector<std::string> { "finished" }) << "released unstarted, it still stops";

    HoldingController holding;
    std::weak_ptr<TaskWrapper> held = TaskWrapper::taskWrapperWithController(&holding, child("silent"));
    EXPECT_EQ(holding.handedOver, 1);
    EXPECT_FALSE(held.expired());
    EXPECT_EQ(holding.taskWrapper(), held.lock().get());
    EXPECT_TRUE(holding.events.empty());
    holding.wrapper.reset();
    EXPECT_TRUE(held.expired());
    EXPECT_EQ(holding.events, std::vector<std::string> { "finished" });
}

TEST(TaskWrapper, StopsAreIdempotentAndStartsAreNotRepeated)
{
    HoldingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("emit", { "o:" + test::toHex("once") }));
    wrapper->setGatherOutput(true);
    run(*wrapper);
    wrapper->stopProcess();
    wrapper->stopProcess();
    EXPECT_EQ(controller.count("finished"), 1u);

    // A second start is refused and changes nothing.
    platform::Task* task = wrapper->task();
    pid_t pid = task->processIdentifier();
    auto again = wrapper->startProcess();
    EXPECT_FALSE(again);
    EXPECT_EQ(wrapper->task(), task);
    EXPECT_EQ(wrapper->task()->processIdentifier(), pid);
    EXPECT_EQ(controller.count("started"), 1u);
    EXPECT_EQ(*wrapper->output(), "once");
    wrapper.reset();
    controller.wrapper.reset();
    EXPECT_EQ(controller.count("finished"), 1u);
}

TEST(TaskWrapper, StopFromInsideTheControllerTellsItOnce)
{
    HoldingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("lines", { "100000" }));
    wrapper->setGatherOutput(true);
    // The first chunk stops the wrapper, and drops the controller's hold on it.
    controller.onChunk = [&](std::string_view) {
        if (controller.count("chunk") == 1) {
            controller.wrapper->stopProcess();
            controller.wrapper.reset();
        }
    };
    Watchdog watchdog { *wrapper };
    ASSERT_TRUE(wrapper->startProcess());
    std::weak_ptr<TaskWrapper> weak = wrapper;
    wrapper.reset();
    platform::RunLoop::current().runUntil([&] { return controller.count("finished") > 0; }, platform::RunLoop::Clock::now() + 30s);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(controller.count("finished"), 1u);
    EXPECT_EQ(controller.events.back(), "finished");
    // Whatever came before the stop arrived whole and in order.
    std::string expected = expectedLines(100000);
    EXPECT_EQ(expected.compare(0, controller.joined().size(), controller.joined()), 0);
}

TEST(TaskWrapper, SplitCharactersAndInvalidBytes)
{
    // "aé€😀" split at every offset between two writes.
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    for (size_t split = 1; split < text.size(); ++split) {
        RecordingController controller;
        auto wrapper = TaskWrapper::taskWrapperWithController(&controller,
            child("emit", { "o:" + test::toHex(text.substr(0, split)), "p", "o:" + test::toHex(text.substr(split)) }));
        wrapper->setGatherOutput(true);
        EXPECT_EQ(run(*wrapper), text) << "split at " << split;
        for (const auto& chunk : controller.chunks)
            EXPECT_TRUE(platform::isValidUTF8(chunk)) << "split at " << split;
    }

    // Invalid bytes become U+FFFD; a character cut off at the end too.
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller,
        child("emit", { "o:" + test::toHex("x\xFFy\xC0\xAFz\xE2\x82") }));
    wrapper->setGatherOutput(true);
    EXPECT_EQ(run(*wrapper), "x\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(TaskWrapper, ProgramThatCannotBeStarted)
{
    test::TemporaryDirectory scratch;
    test::writeFile(scratch / "not-executable", "data", 0644);
    for (const auto& path : { scratch / "missing", scratch / "not-executable", scratch.path() }) {
        HoldingController controller;
        auto wrapper = TaskWrapper::taskWrapperWithController(&controller, path);
        wrapper->setGatherOutput(true);
        auto started = wrapper->startProcess();
        EXPECT_FALSE(started) << path;
        EXPECT_NE(wrapper->task(), nullptr);
        wrapper->waitUntilExit();
        EXPECT_EQ(controller.events, (std::vector<std::string> { "started", "finished" })) << path;
        EXPECT_EQ(*wrapper->output(), "");
        wrapper.reset();
        controller.wrapper.reset();
    }
}

TEST(TaskWrapper, ChildIgnoringTerminationDoesNotHoldTheStop)
{
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("ignore-term"));
    wrapper->setGatherOutput(true);
    Watchdog watchdog { *wrapper };
    ASSERT_TRUE(wrapper->startProcess());
    platform::RunLoop::current().runUntil([&] { return !controller.chunks.empty(); }, platform::RunLoop::Clock::now() + 30s);
    wrapper->stopProcess();
    EXPECT_EQ(controller.events, (std::vector<std::string> { "started", "chunk", "finished" }));
    EXPECT_TRUE(wrapper->task()->isRunning());
    wrapper->task()->kill();
    wrapper->task()->waitUntilExit();
    EXPECT_TRUE(wrapper->task()->terminatedBySignal());
    EXPECT_EQ(wrapper->task()->terminationStatus(), SIGKILL);
}

TEST(TaskWrapper, GrandchildHoldingThePipeDoesNotHoldTheWait)
{
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("grandchild"));
    wrapper->setGatherOutput(true);
    std::string output = run(*wrapper);
    EXPECT_EQ(controller.count("finished"), 1u);
    pid_t grandchild = std::stoi(output);
    ASSERT_GT(grandchild, 0) << output;
    EXPECT_EQ(::kill(grandchild, 0), 0) << "the grandchild still runs, holding the pipe";
    ::kill(grandchild, SIGKILL);
}

TEST(TaskWrapper, ThousandRunsLeaveNoDescriptorsNoZombiesNoObservers)
{
    size_t descriptors = test::openDescriptorCount();
    size_t zombies = test::zombieChildCount();
    size_t observers = platform::NotificationCenter::defaultCenter().observationCount();
    // Eight at a time, all in the one run loop, to keep the test short. Under
    // AddressSanitizer every start of the instrumented binary costs about ten
    // times as much, so that build runs about a tenth of them.
#if defined(__SANITIZE_ADDRESS__)
    constexpr int batches = 13;
#else
    constexpr int batches = 125;
#endif
    for (int batch = 0; batch < batches; ++batch) {
        RecordingController controllers[8];
        std::vector<std::shared_ptr<TaskWrapper>> wrappers;
        for (int index = 0; index < 8; ++index) {
            int run = batch * 8 + index;
            TaskWrapperController* target = run % 2 ? static_cast<TaskWrapperController*>(&controllers[index]) : nullptr;
            auto wrapper = TaskWrapper::taskWrapperWithController(target, child("emit", { "o:" + test::toHex(std::to_string(run)) }));
            wrapper->setGatherOutput(true);
            ASSERT_TRUE(wrapper->startProcess());
            wrappers.push_back(std::move(wrapper));
        }
        for (int index = 0; index < 8; ++index) {
            Watchdog watchdog { *wrappers[index] };
            wrappers[index]->waitUntilExit();
            ASSERT_EQ(*wrappers[index]->output(), std::to_string(batch * 8 + index));
        }
    }
    EXPECT_EQ(test::openDescriptorCount(), descriptors);
    EXPECT_EQ(test::zombieChildCount(), zombies);
    EXPECT_EQ(platform::NotificationCenter::defaultCenter().observationCount(), observers);
}

TEST(TaskWrapper, DroppedWhileTheChildRunsLeavesNoZombie)
{
    size_t zombies = test::zombieChildCount();
    {
        // The count sees a zombie when there is one.
        platform::Task task;
        task.setLaunchPath(test::testBinaryPath());
        task.setArguments({ "--child=silent" });
        ASSERT_TRUE(task.launch());
        pollfd exited { task.processDescriptor(), POLLIN, 0 };
        ASSERT_EQ(::poll(&exited, 1, 30000), 1);
        EXPECT_EQ(test::zombieChildCount(), zombies + 1);
        task.waitUntilExit();
        EXPECT_EQ(test::zombieChildCount(), zombies);
    }
    pid_t pid;
    {
        RecordingController controller;
        auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("sleep"));
        ASSERT_TRUE(wrapper->startProcess());
        pid = wrapper->task()->processIdentifier();
        // Dropped running: stopped (terminated), told once.
        wrapper.reset();
        EXPECT_EQ(controller.events, (std::vector<std::string> { "started", "finished" }));
    }
    // The child is reaped once its end reaches the run loop.
    auto deadline = platform::RunLoop::Clock::now() + 30s;
    platform::RunLoop::current().runUntil([&] { return ::kill(pid, 0) != 0; }, deadline);
    EXPECT_NE(::kill(pid, 0), 0) << "the child is gone, not a zombie";
    EXPECT_EQ(test::zombieChildCount(), zombies);
}

TEST(SimpleTaskWrapperController, LogsEventsLiterallyAndHoldsItsWrapper)
{
    auto checkController = [](auto& controller) {
        EXPECT_EQ(controller.taskWrapper(), nullptr);
        auto first = TaskWrapper::taskWrapperWithController(&controller, std::string { "/nonexistent" });
        std::weak_ptr<TaskWrapper> weakFirst = first;
        EXPECT_EQ(controller.taskWrapper(), first.get());
        first.reset();
        EXPECT_FALSE(weakFirst.expired()) << "the controller keeps it alive";
        // Given again: still alive. Another one: the first goes.
        controller.setTaskWrapper(weakFirst.lock());
        EXPECT_FALSE(weakFirst.expired());
        auto second = TaskWrapper::taskWrapperWithController(nullptr, std::string { "/nonexistent" });
        controller.setTaskWrapper(second);
        EXPECT_TRUE(weakFirst.expired());
        EXPECT_EQ(controller.taskWrapper(), second.get());
    };
    SimpleTaskWrapperController plain;
    checkController(plain);
    SimpleTaskWrapperWindowController window;
    checkController(window);

    // The log itself: run a child that logs through a controller and read its standard error.
    auto result = test::runProgram(test::testBinaryPath(), { .arguments = { "--child=log-through-controller" } });
    EXPECT_EQ(result.status, 0) << result.error;
    std::vector<std::string> entries;
    std::istringstream lines(result.error);
    for (std::string line; std::getline(lines, line);) {
        size_t text = line.find("] ");
        entries.push_back(text == std::string::npos ? line : line.substr(text + 2));
    }
    EXPECT_EQ(entries, (std::vector<std::string> { "two", "lines", "Process started.", "100% %s %n %d", "Process finished." }));
}

namespace {

const bool logChildRegistered = [] {
    test::registerChildBehaviour("log-through-controller", [](int, char**) {
        auto controller = std::make_unique<SimpleTaskWrapperController>();
        // One chunk with two lines is one entry.
        controller->appendOutput("two\nlines");
        (void)TaskWrapper::taskWrapperWithController(controller.get(), child("emit", { "o:" + test::toHex("100% %s %n %d") }));
        if (!controller->taskWrapper()->startProcess())
            return 1;
        controller->taskWrapper()->task()->waitUntilExit();
        // Dropping the controller stops its wrapper, which hands over what is
        // left and logs "Process finished." during the teardown.
        controller.reset();
        return 0;
    });
    return true;
}();

}
