// Diag emulation: frames with their FCS, the responder for diag requests, log packets.
#pragma once

#include "core/host_send.h"
#include "driver/driver.h"
#include "platform/platform.h"

enum {
  DIAG_MAX_PACKET = 1500,                           // longest packet that is framed
  DIAG_FRAME_AREA = 2 * (DIAG_MAX_PACKET + 2) + 1,  // every byte escaped, plus the flag
  DIAG_FLAG = 0x7E,
  DIAG_ESCAPE = 0x7D,
  DIAG_FCS_GOOD = 0xF0B8,  // FCS over a frame's bytes and its own FCS bytes, uncomplemented
};

// Running FCS-16 over data, from the value fcs (0xFFFF to start); not complemented.
WORD DiagFcs16(const BYTE* data, int length, WORD fcs);

// Encodes one packet as a frame: packet bytes, FCS low then high, escaped when escape is
// non-zero, then the flag. Returns the frame length, or -1 when length is outside
// 0..DIAG_MAX_PACKET or the frame would not fit frameCapacity.
int EncodeDiagFrame(const BYTE* data, int length, int escape, BYTE* frame, int frameCapacity);

// Frames one packet and sends it to the test host through host, with a hex dump when verbose.
void DiagPrintToStream(HostSender* host, const BYTE* data, int length, int escape, int verbose);

// Answers one received block that closes a frame. bufferSize is the size of the buffer
// that request points into; nothing past it is read. Replies go through host, HCI
// commands through writer. Returns 1, or 0 when the loopback reply could not be sent.
int HandleDiagRequest(HostSender* host, const BYTE* request, int length, int bufferSize, const DriverWriter& writer);

// Wraps one controller packet into a log packet of length + 16 bytes on the heap, or
// returns nullptr when no memory can be had. Release it with ReleaseLogPacket.
BYTE* BuildLogPacket(const BYTE* payload, int length, WORD logCode, WORD tag);
void ReleaseLogPacket(BYTE* logPacket);

// H4 packet-type bytes, on the raw link and inside FTM HCI requests.
enum { H4_TYPE_COMMAND = 0x01, H4_TYPE_ACL = 0x02, H4_TYPE_SCO = 0x03, H4_TYPE_EVENT = 0x04 };

// A log packet's tag is the H4 type of its payload in the high byte.
enum {
  LOG_CODE_EVENT = 0x1366,
  LOG_CODE_ACL = 0x1368,
  LOG_CODE_SCO = 0x1370,
  LOG_TAG_EVENT = H4_TYPE_EVENT << 8,
  LOG_TAG_ACL = H4_TYPE_ACL << 8,
  LOG_TAG_SCO = H4_TYPE_SCO << 8,
  LOG_HEADER_SIZE = 16,
};
