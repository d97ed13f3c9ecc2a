#include "TestSupport.h"
#include "UserDefaults.h"

#include <gtest/gtest.h>

using namespace platform;
using Array = PropertyValue::Array;
using Dictionary = PropertyValue::Dictionary;

using UserDefaultsFiles = test::DefaultsScratch;

// argv[0] is the program; a key followed by a key, or at the end, has no
// value; "-" is a key; the session argument stands alone; a value that is
// not a well-formed old-style list (or one nested too deep: the
// OldStylePropertyList tests) stays text.
TEST(UserDefaultsArguments, PairsKeysWithValuesAndParsesLists)
{
    EXPECT_EQ(
        UserDefaults::argumentDomain({ "-argv0", "value0", "-a", "1", "-b", "-c", "x y", "-psn_0_4711", "stray", "-d",
            "-", "-e", "", "-n", "-5", "-k", "a", "-k", "b", "-list", "(de, en)", "-dict", "{a = (1, \"two\");}",
            "-quoted", "\"q\"", "-open", "(de, en", "-brace", "{a = b}", "-trailing", "\"x\" y", "-f" }),
        (Dictionary { { "a", "1" }, { "c", "x y" }, { "e", "" }, { "k", "b" }, { "list", Array { "de", "en" } },
            { "dict", Dictionary { { "a", Array { "1", "two" } } } }, { "quoted", "q" }, { "open", "(de, en" },
            { "brace", "{a = b}" }, { "trailing", "\"x\" y" } }));
}

// stringForKey gives strings as they are, numbers as their text, nothing
// else. A preference file that is refused counts as an empty domain.
TEST_F(UserDefaultsFiles, RankArgumentsThenApplicationThenGlobalThenRegistered)
{
    arguments({ "-k", "argument" });
    EXPECT_EQ(defaults->applicationDomainPath(), home + "/Library/Preferences/zelvant_tests.plist");
    std::string application = test::propertyListBytes(Dictionary { { "k", "application" }, { "a", "application" },
                                                          { "n", int64_t { -42 } }, { "x", 2.5 }, { "f", true } },
        true);
    test::writeFile(defaults->applicationDomainPath(), application);
    test::writeFile(defaults->globalDomainPath(),
        test::propertyListBytes(Dictionary { { "k", "global" }, { "a", "global" }, { "g", "global" } }, false));
    defaults->registerDefaults({ { "k", "registered" }, { "g", "registered" }, { "r", "registered" } });
    defaults->registerDefaults({ { "r", "again" } });
    const std::pair<const char*, std::optional<std::string>> cases[]
        = { { "k", "argument" }, { "a", "application" }, { "g", "global" }, { "r", "again" }, { "n", "-42" },
              { "x", "2.5" }, { "f", std::nullopt }, { "none", std::nullopt } };
    for (const auto& [key, expected] : cases)
        EXPECT_EQ(defaults->stringForKey(key), expected) << key;
    for (const std::string& bytes : { std::string { "a = application;" }, application.substr(0, application.size() - 5),
             test::propertyListBytes(Array { "a", "application" }, false) }) {
        test::writeFile(defaults->applicationDomainPath(), bytes);
        EXPECT_EQ(arguments({}).stringForKey("a"), "global") << bytes;
    }
}
