#include "FileTree.h"

#include "Path.h"
#include "ScopedFD.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform::tree {

namespace {

// Directory descriptors a walk keeps open along its path; deeper ancestors
// are closed and found again through "..", checked by identity.
constexpr size_t openAncestorLimit = 16;

struct Identity {
    dev_t device { 0 };
    ino_t inode { 0 };
    bool operator==(const Identity&) const = default;
};

Identity identityOf(const struct stat& status) { return { status.st_dev, status.st_ino }; }

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

enum class Kind { Directory, Link, File, Other, Gone };

struct Entry {
    std::string name;
    Kind kind;
};

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

const char* kindName(mode_t mode)
{
    if (S_ISSOCK(mode))
        return "socket";
    if (S_ISFIFO(mode))
        return "FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "device";
    return "special file";
}

// The entries of the directory open at fd, without "." and "..". The
// descriptor itself stays open and unmoved for openat.
Result<std::vector<Entry>> listDirectory(int fd, const std::string& path)
{
    ScopedFD duplicate { ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
    if (!duplicate)
        return Error::fromErrno("open", path);
    DirectoryStream stream { ::fdopendir(duplicate.get()) };
    if (!stream)
        return Error::fromErrno("fdopendir", path);
    duplicate.release();
    std::vector<Entry> entries;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(stream.get());
        if (!entry) {
            if (errno)
                return Error::fromErrno("readdir", path);
            return entries;
        }
        std::string_view name { entry->d_name };
        if (name == "." || name == "..")
            continue;
        Kind kind;
        switch (entry->d_type) {
        case DT_DIR:
            kind = Kind::Directory;
            break;
        case DT_LNK:
            kind = Kind::Link;
            break;
        case DT_REG:
            kind = Kind::File;
            break;
        case DT_UNKNOWN: {
            struct stat status;
            if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                kind = Kind::Gone;
            else
                kind = kindOfMode(status.st_mode);
            break;
        }
        default:
            kind = Kind::Other;
        }
        entries.push_back({ std::string { name }, kind });
    }
}

// Notes the first failure and goes on; pool threads note theirs too.
struct FailureList {
    std::mutex lock;
    std::vector<Error> all;
    void note(Error error)
    {
        std::lock_guard guard { lock };
        all.push_back(std::move(error));
    }
    Result<void> result()
    {
        std::lock_guard guard { lock };
        if (!all.empty())
            return all.front();
        return {};
    }
};

// Work queued from one directory, waited for before the directory is left.
struct PendingWork {
    std::mutex lock;
    std::condition_variable done;
    size_t count { 0 };

    void add()
    {
        std::lock_guard guard { lock };
        ++count;
    }
    void finish()
    {
        std::lock_guard guard { lock };
        if (!--count)
            done.notify_all();
    }
    void wait()
    {
        std::unique_lock guard { lock };
        done.wait(guard, [&] { return !count; });
    }
};

// Most of the time of a copy or a removal is spent in the file system
// (creating inodes, freeing and discarding blocks); several of those in flight
// finish sooner, even on few cores, but only in different directories: the
// kernel makes entries in one directory one at a time. So jobs come grouped by
// the directory they work in, and a free thread takes the next job of the
// group with the fewest threads at it. Queued jobs and groups are bounded
// (each group holds directories open); beyond that the caller does the job
// itself.
class WorkPool {
public:
    explicit WorkPool(unsigned threads)
        : m_threadCount(threads)
        , m_groupLimit(size_t { 2 } * threads)
    {
    }

    ~WorkPool()
    {
        {
            std::lock_guard guard { m_lock };
            m_closing = true;
        }
        m_wake.notify_all();
        for (auto& thread : m_threads)
            thread.join();
    }

    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    void run(const void* group, std::function<void()> job)
    {
        std::unique_lock guard { m_lock };
        if (m_threads.size() < m_threadCount) {
            try {
                m_threads.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                m_threadCount = static_cast<unsigned>(m_threads.size());
            }
        }
        auto found
            = std::find_if(m_groups.begin(), m_groups.end(), [&](const Group& queued) { return queued.key == group; });
        if (m_threads.empty() || m_queued >= jobLimit || (found == m_groups.end() && m_groups.size() >= m_groupLimit)) {
            guard.unlock();
            job();
            return;
        }
        if (found == m_groups.end())
            found = m_groups.insert(m_groups.end(), Group { group, {}, 0 });
        found->jobs.push_back(std::move(job));
        ++m_queued;
        guard.unlock();
        m_wake.notify_one();
    }

private:
    static constexpr size_t jobLimit = 1024;

    struct Group {
        const void* key;
        std::deque<std::function<void()>> jobs;
        unsigned working;
    };

