// The launcher script: how the launcher fills the template, and what the
// real template hands the client of hostile values, run black-box.
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace std::string_literals;

namespace {

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
    // The bundle path holds the second placeholder, the home the first, the
    // language the last: what an earlier pass inserts is searched by the
    // later passes, never by its own or an earlier one. Other bytes pass
    // unchanged; the mode is 0744 whatever the umask.
    const std::string other = "[Homedir] [LANG] [ lang] [lang ] [supportdir homedir {lang} \xff\xfe\r\n\0tail"s;
    makeBundle(scratch / "in [homedir] dir",
        "[zelvantdir][zelvantdir]\nx[homedir]y[homedir]z\n[lang][lang]\n[supportdir]/run [supportdir]\n" + other);
    test::makeDirectories(home = scratch / "h[zelvantdir]h");
    mode_t previous = ::umask(077);
    auto result = launchBundle("[supportdir]");
    ::umask(previous);
    EXPECT_EQ(result.status, 0) << result.error;
    std::string z = test::replaceAll(zelvantDir, "[homedir]", home), s = test::supportDirectory(home);
    EXPECT_EQ(test::readFile(s + "/run-zelvant.py"),
        z + z + "\nx" + home + "y" + home + "z\n" + s + s + "\n" + s + "/run " + s + "\n" + other);
    EXPECT_EQ(std::filesystem::status(s + "/run-zelvant.py").permissions(), std::filesystem::perms { 0744 });
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
        { "quotes, backslashes and triple quotes",
            "it's \"home\" \\ \\\\ \\n \"\"\"+" + python + "+\"\"\" '''+" + python + "+'''",
            "a 'b' \"c\" \\ \\x41 \"\"\"); " + python + "; (\"\"\"", "de_DE\"'\\'''" },
        { "shell, brackets and spaces", "home " + touch + " ; x [x] (y) {z} <w> [lang ",
            "b " + touch + " | x [ Game ] (copy) {1}", "fr " + touch + " [fr]" },
        { "newlines and non-ASCII", "a\n" + python + "\n# zé 文字 🙂 \xff\xfe",
            "b\r" + python + "\r\n\"\n" + python + "\n Jogo ção \xc3", "pt_BR\n" + python + ".\xe7" },
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

        // What the X11 application does with the script; the installation's
        // client is replaced by one that writes out the values it was handed.
        std::filesystem::remove(zelvantDir + "/bin/zelclient");
        test::writeFile(zelvantDir + "/bin/zelclient",
            "#!/bin/sh\nprintf '%s\\0' \"$HOME\" \"$ZELVANT_DIR\" \"$ZELVANT_SUPPORT_DIR\" \"$ZELVANT_LOCALE\"\n",
            0755);
        auto ran = test::runProgram(script, { .environment = test::minimalEnvironment(home) });
        if (hostile.refused) {
            EXPECT_NE(ran.status, 0);
            EXPECT_NE(ran.error.find("cannot tell the launcher's values apart"), std::string::npos) << ran.error;
            EXPECT_EQ(ran.output, "");
        } else {
            EXPECT_EQ(ran.status, 0) << ran.error;
            EXPECT_EQ(ran.output,
                home + '\0' + zelvantDir + '\0' + test::supportDirectory(home) + '\0' + hostile.lang + '\0');
        }
        EXPECT_FALSE(test::exists(canary));
    }
}
