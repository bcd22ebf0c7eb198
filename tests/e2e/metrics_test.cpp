// The metrics files of the bridge and ftmd as a lab reads them: checked by promtool,
// served by a real node_exporter's textfile collector, scraped and queried by a real
// Prometheus; failed starts counted under their reasons; and a reader that never sees
// half a file.
#include "harness.h"
#include "http_get.h"
#include "metrics/metrics_text.h"
#include "wait_until.h"

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace e2e;

namespace {

std::string BridgeFile(const std::string& dir, int port) { return dir + "/tarnexio_" + std::to_string(port) + ".prom"; }

// The runs of outcome in a bridge's file, or -1 when the file or the sample is not there.
long long RunsIn(const std::string& file, const std::string& outcome) {
  const std::string text = tarnexio_test::FileContents(file);
  std::vector<MetricSample> samples;
  if (ParseMetricsText(text.data(), text.size(), &samples) != 0) return -1;
  for (const MetricSample& s : samples) {
    if (s.name == "tarnexio_runs_total" && MetricLabelValue(s, "outcome") == outcome) return (long long)s.value.whole;
  }
  return -1;
}

// promtool's verdict on a file: "" when it passes, else what it said.
std::string PromtoolFinds(const std::string& file) {
  Child promtool({"sh", "-c", "promtool check metrics < \"$0\" 2>&1", file});
  const int code = promtool.WaitExit(Millis(30000));
  return code == 0 ? "" : "exit " + std::to_string(code) + ": " + promtool.Output();
}

// A bridge run to its end: the exit code and what it printed.
struct Ended {
  int code;
  std::string out;
};

Ended RunBridgeToEnd(const std::string& deviceDir, int port, const std::string& metricsDir) {
  Child bridge({BridgeBinary(), "-p", std::to_string(port), "-m", "raw"},
               {{"TARNEXIO_DEVICE_DIR", deviceDir}, {"TARNEXIO_METRICS_DIR", metricsDir}});
  const int code = bridge.WaitExit(Millis(15000));
  return {code, bridge.Output()};
}

// One test host through a bridge on port: it sends commands HCI_Reset commands, each
// answered, then leaves. The bridge's file says a host is connected while it is.
void ServeOneHost(const std::string& deviceDir, int* port, const std::string& metricsDir, int commands) {
  Bridge bridge(deviceDir, "raw", *port, {{"TARNEXIO_METRICS_DIR", metricsDir}});
  ASSERT_TRUE(bridge.WaitListening());
  *port = bridge.port;
  TestHost host(bridge.port);
  ASSERT_TRUE(host.connected());
  ASSERT_TRUE(bridge.child->WaitForOutput("BTFTM : Ethernet Connected!\n"));
  const std::string connected =
      "tarnexio_host_connected{port=\"" + std::to_string(bridge.port) + "\",mode=\"raw\"} 1\n";
  EXPECT_TRUE(WaitUntil([&] { return tarnexio_test::FileContents(BridgeFile(metricsDir, bridge.port)).find(connected) != std::string::npos; }, 10000))
      << tarnexio_test::FileContents(BridgeFile(metricsDir, bridge.port));
  for (int i = 0; i < commands; ++i) {
    host.Send(Command(0x0C03, {}));
    ASSERT_FALSE(ReceiveUntil(host, [](const Bytes& p) { return IsCommandComplete(p, 0x0C03); }).empty());
  }
  host.Close();
  EXPECT_EQ(bridge.child->WaitExit(), 0);
}

// A server of the tests' own (node_exporter, Prometheus) on a free loopback port,
// asked over HTTP until what it answers holds.
struct Served {
  std::unique_ptr<Child> child;
  int port = 0;

