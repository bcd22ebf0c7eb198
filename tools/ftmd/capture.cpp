#include "capture.h"

#include <cerrno>
#include <chrono>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "platform/posix/capture_target.h"
#include "wire/version.h"
#include "wire/h4.h"

namespace ftmd {

namespace {

using tarnexio_posix::CaptureFds;

long writeFds(void* fds, const uint8_t* data, size_t length, int timeoutMs) {
  return tarnexio_posix::WriteCaptureFds(static_cast<CaptureFds*>(fds), data, length, timeoutMs);
}
int awaitReader(void* fds, int timeoutMs) {
  return tarnexio_posix::AwaitCaptureReaderFds(static_cast<CaptureFds*>(fds), timeoutMs);
}
void dropReader(void* fds) { tarnexio_posix::DropCaptureReaderFds(static_cast<CaptureFds*>(fds)); }
void closeFds(void* fds) { tarnexio_posix::CloseCaptureFds(static_cast<CaptureFds*>(fds)); }
void closeEmptyFds(void* fds) { tarnexio_posix::CloseEmptyCaptureFds(static_cast<CaptureFds*>(fds)); }

}  // namespace

bool openCapture(CaptureFile& capture, const std::string& name, const gid_t* group) {
  using namespace std::chrono;
  const int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const tarnexio_posix::CaptureTarget t = tarnexio_posix::OpenCaptureTarget(name, "ftmd", now, group);
  capture.path = t.path;
  switch (t.kind) {
    case tarnexio_posix::CAPTURE_TARGET_REFUSED:
      logError("capture to " + t.path + " refused: " + t.why + "; running without capture");
      return false;
    case tarnexio_posix::CAPTURE_TARGET_FAILED:
      logError("cannot create the btsnoop file " + t.path + ": " + std::strerror(t.error) + "; running without capture");
      return false;
    case tarnexio_posix::CAPTURE_TARGET_FIFO:
    case tarnexio_posix::CAPTURE_TARGET_FILE: break;
  }
  const bool pipe = t.kind == tarnexio_posix::CAPTURE_TARGET_FIFO;
  capture.fds = CaptureFds{t.fd, t.pathFd, t.dirFd, t.nameInDir};
  CaptureSink sink;
  sink.context = &capture.fds;
  sink.write = writeFds;
  sink.close = closeFds;
  sink.closeEmpty = closeEmptyFds;
  if (pipe) {
    sink.awaitReader = awaitReader;
    sink.dropReader = dropReader;
  }
  const std::string path = t.path;
  const int error = CaptureStart(&capture.file, CaptureFormatOfName(path), sink, std::string("ftmd ") + TarnexioVersion(),
                                 [path](CapturePipeEvent e) {
                                   logLine(e == CAPTURE_READER_CAME
                                               ? "a reader opened the pipe " + path + ", capturing HCI packets to it"
                                               : "the reader of the pipe " + path +
                                                     " left; capturing again when a reader opens it");
                                 });
  if (error != 0) {
    logError("btsnoop capture to " + t.path + " stopped: " + std::strerror(error));
    return false;
  }
  capture.named = true;
  logLine(pipe ? "capturing HCI packets to the pipe " + t.path + " once a reader opens it"
               : "capturing HCI packets to " + t.path);
  return true;
}

namespace {
uint64_t dropped = 0;  // the event loop's alone
}  // namespace

void countDroppedPacket() { ++dropped; }
uint64_t droppedPackets() { return dropped; }

void closeCapture(CaptureFile& capture) {
  CaptureStop(&capture.file, dropped);
  const uint64_t lost = CaptureLost(&capture.file);
  if (lost > 0) logLine("the pipe " + capture.path + " lost " + std::to_string(lost) + " packets to a slow reader");
}

void tapPacket(CaptureFile* capture, HciCounts& counts, BtsnoopDirection direction, uint8_t h4Type, const uint8_t* p,
               size_t n) {
  int error = 0;
  if (TapHciPacket(capture ? &capture->file : nullptr, &counts, direction, h4Type, p, n, dropped, &error) ==
      CAPTURE_WRITE_FAILED)
    logError("btsnoop capture to " + capture->path + " stopped: " + std::strerror(error) + "; traffic goes on");
}

uint8_t h4Type(Channel ch, BtsnoopDirection direction) {
  switch (ch) {
    case Channel::Event: return direction == BTSNOOP_TO_CONTROLLER ? H4_COMMAND : H4_EVENT;
    case Channel::Acl: return H4_ACL;
    case Channel::Sco: return H4_SCO;
  }
  return 0;
}

std::string countsLine(const std::string& tag, const HciCounts& counts) { return tag + ": " + FormatHciCounts(counts); }

}  // namespace ftmd
