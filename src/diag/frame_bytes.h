// The byte work of diag frames that needs nothing of the bridge: the FCS, the frame
// encoder and the log packet constants. A test host reads and writes the same frames.
#pragma once

#include "platform/platform.h"
#include "wire/h4.h"

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

// H4 packet-type bytes, on the raw link and inside FTM HCI requests.
enum { H4_TYPE_COMMAND = H4_COMMAND, H4_TYPE_ACL = H4_ACL, H4_TYPE_SCO = H4_SCO, H4_TYPE_EVENT = H4_EVENT };

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
