#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace host {

namespace {

// The length of the valid UTF-8 sequence at s[i], or 0 when there is none.
size_t Utf8Length(const std::string& s, size_t i) {
  const unsigned char c = (unsigned char)s[i];
  size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return 0;
  for (size_t k = 1; k < n; ++k)
    if (((unsigned char)s[i + k] >> 6) != 0x2) return 0;
  return n;
}

}  // namespace

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return n < 0 ? std::string() : std::string(buffer, (size_t)n < sizeof buffer ? (size_t)n : sizeof buffer - 1);
}

std::string Hex(const uint8_t* p, size_t n, const char* separator) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) s += separator;
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 0xF];
  }
  return s;
}

std::string BdAddr(const uint8_t* p) {
  return Format("%02X:%02X:%02X:%02X:%02X:%02X", p[5], p[4], p[3], p[2], p[1], p[0]);
}

void JsonLine::Key(const char* key) {
  if (!body_.empty()) body_ += ",";
  body_ += JsonString(key) + ":";
}

JsonLine& JsonLine::Str(const char* key, const std::string& value) {
  Key(key);
  body_ += JsonString(value);
  return *this;
}

JsonLine& JsonLine::Num(const char* key, long long value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Raw(const char* key, const std::string& json) {
  Key(key);
  body_ += json;
  return *this;
}

std::string JsonString(const std::string& text) {
  std::string s = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = (unsigned char)text[i];
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      s += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      s += '\\';
      s += (char)c;
    } else if (c < 0x20) {
      s += Format("\\u%04x", c);
    } else {
      s.append(text, i, n);
    }
    i += n;
  }
  return s + "\"";
}

std::string Printable(const std::string& text) {
  std::string s;
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8Length(text, i);
    if (n == 0 || (unsigned char)text[i] < 0x20 || text[i] == 0x7F) {
      s += '?';
      ++i;
    } else {
      s.append(text, i, n);
      i += n;
    }
  }
  return s;
}

}  // namespace host
