// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "UserDefaults.h"

#include "OldStylePropertyList.h"
#include "Path.h"
#include "PropertyList.h"
#include "Trace.h"

#include <charconv>

namespace platform {

PropertyValue::Dictionary UserDefaults::argumentDomain(const std::vector<std::string>& arguments)
{
    PropertyValue::Dictionary domain;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 2 || argument[0] != '-')
            continue;
        // The session argument some launchers add stands alone.
        if (argument.starts_with("-psn_"))
            continue;
        if (i + 1 >= arguments.size() || arguments[i + 1].starts_with('-'))
            continue;
        const std::string& text = arguments[++i];
        std::optional<PropertyValue> value;
        if (!text.empty() && (text[0] == '(' || text[0] == '{' || text[0] == '"'))
            value = parseOldStylePropertyList(text);
        domain.insert_or_assign(argument.substr(1), value ? std::move(*value) : PropertyValue { text });
    }
    return domain;
}

std::string UserDefaults::applicationDomainPath() const
{
    std::string preferences = stringByAppendingPathComponent(m_home, "Library/Preferences");
    return stringByAppendingPathComponent(preferences, m_bundleIdentifier + ".plist");
}

std::string UserDefaults::globalDomainPath() const
{
    return stringByAppendingPathComponent(m_home, "Library/Preferences/.GlobalPreferences.plist");
}

std::string_view UserDefaults::domainName(Domain domain)
{
    switch (domain) {
    case Domain::Argument:
        return "argument domain";
    case Domain::Application:
        return "application domain";
    case Domain::Global:
        return "global domain";
    case Domain::Registration:
        return "registration domain";
    }
    return "unknown domain";
}

static PropertyValue::Dictionary domainFromFile(
    const FileSource& files, UserDefaults::Domain domain, const std::string& path)
{
    auto list = PropertyList::fromFile(files, path);
    if (!list) {
        trace("user defaults: read the ", UserDefaults::domainName(domain), " ", path, ": ", list);
        return {};
    }
    auto value = list->value();
    if (!value || !value->isDictionary()) {
        trace("user defaults: read the ", UserDefaults::domainName(domain), " ", path,
            ": no dictionary at the top, counted as empty");
        return {};
    }
    trace("user defaults: read the ", UserDefaults::domainName(domain), " ", path, ": ok, ", value->dictionary().size(),
        " keys");
    return value->dictionary();
}

const UserDefaults::SearchList& UserDefaults::searchList()
{
    if (!m_searchList) {
        m_searchList = SearchList {
            argumentDomain(m_arguments),
            domainFromFile(m_files, Domain::Application, applicationDomainPath()),
            domainFromFile(m_files, Domain::Global, globalDomainPath()),
        };
    }
    return *m_searchList;
}

const PropertyValue* UserDefaults::find(const std::string& key, Domain& domain)
{
    const SearchList& list = searchList();
    const std::pair<Domain, const PropertyValue::Dictionary*> domains[] = {
        { Domain::Argument, &list.argumentDomain },
        { Domain::Application, &list.applicationDomain },
        { Domain::Global, &list.globalDomain },
        { Domain::Registration, &m_registrationDomain },
    };
    for (const auto& [name, dictionary] : domains) {
        if (auto found = dictionary->find(key); found != dictionary->end()) {
            domain = name;
            return &found->second;
        }
    }
    return nullptr;
}

std::optional<PropertyValue> UserDefaults::objectForKey(const std::string& key)
{
    Domain domain {};
    if (const auto* value = find(key, domain))
        return *value;
    return std::nullopt;
}

std::optional<UserDefaults::Domain> UserDefaults::domainForKey(const std::string& key)
{
    Domain domain {};
    if (find(key, domain))
        return domain;
    return std::nullopt;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key)
{
    auto value = objectForKey(key);
    if (!value)
        return std::nullopt;
    if (value->isString())
        return value->string();
    if (value->isInteger())
        return std::to_string(value->integer());
    if (value->isReal()) {
        // The shortest text that reads back as the same number.
        char buffer[64];
        auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value->real());
        if (error != std::errc {})
            return std::nullopt;
        return std::string { buffer, end };
    }
    return std::nullopt;
}

void UserDefaults::registerDefaults(const PropertyValue::Dictionary& defaults)
{
    for (const auto& [key, value] : defaults)
        m_registrationDomain.insert_or_assign(key, value);
}

}
