#pragma once

// The name this tool goes by, and the one the launcher's own executable
// answers to when it is re-run as the open tool.
inline constexpr const char* openToolName = "zelvant-open";
// Its colon-separated list replaces the default application folders.
inline constexpr const char* applicationPathVariable = "ZELVANT_APPLICATION_PATH";

// open -a NAME DOCUMENT...: starts NAME.app's executable with the documents'
// absolute paths, in a session of its own, and returns without waiting for
// it. Exit status 0 once it has started, 1 when it cannot be (the reason on
// standard error), 2 for bad usage. Applications are searched for as the
// environment says (applicationPathVariable, HOME).
int openToolMain(int argc, char** argv);
