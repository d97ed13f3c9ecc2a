#include "Display.h"
#include "Task.h"
#include "TestSupport.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::string alertMessage = "Unable to locate the X11 application.";
const std::string alertInformative
    = "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?";

struct Child {
    std::string name;
    std::string role;
    int x { 0 };
    int y { 0 };
    int width { 0 };
    int height { 0 };
};

struct DialogTree {
    std::string name;
    std::map<std::string, std::vector<Child>> byRole;
};

// Reads `xwininfo -tree`: the window's own name and, by WM_CLASS instance, its
// children's names, sizes and absolute positions.
DialogTree parseTree(const std::string& text)
{
    DialogTree tree;
    static const std::regex title { R"re(xwininfo: Window id: 0x[0-9a-f]+ "(.*)")re" };
    static const std::regex child {
        R"re(^\s+0x[0-9a-f]+ "(.*)": \("([^"]*)" "ZelvantAlert"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))re"
    };
    std::istringstream lines { text };
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, title))
            tree.name = match[1];
        else if (std::regex_search(line, match, child))
            tree.byRole[match[2]].push_back({ match[1], match[2], std::stoi(match[5]), std::stoi(match[6]),
                std::stoi(match[3]), std::stoi(match[4]) });
    }
    return tree;
}

// The launcher with no X11 to be found: the folder it searches holds only a
// file of that name, which is no application.
struct AlertDialogFixture : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home";

    void SetUp() override
    {
        test::makeDirectories(home);
        test::writeFile(scratch / "Applications/X11.app", "");
    }

    std::map<std::string, std::string> environment()
    {
        auto environment = test::minimalEnvironment(home);
        environment["ZELVANT_APPLICATION_PATH"] = scratch / "Applications";
        environment["ZELVANT_OPEN_TOOL"] = test::buildDirectory() + "/bin/zelvant-open";
        return environment;
    }

    bool homeIsEmpty() { return std::filesystem::is_empty(home); }
};

// The same launcher in the background on an Xvfb, its standard error kept in
// a file, and its dialog's top-level window found.
struct AlertDialogOnXvfb : AlertDialogFixture {
    std::string xdotool;
    std::string xwininfo;
    std::unique_ptr<platform::VirtualDisplay> server;
    platform::Task launcher;
    std::string window;

