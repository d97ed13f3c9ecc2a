#include "Display.h"
#include "Task.h"
#include "TestSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace fs = std::filesystem;

// The open tool and the X11 application, run as the launcher runs them.

namespace {

// A document or application run as a program: the test binary through a
// "#!" line. It appends what it was given and what it runs with to
// $ZELVANT_TEST_DOCUMENT_RECORD as lines "KEY=VALUE"; with $ZELVANT_TEST_RELEASE
// set it then lets go of its output, waits for that file to appear and records
// "released=1" (or 0 when it gave up).
const bool documentRegistered = [] {
    test::registerChildBehaviour("document", [](int argc, char** argv) {
        test::tellOpenToolStarted();
        const char* release = std::getenv("ZELVANT_TEST_RELEASE");
        std::ofstream stream(std::getenv("ZELVANT_TEST_DOCUMENT_RECORD"), std::ios::app);
        for (int index = 2; index < argc; ++index)
            stream << "argument=" << argv[index] << "\n";
        for (const char* name : { "DISPLAY", "XAUTHORITY" })
            stream << name << "=" << (std::getenv(name) ? std::getenv(name) : "") << "\n";
        stream << "session-leader=" << (getsid(0) == getpid())
               << "\nstdin=" << fs::read_symlink("/proc/self/fd/0").string() << std::endl;
        if (!release)
            return 0;
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, 1);
        ::dup2(null, 2);
        test::eventually([&] { return test::exists(release); }, std::chrono::seconds(60));
        stream << "released=" << test::exists(release) << std::endl;
        return 0;
    });
    return true;
}();

struct OpenToolFixture : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string applications = scratch / "Applications";
    std::string record = scratch / "record";
    std::string x11 = test::buildDirectory() + "/Applications/X11.app/Contents/MacOS/X11";
    std::string documentText = "#!" + test::testBinaryPath() + " --child=document\n";
    std::map<std::string, std::string> environment { { "PATH", "/usr/bin:/bin" },
        { "ZELVANT_APPLICATION_PATH", applications }, { "ZELVANT_TEST_DOCUMENT_RECORD", record } };

    test::ProcessResult run(const std::string& program, std::vector<std::string> arguments)
    {
        return test::runProgram(
            program, { .arguments = std::move(arguments), .environment = environment, .timeoutSeconds = 30 });
    }
    std::string make(const std::string& path, const std::string& text, unsigned mode = 0755)
    {
        test::writeFile(path, text, mode);
        return path;
    }
    // The first value of a record line "KEY=VALUE"; empty when there is none.
    std::string recorded(const std::string& key)
    {
        std::smatch match;
        std::string text = test::exists(record) ? test::readFile(record) : "";
        return std::regex_search(text, match, std::regex("(^|\n)" + key + "=([^\n]*)")) ? match[2].str() : "";
    }
};

}

TEST_F(OpenToolFixture, StartsTheApplicationWithAbsolutePathsAndReturnsWithoutWaiting)
{
    std::string executable = make(applications + "/Hold.app/Contents/MacOS/Hold", documentText);
    // Names that a shell would take apart.
    std::string document = scratch
        / "we ird 'single' \"double\" ; $(touch pwned) `touch pwned` \\ \xC3\xA9\xE2\x82\xAC/run; rm -rf x $(id) "
          "'it'.py";
    test::writeFile(document, "");
    environment["ZELVANT_TEST_RELEASE"] = scratch / "release";
    std::string currentDirectory = fs::current_path().string();

    auto result = run(test::buildDirectory() + "/bin/zelvant-open", { "-a", "Hold", document, "relative doc" });
    ASSERT_EQ(result.status, 0) << result.error;
    // The open tool is back while the application still waits to be let go.
    EXPECT_EQ(recorded("released"), "");
    test::writeFile(scratch / "release", "");
    ASSERT_TRUE(test::eventually([&] { return !recorded("released").empty(); }));
    EXPECT_EQ(test::readFile(record),
        "argument=" + executable + "\nargument=" + document + "\nargument=" + currentDirectory
            + "/relative doc\nDISPLAY=\nXAUTHORITY=\nsession-leader=1\nstdin=/dev/null\nreleased=1\n");
    EXPECT_FALSE(test::exists(currentDirectory + "/pwned"));
}

TEST_F(OpenToolFixture, SaysWhatIsWrongAndFails)
{
    test::writeFile(applications + "/Flat.app", "a file, not a bundle");
    fs::create_symlink(scratch / "nowhere", applications + "/Dangling.app");
    test::makeDirectories(applications + "/Empty.app/Contents/MacOS");
    std::string unrunnable = make(applications + "/Unrunnable.app/Contents/MacOS/Unrunnable", "not executable", 0644);
    make(applications + "/Escaping.app/Contents/MacOS/Escaping", documentText);
    make(applications + "/Silent.app/Contents/MacOS/Silent", "#!/bin/true\n");
    test::writeFile(applications + "/Escaping.app/Contents/Info.plist",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>../../../Hold.app/"
        "Contents/MacOS/Hold</string></dict></plist>");

    // Arguments, exit status and what standard error says.
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        { {}, 2, "usage: " },
        { { "-a", "Missing", "" }, 2, "usage: " },
        { { "-a", "Missing" }, 1, "Unable to find application named 'Missing'\n" },
        { { "-a", "Flat" }, 1, applications + "/Flat.app is not a directory" },
        { { "-a", "Dangling" }, 1, applications + "/Dangling.app is a link to nothing" },
        { { "-a", "Empty" }, 1, "Empty.app has no executable " + applications + "/Empty.app/Contents/MacOS/Empty" },
        { { "-a", "Unrunnable" }, 1, unrunnable + " is not an executable file" },
        { { "-a", "Escaping" }, 1, "which is not a file name" },
        { { "-a", "Silent" }, 1, "'Silent': it ended before it started its documents" },
    };
    for (const auto& [arguments, status, error] : cases) {
        auto result = run(test::buildDirectory() + "/bin/zelvant-open", arguments);
        std::string label = arguments.empty() ? "(no arguments)" : arguments.back();
        EXPECT_EQ(result.status, status) << label << ": " << result.error;
        EXPECT_NE(result.error.find(error), std::string::npos) << label << ": " << result.error;
    }
    EXPECT_FALSE(test::exists(record)) << "nothing may have been started";
}

