// Hints on standard error on Windows. The device opens are the system's own here, so a
// failed open is reported by the last error the system gave, with the usual remedy.
#include <atomic>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

std::string SystemText(DWORD error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string out = (n > 0 && text != nullptr) ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.')) {
    out.pop_back();
  }
  return "error " + std::to_string(error) + (out.empty() ? "" : ": " + out);
}

void WriteErrorLine(const std::string& line) {
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

}  // namespace

void ReportDeviceOpenFailures(void) {
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return;
  WriteErrorLine("Tarnexio: no FTM driver device could be opened (" + SystemText(error) +
                 "); is the FTM driver installed and started, with Bluetooth switched off?\n");
  SetLastError(error);
}

void ReportBindFailure(int port, const std::string& address, int error) {
  WriteErrorLine("Tarnexio: cannot listen on TCP port " + std::to_string(port) + (address.empty() ? "" : " of " + address) +
                 " (" + SystemText(DWORD(error)) + ")\n");
}

void ReportHint(const std::string& text) { WriteErrorLine("Tarnexio: " + text + "\n"); }

std::string SocketErrorText(int error) { return SystemText(DWORD(error)); }

void ReportDriverError(DWORD error) {
  static std::atomic<bool> told{false};
  if (error != ERROR_SHARING_VIOLATION || told.exchange(true)) return;
  WriteErrorLine("Tarnexio: the controller is in use (" + SystemText(error) +
                 "): another bridge, or another client of the driver, holds it; one controller serves one at a time\n");
}

// The system sends the console's control events to the handlers on a thread of its own.
void StartConsoleControl(void) {}
