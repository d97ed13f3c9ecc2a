// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// Copying files and whole trees: contents by the work pool beside the walk,
// links as links, bits and times kept, a directory's own ones set last.
#include "FileTree.h"

#include "Path.h"
#include "WorkPool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform::tree {

namespace {

struct CopyShared {
    std::mutex lock;
    std::vector<Error> failures;
    std::atomic<bool> cloneWorks { true };
    std::atomic<bool> copyRangeWorks { true };

    void fail(Error error)
    {
        std::lock_guard guard { lock };
        failures.push_back(std::move(error));
    }
};

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

struct Location {
    int directoryFD; // or AT_FDCWD with a whole path as name
    std::string name;
    std::string path; // for errors
};

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

void copyFile(CopyShared& shared, const Location& source, const Location& destination)
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
    ScopedFD out { ::openat(destination.directoryFD, destination.name.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600) };
    if (!out)
        return shared.fail(Error::fromErrno("create", destination.path));

    Result<void> copied = copyBytes(shared, in.get(), out.get(), destination.path);
    const struct timespec times[2] = { status.st_atim, status.st_mtim };
    if (copied && ::fchmod(out.get(), status.st_mode & 07777) != 0)
        copied = Error::fromErrno("chmod", destination.path);
    if (copied && ::futimens(out.get(), times) != 0)
        copied = Error::fromErrno("utimens", destination.path);
    if (copied && ::close(out.release()) != 0)
        copied = Error::fromErrno("close", destination.path);
    if (!copied) {
        // No partial file under the final name.
        out.reset();
        ::unlinkat(destination.directoryFD, destination.name.c_str(), 0);
        shared.fail(copied.error());
    }
}

