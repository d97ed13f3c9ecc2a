#include "Display.h"
#include "Task.h"
#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

// The open tool and the X11 application, run as the launcher runs them.

namespace {

// The process behind a local display ":N", asked of its socket.
pid_t displayServerProcess(const std::string& display)
{
    if (!display.starts_with(":"))
        return 0;
    std::string path = "/tmp/.X11-unix/X" + display.substr(1, display.find('.') - 1);
    platform::ScopedFD fd { ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) };
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, path.data(), path.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0)
        return 0;
    ucred credentials {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return 0;
    return credentials.pid;
}

bool processExists(pid_t pid)
{
    return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH);
}

// A document or application run as a program: the test binary through a
// "#!" line. It appends what it was given and what it runs with to
// $ZELVANT_TEST_DOCUMENT_RECORD; with $ZELVANT_TEST_RELEASE set it then lets go
// of its output and waits for that file to appear.
const bool documentRegistered = [] {
    test::registerChildBehaviour("document", [](int argc, char** argv) {
        const char* record = std::getenv("ZELVANT_TEST_DOCUMENT_RECORD");
        if (!record)
            return 3;
        std::string text;
        for (int index = 2; index < argc; ++index)
            text += "argument=" + std::string { argv[index] } + "\n";
        const char* display = std::getenv("DISPLAY");
        text += "display=" + std::string { display ? display : "" } + "\n";
        text += "reachable=" + std::to_string(display && platform::isDisplayReachable(display)) + "\n";
        if (display && *display)
            text += "server=" + std::to_string(displayServerProcess(display)) + "\n";
        text += "session-leader=" + std::to_string(getsid(0) == getpid()) + "\n";
        struct stat input, nullDevice;
        bool inputIsNull = fstat(0, &input) == 0 && stat("/dev/null", &nullDevice) == 0 && input.st_rdev == nullDevice.st_rdev && S_ISCHR(input.st_mode);
        text += "stdin-null=" + std::to_string(inputIsNull) + "\n";
        {
            std::ofstream stream(record, std::ios::app);
            stream << text;
        }
        const char* release = std::getenv("ZELVANT_TEST_RELEASE");
        if (!release)
            return 0;
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::close(null);
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!test::exists(release) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        std::ofstream stream(record, std::ios::app);
        stream << (test::exists(release) ? "released\n" : "gave up\n");
        return 0;
    });
    return true;
}();

std::string documentProgramText()
{
    return "#!" + test::testBinaryPath() + " --child=document\n";
}

std::string openTool()
{
    return test::buildDirectory() + "/bin/zelvant-open";
}

std::string x11Executable()
{
    return test::buildDirectory() + "/Applications/X11.app/Contents/MacOS/X11";
}

std::string currentDirectory()
{
    return std::filesystem::current_path().string();
}

// Waits until the text file holds the line, so a lost write fails instead of hanging.
bool waitForLine(const std::string& path, const std::string& line)
{
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (test::exists(path) && test::readFile(path).find(line + "\n") != std::string::npos)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Names that a shell would take apart.
const std::string awkwardFolder = "we ird 'single' \"double\" ; $(touch pwned) `touch pwned` \\ \xC3\xA9\xE2\x82\xAC";
const std::string awkwardName = "run; rm -rf x $(id) 'it'.py";

struct OpenToolFixture : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string applications = scratch / "Applications";
    std::string record = scratch / "record";

    void SetUp() override { test::makeDirectories(applications); }

    std::map<std::string, std::string> environment()
    {
        auto environment = test::minimalEnvironment(scratch / "home");
        environment["ZELVANT_APPLICATION_PATH"] = applications;
        environment["ZELVANT_TEST_DOCUMENT_RECORD"] = record;
        return environment;
    }

    std::string makeApplication(const std::string& name, const std::string& executableText, unsigned mode = 0755)
    {
        std::string bundle = applications + "/" + name + ".app";
        test::writeFile(bundle + "/Contents/MacOS/" + name, executableText, mode);
        return bundle;
    }
};

}

TEST_F(OpenToolFixture, StartsTheApplicationWithAbsolutePathsAndReturnsWithoutWaiting)
{
    std::string bundle = makeApplication("Hold", documentProgramText());
    std::string document = scratch / (awkwardFolder + "/" + awkwardName);
    test::writeFile(document, "");
    auto environment = this->environment();
    // Empty, relative and missing folders before the real one are passed over.
    environment["ZELVANT_APPLICATION_PATH"] = "::relative/Applications:" + scratch.path() + "/missing::" + applications + ":";
    environment["ZELVANT_TEST_RELEASE"] = scratch / "release";

    auto result = test::runProgram(openTool(), { .arguments = { "-a", "Hold", document, "relative doc" }, .environment = environment, .timeoutSeconds = 30 });
    ASSERT_EQ(result.status, 0) << result.error;
    // The open tool is back while the application still waits to be let go.
    EXPECT_FALSE(test::exists(record) && test::readFile(record).find("released") != std::string::npos);
    test::writeFile(scratch / "release", "");
    ASSERT_TRUE(waitForLine(record, "released"));
    std::string expected;
    for (const auto& line : { "argument=" + bundle + "/Contents/MacOS/Hold", "argument=" + document,
             "argument=" + currentDirectory() + "/relative doc", std::string { "display=" }, std::string { "reachable=0" },
             std::string { "session-leader=1" }, std::string { "stdin-null=1" }, std::string { "released" } })
        expected += line + "\n";
    EXPECT_EQ(test::readFile(record), expected);
    EXPECT_FALSE(test::exists(currentDirectory() + "/pwned"));
}

