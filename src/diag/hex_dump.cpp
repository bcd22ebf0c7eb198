// The "%02x " items of a packet dump, assembled so that a whole line is printed at once.
#include "diag/hex_dump.h"

void FormatHexItems(const BYTE* data, int length, wchar_t* out) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  int pos = 0;
  for (int i = 0; i < length; ++i) {
    out[pos++] = kDigits[data[i] >> 4];
    out[pos++] = kDigits[data[i] & 0x0F];
    out[pos++] = L' ';
  }
  out[pos] = L'\0';
}
