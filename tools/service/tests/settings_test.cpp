#include "settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

using Vars = std::vector<std::pair<std::string, std::string>>;

TEST(ServiceSettings, EmptyAndCommentedFilesGiveTheDefaults) {
  for (const std::string& text : {std::string(""), std::string("\n\n"), std::string("# port = 1\r\n   # mode = diag\r\n"),
                                 std::string(kDefaultSettingsText)}) {
    SettingsReading r = ParseServiceSettings(text);
    EXPECT_TRUE(r.errors.empty()) << text;
    EXPECT_EQ(r.settings.port, 2390);
    EXPECT_EQ(r.settings.mode, "raw");
    EXPECT_EQ(r.settings.captureDir, "");
    EXPECT_EQ(r.settings.metricsDir, "");
    EXPECT_EQ(r.settings.logDays, 14);
    EXPECT_TRUE(r.settings.passThrough.empty());
  }
}

// The default file, uncommented line by line, is a valid file: what it shows can be used.
TEST(ServiceSettings, EveryLineOfTheDefaultFileIsASettingOnceUncommented) {
  std::string text(kDefaultSettingsText), uncommented;
  size_t at = 0;
  int settings = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end - at + 1);
    at = end + 1;
    if (std::regex_search(line, std::regex("^# [A-Za-z_]+ ="))) {
      line = line.substr(2);
      ++settings;
    }
    uncommented += line;
  }
  SettingsReading r = ParseServiceSettings(uncommented);
  EXPECT_TRUE(r.errors.empty()) << (r.errors.empty() ? "" : r.errors[0]);
  EXPECT_EQ(settings, 9);
  EXPECT_EQ(r.settings.captureDir, "C:\\ProgramData\\Tarnexio\\captures");
  EXPECT_EQ(r.settings.port, 2390);
}

TEST(ServiceSettings, ValuesAsALabWritesThem) {
  struct Case {
    const char* text;
    int port;
    const char* mode;
    const char* captureDir;
    int logDays;
  };
  const Case cases[] = {
      {"port = 2391\nmode = diag\n", 2391, "diag", "", 14},
      {"PORT=1\r\nMode = RAW\r\n", 1, "raw", "", 14},                             // any case, CR LF
      {"\xEF\xBB\xBFport = 65535\n", 65535, "raw", "", 14},                       // Notepad's byte order mark
      {"capture_dir = \"C:\\bench captures\"\n", 2390, "raw", "C:\\bench captures", 14},  // quotes dropped
      {"capture_dir = D:\\caps   # the big disk\n", 2390, "raw", "D:\\caps", 14},  // comment after a value
      {"\tlog_days\t=\t1\t\n", 2390, "raw", "", 1},
      {"log_days = 3650", 2390, "raw", "", 3650},                                  // no line end at the end
      {"capture_dir =\n", 2390, "raw", "", 14},                                    // empty: no capture
  };
  for (const Case& c : cases) {
    SettingsReading r = ParseServiceSettings(c.text);
    EXPECT_TRUE(r.errors.empty()) << c.text << (r.errors.empty() ? "" : r.errors[0]);
    EXPECT_EQ(r.settings.port, c.port) << c.text;
    EXPECT_EQ(r.settings.mode, c.mode) << c.text;
    EXPECT_EQ(r.settings.captureDir, c.captureDir) << c.text;
    EXPECT_EQ(r.settings.logDays, c.logDays) << c.text;
  }
}

