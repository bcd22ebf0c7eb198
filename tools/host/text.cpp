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

// The code point of the valid UTF-8 sequence of n bytes at s[i].
uint32_t CodePoint(const std::string& s, size_t i, size_t n) {
  static const unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  uint32_t c = (unsigned char)s[i] & kLeadMask[n];
  for (size_t k = 1; k < n; ++k) c = c << 6 | ((unsigned char)s[i + k] & 0x3F);
  return c;
}

// A C1 control (0x9b is a terminal's CSI) or a mark that turns the direction of what
// follows on a line: what a terminal must not be given from a peer.
bool IsHiddenControl(uint32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
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
    } else if (c < 0x20 || c == 0x7F) {
      s += Format("\\u%04x", c);
    } else if (n > 1 && IsHiddenControl(CodePoint(text, i, n))) {
      s += Format("\\u%04x", (unsigned)CodePoint(text, i, n));
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
    const unsigned char c = (unsigned char)text[i];
    const size_t n = Utf8Length(text, i);
    const uint32_t point = n == 0 ? 0 : CodePoint(text, i, n);
    if (n == 0 || c < 0x20 || c == 0x7F) {
      // A byte that is no character of its own, or a C0 control.
      s += Format("\\x%02x", c);
      ++i;
      continue;
    }
    if (n > 1 && IsHiddenControl(point)) {
      s += point <= 0xFF ? Format("\\x%02x", (unsigned)point) : Format("\\u%04x", (unsigned)point);
    } else if (c == '\\') {
      s += "\\\\";  // so that an escape in the text cannot pass for one of ours
    } else {
      s.append(text, i, n);
    }
    i += n;
  }
  return s;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t start = hex ? 2 : 0;
  if (text.empty() || (!hex && text.size() > 1 && text[0] == '0')) return false;
  unsigned long v = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = unsigned(c - '0');
    } else if (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      digit = unsigned((c | 0x20) - 'a' + 10);
    } else {
      return false;
    }
    const unsigned long base = hex ? 16 : 10;
    if (digit > max || v > (max - digit) / base) return false;  // past max, long before it could wrap
    v = v * base + digit;
  }
  *value = v;
  return true;
}

}  // namespace host
