#include "Bundle.h"
#include "TestSupport.h"
#include "Workspace.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace platform;

using test::ScopedEnvironment;

TEST(Workspace, ApplicationPathSkipsEmptyRelativeAndMissingEntriesAndFilesThatAreNoApplication)
{
    test::TemporaryDirectory folder;
    test::writeFile(folder / "first/X11.app", "not a bundle");
    test::makeDirectories(folder / "second/X11.app");
    test::makeDirectories(folder / "third/X11.app");
    ScopedEnvironment path { "ZELVANT_APPLICATION_PATH",
        "::relative/folder:" + folder.path() + "/missing:" + folder.path() + "/first:" + folder.path()
            + "/second:" + folder.path() + "/third:" };

    EXPECT_EQ(Workspace::applicationFolders(),
        (std::vector<std::string> { folder / "missing", folder / "first", folder / "second", folder / "third" }));
    EXPECT_EQ(Workspace::sharedWorkspace().fullPathForApplication("X11"), folder / "second/X11.app");
    EXPECT_FALSE(Workspace::sharedWorkspace().fullPathForApplication("Missing"));
    EXPECT_FALSE(Workspace::sharedWorkspace().fullPathForApplication("../second/X11"));
}

TEST(Workspace, DefaultFoldersStartInTheHomeDirectory)
{
    ScopedEnvironment home { "HOME", "/home/player" };
    unsetenv("ZELVANT_APPLICATION_PATH");
    auto folders = Workspace::applicationFolders();
    ASSERT_GE(folders.size(), 4u);
    EXPECT_EQ(folders[0], "/home/player/Applications");
    EXPECT_EQ(folders[1], "/Applications");
    EXPECT_EQ(folders[2], "/Applications/Utilities");
}

TEST(Bundle, ExecutableInsideContentsMacOSNamesTheBundle)
{
    test::TemporaryDirectory folder;
    test::writeFile(folder / "Game.app/Contents/Info.plist",
        "<?xml version=\"1.0\"?><plist "
        "version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>org.example.game</string></dict></plist>");
    Bundle bundle = Bundle::bundleForExecutable(folder / "Game.app/Contents/MacOS/Game");
    EXPECT_EQ(bundle.bundlePath(), folder / "Game.app");
    EXPECT_EQ(bundle.bundleIdentifier(), "org.example.game");
    EXPECT_EQ(bundle.bundleExecutable("Game"), "Game");

    Bundle loose = Bundle::bundleForExecutable("/opt/tools/zelvant");
    EXPECT_EQ(loose.bundlePath(), "/opt/tools");
    EXPECT_EQ(loose.bundleIdentifier(), "zelvant");
}

TEST(Workspace, InstallPrefixFollowsAnInstalledTree)
{
    std::string configured = Workspace::installPrefixForExecutable("/somewhere/loose/tool");
    const std::pair<const char*, std::string> rows[] = {
        { "/opt/zel vant/Applications/Zelvant.app/Contents/MacOS/Zelvant", "/opt/zel vant" },
        { "/opt/zel vant/bin/zelvant-open", "/opt/zel vant" },
        { "/Applications/Zelvant.app/Contents/MacOS/Zelvant", "/" },
        { "/work/build/Zelvant.app/Contents/MacOS/Zelvant", configured },
        { "/opt/Applications/Zelvant.app/MacOS/Zelvant", configured },
    };
    for (const auto& [executable, prefix] : rows)
        EXPECT_EQ(Workspace::installPrefixForExecutable(executable), prefix) << executable;
}
