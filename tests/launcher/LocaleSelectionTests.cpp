#include "MyApplicationDelegate.h"
#include "Path.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace platform;

// The locale selection and the user defaults it reads.

namespace {

// The defaults and determineLanguage in-process, against a scratch home and
// client installation.
struct LocaleSelection : test::DefaultsScratch {
    std::string client = scratch / "client/zelvant-x.y.z";
    test::ScopedEnvironment lang { "LANG", std::nullopt };

    // Catalogue entries: NAME a directory, NAME! a plain file.
    void install(const std::vector<std::string>& entries)
    {
        std::filesystem::remove_all(scratch / "client");
        test::makeDirectories(client + "/share");
        std::string catalogue = client + "/share/locale";
        for (const auto& entry : entries) {
            if (entry.ends_with('!'))
                test::writeFile(stringByAppendingPathComponent(catalogue, entry.substr(0, entry.size() - 1)), "");
            else
                test::makeDirectories(stringByAppendingPathComponent(catalogue, entry));
        }
    }

    std::string select(std::vector<std::string> list)
    {
        return MyApplicationDelegate {}.determineLanguage(
            { .home = home, .zelvantDir = client }, arguments(std::move(list)));
    }
};

}

TEST_F(LocaleSelection, DecisionTableAndWorkedExamples)
{
    // What the case is, the catalogue's entries, the arguments, the locale.
    using Strings = std::vector<std::string>;
    const std::tuple<const char*, Strings, Strings, const char*> cases[] = {
        { "no preferred languages", { "de" }, {}, "en_EN" },
        { "empty preferred languages", { "de" }, { "-AppleLanguages", "()" }, "en_EN" },
        { "not an array: as if absent", { "de" }, { "-AppleLanguages", "{de = de;}" }, "en_EN" },
        { "en first, no entry en", { "fr" }, { "-AppleLanguages", "(en, fr)" }, "en_EN" },
        { "element 0 not a string is not en", { "de" }, { "-AppleLanguages", "((en), de)" }, "de_DE" },
        { "no entry for any element", { "ja", "it" }, { "-AppleLanguages", "(de, fr)" }, "en_EN" },
        { "example: ja, en, de with de, fr", { "de", "fr" }, { "-AppleLanguages", "(ja, en, de)" }, "de_DE" },
        { "en_GB probed and found", { "en_GB", "de" }, { "-AppleLanguages", "(en_GB, de)" }, "en_GB" },
        { "a plain file counts", { "sv!" }, { "-AppleLanguages", "(sv)" }, "sv_SV" },
        { "odd elements never leave the catalogue", { "fr", "de", "../xx" },
            { "-AppleLanguages", "((de), {a = b;}, <00>, \"\", ., .., ../xx, ./de, \"de\\000x\", fr)" }, "fr_FR" },
    };
    for (const auto& [name, catalogue, arguments, expected] : cases) {
        install(catalogue);
        EXPECT_EQ(select(arguments), expected) << name;
    }
    // A stored value is widened alike (counting characters, not bytes); one
    // that is no string leaves the computed de.
    install({ "de" });
    const std::pair<const char*, const char*> stored[]
        = { { "pt_BR", "pt_BR" }, { "nl", "nl_NL" }, { "", "" }, { "ñu", "ñu_ÑU" }, { "(nl)", "de_DE" } };
    for (const auto& [value, expected] : stored)
        EXPECT_EQ(select({ "-AppleLanguages", "(de)", "-locale", value }), expected) << value;
    // Each launch registers its own default locale: none is stored.
    EXPECT_TRUE(std::filesystem::is_empty(home + "/Library/Preferences"));
}

TEST_F(LocaleSelection, LangDecidesAloneAndReadsNothing)
{
    install({ "de" });
    for (std::string value : { "", "fr", "de_DE.UTF-8" }) {
        test::ScopedEnvironment set { "LANG", value };
        EXPECT_EQ(select({ "-AppleLanguages", "(de)" }), value);
        EXPECT_FALSE(defaults->hasReadPreferenceFiles()) << value;
        EXPECT_EQ(defaults->domainForKey("locale"), std::nullopt) << "nothing registered under \"" << value << "\"";
    }
}
