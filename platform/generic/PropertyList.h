#pragma once

#include "Error.h"
#include "FileSource.h"
#include "PropertyValue.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A property list file (XML or binary) read whole. Input that nests deeper
// than maximumDepth, or whose binary form shares objects so much that it
// would expand past maximumObjects, is refused before it is parsed.
class PropertyList {
public:
    static constexpr size_t maximumFileSize = size_t { 8 } * 1024 * 1024;
    static constexpr unsigned maximumDepth = 256;
    static constexpr size_t maximumObjects = size_t { 4 } * 1024 * 1024;

    // Only a regular file of at most maximumFileSize bytes.
    static Result<PropertyList> fromFile(const FileSource&, const std::string& path);
    static Result<PropertyList> fromBytes(std::string_view bytes);

    // The string under key in a top-level dictionary.
    std::optional<std::string> stringForKey(const std::string& key) const;
    // The whole list as values; none for a type that has no counterpart.
    std::optional<PropertyValue> value() const;

    // The libplist node; kept opaque so no libplist header leaks out.
    void* root() const { return m_root.get(); }

private:
    struct Free {
        void operator()(void*) const;
    };
    explicit PropertyList(void* root)
        : m_root(root)
    {
    }
    std::unique_ptr<void, Free> m_root;
};

}
