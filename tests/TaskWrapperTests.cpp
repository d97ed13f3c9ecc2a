#include "NotificationCenter.h"
#include "RunLoop.h"
#include "SimpleTaskWrapperController.h"
#include "TaskWrapper.h"
#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

// Numbered lines with a two- and a three-byte character in each, so that reads
// cut characters in two.
std::string numberedLines(int count)
{
    std::string text;
    for (int line = 0; line < count; ++line)
        text += "l\xC3\xADnea " + std::to_string(line) + " \xE2\x82\xAC\n";
    return text;
}

void writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count <= 0)
            std::_Exit(5);
        bytes.remove_prefix(static_cast<size_t>(count));
    }
}

// "<test binary> --child=script STEP...", or with the steps in $ZELVANT_TEST_STEPS
// (then the arguments after argv[2], a script run through "#!", are the client's):
// o:HEX and e:HEX write to standard output and error, lines:N writes numbered
// lines, args writes the client's arguments joined by ",", close closes both,
// sleep:MS sleeps, ignore-term ignores SIGTERM, kill kills itself, grandchild
// leaves a sleeping grandchild on the pipe and writes its pid.
int runScript(int argc, char** argv)
{
    const char* fromEnvironment = std::getenv("ZELVANT_TEST_STEPS");
    Strings steps { argv + 2, argv + argc };
    if (fromEnvironment) {
        std::istringstream stream { fromEnvironment };
        steps.assign(std::istream_iterator<std::string>(stream), {});
    }
    for (const auto& step : steps) {
        std::string value = step.substr(step.find(':') + 1);
        if (step.starts_with("o:") || step.starts_with("e:"))
            writeAll(step[0] == 'o' ? 1 : 2, test::fromHex(value));
        else if (step.starts_with("lines:"))
            writeAll(1, numberedLines(std::stoi(value)));
        else if (step == "args")
            for (int index = 3; index < argc; ++index)
                writeAll(1, std::string(index > 3 ? "," : "") + argv[index]);
        else if (step == "close") {
            ::close(1);
            ::close(2);
        } else if (step.starts_with("sleep:"))
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(value)));
        else if (step == "ignore-term")
            std::signal(SIGTERM, SIG_IGN);
        else if (step == "kill")
            ::raise(SIGKILL);
        else if (step == "grandchild") {
            platform::Task grandchild;
            grandchild.setLaunchPath(test::testBinaryPath());
            grandchild.setArguments({ "--child=script", "sleep:60000" });
            if (!grandchild.launch())
                return 4;
            writeAll(1, std::to_string(grandchild.processIdentifier()));
        }
    }
    return 0;
}

Strings script(const Strings& steps)
{
    Strings arguments { test::testBinaryPath(), "--child=script" };
    arguments.insert(arguments.end(), steps.begin(), steps.end());
    return arguments;
}

int logThroughController(int, char**)
{
    auto controller = std::make_unique<SimpleTaskWrapperController>();
    controller->appendOutput("two\nlines");
    (void)TaskWrapper::taskWrapperWithController(controller.get(), script({ "o:" + test::toHex("100% %s %n %d") }));
    if (!controller->taskWrapper()->startProcess())
        return 1;
    controller->taskWrapper()->task()->waitUntilExit();
    // Dropping the controller stops its wrapper, which hands over what is left during the teardown.
    controller.reset();
    return 0;
}

const bool childrenRegistered = (test::registerChildBehaviour("script", runScript),
    test::registerChildBehaviour("log-through-controller", logThroughController), true);

std::string out(std::string_view text) { return "o:" + test::toHex(text); }

class RecordingController : public TaskWrapperController, public TaskWrapperControllerInfo {
public:
    Strings events;
    Strings chunks;
    std::string joined;
    std::function<void(std::string_view)> onChunk;
    std::shared_ptr<TaskWrapper> wrapper; // held, as the simple controllers do

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
    void setTaskWrapper(std::shared_ptr<TaskWrapper> given) override { wrapper = std::move(given); }
    TaskWrapper* taskWrapper() const override { return wrapper.get(); }
    size_t count(const std::string& event) const { return std::ranges::count(events, event); }
};

