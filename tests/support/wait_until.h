// Waiting on a condition instead of sleeping: polls check() until it holds or the time
// runs out.
#pragma once

#include <chrono>
#include <thread>

#include "test_time.h"

// Waits at most timeoutMs (times the tests' time scale) for check() to hold; returns
// whether it did (checked once more at the deadline).
template <typename Check>
bool WaitUntil(Check check, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + tarnexio_test::Scaled(std::chrono::milliseconds(timeoutMs));
  while (!check()) {
    if (std::chrono::steady_clock::now() >= deadline) return check();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
