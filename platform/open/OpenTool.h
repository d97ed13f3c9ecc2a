#pragma once

namespace platform {

// open -a NAME DOCUMENT...: starts NAME.app's executable with the documents'
// absolute paths, in a session of its own, and returns once it has said on a
// status pipe that it started their programs, without waiting for them. Exit
// status 0 then, 1 when it cannot be started or fails first (the reason on
// standard error), 2 for bad usage; --help and --version print and exit 0.
int openToolMain(int argc, char** argv);

}
