// Whole-launch benchmark: the launcher process (whole, and until the X11
// application starts) against the floor of what a shell would do for the
// same result, alternated in one run, on a generated bundle whose client and
// X11 stand-ins cost nothing, in three modes:
//   relaunch  the previous launch's tree is there; floor "rm -rf" + "cp -a"
//   fresh     no support directory;                 floor "cp -a"
//   update    every installed file newer than its copy; floor "rm -rf" + "cp -a"
// A measuring harness: it spawns and reaps its children directly.
// Usage: see main; --launcher runs another build's launcher (a baseline) in place of ours.

#include "FileManager.h"
#include "LaunchBenchSupport.h"
#include "Path.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace bench;

namespace {

enum class Mode { Relaunch, Fresh, Update };
constexpr const char* modeNames[] = { "relaunch", "fresh", "update" };
constexpr Mode allModes[] = { Mode::Relaunch, Mode::Fresh, Mode::Update };

// The entries the launcher copies, below the installation and the support directory alike.
constexpr const char* copiedEntries[] = { "fonts", "gtk-2.0/loaders", "pango/pangox.aliases", "pango/modules" };

// Every file below root gets the current time: newer than any copy of it.
void touchFiles(const std::string& root)
{
    for (const char* entry : copiedEntries) {
        std::string path = root + "/" + entry;
        if (!std::filesystem::is_directory(path)) {
            ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
            continue;
        }
        for (const auto& file : std::filesystem::recursive_directory_iterator(path)) {
            if (file.is_regular_file())
                ::utimensat(AT_FDCWD, file.path().c_str(), nullptr, 0);
        }
    }
}

struct Options {
    int runs { 7 };
    int pause { 1000 };
    std::string directory;
    std::string only;
    std::string launcher; // another build's, e.g. a baseline; ours when empty
    std::vector<Mode> modes { std::begin(allModes), std::end(allModes) };
    bool internals { false };
};

// One generated installation with its home, and the two things measured on it.
class InstallationBench {
public:
    InstallationBench(const std::string& scratch, const Installation& installation, const std::string& launcher)
        : m_base(scratch + "/" + installation.name)
        , m_app(makeBundle(m_base, installation, launcher))
        , m_home(m_base + "/home")
        , m_record(m_base + "/x11-started")
        , m_client(m_app + "/Contents/Resources/zelvant-x.y.z")
        , m_support(m_home + "/Library/Application Support/Zelvant/7.7.7")
        , m_environment({ "HOME=" + m_home, "PATH=/usr/bin:/bin", "LANG=C",
              "ZELVANT_APPLICATION_PATH=" + m_base + "/Applications", "ZELVANT_BENCH_RECORD=" + m_record })
    {
        std::filesystem::create_directories(m_home);
    }

    Samples whole, handOff, floor, launcherBlocks, floorBlocks;
    long peak { 0 };

    void reset()
    {
        whole = handOff = floor = launcherBlocks = floorBlocks = {};
        peak = 0;
    }

    // Untimed: what a run of the mode starts from.
    void prepare(Mode mode)
    {
        if (mode == Mode::Fresh)
            std::filesystem::remove_all(m_support);
        else if (mode == Mode::Update)
            touchFiles(m_client);
    }

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
        launcherBlocks.values.push_back(static_cast<double>(run.blocksWritten));
        peak = std::max(peak, run.peakKiB);
    }

    void copyWithShellTools(Mode mode)
    {
        double start = monotonicSeconds();
        long blocks = 0;
        auto run = [&](const std::vector<std::string>& arguments) {
            ChildRun child = spawnAndWait(arguments, environ);
            if (child.status)
                throw std::runtime_error(arguments[0] + " failed");
            blocks += child.blocksWritten;
        };
        if (mode != Mode::Fresh)
            run({ "/usr/bin/rm", "-rf", m_support });
        for (const char* directory : { "", "/gtk-2.0", "/pango" })
            ::mkdir((m_support + directory).c_str(), 0755);
        run({ "/usr/bin/cp", "-a", m_client + "/fonts", m_support + "/" });
        run({ "/usr/bin/cp", "-a", m_client + "/gtk-2.0/loaders", m_support + "/gtk-2.0/" });
        run({ "/usr/bin/cp", "-a", m_client + "/pango/pangox.aliases", m_client + "/pango/modules",
            m_support + "/pango/" });
        floor.values.push_back(monotonicSeconds() - start);
        floorBlocks.values.push_back(static_cast<double>(blocks));
    }

private:
    std::string m_base, m_app, m_home, m_record, m_client, m_support;
    Environment m_environment;
};

