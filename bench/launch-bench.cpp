// Whole-launch benchmark: the launcher process (whole, and until the X11
// application starts) against the floor of what a shell would do for the
// same rebuild ("rm -rf", then "cp -a" of the four copied entries), alternated
// in one run, on a generated bundle whose client and X11 stand-ins cost
// nothing. A measuring harness: it spawns and reaps its children directly.
// Usage: see main; --launcher runs another build's launcher (a baseline) in place of ours.

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
#include <optional>
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

void writeText(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    std::filesystem::create_directories(platform::stringByDeletingLastPathComponent(path));
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << text;
    stream.close();
    ::chmod(path.c_str(), mode);
}

void writeBytes(const std::string& path, size_t size, std::mt19937_64& random, mode_t mode = 0644)
{
    std::string bytes(size, '\0');
    for (size_t offset = 0; offset + 8 <= size; offset += 8) {
        uint64_t value = random();
        std::memcpy(bytes.data() + offset, &value, 8);
    }
    writeText(path, bytes, mode);
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
    for (int index = 0; index < 30; ++index) {
        if (index < 20)
            writeBytes(
                client + "/gtk-2.0/loaders/libpixbufloader-" + std::to_string(index) + ".so", 60 << 10, random, 0755);
        writeBytes(client + "/pango/modules/pango-module-" + std::to_string(index) + ".so", 90 << 10, random, 0755);
    }
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
};

