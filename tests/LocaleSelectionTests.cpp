#include "MyApplicationDelegate.h"
#include "ProcessInfo.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace platform;
using Array = PropertyValue::Array;
using Dictionary = PropertyValue::Dictionary;

namespace {

class LocaleDelegate : public MyApplicationDelegate {
public:
    explicit LocaleDelegate(std::string zelvantDirPath) { setZelvantDirPath(std::move(zelvantDirPath)); }
};

enum class Catalogue { Missing,
    PlainFile,
    Directory };

struct Installation {
    Catalogue catalogue { Catalogue::Directory };
    std::vector<std::string> directories; // entries of the catalogue
    std::vector<std::string> files; // plain files in the catalogue
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

    void install(const Installation& installation)
    {
        std::filesystem::remove_all(scratch / "client");
        test::makeDirectories(client + "/share");
        if (installation.catalogue == Catalogue::PlainFile)
            test::writeFile(catalogue, "not a directory\n");
        if (installation.catalogue != Catalogue::Directory)
            return;
        test::makeDirectories(catalogue);
        for (const auto& name : installation.directories)
            test::makeDirectories(catalogue + "/" + name + "/LC_MESSAGES");
        for (const auto& name : installation.files)
            test::writeFile(catalogue + "/" + name, "");
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
        Installation installation;
        std::vector<std::string> arguments;
        std::string expected;
    };
    const Case cases[] = {
        { "no preferred languages", { .directories = { "de" } }, {}, "en_EN" },
        { "empty preferred languages", { .directories = { "de" } }, { "-AppleLanguages", "()" }, "en_EN" },
        { "en first, entry for the second", { .directories = { "de" } }, { "-AppleLanguages", "(en, de)" }, "en_EN" },
        { "en first, no entry en", { .directories = { "fr" } }, { "-AppleLanguages", "(en, fr)" }, "en_EN" },
        { "catalogue missing", { .catalogue = Catalogue::Missing }, { "-AppleLanguages", "(de, fr)" }, "en_EN" },
        { "catalogue a plain file", { .catalogue = Catalogue::PlainFile }, { "-AppleLanguages", "(de, fr)" }, "en_EN" },
        { "no entry for any element", { .directories = { "ja", "it" } }, { "-AppleLanguages", "(de, fr)" }, "en_EN" },
        { "first element with an entry", { .directories = { "fr", "it" } }, { "-AppleLanguages", "(de, fr, it)" }, "fr_FR" },
        { "example: de, en, fr with de", { .directories = { "de" } }, { "-AppleLanguages", "(de, en, fr)" }, "de_DE" },
        { "example: ja, en, de with de, fr", { .directories = { "de", "fr" } }, { "-AppleLanguages", "(ja, en, de)" }, "de_DE" },
        { "example: en, de with de", { .directories = { "de" } }, { "-AppleLanguages", "(en, de)" }, "en_EN" },
        { "example: de with de, stored pt_BR", { .directories = { "de" } }, { "-AppleLanguages", "(de)", "-locale", "pt_BR" }, "pt_BR" },
        { "en_GB probed and found", { .directories = { "en_GB", "de" } }, { "-AppleLanguages", "(en_GB, de)" }, "en_GB" },
        { "en_GB probed, nothing found", { .directories = { "de" } }, { "-AppleLanguages", "(en_GB, fr)" }, "en_EN" },
        { "a plain file counts", { .files = { "sv" } }, { "-AppleLanguages", "(sv)" }, "sv_SV" },
        { "a link counts", { .directories = { "real" } }, { "-AppleLanguages", "(link)" }, "link" },
        { "longer codes stay", { .directories = { "haw", "zh_TW" } }, { "-AppleLanguages", "(zh_TW, haw)" }, "zh_TW" },
        { "case is kept", { .directories = { "FR" } }, { "-AppleLanguages", "(FR)" }, "FR_FR" },
        { "stored over computed", { .directories = { "de" } }, { "-AppleLanguages", "(de)", "-locale", "nl" }, "nl_NL" },
    };
    for (const auto& c : cases) {
        install(c.installation);
        if (std::string { c.name } == "a link counts")
            std::filesystem::create_directory_symlink("real", catalogue + "/link");
        EXPECT_EQ(select(c.arguments), c.expected) << c.name;
    }
}

TEST_F(LocaleSelection, StoredValueIsWidenedCountingCharacters)
{
    install({ .directories = { "de" } });
    const std::pair<std::string, std::string> cases[] = {
        { "nl", "nl_NL" },
        { "en", "en_EN" },
        { "FR", "FR_FR" },
        { "pt_BR", "pt_BR" },
        { "", "" },
        { "\"\"", "" },
        { "ñu", "ñu_ÑU" },
        { "日本", "日本_日本" },
        { "é", "é" },
        { "abc", "abc" },
    };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(select({ "-AppleLanguages", "(de)", "-locale", stored }), expected) << stored;
}

TEST_F(LocaleSelection, LangDecidesAloneAndReadsNothing)
{
    install({ .directories = { "de" } });
    test::writeFile(UserDefaults::applicationDomainPath(), test::propertyListBytes(Dictionary { { "locale", "nl" } }, false));
    for (std::string lang : { "", "fr", "de_DE.UTF-8" }) {
        ::setenv("LANG", lang.c_str(), 1);
        EXPECT_EQ(select({ "-AppleLanguages", "(de)", "-locale", "it" }), lang);
        EXPECT_FALSE(defaults.hasReadPreferenceFiles()) << lang;
        ::unsetenv("LANG");
        EXPECT_EQ(defaults.objectForKey("locale"), PropertyValue { "it" }) << "nothing registered under \"" << lang << "\"";
        setProcessArguments({ "zelvant_tests" });
        defaults.reset();
        EXPECT_EQ(defaults.objectForKey("locale"), PropertyValue { "nl" });
    }
}

TEST_F(LocaleSelection, RegistersTheComputedLocaleAndStoresNothing)
{
    install({ .directories = { "de", "fr" } });
    EXPECT_EQ(select({ "-AppleLanguages", "(de)" }), "de_DE");
    EXPECT_EQ(defaults.objectForKey("locale"), PropertyValue { "de" });
    // The next launch registers its own.
    EXPECT_EQ(select({ "-AppleLanguages", "(fr)" }), "fr_FR");
    EXPECT_EQ(defaults.objectForKey("locale"), PropertyValue { "fr" });
    EXPECT_TRUE(std::filesystem::is_empty(home + "/Library/Preferences"));
}

TEST_F(LocaleSelection, PreferencesComeFromFilesToo)
{
    install({ .directories = { "de", "fr" } });
    test::writeFile(UserDefaults::globalDomainPath(), test::propertyListBytes(Dictionary { { "AppleLanguages", Array { "fr", "de" } } }, true));
    EXPECT_EQ(select({}), "fr_FR");
    EXPECT_EQ(select({ "-AppleLanguages", "(de)" }), "de_DE") << "arguments rank above the global file";
    test::writeFile(UserDefaults::applicationDomainPath(), test::propertyListBytes(Dictionary { { "locale", "pt_BR" } }, false));
    EXPECT_EQ(select({}), "pt_BR");
}

TEST_F(LocaleSelection, OddValuesNeverLeaveTheCatalogue)
{
    install({ .directories = { "fr" } });
    test::makeDirectories(client + "/share/xx");
    test::makeDirectories(catalogue + "/de");
    // Each of these exists relative to the catalogue, or is no name at all.
    EXPECT_EQ(select({ "-AppleLanguages", "((de), {a = b;}, <00>, \"\", ., .., ../xx, ./de, \"de\\000x\", fr)" }), "fr_FR");
    EXPECT_EQ(select({ "-AppleLanguages", "(\"\", ../xx)" }), "en_EN");
    // Element 0 that is not a string is not "en": the catalogue is probed.
    EXPECT_EQ(select({ "-AppleLanguages", "((en), de)" }), "de_DE");
    // Not an array: as if absent.
    EXPECT_EQ(select({ "-AppleLanguages", "de" }), "en_EN");
    EXPECT_EQ(select({ "-AppleLanguages", "{de = de;}" }), "en_EN");
    // A stored locale that gives no string leaves the computed one.
    EXPECT_EQ(select({ "-AppleLanguages", "(de)", "-locale", "(nl)" }), "de_DE");
    EXPECT_EQ(select({ "-AppleLanguages", "(de)", "-locale", "{a = nl;}" }), "de_DE");
    test::writeFile(UserDefaults::applicationDomainPath(), test::propertyListBytes(Dictionary { { "locale", true } }, true));
    EXPECT_EQ(select({ "-AppleLanguages", "(de)" }), "de_DE");
}

namespace {

// The launcher run as a program from a bundle of our own whose script
// template holds just "[lang]", with no LANG in its environment.
struct LocaleThroughLauncher : test::LaunchScratch {
    std::string bundle = scratch / "Locale.app";

