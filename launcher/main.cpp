#include "Alert.h"
#include "Application.h"
#include "OpenTool.h"
#include "Path.h"

int main(int argc, char** argv)
{
    // Re-run for the hand-off as the open tool it carries, this executable is that tool.
    if (argc > 0 && argv[0] && platform::lastPathComponent(argv[0]) == openToolName)
        return openToolMain(argc, argv);
    // gtk, x11 or text: for tests, and for users who want the plain dialog or none.
    platform::Alert::setBackendVariable("ZELVANT_ALERT");
    return platform::applicationMain(
        argc, argv, { .trace = { .variable = "ZELVANT_LAUNCHER_TRACE", .prefix = "Zelvant trace: " } });
}
