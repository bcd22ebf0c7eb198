// Diag frames. The FCS is the PPP FCS-16 over the reflected polynomial 0x8408, computed
// eight bytes at a time through eight tables (table k gives a byte's effect followed by k
// zero bytes), then one table lookup per byte.
#include "wire/diag_frame.h"

#include <cstring>

namespace {

struct FcsTables {
  uint16_t t[8][256];
};

constexpr FcsTables MakeFcsTables() {
  FcsTables tables{};
  for (int b = 0; b < 256; ++b) {
    unsigned v = (unsigned)b;
    for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
    tables.t[0][b] = (uint16_t)v;
  }
  for (int k = 1; k < 8; ++k) {
    for (int b = 0; b < 256; ++b) {
      const uint16_t previous = tables.t[k - 1][b];
      tables.t[k][b] = (uint16_t)((previous >> 8) ^ tables.t[0][previous & 0xFF]);
    }
  }
  return tables;
}

constexpr FcsTables kFcs = MakeFcsTables();

// Table 0 is the 256-entry FCS-16 table of RFC 1662.
static_assert(kFcs.t[0][0] == 0x0000 && kFcs.t[0][1] == 0x1189 && kFcs.t[0][2] == 0x2312 &&
                  kFcs.t[0][3] == 0x329B && kFcs.t[0][255] == 0x0F78,
              "the FCS-16 table of RFC 1662");

}  // namespace

uint16_t DiagFcs16(const uint8_t* data, int length, uint16_t fcs) {
  int i = 0;
  for (; i + 8 <= length; i += 8) {
    const uint8_t* p = data + i;
    fcs = (uint16_t)(kFcs.t[7][(p[0] ^ fcs) & 0xFF] ^ kFcs.t[6][(p[1] ^ (fcs >> 8)) & 0xFF] ^ kFcs.t[5][p[2]] ^
                     kFcs.t[4][p[3]] ^ kFcs.t[3][p[4]] ^ kFcs.t[2][p[5]] ^ kFcs.t[1][p[6]] ^ kFcs.t[0][p[7]]);
  }
  for (; i < length; ++i) {
    fcs = (uint16_t)((fcs >> 8) ^ kFcs.t[0][(fcs ^ data[i]) & 0xFF]);
  }
  return fcs;
}

