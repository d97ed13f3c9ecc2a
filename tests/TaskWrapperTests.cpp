#include "NotificationCenter.h"
#include "RunLoop.h"
#include "SimpleTaskWrapperController.h"
#include "SimpleTaskWrapperWindowController.h"
#include "TaskWrapper.h"
#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

Strings child(const std::string& name, Strings arguments = {})
{
    arguments.insert(arguments.begin(), { test::testBinaryPath(), "--child=" + name });
    return arguments;
}

// A child writing the pieces in turn: "o:TEXT" to standard output, "e:TEXT" to
// standard error, "p" a pause so the next piece tends to arrive in a read of its own.
Strings emitting(const Strings& pieces)
{
    Strings arguments;
    for (const auto& piece : pieces)
        arguments.push_back(piece == "p" ? piece : piece.substr(0, 2) + test::toHex(piece.substr(2)));
    return child("emit", arguments);
}

// Children, run as "<test binary> --child=NAME ...".
const bool childrenRegistered = [] {
    test::registerChildBehaviour("emit", [](int argc, char** argv) {
        for (int index = 2; index < argc; ++index) {
            std::string_view argument { argv[index] };
            if (argument == "p") {
                std::this_thread::sleep_for(20ms);
                continue;
            }
            std::string bytes = test::fromHex(argument.substr(2));
            FILE* stream = argument[0] == 'e' ? stderr : stdout;
            std::fwrite(bytes.data(), 1, bytes.size(), stream);
            std::fflush(stream);
        }
        return 0;
    });
    // Numbered lines, flushed now and then, so the writes vary in size.
    test::registerChildBehaviour("lines", [](int, char** argv) {
        for (int line = 0, count = std::stoi(argv[2]); line < count; ++line) {
            std::printf("line %d\n", line);
            if (line % 97 == 0)
                std::fflush(stdout);
        }
        return 0;
    });
    // Its argument count, each argument, then $ZELVANT_TEST_INHERITED, a line each.
    test::registerChildBehaviour("arguments", [](int argc, char** argv) {
        std::printf("%d\n", argc - 2);
        for (int index = 2; index < argc; ++index)
            std::printf("%s\n", argv[index]);
        const char* value = std::getenv("ZELVANT_TEST_INHERITED");
        std::printf("%s\n", value ? value : "(unset)");
        return 0;
    });
    // With "ignore-term", says so and then outlives any polite request.
    test::registerChildBehaviour("sleep", [](int argc, char**) {
        if (argc > 2) {
            std::signal(SIGTERM, SIG_IGN);
            std::printf("ignoring\n");
            std::fflush(stdout);
        }
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
        std::printf("%d\n", grandchild.processIdentifier());
        std::fflush(stdout);
        std::_Exit(0);
    });
    return true;
}();

// Records every event of its wrapper.
class RecordingController : public TaskWrapperController {
public:
    Strings events;
    Strings chunks;
    std::string joined; // all chunks
    std::function<void(std::string_view)> onChunk;

