#pragma once

#include <optional>
#include <string>

namespace platform {

// A tool that this executable carries and runs as itself, standing in for a
// system program: a task whose launch path is standsInFor starts this very
// executable with argv[0] set to name, which then runs main instead of the
// application. When overrideVariable names a program, that one runs instead.
struct HelperTool {
    std::string standsInFor;
    std::string name;
    std::string overrideVariable;
    int (*main)(int argc, char** argv) { nullptr };
};

// The program makes its helper known before it starts any task.
void registerHelperTool(HelperTool);

// The helper that argv[0] names, run to its end: its exit status; none when
// argv[0] names no helper.
std::optional<int> runHelperToolNamedBy(int argc, char** argv);

// What a task with this launch path runs, and the argv[0] it gets.
struct ResolvedProgram {
    std::string path;
    std::string argument0;
};
ResolvedProgram resolveLaunchPath(const std::string& launchPath);

}
