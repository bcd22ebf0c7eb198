#include "fault_support.h"

#include <dirent.h>
#include <fstream>
#include <sstream>

namespace faults {

ProcFigures Figures(pid_t pid) {
  ProcFigures f;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "VmRSS:") in >> f.rssKb;
    if (key == "Threads:") in >> f.threads;
  }
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir != nullptr) {
    f.fds = 0;
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') ++f.fds;
    }
    closedir(dir);
  }
  return f;
}

bool SanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

long RssSlackKb() { return SanitizerBuild() ? 256 * 1024 : 8 * 1024; }

int EnvCount(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  int value = std::atoi(text);
  return value > 0 ? value : fallback;
}

}  // namespace faults
