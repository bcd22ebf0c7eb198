// The load generator's plumbing beside the test host it drives: CPU and memory figures of
// a process from /proc, and free ports.
#pragma once

#include <cstdint>

namespace loadgen {

// Peak resident set size (VmHWM) of a process in KiB, or -1.
long long PeakResidentKiB(int pid);
// CPU time of all live threads of a process in nanoseconds (their schedstat), or -1.
long long CpuNanoseconds(int pid);
// Voluntary plus involuntary context switches of all live threads of a process, or -1.
long long ContextSwitches(int pid);

// A free TCP port on 127.0.0.1 (bound once and released), or -1.
int FreePort();

}  // namespace loadgen
