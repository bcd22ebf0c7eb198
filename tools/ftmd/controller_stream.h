// The byte stream from a controller's transport, cut into packets over the shared H4
// parser. A byte that starts no packet means the stream is out of step: the reader skips
// to the next byte that may start one and counts what it skipped; nothing valid around
// it is lost. The reader can stop between packets (the host has no room) and go on later
// with the bytes it did not take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "wire/h4.h"

namespace ftmd {

// Largest ACL payload taken from a controller: what one ACL read of the device holds.
// A longer announced length is taken for a byte out of step, not for a packet.
constexpr size_t kControllerAclMax = 1024;

class ControllerStream {
 public:
  // One packet, type byte first.
  using Sink = std::function<void(const uint8_t* packet, size_t n)>;
  using Room = std::function<bool()>;

  ControllerStream();
  ControllerStream(const ControllerStream&) = delete;
  ControllerStream& operator=(const ControllerStream&) = delete;

  // Hands every packet in data to sink while room() holds before each one. Returns the
  // bytes taken; fewer than len only when room() said no.
  size_t feed(const uint8_t* data, size_t len, const Sink& sink, const Room& room);
  // Back to a packet boundary, forgetting a partial packet (a new connection).
  void reset();

  uint64_t skippedBytes() const { return skippedBytes_; }
  uint64_t resyncs() const { return resyncs_; }  // runs of skipped bytes
  // Bytes handed back after a skip wait in the reader: feed again (even with no new
  // bytes) once there is room.
  bool holdsInput() const { return parser_.replayLen > 0; }
  // True while bytes are being skipped (the run has not ended with a packet yet).
  bool outOfStep() const { return inRun_; }

 private:
  void skipped();

  uint8_t buf_[1 + 4 + 0x3FFF];  // the largest packet taken: an ISO header and payload
  H4Parser parser_;
  uint64_t skippedBytes_ = 0;
  uint64_t resyncs_ = 0;
  bool inRun_ = false;
};

}  // namespace ftmd
