// open -a NAME DOCUMENT...: starts NAME.app's executable with the documents'
// absolute paths, in a session of its own, and returns without waiting for it.
#include "Bundle.h"
#include "FileManager.h"
#include "Path.h"
#include "Task.h"
#include "Workspace.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace platform;

static int usage()
{
    std::fputs("usage: zelvant-open -a APPLICATION [DOCUMENT ...]\n", stderr);
    return 2;
}

static std::string absolutePath(const std::string& path)
{
    if (!path.empty() && path.front() == '/')
        return path;
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer))
        return path;
    return stringByAppendingPathComponent(buffer, path);
}

int main(int argc, char** argv)
{
    if (argc < 3 || std::string { argv[1] } != "-a" || !*argv[2])
        return usage();
    std::string name = argv[2];

    auto application = Workspace::sharedWorkspace().fullPathForApplication(name);
    if (!application) {
        std::fprintf(stderr, "Unable to find application named '%s'\n", name.c_str());
        return 1;
    }
    Bundle bundle = Bundle::bundleForExecutable(stringByAppendingPathComponent(*application, "Contents/MacOS/" + name));
    std::string executable = stringByAppendingPathComponent(*application, "Contents/MacOS/" + bundle.bundleExecutable(name));
    bool isDirectory = false;
    if (!FileManager::defaultManager().fileExistsAtPath(executable, isDirectory) || isDirectory || access(executable.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "The application '%s' at %s has no executable %s\n", name.c_str(), application->c_str(), executable.c_str());
        return 1;
    }

    std::vector<std::string> documents;
    for (int index = 3; index < argc; ++index)
        documents.push_back(absolutePath(argv[index]));

    ScopedFD devNull { ::open("/dev/null", O_RDONLY | O_CLOEXEC) };
    Task task;
    task.setLaunchPath(executable);
    task.setArguments(std::move(documents));
    task.setStartsNewSession(true);
    if (devNull)
        task.setStandardInput(devNull.get());
    if (auto launched = task.launch(); !launched) {
        std::fprintf(stderr, "Unable to start %s: %s\n", executable.c_str(), launched.error().message().c_str());
        return 1;
    }
    return 0;
}
