#include "FileManager.h"
#include "ScopedFD.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::FileManager;

// Copies of whole trees (kinds, modes, links, times, read-only folders, odd
// kinds skipped, the source untouched): SupportDirectoryTests.

// With few descriptors allowed, a chain of nested directories far deeper
// than that is copied and removed.
TEST(FileTree, DeepTreesNeedFewDescriptors)
{
    test::TemporaryDirectory scratch;
    std::string root = scratch / "deep";
    // Without a bound the copy alone would hold two descriptors a level.
    test::makeDirectories(root + test::replaceAll(std::string(200, '.'), ".", "/d"));
    rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    rlimit few { 64, limit.rlim_max };
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
    auto& fileManager = FileManager::defaultManager();
    bool done = fileManager.copyItemAtPath(root, root + "-copy").ok() && fileManager.removeItemAtPath(root).ok()
        && fileManager.removeItemAtPath(root + "-copy").ok();
    ::setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_TRUE(done);
}

// Only data is copied: a 1 GiB file of holes with a word in the middle costs
// its copy no more blocks than it has.
TEST(FileTree, CopyKeepsHoles)
{
    test::TemporaryDirectory scratch;
    std::string source = scratch / "sparse", copy = scratch / "copy";
    constexpr off_t middle = off_t { 1 } << 29;
    {
        platform::ScopedFD fd { ::open(source.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644) };
        ASSERT_EQ(::pwrite(fd.get(), "word", 4, middle), 4);
        ASSERT_EQ(::ftruncate(fd.get(), 2 * middle), 0);
    }
    ASSERT_TRUE(FileManager::defaultManager().copyItemAtPath(source, copy, { .threads = 0 }));
    struct stat one {
    }, other {};
    ASSERT_EQ(::stat(source.c_str(), &one) | ::stat(copy.c_str(), &other), 0);
    EXPECT_EQ(other.st_size, one.st_size);
    EXPECT_LE(other.st_blocks * 512, one.st_blocks * 512 + (1 << 20));
    char word[5] = {};
    platform::ScopedFD fd { ::open(copy.c_str(), O_RDONLY | O_CLOEXEC) };
    EXPECT_EQ(::pread(fd.get(), word, 4, middle), 4);
    EXPECT_STREQ(word, "word");
    EXPECT_EQ(FileManager::defaultManager().copyItemAtPath(source, copy).error().code, EEXIST);
}
