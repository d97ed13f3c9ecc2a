// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// Removal of whole trees: depth first, never through a link, files unlinked
// by the work pool, directories of ours opened up for it first.
#include "FileTree.h"

#include "Path.h"
#include "WorkPool.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace platform::tree {

namespace {

// A directory being emptied, shared with the unlinks queued from it.
struct RemovalDirectory {
    RemovalDirectory(ScopedFD descriptor, std::string directoryPath)
        : fd(std::move(descriptor))
        , path(std::move(directoryPath))
    {
    }
    ScopedFD fd;
    std::string path; // for errors
    PendingWork unlinks;
};

struct RemovalFrame {
    std::shared_ptr<RemovalDirectory> directory; // null while deeper than openAncestorLimit
    Identity identity;
    std::string name;
    std::vector<std::string> subdirectories;
    bool listed { false };
};

class Remover {
public:
    Result<void> run(int rootFD, const std::string& rootPath);

private:
    void list(RemovalFrame&);
    void unlinkLater(const std::shared_ptr<RemovalDirectory>&, std::string name);
    void descend(RemovalFrame&);
    bool ascend();

    CopyShared m_failures; // noted by pool threads too
    std::vector<RemovalFrame> m_frames;
    WorkPool m_pool { defaultThreadCount }; // last: its jobs use the members above
};

void Remover::unlinkLater(const std::shared_ptr<RemovalDirectory>& directory, std::string name)
{
    directory->unlinks.add();
    m_pool.run(directory.get(), [this, directory, name = std::move(name)] {
        if (::unlinkat(directory->fd.get(), name.c_str(), 0) != 0 && errno != ENOENT)
            m_failures.fail(Error::fromErrno("unlink", stringByAppendingPathComponent(directory->path, name)));
        directory->unlinks.finish();
    });
}

void Remover::list(RemovalFrame& frame)
{
    frame.listed = true;
    auto entries = listDirectory(frame.directory->fd.get(), frame.directory->path);
    if (!entries)
        return m_failures.fail(entries.error());
    for (auto& entry : *entries) {
        if (entry.kind == Kind::Directory)
            frame.subdirectories.push_back(std::move(entry.name));
        else if (entry.kind != Kind::Gone)
            unlinkLater(frame.directory, std::move(entry.name));
    }
}

void Remover::descend(RemovalFrame& frame)
{
    std::string name = std::move(frame.subdirectories.back());
    frame.subdirectories.pop_back();
    int parentFD = frame.directory->fd.get();
    std::string path = stringByAppendingPathComponent(frame.directory->path, name);
    grantOwnerAccess(parentFD, name);
    ScopedFD child { ::openat(parentFD, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) };
    if (!child) {
        // Swapped for a link or a file since the listing: it goes as itself.
        if (errno == ENOTDIR || errno == ELOOP) {
            if (::unlinkat(parentFD, name.c_str(), 0) != 0 && errno != ENOENT)
                m_failures.fail(Error::fromErrno("unlink", path));
        } else if (errno != ENOENT)
            m_failures.fail(Error::fromErrno("open", path));
        return;
    }
    struct stat status;
    if (::fstat(child.get(), &status) != 0)
        return m_failures.fail(Error::fromErrno("fstat", path));
    m_frames.push_back(
        { std::make_shared<RemovalDirectory>(std::move(child), std::move(path)), identityOf(status), std::move(name) });
    if (m_frames.size() > openAncestorLimit) {
        auto& ancestor = m_frames[m_frames.size() - 1 - openAncestorLimit].directory;
        if (ancestor) {
            ancestor->unlinks.wait();
            ancestor.reset();
        }
    }
}

// The top frame is empty: remove it from its parent. False when the walk
// cannot go on.
bool Remover::ascend()
{
    RemovalFrame& frame = m_frames.back();
    RemovalFrame& parent = m_frames[m_frames.size() - 2];
    if (!parent.directory) {
        auto reopened = reopenParent(
            frame.directory->fd.get(), parent.identity, stringByAppendingPathComponent(frame.directory->path, ".."));
        if (!reopened) {
            m_failures.fail(reopened.error());
            return false;
        }
        parent.directory = std::make_shared<RemovalDirectory>(
            std::move(*reopened), stringByDeletingLastPathComponent(frame.directory->path));
    }
    std::string name = std::move(frame.name);
    std::string path = frame.directory->path;
    m_frames.pop_back();
    if (::unlinkat(m_frames.back().directory->fd.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        m_failures.fail(Error::fromErrno("rmdir", path));
    return true;
}

Result<void> Remover::run(int rootFD, const std::string& rootPath)
{
    ScopedFD root { ::openat(rootFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
    struct stat status;
    if (!root || ::fstat(root.get(), &status) != 0)
        return Error::fromErrno("open", rootPath);
    if (status.st_uid == ::geteuid() && (status.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(root.get(), (status.st_mode & 07777) | S_IRWXU);
    m_frames.push_back({ std::make_shared<RemovalDirectory>(std::move(root), rootPath), identityOf(status) });
    for (;;) {
        RemovalFrame& frame = m_frames.back();
        if (!frame.listed)
            list(frame);
        if (!frame.subdirectories.empty()) {
            descend(frame);
            continue;
        }
        frame.directory->unlinks.wait();
        if (m_frames.size() == 1 || !ascend())
            return m_failures.result({});
    }
}

}

Result<void> removeEntry(int parentFD, const std::string& name, const std::string& path)
{
    struct stat status;
    if (::fstatat(parentFD, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return Error::fromErrno("lstat", path);
    bool isDirectory = S_ISDIR(status.st_mode);
    if (isDirectory)
        grantOwnerAccess(parentFD, name);
    ScopedFD directory { isDirectory ? ::openat(parentFD, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                     : -1 };
    if (!directory) {
        if (isDirectory && errno != ENOTDIR && errno != ELOOP)
            return Error::fromErrno("open", path);
        // A link or a file (perhaps only since the lstat): remove that, not what it names.
        if (::unlinkat(parentFD, name.c_str(), 0) != 0)
            return Error::fromErrno("unlink", path);
        return {};
    }
    auto contents = Remover {}.run(directory.get(), path);
    directory.reset();
    if (::unlinkat(parentFD, name.c_str(), AT_REMOVEDIR) != 0) {
        if (!contents)
            return contents;
        return Error::fromErrno("rmdir", path);
    }
    return contents;
}

}