    void SetUp() override
    {
        AlertDialogFixture::SetUp();
        if (!test::programOnPath("Xvfb"))
            GTEST_SKIP() << "Xvfb is not installed";
        xdotool = test::programOnPath("xdotool").value_or("");
        xwininfo = test::programOnPath("xwininfo").value_or("");
        ASSERT_FALSE(xdotool.empty() || xwininfo.empty()) << "xdotool and xwininfo (x11-utils) are needed with Xvfb";
        auto started = platform::VirtualDisplay::start();
        ASSERT_TRUE(started) << started.error().message();
        server = std::move(*started);

        auto environment = this->environment();
        environment["DISPLAY"] = server->name();
        platform::ScopedFD error { ::open(
            (scratch / "launcher-errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) };
        platform::ScopedFD input { ::open("/dev/null", O_RDONLY | O_CLOEXEC) };
        launcher.setLaunchPath(test::launcherPath());
        launcher.setEnvironment(environment);
        launcher.setStandardInput(input.get());
        launcher.setStandardOutput(error.get());
        launcher.setStandardError(error.get());
        ASSERT_TRUE(launcher.launch().ok());
        for (auto deadline = std::chrono::steady_clock::now() + 20s;
             window.empty() && launcher.isRunning() && std::chrono::steady_clock::now() < deadline;) {
            auto found = x(xdotool, { "search", "--pid", std::to_string(launcher.processIdentifier()) });
            window = found.status == 0 ? found.output.substr(0, found.output.find('\n')) : "";
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_FALSE(window.empty()) << "no dialog window appeared; launcher said: " << errorOutput();
    }

    void TearDown() override
    {
        if (launcher.hasLaunched() && launcher.isRunning()) {
            launcher.kill();
            launcher.waitUntilExit();
        }
    }

    test::ProcessResult x(const std::string& tool, std::vector<std::string> arguments)
    {
        return test::runProgram(tool,
            { .arguments = std::move(arguments),
                .environment = std::map<std::string, std::string> { { "DISPLAY", server->name() } } });
    }

    // The launcher's exit status once it has ended, or none when it still runs after a while.
    std::optional<int> waitForExit()
    {
        if (!test::eventually([&] { return !launcher.isRunning(); }))
            return std::nullopt;
        return launcher.terminatedBySignal() ? 128 + launcher.terminationStatus() : launcher.terminationStatus();
    }

    std::string errorOutput() { return test::readFile(scratch / "launcher-errors"); }
};

}

TEST_F(AlertDialogOnXvfb, DialogUnderAnXServerShowsTheTextsAndEndsWithItsOneButton)
{
    auto info = x(xwininfo, { "-tree", "-id", window });
    ASSERT_EQ(info.status, 0) << info.error;
    auto [title, byRole] = parseTree(info.output);
    EXPECT_EQ(title, alertMessage);
    ASSERT_EQ(byRole["message"].size(), 1u) << info.output;
    EXPECT_EQ(byRole["message"][0].name, alertMessage);
    ASSERT_EQ(byRole["informative"].size(), 1u) << info.output;
    EXPECT_EQ(byRole["informative"][0].name, alertInformative);
    ASSERT_EQ(byRole["icon"].size(), 1u) << info.output;
    EXPECT_EQ(byRole["icon"][0].name, "critical");
    ASSERT_EQ(byRole["button"].size(), 1u) << "exactly one button: " << info.output;
    const Child& button = byRole["button"][0];
    EXPECT_EQ(button.name, "Okay");

    // Modal: nothing goes on until the button is pressed.
    EXPECT_TRUE(launcher.isRunning());
    EXPECT_TRUE(homeIsEmpty());

    auto click = x(xdotool,
        { "mousemove", std::to_string(button.x + button.width / 2), std::to_string(button.y + button.height / 2),
            "click", "1" });
    EXPECT_EQ(click.status, 0) << click.error;
    auto status = waitForExit();
    ASSERT_TRUE(status) << "the launcher did not end after the button was pressed";
    EXPECT_NE(*status, 0);
    EXPECT_TRUE(homeIsEmpty());
}

TEST_F(AlertDialogOnXvfb, LosingTheDisplayWhileTheDialogIsUpStillTellsTheUser)
{
    server.reset();
    auto status = waitForExit();
    ASSERT_TRUE(status) << "the launcher hung on a lost display";
    std::string errors = errorOutput();
    EXPECT_NE(*status, 0) << errors;
    EXPECT_NE(errors.find(alertMessage), std::string::npos) << errors;
    EXPECT_NE(errors.find(alertInformative), std::string::npos) << errors;
    EXPECT_TRUE(homeIsEmpty());
}

TEST_F(AlertDialogFixture, UnreachableOrNonXDisplayFallsBackToStandardError)
{
    const std::pair<const char*, const char*> displays[] = {
        { "DISPLAY", ":65000" },
        { "DISPLAY", "not a display" },
        { "WAYLAND_DISPLAY", "wayland-0" },
    };
    for (const auto& [variable, value] : displays) {
        auto environment = this->environment();
        environment[variable] = value;
        auto result = test::runProgram(test::launcherPath(), { .environment = environment, .timeoutSeconds = 30 });
        EXPECT_NE(result.status, 0) << variable << "=" << value;
        EXPECT_NE(result.error.find(alertMessage), std::string::npos)
            << variable << "=" << value << ": " << result.error;
        EXPECT_NE(result.error.find(alertInformative), std::string::npos)
            << variable << "=" << value << ": " << result.error;
    }
    EXPECT_TRUE(homeIsEmpty());
}
