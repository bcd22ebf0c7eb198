// The device's path: the device directory, the name in a device path, and the check
// that the directory is one no other user can have planted or can change.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/device_object.h"
#include "platform/posix/utf8.h"
#include "platform/posix/trusted_dir.h"
#include "wire/device_dir.h"

namespace tarnexio_posix {

std::string DeviceDir() {
  const char* override = std::getenv("TARNEXIO_DEVICE_DIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return DeviceDirectory(override != nullptr ? override : "", runtime != nullptr ? runtime : "", geteuid());
}

// "\\.\NAME" -> NAME, as UTF-8. Empty when the path does not name a device.
std::string DeviceName(LPCWSTR fileName) {
  if (fileName == nullptr) return std::string();
  std::wstring path(fileName);
  const std::wstring prefix = L"\\\\.\\";
  if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return std::string();
  std::string name;
  for (size_t i = prefix.size(); i < path.size(); ++i) {
    if (path[i] == L'/' || path[i] == 0) return std::string();
    AppendUtf8(name, uint32_t(path[i]));
  }
  return name;
}

// The device directory may only be one that no other user can have planted or can change,
// on a path that no other user can change: a missing one is created for this user alone.
int OpenDeviceDir(const std::string& dir) {
  const TrustedDirectory opened = OpenTrustedDirectory(dir, MakeMissing::kLast, geteuid());
  if (!opened.problem.empty()) WriteHintLine("not using the device directory " + dir + ": " + opened.problem);
  errno = opened.error;  // a missing directory is reported as the open's failure
  return opened.fd;
}

}  // namespace tarnexio_posix
