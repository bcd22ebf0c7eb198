// ftmd's metrics file: rewritten on the event loop's timer while it serves and at exit,
// with the connections it served and refused; an empty --metrics-dir is none.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "client.h"
#include "metrics.h"
#include "metrics/metrics_text.h"
#include "wait_until.h"

using namespace ftmd;
using namespace ftmd_test;

namespace {

// The samples of ftmd's file, by name and label text; empty when it is missing or not whole.
std::map<std::string, uint64_t> FileSamples(const std::string& dir) {
  std::ifstream in(dir + "/tarnexio_ftmd.prom", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string t = text.str();
  std::vector<MetricSample> samples;
  std::map<std::string, uint64_t> values;
  if (ParseMetricsText(t.data(), t.size(), &samples) != 0) return values;
  for (const MetricSample& s : samples) {
    std::string key = s.name;
    for (const MetricLabel& l : s.labels) key += " " + l.name + "=" + l.value;
    values[key] = s.value.whole;
  }
  return values;
}

TEST(FtmdMetrics, ConnectionsAndWrongLaneTokensAreCountedWhileServingAndAtExit) {
  TempDir dir, metrics;
  FtmdProcess p(dir.path, {"--metrics-dir", metrics.path});
  ASSERT_TRUE(p.ready()) << p.output();
  auto at_start = FileSamples(metrics.path);  // written before the ready line
  EXPECT_EQ(at_start["tarnexio_ftmd_device_connections_opened_total"], 0u);
  EXPECT_EQ(at_start["tarnexio_ftmd_controller_connected"], 1u) << "the simulated controller is always there";
  EXPECT_EQ(at_start.count("tarnexio_ftmd_device_connections_refused_total reason=untrusted"), 1u);

  const std::string path = deviceSocket(dir.path, 1);
  DevClient device(path);
  ASSERT_TRUE(device.connected());
  {
    DevClient intruder(path);  // a wrong token: no lane
    LaneToken wrong = device.offer();
    wrong.bytes[0] ^= 0xFF;
    intruder.sendRaw(BuildDevchanAttach(wrong));
    EXPECT_FALSE(intruder.recv(2000).kind == kMsgAttached);
  }
  // The file is rewritten every few seconds while ftmd serves.
  EXPECT_TRUE(WaitUntil(
      [&] {
        auto now = FileSamples(metrics.path);
        return now["tarnexio_ftmd_device_connections_opened_total"] == 2 &&
               now["tarnexio_ftmd_lane_attach_failures_total"] == 1;
      },
      3 * int(kMetricsPeriod.count())))
      << "opened " << FileSamples(metrics.path)["tarnexio_ftmd_device_connections_opened_total"];

  DevClient third(path);
  ASSERT_TRUE(third.connected());
  EXPECT_TRUE(third.call(1, IOCTL_BTFTM_READ_EVENT, 262).got);  // a reply: ftmd has accepted it
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 0);
  EXPECT_EQ(FileSamples(metrics.path)["tarnexio_ftmd_device_connections_opened_total"], 3u) << "written at exit";
}

TEST(FtmdMetrics, AnEmptyDirectoryIsNoneAndAMissingOneIsRefused) {
  TempDir dir;
  FtmdProcess none(dir.path, {"--metrics-dir", ""});
  EXPECT_TRUE(none.ready()) << none.output();
  // Last on the command line, so that no option the tests add comes after it.
  tarnexio_test::ChildProcess missing({FTMD_BINARY, "--dir", dir.path, "--metrics-dir"});
  EXPECT_EQ(missing.WaitExit(), 2);
  EXPECT_NE(missing.Output().find("--metrics-dir takes a directory (empty: none)"), std::string::npos)
      << missing.Output();
}

TEST(FtmdMetrics, ADirectoryItCannotWriteCostsOneLine) {
  TempDir dir, metrics;
  const std::string gone = metrics.path + "/gone";
  FtmdProcess p(dir.path, {"--metrics-dir", gone});
  ASSERT_TRUE(p.ready()) << p.output();
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 0);
  const std::string out = p.output();
  const std::string line = "cannot write the metrics file tarnexio_ftmd.prom in " + gone + ": ";
  EXPECT_NE(out.find(line), std::string::npos) << out;
  EXPECT_EQ(out.find(line), out.rfind(line)) << "once: " << out;
}

}  // namespace
