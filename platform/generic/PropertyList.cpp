// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
// Property list files read with libplist and converted to values.
#include "PropertyList.h"

#include "PropertyListCheck.h"

#include <cstdlib>
#include <plist/plist.h>

namespace platform {

void PropertyList::Free::operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }

static Error refused(std::string reason) { return Error::failure("read property list", std::move(reason)); }

Result<PropertyList> PropertyList::fromBytes(std::string_view bytes)
{
    if (bytes.empty())
        return refused("empty");
    if (bytes.size() > maximumFileSize)
        return refused("larger than " + std::to_string(maximumFileSize) + " bytes");
    if (auto refusal = propertyListRefusal(bytes))
        return refused(std::move(*refusal));
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root)
        return refused("malformed");
    return PropertyList { root };
}

Result<PropertyList> PropertyList::fromFile(const FileSource& files, const std::string& path)
{
    // Regular files only, so a FIFO in the file's place cannot hold the open.
    auto bytes = files.contentsOfRegularFile(path, maximumFileSize);
    if (!bytes)
        return bytes.error();
    auto list = fromBytes(*bytes);
    if (!list) {
        Error error = list.error();
        error.path = path;
        return error;
    }
    return list;
}

std::optional<std::string> PropertyList::stringForKey(const std::string& key) const
{
    auto root = static_cast<plist_t>(m_root.get());
    if (plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    plist_t item = plist_dict_get_item(root, key.c_str());
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return std::nullopt;
    // By length: plist_get_string_val aborts on a string that holds a NUL.
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(item, &length);
    if (!value)
        return std::nullopt;
    return std::string { value, static_cast<size_t>(length) };
}

static std::optional<PropertyValue> convert(plist_t node, unsigned depth);

static std::optional<PropertyValue> convertArray(plist_t node, unsigned depth)
{
    PropertyValue::Array array;
    uint32_t count = plist_array_get_size(node);
    array.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        auto element = convert(plist_array_get_item(node, i), depth + 1);
        if (!element)
            return std::nullopt;
        array.push_back(std::move(*element));
    }
    return PropertyValue { std::move(array) };
}

static std::optional<PropertyValue> convertDictionary(plist_t node, unsigned depth)
{
    PropertyValue::Dictionary dictionary;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    if (!iterator)
        return std::nullopt;
    std::optional<PropertyValue> result;
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iterator, &key, &item);
        if (!item) {
            std::free(key);
            result = PropertyValue { std::move(dictionary) };
            break;
        }
        std::string name = key ? key : "";
        std::free(key);
        auto element = convert(item, depth + 1);
        if (!element)
            break;
        dictionary.insert_or_assign(std::move(name), std::move(*element));
    }
    std::free(iterator);
    return result;
}

// By length: plist_get_string_val aborts on a string that holds a NUL.
static std::optional<PropertyValue> convertBytes(plist_t node, bool isString)
{
    uint64_t length = 0;
    const char* value = isString ? plist_get_string_ptr(node, &length) : plist_get_data_ptr(node, &length);
    std::string bytes = value ? std::string { value, static_cast<size_t>(length) } : std::string {};
    if (!isString)
        return PropertyValue { PropertyValue::Data { std::move(bytes) } };
    if (!value)
        return std::nullopt;
    return PropertyValue { std::move(bytes) };
}

static PropertyValue convertNumber(plist_t node, plist_type type)
{
    if (type == PLIST_REAL) {
        double value = 0;
        plist_get_real_val(node, &value);
        return PropertyValue { value };
    }
    uint64_t value = 0;
    if (type == PLIST_UID)
        plist_get_uid_val(node, &value);
    else
        plist_get_uint_val(node, &value);
    // Negative integers come back in two's complement.
    return PropertyValue { static_cast<int64_t>(value) };
}

static std::optional<PropertyValue> convert(plist_t node, unsigned depth)
{
    if (depth > PropertyList::maximumDepth)
        return std::nullopt;
    plist_type type = plist_get_node_type(node);
    switch (type) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PropertyValue { value != 0 };
    }
    case PLIST_UINT:
    case PLIST_UID:
    case PLIST_REAL:
        return convertNumber(node, type);
    case PLIST_STRING:
    case PLIST_DATA:
        return convertBytes(node, type == PLIST_STRING);
    case PLIST_DATE: {
        int32_t seconds = 0, microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return PropertyValue { PropertyValue::Date { seconds + microseconds / 1e6 } };
    }
    case PLIST_ARRAY:
        return convertArray(node, depth);
    case PLIST_DICT:
        return convertDictionary(node, depth);
    default:
        return std::nullopt;
    }
}

std::optional<PropertyValue> PropertyList::value() const { return convert(static_cast<plist_t>(m_root.get()), 0); }

}