// A lost event must fail the test, not hang it: past the deadline the child is killed.
platform::RunLoop::Registration watchdog(TaskWrapper& wrapper)
{
    return platform::RunLoop::current().scheduleTimer(platform::RunLoop::Clock::now() + 30s, [&wrapper] {
        ADD_FAILURE() << "the child did not finish in time";
        if (wrapper.task())
            wrapper.task()->kill();
    });
}

void runUntil(const std::function<bool()>& done)
{
    auto result = platform::RunLoop::current().runUntil(done, platform::RunLoop::Clock::now() + 30s);
    EXPECT_TRUE(result && *result);
}

// Runs the steps to the end with gathering on; the gathered output.
std::string run(TaskWrapperController* controller, const Strings& steps, bool gather = true)
{
    auto wrapper = TaskWrapper::taskWrapperWithController(controller, script(steps));
    wrapper->setGatherOutput(gather);
    auto timeout = watchdog(*wrapper);
    EXPECT_TRUE(wrapper->startProcess());
    wrapper->waitUntilExit();
    return wrapper->output() ? *wrapper->output() : "(none)";
}

}

TEST(TaskWrapper, ChunksArriveWholeInOrderAndComplete)
{
    RecordingController controller;
    std::string expected = numberedLines(100000);
    EXPECT_TRUE(run(&controller, { "lines:100000" }) == expected);
    EXPECT_TRUE(controller.joined == expected);
    for (const auto& chunk : controller.chunks)
        ASSERT_TRUE(platform::isValidUTF8(chunk)) << "no chunk holds part of a character";
    Strings events(controller.chunks.size(), "chunk");
    events.insert(events.begin(), "started");
    events.emplace_back("finished");
    EXPECT_EQ(controller.events, events);
    EXPECT_EQ(controller.wrapper->controller(), nullptr);
}

TEST(TaskWrapper, GatheringStandardErrorAndIllFormedBytes)
{
    RecordingController quiet;
    EXPECT_EQ(run(&quiet, { out("hello") }, false), "(none)");
    EXPECT_EQ(quiet.joined, "hello") << "the controller hears everything all the same";
    EXPECT_EQ(run(nullptr, {}), "") << "nothing written: empty, not none";
    EXPECT_EQ(run(nullptr, { out("out "), "e:" + test::toHex("err "), out("x\xFFy\xE2\x82") }),
        "out err x\xEF\xBF\xBDy\xEF\xBF\xBD");
}

TEST(TaskWrapper, StopsTellTheControllerOnceAndAStartIsNotRepeated)
{
    RecordingController unstarted;
    TaskWrapper::taskWrapperWithController(&unstarted, script({}));
    unstarted.wrapper.reset();
    EXPECT_EQ(unstarted.events, Strings { "finished" });

    RecordingController controller;
    run(&controller, { out("once") });
    TaskWrapper& wrapper = *controller.wrapper;
    wrapper.stopProcess();
    pid_t pid = wrapper.task()->processIdentifier();
    EXPECT_FALSE(wrapper.startProcess());
    EXPECT_EQ(wrapper.task()->processIdentifier(), pid);
    EXPECT_EQ(*wrapper.output(), "once");
    EXPECT_EQ(controller.events, (Strings { "started", "chunk", "finished" }));
}

TEST(TaskWrapper, StopFromInsideTheControllerKeepsItsTextAndTellsItOnce)
{
    RecordingController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, script({ out("\xFF"), "lines:100000" }));
    // The first chunk (decoded into the decoder's own buffer) stops the wrapper, drops the hold on it and then
    // reads its text again.
    controller.onChunk = [&](std::string_view text) {
        if (controller.count("chunk") == 1) {
            std::string before { text };
            controller.wrapper->stopProcess();
            controller.wrapper.reset();
            EXPECT_EQ(text, before);
        }
    };
    auto timeout = watchdog(*wrapper);
    ASSERT_TRUE(wrapper->startProcess());
    std::weak_ptr<TaskWrapper> weak = wrapper;
    wrapper.reset();
    runUntil([&] { return controller.count("finished") > 0; });
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(controller.count("finished"), 1u);
    EXPECT_EQ(controller.events.back(), "finished");
    EXPECT_TRUE(("\xEF\xBF\xBD" + numberedLines(100000)).starts_with(controller.joined));
}

