#include "Alert.h"
#include "Display.h"
#include "ScopedFD.h"
#include "Task.h"
#include "TestSupport.h"

#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sysexits.h>
#include <thread>

namespace {

const std::string message = "Unable to locate the X11 application.";
const std::string informative
    = "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?";

// A critical alert with the texts argv[2] and argv[3] through the GTK backend: a reference picture.
const bool gtkAlertChild = (test::registerChildBehaviour("gtk-alert",
                                [](int, char** argv) {
                                    auto alert = platform::Alert::alertWithMessageText(argv[2], "Okay", argv[3]);
                                    alert.setAlertStyle(platform::AlertStyle::Critical);
                                    return platform::runGtkAlertDialog(alert) ? 0 : 1;
                                }),
    true);

// The launcher finds no X11 and shows its alert with the backend the
// parameter names, on two monitors side by side with the pointer on the right one.
struct AlertBehaviour : ::testing::TestWithParam<std::string> {
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home";
    std::unique_ptr<platform::VirtualDisplay> server;

    void SetUp() override
    {
        test::makeDirectories(home);
        test::writeFile(scratch / "Applications/X11.app", "");
        auto started
            = platform::VirtualDisplay::start(platform::DisplayAccess::Open, { "-screen", "0", "2048x768x24" });
        ASSERT_TRUE(started) << started.error().message();
        server = std::move(*started);
        // Xvfb has one output: the right monitor is a virtual one, which GTK does not count.
        ASSERT_EQ(x({ "--setmonitor", "left", "1024/270x768/203+0+0", "screen" }, "xrandr").status, 0);
        ASSERT_EQ(x({ "--setmonitor", "right", "1024/270x768/203+1024+0", "none" }, "xrandr").status, 0);
        ASSERT_EQ(x({ "mousemove", "1536", "384" }).status, 0);
    }
    test::ProcessResult x(std::vector<std::string> arguments, const std::string& tool = "xdotool", int timeout = 10)
    {
        return test::runProgram(test::programOnPath(tool).value_or(tool),
            { std::move(arguments), { { { "DISPLAY", server->name() } } }, timeout });
    }
    // Runs the program on the display in the background and sets window to
    // its window titled title once that shows (within 5 s).
    std::future<test::ProcessResult> show(const std::string& program, const std::vector<std::string>& arguments,
        std::string& window, const std::string& title)
    {
        auto environment = test::minimalEnvironment(home);
        environment["ZELVANT_ALERT"] = GetParam();
        // No accessibility bus to look for on a private display; GTK keeps what
        // it allocates until the process ends, so no leak check either.
        environment.insert({ { "DISPLAY", server->name() }, { "NO_AT_BRIDGE", "1" },
            { "ZELVANT_APPLICATION_PATH", scratch / "Applications" }, { "ASAN_OPTIONS", "detect_leaks=0" } });
        auto shown = std::async(std::launch::async, [=] {
            return test::runProgram(program, { arguments, environment });
        });
        window = x({ "search", "--sync", "--onlyvisible", "--name", "^" + title + "$" }, "xdotool", 5).output;
        window = window.substr(0, window.find('\n'));
        return shown;
    }
    // The window's size and pixels once two looks 250 ms apart agree; xwd's
    // header (big-endian, its length first, the colour count at byte 76) and
    // colour map, which hold the title, are left out.
    std::string picture(const std::string& window)
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

// The window manager's close, as a WM_DELETE_WINDOW message from another client.
void sendDeleteWindow(const std::string& display, const std::string& window)
{
    std::unique_ptr<::Display, int (*)(::Display*)> connection { XOpenDisplay(display.c_str()), XCloseDisplay };
    ASSERT_TRUE(connection);
    XEvent event { .xclient = { .type = ClientMessage,
                       .window = std::stoul(window),
                       .message_type = XInternAtom(connection.get(), "WM_PROTOCOLS", False),
                       .format = 32 } };
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(connection.get(), "WM_DELETE_WINDOW", False));
    XSendEvent(connection.get(), event.xclient.window, False, NoEventMask, &event);
}

}

