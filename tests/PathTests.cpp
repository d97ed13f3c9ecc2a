#include "Path.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Path, AppendingJoinsWithOneSlashAndNeverResolves)
{
    EXPECT_EQ(stringByAppendingPathComponent("/usr", "bin"), "/usr/bin");
    EXPECT_EQ(stringByAppendingPathComponent("/usr//", "//bin//"), "/usr/bin");
    EXPECT_EQ(stringByAppendingPathComponent("/", "bin"), "/bin");
    EXPECT_EQ(stringByAppendingPathComponent("a", "b/c"), "a/b/c");
    EXPECT_EQ(stringByAppendingPathComponent("/a/b", "../c"), "/a/b/../c");
    EXPECT_EQ(stringByAppendingPathComponent("", "/a/"), "/a");
    EXPECT_EQ(stringByAppendingPathComponent("/a/", ""), "/a");
    EXPECT_EQ(stringByAppendingPathComponent("", ""), "");
    EXPECT_EQ(stringByAppendingPathComponent("/", "/"), "/");
}

TEST(Path, LastComponent)
{
    EXPECT_EQ(lastPathComponent("/a/b"), "b");
    EXPECT_EQ(lastPathComponent("/a//b//"), "b");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(lastPathComponent("//"), "/");
    EXPECT_EQ(lastPathComponent(""), "");
    EXPECT_EQ(lastPathComponent("b"), "b");
    EXPECT_EQ(lastPathComponent("/a/.."), "..");
    EXPECT_EQ(lastPathComponent("/Zelvant/1.0 beta\n"), "1.0 beta\n");
}

TEST(Path, DeletingLastComponent)
{
    EXPECT_EQ(stringByDeletingLastPathComponent("/a/b"), "/a");
    EXPECT_EQ(stringByDeletingLastPathComponent("/a"), "/");
    EXPECT_EQ(stringByDeletingLastPathComponent("a/"), "");
    EXPECT_EQ(stringByDeletingLastPathComponent("/"), "/");
    EXPECT_EQ(stringByDeletingLastPathComponent(""), "");
    EXPECT_EQ(stringByDeletingLastPathComponent("a/b//c"), "a/b");
}