  // Waits until a GET of target answers 200 with a body for which check holds; the last
  // body (or the server's output) names what did not come.
  ::testing::AssertionResult WaitFor(const std::string& target, const std::function<bool(const std::string&)>& check,
                                     int timeoutMs, std::string* body = nullptr) {
    std::string last;
    const bool held = WaitUntil(
        [&] {
          const tarnexio_test::HttpReply reply = tarnexio_test::HttpGet(port, target, Millis(2000));
          if (reply.status != 200) return false;
          last = reply.body;
          return check(last);
        },
        timeoutMs);
    if (body != nullptr) *body = last;
    if (held) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "GET " << target << " on port " << port << " did not come as awaited; last answer:\n"
                                         << last.substr(0, 4000) << "\nthe server printed:\n"
                                         << child->Output().substr(0, 4000);
  }
};

Served NodeExporter(const std::string& textfileDir) {
  Served s;
  s.port = FreePort();
  s.child = std::make_unique<Child>(std::vector<std::string>{
      "prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
      "--collector.textfile.directory=" + textfileDir, "--web.listen-address=127.0.0.1:" + std::to_string(s.port)});
  return s;
}

Served Prometheus(const std::string& dir, int scrapedPort) {
  Served s;
  s.port = FreePort();
  std::ofstream(dir + "/prometheus.yml") << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                            "scrape_configs:\n  - job_name: benches\n    static_configs:\n"
                                            "      - targets: ['127.0.0.1:"
                                         << scrapedPort << "']\n";
  s.child = std::make_unique<Child>(std::vector<std::string>{
      "prometheus", "--config.file=" + dir + "/prometheus.yml", "--storage.tsdb.path=" + dir + "/data",
      "--web.listen-address=127.0.0.1:" + std::to_string(s.port)});
  return s;
}

// The value of the only series of an instant query's answer, "" when there is not one.
std::string OnlyValue(const std::string& answer) {
  const std::string mark = "\"value\":[";
  const size_t at = answer.find(mark);
  if (at == std::string::npos || answer.find(mark, at + 1) != std::string::npos) return "";
  const size_t open = answer.find(",\"", at);
  const size_t close = answer.find('"', open + 2);
  return open == std::string::npos || close == std::string::npos ? "" : answer.substr(open + 2, close - open - 2);
}

// The PromQL examples of the README's "Watching many benches": the lines of its promql block.
std::vector<std::string> ReadmeQueries() {
  std::istringstream readme(tarnexio_test::FileContents(README_FILE));
  std::vector<std::string> queries;
  bool inside = false;
  for (std::string line; std::getline(readme, line);) {
    if (line == "```promql") {
      inside = true;
    } else if (inside && line == "```") {
      break;
    } else if (inside && !line.empty()) {
      queries.push_back(line);
    }
  }
  return queries;
}

// The queries ("expr") of the Grafana dashboard in examples/, unescaped.
std::vector<std::string> DashboardQueries() {
  const std::string json = tarnexio_test::FileContents(DASHBOARD_FILE);
  const std::string mark = "\"expr\": \"";
  std::vector<std::string> queries;
  for (size_t at = json.find(mark); at != std::string::npos; at = json.find(mark, at)) {
    std::string query;
    for (at += mark.size(); at < json.size() && json[at] != '"'; ++at) {
      if (json[at] == '\\' && at + 1 < json.size()) ++at;
      query += json[at];
    }
    queries.push_back(query);
  }
  return queries;
}

TEST(Metrics, ThreeTestHostsAreCountedCheckedServedAndQueried) {
  TempDir metricsDir;  // the PC's textfile directory: the bridge's file and ftmd's beside it
  Ftmd ftmd({"--type", "1", "--metrics-dir", metricsDir.path});
  ASSERT_TRUE(ftmd.ready) << ftmd.child->Output();
  int port = 0;
  const int commands[] = {1, 2, 4};
  for (int n : commands) {
    ServeOneHost(ftmd.dir.path, &port, metricsDir.path, n);
    if (HasFatalFailure()) return;
  }
  const std::string bridgeFile = BridgeFile(metricsDir.path, port);
  EXPECT_EQ(RunsIn(bridgeFile, "served"), 3) << tarnexio_test::FileContents(bridgeFile);
  EXPECT_NE(tarnexio_test::FileContents(bridgeFile).find("kind=\"command\",direction=\"to_controller\"} 7\n"), std::string::npos)
      << tarnexio_test::FileContents(bridgeFile);
  EXPECT_EQ(PromtoolFinds(bridgeFile), "");
  const std::string ftmdFile = metricsDir.path + "/tarnexio_ftmd.prom";
  EXPECT_EQ(PromtoolFinds(ftmdFile), "");

  Served node = NodeExporter(metricsDir.path);
  const std::string portLabel = "port=\"" + std::to_string(port) + "\"";
  std::string scraped;
  ASSERT_TRUE(node.WaitFor("/metrics",
                           [&](const std::string& body) {
                             return body.find("\nnode_textfile_scrape_error 0\n") != std::string::npos &&
                                    body.find("tarnexio_ftmd_build_info{") != std::string::npos &&
                                    body.find("tarnexio_runs_total{mode=\"raw\",outcome=\"served\"," + portLabel + "} 3\n") !=
                                        std::string::npos;
                           },
                           30000, &scraped));

  TempDir promDir;
  Served prometheus = Prometheus(promDir.path, node.port);
  for (const auto& query : std::vector<std::pair<std::string, std::string>>{
           {"sum(tarnexio_runs_total{outcome=\"served\"})", "3"},
           {"sum(tarnexio_packets_total{kind=\"command\",direction=\"to_controller\"})", "7"},
           {"tarnexio_ftmd_controller_connected", "1"},
       }) {
    EXPECT_TRUE(prometheus.WaitFor("/api/v1/query?query=" + tarnexio_test::UrlEncoded(query.first),
                                   [&](const std::string& body) { return OnlyValue(body) == query.second; }, 60000))
        << query.first << " should be " << query.second;
  }
  // The README's examples and the dashboard's panels are queries this Prometheus takes
  // over these metrics.
  const std::vector<std::string> readme = ReadmeQueries(), dashboard = DashboardQueries();
  EXPECT_EQ(readme.size(), 3u);
  EXPECT_GE(dashboard.size(), 8u);
  std::vector<std::string> examples = readme;
  examples.insert(examples.end(), dashboard.begin(), dashboard.end());
  for (const std::string& query : examples) {
    EXPECT_TRUE(prometheus.WaitFor("/api/v1/query?query=" + tarnexio_test::UrlEncoded(query),
                                   [](const std::string& body) { return body.find("\"status\":\"success\"") != std::string::npos; },
                                   30000))
        << query;
  }
}

// A socket listening on port as the bridge would, to take the port from it.
// A port the system chose, listened on by this test: no other program can take it.
struct PortTaker {
  PortTaker() : fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof a;
    taken = bind(fd, (sockaddr*)&a, sizeof a) == 0 && listen(fd, 1) == 0 &&
            getsockname(fd, (sockaddr*)&a, &length) == 0;
    port = ntohs(a.sin_port);
  }
  ~PortTaker() { close(fd); }
  int fd;
  bool taken;
  int port;
};

