#include "DeferredRemoval.h"

#include "FileTree.h"
#include "Path.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <system_error>
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
        return Error::fromSyscall("lstat", ENOTDIR, path);
    // Locked before it is renamed: nobody sees the hidden name unlocked.
    auto fd = openLocked(AT_FDCWD, path, path);
    if (!fd)
        return fd.error();
    std::string parent = stringByDeletingLastPathComponent(path);
    std::string name = lastPathComponent(path);
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned bits = 0;
        if (::getrandom(&bits, sizeof bits, 0) != sizeof bits)
            bits = static_cast<unsigned>(::getpid()) * 2654435761u + static_cast<unsigned>(attempt);
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", bits);
        std::string aside
            = stringByAppendingPathComponent(parent, "." + name + std::string { removingMarker } + suffix);
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return DeferredRemoval { std::move(aside), std::move(*fd) };
        if (errno != EEXIST)
            return Error::fromErrno("rename", path);
    }
    return Error::fromSyscall("rename", EEXIST, path);
}

std::vector<DeferredRemoval> DeferredRemoval::leftoversInDirectory(const std::string& directory)
{
    std::vector<DeferredRemoval> leftovers;
    ScopedFD fd { ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
    if (!fd)
        return leftovers;
    ScopedFD listing { ::openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
    if (!listing)
        return leftovers;
    std::unique_ptr<DIR, int (*)(DIR*)> stream { ::fdopendir(listing.get()), ::closedir };
    if (!stream)
        return leftovers;
    listing.release();
    while (dirent* entry = ::readdir(stream.get())) {
        std::string name = entry->d_name;
        if (!isRemovalName(name) || (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN))
            continue;
        std::string path = stringByAppendingPathComponent(directory, name);
        // Still locked: its owner is removing it right now.
        if (auto locked = openLocked(fd.get(), name, path))
            leftovers.push_back(DeferredRemoval { std::move(path), std::move(*locked) });
    }
    return leftovers;
}

DeferredRemoval::DeferredRemoval(std::string path, ScopedFD directory)
    : m_state(std::make_unique<State>())
{
    m_state->path = std::move(path);
    m_state->directory = std::move(directory);
}

DeferredRemoval::~DeferredRemoval()
{
    if (m_state && m_state->thread.joinable())
        m_state->thread.join();
}

Result<void> DeferredRemoval::removeNow(State& state)
{
    if (!state.directory)
        return {};
    auto contents = tree::removeContents(state.directory.get(), state.path);
    Result<void> removed;
    // Another process may have finished it after its owner died: gone is done.
    if (::rmdir(state.path.c_str()) != 0 && errno != ENOENT)
        removed = Error::fromErrno("rmdir", state.path);
    state.directory.reset();
    return contents ? removed : contents;
}

void DeferredRemoval::startRemoving()
{
    if (m_state->thread.joinable())
        return;
    try {
        m_state->thread = std::thread { [state = m_state.get()] { state->result = removeNow(*state); } };
    } catch (const std::system_error&) {
        // No thread to be had: remove() does it in place.
    }
}

Result<void> DeferredRemoval::remove()
{
    if (m_state->thread.joinable()) {
        m_state->thread.join();
        return m_state->result;
    }
    return removeNow(*m_state);
}
}
