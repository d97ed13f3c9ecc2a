// The generated bundle, its stand-ins and the measuring of launch-bench.
#include "LaunchBenchSupport.h"

#include "Path.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace bench {

std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

double monotonicSeconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

namespace {

// Built beside the bench.
std::string standIn() { return platform::stringByDeletingLastPathComponent(selfPath()) + "/launch-stand-in"; }

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

// A config file of a few kB with the two literals here and there.
std::string configText(const char* what)
{
    std::string text = std::string { "# " } + what + "\n";
    for (int line = 0; text.size() < 3000; ++line)
        text += "\"/Users/login/Library/Application Support/Zelvant/version/lib/module-" + std::to_string(line)
            + ".so\" \"conversion\"\n";
    return text;
}

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
    std::filesystem::create_symlink(standIn(), client + "/bin/zelclient");
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
    std::filesystem::create_symlink(standIn(), x11 + "/X11");
    return app;
}

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
    run.blocksWritten = usage.ru_oublock;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

Environment::Environment(std::vector<std::string> values)
    : strings(std::move(values))
{
    for (auto& value : strings)
        pointers.push_back(value.data());
    pointers.push_back(nullptr);
}

double Samples::median() const
{
    auto sorted = values;
    std::sort(sorted.begin(), sorted.end());
    size_t middle = sorted.size() / 2;
    return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

std::string summary(const Samples& samples, double scale, const char* unit)
{
    auto [low, high] = std::minmax_element(samples.values.begin(), samples.values.end());
    char text[96];
    std::snprintf(
        text, sizeof text, "median %.1f %s (%.1f-%.1f)", samples.median() * scale, unit, *low * scale, *high * scale);
    return text;
}

void settle(int pauseMilliseconds)
{
    ::sync();
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds));
}

void ratio(const std::string& name, double value, double goal)
{
    if (goal <= 0)
        return (void)std::printf("%s ratio=%.3f\n", name.c_str(), value);
    std::printf("%s ratio=%.3f (goal <= %.2f%s)\n", name.c_str(), value, goal, value <= goal ? "" : ", MISSED");
}

}
