#pragma once

// What launch-bench measures with: the generated bundle and its stand-ins,
// children spawned and reaped directly, medians.

#include <string>
#include <vector>

namespace bench {

double monotonicSeconds();
std::string selfPath();

struct Installation {
    const char* name;
    int fontFiles;
    int fontFolders;
    size_t fontSize;
};
// Generates BASE/Zelvant.app (launcher, client, template) and BASE/Applications/X11.app,
// the client and X11 being launch-stand-in.
std::string makeBundle(const std::string& base, const Installation&, const std::string& launcher);

struct ChildRun {
    double seconds { 0 };
    long peakKiB { 0 };
    long blocksWritten { 0 }; // ru_oublock, 512-byte units
    int status { -1 };
};
ChildRun spawnAndWait(const std::vector<std::string>& arguments, char** environment);

// An environment block for posix_spawn.
struct Environment {
    std::vector<std::string> strings;
    std::vector<char*> pointers;
    explicit Environment(std::vector<std::string> values);
};

struct Samples {
    std::vector<double> values;
    double median() const;
};
// "median M ms (LOW-HIGH)"; scale 1e3 for seconds.
std::string summary(const Samples&, double scale = 1e3, const char* unit = "ms");

// sync, then a pause.
void settle(int pauseMilliseconds);
// "NAME ratio=R", with the goal when there is one (goal > 0).
void ratio(const std::string& name, double value, double goal);

}
