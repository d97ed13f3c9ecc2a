#include "DeferredRemoval.h"
#include "FileManager.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::FileManager;

namespace {

struct stat statusOf(const std::string& path)
{
    struct stat status { };
    ::lstat(path.c_str(), &status);
    return status;
}

void makeSocket(const std::string& path)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    ::close(fd);
}

// Builds a chain of nested directories "d" from root with openat, each
// holding a file and a link, deeper than a path could name in one go.
void makeDeepChain(const std::string& root, int depth)
{
    ::mkdir(root.c_str(), 0755);
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < depth; ++level) {
        int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ::close(file);
        ::symlinkat("..", fd, "l");
        ::mkdirat(fd, "d", 0755);
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    ::close(fd);
}

int chainDepth(const std::string& root)
{
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int depth = 0;
    while (fd >= 0) {
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
        depth += fd >= 0;
    }
    return depth;
}

// With few descriptors allowed, a tree far deeper than that is copied and
// removed whole.
const bool deepTreeBehaviour = (test::registerChildBehaviour("deep-tree", [](int, char** argv) {
    std::string root = std::string { argv[2] } + "/deep";
    std::string copy = root + "-copy";
    // Without a bound the copy alone would hold two descriptors a level.
    constexpr int depth = 200;
    makeDeepChain(root, depth);
    rlimit limit { 64, 64 };
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 3;
    auto& fileManager = FileManager::defaultManager();
    if (auto copied = fileManager.copyItemAtPath(root, copy); !copied) {
        std::fprintf(stderr, "copy: %s\n", copied.error().message().c_str());
        return 4;
    }
    if (chainDepth(copy) != depth)
        return 5;
    for (const auto& path : { root, copy }) {
        if (auto removed = fileManager.removeItemAtPath(path); !removed) {
            std::fprintf(stderr, "remove: %s\n", removed.error().message().c_str());
            return 6;
        }
        if (test::exists(path))
            return 7;
    }
    return 0;
}),
    true);

}

