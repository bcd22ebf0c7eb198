#include "requests.h"

#include "diag/frame_bytes.h"
#include "hci_names.h"
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
  // Subsystem request 4B 0B 04 00, the length of the H4 command (type byte included) at
  // offset 6, the H4 command from offset 10.
  const Bytes command = RawCommand(opcode, params);
  Bytes request = {kDiagSubsystem, 0x0B, 0x04, 0x00, 0x00, 0x00, (uint8_t)command.size(), 0x00, 0x00, 0x00};
  request.insert(request.end(), command.begin(), command.end());
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
  return mode == Mode::Diag ? DiagCommandRequest(opcode, params) : RawCommand(opcode, params);
}

}  // namespace host
