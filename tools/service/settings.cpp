#include "settings.h"

#include <algorithm>
#include <cctype>

namespace {

// The variables of the bridge a settings file may set by their own names.
const char* const kPassThroughNames[] = {"TARNEXIO_LISTEN", "TARNEXIO_ALLOW", "TARNEXIO_IDLE_TIMEOUT",
                                         "TARNEXIO_CAPTURE_KEEP"};
// The variables the named settings become.
const char kCaptureVariable[] = "TARNEXIO_CAPTURE";
const char kMetricsVariable[] = "TARNEXIO_METRICS_DIR";

std::string Trim(const std::string& s) {
  size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = s.find_last_not_of(" \t\r");
  return s.substr(begin, end - begin + 1);
}

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A whole decimal number from low to high, or -1.
int ParseNumber(const std::string& value, int low, int high) {
  if (value.empty() || value.size() > 6) return -1;
  int n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n >= low && n <= high ? n : -1;
}

bool IsPassThrough(const std::string& upperName) {
  for (const char* name : kPassThroughNames) {
    if (upperName == name) return true;
  }
  return false;
}

// The variable name of an environment entry, in upper case ("" for an entry without '=',
// and for the drive entries "=C:=..." Windows keeps).
std::string EntryName(const std::string& entry) {
  size_t eq = entry.find('=');
  if (eq == std::string::npos || eq == 0) return "";
  return Upper(entry.substr(0, eq));
}

}  // namespace

SettingsReading ParseServiceSettings(const std::string& text) {
  SettingsReading reading;
  ServiceSettings& s = reading.settings;
  std::vector<std::string> seen;
  size_t at = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
  int lineNumber = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    auto error = [&](const std::string& what) {
      reading.errors.push_back("line " + std::to_string(lineNumber) + ": " + what);
    };
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      error("not NAME = VALUE: '" + line + "'");
      continue;
    }
    std::string name = Upper(Trim(line.substr(0, eq)));
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
      error(Lower(name) + " is set twice");
      continue;
    }
    seen.push_back(name);
    if (name == "PORT") {
      s.port = ParseNumber(value, 1, 65535);
      if (s.port < 0) error("port must be a TCP port number from 1 to 65535, not '" + value + "'");
    } else if (name == "MODE") {
      s.mode = Lower(value);
      if (s.mode != "raw" && s.mode != "diag") error("mode must be raw or diag, not '" + value + "'");
    } else if (name == "CAPTURE_DIR") {
      s.captureDir = value;
    } else if (name == "METRICS_DIR") {
      s.metricsDir = value;
    } else if (name == "LOG_DAYS") {
      s.logDays = ParseNumber(value, 1, 3650);
      if (s.logDays < 0) error("log_days must be a number of days from 1 to 3650, not '" + value + "'");
    } else if (IsPassThrough(name)) {
      if (!value.empty()) s.passThrough.emplace_back(name, value);
    } else {
      error("unknown setting '" + Trim(line.substr(0, eq)) + "'");
    }
  }
  return reading;
}

std::string BridgeArguments(const ServiceSettings& settings) {
  return "-p " + std::to_string(settings.port) + " -m " + settings.mode;
}

std::vector<std::string> BridgeEnvironment(const std::vector<std::string>& inherited, const ServiceSettings& settings) {
  std::vector<std::string> block;
  for (const std::string& entry : inherited) {
    std::string name = EntryName(entry);
    if (name == kCaptureVariable || name == kMetricsVariable || IsPassThrough(name)) continue;
    block.push_back(entry);
  }
  if (!settings.captureDir.empty()) block.push_back(std::string(kCaptureVariable) + "=" + settings.captureDir);
  if (!settings.metricsDir.empty()) block.push_back(std::string(kMetricsVariable) + "=" + settings.metricsDir);
  for (const auto& [name, value] : settings.passThrough) block.push_back(name + "=" + value);
  std::stable_sort(block.begin(), block.end(), [](const std::string& a, const std::string& b) {
    return EntryName(a) < EntryName(b);
  });
  return block;
}

const char kDefaultSettingsText[] =
    "# Settings of the Tarnexio service. Each run of Tarnexio.exe is started with them;\r\n"
    "# a change takes effect when the service is started again (sc stop Tarnexio, then\r\n"
    "# sc start Tarnexio). One NAME = VALUE a line; # starts a comment. The values below\r\n"
    "# are the defaults.\r\n"
    "\r\n"
    "# The TCP port the test tool connects to, and the mode: raw or diag.\r\n"
    "# port = 2390\r\n"
    "# mode = raw\r\n"
    "\r\n"
    "# A directory that gets one btsnoop capture file per run (none by default).\r\n"
    "# capture_dir = C:\\ProgramData\\Tarnexio\\captures\r\n"
    "\r\n"
    "# A directory for the bridge's metrics files (none by default).\r\n"
    "# metrics_dir = C:\\ProgramData\\Tarnexio\\metrics\r\n"
    "\r\n"
    "# How many days of log files (tarnexio-YYYY-MM-DD.log) are kept, today's included.\r\n"
    "# log_days = 14\r\n"
    "\r\n"
    "# Settings of the bridge itself, passed to it as environment variables of the same\r\n"
    "# name (README.md beside Tarnexio.exe says what each does):\r\n"
    "# TARNEXIO_LISTEN =\r\n"
    "# TARNEXIO_ALLOW =\r\n"
    "# TARNEXIO_IDLE_TIMEOUT =\r\n"
    "# TARNEXIO_CAPTURE_KEEP =\r\n";
