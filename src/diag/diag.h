// Diag emulation: frames with their FCS, the responder for diag requests, log packets.
#pragma once

#include "diag/frame_bytes.h"
#include "driver/driver.h"
#include "platform/platform.h"

// Frames one packet and sends it to the test host, with a hex dump when verbose.
void DiagPrintToStream(const BYTE* data, int length, int escape, int verbose);

// Answers one received block that closes a frame. bufferSize is the size of the buffer
// that request points into; nothing past it is read. Returns 1, or 0 when the loopback
// reply could not be sent.
int HandleDiagRequest(const BYTE* request, int length, int bufferSize, const DriverWriter& writer);

// Wraps one controller packet into a log packet of length + 16 bytes on the heap, or
// returns nullptr when no memory can be had. Release it with ReleaseLogPacket.
BYTE* BuildLogPacket(const BYTE* payload, int length, WORD logCode, WORD tag);
void ReleaseLogPacket(BYTE* logPacket);

