// ftmd's metrics for Prometheus's textfile collector: the file tarnexio_ftmd.prom in the
// --metrics-dir, rewritten whole every few seconds and at exit.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ftmd {

// Why a device connection was refused.
enum RefusalReason {
  REFUSED_IN_USE,         // another client holds the real controller
  REFUSED_NOT_CONNECTED,  // the real controller's transport is down
  REFUSED_UNTRUSTED,      // a user ftmd does not serve
  REFUSED_LIMITS,         // too many connections of the user, or no descriptor left
  REFUSAL_REASON_COUNT
};

struct FtmdFigures {
  bool controllerConnected = true;
  uint64_t reopenAttempts = 0;
  uint64_t losses = 0;
  uint64_t connectionsOpened = 0;
  uint64_t refused[REFUSAL_REASON_COUNT] = {};
  uint64_t laneAttachFailures = 0;
  uint64_t bytesToController = 0;
  uint64_t bytesFromController = 0;
  uint64_t startMs = 0;  // Unix time ftmd started
};

constexpr std::chrono::milliseconds kMetricsPeriod{5000};
constexpr const char* kMetricsFileName = "tarnexio_ftmd.prom";

// The file's text.
std::string FormatFtmdMetrics(const FtmdFigures& figures, const char* version);
// Replaces the file in dir; "" or why it could not be written.
std::string WriteFtmdMetrics(const std::string& dir, const FtmdFigures& figures);

}  // namespace ftmd
