// Text and JSON formatting for tarnexio-host's output lines.
#pragma once

#include <cstdint>
#include <string>

#include "steps.h"

namespace host {

// printf into a string.
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// "01 03 0c 00" (separator " ") or "01030c00" (separator "").
std::string Hex(const uint8_t* p, size_t n, const char* separator = " ");
inline std::string Hex(const Bytes& b, const char* separator = " ") { return Hex(b.data(), b.size(), separator); }

// A little-endian BD_ADDR as written, most significant byte first: "12:34:56:78:9A:BC".
std::string BdAddr(const uint8_t* p);

// One JSON object on one line, built member by member in order.
class JsonLine {
 public:
  JsonLine& Str(const char* key, const std::string& value);
  JsonLine& Num(const char* key, long long value);
  JsonLine& Raw(const char* key, const std::string& json);  // value already JSON
  std::string Done() const { return "{" + body_ + "}"; }

 private:
  void Key(const char* key);
  std::string body_;
};

// A JSON string literal, quotes included; bytes that are not valid UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);

// Text fit for a console line: control characters and invalid UTF-8 become '?'.
std::string Printable(const std::string& text);

}  // namespace host
