#pragma once

namespace platform {

// open -a NAME DOCUMENT...: starts NAME.app's executable with the documents'
// absolute paths, in a session of its own, and returns without waiting for
// it. Exit status 0 once it has started, 1 when it cannot be (the reason on
// standard error), 2 for bad usage.
int openToolMain(int argc, char** argv);

}
