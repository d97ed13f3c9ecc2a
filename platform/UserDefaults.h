#pragma once

#include "PropertyValue.h"

#include <optional>
#include <string>

namespace platform {

// Defaults searched in order: the argument domain (the process's own
// "-key value" pairs), the application's preferences file, the global
// preferences file, the registration domain.
class UserDefaults {
public:
    static UserDefaults& standardUserDefaults();

    std::optional<PropertyValue> objectForKey(const std::string& key);
    // A string as is, a number as its decimal text, anything else none.
    std::optional<std::string> stringForKey(const std::string& key);
    void registerDefaults(const PropertyValue::Dictionary&);

    // Forgets everything read and registered (tests).
    void reset();

private:
    PropertyValue::Dictionary m_registrationDomain;
};

}
