#include "controller_stream.h"

namespace ftmd {

ControllerStream::ControllerStream() { reset(); }

void ControllerStream::reset() {
  H4Init(&parser_, uint8_t(1u << H4_EVENT | 1u << H4_ACL | 1u << H4_SCO | 1u << H4_ISO), buf_, sizeof buf_);
  parser_.maxPayload[H4_ACL] = kControllerAclMax;
  inRun_ = false;
}

void ControllerStream::skipped() {
  ++skippedBytes_;
  if (!inRun_) ++resyncs_;
  inRun_ = true;
}

size_t ControllerStream::feed(const uint8_t* data, size_t len, const Sink& sink, const Room& room) {
  size_t taken = 0;
  for (;;) {
    // Stop only where a packet would be handed on: the parser never holds a whole one.
    if (!room()) return taken;
    H4Result result;
    taken += H4Feed(&parser_, data + taken, len - taken, &result);
    switch (result) {
      case H4_NEED_MORE:
        return taken;
      case H4_PACKET:
        inRun_ = false;
        sink(parser_.packet, parser_.have);
        break;
      case H4_BAD_TYPE:
        skipped();
        break;
      case H4_TOO_LONG:
        // Its type byte was no packet's start: drop it, read what followed it again.
        H4Resync(&parser_);
        skipped();
        break;
    }
  }
}

}  // namespace ftmd