    void work()
    {
        std::unique_lock guard { m_lock };
        for (;;) {
            m_wake.wait(guard, [&] { return m_closing || m_queued; });
            if (!m_queued)
                return;
            auto group = m_groups.end();
            for (auto candidate = m_groups.begin(); candidate != m_groups.end(); ++candidate) {
                if (!candidate->jobs.empty() && (group == m_groups.end() || candidate->working < group->working))
                    group = candidate;
            }
            auto job = std::move(group->jobs.front());
            group->jobs.pop_front();
            --m_queued;
            ++group->working;
            const void* key = group->key;
            guard.unlock();
            job();
            job = nullptr; // its directory descriptors close outside the lock
            guard.lock();
            group = std::find_if(
                m_groups.begin(), m_groups.end(), [&](const Group& queued) { return queued.key == key; });
            if (!--group->working && group->jobs.empty())
                m_groups.erase(group);
        }
    }

    unsigned m_threadCount;
    size_t m_groupLimit;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::list<Group> m_groups; // in arrival order
    size_t m_queued { 0 };
    std::vector<std::thread> m_threads;
    bool m_closing { false };
};

unsigned defaultThreadCount()
{
    // Measured with bench/launch-bench --internals: four in flight beat
    // one by two to three times for both copy and removal on two cores.
    return 4;
}

// Opens ".." from a directory and checks that it is the one we came from,
// so a directory moved during the walk cannot lead it elsewhere.
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

std::string joinedPath(const std::string& root, const std::vector<std::string>& names, std::string_view last = {})
{
    std::string path = root;
    for (const auto& name : names)
        path = stringByAppendingPathComponent(path, name);
    if (!last.empty())
        path = stringByAppendingPathComponent(path, last);
    return path;
}

// A directory being emptied, shared with the unlinks queued from it.
struct RemovalDirectory {
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

}

Result<void> removeContents(int rootFD, const std::string& rootPath)
{
    FailureList failures;
    std::vector<RemovalFrame> frames;
    auto pathOf = [&](std::string_view last = {}) {
        std::vector<std::string> names;
        for (size_t index = 1; index < frames.size(); ++index)
            names.push_back(frames[index].name);
        return joinedPath(rootPath, names, last);
    };
    auto openedDirectory = [](ScopedFD fd, std::string path) {
        auto directory = std::make_shared<RemovalDirectory>();
        directory->fd = std::move(fd);
        directory->path = std::move(path);
        return directory;
    };

    {
        ScopedFD root { ::openat(rootFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
        struct stat status;
        if (!root || ::fstat(root.get(), &status) != 0)
            return Error::fromErrno("open", rootPath);
        frames.push_back({ openedDirectory(std::move(root), rootPath), identityOf(status), {}, {}, false });
    }

    WorkPool pool { defaultThreadCount() };
    while (!frames.empty()) {
        RemovalFrame& frame = frames.back();
        if (!frame.listed) {
            frame.listed = true;
            auto entries = listDirectory(frame.directory->fd.get(), pathOf());
            if (!entries)
                failures.note(entries.error());
            else {
                for (auto& entry : *entries) {
                    if (entry.kind == Kind::Directory) {
                        frame.subdirectories.push_back(std::move(entry.name));
                        continue;
                    }
                    if (entry.kind == Kind::Gone)
                        continue;
                    frame.directory->unlinks.add();
                    pool.run(
                        frame.directory.get(), [&failures, directory = frame.directory, name = std::move(entry.name)] {
                            if (::unlinkat(directory->fd.get(), name.c_str(), 0) != 0 && errno != ENOENT)
                                failures.note(
                                    Error::fromErrno("unlink", stringByAppendingPathComponent(directory->path, name)));
                            directory->unlinks.finish();
                        });
                }
            }
        }

        if (!frame.subdirectories.empty()) {
            std::string name = std::move(frame.subdirectories.back());
            frame.subdirectories.pop_back();
            int parentFD = frame.directory->fd.get();
            ScopedFD child { ::openat(parentFD, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) };
            if (!child) {
                // Swapped for a link or a file since the listing: it goes as itself.
                if (errno == ENOTDIR || errno == ELOOP) {
                    if (::unlinkat(parentFD, name.c_str(), 0) != 0 && errno != ENOENT)
                        failures.note(Error::fromErrno("unlink", pathOf(name)));
                } else if (errno != ENOENT)
                    failures.note(Error::fromErrno("open", pathOf(name)));
                continue;
            }
            struct stat status;
            if (::fstat(child.get(), &status) != 0) {
                failures.note(Error::fromErrno("fstat", pathOf(name)));
                continue;
            }
            std::string path = pathOf(name);
            frames.push_back(
                { openedDirectory(std::move(child), std::move(path)), identityOf(status), std::move(name), {}, false });
            if (frames.size() > openAncestorLimit) {
                auto& ancestor = frames[frames.size() - 1 - openAncestorLimit].directory;
                if (ancestor) {
                    ancestor->unlinks.wait();
                    ancestor.reset();
                }
            }
            continue;
        }

        frame.directory->unlinks.wait();
        if (frames.size() == 1)
            break;
        RemovalFrame& parent = frames[frames.size() - 2];
        if (!parent.directory) {
            auto reopened = reopenParent(frame.directory->fd.get(), parent.identity, pathOf(".."));
            if (!reopened) {
                failures.note(reopened.error());
                return failures.result();
            }
            parent.directory
                = openedDirectory(std::move(*reopened), stringByDeletingLastPathComponent(frame.directory->path));
        }
        std::string name = std::move(frame.name);
        frames.pop_back();
        std::string path = pathOf(name);
        if (::unlinkat(frames.back().directory->fd.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            failures.note(Error::fromErrno("rmdir", path));
    }
    return failures.result();
}

Result<void> removeItem(const std::string& path)
{
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0)
        return Error::fromErrno("lstat", path);
    if (!S_ISDIR(status.st_mode)) {
        if (::unlink(path.c_str()) != 0)
            return Error::fromErrno("unlink", path);
        return {};
    }
    ScopedFD directory { ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) };
    if (!directory) {
        if (errno != ENOTDIR && errno != ELOOP)
            return Error::fromErrno("open", path);
        // Became a link or a file after the lstat: remove that, not what it names.
        if (::unlink(path.c_str()) != 0)
            return Error::fromErrno("unlink", path);
        return {};
    }
    auto contents = removeContents(directory.get(), path);
    directory.reset();
    if (::rmdir(path.c_str()) != 0) {
        if (!contents)
            return contents;
        return Error::fromErrno("rmdir", path);
    }
    return contents;
}

// Copying.

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
    if (shared.copyRangeWorks.load(std::memory_order_relaxed)) {
        for (;;) {
            ssize_t count = ::copy_file_range(in, nullptr, out, nullptr, size_t { 1 } << 30, 0);
            if (count > 0) {
                copiedAny = true;
                continue;
            }
            if (count == 0)
                return {};
            if (errno == EINTR)
                continue;
            if (!copiedAny && meansUnsupported(errno)) {
                shared.copyRangeWorks.store(false, std::memory_order_relaxed);
                break;
            }
            return Error::fromErrno("copy_file_range", path);
        }
    }
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
        for (ssize_t done = 0; done < count;) {
            ssize_t written = ::write(out, buffer.get() + done, static_cast<size_t>(count - done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                return Error::fromErrno("write", path);
            done += written;
        }
    }
}

struct Location {
    int directoryFD; // or AT_FDCWD with a whole path as name
    std::string name;
    std::string path; // for errors
};

Error skippedKind(mode_t mode, const std::string& path)
{
    return Error::fromSyscall(std::string { "skip " } + kindName(mode), EOPNOTSUPP, path);
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
struct DirectoryPair {
    ScopedFD source;
    ScopedFD destination;
    std::string sourcePath;
    std::string destinationPath;
    struct stat sourceStatus { };

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

void copyLater(WorkPool& pool, CopyShared& shared, const std::shared_ptr<DirectoryPair>& directory, std::string name)
{
    directory->addFile();
    pool.run(directory.get(), [&shared, directory, name = std::move(name)] {
        copyFile(shared, { directory->source.get(), name, stringByAppendingPathComponent(directory->sourcePath, name) },
            { directory->destination.get(), name, stringByAppendingPathComponent(directory->destinationPath, name) });
        directory->fileDone(shared);
    });
}

struct CopyFrame {
    std::shared_ptr<DirectoryPair> pair; // its descriptors closed while deeper than openAncestorLimit
    Identity destinationIdentity;
    std::vector<std::string> subdirectories;
    bool listed { false };
};

Result<std::shared_ptr<DirectoryPair>> openPair(int sourceParent, const std::string& sourceName, int destinationParent,
    const std::string& destinationName, const std::string& sourcePath, const std::string& destinationPath,
    Identity& destinationIdentity)
{
    auto pair = std::make_shared<DirectoryPair>();
    pair->sourcePath = sourcePath;
    pair->destinationPath = destinationPath;
    pair->source
        = ScopedFD { ::openat(sourceParent, sourceName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) };
    if (!pair->source)
        return Error::fromErrno("open", sourcePath);
    pair->destination = ScopedFD { ::openat(
        destinationParent, destinationName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) };
    if (!pair->destination)
        return Error::fromErrno("open", destinationPath);
    struct stat status;
    if (::fstat(pair->source.get(), &pair->sourceStatus) != 0)
        return Error::fromErrno("fstat", sourcePath);
    if (::fstat(pair->destination.get(), &status) != 0)
        return Error::fromErrno("fstat", destinationPath);
    destinationIdentity = identityOf(status);
    return pair;
}

void listAndDispatch(CopyShared& shared, WorkPool& pool, CopyFrame& frame)
{
    DirectoryPair& pair = *frame.pair;
    auto entries = listDirectory(pair.source.get(), pair.sourcePath);
    if (!entries)
        return shared.fail(entries.error());
    for (auto& entry : *entries) {
        std::string sourcePath = stringByAppendingPathComponent(pair.sourcePath, entry.name);
        std::string destinationPath = stringByAppendingPathComponent(pair.destinationPath, entry.name);
        switch (entry.kind) {
        case Kind::Directory:
            // Owner-writable until its entries are in; its own bits come last.
            if (::mkdirat(pair.destination.get(), entry.name.c_str(), 0700) != 0)
                shared.fail(Error::fromErrno("mkdir", destinationPath));
            else
                frame.subdirectories.push_back(std::move(entry.name));
            break;
        case Kind::Link:
            copyLink(shared, { pair.source.get(), entry.name, sourcePath },
                { pair.destination.get(), entry.name, destinationPath });
            break;
        case Kind::File:
            copyLater(pool, shared, frame.pair, std::move(entry.name));
            break;
        case Kind::Gone:
            shared.fail(Error::fromSyscall("lstat", ENOENT, sourcePath));
            break;
        case Kind::Other: {
            struct stat status;
            if (::fstatat(pair.source.get(), entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
                shared.fail(Error::fromErrno("lstat", sourcePath));
            else
                shared.fail(skippedKind(status.st_mode, sourcePath));
            break;
        }
        }
    }
    std::reverse(frame.subdirectories.begin(), frame.subdirectories.end());
}

void copyDirectory(CopyShared& shared, const std::string& source, const std::string& destination, unsigned threads)
{
    if (::mkdir(destination.c_str(), 0700) != 0)
        return shared.fail(Error::fromErrno("mkdir", destination));
    CopyFrame root;
    auto rootPair = openPair(AT_FDCWD, source, AT_FDCWD, destination, source, destination, root.destinationIdentity);
    if (!rootPair) {
        // Raced away or not readable: leave nothing half made behind.
        ::rmdir(destination.c_str());
        return shared.fail(rootPair.error());
    }
    root.pair = std::move(*rootPair);

    WorkPool pool { threads };
    std::vector<CopyFrame> frames;
    frames.push_back(std::move(root));
    while (!frames.empty()) {
        CopyFrame& frame = frames.back();
        if (!frame.listed) {
            frame.listed = true;
            listAndDispatch(shared, pool, frame);
        }

        if (!frame.subdirectories.empty()) {
            std::string name = std::move(frame.subdirectories.back());
            frame.subdirectories.pop_back();
            CopyFrame child;
            auto childPair = openPair(frame.pair->source.get(), name, frame.pair->destination.get(), name,
                stringByAppendingPathComponent(frame.pair->sourcePath, name),
                stringByAppendingPathComponent(frame.pair->destinationPath, name), child.destinationIdentity);
            if (!childPair) {
                shared.fail(childPair.error());
                continue;
            }
            child.pair = std::move(*childPair);
            frames.push_back(std::move(child));
            if (frames.size() > openAncestorLimit) {
                CopyFrame& ancestor = frames[frames.size() - 1 - openAncestorLimit];
                if (ancestor.pair->source) {
                    ancestor.pair->waitForFiles();
                    ancestor.pair->source.reset();
                    ancestor.pair->destination.reset();
                }
            }
            continue;
        }

        // Every entry but queued files is in; the directory's own bits and
        // times come once those are too.
        DirectoryPair& pair = *frame.pair;
        pair.walkDone(shared);

        if (frames.size() > 1) {
            CopyFrame& parentFrame = frames[frames.size() - 2];
            DirectoryPair& parent = *parentFrame.pair;
            if (!parent.source) {
                auto sourceParent = reopenParent(pair.source.get(), identityOf(parent.sourceStatus), parent.sourcePath);
                auto destinationParent
                    = reopenParent(pair.destination.get(), parentFrame.destinationIdentity, parent.destinationPath);
                if (!sourceParent || !destinationParent) {
                    shared.fail(!sourceParent ? sourceParent.error() : destinationParent.error());
                    return;
                }
                parent.source = std::move(*sourceParent);
                parent.destination = std::move(*destinationParent);
            }
        }
        frames.pop_back();
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
        copyDirectory(shared, source, destination, options.threads ? options.threads : defaultThreadCount());
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
