#pragma once

#include <string>
#include <string_view>

namespace platform {

// Paths are plain strings, joined and cut the way the launcher's paths have
// always been: one "/" between components, runs of "/" collapsed, trailing
// "/" dropped, ".." never resolved.
std::string stringByAppendingPathComponent(std::string_view path, std::string_view component);
std::string lastPathComponent(std::string_view path);
std::string stringByDeletingLastPathComponent(std::string_view path);
std::string standardizedSlashes(std::string_view path);

}
