#include "TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <set>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::set<std::string> namesIn(const std::string& directory)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

size_t lineCount(const std::string& path)
{
    return test::exists(path) ? static_cast<size_t>(std::ranges::count(test::readFile(path), '\n')) : 0;
}

// Starts the launcher directly, its output to log, and waits for it with
// wait4: its exit status (or 128 + signal) and peak resident size in KiB
// (its own or its children's, whichever is larger).
std::pair<int, long> launchOnce(
    const std::string& launcher, const std::vector<std::string>& environment, const std::string& log)
{
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (const auto& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    char* argv[] = { const_cast<char*>(launcher.c_str()), nullptr };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int error = posix_spawn(&pid, launcher.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage {};
    if (error)
        return { -1, 0 };
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    return { WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), usage.ru_maxrss };
}

// Reaps every child that has ended.
void reapEnded()
{
    while (::waitpid(-1, nullptr, WNOHANG) > 0) { }
}

long median(std::vector<long> values)
{
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

}

TEST(Soak, ThousandLaunchesLeaveNothingBehindAndDoNotGrow)
{
    // Every start of an instrumented launcher costs several times as much.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "too slow under the sanitizers; the plain build runs it";
#endif
    const size_t launches = 1000;
    auto started = std::chrono::steady_clock::now();
    // With the rights for it, /tmp is a fresh tmpfs in a mount namespace of
    // this test's own, so anything left there shows (a tree built under /tmp
    // would vanish under it); as a subreaper, this process gets every process
    // a launch starts as its child.
    bool builtInTemporary = test::buildDirectory().starts_with("/tmp/");
    bool privateTemporary = !builtInTemporary && ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount("tmpfs", "/tmp", "tmpfs", 0, "size=64m") == 0;
    if (!privateTemporary)
        std::printf("note: no private /tmp (%s); only TMPDIR is watched\n",
            builtInTemporary ? "built under /tmp" : std::strerror(errno));
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::set<std::string> temporaryBefore = namesIn("/tmp");
    {
        test::TemporaryDirectory scratch;
        std::string home = scratch / "home", temporary = scratch / "tmp", applications = scratch / "Applications";
        std::string record = scratch / "x11-record", log = scratch / "launch.log";
        test::makeDirectories(home);
        test::makeDirectories(temporary);
        test::makeRecordingApplication(applications, "X11");
        auto variables = test::launchEnvironment(home, applications, record);
        variables["PATH"] = "/usr/bin:/bin";
        variables["TMPDIR"] = temporary;
        std::vector<std::string> environment;
        environment.reserve(variables.size());
        for (const auto& [name, value] : variables)
            environment.emplace_back(name).append("=").append(value);

        size_t descriptors = test::openDescriptorCount();
        std::vector<long> peaks;
        size_t leftovers = 0;
        for (size_t index = 0; index < launches; ++index) {
            auto [status, peak] = launchOnce(test::launcherPath(), environment, log);
            peaks.push_back(peak);
            if (status != 0) {
                ADD_FAILURE() << "launch " << index << " exit " << status << ":\n" << test::readFile(log);
                break;
            }
            // Only the version's directory: nothing set aside, nothing half written.
            leftovers += namesIn(home + "/Library/Application Support/Zelvant")
                != std::set<std::string> { ZELVANT_TEST_VERSION };
            reapEnded();
        }
        EXPECT_EQ(leftovers, 0u) << "launches that left something beside the support directory";

        // The X11 stand-ins run detached; wait for the last of them.
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (lineCount(record) < launches && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(lineCount(record), launches) << "every launch hands off once";
        // At most its X11 stand-in outlives a launch, and not for long.
        auto anyLeft = [] {
            reapEnded();
            return ::waitpid(-1, nullptr, WNOHANG) >= 0 || errno != ECHILD;
        };
        while (anyLeft() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(anyLeft()) << "still running a minute after the last launch: "
                                << testing::PrintToString(test::childProcesses());
        EXPECT_EQ(test::zombieChildCount(), 0u);
        EXPECT_EQ(test::openDescriptorCount(), descriptors);
        EXPECT_EQ(namesIn(home), std::set<std::string> { "Library" }) << "nothing else in the home";
        EXPECT_EQ(namesIn(temporary), std::set<std::string> {}) << "nothing in TMPDIR";

        if (peaks.size() == launches) {
            // Medians of the first and the last twenty, so that one launch
            // that happens to touch a few more pages does not decide it.
            long first = median({ peaks.begin(), peaks.begin() + 20 });
            long last = median({ peaks.end() - 20, peaks.end() });
            std::printf("peak resident size: first %ld KiB, last %ld KiB; median of the first twenty %ld KiB, of the "
                        "last twenty %ld KiB\n",
                peaks.front(), peaks.back(), first, last);
            EXPECT_TRUE(last * 10 <= first * 11 && last * 10 >= first * 9)
                << "resident size of the last launches within 10% of the first";
        }
    }
    if (privateTemporary) {
        EXPECT_EQ(namesIn("/tmp"), temporaryBefore) << "nothing left in /tmp";
        ::umount2("/tmp", MNT_DETACH);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    std::printf("%zu launches in %lld s\n", launches,
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count()));
}
