#include "platform/posix/utf8.h"

#include <cstdint>

namespace tarnexio_posix {

void AppendUtf8(std::string& out, uint32_t c) {
  if (c >= 0xD800 && (c < 0xE000 || c > 0x10FFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

std::wstring DecodeUtf8(const std::string& text) {
  std::wstring out;
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = uint8_t(text[i]);
    // Continuation bytes behind the lead byte, its value bits and the smallest value
    // a sequence of that length may carry.
    size_t extra = 0;
    uint32_t c = lead, min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, c = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, c = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, c = lead & 0x07, min = 0x10000;
    } else if (lead >= 0x80) {
      extra = SIZE_MAX;  // a continuation byte, or one that starts no sequence
    }
    bool good = extra != SIZE_MAX && n - i > extra;
    for (size_t k = 1; good && k <= extra; ++k) {
      const uint8_t next = uint8_t(text[i + k]);
      good = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3F);
    }
    if (good && (c < min || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))) good = false;
    if (!good) {
      out += wchar_t(0xFFFD);
      ++i;
      continue;
    }
    out += wchar_t(c);
    i += 1 + extra;
  }
  return out;
}

}  // namespace tarnexio_posix
