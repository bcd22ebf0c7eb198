// Frame encoding: packet bytes and their complemented FCS (low byte first), escaped
// on request, closed by the flag. No flag opens a frame.
#include "diag/frame_bytes.h"

#include <cstring>

namespace {

// Writes one byte, escaped when asked; returns the new write position or -1 when full.
int PutFrameByte(BYTE value, int escape, BYTE* frame, int pos, int capacity) {
  if (escape && (value == DIAG_ESCAPE || value == DIAG_FLAG)) {
    if (pos + 2 > capacity) return -1;
    frame[pos++] = DIAG_ESCAPE;
    frame[pos++] = (BYTE)(value ^ 0x20);
    return pos;
  }
  if (pos + 1 > capacity) return -1;
  frame[pos++] = value;
  return pos;
}

// Checks byte by byte against the room left; for frames given less than the worst case.
int EncodeChecked(const BYTE* data, int length, WORD fcs, int escape, BYTE* frame, int capacity) {
  int pos = 0;
  for (int i = 0; i < length && pos >= 0; ++i) {
    pos = PutFrameByte(data[i], escape, frame, pos, capacity);
  }
  if (pos >= 0) pos = PutFrameByte((BYTE)(fcs & 0xFF), escape, frame, pos, capacity);
  if (pos >= 0) pos = PutFrameByte((BYTE)(fcs >> 8), escape, frame, pos, capacity);
  if (pos < 0 || pos + 1 > capacity) return -1;
  frame[pos++] = DIAG_FLAG;
  return pos;
}

// True when one of the eight bytes at p is the flag or the escape byte.
bool HasReservedByte(const BYTE* p) {
  unsigned long long word;
  std::memcpy(&word, p, sizeof word);
  const unsigned long long ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  const unsigned long long flags = word ^ (ones * DIAG_FLAG), escapes = word ^ (ones * DIAG_ESCAPE);
  return (((flags - ones) & ~flags) | ((escapes - ones) & ~escapes)) & highs;
}

// Escapes one byte without a branch: the pair is always written, and its second byte is
// overwritten by the next one when the first was not reserved. Needs one spare byte.
int PutEscapedByte(BYTE value, BYTE* frame, int pos) {
  const int reserved = (value == DIAG_ESCAPE) | (value == DIAG_FLAG);
  frame[pos] = reserved ? (BYTE)DIAG_ESCAPE : value;
  frame[pos + 1] = (BYTE)(value ^ 0x20);
  return pos + 1 + reserved;
}

// Escapes length bytes into frame, which has room for every one of them escaped, plus one.
// Runs of eight bytes with nothing to escape are copied whole.
int EscapeWithRoom(const BYTE* data, int length, BYTE* frame) {
  int pos = 0;
  int i = 0;
  for (; i + 8 <= length; i += 8) {
    if (!HasReservedByte(data + i)) {
      std::memcpy(frame + pos, data + i, 8);
      pos += 8;
      continue;
    }
    for (int k = 0; k < 8; ++k) pos = PutEscapedByte(data[i + k], frame, pos);
  }
  for (; i < length; ++i) pos = PutEscapedByte(data[i], frame, pos);
  return pos;
}

}  // namespace

int EncodeDiagFrame(const BYTE* data, int length, int escape, BYTE* frame, int frameCapacity) {
  if (length < 0 || length > DIAG_MAX_PACKET || frame == nullptr || frameCapacity < 0) return -1;
  if (length > 0 && data == nullptr) return -1;

  const WORD fcs = (WORD)~DiagFcs16(data, length, 0xFFFF);
  if (!escape || frameCapacity < 2 * (length + 2) + 1) {
    return EncodeChecked(data, length, fcs, escape, frame, frameCapacity);
  }
  // Room for the worst case: every packet and FCS byte escaped, then the flag (whose
  // place is the spare byte of the last escape).
  int pos = length > 0 ? EscapeWithRoom(data, length, frame) : 0;
  pos = PutEscapedByte((BYTE)(fcs & 0xFF), frame, pos);
  pos = PutEscapedByte((BYTE)(fcs >> 8), frame, pos);
  frame[pos++] = DIAG_FLAG;
  return pos;
}
