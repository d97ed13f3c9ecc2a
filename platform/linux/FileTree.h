// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#pragma once

// Whole-tree operations behind FileManager and DeferredRemoval. They work
// from directory descriptors (openat with O_NOFOLLOW), so a link swapped in
// during the walk is met as a link, never followed.

#include "Error.h"
#include "FileManager.h"
#include "ScopedFD.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace platform::tree {

Result<void> removeItem(const std::string& path);
// Empties the directory open at fd; path only names it in errors.
Result<void> removeContents(int fd, const std::string& path);

Result<void> copyItem(const std::string& source, const std::string& destination, const CopyOptions&);

// Shared by the walks.

// Directory descriptors a walk keeps open along its path; deeper ancestors
// are closed and found again through "..", checked by identity.
constexpr size_t openAncestorLimit = 16;

struct Identity {
    dev_t device { 0 };
    ino_t inode { 0 };
    bool operator==(const Identity&) const = default;
};
inline Identity identityOf(const struct stat& status) { return { status.st_dev, status.st_ino }; }

enum class Kind { Directory, Link, File, Other, Gone };
struct Entry {
    std::string name;
    Kind kind;
};
// The entries of the directory open at fd, without "." and "..". The
// descriptor itself stays open and unmoved for openat.
Result<std::vector<Entry>> listDirectory(int fd, const std::string& path);

// Opens ".." from a directory and checks that it is the one we came from,
// so a directory moved during the walk cannot lead it elsewhere.
Result<ScopedFD> reopenParent(int childFD, const Identity& expected, const std::string& path);

// A directory of ours that its owner cannot write into (or list, or enter)
// gets those bits, so that what is in it can go. Never through a link, and
// never one that belongs to someone else.
void grantOwnerAccess(int parentFD, const std::string& name);

// Calls attempt with "PREFIX" + 8 random hex digits + suffix until it gives a
// result; nullopt means the name was taken. failure names what gave up.
Result<void> withUniqueName(const std::string& prefix, const std::string& suffix,
    const std::function<std::optional<Result<void>>(const std::string&)>& attempt, const Error& failure);

// All of bytes, however many writes it takes; path only names it in errors.
Result<void> writeAll(int fd, std::string_view bytes, const std::string& path);

unsigned defaultThreadCount();

}
