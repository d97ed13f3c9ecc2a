#include "RunLoop.h"
#include "TaskWrapper.h"
#include "TestSupport.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

// Numbered lines with a two- and a three-byte character in each, so that reads cut characters in two.
std::string numberedLines(int count)
{
    std::string text;
    for (int line = 0; line < count; ++line)
        text += "l\xC3\xADnea " + std::to_string(line) + " \xE2\x82\xAC\n";
    return text;
}

// "<test binary> --child=script STEP...", or with the steps in $ZELVANT_TEST_STEPS (then the arguments after
// argv[2], a script run through "#!", are the client's): o:HEX and e:HEX write to standard output and error,
// lines:N writes numbered lines, args writes the client's arguments, close closes both outputs, sleep:MS sleeps,
// ignore-term ignores SIGTERM, kill kills itself.
int runScript(int argc, char** argv)
{
    Strings steps { argv + 2, argv + argc };
    if (const char* fromEnvironment = std::getenv("ZELVANT_TEST_STEPS")) {
        std::istringstream stream { fromEnvironment };
        steps.assign(std::istream_iterator<std::string>(stream), {});
    }
    for (const auto& step : steps) {
        std::string value = step.substr(step.find(':') + 1), bytes;
        if (step.starts_with("o:") || step.starts_with("e:"))
            bytes = test::fromHex(value);
        else if (step.starts_with("lines:"))
            bytes = numberedLines(std::stoi(value));
        else if (step == "args" && argc > 3)
            bytes = argv[3] + std::string(argc > 4 ? " and more" : "");
        else if (step.starts_with("sleep:"))
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(value)));
        else if (step == "ignore-term")
            std::signal(SIGTERM, SIG_IGN);
        else if (step == "kill" || (step == "close" && (::close(1) || ::close(2))))
            ::raise(SIGKILL);
        // A blocking write to a pipe writes everything or fails.
        if (!bytes.empty() && ::write(step[0] == 'e' ? 2 : 1, bytes.data(), bytes.size()) != std::ssize(bytes))
            return 5;
    }
    return 0;
}

const bool scriptRegistered = (test::registerChildBehaviour("script", runScript), true);

Strings script(const Strings& steps)
{
    Strings arguments { test::testBinaryPath(), "--child=script" };
    arguments.insert(arguments.end(), steps.begin(), steps.end());
    return arguments;
}

std::string out(std::string_view text) { return "o:" + test::toHex(text); }

class RecordingController : public TaskWrapperController, public TaskWrapperControllerInfo {
public:
    Strings events;
    std::string joined;
    bool valid { true }; // every chunk whole UTF-8
    std::function<void(std::string_view)> onChunk;
    std::shared_ptr<TaskWrapper> wrapper; // held, as the simple controllers do

    void appendOutput(std::string_view text) override
    {
        events.emplace_back("chunk");
        joined += text;
        valid = valid && platform::isValidUTF8(text);
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
        wrapper.task()->kill();
    });
}

void runUntil(const std::function<bool()>& done)
{
    auto result = platform::RunLoop::current().runUntil(done, platform::RunLoop::Clock::now() + 30s);
    EXPECT_TRUE(result && *result);
}

// Runs the steps to the end; the gathered output.
std::string run(TaskWrapperController* controller, const Strings& steps, bool gather = true)
{
    auto wrapper = TaskWrapper::taskWrapperWithController(controller, script(steps));
    wrapper->setGatherOutput(gather);
    EXPECT_TRUE(wrapper->startProcess());
    auto timeout = watchdog(*wrapper);
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
    EXPECT_TRUE(controller.valid) << "no chunk holds part of a character";
    EXPECT_EQ(controller.count("chunk"), controller.events.size() - 2);
    EXPECT_EQ(controller.events.front() + controller.events.back(), "startedfinished");
    EXPECT_EQ(controller.wrapper->controller(), nullptr);
}

TEST(TaskWrapper, StartsStopsAndGathering)
{
    // The kinds of start failure: Task.StartFailuresAreErrorsNamingTheProgramThatWasToRun.
    RecordingController failed;
    EXPECT_FALSE(TaskWrapper::taskWrapperWithController(&failed, "/nonexistent")->startProcess());
    failed.wrapper->waitUntilExit();
    EXPECT_EQ(failed.events, (Strings { "started", "finished" }));
    RecordingController unstarted;
    TaskWrapper::taskWrapperWithController(&unstarted, script({}));
    unstarted.wrapper.reset();
    EXPECT_EQ(unstarted.events, Strings { "finished" });
    RecordingController controller;
    run(&controller, { out("once") });
    controller.wrapper->stopProcess();
    EXPECT_FALSE(controller.wrapper->startProcess()) << "a wrapper runs one process";
    EXPECT_EQ(controller.events, (Strings { "started", "chunk", "finished" }));
    RecordingController quiet;
    EXPECT_EQ(run(&quiet, { out("hello") }, false), "(none)");
    EXPECT_EQ(quiet.joined, "hello") << "the controller hears everything all the same";
    EXPECT_EQ(run(nullptr, { "e:" }), "") << "nothing written: empty, not none";
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
    ASSERT_TRUE(wrapper->startProcess());
    auto timeout = watchdog(*wrapper);
    std::weak_ptr<TaskWrapper> weak = wrapper;
    wrapper.reset();
    runUntil([&] { return controller.count("finished") > 0; });
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(controller.count("finished"), 1u);
    EXPECT_EQ(controller.events.back(), "finished");
    EXPECT_TRUE(("\xEF\xBF\xBD" + numberedLines(100000)).starts_with(controller.joined));
}

// A child that ignores the request to end: ProbeFixture, through the launcher's version probe.

// Memory leaks are the sanitizers' to find; descriptors and unreaped children no tool sees.
TEST(TaskWrapper, RunsLeaveNoDescriptorsOrZombies)
{
    size_t descriptors = test::openDescriptorCount();
    auto children = test::childProcesses();
    EXPECT_EQ(run(nullptr, { out("done") }), "done");
    // Dropped while its child runs: stopped, and the child reaped once its end reaches the run loop.
    auto wrapper = TaskWrapper::taskWrapperWithController(nullptr, script({ "sleep:60000" }));
    ASSERT_TRUE(wrapper->startProcess());
    pid_t pid = wrapper->task()->processIdentifier();
    wrapper.reset();
    runUntil([&] { return ::kill(pid, 0) != 0; });
    EXPECT_EQ(test::openDescriptorCount(), descriptors);
    EXPECT_EQ(test::childProcesses(), children) << "a child left unreaped";
}