TEST_F(OpenToolFixture, SaysWhatIsWrongAndFails)
{
    test::writeFile(applications + "/Flat.app", "a file, not a bundle");
    std::filesystem::create_symlink(scratch / "nowhere", applications + "/Dangling.app");
    test::makeDirectories(applications + "/Empty.app/Contents/MacOS");
    makeApplication("Unrunnable", "not executable", 0644);
    test::makeDirectories(applications + "/Folder.app/Contents/MacOS/Folder");
    makeApplication("Escaping", documentProgramText());
    test::writeFile(applications + "/Escaping.app/Contents/Info.plist",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>../../../Hold.app/Contents/MacOS/Hold</string></dict></plist>");

    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string error; // found in standard error
    };
    const Case cases[] = {
        { {}, 2, "usage: " },
        { { "-a" }, 2, "usage: " },
        { { "-a", "" }, 2, "usage: " },
        { { "-b", "X11" }, 2, "usage: " },
        { { "-a", "Missing", "" }, 2, "usage: " },
        { { "-a", "Missing" }, 1, "Unable to find application named 'Missing'\n" },
        { { "-a", "../Applications/Missing" }, 1, "Unable to find application named '../Applications/Missing'\n" },
        { { "-a", "Flat" }, 1, applications + "/Flat.app is not a directory" },
        { { "-a", "Dangling" }, 1, applications + "/Dangling.app is a link to nothing" },
        { { "-a", "Empty" }, 1, applications + "/Empty.app has no executable " + applications + "/Empty.app/Contents/MacOS/Empty" },
        { { "-a", "Unrunnable" }, 1, applications + "/Unrunnable.app/Contents/MacOS/Unrunnable is not an executable file" },
        { { "-a", "Folder" }, 1, applications + "/Folder.app/Contents/MacOS/Folder is not an executable file" },
        { { "-a", "Escaping" }, 1, "which is not a file name" },
    };
    for (const auto& testCase : cases) {
        auto result = test::runProgram(openTool(), { .arguments = testCase.arguments, .environment = environment(), .timeoutSeconds = 30 });
        std::string label = testCase.arguments.empty() ? "(no arguments)" : testCase.arguments.back();
        EXPECT_EQ(result.status, testCase.status) << label << ": " << result.error;
        EXPECT_NE(result.error.find(testCase.error), std::string::npos) << label << ": " << result.error;
    }
    EXPECT_FALSE(test::exists(record)) << "nothing may have been started";
}

TEST_F(OpenToolFixture, LauncherEndsWhenX11CannotBeOpened)
{
    auto environment = this->environment();
    environment["ZELVANT_OPEN_TOOL"] = openTool();
    environment["LANG"] = "C";
    test::makeDirectories(scratch / "home");

    // Found but not runnable: the open tool says why, and the launcher still ends.
    test::makeDirectories(applications + "/X11.app/Contents/MacOS");
    auto noExecutable = test::runProgram(test::launcherPath(), { .environment = environment, .timeoutSeconds = 60 });
    EXPECT_NE(noExecutable.error.find("X11.app has no executable"), std::string::npos) << noExecutable.error;

    // A file named X11.app is no application: the alert, and nothing written.
    std::filesystem::remove_all(applications + "/X11.app");
    std::filesystem::remove_all(scratch / "home");
    test::makeDirectories(scratch / "home");
    test::writeFile(applications + "/X11.app", "");
    auto flat = test::runProgram(test::launcherPath(), { .environment = environment, .timeoutSeconds = 60 });
    EXPECT_NE(flat.status, 0);
    EXPECT_NE(flat.error.find("Unable to locate the X11 application."), std::string::npos) << flat.error;
    EXPECT_TRUE(std::filesystem::is_empty(scratch / "home"));
}

