#include "MyApplicationDelegate.h"
#include "ProcessInfo.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using namespace platform;
using Array = PropertyValue::Array;
using Dictionary = PropertyValue::Dictionary;

namespace {

struct LocaleDelegate : MyApplicationDelegate {
    explicit LocaleDelegate(std::string zelvantDirPath) { setZelvantDirPath(std::move(zelvantDirPath)); }
};

// determineLanguage in-process, against a scratch home and client installation.
struct LocaleSelection : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home";
    std::string client = scratch / "client/zelvant-x.y.z";
    std::string catalogue = client + "/share/locale";
    std::optional<std::string> savedLang = environmentValue("LANG");
    std::string savedHome = environmentValue("HOME").value_or("/");
    std::vector<std::string> savedArguments = processArguments();
    UserDefaults& defaults = UserDefaults::standardUserDefaults();

    void SetUp() override
    {
        test::makeDirectories(home + "/Library/Preferences");
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("LANG");
    }
    void TearDown() override
    {
        defaults.reset();
        setProcessArguments(savedArguments);
        ::setenv("HOME", savedHome.c_str(), 1);
        if (savedLang)
            ::setenv("LANG", savedLang->c_str(), 1);
    }

    // Catalogue entries: NAME a directory, NAME! a plain file, NAME@ a link
    // to the entry "real"; "(file)" a plain file for the catalogue itself.
    // None: no catalogue.
    void install(const std::vector<std::string>& entries)
    {
        std::filesystem::remove_all(scratch / "client");
        test::makeDirectories(client + "/share");
        for (const auto& entry : entries) {
            std::string name = catalogue + "/" + entry.substr(0, entry.find_first_of("!@"));
            if (entry == "(file)")
                test::writeFile(catalogue, "not a directory\n");
            else if (entry.ends_with('!'))
                test::writeFile(name, "");
            else if (entry.ends_with('@'))
                std::filesystem::create_directory_symlink("real", name);
            else
                test::makeDirectories(name + "/LC_MESSAGES");
        }
    }

    // One launch's selection: fresh defaults, these arguments.
    std::string select(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv { "zelvant_tests" };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        setProcessArguments(argv);
        defaults.reset();
        return LocaleDelegate { client }.determineLanguage();
    }
};

}

TEST_F(LocaleSelection, DecisionTableAndWorkedExamples)
{
    struct Case {
        const char* name;
        std::vector<std::string> catalogue;
        const char* languages; // -AppleLanguages, if given
        std::string expected;
        const char* stored = nullptr; // -locale, if given
    };
    const std::vector<std::string> odd { "fr", "de", "../xx" };
    const Case cases[] = {
        { "no preferred languages", { "de" }, nullptr, "en_EN" },
        { "empty preferred languages", { "de" }, "()", "en_EN" },
        { "en first, entry for the second", { "de" }, "(en, de)", "en_EN" },
        { "en first, no entry en", { "fr" }, "(en, fr)", "en_EN" },
        { "catalogue missing", {}, "(de, fr)", "en_EN" },
        { "catalogue a plain file", { "(file)" }, "(de, fr)", "en_EN" },
        { "no entry for any element", { "ja", "it" }, "(de, fr)", "en_EN" },
        { "first element with an entry", { "fr", "it" }, "(de, fr, it)", "fr_FR" },
        { "example: de, en, fr with de", { "de" }, "(de, en, fr)", "de_DE" },
        { "example: ja, en, de with de, fr", { "de", "fr" }, "(ja, en, de)", "de_DE" },
        { "example: en, de with de", { "de" }, "(en, de)", "en_EN" },
        { "example: de with de, stored pt_BR", { "de" }, "(de)", "pt_BR", "pt_BR" },
        { "en_GB probed and found", { "en_GB", "de" }, "(en_GB, de)", "en_GB" },
        { "en_GB probed, nothing found", { "de" }, "(en_GB, fr)", "en_EN" },
        { "a plain file counts", { "sv!" }, "(sv)", "sv_SV" },
        { "a link counts", { "real", "link@" }, "(link)", "link" },
        { "longer codes stay", { "haw", "zh_TW" }, "(zh_TW, haw)", "zh_TW" },
        { "case is kept", { "FR" }, "(FR)", "FR_FR" },
        { "stored over computed", { "de" }, "(de)", "nl_NL", "nl" },
        // A stored value is widened counting characters, not bytes.
        { "stored en", { "de" }, "(de)", "en_EN", "en" },
        { "stored FR", { "de" }, "(de)", "FR_FR", "FR" },
        { "stored empty", { "de" }, "(de)", "", "" },
        { "stored empty quoted", { "de" }, "(de)", "", "\"\"" },
        { "stored two characters", { "de" }, "(de)", "ñu_ÑU", "ñu" },
        { "stored two wide characters", { "de" }, "(de)", "日本_日本", "日本" },
        { "stored one character", { "de" }, "(de)", "é", "é" },
        { "stored three characters", { "de" }, "(de)", "abc", "abc" },
        // Odd values: each exists relative to the catalogue, or is no name at all.
        { "odd elements never leave the catalogue", odd,
            "((de), {a = b;}, <00>, \"\", ., .., ../xx, ./de, \"de\\000x\", fr)", "fr_FR" },
        { "only odd elements", odd, "(\"\", ../xx)", "en_EN" },
        { "element 0 not a string is not en", { "de" }, "((en), de)", "de_DE" },
        { "not an array: as if absent", { "de" }, "de", "en_EN" },
        { "a dictionary: as if absent", { "de" }, "{de = de;}", "en_EN" },
        { "stored array leaves the computed one", { "de" }, "(de)", "de_DE", "(nl)" },
        { "stored dictionary leaves the computed one", { "de" }, "(de)", "de_DE", "{a = nl;}" },
    };
    for (const auto& c : cases) {
        install(c.catalogue);
        std::vector<std::string> arguments;
        if (c.languages)
            arguments.insert(arguments.end(), { "-AppleLanguages", c.languages });
        if (c.stored)
            arguments.insert(arguments.end(), { "-locale", c.stored });
        EXPECT_EQ(select(arguments), c.expected) << c.name;
    }
}

