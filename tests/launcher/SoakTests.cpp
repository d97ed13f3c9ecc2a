#include "TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

// Eight first launches at once, 50 rounds, while another process keeps the
// disk busy: each makes or finds the chain, they take turns at the directory,
// and each round ends with the same tree and nothing set aside beside it.
TEST(Soak, EightFirstLaunchesAtOnceAllSucceedAndLeaveTheExactTree)
{
    test::TemporaryDirectory scratch;
    std::string home = scratch / "home", record = scratch / "x11-record";
    test::makeRecordingApplication(scratch / "Applications", "X11");
    auto environment = test::launchEnvironment(home, scratch / "Applications", record);
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
        // Only the version's directory and its record: nothing half written.
        std::filesystem::directory_iterator parent { home + "/Library/Application Support/Zelvant" };
        ASSERT_EQ(std::distance(parent, {}), 2) << "round " << round;
    }
    // The X11 stand-ins run detached: wait for the last of them.
    EXPECT_TRUE(test::eventually(
        [&] { return test::exists(record) && std::ranges::count(test::readFile(record), '\n') == 8L * rounds; }, 60s))
        << "every launch hands off once";
}
