// The textfile collectors' text: what the writer makes, and what the reader of an earlier
// file takes and refuses.
#include "metrics/metrics_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

size_t Parse(const std::string& text, std::vector<MetricSample>* samples) {
  return ParseMetricsText(text.data(), text.size(), samples);
}

TEST(MetricsText, WriterEscapesLabelValuesAndGivesThreeDecimalsOrNone) {
  std::string text;
  AppendMetricFamily(&text, "a_total", "counter", "Help.");
  AppendMetricSample(&text, "a_total", {{"x", "q\"b\\n\nz"}, {"y", ""}}, MetricValue{7, 0});
  AppendMetricSample(&text, "b_seconds", {}, SecondsOfMillis(1005));
  AppendMetricSample(&text, "c", {}, SecondsOfMillis(999));
  EXPECT_EQ(text,
            "# HELP a_total Help.\n# TYPE a_total counter\n"
            "a_total{x=\"q\\\"b\\\\n\\nz\",y=\"\"} 7\n"
            "b_seconds 1.005\n"
            "c 0.999\n");
  std::vector<MetricSample> samples;
  ASSERT_EQ(Parse(text, &samples), 0u);
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(MetricLabelValue(samples[0], "x"), "q\"b\\n\nz");  // the round trip keeps every byte
  EXPECT_EQ(samples[0].value.whole, 7u);
  EXPECT_EQ(MillisOf(samples[1].value), 1005u);
  EXPECT_EQ(MillisOf(samples[2].value), 999u);
}

struct ValueCase {
  const char* line;
  uint64_t millis;
};

TEST(MetricsText, ReadsTheValuesItWritesAndPlainDecimals) {
  for (const ValueCase& c : std::vector<ValueCase>{
           {"m 0\n", 0},
           {"m 18446744073709551615\n", UINT64_MAX},  // saturates in milliseconds
           {"m 12.5\n", 12500},
           {"m 12.05\n", 12050},
           {"m 12.0009\n", 12000},  // beyond the millisecond: cut
           {"m{a=\"1\",} 3\n", 3000},  // a trailing comma is allowed
           {"m   4\n", 4000},
       }) {
    std::vector<MetricSample> samples;
    ASSERT_EQ(Parse(c.line, &samples), 0u) << c.line;
    ASSERT_EQ(samples.size(), 1u) << c.line;
    EXPECT_EQ(MillisOf(samples[0].value), c.millis) << c.line;
  }
}

struct BadCase {
  const char* text;
  size_t line;  // the first line refused
};

TEST(MetricsText, RefusesAFileCutShortOrNotItsOwnAtTheFirstBadLine) {
  for (const BadCase& c : std::vector<BadCase>{
           {"m 1", 1},                            // no line feed: cut short
           {"# HELP m x\nm 1\nm 2", 3},           // cut short after whole lines
           {"m 1\nm{a=\"1\"} ", 2},               // cut inside a sample
           {"m\n", 1},                            // no value
           {"m \n", 1},
           {"m -1\n", 1},                         // counts are never negative
           {"m 1e3\n", 1},                        // nor written with an exponent
           {"m NaN\n", 1},
           {"m +Inf\n", 1},
           {"m 1.\n", 1},
           {"m 1 1700000000000\n", 1},            // no time stamps
           {"m 18446744073709551616\n", 1},       // beyond 64 bits
           {"9m 1\n", 1},                         // a name starts with a letter, _ or :
           {"m{a=1} 1\n", 1},                     // label values are quoted
           {"m{a=\"1} 1\n", 1},                   // unclosed
           {"m{a=\"\\t\"} 1\n", 1},               // unknown escape
           {"m{:a=\"1\"} 1\n", 1},                // no colon in a label name
           {"m{a=\"1\" b=\"2\"} 1\n", 1},         // labels are separated by commas
           {"m{a=\"1\"}1\n", 1},
           {"\n\n# c\nm 1\nm{ 1\n", 5},
           {"m 1\r\n", 1},                        // Windows line ends are not ours
           {"\xff 1\n", 1},
       }) {
    std::vector<MetricSample> samples;
    EXPECT_EQ(Parse(c.text, &samples), c.line) << c.text;
  }
}

TEST(MetricsText, TakesEmptyTextCommentsAndBlankLines) {
  std::vector<MetricSample> samples = {MetricSample()};
  EXPECT_EQ(Parse("", &samples), 0u);
  EXPECT_TRUE(samples.empty());
  EXPECT_EQ(Parse("# anything at all \x01\xff\n\n#\n", &samples), 0u);
  EXPECT_TRUE(samples.empty());
}

TEST(MetricsText, BoundsTheLabelsOfASample) {
  std::string many = "m{";
  for (int i = 0; i < 33; ++i) many += "l" + std::to_string(i) + "=\"v\",";
  many += "} 1\n";
  std::vector<MetricSample> samples;
  EXPECT_EQ(Parse(many, &samples), 1u);
}

}  // namespace
