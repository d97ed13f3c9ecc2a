// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#include "FileManager.h"

#include "FileTree.h"

#include "Path.h"
#include "ScopedFD.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

FileManager& FileManager::defaultManager()
{
    static FileManager manager;
    return manager;
}

bool FileManager::fileExistsAtPath(const std::string& path) const
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

bool FileManager::fileExistsAtPath(const std::string& path, bool& isDirectory) const
{
    struct stat status;
    bool exists = ::stat(path.c_str(), &status) == 0;
    isDirectory = exists && S_ISDIR(status.st_mode);
    return exists;
}

bool FileManager::isExecutableFileAtPath(const std::string& path) const
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string FileManager::currentDirectoryPath() const
{
    // glibc sizes the buffer itself.
    std::unique_ptr<char, decltype(&std::free)> directory { ::getcwd(nullptr, 0), std::free };
    return directory ? std::string { directory.get() } : std::string {};
}

bool FileManager::itemExistsAtPath(const std::string& path) const
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

bool FileManager::directoryItemExistsAtPath(const std::string& path) const
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

Result<std::vector<std::string>> FileManager::contentsOfDirectoryAtPath(const std::string& path) const
{
    ScopedFD fd { ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
    if (!fd)
        return Error::fromErrno("open", path);
    auto entries = tree::listDirectory(fd.get(), path);
    if (!entries)
        return entries.error();
    std::vector<std::string> names;
    for (auto& entry : *entries)
        names.push_back(std::move(entry.name));
    return names;
}

Result<void> FileManager::createDirectoryAtPath(const std::string& path) const
{
    if (::mkdir(path.c_str(), 0777) != 0)
        return Error::fromErrno("mkdir", path);
    return {};
}

mode_t FileManager::defaultDirectoryPermissions() const
{
    // /proc tells the umask without changing it; umask() can only be read by
    // setting it, for every thread at once.
    auto status = contentsAtPath("/proc/self/status", { .maximumSize = 65536, .regularFileOnly = true });
    size_t found = status ? status->find("\nUmask:\t") : std::string::npos;
    mode_t mask;
    if (found != std::string::npos)
        mask = static_cast<mode_t>(std::strtoul(status->c_str() + found + 8, nullptr, 8));
    else
        ::umask(mask = ::umask(022));
    return 0777 & ~mask;
}

Result<void> FileManager::removeItemAtPath(const std::string& path) const
{
    return tree::removeEntry(AT_FDCWD, path, path);
}

Result<void> FileManager::copyItemAtPath(
    const std::string& source, const std::string& destination, const CopyOptions& options) const
{
    if (itemExistsAtPath(destination)) {
        tree::CopyShared shared;
        shared.fail(Error::fromSyscall("copy", EEXIST, destination));
        return shared.result(options);
    }
    return tree::synchronizeItem(source, destination, options);
}

Result<void> FileManager::synchronizeItemAtPath(
    const std::string& source, const std::string& destination, const CopyOptions& options) const
{
    return tree::synchronizeItem(source, destination, options);
}

Result<void> FileManager::setPosixPermissions(const std::string& path, mode_t mode) const
{
    if (::chmod(path.c_str(), mode) != 0)
        return Error::fromErrno("chmod", path);
    return {};
}

Result<std::string> FileManager::contentsAtPath(const std::string& path, const ReadOptions& options) const
{
    int flags = O_RDONLY | O_CLOEXEC | (options.regularFileOnly ? O_NONBLOCK | O_NOCTTY : 0);
    ScopedFD fd { ::open(path.c_str(), flags) };
    if (!fd)
        return Error::fromErrno("open", path);
    if (options.regularFileOnly) {
        struct stat status;
        if (::fstat(fd.get(), &status) < 0)
            return Error::fromErrno("fstat", path);
        if (!S_ISREG(status.st_mode))
            return Error::failure("read", "not a regular file", path);
        if (static_cast<uintmax_t>(status.st_size) > options.maximumSize)
            return Error::failure("read", "too large", path);
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Error::fromErrno("read", path);
        if (count == 0)
            return bytes;
        bytes.append(buffer, static_cast<size_t>(count));
        if (bytes.size() > options.maximumSize)
            return Error::failure("read", "too large", path);
    }
}

bool FileManager::fileHoldsExactly(const std::string& path, std::string_view bytes, mode_t mode) const
{
    ScopedFD fd { ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) };
    struct stat status;
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || (status.st_mode & 07777) != mode
        || static_cast<uintmax_t>(status.st_size) != bytes.size())
        return false;
    // One byte more than expected: a file that grew meanwhile is not equal.
    std::string contents(bytes.size() + 1, '\0');
    size_t length = 0;
    while (length < contents.size()) {
        ssize_t count = ::read(fd.get(), contents.data() + length, contents.size() - length);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        length += static_cast<size_t>(count);
    }
    return std::string_view { contents }.substr(0, length) == bytes;
}

// Where writeAtomically puts its temporaries of path: the directory, and the
// prefix and suffix of their names.
static constexpr const char* atomicTemporarySuffix = ".tmp";
static std::pair<std::string, std::string> atomicTemporaryPlace(const std::string& path)
{
    std::string directory = stringByDeletingLastPathComponent(path);
    return { directory.empty() ? "." : directory, "." + lastPathComponent(path) + "." };
}

Result<void> FileManager::writeAtomically(const std::string& path, std::string_view bytes) const
{
    auto [directory, name] = atomicTemporaryPlace(path);
    std::string prefix = stringByAppendingPathComponent(directory, name);
    auto attempt = [&](const std::string& temporary) -> std::optional<Result<void>> {
        ScopedFD fd { ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666) };
        if (!fd && errno == EEXIST)
            return std::nullopt;
        if (!fd)
            return Error::fromErrno("open", temporary);
        // Errors name the destination: the temporary is gone by the time anyone reads them.
        auto written = tree::writeAll(fd.get(), bytes, path);
        if (written && ::close(fd.release()) != 0)
            written = Error::fromErrno("close", path);
        if (written && ::rename(temporary.c_str(), path.c_str()) != 0)
            written = Error::fromErrno("rename", path);
        if (!written)
            ::unlink(temporary.c_str());
        return written;
    };
    return tree::withUniqueName(
        prefix, atomicTemporarySuffix, attempt, Error::failure("write", "no free temporary name", path));
}

void FileManager::removeTemporariesOfAtomicWrites(const std::string& path) const
{
    auto [directory, prefix] = atomicTemporaryPlace(path);
    auto names = contentsOfDirectoryAtPath(directory);
    for (const auto& name : names ? *names : std::vector<std::string> {}) {
        if (name.starts_with(prefix) && name.ends_with(atomicTemporarySuffix))
            (void)removeItemAtPath(stringByAppendingPathComponent(directory, name));
    }
}

}
