// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#include "DeferredRemoval.h"

#include "FileTree.h"
#include "Path.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

static constexpr std::string_view removingMarker = ".removing-";
static constexpr size_t suffixDigits = 8;

static bool isRemovalName(std::string_view name)
{
    if (name.size() < 1 + removingMarker.size() + suffixDigits || name.front() != '.')
        return false;
    std::string_view suffix = name.substr(name.size() - suffixDigits);
    if (name.substr(name.size() - suffixDigits - removingMarker.size(), removingMarker.size()) != removingMarker)
        return false;
    return suffix.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

static Result<ScopedFD> openLocked(int parentFD, const std::string& name, const std::string& path)
{
    // A directory of ours without owner access (copied from read-only
    // media, or made so by the client) is opened up now so it can go later.
    tree::grantOwnerAccess(parentFD, name);
    ScopedFD fd { ::openat(parentFD, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) };
    if (!fd)
        return Error::fromErrno("open", path);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return Error::fromErrno("flock", path);
    return fd;
}

Result<DeferredRemoval> DeferredRemoval::moveAside(const std::string& path)
{
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0)
        return Error::fromErrno("lstat", path);
    if (!S_ISDIR(status.st_mode))
        return Error::failure("move aside", "not a directory", path);
    // Locked before it is renamed: nobody sees the hidden name unlocked.
    auto fd = openLocked(AT_FDCWD, path, path);
    if (!fd)
        return fd.error();
    std::string prefix = stringByAppendingPathComponent(
        stringByDeletingLastPathComponent(path), "." + lastPathComponent(path) + std::string { removingMarker });
    std::string aside;
    auto renamed = tree::withUniqueName(
        prefix, "",
        [&](const std::string& name) -> std::optional<Result<void>> {
            if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) {
                aside = name;
                return Result<void> {};
            }
            if (errno == EEXIST)
                return std::nullopt;
            return Error::fromErrno("rename", path);
        },
        Error::failure("rename", "no free hidden name", path));
    if (!renamed)
        return renamed.error();
    return DeferredRemoval { std::move(aside), std::move(*fd) };
}

std::vector<DeferredRemoval> DeferredRemoval::leftoversInDirectory(const std::string& directory)
{
    std::vector<DeferredRemoval> leftovers;
    ScopedFD fd { ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
    if (!fd)
        return leftovers;
    auto entries = tree::listDirectory(fd.get(), directory);
    if (!entries)
        return leftovers;
    for (const auto& entry : *entries) {
        if (entry.kind != tree::Kind::Directory || !isRemovalName(entry.name))
            continue;
        std::string path = stringByAppendingPathComponent(directory, entry.name);
        // Still locked: its owner is removing it right now.
        if (auto locked = openLocked(fd.get(), entry.name, path))
            leftovers.push_back(DeferredRemoval { std::move(path), std::move(*locked) });
    }
    return leftovers;
}

Result<void> DeferredRemoval::remove()
{
    if (!m_directory)
        return {};
    auto contents = tree::removeContents(m_directory.get(), m_path);
    Result<void> removed;
    // Another process may have finished it after its owner died: gone is done.
    if (::rmdir(m_path.c_str()) != 0 && errno != ENOENT)
        removed = Error::fromErrno("rmdir", m_path);
    m_directory.reset();
    return contents ? removed : contents;
}

}
