#include "frames.h"

#include <gtest/gtest.h>

#include "reference_fcs.h"

uint16_t BitwiseFcs16(const Bytes& data, uint16_t fcs) { return ReferenceFcs(data.data(), data.size(), fcs); }

Bytes ReferenceFrame(const Bytes& packet, bool escape) {
  Bytes raw = packet;
  const uint16_t fcs = (uint16_t)~BitwiseFcs16(packet);
  raw.push_back((uint8_t)(fcs & 0xFF));
  raw.push_back((uint8_t)(fcs >> 8));
  Bytes frame;
  for (uint8_t b : raw) {
    if (escape && (b == 0x7D || b == 0x7E)) {
      frame.push_back(0x7D);
      frame.push_back((uint8_t)(b ^ 0x20));
    } else {
      frame.push_back(b);
    }
  }
  frame.push_back(0x7E);
  return frame;
}

Bytes DecodeFrame(const Bytes& frame, bool escaped) {
  Bytes out;
  if (frame.empty() || frame.back() != 0x7E) {
    ADD_FAILURE() << "frame not closed by the flag";
    return out;
  }
  for (size_t i = 0; i + 1 < frame.size(); ++i) {
    if (escaped && frame[i] == 0x7E) ADD_FAILURE() << "flag inside an escaped frame at " << i;
    if (escaped && frame[i] == 0x7D && i + 2 < frame.size()) {
      out.push_back((uint8_t)(frame[++i] ^ 0x20));
    } else {
      out.push_back(frame[i]);
    }
  }
  return out;
}

Bytes PlainFrame(const Bytes& packet, uint8_t fcsLow, uint8_t fcsHigh) {
  Bytes frame = packet;
  frame.push_back(fcsLow);
  frame.push_back(fcsHigh);
  frame.push_back(0x7E);
  return frame;
}
