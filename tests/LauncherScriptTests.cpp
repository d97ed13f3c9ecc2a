// The launcher script: how the launcher fills the template, and what the
// real template and client make of hostile values, run black-box.
#include "TestSupport.h"

#include <chrono>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string version = ZELVANT_TEST_VERSION;

std::string supportDirectoryFor(const std::string& home)
{
    return home + "/Library/Application Support/Zelvant/" + version;
}

std::string replaceAll(std::string text, const std::string& target, const std::string& replacement)
{
    for (size_t found = 0; (found = text.find(target, found)) != std::string::npos; found += replacement.size())
        text.replace(found, target.size(), replacement);
    return text;
}

// Reads the client's report line back into its fields (see zelclient.cpp
// for the quoting).
std::map<std::string, std::string> parseReport(const std::string& output)
{
    std::map<std::string, std::string> fields;
    auto start = output.find("zelclient: ");
    if (start == std::string::npos)
        return fields;
    auto end = output.find('\n', start);
    std::string line = output.substr(start + 11, end == std::string::npos ? std::string::npos : end - start - 11);
    size_t index = 0;
    while (index < line.size()) {
        auto equals = line.find('=', index);
        if (equals == std::string::npos)
            break;
        std::string key = line.substr(index, equals - index);
        std::string value;
        index = equals + 1;
        if (index < line.size() && line[index] == '"') {
            for (++index; index < line.size() && line[index] != '"'; ++index) {
                if (line[index] != '\\') {
                    value += line[index];
                    continue;
                }
                char escaped = line[++index];
                if (escaped == 'n')
                    value += '\n';
                else if (escaped == 'r')
                    value += '\r';
                else if (escaped == 't')
                    value += '\t';
                else if (escaped == 'x') {
                    value += static_cast<char>(std::stoi(line.substr(index + 1, 2), nullptr, 16));
                    index += 2;
                } else
                    value += escaped;
            }
            ++index;
        } else {
            auto space = line.find(' ', index);
            value = line.substr(index, space - index);
            index = space == std::string::npos ? line.size() : space;
        }
        fields[key] = value;
        index = line.find_first_not_of(' ', index);
        if (index == std::string::npos)
            break;
    }
    return fields;
}

mode_t modeOf(const std::string& path)
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// A launcher bundle of our own at a chosen path, with the real client and
// either the real template or one given as text.
struct Bundle {
    std::string path;

    std::string zelvantDir() const { return path + "/Contents/Resources/zelvant-x.y.z"; }
    std::string templatePath() const { return path + "/Contents/Resources/run-zelvant-template.py"; }
    std::string launcher() const { return path + "/Contents/MacOS/Zelvant"; }

    static Bundle copyOfTheBuiltOne(const std::string& path)
    {
        test::makeDirectories(path);
        std::filesystem::copy(test::buildDirectory() + "/Zelvant.app/Contents", path + "/Contents",
            std::filesystem::copy_options::recursive);
        return { path };
    }

    static Bundle withTemplate(const std::string& path, const std::optional<std::string>& text)
    {
        Bundle bundle { path };
        test::makeLauncherBundle(path);
        if (text)
            test::writeFile(bundle.templatePath(), *text);
        return bundle;
    }
};

struct LauncherScriptFixture : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string applications = scratch / "Applications";
    std::string record = scratch / "x11-record";

    void SetUp() override
    {
        test::makeDirectories(applications);
        test::makeRecordingApplication(applications, "X11");
    }

    // Runs the bundle's launcher with X11 recording what it is asked to open.
    test::ProcessResult launch(const Bundle& bundle, const std::string& home, std::optional<std::string> lang = "C")
    {
        auto environment = test::minimalEnvironment(home);
        environment["ZELVANT_APPLICATION_PATH"] = applications;
        environment["ZELVANT_TEST_RECORD"] = record;
        environment["ZELVANT_OPEN_TOOL"] = test::buildDirectory() + "/bin/zelvant-open";
        if (lang)
            environment["LANG"] = *lang;
        std::filesystem::remove(record);
        return test::runProgram(bundle.launcher(), { .environment = environment });
    }

    // What the X11 application was asked to open; the open tool does not
    // wait for it, so give it a moment.
    std::string handedOff()
    {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (test::exists(record)) {
                std::this_thread::sleep_for(50ms);
                return test::readFile(record);
            }
            std::this_thread::sleep_for(10ms);
        }
        return {};
    }

    std::string makeHome(const std::string& path)
    {
        test::makeDirectories(path + "/Library/Application Support");
        return path;
    }
};

}

