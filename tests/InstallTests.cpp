#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

TEST(Install, InstalledLauncherFindsItsOwnOpenToolAndX11)
{
    auto cmake = test::programOnPath("cmake");
    ASSERT_TRUE(cmake) << "cmake builds the project, so it is on PATH";
    test::TemporaryDirectory scratch;
    std::string prefix = scratch / "install root";
    auto installed = test::runProgram(
        *cmake, { .arguments = { "--install", test::buildDirectory(), "--prefix", prefix }, .timeoutSeconds = 120 });
    ASSERT_EQ(installed.status, 0) << installed.output << installed.error;

    // What the launch below cannot show is there.
    for (const char* path : { "Applications/Zelvant.app/Contents/Info.plist",
             "Applications/Zelvant.app/Contents/Resources/zelvant-x.y.z/bin/zelclient",
             "Applications/X11.app/Contents/Info.plist" })
        EXPECT_TRUE(test::exists(prefix + "/" + path)) << path;

    // No hint where anything is: the installed launcher must find the open
    // tool and X11.app of its own prefix.
    std::string home = scratch / "home";
    test::makeDirectories(home + "/Library/Application Support");
    auto environment = test::minimalEnvironment(home);
    environment["LANG"] = "C";
    auto launch = test::runProgram(prefix + "/Applications/Zelvant.app/Contents/MacOS/Zelvant",
        { .environment = environment, .timeoutSeconds = 90 });
    std::string everything = launch.output + launch.error;
    EXPECT_EQ(launch.status, 0) << everything;
    EXPECT_EQ(everything.find("Unable to locate the X11 application."), std::string::npos) << everything;
    EXPECT_EQ(everything.find("Unable to find application named"), std::string::npos) << everything;
    EXPECT_TRUE(test::exists(home + "/Library/Application Support/Zelvant/" ZELVANT_TEST_VERSION "/run-zelvant.py"));
    // X11 ran the script, which ran the installed client (given a display to run on).
    if (test::programOnPath("Xvfb")) {
        EXPECT_NE(everything.find("zelclient: "), std::string::npos) << everything;
    }
}
