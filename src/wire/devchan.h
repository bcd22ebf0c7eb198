// The device channel's messages: built and parsed here for both sides, the client (the
// bridge's platform layer, ftmd's test client) and the server (ftmd, the test double).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "wire/ftm_contract.h"

namespace wire {

// Message kinds; every message starts with kind and id (little-endian 32-bit words).
enum : uint32_t {
  kMsgIoctl = 1,        // kind, id, code, outSize, then the input
  kMsgCancel = 2,       // kind, id (0: every pending request)
  kMsgComplete = 0x81,  // kind, id, status, 0, then the output
  kMsgPending = 0x82,   // kind, id
  // Lanes, offered by a server and taken by a client (docs/device-channel-lanes.md).
  kMsgAttach = 3,       // kind, 0, token: the first message on a new connection
  kMsgOffer = 0x83,     // kind, 0, token: the first message on every connection
  kMsgAttached = 0x84,  // kind, 0: on the lane
};
constexpr size_t kDevchanShortSize = 8;    // kind and id
constexpr size_t kDevchanHeaderSize = 16;  // the header of IOCTL and COMPLETE

// The largest message a server accepts: a header and 64 KiB of input.
constexpr size_t kMaxMessage = kDevchanHeaderSize + 65536;

// What an OFFER hands out and an ATTACH presents back: 16 bytes from a server of today
// (drawn from the system's random source), 4 from an earlier one, which a client presents
// back just as it got them. All zero bytes (or none) are no token.
constexpr size_t kLaneTokenSize = 16;
struct LaneToken {
  uint8_t bytes[kLaneTokenSize] = {};
  size_t size = 0;
  bool Valid() const;
  bool operator==(const LaneToken& other) const {
    return size == other.size && std::memcmp(bytes, other.bytes, size) == 0;
  }
  bool operator<(const LaneToken& other) const {
    return size != other.size ? size < other.size : std::memcmp(bytes, other.bytes, size) < 0;
  }
};

// Client side.

struct DevchanReply {
  uint32_t kind = 0;  // kMsgComplete, kMsgPending, kMsgOffer or kMsgAttached
  uint32_t id = 0;
  uint32_t status = 0;               // COMPLETE only: a Windows error number
  LaneToken token;                   // OFFER only: what a lane presents (always valid)
  const uint8_t* payload = nullptr;  // COMPLETE only: the output bytes (points into the message)
  size_t payloadSize = 0;
};

// False for anything that is not a well-formed COMPLETE, PENDING, OFFER or ATTACHED (too
// short, unknown kind).
bool ParseDevchanReply(const uint8_t* data, size_t size, DevchanReply* reply);
std::vector<uint8_t> BuildDevchanIoctl(uint32_t id, uint32_t code, uint32_t outSize, const uint8_t* input,
                                       size_t inputSize);
std::vector<uint8_t> BuildDevchanCancel(uint32_t id);
std::vector<uint8_t> BuildDevchanAttach(const LaneToken& token);

// Server side.

struct DevchanRequest {
  uint32_t kind = 0;     // kMsgIoctl or kMsgCancel
  uint32_t id = 0;
  uint32_t code = 0;     // IOCTL only
  uint32_t outSize = 0;  // IOCTL only
  const uint8_t* in = nullptr;  // IOCTL only: the input (points into the message)
  size_t inLen = 0;
};

enum class DevchanParseResult {
  Ok,
  TooShort,     // shorter than the header its kind needs
  UnknownKind,  // neither IOCTL nor CANCEL
  ZeroId,       // an IOCTL with id 0
};

DevchanParseResult ParseDevchanRequest(const uint8_t* data, size_t size, DevchanRequest* request);
const char* DevchanParseResultText(DevchanParseResult result);
std::vector<uint8_t> BuildDevchanComplete(uint32_t id, uint32_t status, const uint8_t* output = nullptr,
                                          size_t outputSize = 0);
std::vector<uint8_t> BuildDevchanPending(uint32_t id);
std::vector<uint8_t> BuildDevchanOffer(const LaneToken& token);
std::vector<uint8_t> BuildDevchanAttached();
// The token of an ATTACH; not Valid() when the message is none or presents no token.
LaneToken DevchanAttachToken(const uint8_t* data, size_t size);

// The TCP form: every message behind its length, a little-endian 32-bit number.

constexpr size_t kDevchanLengthSize = 4;

std::vector<uint8_t> FrameDevchanMessage(const std::vector<uint8_t>& message);

enum class DevchanFrame {
  NeedMore,  // the stream does not hold a whole message yet
  Message,   // *messageSize bytes behind the length are one message
  TooLong,   // the length announces more than maxMessage bytes: the stream is unusable
};

// Looks at the start of a TCP-form stream.
DevchanFrame NextDevchanFrame(const uint8_t* data, size_t size, size_t maxMessage, size_t* messageSize);

}  // namespace wire