TEST_F(OpenToolFixture, X11RunsDocumentsThroughTheOpenToolOnAnXvfbItStopsAfterwards)
{
    if (!test::programOnPath("Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed";
    std::string first = scratch / (awkwardFolder + "/" + awkwardName);
    std::string second = scratch / "second \"document\"";
    test::writeFile(first, documentProgramText(), 0755);
    test::writeFile(second, documentProgramText(), 0755);
    auto environment = this->environment();
    environment["ZELVANT_APPLICATION_PATH"] = test::buildDirectory() + "/Applications";

    // Standard error stays open until X11 and its Xvfb have ended, so this
    // returns only then.
    auto result = test::runProgram(openTool(), { .arguments = { "-a", "X11", first, second }, .environment = environment, .timeoutSeconds = 60 });
    ASSERT_EQ(result.status, 0) << result.error;
    ASSERT_TRUE(test::exists(record)) << result.error;
    std::string text = test::readFile(record);
    std::istringstream lines { text };
    std::vector<std::string> arguments;
    std::vector<std::string> displays;
    std::vector<pid_t> servers;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("argument="))
            arguments.push_back(line.substr(9));
        if (line.starts_with("display="))
            displays.push_back(line.substr(8));
        if (line.starts_with("server="))
            servers.push_back(std::stoi(line.substr(7)));
    }
    EXPECT_EQ(arguments, (std::vector<std::string> { first, second }));
    ASSERT_EQ(displays.size(), 2u) << text;
    EXPECT_FALSE(displays[0].empty());
    EXPECT_EQ(displays[0], displays[1]) << "one server for all documents";
    EXPECT_EQ(text.find("reachable=0"), std::string::npos) << text;
    ASSERT_EQ(servers.size(), 2u) << text;
    EXPECT_GT(servers[0], 0) << text;
    EXPECT_FALSE(processExists(servers[0])) << "the Xvfb of X11 outlived it";
    EXPECT_FALSE(test::exists(currentDirectory() + "/pwned"));
}

TEST_F(OpenToolFixture, X11UsesTheCurrentDisplayAndReportsDocumentsThatFail)
{
    if (!test::programOnPath("Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed";
    auto server = platform::VirtualDisplay::start();
    ASSERT_TRUE(server) << server.error().message();
    std::string document = scratch / "document";
    test::writeFile(document, documentProgramText(), 0755);
    auto environment = this->environment();
    environment["DISPLAY"] = (*server)->name();

    auto result = test::runProgram(x11Executable(), { .arguments = { scratch / "missing", document }, .environment = environment, .timeoutSeconds = 60 });
    EXPECT_NE(result.status, 0) << "a document that cannot run is a failure";
    EXPECT_NE(result.error.find("cannot run " + scratch / "missing"), std::string::npos) << result.error;
    std::string expected = "display=" + (*server)->name() + "\nreachable=1\nserver=" + std::to_string((*server)->processIdentifier()) + "\n";
    EXPECT_NE(test::readFile(record).find(expected), std::string::npos) << test::readFile(record);
}

TEST_F(OpenToolFixture, X11WithNoDisplayToBeHadSaysSoAndFails)
{
    std::string document = scratch / "document";
    test::writeFile(document, documentProgramText(), 0755);
    test::makeDirectories(scratch / "empty-bin");
    auto environment = this->environment();
    environment["PATH"] = scratch / "empty-bin";
    environment["DISPLAY"] = ":65000";

    auto result = test::runProgram(x11Executable(), { .arguments = { document }, .environment = environment, .timeoutSeconds = 30 });
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.error.find("X11: no display"), std::string::npos) << result.error;
    EXPECT_FALSE(test::exists(record)) << "the document must not run without a display";
}

TEST_F(OpenToolFixture, X11AskedToStopEndsItsDocumentAndItsXvfb)
{
    if (!test::programOnPath("Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed";
    std::string document = scratch / "document";
    test::writeFile(document, documentProgramText(), 0755);
    auto environment = this->environment();
    environment["ZELVANT_TEST_RELEASE"] = scratch / "never";

    platform::ScopedFD null { ::open("/dev/null", O_RDWR | O_CLOEXEC) };
    platform::Task x11;
    x11.setLaunchPath(x11Executable());
    x11.setArguments({ document });
    x11.setEnvironment(environment);
    x11.setStandardInput(null.get());
    x11.setStandardOutput(null.get());
    x11.setStandardError(null.get());
    ASSERT_TRUE(x11.launch().ok());
    ASSERT_TRUE(waitForLine(record, "reachable=1"));
    std::string text = test::readFile(record);
    pid_t server = std::stoi(text.substr(text.find("server=") + 7));
    ASSERT_GT(server, 0) << text;

    x11.terminate();
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (x11.isRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(x11.isRunning()) << "X11 did not stop";
    EXPECT_FALSE(x11.terminatedBySignal());
    EXPECT_EQ(x11.terminationStatus(), 128 + SIGTERM);
    EXPECT_FALSE(processExists(server)) << "the Xvfb of X11 outlived it";
    EXPECT_EQ(test::readFile(record).find("gave up"), std::string::npos);
}
