#include "PropertyList.h"

#include "FileManager.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <plist/plist.h>

namespace platform {

void PropertyList::Free::operator()(void* node) const
{
    plist_free(static_cast<plist_t>(node));
}

Result<PropertyList> PropertyList::fromBytes(std::string_view bytes)
{
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return Error::fromSyscall("plist_from_memory", EINVAL);
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root)
        return Error::fromSyscall("plist_from_memory", EINVAL);
    return PropertyList { root };
}

Result<PropertyList> PropertyList::fromFile(const std::string& path)
{
    auto bytes = FileManager::defaultManager().contentsAtPath(path);
    if (!bytes)
        return bytes.error();
    auto list = fromBytes(*bytes);
    if (!list)
        return Error::fromSyscall("plist_from_memory", EINVAL, path);
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
    char* value = nullptr;
    plist_get_string_val(item, &value);
    if (!value)
        return std::nullopt;
    std::string result { value };
    std::free(value);
    return result;
}

}
