// The launcher script: how the launcher fills the template, and what the
// real template and client make of hostile values, run black-box.
#include "Display.h"
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
            if (!quoted || line[index] != '\\') {
                value += line[index];
            } else if (const char c = line[++index]; c != 'x') {
                value += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            } else {
                value += static_cast<char>(std::stoi(line.substr(index + 1, 2), nullptr, 16));
                index += 2;
            }
        }
        index += 1 + quoted; // past the closing quote, and the space
    }
    // What the client found of its data: all through the support directory.
    std::string support = fields["support"];
    std::map<std::string, std::string> found { { "font", support + "/fonts/zelvant-sans.ttf" },
        { "pixbuf", "xpm:48x48" }, { "loaders", support + "/gtk-2.0/gdk-pixbuf.loaders" },
        { "pangorc", support + "/pango/pangorc" }, { "modulefiles", support + "/pango/pango.modules" } };
    for (const auto& [field, value] : expected)
        found[field] = value;
    for (const auto& [field, value] : found) {
        std::string_view want = value, have = fields[field];
        if (want.ends_with('*')) { // a prefix
            want.remove_suffix(1);
            have = have.substr(0, want.size());
        }
        EXPECT_EQ(have, want) << field << ": " << output;
    }
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
        // Without a display the client reports what it found, and fails.
        EXPECT_NE(ran.status, 0);
        if (hostile.refused) {
            EXPECT_NE(ran.error.find("cannot tell the launcher's values apart"), std::string::npos) << ran.error;
            EXPECT_EQ(ran.output, "");
        } else {
            std::map<std::string, std::string> expected { { "home", home }, { "installation", zelvantDir },
                { "support", test::supportDirectory(home) }, { "locale", hostile.lang }, { "display", "" } };
            // The rewritten loader file and pangorc hold the home as text: a quote, a backslash, a line break
            // or bytes that are not UTF-8 break their lines.
            if (hostile.home.find_first_of("\"\\\n\r\xff") != std::string::npos)
                expected.merge(std::map<std::string, std::string> { { "pixbuf", "failed:*" }, { "modulefiles", "*" } });
            expectReport(ran.output, expected);
            EXPECT_NE(ran.error.find("zelclient: cannot open the display"), std::string::npos) << ran.error;
        }
        EXPECT_FALSE(test::exists(canary));
    }
}

TEST(LauncherEndToEnd, TheClientShowsItsWindowOnAPrivateXvfbThatIsGoneAfterwards)
{
    if (!test::exists("/usr/bin/Xvfb"))
        GTEST_SKIP() << "Xvfb is not installed";
    test::TemporaryDirectory scratch;
    std::string home = scratch / "player home zé 文字", support = test::supportDirectory(home);
    auto environment = test::minimalEnvironment(home);
    environment.merge(std::map<std::string, std::string> {
        { "ZELVANT_APPLICATION_PATH", test::buildDirectory() + "/Applications" }, { "ZELVANT_X11_HEADLESS", "1" } });
    // French from the arguments, which rank above German from a binary global preference file.
    test::writeFile(home + "/Library/Preferences/.GlobalPreferences.plist",
        test::propertyListBytes(
            platform::PropertyValue::Dictionary { { "AppleLanguages", platform::PropertyValue::Array { "de" } } },
            true));
    // Standard output stays open until the client and the X11 application
    // are done with it, so this returns after them.
    auto result = test::runProgram(
        test::launcherPath(), { .arguments = { "-AppleLanguages", "(fr)" }, .environment = environment });
    EXPECT_EQ(result.status, 0) << result.error;
    auto report = expectReport(result.output,
        { { "locale", "fr_FR" }, { "greeting", "Bienvenue dans Zelvant !" }, { "home", home }, { "support", support },
            { "display", ":*" }, { "window", "0x*" } });
    // The loader file left as shipped, naming /Users/login: every file is in
    // place, yet the image cannot load.
    std::filesystem::copy_file(report["installation"] + "/gtk-2.0/gdk-pixbuf.loaders",
        support + "/gtk-2.0/gdk-pixbuf.loaders", std::filesystem::copy_options::overwrite_existing);
    auto broken = test::runProgram(support + "/run-zelvant.py", { .environment = test::minimalEnvironment(home) });
    EXPECT_NE(
        expectReport(broken.output, { { "pixbuf", "failed:*" } })["pixbuf"].find("/Users/login/"), std::string::npos);

    // The private Xvfb went with the launch it served.
    EXPECT_TRUE(test::eventually([&] { return !platform::isDisplayReachable(report["display"]); }))
        << report["display"];
}
