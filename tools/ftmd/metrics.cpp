#include "metrics.h"

#include <cstring>

#include "metrics/metrics_text.h"
#include "platform/posix/file_replace.h"
#include "wire/version.h"

namespace ftmd {

namespace {

const char* const kRefusalNames[REFUSAL_REASON_COUNT] = {"in_use", "not_connected", "untrusted", "limits"};

MetricValue Whole(uint64_t n) { return MetricValue{n, 0}; }

// One family of one unlabelled sample.
void AppendSingle(std::string* text, const char* name, const char* type, const char* help, MetricValue value) {
  AppendMetricFamily(text, name, type, help);
  AppendMetricSample(text, name, {}, value);
}

}  // namespace

std::string FormatFtmdMetrics(const FtmdFigures& f, const char* version) {
  std::string text;
  AppendSingle(&text, "tarnexio_ftmd_controller_connected", "gauge",
               "1 while the controller is connected (always with the simulated one).",
               Whole(f.controllerConnected ? 1 : 0));
  AppendSingle(&text, "tarnexio_ftmd_controller_losses_total", "counter", "Times the controller's transport was lost.",
               Whole(f.losses));
  AppendSingle(&text, "tarnexio_ftmd_controller_reopen_attempts_total", "counter",
               "Attempts to open the controller's transport again after a loss.", Whole(f.reopenAttempts));
  AppendSingle(&text, "tarnexio_ftmd_device_connections_opened_total", "counter",
               "Device connections served (lanes included).", Whole(f.connectionsOpened));
  const char* const refused = "tarnexio_ftmd_device_connections_refused_total";
  AppendMetricFamily(&text, refused, "counter", "Device connections refused, by reason.");
  for (int r = 0; r < REFUSAL_REASON_COUNT; ++r)
    AppendMetricSample(&text, refused, {{"reason", kRefusalNames[r]}}, Whole(f.refused[r]));
  AppendSingle(&text, "tarnexio_ftmd_lane_attach_failures_total", "counter",
               "Lanes refused: a wrong or foreign lane token.", Whole(f.laneAttachFailures));
  const char* const bytes = "tarnexio_ftmd_controller_bytes_total";
  AppendMetricFamily(&text, bytes, "counter", "Bytes written to and read from the real controller's transport.");
  AppendMetricSample(&text, bytes, {{"direction", "to_controller"}}, Whole(f.bytesToController));
  AppendMetricSample(&text, bytes, {{"direction", "from_controller"}}, Whole(f.bytesFromController));
  AppendSingle(&text, "tarnexio_ftmd_start_timestamp_seconds", "gauge", "When ftmd started, in Unix time.",
               SecondsOfMillis(f.startMs));
  AppendMetricFamily(&text, "tarnexio_ftmd_build_info", "gauge", "ftmd's version, as a label; always 1.");
  AppendMetricSample(&text, "tarnexio_ftmd_build_info", {{"version", version}}, Whole(1));
  return text;
}

std::string WriteFtmdMetrics(const std::string& dir, const FtmdFigures& figures) {
  const int error = tarnexio_posix::ReplaceFileIn(dir, kMetricsFileName, FormatFtmdMetrics(figures, TarnexioVersion()));
  return error == 0 ? std::string() : std::string(kMetricsFileName) + " in " + dir + ": " + std::strerror(error);
}

}  // namespace ftmd
