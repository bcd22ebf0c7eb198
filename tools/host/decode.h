// Turns what arrives from the bridge into output lines, and says which step it answers.
#pragma once

#include <string>

#include "receive.h"

namespace host {

struct Decoded {
  enum Answers { Nothing, Command, Diag };
  Answers answers = Nothing;
  uint16_t opcode = 0;    // Command: the opcode of a Command Complete or Command Status
  uint8_t status = 0;     // Command: its status (0 when a Command Complete has none)
  uint8_t diagCode = 0;   // Diag: the code of the reply
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