TEST(FileTree, CopyKeepsContentsLinksModesAndTimesAndSkipsOddKinds)
{
    test::TemporaryDirectory scratch;
    std::string source = scratch / "source";
    std::string outside = scratch / "outside";
    test::writeFile(outside + "/target.txt", "outside");
    test::writeFile(source + "/a.txt", "alpha", 0640);
    test::writeFile(source + "/tool", std::string(300000, 'x'), 0755);
    test::writeFile(source + "/sub/deeper/b.txt", "beta");
    ::symlink(outside.c_str(), (source + "/sub/to-outside").c_str());
    ::symlink("../a.txt", (source + "/sub/relative").c_str());
    ::symlink("missing", (source + "/dangling").c_str());
    ::mkfifo((source + "/fifo").c_str(), 0644);
    makeSocket(source + "/socket");
    ::chmod((source + "/sub/deeper").c_str(), 0550);
    // Each its own time, told by the length of its name.
    const std::string timed[] = { "/a.txt", "/tool", "/sub/deeper/b.txt", "/sub/to-outside", "/sub/deeper", "/sub", "" };
    auto timeOf = [](const std::string& path) { return static_cast<time_t>(1000000000 + path.size()); };
    for (const auto& path : timed) {
        const struct timespec times[2] = { { timeOf(path), 0 }, { timeOf(path), 0 } };
        ::utimensat(AT_FDCWD, (source + path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }

    std::vector<std::string> failures;
    std::string destination = scratch / "copy";
    auto copied = FileManager::defaultManager().copyItemAtPath(source, destination,
        { .failure = [&](const platform::Error& error) { failures.push_back(error.message()); } });
    EXPECT_FALSE(copied);
    std::sort(failures.begin(), failures.end());
    EXPECT_EQ(failures, (std::vector<std::string> { "skip FIFO: " + source + "/fifo: Operation not supported", "skip socket: " + source + "/socket: Operation not supported" }));
    EXPECT_FALSE(test::exists(destination + "/fifo"));
    EXPECT_FALSE(test::exists(destination + "/socket"));

    EXPECT_EQ(test::readFile(destination + "/a.txt"), "alpha");
    EXPECT_EQ(test::readFile(destination + "/tool"), std::string(300000, 'x'));
    EXPECT_EQ(test::readFile(destination + "/sub/deeper/b.txt"), "beta");
    EXPECT_EQ(fs::read_symlink(destination + "/sub/to-outside").string(), outside);
    EXPECT_EQ(fs::read_symlink(destination + "/sub/relative").string(), "../a.txt");
    EXPECT_EQ(fs::read_symlink(destination + "/dangling").string(), "missing");
    EXPECT_EQ(statusOf(destination + "/a.txt").st_mode & 07777, 0640u);
    EXPECT_EQ(statusOf(destination + "/tool").st_mode & 07777, 0755u);
    EXPECT_EQ(statusOf(destination + "/sub/deeper").st_mode & 07777, 0550u);
    for (const auto& path : timed)
        EXPECT_EQ(statusOf(destination + path).st_mtim.tv_sec, timeOf(path)) << path;
    // The source is read, never written.
    EXPECT_EQ(std::distance(fs::directory_iterator(source), fs::directory_iterator {}), 6);
    EXPECT_EQ(std::distance(fs::directory_iterator(source + "/sub/deeper"), fs::directory_iterator {}), 1);

    // A single file, a link, and the refusals.
    auto& fileManager = FileManager::defaultManager();
    EXPECT_TRUE(fileManager.copyItemAtPath(source + "/a.txt", scratch / "single.txt"));
    EXPECT_EQ(test::readFile(scratch / "single.txt"), "alpha");
    EXPECT_TRUE(fileManager.copyItemAtPath(source + "/sub/to-outside", scratch / "link"));
    EXPECT_EQ(fs::read_symlink(scratch / "link").string(), outside);
    auto existing = fileManager.copyItemAtPath(source, destination);
    ASSERT_FALSE(existing);
    EXPECT_EQ(existing.error().code, EEXIST);
    auto missing = fileManager.copyItemAtPath(scratch / "nothing", scratch / "nothing-copy");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_FALSE(test::exists(scratch / "nothing-copy"));
    ::chmod((source + "/sub/deeper").c_str(), 0755);
}

TEST(FileTree, RemovalTakesLinksAsThemselves)
{
    test::TemporaryDirectory scratch;
    std::string outside = scratch / "outside";
    test::writeFile(outside + "/keep.txt", "keep");
    std::string tree = scratch / "tree";
    test::writeFile(tree + "/sub/file", "x");
    ::symlink(outside.c_str(), (tree + "/sub/link-to-dir").c_str());
    ::symlink((outside + "/keep.txt").c_str(), (tree + "/link-to-file").c_str());
    auto& fileManager = FileManager::defaultManager();
    EXPECT_TRUE(fileManager.removeItemAtPath(tree));
    EXPECT_FALSE(test::exists(tree));
    EXPECT_EQ(test::readFile(outside + "/keep.txt"), "keep");

    // A link to a directory at the path itself: only the link goes.
    std::string link = scratch / "link";
    ::symlink(outside.c_str(), link.c_str());
    EXPECT_TRUE(fileManager.removeItemAtPath(link));
    EXPECT_FALSE(test::exists(link));
    EXPECT_EQ(test::readFile(outside + "/keep.txt"), "keep");

    // A dangling link exists as itself and is removed as itself.
    ::symlink("missing", link.c_str());
    EXPECT_FALSE(fileManager.fileExistsAtPath(link));
    EXPECT_TRUE(fileManager.itemExistsAtPath(link));
    EXPECT_TRUE(fileManager.removeItemAtPath(link));
    EXPECT_FALSE(test::exists(link));

    auto missing = fileManager.removeItemAtPath(link);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
}

TEST(FileTree, DeepTreesNeedFewDescriptors)
{
    // Memory-backed when there is such a place: deep chains are slow to make on disk.
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0)
        base = fs::temp_directory_path().string();
    std::string scratch = base + "/zelvant-deep-XXXXXX";
    ASSERT_TRUE(::mkdtemp(scratch.data()));
    auto result = test::runProgram(test::testBinaryPath(), { .arguments = { "--child=deep-tree", scratch } });
    EXPECT_EQ(result.status, 0) << result.error;
    fs::remove_all(scratch);
}

TEST(FileTree, AtomicWriteLeavesOnlyTheWholeFile)
{
    test::TemporaryDirectory scratch;
    auto& fileManager = FileManager::defaultManager();
    std::string path = scratch / "file";
    EXPECT_TRUE(fileManager.writeAtomically(path, "first"));
    std::string bytes(1 << 20, '\xfe');
    bytes[0] = '\0';
    EXPECT_TRUE(fileManager.writeAtomically(path, bytes));
    EXPECT_EQ(test::readFile(path), bytes);
    // A link at the destination is replaced, not written through.
    std::string target = scratch / "target";
    test::writeFile(target, "target");
    std::string link = scratch / "link";
    ::symlink(target.c_str(), link.c_str());
    EXPECT_TRUE(fileManager.writeAtomically(link, "new"));
    EXPECT_EQ(test::readFile(target), "target");
    EXPECT_EQ(test::readFile(link), "new");
    // A directory in the way: the write fails and leaves no temporary.
    test::makeDirectories(scratch / "directory");
    EXPECT_FALSE(fileManager.writeAtomically(scratch / "directory", "x"));
    EXPECT_FALSE(fileManager.writeAtomically(scratch / "missing/file", "x"));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(scratch.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string> { "directory", "file", "link", "target" }));
}

TEST(FileTree, DeferredRemovalHidesLocksAndLeavesNoTrace)
{
    test::TemporaryDirectory scratch;
    std::string parent = scratch / "parent";
    test::writeFile(parent + "/1.0/fonts/a", "a");
    test::writeFile(parent + "/0.9/keep", "keep");

    auto aside = platform::DeferredRemoval::moveAside(parent + "/1.0");
    ASSERT_TRUE(aside) << aside.error().message();
    EXPECT_FALSE(test::exists(parent + "/1.0"));
    EXPECT_TRUE(aside->path().starts_with(parent + "/.1.0.removing-")) << aside->path();
    EXPECT_EQ(test::readFile(aside->path() + "/fonts/a"), "a");
    // Locked by its owner: not a leftover.
    EXPECT_TRUE(platform::DeferredRemoval::leftoversInDirectory(parent).empty());
    std::string hidden = aside->path();
    {
        auto dropped = std::move(*aside); // as if its owner had died
    }
    auto leftovers = platform::DeferredRemoval::leftoversInDirectory(parent);
    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_EQ(leftovers[0].path(), hidden);
    leftovers[0].startRemoving();
    EXPECT_TRUE(leftovers[0].remove());
    EXPECT_FALSE(test::exists(hidden));
    EXPECT_EQ(test::readFile(parent + "/0.9/keep"), "keep");

    // Only directories go aside; a link to one stays for in-place removal.
    ::symlink((parent + "/0.9").c_str(), (parent + "/link").c_str());
    auto link = platform::DeferredRemoval::moveAside(parent + "/link");
    ASSERT_FALSE(link);
    EXPECT_EQ(link.error().code, ENOTDIR);
    EXPECT_TRUE(test::exists(parent + "/link"));
}
