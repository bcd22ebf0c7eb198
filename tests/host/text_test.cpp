// What tarnexio-host lets reach a terminal from a hostile bridge or script, how it reads
// numbers, and which scripts it reads at all.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "steps.h"
#include "text.h"

using namespace host;

namespace {

TEST(HostText, ControlsAndDirectionMarksAreEscapedOnTheConsoleAndInJson) {
  const struct {
    std::string text, printable, json;
  } cases[] = {
      {"plain bench-1", "plain bench-1", "\"plain bench-1\""},
      {"\x1b[2J", "\\x1b[2J", "\"\\u001b[2J\""},                        // C0: ESC
      {"a\x7f" "b", "a\\x7fb", "\"a\\u007fb\""},                        // DEL
      {"\xc2\x9b" "31m", "\\x9b31m", "\"\\u009b31m\""},                  // C1: CSI
      {"\xc2\x9d" "0;t\xc2\x9c", "\\x9d0;t\\x9c", "\"\\u009d0;t\\u009c\""},  // C1: OSC ... ST
      {"\xc2\x85", "\\x85", "\"\\u0085\""},                             // C1: NEL
      {"\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9", "\"\xc2\xa0\xc3\xa9\""},  // just past C1: kept
      {"gpj.\xe2\x80\xae" "exe", "gpj.\\u202eexe", "\"gpj.\\u202eexe\""},  // right-to-left override
      {"\xe2\x80\xaa\xe2\x80\xac", "\\u202a\\u202c", "\"\\u202a\\u202c\""},
      {"\xe2\x81\xa6x\xe2\x81\xa9", "\\u2066x\\u2069", "\"\\u2066x\\u2069\""},  // isolates
      {"\xe2\x80\x8e\xe2\x80\x8f", "\\u200e\\u200f", "\"\\u200e\\u200f\""},    // LRM, RLM
      {"\xe2\x80\xa9", "\xe2\x80\xa9", "\"\xe2\x80\xa9\""},  // a neighbour of the overrides: kept
      {"\x9b", "\\x9b", "\"\\ufffd\""},                     // a lone byte that a terminal reads as CSI
      {"back\\x9b", "back\\\\x9b", "\"back\\\\x9b\""},       // an escape in the text stays the text's
      {"\xe2\x80", "\\xe2\\x80", "\"\\ufffd\\ufffd\""},     // cut short
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Printable(c.text), c.printable) << c.printable;
    EXPECT_EQ(JsonString(c.text), c.json) << c.printable;
  }
}

TEST(HostText, NumbersAreDecimalOrHexNeverOctal) {
  const struct {
    const char* text;
    unsigned long max;
    bool ok;
    unsigned long value;
  } cases[] = {
      {"0", 10, true, 0},         {"8", 10, true, 8},         {"10", 10, true, 10},
      {"11", 10, false, 0},       {"010", 100, false, 0},     {"00", 100, false, 0},
      {"0x10", 100, true, 16},    {"0X1f", 100, true, 31},    {"0x0010", 100, true, 16},
      {"0x", 100, false, 0},      {"0x0x5", 100, false, 0},   {"0xg", 100, false, 0},
      {"+5", 100, false, 0},      {"-1", 100, false, 0},      {" 5", 100, false, 0},
      {"5 ", 100, false, 0},      {"", 100, false, 0},        {"1e3", 10000, false, 0},
      {"4294967295", 4294967295ul, true, 4294967295ul},       {"4294967296", 4294967295ul, false, 0},
      {"0xffffffffffffffffff", 0xffff, false, 0},             {"99999999999999999999999", 100, false, 0},
  };
  for (const auto& c : cases) {
    unsigned long v = 12345;
    EXPECT_EQ(ParseNumber(c.text, c.max, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  // The steps and events read their numbers so too.
  std::vector<Step> steps;
  std::string error;
  EXPECT_FALSE(ParseSteps({"ping", "010"}, Mode::RAW, &steps, &error));
  EXPECT_TRUE(ParseSteps({"ping", "10", "await", "0x05", "le-tx", "0x27", "0", "0"}, Mode::RAW, &steps, &error))
      << error;
  EXPECT_EQ(steps[1].eventCode, 0x05);
  EXPECT_FALSE(ParseSteps({"await", "005"}, Mode::RAW, &steps, &error));
}

TEST(HostText, ScriptWordsComeBackInErrorsEscaped) {
  std::vector<Step> steps;
  std::string error;
  EXPECT_FALSE(ParseSteps(ScriptWords("reset \x1b]0;owned\x07 \xc2\x9b" "2J"), Mode::RAW, &steps, &error));
  EXPECT_EQ(error, "unknown step '\\x1b]0;owned\\x07' after 'reset'");
  Options o;
  EXPECT_FALSE(ParseCommandLine({"--\xe2\x80\xae", "h:1", "reset"}, &o, &error));
  EXPECT_EQ(error, "unknown option --\\u202e");
}

struct ScriptDir {
  std::string path;
  ScriptDir() {
    char pattern[] = "/tmp/tarnexio-host-script-XXXXXX";
    path = mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~ScriptDir() { (void)std::system(("rm -rf '" + path + "'").c_str()); }
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string file = path + "/" + name;
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (f != nullptr) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
    return file;
  }
};

TEST(HostText, ScriptsAreRegularFilesOrPipesOfBoundedSize) {
  ScriptDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string atLimit(kMaxScriptBytes, ' ');
  const struct {
    std::string path;
    bool ok;
    const char* said;
  } cases[] = {
      {dir.Write("bench.txt", "reset\n"), true, ""},
      {dir.Write("full.txt", atLimit), true, ""},
      {dir.Write("long.txt", atLimit + "#"), false, "is longer than 1048576 bytes"},
      {"/dev/zero", false, "is neither a regular file nor a pipe"},
      {dir.path, false, ""},  // a directory: refused, whether or not the system opens it
      {dir.path + "/missing", false, "cannot read script"},
  };
  for (const auto& c : cases) {
    std::string text, error;
    EXPECT_EQ(ReadScript(c.path, &text, &error), c.ok) << c.path;
    EXPECT_NE(error.find(c.said), std::string::npos) << c.path << ": " << error;
  }
  // A pipe, as a shell's <(...) gives it.
  const std::string fifo = dir.path + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = open(fifo.c_str(), O_WRONLY);
    if (fd >= 0) {
      (void)!write(fd, "reset ping 3\n", 13);
      close(fd);
    }
  });
  std::string text, error;
  EXPECT_TRUE(ReadScript(fifo, &text, &error)) << error;
  writer.join();
  EXPECT_EQ(text, "reset ping 3\n");
}

}  // namespace
