// The environment and plain files, by their wide-character names.
#include "platform/platform.h"

#include "wire/capture_name.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
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

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

int64_t NowUnixMillis() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime;  // 100 ns since 1601
  return int64_t((ticks - 116444736000000000ULL) / 10000);
}

// A FILE over a handle to a file opened for writing; nullptr (errno set) when it cannot be had.
std::FILE* StreamOf(HANDLE handle) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EBADF;
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
}

}  // namespace

CaptureOpenResult OpenCaptureFile(const wchar_t* name, std::wstring* path, std::FILE** file, std::wstring* why) {
  *path = name;
  *file = nullptr;
  const DWORD attributes = GetFileAttributesW(name);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *why = L"it is a link";
    return CAPTURE_REFUSED;
  }
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *file = CreateFileForWriting(name);
    return *file != nullptr ? CAPTURE_OPENED : CAPTURE_CANNOT_CREATE;
  }
  const int64_t now = NowUnixMillis();
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::wstring candidate = name;
    if (!candidate.empty() && candidate.back() != L'\\' && candidate.back() != L'/') candidate += L'\\';
    candidate += Widen(CaptureFileName("tarnexio", now, GetCurrentProcessId(), attempt));
    HANDLE handle = CreateFileW(candidate.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
    *path = candidate;
    if (handle == INVALID_HANDLE_VALUE) {
      errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
      return CAPTURE_CANNOT_CREATE;
    }
    *file = StreamOf(handle);
    return *file != nullptr ? CAPTURE_OPENED : CAPTURE_CANNOT_CREATE;
  }
  errno = EEXIST;
  return CAPTURE_CANNOT_CREATE;
}
