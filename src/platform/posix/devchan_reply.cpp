#include "platform/posix/devchan_reply.h"

namespace tarnexio_posix {
namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(value >> shift));
}

}  // namespace

bool ParseDevchanReply(const uint8_t* data, size_t size, DevchanReply* reply) {
  if (data == nullptr || size < 8) return false;
  DevchanReply r;
  r.kind = ReadLe32(data);
  r.id = ReadLe32(data + 4);
  if (r.kind == kDevchanPending || r.kind == kDevchanAttached) {
    *reply = r;
    return true;
  }
  if (r.kind == kDevchanOffer) {
    if (size < 12 || (r.token = ReadLe32(data + 8)) == 0) return false;
    *reply = r;
    return true;
  }
  if (r.kind != kDevchanComplete || size < 16) return false;
  r.status = ReadLe32(data + 8);
  r.payload = data + 16;
  r.payloadSize = size - 16;
  *reply = r;
  return true;
}

std::vector<uint8_t> BuildDevchanIoctl(uint32_t id, uint32_t code, uint32_t outSize, const uint8_t* input,
                                       size_t inputSize) {
  std::vector<uint8_t> out;
  out.reserve(16 + inputSize);
  AppendLe32(out, kDevchanIoctl);
  AppendLe32(out, id);
  AppendLe32(out, code);
  AppendLe32(out, outSize);
  if (inputSize > 0) out.insert(out.end(), input, input + inputSize);
  return out;
}

std::vector<uint8_t> BuildDevchanCancel(uint32_t id) {
  std::vector<uint8_t> out;
  AppendLe32(out, kDevchanCancel);
  AppendLe32(out, id);
  return out;
}

std::vector<uint8_t> BuildDevchanAttach(uint32_t token) {
  std::vector<uint8_t> out;
  AppendLe32(out, kDevchanAttach);
  AppendLe32(out, 0);
  AppendLe32(out, token);
  return out;
}

}  // namespace tarnexio_posix
