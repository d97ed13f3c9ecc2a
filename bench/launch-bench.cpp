// Whole-launch benchmark: the launcher process against the floor of what a
// shell would do for the same rebuild ("rm -rf" of the old support directory,
// "cp -a" of the four copied entries), alternated in one run.
//
// The launcher runs against a generated bundle whose client answers "-v" at
// once and whose X11 application only records when it was started, so the
// numbers are the launcher's own: the whole process, and the time until the
// X11 application starts (what the user waits for).
//
// This is a measuring harness, not product code: it spawns and waits for
// its children directly to read their resource usage.
//
//   launch-bench [--runs N] [--pause-ms MS] [--dir PATH] [--only typical|large] [--internals]
//                [--launcher PATH]  (another build's launcher, e.g. a baseline, instead of ours)

#include "DeferredRemoval.h"
#include "FileManager.h"
#include "Path.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double monotonicSeconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Stand-ins run as this same binary under another name.
int runAsStandIn(const std::string& name, int argc, char** argv)
{
    if (name == "zelclient") {
        if (argc > 1 && std::string_view { argv[1] } == "-v")
            std::puts("zelclient version 7.7.7");
        return 0;
    }
    // The X11 application: note when it started, run nothing.
    const char* record = std::getenv("ZELVANT_BENCH_RECORD");
    if (!record)
        return 2;
    char line[64];
    int length = std::snprintf(line, sizeof line, "%.9f\n", monotonicSeconds());
    std::string temporary = std::string { record } + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, line, static_cast<size_t>(length)) != length)
        return 3;
    ::close(fd);
    return ::rename(temporary.c_str(), record) == 0 ? 0 : 4;
}

std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

void writeBytes(const std::string& path, size_t size, std::mt19937_64& random, mode_t mode = 0644)
{
    std::filesystem::create_directories(platform::stringByDeletingLastPathComponent(path));
    std::string bytes(size, '\0');
    for (size_t offset = 0; offset + 8 <= size; offset += 8) {
        uint64_t value = random();
        std::memcpy(bytes.data() + offset, &value, 8);
    }
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << bytes;
    stream.close();
    ::chmod(path.c_str(), mode);
}

void writeText(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    std::filesystem::create_directories(platform::stringByDeletingLastPathComponent(path));
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << text;
    stream.close();
    ::chmod(path.c_str(), mode);
}

struct Installation {
    const char* name;
    int fontFiles;
    int fontFolders;
    size_t fontSize;
};

// A config file of a few kB with the two literals here and there.
std::string configText(const char* what)
{
    std::string text = std::string { "# " } + what + "\n";
    for (int line = 0; text.size() < 3000; ++line)
        text += "\"/Users/login/Library/Application Support/Zelvant/version/lib/module-" + std::to_string(line)
            + ".so\" \"conversion\"\n";
    return text;
}

// Generates B/Zelvant.app (launcher, client, template) and B/Applications/X11.app.
std::string makeBundle(const std::string& base, const Installation& installation, const std::string& launcher)
{
    // A fixed generator start: the same installation on every run. Contents only need to be incompressible.
    std::mt19937_64 random { 42 }; // NOLINT(cert-msc32-c,cert-msc51-cpp)
    std::string app = base + "/Zelvant.app";
    std::string client = app + "/Contents/Resources/zelvant-x.y.z";
    std::filesystem::create_directories(app + "/Contents/MacOS");
    std::filesystem::copy_file(
        launcher, app + "/Contents/MacOS/Zelvant", std::filesystem::copy_options::overwrite_existing);
    std::filesystem::create_directories(client + "/bin");
    std::filesystem::create_symlink(selfPath(), client + "/bin/zelclient");
    writeText(app + "/Contents/Resources/run-zelvant-template.py",
        "#!/usr/bin/env python3\n# [zelvantdir] [homedir] [lang] [supportdir]\n", 0755);
    for (int index = 0; index < installation.fontFiles; ++index) {
        std::string folder = client + "/fonts/family-" + std::to_string(index % installation.fontFolders);
        writeBytes(folder + "/face-" + std::to_string(index) + ".ttf", installation.fontSize, random);
    }
    writeText(client + "/fonts/fonts.conf", configText("fonts"));
    for (int index = 0; index < 20; ++index)
        writeBytes(client + "/gtk-2.0/loaders/libpixbufloader-" + std::to_string(index) + ".so", size_t { 60 } * 1024,
            random, 0755);
    for (int index = 0; index < 30; ++index)
        writeBytes(client + "/pango/modules/pango-module-" + std::to_string(index) + ".so", size_t { 90 } * 1024,
            random, 0755);
    writeText(client + "/gtk-2.0/gdk-pixbuf.loaders", configText("loaders"));
    writeText(client + "/pango/pangorc", configText("pangorc"));
    writeText(client + "/pango/pango.modules", configText("modules"));
    writeText(client + "/pango/pangox.aliases", configText("aliases"));

    std::string x11 = base + "/Applications/X11.app/Contents/MacOS";
    std::filesystem::create_directories(x11);
    std::filesystem::create_symlink(selfPath(), x11 + "/X11");
    return app;
}

