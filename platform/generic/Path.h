#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Paths are plain strings, joined and cut the way the launcher's paths have
// always been: one "/" between components, runs of "/" collapsed, trailing
// "/" dropped, ".." never resolved.
std::string stringByAppendingPathComponent(std::string_view path, std::string_view component);
std::string lastPathComponent(std::string_view path);
std::string stringByDeletingLastPathComponent(std::string_view path);
std::string standardizedSlashes(std::string_view path);
// The absolute entries of a colon-separated search list (PATH and its kin),
// in order: empty and relative entries are skipped, so that no search depends
// on the working directory.
std::vector<std::string> absoluteSearchPathEntries(std::string_view list);

}
