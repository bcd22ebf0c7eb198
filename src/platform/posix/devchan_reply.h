// The device channel's datagrams as bytes: the server's replies parsed, the client's
// requests built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnexio_posix {

constexpr uint32_t kDevchanIoctl = 1;
constexpr uint32_t kDevchanCancel = 2;
constexpr uint32_t kDevchanComplete = 0x81;
constexpr uint32_t kDevchanPending = 0x82;
// Lanes (agreed per connection): the server offers them, the client attaches a lane.
constexpr uint32_t kDevchanAttach = 3;
constexpr uint32_t kDevchanOffer = 0x83;
constexpr uint32_t kDevchanAttached = 0x84;

struct DevchanReply {
  uint32_t kind = 0;          // kDevchanComplete, kDevchanPending, kDevchanOffer or kDevchanAttached
  uint32_t id = 0;
  uint32_t status = 0;        // COMPLETE only: a Windows error number
  uint32_t token = 0;         // OFFER only: what a lane presents to attach (never 0)
  const uint8_t* payload = nullptr;  // COMPLETE only: the output bytes (points into the datagram)
  size_t payloadSize = 0;
};

// Parses one datagram from the server. Returns false for anything that is not a
// well-formed COMPLETE, PENDING, OFFER or ATTACHED (too short, unknown kind).
bool ParseDevchanReply(const uint8_t* data, size_t size, DevchanReply* reply);

// Builds the client's datagrams.
std::vector<uint8_t> BuildDevchanIoctl(uint32_t id, uint32_t code, uint32_t outSize, const uint8_t* input,
                                       size_t inputSize);
std::vector<uint8_t> BuildDevchanCancel(uint32_t id);
std::vector<uint8_t> BuildDevchanAttach(uint32_t token);

}  // namespace tarnexio_posix
