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

// A JSON string literal, quotes included; bytes that are not valid UTF-8 become U+FFFD;
// controls (C0, DEL, C1) and the marks that turn the direction of text are escaped (\u009b).
std::string JsonString(const std::string& text);

// Text fit for a terminal line, whoever sent it: C0 controls, DEL, C1 controls and bytes
// that are no valid UTF-8 become \xNN (\x1b, \x9b), the marks that turn the direction
// of text (U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) \uNNNN, and a backslash \\.
std::string Printable(const std::string& text);

// A whole-word unsigned number within [0, max]: decimal without a leading zero ("0"
// itself is one), or 0x (0X) and hexadecimal digits. Never octal, no sign, no spaces.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value);

}  // namespace host
