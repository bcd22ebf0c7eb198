// The environment and plain files, by their wide-character names.
#include "platform/platform.h"

#include <vector>

bool ReadEnvironmentVariable(const wchar_t* name, std::wstring* value) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return false;
  std::vector<wchar_t> buffer(size);
  const DWORD length = GetEnvironmentVariableW(name, buffer.data(), size);
  if (length == 0 || length >= size) return false;
  value->assign(buffer.data(), length);
  return true;
}

std::FILE* CreateFileForWriting(const wchar_t* path) { return _wfopen(path, L"wb"); }
