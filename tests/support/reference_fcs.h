// The FCS-16 of the diag frames computed one bit at a time, independent of the program's
// tables: the oracle the tests and the fuzz targets check the frame code against. Plain
// C++ with no test framework, so that the fuzz targets take it as it is.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint16_t ReferenceFcs(const uint8_t* data, size_t n, uint16_t fcs = 0xFFFF) {
  for (size_t i = 0; i < n; ++i) {
    fcs ^= data[i];
    for (int bit = 0; bit < 8; ++bit) fcs = (fcs & 1) ? (uint16_t)((fcs >> 1) ^ 0x8408) : (uint16_t)(fcs >> 1);
  }
  return fcs;
}
