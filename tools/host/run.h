// Runs the steps over one connection to the bridge and prints what comes back.
#pragma once

#include "steps.h"

namespace host {

enum ExitStatus { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_LINK = 3 };

// Connects, runs every step in order, and returns the exit status.
int RunSteps(const Options& options);

// Writes one whole line (a newline is added) to standard output, or to standard error.
void PrintLine(const std::string& line, bool toError = false);

// Round-trip times in microseconds, nearest-rank percentiles: {min, median, p99, max}.
struct PingSummary {
  long long min = 0, median = 0, p99 = 0, max = 0;
};
PingSummary SummarisePing(std::vector<long long> micros);

}  // namespace host
