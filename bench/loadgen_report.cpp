// The table of one benchmark run, from the "path round key value" lines that the runs
// left: per figure the median over the rounds, the bridge-to-baseline ratio of each round
// (runs of one round are paired) as its median and range, and the bridge's figure as a
// multiple of what the physical links take for the same work.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace loadgen {

namespace {

// "path key" -> round -> value
using Figures = std::map<std::string, std::map<int, double>>;

// What the links themselves need. UART at 3 Mbaud: 10 bits a byte; Read_BD_ADDR is 4
// bytes with its H4 type and its Command Complete 13, so one round trip is 17 bytes on
// the wire; an ACL packet is 1021 data bytes in 1026, both directions at once. USB full
// speed: the event endpoint is polled once a millisecond, so no command comes back
// sooner; bulk transfers carry at most 19 packets of 64 bytes a frame, shared by both
// directions, and an ACL packet is 1021 data bytes in 1025.
constexpr double kUartRoundTripUs = 17 * 10 / 3.0;
constexpr double kUsbRoundTripUs = 1000.0;
constexpr double kUartAclMBs = 3e6 / 10 * 1021.0 / 1026 / 1e6;
constexpr double kUsbAclMBs = 19 * 64 * 1000.0 / 2 * 1021.0 / 1025 / 1e6;

enum LinkKind { kNoLink, kRoundTrip, kThroughput };

class Table {
 public:
  explicit Table(Figures figures) : figures_(std::move(figures)) {}

  // Median over the rounds (the highest for peak memory), or -1.
  double Value(const std::string& path, const std::string& key) const {
    auto it = figures_.find(path + " " + key);
    if (it == figures_.end() || it->second.empty()) return -1;
    std::vector<double> values;
    for (const auto& round : it->second) values.push_back(round.second);
    std::sort(values.begin(), values.end());
    return key == "peak_kib" ? values.back() : values[values.size() / 2];
  }

  // The ratio of path's figure to basePath's, round by round: "median (lowest-highest)".
  std::string PairedRatio(const std::string& path, const std::string& basePath, const std::string& key) const {
    auto top = figures_.find(path + " " + key);
    auto bottom = figures_.find(basePath + " " + key);
    if (top == figures_.end() || bottom == figures_.end()) return "n/a";
    std::vector<double> ratios;
    for (const auto& round : top->second) {
      auto base = bottom->second.find(round.first);
      if (base != bottom->second.end() && base->second > 0) ratios.push_back(round.second / base->second);
    }
    if (ratios.empty()) return "n/a";
    std::sort(ratios.begin(), ratios.end());
    std::string text = Format(ratios[ratios.size() / 2], "%.2f");
    if (ratios.size() > 1) text += " (" + Format(ratios.front(), "%.2f") + "-" + Format(ratios.back(), "%.2f") + ")";
    return text;
  }

  void Row(const std::string& measure, const std::string& key, const char* format, LinkKind link,
           const std::string& target, const std::string& bridgePath = "bridge",
           const std::string& basePath = "baseline") const {
    const double bridge = Value(bridgePath, key);
    Print(measure, Value(basePath, key), bridge, format, PairedRatio(bridgePath, basePath, key), link, target);
  }

  void Print(const std::string& measure, double baseline, double bridge, const char* format, const std::string& ratio,
             LinkKind link, const std::string& target) const {
    std::string uart, usb;
    if (link != kNoLink && bridge > 0) {
      uart = Format(bridge / (link == kRoundTrip ? kUartRoundTripUs : kUartAclMBs), "%.2f");
      usb = Format(bridge / (link == kRoundTrip ? kUsbRoundTripUs : kUsbAclMBs), "%.3f");
    }
    std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", measure.c_str(), Cell(baseline, format).c_str(),
                Cell(bridge, format).c_str(), ratio.c_str(), uart.c_str(), usb.c_str(), target.c_str());
  }

  static std::string Cell(double value, const char* format) { return value < 0 ? "n/a" : Format(value, format); }

 private:
  static std::string Format(double value, const char* format) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
  }
  Figures figures_;
};

}  // namespace

