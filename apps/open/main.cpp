#include "LauncherSettings.h"
#include "OpenTool.h"

// The open tool as a command of its own, for users.
int main(int argc, char** argv)
{
    applyLauncherSettings();
    return platform::openToolMain(argc, argv);
}
