#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

void SilenceConsole() {
  static bool done = false;
  if (done) return;
  done = true;
  fflush(stdout);
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, 1);
    close(null);
  }
}

void FuzzCheck(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}
