#include "OpenTool.h"

#include "Bundle.h"
#include "FileHandle.h"
#include "FileManager.h"
#include "Path.h"
#include "ProcessInfo.h"
#include "Task.h"
#include "Workspace.h"

#include <cstdio>
#include <cstdlib>
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

// Starts the application with the status pipe as its descriptor 3 and waits
// for its word: "ok", or (until the pipe ends) why it did not start its documents.
static int startAndAwait(Task& task, const std::string& name)
{
    auto statusPipe = Pipe::pipe();
    if (!statusPipe)
        return cannotOpen(name, statusPipe.error().message());
    task.setPassedDescriptor((*statusPipe)->fileHandleForWriting()->fileDescriptor(), "ZELVANT_OPEN_STATUS_FD");
    auto launched = task.launch();
    (*statusPipe)->fileHandleForWriting()->closeFile();
    if (!launched)
        return cannotOpen(name, launched.error().message());
    std::string status;
    while (status.size() < 4096 && status != "ok\n") {
        auto data = (*statusPipe)->fileHandleForReading()->availableData();
        if (!data || data->empty())
            break;
        status += *data;
    }
    if (status == "ok\n")
        return 0;
    if (status.ends_with('\n'))
        status.pop_back();
    return cannotOpen(name, status.empty() ? "it ended before it started its documents" : status);
}

int openToolMain(int argc, char** argv)
{
    std::string option = argc == 2 ? argv[1] : "";
    if (option == "--help")
        std::puts("usage: zelvant-open -a APPLICATION [DOCUMENT ...]\nStarts APPLICATION.app, found through "
                  "ZELVANT_APPLICATION_PATH or in the usual\nfolders, with the documents' absolute paths; returns "
                  "once it has started them\n(exit status 0) or has failed (1).");
    if (option == "--version")
        std::puts("zelvant-open " ZELVANT_VERSION);
    if (option == "--help" || option == "--version")
        return 0;
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
    return startAndAwait(task, name);
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
