// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// Copying one file or link: contents by reflink or copy_file_range, links as
// links, bits and times kept; over an existing entry, through a temporary
// name renamed over it.
#include "FileTree.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform::tree {

void CopyShared::fail(Error error)
{
    std::lock_guard guard { lock };
    failures.push_back(std::move(error));
}

Result<void> CopyShared::result(const CopyOptions& options)
{
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

Result<void> readAndWrite(int in, int out, const std::string& path)
{
    constexpr size_t bufferSize = size_t { 128 } * 1024;
    auto buffer = std::make_unique<char[]>(bufferSize);
    for (;;) {
        ssize_t count = ::read(in, buffer.get(), bufferSize);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Error::fromErrno("read", path);
        if (count == 0)
            return {};
        if (auto written = writeAll(out, { buffer.get(), static_cast<size_t>(count) }, path); !written)
            return written;
    }
}

Result<void> copyBytes(CopyShared& shared, int in, int out, const std::string& path)
{
    // A reflink shares the blocks: no bytes move at all.
    if (shared.cloneWorks.load(std::memory_order_relaxed)) {
        if (::ioctl(out, FICLONE, in) == 0)
            return {};
        if (meansUnsupported(errno))
            shared.cloneWorks.store(false, std::memory_order_relaxed);
    }
    bool copiedAny = false;
    while (shared.copyRangeWorks.load(std::memory_order_relaxed)) {
        ssize_t count = ::copy_file_range(in, nullptr, out, nullptr, size_t { 1 } << 30, 0);
        if (count > 0)
            copiedAny = true;
        else if (count == 0)
            return {};
        else if (!copiedAny && meansUnsupported(errno))
            shared.copyRangeWorks.store(false, std::memory_order_relaxed);
        else if (errno != EINTR)
            return Error::fromErrno("copy_file_range", path);
    }
    return readAndWrite(in, out, path);
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
void finishEntry(CopyShared& shared, const Location& destination, const std::string& name, Result<void> made)
{
    if (made && name != destination.name
        && ::renameat(destination.directoryFD, name.c_str(), destination.directoryFD, destination.name.c_str()) != 0)
        made = Error::fromErrno("rename", destination.path);
    if (!made) {
        // No partial file under any name.
        ::unlinkat(destination.directoryFD, name.c_str(), 0);
        shared.fail(made.error());
    }
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

bool sameTime(const struct stat& one, const struct stat& other)
{
    return one.st_mtim.tv_sec == other.st_mtim.tv_sec && one.st_mtim.tv_nsec == other.st_mtim.tv_nsec;
}

}

Error skippedKind(mode_t mode, const std::string& path)
{
    const char* kind = "special file";
    if (S_ISSOCK(mode))
        kind = "socket";
    else if (S_ISFIFO(mode))
        kind = "FIFO";
    else if (S_ISCHR(mode) || S_ISBLK(mode))
        kind = "device";
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

    Result<void> copied = copyBytes(shared, in.get(), out.get(), destination.path);
    const struct timespec times[2] = { status.st_atim, status.st_mtim };
    if (copied && ::fchmod(out.get(), status.st_mode & 07777) != 0)
        copied = Error::fromErrno("chmod", destination.path);
    if (copied && ::futimens(out.get(), times) != 0)
        copied = Error::fromErrno("utimens", destination.path);
    if (copied && ::close(out.release()) != 0)
        copied = Error::fromErrno("close", destination.path);
    out.reset();
    finishEntry(shared, destination, *name, std::move(copied));
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

bool sameFile(const Location& source, const Location& copy)
{
    struct stat one, other;
    return ::fstatat(source.directoryFD, source.name.c_str(), &one, AT_SYMLINK_NOFOLLOW) == 0
        && ::fstatat(copy.directoryFD, copy.name.c_str(), &other, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(one.st_mode)
        && S_ISREG(other.st_mode) && one.st_size == other.st_size && sameTime(one, other)
        && (one.st_mode & 07777) == (other.st_mode & 07777);
}

bool sameLink(const Location& source, const Location& copy)
{
    struct stat one, other;
    auto target = linkTarget(source, one);
    auto copied = linkTarget(copy, other);
    return target && copied && *target == *copied && sameTime(one, other);
}

Result<void> copyItem(const std::string& source, const std::string& destination, const CopyOptions& options)
{
    struct stat status;
    if (::lstat(destination.c_str(), &status) != 0)
        return synchronizeItem(source, destination, options);
    CopyShared shared;
    shared.fail(Error::fromSyscall("copy", EEXIST, destination));
    return shared.result(options);
}

}