    void SetUp() override
    {
        std::string client = test::makeLauncherBundle(bundle);
        test::makeDirectories(client + "/share/locale/de/LC_MESSAGES");
        test::makeDirectories(client + "/share/locale/fr/LC_MESSAGES");
        test::writeFile(bundle + "/Contents/Resources/run-zelvant-template.py", "[lang]");
    }

    std::string select(const std::vector<std::string>& arguments)
    {
        auto environment = this->environment();
        environment.erase("LANG");
        auto result = test::runProgram(bundle + "/Contents/MacOS/Zelvant", { .arguments = arguments, .environment = environment });
        EXPECT_EQ(result.status, 0) << result.error;
        return test::readFile(test::supportDirectory(home) + "/run-zelvant.py");
    }
};

}

TEST_F(LocaleThroughLauncher, ArgumentsAndGlobalPreferencesChooseTheLanguage)
{
    EXPECT_EQ(select({ "-AppleLanguages", "(de, en, fr)" }), "de_DE");
    EXPECT_EQ(select({}), "en_EN");
    test::writeFile(home + "/Library/Preferences/.GlobalPreferences.plist",
        test::propertyListBytes(Dictionary { { "AppleLanguages", Array { "ja", "fr", "de" } } }, true));
    EXPECT_EQ(select({}), "fr_FR");
    EXPECT_EQ(select({ "-locale", "pt_BR" }), "pt_BR");
}
