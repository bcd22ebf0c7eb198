// The service's settings file: what each run of the bridge is started with. Plain text,
// one NAME = VALUE a line; a # starts a comment; names are taken in any case; a value may
// be put in double quotes. Nothing here knows the system: the service program reads the
// file and hands its text over.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The settings of the service, with the defaults of a file that sets nothing.
struct ServiceSettings {
  int port = 2390;
  std::string mode = "raw";
  std::string captureDir;  // empty: no capture
  std::string metricsDir;  // empty: no metrics
  int logDays = 14;        // log files kept, today's included
  // The bridge's own settings, passed on as its environment, in the order of the file.
  std::vector<std::pair<std::string, std::string>> passThrough;
};

struct SettingsReading {
  ServiceSettings settings;
  std::vector<std::string> errors;  // "line N: what is wrong"; the settings are not used then
};

// Reads the text of a settings file (UTF-8, with or without a byte order mark, LF or CR LF).
SettingsReading ParseServiceSettings(const std::string& text);

// The arguments of one run of the bridge: "-p PORT -m MODE".
std::string BridgeArguments(const ServiceSettings& settings);

// The environment of a run: the service's own (NAME=VALUE entries) without the variables the
// settings speak for, then those the settings set. Windows takes the block sorted by name,
// without regard to case, and so it is returned.
std::vector<std::string> BridgeEnvironment(const std::vector<std::string>& inherited, const ServiceSettings& settings);

// The settings file the installer puts in place: every setting, commented out at its default.
extern const char kDefaultSettingsText[];