// A file with a mistake is not used at all: the error names the line, so the lab can mend
// it, rather than the bench serving on a port or in a mode nobody asked for.
TEST(ServiceSettings, MistakesNameTheirLine) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"port = 0\n", "line 1: port must be a TCP port number from 1 to 65535, not '0'"},
      {"port = 65536\n", "line 1: port must be a TCP port number from 1 to 65535, not '65536'"},
      {"port = -1\n", "line 1: port must be a TCP port number from 1 to 65535, not '-1'"},
      {"port = 2390x\n", "line 1: port must be a TCP port number from 1 to 65535, not '2390x'"},
      {"port = 99999999999\n", "line 1: port must be a TCP port number from 1 to 65535, not '99999999999'"},
      {"port =\n", "line 1: port must be a TCP port number from 1 to 65535, not ''"},
      {"\n# c\nmode = Diagnostic\n", "line 3: mode must be raw or diag, not 'Diagnostic'"},
      {"log_days = 0\n", "line 1: log_days must be a number of days from 1 to 3650, not '0'"},
      {"port 2390\n", "line 1: not NAME = VALUE: 'port 2390'"},
      {"prot = 2390\n", "line 1: unknown setting 'prot'"},
      {"TARNEXIO_CAPTURE = C:\\x\n", "line 1: unknown setting 'TARNEXIO_CAPTURE'"},  // it is capture_dir
      {"port = 1\r\nPort = 2\r\n", "line 2: port is set twice"},
  };
  for (const Case& c : cases) {
    SettingsReading r = ParseServiceSettings(c.text);
    ASSERT_EQ(r.errors.size(), 1u) << c.text;
    EXPECT_EQ(r.errors[0], c.error);
  }
  EXPECT_EQ(ParseServiceSettings("port = x\nmode = y\nfoo\n").errors.size(), 3u);
}

TEST(ServiceSettings, BridgeSettingsPassThroughInFileOrder) {
  SettingsReading r = ParseServiceSettings(
      "tarnexio_idle_timeout = 30\nTARNEXIO_LISTEN = 127.0.0.1\nTARNEXIO_ALLOW =\nTARNEXIO_CAPTURE_KEEP = 5\n");
  ASSERT_TRUE(r.errors.empty());
  // Names as the bridge reads them; an empty value sets nothing.
  EXPECT_EQ(r.settings.passThrough,
            (Vars{{"TARNEXIO_IDLE_TIMEOUT", "30"}, {"TARNEXIO_LISTEN", "127.0.0.1"}, {"TARNEXIO_CAPTURE_KEEP", "5"}}));
}

TEST(ServiceSettings, ArgumentsOfARun) {
  ServiceSettings s;
  EXPECT_EQ(BridgeArguments(s), "-p 2390 -m raw");
  s = ParseServiceSettings("port = 4000\nmode = DIAG\n").settings;
  EXPECT_EQ(BridgeArguments(s), "-p 4000 -m diag");
}

TEST(ServiceSettings, EnvironmentOfARunReplacesWhatTheSettingsSpeakFor) {
  ServiceSettings s = ParseServiceSettings(
                          "capture_dir = C:\\caps\nmetrics_dir = C:\\m\nTARNEXIO_LISTEN = 0.0.0.0\n")
                          .settings;
  std::vector<std::string> inherited = {"=C:=C:\\Windows", "Path=C:\\Windows", "tarnexio_capture=C:\\old",
                                        "TARNEXIO_ALLOW=10.0.0.0/8", "SystemRoot=C:\\Windows",
                                        "TARNEXIO_PORT=1", "ALLUSERSPROFILE=C:\\ProgramData"};
  std::vector<std::string> block = BridgeEnvironment(inherited, s);
  // The service's own variables stay, those of the bridge's settings come from the file only
  // (an ALLOW of the machine's environment would otherwise reach the bridge unseen), and the
  // block is sorted by name regardless of case; the drive entry of cmd.exe stays first.
  EXPECT_EQ(block, (std::vector<std::string>{"=C:=C:\\Windows", "ALLUSERSPROFILE=C:\\ProgramData", "Path=C:\\Windows",
                                             "SystemRoot=C:\\Windows", "TARNEXIO_CAPTURE=C:\\caps",
                                             "TARNEXIO_LISTEN=0.0.0.0", "TARNEXIO_METRICS_DIR=C:\\m",
                                             "TARNEXIO_PORT=1"}));
  // Nothing set: none of them reaches the bridge.
  block = BridgeEnvironment(inherited, ServiceSettings{});
  EXPECT_EQ(std::count_if(block.begin(), block.end(),
                          [](const std::string& e) { return e.rfind("TARNEXIO_CAPTURE", 0) == 0 ||
                                                            e.rfind("tarnexio_capture", 0) == 0 ||
                                                            e.rfind("TARNEXIO_ALLOW", 0) == 0; }),
            0);
}

}  // namespace
