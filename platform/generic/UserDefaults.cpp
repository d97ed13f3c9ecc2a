#include "UserDefaults.h"

namespace platform {

UserDefaults& UserDefaults::standardUserDefaults()
{
    static UserDefaults defaults;
    return defaults;
}

std::optional<PropertyValue> UserDefaults::objectForKey(const std::string& key)
{
    if (auto found = m_registrationDomain.find(key); found != m_registrationDomain.end())
        return found->second;
    return std::nullopt;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key)
{
    auto value = objectForKey(key);
    if (value && value->isString())
        return value->string();
    return std::nullopt;
}

void UserDefaults::registerDefaults(const PropertyValue::Dictionary& defaults)
{
    for (const auto& [key, value] : defaults)
        m_registrationDomain.insert_or_assign(key, value);
}

void UserDefaults::reset()
{
    m_registrationDomain.clear();
}

}
