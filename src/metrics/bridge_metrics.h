// The bridge's metrics for Prometheus: with TARNEXIO_METRICS_DIR set, one file per port
// (tarnexio_PORT.prom) that node_exporter's or windows_exporter's textfile collector
// serves. One bridge process is one run: the file is the bench's record, so the counts of
// earlier runs are read back from it and carried on. It is written when the test host
// connects and when the run ends, from the counts the run keeps anyway; the packet path
// does nothing for it.
#pragma once

#include "capture/hci_counts.h"
#include "core/drop_counts.h"
#include "core/packet_tap.h"
#include "metrics/metrics_text.h"

#include <cstdint>
#include <string>

// How a run ended: served a test host, or why start-up failed.
enum RunOutcome {
  RUN_SERVED,
  RUN_NO_DRIVER,            // no driver device could be opened
  RUN_FTM_REFUSED,          // the driver refused FTM mode, or the controller was in use
  RUN_PORT_IN_USE,          // the TCP port could not be bound
  RUN_STOPPED_BEFORE_HOST,  // stopped (console, driver gone) before a test host came
  RUN_SETUP_FAILED,         // a thread or the TCP server could not be set up
  RUN_OUTCOME_COUNT
};

// What the file holds that spans runs.
struct BridgeRecord {
  uint64_t runs[RUN_OUTCOME_COUNT] = {};
  uint64_t packets[HCI_KIND_COUNT] = {};
  uint64_t bytes[2] = {};  // by BtsnoopDirection
  uint64_t drops[DROP_CAUSE_COUNT] = {};
  uint64_t lastRunEndMs = 0;     // Unix time; 0 before the first run ended
  uint64_t lastRunLengthMs = 0;
};

struct BridgeMetrics {
  std::wstring dir;  // empty: no metrics
  std::wstring fileName;
  int port = 0;
  std::string mode;
  BridgeRecord record;  // the earlier runs'
  uint64_t runStartMs = 0;
  bool ended = false;        // the run's outcome is written (it is counted once)
  bool failureSaid = false;  // a failed write has been reported
};

// The file text for record, of a run on port in mode that started at runStartMs.
std::string FormatBridgeMetrics(const BridgeRecord& record, int port, const std::string& mode, uint64_t runStartMs,
                                bool hostConnected, const char* version);
// Reads a file's text back into *record. Returns 0, or the number of the first line that
// cannot be read (then *record is left alone).
size_t ReadBridgeRecord(const std::string& text, BridgeRecord* record);
// record with one run's counts added, its outcome counted and its end noted.
BridgeRecord WithRun(const BridgeRecord& record, const PacketTap& tap, RunOutcome outcome, uint64_t runStartMs,
                     uint64_t endMs);

// Starts the metrics of a run on port (its low 16 bits) in mode, when TARNEXIO_METRICS_DIR
// names a directory; reads the earlier record, and says on the console when there is none
// or it cannot be read (the counts then start from zero).
void StartBridgeMetrics(BridgeMetrics* metrics, int port, const char* mode);
// The test host connected: the file is written with the host connected.
void WriteHostConnected(BridgeMetrics* metrics, const PacketTap* tap);
// The run ended with outcome: the file is written with the run counted. Once per run.
void WriteRunEnd(BridgeMetrics* metrics, const PacketTap* tap, RunOutcome outcome);
