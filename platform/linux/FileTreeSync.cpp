// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// Copying a tree, or bringing an earlier copy up to date, in one walk: what a
// copy would keep unchanged stays, what is missing or differs is copied (file
// contents by the work pool beside the walk), what the source lacks goes; a
// directory's own bits and times come last.
#include "FileTree.h"

#include "WorkPool.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <unordered_map>

namespace platform::tree {

namespace {

// What is left to do for an entry once syncEntry has looked at it.
enum class Next { Done, Descend, DescendFresh, CopyFile, ReplaceFile };

void removeExisting(CopyShared& shared, const Location& destination, std::optional<Kind>& existing)
{
    auto removed = removeEntry(destination.directoryFD, destination.name, destination.path);
    if (!removed && removed.error().code != ENOENT)
        shared.fail(removed.error());
    existing.reset();
}

// Makes the destination what a copy of the source would be, but for file
// contents and directories' entries, which it leaves to the caller. existing:
// the kind of what is at the destination, if anything.
Next syncEntry(
    CopyShared& shared, const Location& source, Kind kind, const Location& destination, std::optional<Kind> existing)
{
    // Neither a file nor a link can be renamed over a directory.
    if (existing == Kind::Directory && kind != Kind::Directory)
        removeExisting(shared, destination, existing);
    switch (kind) {
    case Kind::Directory:
        if (existing == Kind::Directory) {
            grantOwnerAccess(destination.directoryFD, destination.name);
            return Next::Descend;
        }
        if (existing)
            removeExisting(shared, destination, existing);
        // Owner-writable until its entries are in; its own bits come last.
        if (::mkdirat(destination.directoryFD, destination.name.c_str(), 0700) != 0) {
            shared.fail(Error::fromErrno("mkdir", destination.path));
            return Next::Done;
        }
        return Next::DescendFresh;
    case Kind::Link:
        if (existing != Kind::Link || !sameLink(source, destination))
            copyLink(shared, source, destination, existing.has_value());
        return Next::Done;
    case Kind::File:
        if (existing == Kind::File && keepsFile(shared, source, destination))
            return Next::Done;
        return existing ? Next::ReplaceFile : Next::CopyFile;
    case Kind::Gone:
        shared.fail(Error::fromSyscall("lstat", ENOENT, source.path));
        break;
    case Kind::Other: {
        struct stat status;
        if (::fstatat(source.directoryFD, source.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            shared.fail(Error::fromErrno("lstat", source.path));
        else
            shared.fail(skippedKind(status.st_mode, source.path));
        break;
    }
    }
    // Nothing could be copied, so a copy has nothing there either.
    if (existing)
        removeExisting(shared, destination, existing);
    return Next::Done;
}

struct Subdirectory {
    std::string name;
    bool fresh; // made empty by this walk: nothing there to compare
};

struct SyncFrame {
    std::shared_ptr<DirectoryPair> pair; // its descriptors closed while deeper than openAncestorLimit
    bool fresh;
    std::vector<Subdirectory> subdirectories;
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

class Synchronizer {
public:
    Synchronizer(CopyShared& shared, unsigned threads)
        : m_shared(shared)
        , m_pool(threads)
    {
    }
    void run(const std::string& source, const std::string& destination, bool fresh);

private:
    void copyLater(const std::shared_ptr<DirectoryPair>&, std::string name, bool replace);
    void compareLater(const std::shared_ptr<DirectoryPair>&, std::vector<std::string> names);
    void list(SyncFrame&);
    void descend(SyncFrame&);
    bool ascend();

    CopyShared& m_shared;
    std::vector<SyncFrame> m_frames;
    WorkPool m_pool; // last: its jobs use the members above
};

void Synchronizer::copyLater(const std::shared_ptr<DirectoryPair>& directory, std::string name, bool replace)
{
    directory->addFile();
    m_pool.run(directory.get(), [&shared = m_shared, directory, name = std::move(name), replace] {
        auto [source, destination] = directory->locations(name);
        copyFile(shared, source, destination, replace);
        directory->done(shared);
    });
}

// A file on both sides costs two status calls to compare, and a relaunch of
// a large tree is mostly those: where a directory holds many, the pool
// compares them in batches beside the walk, and copies what differs.
void Synchronizer::compareLater(const std::shared_ptr<DirectoryPair>& directory, std::vector<std::string> names)
{
    constexpr size_t batch = 32;
    auto same = [&shared = m_shared](const DirectoryPair& pair, const std::string& name) {
        auto [source, copy] = pair.locations(name);
        return keepsFile(shared, source, copy);
    };
    if (names.size() < batch) {
        for (auto& name : names) {
            if (!same(*directory, name))
                copyLater(directory, std::move(name), true);
        }
        return;
    }
    for (size_t start = 0; start < names.size(); start += batch) {
        auto first = names.begin() + static_cast<std::ptrdiff_t>(start);
        std::vector<std::string> some { std::make_move_iterator(first),
            std::make_move_iterator(first + static_cast<std::ptrdiff_t>(std::min(batch, names.size() - start))) };
        directory->addFile();
        m_pool.run(directory.get(), [&shared = m_shared, directory, same, some = std::move(some)] {
            for (const auto& name : some) {
                if (same(*directory, name))
                    continue;
                auto [source, destination] = directory->locations(name);
                copyFile(shared, source, destination, true);
            }
            directory->done(shared);
        });
    }
}

void Synchronizer::list(SyncFrame& frame)
{
    frame.listed = true;
    const auto& pair = frame.pair;
    auto entries = listDirectory(pair->source.get(), pair->sourcePath);
    if (!entries)
        return m_shared.fail(entries.error());
    std::unordered_map<std::string, Kind> existing;
    if (!frame.fresh) {
        auto there = listDirectory(pair->destination.get(), pair->destinationPath);
        if (!there)
            return m_shared.fail(there.error());
        for (auto& entry : *there)
            existing.emplace(std::move(entry.name), entry.kind);
    }
    std::vector<std::string> compared;
    for (auto& entry : *entries) {
        auto there = existing.extract(entry.name);
        std::optional<Kind> kind = there ? std::optional { there.mapped() } : std::nullopt;
        if (kind == Kind::File && entry.kind == Kind::File) {
            compared.push_back(std::move(entry.name));
            continue;
        }
        auto [source, destination] = pair->locations(entry.name);
        switch (Next next = syncEntry(m_shared, source, entry.kind, destination, kind)) {
        case Next::Done:
            break;
        case Next::Descend:
        case Next::DescendFresh:
            frame.subdirectories.push_back({ std::move(entry.name), next == Next::DescendFresh });
            break;
        case Next::CopyFile:
        case Next::ReplaceFile:
            copyLater(pair, std::move(entry.name), next == Next::ReplaceFile);
            break;
        }
    }
    compareLater(pair, std::move(compared));
    // What is left the source does not have.
    for (const auto& [name, kind] : existing) {
        std::optional<Kind> there = kind;
        removeExisting(m_shared, pair->locations(name).second, there);
    }
    std::reverse(frame.subdirectories.begin(), frame.subdirectories.end());
}

void Synchronizer::descend(SyncFrame& frame)
{
    Subdirectory next = std::move(frame.subdirectories.back());
    frame.subdirectories.pop_back();
    DirectoryPair& pair = *frame.pair;
    auto [source, destination] = pair.locations(next.name);
    auto child = openPair(source, destination);
    if (!child)
        return m_shared.fail(child.error());
    m_frames.push_back({ std::move(*child), next.fresh, {}, false });
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
bool Synchronizer::ascend()
{
    DirectoryPair& pair = *m_frames.back().pair;
    pair.done(m_shared);
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

void Synchronizer::run(const std::string& source, const std::string& destination, bool fresh)
{
    auto root = openPair({ AT_FDCWD, source, source }, { AT_FDCWD, destination, destination });
    if (!root) {
        // Raced away or not readable: leave nothing half made behind.
        if (fresh)
            ::rmdir(destination.c_str());
        return m_shared.fail(root.error());
    }
    m_frames.push_back({ std::move(*root), fresh, {}, false });
    while (!m_frames.empty()) {
        SyncFrame& frame = m_frames.back();
        if (!frame.listed)
            list(frame);
        if (!frame.subdirectories.empty())
            descend(frame);
        else if (!ascend())
            return;
    }
}

}

Result<void> synchronizeItem(const std::string& source, const std::string& destination, const CopyOptions& options)
{
    CopyShared shared;
    shared.record = options.record;
    Location from { AT_FDCWD, source, source };
    Location to { AT_FDCWD, destination, destination };
    struct stat status;
    std::optional<Kind> existing;
    if (::lstat(destination.c_str(), &status) == 0)
        existing = kindOfMode(status.st_mode);
    if (::lstat(source.c_str(), &status) != 0) {
        shared.fail(Error::fromErrno("lstat", source));
        // A copy of nothing is nothing.
        if (existing)
            removeExisting(shared, to, existing);
        return shared.result(options);
    }
    switch (Next next = syncEntry(shared, from, kindOfMode(status.st_mode), to, existing)) {
    case Next::Done:
        break;
    case Next::Descend:
    case Next::DescendFresh:
        Synchronizer { shared, options.threads.value_or(defaultThreadCount) }.run(
            source, destination, next == Next::DescendFresh);
        break;
    case Next::CopyFile:
    case Next::ReplaceFile:
        copyFile(shared, from, to, next == Next::ReplaceFile);
        break;
    }
    return shared.result(options);
}

}
