// Whether a thread sits blocked in the system: lets a test act once another thread (of
// this process or of a child) has reached the call that waits, instead of sleeping and
// hoping it has.
#pragma once

#include <sys/types.h>

namespace tarnexio_test {

// The calling thread's id, as the system's process tables name it.
pid_t CurrentThreadId();

// True when thread tid of process pid is asleep in the system; when syscallNumber is not
// negative, asleep in that system call.
bool ThreadIsBlocked(pid_t pid, pid_t tid, long syscallNumber = -1);

// The number of threads this process has now.
size_t ThreadCount();

// Waits at most timeoutMs until thread tid of this process is blocked.
bool WaitThreadBlocked(pid_t tid, int timeoutMs = 5000);

// Waits at most timeoutMs until some thread of process pid is blocked in syscallNumber.
bool WaitProcessBlockedIn(pid_t pid, long syscallNumber, int timeoutMs = 5000);

}  // namespace tarnexio_test
