// Constants of the device channel and of the FTM driver's control codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ftmd {

using Bytes = std::vector<uint8_t>;

// Control codes: device type 0x9600, buffered transfer, any access.
constexpr uint32_t controlCode(uint32_t function) { return (0x9600u << 16) | (function << 2); }

enum : uint32_t {
  kReadEvent = controlCode(0x963),
  kSendHciCmd = controlCode(0x964),
  kEnableFtm = controlCode(0x965),
  kSendAcl = controlCode(0x966),
  kReadAcl = controlCode(0x967),
  kSendSco = controlCode(0x968),
  kReadSco = controlCode(0x969),
  kSelectScoInf = controlCode(0x96A),
};

// Short names of the codes, for log lines ("?" for an unknown code).
const char* codeName(uint32_t code);

// Message kinds of the device channel.
enum : uint32_t {
  kMsgIoctl = 1,
  kMsgCancel = 2,
  kMsgComplete = 0x81,
  kMsgPending = 0x82,
  // Lanes: more connections of one device, each carrying the replies to its own requests.
  kMsgAttach = 3,     // client, first datagram of a new connection: kind, 0, token
  kMsgOffer = 0x83,   // server, first datagram of a device connection: kind, 0, token
  kMsgAttached = 0x84,  // server, on the lane: kind, 0
};

// Windows error numbers a request completes with.
enum : uint32_t {
  kStatusOk = 0,
  kStatusInvalidFunction = 1,
  kStatusNotReady = 21,
  kStatusBadCommand = 22,
  kStatusInvalidParameter = 87,
  kStatusBusy = 170,
  kStatusAborted = 995,
  kStatusNoResources = 1450,
};

// Buffer sizes of the requests.
constexpr uint32_t kEventReadSize = 262;
constexpr uint32_t kAclReadSize = 1028;
constexpr uint32_t kAclMaxData = 1024;
constexpr uint32_t kType2EventInput = 4;
constexpr uint32_t kType2CmdOutSize = 4;
constexpr size_t kType2HeaderSize = 5;

// Slot unit of each SCO interface id; an SCO read is 9 units, three slots of 3 units.
constexpr uint32_t kScoSlotUnit[8] = {0, 9, 17, 25, 33, 49, 63, 126};
constexpr uint8_t kMaxScoInterface = 7;

// The largest datagram ftmd accepts: a header and 64 KiB of input.
constexpr size_t kMaxMessage = 16 + 65536;

inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline void putLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void putLe16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

}  // namespace ftmd
