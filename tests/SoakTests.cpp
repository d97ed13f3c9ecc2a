#include "TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
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
    if (!test::exists(path))
        return 0;
    auto text = test::readFile(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct Launch {
    int status { -1 };
    long peakKilobytes { 0 };
};

// Starts the launcher directly, its output to log, and waits for it with
// wait4 for its peak resident size (its own or its children's, whichever is larger).
Launch launchOnce(const std::string& launcher, const std::vector<std::string>& environment, const std::string& log)
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
    Launch launch;
    if (error)
        return launch;
    int status = 0;
    rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    launch.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    launch.peakKilobytes = usage.ru_maxrss;
    return launch;
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

// "--child=soak LAUNCHES": runs the launches in a row and checks what they
// leave. With the rights for it, /tmp is a fresh tmpfs in a private mount
// namespace, so anything left there shows; this process is a subreaper, so
// every process a launch starts ends up as its child.
int soak(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    int launches = static_cast<int>(std::strtol(argv[2], nullptr, 10));
    // A tree built under /tmp would vanish under the fresh tmpfs.
    bool builtInTemporary = test::buildDirectory().starts_with("/tmp/");
    bool privateTemporary = !builtInTemporary && ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount("tmpfs", "/tmp", "tmpfs", 0, "size=64m") == 0;
    if (!privateTemporary)
        std::fprintf(stderr, "note: no private /tmp (%s); only TMPDIR is watched\n", builtInTemporary ? "built under /tmp" : std::strerror(errno));
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    int failures = 0;
    auto check = [&](bool ok, const std::string& what) {
        if (!ok && failures++ < 20)
            std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        return ok;
    };

    std::set<std::string> temporaryBefore = namesIn("/tmp");
    {
        test::TemporaryDirectory scratch;
        std::string home = scratch / "home";
        std::string temporary = scratch / "tmp";
        std::string applications = scratch / "Applications";
        std::string record = scratch / "x11-record";
        std::string log = scratch / "launch.log";
        std::string parent = home + "/Library/Application Support/Zelvant";
        test::makeDirectories(home);
        test::makeDirectories(temporary);
        test::makeRecordingApplication(applications, "X11");
        auto variables = test::launchEnvironment(home, applications, record);
        variables["PATH"] = "/usr/bin:/bin";
        variables["TMPDIR"] = temporary;
        std::vector<std::string> environment;
        for (const auto& [name, value] : variables)
            environment.push_back(name + "=" + value);

        size_t descriptors = test::openDescriptorCount();
        std::vector<long> peaks;
        for (int index = 0; index < launches; ++index) {
            Launch launch = launchOnce(test::launcherPath(), environment, log);
            peaks.push_back(launch.peakKilobytes);
            if (!check(launch.status == 0, "launch " + std::to_string(index) + " exit " + std::to_string(launch.status) + ":\n" + test::readFile(log)))
                break;
            // Only the version's directory: nothing set aside, nothing half written.
            check(namesIn(parent) == std::set<std::string> { ZELVANT_TEST_VERSION }, "launch " + std::to_string(index) + ": leftovers in the support parent");
            reapEnded();
        }

        // The X11 stand-ins run detached; wait for the last of them.
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (lineCount(record) < size_t(launches) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        check(lineCount(record) == size_t(launches), "every launch handed off once: " + std::to_string(lineCount(record)) + " lines");
        // At most its X11 stand-in outlives a launch, and not for long.
        auto anyLeft = [] {
            reapEnded();
            return ::waitpid(-1, nullptr, WNOHANG) >= 0 || errno != ECHILD;
        };
        while (anyLeft() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        check(!anyLeft(), "no process still running a minute after the last launch:\n" + testing::PrintToString(test::childProcesses()));
        check(test::zombieChildCount() == 0, "no zombie children");
        check(test::openDescriptorCount() == descriptors, "descriptors: " + std::to_string(descriptors) + " then " + std::to_string(test::openDescriptorCount()));
        check(namesIn(home) == std::set<std::string> { "Library" }, "nothing else in the home");
        check(namesIn(temporary).empty(), "nothing in TMPDIR");

        if (peaks.size() == size_t(launches) && launches >= 40) {
            // Medians of the first and the last twenty, so that one launch
            // that happens to touch a few more pages does not decide it.
            long first = median({ peaks.begin(), peaks.begin() + 20 });
            long last = median({ peaks.end() - 20, peaks.end() });
            std::fprintf(stderr, "peak resident size: first %ld KiB, last %ld KiB; median of the first twenty %ld KiB, of the last twenty %ld KiB\n",
                peaks.front(), peaks.back(), first, last);
            check(last * 10 <= first * 11 && last * 10 >= first * 9, "resident size of the last launches within 10% of the first");
        }
    }
    if (privateTemporary)
        check(namesIn("/tmp") == temporaryBefore, "nothing left in /tmp");
    return failures ? 1 : 0;
}

const bool soakRegistered = (test::registerChildBehaviour("soak", soak), true);

}

TEST(Soak, ThousandLaunchesLeaveNothingBehindAndDoNotGrow)
{
    // Every start of an instrumented launcher costs several times as much.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "too slow under the sanitizers; the plain build runs it";
#endif
    auto started = std::chrono::steady_clock::now();
    auto result = test::runProgram(test::testBinaryPath(), { .arguments = { "--child=soak", "1000" }, .timeoutSeconds = 540 });
    EXPECT_EQ(result.status, 0) << result.error;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    std::cout << result.error << "1000 launches in " << seconds << " s\n";
}
