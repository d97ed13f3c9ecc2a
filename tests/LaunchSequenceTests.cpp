#include "Application.h"
#include "MyApplicationDelegate.h"
#include "Task.h"
#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

struct LaunchFixture : test::LaunchScratch {
    std::string supportParent = home + "/Library/Application Support";
    void SetUp() override { test::makeDirectories(supportParent); }
};

}

TEST_F(LaunchFixture, MissingX11ShowsTheAlertAndTouchesNothingThenX11GetsTheScript)
{
    std::filesystem::remove_all(applications + "/X11.app");
    auto result = launch(test::launcherPath());
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.error.find("Unable to locate the X11 application."), std::string::npos) << result.error;
    EXPECT_NE(
        result.error.find(
            "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?"),
        std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(supportParent));
    EXPECT_FALSE(test::exists(record));
    EXPECT_EQ(result.error.find("Process started."), std::string::npos) << "the client must not run";

    test::makeRecordingApplication(applications, "X11");
    result = launch(test::launcherPath());
    EXPECT_EQ(result.status, 0) << result.error;
    std::string script = test::supportDirectory(home) + "/run-zelvant.py";
    EXPECT_EQ(handedOff(), script + "\n");
    EXPECT_TRUE(test::exists(script));
}

namespace {

struct TerminateRequested { };

// The delegate with the bundle and the hand-off replaced, run in-process.
struct RecordingDelegate : MyApplicationDelegate {
    std::string bundle;
    std::vector<std::string> handOff;

    std::string bundlePath() const override { return bundle; }
    void runHandOffTask(platform::Task& task) override
    {
        handOff = task.arguments();
        handOff.insert(handOff.begin(), task.launchPath());
    }
};

}

TEST_F(LaunchFixture, HandOffIsOpenWithExactlyThreeArguments)
{
    std::string bundle = scratch / "Game.app";
    test::writeFile(bundle + "/Contents/Resources/zelvant-x.y.z/bin/zelclient",
        "#!/bin/sh\necho 'zelclient version 1.2.3 x'\n", 0755);

    std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("ZELVANT_APPLICATION_PATH", applications.c_str(), 1);
    setenv("HOME", "/nonexistent/player", 1);
    auto& application = platform::Application::sharedApplication();
    application.setTerminateHandler([](int) { throw TerminateRequested {}; });
    RecordingDelegate delegate;
    delegate.bundle = bundle;
    EXPECT_THROW(delegate.applicationDidFinishLaunching(), TerminateRequested)
        << "the launch sequence must end by terminating";
    application.reset();
    unsetenv("ZELVANT_APPLICATION_PATH");
    setenv("HOME", savedHome.c_str(), 1);

    std::string support = "/nonexistent/player/Library/Application Support/Zelvant/1.2.3";
    EXPECT_EQ(delegate.zelvantDirPath(), bundle + "/Contents/Resources/zelvant-x.y.z");
    EXPECT_EQ(delegate.supportFilesDirPath(), support);
    EXPECT_EQ(
        delegate.handOff, (std::vector<std::string> { "/usr/bin/open", "-a", "X11", support + "/run-zelvant.py" }));
}