TEST(TaskWrapper, ProgramThatCannotBeStarted)
{
    test::TemporaryDirectory scratch;
    test::writeFile(scratch / "not-executable", "data", 0644);
    for (const auto& path : { scratch / "missing", scratch / "not-executable", scratch.path() }) {
        RecordingController controller;
        auto wrapper = TaskWrapper::taskWrapperWithController(&controller, path);
        EXPECT_FALSE(wrapper->startProcess()) << path;
        wrapper->waitUntilExit();
        EXPECT_EQ(controller.events, (Strings { "started", "finished" })) << path;
    }
}

TEST(TaskWrapper, ChildIgnoringTerminationDoesNotHoldTheStop)
{
    RecordingController controller;
    auto wrapper
        = TaskWrapper::taskWrapperWithController(&controller, script({ "ignore-term", out("x"), "sleep:60000" }));
    auto timeout = watchdog(*wrapper);
    ASSERT_TRUE(wrapper->startProcess());
    runUntil([&] { return !controller.chunks.empty(); });
    wrapper->stopProcess();
    EXPECT_EQ(controller.events, (Strings { "started", "chunk", "finished" }));
    EXPECT_TRUE(wrapper->task()->isRunning());
    wrapper->task()->kill();
}

TEST(TaskWrapper, GrandchildHoldingThePipeDoesNotHoldTheWait)
{
    RecordingController controller;
    pid_t grandchild = std::stoi(run(&controller, { "grandchild" }));
    EXPECT_EQ(controller.count("finished"), 1u);
    EXPECT_EQ(::kill(grandchild, 0), 0) << "the grandchild still runs, holding the pipe";
    ::kill(grandchild, SIGKILL);
}

TEST(TaskWrapper, ThousandRunsLeaveNoDescriptorsZombiesOrObservers)
{
    size_t descriptors = test::openDescriptorCount();
    size_t zombies = test::zombieChildCount();
    size_t observers = platform::NotificationCenter::defaultCenter().observationCount();
    // Eight at a time in the one run loop; under AddressSanitizer, where each start costs ten times as much, a tenth.
    int batches = test::underSanitizers() ? 13 : 125;
    for (int batch = 0; batch < batches; ++batch) {
        std::vector<std::shared_ptr<TaskWrapper>> wrappers;
        for (int index = 0; index < 8; ++index) {
            wrappers.push_back(TaskWrapper::taskWrapperWithController(nullptr, script({ out(std::to_string(index)) })));
            wrappers.back()->setGatherOutput(true);
            ASSERT_TRUE(wrappers.back()->startProcess());
        }
        for (int index = 0; index < 8; ++index) {
            auto timeout = watchdog(*wrappers[index]);
            wrappers[index]->waitUntilExit();
            ASSERT_EQ(*wrappers[index]->output(), std::to_string(index));
        }
    }
    // Dropped while its child runs: stopped, and the child reaped once its end reaches the run loop.
    auto wrapper = TaskWrapper::taskWrapperWithController(nullptr, script({ "sleep:60000" }));
    ASSERT_TRUE(wrapper->startProcess());
    pid_t pid = wrapper->task()->processIdentifier();
    wrapper.reset();
    runUntil([&] { return ::kill(pid, 0) != 0; });
    EXPECT_NE(::kill(pid, 0), 0) << "the child is gone, not a zombie";
    EXPECT_EQ(test::openDescriptorCount(), descriptors);
    EXPECT_EQ(test::zombieChildCount(), zombies);
    EXPECT_EQ(platform::NotificationCenter::defaultCenter().observationCount(), observers);
}

TEST(SimpleTaskWrapperController, LogsEachChunkLiterallyAsOneEntry)
{
    auto result = test::runProgram(test::testBinaryPath(), { .arguments = { "--child=log-through-controller" } });
    EXPECT_EQ(result.status, 0) << result.error;
    Strings entries;
    std::istringstream lines(result.error);
    for (std::string line; std::getline(lines, line);)
        entries.push_back(line.find("] ") == std::string::npos ? line : line.substr(line.find("] ") + 2));
    EXPECT_EQ(entries, (Strings { "two", "lines", "Process started.", "100% %s %n %d", "Process finished." }));
}
