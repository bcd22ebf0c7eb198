// The text that Prometheus's textfile collectors read: families with their help and type,
// samples with labels, and the reading of such a file back. Byte work only: no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct MetricLabel {
  std::string name;
  std::string value;
};

// A sample's value: a whole number and thousandths, which is all these files hold (counts,
// and times in seconds to the millisecond).
struct MetricValue {
  uint64_t whole = 0;
  unsigned thousandths = 0;  // 0..999
};

struct MetricSample {
  std::string name;
  std::vector<MetricLabel> labels;
  MetricValue value;
};

// A value of whole milliseconds (a time, a length) in seconds.
MetricValue SecondsOfMillis(uint64_t millis);
uint64_t MillisOf(MetricValue seconds);

// Appends "# HELP name help" and "# TYPE name type" (type "counter" or "gauge").
void AppendMetricFamily(std::string* text, const char* name, const char* type, const char* help);
// Appends one sample line: name{label="value",...} value. Label values are escaped as
// the format wants (backslash, double quote, line feed); the value is a whole number or
// has three decimals.
void AppendMetricSample(std::string* text, const char* name, const std::vector<MetricLabel>& labels,
                        MetricValue value);

// Reads a whole file of samples as AppendMetricFamily and AppendMetricSample write them:
// comment lines and empty lines are passed over, and every other line must be a sample of
// a valid name, well-formed labels and a value as above, and end with a line feed (a file
// cut short is not read). Returns 0 and the samples, or the number of the first line that
// is not so (1 for the first line).
size_t ParseMetricsText(const char* data, size_t size, std::vector<MetricSample>* samples);

// The value of the label labelName of sample, or "" when it has none.
std::string MetricLabelValue(const MetricSample& sample, const char* labelName);
