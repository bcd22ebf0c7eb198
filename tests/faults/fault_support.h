// Shared pieces of the fault, soak and hygiene tests beyond the end-to-end harness: the
// resource figures of a process and the counts that longer runs by hand raise.
#pragma once

#include "harness.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace faults {

// The runs, packet builders and receivers of the end-to-end harness.
using namespace e2e;

// Resource figures of a process from /proc; -1 where unreadable.
struct ProcFigures {
  long rssKb = -1;
  long threads = -1;
  long fds = -1;
};
ProcFigures Figures(pid_t pid);

// True when this test binary (and so the binaries under test) carries a sanitizer, whose
// shadow memory and quarantine make resident memory a poor measure.
bool SanitizerBuild();
// The allowed growth of resident memory between two samples of a steady process.
long RssSlackKb();

// A count from the environment (for longer runs by hand), or the default.
int EnvCount(const char* name, int fallback);

}  // namespace faults
