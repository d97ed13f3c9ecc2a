// The support directory, built by the launcher run as a program: its exact
// tree, what it does with odd sources and links, and what faults leave.
#include "FileManager.h"
#include "MyApplicationDelegate.h"
#include "ScopedFD.h"
#include "Task.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <set>
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

// One byte flipped in place, all but the change time as it was.
void editKeepingStatus(const std::string& path)
{
    struct stat status { };
    ::stat(path.c_str(), &status);
    std::string text = test::readFile(path);
    text[0] ^= 1;
    test::writeFile(path, text, status.st_mode & 07777);
    const struct timespec times[2] = { status.st_atim, status.st_mtim };
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void setTime(const std::string& path, time_t seconds)
{
    const struct timespec times[2] = { { seconds, 0 }, { seconds, 0 } };
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// A bare home: the launcher makes the whole chain.
struct SupportFixture : test::LaunchScratch {
    std::string bundle = scratch / "Game.app";
    std::string launcher = bundle + "/Contents/MacOS/Zelvant";
    std::string client = bundle + "/Contents/Resources/zelvant-x.y.z";
    std::string parent = home + "/Library/Application Support/Zelvant";
    std::string support = test::supportDirectory(home);

    void SetUp() override
    {
        fs::copy(test::buildDirectory() + "/Zelvant.app", bundle,
            fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    test::ProcessResult launch() { return LaunchScratch::launch(launcher); }

    std::set<std::string> expectedTree(const std::set<std::string>& leaveOut = {})
    {
        std::set<std::string> tree { "fonts/", "gtk-2.0/", "gtk-2.0/gdk-pixbuf.loaders", "gtk-2.0/loaders/", "pango/",
            "pango/pangorc", "pango/pango.modules", "pango/pangox.aliases", "pango/modules/", "run-zelvant.py" };
        for (const char* copy : { "fonts", "gtk-2.0/loaders", "pango/modules" })
            tree.merge(treeOf(client + "/" + copy, std::string { copy } + "/"));
        for (const auto& entry : leaveOut)
            tree.erase(entry);
        return tree;
    }

    // The support directory with the modification times of what was copied
    // (what every launch makes afresh has its own).
    std::map<std::string, std::string> exactTree()
    {
        auto tree = test::snapshotTree(support, {}, true);
        for (const char* fresh : { "gtk-2.0", "pango", "gtk-2.0/gdk-pixbuf.loaders", "pango/pangorc",
                 "pango/pango.modules", "run-zelvant.py" }) {
            if (tree.contains(fresh))
                tree[fresh].erase(tree[fresh].rfind(" @"));
        }
        return tree;
    }
    // Entry for entry what a launch that finds no support directory makes.
    void expectEqualsFreshRebuild()
    {
        auto relaunched = exactTree();
        EXPECT_TRUE(platform::FileManager::defaultManager().removeItemAtPath(support));
        auto result = launch();
        EXPECT_EQ(result.status, 0) << result.error;
        EXPECT_EQ(relaunched, exactTree());
    }

    // The kinds of change a relaunch must bring the support directory up to
    // date after, in the order they are made.
    using Change = std::pair<const char*, std::function<void()>>;
    std::string fonts = client + "/fonts", copied = support + "/fonts", elsewhere = scratch / "elsewhere";
    std::vector<Change> changes();

    // What no launch may change: everything outside the support parent (but
    // the launch's own records), and the other version beside it.
    std::map<std::string, std::string> outside()
    {
        auto entries = test::snapshotTree(scratch.path(), { "home/Library/Application Support/Zelvant", "x11-record" });
        for (auto& [path, entry] : test::snapshotTree(parent + "/0.9"))
            entries["0.9/" + path] = entry;
        return entries;
    }
};

}

TEST(ManipulateText, RewritesHomeThenVersionAndKeepsEveryOtherByte)
{
    const std::string cases[][3] = { { "Version conversion", "1.2", "Version con1.2" },
        { "\xff\xfe/Users/login\x80-version\0end"s, "9", "\xff\xfe/home/player\x80-9\0end"s },
        // The version pass runs second: a "/Users/login" it inserts stays.
        { "version", "/Users/login", "/Users/login" } };
    for (const auto& [text, version, expected] : cases)
        EXPECT_EQ(MyApplicationDelegate::manipulateText(text, "/home/player", version), expected) << text;
    EXPECT_EQ(MyApplicationDelegate::manipulateText(std::nullopt, "/home/player", "1.2"), std::nullopt);
}

// A second launch leaves the other version and everything outside the support
// directory as they were (the parent's listing: Soak.EightFirstLaunches...).
TEST_F(SupportFixture, FreshHomeGetsTheChainThenLaunchesRebuildItAndOtherVersionsStay)
{
    auto result = launch();
    EXPECT_EQ(result.status, 0) << result.error;
    EXPECT_EQ(treeOf(support), expectedTree());
    // The rewrite of one file stands for all three (the same call).
    std::string loaders = test::readFile(client + "/gtk-2.0/gdk-pixbuf.loaders");
    EXPECT_EQ(test::readFile(support + "/gtk-2.0/gdk-pixbuf.loaders"),
        test::replaceAll(test::replaceAll(loaders, "/Users/login", home), "version", ZELVANT_TEST_VERSION));
    test::writeFile(parent + "/0.9/fonts/old.ttf", "old");
    auto before = outside();
    EXPECT_EQ(launch().status, 0);
    EXPECT_TRUE(outside() == before);
}

std::vector<SupportFixture::Change> SupportFixture::changes()
{
    return {
        { "a file's content changed, its size, bits and time kept", [&] { editKeepingStatus(fonts + "/LICENSE"); } },
        { "a copy edited in place, its size, bits and time kept",
            [&] { editKeepingStatus(copied + "/zelvant-sans.ttf"); } },
        { "a file touched", [&] { setTime(fonts + "/fonts.conf", 1700000000); } },
        { "a file added", [&] { test::writeFile(fonts + "/added/new.ttf", "new"); } },
        { "a file removed", [&] { fs::remove(fonts + "/fonts.dir"); } },
        { "a file turned into a directory",
            [&] {
                fs::remove(fonts + "/fonts.conf");
                test::writeFile(fonts + "/fonts.conf/inner", "inner");
            } },
        { "a directory turned into a link",
            [&] {
                fs::remove_all(client + "/pango/modules");
                fs::create_directory_symlink("../fonts", client + "/pango/modules");
            } },
        { "permission bits changed",
            [&] {
                ::chmod((fonts + "/LICENSE").c_str(), 0600);
                ::chmod((client + "/gtk-2.0/loaders").c_str(), 0555);
            } },
        { "strays left by the client, read-only ones too",
            [&] {
                for (const char* stray :
                    { "stray", "run-zelvant.py.old", "pango/x", "fonts/.sync-0badf00d.tmp", "fonts/cache/made/x" })
                    test::writeFile(support + "/" + stray, "stray", 0444);
                for (const char* directory : { "fonts/cache/made", "fonts/cache", "pango" })
                    ::chmod((support + "/" + directory).c_str(), 0555);
            } },
        { "rewritten files edited, given other bits, or made a link to an equal copy",
            [&] {
                test::writeFile(support + "/pango/pangorc", "edited");
                ::chmod((support + "/gtk-2.0/gdk-pixbuf.loaders").c_str(), 0600);
                fs::rename(support + "/run-zelvant.py", elsewhere + "/script");
                fs::create_symlink(elsewhere + "/script", support + "/run-zelvant.py");
            } },
        { "one file changed among many, compared beside the walk",
            [&] {
                for (int index = 0; index < 40; ++index)
                    test::writeFile(fonts + "/many/" + std::to_string(index), "x");
                ASSERT_EQ(launch().status, 0);
                test::writeFile(fonts + "/many/7", "y");
                setTime(fonts + "/many/7", 1600000000);
            } },
        // Only links ever go, never what they point to.
        { "links to another directory, in the installation and in the support directory's place",
            [&] {
                fs::create_directory_symlink(elsewhere, fonts + "/outside");
                fs::rename(support, elsewhere + "/old");
                fs::create_directory_symlink(elsewhere, support);
            } },
        { "a dangling link in its place",
            [&] {
                fs::remove_all(support);
                fs::create_directory_symlink(scratch / "nowhere", support);
            } },
    };
}

// After each kind of change to the installation or to the support directory,
// a relaunch brings the directory up to date: entry for entry what a fresh
// rebuild makes, modification times of copies included.
TEST_F(SupportFixture, RelaunchAfterEachKindOfChangeEqualsAFreshRebuild)
{
    test::writeFile(elsewhere + "/precious", "precious");
    ASSERT_EQ(launch().status, 0);
    for (const auto& [what, change] : changes()) {
        SCOPED_TRACE(what);
        platform::ScopedFD old { ::open((copied + "/LICENSE").c_str(), O_RDONLY | O_CLOEXEC) };
        std::string before = test::readFile(copied + "/LICENSE");
        change();
        auto result = launch();
        EXPECT_EQ(result.status, 0) << result.error;
        // A client reading the old copy keeps all of it: the new one was renamed over it.
        std::string seen(before.size() + 1, '\0');
        seen.resize(static_cast<size_t>(std::max(::pread(old.get(), seen.data(), seen.size(), 0), ssize_t { 0 })));
        EXPECT_EQ(seen, before);
        expectEqualsFreshRebuild();
    }
    EXPECT_EQ(test::readFile(elsewhere + "/precious"), "precious");
    EXPECT_TRUE(test::exists(elsewhere + "/old/fonts/LICENSE")) << "the tree moved there stays";
}

// A relaunch with work to do, killed at a random point with the record of the
// launch before in place: the next launch still makes what a fresh one does.
// A fixture of its own name: its 60 launches are about timing, not for memcheck.
using KilledRelaunchFixture = SupportFixture;
TEST_F(KilledRelaunchFixture, NextLaunchEqualsAFreshRebuild)
{
    ASSERT_EQ(launch().status, 0);
    std::mt19937 random { std::random_device {}() };
    for (int trial = 0; trial < 20; ++trial) {
        SCOPED_TRACE(trial);
        editKeepingStatus(client + "/fonts/LICENSE");
        for (const auto& entry : fs::directory_iterator(client + "/gtk-2.0/loaders"))
            setTime(entry.path(), 1600000000 + trial);
        platform::Task task;
        task.setLaunchPath(launcher);
        task.setEnvironment(environment());
        ASSERT_TRUE(task.launch());
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        task.kill();
        task.waitUntilExit();
        // As a kill in the record's own write leaves it: the next write clears it.
        std::string temporary = parent + "/.." ZELVANT_TEST_VERSION ".synced.killed.tmp";
        test::writeFile(temporary, "");
        ASSERT_EQ(launch().status, 0);
        EXPECT_FALSE(test::exists(temporary));
        expectEqualsFreshRebuild();
    }
}

TEST_F(SupportFixture, MissingOrOddSourcesAreNamedFailuresThatLeaveOnlyThemOut)
{
    // Only regular files are read, and not huge ones: nothing here may hang
    // the launch or fill its memory.
    std::string templatePath = client + "/../run-zelvant-template.py";
    fs::remove(client + "/pango/pango.modules");
    ::mkfifo((client + "/pango/pango.modules").c_str(), 0644);
    fs::resize_file(client + "/gtk-2.0/gdk-pixbuf.loaders", size_t { 17 } << 20);
    fs::remove(templatePath);
    fs::create_symlink("/dev/zero", templatePath);
    ::mkfifo((client + "/fonts/pipe").c_str(), 0644);
    auto result = launch();
    EXPECT_NE(result.status, 0);
    for (const std::string& failure :
        { "rewrite pango/pango.modules: read: " + client + "/pango/pango.modules: not a regular file",
            "rewrite gtk-2.0/gdk-pixbuf.loaders: read: " + client + "/gtk-2.0/gdk-pixbuf.loaders: too large",
            "launcher script template: read: " + templatePath + ": not a regular file",
            "copy fonts: skip FIFO: " + client + "/fonts/pipe" })
        EXPECT_NE(result.error.find(failure), std::string::npos) << failure << "\n" << result.error;
    EXPECT_EQ(handedOff(), support + "/run-zelvant.py\n") << "its path all the same";
    EXPECT_EQ(treeOf(support),
        expectedTree({ "pango/pango.modules", "gtk-2.0/gdk-pixbuf.loaders", "fonts/pipe", "run-zelvant.py" }));
}
