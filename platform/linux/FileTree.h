// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#pragma once

// Whole-tree operations behind FileManager. They work from directory
// descriptors (openat with O_NOFOLLOW), so a link swapped in during the walk
// is met as a link, never followed.

#include "Error.h"
#include "FileManager.h"
#include "ScopedFD.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace platform::tree {

Result<void> removeItem(const std::string& path);
// The entry name in the directory open at parentFD (or AT_FDCWD with a whole
// path as name), whatever its kind; path only names it in errors.
Result<void> removeEntry(int parentFD, const std::string& name, const std::string& path);
// Empties the directory open at fd; path only names it in errors.
Result<void> removeContents(int fd, const std::string& path);

Result<void> copyItem(const std::string& source, const std::string& destination, const CopyOptions&);
Result<void> synchronizeItem(const std::string& source, const std::string& destination, const CopyOptions&);

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
Kind kindOfMode(mode_t);
struct Entry {
    std::string name;
    Kind kind;
};
// The entries of the directory open at fd, from its start, without "." and
// "..". The listing moves the descriptor's position, so one thread at a time.
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

// Shared by copy and synchronization.

// Failures noted by the walk and the pool alike, and what the file system
// was found not to offer.
struct CopyShared {
    std::mutex lock;
    std::vector<Error> failures;
    std::atomic<bool> cloneWorks { true };
    std::atomic<bool> copyRangeWorks { true };

    void fail(Error);
    // The first failure, after each went to the caller's handler.
    Result<void> result(const CopyOptions&);
};

struct Location {
    int directoryFD; // or AT_FDCWD with a whole path as name
    std::string name;
    std::string path; // for errors
};

// A socket, FIFO or device: named as a failure, never copied.
Error skippedKind(mode_t, const std::string& path);
// A file or a link, copied with its bits and times. Over an existing entry
// (replace) the copy is made under a hidden temporary name beside it and
// renamed over it: nothing is rewritten in place. A directory in the way
// must be gone first.
void copyFile(CopyShared&, const Location& source, const Location& destination, bool replace);
void copyLink(CopyShared&, const Location& source, const Location& destination, bool replace);
// What a copy keeps, equal: size, modification time and bits of a file;
// target and modification time of a link.
bool sameFile(const Location& source, const Location& copy);
bool sameLink(const Location& source, const Location& copy);

}
