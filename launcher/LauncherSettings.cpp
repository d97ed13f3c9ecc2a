#include "LauncherSettings.h"

#include "HelperTool.h"
#include "OpenTool.h"
#include "Trace.h"
#include "Workspace.h"

void applyLauncherSettings()
{
    platform::setTraceSettings({ .variable = "ZELVANT_LAUNCHER_TRACE", .prefix = "Zelvant trace: " });
    platform::Workspace::setApplicationPathVariable("ZELVANT_APPLICATION_PATH");
    // The hand-off's "/usr/bin/open" is the open tool in our own executable,
    // never the system's program of that name (on Debian, xdg-open).
    platform::registerHelperTool({ .standsInFor = "/usr/bin/open",
        .name = "zelvant-open",
        .overrideVariable = "ZELVANT_OPEN_TOOL",
        .main = platform::openToolMain });
}
