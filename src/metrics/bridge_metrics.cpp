#include "metrics/bridge_metrics.h"

#include "platform/platform.h"
#include "wire/version.h"

#include <chrono>
#include <cstring>

namespace {

// An earlier file longer than this is not the bridge's.
enum { RECORD_LIMIT = 256 * 1024 };

const char* const kOutcomeNames[RUN_OUTCOME_COUNT] = {
    "served", "no_driver", "ftm_refused", "port_in_use", "stopped_before_host", "setup_failed",
};

struct KindLabels {
  const char* kind;
  const char* direction;
};
const KindLabels kKindLabels[HCI_KIND_COUNT] = {
    {"command", "to_controller"}, {"event", "from_controller"}, {"acl", "to_controller"},
    {"acl", "from_controller"},   {"sco", "to_controller"},     {"sco", "from_controller"},
};
const char* const kDirectionNames[2] = {"to_controller", "from_controller"};  // by BtsnoopDirection

const char* const kDropNames[DROP_CAUSE_COUNT] = {
    "oversized", "malformed", "short_reply", "unknown_type", "no_frame_end", "not_sent", "no_memory",
};

const char kRuns[] = "tarnexio_runs_total";
const char kPackets[] = "tarnexio_packets_total";
const char kBytes[] = "tarnexio_bytes_total";
const char kDrops[] = "tarnexio_drops_total";
const char kLastEnd[] = "tarnexio_last_run_end_timestamp_seconds";
const char kLastLength[] = "tarnexio_last_run_duration_seconds";
const char kRunStart[] = "tarnexio_run_start_timestamp_seconds";
const char kHostConnected[] = "tarnexio_host_connected";
const char kBuildInfo[] = "tarnexio_build_info";

MetricValue Whole(uint64_t n) { return MetricValue{n, 0}; }

uint64_t NowUnixMs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The index of value among names, or -1.
int IndexOf(const char* const* names, int count, const std::string& value) {
  for (int i = 0; i < count; ++i) {
    if (value == names[i]) return i;
  }
  return -1;
}

// The record with the run so far: the earlier runs' counts and this run's.
BridgeRecord WithCounts(const BridgeRecord& record, const PacketTap& tap) {
  BridgeRecord sum = record;
  for (int k = 0; k < HCI_KIND_COUNT; ++k) sum.packets[k] += tap.counts.packets[k].load(std::memory_order_relaxed);
  for (int d = 0; d < 2; ++d) sum.bytes[d] += tap.counts.bytes[d].load(std::memory_order_relaxed);
  for (int c = 0; c < DROP_CAUSE_COUNT; ++c) sum.drops[c] += tap.drops.byCause[c].load(std::memory_order_relaxed);
  return sum;
}

void Write(BridgeMetrics* metrics, const BridgeRecord& record, bool hostConnected) {
  const std::string text =
      FormatBridgeMetrics(record, metrics->port, metrics->mode, metrics->runStartMs, hostConnected, TarnexioVersion());
  const int error = ReplaceFileInDirectory(metrics->dir.c_str(), metrics->fileName.c_str(), text);
  if (error == 0 || metrics->failureSaid) return;
  metrics->failureSaid = true;  // once: a directory that is gone stays gone
  print_message(L"BTFTM : Metrics: cannot write %ls in %ls: %ls\n", metrics->fileName.c_str(), metrics->dir.c_str(),
                Widen(std::strerror(error)).c_str());
}

}  // namespace

std::string FormatBridgeMetrics(const BridgeRecord& record, int port, const std::string& mode, uint64_t runStartMs,
                                bool hostConnected, const char* version) {
  const std::vector<MetricLabel> bench = {{"port", std::to_string(port)}, {"mode", mode}};
  auto with = [&bench](std::vector<MetricLabel> more) {
    std::vector<MetricLabel> labels = bench;
    labels.insert(labels.end(), more.begin(), more.end());
    return labels;
  };
  std::string text;
  AppendMetricFamily(&text, kRuns, "counter", "Bridge runs by outcome: served a test host, or why start-up failed.");
  for (int o = 0; o < RUN_OUTCOME_COUNT; ++o)
    AppendMetricSample(&text, kRuns, with({{"outcome", kOutcomeNames[o]}}), Whole(record.runs[o]));
  AppendMetricFamily(&text, kPackets, "counter", "HCI packets between test hosts and the controller, by kind and direction.");
  for (int k = 0; k < HCI_KIND_COUNT; ++k) {
    AppendMetricSample(&text, kPackets,
                       with({{"kind", kKindLabels[k].kind}, {"direction", kKindLabels[k].direction}}),
                       Whole(record.packets[k]));
  }
  AppendMetricFamily(&text, kBytes, "counter", "HCI bytes between test hosts and the controller, packet type bytes included.");
  for (int d = 0; d < 2; ++d)
    AppendMetricSample(&text, kBytes, with({{"direction", kDirectionNames[d]}}), Whole(record.bytes[d]));
  AppendMetricFamily(&text, kDrops, "counter", "Packets the bridge dropped, by cause.");
  for (int c = 0; c < DROP_CAUSE_COUNT; ++c)
    AppendMetricSample(&text, kDrops, with({{"cause", kDropNames[c]}}), Whole(record.drops[c]));
  AppendMetricFamily(&text, kLastEnd, "gauge", "When the last finished run ended, in Unix time (0: none yet).");
  AppendMetricSample(&text, kLastEnd, bench, SecondsOfMillis(record.lastRunEndMs));
  AppendMetricFamily(&text, kLastLength, "gauge", "How long the last finished run lasted.");
  AppendMetricSample(&text, kLastLength, bench, SecondsOfMillis(record.lastRunLengthMs));
  AppendMetricFamily(&text, kRunStart, "gauge", "When the current (or just finished) run started, in Unix time.");
  AppendMetricSample(&text, kRunStart, bench, SecondsOfMillis(runStartMs));
  AppendMetricFamily(&text, kHostConnected, "gauge", "1 while a test host is connected to the bridge.");
  AppendMetricSample(&text, kHostConnected, bench, Whole(hostConnected ? 1 : 0));
  AppendMetricFamily(&text, kBuildInfo, "gauge", "The bridge's version, as a label; always 1.");
  AppendMetricSample(&text, kBuildInfo, with({{"version", version}}), Whole(1));
  return text;
}

