#include "log.h"

#include <cstdio>
#include <set>

namespace ftmd {
namespace {
bool gVerbose = false;
std::set<std::string>& seenCauses() {
  static std::set<std::string> seen;
  return seen;
}
}  // namespace

void setVerbose(bool on) { gVerbose = on; }
bool verbose() { return gVerbose; }

void logLine(const std::string& text) {
  std::fputs(("ftmd: " + text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void logVerbose(const std::string& text) {
  if (gVerbose) logLine(text);
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
