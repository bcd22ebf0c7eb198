#include "wire/device_dir.h"

#include <cstdio>

std::string DeviceDirectory(const std::string& override, const std::string& runtimeDir, unsigned long uid) {
  if (!override.empty()) return override;
  if (!runtimeDir.empty()) return runtimeDir + "/tarnexio";
  if (uid == 0) return "/run/tarnexio";
  return "/tmp/tarnexio-" + std::to_string(uid);
}

namespace {

std::string Problem(unsigned long mode, unsigned long owner, unsigned long uid, bool stickyWillDo) {
  // The file type bits of st_mode, as every Unix lays them out.
  constexpr unsigned long kTypeMask = 0170000, kSymlink = 0120000, kDirectory = 0040000, kSticky = 01000;
  if ((mode & kTypeMask) == kSymlink) return "is a symbolic link";
  if ((mode & kTypeMask) != kDirectory) return "is not a directory";
  if (owner != uid && owner != 0) return "belongs to uid " + std::to_string(owner) + ", neither this user nor root";
  if ((mode & 022u) != 0 && !(stickyWillDo && (mode & kSticky) != 0)) {
    char text[8];
    std::snprintf(text, sizeof text, "%04lo", mode & 07777u);
    return std::string("is writable by group or others (mode ") + text + ")";
  }
  return std::string();
}

}  // namespace

std::string DeviceDirectoryProblem(unsigned long mode, unsigned long owner, unsigned long uid) {
  return Problem(mode, owner, uid, false);
}

std::string DeviceDirectoryParentProblem(unsigned long mode, unsigned long owner, unsigned long uid) {
  return Problem(mode, owner, uid, true);
}
