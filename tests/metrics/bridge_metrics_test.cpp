// The bridge's metrics file: what it holds, how a run adds to the record read back from
// it, and how the file is kept in its directory.
#include "metrics/bridge_metrics.h"

#include "child_process.h"
#include "console_capture.h"
#include "platform/posix/file_replace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tarnexio_test::TempDir;

// Every name in dir, hidden ones (the temporary files) included, sorted.
std::vector<std::string> EveryNameIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void WriteAll(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A record whose every figure differs from every other, so that a mixed-up field shows.
BridgeRecord DistinctRecord() {
  BridgeRecord r;
  uint64_t next = 1;
  for (uint64_t& n : r.runs) n = next++;
  for (uint64_t& n : r.packets) n = next++;
  for (uint64_t& n : r.bytes) n = next++;
  for (uint64_t& n : r.drops) n = next++;
  r.lastRunEndMs = 1700000000123;
  r.lastRunLengthMs = 61005;
  return r;
}

bool SameRecord(const BridgeRecord& a, const BridgeRecord& b) {
  return std::equal(std::begin(a.runs), std::end(a.runs), std::begin(b.runs)) &&
         std::equal(std::begin(a.packets), std::end(a.packets), std::begin(b.packets)) &&
         std::equal(std::begin(a.bytes), std::end(a.bytes), std::begin(b.bytes)) &&
         std::equal(std::begin(a.drops), std::end(a.drops), std::begin(b.drops)) &&
         a.lastRunEndMs == b.lastRunEndMs && a.lastRunLengthMs == b.lastRunLengthMs;
}

TEST(BridgeMetrics, TheFileReadsBackAsTheRecordItWasWrittenFrom) {
  const BridgeRecord written = DistinctRecord();
  const std::string text = FormatBridgeMetrics(written, 2390, "diag", 1700000100000, true, "1.2.3");
  BridgeRecord read;
  ASSERT_EQ(ReadBridgeRecord(text, &read), 0u) << text;
  EXPECT_TRUE(SameRecord(read, written)) << text;
  for (const char* line : {"tarnexio_runs_total{port=\"2390\",mode=\"diag\",outcome=\"port_in_use\"} 4\n",
                           "tarnexio_packets_total{port=\"2390\",mode=\"diag\",kind=\"command\",direction=\"to_controller\"} 7\n",
                           "tarnexio_host_connected{port=\"2390\",mode=\"diag\"} 1\n",
                           "tarnexio_run_start_timestamp_seconds{port=\"2390\",mode=\"diag\"} 1700000100\n",
                           "tarnexio_last_run_duration_seconds{port=\"2390\",mode=\"diag\"} 61.005\n",
                           "tarnexio_build_info{port=\"2390\",mode=\"diag\",version=\"1.2.3\"} 1\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
}

TEST(BridgeMetrics, ARunAddsItsCountsOutcomeAndEnd) {
  PacketTap tap;
  tap.counts.packets[HCI_KIND_COMMANDS] = 5;
  tap.counts.packets[HCI_KIND_SCO_FROM_CONTROLLER] = 2;
  tap.counts.bytes[BTSNOOP_FROM_CONTROLLER] = 100;
  tap.drops.byCause[DROP_NOT_SENT] = 3;
  const BridgeRecord before = DistinctRecord();
  const BridgeRecord after = WithRun(before, tap, RUN_SERVED, 1000, 4500);
  EXPECT_EQ(after.runs[RUN_SERVED], before.runs[RUN_SERVED] + 1);
  EXPECT_EQ(after.runs[RUN_NO_DRIVER], before.runs[RUN_NO_DRIVER]);
  EXPECT_EQ(after.packets[HCI_KIND_COMMANDS], before.packets[HCI_KIND_COMMANDS] + 5);
  EXPECT_EQ(after.packets[HCI_KIND_SCO_FROM_CONTROLLER], before.packets[HCI_KIND_SCO_FROM_CONTROLLER] + 2);
  EXPECT_EQ(after.bytes[BTSNOOP_FROM_CONTROLLER], before.bytes[BTSNOOP_FROM_CONTROLLER] + 100);
  EXPECT_EQ(after.drops[DROP_NOT_SENT], before.drops[DROP_NOT_SENT] + 3);
  EXPECT_EQ(after.lastRunEndMs, 4500u);
  EXPECT_EQ(after.lastRunLengthMs, 3500u);
  // A wall clock set back during the run gives no huge length.
  EXPECT_EQ(WithRun(before, tap, RUN_SERVED, 5000, 4000).lastRunLengthMs, 0u);
}

TEST(BridgeMetrics, AFileNotItsOwnLeavesTheRecordAlone) {
  BridgeRecord record = DistinctRecord();
  const std::string good = FormatBridgeMetrics(record, 1, "raw", 0, false, "v");
  // Cut short by its last line feed: its last line is refused.
  EXPECT_EQ(ReadBridgeRecord(good.substr(0, good.size() - 1), &record), size_t(std::count(good.begin(), good.end(), '\n')));
  EXPECT_TRUE(SameRecord(record, DistinctRecord()));
  // Samples of other names or labels are passed over; what is missing counts from zero.
  ASSERT_EQ(ReadBridgeRecord("other_total 9\ntarnexio_runs_total{outcome=\"later\"} 9\n"
                             "tarnexio_runs_total{outcome=\"served\"} 4\n",
                             &record),
            0u);
  EXPECT_TRUE(SameRecord(record, [] {
    BridgeRecord r;
    r.runs[RUN_SERVED] = 4;
    return r;
  }()));
}

// A run of the bridge as startup.cpp makes it, in a metrics directory of the test's own.
struct MetricsRun {
  explicit MetricsRun(const std::string& dir, int port = 2390) {
    setenv("TARNEXIO_METRICS_DIR", dir.c_str(), 1);
    StartBridgeMetrics(&metrics, port, "raw");
    console = capture.Finish();
    unsetenv("TARNEXIO_METRICS_DIR");
  }
  ConsoleCapture capture;
  BridgeMetrics metrics;
  PacketTap tap;
  std::string console;
};

TEST(BridgeMetrics, RunsCarryTheRecordOnInTheirPortsFile) {
  TempDir dir;
  {
    MetricsRun first(dir.path, 2390 + 0x10000);  // the low 16 bits name the port
    EXPECT_EQ(first.console,
              "BTFTM : Metrics: no earlier tarnexio_2390.prom in " + dir.path + ", counting from zero\n");
    first.tap.counts.packets[HCI_KIND_COMMANDS] = 2;
    WriteHostConnected(&first.metrics, &first.tap);
    EXPECT_NE(tarnexio_test::FileContents(dir.path + "/tarnexio_2390.prom").find("tarnexio_host_connected{port=\"2390\",mode=\"raw\"} 1\n"),
              std::string::npos);
    WriteRunEnd(&first.metrics, &first.tap, RUN_SERVED);
    WriteRunEnd(&first.metrics, &first.tap, RUN_SETUP_FAILED);  // a run ends once
  }
  {
    MetricsRun other(dir.path, 2391);  // another port has a file of its own
    WriteRunEnd(&other.metrics, &other.tap, RUN_PORT_IN_USE);
  }
  MetricsRun second(dir.path);
  EXPECT_EQ(second.console, "");
  EXPECT_EQ(second.metrics.record.runs[RUN_SERVED], 1u);
  EXPECT_EQ(second.metrics.record.runs[RUN_SETUP_FAILED], 0u);
  EXPECT_EQ(second.metrics.record.runs[RUN_PORT_IN_USE], 0u);
  EXPECT_EQ(second.metrics.record.packets[HCI_KIND_COMMANDS], 2u);
  second.tap.counts.packets[HCI_KIND_COMMANDS] = 3;
  WriteRunEnd(&second.metrics, &second.tap, RUN_NO_DRIVER);
  const std::string text = tarnexio_test::FileContents(dir.path + "/tarnexio_2390.prom");
  for (const char* line : {"outcome=\"served\"} 1\n", "outcome=\"no_driver\"} 1\n",
                           "kind=\"command\",direction=\"to_controller\"} 5\n", "tarnexio_host_connected{port=\"2390\",mode=\"raw\"} 0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
  EXPECT_EQ(EveryNameIn(dir.path).size(), 2u) << "no temporary file is left";
}

TEST(BridgeMetrics, AnUnreadableFileIsSaidOnceAndTheCountsStartFromZero) {
  TempDir dir;
  const std::string file = dir.path + "/tarnexio_2390.prom";
  WriteAll(file, "tarnexio_runs_total{outcome=\"served\"} 12\ngarbage\n");
  MetricsRun garbled(dir.path);
  EXPECT_EQ(garbled.console, "BTFTM : Metrics: tarnexio_2390.prom in " + dir.path +
                                 " is not a metrics file (line 2), counting from zero\n");
  EXPECT_EQ(garbled.metrics.record.runs[RUN_SERVED], 0u);
  WriteRunEnd(&garbled.metrics, &garbled.tap, RUN_SERVED);
  EXPECT_NE(tarnexio_test::FileContents(file).find("outcome=\"served\"} 1\n"), std::string::npos) << "replaced by a good one";

  unlink(file.c_str());
  ASSERT_EQ(symlink("/etc/passwd", file.c_str()), 0);  // not followed
  MetricsRun linked(dir.path);
  EXPECT_NE(linked.console.find("cannot read tarnexio_2390.prom in " + dir.path + " ("), std::string::npos)
      << linked.console;
}

TEST(BridgeMetrics, WithoutTheSettingNothingIsWrittenOrSaid) {
  unsetenv("TARNEXIO_METRICS_DIR");
  ConsoleCapture capture;
  BridgeMetrics metrics;
  PacketTap tap;
  StartBridgeMetrics(&metrics, 2390, "raw");
  WriteHostConnected(&metrics, &tap);
  WriteRunEnd(&metrics, &tap, RUN_SERVED);
  EXPECT_EQ(capture.Finish(), "");
}

TEST(BridgeMetrics, AWriteThatFailsIsSaidOnce) {
  TempDir dir;
  MetricsRun run(dir.path + "/gone");
  ConsoleCapture capture;
  WriteHostConnected(&run.metrics, &run.tap);
  WriteRunEnd(&run.metrics, &run.tap, RUN_SERVED);
  const std::string console = capture.Finish();
  EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 1) << console;
  EXPECT_EQ(console.find("BTFTM : Metrics: cannot write tarnexio_2390.prom in " + dir.path + "/gone: "), 0u) << console;
}

TEST(FileReplace, TheNewFileIsWholeReadableByCollectorsAndBounded) {
  TempDir dir;
  const mode_t saved = umask(077);
  EXPECT_EQ(tarnexio_posix::ReplaceFileIn(dir.path, "a.prom", "old\n"), 0);
  EXPECT_EQ(tarnexio_posix::ReplaceFileIn(dir.path, "a.prom", "new\n"), 0);
  umask(saved);
  struct stat st;
  ASSERT_EQ(stat((dir.path + "/a.prom").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  std::string content;
  EXPECT_EQ(tarnexio_posix::ReadFileIn(dir.path, "a.prom", 4, &content), 0);
  EXPECT_EQ(content, "new\n");
  EXPECT_EQ(tarnexio_posix::ReadFileIn(dir.path, "a.prom", 3, &content), EFBIG);
  EXPECT_EQ(content, "");
  EXPECT_EQ(tarnexio_posix::ReadFileIn(dir.path, "none.prom", 100, &content), ENOENT);
  EXPECT_EQ(tarnexio_posix::ReadFileIn(dir.path, ".", 100, &content), EINVAL);  // not a regular file
  EXPECT_EQ(tarnexio_posix::ReplaceFileIn(dir.path + "/none", "a.prom", "x\n"), ENOENT);
  EXPECT_EQ(EveryNameIn(dir.path), std::vector<std::string>{"a.prom"});
}

}  // namespace
