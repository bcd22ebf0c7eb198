// What tarnexio-host sends: one HCI command or diag request, ready for one send.
#pragma once

#include "steps.h"

namespace host {

// Raw mode: the H4 command (type byte 01, opcode, length, parameters).
Bytes RawCommand(uint16_t opcode, const Bytes& params);

// Diag mode: the FTM HCI request that carries the H4 command, as an escaped frame.
// params must fit MaxCommandParams(Mode::DIAG).
Bytes DiagCommandRequest(uint16_t opcode, const Bytes& params);

// Diag mode: a request of one code byte, as a frame.
Bytes DiagCodeRequest(uint8_t code);

// Raw mode: an H4 ACL data packet on handle, the first of its message (packet boundary
// 10, point to point).
Bytes AclRequest(uint16_t handle, const Bytes& data);

// The bytes that carry a command in the given mode.
Bytes CommandRequest(Mode mode, uint16_t opcode, const Bytes& params);

}  // namespace host
