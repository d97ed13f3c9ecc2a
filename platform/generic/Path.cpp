// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
#include "Path.h"

namespace platform {

std::string standardizedSlashes(std::string_view path)
{
    std::string result;
    result.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !result.empty() && result.back() == '/')
            continue;
        result += c;
    }
    if (result.size() > 1 && result.back() == '/')
        result.pop_back();
    return result;
}

std::string stringByAppendingPathComponent(std::string_view path, std::string_view component)
{
    if (path.empty())
        return standardizedSlashes(component);
    if (component.empty())
        return standardizedSlashes(path);
    std::string joined { path };
    joined += '/';
    joined += component;
    return standardizedSlashes(joined);
}

std::string lastPathComponent(std::string_view path)
{
    std::string clean = standardizedSlashes(path);
    if (clean == "/")
        return clean;
    auto slash = clean.rfind('/');
    return slash == std::string::npos ? clean : clean.substr(slash + 1);
}

std::string stringByDeletingLastPathComponent(std::string_view path)
{
    std::string clean = standardizedSlashes(path);
    if (clean == "/")
        return clean;
    auto slash = clean.rfind('/');
    if (slash == std::string::npos)
        return {};
    if (slash == 0)
        return "/";
    return clean.substr(0, slash);
}

std::vector<std::string> absoluteSearchPathEntries(std::string_view list)
{
    std::vector<std::string> entries;
    while (true) {
        auto colon = list.find(':');
        std::string_view entry = list.substr(0, colon);
        if (entry.starts_with('/'))
            entries.emplace_back(entry);
        if (colon == std::string_view::npos)
            return entries;
        list.remove_prefix(colon + 1);
    }
}

}
