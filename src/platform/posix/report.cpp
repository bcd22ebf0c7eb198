// Hints on standard error: the device opens that failed since the last one that worked,
// and a TCP port that could not be bound, each with the system's reason.
#include <atomic>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/internal.h"
#include "wire/locks.h"

namespace tarnexio_posix {
namespace {

Mutex g_failedOpensMutex;
std::vector<std::string>& FailedOpens() TARNEXIO_REQUIRES(g_failedOpensMutex) {
  static auto* failed = new std::vector<std::string>();
  return *failed;
}

std::string Reason(int error) { return std::system_category().message(error); }

}  // namespace

void WriteHintLine(const std::string& text) {
  const std::string line = "Tarnexio: " + text + "\n";
  ssize_t n;
  do {
    n = write(STDERR_FILENO, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

void NoteDeviceOpenFailure(const std::string& path, int error) {
  MutexLock lock(&g_failedOpensMutex);
  FailedOpens().push_back(path + " (" + Reason(error) + ")");
}

void ForgetDeviceOpenFailures() {
  MutexLock lock(&g_failedOpensMutex);
  FailedOpens().clear();
}

}  // namespace tarnexio_posix

using namespace tarnexio_posix;

void ReportDeviceOpenFailures(void) {
  std::vector<std::string> failed;
  {
    MutexLock lock(&g_failedOpensMutex);
    failed.swap(FailedOpens());
  }
  if (failed.empty()) return;
  std::string line = "no driver device could be opened: ";
  for (size_t i = 0; i < failed.size(); ++i) line += (i == 0 ? "" : ", ") + failed[i];
  line += "; is ftmd running, with the same device directory (TARNEXIO_DEVICE_DIR here, --dir for ftmd)?";
  WriteHintLine(line);
}

void ReportBindFailure(int port, const std::string& address, int error) {
  WriteHintLine("cannot listen on TCP port " + std::to_string(port) + (address.empty() ? "" : " of " + address) + " (" +
                Reason(error) + ")");
}

void ReportHint(const std::string& text) { WriteHintLine(text); }

std::string SocketErrorText(int error) { return "error " + std::to_string(error) + ": " + Reason(error); }

void ReportDriverError(DWORD error) {
  static std::atomic<bool> told{false};
  if (error != ERROR_SHARING_VIOLATION || told.exchange(true)) return;
  WriteHintLine("the controller is in use (error " + std::to_string(error) +
                "): another bridge, or another client of the driver, holds it; one controller serves one at a time");
}
