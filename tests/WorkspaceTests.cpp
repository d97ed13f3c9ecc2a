#include "TestSupport.h"
#include "Workspace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace platform;

using test::ScopedEnvironment;

TEST(Workspace, ApplicationPathSkipsEmptyRelativeAndMissingEntriesAndFilesThatAreNoApplication)
{
    test::TemporaryDirectory folder;
    test::writeFile(folder / "first/X11.app", "not a bundle");
    test::makeDirectories(folder / "second/X11.app");
    Workspace::setApplicationPathVariable("ZELVANT_APPLICATION_PATH");
    ScopedEnvironment path { "ZELVANT_APPLICATION_PATH",
        "::relative/folder:" + folder / "missing:" + folder / "first:" + folder / "second:" };
    EXPECT_EQ(Workspace::applicationFolders(),
        (std::vector<std::string> { folder / "missing", folder / "first", folder / "second" }));
    EXPECT_EQ(Workspace::sharedWorkspace().fullPathForApplication("X11"), folder / "second/X11.app");
    EXPECT_FALSE(Workspace::sharedWorkspace().fullPathForApplication("Missing"));
    EXPECT_FALSE(Workspace::sharedWorkspace().fullPathForApplication("../second/X11"));
}

TEST(Workspace, DefaultFoldersAreOnlyThoseNoOtherUserCanWrite)
{
    test::TemporaryDirectory home;
    ScopedEnvironment homeVariable { "HOME", home.path() };
    ScopedEnvironment path { "ZELVANT_APPLICATION_PATH", std::nullopt };
    Workspace::setApplicationPathVariable("ZELVANT_APPLICATION_PATH");
    test::makeDirectories(home / "Applications");
    // The test binary is loose in build/tests: its "bundle" is that folder.
    std::string besideBundle = test::buildDirectory() + "/Applications";
    for (auto [mode, searched] : { std::pair { 0755, true }, { 0775, false }, { 0757, false }, { 01777, false } }) {
        ::chmod((home / "Applications").c_str(), static_cast<mode_t>(mode));
        auto folders = Workspace::applicationFolders();
        EXPECT_EQ(folders.front() == home / "Applications", searched) << std::oct << mode;
        EXPECT_EQ(folders.back(), besideBundle);
    }
}