size_t ReadBridgeRecord(const std::string& text, BridgeRecord* record) {
  std::vector<MetricSample> samples;
  const size_t bad = ParseMetricsText(text.data(), text.size(), &samples);
  if (bad != 0) return bad;
  BridgeRecord read;
  for (const MetricSample& sample : samples) {
    const uint64_t n = sample.value.whole;
    if (sample.name == kRuns) {
      const int o = IndexOf(kOutcomeNames, RUN_OUTCOME_COUNT, MetricLabelValue(sample, "outcome"));
      if (o >= 0) read.runs[o] = n;
    } else if (sample.name == kPackets) {
      const std::string kind = MetricLabelValue(sample, "kind"), direction = MetricLabelValue(sample, "direction");
      for (int k = 0; k < HCI_KIND_COUNT; ++k) {
        if (kind == kKindLabels[k].kind && direction == kKindLabels[k].direction) read.packets[k] = n;
      }
    } else if (sample.name == kBytes) {
      const int d = IndexOf(kDirectionNames, 2, MetricLabelValue(sample, "direction"));
      if (d >= 0) read.bytes[d] = n;
    } else if (sample.name == kDrops) {
      const int c = IndexOf(kDropNames, DROP_CAUSE_COUNT, MetricLabelValue(sample, "cause"));
      if (c >= 0) read.drops[c] = n;
    } else if (sample.name == kLastEnd) {
      read.lastRunEndMs = MillisOf(sample.value);
    } else if (sample.name == kLastLength) {
      read.lastRunLengthMs = MillisOf(sample.value);
    }
  }
  *record = read;
  return 0;
}

BridgeRecord WithRun(const BridgeRecord& record, const PacketTap& tap, RunOutcome outcome, uint64_t runStartMs,
                     uint64_t endMs) {
  BridgeRecord sum = WithCounts(record, tap);
  ++sum.runs[outcome];
  sum.lastRunEndMs = endMs;
  sum.lastRunLengthMs = endMs > runStartMs ? endMs - runStartMs : 0;
  return sum;
}

void StartBridgeMetrics(BridgeMetrics* metrics, int port, const char* mode) {
  metrics->runStartMs = NowUnixMs();
  if (!ReadEnvironmentVariable(L"TARNEXIO_METRICS_DIR", &metrics->dir)) return;
  metrics->port = port & 0xFFFF;
  metrics->mode = mode;
  metrics->fileName = L"tarnexio_" + std::to_wstring(metrics->port) + L".prom";
  std::string text;
  const int error = ReadFileInDirectory(metrics->dir.c_str(), metrics->fileName.c_str(), RECORD_LIMIT, &text);
  if (error == ENOENT) {
    print_message(L"BTFTM : Metrics: no earlier %ls in %ls, counting from zero\n", metrics->fileName.c_str(),
                  metrics->dir.c_str());
  } else if (error != 0) {
    print_message(L"BTFTM : Metrics: cannot read %ls in %ls (%ls), counting from zero\n", metrics->fileName.c_str(),
                  metrics->dir.c_str(), Widen(std::strerror(error)).c_str());
  } else if (const size_t bad = ReadBridgeRecord(text, &metrics->record)) {
    print_message(L"BTFTM : Metrics: %ls in %ls is not a metrics file (line %u), counting from zero\n",
                  metrics->fileName.c_str(), metrics->dir.c_str(), unsigned(bad));
  }
}

void WriteHostConnected(BridgeMetrics* metrics, const PacketTap* tap) {
  if (metrics->dir.empty() || metrics->ended) return;
  Write(metrics, WithCounts(metrics->record, *tap), true);
}

void WriteRunEnd(BridgeMetrics* metrics, const PacketTap* tap, RunOutcome outcome) {
  if (metrics->dir.empty() || metrics->ended) return;
  metrics->ended = true;
  metrics->record = WithRun(metrics->record, *tap, outcome, metrics->runStartMs, NowUnixMs());
  Write(metrics, metrics->record, false);
}
