// print_message on Windows: formats wide and writes the whole message at once, to the
// console as wide characters, or as UTF-8 when standard output is a pipe or a file.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/format_wide.h"
#include "platform/platform.h"

namespace {

std::mutex g_printMutex;

}  // namespace

void print_message(const wchar_t* format, ...) {
  if (format == nullptr) return;
  DWORD savedError = GetLastError();
  int savedWsaError = WSAGetLastError();
  va_list args;
  va_start(args, format);
  const std::wstring text = tarnexio_platform::FormatWideMessage(format, args);
  va_end(args);
  {
    std::lock_guard<std::mutex> lock(g_printMutex);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
      DWORD written = 0;
      WriteConsoleW(out, text.data(), DWORD(text.size()), &written, nullptr);
    } else {
      int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
      if (size > 0) {
        std::string utf8(size_t(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &utf8[0], size, nullptr, nullptr);
        fflush(stdout);
        fwrite(utf8.data(), 1, utf8.size(), stdout);
        fflush(stdout);
      }
    }
  }
  SetLastError(savedError);
  WSASetLastError(savedWsaError);
}
