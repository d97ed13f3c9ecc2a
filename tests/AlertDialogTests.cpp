#include "Display.h"
#include "Task.h"
#include "TestSupport.h"
#include "UnicodeText.h"
#include "posix/AlertText.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sysexits.h>

namespace {

const std::string alertMessage = "Unable to locate the X11 application.";
const std::string alertInformative
    = "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?";

// The launcher in the background on an Xvfb, by default with no X11 to be
// found (the folder it searches holds only a file of that name), its standard
// error kept in a file, and its dialog's top-level window found.
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
        test::writeFile(scratch / "Applications/X11.app", "");
    }
    void startServer(const std::vector<std::string>& arguments = {})
    {
        auto started = platform::VirtualDisplay::start(platform::DisplayAccess::Open, arguments);
        ASSERT_TRUE(started) << started.error().message();
        server = std::move(*started);
    }
    void launch(const std::map<std::string, std::string>& extraEnvironment = {})
    {
        if (!server) {
            ASSERT_NO_FATAL_FAILURE(startServer());
        }
        test::makeDirectories(home);
        platform::ScopedFD error { ::open(
            (scratch / "launcher-errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) };
        platform::ScopedFD input { ::open("/dev/null", O_RDONLY | O_CLOEXEC) };
        auto environment = this->environment(server->name());
        environment.insert(extraEnvironment.begin(), extraEnvironment.end());
        launcher.setLaunchPath(test::launcherPath());
        launcher.setEnvironment(environment);
        launcher.setStandardInput(input.get());
        launcher.setStandardOutput(error.get());
        launcher.setStandardError(error.get());
        ASSERT_TRUE(launcher.launch().ok());
        test::eventually([&] {
            auto found = x("xdotool", { "search", "--pid", std::to_string(launcher.processIdentifier()) }, false);
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
    // A tool run against the server, in a locale that shows any window name.
    test::ProcessResult x(const std::string& tool, std::vector<std::string> arguments, bool mustSucceed = true)
    {
        auto result = test::runProgram(test::programOnPath(tool).value_or(tool),
            { .arguments = std::move(arguments),
                .environment
                = std::map<std::string, std::string> { { "DISPLAY", server->name() }, { "LC_ALL", "C.UTF-8" } } });
        EXPECT_TRUE(result.status == 0 || !mustSucceed) << tool << ": " << result.error;
        return result;
    }
    // A key typed once the dialog has the focus (it takes it when mapped)
    // ends the launcher with the alert's status.
    void expectKeyEndsIt(const std::string& key)
    {
        EXPECT_TRUE(test::eventually([&] { return x("xdotool", { "getwindowfocus" }).output == window + "\n"; }))
            << "the dialog did not take the focus";
        x("xdotool", { "key", key });
        EXPECT_EQ(waitForExit(), std::optional<int> { EX_UNAVAILABLE }) << key << ": " << errorOutput();
    }
    // The first number after label in text.
    static int numberAfter(const std::string& text, const std::string& label)
    {
        size_t at = text.find(label);
        return at == std::string::npos ? -1 : std::stoi(text.substr(at + label.size()));
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
// instance (its role) and name, and where the button lies on the screen;
// and what it tells the window manager, read with xprop.
TEST_F(AlertDialogOnXvfb, DialogUnderAnXServerShowsTheTextsAndEndsWithItsOneButton)
{
    ASSERT_NO_FATAL_FAILURE(launch());
    auto info = x("xwininfo", { "-tree", "-id", window });
    EXPECT_NE(info.output.find(" \"Zelvant\"\n"), std::string::npos) << "the title: " << info.output;
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
    auto properties = x("xprop", { "-id", window }).output;
    for (const std::string& line :
        std::vector<std::string> { "_NET_WM_STATE(ATOM) = _NET_WM_STATE_ABOVE, _NET_WM_STATE_MODAL\n",
            "_NET_WM_PID(CARDINAL) = " + std::to_string(launcher.processIdentifier()) + "\n",
            "_NET_WM_ICON(CARDINAL) = \tIcon (64 x 64):\n", "WM_CLIENT_MACHINE(STRING) = \"" })
        EXPECT_NE(properties.find(line), std::string::npos) << line << properties;

    // Modal: nothing goes on until the button is pressed.
    EXPECT_TRUE(launcher.isRunning());
    EXPECT_TRUE(homeIsEmpty());
    x("xdotool", { "mousemove", clickX, clickY, "click", "1" });
    auto status = waitForExit();
    ASSERT_TRUE(status) << "the launcher did not end after the button was pressed";
    EXPECT_EQ(*status, EX_UNAVAILABLE) << errorOutput(); // and no leak found by a sanitizer
    EXPECT_TRUE(homeIsEmpty());
}

// Two monitors side by side (RandR's, which the server's Xinerama reports
// too) and the pointer on the right one: the dialog lies wholly inside that
// one, not across the seam, at twice its size for Xft.dpi 192. Keypad Enter
// presses its button.
TEST_F(AlertDialogOnXvfb, DialogGoesOnTheMonitorWithThePointerAtTheDisplaysScale)
{
    ASSERT_TRUE(test::programOnPath("xrandr")) << "needs x11-xserver-utils";
    ASSERT_NO_FATAL_FAILURE(startServer({ "-screen", "0", "2048x768x24" }));
    x("xrandr", { "--setmonitor", "left", "1024/270x768/200+0+0", "screen" });
    x("xrandr", { "--setmonitor", "right", "1024/270x768/200+1024+0", "none" });
    x("xprop", { "-root", "-f", "RESOURCE_MANAGER", "8s", "-set", "RESOURCE_MANAGER", "Xft.dpi:\t192\n" });
    x("xdotool", { "mousemove", "1500", "300" });
    ASSERT_NO_FATAL_FAILURE(launch());
    auto geometry = x("xwininfo", { "-id", window }).output;
    int left = numberAfter(geometry, "Absolute upper-left X:"), width = numberAfter(geometry, "Width:");
    EXPECT_EQ(width, 2 * 460) << geometry;
    EXPECT_GE(left, 1024) << geometry;
    EXPECT_LE(left + width + 2, 2048) << geometry;
    expectKeyEndsIt("KP_Enter");
}

// A home in Japanese with an emoji in it, shown in the hand-off alert's
// informative text: the apple is drawn from the colour font fontconfig falls
// back to, so the text has coloured pixels; a missing glyph's box would not.
// Space presses its button.
TEST_F(AlertDialogOnXvfb, PathsInAnyScriptRenderAsGlyphs)
{
    home = scratch / "ホーム 🍎";
    std::filesystem::remove(scratch / "Applications/X11.app");
    test::makeRecordingApplication(scratch / "Applications", "X11");
    ASSERT_NO_FATAL_FAILURE(launch({ { "ZELVANT_OPEN_TOOL", scratch / "no-such-tool" },
        { "ZELVANT_TEST_RECORD", scratch / "record" }, { "LANG", "C" } }));
    auto tree = x("xwininfo", { "-tree", "-id", window }).output;
    std::smatch informative;
    ASSERT_TRUE(
        std::regex_search(tree, informative, std::regex { R"re((0x[0-9a-f]+) ".*ホーム 🍎.*": \("informative")re" }))
        << tree;
    // Pixels far from grey in the informative text, once it has been drawn.
    auto colouredPixels = [&] {
        x("xwd", { "-silent", "-id", informative[1], "-out", scratch / "informative.xwd" });
        std::string image = x("xwdtopnm", { scratch / "informative.xwd" }).output;
        std::istringstream header { image };
        std::string magic;
        size_t width = 0, height = 0, coloured = 0;
        header >> magic >> width >> height;
        EXPECT_TRUE(magic == "P6" && image.size() > width * height * 3) << magic;
        for (size_t at = image.size() - std::min(image.size(), width * height * 3); at + 2 < image.size(); at += 3) {
            auto [least, most] = std::minmax({ static_cast<unsigned char>(image[at]),
                static_cast<unsigned char>(image[at + 1]), static_cast<unsigned char>(image[at + 2]) });
            coloured += most - least > 96;
        }
        return coloured;
    };
    size_t coloured = 0;
    test::eventually([&] { return (coloured = colouredPixels()) > 20; }, std::chrono::seconds(5));
    EXPECT_GT(coloured, 20U) << "no colour in the informative text: the emoji is not drawn";
    expectKeyEndsIt("space");
}

// Wrapping with every character one unit wide: a line breaks at a space or
// after a '/', whichever comes last within the width, and inside a word only
// when the line has neither; newlines always break.
TEST(AlertDialogText, LinesBreakAtSpacesAndSlashesBeforeInsideWords)
{
    struct Case {
        std::string text;
        int width;
        std::vector<std::string> lines;
    };
    for (const auto& [text, width, lines] : std::vector<Case> {
             { "aa bb/cc dd", 5, { "aa", "bb/cc", "dd" } },
             { "/usr/local/share", 8, { "/usr/", "local/", "share" } },
             { "ホーム/🍎 x", 3, { "ホーム", "/🍎", "x" } },
             { "abcdefghij k", 4, { "abcd", "efgh", "ij k" } },
             { "one  two\n\nthree", 20, { "one  two", "", "three" } },
         }) {
        std::vector<std::string> wrapped;
        for (const auto& line : platform::wrapText(platform::decodeText(text), width,
                 [](std::u32string_view line) { return static_cast<int>(line.size()); })) {
            std::string bytes;
            for (char32_t character : line)
                platform::appendUTF8(bytes, character);
            wrapped.push_back(bytes);
        }
        EXPECT_EQ(wrapped, lines) << text;
    }
}
