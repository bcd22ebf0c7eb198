#include "requests.h"

#include "wire/diag_frame.h"
#include "wire/diag_packets.h"
#include "wire/h4.h"

namespace host {

namespace {

Bytes Frame(const Bytes& packet) {
  Bytes frame(2 * (packet.size() + 2) + 1);
  const int n = EncodeDiagFrame(packet.data(), (int)packet.size(), 1, frame.data(), (int)frame.size());
  frame.resize(n < 0 ? 0 : (size_t)n);
  return frame;
}

}  // namespace

Bytes RawCommand(uint16_t opcode, const Bytes& params) {
  Bytes b = {H4_COMMAND, (uint8_t)(opcode & 0xFF), (uint8_t)(opcode >> 8), (uint8_t)params.size()};
  b.insert(b.end(), params.begin(), params.end());
  return b;
}

Bytes DiagCommandRequest(uint16_t opcode, const Bytes& params) {
  const Bytes command = RawCommand(opcode, params);
  const Bytes request = BuildFtmHciRequest(command.data(), command.size());
  return Frame(request);
}

Bytes AclRequest(uint16_t handle, const Bytes& data) {
  const uint16_t header = (uint16_t)((handle & 0x0FFF) | 0x2000);
  Bytes b = {H4_ACL, (uint8_t)(header & 0xFF), (uint8_t)(header >> 8), (uint8_t)(data.size() & 0xFF),
             (uint8_t)(data.size() >> 8)};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes DiagCodeRequest(uint8_t code) { return Frame({code}); }

Bytes CommandRequest(Mode mode, uint16_t opcode, const Bytes& params) {
  return mode == Mode::DIAG ? DiagCommandRequest(opcode, params) : RawCommand(opcode, params);
}

}  // namespace host
