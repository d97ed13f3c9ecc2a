#include "MyApplicationDelegate.h"
#include "TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// Every entry below root as a relative path; directories end in "/", links in "@".
std::set<std::string> treeOf(const std::string& root, const std::string& prefix = {})
{
    std::set<std::string> entries;
    for (const auto& [path, entry] : test::snapshotTree(root))
        entries.insert(prefix + path + (entry.starts_with("link ") ? "@" : entry.starts_with("directory ") ? "/" : ""));
    return entries;
}

// A bare home: the launcher makes the whole chain.
struct SupportFixture : test::LaunchScratch {
    std::string bundle = scratch / "Game.app";
    std::string client = bundle + "/Contents/Resources/zelvant-x.y.z";
    std::string parent = home + "/Library/Application Support/Zelvant";
    std::string support = test::supportDirectory(home);

    void SetUp() override
    {
        fs::copy(test::buildDirectory() + "/Zelvant.app", bundle,
            fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    test::ProcessResult launch() { return LaunchScratch::launch(bundle + "/Contents/MacOS/Zelvant"); }

    std::set<std::string> expectedTree(const std::set<std::string>& leaveOut = {})
    {
        std::set<std::string> tree { "fonts/", "gtk-2.0/", "gtk-2.0/gdk-pixbuf.loaders", "gtk-2.0/loaders/", "pango/",
            "pango/pangorc", "pango/pango.modules", "pango/pangox.aliases", "pango/modules/", "run-zelvant.py" };
        for (const char* copied : { "fonts", "gtk-2.0/loaders", "pango/modules" })
            tree.merge(treeOf(client + "/" + copied, std::string { copied } + "/"));
        for (const auto& entry : leaveOut)
            tree.erase(entry);
        return tree;
    }

    void expectCompleteSupportDirectory()
    {
        EXPECT_EQ(treeOf(support), expectedTree());
        for (const char* file : { "gtk-2.0/gdk-pixbuf.loaders", "pango/pangorc", "pango/pango.modules" })
            EXPECT_EQ(test::readFile(support + "/" + file),
                test::replaceAll(test::replaceAll(test::readFile(client + "/" + file), "/Users/login", home), "version",
                    ZELVANT_TEST_VERSION))
                << file;
        for (const char* file : { "pango/pangox.aliases", "fonts/fonts.dir" })
            EXPECT_EQ(test::readFile(support + "/" + file), test::readFile(client + "/" + file)) << file;
        EXPECT_NE(test::readFile(support + "/run-zelvant.py").find(support), std::string::npos);
        // Nothing hidden left beside it.
        for (const auto& entry : fs::directory_iterator(parent))
            EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
    }
};

}

TEST(ManipulateText, RewritesHomeThenVersionAndKeepsEveryOtherByte)
{
    std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/player", 1);
    struct Case {
        std::string text;
        std::string versionText;
        std::string expected;
    };
    const Case cases[] = { { "/Users/login/Library/Fonts", "1.2", "/home/player/Library/Fonts" },
        { "/Users/loginname", "1.2", "/home/playername" }, { "Version version", "1.2", "Version 1.2" },
        { "conversion", "1.2", "con1.2" }, { "nothing to change here", "1.2", "nothing to change here" },
        { "", "1.2", "" },
        { "\xff\xfe/Users/login\x80version\0end"s, "9",
            "\xff\xfe/home/player\x80"
            "9\0end"s },
        // The version pass runs second: a "/Users/login" it inserts stays.
        { "version", "/Users/login", "/Users/login" }, { "/Users/login/version", "v", "/home/player/v" } };
    for (const auto& testCase : cases)
        EXPECT_EQ(MyApplicationDelegate::manipulateText(testCase.text, testCase.versionText), testCase.expected)
            << testCase.text;
    EXPECT_EQ(MyApplicationDelegate::manipulateText(std::nullopt, "1.2"), std::nullopt);
    // The home directory is asked afresh on every call.
    setenv("HOME", "/elsewhere", 1);
    EXPECT_EQ(MyApplicationDelegate::manipulateText("/Users/login", "1.2"), "/elsewhere");
    setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(SupportFixture, FreshHomeGetsTheChainThenASecondLaunchRebuildsAndOtherVersionsStay)
{
    auto result = launch();
    EXPECT_EQ(result.status, 0) << result.error;
    expectCompleteSupportDirectory();

    std::string old = parent + "/0.9/fonts/old.ttf";
    test::writeFile(old, "old");
    struct stat before;
    ::stat(old.c_str(), &before);
    test::writeFile(support + "/stray.txt", "stray");
    test::writeFile(support + "/pango/pangorc", "edited by hand");
    test::writeFile(support + "/fonts/fonts.dir", "edited by hand");
    // A tree set aside by a launch that was killed before removing it.
    test::writeFile(parent + "/." ZELVANT_TEST_VERSION ".removing-0badf00d/fonts/x", "x");

    result = launch();
    EXPECT_EQ(result.status, 0) << result.error;
    expectCompleteSupportDirectory();
    EXPECT_FALSE(test::exists(support + "/stray.txt"));
    EXPECT_EQ(test::readFile(old), "old");
    struct stat after;
    ::stat(old.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(SupportFixture, MissingOrOddSourcesLeaveOnlyThemOut)
{
    fs::remove(client + "/pango/pangorc");
    ::mkfifo((client + "/fonts/pipe").c_str(), 0644);
    auto result = launch();
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.error.find("rewrite pango/pangorc: open: " + client + "/pango/pangorc: No such file or directory"),
        std::string::npos)
        << result.error;
    EXPECT_NE(result.error.find("copy fonts: skip FIFO: " + client + "/fonts/pipe"), std::string::npos) << result.error;
    EXPECT_EQ(treeOf(support), expectedTree({ "pango/pangorc", "fonts/pipe" }));
}

TEST_F(SupportFixture, LinksAreRemovedAsThemselves)
{
    // A support path that is a link to another directory, and links inside
    // the copied trees that point outside: only links ever go.
    std::string elsewhere = scratch / "elsewhere";
    test::writeFile(elsewhere + "/precious", "precious");
    test::makeDirectories(parent);
    fs::create_directory_symlink(elsewhere, support);
    fs::create_directory_symlink(elsewhere, client + "/fonts/outside");

    auto first = launch();
    EXPECT_EQ(first.status, 0) << first.error;
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(support)));
    EXPECT_EQ(fs::read_symlink(support + "/fonts/outside"), elsewhere);
    auto second = launch();
    EXPECT_EQ(second.status, 0) << second.error;
    expectCompleteSupportDirectory();
    EXPECT_EQ(test::readFile(elsewhere + "/precious"), "precious");

    // A dangling link counts as something there.
    fs::remove_all(support);
    fs::create_directory_symlink(scratch / "nowhere", support);
    auto third = launch();
    EXPECT_EQ(third.status, 0) << third.error;
    expectCompleteSupportDirectory();
}

TEST_F(SupportFixture, ConcurrentLaunchesEachEndComplete)
{
    ASSERT_EQ(launch().status, 0);
    std::vector<test::ProcessResult> results(8);
    {
        std::vector<std::jthread> launches;
        launches.reserve(results.size());
        for (auto& result : results)
            launches.emplace_back([&] { result = launch(); });
    }
    for (const auto& result : results)
        EXPECT_EQ(result.status, 0) << result.error;
    expectCompleteSupportDirectory();
}

TEST_F(SupportFixture, FullDiskNamesTheStepAndLeavesNoPartialFile)
{
    // The home on a small tmpfs, in a mount namespace of this test's own.
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0
        || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs root and a private mount namespace: " << std::strerror(errno);
    struct Case {
        const char* bigFile; // in the bundle's resources
        const char* written; // where it lands in the support directory
        const char* step;
    };
    const Case cases[] = {
        { "zelvant-x.y.z/fonts/big.ttf", "fonts/big.ttf", "copy fonts: " },
        { "zelvant-x.y.z/gtk-2.0/gdk-pixbuf.loaders", "gtk-2.0/gdk-pixbuf.loaders",
            "rewrite gtk-2.0/gdk-pixbuf.loaders: " },
        // Everything else fits; the script, filled from a big template, does not.
        { "run-zelvant-template.py", "run-zelvant.py", "writing the launcher script: write: " },
    };
    for (const auto& [bigFile, written, step] : cases) {
        SCOPED_TRACE(step);
        ASSERT_EQ(::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
        test::writeFile(home + "/keep", "keep");
        test::writeFile(parent + "/0.9/keep", "keep");
        std::string big = bundle + "/Contents/Resources/" + bigFile;
        std::string saved = test::exists(big) ? test::readFile(big) : "";
        test::writeFile(big, std::string(size_t { 600 } << 10, 'v'));
        // All but the support directory stays as it was.
        const std::vector<std::string> changing { "Library/Application Support/Zelvant/" ZELVANT_TEST_VERSION };
        auto homeBefore = test::snapshotTree(home, changing);
        auto bundleBefore = test::snapshotTree(bundle);

        auto result = launch();
        EXPECT_NE(result.status, 0);
        EXPECT_NE(result.error.find(step), std::string::npos) << result.error;
        EXPECT_NE(result.error.find("No space left on device"), std::string::npos) << result.error;
        EXPECT_FALSE(test::exists(support + "/" + written)) << "a partial file";
        EXPECT_TRUE(test::exists(support + "/pango/pangox.aliases")) << "later entries still arrive";
        for (const auto& entry : fs::recursive_directory_iterator(support))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
        std::string script = support + "/run-zelvant.py";
        EXPECT_TRUE(!test::exists(script) || test::readFile(script).find(support) != std::string::npos)
            << "script cut short";
        EXPECT_TRUE(test::snapshotTree(home, changing) == homeBefore) << "the home changed";
        EXPECT_TRUE(test::snapshotTree(bundle) == bundleBefore) << "the bundle changed";

        if (saved.empty())
            fs::remove(big);
        else
            test::writeFile(big, saved);
        ::umount2(home.c_str(), MNT_DETACH);
    }
}
