#include "Alert.h"
#include "Display.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <future>
#include <sysexits.h>
#include <thread>

namespace {

const std::string message = "Unable to locate the X11 application.";
const std::string informative
    = "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?";

bool hasTexts(const std::string& error)
{
    return error.find(message) != std::string::npos && error.find(informative) != std::string::npos;
}

// A critical alert with the texts argv[2] and argv[3] and the launcher's button: a reference picture.
int showAlert(int, char** argv)
{
    auto alert = platform::Alert::alertWithMessageText(argv[2], "Okay", argv[3]);
    alert.setAlertStyle(platform::AlertStyle::Critical);
    alert.runModal();
    return 0;
}
const bool alertChild = (test::registerChildBehaviour("alert", showAlert), true);

// The launcher, finding no X11 (the folder it searches holds only a file of
// that name), alerts on a private Xvfb in the background. The parameter is
// the GTK to be shown: for 2, GTK 3 is shadowed by a file of its name that
// cannot be loaded, as if it were not installed.
struct AlertOnXvfb : ::testing::TestWithParam<std::string> {
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home";
    // Before the server: a display lost first ends whatever a test left showing.
    std::future<test::ProcessResult> shown;
    std::unique_ptr<platform::VirtualDisplay> server;
    std::string window;

    void SetUp() override
    {
        if (!test::programOnPath("Xvfb"))
            GTEST_SKIP() << "Xvfb is not installed";
        test::writeFile(scratch / "Applications/X11.app", "");
        test::writeFile(scratch / "no-gtk3/libgtk-3.so.0", "");
        auto started = platform::VirtualDisplay::start(platform::DisplayAccess::Open, {});
        ASSERT_TRUE(started) << started.error().message();
        server = std::move(*started);
    }
    test::ProcessResult x(std::vector<std::string> arguments, const std::string& tool = "xdotool", int timeout = 10)
    {
        return test::runProgram(test::programOnPath(tool).value_or(tool),
            { std::move(arguments), { { { "DISPLAY", server->name() }, { "LC_ALL", "C.UTF-8" } } }, timeout });
    }
    // Runs the program on the display and sets window to its window titled
    // title once that shows (within 5 s). No accessibility bus to look for on
    // a private display; GTK keeps what it allocates until the process ends.
    void show(const std::string& program = test::launcherPath(), const std::vector<std::string>& arguments = {},
        const std::string& title = "Zelvant")
    {
        test::makeDirectories(home);
        auto environment = test::minimalEnvironment(home);
        environment.insert({ { "DISPLAY", server->name() }, { "NO_AT_BRIDGE", "1" },
            { "ASAN_OPTIONS", "detect_leaks=0" }, { "ZELVANT_APPLICATION_PATH", scratch / "Applications" } });
        if (GetParam() == "2")
            environment["LD_LIBRARY_PATH"] = scratch / "no-gtk3";
        shown = std::async(std::launch::async, [=] { return test::runProgram(program, { arguments, environment }); });
        window = x({ "search", "--sync", "--onlyvisible", "--name", "^" + title + "$" }, "xdotool", 5).output;
        window = window.substr(0, window.find('\n'));
    }
    // The GTK versions mapped in the process that the window names.
    std::string loadedGtk()
    {
        std::string pid = x({ "getwindowpid", window }).output;
        std::string maps = test::readFile("/proc/" + pid.substr(0, pid.find('\n')) + "/maps");
        return std::string { maps.find("/libgtk-x11-2.0.so.0") != std::string::npos ? "2" : "" }
        + (maps.find("/libgtk-3.so.0") != std::string::npos ? "3" : "");
    }
    // The window's size and pixels once two looks 250 ms apart agree; xwd's
    // header (big-endian, its length first, the colour count at byte 76) and
    // colour map, which hold the title, are left out.
    std::string picture()
    {
        std::string shot, previous;
        if (!test::eventually([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                previous = std::exchange(shot, x({ "-id", window, "-silent" }, "xwd").output);
                return shot.size() > 100 && shot == previous;
            }))
            return "";
        auto word = [&](size_t at) {
            uint32_t value = 0;
            std::memcpy(&value, &shot[at], sizeof value);
            return size_t { ntohl(value) };
        };
        return shot.substr(16, 8) + shot.substr(std::min(shot.size(), word(0) + 12 * word(76)));
    }
};

}

// A dialog of the GTK expected with the texts of the same alert shown in
// another process (a one-letter change must show), which holds the launch up
// until Escape or Return ends it; each ends the launcher with the alert's
// status.
TEST_P(AlertOnXvfb, DialogShowsTheTextsUntilEscapeOrReturnEndsIt)
{
    auto reference = [&](const std::string& text) {
        show(test::testBinaryPath(), { "--child=alert", message, text }, "zelvant_tests");
        std::string seen = window.empty() ? "" : picture();
        x({ "windowfocus", window, "key", "Escape" });
        shown.wait();
        return seen;
    };
    std::string expected = reference(informative);
    ASSERT_FALSE(expected.empty());
    EXPECT_NE(reference(informative + "!"), expected);
    for (std::string way : { "Escape", "Return" }) {
        SCOPED_TRACE(way);
        show();
        ASSERT_FALSE(window.empty());
        EXPECT_EQ(loadedGtk(), GetParam());
        EXPECT_EQ(way == "Escape" ? picture() : expected, expected); // one look is enough
        EXPECT_EQ(shown.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
        x({ "windowfocus", window, "key", way });
        auto ended = shown.get();
        EXPECT_EQ(ended.status, EX_UNAVAILABLE) << ended.error;
        EXPECT_TRUE(hasTexts(ended.error)) << ended.error;
    }
}

INSTANTIATE_TEST_SUITE_P(Gtk, AlertOnXvfb, ::testing::Values("3", "2"));

// What the launcher loaded, as LD_DEBUG records it: GTK only for an alert
// that may be a dialog on a display (an unreachable one here), and the texts
// on standard error at once in every case, with nothing written.
using AlertLibraries = test::LaunchScratch;
TEST_F(AlertLibraries, GtkIsLoadedOnlyForADialogTheTextsAlwaysGoToStandardError)
{
    using Change = std::map<std::string, std::string>;
    const std::pair<std::string, Change> cases[] = {
        { "no display", {} },
        { "a display", { { "DISPLAY", ":59000" } } },
        { "text only", { { "DISPLAY", ":59000" }, { "ZELVANT_ALERT", "text" } } },
    };
    for (const auto& [what, change] : cases) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(scratch / "ld");
        test::makeDirectories(scratch / "ld");
        Change environment = change; // merge keeps what is already there
        environment.merge(Change { { "ZELVANT_APPLICATION_PATH", scratch / "none" }, { "LD_DEBUG", "files" },
            { "LD_DEBUG_OUTPUT", scratch / "ld/ld" }, { "ASAN_OPTIONS", "detect_leaks=0" } });
        environment.merge(this->environment());
        auto result = test::runProgram(test::launcherPath(), { .environment = environment });
        std::string loaded; // the launcher's alone: X11 is not found, so it starts no child
        for (const auto& entry : std::filesystem::directory_iterator(scratch / "ld"))
            loaded += test::readFile(entry.path());
        EXPECT_NE(loaded.find("libplist"), std::string::npos) << "no record of the launch";
        EXPECT_EQ(loaded.find("libgtk") != std::string::npos, what == "a display");
        EXPECT_EQ(result.status, EX_UNAVAILABLE) << result.error;
        EXPECT_TRUE(hasTexts(result.error)) << result.error;
        EXPECT_FALSE(test::exists(home + "/Library")); // an alert stops the launch first
    }
}