void report(const InstallationBench& bench, const Installation& installation, Mode mode, int runs)
{
    bool large = std::string_view { installation.name } == "large";
    std::string name = std::string { installation.name } + "." + modeNames[static_cast<int>(mode)];
    std::printf("%s (%d font files of %zu kB in %d folders): %d runs each\n", name.c_str(), installation.fontFiles,
        installation.fontSize / 1024, installation.fontFolders, runs);
    std::printf("  floor (%s)   %s\n", mode == Mode::Fresh ? "cp -a" : "rm -rf + cp -a", summary(bench.floor).c_str());
    std::printf("  launcher, whole process       %s\n", summary(bench.whole).c_str());
    std::printf("  launcher, until X11 started   %s\n", summary(bench.handOff).c_str());
    constexpr double mebibytes = 512.0 / (1024 * 1024);
    std::printf("  written, launcher (ru_oublock) %s\n", summary(bench.launcherBlocks, mebibytes, "MiB").c_str());
    std::printf("  written, floor (ru_oublock)    %s\n", summary(bench.floorBlocks, mebibytes, "MiB").c_str());
    std::printf("  launcher peak RSS (wait4, with its children)  %ld KiB\n", bench.peak);
    double floor = bench.floor.median();
    bool relaunch = mode == Mode::Relaunch;
    ratio(name + ".whole", bench.whole.median() / floor, relaunch ? (large ? 0.06 : 0.25) : 0.9);
    ratio(name + ".handoff", bench.handOff.median() / floor, relaunch ? (large ? 0.04 : 0.15) : (large ? 0.35 : 0.5));
    // Fresh and update write what the floor writes: only the relaunch has a goal for it.
    ratio(name + ".written", bench.launcherBlocks.median() / bench.floorBlocks.median(), relaunch ? 0.01 : 0);
    ratio(name + ".peak_rss", static_cast<double>(bench.peak) / (8 * 1024), 1.0);
}

void benchInstallation(const std::string& scratch, const Installation& installation, const Options& options)
{
    InstallationBench bench { scratch, installation, options.launcher };
    // A first launch makes the home's folders and the tree the relaunch finds.
    bench.launch();
    for (Mode mode : options.modes) {
        bench.reset();
        for (int run = 0; run < options.runs; ++run) {
            // Alternate which goes first, so drift hits both alike.
            for (int turn = 0; turn < 2; ++turn) {
                bench.prepare(mode);
                settle(options.pause);
                if ((run + turn) % 2 == 0)
                    bench.launch();
                else
                    bench.copyWithShellTools(mode);
            }
        }
        report(bench, installation, mode, options.runs);
        std::fflush(stdout);
    }
}

// The platform layer alone, fresh and update, with no copy threads (the walk
// copies each file itself) and with the pool (typical unless --only large).
void benchInternals(const std::string& scratch, const Installation& installation, int runs, int pause)
{
    std::string base = scratch + "/internals";
    std::string client = makeBundle(base, installation, selfPath()) + "/Contents/Resources/zelvant-x.y.z";
    std::string target = base + "/support";
    auto& fileManager = platform::FileManager::defaultManager();
    auto check = [](const platform::Result<void>& result) {
        if (!result)
            throw std::runtime_error(result.error().message());
    };
    auto copyAll = [&](std::optional<unsigned> threads) {
        for (const char* directory : { "", "/gtk-2.0", "/pango" })
            ::mkdir((target + directory).c_str(), 0755);
        for (const char* entry : copiedEntries)
            check(
                fileManager.synchronizeItemAtPath(client + "/" + entry, target + "/" + entry, { .threads = threads }));
    };
    struct Variant {
        const char* name;
        Mode mode;
        std::optional<unsigned> threads;
        Samples seconds;
    };
    Variant variants[] = { { "fresh, no threads", Mode::Fresh, 0, {} }, { "fresh, the pool", Mode::Fresh, {}, {} },
        { "update, no threads", Mode::Update, 0, {} }, { "update, the pool", Mode::Update, {}, {} } };
    std::printf("internals (%s installation): %d runs each\n", installation.name, runs);
    copyAll(0);
    for (int run = 0; run < runs; ++run) {
        // The first variant turns with each run, so drift hits all alike.
        for (size_t turn = 0; turn < std::size(variants); ++turn) {
            Variant& variant = variants[(run + turn) % std::size(variants)];
            if (variant.mode == Mode::Fresh)
                check(fileManager.removeItemAtPath(target));
            else
                touchFiles(client);
            settle(pause);
            double start = monotonicSeconds();
            copyAll(variant.threads);
            variant.seconds.values.push_back(monotonicSeconds() - start);
        }
    }
    for (size_t index = 0; index < std::size(variants); ++index) {
        std::printf("  %-20s %s\n", variants[index].name, summary(variants[index].seconds).c_str());
        if (index % 2)
            std::printf("internals.%s.pool ratio=%.3f (against no threads)\n",
                modeNames[static_cast<int>(variants[index].mode)],
                variants[index].seconds.median() / variants[index - 1].seconds.median());
    }
}

std::optional<std::vector<Mode>> parseModes(std::string_view name)
{
    if (name == "all")
        return std::vector<Mode> { std::begin(allModes), std::end(allModes) };
    for (Mode mode : allModes) {
        if (name == modeNames[static_cast<int>(mode)])
            return std::vector<Mode> { mode };
    }
    return std::nullopt;
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
        else if (argument == "--mode" && hasValue) {
            auto modes = parseModes(argv[++index]);
            if (!modes)
                return std::nullopt;
            options.modes = std::move(*modes);
        } else if (argument == "--internals")
            options.internals = true;
        else
            return std::nullopt;
    }
    return options;
}

}

int main(int argc, char** argv)
{
    auto options = parseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
            "usage: %s [--mode relaunch|fresh|update|all] [--runs N] [--pause-ms MS] [--dir PATH] [--only "
            "typical|large] [--internals] [--launcher PATH]\n",
            argv[0]);
        return 2;
    }

    // The bench lives in build/bench; the launcher beside it.
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
            benchInstallation(scratch, typical, *options);
        if (!options->internals && options->only != "typical")
            benchInstallation(scratch, large, *options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "launch-bench: %s\n", error.what());
        status = 1;
    }
    std::fflush(stdout);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return status;
}
