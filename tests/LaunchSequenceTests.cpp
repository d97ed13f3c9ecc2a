#include "Application.h"
#include "MyApplicationDelegate.h"
#include "Task.h"
#include "TestSupport.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string alertMessage = "Unable to locate the X11 application.";
const std::string alertInformative = "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?";

// Waits for a file another process writes, so a lost write fails instead of hanging.
std::string waitForFile(const std::string& path, std::chrono::milliseconds limit = 10s)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (test::exists(path)) {
            std::this_thread::sleep_for(50ms);
            return test::readFile(path);
        }
        std::this_thread::sleep_for(10ms);
    }
    return {};
}

struct LaunchFixture : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home";
    std::string applications = scratch / "Applications";
    std::string record = scratch / "x11-record";

    void SetUp() override
    {
        test::makeDirectories(home + "/Library/Application Support");
        test::makeDirectories(applications);
    }

    std::map<std::string, std::string> environment()
    {
        auto environment = test::minimalEnvironment(home);
        environment["ZELVANT_APPLICATION_PATH"] = applications;
        environment["ZELVANT_TEST_RECORD"] = record;
        environment["ZELVANT_OPEN_TOOL"] = test::buildDirectory() + "/bin/zelvant-open";
        environment["LANG"] = "C";
        return environment;
    }
};

}

TEST_F(LaunchFixture, MissingX11ShowsTheAlertAndTouchesNothing)
{
    auto result = test::runProgram(test::launcherPath(), { .environment = environment() });
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.error.find(alertMessage), std::string::npos) << result.error;
    EXPECT_NE(result.error.find(alertInformative), std::string::npos) << result.error;
    EXPECT_TRUE(std::filesystem::is_empty(home + "/Library/Application Support"));
    EXPECT_FALSE(test::exists(record));
    EXPECT_EQ(result.error.find("Process started."), std::string::npos) << "the client must not run";
}

TEST_F(LaunchFixture, X11PresentGetsTheScriptPathThroughTheOpenTool)
{
    test::makeRecordingApplication(applications, "X11");
    auto result = test::runProgram(test::launcherPath(), { .environment = environment() });
    EXPECT_EQ(result.status, 0) << result.error;
    std::string script = home + "/Library/Application Support/Zelvant/" ZELVANT_TEST_VERSION "/run-zelvant.py";
    EXPECT_EQ(waitForFile(record), script + "\n");
    EXPECT_TRUE(test::exists(script));
}

TEST_F(LaunchFixture, LauncherCopiedIntoAnotherBundleRunsAgainstThatBundle)
{
    test::makeRecordingApplication(applications, "X11");
    std::string bundle = scratch / "Other.app";
    std::string client = test::makeLauncherBundle(bundle);
    std::filesystem::remove(client + "/bin/zelclient");
    test::writeFile(client + "/bin/zelclient", "#!/bin/sh\necho 'other client 4.5.6 build'\n", 0755);
    test::writeFile(bundle + "/Contents/Resources/run-zelvant-template.py", "[zelvantdir]\n");

    auto result = test::runProgram(bundle + "/Contents/MacOS/Zelvant", { .environment = environment() });
    EXPECT_EQ(result.status, 0) << result.error;
    std::string support = home + "/Library/Application Support/Zelvant/4.5.6";
    EXPECT_EQ(waitForFile(record), support + "/run-zelvant.py\n");
    EXPECT_EQ(test::readFile(support + "/run-zelvant.py"), client + "\n");
}

namespace {

struct TerminateRequested {
    int exitStatus;
};

// The delegate with the bundle and the hand-off replaced, run in-process.
class RecordingDelegate : public MyApplicationDelegate {
public:
    explicit RecordingDelegate(std::string bundle)
        : m_bundle(std::move(bundle))
    {
    }

    std::string handOffPath;
    std::vector<std::string> handOffArguments;

protected:
    std::string bundlePath() const override { return m_bundle; }
    void runHandOffTask(platform::Task& task) override
    {
        handOffPath = task.launchPath();
        handOffArguments = task.arguments();
    }

private:
    std::string m_bundle;
};

}

TEST_F(LaunchFixture, HandOffIsOpenWithExactlyThreeArguments)
{
    test::makeRecordingApplication(applications, "X11");
    std::string bundle = scratch / "Game.app";
    test::writeFile(bundle + "/Contents/Resources/zelvant-x.y.z/bin/zelclient", "#!/bin/sh\necho 'zelclient version 1.2.3 x'\n", 0755);

    setenv("ZELVANT_APPLICATION_PATH", applications.c_str(), 1);
    setenv("HOME", "/nonexistent/player", 1);
    auto& application = platform::Application::sharedApplication();
    application.setTerminateHandler([](int status) { throw TerminateRequested { status }; });
    RecordingDelegate delegate { bundle };
    try {
        delegate.applicationDidFinishLaunching();
        FAIL() << "the launch sequence must end by terminating";
    } catch (const TerminateRequested&) {
    }
    application.reset();
    unsetenv("ZELVANT_APPLICATION_PATH");

    EXPECT_EQ(delegate.zelvantDirPath(), bundle + "/Contents/Resources/zelvant-x.y.z");
    EXPECT_EQ(delegate.supportFilesDirPath(), "/nonexistent/player/Library/Application Support/Zelvant/1.2.3");
    EXPECT_EQ(delegate.handOffPath, "/usr/bin/open");
    EXPECT_EQ(delegate.handOffArguments,
        (std::vector<std::string> { "-a", "X11", "/nonexistent/player/Library/Application Support/Zelvant/1.2.3/run-zelvant.py" }));
}
