#include "TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

static std::set<std::string> namesIn(const std::string& directory)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

// Eight first launches at once, 50 rounds, while another process keeps the
// disk busy: each makes or finds the chain, they take turns at the directory,
// and the 400 launches leave nothing behind (no process, no stray, nothing in
// TMPDIR).
TEST(Soak, EightFirstLaunchesAtOnceAllSucceedAndLeaveTheExactTree)
{
    // As a subreaper, this process gets every process a launch starts as its child.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home", temporary = scratch / "tmp", record = scratch / "x11-record";
    test::makeDirectories(temporary);
    test::makeRecordingApplication(scratch / "Applications", "X11");
    auto environment = test::launchEnvironment(home, scratch / "Applications", record);
    environment["TMPDIR"] = temporary;
    std::jthread writer([path = scratch / "load"](const std::stop_token& stop) {
        for (std::string block(1 << 20, 'x'); !stop.stop_requested(); ::sync())
            test::writeFile(path, block);
    });
    std::map<std::string, std::string> first;
    const int rounds = test::underSanitizers() ? 5 : 50;
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove_all(home);
        test::makeDirectories(home);
        std::vector<test::ProcessResult> results(8);
        {
            std::vector<std::jthread> launches;
            launches.reserve(results.size());
            for (auto& result : results)
                launches.emplace_back(
                    [&] { result = test::runProgram(test::launcherPath(), { .environment = environment }); });
        }
        for (const auto& result : results)
            ASSERT_EQ(result.status, 0) << "round " << round << ":\n" << result.error;
        auto tree = test::snapshotTree(test::supportDirectory(home));
        if (first.empty())
            first = tree;
        ASSERT_EQ(tree, first) << "round " << round;
        // Only the version's directory: nothing set aside, nothing half written.
        ASSERT_EQ(namesIn(home + "/Library/Application Support/Zelvant"),
            (std::set<std::string> { ZELVANT_TEST_VERSION, "." ZELVANT_TEST_VERSION ".synced" }))
            << "round " << round;
        ASSERT_EQ(namesIn(home), std::set<std::string> { "Library" }) << "round " << round;
        ASSERT_EQ(namesIn(temporary), std::set<std::string> {}) << "round " << round;
    }
    // The X11 stand-ins run detached: wait for the last of them.
    EXPECT_TRUE(test::eventually(
        [&] { return test::exists(record) && std::ranges::count(test::readFile(record), '\n') == 8L * rounds; }, 60s))
        << "every launch hands off once";
    EXPECT_TRUE(test::eventually(
        [] {
            while (::waitpid(-1, nullptr, WNOHANG) > 0) { }
            return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
        },
        60s))
        << testing::PrintToString(test::childProcesses());
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}
