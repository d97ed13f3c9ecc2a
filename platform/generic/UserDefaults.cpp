#include "UserDefaults.h"

#include "Bundle.h"
#include "OldStylePropertyList.h"
#include "Path.h"
#include "ProcessInfo.h"
#include "PropertyList.h"

#include <charconv>

namespace platform {

UserDefaults& UserDefaults::standardUserDefaults()
{
    static UserDefaults defaults;
    return defaults;
}

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

std::string UserDefaults::applicationDomainPath()
{
    std::string preferences = stringByAppendingPathComponent(homeDirectory(), "Library/Preferences");
    return stringByAppendingPathComponent(preferences, Bundle::mainBundle().bundleIdentifier() + ".plist");
}

std::string UserDefaults::globalDomainPath()
{
    return stringByAppendingPathComponent(homeDirectory(), "Library/Preferences/.GlobalPreferences.plist");
}

static PropertyValue::Dictionary domainFromFile(const std::string& path)
{
    auto list = PropertyList::fromFile(path);
    if (!list)
        return {};
    auto value = list->value();
    if (!value || !value->isDictionary())
        return {};
    return value->dictionary();
}

const UserDefaults::SearchList& UserDefaults::searchList()
{
    if (!m_searchList) {
        m_searchList = SearchList {
            argumentDomain(processArguments()),
            domainFromFile(applicationDomainPath()),
            domainFromFile(globalDomainPath()),
        };
    }
    return *m_searchList;
}

std::optional<PropertyValue> UserDefaults::objectForKey(const std::string& key)
{
    const SearchList& list = searchList();
    const PropertyValue::Dictionary* domains[] = { &list.argumentDomain, &list.applicationDomain, &list.globalDomain, &m_registrationDomain };
    for (const auto* domain : domains) {
        if (auto found = domain->find(key); found != domain->end())
            return found->second;
    }
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

void UserDefaults::reset()
{
    m_searchList.reset();
    m_registrationDomain.clear();
}

}
