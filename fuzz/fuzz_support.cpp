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

uint16_t ReferenceFcs(const uint8_t* data, size_t n) {
  uint16_t fcs = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    fcs ^= data[i];
    for (int b = 0; b < 8; ++b) fcs = (fcs & 1) ? (uint16_t)((fcs >> 1) ^ 0x8408) : (uint16_t)(fcs >> 1);
  }
  return fcs;
}
