// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#pragma once

// Whole-tree operations behind FileManager. They work from directory
// descriptors (openat with O_NOFOLLOW), so a link swapped in during the walk
// is met as a link, never followed.

#include "Error.h"
#include "FileManager.h"
#include "Path.h"
#include "ScopedFD.h"
#include "SyncRecord.h"
#include "WorkPool.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace platform::tree {

// The entry name in the directory open at parentFD (or AT_FDCWD with a whole
// path as name), whatever its kind; path only names it in errors.
Result<void> removeEntry(int parentFD, const std::string& name, const std::string& path);
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

// Measured with bench/launch-bench --internals: four in flight beat
// one by two to three times for both copy and removal on two cores.
constexpr unsigned defaultThreadCount = 4;

// Shared by copy and synchronization.

// Failures noted by the walk and the pool alike, and what the file system
// was found not to offer.
struct CopyShared {
    std::mutex lock;
    std::vector<Error> failures;
    std::atomic<bool> cloneWorks { true };
    std::atomic<bool> copyRangeWorks { true };
    SyncRecord* record { nullptr };

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
// Whether a copy may stay: a file with the source's size, modification time
// and bits that the record trusts or that holds the same bytes (noted in the
// record); a link with the same target and modification time.
bool keepsFile(CopyShared&, const Location& source, const Location& copy);
bool sameLink(const Location& source, const Location& copy);

// One directory of the source and its copy, shared by the walk and the file
// copies queued from it; the descriptors close with the last user. The walk
// does not wait for a directory's files: whoever is done last, the walk or a
// copy, gives the directory its own bits and times.
class DirectoryPair {
public:
    ScopedFD source;
    ScopedFD destination;
    std::string sourcePath;
    std::string destinationPath;
    struct stat sourceStatus { };
    Identity destinationIdentity;

    // The entry of that name on either side.
    std::pair<Location, Location> locations(const std::string& name) const
    {
        return { { source.get(), name, stringByAppendingPathComponent(sourcePath, name) },
            { destination.get(), name, stringByAppendingPathComponent(destinationPath, name) } };
    }

    void addFile() { m_work.add(); }
    // The walk's part or a file's.
    void done(CopyShared& shared)
    {
        if (m_work.finish())
            finish(shared);
    }
    // Before the walk closes a deep ancestor's descriptors, to reopen them later.
    void waitForFiles() { m_work.wait(1); }

private:
    // Only what differs is set: an unchanged directory is not written to.
    void finish(CopyShared& shared)
    {
        struct stat status;
        if (::fstat(destination.get(), &status) != 0)
            return shared.fail(Error::fromErrno("fstat", destinationPath));
        if ((status.st_mode & 07777) != (sourceStatus.st_mode & 07777)
            && ::fchmod(destination.get(), sourceStatus.st_mode & 07777) != 0)
            return shared.fail(Error::fromErrno("chmod", destinationPath));
        const struct timespec times[2] = { sourceStatus.st_atim, sourceStatus.st_mtim };
        if ((status.st_mtim.tv_sec != times[1].tv_sec || status.st_mtim.tv_nsec != times[1].tv_nsec)
            && ::futimens(destination.get(), times) != 0)
            shared.fail(Error::fromErrno("utimens", destinationPath));
    }

    PendingWork m_work { 1 }; // the walk, and each queued file
};

}
