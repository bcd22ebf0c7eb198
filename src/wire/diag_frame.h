// Diag frames: a packet, its complemented FCS-16 (low byte first), 7D and 7E escaped as
// 7D followed by the byte XOR 0x20 when asked, then the flag 7E. No flag opens a frame.
// The bridge, the test hosts, the benchmark and the fuzzers all encode and decode here.
#pragma once

#include <cstdint>

enum {
  DIAG_MAX_PACKET = 1500,                           // longest packet the bridge frames
  DIAG_FRAME_AREA = 2 * (DIAG_MAX_PACKET + 2) + 1,  // every byte escaped, plus the flag
  DIAG_FLAG = 0x7E,
  DIAG_ESCAPE = 0x7D,
  DIAG_ESCAPE_XOR = 0x20,
  DIAG_FCS_SIZE = 2,
  DIAG_FCS_GOOD = 0xF0B8,  // FCS over a frame's bytes and its own FCS bytes, uncomplemented
};

// Running FCS-16 over data, from the value fcs (0xFFFF to start); not complemented.
uint16_t DiagFcs16(const uint8_t* data, int length, uint16_t fcs);

// Encodes one packet as a frame: packet bytes, FCS low then high, escaped when escape is
// non-zero, then the flag. Returns the frame length, or -1 when length is outside
// 0..DIAG_MAX_PACKET or the frame would not fit frameCapacity.
int EncodeDiagFrame(const uint8_t* data, int length, int escape, uint8_t* frame, int frameCapacity);

// Encodes one packet given as a head and a body as EncodeDiagFrame encodes the two joined,
// without joining them: the FCS runs over the head and then the body. Returns the frame
// length, or -1 when the packet's length is outside 0..DIAG_MAX_PACKET or the frame would
// not fit frameCapacity.
int EncodeHeadedDiagFrame(const uint8_t* head, int headLength, const uint8_t* body, int bodyLength, int escape,
                          uint8_t* frame, int frameCapacity);

enum DiagFrameResult {
  DIAG_FRAME_OK = 0,
  DIAG_FRAME_UNCLOSED,        // the last byte is not the flag
  DIAG_FRAME_ENDS_IN_ESCAPE,  // an escape byte right before the flag
  DIAG_FRAME_TOO_SHORT,       // fewer than one packet byte and the FCS
  DIAG_FRAME_BAD_FCS,
};

// Decodes one escaped frame of length bytes, its closing flag last: every 7D pair is
// undone, a flag before the last byte is taken as data. The packet without its FCS goes
// to packet (room for length bytes) and its length to *packetLength, also when the FCS is
// bad (DIAG_FRAME_BAD_FCS); for the other failures *packetLength is 0.
DiagFrameResult DecodeDiagFrame(const uint8_t* frame, int length, uint8_t* packet, int* packetLength);
