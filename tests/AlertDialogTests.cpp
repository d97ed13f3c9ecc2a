#include "Display.h"
#include "Task.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

namespace {

const std::string alertMessage = "Unable to locate the X11 application.";
const std::string alertInformative
    = "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?";

// The launcher in the background on an Xvfb, with no X11 to be found (the
// folder it searches holds only a file of that name), its standard error
// kept in a file, and its dialog's top-level window found.
struct AlertDialogOnXvfb : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home";
    std::unique_ptr<platform::VirtualDisplay> server;
    platform::Task launcher;
    std::string window;

    void SetUp() override
    {
        if (!test::programOnPath("Xvfb"))
            GTEST_SKIP() << "Xvfb is not installed";
        ASSERT_TRUE(test::programOnPath("xdotool") && test::programOnPath("xwininfo")) << "needs xdotool, x11-utils";
        test::makeDirectories(home);
        test::writeFile(scratch / "Applications/X11.app", "");
        auto started = platform::VirtualDisplay::start();
        ASSERT_TRUE(started) << started.error().message();
        server = std::move(*started);
        platform::ScopedFD error { ::open(
            (scratch / "launcher-errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) };
        platform::ScopedFD input { ::open("/dev/null", O_RDONLY | O_CLOEXEC) };
        launcher.setLaunchPath(test::launcherPath());
        launcher.setEnvironment(environment(server->name()));
        launcher.setStandardInput(input.get());
        launcher.setStandardOutput(error.get());
        launcher.setStandardError(error.get());
        ASSERT_TRUE(launcher.launch().ok());
        test::eventually([&] {
            auto found = x("xdotool", { "search", "--pid", std::to_string(launcher.processIdentifier()) });
            window = found.status == 0 ? found.output.substr(0, found.output.find('\n')) : "";
            return !window.empty() || !launcher.isRunning();
        });
        ASSERT_FALSE(window.empty()) << "no dialog window appeared; launcher said: " << errorOutput();
    }
    void TearDown() override
    {
        if (launcher.hasLaunched() && launcher.isRunning()) {
            launcher.kill();
            launcher.waitUntilExit();
        }
    }

    std::map<std::string, std::string> environment(const std::string& display)
    {
        auto environment = test::minimalEnvironment(home);
        environment["ZELVANT_APPLICATION_PATH"] = scratch / "Applications";
        environment["DISPLAY"] = display;
        return environment;
    }
    test::ProcessResult x(const std::string& tool, std::vector<std::string> arguments)
    {
        return test::runProgram(test::programOnPath(tool).value_or(tool),
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
    bool homeIsEmpty() { return std::filesystem::is_empty(home); }
};

}

// The dialog's tree, read with xwininfo: its title, each child's WM_CLASS
// instance (its role) and name, and where the button lies on the screen.
TEST_F(AlertDialogOnXvfb, DialogUnderAnXServerShowsTheTextsAndEndsWithItsOneButton)
{
    auto info = x("xwininfo", { "-tree", "-id", window });
    ASSERT_EQ(info.status, 0) << info.error;
    EXPECT_NE(info.output.find(" \"" + alertMessage + "\"\n"), std::string::npos) << "the title: " << info.output;
    static const std::regex child { R"re("(.*)": \("([^"]*)" "Zelvant"\)\s+(\d+)x(\d+)\S*\s+\+(-?\d+)\+(-?\d+))re" };
    std::multimap<std::string, std::string> children;
    std::string clickX, clickY;
    for (std::sregex_iterator match { info.output.begin(), info.output.end(), child }, end; match != end; ++match) {
        children.emplace((*match)[2], (*match)[1]);
        if ((*match)[2] == "button") {
            clickX = std::to_string(std::stoi((*match)[5]) + std::stoi((*match)[3]) / 2);
            clickY = std::to_string(std::stoi((*match)[6]) + std::stoi((*match)[4]) / 2);
        }
    }
    EXPECT_EQ(children,
        (std::multimap<std::string, std::string> { { "icon", "critical" }, { "message", alertMessage },
            { "informative", alertInformative }, { "button", "Okay" } }))
        << info.output;

    // Modal: nothing goes on until the button is pressed.
    EXPECT_TRUE(launcher.isRunning());
    EXPECT_TRUE(homeIsEmpty());
    auto click = x("xdotool", { "mousemove", clickX, clickY, "click", "1" });
    EXPECT_EQ(click.status, 0) << click.error;
    auto status = waitForExit();
    ASSERT_TRUE(status) << "the launcher did not end after the button was pressed";
    EXPECT_NE(*status, 0);
    EXPECT_TRUE(homeIsEmpty());
}

// A display gone while the dialog is up, or unreachable from the start,
// still has the texts told on standard error.
TEST_F(AlertDialogOnXvfb, LostOrUnreachableDisplayStillTellsTheUser)
{
    std::string display = server->name();
    server.reset();
    auto status = waitForExit();
    ASSERT_TRUE(status) << "the launcher hung on a lost display";
    auto again = test::runProgram(test::launcherPath(), { .environment = environment(display), .timeoutSeconds = 30 });
    for (const auto& [exitStatus, errors] :
        { std::pair { *status, errorOutput() }, std::pair { again.status, again.error } }) {
        EXPECT_NE(exitStatus, 0) << errors;
        EXPECT_NE(errors.find(alertMessage), std::string::npos) << errors;
        EXPECT_NE(errors.find(alertInformative), std::string::npos) << errors;
    }
    EXPECT_TRUE(homeIsEmpty());
}
