#include "Alert.h"
#include "Display.h"
#include "ScopedFD.h"
#include "Task.h"
#include "TestSupport.h"
#include "UnicodeText.h"
#include "posix/AlertText.h"

#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <regex>
#include <sstream>
#include <sysexits.h>
#include <thread>

namespace {

const std::string message = "Unable to locate the X11 application.";
const std::string informative
    = "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?";

// A critical alert with the texts argv[3] and argv[4] through the backend argv[2], gtk or x11: a reference picture.
const bool alertChild
    = (test::registerChildBehaviour("alert",
           [](int, char** argv) {
               auto alert = platform::Alert::alertWithMessageText(argv[3], "Okay", argv[4]);
               alert.setAlertStyle(platform::AlertStyle::Critical);
               bool gtk = std::string_view { argv[2] } == "gtk";
               return (gtk ? platform::runGtkAlertDialog(alert) : platform::runAlertDialog(alert)) ? 0 : 1;
           }),
        true);

// A program in the background on a private Xvfb with two monitors side by
// side and the pointer on the right one; by default the launcher, finding no
// X11 (the folder it searches holds only a file of that name), shows its
// alert with the backend named.
struct AlertOnXvfb : ::testing::Test {
    std::string backend = "x11";
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
        for (const char* tool : { "xdotool", "xwininfo", "xrandr" })
            ASSERT_TRUE(test::programOnPath(tool)) << "needs " << tool << " (xdotool, x11-utils, x11-xserver-utils)";
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
    // A tool run against the server, in a locale that shows any window name.
    test::ProcessResult x(std::vector<std::string> arguments, const std::string& tool = "xdotool", int timeout = 10)
    {
        return test::runProgram(test::programOnPath(tool).value_or(tool),
            { std::move(arguments), { { { "DISPLAY", server->name() }, { "LC_ALL", "C.UTF-8" } } }, timeout });
    }
    // Runs the program on the display in the background and sets window to
    // its window titled title once that shows (within 5 s).
    void show(const std::string& program = test::launcherPath(), const std::vector<std::string>& arguments = {},
        const std::string& title = "Zelvant", const std::map<std::string, std::string>& extraEnvironment = {})
    {
        test::makeDirectories(home);
        auto environment = test::minimalEnvironment(home);
        environment["ZELVANT_ALERT"] = backend;
        // No accessibility bus to look for on a private display; GTK keeps what
        // it allocates until the process ends, so no leak check there either.
        environment.insert({ { "DISPLAY", server->name() }, { "NO_AT_BRIDGE", "1" },
            { "ZELVANT_APPLICATION_PATH", scratch / "Applications" } });
        if (backend == "gtk")
            environment["ASAN_OPTIONS"] = "detect_leaks=0";
        environment.insert(extraEnvironment.begin(), extraEnvironment.end());
        shown = std::async(std::launch::async, [=] { return test::runProgram(program, { arguments, environment }); });
        window = x({ "search", "--sync", "--onlyvisible", "--name", "^" + title + "$" }, "xdotool", 5).output;
        window = window.substr(0, window.find('\n'));
    }
    struct Geometry {
        // Fields it cannot read keep values the checks reject.
        int left = -1, top = -1, width = 0, height = 0;
    };
    Geometry geometry()
    {
        Geometry found;
        // NOLINTNEXTLINE(cert-err34-c)
        std::sscanf(x({ "getwindowgeometry", "--shell", window }).output.c_str(),
            "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &found.left, &found.top, &found.width, &found.height);
        return found;
    }
    // The window's size and pixels once two looks 250 ms apart agree; xwd's
    // header (big-endian, its length first, the colour count at byte 76) and
    // colour map, which hold the title, are left out.
    std::string picture(const std::string& of)
    {
        std::string shot, previous;
        if (!test::eventually([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                previous = std::exchange(shot, x({ "-id", of, "-silent" }, "xwd").output);
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

// The same with the backend the parameter names.
struct AlertBehaviour : AlertOnXvfb, ::testing::WithParamInterface<std::string> {
    AlertBehaviour() { backend = GetParam(); }
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

// Every way out ends the launcher with the alert's status; the dialog lies
// wholly inside one monitor and holds everything up until then. The lost
// display comes last, as it takes the server.
TEST_P(AlertBehaviour, KeysCloseOrALostDisplayEndItWithTheAlertsStatus)
{
    for (std::string way : { "Escape", "Return", "KP_Enter", "space", "close", "lost" }) {
        SCOPED_TRACE(way);
        show();
        ASSERT_FALSE(window.empty());
        EXPECT_EQ(x({ "-id", window, "_NET_WM_WINDOW_TYPE" }, "xprop").output,
            "_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_DIALOG\n");
        auto [left, top, width, height] = geometry();
        EXPECT_TRUE(top >= 0 && top + height <= 768
            && ((left >= 0 && left + width <= 1024) || (left >= 1024 && left + width <= 2048)))
            << left << "," << top << " " << width << "x" << height;
        EXPECT_TRUE(shown.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout
            && std::filesystem::is_empty(home));
        if (way == "lost")
            server.reset();
        else if (way == "close")
            sendDeleteWindow(server->name(), window);
        else
            x({ "windowfocus", window, "key", way });
        auto ended = shown.get();
        EXPECT_EQ(ended.status, EX_UNAVAILABLE) << ended.error; // x11: and no leak a sanitizer found
        EXPECT_TRUE(std::filesystem::is_empty(home));
        EXPECT_TRUE(
            ended.error.find(message) != std::string::npos && ended.error.find(informative) != std::string::npos);
    }
}

// The launcher's dialog against the same texts shown by the same backend in
// another process, and a one-letter change that must show.
TEST_P(AlertBehaviour, DialogShowsExactlyTheAlertsTexts)
{
    if (backend != "gtk")
        GTEST_SKIP() << "the Xlib dialog's texts are read from its window tree";
    auto pixels = [&](const std::string& program, const std::vector<std::string>& arguments, const std::string& title) {
        show(program, arguments, title);
        std::string seen = window.empty() ? "" : picture(window);
        x({ "windowfocus", window, "key", "Escape" });
        shown.wait();
        return seen;
    };
    std::string child = "--child=alert",
                reference = pixels(test::testBinaryPath(), { child, "gtk", message, informative }, "zelvant_tests");
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(pixels(test::launcherPath(), {}, "Zelvant"), reference);
    EXPECT_NE(pixels(test::testBinaryPath(), { child, "gtk", message, informative + "!" }, "zelvant_tests"), reference);
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

// The Xlib dialog's tree, read with xwininfo: its title, each child's
// WM_CLASS instance (its role) and name, and where the button lies on the
// screen; what it tells the window manager, read with xprop; its button ends it.
TEST_F(AlertOnXvfb, XlibDialogShowsTheTextsAndEndsWithItsOneButton)
{
    show();
    ASSERT_FALSE(window.empty());
    auto info = x({ "-tree", "-id", window }, "xwininfo");
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
        (std::multimap<std::string, std::string> {
            { "icon", "critical" }, { "message", message }, { "informative", informative }, { "button", "Okay" } }))
        << info.output;
    auto properties = x({ "-id", window }, "xprop").output;
    for (const char* line : { "_NET_WM_STATE(ATOM) = _NET_WM_STATE_ABOVE, _NET_WM_STATE_MODAL\n",
             "_NET_WM_ICON(CARDINAL) = \tIcon (64 x 64):\n", "WM_CLIENT_MACHINE(STRING) = \"" })
        EXPECT_NE(properties.find(line), std::string::npos) << line << properties;
    // The process the window names runs the launcher (under a wrapper too).
    std::smatch pid;
    ASSERT_TRUE(std::regex_search(properties, pid, std::regex { R"(_NET_WM_PID\(CARDINAL\) = (\d+)\n)" }))
        << properties;
    EXPECT_NE(test::readFile("/proc/" + pid.str(1) + "/cmdline").find(test::launcherPath()), std::string::npos)
        << "pid " << pid.str(1);
    x({ "mousemove", clickX, clickY, "click", "1" });
    auto ended = shown.get();
    EXPECT_EQ(ended.status, EX_UNAVAILABLE) << ended.error; // and no leak found by a sanitizer
    EXPECT_TRUE(std::filesystem::is_empty(home));
}

// With the pointer on the right monitor (RandR's, which the server's Xinerama
// reports too) the Xlib dialog lies wholly inside that one, not across the
// seam, at twice its size for Xft.dpi 192.
TEST_F(AlertOnXvfb, XlibDialogGoesOnTheMonitorWithThePointerAtTheDisplaysScale)
{
    x({ "-root", "-f", "RESOURCE_MANAGER", "8s", "-set", "RESOURCE_MANAGER", "Xft.dpi:\t192\n" }, "xprop");
    show();
    auto [left, top, width, height] = geometry();
    EXPECT_EQ(width, 2 * 460);
    EXPECT_TRUE(left >= 1024 && left + width + 2 <= 2048) << left;
}

// A home in Japanese with an emoji in it, shown in the hand-off alert's
// informative text: the apple is drawn from the colour font fontconfig falls
// back to, so the text has coloured pixels; a missing glyph's box would not.
TEST_F(AlertOnXvfb, TextInAnyScriptRendersAsGlyphs)
{
    show(test::testBinaryPath(), { "--child=alert", "x11", message, "/ホーム 🍎/run-zelvant.py" }, "zelvant_tests");
    auto tree = x({ "-tree", "-id", window }, "xwininfo").output;
    std::smatch text;
    ASSERT_TRUE(std::regex_search(tree, text, std::regex { R"re((0x[0-9a-f]+) ".*ホーム 🍎.*": \("informative")re" }))
        << tree;
    // Pixels far from grey in the informative text, once it has been drawn.
    auto colouredPixels = [&] {
        x({ "-silent", "-id", text[1], "-out", scratch / "informative.xwd" }, "xwd");
        std::string image = x({ scratch / "informative.xwd" }, "xwdtopnm").output;
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