TEST_F(LocaleSelection, LangDecidesAloneAndReadsNothing)
{
    install({ "de" });
    test::writeFile(
        UserDefaults::applicationDomainPath(), test::propertyListBytes(Dictionary { { "locale", "nl" } }, false));
    for (std::string lang : { "", "fr", "de_DE.UTF-8" }) {
        ::setenv("LANG", lang.c_str(), 1);
        EXPECT_EQ(select({ "-AppleLanguages", "(de)", "-locale", "it" }), lang);
        EXPECT_FALSE(defaults.hasReadPreferenceFiles()) << lang;
        ::unsetenv("LANG");
        EXPECT_EQ(defaults.objectForKey("locale"), PropertyValue { "it" })
            << "nothing registered under \"" << lang << "\"";
        setProcessArguments({ "zelvant_tests" });
        defaults.reset();
        EXPECT_EQ(defaults.objectForKey("locale"), PropertyValue { "nl" });
    }
}

TEST_F(LocaleSelection, RegistersTheComputedLocaleAndStoresNothing)
{
    install({ "de", "fr" });
    EXPECT_EQ(select({ "-AppleLanguages", "(de)" }), "de_DE");
    EXPECT_EQ(defaults.objectForKey("locale"), PropertyValue { "de" });
    // The next launch registers its own.
    EXPECT_EQ(select({ "-AppleLanguages", "(fr)" }), "fr_FR");
    EXPECT_EQ(defaults.objectForKey("locale"), PropertyValue { "fr" });
    EXPECT_TRUE(std::filesystem::is_empty(home + "/Library/Preferences"));
}

TEST_F(LocaleSelection, PreferencesComeFromFilesToo)
{
    install({ "de", "fr" });
    test::writeFile(UserDefaults::globalDomainPath(),
        test::propertyListBytes(Dictionary { { "AppleLanguages", Array { "fr", "de" } } }, true));
    EXPECT_EQ(select({}), "fr_FR");
    EXPECT_EQ(select({ "-AppleLanguages", "(de)" }), "de_DE") << "arguments rank above the global file";
    test::writeFile(
        UserDefaults::applicationDomainPath(), test::propertyListBytes(Dictionary { { "locale", "pt_BR" } }, false));
    EXPECT_EQ(select({}), "pt_BR");
    // A stored locale that gives no string leaves the computed one.
    test::writeFile(
        UserDefaults::applicationDomainPath(), test::propertyListBytes(Dictionary { { "locale", true } }, true));
    EXPECT_EQ(select({ "-AppleLanguages", "(de)" }), "de_DE");
}

namespace {

// The launcher without LANG, against a bundle whose template is just "[lang]".
struct LocaleThroughLauncher : test::LaunchScratch {
    std::string bundle = scratch / "Locale.app";

    std::map<std::string, std::string> environment() const override
    {
        auto environment = LaunchScratch::environment();
        environment.erase("LANG");
        return environment;
    }

    std::string script(const std::vector<std::string>& arguments) const
    {
        auto result = launch(bundle + "/Contents/MacOS/Zelvant", arguments);
        EXPECT_EQ(result.status, 0) << result.error;
        return test::readFile(test::supportDirectory(home) + "/run-zelvant.py");
    }
};

}

TEST_F(LocaleThroughLauncher, ArgumentsAndGlobalPreferencesChooseTheLanguage)
{
    std::string client = test::makeLauncherBundle(bundle);
    for (const char* language : { "de", "fr" })
        test::makeDirectories(client + "/share/locale/" + language + "/LC_MESSAGES");
    test::writeFile(bundle + "/Contents/Resources/run-zelvant-template.py", "[lang]");

    EXPECT_EQ(script({ "-AppleLanguages", "(de, en, fr)" }), "de_DE");
    EXPECT_EQ(script({}), "en_EN");
    test::writeFile(home + "/Library/Preferences/.GlobalPreferences.plist",
        test::propertyListBytes(Dictionary { { "AppleLanguages", Array { "ja", "fr", "de" } } }, true));
    EXPECT_EQ(script({}), "fr_FR");
    EXPECT_EQ(script({ "-locale", "pt_BR" }), "pt_BR");
}
