#include "btvirt_watch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>

namespace tarnexio_test {

std::string BtvirtCrashLine(int sig) {
  const char* name = strsignal(sig);
  return "btvirt crashed (signal " + std::to_string(sig) + ", " + (name != nullptr ? name : "unknown") +
         "): the emulated controller died, a fault of the emulator and not of the programs under test; what else "
         "this test reports follows from it";
}

std::string BtvirtCrash(ChildProcess& btvirt) {
  if (btvirt.Running()) return "";
  // Reaped already: the status comes back at once.
  const int status = btvirt.WaitStatus(Millis(0));
  return status != -1 && WIFSIGNALED(status) ? BtvirtCrashLine(WTERMSIG(status)) : "";
}

std::string BtvirtCrashFromShellStatus(int status) {
  return status > 128 && status - 128 != SIGTERM ? BtvirtCrashLine(status - 128) : "";
}

BtvirtWatch::~BtvirtWatch() {
  const std::string crash = BtvirtCrash(btvirt_);
  if (!crash.empty()) ADD_FAILURE() << crash;
}

}  // namespace tarnexio_test
