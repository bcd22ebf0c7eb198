#include "capture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "wire/h4.h"

namespace ftmd {

bool openCapture(CaptureFile& capture, const std::string& path) {
  capture.path = path;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    logError("cannot create the btsnoop file " + path + ": " + std::strerror(errno) + "; running without capture");
    return false;
  }
  const int error = BtsnoopStart(&capture.file, file);
  if (error != 0) {
    logError("btsnoop capture to " + path + " stopped: " + std::strerror(error));
    return false;
  }
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
