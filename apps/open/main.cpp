#include "OpenTool.h"

// The open tool as a command of its own, for users.
int main(int argc, char** argv) { return openToolMain(argc, argv); }
