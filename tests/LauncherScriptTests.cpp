// The launcher script: how the launcher fills the template, and what the
// real template and client make of hostile values, run black-box.
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace std::string_literals;

namespace {

// Reads the client's report line back into its fields (see zelclient.cpp
// for the quoting) and checks that the client found its data.
std::map<std::string, std::string> expectReport(
    const std::string& output, const std::map<std::string, std::string>& expected)
{
    std::map<std::string, std::string> fields;
    auto start = output.find("zelclient: ");
    std::string line
        = start == std::string::npos ? "" : output.substr(start + 11, output.find('\n', start) - start - 11);
    for (size_t index = 0, equals; (equals = line.find('=', index)) != std::string::npos;) {
        std::string& value = fields[line.substr(index, equals - index)];
        size_t quoted = line[equals + 1] == '"' ? 1 : 0;
        for (index = equals + 1 + quoted; index < line.size() && line[index] != (quoted ? '"' : ' '); ++index) {
            char c = line[index];
            if (quoted && c == '\\') {
                c = line[++index];
                if (c == 'x') {
                    c = static_cast<char>(std::stoi(line.substr(index + 1, 2), nullptr, 16));
                    index += 2;
                } else if (c == 'n' || c == 'r' || c == 't') {
                    c = c == 'n' ? '\n' : c == 'r' ? '\r' : '\t';
                }
            }
            value += c;
        }
        index += 1 + quoted; // past the closing quote, and the space
    }
    for (const char* data : { "fonts", "pangorc", "pixbuf" })
        EXPECT_EQ(fields[data], "ok") << data << ": " << output;
    for (const auto& [field, value] : expected)
        EXPECT_EQ(fields[field], value) << field << ": " << output;
    return fields;
}

struct LauncherScriptFixture : test::LaunchScratch {
    std::string bundle, zelvantDir;

    // A launcher bundle of our own at path, with the real client and either
    // the built template or the given text.
    void makeBundle(const std::string& path,
        const std::string& text
        = test::readFile(test::buildDirectory() + "/Zelvant.app/Contents/Resources/run-zelvant-template.py"))
    {
        bundle = path;
        zelvantDir = test::makeLauncherBundle(path);
        test::writeFile(path + "/Contents/Resources/run-zelvant-template.py", text);
    }

    // Runs the bundle's launcher with X11 recording what it is asked to open.
    test::ProcessResult launchBundle(const std::string& lang = "C")
    {
        auto environment = test::launchEnvironment(home, applications, record);
        environment["LANG"] = lang;
        std::filesystem::remove(record);
        return test::runProgram(bundle + "/Contents/MacOS/Zelvant", { .environment = environment });
    }
};

}

TEST_F(LauncherScriptFixture, PlaceholdersAreReplacedPassByPassWhereverTheyStandAndOnlyExactOnes)
{
    // Other bytes pass unchanged; the mode is 0744 whatever the umask.
    const std::string other = "[Homedir] [LANG] [ lang] [lang ] [supportdir homedir {lang} \xff\xfe\r\n\0tail"s;
    makeBundle(scratch / "Game.app",
        "[zelvantdir][zelvantdir]\nx[homedir]y[homedir]z\n[lang][lang]\n[supportdir]/run [supportdir]\n" + other);
    mode_t previous = ::umask(077);
    auto result = launchBundle("de_DE");
    ::umask(previous);
    EXPECT_EQ(result.status, 0) << result.error;
    std::string z = zelvantDir, s = test::supportDirectory(home);
    EXPECT_EQ(test::readFile(s + "/run-zelvant.py"),
        z + z + "\nx" + home + "y" + home + "z\nde_DEde_DE\n" + s + "/run " + s + "\n" + other);
    EXPECT_EQ(std::filesystem::status(s + "/run-zelvant.py").permissions(), std::filesystem::perms { 0744 });

    // The bundle path holds the second placeholder, the home the first, the
    // language the last: what an earlier pass inserts is searched by the
    // later passes, never by its own or an earlier one.
    makeBundle(scratch / "in [homedir] dir", "Z=[zelvantdir]\nH=[homedir]\nL=[lang]\nS=[supportdir]\n");
    test::makeDirectories(home = scratch / "h[zelvantdir]h");
    result = launchBundle("[supportdir]");
    EXPECT_EQ(result.status, 0) << result.error;
    s = test::supportDirectory(home);
    EXPECT_EQ(test::readFile(s + "/run-zelvant.py"),
        "Z=" + test::replaceAll(zelvantDir, "[homedir]", home) + "\nH=" + home + "\nL=" + s + "\nS=" + s + "\n");
}

TEST_F(LauncherScriptFixture, HostileValuesReachTheClientExactlyAndNeverRun)
{
    // Each would create the canary if a value were ever taken as shell or
    // Python code.
    std::string canary = scratch / "canary";
    std::string touch = "$(touch " + canary + ") `touch " + canary + "`";
    std::string python = "open('" + canary + "', 'w')";
    struct Hostile {
        const char* what;
        std::string home, bundle, lang;
        bool refused = false;
    };
    const Hostile cases[] = {
        { "quotes and backslashes", "it's \"home\" \\ \\\\ \\n", "a 'b' \"c\" \\ \\x41", "de_DE\"'\\" },
        { "triple quotes", "\"\"\"+" + python + "+\"\"\" '''+" + python + "+'''", "\"\"\"); " + python + "; (\"\"\"",
            "'''" },
        { "shell", "home " + touch + " ; x", "b " + touch + " | x", "fr " + touch },
        { "brackets and spaces", " [x] (y) {z} <w> [lang ", "[ Game ] (copy) {1}", "[fr]" },
        { "newlines", "a\n" + python + "\n#", "b\r" + python + "\r\n\"\n" + python + "\n", "pt_BR\n" + python },
        { "non-ASCII", "zé 文字 🙂 \xff\xfe", "Jogo ção \xc3", "pt_BR.\xe7" },
        { "the block's own marker", "x\n#@@ y\n#<lang>", "#@@\n#<zelvantdir>", "\n#@@" },
        // Refused, not guessed.
        { "the block's own tags", "h</zelvantdir>\n#<homedir>" + python, "Game", "C", true },
    };
    for (const auto& hostile : cases) {
        SCOPED_TRACE(hostile.what);
        test::TemporaryDirectory place;
        test::makeDirectories(home = place / ("home " + hostile.home));
        makeBundle(place / (hostile.bundle + ".app"));
        auto launched = launchBundle(hostile.lang);
        EXPECT_EQ(launched.status, 0) << launched.error;
        std::string script = test::supportDirectory(home) + "/run-zelvant.py";
        ASSERT_EQ(handedOff(), script + "\n");

        // What the X11 application does with the script, without a display.
        auto ran = test::runProgram(script, { .environment = test::minimalEnvironment(home) });
        EXPECT_EQ(ran.status != 0, hostile.refused) << ran.error;
        if (hostile.refused)
            EXPECT_NE(ran.error.find("cannot tell the launcher's values apart"), std::string::npos) << ran.error;
        else
            expectReport(ran.output,
                { { "home", home }, { "installation", zelvantDir }, { "support", test::supportDirectory(home) },
                    { "locale", hostile.lang }, { "display", "" } });
        EXPECT_FALSE(test::exists(canary));
    }
}
