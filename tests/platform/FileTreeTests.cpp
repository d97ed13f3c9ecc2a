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
    for (int folder = 0; folder < 12; ++folder) {
        std::string directory = source + "/folder" + std::to_string(folder);
        for (int file = 0; file < 40; ++file)
            test::writeFile(directory + "/" + std::to_string(file), std::string(4096, 'a'), 0600 + file % 2);
        if (folder == 1)
            ::chmod(directory.c_str(), 0555);
    }
    ::symlink((scratch / "outside").c_str(), (source + "/folder0/to-outside").c_str());
    ::symlink("missing", (source + "/dangling").c_str());
    ::mkfifo((source + "/fifo").c_str(), 0644);
    auto before = test::snapshotTree(source, {}, true);

    std::vector<std::string> failures;
    std::string destination = scratch / "copy";
    auto copied = FileManager::defaultManager().copyItemAtPath(
        source, destination, { .failure = [&](const platform::Error& error) { failures.push_back(error.message()); } });
    EXPECT_FALSE(copied);
    EXPECT_EQ(failures,
        (std::vector<std::string> { "skip FIFO: " + source + "/fifo: only files, directories and links are copied" }));
    EXPECT_EQ(test::snapshotTree(destination, {}, true), test::snapshotTree(source, { "fifo" }, true));
    EXPECT_EQ(test::snapshotTree(source, {}, true), before) << "the source is read, never written";

    EXPECT_EQ(FileManager::defaultManager().copyItemAtPath(source, destination).error().code, EEXIST);
}

TEST(FileTree, DeepTreesNeedFewDescriptors)
{
    test::TemporaryDirectory scratch;
    auto result = test::runProgram(test::testBinaryPath(), { .arguments = { "--child=deep-tree", scratch.path() } });
    EXPECT_EQ(result.status, 0) << result.error;
}
