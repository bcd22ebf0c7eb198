#include "receive.h"

#include "wire/diag_frame.h"
#include "wire/diag_packets.h"

namespace host {

namespace {

// A controller packet as it is whole: the H4 header for its type is there and announces
// exactly the bytes that follow it.
bool WholeH4Packet(uint8_t type, const uint8_t* p, size_t n) {
  const size_t header = H4HeaderSize(type);
  return header != 0 && n >= header && H4PayloadSize(type, p) == n - header;
}

Incoming Problem(const std::string& why, const uint8_t* p, size_t n) {
  Incoming item;
  item.kind = Incoming::PROBLEM;
  item.problem = why;
  item.bytes.assign(p, p + n);
  return item;
}

}  // namespace

Receiver::Receiver(Mode mode) : mode_(mode), h4Packet_(1 + 4 + H4MaxPayload(H4_ACL)) {
  H4Init(&h4_, 1 << H4_ACL | 1 << H4_SCO | 1 << H4_EVENT, h4Packet_.data(), h4Packet_.size());
}

void Receiver::Feed(const uint8_t* data, size_t n, std::vector<Incoming>* out) {
  if (mode_ == Mode::RAW) {
    FeedRaw(data, n, out);
  } else {
    FeedDiag(data, n, out);
  }
}

void Receiver::FlushBadBytes(std::vector<Incoming>* out) {
  if (badBytes_.empty()) return;
  out->push_back(Problem(std::to_string(badBytes_.size()) + " byte(s) that start no H4 packet", badBytes_.data(),
                         badBytes_.size()));
  badBytes_.clear();
}

void Receiver::FeedRaw(const uint8_t* data, size_t n, std::vector<Incoming>* out) {
  while (n > 0) {
    H4Result result;
    const size_t used = H4Feed(&h4_, data, n, &result);
    data += used;
    n -= used;
    if (result == H4_BAD_TYPE) {
      badBytes_.push_back(h4_.badByte);
    } else if (result == H4_PACKET) {
      FlushBadBytes(out);
      Incoming item;
      item.kind = Incoming::PACKET;
      item.type = h4_.packet[0];
      item.bytes.assign(h4_.packet + 1, h4_.packet + h4_.have);
      out->push_back(std::move(item));
    } else if (result == H4_TOO_LONG) {
      // The buffer holds the longest packet of every accepted type; kept for safety.
      out->push_back(Problem("an H4 packet longer than its type allows", h4_.packet, h4_.have));
      H4SkipPacket(&h4_);
    }
  }
  FlushBadBytes(out);
}

void Receiver::FeedDiag(const uint8_t* data, size_t n, std::vector<Incoming>* out) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = data[i];
    if (echoTail_ > 0) {
      // The echo's own FCS bytes are not escaped and may take any value, the flag's too.
      frame_.push_back(b);
      if (--echoTail_ == 0) EchoDone(out);
      continue;
    }
    if (skipping_) {
      skipping_ = b != DIAG_FLAG;
      continue;
    }
    frame_.push_back(b);
    if (b == DIAG_FLAG) {
      FrameDone(out);
    } else if (frame_.size() >= kMaxFrame) {
      out->push_back(Problem("a frame longer than " + std::to_string(kMaxFrame) + " bytes; skipped to its flag",
                             frame_.data(), 32));
      frame_.clear();
      skipping_ = true;
    }
  }
}

bool UnframeDiag(const Bytes& frame, Bytes* packet, std::string* problem) {
  packet->resize(frame.size());
  int length = 0;
  const DiagFrameResult result = DecodeDiagFrame(frame.data(), (int)frame.size(), packet->data(), &length);
  packet->resize((size_t)length);
  switch (result) {
    case DIAG_FRAME_OK:
      return true;
    case DIAG_FRAME_UNCLOSED:
      *problem = "frame not closed by a flag";
      break;
    case DIAG_FRAME_ENDS_IN_ESCAPE:
      *problem = "frame ends in an escape byte";
      break;
    case DIAG_FRAME_TOO_SHORT:
      *problem = "frame too short for a code and its FCS";
      break;
    case DIAG_FRAME_BAD_FCS:
      *problem = "bad FCS";
      break;
  }
  packet->clear();
  return false;
}

void Receiver::FrameDone(std::vector<Incoming>* out) {
  if (frame_.size() == 1) {  // a flag between frames carries nothing
    frame_.clear();
    return;
  }
  Bytes packet;
  std::string problem;
  if (!UnframeDiag(frame_, &packet, &problem)) {
    out->push_back(Problem(problem, frame_.data(), frame_.size()));
  } else if (packet[0] == kDiagSubsystem) {
    // The bridge echoes a subsystem request as it received it (our frame, flag included)
    // inside a frame of its own: two FCS bytes and a flag still follow.
    echoTail_ = 3;
    return;
  } else if (packet[0] == kDiagLog) {
    out->push_back(IncomingFromLogPacket(packet.data(), packet.size()));
  } else {
    Incoming item;
    item.kind = Incoming::DIAG_REPLY;
    item.bytes = std::move(packet);
    out->push_back(std::move(item));
  }
  frame_.clear();
}

void Receiver::EchoDone(std::vector<Incoming>* out) {
  const size_t n = frame_.size();
  if (frame_[n - 1] != DIAG_FLAG || DiagFcs16(frame_.data(), (int)(n - 1), 0xFFFF) != DIAG_FCS_GOOD) {
    out->push_back(Problem("bad FCS on the echo of a subsystem request", frame_.data(), n));
  } else {
    Incoming item;
    item.kind = Incoming::ECHO;
    item.bytes.assign(frame_.begin(), frame_.end() - 3);  // our frame as sent
    out->push_back(std::move(item));
  }
  frame_.clear();
}

Incoming IncomingFromLogPacket(const uint8_t* p, size_t n) {
  LogPacketView log;
  switch (ParseLogPacket(p, n, &log)) {
    case LOG_PACKET_OK:
      break;
    case LOG_PACKET_SHORT:
      return Problem("log packet shorter than its header", p, n);
    case LOG_PACKET_BAD_LENGTH:
      return Problem("log packet whose length fields disagree with its size", p, n);
    case LOG_PACKET_BAD_HEADER:
      return Problem("log packet with an unknown header", p, n);
    case LOG_PACKET_UNKNOWN_CODE:
      return Problem("log packet of an unknown log code or tag", p, n);
  }
  if (!WholeH4Packet(log.h4Type, log.payload, log.length)) return Problem("log packet whose controller packet is cut", p, n);
  Incoming item;
  item.kind = Incoming::PACKET;
  item.type = log.h4Type;
  item.bytes.assign(log.payload, log.payload + log.length);
  return item;
}

}  // namespace host
