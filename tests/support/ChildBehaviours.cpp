// The test binary run as a child process: a recording application, or a
// named behaviour the tests start it as; otherwise it runs the tests.
#include "TestSupport.h"

#include "Path.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace test {

static std::map<std::string, std::function<int(int, char**)>>& childBehaviours()
{
    static std::map<std::string, std::function<int(int, char**)>> behaviours;
    return behaviours;
}

void registerChildBehaviour(const std::string& name, std::function<int(int, char**)> behaviour)
{
    childBehaviours()[name] = std::move(behaviour);
}

}

namespace {

int recordArguments(int argc, char** argv)
{
    const char* record = std::getenv("ZELVANT_TEST_RECORD");
    if (!record)
        return 3;
    test::tellOpenToolStarted();
    std::ofstream stream(record, std::ios::app);
    for (int index = 1; index < argc; ++index)
        stream << argv[index] << '\n';
    return 0;
}

// A mount namespace whose /dev holds only null and, as log, the socket at
// logSocket: the system log the launcher writes to, read by the test.
bool withSystemLogAt(const std::string& logSocket)
{
    std::string dev = logSocket + ".dev";
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)
        || ::mkdir(dev.c_str(), 0755) || ::mount("/dev", dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr)
        || ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755"))
        return false;
    for (auto [source, target] : { std::pair { dev + "/null", "/dev/null" }, { logSocket, "/dev/log" } }) {
        if (!std::ofstream { target } || ::mount(source.c_str(), target, nullptr, MS_BIND, nullptr) != 0)
            return false;
    }
    return true;
}

// The launcher (argv[0]) run with standard error closed, or a pipe whose
// reader is gone, or with at most N descriptors (limit:N), or with the system log at the socket argv[1], or as a user
// with no passwd entry and no HOME, in a user namespace of its own, working in
// the folder argv[1]: exit 77 when that cannot be had.
int launchAs(const std::string& how, char** launcher)
{
    if (how == "logged" && !withSystemLogAt(launcher[1]))
        return 77;
    if (how == "closed-stderr")
        ::close(2);
    rlimit limit { 0, 0 };
    limit.rlim_cur = limit.rlim_max = how.starts_with("limit:") ? std::stoul(how.substr(6)) : RLIM_INFINITY;
    if (limit.rlim_cur != RLIM_INFINITY && ::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 77;
    if (how == "no-user") {
        std::string uid = "54321 " + std::to_string(::getuid()) + " 1",
                    gid = "54321 " + std::to_string(::getgid()) + " 1";
        if (::getpwuid(54321) || ::unshare(CLONE_NEWUSER) != 0)
            return 77;
        std::ofstream("/proc/self/uid_map") << uid;
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/gid_map") << gid;
        if (::getuid() != 54321 || ::chdir(launcher[1]) != 0 || ::unsetenv("HOME") != 0)
            return 77;
    }
    char* arguments[] = { launcher[0], nullptr };
    ::execv(launcher[0], arguments);
    return 127;
}

const bool registered = [] {
    test::registerChildBehaviour("launch-as", [](int, char** argv) { return launchAs(argv[2], argv + 3); });
    test::registerChildBehaviour("die", [](int, char**) { return ::raise(SIGKILL); });
    return true;
}();

}

int main(int argc, char** argv)
{
    // Run as a recording application (through a symlink named after it)
    // or as a named child behaviour; otherwise run the tests.
    std::string self = platform::lastPathComponent(argv[0]);
    if (self != "zelvant_tests" && std::getenv("ZELVANT_TEST_RECORD"))
        return recordArguments(argc, argv);
    if (argc > 1 && std::string_view { argv[1] }.starts_with("--child=")) {
        auto found = test::childBehaviours().find(std::string { argv[1] }.substr(8));
        return found == test::childBehaviours().end() ? 127 : found->second(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