    void appendOutput(std::string_view text) override
    {
        events.emplace_back("chunk");
        chunks.emplace_back(text);
        joined += text;
        if (onChunk)
            onChunk(text);
    }
    void processStarted() override { events.emplace_back("started"); }
    void processFinished() override { events.emplace_back("finished"); }
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

std::shared_ptr<TaskWrapper> gathering(TaskWrapperController* controller, Strings arguments)
{
    auto wrapper = TaskWrapper::taskWrapperWithController(controller, std::move(arguments));
    wrapper->setGatherOutput(true);
    return wrapper;
}

// A lost event must fail the test, not hang it: past the deadline the child is killed.
class Watchdog {
public:
    explicit Watchdog(TaskWrapper& wrapper)
        : m_timer(platform::RunLoop::current().scheduleTimer(platform::RunLoop::Clock::now() + 30s, [&wrapper] {
            ADD_FAILURE() << "the child did not finish in time";
            if (wrapper.task())
                wrapper.task()->kill();
        }))
    {
    }

private:
    platform::RunLoop::Registration m_timer;
};

std::string run(TaskWrapper& wrapper, std::optional<platform::Task::Environment> environment = std::nullopt)
{
    Watchdog watchdog { wrapper };
    EXPECT_TRUE(environment ? wrapper.startProcessWithEnvironment(std::move(environment)) : wrapper.startProcess());
    wrapper.waitUntilExit();
    return wrapper.output() ? *wrapper.output() : std::string { "(none)" };
}

void runUntil(const std::function<bool()>& done)
{
    platform::RunLoop::current().runUntil(done, platform::RunLoop::Clock::now() + 30s);
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
    auto wrapper = gathering(&controller, child("lines", { "200000" }));
    std::string output = run(*wrapper);
    std::string expected = expectedLines(200000);
    EXPECT_TRUE(output == expected) << output.size() << " bytes of " << expected.size();
    EXPECT_TRUE(controller.joined == expected);
    // Started first, finished last, each once.
    Strings events(controller.chunks.size(), "chunk");
    events.insert(events.begin(), "started");
    events.emplace_back("finished");
    EXPECT_EQ(controller.events, events);
    EXPECT_EQ(wrapper->controller(), nullptr);
}

TEST(TaskWrapper, GatheringOnOffOutputVersusCopyAndStandardErrorMixedIn)
{
    // Off: the controller still hears everything, output is none.
    RecordingController quiet;
    auto off = TaskWrapper::taskWrapperWithController(&quiet, emitting({ "o:hello" }));
    EXPECT_EQ(run(*off), "(none)");
    EXPECT_FALSE(off->outputCopy());
    EXPECT_EQ(quiet.joined, "hello");

    // Nothing written: an empty string, not none.
    EXPECT_EQ(run(*gathering(nullptr, emitting({}))), "");

    // The output is the wrapper's own string and grows; a copy stays as it was taken.
    auto wrapper = gathering(nullptr, emitting({ "o:out1 ", "p", "e:err1 ", "p", "o:out2" }));
    Watchdog watchdog { *wrapper };
    ASSERT_TRUE(wrapper->startProcess());
    const std::string* live = wrapper->output();
    runUntil([&] { return !live->empty(); });
    auto copy = wrapper->outputCopy();
    wrapper->waitUntilExit();
    EXPECT_EQ(live, wrapper->output());
    EXPECT_EQ(*live, "out1 err1 out2");
    ASSERT_TRUE(copy && !copy->empty());
    EXPECT_EQ(live->compare(0, copy->size(), *copy), 0);
    // Switched off after a run: none, though text was gathered.
    wrapper->setGatherOutput(false);
    EXPECT_EQ(wrapper->output(), nullptr);
    EXPECT_FALSE(wrapper->outputCopy());
    wrapper->setGatherOutput(true);
    EXPECT_EQ(wrapper->outputCopy().value_or("(none)"), "out1 err1 out2");
}

TEST(TaskWrapper, ConstructorsFormTheArgumentListAndTheEnvironmentIsOursOrReplacedWhole)
{
    // The path alone: no arguments.
    EXPECT_EQ(TaskWrapper::taskWrapperWithController(nullptr, test::testBinaryPath())->arguments(),
        Strings { test::testBinaryPath() });

    // Path and list: the path first.
    setenv("ZELVANT_TEST_INHERITED", "ours", 1);
    auto wrapper = TaskWrapper::taskWrapperWithController(
        nullptr, test::testBinaryPath(), { "--child=arguments", "-v", "two words" });
    wrapper->setGatherOutput(true);
    EXPECT_EQ(run(*wrapper), "2\n-v\ntwo words\nours\n");

    auto replaced = gathering(nullptr, child("arguments"));
    EXPECT_EQ(run(*replaced, platform::Task::Environment { { "OTHER", "1" } }), "0\n(unset)\n");
    unsetenv("ZELVANT_TEST_INHERITED");
}

TEST(TaskWrapper, ControllersWithAndWithoutTheInfoInterfaceStopsAreIdempotentAndStartsAreNotRepeated)
{
    // Without the info interface the caller keeps the wrapper; released unstarted, it still stops.
    RecordingController plain;
    std::weak_ptr<TaskWrapper> plainWrapper = TaskWrapper::taskWrapperWithController(&plain, emitting({}));
    EXPECT_TRUE(plainWrapper.expired());
    EXPECT_EQ(plain.events, Strings { "finished" });

    // With it the controller keeps it.
    HoldingController controller;
    std::weak_ptr<TaskWrapper> held = gathering(&controller, emitting({ "o:once" }));
    EXPECT_EQ(controller.handedOver, 1);
    ASSERT_FALSE(held.expired());
    EXPECT_EQ(controller.taskWrapper(), held.lock().get());
    EXPECT_TRUE(controller.events.empty());
    TaskWrapper& wrapper = *controller.wrapper;
    run(wrapper);
    wrapper.stopProcess();
    wrapper.stopProcess();
    // A second start is refused and changes nothing.
    platform::Task* task = wrapper.task();
    pid_t pid = task->processIdentifier();
    EXPECT_FALSE(wrapper.startProcess());
    EXPECT_EQ(wrapper.task(), task);
    EXPECT_EQ(wrapper.task()->processIdentifier(), pid);
    EXPECT_EQ(*wrapper.output(), "once");
    controller.wrapper.reset();
    EXPECT_TRUE(held.expired());
    EXPECT_EQ(controller.events, (Strings { "started", "chunk", "finished" }));
}

TEST(TaskWrapper, StopFromInsideTheControllerTellsItOnce)
{
    HoldingController controller;
    auto wrapper = gathering(&controller, child("lines", { "100000" }));
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
    runUntil([&] { return controller.count("finished") > 0; });
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(controller.count("finished"), 1u);
    EXPECT_EQ(controller.events.back(), "finished");
    // Whatever came before the stop arrived whole and in order.
    EXPECT_EQ(expectedLines(100000).compare(0, controller.joined.size(), controller.joined), 0);
}

TEST(TaskWrapper, SplitCharactersAndInvalidBytes)
{
    // "aé€😀" split at every offset between two writes.
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    for (size_t split = 1; split < text.size(); ++split) {
        RecordingController controller;
        EXPECT_EQ(
            run(*gathering(&controller, emitting({ "o:" + text.substr(0, split), "p", "o:" + text.substr(split) }))),
            text)
            << "split at " << split;
        for (const auto& chunk : controller.chunks)
            EXPECT_TRUE(platform::isValidUTF8(chunk)) << "split at " << split;
    }

    // Invalid bytes become U+FFFD; a character cut off at the end too.
    EXPECT_EQ(run(*gathering(nullptr, emitting({ "o:x\xFFy\xC0\xAFz\xE2\x82" }))),
        "x\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(TaskWrapper, ProgramThatCannotBeStarted)
{
    test::TemporaryDirectory scratch;
    test::writeFile(scratch / "not-executable", "data", 0644);
    for (const auto& path : { scratch / "missing", scratch / "not-executable", scratch.path() }) {
        RecordingController controller;
        auto wrapper = gathering(&controller, { path });
        EXPECT_FALSE(wrapper->startProcess()) << path;
        EXPECT_NE(wrapper->task(), nullptr);
        wrapper->waitUntilExit();
        EXPECT_EQ(controller.events, (Strings { "started", "finished" })) << path;
        EXPECT_EQ(*wrapper->output(), "");
    }
}

TEST(TaskWrapper, ChildIgnoringTerminationDoesNotHoldTheStop)
{
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("sleep", { "ignore-term" }));
    Watchdog watchdog { *wrapper };
    ASSERT_TRUE(wrapper->startProcess());
    runUntil([&] { return !controller.chunks.empty(); });
    wrapper->stopProcess();
    EXPECT_EQ(controller.events, (Strings { "started", "chunk", "finished" }));
    EXPECT_TRUE(wrapper->task()->isRunning());
    wrapper->task()->kill();
    wrapper->task()->waitUntilExit();
    EXPECT_TRUE(wrapper->task()->terminatedBySignal());
    EXPECT_EQ(wrapper->task()->terminationStatus(), SIGKILL);
}

TEST(TaskWrapper, GrandchildHoldingThePipeDoesNotHoldTheWait)
{
    RecordingController controller;
    std::string output = run(*gathering(&controller, child("grandchild")));
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
            std::string number = std::to_string(batch * 8 + index);
            wrappers.push_back(gathering(index % 2 ? &controllers[index] : nullptr, emitting({ "o:" + number })));
            ASSERT_TRUE(wrappers.back()->startProcess());
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
        task.setArguments({ "--child=emit" });
        ASSERT_TRUE(task.launch());
        pollfd exited { task.processDescriptor(), POLLIN, 0 };
        ASSERT_EQ(::poll(&exited, 1, 30000), 1);
        EXPECT_EQ(test::zombieChildCount(), zombies + 1);
        task.waitUntilExit();
        EXPECT_EQ(test::zombieChildCount(), zombies);
    }
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, child("sleep"));
    ASSERT_TRUE(wrapper->startProcess());
    pid_t pid = wrapper->task()->processIdentifier();
    // Dropped running: stopped (terminated), told once.
    wrapper.reset();
    EXPECT_EQ(controller.events, (Strings { "started", "finished" }));
    // The child is reaped once its end reaches the run loop.
    runUntil([&] { return ::kill(pid, 0) != 0; });
    EXPECT_NE(::kill(pid, 0), 0) << "the child is gone, not a zombie";
    EXPECT_EQ(test::zombieChildCount(), zombies);
}

