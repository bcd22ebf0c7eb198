#include "core/hex_dump.h"

#include <cstring>

int FormatHexItems(const BYTE* data, int length, bool prefixed, wchar_t* out, int outCapacity) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  int used = 0;
  for (int i = 0; i < length; ++i) {
    wchar_t item[PREFIXED_HEX_ITEM_CHARS];
    int n = 0;
    const BYTE b = data[i];
    if (prefixed) {
      item[n++] = L'0';
      item[n++] = L'x';
      if (b >= 0x10) item[n++] = kDigits[b >> 4];
    } else {
      item[n++] = kDigits[b >> 4];
    }
    item[n++] = kDigits[b & 0x0F];
    item[n++] = L' ';
    if (used + n >= outCapacity) break;
    std::memcpy(out + used, item, (size_t)n * sizeof(wchar_t));
    used += n;
  }
  if (outCapacity > 0) out[used] = L'\0';
  return used;
}

void PrintHciCommand(const BYTE* command, int length) {
  wchar_t items[HCI_COMMAND_MAX * HEX_ITEM_CHARS + 1];
  FormatHexItems(command, length, false, items, (int)(sizeof items / sizeof items[0]));
  print_message(L"BTFTM: HCI cmd(to btsoc)(%d):%ls\n", length, items);
}