TEST_F(LauncherScriptFixture, PlaceholdersAreReplacedWhereverTheyStandAndOnlyExactOnes)
{
    auto bundle = Bundle::withTemplate(scratch / "Game.app",
        "[zelvantdir][zelvantdir]\n"
        "x[homedir]y[homedir]z\n"
        "pre[lang]post [lang]\n"
        "[supportdir]/run [supportdir]\n"
        "[Homedir] [LANG] [ lang] [lang ] [supportdir [zelvantdir] [homedir\n"
        "homedir lang supportdir zelvantdir {lang} (lang)\n");
    std::string home = makeHome(scratch / "home");
    auto result = launch(bundle, home, "de_DE");
    EXPECT_EQ(result.status, 0) << result.error;

    std::string z = bundle.zelvantDir(), s = supportDirectoryFor(home);
    EXPECT_EQ(test::readFile(s + "/run-zelvant.py"),
        z + z + "\n"
            + "x" + home + "y" + home + "z\n"
            + "prede_DEpost de_DE\n"
            + s + "/run " + s + "\n"
            + "[Homedir] [LANG] [ lang] [lang ] [supportdir " + z + " [homedir\n"
            + "homedir lang supportdir zelvantdir {lang} (lang)\n");
    EXPECT_EQ(handedOff(), s + "/run-zelvant.py\n");
}

TEST_F(LauncherScriptFixture, LaterPassesSearchWhatEarlierOnesInserted)
{
    // The bundle path holds the second placeholder, the home the first, the
    // language the last: what an earlier pass inserts is searched by the
    // later passes, never by its own or an earlier one.
    auto bundle = Bundle::withTemplate(scratch / "in [homedir] dir", "Z=[zelvantdir]\nH=[homedir]\nL=[lang]\nS=[supportdir]\n");
    std::string home = makeHome(scratch / "h[zelvantdir]h");
    auto result = launch(bundle, home, "[supportdir]");
    EXPECT_EQ(result.status, 0) << result.error;

    std::string s = supportDirectoryFor(home);
    EXPECT_EQ(test::readFile(s + "/run-zelvant.py"),
        "Z=" + replaceAll(bundle.zelvantDir(), "[homedir]", home) + "\n"
            + "H=" + home + "\n"
            + "L=" + s + "\n"
            + "S=" + s + "\n");
}

TEST_F(LauncherScriptFixture, ScriptWithoutPlaceholdersKeepsItsBytesAndGetsMode0744WhateverTheUmask)
{
    std::string text = "#!/bin/false\n\xff\xfe not UTF-8, [nothing] here\r\n";
    text += std::string { "\0tail", 5 };
    auto bundle = Bundle::withTemplate(scratch / "Game.app", text);
    std::string home = makeHome(scratch / "home");
    std::string script = supportDirectoryFor(home) + "/run-zelvant.py";
    for (mode_t mask : { mode_t { 077 }, mode_t { 000 } }) {
        mode_t previous = ::umask(mask);
        auto result = launch(bundle, home);
        ::umask(previous);
        EXPECT_EQ(result.status, 0) << result.error;
        EXPECT_EQ(test::readFile(script), text);
        EXPECT_EQ(modeOf(script), 0744u) << "umask " << std::oct << mask;
    }
}

