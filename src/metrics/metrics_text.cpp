#include "metrics/metrics_text.h"

#include <cstring>

namespace {

// Bounds on what a file is believed to hold, so that a hostile file costs little.
enum { MAX_SAMPLES = 100000, MAX_LABELS = 32 };

bool IsNameStart(char c, bool colonAllowed) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colonAllowed && c == ':');
}

bool IsNameChar(char c, bool colonAllowed) { return IsNameStart(c, colonAllowed) || (c >= '0' && c <= '9'); }

void AppendValue(std::string* text, MetricValue value) {
  *text += std::to_string(value.whole);
  if (value.thousandths == 0) return;
  const unsigned t = value.thousandths % 1000;
  *text += '.';
  *text += char('0' + t / 100);
  *text += char('0' + t / 10 % 10);
  *text += char('0' + t % 10);
}

// A reader of one line: every step either takes what it wants and moves on, or fails.
struct LineReader {
  const char* at;
  const char* end;

  bool Take(char c) {
    if (at == end || *at != c) return false;
    ++at;
    return true;
  }

  bool Name(bool colonAllowed, std::string* name) {
    const char* start = at;
    if (at == end || !IsNameStart(*at, colonAllowed)) return false;
    while (at != end && IsNameChar(*at, colonAllowed)) ++at;
    name->assign(start, size_t(at - start));
    return true;
  }

  bool QuotedValue(std::string* value) {
    if (!Take('"')) return false;
    value->clear();
    while (at != end && *at != '"') {
      char c = *at++;
      if (c == '\\') {
        if (at == end) return false;
        c = *at++;
        if (c == 'n') {
          c = '\n';
        } else if (c != '\\' && c != '"') {
          return false;
        }
      }
      value->push_back(c);
    }
    return Take('"');
  }

  bool Labels(std::vector<MetricLabel>* labels) {
    if (!Take('{')) return true;  // none
    while (!Take('}')) {
      if (labels->size() == MAX_LABELS) return false;
      MetricLabel label;
      if (!Name(false, &label.name) || !Take('=') || !QuotedValue(&label.value)) return false;
      labels->push_back(std::move(label));
      if (!Take(',') && (at == end || *at != '}')) return false;
    }
    return true;
  }

  bool Value(MetricValue* value) {
    const char* start = at;
    uint64_t whole = 0;
    while (at != end && *at >= '0' && *at <= '9') {
      const uint64_t digit = uint64_t(*at++ - '0');
      if (whole > (UINT64_MAX - digit) / 10) return false;
      whole = whole * 10 + digit;
    }
    if (at == start) return false;
    unsigned thousandths = 0;
    if (Take('.')) {
      const char* fraction = at;
      while (at != end && *at >= '0' && *at <= '9') {
        if (at - fraction < 3) thousandths = thousandths * 10 + unsigned(*at - '0');
        ++at;
      }
      if (at == fraction) return false;
      for (auto places = at - fraction; places < 3; ++places) thousandths *= 10;
    }
    value->whole = whole;
    value->thousandths = thousandths;
    return true;
  }
};

bool ParseSampleLine(const char* line, const char* end, MetricSample* sample) {
  LineReader r{line, end};
  if (!r.Name(true, &sample->name) || !r.Labels(&sample->labels) || !r.Take(' ')) return false;
  while (r.Take(' ')) {
  }
  return r.Value(&sample->value) && r.at == end;
}

}  // namespace

MetricValue SecondsOfMillis(uint64_t millis) { return MetricValue{millis / 1000, unsigned(millis % 1000)}; }

uint64_t MillisOf(MetricValue seconds) {
  if (seconds.whole > (UINT64_MAX - 999) / 1000) return UINT64_MAX;  // saturate
  return seconds.whole * 1000 + seconds.thousandths;
}

void AppendMetricFamily(std::string* text, const char* name, const char* type, const char* help) {
  *text += "# HELP ";
  *text += name;
  *text += ' ';
  *text += help;
  *text += "\n# TYPE ";
  *text += name;
  *text += ' ';
  *text += type;
  *text += '\n';
}

void AppendMetricSample(std::string* text, const char* name, const std::vector<MetricLabel>& labels,
                        MetricValue value) {
  *text += name;
  if (!labels.empty()) {
    *text += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) *text += ',';
      *text += labels[i].name;
      *text += "=\"";
      for (char c : labels[i].value) {
        if (c == '\\' || c == '"') {
          *text += '\\';
          *text += c;
        } else if (c == '\n') {
          *text += "\\n";
        } else {
          *text += c;
        }
      }
      *text += '"';
    }
    *text += '}';
  }
  *text += ' ';
  AppendValue(text, value);
  *text += '\n';
}

size_t ParseMetricsText(const char* data, size_t size, std::vector<MetricSample>* samples) {
  samples->clear();
  const char* at = data;
  const char* const end = data + size;
  for (size_t number = 1; at != end; ++number) {
    const char* lineEnd = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)));
    if (lineEnd == nullptr) return number;  // cut short
    if (lineEnd != at && *at != '#') {
      if (samples->size() == MAX_SAMPLES) return number;
      MetricSample sample;
      if (!ParseSampleLine(at, lineEnd, &sample)) return number;
      samples->push_back(std::move(sample));
    }
    at = lineEnd + 1;
  }
  return 0;
}

std::string MetricLabelValue(const MetricSample& sample, const char* labelName) {
  for (const MetricLabel& label : sample.labels) {
    if (label.name == labelName) return label.value;
  }
  return std::string();
}
