#include "log.h"

#include <cstdio>
#include <set>

namespace ftmd {
namespace {
bool g_verbose = false;
std::set<std::string>& seenCauses() {
  static std::set<std::string> seen;
  return seen;
}
}  // namespace

void setVerbose(bool on) { g_verbose = on; }
bool verbose() { return g_verbose; }

void logLine(const std::string& text) {
  std::fputs(("ftmd: " + text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void logVerbose(const std::string& text) {
  if (g_verbose) logLine(text);
}

void logError(const std::string& text) {
  std::fputs(("ftmd: " + text + "\n").c_str(), stderr);
  std::fflush(stderr);
}

bool logOnce(const std::string& cause) {
  if (!seenCauses().insert(cause).second) return false;
  logError(cause + " (reported once)");
  return true;
}

}  // namespace ftmd
