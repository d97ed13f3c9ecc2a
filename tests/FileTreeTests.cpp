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

// With few descriptors allowed, a chain of nested directories far deeper than
// that, each holding a file and a link, is copied and removed whole.
const bool deepTreeBehaviour
    = (test::registerChildBehaviour("deep-tree",
           [](int, char** argv) {
               std::string root = std::string { argv[2] } + "/deep";
               // Without a bound the copy alone would hold two descriptors a level.
               constexpr size_t depth = 200;
               for (std::string level = root; level.size() <= root.size() + 2 * depth; level += "/d") {
                   test::writeFile(level + "/f", "");
                   ::symlink("..", (level + "/l").c_str());
               }
               rlimit limit { 64, 64 };
               if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
                   return 3;
               auto& fileManager = FileManager::defaultManager();
               if (auto copied = fileManager.copyItemAtPath(root, root + "-copy"); !copied) {
                   std::fprintf(stderr, "copy: %s\n", copied.error().message().c_str());
                   return 4;
               }
               std::string deepest = root + "-copy";
               for (size_t level = 0; level < depth; ++level)
                   deepest += "/d";
               if (!fs::is_regular_file(fs::symlink_status(deepest + "/f")) || fs::read_symlink(deepest + "/l") != "..")
                   return 5;
               for (const auto& path : { root, root + "-copy" }) {
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
    const std::string timed[]
        = { "/a.txt", "/tool", "/sub/deeper/b.txt", "/sub/to-outside", "/sub/deeper", "/sub", "" };
    auto timeOf = [](const std::string& path) { return static_cast<time_t>(1000000000 + path.size()); };
    for (const auto& path : timed) {
        const struct timespec times[2] = { { timeOf(path), 0 }, { timeOf(path), 0 } };
        ::utimensat(AT_FDCWD, (source + path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    auto before = test::snapshotTree(source);

    std::vector<std::string> failures;
    std::string destination = scratch / "copy";
    auto copied = FileManager::defaultManager().copyItemAtPath(
        source, destination, { .failure = [&](const platform::Error& error) { failures.push_back(error.message()); } });
    EXPECT_FALSE(copied);
    std::sort(failures.begin(), failures.end());
    EXPECT_EQ(failures,
        (std::vector<std::string> { "skip FIFO: " + source + "/fifo: Operation not supported",
            "skip socket: " + source + "/socket: Operation not supported" }));
    EXPECT_EQ(test::snapshotTree(destination), test::snapshotTree(source, { "fifo", "socket" }));
    EXPECT_EQ(test::snapshotTree(source), before) << "the source is read, never written";
    for (const auto& path : timed)
        EXPECT_EQ(statusOf(destination + path).st_mtim.tv_sec, timeOf(path)) << path;

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

// Files of several directories are copied at once; each directory gets its
// own bits and times only once its last file is in.
TEST(FileTree, DirectoriesCopiedTogetherGetTheirTimesLast)
{
    test::TemporaryDirectory scratch;
    std::string source = scratch / "source";
    std::vector<std::string> directories;
    for (int folder = 0; folder < 12; ++folder) {
        std::string directory = source + "/folder" + std::to_string(folder);
        for (int file = 0; file < 60; ++file)
            test::writeFile(directory + "/" + std::to_string(file), std::string(4096, static_cast<char>('a' + folder)));
        ::chmod(directory.c_str(), 0555);
        const struct timespec times[2] = { { 1000000000 + folder, 0 }, { 1000000000 + folder, 0 } };
        ::utimensat(AT_FDCWD, directory.c_str(), times, 0);
        directories.push_back(directory.substr(source.size()));
    }

    std::string destination = scratch / "copy";
    EXPECT_TRUE(FileManager::defaultManager().copyItemAtPath(source, destination, { .threads = 4 }));
    EXPECT_EQ(test::snapshotTree(destination), test::snapshotTree(source));
    for (const auto& directory : directories)
        EXPECT_EQ(statusOf(destination + directory).st_mtim.tv_sec, statusOf(source + directory).st_mtim.tv_sec)
            << directory;
    for (const auto& path : { source, destination }) {
        for (const auto& directory : directories)
            ::chmod((path + directory).c_str(), 0755);
    }
}

TEST(FileTree, RemovalTakesLinksAsThemselves)
{
    test::TemporaryDirectory scratch;
    std::string outside = scratch / "outside";
    std::string tree = scratch / "tree";
    std::string link = scratch / "link";
    test::writeFile(outside + "/keep.txt", "keep");
    test::writeFile(tree + "/sub/file", "x");
    ::symlink(outside.c_str(), (tree + "/sub/link-to-dir").c_str());
    ::symlink((outside + "/keep.txt").c_str(), (tree + "/link-to-file").c_str());
    // A link to a directory at the path itself: only the link goes.
    ::symlink(outside.c_str(), link.c_str());
    auto& fileManager = FileManager::defaultManager();
    for (const auto& path : { tree, link }) {
        EXPECT_TRUE(fileManager.removeItemAtPath(path)) << path;
        EXPECT_FALSE(test::exists(path)) << path;
    }
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
    test::TemporaryDirectory scratch;
    auto result = test::runProgram(test::testBinaryPath(), { .arguments = { "--child=deep-tree", scratch.path() } });
    EXPECT_EQ(result.status, 0) << result.error;
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
