#include "Path.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Path, JoiningAndCuttingKeepOneSlashAndNeverResolve)
{
    const std::tuple<const char*, const char*, const char*> joins[] = { { "/usr", "bin", "/usr/bin" },
        { "/usr//", "//bin//", "/usr/bin" }, { "/", "bin", "/bin" }, { "a", "b/c", "a/b/c" },
        { "/a/b", "../c", "/a/b/../c" }, { "", "/a/", "/a" }, { "/a/", "", "/a" }, { "", "", "" }, { "/", "/", "/" } };
    for (auto [path, component, joined] : joins)
        EXPECT_EQ(stringByAppendingPathComponent(path, component), joined) << path << " + " << component;
    // Path, its last component, and what is left without it.
    const std::tuple<const char*, const char*, const char*> cuts[]
        = { { "/a/b", "b", "/a" }, { "/a", "a", "/" }, { "/a//b//", "b", "/a" }, { "/", "/", "/" }, { "//", "/", "/" },
              { "", "", "" }, { "b", "b", "" }, { "a/", "a", "" }, { "/a/..", "..", "/a" }, { "a/b//c", "c", "a/b" },
              { "/Zelvant/1.0 beta\n", "1.0 beta\n", "/Zelvant" } };
    for (auto [path, last, rest] : cuts) {
        EXPECT_EQ(lastPathComponent(path), last) << path;
        EXPECT_EQ(stringByDeletingLastPathComponent(path), rest) << path;
    }
}

TEST(Path, SearchListsKeepOnlyAbsoluteEntries)
{
    EXPECT_EQ(absoluteSearchPathEntries("::relative/folder:/a b:/c/:"), (std::vector<std::string> { "/a b", "/c/" }));
}
