#pragma once

#include <string>

// The name this tool goes by, and the one the launcher's own executable
// answers to when it is re-run as the open tool.
inline constexpr const char* openToolName = "zelvant-open";
// Its colon-separated list replaces the default application folders.
inline constexpr const char* applicationPathVariable = "ZELVANT_APPLICATION_PATH";

// The program that stands in for /usr/bin/open in the launcher's hand-off,
// never the system's program of that name (on Debian, xdg-open):
// ZELVANT_OPEN_TOOL when it names one, else this very executable re-run as
// openToolName, and the argv[0] it gets.
struct OpenToolExecutable {
    std::string path;
    std::string argument0;
};
OpenToolExecutable openToolExecutable();

// open -a NAME DOCUMENT...: starts NAME.app's executable with the documents'
// absolute paths, in a session of its own, and returns once it has said on a
// status pipe that it started their programs, without waiting for them. Exit
// status 0 then, 1 when it cannot be started or fails first (the reason on
// standard error), 2 for bad usage; --help and --version print and exit 0.
// Applications are searched for as the
// environment says (applicationPathVariable, HOME).
int openToolMain(int argc, char** argv);
