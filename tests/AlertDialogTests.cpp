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
const std::string alertInformative = "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?";

// The launcher running in the background, its standard error kept in a file.
class BackgroundLauncher {
public:
    BackgroundLauncher(const std::map<std::string, std::string>& environment, const std::string& errorFile)
        : m_errorFile(errorFile)
    {
        platform::ScopedFD error { ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) };
        platform::ScopedFD input { ::open("/dev/null", O_RDONLY | O_CLOEXEC) };
        m_task.setLaunchPath(test::launcherPath());
        m_task.setEnvironment(environment);
        m_task.setStandardInput(input.get());
        m_task.setStandardOutput(error.get());
        m_task.setStandardError(error.get());
        m_launched = m_task.launch().ok();
    }
    ~BackgroundLauncher()
    {
        if (m_launched && m_task.isRunning()) {
            ::kill(m_task.processIdentifier(), SIGKILL);
            m_task.waitUntilExit();
        }
    }

    bool launched() const { return m_launched; }
    pid_t pid() const { return m_task.processIdentifier(); }
    bool isRunning() { return m_task.isRunning(); }
    // The exit status once it has ended, or none when it is still running at the deadline.
    std::optional<int> waitForExit(std::chrono::seconds limit)
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_task.isRunning()) {
            if (std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            std::this_thread::sleep_for(20ms);
        }
        return m_task.terminatedBySignal() ? 128 + m_task.terminationStatus() : m_task.terminationStatus();
    }
    std::string errorOutput() const { return test::readFile(m_errorFile); }

private:
    platform::Task m_task;
    std::string m_errorFile;
    bool m_launched { false };
};

struct Child {
    std::string id;
    std::string name;
    std::string role;
    int x { 0 };
    int y { 0 };
    int width { 0 };
    int height { 0 };
};

struct DialogTree {
    std::string name;
    std::vector<Child> children;
};

// Reads `xwininfo -tree`: the window's own name and, for each child, its id,
// name, WM_CLASS instance, size and absolute position.
DialogTree parseTree(const std::string& text)
{
    DialogTree tree;
    static const std::regex title { R"re(xwininfo: Window id: 0x[0-9a-f]+ "(.*)")re" };
    static const std::regex child { R"re(^\s+(0x[0-9a-f]+) "(.*)": \("([^"]*)" "ZelvantAlert"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))re" };
    std::istringstream lines { text };
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, title))
            tree.name = match[1];
        else if (std::regex_search(line, match, child))
            tree.children.push_back({ match[1], match[2], match[3], std::stoi(match[6]), std::stoi(match[7]), std::stoi(match[4]), std::stoi(match[5]) });
    }
    return tree;
}

struct AlertDialogFixture : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home";
    std::string emptyApplications = scratch / "Applications";

    void SetUp() override
    {
        test::makeDirectories(home);
        test::makeDirectories(emptyApplications);
    }

    std::map<std::string, std::string> environment()
    {
        auto environment = test::minimalEnvironment(home);
        environment["ZELVANT_APPLICATION_PATH"] = emptyApplications;
        environment["ZELVANT_OPEN_TOOL"] = test::buildDirectory() + "/bin/zelvant-open";
        return environment;
    }

    bool homeIsEmpty() { return std::filesystem::is_empty(home); }
};

struct XTools {
    std::string xdotool;
    std::string xwininfo;
};

// The dialog's top-level window, looked for until the deadline.
std::string findDialog(const XTools& tools, const std::string& display, BackgroundLauncher& launcher)
{
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline && launcher.isRunning()) {
        auto found = test::runProgram(tools.xdotool, { .arguments = { "search", "--pid", std::to_string(launcher.pid()) }, .environment = std::map<std::string, std::string> { { "DISPLAY", display } } });
        if (found.status == 0 && !found.output.empty())
            return found.output.substr(0, found.output.find('\n'));
        std::this_thread::sleep_for(50ms);
    }
    return {};
}

}

TEST_F(AlertDialogFixture, DialogUnderAnXServerShowsTheTextsAndEndsWithItsOneButton)
{
    if (!test::programOnPath("Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed";
    auto xdotool = test::programOnPath("xdotool");
    auto xwininfo = test::programOnPath("xwininfo");
    ASSERT_TRUE(xdotool && xwininfo) << "xdotool and xwininfo (x11-utils) are needed with Xvfb";
    XTools tools { *xdotool, *xwininfo };

    auto server = platform::VirtualDisplay::start();
    ASSERT_TRUE(server) << server.error().message();
    std::string display = (*server)->name();
    auto environment = this->environment();
    environment["DISPLAY"] = display;

    BackgroundLauncher launcher { environment, scratch / "launcher-errors" };
    ASSERT_TRUE(launcher.launched());
    std::string window = findDialog(tools, display, launcher);
    ASSERT_FALSE(window.empty()) << "no dialog window appeared; launcher said: " << launcher.errorOutput();

    auto info = test::runProgram(tools.xwininfo, { .arguments = { "-tree", "-id", window }, .environment = std::map<std::string, std::string> { { "DISPLAY", display } } });
    ASSERT_EQ(info.status, 0) << info.error;
    DialogTree tree = parseTree(info.output);
    EXPECT_EQ(tree.name, alertMessage);
    std::map<std::string, std::vector<Child>> byRole;
    for (const auto& child : tree.children)
        byRole[child.role].push_back(child);
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

    std::string centreX = std::to_string(button.x + button.width / 2);
    std::string centreY = std::to_string(button.y + button.height / 2);
    auto click = test::runProgram(tools.xdotool, { .arguments = { "mousemove", centreX, centreY, "click", "1" }, .environment = std::map<std::string, std::string> { { "DISPLAY", display } } });
    EXPECT_EQ(click.status, 0) << click.error;
    auto status = launcher.waitForExit(20s);
    ASSERT_TRUE(status) << "the launcher did not end after the button was pressed";
    EXPECT_NE(*status, 0);
    EXPECT_TRUE(homeIsEmpty());
}

TEST_F(AlertDialogFixture, LosingTheDisplayWhileTheDialogIsUpStillTellsTheUser)
{
    if (!test::programOnPath("Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed";
    auto xdotool = test::programOnPath("xdotool");
    ASSERT_TRUE(xdotool) << "xdotool is needed with Xvfb";

    auto server = platform::VirtualDisplay::start();
    ASSERT_TRUE(server) << server.error().message();
    std::string display = (*server)->name();
    auto environment = this->environment();
    environment["DISPLAY"] = display;
    BackgroundLauncher launcher { environment, scratch / "launcher-errors" };
    ASSERT_TRUE(launcher.launched());
    ASSERT_FALSE(findDialog({ *xdotool, {} }, display, launcher).empty()) << launcher.errorOutput();

    server->reset();
    auto status = launcher.waitForExit(20s);
    ASSERT_TRUE(status) << "the launcher hung on a lost display";
    EXPECT_NE(*status, 0) << launcher.errorOutput();
    std::string errors = launcher.errorOutput();
    EXPECT_NE(errors.find(alertMessage), std::string::npos) << *status << errors;
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
        EXPECT_NE(result.error.find(alertMessage), std::string::npos) << variable << "=" << value << ": " << result.error;
        EXPECT_NE(result.error.find(alertInformative), std::string::npos) << variable << "=" << value << ": " << result.error;
    }
    EXPECT_TRUE(homeIsEmpty());
}
