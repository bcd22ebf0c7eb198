// Wide characters (UTF-32 on these systems) to UTF-8 and back.
#pragma once

#include <cstdint>
#include <string>

namespace tarnexio_posix {

// Appends one character; a value that is not a character becomes U+FFFD.
void AppendUtf8(std::string& out, uint32_t c);

// Decodes UTF-8; each byte that does not start a well-formed sequence (overlong forms,
// surrogates and values above U+10FFFF included) becomes U+FFFD and decoding goes on
// behind it.
std::wstring DecodeUtf8(const std::string& text);

}  // namespace tarnexio_posix