TEST_F(LauncherScriptFixture, MissingTemplateLeavesNoScriptFailsAndStillHandsOff)
{
    auto bundle = Bundle::withTemplate(scratch / "Game.app", std::nullopt);
    std::string home = makeHome(scratch / "home");
    auto result = launch(bundle, home);
    std::string script = supportDirectoryFor(home) + "/run-zelvant.py";
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.error.find("run-zelvant-template.py"), std::string::npos) << result.error;
    EXPECT_FALSE(test::exists(script));
    EXPECT_TRUE(test::exists(supportDirectoryFor(home))) << "the support directory is still made";
    EXPECT_EQ(handedOff(), script + "\n");
}

TEST_F(LauncherScriptFixture, MissingSupportDirectoryStillGivesTheScriptPath)
{
    // A file where a directory of the chain should be: no one can create
    // the support directory, root included.
    auto bundle = Bundle::withTemplate(scratch / "Game.app", "[supportdir]\n");
    std::string home = scratch / "home";
    test::writeFile(home + "/Library/Application Support", "not a directory");
    auto result = launch(bundle, home);
    std::string script = supportDirectoryFor(home) + "/run-zelvant.py";
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.error.find("launcher script"), std::string::npos) << result.error;
    EXPECT_EQ(handedOff(), script + "\n");
}

namespace {

struct Hostile {
    const char* what;
    std::string home; // below the scratch directory
    std::string bundle; // likewise
    std::string lang;
};

}

TEST_F(LauncherScriptFixture, HostileValuesReachTheClientExactlyAndNeverRun)
{
    // Each would create the canary if a value were ever taken as shell or
    // Python code.
    std::string canary = scratch / "canary";
    std::string touch = "$(touch " + canary + ") `touch " + canary + "`";
    std::string python = "open('" + canary + "', 'w')";
    const Hostile cases[] = {
        { "quotes and backslashes", "it's \"home\" \\ \\\\ \\n", "a 'b' \"c\" \\ \\x41", "de_DE\"'\\" },
        { "triple quotes", "\"\"\"+" + python + "+\"\"\" '''+" + python + "+'''", "\"\"\"); " + python + "; (\"\"\"", "'''" },
        { "shell", "home " + touch + " ; x", "b " + touch + " | x", "fr " + touch },
        { "brackets and spaces", " [x] (y) {z} <w> [lang ", "[ Game ] (copy) {1}", "[fr]" },
        { "newlines", "a\n" + python + "\n#", "b\r" + python + "\r\n\"\n" + python + "\n", "pt_BR\n" + python },
        { "non-ASCII", "zé 文字 🙂 \xff\xfe", "Jogo ção \xc3", "pt_BR.\xe7" },
        { "the block's own marker", "x\n#@@ y\n#<lang>", "#@@\n#<zelvantdir>", "\n#@@" },
    };
    for (const auto& hostile : cases) {
        SCOPED_TRACE(hostile.what);
        test::TemporaryDirectory place;
        std::string home = makeHome(place / ("home " + hostile.home));
        auto bundle = Bundle::copyOfTheBuiltOne(place / (hostile.bundle + ".app"));
        auto launched = launch(bundle, home, hostile.lang);
        EXPECT_EQ(launched.status, 0) << launched.error;
        std::string script = supportDirectoryFor(home) + "/run-zelvant.py";
        ASSERT_EQ(handedOff(), script + "\n");

        // What the X11 application does with the script, without a display.
        auto ran = test::runProgram(script, { .environment = test::minimalEnvironment(home) });
        EXPECT_EQ(ran.status, 0) << ran.error;
        auto report = parseReport(ran.output);
        EXPECT_EQ(report["home"], home) << ran.output;
        EXPECT_EQ(report["installation"], bundle.zelvantDir());
        EXPECT_EQ(report["support"], supportDirectoryFor(home));
        EXPECT_EQ(report["locale"], hostile.lang);
        EXPECT_EQ(report["display"], "");
        EXPECT_EQ(report["fonts"], "ok");
        EXPECT_EQ(report["pangorc"], "ok");
        EXPECT_EQ(report["pixbuf"], "ok");
        EXPECT_FALSE(test::exists(canary));
    }
}