// Frame encoding: escaped on request, closed by the flag.
namespace {

// Writes one byte, escaped when asked; returns the new write position or -1 when full.
int PutFrameByte(uint8_t value, int escape, uint8_t* frame, int pos, int capacity) {
  if (escape && (value == DIAG_ESCAPE || value == DIAG_FLAG)) {
    if (pos + 2 > capacity) return -1;
    frame[pos++] = DIAG_ESCAPE;
    frame[pos++] = (uint8_t)(value ^ DIAG_ESCAPE_XOR);
    return pos;
  }
  if (pos + 1 > capacity) return -1;
  frame[pos++] = value;
  return pos;
}

// Writes length bytes from pos on, checking each against the room left; for frames given
// less than the worst case. Returns the new write position or -1 when full.
int PutChecked(const uint8_t* data, int length, int escape, uint8_t* frame, int pos, int capacity) {
  for (int i = 0; i < length && pos >= 0; ++i) pos = PutFrameByte(data[i], escape, frame, pos, capacity);
  return pos;
}

// True when one of the eight bytes at p is the flag or the escape byte.
bool HasReservedByte(const uint8_t* p) {
  unsigned long long word;
  std::memcpy(&word, p, sizeof word);
  const unsigned long long ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  const unsigned long long flags = word ^ (ones * DIAG_FLAG), escapes = word ^ (ones * DIAG_ESCAPE);
  return (((flags - ones) & ~flags) | ((escapes - ones) & ~escapes)) & highs;
}

// Escapes one byte without a branch: the pair is always written, and its second byte is
// overwritten by the next one when the first was not reserved. Needs one spare byte.
int PutEscapedByte(uint8_t value, uint8_t* frame, int pos) {
  const int reserved = (value == DIAG_ESCAPE) | (value == DIAG_FLAG);
  frame[pos] = reserved ? (uint8_t)DIAG_ESCAPE : value;
  frame[pos + 1] = (uint8_t)(value ^ DIAG_ESCAPE_XOR);
  return pos + 1 + reserved;
}

// Escapes length bytes into frame, which has room for every one of them escaped, plus one.
// Runs of eight bytes with nothing to escape are copied whole.
int EscapeWithRoom(const uint8_t* data, int length, uint8_t* frame) {
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

int EncodeDiagFrame(const uint8_t* data, int length, int escape, uint8_t* frame, int frameCapacity) {
  return EncodeHeadedDiagFrame(data, length, nullptr, 0, escape, frame, frameCapacity);
}

int EncodeHeadedDiagFrame(const uint8_t* head, int headLength, const uint8_t* body, int bodyLength, int escape,
                          uint8_t* frame, int frameCapacity) {
  if (headLength < 0 || bodyLength < 0 || headLength > DIAG_MAX_PACKET - bodyLength) return -1;
  if ((headLength > 0 && head == nullptr) || (bodyLength > 0 && body == nullptr)) return -1;
  if (frame == nullptr || frameCapacity < 0) return -1;

  // The FCS runs over the head, then on over the body.
  const uint16_t fcs = (uint16_t)~DiagFcs16(body, bodyLength, DiagFcs16(head, headLength, 0xFFFF));
  const uint8_t fcsBytes[DIAG_FCS_SIZE] = {(uint8_t)(fcs & 0xFF), (uint8_t)(fcs >> 8)};
  const int length = headLength + bodyLength;
  if (!escape || frameCapacity < 2 * (length + DIAG_FCS_SIZE) + 1) {
    int pos = PutChecked(head, headLength, escape, frame, 0, frameCapacity);
    if (pos >= 0) pos = PutChecked(body, bodyLength, escape, frame, pos, frameCapacity);
    if (pos >= 0) pos = PutChecked(fcsBytes, DIAG_FCS_SIZE, escape, frame, pos, frameCapacity);
    if (pos < 0 || pos + 1 > frameCapacity) return -1;
    frame[pos++] = DIAG_FLAG;
    return pos;
  }
  // Room for the worst case: every packet and FCS byte escaped, then the flag (whose
  // place is the spare byte of the last escape).
  int pos = headLength > 0 ? EscapeWithRoom(head, headLength, frame) : 0;
  if (bodyLength > 0) pos += EscapeWithRoom(body, bodyLength, frame + pos);
  pos = PutEscapedByte(fcsBytes[0], frame, pos);
  pos = PutEscapedByte(fcsBytes[1], frame, pos);
  frame[pos++] = DIAG_FLAG;
  return pos;
}

DiagFrameResult DecodeDiagFrame(const uint8_t* frame, int length, uint8_t* packet, int* packetLength) {
  *packetLength = 0;
  if (length < 1 || frame[length - 1] != DIAG_FLAG) return DIAG_FRAME_UNCLOSED;
  int n = 0;
  for (int i = 0; i + 1 < length; ++i) {
    if (frame[i] != DIAG_ESCAPE) {
      packet[n++] = frame[i];
    } else if (i + 2 < length) {
      packet[n++] = (uint8_t)(frame[++i] ^ DIAG_ESCAPE_XOR);
    } else {
      return DIAG_FRAME_ENDS_IN_ESCAPE;
    }
  }
  if (n < 1 + DIAG_FCS_SIZE) return DIAG_FRAME_TOO_SHORT;
  *packetLength = n - DIAG_FCS_SIZE;
  return DiagFcs16(packet, n, 0xFFFF) == DIAG_FCS_GOOD ? DIAG_FRAME_OK : DIAG_FRAME_BAD_FCS;
}
