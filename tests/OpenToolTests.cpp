#include "Display.h"
#include "Task.h"
#include "TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
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
        const char* release = std::getenv("ZELVANT_TEST_RELEASE");
        std::ofstream stream(std::getenv("ZELVANT_TEST_DOCUMENT_RECORD"), std::ios::app);
        std::string text;
        for (int index = 2; index < argc; ++index)
            text += "argument=" + std::string { argv[index] } + "\n";
        for (const char* name : { "DISPLAY", "XAUTHORITY" })
            text += name + ("=" + std::string { std::getenv(name) ? std::getenv(name) : "" }) + "\n";
        stream << text << "session-leader=" << (getsid(0) == getpid())
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

// Names that a shell would take apart.
const std::string awkwardFolder = "we ird 'single' \"double\" ; $(touch pwned) `touch pwned` \\ \xC3\xA9\xE2\x82\xAC";
const std::string awkwardName = "run; rm -rf x $(id) 'it'.py";

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
    std::string makeApplication(const std::string& name, const std::string& text, unsigned mode = 0755)
    {
        test::writeFile(applications + "/" + name + ".app/Contents/MacOS/" + name, text, mode);
        return applications + "/" + name + ".app/Contents/MacOS/" + name;
    }
    std::string makeDocument(const std::string& name)
    {
        test::writeFile(scratch / name, documentText, 0755);
        return scratch / name;
    }
    // The values of the record's lines "KEY=VALUE", in order.
    std::vector<std::string> recorded(const std::string& key)
    {
        std::vector<std::string> values;
        std::istringstream lines { test::exists(record) ? test::readFile(record) : "" };
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with(key + "="))
                values.push_back(line.substr(key.size() + 1));
        return values;
    }
};

}

TEST_F(OpenToolFixture, StartsTheApplicationWithAbsolutePathsAndReturnsWithoutWaiting)
{
    std::string executable = makeApplication("Hold", documentText);
    std::string document = scratch / (awkwardFolder + "/" + awkwardName);
    test::writeFile(document, "");
    environment["ZELVANT_TEST_RELEASE"] = scratch / "release";
    std::string currentDirectory = fs::current_path().string();

    auto result = run(test::buildDirectory() + "/bin/zelvant-open", { "-a", "Hold", document, "relative doc" });
    ASSERT_EQ(result.status, 0) << result.error;
    // The open tool is back while the application still waits to be let go.
    EXPECT_TRUE(recorded("released").empty());
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
    std::string unrunnable = makeApplication("Unrunnable", "not executable", 0644);
    makeApplication("Escaping", documentText);
    test::writeFile(applications + "/Escaping.app/Contents/Info.plist",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>../../../Hold.app/"
        "Contents/MacOS/Hold</string></dict></plist>");

    // Arguments, exit status and what standard error says.
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        { {}, 2, "usage: " },
        { { "-a", "Missing", "" }, 2, "usage: " },
        { { "-a", "Missing" }, 1, "Unable to find application named 'Missing'\n" },
        { { "-a", "../Applications/Missing" }, 1, "Unable to find application named '../Applications/Missing'\n" },
        { { "-a", "Flat" }, 1, applications + "/Flat.app is not a directory" },
        { { "-a", "Dangling" }, 1, applications + "/Dangling.app is a link to nothing" },
        { { "-a", "Empty" }, 1, "Empty.app has no executable " + applications + "/Empty.app/Contents/MacOS/Empty" },
        { { "-a", "Unrunnable" }, 1, unrunnable + " is not an executable file" },
        { { "-a", "Escaping" }, 1, "which is not a file name" },
    };
    for (const auto& [arguments, status, error] : cases) {
        auto result = run(test::buildDirectory() + "/bin/zelvant-open", arguments);
        std::string label = arguments.empty() ? "(no arguments)" : arguments.back();
        EXPECT_EQ(result.status, status) << label << ": " << result.error;
        EXPECT_NE(result.error.find(error), std::string::npos) << label << ": " << result.error;
    }
    EXPECT_FALSE(test::exists(record)) << "nothing may have been started";
}

TEST_F(OpenToolFixture, X11WithoutAReachableDisplayRunsNothingAndSaysSo)
{
    for (const char* display : { "", ":65000", "localhost:99999999999", ":", "no display", "unix:1x" }) {
        environment["DISPLAY"] = display;
        auto result = run(x11, { makeDocument("document") });
        EXPECT_EQ(result.status, 1) << display;
        EXPECT_NE(result.error.find("X11: no X display: "), std::string::npos) << display << ": " << result.error;
    }
    EXPECT_FALSE(test::exists(record)) << "a document ran without a display";
}

TEST_F(OpenToolFixture, HeadlessX11UsesAnXvfbOnlyItsDocumentsMayUseAndAReachableDisplayOtherwise)
{
    auto xdpyinfo = test::programOnPath("xdpyinfo");
    if (!test::programOnPath("Xvfb") || !xdpyinfo)
        GTEST_SKIP() << "Xvfb or xdpyinfo is not installed";
    auto headless = environment;
    headless.merge(std::map<std::string, std::string> {
        { "ZELVANT_X11_HEADLESS", "1" }, { "DISPLAY", ":65000" }, { "ZELVANT_TEST_RELEASE", scratch / "never" } });
    std::string document = makeDocument(awkwardFolder + "/" + awkwardName);
    platform::ScopedFD null { ::open("/dev/null", O_RDWR | O_CLOEXEC) };
    platform::Task task;
    task.setLaunchPath(x11);
    task.setArguments({ document });
    task.setEnvironment(headless);
    task.setStandardError(null.get());
    ASSERT_TRUE(task.launch().ok());
    ASSERT_TRUE(test::eventually([&] { return !recorded("XAUTHORITY").empty(); }));
    EXPECT_EQ(recorded("argument"), std::vector<std::string> { document });
    std::string display = recorded("DISPLAY")[0], authority = recorded("XAUTHORITY")[0];
    struct stat status { };
    EXPECT_EQ(::stat(authority.c_str(), &status) == 0 ? status.st_mode & 0777 : 0, 0600u);
    auto connects = [&](const std::string& xauthority) {
        environment["DISPLAY"] = display;
        environment["XAUTHORITY"] = xauthority;
        return run(*xdpyinfo, {}).status == 0;
    };
    EXPECT_TRUE(connects(authority));
    EXPECT_FALSE(connects(scratch / "no-cookie")) << "a client without the cookie was let in";

    // Not headless, X11 uses the display it is given when it is reachable; a document it cannot run is a failure.
    fs::remove(record);
    auto result = run(x11, { scratch / "missing", makeDocument("reachable") });
    EXPECT_NE(result.error.find("X11: cannot run " + scratch / "missing"), std::string::npos) << result.error;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(recorded("DISPLAY"), std::vector<std::string> { display });

    task.terminate();
    ASSERT_TRUE(test::eventually([&] { return !task.isRunning(); })) << "X11 did not stop";
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
    EXPECT_FALSE(platform::isDisplayReachable(display)) << "the Xvfb of X11 outlived it";
    EXPECT_FALSE(test::exists(authority));
}