int Report(const char* path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "tarnexio_loadgen: cannot read %s\n", path);
    return 1;
  }
  Figures figures;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string where, key;
    int round;
    double value;
    if (fields >> where >> round >> key >> value) figures[where + " " + key][round] = value;
  }
  const Table t(figures);
  std::printf("| Measure | Baseline (socat) | Bridge | Bridge / baseline, per round: median (range) "
              "| Bridge / UART 3 Mbaud | Bridge / USB FS | Target |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---|\n");
  t.Row("Raw command round trip, median (us)", "rtt_median_us", "%.1f", kRoundTrip, "ratio <= 1.2");
  t.Row("Raw command round trip, 99th percentile (us)", "rtt_p99_us", "%.1f", kRoundTrip, "ratio <= 1.5");
  for (const char* key : {"rtt_median_us", "rtt_p99_us"}) {
    t.Print(std::string("Diag command round trip, ") + (key[4] == 'm' ? "median" : "99th percentile") + " (us)", -1,
            t.Value("diag", key), "%.1f", t.PairedRatio("diag", "bridge", key) + " of raw", kRoundTrip, "");
  }
  t.Row("ACL loopback, 1021-byte packets, window 1 (MB/s)", "acl_w1_mb_s", "%.2f", kThroughput, "ratio >= 0.7");
  t.Row("ACL loopback, 1021-byte packets, window 8 (MB/s)", "acl_w8_mb_s", "%.2f", kThroughput, "ratio >= 0.3");
  t.Row("CPU per raw command, with ftmd (us)", "cpu_us_per_cmd", "%.1f", kNoLink, "ratio <= 1.5");
  t.Print("CPU per diag command, with ftmd (us)", -1, t.Value("diag", "cpu_us_per_cmd"), "%.1f",
          t.PairedRatio("diag", "bridge", "cpu_us_per_cmd") + " of raw", kNoLink, "");
  t.Row("CPU per ACL packet, window 1, with ftmd (us)", "acl_w1_cpu_us_per_packet", "%.1f", kNoLink, "");
  t.Row("CPU per ACL packet, window 8, with ftmd (us)", "acl_w8_cpu_us_per_packet", "%.1f", kNoLink, "");
  t.Row("Context switches per raw command, with ftmd", "ctx_per_cmd", "%.2f", kNoLink, "bridge <= 5");
  t.Row("Context switches per ACL packet, window 1, with ftmd", "acl_w1_ctx_per_packet", "%.2f", kNoLink, "");
  t.Row("Context switches per ACL packet, window 8, with ftmd", "acl_w8_ctx_per_packet", "%.2f", kNoLink, "");
  const struct {
    const char* measure;
    const char* key;
    const char* target;
  } messages[] = {
      {"Device-channel messages per raw command", "devchan_per_cmd", "bridge <= 4"},
      {"Device-channel messages per diag command", "devchan_per_diag_cmd", ""},
      {"Device-channel messages per ACL packet, window 1", "devchan_per_packet", ""},
      {"Device-channel messages per ACL packet, window 8", "devchan_per_packet_w8", ""},
  };
  for (const auto& m : messages) t.Print(m.measure, -1, t.Value("bridge", m.key), "%.2f", "", kNoLink, m.target);
  const double peak = std::max(t.Value("bridge", "peak_kib"), t.Value("diag", "peak_kib"));
  t.Print("Peak resident memory, VmHWM (KiB)", t.Value("baseline", "peak_kib"), peak, "%.0f",
          t.PairedRatio("bridge", "baseline", "peak_kib"), kNoLink, "bridge < 4096");
  t.Print("CPU time while connected and idle (ms)", t.Value("baseline", "idle_cpu_ms"),
          t.Value("bridge", "idle_cpu_ms"), "%.3f", "", kNoLink, "bridge 0");
  const double captured = t.Value("capture", "rtt_median_us");
  t.Print("Raw command round trip with a btsnoop capture, median (us)", -1, captured, "%.1f",
          captured < 0 ? "not measured (--capture)" : t.PairedRatio("capture", "bridge", "rtt_median_us") + " of raw",
          kRoundTrip, "");
  for (const char* key : {"rtt_median_us", "cpu_us_per_cmd"}) {
    t.Print(std::string(key[0] == 'r' ? "Raw command round trip, median (us)" : "CPU per raw command, with ftmd (us)") +
                ", with a metrics directory",
            -1, t.Value("metrics", key), "%.1f", t.PairedRatio("metrics", "bridge", key) + " of without",
            key[0] == 'r' ? kRoundTrip : kNoLink, "ratio ~ 1");
  }
  // BlueZ's emulated controller behind both paths (--btvirt): what the paths add in front
  // of a controller that is not ftmd's own.
  t.Row("btvirt behind both: raw command round trip, median (us)", "rtt_median_us", "%.1f", kRoundTrip, "",
        "vbridge", "vbaseline");
  t.Row("btvirt behind both: raw command round trip, 99th percentile (us)", "rtt_p99_us", "%.1f", kRoundTrip, "",
        "vbridge", "vbaseline");
  t.Row("btvirt behind both: CPU per raw command, with ftmd (us)", "cpu_us_per_cmd", "%.1f", kNoLink, "", "vbridge",
        "vbaseline");
  t.Print("From a test host's close to the next one's answer, restart loop, median (ms)", -1,
          t.Value("bridge", "restart_median_ms"), "%.1f", "", kNoLink, "");
  t.Print("From a test host's close to the next one's answer, restart loop, slowest (ms)", -1,
          t.Value("bridge", "restart_max_ms"), "%.1f", "", kNoLink, "");
  t.Print("Test hosts accepted by an ending bridge and closed unanswered, restart loop", -1,
          t.Value("bridge", "restart_failed_attempts"), "%.0f", "", kNoLink, "");
  std::printf("\nLinks: UART 3 Mbaud %.1f us a command, %.3f MB/s of ACL loopback; USB full speed %.0f us a "
              "command, %.3f MB/s of ACL loopback.\n",
              kUartRoundTripUs, kUartAclMBs, kUsbRoundTripUs, kUsbAclMBs);
  return 0;
}

}  // namespace loadgen