struct ChildRun {
    double seconds { 0 };
    long peakKiB { 0 };
    int status { -1 };
};

ChildRun spawnAndWait(const std::vector<std::string>& arguments, char** environment)
{
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ChildRun run;
    double start = monotonicSeconds();
    pid_t pid;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(spawned));
    int status = 0;
    rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    run.seconds = monotonicSeconds() - start;
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

struct Environment {
    std::vector<std::string> strings;
    std::vector<char*> pointers;
    Environment(std::vector<std::string> values)
        : strings(std::move(values))
    {
        for (auto& value : strings)
            pointers.push_back(value.data());
        pointers.push_back(nullptr);
    }
};

struct Samples {
    std::vector<double> values;
    double median() const
    {
        auto sorted = values;
        std::sort(sorted.begin(), sorted.end());
        size_t middle = sorted.size() / 2;
        return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }
    double low() const { return *std::min_element(values.begin(), values.end()); }
    double high() const { return *std::max_element(values.begin(), values.end()); }
};

std::string milliseconds(const Samples& samples)
{
    char text[96];
    std::snprintf(text, sizeof text, "median %.1f ms (%.1f-%.1f)", samples.median() * 1e3, samples.low() * 1e3,
        samples.high() * 1e3);
    return text;
}

void settle(int pauseMilliseconds)
{
    ::sync();
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds));
}

void ratio(const std::string& name, double value, double goal)
{
    std::printf("%s ratio=%.3f (goal <= %.2f%s)\n", name.c_str(), value, goal, value <= goal ? "" : ", MISSED");
}

