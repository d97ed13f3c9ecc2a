#include "Application.h"
#include "MyApplicationDelegate.h"
#include "TestSupport.h"

#include <cstdio>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The probe run in-process on a client script of the test binary's: the
// client follows $ZELVANT_TEST_STEPS (see "--child=script" in TaskWrapperTests).
struct ProbeFixture : ::testing::Test {
    struct Probe : MyApplicationDelegate {
        using MyApplicationDelegate::m_probeTerminationGrace;
        using MyApplicationDelegate::m_probeTimeLimit;
    } delegate;
    test::TemporaryDirectory scratch;
    std::string client = scratch / "zelclient";
    test::ScopedEnvironment noDisplay { "DISPLAY", std::nullopt }; // alerts go to standard error
    std::string log; // standard error of the last probe

    void SetUp() override { test::writeFile(client, "#!" + test::testBinaryPath() + " --child=script\n", 0755); }
    void TearDown() override { platform::Application::sharedApplication().reset(); }

    // The version, or the reason the probe gave for refusing the client.
    std::string probe(const std::string& steps)
    {
        test::ScopedEnvironment script { "ZELVANT_TEST_STEPS", steps };
        testing::internal::CaptureStderr();
        auto version = delegate.determineVersionOfZelclientAt(client);
        std::string error = log = testing::internal::GetCapturedStderr();
        size_t reason = error.find(client + ": ");
        EXPECT_EQ(version.has_value(), reason == std::string::npos) << error;
        if (version || reason == std::string::npos)
            return version.value_or(error);
        reason += client.size() + 2;
        return error.substr(reason, error.find('\n', reason) - reason);
    }
};

std::string out(std::string_view text) { return "o:" + test::toHex(text); }

// "--child=peak-rss PROGRAM": runs PROGRAM and prints its peak RSS in KiB on
// a line of its own; exits with its status. Started from this small fresh
// process, whose memory an exec counts into the peak, not the test's.
int peakRSS(int, char** argv)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[2], argv + 2);
        ::_exit(127);
    }
    int status = 0;
    rusage usage {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return 120;
    std::printf("\n%ld", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 121;
}
const bool peakRSSRegistered = (test::registerChildBehaviour("peak-rss", peakRSS), true);

}

TEST_F(ProbeFixture, VersionIsTheThirdSpaceSeparatedFieldWhenItCanNameADirectory)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        { { out("zelclient version "), "args" }, "-v" }, // exactly one argument
        { { out("zelclient  2.0 x") }, "2.0" }, // two spaces: the second word
        { { out("zelclient "), "e:" + test::toHex("version 7.7.7 x") }, "7.7.7" }, // standard error counts
        { { out("a b \xC3\xA9t\xFF") }, "\xC3\xA9t\xEF\xBF\xBD" },
        { { out("one two") }, "gave no usable version" },
        { { out("a b ") }, "gave no usable version" },
        { { out("a b .9") }, "gave no usable version" }, // hidden
        { { out("a b x/y") }, "gave no usable version" },
        { { out(std::string("a b c\0d", 7)) }, "gave no usable version" },
        { { out("a b " + std::string(256, 'x')) }, "gave no usable version" },
        { { out("zelclient version 1.2"), "kill" }, "was ended by signal 9 (Killed)" },
    };
    for (const auto& [steps, expected] : cases) {
        std::string joined;
        for (const auto& step : steps)
            joined += step + " ";
        EXPECT_TRUE(probe(joined).starts_with(expected)) << joined;
    }
    // The line break stays; the controller logs each chunk as one entry, literally.
    EXPECT_EQ(probe(out("a b 1%s\n%n")), "1%s\n%n");
    EXPECT_THAT(log, testing::ContainsRegex("] Process started\\.\n.*] a b 1%s\n%n\n.*] Process finished\\.\n"));
    std::filesystem::remove(client);
    EXPECT_TRUE(probe("").starts_with("could not be started")) << "a missing client";
}

TEST_F(ProbeFixture, ClientEndedByTheWrapperAfterItsOutputEndedIsAcceptedOneThatHangsIsNot)
{
    // The wrapper asks a child whose output has ended to terminate, and kills it when it ignores that: neither is
    // a crash. Each closes its output the moment its version is out (the kill runs once: it waits out a grace).
    const std::string version = out("zelclient version 1.2.3");
    EXPECT_EQ(probe(version + " close sleep:30000"), "1.2.3");
    EXPECT_EQ(probe("ignore-term " + version + " close sleep:30000"), "1.2.3");
    for (int run = 0; run < (test::underSanitizers() ? 20 : 200); ++run)
        ASSERT_EQ(probe(version + " close"), "1.2.3") << "exits as it is asked to end, run " << run;
    // One that hangs with its output open is stopped after the limit; it ignores the request, so it is killed.
    delegate.m_probeTimeLimit = delegate.m_probeTerminationGrace = 300ms;
    EXPECT_EQ(probe("ignore-term " + version + " sleep:60000"), "did not finish within 300 ms and was stopped");
}

// A client that writes 200 MB after its version: the launch goes on, and the
// launcher's memory does not grow with the output.
using ChattyClient = test::LaunchScratch;
TEST_F(ChattyClient, IsDrainedWithinBoundedMemory)
{
    std::string bundle = scratch / "Game.app", client = test::makeLauncherBundle(bundle);
    test::writeFile(client + "/../run-zelvant-template.py", "#!/usr/bin/python3\n", 0755);
    std::filesystem::remove(client + "/bin/zelclient");
    // A tiny client: the peak is of the launcher and the children it reaps.
    test::writeFile(client + "/bin/zelclient",
        "#!/bin/sh\necho 'zelclient version 1.0 '\nexec head -c 200000000 /dev/zero\n", 0755);
    auto result = test::runProgram(test::testBinaryPath(),
        { .arguments = { "--child=peak-rss", bundle + "/Contents/MacOS/Zelvant" }, .environment = environment() });
    EXPECT_EQ(result.status, 0) << result.error;
    EXPECT_TRUE(test::exists(test::supportDirectory(home, "1.0") + "/run-zelvant.py"));
    std::string peak = result.output.substr(result.output.rfind('\n') + 1);
    EXPECT_TRUE(test::underSanitizers() || std::stol("0" + peak) <= 16L * 1024) << peak << " KiB";
}