// What still runs with this HOME: processes of ours that outlived the launch.
static std::vector<std::string> processesWithHome(const std::string& home)
{
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        std::ifstream stream(entry.path() / "environ");
        std::string environment = std::string(1, '\0') + std::string(std::istreambuf_iterator<char>(stream), {});
        if (environment.find(std::string(1, '\0') + "HOME=" + home + '\0') != std::string::npos)
            found.push_back(entry.path().filename().string());
    }
    return found;
}

TEST_F(OpenToolFixture, AHandOffX11CannotCarryOutFailsTheLaunchBeforeItEnds)
{
    std::string client = test::makeLauncherBundle(scratch / "Zelvant.app"), home = scratch / "home";
    test::makeDirectories(home);
    auto launch = [&](const std::map<std::string, std::string>& variables, const std::string& script) {
        test::writeFile(client + "/../run-zelvant-template.py", script, 0755);
        auto launcherEnvironment = test::launchEnvironment(home, test::buildDirectory() + "/Applications", record);
        launcherEnvironment.erase("ZELVANT_X11_HEADLESS");
        launcherEnvironment.merge(std::map<std::string, std::string>(variables));
        launcherEnvironment.insert_or_assign("ZELVANT_ALERT", "text");
        launcherEnvironment.insert_or_assign("ZELVANT_TEST_DOCUMENT_RECORD", record);
        return test::runProgram(scratch / "Zelvant.app/Contents/MacOS/Zelvant", { .environment = launcherEnvironment });
    };
    std::vector<std::pair<std::map<std::string, std::string>, std::string>> rows = {
        { {}, "DISPLAY is not set" },
        { { { "WAYLAND_DISPLAY", "wayland-0" } }, "DISPLAY is not set" },
        { { { "DISPLAY", "no display" } }, "\"no display\" is not an X display name" },
        { { { "DISPLAY", "localhost:99999999999" } }, "is not an X display name" },
    };
    if (!platform::isDisplayReachable(":99"))
        rows.push_back({ { { "DISPLAY", ":99" } }, "no X server answers at DISPLAY \":99\"" });
    for (const auto& [variables, reason] : rows) {
        auto result = launch(variables, documentText);
        std::string label = variables.empty() ? "(nothing)" : variables.begin()->second;
        EXPECT_EQ(result.status, 69) << label << ": " << result.error;
        EXPECT_NE(result.error.find("Unable to open application 'X11': no X display: "), std::string::npos) << label;
        EXPECT_NE(result.error.find(reason), std::string::npos) << label << ": " << result.error;
        EXPECT_EQ(processesWithHome(home), std::vector<std::string> {}) << label;
    }
    EXPECT_FALSE(test::exists(record)) << "a document ran without a display";
    if (!test::programOnPath("Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed";
    auto result = launch({ { "ZELVANT_X11_HEADLESS", "1" } }, "#!" + scratch / "nowhere\n");
    EXPECT_EQ(result.status, 69) << result.error;
    EXPECT_NE(result.error.find("Unable to open application 'X11': cannot run "), std::string::npos) << result.error;
    EXPECT_EQ(processesWithHome(home), std::vector<std::string> {});
}

TEST_F(OpenToolFixture, HeadlessX11UsesAnXvfbOnlyItsDocumentsMayUse)
{
    auto xdpyinfo = test::programOnPath("xdpyinfo");
    if (!test::programOnPath("Xvfb") || !xdpyinfo)
        GTEST_SKIP() << "Xvfb or xdpyinfo is not installed";
    auto headless = environment;
    headless.merge(std::map<std::string, std::string> {
        { "ZELVANT_X11_HEADLESS", "1" }, { "DISPLAY", ":65000" }, { "ZELVANT_TEST_RELEASE", scratch / "never" } });
    platform::Task task;
    task.setLaunchPath(x11);
    task.setArguments({ make(scratch / "document", documentText) });
    task.setEnvironment(headless);
    ASSERT_TRUE(task.launch().ok());
    ASSERT_TRUE(test::eventually([&] { return !recorded("XAUTHORITY").empty(); }));
    std::string display = environment["DISPLAY"] = recorded("DISPLAY"), authority = recorded("XAUTHORITY");
    auto connects = [&](const std::string& xauthority) {
        environment["XAUTHORITY"] = xauthority;
        return run(*xdpyinfo, {}).status == 0;
    };
    EXPECT_TRUE(connects(authority));
    EXPECT_FALSE(connects(scratch / "no-cookie")) << "a client without the cookie was let in";
    task.terminate();
    ASSERT_TRUE(test::eventually([&] { return !task.isRunning(); })) << "X11 did not stop";
    EXPECT_FALSE(platform::isDisplayReachable(display)) << "the Xvfb of X11 outlived it";
    EXPECT_FALSE(test::exists(authority));
}
