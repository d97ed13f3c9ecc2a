// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// Walk helpers shared by removal, copy and synchronization: listing,
// identity checks, owner access, unique names, whole writes.
#include "FileTree.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace platform::tree {

Kind kindOfMode(mode_t mode)
{
    if (S_ISDIR(mode))
        return Kind::Directory;
    if (S_ISLNK(mode))
        return Kind::Link;
    if (S_ISREG(mode))
        return Kind::File;
    return Kind::Other;
}

// Some file systems leave the kind unknown in the listing.
static Kind kindOfEntry(int fd, const dirent64& entry)
{
    if (entry.d_type != DT_UNKNOWN)
        return kindOfMode(DTTOIF(entry.d_type));
    struct stat status;
    return ::fstatat(fd, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ? Kind::Gone : kindOfMode(status.st_mode);
}

Result<std::vector<Entry>> listDirectory(int fd, const std::string& path)
{
    // On the descriptor itself, from its start: a walk lists each of its
    // directories once, and a second descriptor with a stream around it
    // would cost five more calls each time.
    if (::lseek(fd, 0, SEEK_SET) < 0)
        return Error::fromErrno("lseek", path);
    std::vector<Entry> entries;
    alignas(dirent64) char buffer[32768];
    for (;;) {
        ssize_t count = ::getdents64(fd, buffer, sizeof buffer);
        if (count < 0)
            return Error::fromErrno("getdents64", path);
        if (count == 0)
            return entries;
        for (ssize_t offset = 0; offset < count;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            std::string_view name { entry->d_name };
            if (name != "." && name != "..")
                entries.push_back({ std::string { name }, kindOfEntry(fd, *entry) });
        }
    }
}

Result<ScopedFD> reopenParent(int childFD, const Identity& expected, const std::string& path)
{
    ScopedFD parent { ::openat(childFD, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
    if (!parent)
        return Error::fromErrno("open", path);
    struct stat status;
    if (::fstat(parent.get(), &status) != 0)
        return Error::fromErrno("fstat", path);
    if (identityOf(status) != expected)
        return Error::fromSyscall("open", ESTALE, path);
    return parent;
}

void grantOwnerAccess(int parentFD, const std::string& name)
{
    struct stat status;
    if (::fstatat(parentFD, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)
        || status.st_uid != ::geteuid() || (status.st_mode & S_IRWXU) == S_IRWXU)
        return;
    // AT_SYMLINK_NOFOLLOW: a link swapped in meanwhile is refused, not followed.
    // A failure shows in the step that needed the access.
    [[maybe_unused]] int refused
        = ::fchmodat(parentFD, name.c_str(), (status.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW);
}

Result<void> withUniqueName(const std::string& prefix, const std::string& suffix,
    const std::function<std::optional<Result<void>>(const std::string&)>& attempt, const Error& failure)
{
    for (unsigned tries = 0; tries < 100; ++tries) {
        unsigned bits = 0;
        if (::getrandom(&bits, sizeof bits, 0) != sizeof bits)
            bits ^= static_cast<unsigned>(::getpid()) * 2654435761u + tries;
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08x", bits);
        std::string name = prefix;
        name.append(digits).append(suffix);
        if (auto result = attempt(name))
            return *result;
    }
    return failure;
}

Result<void> writeAll(int fd, std::string_view bytes, const std::string& path)
{
    while (!bytes.empty()) {
        ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Error::fromErrno("write", path);
        bytes.remove_prefix(static_cast<size_t>(count));
    }
    return {};
}

}