TEST_F(LauncherScriptFixture, ValuesHoldingTheBlockTagsAreRefusedNotGuessed)
{
    test::TemporaryDirectory place;
    std::string canary = place / "canary";
    std::string home = makeHome(place / ("h</zelvantdir>\n#<homedir>open('" + canary + "', 'w')"));
    auto bundle = Bundle::copyOfTheBuiltOne(place / "Game.app");
    auto launched = launch(bundle, home);
    EXPECT_EQ(launched.status, 0) << launched.error;
    auto ran = test::runProgram(supportDirectoryFor(home) + "/run-zelvant.py", { .environment = test::minimalEnvironment(home) });
    EXPECT_NE(ran.status, 0);
    EXPECT_NE(ran.error.find("cannot tell the launcher's values apart"), std::string::npos) << ran.error;
    EXPECT_EQ(ran.output, "");
    EXPECT_FALSE(test::exists(canary));
}

namespace {

// Processes whose environment holds the given entry.
std::vector<std::string> processesMarkedWith(const std::string& entry)
{
    std::vector<std::string> found;
    std::unique_ptr<DIR, int (*)(DIR*)> proc { ::opendir("/proc"), ::closedir };
    if (!proc)
        return found;
    while (dirent* process = ::readdir(proc.get())) {
        std::string name = process->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        try {
            std::string environment = std::string { "\0", 1 } + test::readFile("/proc/" + name + "/environ");
            if (environment.find(std::string { "\0", 1 } + entry + std::string { "\0", 1 }) != std::string::npos)
                found.push_back(name + ": " + test::readFile("/proc/" + name + "/comm"));
        } catch (const std::exception&) {
            // Gone meanwhile, or not ours to read.
        }
    }
    return found;
}

}

TEST(LauncherEndToEnd, WithoutDisplayTheClientReportsFromAPrivateXvfbThatIsGoneAfterwards)
{
    if (!test::exists("/usr/bin/Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed";
    test::TemporaryDirectory scratch;
    std::string home = scratch / "player home";
    test::makeDirectories(home + "/Library/Application Support");
    // Every process of this launch inherits the mark: X11, Xvfb, the client.
    std::string mark = "ZELVANT_TEST_MARK=" + scratch.path();
    auto environment = test::minimalEnvironment(home);
    environment["ZELVANT_APPLICATION_PATH"] = test::buildDirectory() + "/Applications";
    environment["ZELVANT_OPEN_TOOL"] = test::buildDirectory() + "/bin/zelvant-open";
    environment["ZELVANT_TEST_MARK"] = scratch.path();

    // Standard output stays open until the client and the X11 application
    // are done with it, so this returns after them.
    auto result = test::runProgram(test::launcherPath(), { .arguments = { "-AppleLanguages", "(de)" }, .environment = environment });
    EXPECT_EQ(result.status, 0) << result.error;
    auto report = parseReport(result.output);
    EXPECT_EQ(report["locale"], "de_DE") << result.output << result.error;
    EXPECT_EQ(report["greeting"], "Willkommen bei Zelvant!");
    EXPECT_TRUE(report["display"].starts_with(":")) << result.output;
    EXPECT_EQ(report["home"], home);
    EXPECT_EQ(report["support"], supportDirectoryFor(home));
    EXPECT_EQ(report["fonts"], "ok");
    EXPECT_EQ(report["pangorc"], "ok");
    EXPECT_EQ(report["pixbuf"], "ok");

    // The pipe closes a moment before the processes are reaped.
    auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<std::string> left = processesMarkedWith(mark);
    while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        left = processesMarkedWith(mark);
    }
    EXPECT_TRUE(left.empty()) << "still running: " << testing::PrintToString(left);
}
