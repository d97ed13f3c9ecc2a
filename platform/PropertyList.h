#pragma once

#include "Error.h"

#include <memory>
#include <optional>
#include <string>

namespace platform {

// A property list file (XML or binary) read whole.
class PropertyList {
public:
    static Result<PropertyList> fromFile(const std::string& path);
    static Result<PropertyList> fromBytes(std::string_view bytes);

    // The string under key in a top-level dictionary.
    std::optional<std::string> stringForKey(const std::string& key) const;

    // The libplist node; kept opaque so no libplist header leaks out.
    void* root() const { return m_root.get(); }

private:
    struct Free {
        void operator()(void*) const;
    };
    explicit PropertyList(void* root)
        : m_root(root) { }
    std::unique_ptr<void, Free> m_root;
};

}
