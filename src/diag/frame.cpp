// Frame encoding: packet bytes and their complemented FCS (low byte first), escaped
// on request, closed by the flag. No flag opens a frame.
#include "diag/diag.h"

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

}  // namespace

int EncodeDiagFrame(const BYTE* data, int length, int escape, BYTE* frame, int frameCapacity) {
  if (length < 0 || length > DIAG_MAX_PACKET || frame == nullptr || frameCapacity < 0) return -1;
  if (length > 0 && data == nullptr) return -1;

  const WORD fcs = (WORD)~DiagFcs16(data, length, 0xFFFF);
  int pos = 0;
  for (int i = 0; i < length && pos >= 0; ++i) {
    pos = PutFrameByte(data[i], escape, frame, pos, frameCapacity);
  }
  if (pos >= 0) pos = PutFrameByte((BYTE)(fcs & 0xFF), escape, frame, pos, frameCapacity);
  if (pos >= 0) pos = PutFrameByte((BYTE)(fcs >> 8), escape, frame, pos, frameCapacity);
  if (pos < 0 || pos + 1 > frameCapacity) return -1;
  frame[pos++] = DIAG_FLAG;
  return pos;
}