TEST_P(AlertBehaviour, EscapeReturnCloseOrALostDisplayEndItWithTheAlertsStatus)
{
    for (std::string way : { "Escape", "Return", "close", "lost" }) {
        SCOPED_TRACE(way);
        std::string window;
        auto launcher = show(test::launcherPath(), {}, window, "Zelvant");
        ASSERT_FALSE(window.empty());
        EXPECT_EQ(x({ "-id", window, "_NET_WM_WINDOW_TYPE" }, "xprop").output,
            "_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_DIALOG\n");
        int left = -1, top = -1, width = 0, height = 0;
        // Fields it cannot read keep values the check rejects.
        // NOLINTNEXTLINE(cert-err34-c)
        std::sscanf(x({ "getwindowgeometry", "--shell", window }).output.c_str(),
            "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &left, &top, &width, &height);
        EXPECT_TRUE(top >= 0 && top + height <= 768
            && ((left >= 0 && left + width <= 1024) || (left >= 1024 && left + width <= 2048)))
            << left << "," << top << " " << width << "x" << height;
        EXPECT_TRUE(launcher.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout
            && std::filesystem::is_empty(home));
        if (way == "lost")
            server.reset();
        else if (way == "close")
            sendDeleteWindow(server->name(), window);
        else
            x({ "windowfocus", window, "key", way });
        auto ended = launcher.get();
        EXPECT_EQ(ended.status, EX_UNAVAILABLE);
        EXPECT_TRUE(std::filesystem::is_empty(home));
        EXPECT_TRUE(
            ended.error.find(message) != std::string::npos && ended.error.find(informative) != std::string::npos);
    }
}

// The launcher's dialog against the same texts shown by the same backend in
// another process, and a one-letter change that must show.
TEST_P(AlertBehaviour, DialogShowsExactlyTheAlertsTexts)
{
    if (GetParam() != "gtk")
        GTEST_SKIP() << "the Xlib dialog's texts are read from its window tree (AlertDialogOnXvfb)";
    auto shown = [&](const std::string& program, const std::vector<std::string>& arguments, const std::string& title) {
        std::string window;
        auto ended = show(program, arguments, window, title);
        std::string pixels = window.empty() ? "" : picture(window);
        x({ "windowfocus", window, "key", "Escape" });
        ended.wait();
        return pixels;
    };
    std::string child = "--child=gtk-alert",
                reference = shown(test::testBinaryPath(), { child, message, informative }, "zelvant_tests");
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(shown(test::launcherPath(), {}, "Zelvant"), reference);
    EXPECT_NE(shown(test::testBinaryPath(), { child, message, informative + "!" }, "zelvant_tests"), reference);
}

INSTANTIATE_TEST_SUITE_P(Backends, AlertBehaviour, ::testing::Values("gtk", "x11"));

// What the launcher itself loaded, as LD_DEBUG records it (its children write
// their own files); an unreachable display, where every backend fails in turn,
// still leaves the texts on standard error.
using AlertLibraries = test::LaunchScratch;
TEST_F(AlertLibraries, NormalLaunchLoadsNoGuiLibraryAnAlertOnADisplayDoes)
{
    struct Loaded {
        std::string record, errors;
        int status;
    };
    auto loaded = [&](std::map<std::string, std::string> environment) {
        environment["LD_DEBUG"] = "files";
        environment["LD_DEBUG_OUTPUT"] = scratch / "ld";
        environment["ASAN_OPTIONS"] = "detect_leaks=0";
        platform::ScopedFD errors { ::open(
            (scratch / "errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) };
        platform::Task launcher;
        launcher.setLaunchPath(test::launcherPath());
        launcher.setEnvironment(environment);
        launcher.setStandardError(errors.get());
        EXPECT_TRUE(launcher.launch().ok());
        launcher.waitUntilExit();
        return Loaded { test::readFile(scratch / ("ld." + std::to_string(launcher.processIdentifier()))),
            test::readFile(scratch / "errors"), launcher.terminationStatus() };
    };
    std::string normal = loaded(environment()).record;
    EXPECT_NE(normal.find("libplist"), std::string::npos) << "no record of the launch";
    for (const char* library : { "libgtk-3.so", "libX11.so", "libXft.so" })
        EXPECT_EQ(normal.find(library), std::string::npos) << library;
    auto alerting = environment();
    alerting["ZELVANT_APPLICATION_PATH"] = scratch / "none";
    alerting["DISPLAY"] = ":59000";
    alerting.erase("ZELVANT_ALERT");
    auto alerted = loaded(alerting);
    EXPECT_NE(alerted.record.find("libgtk-3.so"), std::string::npos);
    EXPECT_EQ(alerted.status, EX_UNAVAILABLE);
    EXPECT_TRUE(
        alerted.errors.find(message) != std::string::npos && alerted.errors.find(informative) != std::string::npos)
        << alerted.errors;
}
