#include "OpenTool.h"

#include "Bundle.h"
#include "FileManager.h"
#include "Path.h"
#include "ProcessInfo.h"
#include "Task.h"
#include "Workspace.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <vector>

using namespace platform;

static int usage(const char* program)
{
    std::fprintf(
        stderr, "usage: %s -a APPLICATION [DOCUMENT ...]\n", lastPathComponent(program ? program : "open").c_str());
    return 2;
}

static int cannotOpen(const std::string& name, const std::string& reason)
{
    std::fprintf(stderr, "Unable to open application '%s': %s\n", name.c_str(), reason.c_str());
    return 1;
}

static std::string absolutePath(const std::string& path)
{
    if (path.front() == '/')
        return path;
    std::string directory = FileManager::defaultManager().currentDirectoryPath();
    return directory.empty() ? path : stringByAppendingPathComponent(directory, path);
}

// Why NAME.app, found in an application folder, is not an application the
// workspace would take; empty when there is no NAME.app anywhere.
static std::string whyNotAnApplication(const Workspace& workspace, const std::string& name)
{
    FileManager& fileManager = FileManager::defaultManager();
    for (const auto& folder : workspace.applicationFolders()) {
        std::string candidate = stringByAppendingPathComponent(folder, name + ".app");
        if (!fileManager.itemExistsAtPath(candidate))
            continue;
        // Only a link can be there without anything to follow it to.
        return candidate + (fileManager.fileExistsAtPath(candidate) ? " is not a directory" : " is a link to nothing");
    }
    return {};
}

int openToolMain(int argc, char** argv)
{
    if (argc < 3 || std::string { argv[1] } != "-a" || !*argv[2])
        return usage(argv[0]);
    std::string name = argv[2];
    std::vector<std::string> documents;
    for (int index = 3; index < argc; ++index) {
        if (!*argv[index])
            return usage(argv[0]);
        documents.push_back(absolutePath(argv[index]));
    }

    Workspace workspace { environmentValue(applicationPathVariable), findHomeDirectory(),
        Bundle::mainBundle().bundlePath() };
    auto application = workspace.fullPathForApplication(name);
    if (!application) {
        if (name.find('/') == std::string::npos) {
            if (std::string reason = whyNotAnApplication(workspace, name); !reason.empty())
                return cannotOpen(name, reason);
        }
        std::fprintf(stderr, "Unable to find application named '%s'\n", name.c_str());
        return 1;
    }

    // CFBundleExecutable names a file in Contents/MacOS, never a path out of it.
    std::string macOS = stringByAppendingPathComponent(*application, "Contents/MacOS");
    Bundle bundle = Bundle::bundleForExecutable(stringByAppendingPathComponent(macOS, name));
    std::string executableName = bundle.bundleExecutable(name);
    if (executableName.find('/') != std::string::npos || executableName == "." || executableName == "..")
        return cannotOpen(
            name, *application + " names the executable '" + executableName + "', which is not a file name");
    std::string executable = stringByAppendingPathComponent(macOS, executableName);
    FileManager& fileManager = FileManager::defaultManager();
    if (!fileManager.fileExistsAtPath(executable))
        return cannotOpen(name, *application + " has no executable " + executable);
    if (!fileManager.isExecutableFileAtPath(executable))
        return cannotOpen(name, executable + " is not an executable file");

    ScopedFD devNull { ::open("/dev/null", O_RDONLY | O_CLOEXEC) };
    Task task;
    task.setLaunchPath(executable);
    task.setArguments(std::move(documents));
    task.setStartsNewSession(true);
    if (devNull)
        task.setStandardInput(devNull.get());
    if (auto launched = task.launch(); !launched)
        return cannotOpen(name, launched.error().message());
    return 0;
}

OpenToolExecutable openToolExecutable()
{
    if (auto tool = environmentValue("ZELVANT_OPEN_TOOL"); tool && !tool->empty())
        return { *tool, *tool };
    // Our own executable, as the kernel knows it: no search path, no folder
    // that someone else could write. The path rather than /proc/self/exe
    // itself, which names the program a tool like valgrind runs us in.
    std::string self = executablePath();
    return { self.empty() ? "/proc/self/exe" : self, openToolName };
}
