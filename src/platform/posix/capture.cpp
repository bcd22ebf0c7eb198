// The bridge's capture target on these systems: the shared opener, by wide-character name.
#include "platform/platform.h"

#include "platform/posix/capture_target.h"
#include "platform/posix/utf8.h"

#include <cerrno>
#include <chrono>

struct CaptureStream {
  tarnexio_posix::CaptureFds fds;
};

CaptureOpenResult OpenCaptureStream(const wchar_t* name, std::wstring* path, CaptureStream** stream, std::wstring* why,
                                    unsigned keep) {
  std::string utf8;
  for (const wchar_t* c = name; *c != 0; ++c) tarnexio_posix::AppendUtf8(utf8, uint32_t(*c));
  using namespace std::chrono;
  const int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const tarnexio_posix::CaptureTarget t = tarnexio_posix::OpenCaptureTarget(utf8, "tarnexio", now, nullptr, keep);
  *path = tarnexio_posix::DecodeUtf8(t.path);
  *stream = nullptr;
  switch (t.kind) {
    case tarnexio_posix::CAPTURE_TARGET_REFUSED: *why = tarnexio_posix::DecodeUtf8(t.why); return CAPTURE_REFUSED;
    case tarnexio_posix::CAPTURE_TARGET_FAILED: errno = t.error; return CAPTURE_CANNOT_CREATE;
    case tarnexio_posix::CAPTURE_TARGET_FIFO:
    case tarnexio_posix::CAPTURE_TARGET_FILE: break;
  }
  *stream = new CaptureStream{{t.fd, t.pathFd, t.dirFd, t.nameInDir}};
  return t.kind == tarnexio_posix::CAPTURE_TARGET_FIFO ? CAPTURE_OPENED_PIPE : CAPTURE_OPENED_FILE;
}

long WriteCaptureStream(CaptureStream* stream, const uint8_t* data, size_t length, int timeoutMs) {
  return tarnexio_posix::WriteCaptureFds(&stream->fds, data, length, timeoutMs);
}

int AwaitCaptureReader(CaptureStream* stream, int timeoutMs) {
  return tarnexio_posix::AwaitCaptureReaderFds(&stream->fds, timeoutMs);
}

void DropCaptureReader(CaptureStream* stream) { tarnexio_posix::DropCaptureReaderFds(&stream->fds); }

void CloseCaptureStream(CaptureStream* stream) {
  tarnexio_posix::CloseCaptureFds(&stream->fds);
  delete stream;
}

void CloseEmptyCaptureStream(CaptureStream* stream) {
  tarnexio_posix::CloseEmptyCaptureFds(&stream->fds);
  delete stream;
}
