// The environment and plain files, by their wide-character names.
#include "platform/platform.h"

#include "wire/capture_name.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <algorithm>
#include <vector>

std::string ProgramNameForHelp(const char*) { return "Tarnexio.exe"; }

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

// A capture goes to a file, or to a named pipe this program creates and a reader (Wireshark)
// connects to. The pipe's operations are overlapped, so that none waits longer than asked.
struct CaptureStream {
  std::FILE* file = nullptr;
  std::wstring createdInDirectory;  // the file, when it was created in a directory for this run
  HANDLE pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED connect = {};
  bool connecting = false;  // a ConnectNamedPipe is pending on connect
  bool connected = false;
};

namespace {

bool IsPipeName(const wchar_t* name) {
  const wchar_t prefix[] = L"\\\\.\\pipe\\";
  return _wcsnicmp(name, prefix, wcslen(prefix)) == 0 && wcslen(name) > wcslen(prefix);
}

// A security descriptor whose access list admits the user this process runs as, alone:
// a named pipe's default one lets everyone read it. The buffer holds the descriptor, its
// list and the user's SID; false when the token cannot say who the user is.
struct OwnerOnlySecurity {
  SECURITY_DESCRIPTOR descriptor;
  std::vector<BYTE> user;  // TOKEN_USER and its SID
  std::vector<BYTE> acl;
  SECURITY_ATTRIBUTES attributes;
};

bool MakeOwnerOnlySecurity(OwnerOnlySecurity* s) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  s->user.resize(size);
  const bool known = size > 0 && GetTokenInformation(token, TokenUser, s->user.data(), size, &size);
  CloseHandle(token);
  if (!known) return false;
  PSID sid = reinterpret_cast<TOKEN_USER*>(s->user.data())->User.Sid;
  s->acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
  ACL* acl = reinterpret_cast<ACL*>(s->acl.data());
  if (!InitializeAcl(acl, DWORD(s->acl.size()), ACL_REVISION) || !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid))
    return false;
  if (!InitializeSecurityDescriptor(&s->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&s->descriptor, TRUE, acl, FALSE))
    return false;
  s->attributes.nLength = sizeof s->attributes;
  s->attributes.lpSecurityDescriptor = &s->descriptor;
  s->attributes.bInheritHandle = FALSE;
  return true;
}

CaptureOpenResult CreateCapturePipe(const wchar_t* name, CaptureStream** stream, std::wstring* why) {
  OwnerOnlySecurity security;
  if (!MakeOwnerOnlySecurity(&security)) {
    errno = EACCES;
    return CAPTURE_CANNOT_CREATE;
  }
  // The first instance only: a pipe of that name that exists already belongs to someone else.
  HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536, 0, 0,
                                 &security.attributes);
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) {
      *why = L"a pipe of that name exists already";
      return CAPTURE_REFUSED;
    }
    errno = error == ERROR_INVALID_NAME || error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
    return CAPTURE_CANNOT_CREATE;
  }
  CaptureStream* s = new CaptureStream;
  s->pipe = pipe;
  s->connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  *stream = s;
  return CAPTURE_OPENED_PIPE;
}

// Waits for an overlapped operation on the pipe; false when it is still pending at the timeout.
bool Finished(OVERLAPPED* operation, int timeoutMs) {
  return WaitForSingleObject(operation->hEvent, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs)) == WAIT_OBJECT_0;
}

long WriteToPipe(CaptureStream* stream, const uint8_t* data, size_t length, int timeoutMs) {
  if (!stream->connected) return -EPIPE;
  OVERLAPPED write = {};
  write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD written = 0;
  long result = 0;
  const DWORD size = length > 0x10000 ? 0x10000 : DWORD(length);
  if (WriteFile(stream->pipe, data, size, &written, &write)) {
    result = long(written);
  } else if (GetLastError() != ERROR_IO_PENDING) {
    result = -EPIPE;
  } else {
    if (!Finished(&write, timeoutMs)) CancelIoEx(stream->pipe, &write);
    if (GetOverlappedResult(stream->pipe, &write, &written, TRUE)) {
      result = long(written);
    } else {
      result = GetLastError() == ERROR_OPERATION_ABORTED ? long(written) : -EPIPE;
    }
  }
  CloseHandle(write.hEvent);
  return result;
}

// Keeps at most keep capture files of this program in the directory (the one just made
// among them): the oldest by name, which is by start time, go. Links and other names are
// left alone.
void PruneCaptureDirectory(const std::wstring& directory, unsigned keep) {
  std::vector<std::wstring> ours;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"tarnexio-*.btsnoop").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    std::string narrow;
    for (const wchar_t* c = found.cFileName; *c != 0; ++c) narrow += *c < 0x80 ? char(*c) : '?';
    if (IsCaptureFileName("tarnexio", narrow)) ours.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(ours.begin(), ours.end());
  for (size_t i = 0; i + keep < ours.size(); ++i) DeleteFileW((directory + ours[i]).c_str());
}

}  // namespace

CaptureOpenResult OpenCaptureStream(const wchar_t* name, std::wstring* path, CaptureStream** stream, std::wstring* why,
                                    unsigned keep) {
  *path = name;
  *stream = nullptr;
  if (IsPipeName(name)) return CreateCapturePipe(name, stream, why);
  std::FILE* file = nullptr;
  const DWORD attributes = GetFileAttributesW(name);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *why = L"it is a link";
    return CAPTURE_REFUSED;
  }
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    file = CreateFileForWriting(name);
  } else {
    const int64_t now = NowUnixMillis();
    errno = EEXIST;
    for (unsigned attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
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
      file = StreamOf(handle);
      if (file == nullptr) return CAPTURE_CANNOT_CREATE;
      std::wstring directory = name;
      if (!directory.empty() && directory.back() != L'\\' && directory.back() != L'/') directory += L'\\';
      if (keep > 0) PruneCaptureDirectory(directory, keep);
    }
  }
  if (file == nullptr) return CAPTURE_CANNOT_CREATE;
  std::setvbuf(file, nullptr, _IONBF, 0);
  *stream = new CaptureStream;
  (*stream)->file = file;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    (*stream)->createdInDirectory = *path;
  return CAPTURE_OPENED_FILE;
}

