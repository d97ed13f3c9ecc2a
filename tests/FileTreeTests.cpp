#include "FileManager.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::FileManager;

namespace {

// Which of the times set below the entry at path has.
size_t timeIndex(const std::string& path)
{
    struct stat status { };
    ::lstat(path.c_str(), &status);
    return static_cast<size_t>(status.st_mtim.tv_sec - 1000000000);
}

// With few descriptors allowed, a chain of nested directories far deeper than
// that, each holding a file and a link, is copied and removed whole.
int copyAndRemoveDeepTree(int, char** argv)
{
    std::string root = std::string { argv[2] } + "/deep";
    constexpr size_t depth = 200; // without a bound the copy alone would hold two descriptors a level
    for (std::string level = root; level.size() <= root.size() + 2 * depth; level += "/d") {
        test::writeFile(level + "/f", "");
        ::symlink("..", (level + "/l").c_str());
    }
    rlimit limit { 64, 64 };
    auto& fileManager = FileManager::defaultManager();
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || !fileManager.copyItemAtPath(root, root + "-copy"))
        return 3;
    std::string deepest = root + "-copy";
    for (size_t level = 0; level < depth; ++level)
        deepest += "/d";
    if (!fs::is_regular_file(fs::symlink_status(deepest + "/f")) || fs::read_symlink(deepest + "/l") != "..")
        return 4;
    for (const auto& path : { root, root + "-copy" }) {
        if (!fileManager.removeItemAtPath(path) || test::exists(path))
            return 5;
    }
    return 0;
}
const bool deepTreeBehaviour = (test::registerChildBehaviour("deep-tree", copyAndRemoveDeepTree), true);

}

// Files of many directories are copied at once: each directory, read-only
// ones included, gets its own bits and times only once its last file is in.
TEST(FileTree, CopyKeepsContentsLinksModesAndTimesAndSkipsOddKinds)
{
    test::TemporaryDirectory scratch;
    std::string source = scratch / "source";
    std::vector<std::string> timed;
    for (int folder = 0; folder < 12; ++folder) {
        std::string directory = "/folder" + std::to_string(folder);
        for (int file = 0; file < 40; ++file)
            test::writeFile(source + directory + "/" + std::to_string(file), std::string(4096, 'a'), 0600 + file % 2);
        timed.insert(timed.end(), { directory + "/0", directory });
    }
    ::symlink((scratch / "outside").c_str(), (source + "/folder0/to-outside").c_str());
    ::symlink("missing", (source + "/dangling").c_str());
    ::mkfifo((source + "/fifo").c_str(), 0644);
    timed.insert(timed.end(), { "/folder0/to-outside", "" });
    for (size_t index = 0; index < timed.size(); ++index) {
        const struct timespec times[2] = { { 1000000000, 0 }, { static_cast<time_t>(1000000000 + index), 0 } };
        ::utimensat(AT_FDCWD, (source + timed[index]).c_str(), times, AT_SYMLINK_NOFOLLOW);
        if (timed[index].starts_with("/folder1"))
            ::chmod((source + timed[index]).c_str(), 0555);
    }
    auto before = test::snapshotTree(source);

    std::vector<std::string> failures;
    std::string destination = scratch / "copy";
    auto copied = FileManager::defaultManager().copyItemAtPath(
        source, destination, { .failure = [&](const platform::Error& error) { failures.push_back(error.message()); } });
    EXPECT_FALSE(copied);
    EXPECT_EQ(failures,
        (std::vector<std::string> { "skip FIFO: " + source + "/fifo: only files, directories and links are copied" }));
    EXPECT_EQ(test::snapshotTree(destination), test::snapshotTree(source, { "fifo" }));
    EXPECT_EQ(test::snapshotTree(source), before) << "the source is read, never written";
    for (size_t index = 0; index < timed.size(); ++index)
        EXPECT_EQ(timeIndex(destination + timed[index]), index) << timed[index];

    EXPECT_EQ(FileManager::defaultManager().copyItemAtPath(source, destination).error().code, EEXIST);
}

TEST(FileTree, DeepTreesNeedFewDescriptors)
{
    test::TemporaryDirectory scratch;
    auto result = test::runProgram(test::testBinaryPath(), { .arguments = { "--child=deep-tree", scratch.path() } });
    EXPECT_EQ(result.status, 0) << result.error;
}