std::string milliseconds(const Samples& samples)
{
    auto [low, high] = std::minmax_element(samples.values.begin(), samples.values.end());
    char text[96];
    std::snprintf(text, sizeof text, "median %.1f ms (%.1f-%.1f)", samples.median() * 1e3, *low * 1e3, *high * 1e3);
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

struct Options {
    int runs { 7 };
    int pause { 1000 };
    std::string directory;
    std::string only;
    std::string launcher; // another build's, e.g. a baseline; ours when empty
    bool internals { false };
};

// One generated installation with its home, and the two things measured on it.
class InstallationBench {
public:
    InstallationBench(const std::string& scratch, const Installation& installation, const std::string& buildDirectory,
        const std::string& launcher)
        : m_base(scratch + "/" + installation.name)
        , m_app(makeBundle(m_base, installation, launcher))
        , m_home(m_base + "/home")
        , m_record(m_base + "/x11-started")
        , m_client(m_app + "/Contents/Resources/zelvant-x.y.z")
        , m_support(m_home + "/Library/Application Support/Zelvant/7.7.7")
        , m_environment({ "HOME=" + m_home, "PATH=/usr/bin:/bin", "LANG=C",
              "ZELVANT_APPLICATION_PATH=" + m_base + "/Applications",
              "ZELVANT_OPEN_TOOL=" + buildDirectory + "/bin/zelvant-open", "ZELVANT_BENCH_RECORD=" + m_record })
    {
        std::filesystem::create_directories(m_home);
    }

    Samples whole, handOff, floor;
    long peak { 0 };

    void launch()
    {
        std::filesystem::remove(m_record);
        double start = monotonicSeconds();
        ChildRun run = spawnAndWait({ m_app + "/Contents/MacOS/Zelvant" }, m_environment.pointers.data());
        if (run.status != 0)
            throw std::runtime_error("the launcher exited with " + std::to_string(run.status));
        for (int wait = 0; wait < 500 && !std::filesystem::exists(m_record); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream stream(m_record);
        double started = 0;
        if (!(stream >> started))
            throw std::runtime_error("the X11 stand-in never started");
        whole.values.push_back(run.seconds);
        handOff.values.push_back(started - start);
        peak = std::max(peak, run.peakKiB);
    }

    void copyWithShellTools()
    {
        double start = monotonicSeconds();
        ChildRun removal = spawnAndWait({ "/usr/bin/rm", "-rf", m_support }, environ);
        for (const char* directory : { "", "/gtk-2.0", "/pango" })
            ::mkdir((m_support + directory).c_str(), 0755);
        ChildRun fonts = spawnAndWait({ "/usr/bin/cp", "-a", m_client + "/fonts", m_support + "/" }, environ);
        ChildRun loaders
            = spawnAndWait({ "/usr/bin/cp", "-a", m_client + "/gtk-2.0/loaders", m_support + "/gtk-2.0/" }, environ);
        ChildRun pango = spawnAndWait({ "/usr/bin/cp", "-a", m_client + "/pango/pangox.aliases",
                                          m_client + "/pango/modules", m_support + "/pango/" },
            environ);
        if (removal.status || fonts.status || loaders.status || pango.status)
            throw std::runtime_error("rm or cp failed");
        floor.values.push_back(monotonicSeconds() - start);
    }

private:
    std::string m_base, m_app, m_home, m_record, m_client, m_support;
    Environment m_environment;
};

void benchInstallation(const std::string& scratch, const Installation& installation, const std::string& buildDirectory,
    const Options& options, double handOffGoal)
{
    InstallationBench bench { scratch, installation, buildDirectory, options.launcher };
    // A first launch builds the tree that every later run finds and replaces.
    bench.launch();
    bench.whole = bench.handOff = {};
    bench.peak = 0;
    for (int run = 0; run < options.runs; ++run) {
        // Alternate which goes first, so drift hits both alike.
        for (int turn = 0; turn < 2; ++turn) {
            settle(options.pause);
            if ((run + turn) % 2 == 0)
                bench.launch();
            else
                bench.copyWithShellTools();
        }
    }

    std::printf("%s (%d font files of %zu kB in %d folders): %d runs each\n", installation.name, installation.fontFiles,
        installation.fontSize / 1024, installation.fontFolders, options.runs);
    std::printf("  floor (rm -rf + cp -a)        %s\n", milliseconds(bench.floor).c_str());
    std::printf("  launcher, whole process       %s\n", milliseconds(bench.whole).c_str());
    std::printf("  launcher, until X11 started   %s\n", milliseconds(bench.handOff).c_str());
    std::printf("  launcher peak RSS (wait4, with its children)  %ld KiB\n", bench.peak);
    std::string name = installation.name;
    ratio(name + ".whole", bench.whole.median() / bench.floor.median(), 0.9);
    ratio(name + ".handoff", bench.handOff.median() / bench.floor.median(), handOffGoal);
    if (name == "large")
        ratio(name + ".peak_rss", static_cast<double>(bench.peak) / (8 * 1024), 1.0);
}

// Copy threads on the platform layer alone (typical unless --only large):
// none (the walk copies each file itself) against one to four beside the walk.
void benchInternals(const std::string& scratch, const Installation& installation, int runs, int pause)
{
    std::string base = scratch + "/internals";
    std::string app = makeBundle(base, installation, selfPath());
    std::string client = app + "/Contents/Resources/zelvant-x.y.z";
    std::string target = base + "/support";
    auto& fileManager = platform::FileManager::defaultManager();
    auto check = [](const platform::Result<void>& result) {
        if (!result)
            throw std::runtime_error(result.error().message());
    };
    auto copyAll = [&](unsigned threads) {
        check(fileManager.createDirectoryAtPath(target));
        for (const char* directory : { "/gtk-2.0", "/pango" })
            check(fileManager.createDirectoryAtPath(target + directory));
        for (const char* entry : { "/fonts", "/gtk-2.0/loaders", "/pango/modules" })
            check(fileManager.copyItemAtPath(client + entry, target + entry, { .threads = threads }));
    };

    std::printf(
        "internals (%s installation): %d runs each, the old tree removed before each copy\n", installation.name, runs);
    constexpr unsigned threadCounts[] = { 0, 1, 2, 4 };
    constexpr int variants = std::size(threadCounts);
    Samples byThreads[variants];
    copyAll(1);
    for (int run = 0; run < runs; ++run) {
        // The first variant turns with each run, so drift hits all alike.
        for (int turn = 0; turn < variants; ++turn) {
            int variant = (run + turn) % variants;
            check(fileManager.removeItemAtPath(target));
            settle(pause);
            double start = monotonicSeconds();
            copyAll(threadCounts[variant]);
            byThreads[variant].values.push_back(monotonicSeconds() - start);
        }
    }
    for (int variant = 0; variant < variants; ++variant) {
        std::printf("  copy, %u thread(s) beside the walk   %s\n", threadCounts[variant],
            milliseconds(byThreads[variant]).c_str());
        if (variant)
            std::printf("copy.threads%u ratio=%.3f (against none)\n", threadCounts[variant],
                byThreads[variant].median() / byThreads[0].median());
    }
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    for (int index = 1; index < argc; ++index) {
        std::string_view argument { argv[index] };
        bool hasValue = index + 1 < argc;
        if (argument == "--runs" && hasValue)
            options.runs = std::max(1, static_cast<int>(std::strtol(argv[++index], nullptr, 10)));
        else if (argument == "--pause-ms" && hasValue)
            options.pause = std::max(0, static_cast<int>(std::strtol(argv[++index], nullptr, 10)));
        else if (argument == "--dir" && hasValue)
            options.directory = argv[++index];
        else if (argument == "--only" && hasValue)
            options.only = argv[++index];
        else if (argument == "--launcher" && hasValue)
            options.launcher = argv[++index];
        else if (argument == "--internals")
            options.internals = true;
        else
            return std::nullopt;
    }
    return options;
}

}

int main(int argc, char** argv)
{
    std::string self = platform::lastPathComponent(argv[0]);
    if (self == "zelclient" || self == "X11")
        return runAsStandIn(self, argc, argv);
    auto options = parseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
            "usage: %s [--runs N] [--pause-ms MS] [--dir PATH] [--only typical|large] [--internals] [--launcher "
            "PATH]\n",
            argv[0]);
        return 2;
    }

    // The bench lives in build/bench; the launcher and the open tool beside it.
    std::string buildDirectory
        = platform::stringByDeletingLastPathComponent(platform::stringByDeletingLastPathComponent(selfPath()));
    if (options->launcher.empty())
        options->launcher = buildDirectory + "/Zelvant.app/Contents/MacOS/Zelvant";
    std::string scratch
        = options->directory.empty() ? std::filesystem::temp_directory_path().string() : options->directory;
    scratch += "/zelvant-launch-bench-XXXXXX";
    if (!::mkdtemp(scratch.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    int status = 0;
    try {
        const Installation typical { "typical", 60, 20, size_t { 330 } * 1024 };
        const Installation large { "large", 2000, 20, size_t { 100 } * 1024 };
        if (options->internals)
            benchInternals(scratch, options->only == "large" ? large : typical, options->runs, options->pause);
        if (!options->internals && options->only != "large")
            benchInstallation(scratch, typical, buildDirectory, *options, 0.5);
        if (!options->internals && options->only != "typical")
            benchInstallation(scratch, large, buildDirectory, *options, 0.35);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "launch-bench: %s\n", error.what());
        status = 1;
    }
    std::fflush(stdout);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return status;
}
