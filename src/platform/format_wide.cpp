#include "platform/format_wide.h"

#include <cwchar>
#include <vector>

namespace tarnexio_platform {

std::wstring FormatWideMessage(const wchar_t* format, va_list args) {
  std::vector<wchar_t> buffer(1024);
  // vswprintf only says "too small" by failing, so grow until it fits.
  while (buffer.size() <= (size_t(256) << 10)) {
    va_list attempt;
    va_copy(attempt, args);
    int length = vswprintf(buffer.data(), buffer.size(), format, attempt);
    va_end(attempt);
    if (length >= 0) return std::wstring(buffer.data(), size_t(length));
    buffer.resize(buffer.size() * 4);
  }
  return L"(message could not be formatted)\n";
}

}  // namespace tarnexio_platform
