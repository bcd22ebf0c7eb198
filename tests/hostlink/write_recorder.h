// A DriverWriter that records every write and SCO interface selection, in order, from
// whichever thread makes them.
#pragma once

#include "driver/driver.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct RecordedWrite {
  char kind;    // 'C' command, 'A' ACL data, 'S' SCO data, 'I' interface selection
  Bytes bytes;  // the bytes written, or the selected id alone
  bool operator==(const RecordedWrite& other) const { return kind == other.kind && bytes == other.bytes; }
};

// Starts empty on construction; only one recorder is live at a time.
class WriteRecorder {
 public:
  WriteRecorder();
  const DriverWriter& writer() const;
  std::vector<RecordedWrite> writes() const;
  size_t count() const;
};

// Waits at most timeoutMs for check() to hold; returns whether it did.
template <typename Check>
bool WaitUntil(Check check, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!check()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}
