// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// Copying one file or link: contents by reflink or copy_file_range, links as
// links, bits and times kept; over an existing entry, through a temporary
// name renamed over it.
#include "FileTree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <unistd.h>

namespace platform::tree {

void CopyShared::fail(Error error)
{
    std::lock_guard guard { lock };
    failures.push_back(std::move(error));
}

Result<void> CopyShared::result(const CopyOptions& options)
{
    std::lock_guard guard { lock };
    if (failures.empty())
        return {};
    if (options.failure) {
        for (const auto& failure : failures)
            options.failure(failure);
    }
    return failures.front();
}

namespace {

bool meansUnsupported(int code)
{
    return code == EOPNOTSUPP || code == ENOTTY || code == EXDEV || code == EINVAL || code == ENOSYS || code == EBADF
        || code == EPERM;
}

// The bytes from offset to end, at the same place in out.
Result<void> copyRange(CopyShared& shared, int in, int out, off_t offset, off_t end, const std::string& path)
{
    bool copiedAny = false;
    while (offset < end && shared.copyRangeWorks.load(std::memory_order_relaxed)) {
        off_t to = offset;
        ssize_t count = ::copy_file_range(in, &offset, out, &to, static_cast<size_t>(end - offset), 0);
        if (count > 0)
            copiedAny = true;
        else if (count == 0)
            return {};
        else if (!copiedAny && meansUnsupported(errno))
            shared.copyRangeWorks.store(false, std::memory_order_relaxed);
        else if (errno != EINTR)
            return Error::fromErrno("copy_file_range", path);
    }
    // sendfile copies between file systems too, and is on every kernel.
    if (offset < end && ::lseek(out, offset, SEEK_SET) < 0)
        return Error::fromErrno("lseek", path);
    while (offset < end) {
        ssize_t count = ::sendfile(out, in, &offset, static_cast<size_t>(end - offset));
        if (count == 0)
            break;
        if (count < 0 && errno != EINTR)
            return Error::fromErrno("sendfile", path);
    }
    return {};
}

// size bytes of in: only its data, so that a hole stays a hole.
Result<void> copyBytes(CopyShared& shared, int in, int out, off_t size, const std::string& path)
{
    // A reflink shares the blocks: no bytes move at all.
    if (shared.cloneWorks.load(std::memory_order_relaxed)) {
        if (::ioctl(out, FICLONE, in) == 0)
            return {};
        if (meansUnsupported(errno))
            shared.cloneWorks.store(false, std::memory_order_relaxed);
    }
    for (off_t offset = 0; offset < size;) {
        off_t data = ::lseek(in, offset, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break; // a hole to the end
        off_t hole = data < 0 ? -1 : ::lseek(in, data, SEEK_HOLE);
        if (hole < 0) { // no extents to be had: all of it
            data = offset;
            hole = size;
        }
        if (auto copied = copyRange(shared, in, out, data, std::min(hole, size), path); !copied)
            return copied;
        offset = hole;
    }
    if (::ftruncate(out, size) != 0)
        return Error::fromErrno("ftruncate", path);
    return {};
}

// The temporary is made in the destination's own directory, so the rename
// that puts it in place stays within one directory. A short fixed name: the
// destination's may be as long as a name can be. One left by a process that
// died is an entry the source does not have, so the next synchronization
// removes it.
std::string temporaryPrefix(const std::string& name)
{
    size_t slash = name.rfind('/');
    return (slash == std::string::npos ? std::string {} : name.substr(0, slash + 1)) + ".sync-";
}

// Makes the entry through make(name): at the destination's own name, or,
// with replace, at a free temporary name. Gives the name used.
Result<std::string> makeEntry(const Location& destination, bool replace, const char* call,
    const std::function<bool(const std::string& name)>& make)
{
    if (!replace) {
        if (!make(destination.name))
            return Error::fromErrno(call, destination.path);
        return destination.name;
    }
    std::string made;
    auto attempt = [&](const std::string& name) -> std::optional<Result<void>> {
        if (make(name)) {
            made = name;
            return Result<void> {};
        }
        if (errno == EEXIST)
            return std::nullopt;
        return Error::fromErrno(call, destination.path);
    };
    auto result = withUniqueName(temporaryPrefix(destination.name), ".tmp", attempt,
        Error::failure(call, "no free temporary name", destination.path));
    if (!result)
        return result.error();
    return made;
}

// Puts the entry made at name in the destination's place, or removes it.
bool finishEntry(CopyShared& shared, const Location& destination, const std::string& name, Result<void> made)
{
    if (made && name != destination.name
        && ::renameat(destination.directoryFD, name.c_str(), destination.directoryFD, destination.name.c_str()) != 0)
        made = Error::fromErrno("rename", destination.path);
    if (!made) {
        // No partial file under any name.
        ::unlinkat(destination.directoryFD, name.c_str(), 0);
        shared.fail(made.error());
    }
    return made.ok();
}

std::optional<std::string> linkTarget(const Location& link, struct stat& status)
{
    if (::fstatat(link.directoryFD, link.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    std::string target(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    for (;;) {
        ssize_t length = ::readlinkat(link.directoryFD, link.name.c_str(), target.data(), target.size());
        if (length < 0)
            return std::nullopt;
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

bool sameBytes(const Location& source, const Location& copy)
{
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    ScopedFD one { ::openat(source.directoryFD, source.name.c_str(), flags) };
    ScopedFD other { ::openat(copy.directoryFD, copy.name.c_str(), flags) };
    constexpr size_t bufferSize = size_t { 64 } * 1024;
    auto buffers = std::make_unique<char[]>(2 * bufferSize);
    for (off_t offset = 0; one && other;) {
        ssize_t count = ::pread(one.get(), buffers.get(), bufferSize, offset);
        if (count <= 0)
            return count == 0 && ::pread(other.get(), buffers.get(), 1, offset) == 0;
        if (::pread(other.get(), buffers.get() + bufferSize, static_cast<size_t>(count), offset) != count
            || std::memcmp(buffers.get(), buffers.get() + bufferSize, static_cast<size_t>(count)) != 0)
            return false;
        offset += count;
    }
    return false;
}

bool sameTime(const struct stat& one, const struct stat& other)
{
    return one.st_mtim.tv_sec == other.st_mtim.tv_sec && one.st_mtim.tv_nsec == other.st_mtim.tv_nsec;
}

}

Error skippedKind(mode_t mode, const std::string& path)
{
    const char* kind = S_ISSOCK(mode)    ? "socket"
        : S_ISFIFO(mode)                 ? "FIFO"
        : S_ISCHR(mode) || S_ISBLK(mode) ? "device"
                                         : "special file";
    return Error::failure(std::string { "skip " } + kind, "only files, directories and links are copied", path);
}

void copyFile(CopyShared& shared, const Location& source, const Location& destination, bool replace)
{
    // O_NONBLOCK: a FIFO swapped in after the listing must not hang the copy.
    ScopedFD in { ::openat(
        source.directoryFD, source.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) };
    if (!in)
        return shared.fail(Error::fromErrno("open", source.path));
    struct stat status;
    if (::fstat(in.get(), &status) != 0)
        return shared.fail(Error::fromErrno("fstat", source.path));
    if (!S_ISREG(status.st_mode))
        return shared.fail(skippedKind(status.st_mode, source.path));
    ScopedFD out;
    auto name = makeEntry(destination, replace, "create", [&](const std::string& candidate) {
        out = ScopedFD { ::openat(
            destination.directoryFD, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600) };
        return out.isValid();
    });
    if (!name)
        return shared.fail(name.error());

    Result<void> copied = copyBytes(shared, in.get(), out.get(), status.st_size, destination.path);
    const struct timespec times[2] = { status.st_atim, status.st_mtim };
    if (copied && ::fchmod(out.get(), status.st_mode & 07777) != 0)
        copied = Error::fromErrno("chmod", destination.path);
    if (copied && ::futimens(out.get(), times) != 0)
        copied = Error::fromErrno("utimens", destination.path);
    if (copied && ::close(out.release()) != 0)
        copied = Error::fromErrno("close", destination.path);
    out.reset();
    struct stat copy;
    if (finishEntry(shared, destination, *name, std::move(copied)) && shared.record
        && ::fstatat(destination.directoryFD, destination.name.c_str(), &copy, AT_SYMLINK_NOFOLLOW) == 0)
        shared.record->note(destination.path, { SyncRecord::Status::of(status), SyncRecord::Status::of(copy) });
}

void copyLink(CopyShared& shared, const Location& source, const Location& destination, bool replace)
{
    struct stat status;
    auto target = linkTarget(source, status);
    if (!target)
        return shared.fail(Error::fromErrno("readlink", source.path));
    auto name = makeEntry(destination, replace, "symlink", [&](const std::string& candidate) {
        return ::symlinkat(target->c_str(), destination.directoryFD, candidate.c_str()) == 0;
    });
    if (!name)
        return shared.fail(name.error());
    const struct timespec times[2] = { status.st_atim, status.st_mtim };
    Result<void> made;
    if (::utimensat(destination.directoryFD, name->c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        made = Error::fromErrno("utimens", destination.path);
    finishEntry(shared, destination, *name, std::move(made));
}

bool keepsFile(CopyShared& shared, const Location& source, const Location& copy)
{
    struct stat one, other;
    if (::fstatat(source.directoryFD, source.name.c_str(), &one, AT_SYMLINK_NOFOLLOW) != 0
        || ::fstatat(copy.directoryFD, copy.name.c_str(), &other, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(one.st_mode)
        || !S_ISREG(other.st_mode) || one.st_size != other.st_size || !sameTime(one, other)
        || (one.st_mode & 07777) != (other.st_mode & 07777))
        return false;
    // Taken before any read: a change during it shows next time.
    SyncRecord::Sides sides { SyncRecord::Status::of(one), SyncRecord::Status::of(other) };
    if (shared.record && shared.record->trusts(copy.path, sides))
        return true;
    if (!sameBytes(source, copy))
        return false;
    if (shared.record)
        shared.record->note(copy.path, sides);
    return true;
}

bool sameLink(const Location& source, const Location& copy)
{
    struct stat one, other;
    auto target = linkTarget(source, one);
    auto copied = linkTarget(copy, other);
    return target && copied && *target == *copied && sameTime(one, other);
}

}
