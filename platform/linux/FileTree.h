#pragma once

// Whole-tree operations behind FileManager and DeferredRemoval. They work
// from directory descriptors (openat with O_NOFOLLOW), so a link swapped in
// during the walk is met as a link, never followed.

#include "Error.h"
#include "FileManager.h"

#include <string>

namespace platform::tree {

Result<void> removeItem(const std::string& path);
// Empties the directory open at fd; path only names it in errors.
Result<void> removeContents(int fd, const std::string& path);

Result<void> copyItem(const std::string& source, const std::string& destination, const CopyOptions&);

}
