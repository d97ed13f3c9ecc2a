#include "TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/prctl.h>
#include <sys/wait.h>

using namespace std::chrono_literals;

namespace {

std::set<std::string> namesIn(const std::string& directory)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

// Whether a child of ours is still there once every ended one is reaped.
bool anyChildLeft()
{
    while (::waitpid(-1, nullptr, WNOHANG) > 0) { }
    return ::waitpid(-1, nullptr, WNOHANG) >= 0 || errno != ECHILD;
}

}

TEST(Soak, ThousandLaunchesLeaveNothingBehind)
{
    if (test::underSanitizers())
        GTEST_SKIP() << "too slow under the sanitizers; the plain build runs it";
    const size_t launches = 1000;
    // As a subreaper, this process gets every process a launch starts as its child.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home", temporary = scratch / "tmp", record = scratch / "x11-record";
    test::makeDirectories(home);
    test::makeDirectories(temporary);
    test::makeRecordingApplication(scratch / "Applications", "X11");
    auto environment = test::launchEnvironment(home, scratch / "Applications", record);
    environment["TMPDIR"] = temporary;
    for (size_t index = 0; index < launches; ++index) {
        auto result = test::runProgram(test::launcherPath(), { .environment = environment });
        ASSERT_EQ(result.status, 0) << "launch " << index << ":\n" << result.error;
        // Only the version's directory: nothing set aside, nothing half written.
        ASSERT_EQ(
            namesIn(home + "/Library/Application Support/Zelvant"), std::set<std::string> { ZELVANT_TEST_VERSION })
            << "launch " << index;
    }
    // The X11 stand-ins run detached: wait for the last of them.
    EXPECT_TRUE(test::eventually(
        [&] {
            return test::exists(record)
                && std::ranges::count(test::readFile(record), '\n') == static_cast<long>(launches);
        },
        60s))
        << "every launch hands off once";
    EXPECT_TRUE(test::eventually([] { return !anyChildLeft(); }, 60s))
        << testing::PrintToString(test::childProcesses());
    EXPECT_EQ(namesIn(home), std::set<std::string> { "Library" }) << "nothing else in the home";
    EXPECT_EQ(namesIn(temporary), std::set<std::string> {}) << "nothing in TMPDIR";
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}
