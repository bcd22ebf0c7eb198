// Turns what arrives from the bridge into output lines, and says which step it answers.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "receive.h"

namespace host {

struct Decoded {
  enum Answers { NOTHING, COMMAND, DIAG };
  Answers answers = NOTHING;
  uint16_t opcode = 0;    // Command: the opcode of a Command Complete or Command Status
  uint8_t status = 0;     // Command: its status (0 when a Command Complete has none)
  uint8_t diagCode = 0;   // Diag: the code of the reply
  uint8_t event = 0;      // an HCI event: its code (0 for anything else)
  uint8_t subevent = 0;   // an LE Meta event: its subevent
  bool hasStatus = false; // the event carries a status, in status; not 0 is a failure
  int handle = -1;        // the connection handle the event or ACL packet names
  Bytes peer;             // Connection Request, Connection Complete: the remote BD_ADDR (wire order)
  uint8_t linkType = 0;   // Connection Request: 0 SCO, 1 ACL, 2 eSCO
  std::vector<std::string> found;  // an inquiry result: the addresses of the devices
  std::vector<std::pair<uint16_t, uint16_t>> completed;  // Number Of Completed Packets
  Bytes returned;         // Command Complete: its return parameters
  bool acl = false;       // an ACL data packet: its handle, flags (PB and BC) and data
  uint8_t aclFlags = 0;
  Bytes data;
  std::string text;       // the line for people; empty for an item that is not shown
  std::string json;       // the same as one JSON object
};

// One HCI event: event code, parameter length, parameters.
Decoded DecodeEvent(const uint8_t* p, size_t n);

// The reply to a diag request, its code first.
Decoded DecodeDiagReply(const uint8_t* p, size_t n);

// Any item the receiver produced.
Decoded DecodeIncoming(const Incoming& item);

}  // namespace host