void benchInstallation(const std::string& scratch, const Installation& installation, const std::string& buildDirectory,
    const std::string& launcher, int runs, int pause, double handOffGoal)
{
    std::string base = scratch + "/" + installation.name;
    std::string app = makeBundle(base, installation, launcher);
    std::string home = base + "/home";
    std::string record = base + "/x11-started";
    std::string client = app + "/Contents/Resources/zelvant-x.y.z";
    std::string support = home + "/Library/Application Support/Zelvant/7.7.7";
    std::filesystem::create_directories(home);
    Environment environment { {
        "HOME=" + home,
        "PATH=/usr/bin:/bin",
        "LANG=C",
        "ZELVANT_APPLICATION_PATH=" + base + "/Applications",
        "ZELVANT_OPEN_TOOL=" + buildDirectory + "/bin/zelvant-open",
        "ZELVANT_BENCH_RECORD=" + record,
    } };

    auto launch = [&](Samples& whole, Samples& handOff, long& peak) {
        std::filesystem::remove(record);
        double start = monotonicSeconds();
        ChildRun run = spawnAndWait({ app + "/Contents/MacOS/Zelvant" }, environment.pointers.data());
        if (run.status != 0)
            throw std::runtime_error("the launcher exited with " + std::to_string(run.status));
        for (int wait = 0; wait < 500 && !std::filesystem::exists(record); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream stream(record);
        double started = 0;
        if (!(stream >> started))
            throw std::runtime_error("the X11 stand-in never started");
        whole.values.push_back(run.seconds);
        handOff.values.push_back(started - start);
        peak = std::max(peak, run.peakKiB);
    };
    auto floor = [&](Samples& samples) {
        double start = monotonicSeconds();
        ChildRun removal = spawnAndWait({ "/usr/bin/rm", "-rf", support }, environ);
        for (const char* directory : { "", "/gtk-2.0", "/pango" })
            ::mkdir((support + directory).c_str(), 0755);
        ChildRun fonts = spawnAndWait({ "/usr/bin/cp", "-a", client + "/fonts", support + "/" }, environ);
        ChildRun loaders
            = spawnAndWait({ "/usr/bin/cp", "-a", client + "/gtk-2.0/loaders", support + "/gtk-2.0/" }, environ);
        ChildRun pango = spawnAndWait(
            { "/usr/bin/cp", "-a", client + "/pango/pangox.aliases", client + "/pango/modules", support + "/pango/" },
            environ);
        if (removal.status || fonts.status || loaders.status || pango.status)
            throw std::runtime_error("rm or cp failed");
        samples.values.push_back(monotonicSeconds() - start);
    };

    // A first launch builds the tree that every later run finds and replaces.
    Samples ignoredWhole, ignoredHandOff, launcherWhole, launcherHandOff, floorTimes;
    long peak = 0;
    launch(ignoredWhole, ignoredHandOff, peak);
    peak = 0;
    for (int run = 0; run < runs; ++run) {
        // Alternate which goes first, so drift hits both alike.
        for (int turn = 0; turn < 2; ++turn) {
            settle(pause);
            if ((run + turn) % 2 == 0)
                launch(launcherWhole, launcherHandOff, peak);
            else
                floor(floorTimes);
        }
    }

    std::printf("%s (%d font files of %zu kB in %d folders): %d runs each\n", installation.name, installation.fontFiles,
        installation.fontSize / 1024, installation.fontFolders, runs);
    std::printf("  floor (rm -rf + cp -a)        %s\n", milliseconds(floorTimes).c_str());
    std::printf("  launcher, whole process       %s\n", milliseconds(launcherWhole).c_str());
    std::printf("  launcher, until X11 started   %s\n", milliseconds(launcherHandOff).c_str());
    std::printf("  launcher peak RSS (wait4, with its children)  %ld KiB\n", peak);
    std::string name = installation.name;
    ratio(name + ".whole", launcherWhole.median() / floorTimes.median(), 0.9);
    ratio(name + ".handoff", launcherHandOff.median() / floorTimes.median(), handOffGoal);
    if (name == "large")
        ratio(name + ".peak_rss", static_cast<double>(peak) / (8 * 1024), 1.0);
}

// Choices inside the launcher, measured on the platform layer alone against
// one installation (typical unless --only large): copy threads, and renaming
// the old tree aside (removed later) against removing it in place before the
// copy.
void benchInternals(const std::string& scratch, const Installation& installation, int runs, int pause)
{
    std::string base = scratch + "/internals";
    std::string app = makeBundle(base, installation, selfPath());
    std::string client = app + "/Contents/Resources/zelvant-x.y.z";
    std::string target = base + "/support";
    auto& fileManager = platform::FileManager::defaultManager();
    auto copyAll = [&](unsigned threads) {
        auto check = [](const platform::Result<void>& result) {
            if (!result)
                throw std::runtime_error(result.error().message());
        };
        check(fileManager.createDirectoryAtPath(target));
        check(fileManager.copyItemAtPath(client + "/fonts", target + "/fonts", { .threads = threads }));
        check(fileManager.createDirectoryAtPath(target + "/gtk-2.0"));
        check(fileManager.copyItemAtPath(
            client + "/gtk-2.0/loaders", target + "/gtk-2.0/loaders", { .threads = threads }));
        check(fileManager.createDirectoryAtPath(target + "/pango"));
        check(fileManager.copyItemAtPath(client + "/pango/modules", target + "/pango/modules", { .threads = threads }));
    };
    copyAll(1);

    std::printf("internals (%s installation): %d runs each\n", installation.name, runs);
    auto removeTarget = [&] {
        if (auto removed = fileManager.removeItemAtPath(target); !removed)
            throw std::runtime_error(removed.error().message());
    };
    Samples byThreads[4];
    const unsigned threadCounts[4] = { 1, 2, 3, 4 };
    Samples inPlace, asideCopied, asideWhole;
    for (int run = 0; run < runs; ++run) {
        // The copy alone, old tree gone beforehand; the first variant turns
        // with each run, so drift hits all alike.
        for (int turn = 0; turn < 4; ++turn) {
            int variant = (run + turn) % 4;
            removeTarget();
            settle(pause);
            double start = monotonicSeconds();
            copyAll(threadCounts[variant]);
            byThreads[variant].values.push_back(monotonicSeconds() - start);
        }
        // The old tree removed in place before the copy.
        settle(pause);
        double start = monotonicSeconds();
        removeTarget();
        copyAll(0);
        inPlace.values.push_back(monotonicSeconds() - start);
        // Renamed aside, removed once the copy is done.
        settle(pause);
        start = monotonicSeconds();
        auto aside = platform::DeferredRemoval::moveAside(target);
        if (!aside)
            throw std::runtime_error(aside.error().message());
        copyAll(0);
        asideCopied.values.push_back(monotonicSeconds() - start);
        if (auto removed = aside->remove(); !removed)
            throw std::runtime_error(removed.error().message());
        asideWhole.values.push_back(monotonicSeconds() - start);
    }
    for (int variant = 0; variant < 4; ++variant) {
        std::printf("  copy, %u thread(s)                     %s\n", threadCounts[variant],
            milliseconds(byThreads[variant]).c_str());
        if (variant)
            std::printf("copy.threads%u ratio=%.3f (against 1 thread)\n", threadCounts[variant],
                byThreads[variant].median() / byThreads[0].median());
    }
    std::printf("  removed in place, then copied         %s\n", milliseconds(inPlace).c_str());
    std::printf("  renamed aside: until copied           %s\n", milliseconds(asideCopied).c_str());
    std::printf("                 and removed after      %s\n", milliseconds(asideWhole).c_str());
    std::printf("aside.until_copied ratio=%.3f (against in place)\n", asideCopied.median() / inPlace.median());
    std::printf("aside.whole ratio=%.3f (against in place)\n", asideWhole.median() / inPlace.median());
}

}

