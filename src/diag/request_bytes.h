// What the responder's parts share: bounded reads of a received diag request, and the
// HCI command part of an FTM subsystem request.
#pragma once

#include "driver/driver.h"
#include "platform/platform.h"

// The byte at offset of a request held in a buffer of bufferSize bytes; a byte past the
// end of that buffer reads as 0, as the zeroed tail of the receive buffer does.
inline BYTE RequestByte(const BYTE* request, int bufferSize, int offset) {
  if (request == nullptr || offset < 0 || offset >= bufferSize) return 0;
  return request[offset];
}

// The HCI command part of an FTM subsystem request (code 0x4B): checks the header,
// unescapes the command from offset 11 and writes it to the controller.
void HandleFtmHciCommand(const BYTE* request, int bufferSize, const DriverWriter& writer, DropCounts* drops);
