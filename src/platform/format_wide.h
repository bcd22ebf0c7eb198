// The formatting half of print_message, the same on every system.
#pragma once

#include <cstdarg>
#include <string>

namespace tarnexio_platform {

// Formats a wide-character message of any length. A message that cannot be formatted
// (longer than 256 Ki characters, or holding a character the locale cannot take) gives
// a line that says so instead.
std::wstring FormatWideMessage(const wchar_t* format, va_list args);

}  // namespace tarnexio_platform
