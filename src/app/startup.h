// The bridge's start-up: command line, context, driver, FTM mode, reader threads, host link.
#pragma once

#include <string>

// Parses a port argument as a decimal integer: leading white space, an optional sign,
// then digits up to the first other character; no digits gives 0, overflow saturates.
int ParsePortArgument(const char* text);

// Why a command line is not "-p port -m mode", for the hint after the usage: no
// arguments, swapped ones, a missing value, an extra or unknown argument.
std::string WrongArgumentsReason(int argc, const char* const* argv);

// Runs the bridge with main's arguments and returns main's exit code (0, 1 or -1).
int RunBridge(int argc, char** argv);
