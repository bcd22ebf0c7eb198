// Parsing of one client datagram and building of the server's replies.
#pragma once

#include "protocol.h"

namespace ftmd {

struct Request {
  uint32_t kind = 0;
  uint32_t id = 0;
  uint32_t code = 0;     // IOCTL only
  uint32_t outSize = 0;  // IOCTL only
  const uint8_t* in = nullptr;
  size_t inLen = 0;
};

enum class ParseResult {
  Ok,
  TooShort,     // shorter than the header its kind needs
  UnknownKind,  // neither IOCTL nor CANCEL
  ZeroId,       // an IOCTL with id 0
};

// Reads one datagram. On Ok, `out` points into `data`, which must outlive it.
ParseResult parseRequest(const uint8_t* data, size_t len, Request& out);
const char* parseResultText(ParseResult r);

Bytes makeComplete(uint32_t id, uint32_t status, const uint8_t* output = nullptr, size_t n = 0);
Bytes makePending(uint32_t id);

}  // namespace ftmd
