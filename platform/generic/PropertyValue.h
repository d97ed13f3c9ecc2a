#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

// One value of a property list: string, integer, real, boolean, date (seconds
// since 2001), data, array or dictionary.
class PropertyValue {
public:
    using Array = std::vector<PropertyValue>;
    using Dictionary = std::map<std::string, PropertyValue, std::less<>>;
    struct Data {
        std::string bytes;
        bool operator==(const Data&) const = default;
    };
    struct Date {
        double seconds { 0 };
        bool operator==(const Date&) const = default;
    };
    using Variant = std::variant<std::string, int64_t, double, bool, Data, Date, Array, Dictionary>;

    PropertyValue() = default;
    // Any of the alternatives, or what converts to one without narrowing.
    template<typename T>
    requires std::is_constructible_v<Variant, T> PropertyValue(T value)
        : m_value(std::move(value))
    {
    }

    bool isString() const { return std::holds_alternative<std::string>(m_value); }
    bool isInteger() const { return std::holds_alternative<int64_t>(m_value); }
    bool isReal() const { return std::holds_alternative<double>(m_value); }
    bool isBoolean() const { return std::holds_alternative<bool>(m_value); }
    bool isArray() const { return std::holds_alternative<Array>(m_value); }
    bool isDictionary() const { return std::holds_alternative<Dictionary>(m_value); }
    bool isData() const { return std::holds_alternative<Data>(m_value); }
    bool isDate() const { return std::holds_alternative<Date>(m_value); }

    const std::string& string() const { return std::get<std::string>(m_value); }
    int64_t integer() const { return std::get<int64_t>(m_value); }
    double real() const { return std::get<double>(m_value); }
    bool boolean() const { return std::get<bool>(m_value); }
    const Array& array() const { return std::get<Array>(m_value); }
    const Dictionary& dictionary() const { return std::get<Dictionary>(m_value); }
    const Data& data() const { return std::get<Data>(m_value); }
    Date date() const { return std::get<Date>(m_value); }

    bool operator==(const PropertyValue&) const = default;

private:
    Variant m_value;
};

}
