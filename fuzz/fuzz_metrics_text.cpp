// The reader of an earlier metrics file: whatever the bytes, it either refuses them at a
// line or gives samples that the writer writes back to text it reads as the same samples;
// the bridge's record read from them formats and reads back as itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "metrics/bridge_metrics.h"
#include "metrics/metrics_text.h"

namespace {

bool SameSamples(const std::vector<MetricSample>& a, const std::vector<MetricSample>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].value.whole != b[i].value.whole ||
        a[i].value.thousandths != b[i].value.thousandths || a[i].labels.size() != b[i].labels.size())
      return false;
    for (size_t l = 0; l < a[i].labels.size(); ++l) {
      if (a[i].labels[l].name != b[i].labels[l].name || a[i].labels[l].value != b[i].labels[l].value) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<MetricSample> samples;
  const size_t bad = ParseMetricsText(text, size, &samples);
  size_t lines = 1;
  for (size_t i = 0; i < size; ++i) lines += text[i] == '\n';
  FuzzCheck(bad <= lines, "a refused line beyond the last");
  if (bad != 0) return 0;
  std::string again;
  for (const MetricSample& s : samples) {
    FuzzCheck(s.value.thousandths < 1000, "thousandths out of range");
    AppendMetricSample(&again, s.name.c_str(), s.labels, s.value);
  }
  std::vector<MetricSample> reread;
  FuzzCheck(ParseMetricsText(again.data(), again.size(), &reread) == 0, "the writer's text is refused");
  FuzzCheck(SameSamples(samples, reread), "the writer's text reads as other samples");

  BridgeRecord record;
  FuzzCheck(ReadBridgeRecord(std::string(text, size), &record) == 0, "samples read, record refused");
  const std::string formatted = FormatBridgeMetrics(record, 2390, "raw", 0, false, "v");
  BridgeRecord back;
  FuzzCheck(ReadBridgeRecord(formatted, &back) == 0, "a formatted record is refused");
  FuzzCheck(FormatBridgeMetrics(back, 2390, "raw", 0, false, "v") == formatted, "a record does not read back as itself");
  return 0;
}
