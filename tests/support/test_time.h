// One setting for every wait of the tests: TARNEXIO_TEST_TIME_SCALE (a positive number,
// 1 when unset) multiplies each timeout, so that a slower build (the sanitizers, Wine) or
// a loaded machine gets more time without each test being edited. The helpers that wait
// (ChildProcess, WaitUntil, the end-to-end harness, ftmd's test client) scale the
// timeouts they are given; a test that waits on its own routes its timeout through Scaled().
// Header only, so that every build of the tests (the Windows lane's too) has it.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tarnexio_test {

using Millis = std::chrono::milliseconds;

// Reads a factor as TimeScale() does: the number, or 1 with why it is not taken in *why
// (nullptr when it is; unset or empty text is 1).
inline double ParseTimeScale(const char* text, const char** why) {
  *why = nullptr;
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const double scale = std::strtod(text, &end);
  if (end == text || *end != '\0') {
    *why = "not a number";
  } else if (!std::isfinite(scale) || scale <= 0) {
    *why = "not a positive number";
  } else if (scale > 1000) {
    *why = "more than 1000";
  }
  return *why == nullptr ? scale : 1;
}

// The factor read from TARNEXIO_TEST_TIME_SCALE once; an invalid value counts as 1 and is
// reported on stderr.
inline double TimeScale() {
  static const double scale = [] {
    const char* text = std::getenv("TARNEXIO_TEST_TIME_SCALE");
    const char* why = nullptr;
    const double parsed = ParseTimeScale(text, &why);
    if (why != nullptr)
      std::fprintf(stderr, "TARNEXIO_TEST_TIME_SCALE=\"%s\" is %s; the tests wait with a scale of 1\n", text, why);
    return parsed;
  }();
  return scale;
}

// timeout times TimeScale(), rounded up; a timeout of zero or less stays as it is.
inline Millis Scaled(Millis timeout) {
  if (timeout.count() <= 0) return timeout;
  const double scaled = std::ceil((double)timeout.count() * TimeScale());
  const double most = (double)std::numeric_limits<int>::max();
  return Millis((Millis::rep)(scaled < most ? scaled : most));
}

// The same for a timeout in milliseconds as poll() and the older helpers take it.
inline int ScaledMs(int timeoutMs) { return (int)Scaled(Millis(timeoutMs)).count(); }

}  // namespace tarnexio_test
