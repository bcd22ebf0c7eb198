// UTF-8 decoding of environment values: every result is a Unicode scalar value; its
// encoding decodes to itself; without a replacement character it is the input again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/posix/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::wstring wide = tarnexio_posix::DecodeUtf8(input);
  std::string again;
  bool replaced = false;
  for (wchar_t c : wide) {
    const uint32_t v = uint32_t(c);
    FuzzCheck(v <= 0x10FFFF && (v < 0xD800 || v >= 0xE000), "not a scalar value");
    replaced = replaced || v == 0xFFFD;
    tarnexio_posix::AppendUtf8(again, v);
  }
  FuzzCheck(wide.size() <= input.size(), "more characters than bytes");
  FuzzCheck(tarnexio_posix::DecodeUtf8(again) == wide, "the encoding does not decode to itself");
  FuzzCheck(replaced || again == input, "well-formed input not given back");
  return 0;
}
