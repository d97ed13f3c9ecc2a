#include "Application.h"
#include "OpenTool.h"
#include "Path.h"

#include <cstdio>
#include <string_view>

// --help, -h and --version as the first argument answer on standard output and
// nothing is launched; any other argument is a user default, as always.
static bool answeredInformationalOption(int argc, char** argv)
{
    std::string_view option = argc > 1 ? argv[1] : "";
    if (option == "--version")
        std::printf("zelvant %s\n", ZELVANT_VERSION);
    else if (option == "--help" || option == "-h")
        std::fputs(R"(usage: zelvant [-AppleLanguages '(de, fr)'] [-locale LOCALE] [-KEY VALUE ...]
Starts the Zelvant game. -AppleLanguages: the languages you prefer, first one
first, when LANG is not set; -locale: the game's locale, over those.
Environment: LANG, HOME, DISPLAY, ZELVANT_X11_HEADLESS=1 (a private Xvfb
display), ZELVANT_APPLICATION_PATH (the folders holding X11.app),
ZELVANT_ALERT=gtk|text (how errors show), ZELVANT_LAUNCHER_TRACE=1.
The game's files: ~/Library/Application Support/Zelvant/VERSION/
-h, --help: this text; --version: the version. More in zelvant(1).
)",
            stdout);
    else
        return false;
    return true;
}

int main(int argc, char** argv)
{
    // Re-run for the hand-off as the open tool it carries, this executable is that tool.
    if (argc > 0 && argv[0] && platform::lastPathComponent(argv[0]) == openToolName)
        return openToolMain(argc, argv);
    if (answeredInformationalOption(argc, argv))
        return 0;
    return platform::applicationMain(
        argc, argv, { .trace = { .variable = "ZELVANT_LAUNCHER_TRACE", .prefix = "Zelvant trace: " } });
}