TEST(Metrics, AFailedStartIsCountedUnderItsReason) {
  TempDir metricsDir;
  // The port is held from the start, so that no other program takes it meanwhile: the runs
  // before the last fail before they listen, and the last finds it in use.
  PortTaker taker;
  ASSERT_TRUE(taker.taken);
  const int port = taker.port;
  const std::string file = BridgeFile(metricsDir.path, port);
  {
    TempDir noDriver;  // no ftmd
    const Ended run = RunBridgeToEnd(noDriver.path, port, metricsDir.path);
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.out.find("BTFTM : Metrics: no earlier tarnexio_" + std::to_string(port) + ".prom in "), std::string::npos)
        << run.out;
    EXPECT_EQ(RunsIn(file, "no_driver"), 1) << tarnexio_test::FileContents(file);
  }
  {
    Ftmd refusing({"--type", "1", "--bt-on"});
    ASSERT_TRUE(refusing.ready) << refusing.child->Output();
    EXPECT_EQ(RunBridgeToEnd(refusing.dir.path, port, metricsDir.path).code, 1);
    EXPECT_EQ(RunsIn(file, "ftm_refused"), 1) << tarnexio_test::FileContents(file);
  }
  {
    Ftmd ftmd({"--type", "1"});
    ASSERT_TRUE(ftmd.ready) << ftmd.child->Output();
    const Ended run = RunBridgeToEnd(ftmd.dir.path, port, metricsDir.path);
    EXPECT_EQ(run.code, 1) << run.out;
    EXPECT_EQ(RunsIn(file, "port_in_use"), 1) << tarnexio_test::FileContents(file);
  }
  // Each reason kept its count through the later runs, and none was served.
  EXPECT_EQ(RunsIn(file, "no_driver"), 1);
  EXPECT_EQ(RunsIn(file, "ftm_refused"), 1);
  EXPECT_EQ(RunsIn(file, "served"), 0);
  EXPECT_EQ(PromtoolFinds(file), "");
}

TEST(Metrics, AReaderNeverSeesAPartOfTheFile) {
  TempDir metricsDir;
  TempDir noDriver;
  const int port = FreePort();
  const std::string file = BridgeFile(metricsDir.path, port);
  const int kRuns = 12;
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, partial{0};
  std::string firstPartial;
  std::thread reader([&] {
    while (!done) {
      const std::string text = tarnexio_test::FileContents(file);
      if (text.empty()) continue;  // not there yet
      std::vector<MetricSample> samples;
      const bool whole = ParseMetricsText(text.data(), text.size(), &samples) == 0 && !samples.empty() &&
                         samples.back().name == "tarnexio_build_info";
      ++reads;
      if (!whole && partial++ == 0) firstPartial = text;
    }
  });
  for (int i = 0; i < kRuns; ++i) EXPECT_EQ(RunBridgeToEnd(noDriver.path, port, metricsDir.path).code, 1);
  done = true;
  reader.join();
  EXPECT_EQ(RunsIn(file, "no_driver"), kRuns);
  EXPECT_GT(reads.load(), kRuns) << "the reader read while the runs ended";
  EXPECT_EQ(partial.load(), 0) << "of " << reads.load() << " reads; the first:\n" << firstPartial;
}

}  // namespace