void copyLink(CopyShared& shared, const Location& source, const Location& destination)
{
    struct stat status;
    if (::fstatat(source.directoryFD, source.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return shared.fail(Error::fromErrno("lstat", source.path));
    std::string target(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    for (;;) {
        ssize_t length = ::readlinkat(source.directoryFD, source.name.c_str(), target.data(), target.size());
        if (length < 0)
            return shared.fail(Error::fromErrno("readlink", source.path));
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            break;
        }
        target.resize(target.size() * 2);
    }
    if (::symlinkat(target.c_str(), destination.directoryFD, destination.name.c_str()) != 0)
        return shared.fail(Error::fromErrno("symlink", destination.path));
    const struct timespec times[2] = { status.st_atim, status.st_mtim };
    if (::utimensat(destination.directoryFD, destination.name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        shared.fail(Error::fromErrno("utimens", destination.path));
}

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

    void addFile()
    {
        std::lock_guard guard { m_lock };
        ++m_files;
    }
    void fileDone(CopyShared& shared)
    {
        std::unique_lock guard { m_lock };
        bool last = !--m_files && m_walked;
        if (!m_files)
            m_filesDone.notify_all();
        guard.unlock();
        if (last)
            finish(shared);
    }
    void walkDone(CopyShared& shared)
    {
        std::unique_lock guard { m_lock };
        m_walked = true;
        bool last = !m_files;
        guard.unlock();
        if (last)
            finish(shared);
    }
    // Before the walk closes a deep ancestor's descriptors, to reopen them later.
    void waitForFiles()
    {
        std::unique_lock guard { m_lock };
        m_filesDone.wait(guard, [&] { return !m_files; });
    }

private:
    void finish(CopyShared& shared)
    {
        const struct timespec times[2] = { sourceStatus.st_atim, sourceStatus.st_mtim };
        if (::fchmod(destination.get(), sourceStatus.st_mode & 07777) != 0)
            shared.fail(Error::fromErrno("chmod", destinationPath));
        else if (::futimens(destination.get(), times) != 0)
            shared.fail(Error::fromErrno("utimens", destinationPath));
    }

    std::mutex m_lock;
    std::condition_variable m_filesDone;
    size_t m_files { 0 };
    bool m_walked { false };
};

struct CopyFrame {
    std::shared_ptr<DirectoryPair> pair; // its descriptors closed while deeper than openAncestorLimit
    std::vector<std::string> subdirectories;
    bool listed { false };
};

Result<std::shared_ptr<DirectoryPair>> openPair(const Location& source, const Location& destination)
{
    auto pair = std::make_shared<DirectoryPair>();
    pair->sourcePath = source.path;
    pair->destinationPath = destination.path;
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    pair->source = ScopedFD { ::openat(source.directoryFD, source.name.c_str(), flags) };
    if (!pair->source)
        return Error::fromErrno("open", source.path);
    pair->destination = ScopedFD { ::openat(destination.directoryFD, destination.name.c_str(), flags) };
    if (!pair->destination)
        return Error::fromErrno("open", destination.path);
    struct stat status;
    if (::fstat(pair->source.get(), &pair->sourceStatus) != 0)
        return Error::fromErrno("fstat", source.path);
    if (::fstat(pair->destination.get(), &status) != 0)
        return Error::fromErrno("fstat", destination.path);
    pair->destinationIdentity = identityOf(status);
    return pair;
}

class Copier {
public:
    Copier(CopyShared& shared, unsigned threads)
        : m_shared(shared)
        , m_pool(threads)
    {
    }
    void run(const std::string& source, const std::string& destination);

private:
    void copyLater(const std::shared_ptr<DirectoryPair>&, std::string name);
    void copyEntry(CopyFrame&, Entry&);
    void list(CopyFrame&);
    void descend(CopyFrame&);
    bool ascend();

    CopyShared& m_shared;
    std::vector<CopyFrame> m_frames;
    WorkPool m_pool; // last: its jobs use the members above
};

void Copier::copyLater(const std::shared_ptr<DirectoryPair>& directory, std::string name)
{
    directory->addFile();
    m_pool.run(directory.get(), [&shared = m_shared, directory, name = std::move(name)] {
        copyFile(shared, { directory->source.get(), name, stringByAppendingPathComponent(directory->sourcePath, name) },
            { directory->destination.get(), name, stringByAppendingPathComponent(directory->destinationPath, name) });
        directory->fileDone(shared);
    });
}

void Copier::copyEntry(CopyFrame& frame, Entry& entry)
{
    DirectoryPair& pair = *frame.pair;
    Location source { pair.source.get(), entry.name, stringByAppendingPathComponent(pair.sourcePath, entry.name) };
    Location destination { pair.destination.get(), entry.name,
        stringByAppendingPathComponent(pair.destinationPath, entry.name) };
    struct stat status;
    switch (entry.kind) {
    case Kind::Directory:
        // Owner-writable until its entries are in; its own bits come last.
        if (::mkdirat(pair.destination.get(), entry.name.c_str(), 0700) != 0)
            return m_shared.fail(Error::fromErrno("mkdir", destination.path));
        return frame.subdirectories.push_back(std::move(entry.name));
    case Kind::Link:
        return copyLink(m_shared, source, destination);
    case Kind::File:
        return copyLater(frame.pair, std::move(entry.name));
    case Kind::Gone:
        return m_shared.fail(Error::fromSyscall("lstat", ENOENT, source.path));
    case Kind::Other:
        if (::fstatat(pair.source.get(), entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            return m_shared.fail(Error::fromErrno("lstat", source.path));
        return m_shared.fail(skippedKind(status.st_mode, source.path));
    }
}

void Copier::list(CopyFrame& frame)
{
    frame.listed = true;
    auto entries = listDirectory(frame.pair->source.get(), frame.pair->sourcePath);
    if (!entries)
        return m_shared.fail(entries.error());
    for (auto& entry : *entries)
        copyEntry(frame, entry);
    std::reverse(frame.subdirectories.begin(), frame.subdirectories.end());
}

void Copier::descend(CopyFrame& frame)
{
    std::string name = std::move(frame.subdirectories.back());
    frame.subdirectories.pop_back();
    DirectoryPair& pair = *frame.pair;
    auto child = openPair({ pair.source.get(), name, stringByAppendingPathComponent(pair.sourcePath, name) },
        { pair.destination.get(), name, stringByAppendingPathComponent(pair.destinationPath, name) });
    if (!child)
        return m_shared.fail(child.error());
    m_frames.push_back({ std::move(*child), {}, false });
    if (m_frames.size() > openAncestorLimit) {
        DirectoryPair& ancestor = *m_frames[m_frames.size() - 1 - openAncestorLimit].pair;
        if (ancestor.source) {
            ancestor.waitForFiles();
            ancestor.source.reset();
            ancestor.destination.reset();
        }
    }
}

// Every entry of the top frame but queued files is in: its own bits and
// times come once those are too. False when the walk cannot go on.
bool Copier::ascend()
{
    DirectoryPair& pair = *m_frames.back().pair;
    pair.walkDone(m_shared);
    if (m_frames.size() > 1) {
        DirectoryPair& parent = *m_frames[m_frames.size() - 2].pair;
        if (!parent.source) {
            auto source = reopenParent(pair.source.get(), identityOf(parent.sourceStatus), parent.sourcePath);
            auto destination = reopenParent(pair.destination.get(), parent.destinationIdentity, parent.destinationPath);
            if (!source || !destination) {
                m_shared.fail(!source ? source.error() : destination.error());
                return false;
            }
            parent.source = std::move(*source);
            parent.destination = std::move(*destination);
        }
    }
    m_frames.pop_back();
    return true;
}

void Copier::run(const std::string& source, const std::string& destination)
{
    if (::mkdir(destination.c_str(), 0700) != 0)
        return m_shared.fail(Error::fromErrno("mkdir", destination));
    auto root = openPair({ AT_FDCWD, source, source }, { AT_FDCWD, destination, destination });
    if (!root) {
        // Raced away or not readable: leave nothing half made behind.
        ::rmdir(destination.c_str());
        return m_shared.fail(root.error());
    }
    m_frames.push_back({ std::move(*root), {}, false });
    while (!m_frames.empty()) {
        CopyFrame& frame = m_frames.back();
        if (!frame.listed)
            list(frame);
        if (!frame.subdirectories.empty())
            descend(frame);
        else if (!ascend())
            return;
    }
}

}

Result<void> copyItem(const std::string& source, const std::string& destination, const CopyOptions& options)
{
    CopyShared shared;
    struct stat status;
    if (::lstat(destination.c_str(), &status) == 0)
        shared.fail(Error::fromSyscall("copy", EEXIST, destination));
    else if (::lstat(source.c_str(), &status) != 0)
        shared.fail(Error::fromErrno("lstat", source));
    else if (S_ISDIR(status.st_mode))
        Copier { shared, options.threads.value_or(defaultThreadCount()) }.run(source, destination);
    else if (S_ISLNK(status.st_mode))
        copyLink(shared, { AT_FDCWD, source, source }, { AT_FDCWD, destination, destination });
    else if (S_ISREG(status.st_mode))
        copyFile(shared, { AT_FDCWD, source, source }, { AT_FDCWD, destination, destination });
    else
        shared.fail(skippedKind(status.st_mode, source));

    if (shared.failures.empty())
        return {};
    if (options.failure) {
        for (const auto& failure : shared.failures)
            options.failure(failure);
    }
    return shared.failures.front();
}

}
