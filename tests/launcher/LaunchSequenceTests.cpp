#include "ScopedFD.h"
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>

namespace fs = std::filesystem;

namespace {

struct LaunchFixture : test::LaunchScratch {
    test::ProcessResult launchAs(const std::string& how, const std::string& launcher, const std::string& folder = {})
    {
        return test::runProgram(test::testBinaryPath(),
            { .arguments = { "--child=launch-as", how, launcher, folder }, .environment = environment() });
    }
};

}

TEST_F(LaunchFixture, HelpAndVersionAnswerOnStandardOutputAndLaunchNothing)
{
    std::string openTool = test::buildDirectory() + "/bin/zelvant-open", version = ZELVANT_TEST_VERSION "\n";
    const std::tuple<std::string, std::string, std::string> rows[] = {
        { test::launcherPath(), "--help", "usage: zelvant " },
        { test::launcherPath(), "-h", "usage: zelvant " },
        { test::launcherPath(), "--version", "zelvant " + version },
        { openTool, "--help", "usage: zelvant-open -a " },
        { openTool, "--version", "zelvant-open " + version },
    };
    for (const auto& [program, option, output] : rows) {
        auto result = test::runProgram(program, { .arguments = { option }, .environment = environment() });
        EXPECT_EQ(result.status, 0) << program << " " << option << ": " << result.error;
        EXPECT_EQ(result.output.substr(0, output.size()), output) << program << " " << option;
        EXPECT_EQ(result.error, "") << program << " " << option;
    }
    EXPECT_TRUE(fs::is_empty(home));
    EXPECT_FALSE(test::exists(record));
}

// No open tool, or one that dies (X11 failing: the open tool's tests): the
// failed step names the program that ran for /usr/bin/open.
TEST_F(LaunchFixture, AHandOffThatFailsIsAFailedStepTheUserIsToldOf)
{
    test::writeFile(scratch / "dies", "#!" + test::testBinaryPath() + " --child=die\n", 0755);
    for (const std::string& openTool : { scratch / "nowhere", scratch / "dies" }) {
        auto environment = this->environment();
        environment["ZELVANT_OPEN_TOOL"] = openTool;
        auto result = test::runProgram(test::launcherPath(), { .environment = environment });
        EXPECT_NE(result.status, 0) << openTool;
        EXPECT_NE(result.error.find("Unable to start the Zelvant client."), std::string::npos) << result.error;
        EXPECT_NE(result.error.find("hand-off to X11: open tool " + openTool + " "), std::string::npos) << result.error;
    }
}

TEST_F(LaunchFixture, FailuresAndAlertsAreLoggedAsErrorsTheClientsOutputAsNotices)
{
    std::string log = scratch / "log";
    sockaddr_un address { .sun_family = AF_UNIX, .sun_path = {} };
    ASSERT_LT(log.size(), sizeof address.sun_path);
    log.copy(address.sun_path, log.size());
    platform::ScopedFD socket { ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0) };
    ASSERT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    fs::remove(applications + "/X11.app/Contents/MacOS/X11"); // the hand-off fails after the probe
    auto result = launchAs("logged", test::launcherPath(), log);
    if (result.status == 77)
        GTEST_SKIP() << "needs root, for a mount namespace with a /dev/log of its own";
    EXPECT_NE(result.status, 0);
    std::string entries;
    char entry[4096];
    for (ssize_t length; (length = ::recv(socket.get(), entry, sizeof entry, 0)) > 0;)
        entries.append(entry, static_cast<size_t>(length)).append("\n");
    // <priority>: user facility (8) plus notice (5) or error (3); the process name and pid tag each entry.
    for (const char* expected : { R"(<13>[^\n]* Zelvant\[[0-9]+\]: Process started\.)",
             R"(<11>[^\n]* Zelvant\[[0-9]+\]: [^\n]*Unable to start the Zelvant client\.)" })
        EXPECT_TRUE(std::regex_search(entries, std::regex { expected })) << expected << " in\n" << entries;
}

// Too few descriptors, a closed standard error or no home end in a named
// failed step or a whole launch, never a crash.
TEST_F(LaunchFixture, OddEnvironmentsEndInANamedFailureOrAWholeLaunch)
{
    for (int limit = 4; limit <= 16 && !test::underSanitizers(); ++limit) { // their runtime needs descriptors
        auto result = launchAs("limit:" + std::to_string(limit), test::launcherPath());
        EXPECT_LT(result.status, 128) << limit << ": " << result.error; // ended, not killed
        EXPECT_TRUE(result.status == 0 || result.error.find("Zelvant: ") != std::string::npos) << limit;
    }
    EXPECT_EQ(launchAs("closed-stderr", test::launcherPath()).status, 0);
    // Without a passwd entry or HOME (77: no user namespace to run so).
    test::makeDirectories(scratch / "working");
    auto result = launchAs("no-user", test::launcherPath(), scratch / "working");
    EXPECT_TRUE(result.status == 77 || result.error.find("No home directory was found.") != std::string::npos)
        << result.status << ": " << result.error;
    EXPECT_TRUE(fs::is_empty(scratch / "working"));
}
