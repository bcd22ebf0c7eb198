// The bridge's capture file on these systems: the shared opener, by wide-character name.
#include "platform/platform.h"

#include "platform/posix/capture_target.h"
#include "platform/posix/utf8.h"

#include <cerrno>
#include <chrono>
#include <unistd.h>

CaptureOpenResult OpenCaptureFile(const wchar_t* name, std::wstring* path, std::FILE** file, std::wstring* why) {
  std::string utf8;
  for (const wchar_t* c = name; *c != 0; ++c) tarnexio_posix::AppendUtf8(utf8, uint32_t(*c));
  using namespace std::chrono;
  const int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  tarnexio_posix::CaptureTarget t = tarnexio_posix::OpenCaptureTarget(utf8, "tarnexio", now, nullptr);
  *path = tarnexio_posix::DecodeUtf8(t.path.c_str());
  *file = nullptr;
  switch (t.kind) {
    case tarnexio_posix::CAPTURE_TARGET_REFUSED:
      *why = tarnexio_posix::DecodeUtf8(t.why.c_str());
      return CAPTURE_REFUSED;
    case tarnexio_posix::CAPTURE_TARGET_FAILED: errno = t.error; return CAPTURE_CANNOT_CREATE;
    case tarnexio_posix::CAPTURE_TARGET_FIFO:
      if (t.pathFd >= 0) close(t.pathFd);
      if (t.fd < 0) return CAPTURE_NO_READER;
      break;
    case tarnexio_posix::CAPTURE_TARGET_FILE: break;
  }
  *file = fdopen(t.fd, "wb");
  if (*file == nullptr) {
    const int error = errno;
    close(t.fd);
    errno = error;
    return CAPTURE_CANNOT_CREATE;
  }
  return CAPTURE_OPENED;
}
