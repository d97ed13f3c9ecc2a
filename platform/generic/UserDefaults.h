#pragma once

#include "FileSource.h"
#include "PropertyValue.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Defaults searched in order: the argument domain (the "-key value" pairs of
// the process's arguments), the application's preferences file, the global
// preferences file, the registration domain. The files, below the given
// home, are read once, when a default is first asked for; one that cannot be
// read as a property list with a dictionary at its top counts as empty.
class UserDefaults {
public:
    // The application's file is named after its bundle identifier.
    UserDefaults(
        const FileSource& files, std::string home, std::string bundleIdentifier, std::vector<std::string> arguments)
        : m_files(files)
        , m_home(std::move(home))
        , m_bundleIdentifier(std::move(bundleIdentifier))
        , m_arguments(std::move(arguments))
    {
    }

    enum class Domain {
        Argument,
        Application,
        Global,
        Registration,
    };
    static std::string_view domainName(Domain);

    std::optional<PropertyValue> objectForKey(const std::string& key);
    // The domain objectForKey takes the value from; none when no domain has one.
    std::optional<Domain> domainForKey(const std::string& key);
    // A string as is, a number as its decimal text, anything else none.
    std::optional<std::string> stringForKey(const std::string& key);
    // Lowest-ranking values: never stored, gone when the process ends.
    void registerDefaults(const PropertyValue::Dictionary&);

    // The "-key value" pairs of an argument vector, argv[0] skipped. A value
    // starting with "(", "{" or a double quote is read as an old-style
    // property list, kept as plain text when it is not one.
    static PropertyValue::Dictionary argumentDomain(const std::vector<std::string>& arguments);

    // ~/Library/Preferences/<bundle identifier>.plist and .GlobalPreferences.plist.
    std::string applicationDomainPath() const;
    std::string globalDomainPath() const;

    bool hasReadPreferenceFiles() const { return m_searchList.has_value(); }

private:
    struct SearchList {
        PropertyValue::Dictionary argumentDomain;
        PropertyValue::Dictionary applicationDomain;
        PropertyValue::Dictionary globalDomain;
    };
    const SearchList& searchList();
    const PropertyValue* find(const std::string& key, Domain&);

    const FileSource& m_files;
    std::string m_home;
    std::string m_bundleIdentifier;
    std::vector<std::string> m_arguments;
    std::optional<SearchList> m_searchList;
    PropertyValue::Dictionary m_registrationDomain;
};

}
