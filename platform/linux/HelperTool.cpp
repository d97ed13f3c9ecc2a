// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#include "HelperTool.h"

#include "Path.h"
#include "ProcessInfo.h"

#include <vector>

namespace platform {

static std::vector<HelperTool>& helperTools()
{
    static std::vector<HelperTool> tools;
    return tools;
}

void registerHelperTool(HelperTool tool) { helperTools().push_back(std::move(tool)); }

std::optional<int> runHelperToolNamedBy(int argc, char** argv)
{
    if (argc < 1 || !argv[0])
        return std::nullopt;
    std::string name = lastPathComponent(argv[0]);
    for (const auto& tool : helperTools()) {
        if (tool.name == name && tool.main)
            return tool.main(argc, argv);
    }
    return std::nullopt;
}

ResolvedProgram resolveLaunchPath(const std::string& launchPath)
{
    for (const auto& tool : helperTools()) {
        if (tool.standsInFor != launchPath)
            continue;
        if (!tool.overrideVariable.empty()) {
            if (auto program = environmentValue(tool.overrideVariable); program && !program->empty())
                return { *program, *program };
        }
        // Our own executable, as the kernel knows it: no search path, no
        // folder that someone else could write. The path rather than
        // /proc/self/exe itself, which names the program a tool like
        // valgrind runs us in.
        std::string self = executablePath();
        return { self.empty() ? "/proc/self/exe" : self, tool.name };
    }
    return { launchPath, launchPath };
}

}