long WriteCaptureStream(CaptureStream* stream, const uint8_t* data, size_t length, int timeoutMs) {
  if (stream->file == nullptr) return WriteToPipe(stream, data, length, timeoutMs);
  // What a failed write left of the record is cut off again, so that the file ends with
  // the last whole record (a full disk takes part of a record, then fails).
  const long long start = _ftelli64(stream->file);
  errno = 0;
  if (std::fwrite(data, 1, length, stream->file) == length && std::fflush(stream->file) == 0) return long(length);
  const int error = errno != 0 ? errno : EIO;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream->file)));
  LARGE_INTEGER at;
  at.QuadPart = start;
  if (start >= 0 && handle != INVALID_HANDLE_VALUE && SetFilePointerEx(handle, at, nullptr, FILE_BEGIN)) {
    SetEndOfFile(handle);
    clearerr(stream->file);
  }
  return -error;
}

int AwaitCaptureReader(CaptureStream* stream, int timeoutMs) {
  if (stream->connected) return 0;
  if (!stream->connecting) {
    ResetEvent(stream->connect.hEvent);
    if (ConnectNamedPipe(stream->pipe, &stream->connect)) {
      stream->connected = true;
      return 0;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
      stream->connected = true;
      return 0;
    }
    if (error != ERROR_IO_PENDING) return error == ERROR_NO_DATA ? EAGAIN : EIO;
    stream->connecting = true;
  }
  if (!Finished(&stream->connect, timeoutMs)) return EAGAIN;
  stream->connecting = false;
  DWORD ignored = 0;
  if (!GetOverlappedResult(stream->pipe, &stream->connect, &ignored, FALSE)) {
    // A client that came and went before the connection completed: wait for the next.
    DisconnectNamedPipe(stream->pipe);
    return EAGAIN;
  }
  stream->connected = true;
  return 0;
}

void DropCaptureReader(CaptureStream* stream) {
  if (stream->file != nullptr || !stream->connected) return;
  DisconnectNamedPipe(stream->pipe);
  stream->connected = false;
}

void CloseCaptureStream(CaptureStream* stream) {
  if (stream->file != nullptr) std::fclose(stream->file);
  if (stream->pipe != INVALID_HANDLE_VALUE) {
    if (stream->connecting) {
      CancelIoEx(stream->pipe, &stream->connect);
      DWORD ignored = 0;
      GetOverlappedResult(stream->pipe, &stream->connect, &ignored, TRUE);
    }
    FlushFileBuffers(stream->pipe);
    DisconnectNamedPipe(stream->pipe);
    CloseHandle(stream->pipe);
    CloseHandle(stream->connect.hEvent);
  }
  delete stream;
}

namespace {

std::wstring InDirectory(const wchar_t* dir, const wchar_t* name) {
  std::wstring path = dir;
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  return path + name;
}

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

enum { REPLACE_ATTEMPTS = 20, REPLACE_RETRY_MS = 10 };

}  // namespace

int ReplaceFileInDirectory(const wchar_t* dir, const wchar_t* name, const std::string& content) {
  const std::wstring target = InDirectory(dir, name);
  const std::wstring temporary = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ErrnoOf(GetLastError());
  DWORD error = 0;
  DWORD written = 0;
  if (!WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr) || written != content.size()) {
    error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
  } else if (!FlushFileBuffers(file)) {
    error = GetLastError();
  }
  CloseHandle(file);
  // A collector that has the old file open without leave to delete it holds the rename
  // back for a moment: it is tried again, bounded.
  for (int attempt = 0; error == 0 && attempt < REPLACE_ATTEMPTS; ++attempt) {
    if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) break;
    const DWORD moveError = GetLastError();
    if ((moveError != ERROR_ACCESS_DENIED && moveError != ERROR_SHARING_VIOLATION) || attempt + 1 == REPLACE_ATTEMPTS) {
      error = moveError;
    } else {
      Sleep(REPLACE_RETRY_MS);
    }
  }
  if (error != 0) DeleteFileW(temporary.c_str());
  return error == 0 ? 0 : ErrnoOf(error);
}

int ReadFileInDirectory(const wchar_t* dir, const wchar_t* name, size_t limit, std::string* content) {
  content->clear();
  const std::wstring path = InDirectory(dir, name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ErrnoOf(GetLastError());
  int result = 0;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    result = ErrnoOf(GetLastError());
  } else if (uint64_t(size.QuadPart) > limit) {
    result = EFBIG;
  } else {
    content->resize(size_t(size.QuadPart));
    DWORD read = 0;
    if (!content->empty() && (!ReadFile(file, &(*content)[0], DWORD(content->size()), &read, nullptr) ||
                              read != content->size())) {
      result = EIO;
      content->clear();
    }
  }
  CloseHandle(file);
  return result;
}

void CloseEmptyCaptureStream(CaptureStream* stream) {
  const std::wstring created = stream->createdInDirectory;
  CloseCaptureStream(stream);
  if (!created.empty()) DeleteFileW(created.c_str());
}
