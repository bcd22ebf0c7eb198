// The table of one benchmark run, from the "path key value" lines that the runs left:
// the median over the rounds of every figure, the highest peak memory.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace loadgen {

namespace {

using Figures = std::map<std::string, std::vector<double>>;  // "path key" -> one value per round

double Pick(const Figures& figures, const std::string& path, const std::string& key) {
  auto it = figures.find(path + " " + key);
  if (it == figures.end() || it->second.empty()) return -1;
  std::vector<double> values = it->second;
  std::sort(values.begin(), values.end());
  return key == "peak_kib" ? values.back() : values[values.size() / 2];
}

std::string Cell(double value, const char* format) {
  if (value < 0) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Ratio(double bridge, double baseline) {
  if (bridge < 0 || baseline <= 0) return "n/a";
  return Cell(bridge / baseline, "%.2f");
}

void Row(const std::string& measure, double baseline, double bridge, const char* format, const std::string& ratio,
         const std::string& target) {
  std::printf("| %s | %s | %s | %s | %s |\n", measure.c_str(), Cell(baseline, format).c_str(),
              Cell(bridge, format).c_str(), ratio.c_str(), target.c_str());
}

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
    double value;
    if (fields >> where >> key >> value) figures[where + " " + key].push_back(value);
  }
  auto both = [&](const char* key, double* baseline, double* bridge) {
    *baseline = Pick(figures, "baseline", key);
    *bridge = Pick(figures, "bridge", key);
  };
  double b, t;
  std::printf("| Measure | Baseline (socat) | Bridge | Bridge / baseline | Target |\n");
  std::printf("|---|---:|---:|---:|---|\n");
  both("rtt_median_us", &b, &t);
  const double rawMedian = t;
  Row("Raw command round trip, median (us)", b, t, "%.1f", Ratio(t, b), "ratio <= 1.10");
  both("rtt_p99_us", &b, &t);
  const double rawP99 = t;
  Row("Raw command round trip, 99th percentile (us)", b, t, "%.1f", Ratio(t, b), "");
  const double diagMedian = Pick(figures, "diag", "rtt_median_us");
  const double diagP99 = Pick(figures, "diag", "rtt_p99_us");
  Row("Diag command round trip, median (us)", -1, diagMedian, "%.1f", Ratio(diagMedian, rawMedian) + " of raw", "");
  Row("Diag command round trip, 99th percentile (us)", -1, diagP99, "%.1f", Ratio(diagP99, rawP99) + " of raw", "");
  both("acl_mb_s", &b, &t);
  Row("ACL loopback, 1021-byte packets, window 8 (MB/s)", b, t, "%.2f", Ratio(t, b), "ratio >= 0.90");
  both("cpu_ms_per_10k", &b, &t);
  Row("CPU time per 10,000 raw commands (ms)", b, t, "%.0f", Ratio(t, b), "");
  const double diagCpu = Pick(figures, "diag", "cpu_ms_per_10k");
  Row("CPU time per 10,000 diag commands (ms)", -1, diagCpu, "%.0f", "", "");
  both("acl_cpu_ms_per_mb", &b, &t);
  Row("CPU time per MB of ACL loopback (ms)", b, t, "%.1f", Ratio(t, b), "");
  both("peak_kib", &b, &t);
  const double diagPeak = Pick(figures, "diag", "peak_kib");
  Row("Peak resident memory, VmHWM (KiB)", b, std::max(t, diagPeak), "%.0f", Ratio(std::max(t, diagPeak), b),
      "bridge < 4096");
  both("idle_cpu_ms", &b, &t);
  Row("CPU time while connected and idle (ms)", b, t, "%.0f", "", "bridge 0");
  return 0;
}

}  // namespace loadgen
