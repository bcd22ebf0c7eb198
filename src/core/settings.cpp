#include "core/settings.h"

#include "platform/platform.h"

#include <string>

bool ReadNumberSetting(const wchar_t* name, unsigned long max, const wchar_t* what, unsigned long* value) {
  std::wstring text;
  if (!ReadEnvironmentVariable(name, &text)) return false;
  unsigned long long n = 0;
  bool valid = !text.empty() && text.size() <= 10 && text[0] != L'0';
  for (wchar_t c : text) {
    valid = valid && c >= L'0' && c <= L'9';
    if (valid) n = n * 10 + unsigned(c - L'0');
  }
  if (!valid || n > max) {
    print_message(L"BTFTM : %ls=%ls is not a number of %ls from 1 to %lu, ignored\n", name, text.c_str(), what, max);
    return false;
  }
  *value = (unsigned long)n;
  return true;
}
