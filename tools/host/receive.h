// What tarnexio-host makes of the bytes the bridge sends: H4 packets in raw mode; in diag
// mode frames, checked for their FCS, holding log packets (controller packets), replies
// to diag requests, or the echo of an FTM HCI request.
#pragma once

#include <string>
#include <vector>

#include "steps.h"
#include "wire/diag_frame.h"
#include "wire/diag_packets.h"
#include "wire/h4.h"

namespace host {

struct Incoming {
  enum Kind {
    PACKET,     // a controller packet: type is its H4 type, bytes what follows the type byte
    DIAG_REPLY, // the reply to a diag request, its code first
    ECHO,       // the echo of an FTM HCI request (our own request coming back)
    PROBLEM,    // bytes that are none of these: problem says why, bytes holds them
  };
  Kind kind = PROBLEM;
  uint8_t type = 0;
  Bytes bytes;
  std::string problem;
};

class Receiver {
 public:
  explicit Receiver(Mode mode);
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Takes received bytes in any split; appends what they complete to *out.
  void Feed(const uint8_t* data, size_t n, std::vector<Incoming>* out);

  // The longest frame taken on the wire: a log packet of the longest ACL packet with
  // every byte escaped, with its FCS and flag.
  static const size_t kMaxFrame = 2 * (LOG_HEADER_SIZE + 4 + 65535 + DIAG_FCS_SIZE) + 1;

 private:
  void FeedRaw(const uint8_t* data, size_t n, std::vector<Incoming>* out);
  void FeedDiag(const uint8_t* data, size_t n, std::vector<Incoming>* out);
  void FrameDone(std::vector<Incoming>* out);
  void EchoDone(std::vector<Incoming>* out);
  void FlushBadBytes(std::vector<Incoming>* out);

  Mode mode_;
  H4Parser h4_;
  Bytes h4Packet_;
  Bytes badBytes_;  // raw mode: a run of bytes that start no packet, reported as one
  Bytes frame_;     // diag mode: the frame being received, as on the wire
  bool skipping_ = false;   // a frame grew past kMaxFrame; its bytes go until the next flag
  size_t echoTail_ = 0;     // bytes of an echo's own FCS and flag still to come
};

// Reads a log packet (16-byte header, then the controller packet) into a Packet item;
// a Problem item when the header or the packet's own length does not hold.
Incoming IncomingFromLogPacket(const uint8_t* p, size_t n);

// Unescapes one frame (closing flag included) and checks its FCS: the packet without its
// FCS, or false with *problem set.
bool UnframeDiag(const Bytes& frame, Bytes* packet, std::string* problem);

}  // namespace host
