// Wide characters (UTF-32 on these systems) to UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace tarnexio_posix {

// Appends one character; a value that is not a character becomes U+FFFD.
void AppendUtf8(std::string& out, uint32_t c);

}  // namespace tarnexio_posix
