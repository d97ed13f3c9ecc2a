#include "ProcessInfo.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using namespace platform;
using Array = PropertyValue::Array;
using Dictionary = PropertyValue::Dictionary;

TEST(UserDefaultsArguments, PairsKeysWithValues)
{
    // argv[0] is the program; a key followed by a key, or at the end, has no
    // value; "-" is a key, not a value; the session argument is no key.
    EXPECT_EQ(UserDefaults::argumentDomain({ "-argv0", "value0", "stray", "-a", "1", "-b", "-c", "x y", "-psn_0_4711",
                  "-d", "-", "-e", "", "-f" }),
        (Dictionary { { "a", "1" }, { "c", "x y" }, { "e", "" } }));

    // The session argument never takes the next word as its value.
    EXPECT_EQ(UserDefaults::argumentDomain({ "prog", "-psn_0_1", "-k", "v" }), (Dictionary { { "k", "v" } }));
    // A later pair for the same key wins.
    EXPECT_EQ(UserDefaults::argumentDomain({ "prog", "-k", "a", "-k", "b" }), (Dictionary { { "k", "b" } }));
    // A negative number looks like a key.
    EXPECT_EQ(UserDefaults::argumentDomain({ "prog", "-k", "-5" }), Dictionary {});
}

TEST(UserDefaultsArguments, ParsesValuesThatLookLikePropertyListsAndKeepsMalformedOnesAsText)
{
    std::string deep = std::string(100'000, '(') + std::string(100'000, ')');
    EXPECT_EQ(UserDefaults::argumentDomain(
                  { "prog", "-AppleLanguages", "(de, en, fr)", "-dict", "{a = (1, \"two\"); b = {c = d;}; /* note */}",
                      "-quoted", "\"quoted text\"", "-open", "(de, en", "-unquoted", "de en", "-brace", "{a = b}",
                      "-trailing", "\"x\" and more", "-deep", deep, "-bare", "(de)x" }),
        (Dictionary { { "AppleLanguages", Array { "de", "en", "fr" } },
            { "dict", Dictionary { { "a", Array { "1", "two" } }, { "b", Dictionary { { "c", "d" } } } } },
            { "quoted", "quoted text" }, { "open", "(de, en" }, { "unquoted", "de en" }, { "brace", "{a = b}" },
            { "trailing", "\"x\" and more" }, { "deep", deep }, { "bare", "(de)x" } }));
}

namespace {

// The shared defaults against a scratch home and chosen arguments.
struct UserDefaultsFixture : ::testing::Test {
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home";
    std::string savedHome = environmentValue("HOME").value_or("/");
    std::vector<std::string> savedArguments = processArguments();
    UserDefaults& defaults = UserDefaults::standardUserDefaults();

    void SetUp() override
    {
        test::makeDirectories(home + "/Library/Preferences");
        ::setenv("HOME", home.c_str(), 1);
        setProcessArguments({ "zelvant_tests" });
        defaults.reset();
    }
    void TearDown() override
    {
        defaults.reset();
        setProcessArguments(savedArguments);
        ::setenv("HOME", savedHome.c_str(), 1);
    }
};

}

TEST_F(UserDefaultsFixture, DomainsRankArgumentsThenApplicationThenGlobalThenRegistered)
{
    EXPECT_EQ(UserDefaults::applicationDomainPath(), home + "/Library/Preferences/zelvant_tests.plist");
    EXPECT_EQ(UserDefaults::globalDomainPath(), home + "/Library/Preferences/.GlobalPreferences.plist");
    test::writeFile(UserDefaults::applicationDomainPath(),
        test::propertyListBytes(Dictionary { { "k", "application" }, { "a", "application" } }, false));
    test::writeFile(UserDefaults::globalDomainPath(),
        test::propertyListBytes(Dictionary { { "k", "global" }, { "a", "global" }, { "g", "global" } }, true));
    setProcessArguments({ "zelvant_tests", "-k", "argument" });
    defaults.registerDefaults(
        { { "k", "registered" }, { "a", "registered" }, { "g", "registered" }, { "r", "registered" } });

    EXPECT_EQ(defaults.stringForKey("k"), "argument");
    EXPECT_EQ(defaults.stringForKey("a"), "application");
    EXPECT_EQ(defaults.stringForKey("g"), "global");
    EXPECT_EQ(defaults.stringForKey("r"), "registered");
    EXPECT_EQ(defaults.objectForKey("none"), std::nullopt);
    // A later registration replaces an earlier one, below every stored value.
    defaults.registerDefaults({ { "r", "again" }, { "k", "again" } });
    EXPECT_EQ(defaults.stringForKey("r"), "again");
    EXPECT_EQ(defaults.stringForKey("k"), "argument");
}

TEST_F(UserDefaultsFixture, StringForKeyGivesStringsAndNumbersOnly)
{
    test::writeFile(UserDefaults::applicationDomainPath(),
        test::propertyListBytes(
            Dictionary { { "string", "text" }, { "integer", int64_t { -42 } }, { "real", 2.5 }, { "whole", 3.0 },
                { "flag", true }, { "array", Array { "a" } }, { "dictionary", Dictionary { { "a", "b" } } } },
            true));
    const std::pair<const char*, std::optional<std::string>> cases[]
        = { { "string", "text" }, { "integer", "-42" }, { "real", "2.5" }, { "whole", "3" }, { "flag", std::nullopt },
              { "array", std::nullopt }, { "dictionary", std::nullopt } };
    for (const auto& [key, expected] : cases)
        EXPECT_EQ(defaults.stringForKey(key), expected) << key;
    EXPECT_EQ(defaults.objectForKey("array"), (PropertyValue { Array { "a" } }));
}

TEST_F(UserDefaultsFixture, FilesAreReadOnceAndOnlyWhenAsked)
{
    test::writeFile(
        UserDefaults::applicationDomainPath(), test::propertyListBytes(Dictionary { { "k", "first" } }, false));
    defaults.registerDefaults({ { "r", "x" } });
    EXPECT_FALSE(defaults.hasReadPreferenceFiles()) << "registering reads nothing";
    EXPECT_EQ(defaults.stringForKey("k"), "first");
    EXPECT_TRUE(defaults.hasReadPreferenceFiles());
    test::writeFile(
        UserDefaults::applicationDomainPath(), test::propertyListBytes(Dictionary { { "k", "second" } }, false));
    EXPECT_EQ(defaults.stringForKey("k"), "first") << "read once per process";
}

TEST_F(UserDefaultsFixture, UnreadableFilesAreEmptyDomainsAndBigOnesAreRead)
{
    Dictionary many;
    for (int i = 0; i < 2'000; ++i)
        many.emplace("key" + std::to_string(i), std::string(1'000, 'v') + std::to_string(i));
    std::string big = test::propertyListBytes(many, false);
    ASSERT_GT(big.size(), 2'000'000u);
    test::writeFile(UserDefaults::globalDomainPath(), big);
    EXPECT_EQ(defaults.stringForKey("key1999"), std::string(1'000, 'v') + "1999");

    std::string xml = test::propertyListBytes(Dictionary { { "k", "application" } }, false);
    std::string binary = test::propertyListBytes(Dictionary { { "k", "application" } }, true);
    std::string nested = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>";
    for (int i = 0; i < 300'000; ++i)
        nested += "<array>";
    const std::pair<std::string, std::string> cases[] = {
        { "empty", "" },
        { "text", "k = application;\n" },
        { "truncated XML", xml.substr(0, xml.size() - 20) },
        { "truncated binary", binary.substr(0, binary.size() - 5) },
        { "binary header only", "bplist00" },
        { "array at the top", test::propertyListBytes(Array { "k", "application" }, false) },
        { "string at the top", test::propertyListBytes(PropertyValue { "k" }, true) },
        { "megabytes of text", std::string(size_t { 3 } << 20, 'x') },
        { "nested past the bound", nested },
    };
    test::writeFile(UserDefaults::globalDomainPath(), test::propertyListBytes(Dictionary { { "k", "global" } }, true));
    for (const auto& [name, bytes] : cases) {
        test::writeFile(UserDefaults::applicationDomainPath(), bytes);
        defaults.reset();
        EXPECT_EQ(defaults.stringForKey("k"), "global") << name;
    }
    std::filesystem::remove(UserDefaults::applicationDomainPath());
    test::makeDirectories(UserDefaults::applicationDomainPath());
    defaults.reset();
    EXPECT_EQ(defaults.stringForKey("k"), "global") << "a directory in the file's place";

    std::filesystem::remove_all(home + "/Library");
    defaults.reset();
    EXPECT_EQ(defaults.objectForKey("k"), std::nullopt) << "no preferences folder";
}