int main(int argc, char** argv)
{
    std::string self = platform::lastPathComponent(argv[0]);
    if (self == "zelclient" || self == "X11")
        return runAsStandIn(self, argc, argv);

    int runs = 7;
    int pause = 1000;
    std::string directory;
    std::string only;
    std::string launcher;
    bool internals = false;
    for (int index = 1; index < argc; ++index) {
        std::string_view argument { argv[index] };
        if (argument == "--runs" && index + 1 < argc)
            runs = std::max(1, static_cast<int>(std::strtol(argv[++index], nullptr, 10)));
        else if (argument == "--pause-ms" && index + 1 < argc)
            pause = std::max(0, static_cast<int>(std::strtol(argv[++index], nullptr, 10)));
        else if (argument == "--dir" && index + 1 < argc)
            directory = argv[++index];
        else if (argument == "--only" && index + 1 < argc)
            only = argv[++index];
        else if (argument == "--launcher" && index + 1 < argc)
            launcher = argv[++index];
        else if (argument == "--internals")
            internals = true;
        else {
            std::fprintf(stderr,
                "usage: %s [--runs N] [--pause-ms MS] [--dir PATH] [--only typical|large] [--internals] "
                "[--launcher PATH]\n",
                argv[0]);
            return 2;
        }
    }

    // The bench lives in build/bench; the launcher and the open tool beside it.
    std::string buildDirectory
        = platform::stringByDeletingLastPathComponent(platform::stringByDeletingLastPathComponent(selfPath()));
    if (launcher.empty())
        launcher = buildDirectory + "/Zelvant.app/Contents/MacOS/Zelvant";
    std::string scratch = directory.empty() ? std::filesystem::temp_directory_path().string() : directory;
    scratch += "/zelvant-launch-bench-XXXXXX";
    if (!::mkdtemp(scratch.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    int status = 0;
    try {
        const Installation typical { "typical", 60, 20, size_t { 330 } * 1024 };
        const Installation large { "large", 2000, 20, size_t { 100 } * 1024 };
        if (internals)
            benchInternals(scratch, only == "large" ? large : typical, runs, pause);
        else {
            if (only.empty() || only == "typical")
                benchInstallation(scratch, typical, buildDirectory, launcher, runs, pause, 0.5);
            if (only.empty() || only == "large")
                benchInstallation(scratch, large, buildDirectory, launcher, runs, pause, 0.35);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "launch-bench: %s\n", error.what());
        status = 1;
    }
    std::fflush(stdout);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return status;
}