namespace {

const bool logChildRegistered = [] {
    test::registerChildBehaviour("log-through-controller", [](int, char**) {
        auto controller = std::make_unique<SimpleTaskWrapperController>();
        // One chunk with two lines is one entry.
        controller->appendOutput("two\nlines");
        (void)TaskWrapper::taskWrapperWithController(controller.get(), emitting({ "o:100% %s %n %d" }));
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

template<typename Controller> void checkHoldsItsWrapper()
{
    Controller controller;
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
}

}

TEST(SimpleTaskWrapperController, LogsEventsLiterallyAndHoldsItsWrapper)
{
    checkHoldsItsWrapper<SimpleTaskWrapperController>();
    checkHoldsItsWrapper<SimpleTaskWrapperWindowController>();

    // The log itself: run a child that logs through a controller and read its standard error.
    auto result = test::runProgram(test::testBinaryPath(), { .arguments = { "--child=log-through-controller" } });
    EXPECT_EQ(result.status, 0) << result.error;
    Strings entries;
    std::istringstream lines(result.error);
    for (std::string line; std::getline(lines, line);) {
        size_t text = line.find("] ");
        entries.push_back(text == std::string::npos ? line : line.substr(text + 2));
    }
    EXPECT_EQ(entries, (Strings { "two", "lines", "Process started.", "100% %s %n %d", "Process finished." }));
}
