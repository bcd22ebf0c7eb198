#include "capture.h"

#include <cerrno>
#include <chrono>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "platform/posix/capture_target.h"
#include "wire/h4.h"

namespace ftmd {

bool openCapture(CaptureFile& capture, const std::string& name, const gid_t* group) {
  using namespace std::chrono;
  const int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  tarnexio_posix::CaptureTarget t = tarnexio_posix::OpenCaptureTarget(name, "ftmd", now, group);
  capture.path = t.path;
  switch (t.kind) {
    case tarnexio_posix::CAPTURE_TARGET_REFUSED:
      logError("capture to " + t.path + " refused: " + t.why + "; running without capture");
      return false;
    case tarnexio_posix::CAPTURE_TARGET_FAILED:
      logError("cannot create the btsnoop file " + t.path + ": " + std::strerror(t.error) + "; running without capture");
      return false;
    case tarnexio_posix::CAPTURE_TARGET_FIFO:
      close(t.pathFd);
      if (t.fd < 0) {
        logError("nobody reads the pipe " + t.path + "; running without capture");
        return false;
      }
      break;
    case tarnexio_posix::CAPTURE_TARGET_FILE: break;
  }
  std::FILE* file = fdopen(t.fd, "wb");
  if (file == nullptr) {
    logError("cannot create the btsnoop file " + t.path + ": " + std::strerror(errno) + "; running without capture");
    close(t.fd);
    return false;
  }
  const int error = BtsnoopStart(&capture.file, file);
  if (error != 0) {
    logError("btsnoop capture to " + t.path + " stopped: " + std::strerror(error));
    return false;
  }
  capture.named = true;
  logLine("capturing HCI packets to " + t.path);
  return true;
}

void closeCapture(CaptureFile& capture) { BtsnoopStop(&capture.file); }

void tapPacket(CaptureFile* capture, HciCounts& counts, BtsnoopDirection direction, uint8_t h4Type, const uint8_t* p,
               size_t n) {
  int error = 0;
  if (TapHciPacket(capture ? &capture->file : nullptr, &counts, direction, h4Type, p, n, &error) ==
      BTSNOOP_WRITE_FAILED)
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
