#include "Bundle.h"
#include "TestSupport.h"
#include "Workspace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

TEST(Workspace, DefaultFoldersAreOnlyThoseNoOtherUserCanWrite)
{
    test::TemporaryDirectory home;
    platform::Workspace workspace { std::nullopt, home.path(), platform::Bundle::mainBundle().bundlePath() };
    test::makeDirectories(home / "Applications");
    // The test binary is loose in build/tests: its "bundle" is that folder.
    std::string besideBundle = test::buildDirectory() + "/Applications";
    for (auto [mode, searched] : { std::pair { 0755, true }, { 0775, false }, { 0757, false }, { 01777, false } }) {
        ::chmod((home / "Applications").c_str(), static_cast<mode_t>(mode));
        auto folders = workspace.applicationFolders();
        EXPECT_EQ(folders.front() == home / "Applications", searched) << std::oct << mode;
        EXPECT_EQ(folders.back(), besideBundle);
    }
}
