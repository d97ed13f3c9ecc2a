#include "Application.h"
#include "HelperTool.h"
#include "LauncherSettings.h"

int main(int argc, char** argv)
{
    applyLauncherSettings();
    // Started as the open tool (for the hand-off) this executable is that tool.
    if (auto status = platform::runHelperToolNamedBy(argc, argv))
        return *status;
    return platform::applicationMain(argc, argv);
}
